// What the end-to-end tests play as the host: a driven clock, an upload callback that keeps
// every document with its type, and a bounded wait for what the sensor's threads do.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

inline std::atomic<uint64_t> s_now_ms{1'000'000};
inline uint64_t fake_clock() {
    return s_now_ms.load();
}

inline std::mutex s_up_lock;
inline std::vector<std::pair<int, std::string>> s_uploads;
inline int capture(const char *text, uint32_t len, int32_t type, uint32_t) {
    std::lock_guard g(s_up_lock);
    s_uploads.emplace_back(type, std::string(text, len));
    return 0;
}

// Up to 5 seconds of real time.
template <class F>
bool wait_for(F pred) {
    for (int i = 0; i < 500; i++) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}
