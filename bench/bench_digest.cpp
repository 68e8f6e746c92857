// MD5 and SHA-256 over a 64 MiB file: our block functions (own C and libcrypto's), our file
// functions, and md5sum/sha256sum on the same file, in one run; a summary gives the ratios.
#include <benchmark/benchmark.h>

#include "bench_util.h"
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "comm/digest_internal.h"
#include "qxkiv/digest.h"

namespace {

constexpr size_t kFileSize = 64u << 20;
std::vector<uint8_t> g_data;
std::string g_path;

void make_file() {
    g_data.resize(kFileSize);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < kFileSize; i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        memcpy(&g_data[i], &x, 8);
    }
    char tmpl[] = "/tmp/kivbenchdigestXXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0 || write(fd, g_data.data(), kFileSize) != (ssize_t)kFileSize) {
        perror("bench file");
        exit(1);
    }
    close(fd);
    g_path = tmpl;
}

using side_fn = void (*)();

template <void (*Blocks)(uint32_t *, const uint8_t *, size_t), int Words>
void blocks() {
    uint32_t st[Words] = {};
    Blocks(st, g_data.data(), kFileSize / 64);
    benchmark::DoNotOptimize(st);
}

void file_md5() {
    uint8_t d[16];
    benchmark::DoNotOptimize(_file_md5(g_path.c_str(), d, false));
}

void file_sha256() {
    char out[65];
    benchmark::DoNotOptimize(get_file_sha256(g_path.c_str(), out));
}

void md5sum() {
    benchmark::DoNotOptimize(run_tool("md5sum", g_path));
}
void sha256sum() {
    benchmark::DoNotOptimize(run_tool("sha256sum", g_path));
}

// Ours and the baseline alternate within each iteration so that load from other processes
// on this small machine falls on both alike. The tools run in a child process: wall time.
void BM_pair(benchmark::State &state, side_fn ours, side_fn base) {
    using clk = std::chrono::steady_clock;
    double t_ours = 0, t_base = 0;
    for (auto _ : state) {
        auto t0 = clk::now();
        ours();
        auto t1 = clk::now();
        base();
        auto t2 = clk::now();
        double d = std::chrono::duration<double>(t1 - t0).count();
        t_ours += d;
        t_base += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(d);
    }
    double mb = double(state.iterations()) * kFileSize / 1e6;
    state.counters["ours_MBps"] = mb / t_ours;
    state.counters["base_MBps"] = mb / t_base;
    state.counters["ratio"] = t_base / t_ours;
}

// Keeps each pair's figures for the summary.
struct RateReporter : benchmark::ConsoleReporter {
    std::vector<std::pair<std::string, benchmark::UserCounters>> rows;
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &r : runs) rows.emplace_back(r.run_name.function_name, r.counters);
    }
};

}  // namespace

int main(int argc, char **argv) {
    make_file();
    // Warms the page cache and checks both sides compute the same digests.
    uint8_t d[16];
    char md5[33], sha[65];
    if (_file_md5(g_path.c_str(), d, false) != 0 ||
        (digest_hex(d, 16, md5), md5 != run_tool("md5sum", g_path)) ||
        get_file_sha256(g_path.c_str(), sha) != 0 || sha != run_tool("sha256sum", g_path)) {
        fprintf(stderr, "digest mismatch with the system tools\n");
        unlink(g_path.c_str());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    const struct {
        const char *name;
        side_fn ours, base;
    } pairs[] = {
        {"md5/own_blocks:vs:libcrypto_blocks", blocks<md5_blocks_portable, 4>,
         blocks<md5_blocks_crypto, 4>},
        {"md5/own_blocks:vs:md5sum", blocks<md5_blocks_portable, 4>, md5sum},
        {"md5/libcrypto_blocks:vs:md5sum", blocks<md5_blocks_crypto, 4>, md5sum},
        {"md5/file_unthrottled:vs:md5sum", file_md5, md5sum},
        {"sha256/own_blocks:vs:libcrypto_blocks", blocks<sha256_blocks_portable, 8>,
         blocks<sha256_blocks_crypto, 8>},
        {"sha256/own_blocks:vs:sha256sum", blocks<sha256_blocks_portable, 8>, sha256sum},
        {"sha256/libcrypto_blocks:vs:sha256sum", blocks<sha256_blocks_crypto, 8>, sha256sum},
        {"sha256/get_file_sha256:vs:sha256sum", file_sha256, sha256sum},
    };
    for (auto &p : pairs)
        benchmark::RegisterBenchmark(p.name, BM_pair, p.ours, p.base)->UseManualTime();
    RateReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    unlink(g_path.c_str());

    printf("\n64 MiB, MB/s side by side (ratio = ours / baseline, interleaved in one run)\n");
    for (auto &[name, c] : rep.rows) {
        std::string n = name;
        size_t cut = n.find(":vs:");
        if (cut == std::string::npos || !c.count("ratio")) continue;
        printf("%-30s %8.1f   %-20s %8.1f   ratio %.2f\n", n.substr(0, cut).c_str(),
               c["ours_MBps"].value, n.substr(cut + 4).c_str(), c["base_MBps"].value,
               c["ratio"].value);
    }
    benchmark::Shutdown();
    return 0;
}
