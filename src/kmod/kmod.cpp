// Choosing, loading, reusing and removing the kernel module. Every contact with the module
// (load, removal, its devices and its /proc and /sys files) goes through the kernel boundary,
// so the stand-in can play the kernel in tests.
#include "kmod/kmod.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/mem.h"
#include "comm/command.h"
#include "comm/dirutils.h"
#include "framework/config.h"
#include "kernel/kernel_if.h"
#include "qxkiv/digest.h"

namespace {

constexpr const char *kSensorDev = "/dev/qx_sensor";
constexpr const char *kDefenseDev = "/dev/qx_defense";
constexpr unsigned long kSwitchReq = 0x40047301;  // delivery: the value itself
constexpr unsigned long kRefcntReq = 0x7309;      // returns the user count
constexpr unsigned long kDefDisableReq = 0x4008780C;
constexpr unsigned long kDefDbgModeReq = 0x4008780B;
constexpr size_t kVersionLine = 100;

// Host thread only: start-up sets these before kmod_load.
std::string s_build_version;
std::string s_release;
std::string s_machine;
int s_version_code;
std::string s_os_root;

uint64_t real_now_ms() {
    // Monotonic: a clock step during the wait must neither cut it short nor stretch it.
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

void real_sleep_ms(uint32_t ms) {
    timespec ts{(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint64_t (*s_now_ms)() = real_now_ms;
void (*s_sleep_ms)(uint32_t) = real_sleep_ms;

bool regular_file(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Text after "KEY=" of the first line of the host file `abs` matching "^KEY=.*$"; empty
// when the file is missing or has no such line. Shorter than min_len (counting "KEY=")
// logs and gives nothing.
std::string key_value(const char *abs, const char *key, size_t min_len) {
    char path[KMOD_PATH_SIZE];
    if (!kmod_host_path(abs, path, sizeof path) || access(path, F_OK) != 0) return {};
    std::string pattern = std::string("^") + key + "=.*$";
    char *line = kiv_file_search(path, pattern.c_str());
    if (!line) return {};
    std::string value;
    if (strlen(line) < min_len)
        KIV_LOG(3, "too small len:%s\n", line);
    else
        value = line + strlen(key) + 1;
    kiv_free(line);
    return value;
}

// First line of a host file without its line end; false when it cannot be read.
bool first_line(const char *abs, char *out, size_t size) {
    char path[KMOD_PATH_SIZE];
    FILE *fp = kmod_host_path(abs, path, sizeof path) ? fopen(path, "re") : nullptr;
    if (!fp) return false;
    bool ok = fgets(out, (int)size, fp) != nullptr;
    fclose(fp);
    if (!ok) return false;
    size_t len = strlen(out);
    if (len && out[len - 1] == '\n') out[--len] = '\0';
    if (len && out[len - 1] == '\r') out[--len] = '\0';
    return true;
}

bool host_file_contains(const char *abs, const char *text) {
    char path[KMOD_PATH_SIZE];
    FILE *fp = kmod_host_path(abs, path, sizeof path) ? fopen(path, "re") : nullptr;
    if (!fp) return false;
    char buf[4096];
    size_t n = fread(buf, 1, sizeof buf - 1, fp);
    fclose(fp);
    buf[n] = '\0';
    return strstr(buf, text) != nullptr;
}

// The identifier becomes part of a file name: no path separators, blanks or controls.
bool name_safe(const char *text) {
    for (const unsigned char *p = (const unsigned char *)text; *p; p++)
        if (*p == '/' || *p <= ' ' || *p == 0x7f) return false;
    return true;
}

bool append(char *buf, size_t size, const char *text) {
    size_t used = strlen(buf);
    int n = snprintf(buf + used, size - used, "%s", text);
    return n >= 0 && (size_t)n < size - used;
}

// The directory `dir` expands to; false for an empty or over-long one.
bool expand_dir(const char *dir, char *out, size_t size) {
    return dir && *dir && dirutils_path_transform(dir, out, size) == 0 && *out;
}

// Image MD5 text of the running kernel; false when the image cannot be read.
bool kernel_image_md5(char md5[33], char *image, size_t image_size) {
    std::string rel = "/boot/vmlinuz-" + s_release;
    if (!kmod_host_path(rel.c_str(), image, image_size)) return false;
    return get_file_md5(image, md5, 33) == 0 && strlen(md5) == 32;
}

// The line an operator needs when no file fits: what was looked for, and where.
void log_no_file(const char *os_id) {
    char md5[33] = "", image[KMOD_PATH_SIZE] = "";
    bool have_md5 = kernel_image_md5(md5, image, sizeof image);
    char first[KMOD_PATH_SIZE] = "", second[KMOD_PATH_SIZE] = "";
    bool a = expand_dir(g_framework_config.ko_path, first, sizeof first);
    bool b = expand_dir(KMOD_FALLBACK_DIR, second, sizeof second);
    std::string dirs = a ? first : "";
    if (b && (!a || strcmp(first, second) != 0))
        dirs += std::string(dirs.empty() ? "" : " and ") + second;
    std::string md5_name = have_md5 ? std::string("-md5") + md5
                                    : std::string("-md5<MD5 of ") + image + ", unreadable>";
    KIV_LOG(0, "no ko find:%s, searched %s for qxkiv.ko_%s%s, qxkiv.ko, qxkiv.ko_%s\n", os_id,
            dirs.empty() ? "no directory" : dirs.c_str(), os_id, md5_name.c_str(), os_id);
}

const char *load_errno_hint(int err) {
    switch (err) {
        case ENOSYS:
            return "; this kernel has no module support: kernel_mode = emulated or userspace "
                   "runs without the module";
        case EPERM:
            return "; module loading is not allowed here (no CAP_SYS_MODULE, or "
                   "kernel.modules_disabled): kernel_mode = emulated or userspace runs without "
                   "the module";
        case ENOEXEC:
        case EINVAL:
            return "; the file is not a module for this kernel";
        case EEXIST:
            return "; a module of that name is loaded already";
    }
    return "";
}

int load_module_mode() {
    int installed = kmod_installed();
    if (installed == -1) {
        if (kmod_veron_change() == 0) {
            KIV_LOG(2, "kernel module version not changed, use loaded module\n");
            return 0;
        }
        KIV_LOG(0, "kernel module of another build is in use, it cannot be replaced\n");
        return -1;
    }
    if (installed == 1) {
        if (kmod_veron_change() == 0) {
            KIV_LOG(2, "kernel module version not changed\n");
            return 0;
        }
        if (__wait_to_exit() > 0) {
            KIV_LOG(0, "kernel module refcnt NOT ZERO, user OLD module\n");
            return -1;
        }
        KIV_LOG(2, "kernel module version has changed,remove...\n");
        if (__kmod_unload(KMOD_NAME) != 0) {
            KIV_LOG(0, "rmmod failed\n");
            return -1;
        }
    }
    if (__ksym_init() != 0) KIV_LOG(2, "__ksym_init init failed\n");
    char path[KMOD_PATH_SIZE];
    if (get_kmod_path(path, sizeof path) != 0) {
        KIV_LOG(0, "no KO mod find for this system\n");
        return -1;
    }
    char params[KMOD_PARAM_SIZE];
    if (__get_mod_param(params, sizeof params) != 0) {
        KIV_LOG(0, "get param failed\n");
        return -1;
    }
    if (__kmod_load(path, params) != 0) {
        KIV_LOG(0, "load %s %s failed\n", path, params);
        return -1;
    }
    KIV_LOG(2, "load kmod:%s %s ok,kmod version:%s\n", path, params, s_build_version.c_str());
    return 0;
}

}  // namespace

void kmod_set_identity(const char *build_version, const char *release, const char *machine,
                       int version_code) {
    s_build_version = build_version ? build_version : "";
    s_release = release ? release : "";
    s_machine = machine ? machine : "";
    s_version_code = version_code;
}

const char *kmod_build_version() {
    return s_build_version.c_str();
}
const char *kmod_kernel_release() {
    return s_release.c_str();
}
int kmod_kernel_code() {
    return s_version_code;
}

void kmod_set_os_root(const char *root) {
    s_os_root = root ? root : "";
}

void kmod_set_wait_hooks(uint64_t (*now_ms)(), void (*sleep_ms)(uint32_t)) {
    s_now_ms = now_ms ? now_ms : real_now_ms;
    s_sleep_ms = sleep_ms ? sleep_ms : real_sleep_ms;
}

const char *kmod_host_path(const char *abs, char *out, size_t size) {
    if (!abs || !out || size == 0) return nullptr;
    int n = snprintf(out, size, "%s%s", s_os_root.c_str(), abs);
    return n >= 0 && (size_t)n < size ? out : nullptr;
}

bool __has_install_mod() {
    char path[KMOD_PATH_SIZE];
    return kernel_proc_path("", path, sizeof path) && access(path, F_OK) == 0;
}

bool kmod_is_inuse() {
    char path[KMOD_PATH_SIZE];
    if (!kernel_sys_path("refcnt", path, sizeof path)) return false;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        KIV_LOG(3, "open failed,%s\n", strerror(errno));
        return false;
    }
    char buf[10];
    ssize_t n = read(fd, buf, 9);
    int err = errno;
    close(fd);
    if (n < 0) {
        KIV_LOG(3, " read failed,%s\n", strerror(err));
        return false;
    }
    buf[n] = '\0';
    long count = strtol(buf, nullptr, 0);
    KIV_LOG(4, "refcnt:%ld\n", count);
    return count > 0;
}

int kmod_installed() {
    if (!__has_install_mod()) {
        KIV_LOG(4, "mod not intalled\n");
        return 0;
    }
    if (kmod_is_inuse()) {
        KIV_LOG(0, "kmod is in use\n");
        return -1;
    }
    KIV_LOG(2, "kernel module has already installed\n");
    return 1;
}

int kmod_veron_change() {
    char path[KMOD_PATH_SIZE] = "";
    FILE *fp = kernel_sys_path("version", path, sizeof path) ? fopen(path, "re") : nullptr;
    if (!fp) {
        KIV_LOG(2, "fopen %s failed,err:%s\n", path, strerror(errno));
        return 1;
    }
    char version[kVersionLine + 1] = "";
    if (!fgets(version, sizeof version, fp)) version[0] = '\0';
    fclose(fp);
    size_t len = strlen(version);
    if (len > 2) {
        if (version[len - 1] == '\n') version[--len] = '\0';
        if (version[len - 1] == '\r') version[--len] = '\0';
    }
    KIV_LOG(2, "oldversion:%s newversion:%s\n", version, s_build_version.c_str());
    return strcmp(version, s_build_version.c_str()) == 0 ? 0 : 1;
}

int __wait_to_exit() {
    int fd = kernel_open(kSensorDev, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        KIV_LOG(2, "read dev failed,%s\n", strerror(errno));
        return -1;
    }
    if (kernel_ioctl(fd, kSwitchReq, 0) != 0) {
        KIV_LOG(2, "disable failed\n");
        kernel_close(fd);
        return -1;
    }
    int def = kernel_open(kDefenseDev, O_RDWR | O_CLOEXEC);
    if (def < 0) {
        int err = errno;
        kernel_close(fd);
        KIV_LOG(2, "read dev failed,%s\n", strerror(err));
        return -1;
    }
    if (kernel_ioctl(def, kDefDisableReq, 0) != 0) {
        kernel_close(def);
        kernel_close(fd);
        KIV_LOG(2, "disable failed\n");
        return -1;
    }
    kernel_close(def);
    uint64_t start = s_now_ms();
    int count;
    for (;;) {
        long r = kernel_ioctl(fd, kRefcntReq, 0);
        if (r < 0) {
            KIV_LOG(2, "ioctl ret,%s\n", strerror(errno));
            count = 1;
        } else {
            count = r > INT_MAX ? INT_MAX : (int)r;
        }
        if (count == 0) break;
        if (s_now_ms() - start >= KMOD_WAIT_MS) {
            KIV_LOG(2, "wait too loong time,module has ref:%d\n", count);
            break;
        }
        KIV_LOG(3, "moduel refcnt:%d\n", count);
        s_sleep_ms(KMOD_WAIT_STEP_MS);
    }
    kernel_close(fd);
    KIV_LOG(2, "module ref:%d\n", count);
    return count;
}

char *strip_quotation(char *text) {
    if (!text) return text;
    size_t len = strlen(text);
    if (len >= 2 && text[0] == '"' && text[len - 1] == '"') {
        memmove(text, text + 1, len - 2);
        text[len - 2] = '\0';
    }
    return text;
}

int get_distri(char *buf, size_t size) {
    if (!buf || size == 0) return -1;
    // os-release, then lsb-release; a line too short to hold an id falls through.
    const struct {
        const char *file, *key;
        size_t min_len;
    } keyed[] = {{"/etc/os-release", "ID", 4}, {"/etc/lsb-release", "DISTRIB_ID", 12}};
    for (const auto &k : keyed) {
        std::string value = key_value(k.file, k.key, k.min_len);
        if (value.empty()) continue;
        std::vector<char> text(value.begin(), value.end());
        text.push_back('\0');
        strip_quotation(text.data());
        if (!*text.data()) continue;
        if (!name_safe(text.data())) {
            KIV_LOG(1, "distribution id \"%s\" in %s%s is not usable in a file name\n", text.data(),
                    s_os_root.c_str(), k.file);
            return -1;
        }
        return snprintf(buf, size, "%s", text.data()) < (int)size ? 0 : -1;
    }
    char path[KMOD_PATH_SIZE];
    const char *id = nullptr;
    if (kmod_host_path("/etc/oracle-release", path, sizeof path) && access(path, F_OK) == 0)
        id = "ol";
    else if (host_file_contains("/etc/redhat-release", "CentOS"))
        id = "centos";
    else if (host_file_contains("/etc/redhat-release", "Red Hat"))
        id = "rhel";
    else if (kmod_host_path("/etc/debian_version", path, sizeof path) && access(path, F_OK) == 0)
        id = "debian";
    if (!id) return -1;
    return snprintf(buf, size, "%s", id) < (int)size ? 0 : -1;
}

int fill_extra_info(char *buf, size_t size) {
    if (strncasecmp(buf, "uos", 3) == 0) {
        std::string minor = key_value("/etc/os-version", "MinorVersion", 0);
        if (minor.empty() || !name_safe(minor.c_str())) {
            KIV_LOG(0, "find uos minor version failed\n");
            return -1;
        }
        return append(buf, size, minor.c_str()) ? 0 : -1;
    }
    if (strncasecmp(buf, "debian", 6) == 0) {
        char line[KMOD_OSID_SIZE];
        if (!first_line("/etc/debian_version", line, sizeof line) || !name_safe(line)) return -1;
        for (char *p = line; *p; p++)
            if (*p == '.') *p = '-';
        return append(buf, size, line) ? 0 : -1;
    }
    return 0;
}

char *get_os_id() {
    auto *id = static_cast<char *>(kiv_malloc(KMOD_OSID_SIZE, MALLOC_FOR_TMP));
    if (!id) {
        KIV_LOG(0, "malloc mem failed\n");
        return nullptr;
    }
    id[0] = '\0';
    if (get_distri(id, KMOD_OSID_SIZE) != 0) {
        KIV_LOG(3, "not identify distri\n");
        kiv_free(id);
        return nullptr;
    }
    if (fill_extra_info(id, KMOD_OSID_SIZE) != 0) {
        KIV_LOG(3, "fill extra info failed\n");
        kiv_free(id);
        return nullptr;
    }
    char tail[KMOD_OSID_SIZE];
    int n = snprintf(tail, sizeof tail, "_%s_%s_%ld", s_release.c_str(), s_machine.c_str(), 64L);
    if (n < 0 || (size_t)n >= sizeof tail || !append(id, KMOD_OSID_SIZE, tail)) {
        KIV_LOG(0, "os id for %s longer than %zu bytes\n", id, KMOD_OSID_SIZE - 1);
        kiv_free(id);
        return nullptr;
    }
    return id;
}

int __get_kmod_from_dir(const char *dir, const char *os_id, char *buf, size_t size) {
    char d[KMOD_PATH_SIZE];
    if (!expand_dir(dir, d, sizeof d)) {
        KIV_LOG(3, "tran %s failed\n", dir ? dir : "(null)");
        return -1;
    }
    char md5[33], image[KMOD_PATH_SIZE];
    auto named = [&](const char *fmt, auto... args) {
        int n = snprintf(buf, size, fmt, d, args...);
        return n >= 0 && (size_t)n < size && regular_file(buf);
    };
    if (kernel_image_md5(md5, image, sizeof image)) {
        if (named("%s/qxkiv.ko_%s-md5%s", os_id, md5)) {
            KIV_LOG(4, "get qxkiv.ko_ver_md5,%s\n", buf);
            return 0;
        }
        KIV_LOG(3, "no file:%s\n", buf);
    } else {
        KIV_LOG(3, "get md5 for %s failed\n", image);
    }
    if (named("%s/qxkiv.ko")) {
        KIV_LOG(4, "get qxkiv.ko\n");
        return 0;
    }
    if (named("%s/qxkiv.ko_%s", os_id)) {
        KIV_LOG(4, "get qxkiv.ko_ver\n");
        return 0;
    }
    return -1;
}

int get_kmod_path(char *buf, size_t size) {
    char *os_id = get_os_id();
    if (!os_id) {
        KIV_LOG(0, "get osid failed\n");
        return -1;
    }
    const char *dirs[] = {g_framework_config.ko_path, KMOD_FALLBACK_DIR};
    for (const char *dir : dirs) {
        if (!*dir) continue;
        if (__get_kmod_from_dir(dir, os_id, buf, size) == 0) {
            KIV_LOG(3, "get ko:%s\n", buf);
            kiv_free(os_id);
            return 0;
        }
    }
    int rc = -1;
    if (g_framework_config.os_cap_mode < 1) {
        log_no_file(os_id);
    } else {
        // A rhel build serves centos and the other way round.
        char cap[KMOD_OSID_SIZE];
        snprintf(cap, sizeof cap, "%s", os_id);
        bool swapped = strstr(cap, "rhel") ? strsub(cap, sizeof cap, "rhel", "centos")
                                           : strsub(cap, sizeof cap, "centos", "rhel");
        if (swapped && __get_kmod_from_dir(g_framework_config.ko_path, cap, buf, size) == 0) {
            KIV_LOG(3, "get cap ko:%s\n", buf);
            rc = 0;
        } else {
            log_no_file(os_id);
            if (swapped) KIV_LOG(0, "no ko find (nor qxkiv.ko_%s)\n", cap);
        }
    }
    kiv_free(os_id);
    return rc;
}

int __kmod_load(const char *path, const char *params) {
    KIV_LOG(3, "load %s %s\n", path, params);
    struct stat st;
    if (stat(path, &st) != 0) {
        KIV_LOG(0, "stat %s failed\n", path);
        return -1;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        KIV_LOG(0, "open %s failed\n", path);
        return -1;
    }
    size_t len = (size_t)st.st_size;
    void *image = len ? mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    if (image == MAP_FAILED) {
        KIV_LOG(0, "mmap %s failed\n", path);
        close(fd);
        return -1;
    }
    int ret = kernel_load_module(image, len, params);
    int err = errno;
    munmap(image, len);
    close(fd);
    if (ret != 0) {
        KIV_LOG(0, "load module %s failed(ret:%d): %s%s\n", path, ret, strerror(err),
                load_errno_hint(err));
        return -1;
    }
    KIV_LOG(2, "load ok\n");
    return 0;
}

int __set_defense_dbg_mode(uint64_t mode) {
    int fd = kernel_open(kDefenseDev, O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    KIV_LOG(2, "set defense kernel dbg mode: %lu\n", (unsigned long)mode);
    kiv_defense_dbg rec{KIV_DEFENSE_DBG_MAGIC, 0, mode};
    long ret = kernel_ioctl(fd, kDefDbgModeReq, (unsigned long)&rec);
    if (ret != 0)
        KIV_LOG(0, "set defense kernel dbg mode: %lu, failed code: %d\n", (unsigned long)mode,
                (int)ret);
    kernel_close(fd);
    return ret == 0 ? 0 : -1;
}

int __kmod_unload(const char *name) {
    __set_defense_dbg_mode(0);
    if (kernel_delete_module(name, O_NONBLOCK) != 0) {
        KIV_LOG(0, "rmmod %s failed(%s)\n", name, strerror(errno));
        return -1;
    }
    KIV_LOG(2, "rmmod %s ok\n", name);
    return 0;
}

int kmod_load() {
    auto mode = static_cast<kiv_kernel_mode>(g_framework_config.kernel_mode);
    if (mode != KERNEL_MODE_MODULE) {
        kernel_backend_set_live_source(
            static_cast<kiv_live_source>(g_framework_config.userspace_source));
        kernel_backend_set_syscall_probes(g_framework_config.userspace_syscall_probes != 0);
        kernel_backend_set_container_ids(g_framework_config.container_id != 0);
        if (kernel_backend_start(mode) != 0) {
            KIV_LOG(0, "start kernel stand-in (kernel_mode %d) failed\n", (int)mode);
            return -1;
        }
        KIV_LOG(2, "kernel stand-in started, kernel_mode %d\n", (int)mode);
        return 0;
    }
    if (kernel_backend_start(KERNEL_MODE_MODULE) != 0) {
        KIV_LOG(0, "kernel backend for kernel_mode module failed to start\n");
        return -1;
    }
    if (load_module_mode() != 0) {
        kernel_backend_stop();
        return -1;
    }
    return 0;
}

void kmod_unload() {
    if (kernel_backend_mode() != KERNEL_MODE_MODULE) {
        kernel_backend_stop();
        KIV_LOG(3, "kernel stand-in stopped\n");
        return;
    }
    // Whether this start loaded it or reused it, the module goes with the sensor.
    if (__kmod_unload(KMOD_NAME) != 0)
        KIV_LOG(0, "rmmod failed\n");
    else
        KIV_LOG(3, "rmmod ok\n");
    kernel_backend_stop();
}

void driver_completed() {
    char path[KMOD_PATH_SIZE];
    if (!kernel_sys_path("parameters/qxkiv_status", path, sizeof path) || access(path, F_OK) != 0) {
        KIV_LOG(0, "qxkiv driver not ready\n");
        return;
    }
    // The path goes into a shell command: single-quoted, and refused if it holds a quote.
    char cmd[KMOD_PATH_SIZE + 32];
    int n = snprintf(cmd, sizeof cmd, "echo 1 > '%s'", path);
    if (strchr(path, '\'') || n < 0 || (size_t)n >= sizeof cmd ||
        kiv_execute_cmd(cmd, nullptr, 0) != 0) {
        KIV_LOG(0, "qxkiv driver not ready\n");
        return;
    }
    KIV_LOG(2, "qxkiv driver is ready\n");
}
