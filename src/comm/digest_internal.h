// Block functions behind the MD5 and SHA-256 calls, the buffering they share, and the
// file loops.
#pragma once
#include <sys/stat.h>

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Our own C block functions, and libcrypto's assembly (SHA-NI where the processor has it)
// run on our state words. Both stay so that bench/bench_digest.cpp can keep weighing them.
void md5_blocks_portable(uint32_t state[4], const uint8_t *p, size_t nblocks);
void sha256_blocks_portable(uint32_t state[8], const uint8_t *p, size_t nblocks);
void md5_blocks_crypto(uint32_t state[4], const uint8_t *p, size_t nblocks);
void sha256_blocks_crypto(uint32_t state[8], const uint8_t *p, size_t nblocks);

// The winners: MD5 is one long dependency chain that libcrypto's assembly cannot shorten,
// and ours measured about 5% faster; for SHA-256 libcrypto was about 5 times faster.
inline void md5_blocks(uint32_t state[4], const uint8_t *p, size_t nblocks) {
    md5_blocks_portable(state, p, nblocks);
}
inline void sha256_blocks(uint32_t state[8], const uint8_t *p, size_t nblocks) {
    sha256_blocks_crypto(state, p, nblocks);
}

// libcrypto's Update on a context whose first members are the state words: whole blocks
// into an empty context go straight to its multi-block routine and leave nothing buffered,
// so only the state needs carrying across.
template <class Ctx, int (*Update)(Ctx *, const void *, size_t), size_t Words>
void crypto_blocks(uint32_t *state, const uint8_t *p, size_t nblocks) {
    Ctx c{};
    memcpy(&c, state, Words * 4);
    Update(&c, p, nblocks * 64);
    memcpy(state, &c, Words * 4);
}

inline uint32_t load_le32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return std::endian::native == std::endian::big ? __builtin_bswap32(v) : v;
}
inline uint32_t load_be32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return std::endian::native == std::endian::little ? __builtin_bswap32(v) : v;
}
inline void store_le32(uint8_t *p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    memcpy(p, &v, 4);
}
inline void store_be32(uint8_t *p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
    memcpy(p, &v, 4);
}

// Appends len bytes to a 64-byte block buffer holding `held` bytes; whole blocks run
// straight from the input. Returns the bytes held afterwards.
template <class BlockFn>
uint32_t digest_absorb(uint8_t *buf, uint32_t held, const uint8_t *in, size_t len, BlockFn blocks) {
    if (len == 0) return held;  // data may be null then
    if (held != 0) {
        size_t take = 64 - held < len ? 64 - held : len;
        memcpy(buf + held, in, take);
        held += take;
        in += take;
        len -= take;
        if (held < 64) return held;
        blocks(buf, 1);
        held = 0;
    }
    if (len >= 64) {
        blocks(in, len / 64);
        in += len & ~size_t{63};
        len &= 63;
    }
    if (len != 0) memcpy(buf, in, len);
    return static_cast<uint32_t>(len);
}

// The 0x80 marker, zero fill and the 8-byte length trailer, in one or two blocks.
template <class BlockFn>
void digest_pad(uint8_t *buf, uint32_t held, const uint8_t trailer[8], BlockFn blocks) {
    buf[held++] = 0x80;
    if (held > 56) {
        memset(buf + held, 0, 64 - held);
        blocks(buf, 1);
        held = 0;
    }
    memset(buf + held, 0, 56 - held);
    memcpy(buf + 56, trailer, 8);
    blocks(buf, 1);
}

// Lowercase hexadecimal, two characters per byte, terminated: out holds 2 * n + 1.
void digest_hex(const uint8_t *digest, size_t n, char *out);

// Why a file was not digested.
enum digest_file_err : int {
    DIGEST_ERR_OPEN = -1,         // missing, or cannot be opened
    DIGEST_ERR_NOT_REGULAR = -2,  // device, pipe, socket, directory: never opened for reading
    DIGEST_ERR_CHANGED = -3,      // the path now names another file than the caller stat'ed
    DIGEST_ERR_TOO_BIG = -4,      // the opened file is above the caller's limit
    DIGEST_ERR_READ = -5,         // a read failed: a partial digest is never returned
};

struct digest_file_req {
    const struct stat *expect = nullptr;  // when given, the opened file must be this one
    uint64_t max_size = 0;                // 0: no limit
    bool want_md5 = false;
    bool want_sha256 = false;
    bool throttle_md5 = false;
    size_t read_size = 4096;
    const std::atomic<bool> *cancel = nullptr;  // when set, the read stops (DIGEST_ERR_READ)
    const char *name = nullptr;  // what the race hooks are told, when path is a descriptor's
};

struct digest_file_out {
    uint8_t md5[16];
    uint8_t sha256[32];
    struct stat opened;  // fstat of the descriptor that was read
    bool changed;        // size or times moved while it was read
};

// Digests of a regular file in one pass. Only a regular file is read, checked on the
// descriptor itself, and never more bytes than its size when it was opened: a growing file
// or a special file dressed up by a link cannot keep the caller reading. 0 or a
// digest_file_err.
int digest_file(const char *path, const digest_file_req &req, digest_file_out *out);

// File loops behind get_file_md5 and get_file_sha256: 0, or a digest_file_err. The MD5
// throttle can be switched off for callers that are not on the event path.
int _file_md5(const char *path, uint8_t digest[16], bool throttle);
int _file_sha256(const char *path, uint8_t digest[32]);

// Tests replace the throttle's sleep; null restores the real one.
void digest_set_sleep_fn(void (*fn)(uint32_t ms));
// Tests change a file at the moments a reader can be raced: just before it is opened, and
// after each read (with the bytes read so far). Null removes a hook.
void digest_set_race_hooks(void (*before_open)(const char *path),
                           void (*after_read)(const char *path, uint64_t total));
