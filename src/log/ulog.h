// Sensor log: logger rings, logger thread and files.
#pragma once

#include "base/log.h"

struct kiv_task;
int ulog_init();               // rings; log_mask back to 0xFFFFFFF
int ulog_init_after_config();  // creates the log directory
void ulog_exit();
void logger_main(kiv_task *task);
void ulog_save(int force);
void klog_save(int force);
void ulog_save_once();  // klog_save(1), then ulog_save(1)
void log_rotate();
int __log_rotate(const char *path, int count, int size_mb);
