// Bounded element ring.
#include "comm/queue.h"

#include <cstring>

#include "comm/hash.h"
#include "base/mem.h"

namespace {

inline uint32_t next_index(const kiv_queue *q, uint32_t i) {
    return i + 1 >= static_cast<uint32_t>(q->slot_count) ? 0 : i + 1;
}

inline unsigned char *slot(kiv_queue *q, uint32_t i) {
    return q->buf + static_cast<size_t>(i) * static_cast<size_t>(q->element_size);
}

}  // namespace

kiv_queue *queue_create(int32_t slot_count, int32_t element_size) {
    if (slot_count < 1 || element_size <= 0) return nullptr;
    size_t size =
        kiv_alloc_size(static_cast<uint64_t>(slot_count), static_cast<uint64_t>(element_size));
    if (!size) return nullptr;
    auto *q = static_cast<kiv_queue *>(kiv_zalloc(sizeof(kiv_queue), MALLOC_QUEUE));
    if (!q) return nullptr;
    q->buf = static_cast<unsigned char *>(kiv_malloc(size, MALLOC_QUEUE));
    if (!q->buf) {
        kiv_free(q);
        return nullptr;
    }
    q->slot_count = slot_count;
    q->element_size = element_size;
    return q;
}

int queue_push(kiv_queue *q, const void *element) {
    if (!q || !element) return -1;
    uint32_t next = next_index(q, q->w);
    if (next == q->r) return -1;
    memcpy(slot(q, q->w), element, static_cast<size_t>(q->element_size));
    q->w = next;
    return 0;
}

int queue_head(kiv_queue *q, void *out) {
    if (!q || !out || q->r == q->w) return -1;
    memcpy(out, slot(q, q->r), static_cast<size_t>(q->element_size));
    return 0;
}

int queue_pop(kiv_queue *q, void *out) {
    if (queue_head(q, out)) return -1;
    q->r = next_index(q, q->r);
    return 0;
}

int queue_full(kiv_queue *q) {
    if (!q) return -1;
    return next_index(q, q->w) == q->r ? 0 : -1;
}

void queue_clear(kiv_queue *q) {
    if (q) q->r = q->w = 0;
}

void queue_destroy(kiv_queue *q) {
    if (!q) return;
    kiv_free(q->buf);
    kiv_free(q);
}
