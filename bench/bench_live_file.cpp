// CPU cost of the live file source: a child process creates and deletes 10,000 files in a
// watched directory; the sensor (fanotify reader, rings, file module, uploads) is this
// process, measured as user + system time per 10,000 creations + deletions, beside the CPU
// of the workload itself (the child) in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/staged_tree.h"
#include "bench_util.h"
#include "base/mem.h"
#include "framework/mod_manager.h"
#include "kernel/capture/fanotify_files.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"
#include "startup/startup.h"

namespace {

constexpr int kFiles = 10000;
std::atomic<int64_t> s_docs{0};

int count_upload(const char *, uint32_t, int32_t type, uint32_t) {
    if (type == UPLOAD_FILE_CRATE || type == UPLOAD_FILE_DELETE)
        s_docs.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// The child creates (empty, so no close-after-write typing) and deletes each file.
void workload(const std::vector<std::string> &names) {
    pid_t pid = fork();
    if (pid == 0) {
        for (const std::string &n : names) {
            int fd = open(n.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd >= 0) close(fd);
            unlink(n.c_str());
        }
        _exit(0);
    }
    int status;
    waitpid(pid, &status, 0);
}

void BM_LiveFileSensorCpu(benchmark::State &state) {
    char tmpl[] = "/tmp/kivbenchfile.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::vector<std::string> names;
    for (int i = 0; i < kFiles; i++) names.push_back(dir + "/f" + std::to_string(i));
    staged_tree tree{"kernel_mode = userspace\ncollector_task_num = 1\nlog_level = 1\n"};
    {
        std::ifstream in(tree.file_conf());
        std::string conf{std::istreambuf_iterator<char>(in), {}};
        auto set = [&](const std::string &section, const std::string &body) {
            size_t at = conf.find(section + "\ncnt = ") + section.size() + 1;
            conf.replace(at, conf.find('\n', at) - at, body);
        };
        set("[file_filter]", "cnt = 0");
        set("[path_filter]", "cnt = 1");
        conf.replace(conf.find("path_0 = /etc\n"), 14, "path_0 = " + dir + "\n");
        for (const char *key : {"upload_event_cnt = 20000", "upload_event_hour_cnt = 100"}) {
            size_t at = conf.find(key);
            if (at != std::string::npos)
                conf.replace(at, strlen(key), std::string(key, strchr(key, '=') + 2) + "0");
        }
        std::ofstream(tree.file_conf()) << conf;
    }
    if (sensor_init() != 0 || !live_file_running()) {
        sensor_exit();
        rmdir(dir.c_str());
        state.SkipWithError("live file source did not start (needs root and fanotify)");
        return;
    }
    g_init_done = 1;
    register_upload_callback(count_upload);
    sensor_switch(1);
    double sensor_total = 0, workload_total = 0;
    int runs = 0;
    for (auto _ : state) {
        double s0 = cpu_ms(RUSAGE_SELF), c0 = cpu_ms(RUSAGE_CHILDREN);
        workload(names);
        for (int64_t last = -1; s_docs.load() != last;) {
            last = s_docs.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        sensor_total += cpu_ms(RUSAGE_SELF) - s0, workload_total += cpu_ms(RUSAGE_CHILDREN) - c0;
        runs++;
    }
    struct kemu_ring_stats mid {};
    kemu_ring_stats(KEMU_RING_MID, &mid);
    sensor_exit();
    g_init_done = 0;
    rmdir(dir.c_str());
    state.counters["ring_full_per_run"] = (double)mid.full_cnt / runs;
    state.counters["sensor_cpu_ms_per_10000"] = sensor_total / runs;
    state.counters["workload_cpu_ms_per_10000"] = workload_total / runs;
    state.counters["sensor_vs_workload"] = sensor_total / workload_total;
    state.counters["docs_per_run"] = (double)s_docs.load() / runs;
    state.counters["file_records_per_run"] = (double)kiv_stat_get(FILE_EVENT_CNT) / runs;
    state.counters["query_failed_per_run"] = (double)kiv_stat_get(FILE_QUERY_PID_FAIL) / runs;
}
BENCHMARK(BM_LiveFileSensorCpu)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
