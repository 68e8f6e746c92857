// fanotify with names: directory events (create, delete, rename) arrive with the parent's
// file handle and the entry's name, inode events (close after write, attribute change) with
// the parent's handle and name too. Handles are resolved to paths through open_by_handle_at
// on a descriptor of the same filesystem, and a cache keeps the directory paths until any
// directory is renamed, moved or removed (a moved directory must not keep its old path).
// The file an event names is stat'ed through its own handle, not its name, so a name swapped
// meanwhile cannot lend it another file's type or owner. Every map here is bounded by
// the bytes it holds and accounted with the library's allocator.
// Every filesystem holding a watched path gets a filesystem mark; the lists then pick the
// events, so a path added at run time is seen without a new mark when its filesystem already
// has one. A directory no list can match a file of gets an evictable ignore mark at its first
// file event, so the kernel stops queueing (and its writers stop paying for) those events.
// Events on directories are never ignored: a directory moved, renamed or removed, and any
// change of the lists, drops every ignore mark, since a moved directory may now be watched.
#include "kernel/capture/fanotify_files.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/log.h"
#include "base/mem.h"
#include "base/mem_alloc.h"
#include "comm/safe_open.h"
#include "kernel/capture/common/kernel_access.h"
#include "kernel/capture/common/proc_records.h"
#include "kernel/ring_layout.h"
#include "kernel/standin/producer.h"
#include "qxkiv/kemu.h"
#include "qxkiv/process_query.h"

#ifndef FAN_RENAME
#define FAN_RENAME 0x10000000
#endif
#ifndef FAN_REPORT_TARGET_FID
#define FAN_REPORT_TARGET_FID 0x00001000
#endif
#ifndef FAN_MARK_IGNORE
#define FAN_MARK_IGNORE 0x00000400
#endif
#ifndef FAN_MARK_EVICTABLE
#define FAN_MARK_EVICTABLE 0x00000200
#endif
#ifndef FAN_EVENT_INFO_TYPE_OLD_DFID_NAME
#define FAN_EVENT_INFO_TYPE_OLD_DFID_NAME 10
#define FAN_EVENT_INFO_TYPE_NEW_DFID_NAME 12
#endif

