// The one logging macro and the one assertion macro of the library.
//
// KIV_LOG checks level and module mask before anything is formatted, so a line at a
// disabled level costs two loads and a compare.
#pragma once
#include <atomic>
#include <cstdint>

#include "base/clock.h"
#include "base/sensor_config.h"

extern thread_local constinit uint32_t g_cur_mod;  // 1 << module of the running code
extern thread_local constinit int g_cur_task_no;   // task number printed in each line
extern std::atomic<int> g_in_master_thread;        // host thread inside start-up/shut-down

void __kiv_ulog(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void __kiv_assert_fail(const char *func, int line, const char *expr);

inline void log_mod_set(int module) {
    g_cur_mod = 1u << module;
}

inline bool log_mod_enable() {
    return g_in_master_thread.load(std::memory_order_relaxed) ||
           (g_cur_mod & g_framework_config.log_mask) != 0;
}

inline int kiv_log_task_no() {
    return g_in_master_thread.load(std::memory_order_relaxed) ? 0 : g_cur_task_no;
}

#define KIV_LOG(level, fmt, ...)                                                                   \
    do {                                                                                           \
        if ((level) <= g_framework_config.log_level && log_mod_enable()) {                         \
            uint64_t kiv_log_now_ = s_cur_time_ms.load(std::memory_order_relaxed);                 \
            __kiv_ulog((level), "[%lld.%lld][tsk%d][%s:%d]" fmt, (long long)(kiv_log_now_ / 1000), \
                       (long long)(kiv_log_now_ % 1000), kiv_log_task_no(), __func__, __LINE__,    \
                       ##__VA_ARGS__);                                                             \
        }                                                                                          \
    } while (0)

// Guards programming errors only; bad input gets a log line and a safe result instead.
#define KIV_ASSERT(expr)                                                                \
    do {                                                                                \
        if (__builtin_expect(!(expr), 0)) __kiv_assert_fail(__func__, __LINE__, #expr); \
    } while (0)
