// The agent's delivery: the spool's records on disk, an output's queue, spool and tries
// against a sink that fails on cue (a clock stepped by hand), and the file output against a
// full filesystem, rotation and logrotate.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cjson/cJSON.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "delivery.h"
#include "host_core.h"
#include "kivhost_tree.h"
#include "sinks.h"
#include "spool.h"
#include "test_io.h"

using namespace kivhost;

namespace {

SpoolItem item(uint64_t seq, const std::string &text, int32_t type = UPLOAD_PROC_EXEC) {
    SpoolItem it;
    it.seq = seq, it.type = type, it.text = text;
    return it;
}

std::vector<uint64_t> read_all(Spool &s, bool commit = true) {
    std::vector<uint64_t> seqs;
    std::vector<SpoolItem> items;
    while (s.read(7, 1 << 20, &items) > 0) {
        for (const SpoolItem &it : items) {
            seqs.push_back(it.seq);
            if (commit) s.commit(it.next, 1);
        }
        items.clear();
    }
    return seqs;
}

std::vector<uint64_t> range(uint64_t from, uint64_t to) {
    std::vector<uint64_t> v;
    for (uint64_t i = from; i < to; ++i) v.push_back(i);
    return v;
}

std::string segment(const std::string &dir, int id) {
    char name[64];
    snprintf(name, sizeof name, "/%020d.spool", id);
    return dir + name;
}

}  // namespace

// A record as its layout says, assembled here byte by byte: magic "QXS1", payload length,
// seq, type (little-endian), CRC-32 of bytes 4..19 and the payload, then the payload. Such
// bytes written as a segment by hand read back.
TEST(KivhostSpool, RecordBytesAssembledByHand) {
    auto record = [](uint64_t seq, int32_t type, const std::string &text) {
        std::string r;
        auto put = [&r](uint64_t v, int n) {
            for (int i = 0; i < n; ++i) r += static_cast<char>(v >> (8 * i));
        };
        put(0x31535851, 4), put(text.size(), 4), put(seq, 8), put(static_cast<uint32_t>(type), 4);
        uLong crc = crc32(crc32(0, reinterpret_cast<const Bytef *>(r.data() + 4), 16),
                          reinterpret_cast<const Bytef *>(text.data()), text.size());
        put(crc, 4);
        return r + text;
    };
    EXPECT_EQ(record(0, 0, "").substr(0, 4), "QXS1");
    for (auto [seq, type, text] : {std::tuple<uint64_t, int32_t, std::string>{0, 0, ""},
                                   {0x0102030405060708ull, -2, "abc"},
                                   {~0ull, kHealthType, std::string(70000, '\xff')}})
        EXPECT_EQ(spool_record(seq, type, text), record(seq, type, text)) << seq;

    TempDir d;
    const std::string dir = d.path + "/s";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    write_file(segment(dir, 7), record(41, UPLOAD_DNS_QUERY, "{\"a\":1}") + record(42, 100, "x"));
    Spool s({dir, 1 << 20, 1000});
    std::string why;
    ASSERT_EQ(s.open(&why), 0) << why;
    EXPECT_EQ(s.pending(), 2u);
    std::vector<SpoolItem> items;
    ASSERT_EQ(s.read(10, 1 << 20, &items), 2u);
    EXPECT_TRUE(items[0].seq == 41 && items[0].type == UPLOAD_DNS_QUERY &&
                items[0].text == "{\"a\":1}" && items[0].at == (SpoolPos{7, 0}) &&
                items[0].next == (SpoolPos{7, 31}));
    EXPECT_TRUE(items[1].seq == 42 && items[1].type == 100 && items[1].text == "x");
}

