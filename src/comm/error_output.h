// Dispatch of formatted error text to per-thread handlers, or to one global handler.
#pragma once

typedef void (*error_output_handler)(int level, const char *text, void *context);

constexpr int ERROR_OUTPUT_MAX_HANDLERS = 10;
constexpr int ERROR_OUTPUT_BUF_SIZE = 8192;

// "[file:line] message", plus " errmsg:<strerror>" for levels 0 and 1 when errno is set.
// Nothing is emitted for a null format or a text of 8192 bytes or more.
void error_output(int level, const char *source_file, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
// Levels above 4 become 1. The calling thread's handlers, in registration order; the global
// handler only when the thread has none.
void error_output_string(int level, const char *text);
// 0, or -1 for a null handler or when the thread already has 10.
int error_output_register(error_output_handler handler, void *context);
// 0, or -1 for a null handler or when one is already set.
int global_output_register(error_output_handler handler, void *context);
