#include "base/clock.h"

std::atomic<uint64_t> s_cur_time_ms{0};
