// The block report decoder on arbitrary bytes: no read outside the record, and every text it
// returns is terminated inside the record (or is the empty constant).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "block_logger/block_logger.h"

namespace {

bool inside(const char *text, const std::vector<char> &rec) {
    if (*text == '\0') return true;
    const char *end = rec.data() + rec.size();
    if (text < rec.data() || text >= end) return false;
    return memchr(text, 0, (size_t)(end - text)) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A record length is a 16-bit field, at most 6144.
    if (size < 12 || size > 6144) return 0;
    std::vector<char> rec(data, data + size);  // exactly the record: ASan sees any overrun
    uint16_t type = (uint16_t)(24 + (uint8_t)rec[6] % 3);
    memcpy(&rec[6], &type, 2);
    block_report r;
    if (block_report_decode(rec.data(), (uint32_t)rec.size(), &r) != 0) return 0;
    for (const char *t : {r.name, r.pname, r.text[0], r.text[1], r.text[2]})
        if (!t || !inside(t, rec)) __builtin_trap();
    if (type == 25 && (!inside(r.t_name, rec) || !inside(r.t_pname, rec))) __builtin_trap();
    return 0;
}
