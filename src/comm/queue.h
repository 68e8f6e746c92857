// Bounded ring of fixed-size elements copied in and out. One slot stays empty to tell full
// from empty, so it holds slot_count - 1 elements. Not locked: the owner serialises.
#pragma once
#include <cstdint>

struct kiv_queue {
    unsigned char *buf;
    uint32_t r;  // next element to pop
    uint32_t w;  // next slot to fill
    int32_t slot_count;
    int32_t element_size;
};

// Null for slot_count < 1, element_size <= 0, a ring too large for one block, or no memory.
kiv_queue *queue_create(int32_t slot_count, int32_t element_size);
// 0, or -1 when full or for null arguments.
int queue_push(kiv_queue *q, const void *element);
// 0 after copying the oldest element out and removing it; -1 when empty.
int queue_pop(kiv_queue *q, void *out);
// As queue_pop without removing.
int queue_head(kiv_queue *q, void *out);
// 0 when full, -1 when not full or null: test the result against 0.
int queue_full(kiv_queue *q);
void queue_clear(kiv_queue *q);
void queue_destroy(kiv_queue *q);
