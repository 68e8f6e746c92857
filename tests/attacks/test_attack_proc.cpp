// An unprivileged user against the process tree: more processes than it holds, and
// executables deeper than a path walk goes; against the process repeat filter and the creation
// limits: a primed command-line prefix and a flood of creations must not hide root's processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <string>

#include "live_agent.h"
#include "test_io.h"

namespace {

// Kills the pids listed one a line in path (processes the test made an unprivileged user run).
void kill_listed(const std::string &path) {
    std::ifstream in(path);
    for (long pid; in >> pid;)
        if (pid > 1) kill(static_cast<pid_t>(pid), SIGKILL);
}

size_t count_lines(const std::string &path) {
    std::ifstream in(path);
    size_t n = 0;
    for (std::string l; std::getline(in, l);) n++;
    return n;
}

template <class F>
bool wait_until(F pred, int timeout_s) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    while (!pred() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return pred();
}

std::string field(const std::string &doc, const char *key) {
    cJSON *j = cJSON_Parse(doc.c_str());
    const cJSON *m = cJSON_GetObjectItem(j, "message");
    const cJSON *v = cJSON_GetObjectItem(m ? m : j, key);
    std::string out = cJSON_IsString(v) ? v->valuestring : "";
    cJSON_Delete(j);
    return out;
}

// A shell that runs each line it reads in a child shell: the same parent command line for
// whoever feeds it.
const std::string kParent =
    "/bin/sh -c 'while read l; do /bin/sh -c \"$l\"; done' kivatk-redo-parent";

std::string feed(const std::string &line) {
    return "printf '%s\\n' '" + line + "' | " + kParent;
}

}  // namespace

// Nobody holds more idle processes than the tree has room for: root's file and process are
// still reported, the writer described, and the full tree said once in the log.
TEST(AttackProc, FullProcessTreeStillReportsRootsFileAndProcess) {
    const std::string d = attack_dir("tree");
    live_agent a("tree");
    a.set_key("task.conf", "task", "fork_hash_size", "64");
    ASSERT_TRUE(a.start()) << a.err();
    const std::string pids = d + "/pids";
    // None of them exits, so no slot of an exited process is left for root's processes.
    pid_t holder = spawn_as_nobody("for i in $(seq 150); do sleep 600 & echo $! >> " + pids +
                                   "; done; echo $$ >> " + pids + "; exec sleep 600");
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(wait_until([&] { return count_lines(pids) == 151; }, 60));
    ASSERT_EQ(system(("/bin/sh -c 'echo \"* * * * * root id\" > " + d +
                      "/root-job.sh' kivatk-tree-writer && /bin/sh -c 'exit 0' kivatk-tree-root")
                         .c_str()),
              0);
    EXPECT_TRUE(a.wait_doc({"\"file_name\":\"" + d + "/root-job.sh\"", "kivatk-tree-writer"}, 60));
    EXPECT_TRUE(a.wait_doc({"kivatk-tree-root"}, 60));
    kill_listed(pids);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(a.stop(60), 0);
    std::string log = a.log_all();
    size_t at = log.find("process tree full");
    EXPECT_NE(at, std::string::npos);
    if (at != std::string::npos)
        EXPECT_EQ(log.find("process tree full", at + 1), std::string::npos);
    std::string bad;
    EXPECT_TRUE(a.docs_valid(&bad)) << bad;
    EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
}

