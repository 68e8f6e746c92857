#include <cstring>
#include <string>

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

bool json_text_plain(const char *v) {
    for (const char *p = v; *p != '\0'; p++)
        if (static_cast<unsigned char>(*p) >= 0x80 || *p == '\\') return false;
    return true;
}

std::string json_text_escape(const char *v) {
    const auto *p = reinterpret_cast<const unsigned char *>(v);
    size_t n = strlen(v);
    std::string out;
    out.reserve(n + 8);
    // Starts an escape in the output: an invalid byte, or a backslash or 'x' that follows one.
    auto escapes_next = [&](size_t i) {
        return i < n && (p[i] == '\\' || p[i] == 'x' || utf8_seq(p + i, n - i) == 0);
    };
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < n;) {
        size_t len = utf8_seq(p + i, n - i);
        if (len == 0) {
            out += "\\x";
            out += hex[p[i] >> 4];
            out += hex[p[i] & 15];
            i++;
            continue;
        }
        if (p[i] == '\\' && escapes_next(i + 1)) out += '\\';
        out.append(v + i, len);
        i += len;
    }
    return out;
}

void json_append_text(std::string &out, const char *v) {
    std::string escaped;
    if (!json_text_plain(v)) v = (escaped = json_text_escape(v)).c_str();
    out += '"';
    const char *run = v;
    for (const char *p = v;; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c > 31 && c != '"' && c != '\\') continue;
        out.append(run, p);
        if (c == 0) break;
        run = p + 1;
        out += '\\';
        switch (c) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '\b': out += 'b'; break;
            case '\f': out += 'f'; break;
            case '\n': out += 'n'; break;
            case '\r': out += 'r'; break;
            case '\t': out += 't'; break;
            default: {
                static const char hex[] = "0123456789abcdef";
                out += "u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            }
        }
    }
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
