#include "framework/config.h"

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
};
