// fanotify with names: directory events (create, delete, rename) arrive with the parent's
// file handle and the entry's name, inode events (close after write, attribute change) with
// the parent's handle and name too. Handles are resolved to paths through open_by_handle_at
// on a descriptor of the same filesystem, and a small cache keeps the directory paths.
// Every filesystem holding a watched path gets a filesystem mark; the lists then pick the
// events, so a path added at run time is seen without a new mark when its filesystem already
// has one.
#include "kernel/standin/live_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/log.h"
#include "base/mem.h"
#include "kernel/ring_layout.h"
#include "kernel/standin/live_proc.h"
#include "kernel/standin/standin.h"
#include "qxkiv/kemu.h"

#ifndef FAN_RENAME
#define FAN_RENAME 0x10000000
#endif
#ifndef FAN_REPORT_TARGET_FID
#define FAN_REPORT_TARGET_FID 0x00001000
#endif
#ifndef FAN_EVENT_INFO_TYPE_OLD_DFID_NAME
#define FAN_EVENT_INFO_TYPE_OLD_DFID_NAME 10
#define FAN_EVENT_INFO_TYPE_NEW_DFID_NAME 12
#endif

namespace {

enum { K_CREATE = 0, K_DELETE = 1, K_RENAME = 2, K_MODIFY = 3, K_ACCESS = 4, K_ATTRIB = 5 };
enum { F_FILE = 0, F_PATH = 1, F_TYPE = 2, F_EXE = 3, F_FILE_EX = 4, F_PATH_EX = 5 };
constexpr int KINDS = 8;
constexpr size_t DIR_CACHE_MAX = 4096;
constexpr size_t CREATED_MAX = 65536;
constexpr int RECENT_CREATE_SEC = 60;  // a close after write this soon after creation is one
constexpr uint64_t WAIT_FOR_PROCESS_MS = 300;
constexpr int POLL_PENDING_MS = 10;
constexpr size_t PENDING_MAX = 65536;

struct entry {
    uint8_t mask, group;
};

// The lists as the library sent them; read by the reader thread, written by control calls.
std::mutex s_lists_lock;
std::map<std::string, entry> s_lists[KINDS];

bool under(const std::string &path, const std::string &dir) {
    if (dir == "/") return !path.empty() && path[0] == '/';
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           path[dir.size()] == '/';
}

bool listed(int list, const std::string &path, int kind, bool prefix) {
    for (const auto &[text, e] : s_lists[list]) {
        if (!(e.mask & (1u << kind))) continue;
        if (path == text || (prefix && under(path, text))) return true;
    }
    return false;
}

struct fs_mark {
    int fd;  // a watched path on the filesystem, open for open_by_handle_at
    dev_t dev;
};

struct file_source {
    int fan = -1;
    int wake = -1;
    bool has_rename = false;
    std::thread thread;
    std::mutex marks_lock;
    std::map<std::pair<int32_t, int32_t>, fs_mark> marks;  // by fsid
    std::unordered_map<std::string, std::string> dir_cache;
    std::unordered_map<std::string, time_t> created;  // recent creations by path
    time_t created_swept = 0;

    // A file created and never closed after writing (a directory, a socket, a name renamed
    // away) would stay here for good: creations older than the window go once a window.
    void forget_old_creations(time_t now) {
        if (created.size() >= CREATED_MAX) created.clear();
        if (now - created_swept < RECENT_CREATE_SEC) return;
        created_swept = now;
        std::erase_if(created, [now](const auto &e) { return now - e.second > RECENT_CREATE_SEC; });
    }
    std::vector<unsigned char> msg;
    uint16_t next_id = 0;
    pid_t self = getpid();

