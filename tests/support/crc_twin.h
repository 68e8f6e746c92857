// Forges CRC-32 twins as an attacker would: four bytes appended to a prefix give any CRC,
// since for a fixed length the CRC is affine over GF(2). Solved against mordek_crc32 itself.
#pragma once
#include <cstdint>
#include <string>

#include "qxkiv/digest.h"

// s with the four bytes at pos replaced so that its CRC-32 is want, or "" when those bytes
// leave `allowed`. allowed(c) says whether a byte may appear.
template <class Allowed>
std::string crc_patch(std::string s, size_t pos, uint32_t want, Allowed allowed) {
    auto crc = [](const std::string &t) { return mordek_crc32(t.data(), (uint32_t)t.size()); };
    for (int i = 0; i < 4; i++) s[pos + i] = '\0';
    const uint32_t base = crc(s);
    uint32_t rows[32] = {};
    want ^= base;
    // rows[r]: which of the 32 patched bits flip output bit r.
    for (int k = 0; k < 32; k++) {
        std::string t = s;
        t[pos + k / 8] = (char)(1u << (k % 8));
        uint32_t col = crc(t) ^ base;
        for (int r = 0; r < 32; r++)
            if (col >> r & 1) rows[r] |= 1u << k;
    }
    uint64_t eq[32];
    for (int r = 0; r < 32; r++) eq[r] = rows[r] | (uint64_t)(want >> r & 1) << 32;
    for (int k = 0, r0 = 0; k < 32; k++, r0++) {
        int p = r0;
        while (p < 32 && !(eq[p] >> k & 1)) p++;
        if (p == 32) return "";  // singular: cannot happen for CRC-32
        std::swap(eq[p], eq[r0]);
        for (int r = 0; r < 32; r++)
            if (r != r0 && (eq[r] >> k & 1)) eq[r] ^= eq[r0];
    }
    uint32_t x = 0;
    for (int k = 0; k < 32; k++) x |= (uint32_t)(eq[k] >> 32 & 1) << k;
    for (int i = 0; i < 4; i++) s[pos + i] = (char)(x >> (8 * i) & 0xff);
    for (int i = 0; i < 4; i++)
        if (!allowed((unsigned char)s[pos + i])) return "";
    return s;
}

// prefix + 4 bytes whose CRC-32 equals that of target, or "" when the bytes leave `allowed`
// (then try another prefix).
template <class Allowed>
std::string crc_twin(const std::string &prefix, const std::string &target, Allowed allowed) {
    return crc_patch(prefix + std::string(4, '\0'), prefix.size(),
                     mordek_crc32(target.data(), (uint32_t)target.size()), allowed);
}

// A twin of target made of letters, digits, "." and "_" after prefix and a counter.
inline std::string crc_twin_plain(const std::string &prefix, const std::string &target) {
    auto plain = [](unsigned char c) { return isalnum(c) || c == '.' || c == '_'; };
    for (int i = 0; i < 100000; i++) {
        std::string t = crc_twin(prefix + std::to_string(i) + "-", target, plain);
        if (!t.empty() && t != target) return t;
    }
    return "";
}