// Damage as a crash or a disk leaves it, one kind per row: the good records are read in
// order, the damage counted once (also when read again after a rewind), and what is appended
// after a cut tail reads back.
TEST(KivhostSpool, TornAndDamagedRecordsAreSkippedAndCounted) {
    const size_t rec = kSpoolHead + 100;  // every record here is this long
    struct Row {
        const char *what;
        std::function<void(std::string *)> damage;
        std::vector<uint64_t> good;
    };
    std::vector<uint64_t> all = range(0, 10), but4 = all;
    but4.erase(but4.begin() + 4);
    const Row rows[] = {
        {"a tail torn mid-payload", [&](std::string *b) { b->resize(b->size() - 50); },
         range(0, 9)},
        {"a tail torn mid-header", [&](std::string *b) { b->resize(9 * rec + 10); }, range(0, 9)},
        {"zeros after the last record (space given, never written)",
         [&](std::string *b) { b->append(4096, '\0'); }, all},
        {"a payload byte flipped", [&](std::string *b) { (*b)[4 * rec + 60] ^= 1; }, but4},
        {"a length pointing past the end", [&](std::string *b) { (*b)[4 * rec + 7] = 0x7f; }, but4},
        {"a checksum byte flipped", [&](std::string *b) { (*b)[4 * rec + 21] ^= 0x80; }, but4},
        {"garbage with a false magic between two records",
         [&](std::string *b) { b->insert(3 * rec, "QXS1\x05\0\0\0garbage-and-more", 20); }, all},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        TempDir d;
        const std::string dir = d.path + "/s";
        {
            Spool s({dir, 1 << 20, 1000});
            std::string why;
            ASSERT_EQ(s.open(&why), 0) << why;
            std::vector<SpoolItem> items;
            for (uint64_t i = 0; i < 10; ++i) items.push_back(item(i, std::string(100, 'a' + i)));
            ASSERT_EQ(s.append(items), 0);
        }  // pending records stay
        std::string bytes = slurp(segment(dir, 1));
        ASSERT_EQ(bytes.size(), 10 * rec);
        r.damage(&bytes);
        write_file(segment(dir, 1), bytes);

        Spool s({dir, 1 << 20, 1000});
        std::string why;
        ASSERT_EQ(s.open(&why), 0) << why;
        EXPECT_EQ(read_all(s, false), r.good);
        EXPECT_EQ(s.damaged(), 1u);
        s.rewind(s.commit_pos());
        EXPECT_EQ(read_all(s, false), r.good);
        EXPECT_EQ(s.damaged(), 1u) << "counted again";
        ASSERT_EQ(s.append({item(99, "after")}), 0);
        std::vector<uint64_t> want = r.good;
        want.push_back(99);
        s.rewind(s.commit_pos());
        EXPECT_EQ(read_all(s), want);
        EXPECT_EQ(s.pending(), 0u);
    }
}

// A full spool gives up its oldest segments, counting their records; the newest are kept in
// order and the bound holds.
TEST(KivhostSpool, FullSpoolDropsItsOldestSegmentsCounted) {
    TempDir d;
    Spool s({d.path + "/s", 1 << 20, 1000});  // segments of 128 KiB
    std::string why;
    ASSERT_EQ(s.open(&why), 0) << why;
    std::vector<SpoolItem> v;
    for (uint64_t i = 0; i < 1000; ++i) {
        v.assign(1, item(i, std::string(4000, 'x')));
        ASSERT_EQ(s.append(v), 0);
        ASSERT_LE(s.bytes(), 1u << 20);
    }
    EXPECT_EQ(s.pending() + s.dropped_full(), 1000u);
    EXPECT_GE(s.dropped_full(), 740u);
    const std::vector<uint64_t> got = read_all(s);
    EXPECT_EQ(got, range(1000 - got.size(), 1000));
    // A record larger than the whole spool is refused, not spooled.
    EXPECT_EQ(s.append({item(1, std::string(2 << 20, 'y'))}), ENOSPC);
}

