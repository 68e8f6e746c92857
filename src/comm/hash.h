// Pieces shared by the hash tables: the time33 hash, the allocation-size guard applied before
// sizes from configuration or the host reach kiv_malloc (which aborts above its limit), and
// the bucket helpers of the fixed-size tables.
#pragma once
#include <cstddef>
#include <cstdint>

#include "comm/list.h"
#include "base/mem.h"

typedef uint32_t (*hash_key_fn)(const void *key, uint32_t key_len);
// fhash/lhash callbacks: compare returns 0 when data carries key (the key itself is not
// stored); delete releases what the table owns of data.
typedef int (*hash_cmp_fn)(const void *key, void *data);
typedef void (*hash_del_fn)(void *data);

// time33 with seed 5318 (not the usual 5381): every table and every persisted bucket layout
// depends on this exact value.
inline uint32_t hash_default_key_time33(const void *key, uint32_t key_len) {
    const unsigned char *p = static_cast<const unsigned char *>(key);
    uint32_t h = 5318;
    for (uint32_t i = 0; i < key_len; i++) h = h * 33 + p[i];
    return h;
}

inline uint32_t fhash_default_key_time33(const void *key, uint32_t key_len) {
    return hash_default_key_time33(key, key_len);
}

inline uint32_t lhash_default_key_time33(const void *key, uint32_t key_len) {
    return hash_default_key_time33(key, key_len);
}

// Largest block kiv_malloc accepts.
constexpr size_t KIV_ALLOC_MAX = (1u << 23) - 1;

// n * size + extra, or 0 when that does not fit one accounted block.
inline size_t kiv_alloc_size(uint64_t n, uint64_t size, uint64_t extra = 0) {
    if (extra > KIV_ALLOC_MAX) return 0;
    if (size != 0 && n > (KIV_ALLOC_MAX - extra) / size) return 0;
    return static_cast<size_t>(n * size + extra);
}

// Bucket index = hash % bucket count without a division on the lookup path (Lemire's fastmod;
// exact for every 32-bit hash and count). magic = hash_mod_magic(count) is set at creation.
inline uint64_t hash_mod_magic(uint32_t count) {
    return UINT64_MAX / count + 1;
}
inline uint32_t hash_mod(uint32_t hash, uint64_t magic, uint32_t count) {
    uint64_t low = magic * hash;
    return static_cast<uint32_t>((static_cast<unsigned __int128>(low) * count) >> 64);
}

// Bucket array of the fixed-size tables (fhash, lhash); null when it does not fit one block.
inline hlist_head *hash_buckets_alloc(uint32_t count, uint32_t category) {
    size_t size = kiv_alloc_size(count, sizeof(hlist_head));
    return size ? static_cast<hlist_head *>(kiv_zalloc(size, category)) : nullptr;
}

// Where a key lives in a fixed-size table.
struct hash_pos {
    uint32_t hash;
    hlist_head *bucket;
};

inline hash_pos hash_locate(hlist_head *buckets, uint64_t magic, uint32_t count, hash_key_fn fn,
                            const void *key, uint32_t key_len) {
    uint32_t h = fn(key, key_len);
    return {h, &buckets[hash_mod(h, magic, count)]};
}

// First node of a bucket chain whose data the compare callback matches. Node has members
// hnode (hlist_node), hash (the full hash of its key) and data. Comparing the stored hash
// first spares a visit to the data of every other node in the chain.
template <class Node>
inline Node *hash_chain_find(hash_pos pos, const void *key, hash_cmp_fn cmp) {
    for (hlist_node *p = pos.bucket->first; p; p = p->next) {
        Node *n = hlist_entry(p, Node, hnode);
        if (n->hash == pos.hash && cmp(key, n->data) == 0) return n;
    }
    return nullptr;
}
