// The kernel module behind the kernel boundary: choosing the file built for this host, loading
// it with the kernel symbols it needs, reusing or replacing a module already loaded, and
// removing it at shut-down. Everything here runs on the host's thread during start-up and
// shut-down.
#pragma once
#include <regex.h>

#include <cstddef>
#include <cstdint>

constexpr const char *KMOD_NAME = "qxkiv";
constexpr size_t KMOD_OSID_SIZE = 128;
constexpr size_t KMOD_PATH_SIZE = 4096;
constexpr size_t KMOD_PARAM_SIZE = 2048;
constexpr uint64_t KMOD_WAIT_MS = 60000;  // how long an old module may take to lose its users
constexpr uint32_t KMOD_WAIT_STEP_MS = 100;
constexpr const char *KMOD_FALLBACK_DIR = "@/../src/kernel";

// Start-up step. Module mode: reuse a loaded module of this build, drain and replace one of
// another build, or load the file built for this host. Stand-in modes: start the stand-in.
// 0 or -1 (logged); on -1 nothing is left behind.
int kmod_load();
// Shut-down: module mode removes the module (failures are logged only), stand-in modes stop
// the stand-in.
void kmod_unload();
// After a successful start: tells the module that user space is ready.
void driver_completed();

// What module management needs to know about this build and kernel; start-up hands in the
// build version and the uname release, machine and version code before kmod_load.
void kmod_set_identity(const char *build_version, const char *release, const char *machine,
                       int version_code);
const char *kmod_build_version();
const char *kmod_kernel_release();
int kmod_kernel_code();
// Tests: a directory standing in for "/" when reading the host's release files, /boot and
// /proc/{cmdline,kallsyms}; null or "" is the real root.
void kmod_set_os_root(const char *root);
// Tests: the clock (milliseconds) and sleep of the release wait; null restores the real ones.
void kmod_set_wait_hooks(uint64_t (*now_ms)(), void (*sleep_ms)(uint32_t ms));
// root + abs into out; nullptr when it does not fit.
const char *kmod_host_path(const char *abs, char *out, size_t size);

// Module state and the release wait.
bool __has_install_mod();
int kmod_installed();  // 0 absent, 1 loaded and free, -1 loaded and in use
bool kmod_is_inuse();
int kmod_veron_change();  // 0 same build, 1 otherwise
int __wait_to_exit();     // remaining reference count, or -1

// Finding the module file.
int get_kmod_path(char *buf, size_t size);
int __get_kmod_from_dir(const char *dir, const char *os_id, char *buf, size_t size);
char *get_os_id();  // MALLOC_FOR_TMP, freed by the caller; null when unknown
int get_distri(char *buf, size_t size);
int fill_extra_info(char *buf, size_t size);
char *strip_quotation(char *text);

// Loading and removal.
int __kmod_load(const char *path, const char *params);
int __kmod_unload(const char *name);
int __set_defense_dbg_mode(uint64_t mode);

// Kernel symbols the module needs, looked up before it is loaded.
struct ksym_entry {
    const char *name;  // null when this kernel does not need it
    const char *param;
    const char *signature;
    int32_t low;   // lowest kernel version code, 0 = none
    int32_t high;  // highest kernel version code, 0 = none
    uint64_t addr;
    regex_t *re;  // compiled signature, only while a resolution runs
};
constexpr int KSYM_NUM = 7;
extern ksym_entry s_ksym[KSYM_NUM];

int __ksym_init();
int __get_mod_param(char *buf, size_t size);
int __need_detect_kaslr();
// Feeds each line (newline kept, at most KSYM_LINE_MAX bytes) to cb until it returns 0.
// Longer lines and lines holding a NUL byte are skipped whole. 0, or -1 when the file cannot
// be opened or read.
constexpr size_t KSYM_LINE_MAX = 512;
typedef int (*ksym_line_cb)(const char *line, void *ctx);
int __loop_file(const char *path, ksym_line_cb cb, void *ctx);
int __find_from_sysmap(const char *line, void *found);  // ctx: int counter
// Replaces the first `from` in buf with `to` when the result fits in size; 1 when replaced.
int strsub(char *buf, size_t size, const char *from, const char *to);
