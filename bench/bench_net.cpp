// Network connection records end to end through the stand-in (UDP sends of one known process
// to distinct destinations, so nothing merges, one collector thread), beside building and
// printing the same documents from prepared fields with cJSON; and the DNS answer parser on
// the captured real replies.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/proc_bytes.h"
#include "../tests/support/e2e_host.h"
#include "bench_util.h"
#include "../tests/support/staged_tree.h"
#include "comm/json_add.h"
#include "framework/mod_manager.h"
#include "net/dns_parse.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"
#include "startup/startup.h"

namespace {

constexpr uint32_t kBatch = 512;
std::atomic<int64_t> s_docs{0};

int count_upload(const char *, uint32_t, int32_t type, uint32_t) {
    if (type == UPLOAD_NET_CONNECT) s_docs.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// A UDP send from 10.0.0.5:5000 to the n-th address of 10.64.0.0/10, port 9000.
std::vector<unsigned char> udp_record(uint32_t n) {
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(68), w.u16(5), w.u32(300), w.u32(0);
    w.u64(5300), w.u32(300), w.u16(2), w.u16(17);
    w.u8(5000 >> 8), w.u8(5000 & 0xff), w.u8(9000 >> 8), w.u8(9000 & 0xff);
    uint32_t src = htonl(0x0a000005), dst = htonl(0x0a400000 + n);
    w.u32(src), w.u32(0), w.u32(0), w.u32(0);
    w.u32(dst), w.u32(0), w.u32(0), w.u32(0);
    return w.b;
}

void BM_PipelineNetConnections(benchmark::State &state) {
    staged_tree tree{"kernel_mode = emulated\ncollector_task_num = 1\nlog_level = 0\n"};
    staged_tree::set_keys(tree.net_conf(),
                          "net_speed_hash_size = 524288\nnet_total_hash_size = 524288\n"
                          "net_total_hash_increase_gap = 524288\n"
                          "net_total_upload_limit = 1000000000\n");
    if (!host_start(count_upload)) {
        state.SkipWithError("sensor_init failed");
        return;
    }
    inject_root_process(300, 5300, "/usr/bin/sender --all", "/bin/true");
    pipeline_batches(state, s_docs, kBatch, KEMU_RING_MID,
                     [](uint64_t n) { return udp_record((uint32_t)(n % (1u << 19))); });
    sensor_exit();
    g_init_done = 0;
}
BENCHMARK(BM_PipelineNetConnections)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same document's keys and values, from prepared fields.
void BM_JsonOnlyNetConnections(benchmark::State &state) {
    uint32_t n = 0;
    const std::string guid(20, 'g'), md5(32, '7'), sha(64, '7');
    for (auto _ : state) {
        for (uint32_t i = 0; i < kBatch; i++, n++) {
            upload_header h;
            get_log_ctm_header(&h);
            cJSON *root = cJSON_CreateObject(), *m = cJSON_CreateObject();
            in_addr a{htonl(0x0a400000 + n % (1u << 19))};
            char dip[16];
            inet_ntop(AF_INET, &a, dip, sizeof dip);
            add_str(m, "record_time", h.send_time);
            cJSON_AddNumberToObject(m, "record_timestamp", (double)h.send_timestamp);
            add_str(m, "event_id", "NETWORK_CONNECTION");
            add_str(m, "event_name", "Network Connection");
            add_int(m, "process_id", 300), add_str(m, "process_guid", guid.c_str());
            add_str(m, "process_path", "/bin/true"), add_str(m, "process_md5", md5.c_str());
            add_str(m, "process_sha256", sha.c_str()), add_u64(m, "process_createtime", 5300);
            add_str(m, "process_cmd_line", "/usr/bin/sender --all");
            add_str(m, "process_group_name", "root"), add_str(m, "process_user_name", "root");
            add_str(m, "process_path_permit", "rwxr-xr-x"), add_str(m, "protocol", "udp");
            add_str(m, "src_ip", "10.0.0.5"), add_u64(m, "src_port", 5000);
            add_str(m, "dst_ip", dip), add_u64(m, "dst_port", 9000);
            add_int(m, "connect", 1), add_int(m, "direction", 1);
            add_str(m, "container_id", "host");
            cJSON_AddItemToObject(m, "proc_trees", cJSON_CreateArray());
            format_upload_header(root, m, &h);
            char *text = cJSON_PrintUnformatted(root);
            benchmark::DoNotOptimize(text);
            cJSON_free(text);
            cJSON_Delete(root);
        }
    }
    state.counters["docs/s"] = benchmark::Counter(static_cast<double>(state.iterations() * kBatch),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_JsonOnlyNetConnections)->Unit(benchmark::kMillisecond)->UseRealTime();

std::vector<unsigned char> vector_bytes(const char *name) {
    std::string src = __FILE__;
    src.resize(src.rfind("bench/"));
    std::ifstream in(src + "tests/data/dns/" + name + ".bin", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Messages per second over the real replies, round robin.
void BM_DnsAnswerParser(benchmark::State &state) {
    std::vector<std::vector<unsigned char>> msgs;
    // The replies that carry addresses; a refused reply costs a log line instead.
    for (const char *v : {"a_single", "a_cname_chain", "a_many", "a_edns", "mx_with_glue"})
        msgs.push_back(vector_bytes(v));
    for (auto &m : msgs)
        if (m.empty()) {
            state.SkipWithError("DNS vectors missing");
            return;
        }
    size_t i = 0;
    char name[DNSA_NAME_LEN];
    for (auto _ : state) {
        const auto &m = msgs[i++ % msgs.size()];
        dnsa_record *list = dnsa_get_response_ip(m.data(), (int)m.size(), name, sizeof name);
        benchmark::DoNotOptimize(list);
        dnsa_clean(list);
    }
    state.counters["msgs/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DnsAnswerParser);

}  // namespace

BENCHMARK_MAIN();
