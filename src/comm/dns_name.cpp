#include "comm/dns_name.h"

#include <cstring>

namespace {

bool plain(uint8_t c) {
    return c > 0x20 && c < 0x7F && c != '.' && c != '\\';
}

// Length of the character or escape that starts at text[i].
size_t unit(const char *text, size_t i) {
    return text[i] == '\\' ? 4 : 1;
}

}  // namespace

bool dns_text::add_label(const uint8_t *label, size_t n) {
    if (!escape) {
        // Each label is followed by a dot until the last is known: the name fails once that
        // text would reach 256 characters.
        size_t sep = len ? 1 : 0;
        if (len + sep + n + 1 >= DNS_RAW_NAME_MAX) return false;
        if (sep) text[len++] = '.';
        memcpy(text + len, label, n);
        len += n;
        text[len] = '\0';
        return true;
    }
    size_t need = len ? 1 : 0;
    for (size_t i = 0; i < n; i++) need += plain(label[i]) ? 1 : 4;
    if (need >= sizeof text - len) return false;
    char *p = text + len;
    if (len) *p++ = '.';
    for (size_t i = 0; i < n; i++) {
        uint8_t c = label[i];
        if (plain(c)) {
            *p++ = (char)c;
            continue;
        }
        *p++ = '\\';
        *p++ = (char)('0' + c / 100);
        *p++ = (char)('0' + c / 10 % 10);
        *p++ = (char)('0' + c % 10);
    }
    *p = '\0';
    len = (size_t)(p - text);
    return true;
}

bool dns_text::copy_to(char *out, size_t size) const {
    if (size == 0) return len != 0;
    if (len < size) {
        memcpy(out, text, len + 1);
        return false;
    }
    if (!escape) {
        memcpy(out, text, size - 1);
        out[size - 1] = '\0';
        return true;
    }
    constexpr size_t MARK = 3;
    size_t room = size - 1 > MARK ? size - 1 - MARK : 0;
    size_t head_room = room / 2, tail_room = room - head_room;
    size_t head = 0, tail = len;
    for (size_t i = 0; i < len; i += unit(text, i)) {
        if (i + unit(text, i) <= head_room) head = i + unit(text, i);
        if (len - i <= tail_room) {
            tail = i;
            break;
        }
    }
    if (room == 0) {
        out[0] = '\0';
        return true;
    }
    memcpy(out, text, head);
    memcpy(out + head, "...", MARK);
    memcpy(out + head + MARK, text + tail, len - tail);
    out[head + MARK + len - tail] = '\0';
    return true;
}