    // A filesystem mark for the filesystem holding path, once.
    void mark_path(const std::string &path) {
        // open_by_handle_at refuses an O_PATH descriptor as its mount descriptor.
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) return;
        struct statfs sfs;
        struct stat st;
        if (fstatfs(fd, &sfs) != 0 || fstat(fd, &st) != 0) {
            close(fd);
            return;
        }
        std::pair<int32_t, int32_t> fsid{sfs.f_fsid.__val[0], sfs.f_fsid.__val[1]};
        std::lock_guard g(marks_lock);
        if (marks.count(fsid)) {
            close(fd);
            return;
        }
        uint64_t mask = FAN_CREATE | FAN_DELETE | FAN_MOVED_FROM | FAN_MOVED_TO | FAN_ATTRIB |
                        FAN_CLOSE_WRITE | FAN_ONDIR;
        // FAN_RENAME (both names in one event) where the kernel has it.
        int rc = -1;
        if (has_rename) {
            rc = fanotify_mark(fan, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask | FAN_RENAME, AT_FDCWD,
                               path.c_str());
            if (rc != 0 && errno == EINVAL) has_rename = false;
        }
        if (rc != 0)
            rc = fanotify_mark(fan, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask, AT_FDCWD,
                               path.c_str());
        if (rc != 0) {
            KIV_LOG(1, "kemu: fanotify mark on the filesystem of %s failed(%d:%s)\n", path.c_str(),
                    errno, strerror(errno));
            close(fd);
            return;
        }
        marks[fsid] = fs_mark{fd, st.st_dev};
        KIV_LOG(2, "kemu: watching file activity on the filesystem of %s\n", path.c_str());
    }

    int mount_fd(const __kernel_fsid_t &fsid) {
        std::lock_guard g(marks_lock);
        auto it = marks.find({fsid.val[0], fsid.val[1]});
        return it == marks.end() ? -1 : it->second.fd;
    }

    // The path of a directory handle; empty when it is gone.
    std::string dir_path(const __kernel_fsid_t &fsid, file_handle *fh) {
        std::string key(reinterpret_cast<const char *>(&fsid), sizeof fsid);
        key.append(reinterpret_cast<const char *>(fh), sizeof(file_handle) + fh->handle_bytes);
        auto it = dir_cache.find(key);
        if (it != dir_cache.end()) return it->second;
        int mfd = mount_fd(fsid);
        if (mfd < 0) return {};
        int fd = open_by_handle_at(mfd, fh, O_PATH | O_CLOEXEC);
        if (fd < 0) return {};
        char link[64], buf[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, buf, sizeof buf - 1);
        close(fd);
        if (n <= 0) return {};
        std::string path(buf, (size_t)n);
        if (dir_cache.size() >= DIR_CACHE_MAX) dir_cache.clear();
        dir_cache.emplace(std::move(key), path);
        return path;
    }

    uint64_t create_time_of(uint32_t pid) {
        uint64_t ct;
        return standin_process_create_time(pid, &ct) ? ct : live_proc_create_time(pid);
    }

