// Diagnostic line output. Until the logger rings exist, lines go to the standard streams.
#include "log/ulog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "framework/mem.h"

thread_local constinit uint32_t g_cur_mod = 0xFFFFFFF;
thread_local constinit int g_cur_task_no = 0;
std::atomic<int> g_in_master_thread{0};

namespace {
constexpr int kMaxLineText = 4095;
}

void __kiv_ulog(int level, const char *format, ...) {
    char text[kMaxLineText + 1];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(text, sizeof(text), format, ap);
    va_end(ap);
    if (n <= 0) {
        kiv_stat_inc(LOG_WRITE_FAIL);
        return;
    }
    if (n > kMaxLineText) n = kMaxLineText;
    FILE *out = level <= 1 ? stdout : stderr;
    fwrite(text, 1, (size_t)n, out);
}

void __kiv_assert_fail(const char *func, int line, const char *expr) {
    uint64_t now = s_cur_time_ms.load(std::memory_order_relaxed);
    __kiv_ulog(1, "[%lld.%lld][tsk%d][%s:%d]line %s:%d\tassert \"%s\" failed\n\n",
               (long long)(now / 1000), (long long)(now % 1000), kiv_log_task_no(), func, line,
               func, line, expr);
    // The process is about to die: say why on stderr too, whatever the log level.
    fprintf(stderr, "line %s:%d\tassert \"%s\" failed\n", func, line, expr);
    fflush(stdout);
    abort();
}
