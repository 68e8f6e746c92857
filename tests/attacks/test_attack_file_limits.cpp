// An unprivileged user against the file limits: a tool's hourly budget and the daily budget
// spent, a CRC-32 twin of a key file forged; root then acts with the same tool and is reported,
// also once it has spent its own budget, where persistence goes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "crc_twin.h"
#include "live_agent.h"
#include "test_io.h"

namespace {

std::string named(const std::string &path) {
    return "\"file_name\":\"" + path + "\"";
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
