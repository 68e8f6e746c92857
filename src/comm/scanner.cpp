// Bounded scanner in the manner of the Linux kernel's vsscanf, with (dest, size) pairs for
// %s and %c so that no conversion can write past its buffer.
#include "comm/scanner.h"

#include <sys/types.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "base/mem.h"
#include "qxkiv/kiv_string.h"

namespace {

inline bool is_space(char c) {
    return isspace((unsigned char)c) != 0;
}
inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
inline bool is_xdigit(char c) {
    return isxdigit((unsigned char)c) != 0;
}

// Value of c as a digit in bases up to 36, or 36 when it is none.
inline unsigned digit_value(char c) {
    if (c >= '0' && c <= '9') return (unsigned)(c - '0');
    if (c >= 'a' && c <= 'z') return (unsigned)(c - 'a' + 10);
    if (c >= 'A' && c <= 'Z') return (unsigned)(c - 'A' + 10);
    return 36;
}

inline bool zero_x(const char *s) {
    return s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
}

// Resolves base 0 and the optional "0x" of base 16 as the kernel does: the guess wants a hex
// digit after "0x", but base 16 skips a "0x" whatever follows. It looks at the text itself,
// not the field width (the text is terminated, so the look-ahead stays inside it). Returns
// the prefix length to skip.
size_t fixup_radix(const char *s, unsigned *base) {
    if (*base == 0) {
        if (s[0] == '0')
            *base = zero_x(s) && is_xdigit(s[2]) ? 16 : 8;
        else
            *base = 10;
    }
    return *base == 16 && zero_x(s) ? 2 : 0;
}

}  // namespace

unsigned long long simple_strntoull(const char *cp, char **endp, unsigned int base,
                                    size_t max_chars) {
    unsigned long long value = 0;
    const char *p = cp;
    if (base != 1 && base <= 36) {
        size_t skip = fixup_radix(cp, &base);
        if (skip >= max_chars) {
            // A field too short for the prefix and a digit: consumed, nothing converted.
            if (endp) *endp = const_cast<char *>(cp + max_chars);
            return 0;
        }
        p += skip;
        size_t left = max_chars - skip;
        for (; left && *p; p++, left--) {
            unsigned d = digit_value(*p);
            if (d >= base) break;
            value = value * base + d;  // wraps modulo 2^64 like the kernel's helper
        }
    }
    if (endp) *endp = const_cast<char *>(p);
    return value;
}

long long simple_strntoll(const char *cp, char **endp, unsigned int base, size_t max_chars) {
    if (max_chars && *cp == '-') {
        unsigned long long u = simple_strntoull(cp + 1, endp, base, max_chars - 1);
        return (long long)(0ull - u);
    }
    return (long long)simple_strntoull(cp, endp, base, max_chars);
}

unsigned long long simple_strtoull(const char *cp, char **endp, unsigned int base) {
    return simple_strntoull(cp, endp, base, SIZE_MAX);
}

long long simple_strtoll(const char *cp, char **endp, unsigned int base) {
    return simple_strntoll(cp, endp, base, SIZE_MAX);
}

unsigned long simple_strtoul(const char *cp, char **endp, unsigned int base) {
    return (unsigned long)simple_strtoull(cp, endp, base);
}

long simple_strtol(const char *cp, char **endp, unsigned int base) {
    return (long)simple_strtoll(cp, endp, base);
}

namespace {

enum class qual { none, hh, h, l, ll, z };

// Stores v (reduced modulo the width) into the qualifier's type, or its unsigned twin.
template <bool Signed>
void store_int(va_list *args, qual q, unsigned long long v) {
    auto pick = [&]<class S>(S *) {
        using T = std::conditional_t<Signed, S, std::make_unsigned_t<S>>;
        *va_arg(*args, T *) = (T)v;
    };
    switch (q) {
        case qual::hh:
            pick((signed char *)nullptr);
            break;
        case qual::h:
            pick((short *)nullptr);
            break;
        case qual::l:
            pick((long *)nullptr);
            break;
        case qual::ll:
            pick((long long *)nullptr);
            break;
        case qual::z:
            pick((ssize_t *)nullptr);
            break;
        default:
            pick((int *)nullptr);
            break;
    }
}

bool integer_starts(const char *s, unsigned base, bool is_sign, long width) {
    char digit = *s;
    if (is_sign && digit == '-') {
        if (width == 1) return false;
        digit = s[1];
    }
    switch (base) {
        case 16:
            return is_xdigit(digit);
        case 8:
            return digit >= '0' && digit <= '7';
        default:
            return is_digit(digit);  // 10, and 0 whose guess needs a leading digit
    }
}

}  // namespace

