// Accounting allocator and the statistics counters.
//
// Every block carries an 8-byte header naming its category, so the bytes held per purpose
// can be read from g_usensor_stats at any time.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

enum usensor_stat_type : uint32_t {
#define X(idx, name, text) name = idx,
#include "base/mem_names.inc"
#undef X
    USENSOR_STAT_MAX
};
// The 139 counters of the statistics dump, then our own additions.
static_assert(USENSOR_STAT_MAX == 163);

constexpr int EV_ALL_MAX = 29;       // kernel event types 0..28
constexpr int UPLOAD_TYPE_MAX = 21;  // upload types 0..20

extern std::atomic<int64_t> g_usensor_stats[USENSOR_STAT_MAX];
extern std::atomic<int64_t> g_ev_rate_stats[EV_ALL_MAX];
extern std::atomic<int64_t> g_ev_upload_rate_stats[UPLOAD_TYPE_MAX];
extern int64_t g_pre_ev_rate_stats[EV_ALL_MAX];
extern int64_t g_pre_ev_upload_rate_stats[UPLOAD_TYPE_MAX];
extern std::atomic<int> s_enable_malloc;

extern const char *const g_event_names[EV_ALL_MAX + 1];
extern const char *const g_upload_type_names[UPLOAD_TYPE_MAX + 1];

void *kiv_malloc(size_t size, uint32_t stat_type);
void *kiv_zalloc(size_t size, uint32_t stat_type);
void *kiv_realloc(void *ptr, size_t size);
void kiv_free(void *ptr);
size_t kiv_msize(void *ptr);
char *kiv_strdup(const char *str, uint32_t stat_type);

inline void kiv_stat_inc(uint32_t idx, int64_t n = 1) {
    g_usensor_stats[idx].fetch_add(n, std::memory_order_relaxed);
}
inline int64_t kiv_stat_get(uint32_t idx) {
    return g_usensor_stats[idx].load(std::memory_order_relaxed);
}

int travel_usensor_stats(char *buf, int buflen, int *index);
const char *usensor_stat_name(uint32_t idx);
