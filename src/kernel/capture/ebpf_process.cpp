// The eBPF process source: raw tracepoints on exec, fork and exit (and, when the kernel takes
// them, the library-load, signal and pipe programs) hand their events over one ring buffer to
// one reader thread, so a library load is always read after the exec of its process.
#include "kernel/capture/ebpf_process.h"

#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "base/log.h"
#include "kernel/capture/common/aux_records.h"
#include "kernel/capture/common/container_id.h"
#include "kernel/capture/common/kernel_access.h"
#include "kernel/capture/common/proc_records.h"

namespace {

// Text of one record slot; the length written (at most STR_MAX).
uint32_t put_text(char *dst, const char *src, uint32_t len) {
    if (len > live_proc_image::STR_MAX) len = live_proc_image::STR_MAX;
    memcpy(dst, src, len);
    return len;
}

void fd_text(const live_exec_ev &e, int slot, const char *text, live_proc_image &img) {
    int k = slot - LIVE_STR_FD0;
    if (e.fd_kind[k] == LIVE_FD_PATH) {
        img.len[slot] = put_text(img.str[slot], text, e.len[slot]);
        return;
    }
    int n =
        snprintf(img.str[slot], sizeof img.str[slot], "%s:[%llu]",
                 e.fd_kind[k] == LIVE_FD_PIPE ? "pipe" : "socket", (unsigned long long)e.fd_ino[k]);
    img.len[slot] = n > 0 ? (uint32_t)n : 0;
}

}  // namespace

bool live_bpf_image(const live_exec_ev &e, size_t size, live_proc_image *out) {
    if (size < LIVE_EXEC_HEAD) return false;
    const char *text[5];
    size_t at = 0;
    for (int i = 0; i < 5; i++) {
        if (e.len[i] > LIVE_STR_MAX || e.len[i] > size - LIVE_EXEC_HEAD - at) return false;
        text[i] = e.text + at;
        at += e.len[i];
    }
    live_proc_image &img = *out;
    img = live_proc_image{};
    img.create_time = live_proc_ticks_ns(e.start_ns);
    img.ppid = e.ppid, img.session = e.session;
    memcpy(img.uid, e.uid, sizeof img.uid);
    memcpy(img.gid, e.gid, sizeof img.gid);
    img.owner = e.owner, img.mode = e.mode & 07777;
    // The arguments are NUL-separated; they are reported joined by blanks, and a cut one ends
    // in "...".
    uint32_t n = put_text(img.str[LIVE_STR_CMD], text[LIVE_STR_CMD], e.len[LIVE_STR_CMD]);
    while (n > 0 && img.str[LIVE_STR_CMD][n - 1] == 0) n--;
    for (uint32_t i = 0; i < n; i++)
        if (img.str[LIVE_STR_CMD][i] == 0) img.str[LIVE_STR_CMD][i] = ' ';
    if ((e.flags & LIVE_FLAG_CMD_CUT) && n >= 3) memcpy(img.str[LIVE_STR_CMD] + n - 3, "...", 3);
    img.len[LIVE_STR_CMD] = n;
    img.len[LIVE_STR_CWD] = put_text(img.str[LIVE_STR_CWD], text[LIVE_STR_CWD], e.len[LIVE_STR_CWD]);
    uint32_t p = put_text(img.str[LIVE_STR_PATH], text[LIVE_STR_PATH], e.len[LIVE_STR_PATH]);
    if (e.flags & LIVE_FLAG_EXE_DELETED) {
        static const char kDeleted[] = " (deleted)";
        uint32_t add = sizeof kDeleted - 1;
        if (p + add > live_proc_image::STR_MAX) add = live_proc_image::STR_MAX - p;
        memcpy(img.str[LIVE_STR_PATH] + p, kDeleted, add);
        p += add;
    }
    img.len[LIVE_STR_PATH] = p;
    if (e.flags & LIVE_FLAG_EXE_IDENT) {
        img.exe_known = true;
        img.exe_dev = makedev(e.exe_dev >> 20, e.exe_dev & 0xfffff);
        img.exe_ino = e.exe_ino;
        img.exe_ctime_sec = e.exe_ctime_sec;
        img.exe_ctime_nsec = e.exe_ctime_nsec;
    }
    fd_text(e, LIVE_STR_FD0, text[LIVE_STR_FD0], img);
    fd_text(e, LIVE_STR_FD1, text[LIVE_STR_FD1], img);
    return true;
}

