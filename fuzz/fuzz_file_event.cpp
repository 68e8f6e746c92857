// The kernel's file records (types 13 to 18) on arbitrary bytes: the whole record with its
// 16-byte head, parsed as the file module parses it for the kind its type names. No read
// outside the record; each name the view gives ends with its NUL inside the record, and the
// bytes used never exceed the body.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "file/file.h"

namespace {

bool inside(const char *p, uint32_t len, const std::vector<unsigned char> &body) {
    const char *lo = reinterpret_cast<const char *>(body.data());
    return p >= lo && p + len < lo + body.size() && p[len] == '\0' && !memchr(p, 0, len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 16 || size > 6144) return 0;
    std::vector<unsigned char> body(data + 16, data + size);  // exactly the body
    uint16_t type;
    memcpy(&type, data + 6, 2);
    int kind = (type - FILE_EVENT_TYPE_BASE) % (FILE_KIND_NUM + 1);  // one kind out of range
    if (kind < 0) kind += FILE_KIND_NUM + 1;

    uint16_t id;
    if (file_event_id_of(body.data(), body.size(), &id) != (body.size() >= FILE_REC_FIXED - 16))
        __builtin_trap();
    file_event_view v;
    if (file_event_parse(body.data(), body.size(), kind, &v) != 0) return 0;
    if (kind >= FILE_KIND_NUM || v.size > body.size()) __builtin_trap();
    if (!inside(v.name, v.name_len, body)) __builtin_trap();
    if (v.name2 && !inside(v.name2, v.name2_len, body)) __builtin_trap();
    if (v.name2 && v.name2 <= v.name) __builtin_trap();
    handle_special_path(kind, v.name);
    return 0;
}
