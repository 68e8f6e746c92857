// Growing hash table with owned key copies.
#include "comm/xhash.h"

#include <cstdio>
#include <cstring>

#include "comm/hash.h"
#include "base/mem.h"

// Keys are stored with one hidden NUL after the key_len bytes so that text keys (the INI
// tables) can be handed out as C strings; key_len never counts it.
struct xhash_node {
    xhash_node *next;
    void *data;
    uint32_t hash;  // kept so growth relinks without hashing keys again
    uint32_t key_len;
    // key bytes and the hidden NUL follow the node
};

struct xhash {
    xhash_node **buckets;
    uint32_t bucket_count;  // power of two
    uint32_t threshold;     // grow when count reaches it
    uint32_t count;
    xhash_delete_cb delete_cb;
    xhash_hash_cb hash_cb;
    uint32_t category;  // statistics category of every block of the table
};

struct xhash_cookie {
    float fraction;
    uint32_t cursor;
};

namespace {

struct hash_spec {
    uint32_t buckets;
    uint32_t threshold;
};

constexpr hash_spec hash_specs[] = {
    {8, 24}, {16, 64}, {64, 320}, {256, 1536}, {1024, 7168}, {131072, 2147483647},
};
constexpr int kSpecCount = sizeof(hash_specs) / sizeof(hash_specs[0]);
constexpr uint32_t kPartialMaxBuckets = 4096;

inline unsigned char *node_key(xhash_node *node) {
    return reinterpret_cast<unsigned char *>(node + 1);
}

xhash_node **find_link(xhash *t, const void *key, uint32_t key_len, uint32_t h) {
    xhash_node **link = &t->buckets[h & (t->bucket_count - 1)];
    for (; *link; link = &(*link)->next) {
        xhash_node *n = *link;
        if (n->hash == h && n->key_len == key_len &&
            (key_len == 0 || memcmp(node_key(n), key, key_len) == 0))
            return link;
    }
    return nullptr;
}

xhash_node **alloc_buckets(uint32_t count, uint32_t category) {
    return static_cast<xhash_node **>(
        kiv_zalloc(static_cast<size_t>(count) * sizeof(xhash_node *), category));
}

void free_node(xhash *t, xhash_node *n) {
    if (t->delete_cb) t->delete_cb(n->data, node_key(n));
    kiv_free(n);
}

// Moves to the next size step. Only the first five steps have a successor.
void grow(xhash *t) {
    int row = -1;
    for (int i = 0; i < kSpecCount - 1; i++) {
        if (hash_specs[i].buckets == t->bucket_count) {
            row = i + 1;
            break;
        }
    }
    if (row < 0) {
        fprintf(stderr, "[BUG] rehashing, can not get next_mask\n");
        return;
    }
    uint32_t new_count = hash_specs[row].buckets;
    xhash_node **nb = alloc_buckets(new_count, t->category);
    if (!nb) return;  // stays usable, just with longer chains
    for (uint32_t i = 0; i < t->bucket_count; i++) {
        xhash_node *n = t->buckets[i];
        while (n) {
            xhash_node *next = n->next;
            xhash_node **head = &nb[n->hash & (new_count - 1)];
            n->next = *head;
            *head = n;
            n = next;
        }
    }
    kiv_free(t->buckets);
    t->buckets = nb;
    t->bucket_count = new_count;
    t->threshold = hash_specs[row].threshold;
}

}  // namespace

xhash_t *xhash_create_in(uint32_t expected_entries, xhash_delete_cb delete_cb,
                         xhash_hash_cb hash_cb, uint32_t category) {
    const hash_spec *spec = nullptr;
    for (const hash_spec &s : hash_specs) {
        if (s.threshold >= expected_entries) {
            spec = &s;
            break;
        }
    }
    if (!spec) return nullptr;
    auto *t = static_cast<xhash *>(kiv_zalloc(sizeof(xhash), category));
    if (!t) return nullptr;
    t->buckets = alloc_buckets(spec->buckets, category);
    if (!t->buckets) {
        kiv_free(t);
        return nullptr;
    }
    t->bucket_count = spec->buckets;
    t->threshold = spec->threshold;
    t->delete_cb = delete_cb;
    t->hash_cb = hash_cb ? hash_cb : hash_default_key_time33;
    t->category = category;
    return t;
}

xhash_t *xhash_create(uint32_t expected_entries, xhash_delete_cb delete_cb, xhash_hash_cb hash_cb) {
    return xhash_create_in(expected_entries, delete_cb, hash_cb, MALLOC_FOR_HASH);
}