    // The module's file record: head, the fixed fields, the kind's part, the path block.
    void put(int kind, uint32_t pid, const std::string &name, const std::string *old,
             uint8_t creat_type) {
        struct stat st = {};
        bool have = lstat(name.c_str(), &st) == 0;
        std::string names = name + '\0';
        if (old) names += *old + '\0';
        if (names.size() > 0x7fff) return;
        size_t pb = kind == K_CREATE ? 67 : kind == K_ATTRIB ? 79 : 65;
        msg.assign(pb + 2 + names.size(), 0);
        unsigned char *m = msg.data();
        kemu_st<uint32_t>(m, KIV_MSG_MAGIC);
        kemu_st<uint16_t>(m + 4, (uint16_t)msg.size());
        kemu_st<uint16_t>(m + 6, (uint16_t)(13 + kind));
        kemu_st<uint32_t>(m + 8, pid);
        kemu_st<uint64_t>(m + 16, create_time_of(pid));
        kemu_st<uint64_t>(m + 24, have ? (uint64_t)st.st_atime : 0);
        kemu_st<uint64_t>(m + 32, have ? (uint64_t)st.st_mtime : 0);
        kemu_st<uint64_t>(m + 40, have ? (uint64_t)st.st_ctime : 0);
        kemu_st<uint32_t>(m + 48, pid);
        kemu_st<uint32_t>(m + 52, have ? st.st_uid : 0);
        kemu_st<uint32_t>(m + 56, have ? st.st_gid : 0);
        kemu_st<uint16_t>(m + 60, have ? (uint16_t)st.st_mode : 0);
        m[64] = have && S_ISDIR(st.st_mode) ? 1 : 0;
        if (kind == K_CREATE) m[65] = creat_type;
        if (kind == K_ATTRIB) {
            kemu_st<uint32_t>(m + 69, have ? st.st_uid : 0);
            kemu_st<uint32_t>(m + 73, have ? st.st_gid : 0);
            kemu_st<uint16_t>(m + 77, have ? (uint16_t)st.st_mode : 0);
        }
        kemu_st<uint16_t>(m + pb, (uint16_t)(names.size() | (old ? 0x8000u : 0)));
        memcpy(m + pb + 2, names.data(), names.size());
        pending.push_back({now_ms() + WAIT_FOR_PROCESS_MS, standin_mono_ns(), pid, msg});
        flush();
    }

    // A file record waits until the process source has reported its process and every
    // process event before it, an exec above all (the collector takes those records first,
    // so the query finds the process as it is), or until its time is up for
    // a process that source will never report (one that predates it). Records leave in the
    // order their events came, numbered as they leave.
    struct waiting {
        uint64_t deadline_ms;
        uint64_t read_ns;  // later than the event: the process source must deliver past it
        uint32_t pid;
        std::vector<unsigned char> msg;
    };
    std::deque<waiting> pending;
    static uint64_t now_ms() {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
    }
    void flush() {
        uint64_t now = now_ms();
        while (!pending.empty()) {
            waiting &w = pending.front();
            uint64_t ct;
            bool ready =
                standin_process_create_time(w.pid, &ct) && standin_process_delivered(w.read_ns);
            if (now < w.deadline_ms && !ready) break;
            uint16_t id = (uint16_t)(next_id + 1);
            kemu_st<uint16_t>(w.msg.data() + 62, id);
            // A full ring is waited out here (fanotify keeps queueing in the kernel) rather
            // than losing the record as a kernel producer must.
            if (standin_try_put(RING_MID, w.msg.data(), (uint32_t)w.msg.size()) == KEMU_FULL)
                break;
            next_id = id;
            pending.pop_front();
        }
        if (pending.size() > PENDING_MAX) {
            KIV_LOG(1, "kemu: %zu file records waiting for ring space, the oldest dropped\n",
                    pending.size() - PENDING_MAX);
            standin_count_lost(RING_MID, (uint32_t)(pending.size() - PENDING_MAX));
            while (pending.size() > PENDING_MAX) pending.pop_front();
        }
    }

    void report(int kind, uint32_t pid, const std::string &path, const std::string *old = nullptr,
                uint8_t creat_type = 1) {
        if (live_file_watched(path, kind) || (old && live_file_watched(*old, kind)))
            put(kind, pid, path, old, creat_type);
    }

