/* Growing hash table that keeps its own copy of every key. Not locked: the owner serialises. */
#ifndef QXKIV_XHASH_H
#define QXKIV_XHASH_H

#include <stdint.h>

#include "qxkiv/kiv_export.h"

KIV_BEGIN_DECLS

typedef struct xhash xhash_t;
typedef struct xhash_cookie xhash_cookie_t;

/* Hash of key_len bytes; null at creation selects time33. */
typedef uint32_t (*xhash_hash_cb)(const void *key, uint32_t key_len);
/* Releases what the table's data refers to; key is the table's stored copy. */
typedef void (*xhash_delete_cb)(void *data, const void *key);
/* key is the stored copy (key_len bytes, not terminated). */
typedef int (*xhash_walk_cb)(const void *key, uint32_t key_len, void *data, void *arg);

/* Null when expected_entries exceeds every size step or memory runs out. */
KIV_API xhash_t *xhash_create(uint32_t expected_entries, xhash_delete_cb delete_cb,
                              xhash_hash_cb hash_cb);
/* 0, or -1 when memory runs out. An existing key gets the new data (delete_cb on the old). */
KIV_API int xhash_insert(xhash_t *table, const void *key, uint32_t key_len, void *data);
/* 0 with *out_data set (out_data may be null), -1 when absent. */
KIV_API int xhash_search(xhash_t *table, const void *key, uint32_t key_len, void **out_data);
/* 0 after delete_cb and freeing the entry, -1 when absent. */
KIV_API int xhash_delete(xhash_t *table, const void *key, uint32_t key_len);
KIV_API void xhash_destroy(xhash_t *table);
/* Bucket order; the callback may delete the entry it is given. Non-zero from cb stops the walk
 * and returns 1; 0 at the end; -1 for a null table or callback. */
KIV_API int xhash_walk(xhash_t *table, void *arg, xhash_walk_cb cb);

/* Cursor for incremental sweeps: each xhash_walk_partial call visits fraction of the buckets
 * (at least 1, at most 4096) and resumes where the previous call stopped. */
KIV_API xhash_cookie_t *xhash_cookie_create(float fraction);
KIV_API void xhash_cookie_set_percent(xhash_cookie_t *cookie, float fraction);
KIV_API void xhash_cookie_destroy(xhash_cookie_t *cookie);
KIV_API void xhash_walk_partial(xhash_t *table, xhash_cookie_t *cookie, void *arg,
                                xhash_walk_cb cb);

/* Returns the bucket count; histogram[L] += 1 for each bucket whose chain length L is below
 * histogram_len. */
KIV_API uint32_t xhash_slotinfo(xhash_t *table, uint32_t *histogram, uint32_t histogram_len);

KIV_END_DECLS

#endif
