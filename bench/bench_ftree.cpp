// Fork tree search, ancestry walk of depth 8 and fork insert + delete at 2,048 nodes, beside
// a std::unordered_map of the same per-process fields doing the same work.
#include <benchmark/benchmark.h>

#include <unordered_map>
#include <vector>

#include "base/mem.h"
#include "task/fork_tree.h"

namespace {

constexpr uint32_t kNodes = 2048, kDepth = 8, kChains = kNodes / kDepth;

// Chains of 8: pid = 1000 + chain * 8 + level, level 0 the root.
uint32_t pid_of(uint32_t chain, uint32_t level) {
    return 1000 + chain * kDepth + level;
}

struct raw_holder {
    process_info_st info{};
    raw_process_buf buf{};  // last: it ends in the flex strings
    void set(uint32_t pid, uint32_t ppid, bool exec) {
        raw_process_info &r = buf.info;
        flex_task_info_init(&r.flex);
        r.pid = pid, r.ppid = ppid, r.create_time = pid, r.parent_create_time = ppid;
        r.mode_event = 0755 | (1u << 12);
        flex_str cmd{"/bin/sh -c true", 15};
        set_flex_task_info_str(&r.flex, FLEX_TASK_INFO_MAX_SIZE, &cmd, FLEX_CMD_LINE);
        info.raw = &r;
        info.flags = exec ? (PROC_INFO_EXEC | PROC_INFO_COMPLETE) : 0;
    }
};

ftree *build_tree() {
    // The default bucket count (409) with one spare node for the insert benchmark.
    ftree *t = ftree_create(kNodes * 2, kNodes + 1);
    static raw_holder h;
    for (uint32_t c = 0; c < kChains; c++)
        for (uint32_t l = 0; l < kDepth; l++) {
            h.set(pid_of(c, l), l ? pid_of(c, l - 1) : 1, l == 0);
            ftree_key k{pid_of(c, l), pid_of(c, l)};
            ftree_insert(t, &k, &h.info);
        }
    return t;
}

struct plain_rec {
    uint64_t create_time, parent_create_time;
    uint32_t pid, ppid;
    void *exec_info;
};

std::unordered_map<uint32_t, plain_rec> build_map() {
    std::unordered_map<uint32_t, plain_rec> m;
    m.reserve(kNodes * 2);
    for (uint32_t c = 0; c < kChains; c++)
        for (uint32_t l = 0; l < kDepth; l++) {
            uint32_t p = pid_of(c, l), pp = l ? pid_of(c, l - 1) : 1;
            m[p] = {p, pp, p, pp, nullptr};
        }
    return m;
}

void BM_ftree_search(benchmark::State &st) {
    ftree *t = build_tree();
    uint32_t i = 0;
    for (auto _ : st) {
        uint32_t p = 1000 + (i++ * 7919) % kNodes;
        ftree_key k{p, p};
        fork_node *n;
        benchmark::DoNotOptimize(ftree_search(t, &k, &n));
    }
    ftree_destory(t);
}

void BM_map_search(benchmark::State &st) {
    auto m = build_map();
    uint32_t i = 0;
    for (auto _ : st) {
        uint32_t p = 1000 + (i++ * 7919) % kNodes;
        auto it = m.find(p);
        benchmark::DoNotOptimize(it != m.end() && it->second.create_time == p);
    }
}

void BM_ftree_walk8(benchmark::State &st) {
    ftree *t = build_tree();
    uint32_t i = 0;
    for (auto _ : st) {
        uint32_t leaf = pid_of(i++ % kChains, kDepth - 1);
        ftree_key k{leaf, leaf};
        fork_node *n;
        int depth = 0;
        while (ftree_search(t, &k, &n) == 0 && n->fork_info.ppid > 1) {
            k = {n->fork_info.parent_create_time, n->fork_info.ppid};
            depth++;
        }
        benchmark::DoNotOptimize(depth);
    }
    ftree_destory(t);
}

void BM_map_walk8(benchmark::State &st) {
    auto m = build_map();
    uint32_t i = 0;
    for (auto _ : st) {
        uint32_t p = pid_of(i++ % kChains, kDepth - 1);
        int depth = 0;
        for (auto it = m.find(p); it != m.end() && it->second.ppid > 1;
             it = m.find(it->second.ppid))
            depth++;
        benchmark::DoNotOptimize(depth);
    }
}

void BM_ftree_fork_insert_delete(benchmark::State &st) {
    ftree *t = build_tree();
    raw_holder h;
    uint32_t i = 0;
    for (auto _ : st) {
        uint32_t parent = pid_of(i++ % kChains, kDepth - 1);
        h.set(50000, parent, false);
        ftree_key k{50000, 50000};
        ftree_insert(t, &k, &h.info);
        ftree_delete(t, &k);
    }
    ftree_destory(t);
}

void BM_map_insert_erase(benchmark::State &st) {
    auto m = build_map();
    uint32_t i = 0;
    for (auto _ : st) {
        uint32_t parent = pid_of(i++ % kChains, kDepth - 1);
        auto it = m.find(parent);
        m[50000] = {50000, parent, 50000, parent, it->second.exec_info};
        m.erase(50000);
    }
}

BENCHMARK(BM_ftree_search);
BENCHMARK(BM_map_search);
BENCHMARK(BM_ftree_walk8);
BENCHMARK(BM_map_walk8);
BENCHMARK(BM_ftree_fork_insert_delete);
BENCHMARK(BM_map_insert_erase);

}  // namespace

BENCHMARK_MAIN();