    // Events follow each other at any byte offset: every field is copied out, never read in
    // place.
    void handle(const char *ev, const fanotify_event_metadata &md) {
        // The sensor's own writes (logs, database, state) are never reported.
        if (md.pid == self) return;
        std::string name, old;
        bool have_name = false, have_old = false;
        alignas(file_handle) unsigned char fhbuf[sizeof(file_handle) + MAX_HANDLE_SZ];
        for (size_t off = md.metadata_len;
             off + sizeof(fanotify_event_info_header) <= md.event_len;) {
            fanotify_event_info_header hdr;
            memcpy(&hdr, ev + off, sizeof hdr);
            if (hdr.len == 0 || off + hdr.len > md.event_len) break;
            size_t fixed = sizeof(fanotify_event_info_fid) + sizeof(file_handle);
            if ((hdr.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME ||
                 hdr.info_type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME ||
                 hdr.info_type == FAN_EVENT_INFO_TYPE_NEW_DFID_NAME) &&
                hdr.len > fixed) {
                fanotify_event_info_fid fid;
                memcpy(&fid, ev + off, sizeof fid);
                const char *h = ev + off + sizeof(fanotify_event_info_fid);
                file_handle fh;
                memcpy(&fh, h, sizeof fh);
                size_t with_handle = fixed + fh.handle_bytes;
                if (fh.handle_bytes <= MAX_HANDLE_SZ && with_handle < hdr.len) {
                    memcpy(fhbuf, h, sizeof(file_handle) + fh.handle_bytes);
                    const char *entry = ev + off + with_handle;
                    size_t room = hdr.len - with_handle;
                    std::string dir = dir_path(fid.fsid, reinterpret_cast<file_handle *>(fhbuf));
                    if (!dir.empty()) {
                        std::string full = dir == "/" ? "/" : dir + "/";
                        full.append(entry, strnlen(entry, room));
                        if (hdr.info_type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME)
                            old = full, have_old = true;
                        else
                            name = full, have_name = true;
                    }
                }
            }
            off += hdr.len;
        }
        if (!have_name && !have_old) return;
        uint32_t pid = (uint32_t)md.pid;
        uint64_t m = md.mask;
        time_t now = time(nullptr);
        if (m & FAN_RENAME) {
            // A creation renamed before its close keeps counting under its new name.
            if (auto it = have_old ? created.find(old) : created.end(); it != created.end()) {
                time_t at = it->second;
                created.erase(it);
                if (have_name) created[name] = at;
            }
            if (have_name) report(K_RENAME, pid, name, have_old ? &old : nullptr);
            return;
        }
        if ((m & FAN_MOVED_TO) && !has_rename && have_name) report(K_RENAME, pid, name);
        if (m & FAN_CREATE) {
            forget_old_creations(now);
            created[name] = now;
            report(K_CREATE, pid, name);
        }
        if (m & FAN_DELETE) {
            created.erase(name);
            report(K_DELETE, pid, name);
        }
        if (m & FAN_ATTRIB) report(K_ATTRIB, pid, name);
        if (m & FAN_CLOSE_WRITE) {
            auto it = created.find(name);
            if (it != created.end() && now - it->second <= RECENT_CREATE_SEC) {
                created.erase(it);
                report(K_CREATE, pid, name, nullptr, 3);  // closed after writing: type it
            } else {
                report(K_MODIFY, pid, name);
            }
        }
    }

    void run() {
        static thread_local char buf[65536];
        pollfd fds[2] = {{fan, POLLIN, 0}, {wake, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, pending.empty() ? -1 : POLL_PENDING_MS) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            flush();
            if (!(fds[0].revents & POLLIN)) continue;
            ssize_t n = read(fan, buf, sizeof buf);
            if (n <= 0) {
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    KIV_LOG(1, "kemu: fanotify read failed(%d:%s)\n", errno, strerror(errno));
                continue;
            }
            for (size_t at = 0; at + sizeof(fanotify_event_metadata) <= (size_t)n;) {
                fanotify_event_metadata md;
                memcpy(&md, buf + at, sizeof md);
                if (md.event_len < sizeof md || at + md.event_len > (size_t)n) break;
                if (md.vers == FANOTIFY_METADATA_VERSION) {
                    if (md.mask & FAN_Q_OVERFLOW) {
                        kiv_stat_inc(LIVE_FANOTIFY_OVERFLOW);
                        KIV_LOG(1, "kemu: fanotify queue overflow, file events lost\n");
                    } else {
                        handle(buf + at, md);
                    }
                }
                if (md.fd >= 0) close(md.fd);
                at += md.event_len;
            }
        }
    }
};

file_source *s_file;
std::mutex s_file_lock;  // start, stop and marks against each other

