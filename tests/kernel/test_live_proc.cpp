// The live process sources through the whole library: a wrapper's exec and a program run
// from memory on eBPF, and 1,000 real child processes on the connector, which skips without
// it.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <mutex>
#include <set>

#include "e2e_host.h"
#include "framework/mod_manager.h"
#include "startup/startup.h"
#include "live_workload.h"
#include "qxkiv/digest.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"
#include "staged_tree.h"

namespace {

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
// once. The lasting half lives until its creations have arrived.
workload_result run_workload(const char *source) {
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
    live_hold_fn hold = [&made](auto &k, int first, int last) {
        for (int i = 0; i < 1000 && !all_created(made, k, first, last); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    auto kids = run_live_workload(1000, 50, 12, prefix, hold);
    // Every creation this source guarantees has arrived (a loaded machine may delay them; the
    // lasting children are the first half), then until the sensor is quiet for a second (30 s
    // at most: programs starting elsewhere on a busy host can keep it busy), then exits that
    // push the last queued ones out.
    const int expect = (int)kids.size() / 2;
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

// The connector only says that a process exec'd; its path and command line are read from
// /proc afterwards. What this source guarantees is a correct record for a process still
// alive when the sensor reads it, so the lasting half lives until its documents are in (on a
// loaded machine that can take far longer than the 12 ms they get when the sensor keeps up).
// Children that exit at once are only counted.
TEST(LiveWorkload, ConnectorReportsEveryLastingChild) {
    workload_result r = run_workload("connector");
    if (!r.started)
        GTEST_SKIP() << "sensor did not start in userspace mode: the process connector needs "
                        "CAP_NET_ADMIN (see the sensor log)";
    EXPECT_EQ(r.ok[1], r.total[1]);
}

}  // namespace