int xhash_insert(xhash_t *t, const void *key, uint32_t key_len, void *data) {
    if (!t || (!key && key_len)) return -1;
    uint32_t h = t->hash_cb(key, key_len);
    if (xhash_node **link = find_link(t, key, key_len, h)) {
        xhash_node *n = *link;
        if (t->delete_cb) t->delete_cb(n->data, node_key(n));
        n->data = data;
        return 0;
    }
    size_t size = kiv_alloc_size(key_len, 1, sizeof(xhash_node) + 1);
    if (!size) return -1;
    auto *n = static_cast<xhash_node *>(kiv_malloc(size, t->category));
    if (!n) return -1;
    if (key_len) memcpy(node_key(n), key, key_len);
    node_key(n)[key_len] = 0;
    n->key_len = key_len;
    n->hash = h;
    n->data = data;
    xhash_node **head = &t->buckets[h & (t->bucket_count - 1)];
    n->next = *head;
    *head = n;
    if (++t->count >= t->threshold) grow(t);
    return 0;
}

int xhash_search(xhash_t *t, const void *key, uint32_t key_len, void **out_data) {
    if (!t || (!key && key_len)) return -1;
    xhash_node **link = find_link(t, key, key_len, t->hash_cb(key, key_len));
    if (!link) return -1;
    if (out_data) *out_data = (*link)->data;
    return 0;
}

int xhash_delete(xhash_t *t, const void *key, uint32_t key_len) {
    if (!t || (!key && key_len)) return -1;
    xhash_node **link = find_link(t, key, key_len, t->hash_cb(key, key_len));
    if (!link) return -1;
    xhash_node *n = *link;
    *link = n->next;
    t->count--;
    free_node(t, n);
    return 0;
}

void xhash_destroy(xhash_t *t) {
    if (!t) return;
    for (uint32_t i = 0; i < t->bucket_count; i++) {
        xhash_node *n = t->buckets[i];
        while (n) {
            xhash_node *next = n->next;
            free_node(t, n);
            n = next;
        }
    }
    kiv_free(t->buckets);
    kiv_free(t);
}

int xhash_walk(xhash_t *t, void *arg, xhash_walk_cb cb) {
    if (!t || !cb) return -1;
    for (uint32_t i = 0; i < t->bucket_count; i++) {
        for (xhash_node *n = t->buckets[i], *next; n; n = next) {
            next = n->next;  // cb may delete n
            if (cb(node_key(n), n->key_len, n->data, arg)) return 1;
        }
    }
    return 0;
}

xhash_cookie_t *xhash_cookie_create(float fraction) {
    auto *c = static_cast<xhash_cookie *>(kiv_zalloc(sizeof(xhash_cookie), MALLOC_FOR_HASH));
    if (!c) return nullptr;
    c->fraction = fraction > 1.0f ? 1.0f : fraction;
    return c;
}

void xhash_cookie_set_percent(xhash_cookie_t *cookie, float fraction) {
    if (cookie) cookie->fraction = fraction;
}

void xhash_cookie_destroy(xhash_cookie_t *cookie) {
    kiv_free(cookie);
}

void xhash_walk_partial(xhash_t *t, xhash_cookie_t *cookie, void *arg, xhash_walk_cb cb) {
    if (!t || !cookie || !cb) return;
    // Computed in double so fractions above 1 (set_percent does not clamp), negatives and NaN
    // all land inside [1, 4096].
    double want = static_cast<double>(cookie->fraction) * t->bucket_count;
    uint32_t n = 1;
    if (want >= kPartialMaxBuckets)
        n = kPartialMaxBuckets;
    else if (want >= 1.0)
        n = static_cast<uint32_t>(want);
    for (uint32_t i = 0; i < n; i++) {
        if (cookie->cursor >= t->bucket_count) cookie->cursor = 0;
        for (xhash_node *node = t->buckets[cookie->cursor], *next; node; node = next) {
            next = node->next;
            cb(node_key(node), node->key_len, node->data, arg);
        }
        cookie->cursor++;
    }
}

uint32_t xhash_slotinfo(xhash_t *t, uint32_t *histogram, uint32_t histogram_len) {
    if (!t) return 0;
    if (histogram) {
        for (uint32_t i = 0; i < t->bucket_count; i++) {
            uint32_t len = 0;
            for (xhash_node *n = t->buckets[i]; n; n = n->next) len++;
            if (len < histogram_len) histogram[len]++;
        }
    }
    return t->bucket_count;
}
