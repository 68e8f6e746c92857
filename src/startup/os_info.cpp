// What the sensor learns about its surroundings before it starts: the running kernel and
// whether a bypass plug-in beside the installation vetoes it.
#include <dlfcn.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "base/mem.h"
#include "startup/startup.h"
#include "base/log.h"

struct utsname g_utsname;
int s_kernel_verion;

namespace {

constexpr const char *kBypassLib = "libqxbypass.so";
constexpr const char *kBypassFunc = "qx_check_module_bypass";
constexpr int kMapsLineMax = 8192;  // a maps line is a short prefix and a path
constexpr unsigned long kPieceMax = 0x7FFF;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtimes refuse libraries bound to their own symbols first.
constexpr int kDeepBind = 0;
#else
constexpr int kDeepBind = RTLD_DEEPBIND;
#endif

// Decimal prefix of a release piece; above kPieceMax it cannot be part of a version code.
unsigned long decimal_prefix(const char *s) {
    unsigned long v = 0;
    for (; isdigit((unsigned char)*s); s++) {
        v = v * 10 + (unsigned long)(*s - '0');
        if (v > kPieceMax) return ULONG_MAX;
    }
    return v;
}

}  // namespace

int os_release_code(const char *release, int *code) {
    const char *dot1 = strchr(release, '.');
    const char *dot2 = dot1 ? strchr(dot1 + 1, '.') : nullptr;
    if (!dot2) {
        KIV_LOG(0, "invalid rlease:%s\n", release);
        return -1;
    }
    unsigned long major = decimal_prefix(release), minor = decimal_prefix(dot1 + 1),
                  patch = decimal_prefix(dot2 + 1);
    if (major > kPieceMax || minor > kPieceMax || patch > kPieceMax ||
        major * 65536 + minor * 256 + patch > INT32_MAX) {
        KIV_LOG(0, "invalid rlease:%s\n", release);
        return -1;
    }
    *code = (int)(major * 65536 + minor * 256 + patch);
    KIV_LOG(2, "release:%s, code:%lu.%lu.%lu\n", release, major, minor, patch);
    return 0;
}

int os_info_init() {
    if (uname(&g_utsname) != 0) {
        KIV_LOG(0, "uname failed\n");
        return -1;
    }
    char *release = kiv_strdup(g_utsname.release, MALLOC_FOR_TMP);
    if (!release) {
        KIV_LOG(0, "strdup failed\n");
        return -1;
    }
    int code = 0;
    int rc = os_release_code(release, &code);
    kiv_free(release);
    if (rc != 0) return -1;
    s_kernel_verion = code;
    return 0;
}

int bypass_dir_from_maps(FILE *maps, char *buf, int size) {
    char line[kMapsLineMax];
    while (fgets(line, sizeof(line), maps)) {
        if (!strstr(line, "libqxkiv.so") || !strstr(line, " r-xp ")) continue;
        const char *slash = strchr(line, '/');
        const char *nl = slash ? strchr(slash, '\n') : nullptr;
        if (!nl) continue;
        size_t len = (size_t)(nl - slash);
        if (len >= (size_t)size) return -1;
        memcpy(buf, slash, len);
        buf[len] = '\0';
        strrchr(buf, '/')[1] = '\0';
        size_t used = strlen(buf);
        snprintf(buf + used, (size_t)size - used, "%s", "../../");
        return 0;
    }
    return -1;
}

int qx_bypass_get_config_dir(char *buf, int size) {
    if (!buf || size < 1) {
        KIV_LOG(1, "param error\n");
        return -1;
    }
    FILE *maps = fopen("/proc/self/maps", "re");
    if (!maps) {
        KIV_LOG(1, "open /proc/self/maps error\n");
        return -1;
    }
    int rc = bypass_dir_from_maps(maps, buf, size);
    fclose(maps);
    return rc;
}

void *loader_bypass() {
    char dir[1024];
    if (qx_bypass_get_config_dir(dir, sizeof(dir)) != 0) {
        KIV_LOG(1, "get bypass config dir fail!\n");
        return nullptr;
    }
    char path[sizeof(dir) + 64];
    snprintf(path, sizeof(path), "%s/lib/%s", dir, kBypassLib);
    void *handle = dlopen(path, RTLD_NOW | kDeepBind);
    KIV_LOG(2, "LOADER BYPASS lib: %s\n", path);
    if (!handle) KIV_LOG(3, "no bypass plug-in: %s\n", dlerror());
    return handle;
}

int kiv_check_module_bypass(void *handle, const char *module_name) {
    if (!handle || !module_name) return 0;
    auto fn = reinterpret_cast<int (*)(const char *)>(dlsym(handle, kBypassFunc));
    if (!fn) {
        KIV_LOG(0, "dlsym error: %s\n", dlerror());
        return 0;
    }
    return fn(module_name);
}

void unload_bypass(void *handle) {
    if (handle) dlclose(handle);
}
