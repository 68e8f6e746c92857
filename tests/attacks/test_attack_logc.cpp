// An unprivileged user against the log collector: links, pseudo files and files of their own
// in the place of collected logs, and floods of blank and logger-like lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "live_agent.h"
#include "test_io.h"

namespace {

void append(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::app) << text;
}

// Collected logs in configuration order: {application, path}.
void collect(live_agent &a, const std::vector<std::pair<std::string, std::string>> &logs) {
    a.set_key("log_collector.conf", "file_path", "cnt", std::to_string(logs.size()));
    for (size_t i = 0; i < logs.size(); i++) {
        a.set_key("log_collector.conf", "file_path", "appname" + std::to_string(i), logs[i].first);
        a.set_key("log_collector.conf", "file_path", "path" + std::to_string(i), logs[i].second);
    }
}

size_t count(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}

bool wait_log(const live_agent &a, const std::string &part, int timeout_s) {
    for (int i = 0; i < timeout_s * 5; i++) {
        if (has(a.log_all(), part)) return true;
        usleep(200 * 1000);
    }
    return false;
}

}  // namespace

// Collected logs in a directory every user may write in, swapped for a link to /etc/shadow, a
// link to /proc/self/status and a file of the user's own: none of them is read, each refusal
// is said once, and root's line in another log is still sent.
TEST(AttackLogCollector, LinksPseudoFilesAndForeignFilesAreNotRead) {
    const std::string d = attack_dir("logc-link");
    live_agent a("logc-link");
    for (const char *n : {"/app.log", "/forged.log", "/root.log"}) write_file(d + n, "");
    collect(a, {{"root", d + "/root.log"},
                {"app", d + "/app.log"},
                {"status", d + "/status.log"},
                {"forged", d + "/forged.log"}});
    ASSERT_TRUE(a.start()) << a.err();
    append(d + "/root.log", "kivatk-logc-ready\n");
    ASSERT_TRUE(a.wait_doc({"kivatk-logc-ready"}, 60));
    ASSERT_EQ(as_nobody("cd " + d +
                        " && ln -sf /etc/shadow app.log && ln -s /proc/self/status status.log && "
                        "echo 'Accepted password for root from 192.0.2.9' > forged.new && "
                        "mv -f forged.new forged.log"),
              0);
    for (const std::string &why :
         {d + "/app.log is a symbolic link", d + "/status.log is a symbolic link",
          d + "/forged.log now belongs to uid 65534"})
        EXPECT_TRUE(wait_log(a, why, 60)) << why;
    const std::string mark = "kivatk-logc-root-" + std::to_string(getpid());
    append(d + "/root.log", mark + "\n");
    EXPECT_TRUE(a.wait_doc({mark, "\"app_name\":\"root\""}, 60));
    stop_clean(a);
    // Log lines only: process and file records name the attacker's command line.
    std::vector<std::string> lines;
    for (const std::string &doc : a.docs())
        if (has(doc, "\"message\":{\"line\":")) lines.push_back(doc);
    for (const std::string &doc : lines) {
        for (const char *app : {"app", "status", "forged"})
            EXPECT_FALSE(has(doc, std::string("\"app_name\":\"") + app + "\"")) << doc;
        EXPECT_FALSE(has(doc, "Accepted password for root")) << doc;
    }
    std::istringstream shadow(slurp("/etc/shadow"));
    for (std::string line; std::getline(shadow, line);)
        for (const std::string &doc : lines)
            if (!line.empty()) EXPECT_FALSE(has(doc, line)) << doc;
    EXPECT_EQ(lines.size(), 2u);
    std::string log = a.log_all();
    EXPECT_EQ(count(log, d + "/app.log is a symbolic link"), 1u);
    EXPECT_EQ(count(log, d + "/status.log is a symbolic link"), 1u);
    EXPECT_EQ(count(log, d + "/forged.log now belongs to uid 65534"), 1u);
}

// A user's own collected logs, one filled with a megabyte of newlines and one with a
// logger-like burst: root's line in another log goes out within a few turns instead of after
// the flood, the burst is sent meanwhile, and the flooded log is reported behind.
TEST(AttackLogCollector, BlankFloodDoesNotHoldBackOtherLogs) {
    const std::string d = attack_dir("logc-flood");
    live_agent a("logc-flood");
    write_file(d + "/root.log", "");
    ASSERT_EQ(as_nobody("touch " + d + "/flood.log " + d + "/burst.log"), 0);
    // The flooded log is listed, and so read, first.
    collect(a,
            {{"root", d + "/root.log"}, {"burst", d + "/burst.log"}, {"flood", d + "/flood.log"}});
    ASSERT_TRUE(a.start()) << a.err();
    append(d + "/root.log", "kivatk-logc-flood-ready\n");
    ASSERT_TRUE(a.wait_doc({"kivatk-logc-flood-ready"}, 60));
    ASSERT_EQ(as_nobody("cd " + d +
                        " && head -c 1048576 /dev/zero | tr '\\0' '\\n' >> flood.log && "
                        "i=0; while [ $i -lt 3000 ]; do echo \"Jan  2 03:04:05 host "
                        "sshd[4242]: Failed password for invalid user u$i from 192.0.2.1 port 22 "
                        "ssh2\"; i=$((i+1)); done >> burst.log"),
              0);
    const std::string mark = "kivatk-logc-flood-root-" + std::to_string(getpid());
    append(d + "/root.log", mark + "\n");
    // Behind the flood these would wait for about a thousand turns.
    EXPECT_TRUE(a.wait_doc({mark, "\"app_name\":\"root\""}, 30));
    EXPECT_TRUE(a.wait_doc({"invalid user u2999 from", "\"app_name\":\"burst\""}, 30));
    EXPECT_TRUE(wait_log(a, d + "/flood.log is behind: ", 30));
    stop_clean(a);
}
