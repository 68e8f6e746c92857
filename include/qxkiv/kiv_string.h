/* Bounded string copy, append, formatting and scanning.
 *
 * Every size is the destination buffer size in bytes, terminator included. A `count` of
 * KIV_STR_NOLIMIT means "no separate limit": the _ns function then behaves like its _n twin.
 */
#ifndef QXKIV_KIV_STRING_H
#define QXKIV_KIV_STRING_H

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

#include "qxkiv/kiv_export.h"

#define KIV_STR_NOLIMIT ((size_t)-1)

KIV_BEGIN_DECLS

/* 0, or -1 when size is 0 or the source was truncated to size - 1 bytes. */
KIV_API int strcpy_n(char *dst, size_t size, const char *src);
/* Copies at most count bytes; refuses (-1, dst unchanged) when they do not fit. */
KIV_API int strcpy_ns(char *dst, size_t size, const char *src, size_t count);
/* 0, or -1 when dst is already full or the appended text was truncated. */
KIV_API int strcat_n(char *dst, size_t size, const char *src);
/* Appends at most count bytes; refuses (-1, dst unchanged) when they do not fit. */
KIV_API int strcat_ns(char *dst, size_t size, const char *src, size_t count);

/* Length written, or minus the length the full output needed (output cut at size - 1),
 * or -1 when size is 0. */
KIV_API int vsprintf_n(char *dst, size_t size, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));
KIV_API int sprintf_n(char *dst, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
/* Formats into at most min(size, count) bytes; if that does not fit, dst becomes "" and
 * the result is -1. */
KIV_API int vsprintf_ns(char *dst, size_t size, size_t count, const char *format, va_list args)
    __attribute__((format(printf, 4, 0)));
KIV_API int sprintf_ns(char *dst, size_t size, size_t count, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

/* Scanners returning the number of conversions made. Supported: %d %i %o %u %x %X %s %c %n
 * %% with field width and the qualifiers hh h l ll z. Every %s and %c takes two arguments:
 * (char *dest, size_t dest_size). %s stores at most dest_size - 1 characters and a
 * terminator; %c stores the field (default width 1) without terminator.
 * sscanf_n truncates a token longer than its destination; sscanf_ns stops at it.
 * fscanf_n scans the next line of the stream (the whole line is consumed); at end of stream
 * it returns 0. */
KIV_API int sscanf_n(const char *src, const char *format, ...);
KIV_API int sscanf_ns(const char *src, const char *format, ...);
KIV_API int fscanf_n(FILE *stream, const char *format, ...);

KIV_END_DECLS

#endif
