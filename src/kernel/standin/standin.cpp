// The stand-in for the kernel module. One mutex serialises everything it does: producers,
// control requests, the process table and start/stop. Its memory is the "kernel's", so it is
// not charged to the sensor's accounting categories.
#include "kernel/standin/standin.h"

#include <malloc.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

#include "base/log.h"
#include "base/mem.h"
#include "kernel/standin/proc_table.h"
#include "qxkiv/kemu.h"

namespace {

// The build the stand-in claims to be, so module management reuses it instead of replacing it.
constexpr const char *STANDIN_MODULE_VERSION = "1.1.0_20240529130429";

// Upper bounds on control blocks, far above what the library sends; a length field beyond
// them is corrupt and the request is refused rather than read past its buffer.
constexpr uint32_t QUERY_DATA_MAX = 1u << 20;
constexpr uint32_t TASK_CONF_VALUES_MAX = 1u << 20;
constexpr uint32_t FILE_FILTER_MAX = 102400;
constexpr uint8_t FILE_FILTER_OP_MAX = 2;  // update, add, delete
constexpr uint8_t FILE_FILTER_KINDS = 8;
constexpr uint32_t NET_CONF_MIN = 60, NET_CONF_PORTS_MAX = 10000, NET_CONF_OFF_PORTS = 52;
constexpr uint32_t NET_CONF_MAX = NET_CONF_MIN + 2 * NET_CONF_PORTS_MAX;
constexpr uint32_t KEMU_NET_CTL_START = 7, KEMU_NET_CTL_STOP = 1;  // control words
constexpr uint32_t NET_CONF_OFF_CTL = 4, NET_CONF_OFF_ENABLE = 8;
constexpr uint32_t SUFFIX_MAX = 1u << 20;
constexpr uint32_t DBG_MODE_RECORD = 16;  // magic, pad, 64-bit mode
constexpr uint32_t FILE_MON_BLOCK = 32;   // eight words

enum device_kind { DEV_SENSOR, DEV_DEFENSE };

struct standin_state {
    kiv_kernel_mode mode;
    capture_table sources;  // userspace mode; rows are static
    unsigned char *region = nullptr;
    bool delivery = false;  // the module starts quiet until user space switches it on
    std::string root;
    int root_fd = -1;  // holds the root's lock while this instance lives
    std::map<int, device_kind> fds;
    std::map<uint32_t, std::vector<unsigned char>> last_ctl;
    kemu_proc_table procs;
};

constexpr const char *STANDIN_TMP_DIR = "/tmp";
constexpr const char *STANDIN_ROOT_PREFIX = "qxkiv-standin-";

std::mutex s_lock;
standin_state *s_si;  // under s_lock

constexpr size_t ring_offset(int ring_type) {
    constexpr size_t off[KIV_RING_TYPE_NUM] = {KIV_OFF_UCTRL, KIV_OFF_LOW, KIV_OFF_MID,
                                               KIV_OFF_HIGH};
    return off[ring_type];
}

bool ring_type_ok(int ring_type) {
    return ring_type >= 0 && ring_type < KIV_RING_TYPE_NUM;
}

kiv_ring *ring_at(unsigned char *region, int ring_type) {
    return reinterpret_cast<kiv_ring *>(region + ring_offset(ring_type));
}

// Header word by index; the consumer touches the same words, so the producer goes through
// atomics for everything the consumer may read or write concurrently.
uint32_t *hdr_word(kiv_ring *ring, int idx) {
    return reinterpret_cast<uint32_t *>(reinterpret_cast<unsigned char *>(ring) + 4 * idx);
}
constexpr int W_PUT_CNT = 2, W_FULL_CNT = 6, W_BAD_FULL = 8;
constexpr uint32_t FULL_FLAG_BIT = 1u << 31;

void count_refusal(kiv_ring *ring, uint32_t records = 1) {
    __atomic_fetch_add(hdr_word(ring, W_FULL_CNT), records, __ATOMIC_RELAXED);
    __atomic_fetch_or(hdr_word(ring, W_BAD_FULL), FULL_FLAG_BIT, __ATOMIC_RELAXED);
}

std::atomic<void (*)(kiv_ring *)> s_publish_probe{nullptr};

// Free-space check, bytes in two pieces across the wrap, w published, then put_cnt: a
// consumer that resynchronises copies put_cnt into get_cnt, so put_cnt must never count a
// record the consumer cannot see yet (the logger rings' producer keeps the same order).
// A refusal is counted only when the record is given up (count_full): one that will be
// offered again is not lost yet.
int ring_put(kiv_ring *ring, const unsigned char *bytes, uint32_t len, bool count_full = true) {
    uint32_t size = ring->size;
    uint32_t r = __atomic_load_n(&ring->r, __ATOMIC_ACQUIRE);
    uint32_t w = ring->w;  // only this side writes it
    if (r >= size || w >= size) {
        KIV_LOG(0, "kemu: ring offsets out of range r:%u w:%u size:%u\n", r, w, size);
        if (count_full) count_refusal(ring);
        return KEMU_FULL;
    }
    uint32_t used = r <= w ? w - r : size - r + w;
    if (len > size - used - 1) {
        if (count_full) count_refusal(ring);
        return KEMU_FULL;
    }
    uint32_t first = std::min(len, size - w);
    memcpy(ring->data + w, bytes, first);
    memcpy(ring->data, bytes + first, len - first);
    uint32_t nw = w + len >= size ? w + len - size : w + len;
    __atomic_store_n(&ring->w, nw, __ATOMIC_RELEASE);
    if (auto probe = s_publish_probe.load(std::memory_order_acquire)) probe(ring);
    __atomic_store_n(hdr_word(ring, W_PUT_CNT), ring->put_cnt + 1, __ATOMIC_RELAXED);
    return KEMU_OK;
}

void init_region(unsigned char *region) {
    const size_t pads[] = {0,
                           KIV_OFF_LOW + 40 + KIV_LOW_DATA,
                           KIV_OFF_MID + 40 + KIV_MID_DATA,
                           KIV_OFF_HIGH + 40 + KIV_HIGH_DATA,
                           KIV_OFF_BLOCKER + 40 + KIV_BLOCKER_DATA,
                           KIV_OFF_END_PAD};
    for (size_t off : pads) kemu_st<uint32_t>(region + off, RING_PAD_MAGIC);
    const struct {
        size_t off;
        uint32_t size;
    } rings[] = {{KIV_OFF_LOW, KIV_LOW_DATA},
                 {KIV_OFF_MID, KIV_MID_DATA},
                 {KIV_OFF_HIGH, KIV_HIGH_DATA},
                 {KIV_OFF_BLOCKER, KIV_BLOCKER_DATA},
                 {KIV_OFF_UCTRL, KIV_UCTRL_DATA}};
    for (const auto &ring : rings) {
        memset(region + ring.off, 0, sizeof(kiv_ring));
        kemu_st<uint32_t>(region + ring.off + offsetof(kiv_ring, size), ring.size);
    }
}

bool write_file(const std::string &path, const char *text) {
    FILE *f = fopen(path.c_str(), "w");
    if (!f) return false;
    bool ok = fputs(text, f) >= 0;
    return fclose(f) == 0 && ok;
}

// A fresh private directory for the module's /proc and /sys files, named after this process
// and locked while it lives, so a later start can tell a killed run's leftover from a live one.
bool make_root(std::string &root, int &root_fd) {
    char tmpl[64];
    snprintf(tmpl, sizeof tmpl, "%s/%s%d-XXXXXX", STANDIN_TMP_DIR, STANDIN_ROOT_PREFIX,
             (int)getpid());
    if (!mkdtemp(tmpl)) {
        KIV_LOG(0, "kemu: mkdtemp failed(%d:%s)\n", errno, strerror(errno));
        return false;
    }
    root = tmpl;
    root_fd = open(tmpl, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_fd < 0 || flock(root_fd, LOCK_EX | LOCK_NB) != 0) {
        KIV_LOG(0, "kemu: lock %s failed(%d:%s)\n", tmpl, errno, strerror(errno));
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(root + "/proc", ec);
    if (!ec) std::filesystem::create_directories(root + "/sys/module", ec);
    if (ec) {
        KIV_LOG(0, "kemu: mkdir under %s failed(%s)\n", root.c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

// The files a loaded module shows: /proc/qxkiv/... and /sys/module/qxkiv/....
bool make_module_files(const std::string &root, const std::string &version, int32_t refcnt) {
    std::error_code ec;
    std::filesystem::create_directories(root + "/proc/qxkiv", ec);
    if (!ec) std::filesystem::create_directories(root + "/sys/module/qxkiv/parameters", ec);
    if (ec) {
        KIV_LOG(0, "kemu: mkdir under %s failed(%s)\n", root.c_str(), ec.message().c_str());
        return false;
    }
    std::string count = std::to_string(refcnt) + "\n";
    const std::pair<const char *, const char *> files[] = {
        {"/proc/qxkiv/log", ""},
        {"/proc/qxkiv/logall", ""},
        {"/proc/qxkiv/kstat", "qxkiv stand-in\n"},
        {"/proc/qxkiv/ringstat", "low 524288\nmid 262144\nhigh 262144\nuctrl 64\n"},
        {"/sys/module/qxkiv/refcnt", count.c_str()},
        {"/sys/module/qxkiv/version", version.c_str()},
        {"/sys/module/qxkiv/parameters/qxkiv_status", "0\n"},
    };
    for (const auto &[rel, text] : files) {
        if (!write_file(root + rel, text)) {
            KIV_LOG(0, "kemu: write %s%s failed(%d:%s)\n", root.c_str(), rel, errno,
                    strerror(errno));
            return false;
        }
    }
    return true;
}

void remove_module_files(const std::string &root) {
    std::error_code ec;
    std::filesystem::remove_all(root + "/proc/qxkiv", ec);
    std::filesystem::remove_all(root + "/sys/module/qxkiv", ec);
}

// What the kernel knows of qxkiv when the stand-in plays the kernel in module mode. It
// outlives stand-in instances, as a module outlives the process that loaded it. Under s_lock.
struct kernel_module_state {
    bool plays_kernel = false;
    bool loaded = false;
    std::string version;  // the version file's text
    int32_t refcnt = 0;
    int32_t users = 0;
    bool refuse_unload = false;
    int refuse_load = 0;
    std::vector<unsigned char> image;
    std::string params;
    uint32_t loads = 0, unloads = 0, attempts = 0;
};
kernel_module_state s_kmod;

std::string default_version() {
    return std::string(STANDIN_MODULE_VERSION) + "\n";
}

// A module's build version sits in its .modinfo section as "version=..."; an image without
// one claims the library's build.
std::string image_version(const unsigned char *image, size_t len) {
    static const char tag[] = "version=";
    const size_t tlen = sizeof(tag) - 1;
    for (size_t i = 0; i + tlen <= len; i++) {
        if (memcmp(image + i, tag, tlen) != 0 || (i > 0 && image[i - 1] != 0)) continue;
        size_t end = i + tlen;
        while (end < len && image[end] != 0 && image[end] != '\n' && end - i - tlen < 100) end++;
        return std::string(reinterpret_cast<const char *>(image + i + tlen), end - i - tlen) + "\n";
    }
    return default_version();
}

// Whether the stand-in instance is the kernel of module mode (not the module of the
// stand-in modes).
bool kernel_role(const standin_state *si) {
    return si && si->mode == KERNEL_MODE_MODULE;
}

void destroy(standin_state *si) {
    for (const auto &[fd, kind] : si->fds) close(fd);
    if (si->region) munmap(si->region, KIV_REGION_SIZE);
    if (!si->root.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(si->root, ec);
        if (ec) KIV_LOG(1, "kemu: remove %s failed(%s)\n", si->root.c_str(), ec.message().c_str());
    }
    if (si->root_fd >= 0) close(si->root_fd);
    delete si;
}

// Length of the payload a pointer-argument request carries, from the block's own length
// fields; -1 when they are out of range.
long payload_len(unsigned long request, const unsigned char *p) {
    switch (request) {
        case KIV_IOCTL_TASK_QUERY: {
            uint32_t data = kemu_ld<uint32_t>(p + KEMU_QUERY_OFF_SIZE);
            return data > QUERY_DATA_MAX ? -1 : (long)(KEMU_QUERY_HDR + data);
        }
        case KIV_IOCTL_TASK_CONF: {
            // Start (command 6) carries the list values; for the stop command only the
            // command word is known to be there.
            if (kemu_ld<uint32_t>(p) != 6) return 4;
            uint64_t values = 0;
            for (int i = 0; i < 5; i++) values += kemu_ld<uint32_t>(p + 24 + 4 * i);
            return values > TASK_CONF_VALUES_MAX ? -1 : (long)(44 + 4 * values);
        }
        case KIV_IOCTL_FILE_MON:
            return FILE_MON_BLOCK;
        case KIV_IOCTL_FILE_FILTER: {
            uint32_t total = kemu_ld<uint32_t>(p);
            if (total > FILE_FILTER_MAX || p[4] > FILE_FILTER_OP_MAX || p[5] >= FILE_FILTER_KINDS)
                return -1;
            // Entries: group, event mask, NUL-terminated text; the last one ends the list.
            for (uint32_t at = 0; at < total;) {
                if (total - at < 3) return -1;
                const void *nul = memchr(p + 6 + at + 2, 0, total - at - 2);
                if (!nul) return -1;
                at = (uint32_t)(static_cast<const unsigned char *>(nul) - (p + 6)) + 1;
            }
            return (long)(6 + total);
        }
        case KIV_IOCTL_NET_CONF: {
            // The length must be the fixed part plus the port count's 16-bit ports.
            uint32_t total = kemu_ld<uint32_t>(p);
            if (total < NET_CONF_MIN || total > NET_CONF_MAX) return -1;
            uint32_t ports = kemu_ld<uint32_t>(p + NET_CONF_OFF_PORTS);
            return ports > NET_CONF_PORTS_MAX || total != NET_CONF_MIN + 2 * ports ? -1
                                                                                   : (long)total;
        }
        case KIV_IOCTL_FILE_SUFFIX:
        case KIV_IOCTL_FILE_SUFFIX_GRP: {
            uint32_t total = kemu_ld<uint32_t>(p + 4);
            return total > SUFFIX_MAX ? -1 : (long)(8 + total + 1);
        }
        case KIV_IOCTL_DEF_DBG_MODE:
            return DBG_MODE_RECORD;
    }
    return -1;
}

long fail(int err) {
    errno = err;
    return -1;
}

void *fail_ptr(int err) {
    errno = err;
    return nullptr;
}

}  // namespace

static void clear_exec_notes();

static int start_locked(kiv_kernel_mode mode, const capture_table *sources) {
    std::lock_guard guard(s_lock);
    if (s_si) {
        KIV_LOG(0, "kemu: stand-in already running\n");
        return -1;
    }
    clear_exec_notes();  // pids of an earlier run name other processes
    if (mode == KERNEL_MODE_USERSPACE && (!sources || !sources->count)) {
        KIV_LOG(0, "kemu: userspace mode needs capture sources, none given\n");
        return -1;
    }
    auto *si = new standin_state;
    si->mode = mode;
    if (mode == KERNEL_MODE_USERSPACE) si->sources = *sources;
    void *region =
        mmap(nullptr, KIV_REGION_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) {
        KIV_LOG(0, "kemu: region mmap failed(%d:%s)\n", errno, strerror(errno));
        destroy(si);
        return -1;
    }
    si->region = static_cast<unsigned char *>(region);
    init_region(si->region);
    standin_clean_stale(STANDIN_TMP_DIR);
    bool files = make_root(si->root, si->root_fd);
    if (files && !kernel_role(si)) files = make_module_files(si->root, default_version(), 0);
    if (files && kernel_role(si) && s_kmod.loaded)
        files = make_module_files(si->root, s_kmod.version, s_kmod.refcnt);
    if (!files) {
        destroy(si);
        return -1;
    }
    s_si = si;
    KIV_LOG(2, "kemu: stand-in started, mode %d, root %s\n", mode, si->root.c_str());
    return 0;
}

namespace {

const capture_source *s_process;  // host thread only, as start and stop

capture_table sources_now() {
    std::lock_guard guard(s_lock);
    return s_si ? s_si->sources : capture_table{};
}

// Loading BPF programs parses the kernel's type information (megabytes) and frees it again;
// the allocator would keep those pages resident for good.
void release_start_memory() {
    malloc_trim(0);
}

void start_files(const capture_table &t) {
    for (size_t i = 0; i < t.count; i++) {
        const capture_source &s = *t.rows[i];
        if (s.kind != CAPTURE_FILE) continue;
        std::string why;
        uint32_t options = t.options;
        if (s.usable(&why) &&
            s.start(reinterpret_cast<const unsigned char *>(&options), sizeof options, &why) == 0)
            KIV_LOG(2, "kemu: file activity source: %s\n", s.label);
        else
            KIV_LOG(1, "kemu: file activity off: %s; processes are still reported\n", why.c_str());
    }
}

}  // namespace

int standin_start(kiv_kernel_mode mode, const capture_table *sources) {
    if (start_locked(mode, sources) != 0) return -1;
    if (mode != KERNEL_MODE_USERSPACE) return 0;
    // The sources' threads produce through the lock, so they start (and stop) outside it.
    capture_table t = sources_now();
    s_process = standin_choose_process(t);
    if (!s_process) {
        standin_stop();
        return -1;
    }
    start_files(t);
    release_start_memory();
    return 0;
}

const capture_source *standin_process_source() {
    return s_process;
}

void standin_stop_sources() {
    capture_table t = sources_now();
    // Network first, whose records wait for the process source's, then processes, then files.
    for (capture_kind kind : {CAPTURE_NETWORK, CAPTURE_PROCESS, CAPTURE_FILE})
        for (size_t i = 0; i < t.count; i++)
            if (t.rows[i]->kind == kind) t.rows[i]->stop();
    for (size_t i = 0; i < t.count; i++)
        if (t.rows[i]->reset) t.rows[i]->reset();
    s_process = nullptr;
}

void standin_stop() {
    standin_stop_sources();
    std::lock_guard guard(s_lock);
    if (!s_si) return;
    if (!s_si->fds.empty()) KIV_LOG(2, "kemu: closing %zu device handles\n", s_si->fds.size());
    destroy(s_si);
    s_si = nullptr;
    KIV_LOG(2, "kemu: stand-in stopped\n");
}

namespace {
std::atomic<uint64_t> s_vfsmnt_updates{0};
}
void standin_note_vfsmnt_update() {
    s_vfsmnt_updates.fetch_add(1, std::memory_order_relaxed);
}
uint64_t standin_vfsmnt_updates() {
    return s_vfsmnt_updates.load(std::memory_order_relaxed);
}

bool standin_active() {
    std::lock_guard guard(s_lock);
    return s_si != nullptr;
}

int standin_open(const char *path, int flags) {
    device_kind kind;
    if (path && strcmp(path, "/dev/qx_sensor") == 0)
        kind = DEV_SENSOR;
    else if (path && strcmp(path, "/dev/qx_defense") == 0)
        kind = DEV_DEFENSE;
    else
        return (int)fail(ENOENT);
    std::lock_guard guard(s_lock);
    if (!s_si) return (int)fail(ENODEV);
    if (kernel_role(s_si) && !s_kmod.loaded) return (int)fail(ENOENT);  // no module, no node
    // A real descriptor, so the number is unique and close() works on it.
    int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    s_si->fds[fd] = kind;
    return fd;
}

void *standin_mmap(int fd, size_t len) {
    std::lock_guard guard(s_lock);
    if (!s_si) return fail_ptr(ENODEV);
    auto it = s_si->fds.find(fd);
    if (it == s_si->fds.end()) return fail_ptr(EBADF);
    if (it->second != DEV_SENSOR || len == 0 || len > KIV_REGION_SIZE) return fail_ptr(EINVAL);
    return s_si->region;
}

bool standin_unmap(void *addr) {
    std::lock_guard guard(s_lock);
    return s_si && addr == s_si->region;
}

int standin_close(int fd) {
    {
        std::lock_guard guard(s_lock);
        if (s_si) s_si->fds.erase(fd);
    }
    return close(fd);
}

// Under the stand-in's lock; a network capture request in userspace mode hands its payload
// and the sources out through net_cfg and sources, for the network sources to start or stop
// once the lock is released (their reader threads produce through the lock).
static long ioctl_locked(int fd, unsigned long request, unsigned long arg,
                         std::vector<unsigned char> *net_cfg, capture_table *sources) {
    std::lock_guard guard(s_lock);
    if (!s_si) return fail(ENODEV);
    auto it = s_si->fds.find(fd);
    if (it == s_si->fds.end()) return fail(EBADF);
    bool defense_req = request == KIV_IOCTL_DEF_DBG_MODE || request == KIV_IOCTL_DEF_DISABLE;
    if (defense_req != (it->second == DEV_DEFENSE)) return fail(ENOTTY);

    auto record = [&](const void *p, size_t n) {
        auto *b = static_cast<const unsigned char *>(p);
        s_si->last_ctl[(uint32_t)request].assign(b, b + n);
    };
    long result = 0;
    switch (request) {
        case KIV_IOCTL_SWITCH: {
            uint32_t v = (uint32_t)arg;
            record(&v, sizeof v);
            s_si->delivery = v != 0;
            return 0;
        }
        case KIV_IOCTL_DEF_DISABLE: {
            uint64_t v = arg;
            record(&v, sizeof v);
            return 0;
        }
        case KIV_IOCTL_REFCNT: {
            record(nullptr, 0);
            // Other users than the asker: only the asker's own handle means free.
            long users = 0;
            for (const auto &[other, kind] : s_si->fds) users += kind == DEV_SENSOR;
            users = users > 0 ? users - 1 : 0;
            return users + (kernel_role(s_si) ? s_kmod.users : 0);
        }
        case KIV_IOCTL_TASK_QUERY:
        case KIV_IOCTL_TASK_CONF:
        case KIV_IOCTL_FILE_MON:
        case KIV_IOCTL_FILE_FILTER:
        case KIV_IOCTL_NET_CONF:
        case KIV_IOCTL_FILE_SUFFIX:
        case KIV_IOCTL_FILE_SUFFIX_GRP:
        case KIV_IOCTL_DEF_DBG_MODE:
            break;
        default:
            KIV_LOG(1, "kemu: unknown control request 0x%lx\n", request);
            return fail(ENOTTY);
    }
    auto *p = reinterpret_cast<unsigned char *>(arg);
    if (!p) return fail(EFAULT);
    long len = payload_len(request, p);
    if (len < 0) {
        KIV_LOG(1, "kemu: control request 0x%lx with a bad length field\n", request);
        return fail(EINVAL);
    }
    record(p, (size_t)len);
    // The module takes a debug-mode record only with the magic word agreed with it.
    if (request == KIV_IOCTL_DEF_DBG_MODE && kemu_ld<uint32_t>(p) != KIV_DEFENSE_DBG_MAGIC)
        return fail(EINVAL);
    const capture_table &t = s_si->sources;
    for (size_t i = 0; i < t.count; i++)
        if (t.rows[i]->control) t.rows[i]->control(request, p, (size_t)len);
    if (request == KIV_IOCTL_NET_CONF && s_si->mode == KERNEL_MODE_USERSPACE) {
        net_cfg->assign(p, p + len);
        *sources = t;
    }
    if (request == KIV_IOCTL_TASK_QUERY) {
        result = s_si->procs.query(p, kemu_ld<uint32_t>(p + KEMU_QUERY_OFF_SIZE), t.query);
        if (result < 0) return fail((int)-result);
    }
    return result;
}

long standin_ioctl(int fd, unsigned long request, unsigned long arg) {
    std::vector<unsigned char> net_cfg;
    capture_table t;
    long result = ioctl_locked(fd, request, arg, &net_cfg, &t);
    if (net_cfg.size() < NET_CONF_MIN) return result;
    uint32_t ctl = kemu_ld<uint32_t>(net_cfg.data() + NET_CONF_OFF_CTL);
    bool on =
        ctl == KEMU_NET_CTL_START && kemu_ld<uint32_t>(net_cfg.data() + NET_CONF_OFF_ENABLE) == 1;
    for (size_t i = 0; i < t.count; i++) {
        const capture_source &s = *t.rows[i];
        if (s.kind != CAPTURE_NETWORK) continue;
        std::string why;
        if (on && (!s.usable(&why) || s.start(net_cfg.data(), net_cfg.size(), &why) != 0))
            KIV_LOG(1, "kemu: network activity off: %s; processes and files are still reported\n",
                    why.c_str());
        else if (ctl == KEMU_NET_CTL_STOP)
            s.stop();
    }
    if (on) release_start_memory();
    return result;
}

bool standin_root(std::string &out) {
    std::lock_guard guard(s_lock);
    if (!s_si) return false;
    out = s_si->root;
    return true;
}

bool standin_plays_kernel() {
    std::lock_guard guard(s_lock);
    return s_kmod.plays_kernel;
}

int standin_load_module(const void *image, size_t len, const char *params) {
    std::lock_guard guard(s_lock);
    if (!s_si) return (int)fail(ENOSYS);
    if (!kernel_role(s_si)) return 0;  // the stand-in is the module, already in place
    auto *b = static_cast<const unsigned char *>(image);
    s_kmod.attempts++;
    s_kmod.image.assign(b, b ? b + len : b);
    s_kmod.params = params ? params : "";
    if (!image || len == 0) return (int)fail(ENOEXEC);
    if (s_kmod.refuse_load) return (int)fail(s_kmod.refuse_load);
    if (s_kmod.loaded) return (int)fail(EEXIST);
    s_kmod.version = image_version(b, len);
    s_kmod.refcnt = 0;
    s_kmod.users = 0;
    s_kmod.refuse_unload = false;
    if (!make_module_files(s_si->root, s_kmod.version, 0)) {
        remove_module_files(s_si->root);
        return (int)fail(ENOMEM);
    }
    init_region(s_si->region);
    s_si->delivery = false;
    s_kmod.loaded = true;
    s_kmod.loads++;
    return 0;
}

int standin_delete_module(const char *name, unsigned int flags) {
    (void)flags;  // the kernel no longer waits for users either way
    std::lock_guard guard(s_lock);
    if (!s_si) return (int)fail(ENOSYS);
    if (!kernel_role(s_si)) return 0;
    if (!name || strcmp(name, "qxkiv") != 0 || !s_kmod.loaded) return (int)fail(ENOENT);
    if (s_kmod.refuse_unload || s_kmod.refcnt > 0 || s_kmod.users > 0 || !s_si->fds.empty())
        return (int)fail(EWOULDBLOCK);
    remove_module_files(s_si->root);
    s_kmod.loaded = false;
    s_kmod.unloads++;
    return 0;
}

namespace {
int put_record(int ring_type, const void *bytes, uint32_t len, bool honour_delivery,
               bool count_full) {
    if (!ring_type_ok(ring_type) || (!bytes && len)) return KEMU_BAD;
    std::lock_guard guard(s_lock);
    if (!s_si) return KEMU_INACTIVE;
    if (honour_delivery && !s_si->delivery) return KEMU_OFF;
    if (len == 0) return KEMU_OK;
    return ring_put(ring_at(s_si->region, ring_type), static_cast<const unsigned char *>(bytes),
                    len, count_full);
}
}  // namespace

int standin_put(int ring_type, const void *bytes, uint32_t len, bool honour_delivery) {
    return put_record(ring_type, bytes, len, honour_delivery, true);
}

int standin_try_put(int ring_type, const void *bytes, uint32_t len) {
    return put_record(ring_type, bytes, len, true, false);
}

void standin_count_lost(int ring_type, uint32_t records) {
    std::lock_guard guard(s_lock);
    if (s_si && ring_type_ok(ring_type) && records) {
        count_refusal(ring_at(s_si->region, ring_type), records);
        kiv_stat_inc(LIVE_RING_GIVE_UP, records);
    }
}

constexpr const char *kRingNames[KIV_RING_TYPE_NUM] = {"control", "low", "mid", "high"};

int standin_producer::put(int ring_type, const void *bytes, uint32_t len) {
    int rc = standin_try_put(ring_type, bytes, len);
    for (unsigned waited = 0; rc == KEMU_FULL && patient_ && waited < wait_ms_; waited++) {
        if (stop_ && stop_->load(std::memory_order_relaxed)) break;
        usleep(1000);
        rc = standin_try_put(ring_type, bytes, len);
    }
    if (rc == KEMU_FULL) {
        standin_count_lost(ring_type, 1);
        if (patient_)
            KIV_LOG(1,
                    "kemu: the %s ring stayed full for %u ms: records are lost until the "
                    "sensor reads it again\n",
                    kRingNames[ring_type], wait_ms_);
        patient_ = false;
    } else if (rc == KEMU_OK) {
        patient_ = true;
    }
    return rc;
}

int standin_track_process(const unsigned char *raw, uint32_t len) {
    std::lock_guard guard(s_lock);
    return s_si ? s_si->procs.set(raw, len) : -1;
}

bool standin_process_record(uint32_t pid, uint64_t create_time, std::vector<unsigned char> &out) {
    std::lock_guard guard(s_lock);
    return s_si && s_si->procs.get(pid, create_time, out);
}

bool standin_process_create_time(uint32_t pid, uint64_t *create_time) {
    std::lock_guard guard(s_lock);
    const std::vector<unsigned char> *rec = s_si ? s_si->procs.find(pid, 0) : nullptr;
    if (!rec || rec->size() < 8) return false;
    *create_time = kemu_ld<uint64_t>(rec->data());
    return true;
}

bool standin_forget_process(uint32_t pid, uint64_t *create_time) {
    std::lock_guard guard(s_lock);
    return s_si && s_si->procs.forget(pid, create_time);
}

void standin_queue_lost_exit(uint32_t pid, uint64_t create_time) {
    std::lock_guard guard(s_lock);
    if (s_si) s_si->procs.lose_exit(pid, create_time);
}

namespace {
std::atomic<uint64_t> s_process_mark{UINT64_MAX};  // unset: nothing waits
}  // namespace

void standin_process_mark(uint64_t mono_ns) {
    s_process_mark.store(mono_ns, std::memory_order_release);
}

void standin_process_mark_clear() {
    s_process_mark.store(UINT64_MAX, std::memory_order_release);
}

bool standin_process_delivered(uint64_t mono_ns) {
    return s_process_mark.load(std::memory_order_acquire) >= mono_ns;
}

uint64_t standin_mono_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

namespace {
// Indexed by pid: a later process on the same slot takes it over, which only costs an earlier
// process its note (its file records then name its current image).
constexpr size_t EXEC_NOTE_SLOTS = 8192;
std::mutex s_exec_notes_lock;
standin_exec_note s_exec_notes[EXEC_NOTE_SLOTS];
}  // namespace

static void clear_exec_notes() {
    std::lock_guard g(s_exec_notes_lock);
    for (auto &n : s_exec_notes) n = standin_exec_note{};
}

void standin_note_exec(const standin_exec_note &note) {
    std::lock_guard g(s_exec_notes_lock);
    s_exec_notes[note.pid % EXEC_NOTE_SLOTS] = note;
}

bool standin_last_exec(uint32_t pid, standin_exec_note *out) {
    std::lock_guard g(s_exec_notes_lock);
    const standin_exec_note &n = s_exec_notes[pid % EXEC_NOTE_SLOTS];
    if (n.pid != pid || pid == 0) return false;
    *out = n;
    return true;
}

uint64_t standin_name_hash(const char *path, size_t len) {
    size_t from = len;
    while (from > 0 && path[from - 1] != '/') from--;
    uint64_t h = 1469598103934665603ull;
    for (size_t i = from; i < len; i++) h = (h ^ (unsigned char)path[i]) * 1099511628211ull;
    return h;
}

size_t standin_overrun(bool (*alive)(uint32_t pid, uint64_t create_time)) {
    std::lock_guard guard(s_lock);
    if (!s_si) return 0;
    count_refusal(ring_at(s_si->region, RING_HIGH));
    return s_si->procs.lose_dead(alive);
}

void standin_set_publish_probe(void (*probe)(kiv_ring *ring)) {
    s_publish_probe.store(probe, std::memory_order_release);
}

unsigned char *standin_region() {
    std::lock_guard guard(s_lock);
    return s_si ? s_si->region : nullptr;
}

kiv_ring *standin_ring(int ring_type) {
    std::lock_guard guard(s_lock);
    return s_si && ring_type_ok(ring_type) ? ring_at(s_si->region, ring_type) : nullptr;
}

// A leftover root: "qxkiv-standin-<pid>-XXXXXX", a directory of ours that nobody else can
// change (mode 0700 as mkdtemp made it), whose process is gone and whose lock is free. Both
// tests, because a pid may belong to another pid namespace and a lock is not yet taken in the
// moment between mkdtemp and flock.
int standin_clean_stale(const char *dir) {
    DIR *d = opendir(dir);
    if (!d) return 0;
    const size_t plen = strlen(STANDIN_ROOT_PREFIX);
    int removed = 0;
    while (struct dirent *e = readdir(d)) {
        if (strncmp(e->d_name, STANDIN_ROOT_PREFIX, plen) != 0) continue;
        const char *p = e->d_name + plen;
        char *end;
        errno = 0;
        long pid = strtol(p, &end, 10);
        if (end == p || *end != '-' || !isdigit((unsigned char)*p) || errno || pid <= 0 ||
            pid > INT32_MAX)
            continue;
        if (kill((pid_t)pid, 0) == 0 || errno != ESRCH) continue;
        int fd = openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) == 0 &&
            flock(fd, LOCK_EX | LOCK_NB) == 0) {
            std::string path = std::string(dir) + "/" + e->d_name;
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
            if (ec) {
                KIV_LOG(1, "kemu: remove stale %s failed(%s)\n", path.c_str(),
                        ec.message().c_str());
            } else {
                KIV_LOG(2, "kemu: removed %s left by process %ld\n", path.c_str(), pid);
                removed++;
            }
        }
        close(fd);
    }
    closedir(d);
    return removed;
}

// ---- C API ----

extern "C" {

KIV_API int kemu_inject(int ring_type, const void *record, uint32_t len) {
    if (!standin_active()) return KEMU_INACTIVE;
    if (!record || len < sizeof(kiv_msg_hdr)) return KEMU_BAD;
    auto *h = static_cast<const unsigned char *>(record);
    uint16_t hlen = kemu_ld<uint16_t>(h + offsetof(kiv_msg_hdr, len));
    if (kemu_ld<uint32_t>(h) != KIV_MSG_MAGIC || hlen < sizeof(kiv_msg_hdr) ||
        hlen > KIV_MSG_MAX_LEN ||
        kemu_ld<uint16_t>(h + offsetof(kiv_msg_hdr, type)) > KIV_EV_MAX_TYPE || hlen != len)
        return KEMU_BAD;
    return standin_put(ring_type, record, len, true);
}

KIV_API int kemu_inject_raw(int ring_type, const void *bytes, uint32_t len) {
    return standin_put(ring_type, bytes, len, false);
}

KIV_API int kemu_ring_stats(int ring_type, struct kemu_ring_stats *out) {
    if (!ring_type_ok(ring_type) || !out) return standin_active() ? KEMU_BAD : KEMU_INACTIVE;
    std::lock_guard guard(s_lock);
    if (!s_si) return KEMU_INACTIVE;
    kiv_ring *ring = ring_at(s_si->region, ring_type);
    uint32_t words[10];
    for (int i = 0; i < 10; i++) words[i] = __atomic_load_n(hdr_word(ring, i), __ATOMIC_RELAXED);
    static_assert(sizeof words == sizeof *out);
    memcpy(out, words, sizeof words);
    return KEMU_OK;
}

KIV_API int kemu_delivery(void) {
    std::lock_guard guard(s_lock);
    return s_si ? (s_si->delivery ? 1 : 0) : KEMU_INACTIVE;
}

KIV_API int kemu_last_control(uint32_t request, void *buf, uint32_t size) {
    std::lock_guard guard(s_lock);
    if (!s_si) return KEMU_INACTIVE;
    auto it = s_si->last_ctl.find(request);
    if (it == s_si->last_ctl.end()) return -1;
    if (buf) memcpy(buf, it->second.data(), std::min<size_t>(size, it->second.size()));
    return (int)it->second.size();
}

KIV_API int kemu_set_process(const void *raw_process_info, uint32_t len) {
    std::lock_guard guard(s_lock);
    if (!s_si) return KEMU_INACTIVE;
    return s_si->procs.set(static_cast<const unsigned char *>(raw_process_info), len);
}

KIV_API int kemu_drop_process(uint32_t pid, uint64_t create_time) {
    std::lock_guard guard(s_lock);
    if (!s_si) return KEMU_INACTIVE;
    return s_si->procs.drop(pid, create_time);
}

KIV_API int kemu_lose_exit(uint32_t pid, uint64_t create_time) {
    std::lock_guard guard(s_lock);
    if (!s_si) return KEMU_INACTIVE;
    if (s_si->procs.lose_exit(pid, create_time) != 0) return -1;
    // The record that would have told user space is what went missing.
    count_refusal(ring_at(s_si->region, RING_HIGH));
    return KEMU_OK;
}

KIV_API int kemu_module_mode(int on) {
    std::lock_guard guard(s_lock);
    s_kmod.plays_kernel = on != 0;
    return KEMU_OK;
}

KIV_API int kemu_preset_module(const struct kemu_module_preset *preset) {
    std::lock_guard guard(s_lock);
    bool running = kernel_role(s_si);
    if (!preset) {
        s_kmod.loaded = false;
        if (running) remove_module_files(s_si->root);
        return KEMU_OK;
    }
    s_kmod.loaded = true;
    s_kmod.version = preset->version ? preset->version : default_version();
    s_kmod.refcnt = preset->refcnt;
    s_kmod.users = preset->users;
    s_kmod.refuse_unload = preset->refuse_unload != 0;
    if (running && !make_module_files(s_si->root, s_kmod.version, s_kmod.refcnt)) return KEMU_BAD;
    return KEMU_OK;
}

KIV_API int kemu_refuse_load(int err) {
    if (err < 0) return KEMU_BAD;
    std::lock_guard guard(s_lock);
    s_kmod.refuse_load = err;
    return KEMU_OK;
}

KIV_API int kemu_module_state(struct kemu_module_info *out) {
    if (!out) return KEMU_BAD;
    std::lock_guard guard(s_lock);
    out->loaded = s_kmod.loaded ? 1 : 0;
    out->loads = s_kmod.loads;
    out->unloads = s_kmod.unloads;
    out->attempts = s_kmod.attempts;
    return KEMU_OK;
}

KIV_API int kemu_module_params(char *buf, uint32_t size) {
    std::lock_guard guard(s_lock);
    if (s_kmod.attempts == 0) return -1;
    if (buf && size) snprintf(buf, size, "%s", s_kmod.params.c_str());
    return (int)s_kmod.params.size();
}

KIV_API int kemu_module_image(void *buf, uint32_t size) {
    std::lock_guard guard(s_lock);
    if (s_kmod.attempts == 0) return -1;
    if (buf) memcpy(buf, s_kmod.image.data(), std::min<size_t>(size, s_kmod.image.size()));
    return (int)s_kmod.image.size();
}

KIV_API void kemu_module_reset(void) {
    std::lock_guard guard(s_lock);
    if (kernel_role(s_si)) remove_module_files(s_si->root);
    s_kmod = kernel_module_state{};
}

}  // extern "C"
