// Process records as the module writes them, from /proc or from what a source read in the
// kernel: the image of a process, its fork, exec and exit records into the high ring, and the
// answers to process queries. The stand-in's table is every process source's memory of the
// processes it reported: create_time for their exits, and the lost exits after an overrun.
#include "kernel/capture/common/proc_records.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/log.h"
#include "base/mem.h"
#include "kernel/capture/common/container_id.h"
#include "kernel/ring_layout.h"
#include "qxkiv/kemu.h"

namespace {

constexpr uint32_t STR_MAX = 1023;  // flex types 0-4
constexpr uint32_t ID_UNKNOWN = 0xffffffffu;

// ---- /proc ----------------------------------------------------------------------------------

// One read of a /proc file below the process directory; the length read or -1.
ssize_t read_at(int dir, const char *name, char *buf, size_t cap) {
    int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n = read(fd, buf, cap);
    close(fd);
    return n;
}

// A link below the process directory, cut to STR_MAX; empty when unreadable.
size_t link_at(int dir, const char *name, char *buf) {
    ssize_t n = readlinkat(dir, name, buf, STR_MAX);
    return n > 0 ? (size_t)n : 0;
}

int open_proc_dir(uint32_t pid) {
    char path[32];
    snprintf(path, sizeof path, "/proc/%u", pid);
    return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

uint64_t ns_per_tick() {
    static const uint64_t ns = [] {
        long hz = sysconf(_SC_CLK_TCK);
        return hz > 0 ? 1000000000ull / (uint64_t)hz : 10000000ull;
    }();
    return ns;
}

struct stat_fields {
    char state = 0;
    uint32_t ppid = 0, session = 0;
    uint64_t create_time = 0;
};

// /proc/<pid>/stat: the name in parentheses may hold anything, so fields are counted from
// the last ')'. The start time (field 22) in clock ticks since boot becomes nanoseconds.
bool parse_stat(char *buf, size_t n, stat_fields &out) {
    buf[n] = 0;
    char *p = strrchr(buf, ')');
    if (!p) return false;
    p++;
    unsigned long long v[20] = {};
    int field = 3;
    for (char *save = nullptr, *tok = strtok_r(p, " \n", &save); tok && field <= 22;
         tok = strtok_r(nullptr, " \n", &save), field++) {
        if (field == 3)
            out.state = tok[0];
        else
            v[field - 3] = strtoull(tok, nullptr, 10);
    }
    if (field <= 22) return false;
    out.ppid = (uint32_t)v[4 - 3];
    out.session = (uint32_t)v[6 - 3];
    out.create_time = (uint64_t)v[22 - 3] * ns_per_tick();
    return true;
}

bool read_stat(int dir, stat_fields &out) {
    char buf[1024];
    ssize_t n = read_at(dir, "stat", buf, sizeof buf - 1);
    return n > 0 && parse_stat(buf, (size_t)n, out);
}

// "Uid:" and "Gid:" lines of /proc/<pid>/status: real, effective, saved, file-system.
void parse_ids(const char *buf, const char *key, uint32_t ids[4]) {
    const char *p = strstr(buf, key);
    if (!p) return;
    unsigned v[4];
    if (sscanf(p + strlen(key), "%u %u %u %u", &v[0], &v[1], &v[2], &v[3]) == 4)
        for (int i = 0; i < 4; i++) ids[i] = v[i];
}

// ---- Record layout --------------------------------------------------------------------------

void put_bits(unsigned char *h, int at, int width, int shift, uint32_t v) {
    uint32_t w = 0;
    for (int i = 0; i < width; i++) w |= (uint32_t)h[at + i] << (8 * i);
    w |= v << shift;
    for (int i = 0; i < width; i++) h[at + i] = (unsigned char)(w >> (8 * i));
}

using proc_image = live_proc_image;

std::atomic<bool> s_container_ids{false};

// Everything /proc gives for one process; false when it is gone.
bool read_image(uint32_t pid, proc_image &img) {
    int dir = open_proc_dir(pid);
    if (dir < 0) return false;
    stat_fields st;
    if (!read_stat(dir, st)) {
        close(dir);
        return false;
    }
    img.create_time = st.create_time, img.ppid = st.ppid, img.session = st.session;
    char status[4096];
    ssize_t n = read_at(dir, "status", status, sizeof status - 1);
    if (n > 0) {
        status[n] = 0;
        parse_ids(status, "\nUid:", img.uid);
        parse_ids(status, "\nGid:", img.gid);
    }
    // The arguments are NUL-separated; they are reported joined by spaces.
    n = read_at(dir, "cmdline", img.str[0], STR_MAX);
    if (n > 0) {
        while (n > 0 && img.str[0][n - 1] == 0) n--;
        for (ssize_t i = 0; i < n; i++)
            if (img.str[0][i] == 0) img.str[0][i] = ' ';
        img.len[0] = (uint32_t)n;
    }
    img.len[1] = (uint32_t)link_at(dir, "cwd", img.str[1]);
    img.len[2] = (uint32_t)link_at(dir, "exe", img.str[2]);
    img.len[3] = (uint32_t)link_at(dir, "fd/0", img.str[3]);
    img.len[4] = (uint32_t)link_at(dir, "fd/1", img.str[4]);
    // Through the link, so the file is the one running even if its path changed.
    struct stat sb;
    if (fstatat(dir, "exe", &sb, 0) == 0) {
        img.owner = sb.st_uid, img.mode = sb.st_mode & 07777;
        img.exe_known = true;
        img.exe_dev = sb.st_dev, img.exe_ino = sb.st_ino;
        img.exe_ctime_sec = sb.st_ctim.tv_sec;
        img.exe_ctime_nsec = (uint32_t)sb.st_ctim.tv_nsec;
    }
    if (s_container_ids.load(std::memory_order_relaxed)) {
        char text[8192];
        n = read_at(dir, "cgroup", text, sizeof text);
        if (n <= 0 || !container_id_of_proc(std::string_view(text, (size_t)n), img.container_id))
            img.container_id[0] = '\0';
    }
    close(dir);
    return true;
}

}  // namespace

void live_proc_encode_image(const live_proc_image &img, uint32_t pid, uint64_t parent_create_time,
                            uint16_t task_event_id, std::vector<unsigned char> &out) {
    uint32_t strings = 0;
    for (uint32_t l : img.len) strings += l;
    size_t body = KEMU_RAW_PROC_FIXED + KEMU_FLEX_HDR + strings;
    const bool container = img.container_id[0] != '\0';
    out.assign(
        body + (img.exe_known ? KEMU_EXE_IDENT_SIZE : 0) + (container ? KEMU_CONTAINER_SIZE : 0),
        0);
    unsigned char *p = out.data();
    kemu_st<uint64_t>(p, img.create_time);
    kemu_st<uint64_t>(p + 8, parent_create_time);
    kemu_st<uint32_t>(p + 16, pid);
    kemu_st<uint32_t>(p + 20, img.ppid);
    kemu_st<uint32_t>(p + 24, img.session);
    for (int i = 0; i < 4; i++) kemu_st<uint32_t>(p + 28 + 4 * i, img.uid[i]);
    for (int i = 0; i < 4; i++) kemu_st<uint32_t>(p + 44 + 4 * i, img.gid[i]);
    kemu_st<uint32_t>(p + 60, img.owner);
    kemu_st<uint32_t>(p + 64, (img.mode & 0xfffu) | (uint32_t)task_event_id << 12);
    unsigned char *h = p + KEMU_RAW_PROC_FIXED;
    put_bits(h, 0, 2, 0, img.len[0]);   // cmd_line: bits 0-9 of the u16 at 0
    put_bits(h, 0, 4, 10, img.len[1]);  // cur_path: bits 10-19 of the u32 at 0
    put_bits(h, 4, 2, 0, img.len[2]);   // path: bits 0-9 of the u16 at 4
    put_bits(h, 4, 4, 10, img.len[3]);  // fd0: bits 10-19 of the u32 at 4
    put_bits(h, 6, 2, 4, img.len[4]);   // fd1: bits 4-13 of the u16 at 6
    unsigned char *s = h + KEMU_FLEX_HDR;
    for (int t = 0; t < 5; t++) {
        memcpy(s, img.str[t], img.len[t]);
        s += img.len[t];
    }
    unsigned char *x = p + body;
    if (img.exe_known) {
        kemu_st<uint32_t>(x, KEMU_EXE_IDENT_MAGIC);
        kemu_st<uint32_t>(x + 4, img.exe_ctime_nsec);
        kemu_st<uint64_t>(x + 8, img.exe_dev);
        kemu_st<uint64_t>(x + 16, img.exe_ino);
        kemu_st<int64_t>(x + 24, img.exe_ctime_sec);
        x += KEMU_EXE_IDENT_SIZE;
    }
    if (!container) return;
    kemu_st<uint32_t>(x, KEMU_CONTAINER_MAGIC);
    memcpy(x + 4, img.container_id, KEMU_CONTAINER_SIZE - 4);
}

void live_proc_set_container_ids(bool on) {
    s_container_ids.store(on, std::memory_order_relaxed);
}

namespace {

std::atomic<uint16_t> s_event_id{0};

}  // namespace

uint16_t live_events::next_id() {
    return s_event_id.fetch_add(1, std::memory_order_relaxed) + 1;
}

void live_events::put(uint16_t type, uint32_t pid, const unsigned char *body, size_t len) {
    msg_.assign(KIV_MSG_BODY_OFFSET + len, 0);
    kemu_st<uint32_t>(msg_.data(), KIV_MSG_MAGIC);
    kemu_st<uint16_t>(msg_.data() + 4, (uint16_t)msg_.size());
    kemu_st<uint16_t>(msg_.data() + 6, type);
    kemu_st<uint32_t>(msg_.data() + 8, pid);
    memcpy(msg_.data() + KIV_MSG_BODY_OFFSET, body, len);
    last_put_ = out_.put(RING_HIGH, msg_.data(), (uint32_t)msg_.size());
}

uint64_t live_events::known_create_time(uint32_t pid) {
    uint64_t ct = 0;
    if (standin_process_record(pid, 0, rec_) && rec_.size() >= 8)
        ct = kemu_ld<uint64_t>(rec_.data());
    return ct ? ct : live_proc_create_time(pid);
}

void live_events::on_fork(uint32_t child, uint32_t parent, uint64_t child_ct, uint64_t parent_ct) {
    uint64_t pct = parent_ct ? parent_ct : known_create_time(parent);
    uint16_t id = next_id();
    // A child runs its parent's image until it execs: the parent's record serves when the
    // table has it, and only the child's start time is needed. A parent that started before
    // the source is read from /proc once and kept, not once per child.
    bool have = standin_process_record(parent, pct, rec_);
    if (!have && parent > 1) {
        live_proc_known none;
        if (live_proc_encode(parent, 0, none, rec_) && kemu_ld<uint64_t>(rec_.data()) == pct) {
            standin_track_process(rec_.data(), (uint32_t)rec_.size());
            have = true;
        }
    }
    if (have) {
        kemu_st<uint64_t>(rec_.data(), child_ct ? child_ct : live_proc_create_time(child));
        kemu_st<uint64_t>(rec_.data() + 8, pct);
        kemu_st<uint32_t>(rec_.data() + 16, child);
        kemu_st<uint32_t>(rec_.data() + 20, parent);
        uint32_t me = kemu_ld<uint32_t>(rec_.data() + 64);
        kemu_st<uint32_t>(rec_.data() + 64, (me & 0xfffu) | (uint32_t)id << 12);
    } else {
        live_proc_known known;
        known.create_time = child_ct, known.parent_create_time = pct, known.ppid = parent;
        live_proc_encode(child, id, known, rec_);
        // The parent the source named; /proc may already show a reaper.
        kemu_st<uint32_t>(rec_.data() + 20, parent);
        kemu_st<uint64_t>(rec_.data() + 8, pct);
        if (child_ct) kemu_st<uint64_t>(rec_.data(), child_ct);
    }
    put(LIVE_EV_FORK, child, rec_.data(), rec_.size());
    standin_track_process(rec_.data(), (uint32_t)rec_.size());
}

void live_events::on_exec(uint32_t pid, uint64_t at_ns) {
    live_proc_known known;
    std::vector<unsigned char> prev;
    if (standin_process_record(pid, 0, prev) && prev.size() >= 24) {
        known.create_time = kemu_ld<uint64_t>(prev.data());
        known.parent_create_time = kemu_ld<uint64_t>(prev.data() + 8);
        known.ppid = kemu_ld<uint32_t>(prev.data() + 20);
    }
    uint16_t id = next_id();
    live_proc_encode(pid, id, known, rec_);
    put(LIVE_EV_EXEC, pid, rec_.data(), rec_.size());
    standin_track_process(rec_.data(), (uint32_t)rec_.size());
    char link[64], exe[PATH_MAX];
    snprintf(link, sizeof link, "/proc/%u/exe", pid);
    ssize_t n = readlink(link, exe, sizeof exe);
    if (n > 0) standin_note_exec({pid, id, at_ns, standin_name_hash(exe, (size_t)n)});
}

void live_events::on_exec_image(uint32_t pid, const live_proc_image &img, uint64_t parent_ct,
                                uint64_t at_ns) {
    uint16_t id = next_id();
    live_proc_encode_image(img, pid, parent_ct, id, rec_);
    put(LIVE_EV_EXEC, pid, rec_.data(), rec_.size());
    standin_track_process(rec_.data(), (uint32_t)rec_.size());
    const uint32_t path = 2;  // cmd_line, cur_path, path, fd0, fd1
    // A removed executable's path ends in " (deleted)", which its name never did.
    uint32_t len = img.len[path];
    static const char kDeleted[] = " (deleted)";
    const size_t dl = sizeof kDeleted - 1;
    if (len >= dl && memcmp(img.str[path] + len - dl, kDeleted, dl) == 0) len -= (uint32_t)dl;
    standin_note_exec({pid, id, at_ns, standin_name_hash(img.str[path], len)});
}

void live_events::on_exit(uint32_t pid, uint32_t status, uint64_t create_time) {
    uint64_t ct = 0;
    // The exiting process is still readable as a zombie if it was never tracked.
    if (!standin_forget_process(pid, &ct))
        ct = create_time ? create_time : live_proc_create_time(pid);
    unsigned char body[RAW_EXIT_BODY];
    live_proc_exit_body(ct, pid, next_id(), live_proc_exit_code(status), body);
    put(LIVE_EV_EXIT, pid, body, sizeof body);
    if (last_put_ == KEMU_FULL) standin_queue_lost_exit(pid, ct);
}

void live_events::on_overrun(const char *source, uint64_t records) {
    size_t lost = standin_overrun(live_proc_alive);
    kiv_stat_inc(LIVE_PROC_OVERRUN);
    if (records) kiv_stat_inc(LIVE_BPF_RING_LOST, static_cast<int64_t>(records));
    KIV_LOG(1, "kemu: %s overrun (%llu records lost), %zu exits lost\n", source,
            (unsigned long long)records, lost);
}

uint64_t live_proc_create_time(uint32_t pid) {
    int dir = open_proc_dir(pid);
    if (dir < 0) return 0;
    stat_fields st;
    bool ok = read_stat(dir, st);
    close(dir);
    return ok ? st.create_time : 0;
}

bool live_proc_alive(uint32_t pid, uint64_t create_time) {
    int dir = open_proc_dir(pid);
    if (dir < 0) return false;
    stat_fields st;
    bool ok = read_stat(dir, st);
    close(dir);
    return ok && st.state != 'Z' && st.state != 'X' &&
           (create_time == 0 || st.create_time == create_time);
}

bool live_proc_encode(uint32_t pid, uint16_t task_event_id, const live_proc_known &known,
                      std::vector<unsigned char> &out) {
    auto img = std::make_unique<proc_image>();
    bool live = read_image(pid, *img);
    uint64_t pct = known.parent_create_time;
    if (!live) {
        img->create_time = known.create_time;
        img->ppid = known.ppid;
    } else if (img->ppid != known.ppid || pct == 0) {
        pct = img->ppid ? live_proc_create_time(img->ppid) : 0;
    }
    live_proc_encode_image(*img, pid, pct, task_event_id, out);
    return live;
}

bool live_proc_lookup(uint32_t pid, uint64_t create_time, std::vector<unsigned char> &out) {
    if (pid == 0) return false;
    live_proc_known none;
    if (!live_proc_encode(pid, s_event_id.load(std::memory_order_relaxed), none, out)) return false;
    return create_time == 0 || kemu_ld<uint64_t>(out.data()) == create_time;
}

void live_proc_exit_body(uint64_t create_time, uint32_t pid, uint16_t task_event_id,
                         uint8_t exit_code, unsigned char out[15]) {
    kemu_st<uint64_t>(out, create_time);
    kemu_st<uint32_t>(out + 8, pid);
    kemu_st<uint16_t>(out + 12, task_event_id);
    out[14] = exit_code;
}

uint8_t live_proc_exit_code(uint32_t status) {
    if ((status & 0x7f) == 0) return (uint8_t)((status >> 8) & 0xff);
    return (uint8_t)(128 + (status & 0x7f));
}

uint64_t live_proc_ticks_ns(uint64_t start_ns) {
    const uint64_t tick = ns_per_tick();
    return start_ns / tick * tick;
}

const kemu_proc_live live_proc_query = {live_proc_lookup, live_proc_alive};