namespace {

enum { K_CREATE = 0, K_DELETE = 1, K_RENAME = 2, K_MODIFY = 3, K_ACCESS = 4, K_ATTRIB = 5 };
enum { F_FILE = 0, F_PATH = 1, F_TYPE = 2, F_EXE = 3, F_FILE_EX = 4, F_PATH_EX = 5 };
constexpr int KINDS = 8;
constexpr int RECENT_CREATE_SEC = 60;  // a close after write this soon after creation is one
constexpr uint64_t WAIT_FOR_PROCESS_MS = 300;
constexpr int POLL_PENDING_MS = 10;
// After a read that did not fill the buffer, the reader waits this long before the next: the
// events of a busy writer then arrive in batches, not one wake-up (an interrupt to another
// CPU) each.
constexpr int BATCH_MS = 10;
// What a map entry costs beyond its bytes: its node and its share of the buckets.
constexpr size_t NODE_COST = 64;
constexpr live_file_bounds DEFAULT_BOUNDS = {1u << 20, 4u << 20, 16u << 20};

template <uint32_t C>
using acc_string = std::basic_string<char, std::char_traits<char>, kiv_allocator<char, C>>;
using path_text = acc_string<MALLOC_FOR_HASH>;
using record_bytes =
    std::vector<unsigned char, kiv_allocator<unsigned char, MALLOC_FRAMEWORK_FOR_CACHE>>;
struct text_hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
template <class V>
using path_map = std::unordered_map<path_text, V, text_hash, std::equal_to<>,
                                    kiv_allocator<std::pair<const path_text, V>, MALLOC_FOR_HASH>>;

std::mutex s_bounds_lock;
live_file_bounds s_bounds = DEFAULT_BOUNDS;
std::atomic<size_t> s_used_dirs, s_used_created, s_used_pending;

struct entry {
    uint8_t mask, group;
};

// The lists as the library sent them; read by the reader thread, written by control calls.
using list_text = acc_string<MALLOC_FOR_FILE_CONFIG>;
std::mutex s_lists_lock;
std::map<list_text, entry, std::less<>,
         kiv_allocator<std::pair<const list_text, entry>, MALLOC_FOR_FILE_CONFIG>>
    s_lists[KINDS];

bool under(std::string_view path, std::string_view dir) {
    if (dir == "/") return !path.empty() && path[0] == '/';
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           path[dir.size()] == '/';
}

std::string_view parent_of(std::string_view path) {
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    return slash == 0 ? std::string_view("/") : path.substr(0, slash);
}

// Whether no list can match a file directly in dir (lists locked): dir is not a watched
// file's parent, nor a watched path, below one, or a watched path's parent.
bool unwatched_dir(std::string_view dir) {
    for (const auto &[text, e] : s_lists[F_FILE])
        if (parent_of(text) == dir) return false;
    for (const auto &[text, e] : s_lists[F_PATH]) {
        std::string_view p(text);
        if (p == dir || under(dir, p) || parent_of(p) == dir) return false;
    }
    return true;
}

// Whether only root can move dir to another place: it and every directory above it sit in a
// directory of root's that no one else may write to, or that is sticky with the entry root's
// (as /tmp is for root's own directories). Between a move and the reader seeing it the kernel
// still drops the moved directory's file events, so a directory a user could move (into a
// watched tree, writing there at once) is never ignored.
bool only_root_moves(std::string_view dir) {
    struct stat entry, parent;
    if (lstat(std::string(dir).c_str(), &entry) != 0) return false;
    for (std::string_view e = dir; e != "/"; e = parent_of(e)) {
        std::string_view p = parent_of(e);
        if (p.empty() || lstat(std::string(p).c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode))
            return false;
        bool others_write = parent.st_mode & (S_IWGRP | S_IWOTH);
        if (parent.st_uid != 0 || (others_write && !((parent.st_mode & S_ISVTX) && entry.st_uid == 0)))
            return false;
        entry = parent;
    }
    return true;
}

// Directories found movable by users, by a hash of their path: not looked at again on each of
// their events. Cleared with the ignore marks.
struct movable_cache {
    static constexpr size_t SLOTS = 1024;
    uint64_t slot[SLOTS] = {};
    static uint64_t key(std::string_view dir) { return std::hash<std::string_view>{}(dir) | 1; }
    bool has(std::string_view dir) const {
        uint64_t k = key(dir);
        return slot[k % SLOTS] == k;
    }
    void add(std::string_view dir) {
        uint64_t k = key(dir);
        slot[k % SLOTS] = k;
    }
    void clear() { std::fill(std::begin(slot), std::end(slot), 0); }
};

// Directories are ignored once they prove busy. An ignored directory's file events cost the
// kernel little, but every open and close in it then takes the kernel's slower path that looks
// at the parent: a directory with a few writes now and then stays as it is. The reader's own.
struct busy_dirs {
    // Four ways to a set, the stalest way giving room: directories written at the same time
    // that share a set are still each counted.
    static constexpr size_t SETS = 256, WAYS = 4;
    static constexpr uint32_t EVENTS = 16;  // within a second
    struct slot {
        uint64_t key, since_ms;
        uint32_t n;
    } s[SETS][WAYS] = {};
    bool busy(std::string_view dir, uint64_t now_ms) {
        uint64_t k = std::hash<std::string_view>{}(dir) | 1;
        slot *set = s[k % SETS], *e = nullptr, *stalest = &set[0];
        for (size_t w = 0; w < WAYS; w++) {
            if (set[w].key == k) e = &set[w];
            if (set[w].since_ms < stalest->since_ms) stalest = &set[w];
        }
        if (!e) *(e = stalest) = {k, now_ms, 0};
        if (now_ms - e->since_ms >= 1000) *e = {k, now_ms, 0};
        return ++e->n >= EVENTS;
    }
};

// Events the ignore marks drop: those on a directory's files, never the directory events
// (FAN_ONDIR stays out) nor renames, whose other end may be watched, nor executions opened.
constexpr uint64_t IGNORED_EVENTS = FAN_CREATE | FAN_DELETE | FAN_MOVED_FROM | FAN_MOVED_TO |
                                    FAN_ATTRIB | FAN_CLOSE_WRITE | FAN_EVENT_ON_CHILD;
std::atomic<size_t> s_ignored_dirs;

bool listed(int list, std::string_view path, int kind, bool prefix) {
    for (const auto &[text, e] : s_lists[list]) {
        if (!(e.mask & (1u << kind))) continue;
        if (path == std::string_view(text) || (prefix && under(path, text))) return true;
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
    std::atomic<bool> can_ignore{true};  // until the kernel refuses an ignore mark

    movable_cache movable;  // lists locked
    busy_dirs busy;

    // Lists locked: every ignore mark goes, so that the next events are judged afresh.
    void flush_ignores() {
        movable.clear();
        if (s_ignored_dirs.load(std::memory_order_relaxed) == 0) return;
        if (fanotify_mark(fan, FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr) != 0)
            KIV_LOG(1, "kemu: fanotify ignore marks not flushed(%d:%s)\n", errno, strerror(errno));
        s_ignored_dirs.store(0, std::memory_order_relaxed);
    }

    // The directory of a file event, at path, when no list can match a file in it. The lists
    // are checked and the mark set under their lock, so a list change cannot come between.
    void maybe_ignore(const __kernel_fsid_t &fsid, file_handle *fh, const std::string &path) {
        if (!can_ignore.load(std::memory_order_relaxed) || path.empty()) return;
        if (!busy.busy(path, batch_ns / 1000000)) return;
        {
            std::lock_guard g(s_lists_lock);
            if (!unwatched_dir(path) || movable.has(path)) return;
        }
        if (!only_root_moves(path)) {
            std::lock_guard g(s_lists_lock);
            movable.add(path);
            return;
        }
        int mfd = mount_fd(fsid);
        if (mfd < 0) return;
        int fd = open_by_handle_at(mfd, fh, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return;
        std::lock_guard g(s_lists_lock);
        if (unwatched_dir(path)) {
            unsigned flags =
                FAN_MARK_ADD | FAN_MARK_IGNORE | FAN_MARK_IGNORED_SURV_MODIFY | FAN_MARK_EVICTABLE;
            if (fanotify_mark(fan, flags, IGNORED_EVENTS, fd, nullptr) == 0) {
                s_ignored_dirs.fetch_add(1, std::memory_order_relaxed);
            } else if (errno == EINVAL) {
                can_ignore = false;
                KIV_LOG(1, "kemu: fanotify ignore marks refused (kernel before 6.0?): every file "
                           "event of a marked filesystem is read and judged here\n");
            }
        }
        close(fd);
    }
    std::thread thread;
    std::mutex marks_lock;
    std::map<std::pair<int32_t, int32_t>, fs_mark> marks;  // by fsid
    live_file_bounds bounds = DEFAULT_BOUNDS;
    path_map<path_text> dir_cache;  // fsid and handle bytes -> path
    size_t dir_bytes = 0;
    path_map<time_t> created;  // recent creations by path
    size_t created_bytes = 0;
    time_t created_swept = 0;

    // The batch being handled: when its read began, the executions opened in it (the kernel
    // queues them in order with the file events) and where the current event starts.
    struct exec_open {
        size_t at;
        uint32_t pid;
        uint64_t name_hash;
    };
    static constexpr size_t LATER_EXECS = 4;
    static constexpr size_t LOOK_BACK = 512;  // waiting records an exec's open may follow
    uint64_t batch_ns = 0;
    std::vector<exec_open> batch_execs;
    size_t cur_at = 0;

    void forget_dirs() {
        dir_cache.clear();
        dir_bytes = 0;
        s_used_dirs.store(0, std::memory_order_relaxed);
    }
    void forget_creation(path_map<time_t>::iterator it) {
        created_bytes -= it->first.size() + NODE_COST;
        created.erase(it);
    }
    // A file created and never closed after writing (a directory, a socket, a link, a name
    // renamed away) would stay here for good: creations older than the window go once a
    // window, and all of them when their bytes would pass the bound.
    void remember_creation(const std::string &name, time_t at, time_t now) {
        if (auto it = created.find(std::string_view(name)); it != created.end())
            forget_creation(it);
        size_t cost = name.size() + NODE_COST;
        if (now - created_swept >= RECENT_CREATE_SEC || created_bytes + cost > bounds.created) {
            created_swept = now;
            std::erase_if(created,
                          [now](const auto &e) { return now - e.second > RECENT_CREATE_SEC; });
            created_bytes = 0;
            for (const auto &e : created) created_bytes += e.first.size() + NODE_COST;
        }
        if (created_bytes + cost > bounds.created) {
            KIV_LOG(2,
                    "kemu: recent creations over %zu bytes: forgotten, their closes count as "
                    "changes\n",
                    bounds.created);
            created.clear();
            created_bytes = 0;
        }
        if (cost <= bounds.created) {
            created.emplace(path_text(name.data(), name.size()), at);
            created_bytes += cost;
        }
        s_used_created.store(created_bytes, std::memory_order_relaxed);
    }
    record_bytes msg;
    uint16_t next_id = 0;
    pid_t self = getpid();

    // A descriptor on path for its filesystem, opened without waking a device or waiting on
    // a FIFO whatever a user left at that name: a directory, a regular file, or else the
    // directory holding it. open_by_handle_at refuses an O_PATH descriptor as its mount
    // descriptor, so a real open is needed.
    static int open_on_filesystem(const std::string &path) {
        int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0 || errno != ENOTDIR) return fd;
        struct stat st;
        fd = open_regular_fd(path.c_str(), nullptr, false, &st);
        if (fd >= 0) return fd;
        size_t slash = path.rfind('/');
        if (slash == std::string::npos) return -1;
        std::string parent = slash == 0 ? "/" : path.substr(0, slash);
        return open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }

    // A filesystem mark for the filesystem holding path, once.
    void mark_path(const std::string &path) {
        int fd = open_on_filesystem(path);
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
        // Executions opened are not reported: they place each file event before or after
        // its process's exec.
        uint64_t mask =
            FAN_CREATE | FAN_DELETE | FAN_ATTRIB | FAN_CLOSE_WRITE | FAN_ONDIR | FAN_OPEN_EXEC;
        // FAN_RENAME (both names in one event) where the kernel has it, in place of the two
        // halves of a move. The mark goes on the descriptor checked above, not on a name that
        // may have changed since.
        int rc = -1;
        if (has_rename) {
            rc = fanotify_mark(fan, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask | FAN_RENAME, fd,
                               nullptr);
            if (rc != 0 && errno == EINVAL) has_rename = false;
        }
        if (rc != 0)
            rc = fanotify_mark(fan, FAN_MARK_ADD | FAN_MARK_FILESYSTEM,
                               mask | FAN_MOVED_FROM | FAN_MOVED_TO, fd, nullptr);
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
        auto it = dir_cache.find(std::string_view(key));
        if (it != dir_cache.end()) return std::string(it->second);
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
        size_t cost = key.size() + path.size() + NODE_COST;
        if (dir_bytes + cost > bounds.dirs) forget_dirs();
        if (cost <= bounds.dirs) {
            dir_cache.emplace(path_text(key.data(), key.size()),
                              path_text(path.data(), path.size()));
            dir_bytes += cost;
            s_used_dirs.store(dir_bytes, std::memory_order_relaxed);
        }
        return path;
    }

    // The inode a handle names, as it is now; false when it is gone.
    // The file an event's own identifier names, looked up only when the event is reported:
    // most events match no list and cost no system call here.
    struct event_inode {
        file_source *src = nullptr;
        __kernel_fsid_t fsid{};
        alignas(file_handle) unsigned char fh[sizeof(file_handle) + MAX_HANDLE_SZ];
        bool have = false, looked = false, found = false;
        struct stat st = {};
        const struct stat *get() {
            if (!have) return nullptr;
            if (!looked) {
                looked = true;
                found = src->stat_handle(fsid, reinterpret_cast<file_handle *>(fh), &st);
            }
            return found ? &st : nullptr;
        }
    };

    // Handles found stale lately: an inode's handle never comes back (its generation
    // changes), and one file's creation, close and rename would each look it up again.
    static constexpr size_t STALE_SLOTS = 16;
    uint64_t stale[STALE_SLOTS] = {};
    size_t stale_next = 0;
    static uint64_t handle_key(const __kernel_fsid_t &fsid, const file_handle *fh) {
        std::string_view bytes(reinterpret_cast<const char *>(fh->f_handle), fh->handle_bytes);
        return (std::hash<std::string_view>{}(bytes) ^ ((uint64_t)(uint32_t)fsid.val[0] << 32) ^
                (uint32_t)fsid.val[1] ^ (uint64_t)fh->handle_type << 17) | 1;
    }

    bool stat_handle(const __kernel_fsid_t &fsid, file_handle *fh, struct stat *st) {
        int mfd = mount_fd(fsid);
        if (mfd < 0) return false;
        uint64_t key = handle_key(fsid, fh);
        if (std::find(std::begin(stale), std::end(stale), key) != std::end(stale)) return false;
        int fd = open_by_handle_at(mfd, fh, O_PATH | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ESTALE) stale[stale_next++ % STALE_SLOTS] = key;
            return false;
        }
        bool ok = fstat(fd, st) == 0;
        close(fd);
        return ok;
    }

    uint64_t create_time_of(uint32_t pid) {
        uint64_t ct;
        return standin_process_create_time(pid, &ct) ? ct : live_proc_create_time(pid);
    }

    // The module's file record: head, the fixed fields, the kind's part, the path block.
    void put(int kind, uint32_t pid, const std::string &name, const std::string *old,
             uint8_t creat_type, event_inode *inode) {
        struct stat st = {};
        // The event's own handle names the file, wherever it went since. A name is looked up
        // only on a kernel that gives no handle: a lookup of a name just removed takes the
        // directory's lock, and the writer renaming or unlinking the next file waits on it.
        // A deleted name is gone: looking it up could only find a file made there since.
        bool have;
        if (kind == K_DELETE)
            have = false;
        else if (inode && inode->have)
            have = inode->get() && (st = *inode->get(), true);
        else
            have = lstat(name.c_str(), &st) == 0;
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
        waiting w{now_ms() + WAIT_FOR_PROCESS_MS, standin_mono_ns(), batch_ns, {}, pid, 0, msg};
        for (const exec_open &e : batch_execs)
            if (e.at > cur_at && e.pid == pid && w.n_later < LATER_EXECS)
                w.later_execs[w.n_later++] = e.name_hash;
        pending.push_back(std::move(w));
        pending_bytes += msg.size() + NODE_COST;
        flush();
    }

    // A file record waits until the process source has reported its process and every
    // process event before it, an exec above all (the collector takes those records first,
    // so the query finds the process as it is), or until its time is up for
    // a process that source will never report (one that predates it). Records leave in the
    // order their events came, numbered as they leave.
    struct waiting {
        uint64_t deadline_ms;
        uint64_t read_ns;   // later than the event: the process source must deliver past it
        uint64_t batch_ns;  // earlier than the event's read
        uint64_t later_execs[LATER_EXECS];  // names the process opened to execute after it
        uint32_t pid;
        uint32_t n_later;
        record_bytes msg;
    };
    std::deque<waiting, kiv_allocator<waiting, MALLOC_FRAMEWORK_FOR_CACHE>> pending;
    size_t pending_bytes = 0;
    void drop_front() {
        pending_bytes -= pending.front().msg.size() + NODE_COST;
        pending.pop_front();
    }
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
            kemu_st<uint32_t>(w.msg.data() + 12, exec_mark(w));
            // A full ring is waited out here (fanotify keeps queueing in the kernel) rather
            // than losing the record as a kernel producer must.
            if (standin_try_put(RING_MID, w.msg.data(), (uint32_t)w.msg.size()) == KEMU_FULL) break;
            next_id = id;
            drop_front();
        }
        if (pending_bytes > bounds.pending) {
            uint32_t lost = 0;
            while (pending_bytes > bounds.pending && !pending.empty()) drop_front(), lost++;
            KIV_LOG(1,
                    "kemu: file records waiting for ring space passed %zu bytes, the oldest %u "
                    "dropped\n",
                    bounds.pending, lost);
            standin_count_lost(RING_MID, lost);
        }
        s_used_pending.store(pending_bytes, std::memory_order_relaxed);
    }

    // Non-zero when the event came before its process's latest exec: that exec happened after
    // the event's batch was read, or the process opened that exec's file later in the queue.
    // The collector then names the image the exec replaced. Only the latest exec is known, so
    // an event followed by two quick execs names the image between them.
    static uint32_t exec_mark(const waiting &w) {
        standin_exec_note n;
        if (!standin_last_exec(w.pid, &n)) return 0;
        bool before = n.at_ns != 0 && n.at_ns > w.batch_ns;
        for (uint32_t i = 0; !before && i < w.n_later; i++)
            before = w.later_execs[i] == n.name_hash;
        KIV_LOG(4, "kemu: file record of pid %u %s its exec %u (%u later opens)\n", w.pid,
                before ? "before" : "after", n.event_id, w.n_later);
        return before ? PROC_EXEC_MARK_BEFORE | n.event_id : 0;
    }

    void report(int kind, uint32_t pid, const std::string &path, const std::string *old = nullptr,
                uint8_t creat_type = 1, event_inode *named = nullptr) {
        if (live_file_watched(path, kind) || (old && live_file_watched(*old, kind)))
            put(kind, pid, path, old, creat_type, named);
    }

    // One file identifier record of an event, its handle's length checked; entry is the name
    // after the handle of a named record (empty for the object's own record).
    struct fid_record {
        uint8_t type;
        __kernel_fsid_t fsid;
        const char *handle;  // file_handle bytes, unaligned
        uint32_t handle_bytes;
        std::string_view entry;
    };
    template <class F>
    static void each_fid(const char *ev, const fanotify_event_metadata &md, F &&f) {
        for (size_t off = md.metadata_len;
             off + sizeof(fanotify_event_info_header) <= md.event_len;) {
            fanotify_event_info_header hdr;
            memcpy(&hdr, ev + off, sizeof hdr);
            if (hdr.len == 0 || off + hdr.len > md.event_len) break;
            size_t fixed = sizeof(fanotify_event_info_fid) + sizeof(file_handle);
            bool named = hdr.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME ||
                         hdr.info_type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME ||
                         hdr.info_type == FAN_EVENT_INFO_TYPE_NEW_DFID_NAME;
            if ((named || hdr.info_type == FAN_EVENT_INFO_TYPE_FID) && hdr.len >= fixed) {
                fanotify_event_info_fid fid;
                memcpy(&fid, ev + off, sizeof fid);
                const char *h = ev + off + sizeof(fanotify_event_info_fid);
                file_handle fh;
                memcpy(&fh, h, sizeof fh);
                size_t with_handle = fixed + fh.handle_bytes;
                if (fh.handle_bytes <= MAX_HANDLE_SZ && with_handle <= hdr.len) {
                    fid_record r{hdr.info_type, fid.fsid, h, fh.handle_bytes, {}};
                    if (named && with_handle < hdr.len) {
                        const char *entry = ev + off + with_handle;
                        r.entry = {entry, strnlen(entry, hdr.len - with_handle)};
                    }
                    if (named && r.entry.empty()) {
                        off += hdr.len;
                        continue;  // a named record without its name says nothing
                    }
                    f(r);
                }
            }
            off += hdr.len;
        }
    }

    // Events follow each other at any byte offset: every field is copied out, never read in
    // place.
    void handle(const char *ev, const fanotify_event_metadata &md) {
        uint64_t m = md.mask;
        if (m & FAN_OPEN_EXEC) {
            m &= ~(uint64_t)FAN_OPEN_EXEC;
            if (!(m & ~(uint64_t)FAN_ONDIR)) return;  // placed by note_exec_opens
        }
        // A directory renamed, moved or removed takes every path below it along: the cached
        // paths go (the next events resolve their handles afresh), whoever did it.
        bool dirs_changed =
            (m & FAN_ONDIR) && (m & (FAN_RENAME | FAN_MOVED_FROM | FAN_MOVED_TO | FAN_DELETE));
        // A directory's owner or mode changed: one that only root could move may no longer be.
        if ((m & FAN_ONDIR) && (m & FAN_ATTRIB)) {
            std::lock_guard g(s_lists_lock);
            flush_ignores();
        }
        if (dirs_changed) {
            std::lock_guard g(s_lists_lock);
            flush_ignores();
        }
        // The sensor's own writes (logs, database, state) are never reported.
        const bool own = md.pid == self;
        std::string name, old, name_dir;
        __kernel_fsid_t name_fsid{};
        alignas(file_handle) unsigned char dirbuf[sizeof(file_handle) + MAX_HANDLE_SZ];
        bool have_name = false, have_old = false;
        event_inode inode;
        inode.src = this;
        alignas(file_handle) unsigned char fhbuf[sizeof(file_handle) + MAX_HANDLE_SZ];
        each_fid(ev, md, [&](const fid_record &r) {
            memcpy(fhbuf, r.handle, sizeof(file_handle) + r.handle_bytes);
            auto *handle = reinterpret_cast<file_handle *>(fhbuf);
            if (r.type == FAN_EVENT_INFO_TYPE_FID) {
                // The object itself: what the record says of the file is read here.
                memcpy(inode.fh, fhbuf, sizeof(file_handle) + r.handle_bytes);
                inode.fsid = r.fsid, inode.have = true;
            } else if (!r.entry.empty()) {
                std::string dir = dir_path(r.fsid, handle);
                if (r.type == FAN_EVENT_INFO_TYPE_DFID_NAME) {
                    name_dir = dir, name_fsid = r.fsid;
                    memcpy(dirbuf, fhbuf, sizeof(file_handle) + r.handle_bytes);
                }
                if (!dir.empty()) {
                    std::string full = dir == "/" ? "/" : dir + "/";
                    full.append(r.entry);
                    if (r.type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME)
                        old = full, have_old = true;
                    else
                        name = full, have_name = true;
                }
            }
        });
        if ((have_name || have_old) && !own)
            report_event(m, (uint32_t)md.pid, name, have_name, old, have_old, &inode);
        if (!(m & (FAN_ONDIR | FAN_RENAME)) && !name_dir.empty())
            maybe_ignore(name_fsid, reinterpret_cast<file_handle *>(dirbuf), name_dir);
        if (dirs_changed) forget_dirs();
    }

    // inode: the file the event itself names (its own handle), looked up only if reported.
    void report_event(uint64_t m, uint32_t pid, const std::string &name, bool have_name,
                      const std::string &old, bool have_old, event_inode *inode) {
        time_t now = time(nullptr);
        if (m & FAN_RENAME) {
            // A creation renamed before its close keeps counting under its new name.
            auto it = have_old ? created.find(std::string_view(old)) : created.end();
            if (it != created.end()) {
                time_t at = it->second;
                forget_creation(it);
                if (have_name) remember_creation(name, at, now);
            }
            if (have_name) report(K_RENAME, pid, name, have_old ? &old : nullptr, 1, inode);
            return;
        }
        if ((m & FAN_MOVED_TO) && !has_rename && have_name)
            report(K_RENAME, pid, name, nullptr, 1, inode);
        if (m & FAN_CREATE) {
            remember_creation(name, now, now);
            report(K_CREATE, pid, name, nullptr, 1, inode);
        }
        if (m & FAN_DELETE) {
            if (auto it = created.find(std::string_view(name)); it != created.end())
                forget_creation(it);
            report(K_DELETE, pid, name);
        }
        if (m & FAN_ATTRIB) report(K_ATTRIB, pid, name, nullptr, 1, inode);
        if (m & FAN_CLOSE_WRITE) {
            auto it = created.find(std::string_view(name));
            if (it != created.end() && now - it->second <= RECENT_CREATE_SEC) {
                forget_creation(it);
                report(K_CREATE, pid, name, nullptr, 3, inode);  // closed after writing: type it
            } else {
                report(K_MODIFY, pid, name, nullptr, 1, inode);
            }
        }
        s_used_created.store(created_bytes, std::memory_order_relaxed);
    }

    // The maps allocate through the accounting allocator, which throws when it cannot.
    void handle_guarded(const char *ev, const fanotify_event_metadata &md) {
        try {
            handle(ev, md);
        } catch (const std::bad_alloc &) {
            KIV_LOG(1, "kemu: no memory for a file event of pid %d, dropped\n", md.pid);
            forget_dirs();
        }
    }

    // The executions a batch opened, with the name of each opened file.
    void note_exec_opens(const char *buf, size_t n) {
        batch_execs.clear();
        for (size_t at = 0; at + sizeof(fanotify_event_metadata) <= n;) {
            fanotify_event_metadata md;
            memcpy(&md, buf + at, sizeof md);
            if (md.event_len < sizeof md || at + md.event_len > n) break;
            if (md.vers == FANOTIFY_METADATA_VERSION && (md.mask & FAN_OPEN_EXEC)) {
                std::string_view name = entry_name(buf + at, md);
                if (!name.empty())
                    batch_execs.push_back(
                        {at, (uint32_t)md.pid, standin_name_hash(name.data(), name.size())});
            }
            at += md.event_len;
        }
        // The records still waiting came before all of this batch: a batch cut by the
        // buffer's size leaves an exec's open to the next one.
        if (batch_execs.empty()) return;
        size_t looked = 0;
        for (auto it = pending.rbegin(); it != pending.rend() && looked < LOOK_BACK; ++it, ++looked)
            for (const exec_open &e : batch_execs)
                if (e.pid == it->pid && it->n_later < LATER_EXECS)
                    it->later_execs[it->n_later++] = e.name_hash;
    }

    // The name of an event's directory entry record, empty when it has none.
    static std::string_view entry_name(const char *ev, const fanotify_event_metadata &md) {
        std::string_view name;
        each_fid(ev, md, [&](const fid_record &r) {
            if (r.type == FAN_EVENT_INFO_TYPE_DFID_NAME && name.empty()) name = r.entry;
        });
        return name;
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
            batch_ns = standin_mono_ns();
            ssize_t n = read(fan, buf, sizeof buf);
            if (n <= 0) {
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    KIV_LOG(1, "kemu: fanotify read failed(%d:%s)\n", errno, strerror(errno));
                continue;
            }
            note_exec_opens(buf, (size_t)n);
            for (size_t at = 0; at + sizeof(fanotify_event_metadata) <= (size_t)n;) {
                fanotify_event_metadata md;
                memcpy(&md, buf + at, sizeof md);
                if (md.event_len < sizeof md || at + md.event_len > (size_t)n) break;
                if (md.vers == FANOTIFY_METADATA_VERSION) {
                    if (md.mask & FAN_Q_OVERFLOW) {
                        kiv_stat_inc(LIVE_FANOTIFY_OVERFLOW);
                        KIV_LOG(1, "kemu: fanotify queue overflow, file events lost\n");
                        forget_dirs();  // a lost rename may have moved any of them
                    } else {
                        cur_at = at;
                        handle_guarded(buf + at, md);
                    }
                }
                if (md.fd >= 0) close(md.fd);
                at += md.event_len;
            }
            // A stop ends the wait at once.
            if ((size_t)n < sizeof buf / 2 && poll(&fds[1], 1, BATCH_MS) > 0) return;
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
            for (const auto &[text, e] : s_lists[l]) paths.emplace_back(text.data(), text.size());
    }
    for (const std::string &p : paths) src->mark_path(p);
}

