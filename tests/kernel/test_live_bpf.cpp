// The eBPF process source: which source userspace mode runs, the record texts made from the
// programs' reports, and an exec record checked against what /proc says of the same process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "framework/ring.h"
#include "kernel/kernel_if.h"
#include "kernel/capture/ebpf_process.h"
#include "kernel/capture/common/proc_records.h"
#include "kernel/standin/standin.h"
#include "live_workload.h"
#include "qxkiv/kemu.h"

namespace {

std::string s_calls;
std::string s_ebpf_why;
int s_ebpf_rc, s_conn_rc;
bool usable(std::string *) {
    return true;
}
int fake_ebpf(const unsigned char *, size_t, std::string *why) {
    s_calls += "e";
    *why = s_ebpf_why;
    return s_ebpf_rc;
}
int fake_connector(const unsigned char *, size_t, std::string *why) {
    s_calls += "c";
    *why = "no connector";
    return s_conn_rc;
}
void nop() {}
bool no() {
    return false;
}

// The stand-in picks the process source from a table: the first that starts, or only the
// one asked for by name, which then has no quiet fallback. Other kinds are not tried.
TEST(LiveSource, PreferenceAndFallback) {
    const capture_source ebpf{"ebpf",    "eBPF", "e", nullptr, CAPTURE_PROCESS, usable,
                              fake_ebpf, nop,    no,  nullptr, nullptr,         nullptr};
    const capture_source conn{
        "connector",    "connector", "c", "fewer facts", CAPTURE_PROCESS, usable,
        fake_connector, nop,         no,  nullptr,       nullptr,         nullptr};
    const capture_source files{"f",       "f", "f", nullptr, CAPTURE_FILE, usable,
                               fake_ebpf, nop, no,  nullptr, nullptr,      nullptr};
    const capture_source *const rows[] = {&files, &ebpf, &conn};
    struct Row {
        const char *prefer;
        int ebpf_rc, conn_rc;
        const capture_source *runs;
        const char *calls;
    };
    const Row table[] = {
        {nullptr, 0, 0, &ebpf, "e"},      {nullptr, -1, 0, &conn, "ec"},  // e.g. not root, no BTF
        {nullptr, -1, -1, nullptr, "ec"}, {"ebpf", 0, 0, &ebpf, "e"},
        {"ebpf", -1, 0, nullptr, "e"},  // forced: no quiet fallback
        {"connector", 0, 0, &conn, "c"},  {"connector", 0, -1, nullptr, "c"},
        {"bpf", 0, 0, nullptr, ""},
    };
    for (const Row &r : table) {
        SCOPED_TRACE(std::string(r.prefer ? r.prefer : "auto") + " " + std::to_string(r.ebpf_rc) +
                     " " + std::to_string(r.conn_rc));
        s_calls.clear(), s_ebpf_why = "verifier said no";
        s_ebpf_rc = r.ebpf_rc, s_conn_rc = r.conn_rc;
        capture_table t;
        t.rows = rows, t.count = 3, t.prefer = r.prefer;
        EXPECT_EQ(standin_choose_process(t), r.runs);
        EXPECT_EQ(s_calls, r.calls);
    }
    EXPECT_EQ(live_source_parse("auto"), LIVE_SOURCE_AUTO);
    EXPECT_EQ(live_source_parse("ebpf"), LIVE_SOURCE_EBPF);
    EXPECT_EQ(live_source_parse("connector"), LIVE_SOURCE_CONNECTOR);
    for (const char *bad : {"", "eBPF", "connector ", "bpf"}) EXPECT_EQ(live_source_parse(bad), -1);
}

std::string text(const live_proc_image &img, int slot) {
    return std::string(img.str[slot], img.len[slot]);
}

// An exec record as the programs hand it over: the head, then the texts packed in slot order.
struct exec_record {
    live_exec_ev e{};
    std::string texts[5];
    size_t pack() {
        size_t at = 0;
        for (int i = 0; i < 5; i++) {
            memcpy(e.text + at, texts[i].data(), texts[i].size());
            e.len[i] = (uint16_t)texts[i].size();
            at += texts[i].size();
        }
        return LIVE_EXEC_HEAD + at;
    }
};

// Report fields as the programs fill them, turned into the record's texts at their limits
// (the plain texts are compared with /proc's live).
TEST(LiveBpfImage, TextsAsProcShowsThem) {
    static exec_record r;  // 5 KiB
    live_exec_ev &e = r.e;
    static live_proc_image img;
    // Limits: a cut command line ends in "...", a removed executable gets " (deleted)" as far
    // as the record's room allows, a socket is named by its inode; four full texts still fit.
    r.texts[LIVE_STR_CMD] = std::string(LIVE_STR_MAX, 'a');
    r.texts[LIVE_STR_CWD] = "/" + std::string(LIVE_STR_MAX - 1, 'c');
    r.texts[LIVE_STR_FD0] = "/" + std::string(LIVE_STR_MAX - 1, 'f');
    e.flags = LIVE_FLAG_CMD_CUT | LIVE_FLAG_EXE_DELETED;
    r.texts[LIVE_STR_PATH] = "/tmp/" + std::string(LIVE_STR_MAX - 8, 'x');
    e.fd_kind[1] = LIVE_FD_SOCKET, e.fd_ino[1] = 18446744073709551615ull;
    ASSERT_TRUE(live_bpf_image(e, r.pack(), &img));
    EXPECT_EQ(img.len[LIVE_STR_CMD], (uint32_t)LIVE_STR_MAX);
    EXPECT_EQ(text(img, LIVE_STR_CMD).substr(LIVE_STR_MAX - 4), "a...");
    EXPECT_EQ(text(img, LIVE_STR_CWD), r.texts[LIVE_STR_CWD]);
    EXPECT_EQ(img.len[LIVE_STR_PATH], (uint32_t)LIVE_STR_MAX);
    EXPECT_EQ(text(img, LIVE_STR_PATH).substr(LIVE_STR_MAX - 6), "xxx (d");
    EXPECT_EQ(text(img, LIVE_STR_FD0), r.texts[LIVE_STR_FD0]);
    EXPECT_EQ(text(img, LIVE_STR_FD1), "socket:[18446744073709551615]");

    // Lengths that pass the record's end, or a text's limit, drop the record: nothing is read
    // beyond what the kernel handed over.
    size_t size = r.pack();
    EXPECT_FALSE(live_bpf_image(e, size - 1, &img));
    EXPECT_FALSE(live_bpf_image(e, LIVE_EXEC_HEAD - 1, &img));
    e.len[LIVE_STR_CWD] = LIVE_STR_MAX + 1;
    EXPECT_FALSE(live_bpf_image(e, sizeof e, &img));
    e.len[LIVE_STR_CWD] = 0xffff;
    EXPECT_FALSE(live_bpf_image(e, sizeof e, &img));
}

// A path cut above a disconnected directory is completed from /proc/<pid>/exe, but only for
// the process that ran it (create_time) and a link that ends as the cut path does.
TEST(LiveBpfImage, CutPathCompletedFromProcOnlyWhenItMatches) {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(n, 4);
    std::string whole(exe, (size_t)n), tail = whole.substr(whole.rfind('/'));
    static live_proc_image img;
    auto cut = [&](const std::string &path, uint64_t ct) {
        img = live_proc_image{};
        img.create_time = ct;
        memcpy(img.str[LIVE_STR_PATH], path.data(), path.size());
        img.len[LIVE_STR_PATH] = (uint32_t)path.size();
        live_bpf_whole_path((uint32_t)getpid(), &img);
        return text(img, LIVE_STR_PATH);
    };
    const uint64_t me = live_proc_create_time((uint32_t)getpid());
    EXPECT_EQ(cut("..." + tail, me), whole);
    EXPECT_EQ(cut("..." + tail + "x", me), "..." + tail + "x");  // another file
    EXPECT_EQ(cut("..." + tail, me + 1), "..." + tail);          // another process
    EXPECT_EQ(cut(whole, me), whole);                            // whole already
    EXPECT_EQ(cut("...", me), "...");                            // nothing to match
}

// The stand-in in userspace mode with the eBPF source only.
struct LiveBpf : ::testing::Test {
    void SetUp() override {
        std::string why;
        kernel_backend_set_live_source(LIVE_SOURCE_EBPF);
        if (kernel_backend_start(KERNEL_MODE_USERSPACE) != 0)
            GTEST_SKIP() << "eBPF process source unavailable on this machine (root, BTF and "
                            "ring buffers needed); see the log line above";
    }
    void TearDown() override {
        kernel_backend_stop();
        kernel_backend_set_live_source(LIVE_SOURCE_AUTO);
    }
};

// A process the programs reported, compared field by field with what /proc says of it while
// it still runs: the two ways must describe the same process alike.
TEST_F(LiveBpf, ExecRecordMatchesProc) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    std::string tag = "kivbpf-" + std::to_string(getpid());
    pid_t child = live_spawn({"/bin/sh", "-c", "read x; exit 4", tag, "arg two"}, p[0]);
    close(p[0]);
    ASSERT_GT(child, 0);
    std::vector<unsigned char> rec, proc;
    bool seen = false;
    for (int i = 0; i < 500 && !seen; i++) {
        // The fork is tracked first; the exec replaces it with the shell's own record.
        seen = standin_process_record((uint32_t)child, 0, rec) && rec.size() > 80 &&
               std::string(rec.begin(), rec.end()).find(tag) != std::string::npos;
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(seen);
    ASSERT_TRUE(live_proc_encode((uint32_t)child, 0, live_proc_known{}, proc));
    close(p[1]);
    int status;
    waitpid(child, &status, 0);
    ASSERT_EQ(rec.size(), proc.size());
    // All of it but the event id (bits 12-27 of the word at 64), which counts every event the
    // source saw: on a busy host it passes 15 and reaches the next bytes.
    for (size_t i = 0; i < rec.size(); i++)
        if (i < 64 || i > 67) EXPECT_EQ(rec[i], proc[i]) << "byte " << i;
    EXPECT_EQ(kemu_ld<uint32_t>(rec.data() + 64) & 0xf0000fffu,
              kemu_ld<uint32_t>(proc.data() + 64) & 0xf0000fffu);
}

// A consumer that stalls while the high ring is full loses nothing: the source waits for room
// (the programs' own buffer keeps queueing) instead of refusing records.
TEST_F(LiveBpf, StalledConsumerLosesNoRecord) {
    int fd = kernel_open("/dev/qx_sensor", O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(kernel_ioctl(fd, KIV_IOCTL_SWITCH, 1), 0);
    kiv_ring *high = standin_ring(KEMU_RING_HIGH);
    ASSERT_NE(high, nullptr);
    const uint32_t refused = __atomic_load_n(&high->full_cnt, __ATOMIC_RELAXED);
    constexpr uint32_t NEARLY_FULL = 16384;
    std::atomic<bool> filled{false}, spawned{false};
    std::vector<pid_t> kids;
    std::set<uint32_t> exited;  // pids of the exit records read
    std::thread consumer([&] {
        using clock = std::chrono::steady_clock;
        while (!spawned.load() && __kiv_ring_free(high) > NEARLY_FULL)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        filled = __kiv_ring_free(high) <= NEARLY_FULL;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::vector<char> buf(KIV_MSG_MAX_LEN);
        for (auto end = clock::now() + std::chrono::seconds(30); clock::now() < end;) {
            if (__read_from_ring(high, buf.data(), (uint32_t)buf.size()) > 0) {
                kiv_msg_hdr h = kiv_msg_hdr_get(buf.data());
                if (h.type == LIVE_EV_EXIT) exited.insert(h.pid);
                continue;
            }
            if (spawned.load(std::memory_order_acquire) &&
                std::all_of(kids.begin(), kids.end(),
                            [&](pid_t k) { return exited.count((uint32_t)k); }))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // Short-lived children until the ring is full, and more while the consumer stalls.
    for (int more = 200; kids.size() < 5000 && more > 0; more -= filled.load()) {
        pid_t k = live_spawn({"/bin/true"});
        if (k <= 0) break;
        int status;
        waitpid(k, &status, 0);
        kids.push_back(k);
    }
    spawned.store(true, std::memory_order_release);
    consumer.join();
    kernel_close(fd);
    ASSERT_TRUE(filled) << kids.size() << " children never filled the ring";
    size_t missing = 0;
    for (pid_t k : kids) missing += !exited.count((uint32_t)k);
    EXPECT_EQ(missing, 0u) << "of " << kids.size();
    EXPECT_EQ(__atomic_load_n(&high->full_cnt, __ATOMIC_RELAXED), refused);
}

}  // namespace
