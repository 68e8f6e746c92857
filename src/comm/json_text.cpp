#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/sensor_config.h"
#include "comm/json_add.h"

namespace {

// Length of the well-formed UTF-8 sequence at p (no overlong forms, surrogates or code points
// above U+10FFFF), or 0.
size_t utf8_seq(const unsigned char *p, size_t left) {
    unsigned c = p[0];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || len > left) return 0;
    unsigned cp = len == 1 ? c : c & (0x7Fu >> len);
    for (size_t k = 1; k < len; k++) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[k] & 0x3F);
    }
    static const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

bool json_text_raw() {
    return g_framework_config.json_escape_invalid == 0;
}

void json_u64_text(uint64_t v, char out[32]) {
    if (v < JSON_WHOLE_MAX) {
        *std::to_chars(out, out + 31, v).ptr = '\0';
        return;
    }
    // cJSON's own printer, so the bytes are those of any other number of the record.
    cJSON n{};
    n.type = cJSON_Number;
    n.valuedouble = (double)v;
    n.valueint = INT_MAX;
    if (!cJSON_PrintPreallocated(&n, out, 32, 0)) *std::to_chars(out, out + 31, v).ptr = '\0';
}

bool json_text_plain(const char *v) {
    for (const char *p = v; *p != '\0'; p++)
        if (static_cast<unsigned char>(*p) >= 0x80 || *p == '\\') return false;
    return true;
}

namespace {

// A character a terminal acts on: C0 but tab, DEL, and C1 (U+0080..U+009F).
inline bool is_control(const unsigned char *p, size_t len) {
    if (len == 1) return (p[0] < 0x20 && p[0] != '\t') || p[0] == 0x7f;
    return len == 2 && p[0] == 0xc2 && p[1] < 0xa0;
}

}  // namespace

size_t text_escape_append(std::string &out, const char *v, size_t n, bool controls, size_t max) {
    const auto *p = reinterpret_cast<const unsigned char *>(v);
    // Bytes of the character at i written as escapes, 0 when it is copied.
    auto escaped = [&](size_t i, size_t len) {
        return len == 0 ? 1 : controls && is_control(p + i, len) ? len : 0;
    };
    // Starts an escape in the output: an escaped byte, or a backslash or 'x' that follows one.
    auto escapes_next = [&](size_t i) {
        return i < n && (p[i] == '\\' || p[i] == 'x' || escaped(i, utf8_seq(p + i, n - i)) != 0);
    };
    static const char hex[] = "0123456789abcdef";
    size_t i = 0;
    while (i < n) {
        size_t len = utf8_seq(p + i, n - i);
        if (size_t k = escaped(i, len)) {
            if (out.size() + 4 * k > max) break;
            for (size_t j = 0; j < k; j++) {
                out += "\\x";
                out += hex[p[i + j] >> 4];
                out += hex[p[i + j] & 15];
            }
            i += k;
            continue;
        }
        bool twice = p[i] == '\\' && escapes_next(i + 1);
        if (out.size() + len + twice > max) break;
        if (twice) out += '\\';
        out.append(v + i, len);
        i += len;
    }
    return i;
}

std::string json_text_escape(const char *v) {
    std::string out;
    size_t n = strlen(v);
    out.reserve(n + 8);
    text_escape_append(out, v, n, false);
    return out;
}

namespace {

// True when one of the eight bytes needs more than a copy: a control byte, '"', '\\' or a
// byte of a multi-byte (or invalid) sequence. Exact as a whole, not per byte.
inline bool word_special(uint64_t x) {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    uint64_t q = x ^ (ones * '"'), b = x ^ (ones * '\\');
    uint64_t t = ((x - ones * 0x20) & ~x) | ((q - ones) & ~q) | ((b - ones) & ~b) | x;
    return (t & highs) != 0;
}

inline bool byte_plain(unsigned char c) {
    return c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
}

// The text from a character boundary on, escaped, without the quotes.
void append_escaped(std::string &out, const char *v) {
    std::string escaped;
    if (!json_text_raw() && !json_text_plain(v)) v = (escaped = json_text_escape(v)).c_str();
    const char *run = v;
    for (const char *p = v;; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c > 31 && c != '"' && c != '\\') continue;
        out.append(run, p);
        if (c == 0) break;
        run = p + 1;
        out += '\\';
        switch (c) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '\b':
                out += 'b';
                break;
            case '\f':
                out += 'f';
                break;
            case '\n':
                out += 'n';
                break;
            case '\r':
                out += 'r';
                break;
            case '\t':
                out += 't';
                break;
            default: {
                static const char hex[] = "0123456789abcdef";
                out += "u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            }
        }
    }
}

}  // namespace

// Most texts (log lines, paths, command lines) are plain ASCII: those are found eight bytes at
// a time and copied whole.
void json_append_text(std::string &out, const char *v) {
    size_t n = strlen(v), i = 0;
    for (uint64_t x; i + 8 <= n; i += 8) {
        memcpy(&x, v + i, 8);
        if (word_special(x)) break;
    }
    while (i < n && byte_plain(static_cast<unsigned char>(v[i]))) i++;
    out.reserve(out.size() + n + 2);
    out += '"';
    out.append(v, i);
    if (i < n) append_escaped(out, v + i);
    out += '"';
}

void json_print_local(cJSON *item, json_printed *out) {
    // Larger than nearly every record (process trees included); cJSON wants a few bytes of
    // room beyond what it prints.
    static thread_local char buf[32768];
    static thread_local bool lent;
    if (!lent && cJSON_PrintPreallocated(item, buf, sizeof buf, 0)) {
        lent = true;
        out->lent = &lent;
        out->text = buf;
        out->len = strlen(buf);
        return;
    }
    out->owned = cJSON_PrintUnformatted(item);
    out->text = out->owned;
    out->len = out->owned ? strlen(out->owned) : 0;
}

json_text_buffer::json_text_buffer() : text_(&own_) {
    static thread_local std::string buf;
    static thread_local bool lent;
    if (lent) return;
    lent = true;
    lent_ = &lent;
    buf.clear();
    text_ = &buf;
}

json_text_buffer::~json_text_buffer() {
    if (!lent_) return;
    // A long record once must not keep its buffer for good.
    if (text_->capacity() > 65536) std::string().swap(*text_);
    *lent_ = false;
}
