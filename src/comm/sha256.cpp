// SHA-256 (FIPS 180-4) over our own context; the block function is chosen in
// digest_internal.h.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level Update is what runs on our own state
#include <openssl/sha.h>

#include <bit>
#include <cstddef>

#include "comm/digest_internal.h"
#include "qxkiv/digest.h"

namespace {

constexpr uint32_t k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

}  // namespace

void sha256_blocks_portable(uint32_t state[8], const uint8_t *p, size_t nblocks) {
    using std::rotr;
    for (; nblocks != 0; nblocks--, p += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; i++) w[i] = load_be32(p + 4 * i);
        for (int i = 16; i < 64; i++) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; i++) {
            uint32_t t1 =
                h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (g ^ (e & (f ^ g))) + k[i] + w[i];
            uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) | (c & (a | b)));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

void sha256_blocks_crypto(uint32_t state[8], const uint8_t *p, size_t nblocks) {
    static_assert(offsetof(SHA256_CTX, h) == 0);  // SHA-NI when the processor has it
    crypto_blocks<SHA256_CTX, SHA256_Update, 8>(state, p, nblocks);
}

void sha256_init(sha256_ctx *ctx) {
    static constexpr uint32_t iv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    ctx->datalen = 0;
    ctx->bitlen = 0;
    memcpy(ctx->state, iv, sizeof(iv));
}

void sha256_transform(sha256_ctx *ctx, const uint8_t block[64]) {
    sha256_blocks(ctx->state, block, 1);
}

void sha256_update(sha256_ctx *ctx, const void *data, size_t length) {
    ctx->bitlen += static_cast<uint64_t>(length) * 8;
    ctx->datalen =
        digest_absorb(ctx->data, ctx->datalen, static_cast<const uint8_t *>(data), length,
                      [ctx](const uint8_t *p, size_t n) { sha256_blocks(ctx->state, p, n); });
}

void sha256_final(sha256_ctx *ctx, uint8_t digest[32]) {
    uint8_t trailer[8];
    store_be32(trailer, static_cast<uint32_t>(ctx->bitlen >> 32));
    store_be32(trailer + 4, static_cast<uint32_t>(ctx->bitlen));
    digest_pad(ctx->data, ctx->datalen, trailer,
               [ctx](const uint8_t *p, size_t n) { sha256_blocks(ctx->state, p, n); });
    for (int i = 0; i < 8; i++) store_be32(digest + 4 * i, ctx->state[i]);
}
