#include "base/clock.h"

std::atomic<uint64_t> s_cur_time_ms{0};

namespace {
std::atomic<time_t (*)()> s_wall_source{nullptr};
}  // namespace

void kiv_set_wall_clock(time_t (*source)()) {
    s_wall_source.store(source, std::memory_order_release);
}

time_t kiv_wall_now() {
    auto src = s_wall_source.load(std::memory_order_acquire);
    return src ? src() : time(nullptr);
}
