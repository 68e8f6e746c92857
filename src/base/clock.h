// The cached millisecond clock. The timer service refreshes it; everyone else only reads.
#pragma once
#include <atomic>
#include <cstdint>

extern std::atomic<uint64_t> s_cur_time_ms;

inline uint64_t kiv_now_ms() {
    return s_cur_time_ms.load(std::memory_order_relaxed);
}
