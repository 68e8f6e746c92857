#include "comm/keyed_hash.h"

#include <sys/random.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "base/log.h"

namespace {

std::once_flag s_once;
unsigned char s_key[16];
bool s_have_key;

void init() {
    size_t got = 0;
    while (got < sizeof s_key) {
        ssize_t n = getrandom(s_key + got, sizeof s_key - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += (size_t)n;
    }
    s_have_key = got == sizeof s_key;
    if (!s_have_key)
        KIV_LOG(1, "keyed hash: no random key from the system(%d:%s): repeat filters fall back "
                   "to their checksums alone\n",
                errno, strerror(errno));
}

uint64_t le64(const unsigned char *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// SipHash-2-4 with its 128-bit output, fed in pieces. Written here because it runs on every
// record the repeat filters see: a library's generic MAC interface costs more per call than
// the hash of a short key does.
struct siphash {
    uint64_t v0, v1, v2, v3;
    unsigned char tail[8];
    size_t held = 0, total = 0;

    explicit siphash(const unsigned char key[16]) {
        uint64_t k0 = le64(key), k1 = le64(key + 8);
        v0 = k0 ^ 0x736f6d6570736575ull;
        v1 = k1 ^ 0x646f72616e646f6dull ^ 0xee;
        v2 = k0 ^ 0x6c7967656e657261ull;
        v3 = k1 ^ 0x7465646279746573ull;
    }
    void round() {
        v0 += v1, v1 = std::rotl(v1, 13), v1 ^= v0, v0 = std::rotl(v0, 32);
        v2 += v3, v3 = std::rotl(v3, 16), v3 ^= v2;
        v0 += v3, v3 = std::rotl(v3, 21), v3 ^= v0;
        v2 += v1, v1 = std::rotl(v1, 17), v1 ^= v2, v2 = std::rotl(v2, 32);
    }
    void word(uint64_t m) {
        v3 ^= m;
        round(), round();
        v0 ^= m;
    }
    void update(const unsigned char *p, size_t n) {
        total += n;
        if (held) {
            size_t take = n < 8 - held ? n : 8 - held;
            memcpy(tail + held, p, take);
            held += take, p += take, n -= take;
            if (held < 8) return;
            word(le64(tail));
            held = 0;
        }
        for (; n >= 8; p += 8, n -= 8) word(le64(p));
        memcpy(tail, p, n);
        held = n;
    }
    void final(keyed_hash128 *out) {
        uint64_t b = (uint64_t)(total & 0xff) << 56;
        for (size_t i = 0; i < held; i++) b |= (uint64_t)tail[i] << (8 * i);
        word(b);
        v2 ^= 0xee;
        round(), round(), round(), round();
        out->lo = v0 ^ v1 ^ v2 ^ v3;
        v1 ^= 0xdd;
        round(), round(), round(), round();
        out->hi = v0 ^ v1 ^ v2 ^ v3;
    }
};

}  // namespace

bool keyed_hash_with(const unsigned char key[16], const keyed_piece *pieces, size_t count,
                     keyed_hash128 *out) {
    siphash h(key);
    for (size_t i = 0; i < count; i++)
        if (pieces[i].len) h.update(static_cast<const unsigned char *>(pieces[i].data), pieces[i].len);
    h.final(out);
    return true;
}

bool keyed_hash(const keyed_piece *pieces, size_t count, keyed_hash128 *out) {
    std::call_once(s_once, init);
    if (!s_have_key) {
        *out = {};
        return false;
    }
    return keyed_hash_with(s_key, pieces, count, out);
}