bool live_bpf_container(const live_cgroup_ev &e, size_t size, char out[CONTAINER_ID_LEN + 1]) {
    if (size < LIVE_CGROUP_HEAD || e.len > size - LIVE_CGROUP_HEAD || e.len > sizeof e.names)
        return false;
    std::string_view rest(e.names, e.len);
    // Two lists, the unified hierarchy's first; each ends at an empty name.
    for (int h = 0; h < 2 && !rest.empty(); h++) {
        std::string_view names[LIVE_CG_NAMES];
        size_t n = 0;
        for (;;) {
            size_t nul = rest.find('\0');
            if (nul == std::string_view::npos) return false;  // cut: no end
            std::string_view name = rest.substr(0, nul);
            rest.remove_prefix(nul + 1);
            if (name.empty()) break;
            if (n < LIVE_CG_NAMES) names[n++] = name;
        }
        if (container_id_of_names(names, n, out)) return true;
    }
    return false;
}

void live_bpf_whole_path(uint32_t pid, live_proc_image *img) {
    uint32_t &len = img->len[LIVE_STR_PATH];
    char *path = img->str[LIVE_STR_PATH];
    if (len < 4 || memcmp(path, "...", 3) != 0) return;
    // The walk stopped above a disconnected directory (an overlay or network file system):
    // /proc names the file whole while the process still runs that exec.
    char link[32], whole[live_proc_image::STR_MAX + 1];
    snprintf(link, sizeof link, "/proc/%u/exe", pid);
    ssize_t n = readlink(link, whole, sizeof whole);
    const size_t tail = len - 3;
    if (n <= 0 || (size_t)n > live_proc_image::STR_MAX || (size_t)n < tail ||
        memcmp(whole + n - tail, path + 3, tail) != 0 ||
        live_proc_create_time(pid) != img->create_time)
        return;
    memcpy(path, whole, (size_t)n);
    len = (uint32_t)n;
}

#if KIV_HAVE_BPF

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/bpf.h>

#include "live_proc.skel.h"

namespace {

constexpr int POLL_MS = 50;  // wake-ups are batched; this bounds a record's delay

struct bpf_source {
    live_proc_bpf *skel = nullptr;
    ring_buffer *rb = nullptr;
    std::thread thread;
    std::atomic<bool> stop{false};
    live_events ev;
    live_proc_image img;
    std::vector<unsigned char> aux_buf;
    uint64_t lost_seen = 0;
    struct cgroup_note {
        uint64_t start_ns;
        char id[CONTAINER_ID_LEN + 1];
    };
    std::unordered_map<uint32_t, cgroup_note> cgroups;  // by pid, until its exec record

    void on_cgroup(const live_cgroup_ev &e, size_t size) {
        cgroup_note note{e.start_ns, {}};
        if (!live_bpf_container(e, size, note.id)) note.id[0] = '\0';
        // Notes whose exec records were lost are not kept for ever.
        if (cgroups.size() >= 4096) cgroups.clear();
        cgroups[e.pid] = note;
    }

    void on_exec(const live_exec_ev &e, size_t size) {
        if (!live_bpf_image(e, size, &img)) {
            KIV_LOG(1, "kemu: eBPF exec record of pid %u dropped: its texts pass its %zu bytes\n",
                    e.pid, size);
            return;
        }
        live_bpf_whole_path(e.pid, &img);
        // The cgroups its exec program sent just before.
        auto cg = cgroups.find(e.pid);
        if (cg != cgroups.end()) {
            if (cg->second.start_ns == e.start_ns)
                memcpy(img.container_id, cg->second.id, sizeof img.container_id);
            cgroups.erase(cg);
        }
        ev.on_exec_image(e.pid, img, live_proc_ticks_ns(e.parent_start_ns), e.at_ns);
    }

