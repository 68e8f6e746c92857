// The one boundary to the kernel module. Nothing above src/kernel/ knows which backend runs:
// the device backend makes the real system calls, the stand-in answers in process.
#pragma once
#include <cstddef>
#include <cstdint>

enum kiv_kernel_mode {
    KERNEL_MODE_MODULE = 0,
    KERNEL_MODE_EMULATED = 1,
    KERNEL_MODE_USERSPACE = 2
};

// Selects the backend; with a stand-in mode the stand-in is started (its region initialised
// as the module would). Returns 0 or -1. kernel_backend_stop() stops a running stand-in.
int kernel_backend_start(kiv_kernel_mode mode);
// Which live process source userspace mode runs: eBPF first with the connector as fallback
// (auto), or only one of them. Read at the next kernel_backend_start.
enum kiv_live_source { LIVE_SOURCE_AUTO = 0, LIVE_SOURCE_EBPF = 1, LIVE_SOURCE_CONNECTOR = 2 };
void kernel_backend_set_live_source(kiv_live_source source);
// Whether userspace mode runs the system-call-wide programs; read at the next start.
void kernel_backend_set_syscall_probes(bool on);
// Whether userspace mode's process records name their containers; read at the next start.
void kernel_backend_set_container_ids(bool on);
// "auto", "ebpf" or "connector" -> kiv_live_source; -1 for anything else.
int live_source_parse(const char *text);
void kernel_backend_stop();
// Stops userspace mode's capture sources and frees what they hold, leaving the stand-in up;
// nothing when no capture runs. The stop calls it before the last counters are written.
void kernel_backend_stop_capture();
kiv_kernel_mode kernel_backend_mode();

// Device calls; results and errno as the system calls give them.
int kernel_open(const char *path, int flags);
void *kernel_mmap(int fd, size_t len);  // nullptr on failure
int kernel_munmap(void *addr, size_t len);
int kernel_close(int fd);
long kernel_ioctl(int fd, unsigned long request, unsigned long arg);

// Makes the module re-read the mount table: /proc/mounts read to its end. 0 or -1.
int kernel_vfsmnt_update();

// Module load/remove: init_module and delete_module, results and errno as they give them.
int kernel_load_module(const void *image, size_t len, const char *params);
int kernel_delete_module(const char *name, unsigned int flags);

// The defense device's debug-mode record (request 0x4008780B takes a pointer to it). The magic
// word is the one the module checks: the bytes "QXDB".
constexpr uint32_t KIV_DEFENSE_DBG_MAGIC = 0x42445851;
struct kiv_defense_dbg {
    uint32_t magic;
    uint32_t pad;
    uint64_t mode;
};
static_assert(sizeof(kiv_defense_dbg) == 16 && offsetof(kiv_defense_dbg, mode) == 8);

// Paths of the module's /proc and /sys files ("/proc/qxkiv/log", "/sys/module/qxkiv/refcnt"),
// redirected under the stand-in's private root when the stand-in runs. `rel` is the path
// below /proc/qxkiv or /sys/module/qxkiv (e.g. "log", "parameters/qxkiv_status"); an empty
// rel names the directory itself. Writes into out (size bytes); returns out, or nullptr when
// it does not fit.
const char *kernel_proc_path(const char *rel, char *out, size_t size);
const char *kernel_sys_path(const char *rel, char *out, size_t size);
