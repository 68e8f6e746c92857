// Bounded hash table with eviction of the oldest evictable node.
#include "comm/lhash.h"

#include "base/log.h"

namespace {

inline hash_pos locate(lhash *t, const void *key, uint32_t key_len) {
    return hash_locate(t->buckets, t->bucket_magic, t->bucket_count, t->ops.hash_cb, key, key_len);
}

inline lhash_node *find(lhash *t, const void *key, uint32_t key_len) {
    return hash_chain_find<lhash_node>(locate(t, key, key_len), key, t->ops.cmp_cb);
}

}  // namespace

lhash *lhash_create(uint32_t max_entries, uint32_t bucket_count, uint32_t evict_limit,
                    const lhash_ops *ops) {
    if (!max_entries || !bucket_count || !ops || !ops->delete_cb || !ops->cmp_cb) return nullptr;
    auto *t = static_cast<lhash *>(kiv_zalloc(sizeof(lhash), MALLOC_LHASH));
    if (!t) return nullptr;
    t->buckets = hash_buckets_alloc(bucket_count, MALLOC_LHASH);
    if (!t->buckets) {
        kiv_free(t);
        return nullptr;
    }
    INIT_LIST_HEAD(&t->list);
    t->allow_free = &t->list;
    t->ops = *ops;
    if (!t->ops.hash_cb) t->ops.hash_cb = lhash_default_key_time33;
    t->max_entries = max_entries;
    t->bucket_count = bucket_count;
    t->bucket_magic = hash_mod_magic(bucket_count);
    t->evict_limit = evict_limit;
    t->free_slots = max_entries;
    return t;
}

void _lhash_node_del(lhash *t, lhash_node *node) {
    if (t->allow_free == &node->lnode) t->allow_free = node->lnode.prev;
    switch (node->status) {
        case LHASH_STATUS_ALLOW_FREE:
            t->allow_free_cnt--;
            break;
        case LHASH_STATUS_USING:
            t->using_cnt--;
            break;
        default:
            KIV_ASSERT(0);
    }
    t->free_slots++;
    if (node->status == LHASH_STATUS_USING) t->del_using_cnt++;
    hlist_del(&node->hnode);
    list_del(&node->lnode);
    if (t->ops.delete_cb && node->data) t->ops.delete_cb(node->data);
    kiv_free(node);
}

int lhash_insert(lhash *t, const void *key, uint32_t key_len, void *data) {
    if (!t || !key || !key_len) return -2;
    hash_pos pos = locate(t, key, key_len);
    if (lhash_node *old = hash_chain_find<lhash_node>(pos, key, t->ops.cmp_cb))
        _lhash_node_del(t, old);
    lhash_node *victim = nullptr;
    if (t->free_slots == 0) {
        victim = list_entry(t->list.next, lhash_node, lnode);
        if (victim->status > t->evict_limit) return -1;
    }
    // Allocate before evicting so a failed allocation costs no entry.
    auto *n = static_cast<lhash_node *>(kiv_malloc(sizeof(lhash_node), MALLOC_LHASH_NODE));
    if (!n) return -1;
    if (victim) _lhash_node_del(t, victim);
    n->status = LHASH_STATUS_USING;
    n->data = data;
    n->hash = pos.hash;
    hlist_add_head(&n->hnode, pos.bucket);
    list_add_tail(&n->lnode, &t->list);
    t->free_slots--;
    t->using_cnt++;
    return 0;
}

int lhash_search(lhash *t, const void *key, uint32_t key_len, void **out_data) {
    if (!t || !key || !out_data) return -2;
    lhash_node *n = find(t, key, key_len);
    if (!n) return -4;
    *out_data = n->data;
    return 0;
}

void lhash_delete(lhash *t, const void *key, uint32_t key_len) {
    if (!t || !key) return;
    if (lhash_node *n = find(t, key, key_len)) _lhash_node_del(t, n);
}

int lhash_mark_latest(lhash *t, const void *key, uint32_t key_len) {
    if (!t || !key) return -2;
    lhash_node *n = find(t, key, key_len);
    if (!n) return -4;
    if (n->status == LHASH_STATUS_ALLOW_FREE) return -1;
    list_move_tail(&n->lnode, &t->list);
    return 0;
}

int lhash_mark_allow_free(lhash *t, const void *key, uint32_t key_len) {
    if (!t || !key) return -2;
    lhash_node *node = find(t, key, key_len);
    if (!node) return -4;
    if (node->status == LHASH_STATUS_ALLOW_FREE) return 0;
    KIV_ASSERT(node->status == LHASH_STATUS_USING);
    list_move(&node->lnode, t->allow_free);
    t->allow_free = &node->lnode;
    t->using_cnt--;
    t->allow_free_cnt++;
    node->status = LHASH_STATUS_ALLOW_FREE;
    return 0;
}

void lhash_destroy(lhash *t) {
    if (!t) return;
    while (!list_empty(&t->list)) _lhash_node_del(t, list_entry(t->list.next, lhash_node, lnode));
    kiv_free(t->buckets);
    kiv_free(t);
}
