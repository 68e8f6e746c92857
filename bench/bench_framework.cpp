// One collector draining 256-byte records from the high ring through msg_entry to a no-op
// accept hook, against a plain loop copying the same bytes in and out. The hook path carries
// log calls at a disabled level (4), which must cost no formatting.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "framework/config.h"
#include "framework/hook.h"
#include "framework/reinject.h"
#include "framework/ring.h"
#include "framework/task.h"

namespace {

constexpr uint32_t kRecLen = 256;
constexpr int kBatch = 512;  // 128 KiB per batch in a 256 KiB ring

std::vector<unsigned char> make_exec_record() {
    std::vector<unsigned char> rec(kRecLen, 0x42);
    kiv_msg_hdr hdr{KIV_MSG_MAGIC, (uint16_t)kRecLen, EV_EXEC, 1234};
    memcpy(rec.data(), &hdr, sizeof(hdr));
    return rec;
}

int accept_hook(char *, kiv_msg_ctx *) {
    return MSG_HOOK_ACCEPT;
}

void BM_CollectorDrain(benchmark::State &state) {
    g_framework_config.log_level = 2;
    framework_resource_init();
    kiv_msg_hook hook{};
    hook.ev_mask = 1ull << EV_EXEC;
    hook.handler = accept_hook;
    register_msg_handler(&hook, 1);

    std::vector<uint64_t> mem((40 + KIV_HIGH_DATA) / 8 + 1);
    char *cursor = reinterpret_cast<char *>(mem.data());
    RING_NAME(high) = kiv_ring_init(&cursor, KIV_HIGH_DATA);
    kiv_task task{};
    task.task_no = 4;
    snprintf(task.name, sizeof(task.name), "KivCollector0");
    g_tasks = &task;
    g_tasks_num = 1;
    current = &task;

    auto rec = make_exec_record();
    alignas(8) char buf[KIV_MSG_MAX_LEN];
    for (auto _ : state) {
        for (int i = 0; i < kBatch; i++) __put_to_ring(RING_NAME(high), rec.data(), kRecLen);
        for (int i = 0; i < kBatch; i++) collector_turn(true, buf);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    if (RING_NAME(high)->get_cnt != RING_NAME(high)->put_cnt) state.SkipWithError("not drained");

    kiv_task_free_bak_msg(&task);
    current = nullptr;
    g_tasks = nullptr;
    g_tasks_num = 0;
    RING_NAME(high) = nullptr;
    unregister_msg_handler(&hook, 1);
    framework_resource_exit();
}
BENCHMARK(BM_CollectorDrain);

// Baseline: the same bytes into a ring-sized area and back out, nothing else.
void BM_PlainCopy(benchmark::State &state) {
    std::vector<unsigned char> area(KIV_HIGH_DATA);
    auto rec = make_exec_record();
    alignas(8) char buf[KIV_MSG_MAX_LEN];
    uint32_t off = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; i++) {
            memcpy(&area[off], rec.data(), kRecLen);
            off = (off + kRecLen) % (KIV_HIGH_DATA - kRecLen);
        }
        for (int i = 0; i < kBatch; i++) {
            memcpy(buf, &area[(off + i * kRecLen) % (KIV_HIGH_DATA - kRecLen)], kRecLen);
            benchmark::DoNotOptimize(buf);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_PlainCopy);

class RateReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> rates;
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end()) rates[r.benchmark_name()] = it->second.value;
        }
    }
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double drain = reporter.rates["BM_CollectorDrain"], copy = reporter.rates["BM_PlainCopy"];
    if (drain > 0 && copy > 0) {
        printf("collector drain: %.0f records/s (target >= 2000000)\n", drain);
        printf("plain copy:      %.0f records/s\n", copy);
        printf("ratio drain/copy: %.3f\n", drain / copy);
    }
    benchmark::Shutdown();
    return 0;
}
