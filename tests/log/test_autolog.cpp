#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "comm/dirutils.h"
#include "comm/error_output.h"
#include "log/autolog_internal.h"
#include "qxkiv/autolog.h"

namespace {

time_t g_now;
std::string slurp(const std::string &path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}
int count_of(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) n++;
    return n;
}

struct AutologTest : ::testing::Test {
    std::string root, dir;  // root holds conf/ and logs/
    void SetUp() override {
        char tmpl[] = "/tmp/autolog_test.XXXXXX";
        dir = (root = mkdtemp(tmpl)) + "/logs";
        tm t{29, 4, 13, 29, 4, 124, 0, 0, -1};  // 2024-05-29 13:04:29 local
        g_now = mktime(&t);
        autolog_set_clock([] { return g_now; });
        autolog_set_conf_root((root + "/conf/").c_str());
    }
    void TearDown() override {
        autolog_deinit();
        autolog_set_clock(nullptr);
        autolog_set_conf_root(nullptr);
        dirutils_rmdir(root.c_str());
    }
};

TEST_F(AutologTest, LineFormatAndFloodLimit) {
    ASSERT_EQ(autolog_init(dir.c_str(), 3), 0);
    errno = 0;  // or its text is appended
    error_output(0, nullptr, 7, "boom");
    g_now += 1;
    for (int i = 0; i < 25; i++) error_output(2, "x.c", i, "burst %d", i);
    g_now += 1;
    error_output(2, "x.c", 1, "next second\n");
    EXPECT_EQ(std::string(autolog_current_path()), dir + "/20240529-130429.log");
    std::string text = slurp(autolog_current_path());
    EXPECT_EQ(text.rfind("[2024-05-29 13:04:29] [", 0), 0u) << text;
    EXPECT_EQ(count_of(text, "] ERROR [no_src.c:7] boom\n"), 1);
    EXPECT_EQ(count_of(text, "burst "), 10);
    // A newline is added when missing and never doubled.
    EXPECT_TRUE(count_of(text, "burst 9\n") == 1 && count_of(text, "second\n\n") == 0);
    EXPECT_EQ(count_of(text, "INFO  15 messages suppressed.\n"), 1);
    EXPECT_LT(text.find("15 messages suppressed"), text.find("next second"));  // right before
}

// Old files are trimmed to log_num; today's newest is reopened; past 10 MiB a new one starts.
TEST_F(AutologTest, OldFilesTrimmedTodaysReopenedBigOnesRoll) {
    dirutils_mkdir(dir.c_str(), 0755);
    for (const char *n :
         {"20240101-000000.log", "20240102-000000.log", "20240529-080000.log", "notes.txt"})
        std::ofstream(dir + "/" + n) << "old\n";
    const std::string today = dir + "/20240529-080000.log", big(4096, 'a');
    ASSERT_EQ(autolog_init(dir.c_str(), 2), 0);
    EXPECT_EQ(std::string(autolog_current_path()), today);
    for (int i = 0; i < 2600; i++, g_now += i % 10 == 0)  // spread: no flood limit applies
        error_output(2, "b.c", i, "%s", big.c_str());
    g_now += 11;  // the size is looked at every 10 s
    error_output(2, "b.c", 0, "after roll");
    EXPECT_NE(std::string(autolog_current_path()), today);
    std::set<std::string> logs;  // 2024-01-01 and 01-02 went, notes.txt is no log
    for (auto &e : std::filesystem::directory_iterator(dir)) logs.insert(e.path().filename());
    EXPECT_TRUE(logs.size() == 3 && logs.count("20240529-080000.log") && logs.count("notes.txt"));
}

TEST_F(AutologTest, LevelFromConfigAndBoardUpdates) {
    dirutils_mkdir((root + "/conf/HIPS").c_str(), 0755);
    std::ofstream(root + "/conf/HIPS/hips.ini") << "[log]\nlog_level = debug\noutput_limit = 0\n";
    ASSERT_EQ(autolog_init(dir.c_str(), 3), 0);
    error_output(3, "c.c", 1, "debug line");
    error_output(4, "c.c", 1, "rtlog line");  // above debug
    // The host posts new values on the board; an unknown level name means INFO.
    auto &slot = g_module_conf_update.slots[0];  // the only module in this process
    ASSERT_STREQ(slot.key, "hips");
    slot.values = static_cast<autolog_conf_values *>(malloc(sizeof(autolog_conf_values)));
    *slot.values = {nullptr, nullptr, strdup("verbose"), -1, -1};
    slot.update_pending = 1;
    reload_log_conf();
    EXPECT_EQ(slot.update_pending, 0);
    error_output(3, "c.c", 2, "hidden debug");
    error_output(2, "c.c", 2, "shown info");
    std::string text = slurp(autolog_current_path());
    EXPECT_EQ(count_of(text, "DEBUG [c.c:1] debug line") + count_of(text, "shown info"), 2);
    EXPECT_EQ(count_of(text, "rtlog line") + count_of(text, "hidden debug"), 0);
}

}  // namespace
