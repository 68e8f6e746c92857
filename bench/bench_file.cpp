// File events end to end through the stand-in (deletions of distinct paths by one known
// process, from kemu_inject to the host's upload callback, one collector thread), beside the
// baseline of building and printing the same documents from prepared fields with cJSON.
#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "../tests/support/proc_bytes.h"
#include "../tests/support/e2e_host.h"
#include "bench_util.h"
#include "../tests/support/staged_tree.h"
#include "comm/json_add.h"
#include "framework/mod_manager.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"
#include "startup/startup.h"

namespace {

constexpr uint32_t kBatch = 512;
std::atomic<int64_t> s_docs{0};

int count_upload(const char *, uint32_t, int32_t type, uint32_t) {
    if (type == UPLOAD_FILE_DELETE) s_docs.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

std::vector<unsigned char> delete_record(uint16_t id, const std::string &path) {
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(0), w.u16(14), w.u32(300), w.u32(0);
    w.u64(5300), w.u64(1700000001), w.u64(1700000002), w.u64(1700000003);
    w.u32(300), w.u32(0), w.u32(0), w.u16(0100644), w.u16(id), w.u8(0);
    w.u16((uint32_t)path.size() + 1);
    w.b.insert(w.b.end(), path.begin(), path.end());
    w.u8(0);
    w.b[4] = (unsigned char)w.b.size(), w.b[5] = (unsigned char)(w.b.size() >> 8);
    return w.b;
}

void BM_PipelineFileEvents(benchmark::State &state) {
    staged_tree tree{"kernel_mode = emulated\ncollector_task_num = 1\nlog_level = 0\n"};
    {
        std::ifstream in(tree.file_conf());
        std::string text{std::istreambuf_iterator<char>(in), {}};
        for (const char *key : {"upload_event_cnt = 20000", "upload_event_hour_cnt = 100"}) {
            size_t at = text.find(key);
            if (at != std::string::npos)
                text.replace(at, strlen(key), std::string(key, strchr(key, '=') + 2) + "0");
        }
        std::ofstream(tree.file_conf()) << text;
    }
    if (!host_start(count_upload)) {
        state.SkipWithError("sensor_init failed");
        return;
    }
    inject_root_process(300, 5300, "/usr/bin/cleaner --all", "/bin/true");
    pipeline_batches(state, s_docs, kBatch, KEMU_RING_MID, [](uint64_t n) {
        return delete_record((uint16_t)(n + 1), "/srv/data/file-" + std::to_string(n) + ".txt");
    });
    sensor_exit();
    g_init_done = 0;
}
BENCHMARK(BM_PipelineFileEvents)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same document's keys and values, from prepared fields.
void BM_JsonOnlyFileEvents(benchmark::State &state) {
    uint64_t n = 0;
    const std::string guid(20, 'g'), md5(32, '7'), sha(64, '7');
    for (auto _ : state) {
        for (uint32_t i = 0; i < kBatch; i++, n++) {
            upload_header h;
            get_log_ctm_header(&h);
            cJSON *root = cJSON_CreateObject(), *m = cJSON_CreateObject();
            std::string name = "/srv/data/file-" + std::to_string(n) + ".txt";
            add_str(m, "record_time", h.send_time);
            cJSON_AddNumberToObject(m, "record_timestamp", (double)h.send_timestamp);
            add_str(m, "event_id", "FILE_DELETION"), add_str(m, "event_name", "File Deletion");
            add_int(m, "process_id", 300), add_str(m, "process_guid", guid.c_str());
            add_str(m, "process_path", "/bin/true"), add_str(m, "process_md5", md5.c_str());
            add_str(m, "process_sha256", sha.c_str()), add_u64(m, "process_createtime", 5300);
            add_str(m, "process_cmd_line", "/usr/bin/cleaner --all");
            add_str(m, "process_user_name", "root"), add_str(m, "process_group_name", "root");
            add_int(m, "is_exist", 1), add_u64(m, "file_atime", 1700000001);
            add_u64(m, "file_mtime", 1700000002), add_u64(m, "file_ctime", 1700000003);
            add_str(m, "file_user_name", "root"), add_str(m, "file_group_name", "root");
            add_str(m, "file_permissions", "rw-r--r--"), add_str(m, "type", "-");
            add_str(m, "file_suffix", "-"), add_str(m, "file_name", name.c_str());
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
BENCHMARK(BM_JsonOnlyFileEvents)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
