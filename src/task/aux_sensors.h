// The process module's two auxiliary sensors: library loads (type 3) and signals (type 4).
// Each has its own pair of rate limits from task.conf and one hook; both only write their
// records to the sensor log. A library load waits, a bounded number of times and loads, for
// its process's creation to have been reported.
#pragma once
#include <cstdint>

#include "comm/upload_limit.h"
#include "framework/hook.h"

extern aux_sensor_info s_dl_load_info;
extern aux_sensor_info s_kill_info;

int kiv_dl_load_init();
// Read their sections of task.conf as start-up would, into scratch records. 0 or -1.
int dl_load_cfg_check();
int kill_cfg_check();
void kiv_dl_load_exit();
int kiv_kill_init();
void kiv_kill_exit();

int dl_load_event_handle(char *msg, kiv_msg_ctx *ctx);
int kill_event_handle(char *msg, kiv_msg_ctx *ctx);

constexpr uint8_t DL_LOAD_RELY_MAX = 3;  // waits for the process before giving up
constexpr uint64_t DL_LOAD_RELY_TIMEOUT_MS = 1000;

// Library loads parked for their process, and those given up: after their waits, because
// the wait list was full, or because the record could not be parked.
struct dl_load_wait_stats {
    uint32_t waiting;
    uint32_t wait_max;
    uint64_t given_up;
    uint64_t refused_full;
};
dl_load_wait_stats dl_load_wait_get();
