// CPU cost of the live process sources: 1,000 real execs (half lasting 12 ms, half exiting at
// once) watched through the eBPF programs or the connector and the whole library, as user +
// system time of this process per 1,000 execs, plus the BPF programs' own run time in the
// kernel (the kernel's BPF statistics), beside the CPU time of the workload itself (its
// children) in the same run. The spawning loop's own cost is measured once without the sensor
// and taken off. "complete" counts creation documents with path, command line and digests.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "../tests/support/live_workload.h"
#include "../tests/support/staged_tree.h"
#include "bench_util.h"
#include "framework/mod_manager.h"
#include "kernel/capture/common/kernel_access.h"
#include "kernel/standin/standin.h"
#include "qxkiv/qxkiv.h"
#include "startup/startup.h"

namespace {

constexpr int kExecs = 1000;
std::atomic<int64_t> s_created{0}, s_complete{0};
std::string s_tag;  // command lines of this run's children hold it

int count_upload(const char *text, uint32_t len, int32_t type, uint32_t) {
    if (type != UPLOAD_PROC_EXEC) return 0;
    std::string_view doc(text, len);
    if (s_tag.empty() || doc.find(s_tag) == std::string_view::npos) return 0;
    s_created.fetch_add(1, std::memory_order_relaxed);
    if (doc.find("\"process_path\":\"\"") == std::string_view::npos &&
        doc.find("\"process_md5\":\"\"") == std::string_view::npos)
        s_complete.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// CPU of this process and of the reaped children over one workload run.
void run_once(const std::string &prefix, double &self_ms, double &child_ms) {
    double s0 = cpu_ms(RUSAGE_SELF), c0 = cpu_ms(RUSAGE_CHILDREN);
    s_tag = prefix + "-";
    run_live_workload(kExecs, 50, 12, prefix);
    // The sensor works behind the events: wait until its reports stop.
    for (int64_t last = -1; s_created.load() != last;) {
        last = s_created.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    self_ms = cpu_ms(RUSAGE_SELF) - s0, child_ms = cpu_ms(RUSAGE_CHILDREN) - c0;
}

// Arg: 1 eBPF, 2 connector.
void BM_LiveProcSensorCpu(benchmark::State &state) {
    const bool ebpf = state.range(0) == 1;
    std::string prefix =
        std::string("kivbench-") + (ebpf ? "ebpf-" : "conn-") + std::to_string(getpid());
    double spawner_ms, ignored;
    run_once(prefix + "-base", spawner_ms, ignored);

    staged_tree tree{std::string("kernel_mode = userspace\ncollector_task_num = 1\nlog_level = "
                                 "1\nuserspace_source = ") +
                     (ebpf ? "ebpf" : "connector") + "\n"};
    int stats_fd = ebpf ? live_bpf_enable_stats() : -1;
    if (sensor_init() != 0) {
        if (stats_fd >= 0) close(stats_fd);
        state.SkipWithError(ebpf ? "eBPF source did not start (needs root, BTF, ring buffers)"
                                 : "connector did not start (needs root or CAP_NET_ADMIN)");
        return;
    }
    g_init_done = 1;
    register_upload_callback(count_upload);
    sensor_switch(1);
    // The running process source's own counters, as the stand-in sees it.
    const capture_source *src = standin_process_source();
    auto counters = [src](capture_counters *c) { return src && src->counters && src->counters(c); };
    capture_counters c0, c1;
    counters(&c0);
    s_created = 0, s_complete = 0;
    double sensor_total = 0, workload_total = 0;
    int runs = 0;
    for (auto _ : state) {
        double self_ms, child_ms;
        run_once(prefix + "-" + std::to_string(runs), self_ms, child_ms);
        sensor_total += self_ms - spawner_ms, workload_total += child_ms;
        runs++;
    }
    bool have_bpf = counters(&c1);
    const uint64_t ns0 = c0.run_ns, cnt0 = c0.run_cnt, ns1 = c1.run_ns, cnt1 = c1.run_cnt;
    sensor_exit();
    g_init_done = 0;
    if (stats_fd >= 0) close(stats_fd);
    double bpf_ms = have_bpf ? (double)(ns1 - ns0) / 1e6 / runs : 0;
    state.counters["sensor_cpu_ms_per_1000"] = sensor_total / runs;
    state.counters["bpf_prog_ms_per_1000"] = bpf_ms;
    state.counters["bpf_prog_runs_per_1000"] = have_bpf ? (double)(cnt1 - cnt0) / runs : 0;
    state.counters["sensor_plus_bpf_ms_per_1000"] = sensor_total / runs + bpf_ms;
    state.counters["workload_cpu_ms_per_1000"] = workload_total / runs;
    state.counters["spawner_cpu_ms_per_1000"] = spawner_ms;
    state.counters["sensor_vs_workload"] = (sensor_total / runs + bpf_ms) / (workload_total / runs);
    state.counters["complete_per_1000"] = (double)s_complete.load() / runs;
    state.counters["reported_per_1000"] = (double)s_created.load() / runs;
}
BENCHMARK(BM_LiveProcSensorCpu)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
