#include "comm/upload_limit.h"

#include "base/log.h"
#include "base/mem.h"
#include "comm/pthread_guard.h"
#include "qxkiv/ini.h"

void upload_limit_info_init(upload_limit_info *limit, uint32_t max_cnt, uint32_t interval) {
    limit->start = 0;
    limit->count = 0;
    limit->max_cnt = max_cnt;
    limit->interval = interval;
}

int is_over_limit(upload_limit_info *limit, uint32_t now) {
    if (limit->max_cnt == 0) return 0;
    // Elapsed time as an unsigned difference: the millisecond clock wraps every 49.7 days, and
    // comparing start + interval with now would then hold one window open until it wrapped
    // again, refusing everything meanwhile.
    if (now - limit->start > limit->interval) {
        limit->start = now;
        limit->count = 0;
        return 0;
    }
    if (limit->count >= limit->max_cnt) return -1;
    limit->count++;
    return 0;
}

void keyed_limiter::init(uint32_t max_cnt, uint32_t interval) {
    *this = keyed_limiter{};
    max_cnt_ = max_cnt;
    interval_ = interval;
}

int keyed_limiter::check(uint64_t key, uint32_t now, bool *first_drop, uint32_t *closed_drops) {
    *first_drop = false;
    *closed_drops = 0;
    if (max_cnt_ == 0) return 0;
    slot *s = nullptr, *oldest = &slots_[0];
    for (slot &c : slots_) {
        if (c.taken && c.key == key) {
            s = &c;
            break;
        }
        if (!c.taken || (oldest->taken && uses_ - c.used > uses_ - oldest->used)) oldest = &c;
    }
    if (!s) {
        s = oldest;
        *s = slot{key, {}, 0, 0, true};
        upload_limit_info_init(&s->limit, max_cnt_, interval_);
        // A key new to the table opens its window with this event, as the shared limiter does.
        s->limit.start = now - interval_ - 1;
    }
    s->used = ++uses_;
    uint32_t start = s->limit.start;
    int rc = is_over_limit(&s->limit, now);
    if (s->limit.start != start) {  // a new window
        *closed_drops = s->dropped;
        s->dropped = 0;
    }
    if (rc != 0 && s->dropped++ == 0) *first_drop = true;
    return rc;
}

int aux_limit_cfg_load(aux_sensor_info *info, const char *conf_path, const char *section,
                       const ini_long_key &sec_key, const ini_long_key &hour_key) {
    ini_file_t *ini = ini_conf_load(conf_path);
    if (!ini) return -1;
    auto sec_max = static_cast<uint32_t>(ini_get_long_in_range(ini, section, sec_key));
    auto hour_max = static_cast<uint32_t>(ini_get_long_in_range(ini, section, hour_key));
    ini_file_free(ini);
    KIV_LOG(2, "sec_limit.max_cnt(%d) hour_limit.max_cnt(%d)\n", static_cast<int>(sec_max),
            static_cast<int>(hour_max));
    upload_limit_info_init(&info->sec_limit, sec_max, AUX_SEC_WINDOW_MS);
    upload_limit_info_init(&info->hour_limit, hour_max, AUX_HOUR_WINDOW_S);
    // Both windows open with the first event, also within the first hour of the clock.
    uint64_t now = kiv_now_ms();
    info->sec_limit.start = static_cast<uint32_t>(now) - AUX_SEC_WINDOW_MS - 1;
    info->hour_limit.start = static_cast<uint32_t>(now / 1000) - AUX_HOUR_WINDOW_S - 1;
    return 0;
}

int aux_upload_limit_filter(aux_sensor_info *info, const aux_limit_stats &stats) {
    mutex_guard guard(&info->upload_limit_lock);
    uint64_t now = kiv_now_ms();
    auto now_ms = static_cast<uint32_t>(now);
    upload_limit_info &s = info->sec_limit;
    if (is_over_limit(&s, now_ms) != 0) {
        kiv_stat_inc(stats.sec_cnt);
        KIV_LOG(4, "limit second: %u/%ums > %u/%ums\n", s.count, now_ms - s.start, s.max_cnt,
                s.interval);
        return -1;
    }
    auto now_s = static_cast<uint32_t>(now / 1000);
    upload_limit_info &h = info->hour_limit;
    if (is_over_limit(&h, now_s) != 0) {
        kiv_stat_inc(stats.hour_cnt);
        KIV_LOG(4, "limit hour: %u/%us > %u/%us\n", h.count, now_s - h.start, h.max_cnt,
                h.interval);
        return -1;
    }
    return 0;
}
