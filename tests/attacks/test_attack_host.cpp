// An unprivileged user against the agent's own files and its documents.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>

#include "live_agent.h"
#include "test_io.h"

namespace {

std::string mode_owner(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return "missing";
    char text[64];
    snprintf(text, sizeof text, "%s %o uid %u", S_ISREG(st.st_mode) ? "file" : "other",
             st.st_mode & 07777, st.st_uid);
    return text;
}

}  // namespace

// Links and files planted where the documents and counters go: the agent refuses them and
// never writes through them; in a fresh name it writes files only its user can change.
TEST(AttackHost, PlantedOutputAndStatisticsFilesAreNotWrittenThrough) {
    const std::string d = attack_dir("out");
    live_agent a("out");
    const std::string victim = a.root + "/victim";
    write_file(victim, "keep\n");
    ASSERT_EQ(as_nobody("ln -s " + victim + " " + d + "/link.ndjson && touch " + d +
                        "/owned.ndjson && ln -s " + victim + " " + d + "/stats.tmp && mkfifo " + d +
                        "/fifo.ndjson"),
              0);
    const std::pair<std::string, std::string> refused[] = {
        {"link.ndjson", "it is a symbolic link"},
        {"owned.ndjson", "belongs to uid 65534"},
        {"fifo.ndjson", "cannot open output"},
    };
    for (auto &[name, why] : refused) {
        a.docs_path = d + "/" + name;
        EXPECT_FALSE(a.start(60)) << name;
        EXPECT_TRUE(has(a.err(), why)) << name << ": " << a.err();
    }
    a.docs_path = d + "/good.ndjson";
    ASSERT_TRUE(a.start(120, {"--stats-file", d + "/stats", "--stats-interval", "1"})) << a.err();
    // Root acts: a process with a distinct command line is reported in the fresh file.
    ASSERT_EQ(system("/bin/sh -c 'exit 0' kivatk-host-root"), 0);
    EXPECT_TRUE(a.wait_doc({"kivatk-host-root"}, 60));
    EXPECT_EQ(a.stop(60), 0);
    EXPECT_EQ(slurp(victim), "keep\n");
    EXPECT_EQ(mode_owner(d + "/good.ndjson"), "file 640 uid 0");
    EXPECT_EQ(mode_owner(d + "/stats"), "file 640 uid 0");
    EXPECT_TRUE(has(slurp(d + "/stats"), "# kivhost"));
    EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
}

// Names and command lines that are not UTF-8 come out as valid JSON with their bytes escaped;
// a padded program (hashed by the digest threads, whose line names it) named with terminal
// escapes and a forged log line leaves one escaped line in the logs. Root's file written after
// them is still reported.
TEST(AttackHost, InvalidUtf8AndControlBytesKeepDocumentsAndLogLinesWhole) {
    const std::string d = attack_dir("utf8");
    live_agent a("utf8");
    ASSERT_TRUE(a.start()) << a.err();
    ASSERT_EQ(as_nobody("printf '<?php x' > \"$(printf '" + d +
                        "/bad\\377\\376.php')\"; /bin/sh -c 'exit 0' \"$(printf "
                        "'kivatk-utf8-\\377\\300\\257')\""),
              0);
    const std::string forged =
        "[17179999.000][tsk0][live_bpf_stop:351]kemu: eBPF process "
        "source stopped";
    ASSERT_EQ(as_nobody("cd " + d + " && n=\"$(printf 't\\033]0;kivatk\\007\\033[2J\\n" + forged +
                        "')\" && cp /bin/true \"$n\" && printf pad >> \"$n\" && "
                        "truncate -s 3000000 \"$n\" && \"./$n\""),
              0);
    write_file(d + "/root-utf8.php", "<?php echo 1;");
    EXPECT_TRUE(a.wait_doc({"root-utf8.php"}, 60));
    EXPECT_TRUE(a.wait_doc({"bad\\\\xff\\\\xfe.php"}, 30));
    EXPECT_TRUE(a.wait_doc({"kivatk-utf8-\\\\xff\\\\xc0\\\\xaf"}, 30));
    const std::string hashed =
        "digest of " + d + "/t\\x1b]0;kivatk\\x07\\x1b[2J\\x0a" + forged + " computed";
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!has(a.log_all(), hashed) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(has(a.log_all(), hashed));
    std::string bad;
    EXPECT_TRUE(a.docs_valid(&bad)) << bad;
    EXPECT_EQ(a.stop(60), 0);
    for (const char *log : {"sensor.log", "sensor_all.log", "console.log"}) {
        const std::string text = slurp(a.root + "/logs/" + log);
        EXPECT_FALSE(text.empty()) << log;
        EXPECT_FALSE(has(text, "\x1b")) << log;
        EXPECT_FALSE(has(text, "\n" + forged)) << log;
    }
    EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
}
