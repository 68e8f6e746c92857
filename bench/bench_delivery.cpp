// What delivery costs, in documents a second through the agent's own path (the upload
// callback's dispatcher, an output's queue and sender): each output against NDJSON to
// /dev/null in the same run, the ECS form against the native one, the spool written and
// replayed, SQLite in WAL mode doing the spool's job for comparison, and the bytes a document
// takes after zstd.
//
// The documents are those of a live run: QXKIV_BENCH_DOCS names an NDJSON file of them, else
// the staged agent (userspace mode, shipped configuration) runs for a few seconds while this
// host does some work, and its documents are taken (needs root).
//   bench_delivery [DOCS]   DOCS documents per case (default 200000)
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "delivery.h"
#include "ecs.h"
#include "sinks.h"

using namespace kivhost;

namespace {

struct Live {
    std::vector<std::string> docs;
    std::vector<int32_t> types;
};

// "PROC_EXEC" and so on back to the upload type; the event id tells file and network kinds.
int32_t type_of(const std::string &doc) {
    static const std::pair<const char *, int32_t> ids[] = {
        {"\"PROCESS_CREATION\"", UPLOAD_PROC_EXEC},
        {"\"PROCESS_EXIT\"", UPLOAD_PROC_EXIT},
        {"\"FILE_CREATION\"", UPLOAD_FILE_CRATE},
        {"\"FILE_DELETION\"", UPLOAD_FILE_DELETE},
        {"\"FILE_RENAMING\"", UPLOAD_FILE_MOVE},
        {"\"FILE_MODIFICATION\"", UPLOAD_FILE_MOD},
        {"\"NETWORK_CONNECTION\"", UPLOAD_NET_CONNECT},
        {"\"DNS_QUERY\"", UPLOAD_DNS_QUERY},
        {"\"SENSOR_HEALTH\"", kHealthType},
    };
    for (const auto &[id, t] : ids)
        if (doc.find(id) != std::string::npos) return t;
    return UPLOAD_APP_LOG;
}

Live load(const std::string &path) {
    Live l;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) l.types.push_back(type_of(line)), l.docs.push_back(std::move(line));
    return l;
}

