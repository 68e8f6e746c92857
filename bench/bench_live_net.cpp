// CPU cost of the live network source: a child process makes 10,000 TCP connections to its
// own loopback listener (connect, accept, close) while the whole library watches in userspace
// mode. Reported per 10,000 connections: user + system time of this process (the sensor's
// threads and the stand-in's readers), the network programs' own run time in the kernel (the
// kernel's BPF statistics), beside the CPU time of the workload child itself in the same run.
// The waiting parent's own cost is measured once without the sensor and taken off.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "../tests/support/staged_tree.h"
#include "bench_util.h"
#include "framework/mod_manager.h"
#include "kernel/capture/common/kernel_access.h"
#include "kernel/capture/network.h"
#include "kernel/standin/producer.h"
#include "qxkiv/qxkiv.h"
#include "startup/startup.h"

namespace {

constexpr int kConns = 10000;
std::atomic<int64_t> s_records{0}, s_docs{0};

void count_record(const unsigned char *, uint32_t) {
    s_records.fetch_add(1, std::memory_order_relaxed);
}
int count_upload(const char *, uint32_t, int32_t type, uint32_t) {
    if (type == UPLOAD_NET_CONNECT) s_docs.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// The workload, in a child: a fresh listener (so earlier runs' closed connections never clash
// with this run's), then connect, accept and close, kConns times. Exit code 0 when all went.
[[noreturn]] void connect_loop() {
    int srv = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET, a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (srv < 0 || bind(srv, reinterpret_cast<sockaddr *>(&a), sizeof a) || listen(srv, 128) ||
        getsockname(srv, reinterpret_cast<sockaddr *>(&a), &len))
        _exit(2);
    for (int i = 0; i < kConns; i++) {
        int c = socket(AF_INET, SOCK_STREAM, 0);
        if (c < 0 || connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) _exit(3);
        int s = accept(srv, nullptr, nullptr);
        if (s < 0) _exit(4);
        // The accepting side closes first and keeps the closed connections' wait, on the
        // listener's port only, instead of on thousands of client ports.
        close(s);
        close(c);
    }
    _exit(0);
}

// CPU of this process and of the reaped child over one workload run; false if it failed.
bool run_once(double &self_ms, double &child_ms, bool sensor) {
    double s0 = cpu_ms(RUSAGE_SELF), c0 = cpu_ms(RUSAGE_CHILDREN);
    pid_t pid = fork();
    if (pid == 0) connect_loop();
    int status = -1;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return false;
    // The sensor works behind the connections: wait until its records stop (a full ring
    // holds them back while the collector catches up).
    for (int64_t last = -1; sensor && s_records.load() != last;) {
        last = s_records.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    self_ms = cpu_ms(RUSAGE_SELF) - s0, child_ms = cpu_ms(RUSAGE_CHILDREN) - c0;
    return true;
}

void BM_LiveNetSensorCpu(benchmark::State &state) {
    double waiter_ms, ignored;
    if (!run_once(waiter_ms, ignored, false)) {
        state.SkipWithError("the connection workload failed");
        return;
    }
    staged_tree tree{"kernel_mode = userspace\ncollector_task_num = 1\nlog_level = 1\n"};
    {
        // File activity is not measured here.
        std::ifstream fin(tree.file_conf());
        std::string conf{std::istreambuf_iterator<char>(fin), {}};
        for (const char *section : {"[file_filter]\ncnt = ", "[path_filter]\ncnt = "}) {
            size_t at = conf.find(section) + strlen(section);
            conf.replace(at, conf.find('\n', at) - at, "0");
        }
        std::ofstream(tree.file_conf()) << conf;
    }
    int stats_fd = live_bpf_enable_stats();
    if (sensor_init() != 0 || !live_net_running()) {
        if (live_net_running() || g_init_done) sensor_exit();
        if (stats_fd >= 0) close(stats_fd);
        state.SkipWithError("the network source did not start (needs root, BTF, cgroup v2)");
        return;
    }
    g_init_done = 1;
    register_upload_callback(count_upload);
    sensor_switch(1);
    live_net_set_tap(count_record);
    capture_counters c0, c1;
    live_net_run_stats(&c0);
    s_records = 0, s_docs = 0;
    double sensor_total = 0, workload_total = 0;
    int runs = 0;
    bool failed = false;
    for (auto _ : state) {
        double self_ms, child_ms;
        if (!run_once(self_ms, child_ms, true)) {
            failed = true;
            break;
        }
        sensor_total += self_ms - waiter_ms, workload_total += child_ms;
        runs++;
    }
    bool have_bpf = live_net_run_stats(&c1);
    const uint64_t ns0 = c0.run_ns, cnt0 = c0.run_cnt, ns1 = c1.run_ns, cnt1 = c1.run_cnt;
    live_net_set_tap(nullptr);
    sensor_exit();
    g_init_done = 0;
    if (stats_fd >= 0) close(stats_fd);
    if (failed || runs == 0) {
        state.SkipWithError("the connection workload failed");
        return;
    }
    double bpf_ms = have_bpf ? (double)(ns1 - ns0) / 1e6 / runs : 0;
    state.counters["sensor_cpu_ms_per_10k"] = sensor_total / runs;
    state.counters["bpf_prog_ms_per_10k"] = bpf_ms;
    state.counters["bpf_prog_runs_per_10k"] = have_bpf ? (double)(cnt1 - cnt0) / runs : 0;
    state.counters["sensor_plus_bpf_ms_per_10k"] = sensor_total / runs + bpf_ms;
    state.counters["workload_cpu_ms_per_10k"] = workload_total / runs;
    state.counters["waiter_cpu_ms"] = waiter_ms;
    state.counters["sensor_vs_workload"] = (sensor_total / runs + bpf_ms) / (workload_total / runs);
    state.counters["records_per_10k"] = (double)s_records.load() / runs;
    state.counters["connection_docs_per_10k"] = (double)s_docs.load() / runs;
}
BENCHMARK(BM_LiveNetSensorCpu)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