void destroy(file_source *src) {
    for (auto &[fsid, m] : src->marks) close(m.fd);
    if (src->fan >= 0) close(src->fan);
    if (src->wake >= 0) close(src->wake);
    delete src;
    s_used_dirs = 0, s_used_created = 0, s_used_pending = 0;
    s_ignored_dirs = 0;
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
    // Lists and ignore marks change together: the reader marks under the same lock, so no
    // mark judged by the old lists outlives them.
    std::lock_guard fg(s_file_lock);
    {
        std::lock_guard g(s_lists_lock);
        if (s_file && (kind == F_FILE || kind == F_PATH)) s_file->flush_ignores();
        auto &list = s_lists[kind];
        if (op == 0) list.clear();
        for (auto &[text, e] : items) {
            if (op == 2) {
                if (auto it = list.find(std::string_view(text)); it != list.end()) list.erase(it);
            } else {
                list.insert_or_assign(list_text(text.data(), text.size()), e);
            }
        }
    }
    if (kind == F_FILE || kind == F_PATH) {
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
    {
        std::lock_guard b(s_bounds_lock);
        src->bounds = s_bounds;
    }
    unsigned flags = FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME;
    // With the object's own handle as well, where the kernel gives it: for entry events
    // (creation, rename) too, so that their file is stat'ed by handle rather than by name.
    src->fan = fanotify_init(flags | FAN_REPORT_FID | FAN_REPORT_TARGET_FID, O_RDONLY | O_CLOEXEC);
    if (src->fan < 0 && errno == EINVAL)
        src->fan = fanotify_init(flags | FAN_REPORT_FID, O_RDONLY | O_CLOEXEC);
    if (src->fan < 0 && errno == EINVAL) src->fan = fanotify_init(flags, O_RDONLY | O_CLOEXEC);
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

void live_file_set_bounds(const live_file_bounds *bounds) {
    std::lock_guard g(s_bounds_lock);
    s_bounds = bounds ? *bounds : DEFAULT_BOUNDS;
}

size_t live_file_ignored_dirs() {
    return s_ignored_dirs.load(std::memory_order_relaxed);
}

live_file_bounds live_file_usage() {
    return {s_used_dirs.load(std::memory_order_relaxed),
            s_used_created.load(std::memory_order_relaxed),
            s_used_pending.load(std::memory_order_relaxed)};
}

namespace {

bool usable(std::string *why) {
    if ((live_effective_caps() >> LIVE_CAP_SYS_ADMIN) & 1) return true;
    *why = "fanotify needs root (CAP_SYS_ADMIN)";
    return false;
}

int start(const unsigned char *, size_t, std::string *why) {
    return live_file_start(why);
}

void control(unsigned long request, const unsigned char *payload, size_t len) {
    if (request == KIV_IOCTL_FILE_FILTER) live_file_filter(payload, len);
}

}  // namespace

extern const capture_source capture_fanotify = {
    "fanotify", "fanotify",     "fanotify",        nullptr, CAPTURE_FILE, usable,
    start,      live_file_stop, live_file_running, nullptr, control,      live_file_reset};
