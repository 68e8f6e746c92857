// The live process source: its records through the sensor's decoder, liveness and the /proc
// query answers, and 1,000 real child processes through the whole library. The parts that
// need the process connector skip without it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

#include "e2e_host.h"
#include "framework/mod_manager.h"
#include "startup/startup.h"
#include "kernel/capture/common/proc_records.h"
#include "live_workload.h"
#include "qxkiv/digest.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"
#include "staged_tree.h"
#include "task/binhash.h"
#include "task/process.h"

namespace {

using bytes = std::vector<unsigned char>;

std::string link_text(const char *path) {
    char buf[PATH_MAX];
    ssize_t n = readlink(path, buf, sizeof buf);
    return n > 0 ? std::string(buf, (size_t)n) : "";
}
std::string flex(const raw_process_info *r, int type) {
    flex_str s{};
    get_flex_task_info_str(&r->flex, &s, type);
    return std::string(s.ptr ? s.ptr : "", s.len);
}

TEST(LiveProcEncode, CurrentProcessDecodes) {
    bytes rec;
    ASSERT_TRUE(live_proc_encode((uint32_t)getpid(), 0xbeef, live_proc_known{}, rec));
    raw_process_buf buf;
    // The executed file's identity follows the strings.
    ASSERT_EQ(raw_process_info_check(rec.data(), rec.size()) + RAW_EXE_IDENT_SIZE, rec.size());
    ASSERT_EQ(raw_process_info_decode(rec.data(), rec.size(), &buf.info, sizeof buf), 0);
    const raw_process_info *r = &buf.info;
    EXPECT_EQ(r->pid, (uint32_t)getpid());
    EXPECT_EQ(r->ppid, (uint32_t)getppid());
    EXPECT_EQ(r->create_time, live_proc_create_time(getpid()));
    EXPECT_EQ(r->parent_create_time, live_proc_create_time(getppid()));
    EXPECT_EQ(r->sessionid, (uint32_t)getsid(0));
    EXPECT_EQ(r->uid[1], geteuid());
    EXPECT_EQ(r->gid[1], getegid());
    EXPECT_EQ(raw_process_task_event_id(r), 0xbeef);
    struct stat sb;
    ASSERT_EQ(stat("/proc/self/exe", &sb), 0);
    EXPECT_EQ(r->owner_id, sb.st_uid);
    EXPECT_EQ(raw_process_mode(r), sb.st_mode & 07777);
    exe_ident id{};
    ASSERT_TRUE(raw_process_exe_ident(rec.data(), rec.size(), &id));
    EXPECT_EQ(id.dev, sb.st_dev);
    EXPECT_TRUE(binhash_is_exe(sb, id));
    const char *links[] = {"/proc/self/cwd", "/proc/self/exe", "/proc/self/fd/0",
                           "/proc/self/fd/1"};
    for (int t = 1; t <= 4; t++) EXPECT_EQ(flex(r, t), link_text(links[t - 1])) << t;
    // Arguments joined by spaces.
    std::ifstream in("/proc/self/cmdline");
    std::string cmd{std::istreambuf_iterator<char>(in), {}};
    cmd.pop_back();
    std::replace(cmd.begin(), cmd.end(), '\0', ' ');
    EXPECT_EQ(flex(r, 0), cmd.substr(0, 1023));
}

// Liveness follows a child through running, zombie and reaped; once gone, its record carries
// what was known. Exit codes of signals.
TEST(LiveProcEncode, GoneProcessLivenessAndExit) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    pid_t child = live_spawn({"/bin/sh", "-c", "read x; exit 3"}, p[0]);
    close(p[0]);
    uint64_t ct = live_proc_create_time(child);
    ASSERT_NE(ct, 0u);
    EXPECT_TRUE(live_proc_alive(child, ct) && live_proc_alive(child, 0));
    EXPECT_FALSE(live_proc_alive(child, ct + 1));
    close(p[1]);
    siginfo_t si;
    ASSERT_EQ(waitid(P_PID, child, &si, WEXITED | WNOWAIT), 0);
    EXPECT_FALSE(live_proc_alive(child, ct));  // zombie
    EXPECT_EQ(live_proc_create_time(child), ct);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_EQ(live_proc_exit_code(9), 137);          // SIGKILL
    EXPECT_EQ(live_proc_exit_code(11 | 0x80), 139);  // SIGSEGV with a core
    EXPECT_FALSE(live_proc_alive(child, 0));

