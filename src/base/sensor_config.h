// The framework configuration words read from sensor.conf. They sit at the bottom because
// every log line reads the level and the mask.
#pragma once
#include <cstdint>

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
