// CRC-32/ISO-HDLC, used to shorten names, paths and event keys for tables and repeat filters.
#include <array>

#include "qxkiv/digest.h"

namespace {

// Bit-reversal of the low `ch` bits of ref.
uint32_t Reflect(uint32_t ref, int ch) {
    uint32_t value = 0;
    for (int i = 1; i <= ch; i++) {
        if (ref & 1) value |= 1u << (ch - i);
        ref >>= 1;
    }
    return value;
}

void Init_CRC32_Table(std::array<uint32_t, 256> &table) {
    const uint32_t poly = 0x04C11DB7;
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t crc = Reflect(i, 8) << 24;
        for (int j = 0; j < 8; j++) crc = (crc << 1) ^ ((crc & 0x80000000u) ? poly : 0);
        table[i] = Reflect(crc, 32);
    }
}

}  // namespace

uint32_t mordek_crc32(const void *data, size_t length) {
    // Built by the first caller; the language guarantees one build however many threads race.
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        Init_CRC32_Table(t);
        return t;
    }();
    if (data == nullptr) return 0;
    const auto *p = static_cast<const uint8_t *>(data);
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; i++) crc = (crc >> 8) ^ table[(crc ^ p[i]) & 0xFF];
    return crc ^ 0xFFFFFFFFu;
}
