// Block reports end to end through the stand-in (reports of 256 distinct processes known to
// the fork tree, on distinct target files held in the page cache, one collector thread),
// beside building and printing the same documents from prepared fields with cJSON.
#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/block_bytes.h"
#include "../tests/support/staged_tree.h"
#include "comm/json_add.h"
#include "framework/mod_manager.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"
#include "startup/startup.h"
#include "bench_util.h"

namespace {

constexpr uint32_t kBatch = 512;
constexpr uint32_t kProcs = 256;
constexpr uint32_t kPidBase = 4195000, kParent = 4194999;  // above any pid_max: not in /proc
std::atomic<int64_t> s_docs{0}, s_execs{0};

int count_upload(const char *, uint32_t, int32_t type, uint32_t) {
    if (type == UPLOAD_SELF_PROTECT_BLOCK) s_docs.fetch_add(1, std::memory_order_relaxed);
    if (type == UPLOAD_PROC_EXEC) s_execs.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

std::string target_path(const std::string &root, uint32_t i) {
    return root + "/targets/t" + std::to_string(i);
}

block_bytes::block_rec report(const std::string &root, uint32_t n, uint16_t type,
                              uint32_t targets) {
    block_bytes::block_rec r;
    r.type = type, r.opr = 5, r.group = 6;
    r.dport = (uint16_t)n;
    r.pid = kPidBase + n % kProcs, r.ppid = kParent;
    r.text[0] = "/usr/bin/writer" + std::to_string(n % kProcs);
    r.text[1] = target_path(root, n % targets);
    return r;
}

void BM_PipelineBlockReports(benchmark::State &state) {
    staged_tree tree{"kernel_mode = emulated\ncollector_task_num = 1\nlog_level = 0\n"};
    mkdir((tree.root + "/targets").c_str(), 0755);
    const auto type = (uint16_t)state.range(0);
    const std::string content((size_t)state.range(1), 'x');
    const auto targets = (uint32_t)state.range(2);
    for (uint32_t i = 0; i < targets; i++) {
        std::ofstream(target_path(tree.root, i)) << content;
        std::ifstream in(target_path(tree.root, i));  // into the page cache
        std::string s{std::istreambuf_iterator<char>(in), {}};
    }
    // Digests are remembered only for files unchanged for two seconds.
    if (type == 24) std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    if (sensor_init() != 0) {
        state.SkipWithError("sensor_init failed");
        return;
    }
    s_execs = 0;  // counts on across the benchmark's repeated runs
    g_init_done = 1;
    register_upload_callback(count_upload);
    sensor_switch(1);
    // The parent and every acting process are known, their creations already reported.
    auto exec = [](uint32_t pid, uint32_t ppid, uint64_t ct, uint64_t pct) {
        proc_fields f;
        f.pid = pid, f.ppid = ppid, f.create_time = ct, f.parent_create_time = pct;
        f.uid[1] = f.gid[1] = 0;
        f.s[0] = "/usr/bin/writer --out " + std::to_string(pid), f.s[1] = "/";
        f.s[2] = "/usr/bin/writer";
        auto rec = process_record(f);
        while (kemu_inject(KEMU_RING_HIGH, rec.data(), (uint32_t)rec.size()) == KEMU_FULL)
            std::this_thread::yield();
    };
    exec(kParent, 1, 9000, 0);
    for (uint32_t i = 0; i < kProcs; i++) exec(kPidBase + i, kParent, 9100 + i, 9000);
    while (s_execs.load() < (int64_t)kProcs + 1) std::this_thread::yield();

    std::vector<block_bytes::bytes> recs;
    for (uint32_t i = 0; i < 4 * std::max(kProcs, targets); i++)
        recs.push_back(block_bytes::build(report(tree.root, i, type, targets)));
    pipeline_batches(state, s_docs, kBatch, KEMU_RING_LOW,
                     [&recs](uint64_t n) { return recs[n % recs.size()]; });
    sensor_exit();
    g_init_done = 0;
}
// File reports on targets of 1 KiB (a protected configuration file) and of 4 KiB: 64 targets
// reported again and again (their digests remembered), or 4096 (every report hashes, as
// each collector remembers 256 digests); and network reports, which touch no file.
BENCHMARK(BM_PipelineBlockReports)
    ->Args({24, 1024, 64})
    ->Args({24, 4096, 64})
    ->Args({24, 1024, 4096})
    ->Args({24, 4096, 4096})
    ->Args({26, 0, 64})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The same documents' keys and values, from prepared fields.
void BM_JsonOnlyBlockReports(benchmark::State &state) {
    uint32_t n = 0;
    const std::string md5(32, '7');
    for (auto _ : state) {
        for (uint32_t i = 0; i < kBatch; i++, n++) {
            cJSON *o = cJSON_CreateObject();
            std::string path = target_path("/tmp/kivstage.XXXXXX", n % 64);
            std::string exe = "/usr/bin/writer" + std::to_string(n % kProcs);
            std::string cmd = "/usr/bin/writer --out " + std::to_string(kPidBase + n % kProcs);
            time_t now = time(nullptr);
            add_int(o, "v", 100), add_int(o, "recordTimestamp", (int64_t)now);
            add_int(o, "uploadTimestamp", (int64_t)now), add_str(o, "group", "FILE_PROTECT");
            add_int(o, "ruleId", 7), add_str(o, "eventType", state.range(0) == 26 ? "net" : "file"),
                add_str(o, "action", "block");
            if (state.range(0) == 26) {
                add_str(o, "eventOpr", "outbound"), add_str(o, "protocol", "tcp");
                add_str(o, "srcIp", "10.0.0.5"), add_int(o, "srcPort", 40000);
                add_str(o, "dstIp", "93.184.216.34"), add_int(o, "dstPort", n & 0xffff);
            } else {
                add_str(o, "fileType", ""), add_str(o, "fileCluster", "");
                add_str(o, "filePath", path.c_str()), add_int(o, "fileCtime", (int64_t)now);
                add_int(o, "fileAtime", (int64_t)now), add_str(o, "filePermission", "rw-r--r--");
                add_str(o, "fileGrp", "root"), add_int(o, "fileSize", 1024);
                add_str(o, "fileHash", md5.c_str()), add_str(o, "eventOpr", "modify");
            }
            add_int(o, "sPId", kPidBase + n % kProcs), add_str(o, "sPName", "evil");
            add_str(o, "sPUser", "root"), add_str(o, "sPCommand", cmd.c_str());
            add_str(o, "sPFilePath", exe.c_str()), add_int(o, "sPStartTime", 0);
            add_int(o, "sPpId", kParent), add_str(o, "sPpName", "bash");
            add_str(o, "sPpUser", "root"),
                add_str(o, "sPpCommand", "/usr/bin/writer --out 4194999");
            add_str(o, "sPpFilePath", "/usr/bin/writer"), add_int(o, "sPpStartTime", 0);
            char *text = cJSON_PrintUnformatted(o);
            benchmark::DoNotOptimize(text);
            cJSON_free(text);
            cJSON_Delete(o);
        }
    }
    state.counters["docs/s"] = benchmark::Counter(static_cast<double>(state.iterations() * kBatch),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_JsonOnlyBlockReports)->Arg(24)->Arg(26)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
