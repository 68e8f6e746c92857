// Integer parsing and the bounded scanner behind sscanf_n / sscanf_ns / fscanf_n.
#pragma once
#include <cstdarg>
#include <cstddef>

// Base 0 guesses: "0x"/"0X" followed by a hex digit is hexadecimal, a leading "0" octal,
// anything else decimal. Base 16 skips a "0x" prefix, even one no hex digit follows (as the
// kernel does). Parsing stops at the first character that is not a digit of the base; *endp
// (if given) points there. Values wrap modulo 2^64 on overflow. The _n variants read at most
// max_chars characters (sign and prefix included); a field that holds no more than the prefix
// is consumed and gives 0. The text must be terminated.
unsigned long long simple_strntoull(const char *cp, char **endp, unsigned int base,
                                    size_t max_chars);
long long simple_strntoll(const char *cp, char **endp, unsigned int base, size_t max_chars);
unsigned long long simple_strtoull(const char *cp, char **endp, unsigned int base);
long long simple_strtoll(const char *cp, char **endp, unsigned int base);
unsigned long simple_strtoul(const char *cp, char **endp, unsigned int base);
long simple_strtol(const char *cp, char **endp, unsigned int base);

// How a %s / %c field longer than its destination is handled.
enum class scan_overflow { truncate, stop };

// Returns the number of conversions stored (%n is not counted).
int kiv_vsscanf(const char *src, const char *format, va_list args, scan_overflow mode);
