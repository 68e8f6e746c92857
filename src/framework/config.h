// Framework configuration read from sensor.conf; the logging macros read it on every line.
#pragma once
#include <cstdint>

#include "qxkiv/ini.h"

struct framework_config {
    int32_t collector_task_num;
    int32_t blocker_task_num;
    int32_t log_level;
    uint32_t log_mask;
    char ko_path[1024];
    char log_path[1024];
    int32_t log_rotate;
    int32_t log_refresh_interval;
    int32_t stat_event_rate_interval;
    int32_t log_file_size;
    int32_t os_cap_mode;
    int32_t kernel_mode;  // kiv_kernel_mode: which backend stands behind the kernel boundary
};

extern framework_config g_framework_config;

constexpr const char *SENSOR_CONF_PATH = "@/../config/sensor.conf";
constexpr uint64_t FRAMEWORK_CFG_CHECK_MS = 3000;

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