    int on_record(const void *data, size_t size) {
        if (size < sizeof(live_small_ev)) return 0;
        uint32_t type;
        memcpy(&type, data, sizeof type);
        if (type == LIVE_EV_DL_LOAD_ || type == LIVE_EV_KILL_ || type == LIVE_EV_PIPE_CREATE_ ||
            type == LIVE_EV_PIPE_CONNECT_) {
            if (size < sizeof(live_aux_ev)) return 0;
            const char *dir = nullptr;
            if (type == LIVE_EV_PIPE_CREATE_ && size >= sizeof(live_pipe_made_ev))
                dir = static_cast<const live_pipe_made_ev *>(data)->dir;
            live_aux_put(*static_cast<const live_aux_ev *>(data), dir, aux_buf, ev.producer());
            return 0;
        }
        if (type == LIVE_EV_CGROUP_) {
            if (size >= LIVE_CGROUP_HEAD) on_cgroup(*static_cast<const live_cgroup_ev *>(data), size);
            return 0;
        }
        if (type == LIVE_EV_EXEC_) {
            // The ring keeps records 8-byte aligned; only the record's own bytes are read.
            if (size >= LIVE_EXEC_HEAD) on_exec(*static_cast<const live_exec_ev *>(data), size);
            return 0;
        }
        live_small_ev e;
        memcpy(&e, data, sizeof e);
        if (type == LIVE_EV_FORK_)
            ev.on_fork(e.pid, e.ppid, live_proc_ticks_ns(e.start_ns),
                       live_proc_ticks_ns(e.parent_start_ns));
        else if (type == LIVE_EV_EXIT_)
            ev.on_exit(e.pid, e.exit_status, live_proc_ticks_ns(e.start_ns));
        return 0;
    }

    void check_lost() {
        uint64_t lost = __atomic_load_n(&skel->bss->lost, __ATOMIC_RELAXED);
        if (lost == lost_seen) return;
        ev.on_overrun("eBPF ring buffer", lost - lost_seen);
        lost_seen = lost;
    }

    void run() {
        KIV_LOG(2, "kemu: eBPF reader thread running\n");
        while (!stop.load(std::memory_order_relaxed)) {
            int n = ring_buffer__poll(rb, POLL_MS);
            if (n < 0 && n != -EINTR) {
                KIV_LOG(0, "kemu: eBPF ring buffer poll failed(%d)\n", n);
                standin_process_mark_clear();
                return;
            }
            // Records submitted without a wake-up are taken here; after it, every event of
            // before the reading is in the rings.
            uint64_t mark = standin_mono_ns();
            ring_buffer__consume(rb);
            standin_process_mark(mark);
            check_lost();
        }
        standin_process_mark_clear();
        ring_buffer__consume(rb);
    }
};

bpf_source *s_bpf;  // changed only by start and stop, on the host's thread

void destroy(bpf_source *src) {
    if (src->rb) ring_buffer__free(src->rb);
    if (src->skel) live_proc_bpf__destroy(src->skel);
    delete src;
}

// Which extra programs load beside the process ones.
enum extras : unsigned { EXTRA_SIGNAL = 1, EXTRA_SYSCALLS = 2 };

live_proc_bpf *open_load_attach(unsigned extra, bool cgroups) {
    live_proc_bpf *skel = live_proc_bpf__open();
    if (!skel) return nullptr;
    skel->rodata->want_cgroups = cgroups;
    if (!(extra & EXTRA_SYSCALLS))
        for (bpf_program *p : {skel->progs.live_sys_enter, skel->progs.live_sys_exit})
            bpf_program__set_autoload(p, false);
    if (!(extra & EXTRA_SIGNAL)) bpf_program__set_autoload(skel->progs.live_signal, false);
    if (live_proc_bpf__load(skel) != 0 || live_proc_bpf__attach(skel) != 0) {
        int err = errno;
        live_proc_bpf__destroy(skel);
        errno = err;
        return nullptr;
    }
    return skel;
}

int fail(std::string *why, const std::string &reason) {
    if (why) *why = reason;
    return -1;
}

bool usable(std::string *why) {
    if (!live_bpf_usable(0, "CAP_BPF and CAP_PERFMON", why)) return false;
    live_bpf_keep_warning(nullptr);
    if (libbpf_probe_bpf_map_type(BPF_MAP_TYPE_RINGBUF, nullptr) == 1) return true;
    *why = "the kernel has no BPF ring buffer";
    return false;
}

}  // namespace

