#include "comm/error_output.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

struct output_pair {
    error_output_handler handler;
    void *context;
};

thread_local output_pair s_handlers[ERROR_OUTPUT_MAX_HANDLERS];
thread_local int s_nhandler = 0;

// Set once; published through the pointer so readers need no lock.
output_pair s_global_handlers;
std::atomic<const output_pair *> s_global_published{nullptr};
std::mutex s_global_lock;

}  // namespace

void error_output(int level, const char *source_file, int line, const char *format, ...) {
    int saved_errno = errno;  // formatting must not disturb what we report
    if (!format) return;
    char buf[ERROR_OUTPUT_BUF_SIZE];
    int len = snprintf(buf, sizeof(buf), "[%s:%d] ", source_file ? source_file : "no_src.c", line);
    if (len < 0 || len >= (int)sizeof(buf)) return;

    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf + len, sizeof(buf) - len, format, ap);
    va_end(ap);
    if (n < 0 || n >= (int)sizeof(buf) - len) return;
    len += n;

    if ((level == 0 || level == 1) && saved_errno != 0) {
        char err[256];
        const char *msg = strerror_r(saved_errno, err, sizeof(err));
        n = snprintf(buf + len, sizeof(buf) - len, " errmsg:%s", msg);
        if (n < 0 || n >= (int)sizeof(buf) - len) return;
    }
    error_output_string(level, buf);
    errno = saved_errno;
}

void error_output_string(int level, const char *text) {
    if (level > 4) level = 1;
    if (s_nhandler > 0) {
        for (int i = 0; i < s_nhandler; i++)
            s_handlers[i].handler(level, text, s_handlers[i].context);
        return;
    }
    const output_pair *global = s_global_published.load(std::memory_order_acquire);
    if (global) global->handler(level, text, global->context);
}

int error_output_register(error_output_handler handler, void *context) {
    if (!handler || s_nhandler >= ERROR_OUTPUT_MAX_HANDLERS) return -1;
    s_handlers[s_nhandler++] = {handler, context};
    return 0;
}

int global_output_register(error_output_handler handler, void *context) {
    if (!handler) return -1;
    std::lock_guard<std::mutex> guard(s_global_lock);
    if (s_global_published.load(std::memory_order_relaxed)) return -1;
    s_global_handlers = {handler, context};
    s_global_published.store(&s_global_handlers, std::memory_order_release);
    return 0;
}
