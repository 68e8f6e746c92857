// The event-rate report on the timer service; the counters themselves live in base/mem.h.
#pragma once

int ustat_init();
void ustat_exit();
// Applies a changed stat_event_rate_interval; runs on the logger thread.
void change_ustat_cfg_check();
void urate_stats_timer(void *arg);
