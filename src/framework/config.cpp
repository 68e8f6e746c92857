#include "framework/config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "comm/dirutils.h"
#include "comm/timer.h"
#include "base/mem.h"
#include "kernel/kernel_if.h"
#include "base/log.h"

// Lines before the configuration is read still reach the standard streams at the default level.
framework_config g_framework_config = {
    .collector_task_num = 1,
    .blocker_task_num = 1,
    .log_level = 2,
    .log_mask = 0xFFFFFFF,
    .ko_path = "@/../src/kernel",
    .log_path = "@/../logs/sensor.log",
    .log_rotate = 7,
    .log_refresh_interval = 60,
    .stat_event_rate_interval = 0,
    .log_file_size = 5,
    .os_cap_mode = 0,
    .kernel_mode = KERNEL_MODE_MODULE,
};

namespace {

constexpr const char *kSection = "base";
constexpr uint32_t kDefaultLogMask = 0xFFFFFFF;

std::string s_conf_path = SENSOR_CONF_PATH;
kiv_timer *s_cfg_timer;
// Touched by the watch timer on the framework thread, and by init/exit while it is stopped.
bool s_have_mtime;
timespec s_mtime;

struct kiv_tmp_path {
    char *path;
    explicit kiv_tmp_path(const char *p) : path(kiv_get_trans_path(p)) {}
    ~kiv_tmp_path() { kiv_free(path); }
};

int32_t get_int(ini_file_t *ini, const char *key, int32_t def) {
    long v = ini_file_get_long(ini, kSection, key, def);
    if (v < INT32_MIN || v > INT32_MAX) {
        KIV_LOG(1, "%s out of range:%ld, using %d\n", key, v, def);
        return def;
    }
    return (int32_t)v;
}

// A path that does not fit keeps the default rather than a truncated name.
void get_path(ini_file_t *ini, const char *key, char *out, size_t size, const char *def) {
    const char *v = ini_file_get_str(ini, kSection, key, def);
    if (strlen(v) >= size) {
        KIV_LOG(1, "%s too long, using %s\n", key, def);
        v = def;
    }
    snprintf(out, size, "%s", v);
}

uint32_t get_log_mask(ini_file_t *ini) {
    const char *v = ini_file_get(ini, kSection, "log_mask");
    if (!v) return kDefaultLogMask;
    char *end = nullptr;
    errno = 0;
    unsigned long mask = strtoul(v, &end, 16);
    if (end == v || *end != '\0' || errno != 0 || mask > UINT32_MAX || v[0] == '-') {
        KIV_LOG(1, "invalid log_mask:%s, using %x\n", v, kDefaultLogMask);
        return kDefaultLogMask;
    }
    return (uint32_t)mask;
}

int32_t get_kernel_mode(ini_file_t *ini) {
    const char *v = ini_file_get(ini, kSection, "kernel_mode");
    if (!v) return KERNEL_MODE_MODULE;
    int mode = kernel_mode_parse(v);
    if (mode < 0) {
        KIV_LOG(1, "invalid kernel_mode:%s (module, emulated or userspace), using module\n", v);
        return KERNEL_MODE_MODULE;
    }
    return mode;
}

bool same_time(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

void kiv_set_sensor_conf_path(const char *path) {
    s_conf_path = path ? path : SENSOR_CONF_PATH;
}

const char *kiv_sensor_conf_path() {
    return s_conf_path.c_str();
}

int kernel_mode_parse(const char *text) {
    static const char *const names[] = {"module", "emulated", "userspace"};
    static_assert(KERNEL_MODE_MODULE == 0 && KERNEL_MODE_EMULATED == 1 &&
                  KERNEL_MODE_USERSPACE == 2);
    if (!text) return -1;
    for (int i = 0; i < 3; i++)
        if (strcmp(text, names[i]) == 0) return i;
    return -1;
}

void update_log_cfg(ini_file_t *ini) {
    // Other threads read these without locks: each is one aligned word, stored whole.
    framework_config &c = g_framework_config;
    int32_t level = get_int(ini, "log_level", 2);
    if (level < 0 || level > 4) {
        KIV_LOG(1, "log_level %d out of 0..4, using 2\n", level);
        level = 2;
    }
    __atomic_store_n(&c.log_level, level, __ATOMIC_RELAXED);
    __atomic_store_n(&c.log_rotate, get_int(ini, "log_rotate", 7), __ATOMIC_RELAXED);
    __atomic_store_n(&c.log_file_size, get_int(ini, "log_file_size", 5), __ATOMIC_RELAXED);
    __atomic_store_n(&c.log_refresh_interval, get_int(ini, "log_refresh_interval", 60),
                     __ATOMIC_RELAXED);
    __atomic_store_n(&c.stat_event_rate_interval, get_int(ini, "stat_event_rate_interval", 0),
                     __ATOMIC_RELAXED);
    KIV_LOG(2, "update log config\n");
}

int framework_cfg_init() {
    kiv_tmp_path path(s_conf_path.c_str());
    if (!path.path) {
        KIV_LOG(0, "trans %s failed\n", s_conf_path.c_str());
        return -1;
    }
    ini_file_t *ini = ini_file_load(path.path);
    if (!ini) {
        KIV_LOG(0, "read config:%s failed\n", path.path);
        return -1;
    }
    // Start-up runs before any other thread, so the record may be rebuilt in place.
    framework_config &c = g_framework_config;
    memset(&c, 0, sizeof(c));
    c.collector_task_num = get_int(ini, "collector_task_num", 1);
    if (c.collector_task_num < 0) {
        KIV_LOG(1, "collector_task_num %d is negative, using 1\n", c.collector_task_num);
        c.collector_task_num = 1;
    }
    c.blocker_task_num = get_int(ini, "blocker_task_num", 1);
    c.log_mask = get_log_mask(ini);
    c.os_cap_mode = get_int(ini, "os_cap_mode", 0);
    get_path(ini, "ko_path", c.ko_path, sizeof(c.ko_path), "@/../src/kernel");
    get_path(ini, "log_path", c.log_path, sizeof(c.log_path), "@/../logs/sensor.log");
    c.kernel_mode = get_kernel_mode(ini);
    update_log_cfg(ini);
    ini_file_free(ini);
    KIV_LOG(2, "load framework config ok\n");

    s_have_mtime = false;
    s_cfg_timer = add_timer(FRAMEWORK_CFG_CHECK_MS, framework_cfg_update_check_timer, nullptr);
    if (!s_cfg_timer) {
        KIV_LOG(0, "add config check timer failed\n");
        return -1;
    }
    return 0;
}

void framework_cfg_exit() {
    del_timer(s_cfg_timer);
    s_cfg_timer = nullptr;
    s_have_mtime = false;
    KIV_LOG(2, "framework config exit ok\n");
}

namespace {
// The sensor log flushes with the old settings before a reload; it lives above the
// framework, so start-up hands the flush in.
void (*s_before_reload)();
}  // namespace

void framework_cfg_set_before_reload(void (*fn)()) {
    s_before_reload = fn;
}

void framework_cfg_update_check_timer(void *) {
    kiv_tmp_path path(s_conf_path.c_str());
    if (!path.path) {
        KIV_LOG(1, "trans %s failed\n", s_conf_path.c_str());
        return;
    }
    struct stat st;
    if (stat(path.path, &st) != 0) {
        KIV_LOG(3, "stat %s failed(%s)\n", path.path, strerror(errno));
        return;
    }
    // The first run after start-up only records the time; a touch without edits reloads too.
    if (!s_have_mtime || same_time(s_mtime, st.st_mtim)) {
        s_mtime = st.st_mtim;
        s_have_mtime = true;
        KIV_LOG(4, "no update\n");
        return;
    }
    KIV_LOG(2, "config %s mtime change\n", path.path);
    if (s_before_reload) s_before_reload();
    ini_file_t *ini = ini_file_load(path.path);
    if (!ini) {
        // The remembered time stays, so the next run tries again.
        KIV_LOG(0, "read config:%s failed\n", path.path);
        return;
    }
    update_log_cfg(ini);
    ini_file_free(ini);
    s_mtime = st.st_mtim;
    KIV_LOG(2, "update config\n");
}
