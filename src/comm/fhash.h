// Fixed-size hash table: the bucket count and the entry cap come from the owner (usually its
// configuration) and never change. Stores data pointers only; a compare callback recognises
// an entry by its key. Not locked: the owner serialises.
#pragma once
#include <cstdint>

#include "comm/hash.h"
#include "comm/list.h"

struct fhash_node {
    hlist_node hnode;
    void *data;
    uint32_t hash;  // full hash of the key, checked before calling compare
};

struct fhash {
    hlist_head *buckets;
    uint32_t max_entries;
    uint32_t bucket_count;
    uint64_t bucket_magic;  // for hash_mod
    uint32_t count;
    hash_key_fn hash_cb;
    hash_del_fn delete_cb;  // may be null
    hash_cmp_fn cmp_cb;
};

typedef int (*fhash_walk_fn)(void *data, void *arg);

// max_entries, bucket_count and cmp_cb are required; null hash_cb selects time33.
fhash *fhash_create(uint32_t max_entries, uint32_t bucket_count, hash_cmp_fn cmp_cb,
                    hash_key_fn hash_cb, hash_del_fn delete_cb);
// 0, or -1 for bad arguments, a full table or no memory. An entry with the same key is
// deleted first, so replacing works even when the table is full.
int fhash_insert(fhash *t, const void *key, uint32_t key_len, void *data);
// 0 with *out_data set, -1 when absent or for bad arguments.
int fhash_search(fhash *t, const void *key, uint32_t key_len, void **out_data);
void fhash_delete(fhash *t, const void *key, uint32_t key_len);
// Bucket order; cb may delete the entry it is given. First non-zero cb result is returned.
int fhash_walk(fhash *t, fhash_walk_fn cb, void *arg);
// 1 when full, 0 when not, -1 for null.
int fhash_full(fhash *t);
void fhash_clear(fhash *t);
void fhash_destroy(fhash *t);
