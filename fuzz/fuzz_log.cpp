// What the parsers need from the framework and the logger, without their threads and files.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "base/log.h"
#include "base/sensor_config.h"

// Every line at every level is formatted, so a bad argument shows up under the sanitizers.
framework_config g_framework_config = {
    .collector_task_num = 1,
    .blocker_task_num = 1,
    .log_level = 4,
    .log_mask = 0xFFFFFFFF,
};

void __kiv_ulog(int level, const char *format, ...) {
    char line[4096];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof(line), format, ap);
    va_end(ap);
}

void __kiv_assert_fail(const char *func, int line, const char *expr) {
    fprintf(stderr, "line %s:%d\tassert \"%s\" failed\n", func, line, expr);
    abort();
}
