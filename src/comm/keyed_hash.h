// A 128-bit keyed hash (SipHash-2-4) under a key drawn once per process: repeat filters store
// it beside their 32-bit bucket checksums, so a chosen input can match a stored entry only by
// being equal to what made it, never by sharing its CRC.
#pragma once
#include <cstddef>
#include <cstdint>

struct keyed_hash128 {
    uint64_t lo = 0, hi = 0;
    bool operator==(const keyed_hash128 &) const = default;
};

// Over several pieces as if they were one run of bytes. False (logged once) when the hash
// could not be computed; *out is then zero.
struct keyed_piece {
    const void *data;
    size_t len;
};
bool keyed_hash(const keyed_piece *pieces, size_t count, keyed_hash128 *out);
inline bool keyed_hash(const void *data, size_t len, keyed_hash128 *out) {
    keyed_piece p{data, len};
    return keyed_hash(&p, 1, out);
}

// Tests: the hash under a given 16-byte key.
bool keyed_hash_with(const unsigned char key[16], const keyed_piece *pieces, size_t count,
                     keyed_hash128 *out);