// Nobody runs programs far below the walk's old step limit: one whose path fits is reported
// whole, one whose path does not is marked as cut and names no existing file.
TEST(AttackProc, DeepExecutablePathIsWholeOrMarkedCut) {
    const std::string d = attack_dir("deep");
    live_agent a("deep");
    ASSERT_TRUE(a.start()) << a.err();
    const std::string twenty(20, 'x');
    ASSERT_EQ(
        as_nobody("cd " + d +
                  " && for i in $(seq 80); do mkdir d && cd d || exit 1; done && "
                  "cp /bin/sh kivsh && ./kivsh -c 'exit 0' kivatk-deep-whole && cd " +
                  d + " && for i in $(seq 100); do mkdir " + twenty + " && cd " + twenty +
                  " || exit 1; done && cp /bin/sh kivsh && ./kivsh -c 'exit 0' kivatk-deep-cut"),
        0);
    ASSERT_EQ(system("/bin/sh -c 'exit 0' kivatk-deep-root"), 0);
    EXPECT_TRUE(a.wait_doc({"kivatk-deep-root"}, 60));
    std::string whole_path = d;
    for (int i = 0; i < 80; i++) whole_path += "/d";
    whole_path += "/kivsh";
    std::string whole =
        a.wait_line({"\"./kivsh -c exit 0 kivatk-deep-whole\"", "PROCESS_CREATION"}, 60);
    EXPECT_EQ(field(whole, "process_path"), whole_path) << whole;
    std::string cut =
        a.wait_line({"\"./kivsh -c exit 0 kivatk-deep-cut\"", "PROCESS_CREATION"}, 60);
    std::string path = field(cut, "process_path");
    ASSERT_GT(path.size(), 27u) << cut;
    EXPECT_EQ(path.substr(0, 4), ".../") << path;
    EXPECT_EQ(path.substr(path.size() - 27), "/" + twenty + "/kivsh") << path;
    EXPECT_LE(path.size(), 1023u);
    struct stat st;
    EXPECT_NE(lstat(path.c_str(), &st), 0) << path;
    EXPECT_NE(lstat(path.substr(3).c_str(), &st), 0) << path;
    EXPECT_EQ(a.stop(60), 0);
    std::string bad;
    EXPECT_TRUE(a.docs_valid(&bad)) << bad;
    EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
}

// Nobody runs a harmless command behind a 200-byte prefix; root then runs its own command
// behind the same prefix from the same parent command line: root's is reported.
TEST(AttackProcLimits, PrimedPrefixHidesNoLaterCommand) {
    live_agent a("redo");
    ASSERT_TRUE(a.start()) << a.err();
    const std::string prefix = ": " + std::string(200, 'A') + "; ";
    ASSERT_EQ(as_nobody(feed(prefix + "echo kivatk-redo-benign >/dev/null")), 0);
    ASSERT_TRUE(a.wait_doc({"kivatk-redo-benign", "\"Process Creation\""}, 60));
    ASSERT_EQ(system(feed(prefix + "echo kivatk-redo-root >/dev/null").c_str()), 0);
    EXPECT_TRUE(a.wait_doc({"kivatk-redo-root", "\"Process Creation\""}, 60));
    ASSERT_EQ(as_nobody(feed(prefix + "echo kivatk-redo-again >/dev/null")), 0);
    EXPECT_TRUE(a.wait_doc({"kivatk-redo-again", "\"Process Creation\""}, 60));
    stop_clean(a);
}

// Nobody floods process creations past the per-second limit (lowered here so the flood is
// short, in bursts no busy host slows below it); root's process during the flood is
// reported, and the limit says whose creations it dropped. Root's own activity elsewhere on
// the host shares root's window, so root's process may take a few seconds' tries.
TEST(AttackProcLimits, CreationFloodSpendsOnlyItsUsersLimit) {
    live_agent a("climit");
    a.set_key("task.conf", "task", "task_create_cnt_second", "50");
    ASSERT_TRUE(a.start()) << a.err();
    pid_t flood = spawn_as_nobody(
        "for r in 1 2 3 4 5 6; do for i in $(seq 150); do /bin/true kivatk-flood-$r-$i & done; "
        "wait; done");
    ASSERT_GT(flood, 0);
    ASSERT_TRUE(a.wait_doc({"kivatk-flood-"}, 60));
    bool seen = false;
    for (int i = 0; i < 10 && !seen; i++) {
        const std::string tag = "kivatk-climit-root-" + std::to_string(i);
        ASSERT_EQ(system(("/bin/true " + tag).c_str()), 0);
        seen = a.wait_doc({tag, "\"Process Creation\""}, 2);
    }
    int status = 0;
    waitpid(flood, &status, 0);
    EXPECT_TRUE(seen);
    EXPECT_EQ(a.stop(30), 0);
    EXPECT_TRUE(has(a.log_all(), "process creations of uid 65534 over the per-second limit"))
        << "no limit line";
}
