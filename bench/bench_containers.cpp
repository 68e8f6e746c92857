// Lookups in fhash and xhash at 10,000 entries, hits and misses, against std::unordered_map
// on the same keys in the same run. Keys are 16-byte process keys {create_time, pid}, the
// shape the fork tree and the digest cache look up on every event.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "comm/fhash.h"
#include "qxkiv/xhash.h"

namespace {

constexpr int kEntries = 10000;
constexpr uint32_t kFhashBuckets = 16384;

struct proc_key {
    uint64_t create_time;
    uint32_t pid;
    uint32_t pad;
};
static_assert(sizeof(proc_key) == 16);

std::vector<proc_key> g_keys;    // stored
std::vector<proc_key> g_absent;  // never stored
std::vector<uint32_t> g_order;   // shuffled visiting order

int key_cmp(const void *key, void *data) {
    return memcmp(key, data, sizeof(proc_key));
}

void make_keys() {
    std::mt19937_64 rng(42);
    for (int i = 0; i < kEntries; i++) {
        uint64_t t = 1'700'000'000'000ull + rng() % 1'000'000'000ull;
        g_keys.push_back({t, (uint32_t)(1000 + i * 7), 0});
        g_absent.push_back({t + 1, (uint32_t)(1000 + i * 7 + 3), 0});
    }
    for (uint32_t i = 0; i < kEntries; i++) g_order.push_back(i);
    std::shuffle(g_order.begin(), g_order.end(), rng);
}

template <class Lookup>
void run(benchmark::State &state, const std::vector<proc_key> &keys, Lookup lookup) {
    size_t i = 0;
    for (auto _ : state) {
        const proc_key &k = keys[g_order[i]];
        benchmark::DoNotOptimize(lookup(k));
        if (++i == g_order.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void fhash_lookups(benchmark::State &state, const std::vector<proc_key> &keys) {
    fhash *t = fhash_create(kEntries, kFhashBuckets, key_cmp, nullptr, nullptr);
    for (proc_key &k : g_keys) fhash_insert(t, &k, sizeof(k), &k);
    run(state, keys, [t](const proc_key &k) {
        void *out = nullptr;
        return fhash_search(t, &k, sizeof(k), &out);
    });
    fhash_destroy(t);
}

void xhash_lookups(benchmark::State &state, const std::vector<proc_key> &keys) {
    xhash_t *t = xhash_create(0, nullptr, nullptr);
    for (proc_key &k : g_keys) xhash_insert(t, &k, sizeof(k), &k);
    run(state, keys, [t](const proc_key &k) {
        void *out = nullptr;
        return xhash_search(t, &k, sizeof(k), &out);
    });
    xhash_destroy(t);
}

void map_lookups(benchmark::State &state, const std::vector<proc_key> &keys) {
    std::unordered_map<std::string_view, void *> m;
    for (proc_key &k : g_keys) m.emplace(std::string_view((const char *)&k, sizeof(k)), &k);
    run(state, keys, [&m](const proc_key &k) {
        return m.find(std::string_view((const char *)&k, sizeof(k))) != m.end();
    });
}

void BM_fhash_hit(benchmark::State &s) {
    fhash_lookups(s, g_keys);
}
void BM_fhash_miss(benchmark::State &s) {
    fhash_lookups(s, g_absent);
}
void BM_xhash_hit(benchmark::State &s) {
    xhash_lookups(s, g_keys);
}
void BM_xhash_miss(benchmark::State &s) {
    xhash_lookups(s, g_absent);
}
void BM_unordered_map_hit(benchmark::State &s) {
    map_lookups(s, g_keys);
}
void BM_unordered_map_miss(benchmark::State &s) {
    map_lookups(s, g_absent);
}

BENCHMARK(BM_unordered_map_hit);
BENCHMARK(BM_fhash_hit);
BENCHMARK(BM_xhash_hit);
BENCHMARK(BM_unordered_map_miss);
BENCHMARK(BM_fhash_miss);
BENCHMARK(BM_xhash_miss);

// Keeps ns per lookup of each run for the summary.
struct RatioReporter : benchmark::ConsoleReporter {
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &r : runs)
            ns[r.run_name.function_name] = r.GetAdjustedRealTime();  // default unit: ns
    }
};

}  // namespace

int main(int argc, char **argv) {
    make_keys();
    benchmark::Initialize(&argc, argv);
    RatioReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    printf("\nns per lookup at %d entries (ratio = unordered_map time / ours; >1 is faster)\n",
           kEntries);
    for (const char *kind : {"hit", "miss"}) {
        double base = rep.ns[std::string("BM_unordered_map_") + kind];
        printf("  %-4s unordered_map %6.1f", kind, base);
        for (const char *c : {"fhash", "xhash"}) {
            double v = rep.ns[std::string("BM_") + c + "_" + kind];
            printf("   %s %6.1f (ratio %.2f)", c, v, v > 0 ? base / v : 0.0);
        }
        printf("\n");
    }
    benchmark::Shutdown();
    return 0;
}
