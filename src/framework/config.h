// Framework configuration read from sensor.conf; the logging macros read it on every line.
#pragma once
#include <atomic>
#include <cstdint>

#include "qxkiv/ini.h"

// A word the watch timer rewrites while every other thread reads it: each access is one
// relaxed atomic load or store, and the record stays copyable so tests can save and restore it.
template <class T>
struct reloadable_word {
    std::atomic<T> v;
    constexpr reloadable_word(T x = T()) : v(x) {}
    reloadable_word(const reloadable_word &o) : v(o.load()) {}
    reloadable_word &operator=(const reloadable_word &o) {
        store(o.load());
        return *this;
    }
    reloadable_word &operator=(T x) {
        store(x);
        return *this;
    }
    operator T() const { return load(); }
    T load() const { return v.load(std::memory_order_relaxed); }
    void store(T x) { v.store(x, std::memory_order_relaxed); }
};

struct framework_config {
    int32_t collector_task_num;
    int32_t blocker_task_num;
    reloadable_word<int32_t> log_level;
    reloadable_word<uint32_t> log_mask;
    char ko_path[1024];
    char log_path[1024];
    reloadable_word<int32_t> log_rotate;
    reloadable_word<int32_t> log_refresh_interval;
    reloadable_word<int32_t> stat_event_rate_interval;
    reloadable_word<int32_t> log_file_size;
    int32_t os_cap_mode;
    int32_t kernel_mode;  // kiv_kernel_mode: which backend stands behind the kernel boundary
};

extern framework_config g_framework_config;

constexpr const char *SENSOR_CONF_PATH = "@/../config/sensor.conf";
constexpr uint64_t FRAMEWORK_CFG_CHECK_MS = 3000;

// Accepted ranges of the numeric keys of sensor.conf. A log file stops growing at 20 MiB,
// so archiving must start at or below that size.
constexpr int32_t COLLECTOR_TASK_NUM_MAX = 64;
constexpr int32_t LOG_FILE_SIZE_MAX_MB = 20;
constexpr int32_t LOG_ROTATE_MAX = 100;
constexpr int32_t LOG_REFRESH_INTERVAL_MAX = 3600;
constexpr int32_t STAT_EVENT_RATE_INTERVAL_MAX = 86400;

// Loads sensor.conf and starts the 3-second watch timer. 0 or -1.
int framework_cfg_init();
void framework_cfg_exit();
// Re-reads the keys that may change while the sensor runs.
void update_log_cfg(ini_file_t *ini);
// The watch timer's callback: reloads when the file's modification time changed.
void framework_cfg_update_check_timer(void *arg);

// "module", "emulated" or "userspace" -> kiv_kernel_mode; -1 for anything else.
int kernel_mode_parse(const char *text);

// Tests point the configuration at their own tree; null restores "@/../config/sensor.conf".
void kiv_set_sensor_conf_path(const char *path);
