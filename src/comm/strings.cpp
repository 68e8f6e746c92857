// Bounded copy, append and formatting. All sizes include the terminator.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "qxkiv/kiv_string.h"

int strcpy_n(char *dst, size_t size, const char *src) {
    if (!dst || !src || size == 0) return -1;
    size_t len = strnlen(src, size);
    if (len < size) {
        memcpy(dst, src, len + 1);
        return 0;
    }
    memcpy(dst, src, size - 1);
    dst[size - 1] = '\0';
    return -1;
}

int strcpy_ns(char *dst, size_t size, const char *src, size_t count) {
    if (count == KIV_STR_NOLIMIT) return strcpy_n(dst, size, src);
    if (!dst || !src) return -1;
    size_t len = strnlen(src, count);
    if (len >= size) return -1;  // len + terminator would exceed size
    memcpy(dst, src, len);
    dst[len] = '\0';
    return 0;
}

int strcat_n(char *dst, size_t size, const char *src) {
    if (!dst || !src || size == 0) return -1;
    size_t used = strnlen(dst, size);
    if (used >= size - 1) return -1;
    return strcpy_n(dst + used, size - used, src);
}

int strcat_ns(char *dst, size_t size, const char *src, size_t count) {
    if (count == KIV_STR_NOLIMIT) return strcat_n(dst, size, src);
    if (!dst || !src) return -1;
    size_t used = strnlen(dst, size);
    if (used >= size) return -1;  // destination not even terminated within size
    return strcpy_ns(dst + used, size - used, src, count);
}

int vsprintf_n(char *dst, size_t size, const char *format, va_list args) {
    if (!dst || !format || size == 0) return -1;
    int n = vsnprintf(dst, size, format, args);
    if (n < 0) {
        dst[0] = '\0';
        return n;
    }
    if ((size_t)n >= size) return -n;  // vsnprintf already cut and terminated it
    return n;
}

int sprintf_n(char *dst, size_t size, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vsprintf_n(dst, size, format, ap);
    va_end(ap);
    return n;
}

int vsprintf_ns(char *dst, size_t size, size_t count, const char *format, va_list args) {
    if (count == KIV_STR_NOLIMIT) return vsprintf_n(dst, size, format, args);
    if (!dst || !format || size == 0) return -1;
    size_t limit = count < size ? count : size;
    int n = limit ? vsnprintf(dst, limit, format, args) : -1;
    if (n < 0 || (size_t)n >= limit) {
        dst[0] = '\0';
        return -1;
    }
    return n;
}

int sprintf_ns(char *dst, size_t size, size_t count, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vsprintf_ns(dst, size, count, format, ap);
    va_end(ap);
    return n;
}
