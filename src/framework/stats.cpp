// The event-rate report: counters sampled every stat_event_rate_interval seconds.
#include <cstdio>

#include "base/log.h"
#include "base/mem.h"
#include "framework/stats.h"
#include "comm/timer.h"
#include "framework/config.h"

namespace {

int s_ev_rate_interval;
kiv_timer *s_rate_stat_timer;
uint64_t s_pre_print_time;

}  // namespace

int ustat_init() {
    KIV_LOG(2, "ustat init ok\n");
    return 0;
}

void ustat_exit() {
    if (s_rate_stat_timer) {
        del_timer(s_rate_stat_timer);
        s_rate_stat_timer = nullptr;
    }
    s_ev_rate_interval = 0;
    KIV_LOG(2, "ustat exit ok\n");
}

void change_ustat_cfg_check() {
    int interval = g_framework_config.stat_event_rate_interval;
    if (interval == s_ev_rate_interval) return;
    s_ev_rate_interval = interval;
    if (s_rate_stat_timer) {
        KIV_LOG(2, "stop event rate stat ...\n");
        del_timer(s_rate_stat_timer);
        s_rate_stat_timer = nullptr;
    }
    if (interval <= 0) {
        KIV_LOG(3, "s_ev_rate_interval=0\n");
        return;
    }
    s_pre_print_time = kiv_now_ms();
    for (int i = 0; i < EV_ALL_MAX; i++) {
        g_ev_rate_stats[i].store(0, std::memory_order_relaxed);
        g_pre_ev_rate_stats[i] = 0;
    }
    s_rate_stat_timer = add_timer((uint64_t)interval * 1000, urate_stats_timer, nullptr);
    if (!s_rate_stat_timer) {
        KIV_LOG(1, "start event rate stat timer failed\n");
        return;
    }
    KIV_LOG(3, "start stat:%d\n", interval);
}

void urate_stats_timer(void *) {
    uint64_t now = kiv_now_ms();
    uint64_t period = (uint64_t)s_ev_rate_interval * 1000;
    if (s_ev_rate_interval <= 0 || now - s_pre_print_time < period) return;
    unsigned long secs = (unsigned long)((now - s_pre_print_time) / 1000);
    for (int i = 0; i < EV_ALL_MAX; i++) {
        int64_t cur = g_ev_rate_stats[i].load(std::memory_order_relaxed);
        KIV_LOG(2, "IN_EVENT:%s: %ld (%luSec)\n", g_event_names[i],
                (long)(cur - g_pre_ev_rate_stats[i]), secs);
        g_pre_ev_rate_stats[i] = cur;
    }
    for (int i = 0; i < UPLOAD_TYPE_MAX; i++) {
        int64_t cur = g_ev_upload_rate_stats[i].load(std::memory_order_relaxed);
        KIV_LOG(2, "OUT_EVENT:%s: %ld (%luSec)\n", g_upload_type_names[i],
                (long)(cur - g_pre_ev_upload_rate_stats[i]), secs);
        g_pre_ev_upload_rate_stats[i] = cur;
    }
    s_pre_print_time = now;
}