// The cursor goes to disk at each sync: a process killed after one finds what was delivered
// before it gone and the rest pending (what was delivered after it comes again: at least
// once), and a spool with nothing pending leaves an empty directory at a clean stop.
TEST(KivhostSpool, CrashKeepsEverythingAfterTheLastSyncedCursor) {
    TempDir d;
    const std::string dir = d.path + "/s";
    pid_t child = fork();
    if (child == 0) {
        Spool s({dir, 4 << 20, 60000});
        std::string why;
        if (s.open(&why) != 0) _exit(1);
        std::vector<SpoolItem> v;
        for (uint64_t i = 0; i < 100; ++i) v.push_back(item(i, std::string(3000, 'z')));
        if (s.append(v) != 0) _exit(2);
        std::vector<SpoolItem> got;
        s.read(60, 1 << 30, &got);
        s.commit(got.back().next, 60);
        s.sync(0, true);
        v.clear();
        for (uint64_t i = 100; i < 120; ++i) v.push_back(item(i, "late"));
        s.append(v);
        got.clear();
        s.read(10, 1 << 30, &got);
        s.commit(got.back().next, 10);  // never synced
        _exit(0);                       // no destructor: as a SIGKILL leaves it
    }
    int st = 0;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    {
        Spool s({dir, 4 << 20, 1000});
        std::string why;
        ASSERT_EQ(s.open(&why), 0) << why;
        EXPECT_EQ(s.pending(), 60u);
        EXPECT_EQ(read_all(s), range(60, 120));
    }
    EXPECT_EQ(output_of([&] { (void)!system(("ls -A " + dir).c_str()); }), "");
}

namespace {

// A sink that fails on cue: while fail(now) gives an errno, or for the seqs listed as
// refused for good.
struct CueSink : Sink {
    const uint64_t *clock;
    std::function<int(uint64_t)> fail = [](uint64_t) { return 0; };
    std::set<uint64_t> refuse;
    uint32_t backoff = 30000;
    std::vector<uint64_t> got, tries_at;
    explicit CueSink(const uint64_t *c) : clock(c) {}
    int open(std::string *) override { return 0; }
    uint32_t backoff_max_ms() const override { return backoff; }
    WriteResult write(const DocPtr *docs, const uint64_t *, size_t n) override {
        tries_at.push_back(*clock);
        for (size_t i = 0; i < n; ++i) {
            if (int e = fail(*clock)) return {i, e, false, false};
            if (refuse.count(docs[i]->seq)) return {i, EMSGSIZE, true, false};
            got.push_back(docs[i]->seq);
        }
        return {n, 0, false, false};
    }
};

DocPtr doc(uint64_t seq, size_t size = 100) {
    auto d = std::make_shared<Document>();
    d->seq = seq, d->type = UPLOAD_PROC_EXEC, d->text = std::string(size, 'd');
    return d;
}

struct Rig {
    uint64_t now = 0;
    CueSink *sink;
    std::unique_ptr<Output> out;
    Rig(const std::string &spool_dir, uint32_t rate = 0, uint64_t queue = 1 << 20) {
        auto s = std::make_unique<CueSink>(&now);
        sink = s.get();
        OutputConfig oc;
        oc.name = "cue", oc.spool_dir = spool_dir, oc.replay_rate = rate;
        oc.queue_max_bytes = queue, oc.spool_sync_ms = 1000;
        out = std::make_unique<Output>(oc, std::move(s), [this] { return now; });
        std::string why, warn;
        EXPECT_EQ(out->open(&why, &warn), 0) << why;
        EXPECT_EQ(warn, "");
    }
    // Steps every 10 ms of the clock until `until`, pushing next_doc() when it says so.
    void run(uint64_t until, const std::function<void()> &each = nullptr) {
        for (; now <= until; now += 10) {
            if (each) each();
            out->step();
        }
    }
};

}  // namespace

