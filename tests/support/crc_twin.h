// Forges CRC-32 twins as an attacker would: four bytes appended to a prefix give any CRC,
// since for a fixed length the CRC is affine over GF(2). Solved against mordek_crc32 itself.
#pragma once
#include <cstdint>
#include <string>

#include "qxkiv/digest.h"

// prefix + 4 bytes whose CRC-32 equals that of target, or "" when the bytes leave `allowed`
// (then try another prefix). allowed(c) says whether a byte may appear.
template <class Allowed>
std::string crc_twin(const std::string &prefix, const std::string &target, Allowed allowed) {
    auto crc = [](const std::string &s) { return mordek_crc32(s.data(), (uint32_t)s.size()); };
    std::string s = prefix + std::string(4, '\0');
    const uint32_t base = crc(s);
    uint32_t rows[32] = {}, want = crc(target) ^ base;
    // rows[r]: which of the 32 appended bits flip output bit r.
    for (int k = 0; k < 32; k++) {
        std::string t = s;
        t[prefix.size() + k / 8] = (char)(1u << (k % 8));
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
    for (int i = 0; i < 4; i++) s[prefix.size() + i] = (char)(x >> (8 * i) & 0xff);
    for (int i = 0; i < 4; i++)
        if (!allowed((unsigned char)s[prefix.size() + i])) return "";
    return crc(s) == crc(target) ? s : "";
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
