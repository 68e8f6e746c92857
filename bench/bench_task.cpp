// Process creations end to end through the stand-in (fork + exec + exit of distinct processes,
// from kemu_inject to the host's upload callback, one collector thread), beside the baseline
// of building and printing the same creation documents from prepared process_st with cJSON.
#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "../tests/support/proc_bytes.h"
#include "../tests/support/staged_tree.h"
#include "framework/mod_manager.h"
#include "startup/startup.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"
#include "task/task.h"
#include "task/task_record.h"

namespace {

constexpr uint32_t kBatch = 256;  // triples in flight; well inside the high ring
std::atomic<int64_t> s_created{0};
std::atomic<int64_t> s_exited{0};

int count_upload(const char *, uint32_t, int32_t type, uint32_t) {
    if (type == UPLOAD_PROC_EXEC) s_created.fetch_add(1, std::memory_order_relaxed);
    if (type == UPLOAD_PROC_EXIT) s_exited.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

std::vector<unsigned char> message(uint16_t type, uint32_t pid,
                                   const std::vector<unsigned char> &body) {
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(16 + body.size()), w.u16(type), w.u32(pid), w.u32(0);
    w.b.insert(w.b.end(), body.begin(), body.end());
    return w.b;
}

proc_fields fields(uint32_t pid, uint32_t ppid, uint64_t ct, uint64_t pct) {
    proc_fields f;
    f.pid = pid, f.ppid = ppid, f.create_time = ct, f.parent_create_time = pct;
    f.s[0] = "/bin/true --job " + std::to_string(ct);
    f.s[1] = "/tmp", f.s[2] = "/bin/true";
    return f;
}

void BM_PipelineCreations(benchmark::State &state) {
    staged_tree tree{"kernel_mode = emulated\ncollector_task_num = 1\nlog_level = 0\n"};
    {
        std::ifstream in(tree.task_conf());
        std::string text{std::istreambuf_iterator<char>(in), {}};
        text.replace(text.find("task_create_cnt_second = 1000"), 29, "task_create_cnt_second = 0");
        std::ofstream(tree.task_conf()) << text;
    }
    if (sensor_init() != 0) {
        state.SkipWithError("sensor_init failed");
        return;
    }
    // The counters run on across the benchmark's repeated runs; each run counts its own.
    s_created = 0, s_exited = 0;
    g_init_done = 1;
    register_upload_callback(count_upload);
    sensor_switch(1);
    // The parent, and a warm digest cache for /bin/true.
    auto parent = message(1, 50, build_proc(fields(50, 1, 50, 1)));
    kemu_inject(KEMU_RING_HIGH, parent.data(), parent.size());
    uint64_t ct = 1000;
    int64_t expected = 1;
    while (s_created.load() < expected) std::this_thread::yield();
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (uint32_t i = 0; i < kBatch; i++, ct++) {
            uint32_t pid = 10000 + static_cast<uint32_t>(ct % 30000);
            auto f = fields(pid, 50, ct, 50);
            auto body = build_proc(f);
            auto fork = message(0, pid, body), exec = message(1, pid, body);
            proc_bytes ex;
            ex.u64(ct), ex.u32(pid), ex.u16(2), ex.u8(0);
            auto exit = message(2, pid, ex.b);
            while (kemu_inject(KEMU_RING_HIGH, fork.data(), fork.size()) == KEMU_FULL)
                std::this_thread::yield();
            while (kemu_inject(KEMU_RING_HIGH, exec.data(), exec.size()) == KEMU_FULL)
                std::this_thread::yield();
            while (kemu_inject(KEMU_RING_HIGH, exit.data(), exit.size()) == KEMU_FULL)
                std::this_thread::yield();
        }
        expected += kBatch;
        // One batch may stay in flight, so that the collector never waits for the feeder.
        while (s_created.load(std::memory_order_relaxed) < expected - (int64_t)kBatch)
            std::this_thread::yield();
    }
    while (s_created.load(std::memory_order_relaxed) < expected) std::this_thread::yield();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.counters["creations/s"] = (double)(expected - 1) / secs;
    // Exit documents printed during the run, per creation (the baseline prints one each).
    state.counters["exits/creation"] =
        static_cast<double>(s_exited.load()) / static_cast<double>(s_created.load());
    sensor_exit();
    g_init_done = 0;
}
BENCHMARK(BM_PipelineCreations)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_JsonOnlyCreations(benchmark::State &state) {
    static process_st items[2];
    for (int i = 0; i < 2; i++) {
        process_st &p = items[i];
        process_st_init(&p);
        p.pid = 10000 + i, p.ppid = i ? 1 : 10001, p.createtime = 1000 + i;
        snprintf(p.path, sizeof p.path, "/bin/true");
        snprintf(p.cmd_line, sizeof p.cmd_line, "/bin/true --job %d", 1000 + i);
        snprintf(p.current_dir, sizeof p.current_dir, "/tmp");
        snprintf(p.md5, sizeof p.md5, "%032d", 7);
        snprintf(p.sha256, sizeof p.sha256, "%064d", 7);
        snprintf(p.user_name, sizeof p.user_name, "root");
        snprintf(p.group_name, sizeof p.group_name, "root");
        process_guid_build(p.guid, p.pid, p.createtime, p.cmd_line, strlen(p.cmd_line));
    }
    // The pipeline also prints one exit document per process (the exit queue overflows at
    // once under this load), so the baseline prints it too, from a prepared fork record.
    static raw_process_buf raw;
    auto body = build_proc(fields(10000, 10001, 1000, 1001));
    process_info_st info{};
    static common_proc_info common{};
    if (raw_process_info_decode(body.data(), body.size(), &raw.info, sizeof raw) != 0 ||
        process_info_init(&info, &raw.info, 1, 1) != 0 ||
        init_common_proc_info(&info, &common) != 0) {
        state.SkipWithError("cannot prepare the exit record");
        return;
    }
    fork_info_st fork{};
    fork.create_time = 1000, fork.pid = 10000, fork.ppid = 10001, fork.exec_info = &common;
    for (auto _ : state) {
        for (uint32_t i = 0; i < kBatch; i++) {
            cJSON *exit_doc = upload_exit_info_build(&fork);
            char *exit_text = cJSON_PrintUnformatted(exit_doc);
            benchmark::DoNotOptimize(exit_text);
            cJSON_free(exit_text);
            cJSON_Delete(exit_doc);
            cJSON *envelope = cJSON_CreateObject(), *message = cJSON_CreateObject();
            format_upload_info(0, message, envelope, &items[0]);
            format_upload_info(1, message, envelope, &items[1]);
            cJSON_AddItemToObject(message, "proc_trees", cJSON_CreateArray());
            char *text = cJSON_PrintUnformatted(envelope);
            benchmark::DoNotOptimize(text);
            cJSON_free(text);
            cJSON_Delete(envelope);
        }
    }
    state.counters["creations/s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kBatch), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_JsonOnlyCreations)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
