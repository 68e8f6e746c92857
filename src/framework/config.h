// Loading and watching sensor.conf.
#pragma once
#include <cstdint>

#include "base/sensor_config.h"
#include "qxkiv/ini.h"

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
// Reads sensor.conf into *out without applying it; -1 (logged) when start-up would fail.
int framework_cfg_read(framework_config *out);
void framework_cfg_exit();
// Re-reads the keys that may change while the sensor runs.
void update_log_cfg(ini_file_t *ini);
// The watch timer's callback: reloads when the file's modification time changed.
void framework_cfg_update_check_timer(void *arg);
// Runs before each reload (the sensor log's flush, set by start-up).
void framework_cfg_set_before_reload(void (*fn)());

// "module", "emulated" or "userspace" -> kiv_kernel_mode; -1 for anything else.
int kernel_mode_parse(const char *text);

// Tests point the configuration at their own tree; null restores "@/../config/sensor.conf".
void kiv_set_sensor_conf_path(const char *path);
// The path in use, "@" not yet expanded.
const char *kiv_sensor_conf_path();