// An outage, as a table of how long the sink's tries may wait at most: documents go to the
// spool at once, tries come after 1, 2, 4, 8 ... s up to the bound, and once the sink takes
// them again what waited goes first, in order, at no more than the replay rate, and every
// document arrives once.
TEST(KivhostOutput, OutageSpoolsThenReplaysInOrderAtTheCappedRate) {
    const std::pair<uint32_t, std::vector<uint64_t>> rows[] = {
        {30000, {0, 1000, 3000, 7000, 15000}},  // sockets, Kafka
        {1000, range(0, 11)},                   // files: every second (times 1000 below)
    };
    for (const auto &[backoff, want_tries] : rows) {
        SCOPED_TRACE(backoff);
        TempDir d;
        Rig r(d.path + "/s", 100);
        r.sink->backoff = backoff;
        r.sink->fail = [](uint64_t t) { return t < 10000 ? ECONNREFUSED : 0; };
        uint64_t next = 0;
        for (; next < 50; ++next) ASSERT_TRUE(r.out->push(doc(next)));
        uint64_t up_at = 0;
        long long most = 0;
        r.run(40000, [&] {
            if (r.now % 500 == 0 && r.now < 30000) r.out->push(doc(next++));
            if (up_at == 0 && !r.sink->got.empty()) up_at = r.now;
            // At most a burst of a tenth of the rate, then the rate.
            if (up_at != 0)
                most = std::max<long long>(most, static_cast<long long>(r.sink->got.size()) -
                                                     static_cast<long long>(r.now - up_at) / 10);
        });
        std::vector<uint64_t> tries(r.sink->tries_at.begin(),
                                    r.sink->tries_at.begin() + want_tries.size());
        std::vector<uint64_t> want = want_tries;
        if (backoff == 1000)
            for (uint64_t &w : want) w *= 1000;
        EXPECT_EQ(tries, want);
        EXPECT_EQ(r.sink->got, range(0, next));
        EXPECT_LE(most, 12);
        const OutputStats st = r.out->stats();
        EXPECT_TRUE(st.up && st.delivered == next && st.spooled == 0 && st.queued == 0);
        EXPECT_EQ(st.retried, want_tries.size() - 1);
        EXPECT_GE(st.delayed, 50u);
        EXPECT_EQ(st.transitions, 2u);
    }
}

// A sink that falls behind the queue's high-water mark spills to the spool, the order kept. A
// document refused for good is counted and the others go on, from the queue and the spool.
TEST(KivhostOutput, SpillsAtTheHighWaterMarkAndRefusalsForGoodGoOn) {
    TempDir d;
    Rig r(d.path + "/s", 0, 64 * 1024);  // high water at 16 KiB
    r.sink->refuse = {3, 30};
    for (uint64_t i = 0; i < 40; ++i) ASSERT_TRUE(r.out->push(doc(i, 1000)));
    r.run(100);
    std::vector<uint64_t> want = range(0, 40);
    want.erase(want.begin() + 30), want.erase(want.begin() + 3);
    EXPECT_EQ(r.sink->got, want);
    const OutputStats st = r.out->stats();
    EXPECT_TRUE(st.delayed == 40 && st.refused == 2 && st.spooled == 0 && st.up);
    r.sink->got.clear();
    for (uint64_t i = 40; i < 45; ++i) r.out->push(doc(i));
    r.run(200);
    EXPECT_EQ(r.sink->got, range(40, 45));
    EXPECT_EQ(r.out->stats().delayed, 40u) << "below the mark, straight to the sink";
}

// The numbers of an installation: a clean stop continues exactly, another host starts again,
// and a file that cannot be trusted starts at 0. (A stop that was not clean skips what was
// reserved: KivhostKafka.KilledWithAFullSpoolThenRestartedDeliversEverythingAtLeastOnce.)
TEST(KivhostSeq, NumbersContinueAcrossACleanRestartOfTheSameHost) {
    TempDir d;
    const std::string path = d.path + "/seq";
    uint64_t start = 9, skipped = 9;
    {
        SeqStore s(path);
        ASSERT_EQ(s.load("host-a", &start, &skipped), 0);
        EXPECT_TRUE(start == 0 && skipped == 0);
        EXPECT_EQ(s.close(12345), 0);
    }
    {
        SeqStore s(path);
        ASSERT_EQ(s.load("host-a", &start, &skipped), 0);
        EXPECT_TRUE(start == 12345 && skipped == 12345);
    }
    SeqStore other(path);
    ASSERT_EQ(other.load("host-b", &start, &skipped), 0);
    EXPECT_EQ(start, 0u);
    write_file(path, "qxkiv seq 1 host-a 9 3 1\n");  // next beyond the reservation: not trusted
    SeqStore bad(path);
    ASSERT_EQ(bad.load("host-a", &start, &skipped), 0);
    EXPECT_EQ(start, 0u);
}