int kiv_vsscanf(const char *src, const char *format, va_list ap, scan_overflow mode) {
    if (!src || !format) return 0;
    // A copy we can hand around by address (va_list may be an array type).
    va_list args;
    va_copy(args, ap);
    const char *str = src;
    const char *fmt = format;
    int num = 0;

    while (*fmt) {
        if (is_space(*fmt)) {
            while (is_space(*fmt)) fmt++;
            while (is_space(*str)) str++;
            continue;
        }
        if (*fmt != '%') {
            if (*fmt != *str) break;
            fmt++;
            str++;
            continue;
        }
        fmt++;

        long width = -1;
        if (is_digit(*fmt)) {
            width = 0;
            while (is_digit(*fmt)) {
                if (width < INT_MAX / 10) width = width * 10 + (*fmt - '0');
                fmt++;
            }
            if (width == 0) break;
        }

        qual q = qual::none;
        if (*fmt == 'h') {
            q = (*++fmt == 'h') ? (fmt++, qual::hh) : qual::h;
        } else if (*fmt == 'l') {
            q = (*++fmt == 'l') ? (fmt++, qual::ll) : qual::l;
        } else if (*fmt == 'z') {
            q = qual::z;
            fmt++;
        }
        if (!*fmt) break;

        if (*fmt == 'n') {
            *va_arg(args, int *) = (int)(str - src);
            fmt++;
            continue;
        }
        if (!*str) break;

        unsigned base = 10;
        bool is_sign = false;
        switch (*fmt++) {
            case 'c': {
                char *dest = va_arg(args, char *);
                size_t dest_size = va_arg(args, size_t);
                if (!dest || dest_size == 0) goto done;
                size_t want = width == -1 ? 1 : (size_t)width;
                size_t n = strnlen(str, want);
                if (n > dest_size && mode == scan_overflow::stop) goto done;
                memcpy(dest, str, n < dest_size ? n : dest_size);
                str += n;
                num++;
                continue;
            }
            case 's': {
                char *dest = va_arg(args, char *);
                size_t dest_size = va_arg(args, size_t);
                if (!dest || dest_size == 0) goto done;
                while (is_space(*str)) str++;
                size_t limit = width == -1 ? SIZE_MAX : (size_t)width;
                size_t n = 0;
                while (n < limit && str[n] && !is_space(str[n])) n++;
                // Only blanks were left: the kernel stores "" and counts it.
                if (n > dest_size - 1) {
                    if (mode == scan_overflow::stop) goto done;
                    memcpy(dest, str, dest_size - 1);
                    dest[dest_size - 1] = '\0';
                } else {
                    memcpy(dest, str, n);
                    dest[n] = '\0';
                }
                str += n;
                num++;
                continue;
            }
            case '%':
                if (*str != '%') goto done;
                str++;
                continue;
            case 'o':
                base = 8;
                break;
            case 'x':
            case 'X':
                base = 16;
                break;
            case 'i':
                base = 0;
                is_sign = true;
                break;
            case 'd':
                is_sign = true;
                break;
            case 'u':
                break;
            default:
                goto done;
        }

        while (is_space(*str)) str++;
        if (!integer_starts(str, base, is_sign, width)) break;
        size_t max_chars = width == -1 ? SIZE_MAX : (size_t)width;
        char *next = nullptr;
        if (is_sign) {
            store_int<true>(&args, q,
                            (unsigned long long)simple_strntoll(str, &next, base, max_chars));
        } else {
            store_int<false>(&args, q, simple_strntoull(str, &next, base, max_chars));
        }
        str = next;
        num++;
    }
done:
    va_end(args);
    return num;
}

int sscanf_n(const char *src, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = kiv_vsscanf(src, format, ap, scan_overflow::truncate);
    va_end(ap);
    return n;
}

int sscanf_ns(const char *src, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = kiv_vsscanf(src, format, ap, scan_overflow::stop);
    va_end(ap);
    return n;
}

namespace {

// Longest line fscanf_n scans; the rest of a longer line is consumed unseen.
constexpr size_t kMaxScanLine = 64 * 1024;

// Reads one line (newline kept) into an accounted buffer; null at end of stream.
char *read_line(FILE *stream) {
    size_t cap = 256;
    char *buf = static_cast<char *>(kiv_malloc(cap, MALLOC_FOR_TMP));
    if (!buf) return nullptr;
    size_t len = 0;
    bool got = false;
    while (fgets(buf + len, (int)(cap - len), stream)) {
        got = true;
        len += strlen(buf + len);
        if (len && buf[len - 1] == '\n') break;
        if (len + 1 < cap) continue;  // short read without newline: end of stream
        if (cap >= kMaxScanLine) {
            int c;
            while ((c = getc(stream)) != EOF && c != '\n') {
            }
            break;
        }
        char *bigger = static_cast<char *>(kiv_realloc(buf, cap * 2));
        if (!bigger) break;  // scan what we have
        buf = bigger;
        cap *= 2;
    }
    if (!got) {
        kiv_free(buf);
        return nullptr;
    }
    return buf;
}

}  // namespace

int fscanf_n(FILE *stream, const char *format, ...) {
    if (!stream || !format) return 0;
    char *line = read_line(stream);
    if (!line) return 0;
    va_list ap;
    va_start(ap, format);
    int n = kiv_vsscanf(line, format, ap, scan_overflow::truncate);
    va_end(ap);
    kiv_free(line);
    return n;
}