    live_proc_known known;
    known.create_time = ct, known.parent_create_time = 77, known.ppid = 1234;
    bytes rec;
    EXPECT_FALSE(live_proc_encode(child, 9, known, rec));
    raw_process_buf buf;
    ASSERT_EQ(rec.size(), 68u + 9u);
    ASSERT_EQ(raw_process_info_decode(rec.data(), rec.size(), &buf.info, sizeof buf), 0);
    EXPECT_EQ(buf.info.create_time, ct);
    EXPECT_EQ(buf.info.parent_create_time, 77u);
    EXPECT_EQ(buf.info.ppid, 1234u);
    EXPECT_EQ(buf.info.uid[1], 0xffffffffu);
    EXPECT_FALSE(live_proc_lookup(child, 0, rec));
}

// The sensor on the eBPF source (or the one a test names) with the shipped configuration
// (task.conf keys changed as given), its documents kept; skipped where it cannot start.
struct LiveEbpfDocs : ::testing::Test {
    staged_tree tree{
        "kernel_mode = userspace\ncollector_task_num = 1\nuserspace_source = ebpf\n"
        "container_id = 1\n"};
    bool running = false;
    void start(const std::string &task_keys = "") {
        staged_tree::set_keys(tree.task_conf(), task_keys);
        tree.no_file_watch();
        clear_uploads();
        if (!host_start(capture))
            GTEST_SKIP() << "the process source did not start (see the sensor log)";
        running = true;
    }
    void stop() {
        if (running) sensor_exit(), g_init_done = 0, running = false;
    }
    void TearDown() override { stop(); }
    // The creation documents of pid, once one of them has key = value (30 s at most).
    static std::vector<parsed_doc> created(pid_t pid, const char *key, const std::string &value) {
        std::vector<parsed_doc> mine;
        wait_for(
            [&] {
                mine.clear();
                bool seen = false;
                for (auto &d : parsed_docs(UPLOAD_PROC_EXEC, UPLOAD_PROC_EXEC))
                    if (d.num("process_id") == pid) {
                        seen = seen || d.str(key) == value;
                        mine.push_back(d);
                    }
                return seen;
            },
            30);
        return mine;
    }
    static std::string md5_of(const char *path) {
        char md5[33] = {};
        get_file_md5(path, md5, sizeof md5);
        return md5;
    }
};

// A wrapper execs its payload under a kernel thread's name: with report_every_exec the
// payload's own creation names the real image, its digests and the disguised command line;
// without it, the wrapper alone is reported.
TEST_F(LiveEbpfDocs, ExecThroughAWrapper) {
    char sleep_path[PATH_MAX];
    ASSERT_TRUE(realpath("/bin/sleep", sleep_path));
    for (int every : {1, 0}) {
        SCOPED_TRACE(every);
        start(every ? "report_every_exec = 1\n" : "report_every_exec = 0\n");
        if (IsSkipped()) return;
        pid_t kid = live_spawn({"/bin/bash", "-c", "exec -a '[kworker/0:1]' /bin/sleep 0.2"});
        ASSERT_GT(kid, 0);
        auto docs = created(kid, "process_path", every ? sleep_path : "/usr/bin/bash");
        waitpid(kid, nullptr, 0);
        if (!every) {  // what else is to come has come a second after the wrapper's
            std::this_thread::sleep_for(std::chrono::seconds(1));
            docs = created(kid, "process_path", "/usr/bin/bash");
        }
        std::vector<parsed_doc> payload;
        for (auto &d : docs)
            if (d.str("process_path") == sleep_path) payload.push_back(d);
        ASSERT_EQ(payload.size(), every ? 1u : 0u);
        if (every) {
            EXPECT_EQ(payload[0].str("process_cmd_line"), "[kworker/0:1] 0.2");
            EXPECT_EQ(payload[0].str("process_md5"), md5_of(sleep_path));
        }
        stop();
    }
}

