#include "comm/keyed_hash.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "base/log.h"

namespace {

std::once_flag s_once;
unsigned char s_key[16];
bool s_have_key;
std::atomic<bool> s_failed_logged{false};

void init() {
    s_have_key = RAND_bytes(s_key, sizeof s_key) == 1;
    if (!s_have_key) KIV_LOG(1, "keyed hash: no random key from the system\n");
}

bool fail(keyed_hash128 *out) {
    *out = {};
    if (!s_failed_logged.exchange(true))
        KIV_LOG(1, "keyed hash failed: repeat filters fall back to their checksums alone\n");
    return false;
}

}  // namespace

bool keyed_hash_with(const unsigned char key[16], const keyed_piece *pieces, size_t count,
                     keyed_hash128 *out) {
    // Fetched per call and let go: nothing of the crypto library outlives the call, whatever
    // order the library and its user are unloaded in.
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "SIPHASH", nullptr);
    EVP_MAC_CTX *ctx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
    EVP_MAC_free(mac);
    if (!ctx) return fail(out);
    size_t size = 16;
    OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t(OSSL_MAC_PARAM_SIZE, &size),
                           OSSL_PARAM_construct_end()};
    unsigned char digest[16];
    size_t got = 0;
    bool ok = EVP_MAC_init(ctx, key, 16, params) == 1;
    for (size_t i = 0; ok && i < count; i++)
        ok = pieces[i].len == 0 ||
             EVP_MAC_update(ctx, static_cast<const unsigned char *>(pieces[i].data),
                            pieces[i].len) == 1;
    ok = ok && EVP_MAC_final(ctx, digest, &got, sizeof digest) == 1 && got == sizeof digest;
    EVP_MAC_CTX_free(ctx);
    if (!ok) return fail(out);
    memcpy(&out->lo, digest, 8);
    memcpy(&out->hi, digest + 8, 8);
    return true;
}

bool keyed_hash(const keyed_piece *pieces, size_t count, keyed_hash128 *out) {
    std::call_once(s_once, init);
    if (!s_have_key) return fail(out);
    return keyed_hash_with(s_key, pieces, count, out);
}
