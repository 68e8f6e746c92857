// Fixed-size hash table holding data pointers.
#include "comm/fhash.h"

namespace {

inline hash_pos locate(fhash *t, const void *key, uint32_t key_len) {
    return hash_locate(t->buckets, t->bucket_magic, t->bucket_count, t->hash_cb, key, key_len);
}

void remove_node(fhash *t, fhash_node *n) {
    hlist_del(&n->hnode);
    t->count--;
    if (t->delete_cb) t->delete_cb(n->data);
    kiv_free(n);
}

}  // namespace

fhash *fhash_create(uint32_t max_entries, uint32_t bucket_count, hash_cmp_fn cmp_cb,
                    hash_key_fn hash_cb, hash_del_fn delete_cb) {
    if (!max_entries || !bucket_count || !cmp_cb) return nullptr;
    auto *t = static_cast<fhash *>(kiv_zalloc(sizeof(fhash), MALLOC_FOR_TMP));
    if (!t) return nullptr;
    t->buckets = hash_buckets_alloc(bucket_count, MALLOC_FOR_TMP);
    if (!t->buckets) {
        kiv_free(t);
        return nullptr;
    }
    t->max_entries = max_entries;
    t->bucket_count = bucket_count;
    t->bucket_magic = hash_mod_magic(bucket_count);
    t->hash_cb = hash_cb ? hash_cb : fhash_default_key_time33;
    t->delete_cb = delete_cb;
    t->cmp_cb = cmp_cb;
    return t;
}

int fhash_insert(fhash *t, const void *key, uint32_t key_len, void *data) {
    if (!t || !key || !key_len || !data) return -1;
    hash_pos pos = locate(t, key, key_len);
    if (fhash_node *old = hash_chain_find<fhash_node>(pos, key, t->cmp_cb)) remove_node(t, old);
    if (t->count >= t->max_entries) return -1;
    auto *n = static_cast<fhash_node *>(kiv_malloc(sizeof(fhash_node), MALLOC_FOR_TMP));
    if (!n) return -1;
    n->data = data;
    n->hash = pos.hash;
    hlist_add_head(&n->hnode, pos.bucket);
    t->count++;
    return 0;
}

int fhash_search(fhash *t, const void *key, uint32_t key_len, void **out_data) {
    if (!t || !key || !out_data) return -1;
    fhash_node *n = hash_chain_find<fhash_node>(locate(t, key, key_len), key, t->cmp_cb);
    if (!n) return -1;
    *out_data = n->data;
    return 0;
}

void fhash_delete(fhash *t, const void *key, uint32_t key_len) {
    if (!t || !key) return;
    if (fhash_node *n = hash_chain_find<fhash_node>(locate(t, key, key_len), key, t->cmp_cb))
        remove_node(t, n);
}

int fhash_walk(fhash *t, fhash_walk_fn cb, void *arg) {
    if (!t || !cb) return -1;
    for (uint32_t i = 0; i < t->bucket_count; i++) {
        hlist_node *p, *next;
        hlist_for_each_safe(p, next, &t->buckets[i]) {
            int ret = cb(hlist_entry(p, fhash_node, hnode)->data, arg);
            if (ret) return ret;
        }
    }
    return 0;
}

int fhash_full(fhash *t) {
    if (!t) return -1;
    return t->count >= t->max_entries ? 1 : 0;
}

void fhash_clear(fhash *t) {
    if (!t) return;
    for (uint32_t i = 0; i < t->bucket_count; i++) {
        while (!hlist_empty(&t->buckets[i]))
            remove_node(t, hlist_entry(t->buckets[i].first, fhash_node, hnode));
    }
}

void fhash_destroy(fhash *t) {
    if (!t) return;
    fhash_clear(t);
    kiv_free(t->buckets);
    kiv_free(t);
}
