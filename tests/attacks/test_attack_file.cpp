// An unprivileged user against the file source and file typing: special files swapped in for
// written scripts, directories and scripts moved in from places nobody watches. Against the
// file limits: a tool's hourly budget and the daily budget spent, a CRC-32 twin of a key file
// forged; root then acts with the same tool and is reported, also once it has spent its own
// budget, where persistence goes.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "crc_twin.h"
#include "live_agent.h"
#include "test_io.h"

namespace {

// Descriptors of pid that lead to a terminal device.
std::string terminals_open(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd", found;
    DIR *d = opendir(dir.c_str());
    if (!d) return "";
    while (dirent *e = readdir(d)) {
        char target[256];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (has(target, "/dev/ptmx") || has(target, "/dev/pts/"))
            found += std::string(target) + " ";
    }
    closedir(d);
    return found;
}

std::string named(const std::string &path) {
    return "\"file_name\":\"" + path + "\"";
}

// Root writes a script and runs a process with a distinct command line: both are reported.
void root_acts(const live_agent &a, const std::string &script, const std::string &tag) {
    write_file(script, "<?php echo 'root';");
    ASSERT_EQ(system(("/bin/sh -c 'exit 0' " + tag).c_str()), 0);
    EXPECT_TRUE(a.wait_doc({named(script), "\"type\":\"php\""}, 60));
    EXPECT_TRUE(a.wait_doc({tag}, 60));
}

// Waits up to timeout_s for a line of the sensor's log holding every needle.
bool wait_log(const live_agent &a, const std::vector<std::string> &needles, int timeout_s) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    do {
        std::string log = a.log_all();
        for (size_t at = 0, nl; (nl = log.find('\n', at)) != std::string::npos; at = nl + 1) {
            const std::string line = log.substr(at, nl - at);
            bool all = true;
            for (auto &n : needles) all = all && has(line, n);
            if (all) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

// Waits up to timeout_s for the statistics file to show counter at least at least.
bool wait_stat(const std::string &path, const std::string &counter, long at_least, int timeout_s) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    do {
        std::string text = slurp(path);
        size_t at = text.find("\n" + counter + "(");
        if (at != std::string::npos && (at = text.find("): ", at)) != std::string::npos &&
            atol(text.c_str() + at + 3) >= at_least)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

// Nobody makes 120 files with tee in d: more than the tool's hourly budget (100). The budget
// that bites is counted, and per user also said in the log.
void nobody_spends_tee(const live_agent &a, const std::string &d, const std::string &who) {
    ASSERT_EQ(
        as_nobody("cd " + d + " && for i in $(seq 120); do echo x | tee n$i >/dev/null; done"), 0);
    ASSERT_TRUE(wait_stat(a.root + "/stats", "FILE_BUDGET_HOUR_SPENT", 1, 60));
    if (!who.empty())
        ASSERT_TRUE(
            wait_log(a, {"file hourly budget of " + who + ", executable ", "tee", "spent"}, 60));
}

// The agent with its statistics written every second, and the options given.
bool start_counting(live_agent &a, std::vector<std::string> extra = {}) {
    extra.insert(extra.end(), {"--stats-file", a.root + "/stats", "--stats-interval", "1"});
    return a.start(120, extra);
}

void root_runs(const std::string &cmd) {
    ASSERT_EQ(system(("/bin/sh -c '" + cmd + "'").c_str()), 0) << cmd;
}

}  // namespace

// Written scripts replaced at once by FIFOs that a writer holds open with data in them and by
// links to /dev/ptmx: typing opens neither, root's file and process are still reported, and
// the agent stops on SIGTERM.
TEST(AttackFile, SwappedFifoAndDeviceLinkStallNeitherTypingNorTheStop) {
    const std::string d = attack_dir("ftype");
    live_agent a("ftype");
    ASSERT_TRUE(a.start()) << a.err();
    pid_t holder = spawn_as_nobody("cd " + d +
                                   " && mkfifo f1 f2 f3 && exec 3<>f1 4<>f2 5<>f3 && "
                                   "printf '<?php held' | tee /dev/fd/3 /dev/fd/4 >&5 && "
                                   "touch held && exec sleep 300");
    ASSERT_GT(holder, 0);
    for (int i = 0; i < 500 && access((d + "/held").c_str(), F_OK) != 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(access((d + "/held").c_str(), F_OK), 0);
    ASSERT_EQ(as_nobody("cd " + d +
                        " && for i in 1 2 3; do printf '<?php echo 1;' > x$i.php && mv -f f$i "
                        "x$i.php; printf '<?php echo 2;' > y$i.php && ln -sf /dev/ptmx y$i.php; "
                        "done"),
              0);
    root_acts(a, d + "/root-ftype.php", "kivatk-ftype-root");
    EXPECT_EQ(terminals_open(a.pid), "");
    stop_clean(a);
    // Nobody read the pipes.
    for (int i = 1; i <= 3; i++) {
        int fd = open((d + "/x" + std::to_string(i) + ".php").c_str(), O_RDONLY | O_NONBLOCK);
        char buf[32] = {};
        EXPECT_EQ(fd >= 0 ? read(fd, buf, sizeof buf) : -1, 10) << i;
        if (fd >= 0) close(fd);
    }
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
}

// Only <d>/in is watched. A directory the source has seen in the unwatched <d>/out is moved
// in and then a script written in it; a script written in <d>/out is renamed in. Both are reported
// under their real paths, the renamed one with its type.
TEST(AttackFile, MovedInDirectoryAndRenamedInScriptAreReportedWhereTheyAre) {
    const std::string d = attack_dir("fmove"), in = d + "/in", out = d + "/out";
    live_agent a("fmove");
    a.set_key("file.conf", "path_filter", "path_2", in);  // in place of /tmp
    ASSERT_EQ(as_nobody("mkdir " + in + " " + out), 0);
    ASSERT_TRUE(a.start()) << a.err();
    // Once in/seen.txt is reported, the source has read the event in out/sub before it and
    // knows that directory by its old path.
    ASSERT_EQ(as_nobody("cd " + d +
                        " && mkdir out/sub && printf seen > out/sub/seen.txt && printf seen > "
                        "in/seen.txt && printf '<?php system($_GET[1]);' > out/w.txt"),
              0);
    ASSERT_TRUE(a.wait_doc({named(in + "/seen.txt")}, 60));
    ASSERT_EQ(as_nobody("cd " + d +
                        " && mv out/sub in/sub && printf '<?php eval($_POST[1]);' > "
                        "in/sub/shell.php && mv out/w.txt in/w.php"),
              0);
    root_acts(a, in + "/root-fmove.php", "kivatk-fmove-root");
    EXPECT_TRUE(a.wait_doc({named(in + "/sub/shell.php"), "\"type\":\"php\""}, 30));
    EXPECT_TRUE(a.wait_doc({named(in + "/w.php"), "File Renameing", "\"type\":\"php\""}, 30));
    stop_clean(a);
    for (auto &line : a.docs()) EXPECT_FALSE(has(line, out + "/sub/shell.php")) << line;
}

// Scripts written by a shell that then executes another program at once: each is reported as
// the shell's doing (its image and command line), never as the program that replaced it.
TEST(AttackFile, WrittenThenExecutedIsTheWritersDoing) {
    const std::string d = attack_dir("wexec");
    live_agent a("wexec");
    a.set_key("file.conf", "path_filter", "path_2", d);  // in place of /tmp
    ASSERT_TRUE(a.start()) << a.err();
    constexpr int N = 12;
    std::string cmd = "cd " + d;
    for (int i = 0; i < N; i++)
        cmd += " && /bin/sh -c 'printf \"<?php system(1);\" > w" + std::to_string(i) +
               ".php && exec /bin/sleep 0.2' kivatk-wexec-" + std::to_string(i);
    ASSERT_EQ(as_nobody(cmd), 0);
    char sh[PATH_MAX];
    ASSERT_TRUE(realpath("/bin/sh", sh));
    for (int i = 0; i < N; i++) {
        const std::string file = d + "/w" + std::to_string(i) + ".php";
        std::string line = a.wait_line({named(file), "\"type\":\"php\""}, 60);
        ASSERT_FALSE(line.empty()) << file;
        EXPECT_TRUE(has(line, "\"process_path\":\"" + std::string(sh) + "\"")) << line;
        EXPECT_TRUE(has(line, "kivatk-wexec-" + std::to_string(i) + "\"")) << line;
    }
    root_acts(a, d + "/root-wexec.php", "kivatk-wexec-root");
    stop_clean(a);
}

// Shipped configuration: nobody's tee has spent its budget; root's tee has its own. Once
// root's tee has spent that too, what it writes where persistence goes (the never-limited
// list) is still reported; every budget that dropped is named in a health document, with its
// user and executable.
TEST(AttackFileLimits, ToolsHourlyBudgetSpentLeavesRootsWritesAndTheNeverLimitedPlaces) {
    const std::string d = attack_dir("fhour");
    live_agent a("fhour");
    a.set_key("file.conf", "path_filter", "path_2", d);  // in place of /tmp
    ASSERT_TRUE(start_counting(a, {"--health-interval", "1"})) << a.err();
    nobody_spends_tee(a, d, "uid 65534");
    root_runs("echo x | tee " + d + "/root-cron >/dev/null");
    EXPECT_TRUE(a.wait_doc({named(d + "/root-cron"), "File Creation"}, 60));
    ASSERT_EQ(
        system(
            ("cd " + d + " && for i in $(seq 120); do echo x | tee r$i >/dev/null; done").c_str()),
        0);
    ASSERT_TRUE(wait_log(a, {"file hourly budget of uid 0, executable ", "tee", "spent"}, 60));
    // A name cron leaves alone (it holds a dot), removed whatever the test's outcome.
    const std::string cron = "/etc/cron.d/kivatk." + std::to_string(getpid()) + ".test";
    struct remover {
        std::string path;
        ~remover() { unlink(path.c_str()); }
    } gone{cron};
    root_runs("echo \\# kivatk | tee " + cron + " >/dev/null");
    EXPECT_TRUE(a.wait_doc({named(cron), "File Creation"}, 60));
    for (const char *uid : {"\"uid\":65534", "\"uid\":0"})
        EXPECT_TRUE(a.wait_doc({"SENSOR_HEALTH", "\"limit\":\"FILE_EVENT_LIMIT_HOUR\"", uid,
                                "\"executable\":\"/usr/bin/tee\"", "\"dropped\":"},
                               60))
            << uid;
    stop_clean(a);
}

// The hourly budget shared by all users of a tool, as without the per-user key: root's write
// of a critical file still passes it.
TEST(AttackFileLimits, CriticalFilePassesASharedBudgetNobodySpent) {
    const std::string d = attack_dir("fcrit");
    live_agent a("fcrit");
    a.set_key("file.conf", "path_filter", "path_2", d);
    a.set_key("file.conf", "file_filter", "file_0", d + "/authorized_keys");
    a.set_key("file.conf", "base", "upload_event_per_user", "0");
    ASSERT_TRUE(start_counting(a)) << a.err();
    nobody_spends_tee(a, d, "");
    root_runs("echo ssh-ed25519 AAAA kivatk | tee " + d + "/authorized_keys >/dev/null");
    EXPECT_TRUE(a.wait_doc({named(d + "/authorized_keys"), "File Creation"}, 60));
    stop_clean(a);
}

// Nobody appends with tee to a file named to the CRC-32 of root's key file; root then
// appends a key with tee. Critical files not exempt: the per-user repeat keys, whole paths
// and users, stand between them (shared and keyed on checksums, the twin would hide it).
TEST(AttackFileLimits, CrcTwinOfAKeyFileHidesNoAppend) {
    const std::string d = attack_dir("ftwin");
    const std::string keys = d + "/ssh/authorized_keys";
    const std::string twin = crc_twin_plain(d + "/t", keys);
    ASSERT_FALSE(twin.empty());
    ASSERT_EQ(mkdir((d + "/ssh").c_str(), 0700), 0);
    write_file(keys, "ssh-ed25519 AAAA old\n");
    ASSERT_EQ(as_nobody("echo x > " + twin), 0);  // both exist before: writes are modifications
    live_agent a("ftwin");
    a.set_key("file.conf", "path_filter", "path_2", d);
    a.set_key("file.conf", "base", "file_filter_unlimited", "0");
    ASSERT_TRUE(a.start()) << a.err();
    ASSERT_EQ(as_nobody("echo y | tee -a " + twin + " >/dev/null"), 0);
    ASSERT_TRUE(a.wait_doc({named(twin), "File Modification"}, 60));
    root_runs("echo ssh-ed25519 AAAA kivatk | tee -a " + keys + " >/dev/null");
    EXPECT_TRUE(a.wait_doc({named(keys), "File Modification"}, 60));
    stop_clean(a);
}

// Self-made executables (distinct digests) spend nobody's daily budget, shrunk to 60 here;
// root's next write is still reported, and the spent budget is named in the log.
TEST(AttackFileLimits, SelfMadeExecutablesSpendOnlyTheirUsersDailyBudget) {
    const std::string d = attack_dir("fday");
    live_agent a("fday");
    a.set_key("file.conf", "path_filter", "path_2", d);
    a.set_key("file.conf", "base", "upload_event_cnt", "60");
    ASSERT_TRUE(a.start()) << a.err();
    ASSERT_EQ(as_nobody("cd " + d +
                        " && for j in 1 2 3; do cp /usr/bin/tee t$j && printf $j >> t$j && "
                        "for i in $(seq 25); do echo x | ./t$j o$j-$i >/dev/null; done; done"),
              0);
    ASSERT_TRUE(wait_log(a, {"file daily budget of ", "spent"}, 60));
    root_runs("echo x | tee " + d + "/root-daily >/dev/null");
    EXPECT_TRUE(a.wait_doc({named(d + "/root-daily"), "File Creation"}, 60));
    stop_clean(a);
}