// The staged agent for a few seconds while this host does ordinary work.
std::string capture(const std::string &dir) {
    const std::string stage = KIV_STAGE_DIR, out = dir + "/live.ndjson";
    const std::string cmd =
        "cd " + dir + " && (" + stage + "/bin/kivhost --seconds 12 --output " + out +
        " --spool-dir " + dir + "/spool >" + dir +
        "/agent.err 2>&1 &) && sleep 3 && "
        "for i in $(seq 60); do ls -la /usr/bin >/dev/null; cat /etc/os-release >/dev/null; "
        "sh -c 'echo x >" +
        dir + "/f$i; mv " + dir + "/f$i " + dir + "/g$i; rm " + dir +
        "/g$i'; "
        "getent hosts localhost >/dev/null; (exec 3<>/dev/tcp/127.0.0.1/22) 2>/dev/null; "
        "done; sleep 10";
    if (system(cmd.c_str()) != 0) return "";
    return out;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Uploads n documents (cycling through the live ones) into d with its outputs started, and
// waits until done() says they are through. Documents a second.
double through(Delivery &d, const Live &l, size_t n, const std::function<bool()> &done) {
    for (auto &o : d.outputs()) o->start();
    auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < n; ++i) {
        const std::string &doc = l.docs[i % l.docs.size()];
        while (d.upload(doc.data(), static_cast<uint32_t>(doc.size()),
                        l.types[i % l.docs.size()]) != 0)
            std::this_thread::yield();  // a full queue: the sender catches up
    }
    while (!done()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    return n / seconds_since(t0);
}

struct FailingSink : Sink {
    bool fail = true;
    int open(std::string *) override { return 0; }
    WriteResult write(const DocPtr *, const uint64_t *, size_t n) override {
        return fail ? WriteResult{0, EIO, false, false} : WriteResult{n, 0, false, false};
    }
};

std::unique_ptr<Output> output(const std::string &name, std::unique_ptr<Sink> sink,
                               const std::string &spool, bool ahead = false) {
    OutputConfig oc;
    oc.name = name, oc.spool_dir = spool, oc.replay_rate = 0, oc.write_ahead = ahead;
    oc.queue_max_bytes = 64 << 20, oc.spool_max_bytes = 4ull << 30;  // nothing dropped
    auto o = std::make_unique<Output>(oc, std::move(sink));
    std::string why, warn;
    if (o->open(&why, &warn) != 0) {
        fprintf(stderr, "bench_delivery: %s: %s\n", name.c_str(), why.c_str());
        return nullptr;
    }
    return o;
}

// SQLite in WAL mode as a spool: rows appended in transactions, then read back in order and
// deleted. Documents a second each way.
std::pair<double, double> sqlite_spool(const std::string &path, const Live &l, size_t n) {
    sqlite3 *db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; CREATE TABLE s(seq INTEGER "
                 "PRIMARY KEY, type INTEGER, doc BLOB);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt *ins = nullptr, *sel = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO s VALUES(?,?,?)", -1, &ins, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < n; i += 512) {
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        for (size_t k = i; k < std::min(n, i + 512); ++k) {
            const std::string &doc = l.docs[k % l.docs.size()];
            sqlite3_bind_int64(ins, 1, static_cast<sqlite3_int64>(k));
            sqlite3_bind_int(ins, 2, l.types[k % l.docs.size()]);
            sqlite3_bind_blob(ins, 3, doc.data(), static_cast<int>(doc.size()), SQLITE_STATIC);
            sqlite3_step(ins);
            sqlite3_reset(ins);
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    const double write = n / seconds_since(t0);
    sqlite3_prepare_v2(db, "SELECT seq, type, doc FROM s WHERE seq >= ? ORDER BY seq LIMIT 512", -1,
                       &sel, nullptr);
    t0 = std::chrono::steady_clock::now();
    size_t bytes = 0;
    for (sqlite3_int64 next = 0; next < static_cast<sqlite3_int64>(n);) {
        sqlite3_bind_int64(sel, 1, next);
        sqlite3_int64 last = next;
        while (sqlite3_step(sel) == SQLITE_ROW) {
            last = sqlite3_column_int64(sel, 0);
            bytes += static_cast<size_t>(sqlite3_column_bytes(sel, 2));
        }
        sqlite3_reset(sel);
        char del[96];
        snprintf(del, sizeof del, "DELETE FROM s WHERE seq <= %lld", static_cast<long long>(last));
        sqlite3_exec(db, del, nullptr, nullptr, nullptr);
        next = last + 1;
    }
    const double read = n / seconds_since(t0);
    sqlite3_finalize(ins), sqlite3_finalize(sel), sqlite3_close(db);
    return {write, read + 0 * bytes};
}

}  // namespace

int main(int argc, char **argv) {
    const size_t n = argc > 1 ? strtoul(argv[1], nullptr, 10) : 200000;
    char tmpl[] = "/tmp/kivbench.XXXXXX";
    const std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    std::string docs_path = getenv("QXKIV_BENCH_DOCS") ? getenv("QXKIV_BENCH_DOCS") : "";
    if (docs_path.empty()) {
        if (geteuid() != 0) {
            printf("bench_delivery: a live run needs root (or QXKIV_BENCH_DOCS=FILE): skipped\n");
            return 0;
        }
        docs_path = capture(dir);
    }
    Live l = load(docs_path);
    if (l.docs.empty()) {
        printf("bench_delivery: no documents from %s: skipped\n", docs_path.c_str());
        return 0;
    }
    size_t raw = 0;
    for (const auto &d : l.docs) raw += d.size() + 1;
    printf(
        "bench_delivery: %zu documents of a live run (%s), %.0f bytes each on average; %zu "
        "per case\n",
        l.docs.size(), docs_path.c_str(), double(raw) / l.docs.size(), n);

    struct Row {
        std::string what;
        double per_s;
    };
    std::vector<Row> rows;
    auto delivered = [](Delivery &d) {
        return [&d] { return d.outputs()[0]->stats().delivered >= d.next_seq(); };
    };

    {  // the baseline: NDJSON to /dev/null
        Delivery d;
        FileSinkConfig fc;
        fc.path = "/dev/null";
        d.add(output("null", make_file_sink(fc), ""));
        rows.push_back({"NDJSON to /dev/null (baseline)", through(d, l, n, delivered(d))});
        d.stop(0);
    }
    {  // the same with every document shaped as an ECS event first
        Delivery d;
        FileSinkConfig fc;
        fc.path = "/dev/null";
        d.add(output("null", make_file_sink(fc), ""));
        auto o = std::make_shared<EcsOptions>();
        probe_ecs_host(o.get());
        o->host_id = "bench-host";
        d.set_shape(ecs_shape(o));
        rows.push_back({"NDJSON to /dev/null, --schema ecs", through(d, l, n, delivered(d))});
        d.stop(0);
    }
    {  // a file on disk, its spool ready but idle
        Delivery d;
        FileSinkConfig fc;
        fc.path = dir + "/out.ndjson", fc.rotate_bytes = 256 << 20, fc.rotate_keep = 2;
        d.add(output("file", make_file_sink(fc), dir + "/spool-file"));
        rows.push_back({"file output (rotated at 256 MB)", through(d, l, n, delivered(d))});
        d.stop(0);
        unlink(fc.path.c_str());
    }
    {  // the spool written while the output fails, then replayed once it works
        Delivery d;
        auto sink = std::make_unique<FailingSink>();
        FailingSink *fs = sink.get();
        d.add(output("spool", std::move(sink), dir + "/spool"));
        Output &o = *d.outputs()[0];
        rows.push_back({"spool write (output down)",
                        through(d, l, n, [&] { return o.stats().spooled >= n; })});
        o.stop(0);
        d.outputs().clear();
        fs = nullptr;
        auto up = std::make_unique<FailingSink>();
        up->fail = false;
        d.add(output("spool", std::move(up), dir + "/spool"));
        Output &r = *d.outputs()[0];
        auto t0 = std::chrono::steady_clock::now();
        r.start();
        while (r.stats().delivered < n) std::this_thread::sleep_for(std::chrono::microseconds(200));
        rows.push_back({"spool replay (output back, no rate cap)", n / seconds_since(t0)});
        r.stop(0);
        (void)fs;
    }
    {  // SQLite in WAL mode doing the spool's work
        auto [w, r] = sqlite_spool(dir + "/spool.db", l, n);
        rows.push_back({"SQLite WAL as a spool: write", w});
        rows.push_back({"SQLite WAL as a spool: read and delete", r});
    }
    {  // Kafka: librdkafka's mock cluster on loopback, a document counted once confirmed
        char err[256];
        rd_kafka_conf_t *conf = rd_kafka_conf_new();
        rd_kafka_conf_set(conf, "log_level", "2", err, sizeof err);
        rd_kafka_t *rk = rd_kafka_new(RD_KAFKA_PRODUCER, conf, err, sizeof err);
        rd_kafka_mock_cluster_t *mc = rd_kafka_mock_cluster_new(rk, 1);
        Delivery d;
        KafkaConfig kc;
        kc.brokers = rd_kafka_mock_cluster_bootstraps(mc), kc.key = "bench-host";
        d.add(output("kafka", make_kafka_sink(kc), dir + "/spool-kafka", true));
        if (d.outputs()[0]) {
            rows.push_back(
                {"Kafka (mock cluster, acks=all, zstd)", through(d, l, n, delivered(d))});
            d.stop(10000);
        }
        d.outputs().clear();
        rd_kafka_mock_cluster_destroy(mc);
        rd_kafka_destroy(rk);
    }

    printf("\n%-44s %14s %10s\n", "case", "documents/s", "vs baseline");
    for (const Row &r : rows)
        printf("%-44s %14.0f %9.2fx\n", r.what.c_str(), r.per_s, r.per_s / rows[0].per_s);

    // What a document weighs on the wire: zstd (level 3) over batches as Kafka makes them.
    printf("\n%-44s %14s %10s\n", "bytes per document", "bytes", "ratio");
    printf("%-44s %14.0f %9.2fx\n", "as written (NDJSON line)", double(raw) / l.docs.size(), 1.0);
    for (size_t batch : {1, 100, 1000}) {
        size_t packed = 0;
        for (size_t i = 0; i < l.docs.size(); i += batch) {
            std::string text;
            for (size_t k = i; k < std::min(l.docs.size(), i + batch); ++k)
                text += l.docs[k] + "\n";
            std::string out(ZSTD_compressBound(text.size()), '\0');
            packed += ZSTD_compress(out.data(), out.size(), text.data(), text.size(), 3);
        }
        char what[64];
        snprintf(what, sizeof what, "zstd level 3, batches of %zu", batch);
        printf("%-44s %14.0f %9.2fx\n", what, double(packed) / l.docs.size(), double(raw) / packed);
    }
    (void)!system(("rm -rf " + dir).c_str());
    return 0;
}