void mark_watched_paths(file_source *src) {
    std::vector<std::string> paths;
    {
        std::lock_guard g(s_lists_lock);
        for (int l : {F_FILE, F_PATH})
            for (const auto &[text, e] : s_lists[l]) paths.push_back(text);
    }
    for (const std::string &p : paths) src->mark_path(p);
}

void destroy(file_source *src) {
    for (auto &[fsid, m] : src->marks) close(m.fd);
    if (src->fan >= 0) close(src->fan);
    if (src->wake >= 0) close(src->wake);
    delete src;
}

}  // namespace

bool live_file_watched(const std::string &path, int kind) {
    if (kind < 0 || kind > K_ATTRIB) return false;
    std::lock_guard g(s_lists_lock);
    if (!listed(F_FILE, path, kind, false) && !listed(F_PATH, path, kind, true)) return false;
    return !listed(F_FILE_EX, path, kind, false) && !listed(F_PATH_EX, path, kind, true);
}

void live_file_filter(const unsigned char *p, size_t len) {
    if (len < 6) return;
    uint32_t total = kemu_ld<uint32_t>(p);
    int op = p[4], kind = p[5];
    if (kind < 0 || kind >= KINDS || 6 + (size_t)total > len) return;
    std::vector<std::pair<std::string, entry>> items;
    for (size_t at = 6; at + 2 < 6 + (size_t)total;) {
        entry e{p[at + 1], p[at]};
        const char *text = reinterpret_cast<const char *>(p + at + 2);
        size_t room = 6 + total - (at + 2);
        size_t n = strnlen(text, room);
        if (n == room) break;  // no terminator inside the payload
        items.emplace_back(std::string(text, n), e);
        at += 2 + n + 1;
    }
    {
        std::lock_guard g(s_lists_lock);
        auto &list = s_lists[kind];
        if (op == 0) list.clear();
        for (auto &[text, e] : items) {
            if (op == 2)
                list.erase(text);
            else
                list[text] = e;
        }
    }
    if (kind == F_FILE || kind == F_PATH) {
        std::lock_guard g(s_file_lock);
        if (s_file)
            for (auto &[text, e] : items)
                if (op != 2) s_file->mark_path(text);
    }
}

void live_file_reset() {
    std::lock_guard g(s_lists_lock);
    for (auto &l : s_lists) l.clear();
}

int live_file_start(std::string *why) {
    std::lock_guard g(s_file_lock);
    if (s_file) return 0;
    auto *src = new file_source;
    unsigned flags = FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME;
    src->fan = fanotify_init(flags, O_RDONLY | O_CLOEXEC);
    src->has_rename = true;  // until a mark says otherwise
    if (src->fan < 0) {
        int err = errno;
        destroy(src);
        *why = err == EPERM ? "fanotify needs root (CAP_SYS_ADMIN)"
                            : std::string("fanotify with names unavailable: ") + strerror(err);
        return -1;
    }
    src->wake = eventfd(0, EFD_CLOEXEC);
    if (src->wake < 0) {
        *why = std::string("eventfd failed: ") + strerror(errno);
        destroy(src);
        return -1;
    }
    mark_watched_paths(src);
    try {
        src->thread = std::thread([src] { src->run(); });
    } catch (const std::system_error &e) {
        *why = std::string("reader thread not started: ") + e.what();
        destroy(src);
        return -1;
    }
    s_file = src;
    return 0;
}

void live_file_stop() {
    file_source *src;
    {
        std::lock_guard g(s_file_lock);
        src = s_file;
        s_file = nullptr;
    }
    if (!src) return;
    uint64_t one = 1;
    if (write(src->wake, &one, sizeof one) != sizeof one)
        KIV_LOG(1, "kemu: wake of the fanotify thread failed\n");
    src->thread.join();
    destroy(src);
    KIV_LOG(2, "kemu: file activity source stopped\n");
}

bool live_file_running() {
    std::lock_guard g(s_file_lock);
    return s_file != nullptr;
}
