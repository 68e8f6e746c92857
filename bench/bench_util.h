// Helpers shared by the benchmarks.
#pragma once
#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
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

// Feeds the running stand-in batches of records made by make(n) (n counts up from 0), keeping
// at most two batches in flight so that the collector never waits for the feeder, and reports
// the documents `docs` counted per second of real time, the final drain included.
template <class Make>
void pipeline_batches(benchmark::State &state, const std::atomic<int64_t> &docs, uint32_t batch,
                      int ring, Make make) {
    uint64_t n = 0;
    // The counter runs on across the benchmark's repeated runs: count from where it stands.
    const int64_t base = docs.load();
    int64_t expected = base;
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (uint32_t i = 0; i < batch; i++) {
            auto rec = make(n++);
            while (kemu_inject(ring, rec.data(), (uint32_t)rec.size()) == KEMU_FULL)
                std::this_thread::yield();
        }
        expected += batch;
        while (docs.load(std::memory_order_relaxed) < expected - (int64_t)batch)
            std::this_thread::yield();
    }
    while (docs.load(std::memory_order_relaxed) < expected) std::this_thread::yield();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.counters["docs/s"] = (double)(expected - base) / s;
}
