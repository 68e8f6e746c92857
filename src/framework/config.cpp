#include "framework/config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "comm/dirutils.h"
#include "comm/ini_key.h"
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
    .userspace_source = LIVE_SOURCE_AUTO,
    .userspace_syscall_probes = 0,
    .container_id = 0,
    .json_escape_invalid = 0,
    .log_escape = 0,
};

namespace {

constexpr const char *kSection = "base";
constexpr uint32_t kDefaultLogMask = 0xFFFFFFF;

// Every numeric key of sensor.conf; below the range gives the default, above it the bound,
// except log_level, whose default replaces any value outside 0..4.
constexpr ini_long_key kCollectorTaskNum{"collector_task_num", 1, 1, COLLECTOR_TASK_NUM_MAX};
constexpr ini_long_key kBlockerTaskNum{"blocker_task_num", 1, 1, COLLECTOR_TASK_NUM_MAX};
constexpr ini_long_key kOsCapMode{"os_cap_mode", 0, 0, 1};
constexpr ini_long_key kSyscallProbes{"userspace_syscall_probes", 0, 0, 1};
constexpr ini_long_key kContainerId{"container_id", 0, 0, 1};
constexpr ini_long_key kJsonEscapeInvalid{"json_escape_invalid", 0, 0, 1};
constexpr ini_long_key kLogEscape{"log_escape", 0, 0, 1};
constexpr ini_long_key kLogLevel{"log_level", 2, 0, 4, ini_oor::use_default, ini_oor::use_default};
constexpr ini_long_key kLogRotate{"log_rotate", 7, 0, LOG_ROTATE_MAX};
constexpr ini_long_key kLogFileSize{"log_file_size", 5, 1, LOG_FILE_SIZE_MAX_MB};
constexpr ini_long_key kLogRefreshInterval{"log_refresh_interval", 60, 1, LOG_REFRESH_INTERVAL_MAX};
constexpr ini_long_key kStatEventRateInterval{"stat_event_rate_interval", 0, 0,
                                              STAT_EVENT_RATE_INTERVAL_MAX};

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

int32_t get_int(ini_file_t *ini, const ini_long_key &k) {
    return (int32_t)ini_get_long_in_range(ini, kSection, k);
}

// A path that does not fit keeps the default rather than a truncated name.
void get_path(ini_file_t *ini, const char *key, char *out, size_t size, const char *def) {
    const char *v = ini_file_get_str(ini, kSection, key, def);
    if (strlen(v) >= size) {
        KIV_LOG(1, "%s: %s too long, using %s\n", ini_file_name(ini), key, def);
        ini_problem_note(ini_file_name(ini), kSection, key, v, false, "%s (at most %zu bytes)",
                         def, size - 1);
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
        KIV_LOG(1, "%s: invalid log_mask:%s, using %x\n", ini_file_name(ini), v, kDefaultLogMask);
        ini_problem_note(ini_file_name(ini), kSection, "log_mask", v, false,
                         "%x (a hexadecimal mask)", kDefaultLogMask);
        return kDefaultLogMask;
    }
    return (uint32_t)mask;
}

// A misspelt backend must not quietly become another one: "module" loads a real kernel
// module where the stand-in was meant, and fails later for a reason the user cannot see.
int32_t get_kernel_mode(ini_file_t *ini) {
    const char *v = ini_file_get(ini, kSection, "kernel_mode");
    if (!v) return KERNEL_MODE_MODULE;
    int mode = kernel_mode_parse(v);
    if (mode < 0) {
        KIV_LOG(0, "%s: unknown kernel_mode = %s (module, emulated or userspace)\n",
                ini_file_name(ini), v);
        ini_problem_note(ini_file_name(ini), kSection, "kernel_mode", v, true,
                         "nothing: start-up fails (module, emulated or userspace)");
    }
    return mode;
}

int32_t get_userspace_source(ini_file_t *ini) {
    const char *v = ini_file_get(ini, kSection, "userspace_source");
    if (!v) return LIVE_SOURCE_AUTO;
    int source = live_source_parse(v);
    if (source < 0) {
        KIV_LOG(0, "%s: unknown userspace_source = %s (auto, ebpf or connector)\n",
                ini_file_name(ini), v);
        ini_problem_note(ini_file_name(ini), kSection, "userspace_source", v, true,
                         "nothing: start-up fails (auto, ebpf or connector)");
    }
    return source;
}

void reset_defaults(framework_config &c) {
    c.collector_task_num = (int32_t)kCollectorTaskNum.def;
    c.blocker_task_num = (int32_t)kBlockerTaskNum.def;
    c.log_level = (int32_t)kLogLevel.def;
    c.log_mask = kDefaultLogMask;
    snprintf(c.ko_path, sizeof(c.ko_path), "%s", "@/../src/kernel");
    snprintf(c.log_path, sizeof(c.log_path), "%s", "@/../logs/sensor.log");
    c.log_rotate = (int32_t)kLogRotate.def;
    c.log_refresh_interval = (int32_t)kLogRefreshInterval.def;
    c.stat_event_rate_interval = (int32_t)kStatEventRateInterval.def;
    c.log_file_size = (int32_t)kLogFileSize.def;
    c.os_cap_mode = (int32_t)kOsCapMode.def;
    c.kernel_mode = KERNEL_MODE_MODULE;
    c.userspace_source = LIVE_SOURCE_AUTO;
    c.userspace_syscall_probes = (int32_t)kSyscallProbes.def;
    c.container_id = (int32_t)kContainerId.def;
    c.json_escape_invalid = (int32_t)kJsonEscapeInvalid.def;
    c.log_escape = (int32_t)kLogEscape.def;
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
    // Other threads read these without locks: each is one atomic word, stored whole.
    framework_config &c = g_framework_config;
    c.log_level = get_int(ini, kLogLevel);
    c.log_rotate = get_int(ini, kLogRotate);
    c.log_file_size = get_int(ini, kLogFileSize);
    c.log_refresh_interval = get_int(ini, kLogRefreshInterval);
    c.stat_event_rate_interval = get_int(ini, kStatEventRateInterval);
    KIV_LOG(2, "update log config\n");
}

int framework_cfg_read(framework_config *out) {
    ini_file_t *ini = ini_conf_load(s_conf_path.c_str());
    if (!ini) return -1;
    framework_config c = g_framework_config;
    reset_defaults(c);
    c.collector_task_num = get_int(ini, kCollectorTaskNum);
    c.blocker_task_num = get_int(ini, kBlockerTaskNum);
    c.log_mask = get_log_mask(ini);
    c.os_cap_mode = get_int(ini, kOsCapMode);
    get_path(ini, "ko_path", c.ko_path, sizeof(c.ko_path), "@/../src/kernel");
    get_path(ini, "log_path", c.log_path, sizeof(c.log_path), "@/../logs/sensor.log");
    c.kernel_mode = get_kernel_mode(ini);
    c.userspace_source = get_userspace_source(ini);
    c.userspace_syscall_probes = get_int(ini, kSyscallProbes);
    c.container_id = get_int(ini, kContainerId);
    c.json_escape_invalid = get_int(ini, kJsonEscapeInvalid);
    c.log_escape = get_int(ini, kLogEscape);
    if (c.kernel_mode < 0 || c.userspace_source < 0) {
        ini_file_free(ini);
        return -1;
    }
    c.log_level = get_int(ini, kLogLevel);
    c.log_rotate = get_int(ini, kLogRotate);
    c.log_file_size = get_int(ini, kLogFileSize);
    c.log_refresh_interval = get_int(ini, kLogRefreshInterval);
    c.stat_event_rate_interval = get_int(ini, kStatEventRateInterval);
    ini_file_free(ini);
    *out = c;
    return 0;
}

int framework_cfg_init() {
    // Read everything at the default level, then publish: a low log_level in the file (or
    // left from an earlier start) must not hide what is wrong with the file.
    g_framework_config.log_level = (int32_t)kLogLevel.def;
    framework_config c;
    if (framework_cfg_read(&c) != 0) return -1;
    // Start-up runs before any other thread, so the record may be replaced whole.
    g_framework_config = c;
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
