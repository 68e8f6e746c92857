// A plain framing for the targets that take several parts from one input: bytes and
// little-endian numbers from the front, so that the seed writer can lay inputs out by hand.
// Past the end every read gives zeros or an empty part.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct fuzz_input {
    const uint8_t *p;
    size_t left;

    uint8_t u8() {
        if (!left) return 0;
        left--;
        return *p++;
    }
    uint16_t u16() { return (uint16_t)(u8() | u8() << 8); }
    uint32_t u32() { return (uint32_t)u16() | (uint32_t)u16() << 16; }
    std::vector<uint8_t> bytes(size_t n) {
        n = std::min(n, left);
        std::vector<uint8_t> out(p, p + n);
        p += n, left -= n;
        return out;
    }
    // A part led by its 16-bit length.
    std::string part() {
        auto b = bytes(u16());
        return std::string(b.begin(), b.end());
    }
    std::string rest() { return part_of(left); }
    std::string part_of(size_t n) {
        auto b = bytes(n);
        return std::string(b.begin(), b.end());
    }
};
