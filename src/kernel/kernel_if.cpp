// Backend selection and the device backend: real system calls on the module's devices.
#include "kernel/kernel_if.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/log.h"
#include "kernel/capture/sources.h"
#include "kernel/standin/standin.h"

namespace {

// Changed only on the host's thread during start-up and shut-down.
std::atomic<kiv_kernel_mode> s_kernel_mode{KERNEL_MODE_MODULE};
// The stand-in answers behind the boundary: always in the stand-in modes, and in module mode
// when a test has asked for the stand-in to play the kernel (kemu_module_mode).
std::atomic<bool> s_standin{false};
std::atomic<int> s_live_source{LIVE_SOURCE_AUTO};
std::atomic<bool> s_syscall_probes{false};
std::atomic<bool> s_container_ids{false};

const char *const kLiveSourceNames[] = {"auto", "ebpf", "connector"};
static_assert(LIVE_SOURCE_AUTO == 0 && LIVE_SOURCE_EBPF == 1 && LIVE_SOURCE_CONNECTOR == 2);

bool standin_mode() {
    return s_standin.load(std::memory_order_acquire);
}

// "<dir>/<rel>" (or dir alone), under the stand-in's root while it runs, into out;
// nullptr when it does not fit.
const char *module_path(const char *dir, const char *rel, char *out, size_t size) {
    if (!out || size == 0) return nullptr;
    std::string base;
    if (standin_mode() && !standin_root(base)) return nullptr;
    base += dir;
    bool sub = rel && *rel;
    int n = snprintf(out, size, "%s%s%s", base.c_str(), sub ? "/" : "", sub ? rel : "");
    return n >= 0 && (size_t)n < size ? out : nullptr;
}

}  // namespace

int kernel_backend_start(kiv_kernel_mode mode) {
    if (standin_mode() || standin_active()) {
        KIV_LOG(0, "kernel backend already started in mode %d\n", (int)s_kernel_mode.load());
        return -1;
    }
    bool standin = mode != KERNEL_MODE_MODULE || standin_plays_kernel();
    if (standin) {
        // Userspace mode captures with the live sources; the other stand-in modes get their
        // records from tests.
        int prefer = s_live_source.load(std::memory_order_relaxed);
        capture_table t =
            capture_sources(prefer == LIVE_SOURCE_AUTO ? nullptr : kLiveSourceNames[prefer],
                            (s_syscall_probes.load(std::memory_order_relaxed)
                                 ? CAPTURE_SYSCALL_PROBES
                                 : 0u) |
                                (s_container_ids.load(std::memory_order_relaxed)
                                     ? CAPTURE_CONTAINER_IDS
                                     : 0u));
        if (standin_start(mode, mode == KERNEL_MODE_USERSPACE ? &t : nullptr) != 0) return -1;
    }
    s_kernel_mode.store(mode, std::memory_order_release);
    s_standin.store(standin, std::memory_order_release);
    return 0;
}

void kernel_backend_stop() {
    if (!standin_mode()) return;
    standin_stop();
    s_standin.store(false, std::memory_order_release);
    s_kernel_mode.store(KERNEL_MODE_MODULE, std::memory_order_release);
}

void kernel_backend_stop_capture() {
    if (standin_mode()) standin_stop_sources();
}

void kernel_backend_set_syscall_probes(bool on) {
    s_syscall_probes.store(on, std::memory_order_relaxed);
}

void kernel_backend_set_container_ids(bool on) {
    s_container_ids.store(on, std::memory_order_relaxed);
}

void kernel_backend_set_live_source(kiv_live_source source) {
    if (source >= LIVE_SOURCE_AUTO && source <= LIVE_SOURCE_CONNECTOR)
        s_live_source.store(source, std::memory_order_relaxed);
}

int live_source_parse(const char *text) {
    if (!text) return -1;
    for (int i = 0; i < 3; i++)
        if (strcmp(text, kLiveSourceNames[i]) == 0) return i;
    return -1;
}

int kernel_vfsmnt_update() {
    int fd = open("/proc/mounts", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[1024];
    while (read(fd, buf, sizeof buf) > 0) {
    }
    close(fd);
    if (standin_mode()) standin_note_vfsmnt_update();
    return 0;
}

kiv_kernel_mode kernel_backend_mode() {
    return s_kernel_mode.load(std::memory_order_acquire);
}

int kernel_open(const char *path, int flags) {
    return standin_mode() ? standin_open(path, flags) : open(path, flags);
}

void *kernel_mmap(int fd, size_t len) {
    if (standin_mode()) return standin_mmap(fd, len);
    void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : p;
}

int kernel_munmap(void *addr, size_t len) {
    // The stand-in's region stays until the stand-in stops.
    if (standin_mode() && standin_unmap(addr)) return 0;
    return munmap(addr, len);
}

int kernel_close(int fd) {
    return standin_mode() ? standin_close(fd) : close(fd);
}

long kernel_ioctl(int fd, unsigned long request, unsigned long arg) {
    return standin_mode() ? standin_ioctl(fd, request, arg) : ioctl(fd, request, arg);
}

int kernel_load_module(const void *image, size_t len, const char *params) {
    if (standin_mode()) return standin_load_module(image, len, params);
    return (int)syscall(SYS_init_module, image, len, params ? params : "");
}

int kernel_delete_module(const char *name, unsigned int flags) {
    if (standin_mode()) return standin_delete_module(name, flags);
    return (int)syscall(SYS_delete_module, name, flags);
}

const char *kernel_proc_path(const char *rel, char *out, size_t size) {
    return module_path("/proc/qxkiv", rel, out, size);
}

const char *kernel_sys_path(const char *rel, char *out, size_t size) {
    return module_path("/sys/module/qxkiv", rel, out, size);
}
