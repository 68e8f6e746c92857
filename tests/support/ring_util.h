// Rings in test memory and records built byte by byte, for the framework tests.
#pragma once
#include <cstdint>
#include <vector>

#include "framework/ring.h"
#include "framework/task.h"

// Little-endian header written byte by byte, independent of kiv_msg_hdr.
inline std::vector<unsigned char> make_record(uint16_t type, uint32_t pid, uint16_t len,
                                              unsigned char fill = 0x5A) {
    std::vector<unsigned char> b(len < 12 ? 12 : len, fill);
    const uint64_t head[] = {0xFEDCCDEF, len, type, pid};
    const int at[] = {0, 4, 6, 8}, width[] = {4, 2, 2, 4};
    for (int f = 0; f < 4; f++)
        for (int i = 0; i < width[f]; i++) b[at[f] + i] = (unsigned char)(head[f] >> (8 * i));
    return b;
}

struct test_ring {
    std::vector<uint64_t> mem;
    kiv_ring *ring;
    explicit test_ring(uint32_t size, uint32_t start = 0) : mem((40 + size) / 8 + 2) {
        char *cursor = reinterpret_cast<char *>(mem.data());
        ring = kiv_ring_init(&cursor, size);
        ring->r = ring->w = start;
    }
    int put(const std::vector<unsigned char> &b) {
        return __put_to_ring(ring, b.data(), (uint32_t)b.size());
    }
};

// A task table of `n` descriptors for single-threaded tests that switch `current`.
struct test_tasks {
    std::vector<kiv_task> tasks;
    explicit test_tasks(int n) : tasks(n) {
        for (int i = 0; i < n; i++) tasks[i].task_no = (int16_t)(i + 1);
        g_tasks = tasks.data(), g_tasks_num = n, current = &tasks[0];
    }
    ~test_tasks() {
        for (auto &t : tasks) kiv_task_free_bak_msg(&t);
        g_tasks = nullptr, g_tasks_num = 0, current = nullptr;
    }
};
