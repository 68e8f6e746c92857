// The log collector on a file that grows without pause, quotas at their maximums, beside
// `tail -F` of the same file into /dev/null in the same run: lines per second each, and the
// collector's CPU seconds per million lines. The collector turns back to back here; the
// thread's own pacing (4096 lines per 20 ms turn at most) is printed as the ceiling.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "bench_util.h"
#include "comm/dirutils.h"
#include "framework/config.h"
#include "framework/mod_manager.h"
#include "log_collector/log_collector.h"
#include "qxkiv/qxkiv.h"

namespace {

constexpr int kLines = 1'000'000;
std::atomic<long> g_delivered{0};

int count_upload(const char *, uint32_t, int32_t, uint32_t) {
    g_delivered.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

double thread_cpu_s() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Bytes the process has read so far (/proc/<pid>/io rchar).
long long rchar(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    std::string k;
    long long v;
    while (in >> k >> v)
        if (k == "rchar:") return v;
    return -1;
}

// growing: the writer appends while both read; backlog: the whole file is written first
// (after the collector has seen it empty), so both read as fast as they can.
void BM_LogCollectorVsTail(benchmark::State &state) {
    const bool backlog = state.range(0) == 1;
    char tmpl[] = "/tmp/kivlogbench.XXXXXX";
    std::string root = mkdtemp(tmpl);
    mkdir((root + "/config").c_str(), 0700);
    std::string file = root + "/app.log";
    std::ofstream(root + "/config/log_collector.conf")
        << "[global]\nmax_old_log_size = 0\nquota_per_log = 4194304\nmax_line_size = 32768\n"
           "collect_timeout = 20\ncollect_num_per_sec = 4096\n[file_path]\ncnt = 1\n"
           "appname0 = app\npath0 = "
        << file << "\n";
    std::ofstream(file).close();
    log_collector_set_conf_path((root + "/config/log_collector.conf").c_str());
    // A partly written chunk read at its end is logged at level 0; keep the figures clean.
    g_framework_config.log_level = -1;
    g_init_done = 1;
    register_upload_callback(count_upload);

    for (auto _ : state) {
        g_delivered = 0;
        log_collector_ctx ctx{};
        if (log_collector_init(&ctx) != 0) {
            state.SkipWithError("log_collector_init failed");
            break;
        }
        std::atomic<long long> bytes{0};
        auto write_all = [&] {
            int fd = open(file.c_str(), O_WRONLY | O_APPEND);
            std::string chunk;
            long long total = 0;
            for (int n = 0; n < kLines; n++) {
                chunk += "2026-01-02T03:04:05.678+00:00 host app[1234]: request " +
                         std::to_string(n) + " served in 12 ms status=200\n";
                if (chunk.size() >= 65536 || n == kLines - 1) {
                    total += write(fd, chunk.data(), chunk.size());
                    chunk.clear();
                }
            }
            close(fd);
            bytes = total;
        };
        if (backlog) write_all();
        pid_t tail = fork();
        if (tail == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execlp("tail", "tail", "-n", "+1", "-F", file.c_str(), (char *)nullptr);
            _exit(127);
        }
        double cpu_children0 = cpu_ms(RUSAGE_CHILDREN);
        double t0 = now_s();
        std::thread writer([&] {
            if (!backlog) write_all();
        });
        // tail -F is done when it has read every byte written.
        std::atomic<double> tail_s{-1};
        std::thread tail_watch([&] {
            for (int i = 0; i < 120000; i++) {
                long long b = bytes;
                if (b > 0 && rchar(tail) >= b) {
                    tail_s = now_s() - t0;
                    return;
                }
                usleep(500);
            }
        });
        double cpu0 = thread_cpu_s();
        while (g_delivered < kLines) {
            long before = g_delivered;
            if (report(&ctx) == 0) collect_log(&ctx);
            // Caught up with the writer: wait as the thread would, without its 20 ms pacing.
            if (g_delivered == before) usleep(1000);
        }
        double collector_s = now_s() - t0;
        double collector_cpu = thread_cpu_s() - cpu0;
        writer.join();
        tail_watch.join();
        kill(tail, SIGTERM);
        waitpid(tail, nullptr, 0);
        const double tail_secs = tail_s;
        double tail_cpu = (cpu_ms(RUSAGE_CHILDREN) - cpu_children0) / 1e3;
        log_collector_exit(&ctx);
        state.counters["collector_lines_per_s"] = kLines / collector_s;
        state.counters["tail_lines_per_s"] = tail_secs > 0 ? kLines / tail_secs : 0.0;
        state.counters["collector_cpu_s_per_M"] = collector_cpu / (kLines / 1e6);
        state.counters["tail_cpu_s_per_M"] = tail_cpu / (kLines / 1e6);
        printf(
            "%s: log collector: %d lines in %.2f s (%.0f lines/s, %.2f CPU s per million); "
            "tail -F: %.2f s (%.0f lines/s, %.2f CPU s per million); ratio %.2f; paced "
            "ceiling %d lines/s\n",
            backlog ? "backlog" : "growing", kLines, collector_s, kLines / collector_s,
            collector_cpu / (kLines / 1e6), tail_secs, tail_secs > 0 ? kLines / tail_secs : 0,
            tail_cpu / (kLines / 1e6), tail_secs > 0 ? tail_secs / collector_s : 0.0,
            4096 * 1000 / 20);
        unlink(file.c_str());
        std::ofstream(file).close();
        unlink((root + "/var/data/logcollector.state").c_str());
    }
    mod_manager_reset_callbacks();
    g_init_done = 0;
    log_collector_set_conf_path(nullptr);
    dirutils_rmdir(root.c_str());
}
BENCHMARK(BM_LogCollectorVsTail)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
