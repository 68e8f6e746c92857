// Fixed-size hash table with an ordering list, for tables that must stay bounded without
// losing entries still in use. Nodes are either in use or allowed to be freed; when the
// table is full an insertion evicts the front of the ordering list:
//   [allow-free nodes, in marking order] cursor [using nodes, least recently touched first]
// The eviction limit says which state may be evicted (1: only allow-free, 2: both).
// Not locked: the owner serialises.
#pragma once
#include <cstdint>

#include "comm/hash.h"
#include "comm/list.h"

enum : uint8_t {
    LHASH_STATUS_ALLOW_FREE = 1,
    LHASH_STATUS_USING = 2,
};

struct lhash_ops {
    hash_key_fn hash_cb;    // null selects time33
    hash_del_fn delete_cb;  // required
    hash_cmp_fn cmp_cb;     // required
};

struct lhash_node {
    hlist_node hnode;
    list_head lnode;
    uint8_t status;
    uint32_t hash;  // full hash of the key, checked before calling compare
    void *data;
};

struct lhash {
    hlist_head *buckets;
    list_head list;         // ordering list
    list_head *allow_free;  // last allow-free node, or &list when there is none
    lhash_ops ops;
    uint32_t max_entries;
    uint32_t bucket_count;
    uint64_t bucket_magic;  // for hash_mod
    uint32_t evict_limit;   // highest status that may be evicted
    uint32_t free_slots;
    uint32_t allow_free_cnt;
    uint32_t using_cnt;
    uint32_t del_using_cnt;  // nodes removed while still in use
};

lhash *lhash_create(uint32_t max_entries, uint32_t bucket_count, uint32_t evict_limit,
                    const lhash_ops *ops);
// 0; -2 bad arguments; -1 when full and the oldest node may not be evicted, or no memory.
int lhash_insert(lhash *t, const void *key, uint32_t key_len, void *data);
// 0 with *out_data set; -2 bad arguments; -4 absent. Does not reorder.
int lhash_search(lhash *t, const void *key, uint32_t key_len, void **out_data);
void lhash_delete(lhash *t, const void *key, uint32_t key_len);
// Moves a using node to the most recent end: 0; -1 for an allow-free node; -2; -4.
int lhash_mark_latest(lhash *t, const void *key, uint32_t key_len);
// Makes a using node evictable after every node marked before it: 0; -2; -4.
int lhash_mark_allow_free(lhash *t, const void *key, uint32_t key_len);
void lhash_destroy(lhash *t);
// Shared by delete, eviction and destroy.
void _lhash_node_del(lhash *t, lhash_node *node);