// A copy of sleep run from memory (memfd_create, then execve of /proc/self/fd/N): named as
// /proc names it, with the digests of what runs, read while it runs.
TEST_F(LiveEbpfDocs, ProgramRunFromMemory) {
    start();
    if (IsSkipped()) return;
    pid_t kid = live_spawn({"/usr/bin/python3", "-c",
                            "import os\nfd = os.memfd_create('kivmemfd', 0)\n"
                            "os.write(fd, open('/bin/sleep', 'rb').read())\n"
                            "os.execve('/proc/self/fd/%d' % fd, ['kivmemfd', '30'], {})\n"});
    ASSERT_GT(kid, 0);
    auto docs = created(kid, "process_path", "/memfd:kivmemfd (deleted)");
    kill(kid, SIGKILL);
    waitpid(kid, nullptr, 0);
    const parsed_doc *mem = nullptr;
    for (auto &d : docs)
        if (d.str("process_path") == "/memfd:kivmemfd (deleted)") mem = &d;
    ASSERT_NE(mem, nullptr);
    EXPECT_EQ(mem->str("process_cmd_line"), "kivmemfd 30");
    EXPECT_EQ(mem->str("process_md5"), md5_of("/bin/sleep"));
}

// {cmd line or "pid createtime", path, pid, parent pid, createtime, exit code, md5} per
// document.
using doc =
    std::tuple<std::string, std::string, long long, long long, long long, long long, std::string>;
std::vector<doc> docs_of(int type) {
    std::vector<doc> out;
    for (auto &d : parsed_docs(type, type))
        out.emplace_back(d.str("process_cmd_line"), d.str("process_path"), d.num("process_id"),
                         d.num("parent_pid"), d.num("process_createtime"),
                         d.num("process_exit_code"), d.str("process_md5"));
    return out;
}

// Whether creation documents for every command line of kids[first, last) have arrived. The
// command lines seen are indexed once per upload, per workload.
struct creations {
    size_t scanned = 0;
    std::set<std::string> seen;
};
bool all_created(creations &c, const std::vector<live_child> &kids, int first, int last) {
    auto &[scanned, seen] = c;
    std::lock_guard g(s_up_lock);
    const std::string key = "\"process_cmd_line\":\"";
    for (; scanned < s_uploads.size(); scanned++) {
        auto &[t, text] = s_uploads[scanned];
        size_t at = t == UPLOAD_PROC_EXEC ? text.find(key) : std::string::npos;
        if (at == std::string::npos) continue;
        at += key.size();
        seen.insert(text.substr(at, text.find('"', at) - at));
    }
    for (int i = first; i < last; i++)
        if (!seen.count(kids[i].cmd)) return false;
    return true;
}

struct workload_result {
    int ok[2] = {}, total[2] = {};   // [exiting at once, lasting]
    std::map<std::string, int> why;  // what was wrong with the others
    bool started = false;
};

