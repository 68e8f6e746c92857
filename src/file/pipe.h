// Named pipes created (type 19) and connected to (type 20): rate-limited per second and per
// hour from file.conf, and written to the sensor log.
#pragma once
#include "comm/upload_limit.h"
#include "framework/hook.h"

extern aux_sensor_info s_pipe_info;

int kiv_pipe_init();
// Reads the pipe section of file.conf as start-up would, into a scratch record. 0 or -1.
int pipe_cfg_check();
void kiv_pipe_exit();
int pipe_event_handle(char *msg, kiv_msg_ctx *ctx);
