// The cached millisecond clock. The timer service refreshes it; everyone else only reads.
#pragma once
#include <atomic>
#include <cstdint>
#include <ctime>

extern std::atomic<uint64_t> s_cur_time_ms;

inline uint64_t kiv_now_ms() {
    return s_cur_time_ms.load(std::memory_order_relaxed);
}

// The wall clock for times of day (the nightly resets, block record times): time() unless
// tests fix it; null restores time().
void kiv_set_wall_clock(time_t (*source)());
time_t kiv_wall_now();
