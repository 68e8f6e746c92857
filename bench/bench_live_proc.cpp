// CPU cost of the live process source: 1,000 real execs (half lasting 12 ms, half exiting at
// once) watched through the connector and the whole library, as user + system time of this
// process per 1,000 execs, beside the CPU time of the workload itself (its children) in the
// same run. The spawning loop's own cost is measured once without the sensor and taken off.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "../tests/support/live_workload.h"
#include "../tests/support/staged_tree.h"
#include "framework/mod_manager.h"
#include "startup/startup.h"
#include "qxkiv/qxkiv.h"

namespace {

constexpr int kExecs = 1000;
std::atomic<int64_t> s_created{0};

int count_upload(const char *, uint32_t, int32_t type, uint32_t) {
    if (type == UPLOAD_PROC_EXEC) s_created.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

double cpu_ms(int who) {
    rusage ru{};
    getrusage(who, &ru);
    auto ms = [](const timeval &t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(ru.ru_utime) + ms(ru.ru_stime);
}

// CPU of this process and of the reaped children over one workload run.
void run_once(const std::string &prefix, double &self_ms, double &child_ms) {
    double s0 = cpu_ms(RUSAGE_SELF), c0 = cpu_ms(RUSAGE_CHILDREN);
    run_live_workload(kExecs, 50, 12, prefix);
    // The sensor works behind the events: wait until its reports stop.
    for (int64_t last = -1; s_created.load() != last;) {
        last = s_created.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    self_ms = cpu_ms(RUSAGE_SELF) - s0, child_ms = cpu_ms(RUSAGE_CHILDREN) - c0;
}

void BM_LiveProcSensorCpu(benchmark::State &state) {
    std::string prefix = "kivbench-" + std::to_string(getpid());
    double spawner_ms, ignored;
    run_once(prefix + "-base", spawner_ms, ignored);

    staged_tree tree{"kernel_mode = userspace\ncollector_task_num = 1\nlog_level = 1\n"};
    if (sensor_init() != 0) {
        state.SkipWithError("sensor did not start in userspace mode (needs root or CAP_NET_ADMIN)");
        return;
    }
    g_init_done = 1;
    register_upload_callback(count_upload);
    sensor_switch(1);
    double sensor_total = 0, workload_total = 0;
    int runs = 0;
    for (auto _ : state) {
        double self_ms, child_ms;
        run_once(prefix + "-" + std::to_string(runs), self_ms, child_ms);
        sensor_total += self_ms - spawner_ms, workload_total += child_ms;
        runs++;
    }
    sensor_exit();
    g_init_done = 0;
    state.counters["sensor_cpu_ms_per_1000"] = sensor_total / runs;
    state.counters["workload_cpu_ms_per_1000"] = workload_total / runs;
    state.counters["spawner_cpu_ms_per_1000"] = spawner_ms;
    state.counters["sensor_vs_workload"] = sensor_total / workload_total;
    state.counters["reported"] = (double)s_created.load();
}
BENCHMARK(BM_LiveProcSensorCpu)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
