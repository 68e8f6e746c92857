// Helpers shared by the benchmarks.
#pragma once
#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "qxkiv/kemu.h"

// First word of a system tool's output for one file: md5sum and sha256sum print the digest.
inline std::string run_tool(const char *tool, const std::string &path) {
    std::string cmd = std::string(tool) + " -- '" + path + "'";
    FILE *p = popen(cmd.c_str(), "r");
    char line[256] = "";
    if (p == nullptr || fgets(line, sizeof(line), p) == nullptr) line[0] = '\0';
    if (p != nullptr) pclose(p);
    std::string s(line);
    return s.substr(0, s.find(' '));
}

// User + system CPU in milliseconds of this process (RUSAGE_SELF) or of its reaped children
// (RUSAGE_CHILDREN).
inline double cpu_ms(int who) {
    rusage ru{};
    getrusage(who, &ru);
    auto ms = [](const timeval &t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(ru.ru_utime) + ms(ru.ru_stime);
}

// Feeds the running stand-in batches of records made by make(n) (n counts up from 0) and
// waits after each batch until `docs` has counted its documents; reports docs/s.
template <class Make>
void pipeline_batches(benchmark::State &state, const std::atomic<int64_t> &docs, uint32_t batch,
                      int ring, Make make) {
    uint64_t n = 0;
    int64_t expected = docs.load();
    for (auto _ : state) {
        for (uint32_t i = 0; i < batch; i++) {
            auto rec = make(n++);
            while (kemu_inject(ring, rec.data(), (uint32_t)rec.size()) == KEMU_FULL)
                std::this_thread::yield();
        }
        expected += batch;
        while (docs.load(std::memory_order_relaxed) < expected) std::this_thread::yield();
    }
    state.counters["docs/s"] = benchmark::Counter(static_cast<double>(state.iterations() * batch),
                                                  benchmark::Counter::kIsRate);
}