namespace {

// A tmpfs of its own (root), unmounted at the end; empty path when it cannot be had.
struct SmallFs {
    std::string path;
    SmallFs(const std::string &at, const char *size) {
        if (mkdir(at.c_str(), 0700) == 0 &&
            mount("tmpfs", at.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0)
            path = at;
    }
    ~SmallFs() {
        if (!path.empty()) umount2(path.c_str(), MNT_DETACH);
    }
};

std::string zstd_text(const std::string &path) {
    std::string in = slurp(path), out(ZSTD_getFrameContentSize(in.data(), in.size()), '\0');
    size_t n = ZSTD_decompress(out.data(), out.size(), in.data(), in.size());
    return ZSTD_isError(n) ? "" : out.substr(0, n);
}

}  // namespace

// A full filesystem under the file: the batch is written up to its last whole line and the
// rest cut back, the try fails; space again, and the same documents go whole.
TEST(KivhostFileOutput, FullDiskCutsBackToTheLastWholeLine) {
    TempDir d;
    SmallFs fs(d.path + "/fs", "64k");
    if (fs.path.empty()) GTEST_SKIP() << "no tmpfs could be mounted (needs root)";
    FileSinkConfig fc;
    fc.path = fs.path + "/docs";
    auto sink = make_file_sink(fc);
    std::string why;
    ASSERT_EQ(sink->open(&why), 0) << why;
    std::vector<DocPtr> docs;
    for (uint64_t i = 0; i < 100; ++i) docs.push_back(doc(i, 999));
    WriteResult r = sink->write(docs.data(), nullptr, docs.size());
    EXPECT_TRUE(r.err == ENOSPC && !r.permanent && !r.fatal && r.done > 10 && r.done < 100)
        << r.err << " " << r.done;
    std::string text = slurp(fc.path);
    EXPECT_EQ(text.size(), r.done * 1000);
    EXPECT_EQ(text.back(), '\n');
    write_file(fs.path + "/docs", "");  // space again
    r = sink->write(docs.data(), nullptr, 40);
    EXPECT_TRUE(r.err == 0 && r.done == 40);
    EXPECT_EQ(slurp(fc.path).size(), 40000u);
}

// Rotation by size with compression: no file passes the bound, K rotated files are kept, a
// line never straddles two files, and the files read back in order are the newest documents.
TEST(KivhostFileOutput, RotationBySizeKeepsKCompressedFilesOfWholeLines) {
    TempDir d;
    FileSinkConfig fc;
    fc.path = d.path + "/docs";
    fc.rotate_bytes = 64 * 1024, fc.rotate_keep = 2, fc.rotate_compress = true;
    auto sink = make_file_sink(fc);
    std::string why;
    ASSERT_EQ(sink->open(&why), 0) << why;
    for (uint64_t i = 0; i < 300; ++i) {
        auto dd = std::make_shared<Document>();
        dd->seq = i, dd->text = "{\"n\":" + std::to_string(i) + ",\"p\":\"" +
                                std::string(900 + i % 7 * 10, 'p') + "\"}";
        DocPtr p = dd;
        ASSERT_EQ(sink->write(&p, nullptr, 1).err, 0);
    }
    sink.reset();
    for (const char *gone : {".1", ".2", ".3", ".3.zst"})
        EXPECT_NE(access((fc.path + gone).c_str(), F_OK), 0) << gone;
    const std::string older = zstd_text(fc.path + ".2.zst"), newer = zstd_text(fc.path + ".1.zst"),
                      now = slurp(fc.path);
    for (const std::string *f : {&older, &newer, &now}) {
        EXPECT_LE(f->size(), 64u * 1024);
        EXPECT_GT(f->size(), 50u * 1024 * (f != &now));
        EXPECT_EQ(f->back(), '\n');
    }
    long long want = -1;
    each_document(older + newer + now, [&](cJSON *doc) {
        long long n = cJSON_GetObjectItem(doc, "n")->valueint;
        EXPECT_TRUE(want < 0 || n == want) << n;
        want = n + 1;
    });
    EXPECT_EQ(want, 300);
}

// The built agent with its output on a filesystem that fills up (its spool elsewhere): it runs
// on, and once there is space again every document is in the file, whole, every number once,
// with a health document saying the output was down and what waited.
TEST(KivhostFileOutput, AgentOnAFullDiskRunsOnAndDeliversOnceSpaceReturns) {
    TempDir d;
    SmallFs fs(d.path + "/fs", "256k");
    if (fs.path.empty()) GTEST_SKIP() << "no tmpfs could be mounted (needs root)";
    const std::string t = d.path + "/tree", docs = fs.path + "/docs";
    ASSERT_EQ(
        system(("dd if=/dev/zero of=" + fs.path + "/filler bs=1k count=240 2>/dev/null").c_str()),
        0);
    const std::string cmd = stage_agent(t) + "KIV_STORM_QUIET=1 KIV_STORM_GAP_MS=5 " +
                            "KIV_STORM_WAIT_FILE=" + d.path + "/go " + storm_agent(t, 150) +
                            "--output " + docs + " >/dev/null 2>" + t + "/err";
    int status = -1;
    std::thread agent([&] { status = system(cmd.c_str()); });
    // The file filled and the documents went to the spool.
    std::string key = docs;
    for (char &c : key)
        if (c == '/') c = '_';
    const std::string spool = t + "/var/spool/file-" + key;
    const bool spooled = wait_until(
        [&] { return access((spool + "/00000000000000000001.spool").c_str(), F_OK) == 0; });
    EXPECT_TRUE(spooled) << slurp(t + "/err");
    EXPECT_GT(agent_pid(t), 0);
    EXPECT_EQ(kill(agent_pid(t), 0), 0) << "the agent stopped";
    unlink((fs.path + "/filler").c_str());
    // Space again: the next try (every second) writes what waited.
    EXPECT_TRUE(wait_until([&] {
        std::string text = slurp(docs);
        return text.find("\"state\":\"up\"") != std::string::npos;
    })) << slurp(t + "/err");
    write_file(d.path + "/go", "");
    agent.join();
    const std::string err = slurp(t + "/err");
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(err.find("stopping\n"), err.find("Terminated, stopping\n") + 12) << err;
    std::set<long long> seqs;
    bool down = false, up = false;
    each_document(slurp(docs), [&](cJSON *doc) {
        EXPECT_TRUE(seqs.insert(seq_of(doc)).second) << seq_of(doc);
        cJSON *o = cJSON_GetObjectItem(cJSON_GetObjectItem(doc, "message"), "output");
        cJSON *state = cJSON_GetObjectItem(o, "state");
        if (cJSON_IsString(state)) {
            down |= strcmp(state->valuestring, "down") == 0 &&
                    strcmp(cJSON_GetObjectItem(o, "error")->valuestring, strerror(ENOSPC)) == 0;
            up |= strcmp(state->valuestring, "up") == 0 &&
                  cJSON_GetObjectItem(o, "delayed")->valuedouble > 0;
        }
    });
    EXPECT_TRUE(down && up);
    EXPECT_EQ(seqs.size(), summary_documents(err)) << err;
    EXPECT_TRUE(!seqs.empty() && *seqs.rbegin() - *seqs.begin() + 1 == (long long)seqs.size());
    EXPECT_GE(seqs.size(), 100u);
}

// Debian's logrotate in create mode moves the file away and makes a new one, then SIGHUP: the
// agent writes on into the new file; the two hold every document once, in order.
TEST(KivhostFileOutput, LogrotateCreateAndSighupLoseNothing) {
    TempDir d;
    const std::string t = d.path + "/tree", docs = d.path + "/docs.ndjson";
    const std::string cmd = stage_agent(t) + "KIV_STORM_QUIET=1 KIV_STORM_GAP_MS=10 " +
                            "KIV_STORM_WAIT_FILE=" + d.path + "/go " + storm_agent(t, 200) +
                            "--output " + docs + " >/dev/null 2>" + t + "/err";
    int status = -1;
    std::thread agent([&] { status = system(cmd.c_str()); });
    ASSERT_TRUE(wait_until([&] { return slurp(docs).size() > 20000; })) << slurp(t + "/err");
    write_file(d.path + "/rotate.conf",
               docs + " {\n  create 0640 root root\n  rotate 3\n  postrotate\n    kill -HUP " +
                   std::to_string(agent_pid(t)) + "\n  endscript\n}\n");
    EXPECT_EQ(system(("logrotate -f -s " + d.path + "/state " + d.path + "/rotate.conf").c_str()),
              0);
    EXPECT_TRUE(wait_until([&] { return slurp(docs).size() > 10000; }))
        << "nothing written after the reopen";
    write_file(d.path + "/go", "");
    agent.join();
    const std::string err = slurp(t + "/err");
    EXPECT_EQ(status, 0) << err;
    EXPECT_NE(err.find("SIGHUP: reopening the output files"), std::string::npos) << err;
    long long want = -1, n = 0;
    each_document(slurp(docs + ".1") + slurp(docs), [&](cJSON *doc) {
        EXPECT_TRUE(want < 0 || seq_of(doc) == want) << seq_of(doc);
        want = seq_of(doc) + 1, ++n;
    });
    EXPECT_EQ(static_cast<unsigned long long>(n), summary_documents(err));
}

// Two outputs, one away: the other delivers everything at once; the away one's spool, bound
// to 1 MB, gives up its oldest documents, counted in its summary and in a health document the
// working output carries.
TEST(KivhostOutput, AgentWithOneOutputAwayFillsItsSpoolAndSaysWhatItDropped) {
    TempDir d;
    const std::string t = d.path + "/tree", docs = d.path + "/docs";
    // Two a millisecond at most: the process creations of a second are bounded at 1000.
    const std::string cmd = stage_agent(t) + "KIV_STORM_QUIET=1 KIV_STORM_GAP_MS=2 " +
                            storm_agent(t, 1500) + "--output syslog --syslog-socket " + d.path +
                            "/none.sock --output " + docs +
                            " --spool-max-mb 1 --health-interval 1 >/dev/null 2>" + t + "/err";
    EXPECT_EQ(system(cmd.c_str()), 0);
    const std::string err = slurp(t + "/err");
    unsigned long long spooled = 0, full = 0;
    // "  output syslog: down since 2026-12-08T17:53:15+0000 (No such file or directory), ..."
    size_t at = err.find("), 0 delivered, 0 queued, ", err.find("  output syslog: down since 20"));
    ASSERT_NE(at, std::string::npos) << err;
    ASSERT_EQ(sscanf(err.c_str() + at,
                     "), 0 delivered, 0 queued, %llu spooled (%*u bytes), "
                     "%*u went through the spool, %*u retried, dropped %*u (queue full 0, spool "
                     "full %llu,",
                     &spooled, &full),
              2)
        << err;
    const unsigned long long total = summary_documents(err);
    EXPECT_GT(full, 0u) << err;
    EXPECT_EQ(spooled + full, total) << err;
    EXPECT_NE(err.find("  output file: up, " + std::to_string(total) + " delivered"),
              std::string::npos)
        << err;
    double reported = 0;
    each_document(slurp(docs), [&](cJSON *doc) {
        cJSON *c = cJSON_GetObjectItem(cJSON_GetObjectItem(doc, "message"), "counters");
        cJSON *n = cJSON_GetObjectItem(c, "SYSLOG_DROPPED_SPOOL_FULL");
        if (cJSON_IsNumber(n)) reported += n->valuedouble;
    });
    EXPECT_GT(reported, 0);
    EXPECT_LE(reported, double(full));
}