// 1,000 children through a live source, rings, process hooks and upload, each checked for
// path, command line, parent, exit code and digests. Exits leave the two-slot exit queue at
// once. With hold_lasting, the lasting half lives until its creations have arrived.
workload_result run_workload(const char *source, bool hold_lasting) {
    workload_result r;
    staged_tree tree{
        std::string("kernel_mode = userspace\ncollector_task_num = 1\nuserspace_source = ") +
        source + "\n"};
    staged_tree::set_keys(tree.task_conf(),
                          "exit_upload_wait_list_size = 2\ntask_create_cnt_second = 0\n");
    tree.no_file_watch();
    clear_uploads();
    if (!(r.started = host_start(capture))) return r;

    std::string prefix = std::string("kivlive-") + source + "-" + std::to_string(getpid());
    creations made;
    live_hold_fn hold;
    if (hold_lasting)
        hold = [&made](auto &k, int first, int last) {
            for (int i = 0; i < 1000 && !all_created(made, k, first, last); i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        };
    auto kids = run_live_workload(1000, 50, 12, prefix, hold);
    // Every creation this source guarantees has arrived (a loaded machine may delay them; the
    // lasting children are the first half), then until the sensor is quiet for a second (30 s
    // at most: programs starting elsewhere on a busy host can keep it busy), then exits that
    // push the last queued ones out.
    const int expect = hold_lasting ? (int)kids.size() / 2 : (int)kids.size();
    for (int i = 0; i < 600 && !all_created(made, kids, 0, expect); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (size_t last = SIZE_MAX, i = 0; docs(UPLOAD_PROC_EXEC).size() != last && i < 30; i++) {
        last = docs(UPLOAD_PROC_EXEC).size();
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    run_live_workload(6, 6, 0, prefix + "-flush");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    struct kemu_ring_stats high {};
    kemu_ring_stats(KEMU_RING_HIGH, &high);
    sensor_exit();
    g_init_done = 0;

    char sh[PATH_MAX];
    if (!realpath("/bin/sh", sh)) return r;
    std::map<std::string, doc> created;
    for (auto &d : docs_of(UPLOAD_PROC_EXEC)) created[std::get<0>(d)] = d;
    std::map<std::pair<long long, long long>, long long> exit_code;
    for (auto &d : docs_of(UPLOAD_PROC_EXIT))
        exit_code[{std::get<2>(d), std::get<4>(d)}] = std::get<5>(d);
    for (auto &k : kids) {
        EXPECT_TRUE(WIFEXITED(k.status) && WEXITSTATUS(k.status) == k.code);
        r.total[k.lasting]++;
        auto c = created.find(k.cmd);
        if (c == created.end()) {
            r.why["no creation"]++;
            continue;
        }
        auto &[cmd, path, pid, ppid, createtime, code, md5] = c->second;
        auto e = exit_code.find({pid, createtime});
        const char *why = path != sh             ? "path"
                          : pid != k.pid         ? "pid"
                          : ppid != getpid()     ? "parent"
                          : md5.size() != 32     ? "md5"
                          : e == exit_code.end() ? "no exit"
                          : e->second != k.code  ? "exit code"
                                                 : nullptr;
        if (why) r.why[why]++;
        r.ok[k.lasting] += why == nullptr;
    }
    printf(
        "%s: reported correctly: living >= 10 ms %d/%d (%.1f%%), exiting at once %d/%d "
        "(%.1f%%)\n",
        source, r.ok[1], r.total[1], 100.0 * r.ok[1] / r.total[1], r.ok[0], r.total[0],
        100.0 * r.ok[0] / r.total[0]);
    for (auto &[why, n] : r.why) printf("  %s: %d\n", why.c_str(), n);
    printf("  process records refused by a full ring: %u\n", high.full_cnt);
    return r;
}

// The eBPF programs read each process inside its exec: every child is reported complete,
// the ones that exit at once too, however loaded the machine.
TEST(LiveWorkload, EbpfReportsEveryChildComplete) {
    workload_result r = run_workload("ebpf", false);
    if (!r.started)
        GTEST_SKIP() << "the eBPF process source did not start (needs root, BTF and BPF ring "
                        "buffers; the sensor log says why)";
    EXPECT_EQ(r.ok[1], r.total[1]);
    EXPECT_EQ(r.ok[0], r.total[0]);
}

// The connector only says that a process exec'd; its path and command line are read from
// /proc afterwards. What this source guarantees is a correct record for a process still
// alive when the sensor reads it, so the lasting half lives until its documents are in (on a
// loaded machine that can take far longer than the 12 ms they get when the sensor keeps up).
// Children that exit at once are only counted.
TEST(LiveWorkload, ConnectorReportsEveryLastingChild) {
    workload_result r = run_workload("connector", true);
    if (!r.started)
        GTEST_SKIP() << "sensor did not start in userspace mode: the process connector needs "
                        "CAP_NET_ADMIN (see the sensor log)";
    EXPECT_EQ(r.ok[1], r.total[1]);
}

}  // namespace
