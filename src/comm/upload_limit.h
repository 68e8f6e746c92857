// Counting rate limiter shared by every sensor that caps its reports per window, and the
// per-second plus per-hour pair the small auxiliary sensors read from their configuration.
#pragma once
#include <pthread.h>

#include <cstdint>

#include "comm/ini_key.h"

// At most max_cnt events per window of interval (in the unit of the times passed to
// is_over_limit); max_cnt 0 means unlimited.
struct upload_limit_info {
    uint32_t start;
    uint32_t count;
    uint32_t max_cnt;
    uint32_t interval;
};

void upload_limit_info_init(upload_limit_info *limit, uint32_t max_cnt, uint32_t interval);
// 0 allowed, -1 over the limit. The event that opens a window is not counted.
int is_over_limit(upload_limit_info *limit, uint32_t now);

// One limiter per key (a user, a process, a peer), so one key's flood never spends another's
// window. A bounded number of keys is tracked; a new key takes the slot used longest ago,
// which can only hand the key it replaces a fresh window, never refuse anyone. The caller
// serialises.
class keyed_limiter {
  public:
    static constexpr int SLOTS = 64;
    void init(uint32_t max_cnt, uint32_t interval);
    uint32_t max_cnt() const { return max_cnt_; }
    uint32_t interval() const { return interval_; }
    // 0 allowed, -1 over. *first_drop is set on the window's first refusal; *closed_drops to
    // what the key's window that just ended refused (0 when none), for the caller's log.
    int check(uint64_t key, uint32_t now, bool *first_drop, uint32_t *closed_drops);

  private:
    struct slot {
        uint64_t key;
        upload_limit_info limit;
        uint32_t dropped;
        uint32_t used;  // the check count at its last use
        bool taken;
    };
    slot slots_[SLOTS] = {};
    uint32_t max_cnt_ = 0, interval_ = 0, uses_ = 0;
};

constexpr uint32_t AUX_SEC_WINDOW_MS = 1000;
constexpr uint32_t AUX_HOUR_WINDOW_S = 3600;

// State of one auxiliary sensor: the lock serialises its two limiters.
struct aux_sensor_info {
    pthread_mutex_t upload_limit_lock;
    upload_limit_info sec_limit;   // milliseconds of the cached clock, truncated to 32 bits
    upload_limit_info hour_limit;  // seconds
};

// Reads the two maxima of section from the "@" configuration file at conf_path into info and
// sets both windows. 0, or -1 when the file cannot be read (logged).
int aux_limit_cfg_load(aux_sensor_info *info, const char *conf_path, const char *section,
                       const ini_long_key &sec_key, const ini_long_key &hour_key);

// Counters a limited event increments.
struct aux_limit_stats {
    uint32_t sec_cnt;
    uint32_t hour_cnt;
};

// 0 allowed, -1 limited (counted and logged). Under upload_limit_lock; an event the
// per-second check lets through counts in that window even when the hourly one refuses it.
int aux_upload_limit_filter(aux_sensor_info *info, const aux_limit_stats &stats);