int live_bpf_start(uint32_t options, std::string *why) {
    if (s_bpf) return fail(why, "already running");
    std::string last;
    live_bpf_keep_warning(&last);
    auto *src = new bpf_source;
    // The signal, library-load and pipe programs are extras: a kernel that refuses them still
    // gets the process programs. The last two run on every system call of the host, so only
    // when asked for.
    const bool syscalls = options & CAPTURE_SYSCALL_PROBES;
    const unsigned want = EXTRA_SIGNAL | (syscalls ? EXTRA_SYSCALLS : 0u);
    const bool cgroups = options & CAPTURE_CONTAINER_IDS;
    live_proc_set_container_ids(cgroups);
    src->skel = open_load_attach(want, cgroups);
    if (!src->skel) {
        std::string aux_why = last;
        src->skel = open_load_attach(0, cgroups);
        if (src->skel)
            KIV_LOG(1, "kemu: eBPF %s programs not running (%s)\n",
                    syscalls ? "signal, library-load and pipe" : "signal", aux_why.c_str());
    }
    if (src->skel && !syscalls)
        KIV_LOG(2, "kemu: eBPF library-load and pipe programs off (userspace_syscall_probes = 0 "
                   "in sensor.conf); they would run on every system call\n");
    else if (src->skel && src->skel->links.live_sys_enter)
        KIV_LOG(2, "kemu: eBPF library-load and pipe programs running on every system call "
                   "(userspace_syscall_probes = 1)\n");
    if (!src->skel) {
        int err = errno;
        live_bpf_keep_warning(nullptr);
        destroy(src);
        return fail(why, "the programs did not load or attach (" + std::string(strerror(err)) +
                             (last.empty() ? "" : ": " + last) + ")");
    }
    live_bpf_keep_warning(nullptr);
    src->rb = ring_buffer__new(
        bpf_map__fd(src->skel->maps.events),
        [](void *ctx, void *data, size_t size) {
            return static_cast<bpf_source *>(ctx)->on_record(data, size);
        },
        src, nullptr);
    if (!src->rb) {
        int err = errno;
        destroy(src);
        return fail(why, "ring buffer reader failed (" + std::string(strerror(err)) + ")");
    }
    src->ev.producer().stop_on(&src->stop);
    standin_process_mark(standin_mono_ns());
    try {
        src->thread = std::thread([src] { src->run(); });
    } catch (const std::system_error &e) {
        standin_process_mark_clear();
        destroy(src);
        return fail(why, std::string("reader thread not started: ") + e.what());
    }
    s_bpf = src;
    return 0;
}

void live_bpf_stop() {
    bpf_source *src = s_bpf;
    if (!src) return;
    src->stop.store(true);
    src->thread.join();
    s_bpf = nullptr;
    destroy(src);
    KIV_LOG(2, "kemu: eBPF process source stopped\n");
}

bool live_bpf_run_stats(capture_counters *out) {
    if (!s_bpf) return false;
    *out = capture_counters{};
    for (bpf_program *p :
         {s_bpf->skel->progs.live_exec, s_bpf->skel->progs.live_fork, s_bpf->skel->progs.live_exit})
        if (!live_bpf_add_run_stats(p, out)) return false;
    return true;
}

bool live_bpf_running() {
    return s_bpf != nullptr;
}

#else  // built without the BPF tool chain

namespace {
bool usable(std::string *why) {
    return live_bpf_usable(0, "", why);
}
}  // namespace
int live_bpf_start(uint32_t, std::string *why) {
    usable(why);
    return -1;
}
void live_bpf_stop() {}
bool live_bpf_run_stats(capture_counters *) {
    return false;
}
bool live_bpf_running() {
    return false;
}

#endif

namespace {
int start(const unsigned char *config, size_t len, std::string *why) {
    uint32_t options = 0;
    if (config && len == sizeof options) memcpy(&options, config, sizeof options);
    return live_bpf_start(options, why);
}
}  // namespace

extern const capture_source capture_ebpf_process = {"ebpf",
                                                    "eBPF",
                                                    "eBPF (raw tracepoints, ring buffer)",
                                                    nullptr,
                                                    CAPTURE_PROCESS,
                                                    usable,
                                                    start,
                                                    live_bpf_stop,
                                                    live_bpf_running,
                                                    live_bpf_run_stats,
                                                    nullptr,
                                                    nullptr};
