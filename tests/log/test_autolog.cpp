#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comm/dirutils.h"
#include "comm/error_output.h"
#include "log/autolog_internal.h"
#include "qxkiv/autolog.h"

namespace {

time_t g_now;
time_t fake_clock() { return g_now; }

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int count_of(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) n++;
    return n;
}

std::vector<std::string> logs_in(const std::string &dir) {
    std::vector<std::string> v;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (strstr(e->d_name, ".log")) v.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(v.begin(), v.end());
    return v;
}


// Each case runs on its own thread: the thread's record and handler list start fresh.
struct AutologTest : ::testing::Test {
    std::string root, dir;  // root holds conf/ and logs/
    void SetUp() override {
        char tmpl[] = "/tmp/autolog_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        dir = root + "/logs";
        struct tm tm = {};
        tm.tm_year = 124, tm.tm_mon = 4, tm.tm_mday = 29, tm.tm_hour = 13, tm.tm_min = 4,
        tm.tm_sec = 29, tm.tm_isdst = -1;
        g_now = mktime(&tm);
        autolog_set_clock(fake_clock);
        autolog_set_conf_root((root + "/conf/").c_str());
    }
    void TearDown() override {
        autolog_set_clock(nullptr);
        autolog_set_conf_root(nullptr);
        dirutils_rmdir(root.c_str());
    }
    template <class F>
    void on_thread(F f) {
        std::thread t([&] {
            f();
            autolog_deinit();
        });
        t.join();
    }
};

TEST_F(AutologTest, FloodLimitDropsAndReportsSuppressedCount) {
    on_thread([&] {
        ASSERT_EQ(autolog_init(dir.c_str(), 3), 0);
        for (int i = 0; i < 25; i++) error_output(2, "x.c", i, "burst %d", i);
        g_now += 1;
        error_output(2, "x.c", 1, "next second\n");
        std::string text = slurp(autolog_current_path());
        EXPECT_EQ(count_of(text, "burst "), 10);
        EXPECT_EQ(count_of(text, "INFO  15 messages suppressed.\n"), 1);
        // The suppression line comes right before the next message.
        EXPECT_LT(text.find("15 messages suppressed"), text.find("next second"));
        // A newline is added when missing and never doubled.
        EXPECT_EQ(count_of(text, "next second\n\n"), 0);
        EXPECT_EQ(count_of(text, "burst 9\n"), 1);
        EXPECT_NE(text.find("] [" ), std::string::npos);
    });
}

TEST_F(AutologTest, FileNameAndLineFormat) {
    on_thread([&] {
        ASSERT_EQ(autolog_init(dir.c_str(), 3), 0);
        errno = 0;
        error_output(0, nullptr, 7, "boom");
        std::string path = autolog_current_path();
        EXPECT_EQ(path, dir + "/20240529-130429.log");
        std::string text = slurp(path);
        EXPECT_EQ(text.rfind("[2024-05-29 13:04:29] [", 0), 0u) << text;
        EXPECT_NE(text.find("] ERROR [no_src.c:7] boom\n"), std::string::npos) << text;
    });
}

TEST_F(AutologTest, OldFilesAreTrimmedToLogNum) {
    dirutils_mkdir(dir.c_str(), 0755);
    for (const char *n : {"20240101-000000.log", "20240102-000000.log", "20240103-000000.log",
                          "notes.txt"})
        std::ofstream(dir + "/" + n) << "old\n";
    on_thread([&] { ASSERT_EQ(autolog_init(dir.c_str(), 3), 0); });
    std::vector<std::string> expect = {"20240102-000000.log", "20240103-000000.log",
                                       "20240529-130429.log"};
    EXPECT_EQ(logs_in(dir), expect);
    EXPECT_EQ(access((dir + "/notes.txt").c_str(), F_OK), 0);
}

TEST_F(AutologTest, TodaysNewestFileIsReopenedAndBigFilesRoll) {
    dirutils_mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/20240529-080000.log") << "earlier today\n";
    on_thread([&] {
        ASSERT_EQ(autolog_init(dir.c_str(), 5), 0);
        EXPECT_EQ(std::string(autolog_current_path()), dir + "/20240529-080000.log");
        std::string big(4096, 'a');
        for (int i = 0; i < 2600; i++) {  // past 10 MiB, spread so no flood limit applies
            if (i % 10 == 0) g_now += 1;
            error_output(2, "b.c", i, "%s", big.c_str());
        }
        g_now += 11;
        error_output(2, "b.c", 0, "after roll");
        EXPECT_NE(std::string(autolog_current_path()), dir + "/20240529-080000.log");
        EXPECT_NE(slurp(autolog_current_path()).find("after roll"), std::string::npos);
    });
}

TEST_F(AutologTest, LevelNamesFromConfigAndBoardUpdates) {
    dirutils_mkdir((root + "/conf/HIPS").c_str(), 0755);
    std::ofstream(root + "/conf/HIPS/hips.ini") << "[log]\nlog_level = debug\noutput_limit = 0\n";
    on_thread([&] {
        ASSERT_EQ(autolog_init(dir.c_str(), 3), 0);
        error_output(3, "c.c", 1, "debug line");
        error_output(4, "c.c", 1, "rtlog line");
        std::string text = slurp(autolog_current_path());
        EXPECT_NE(text.find("DEBUG [c.c:1] debug line"), std::string::npos);
        EXPECT_EQ(text.find("rtlog line"), std::string::npos);

        // The host posts new values on the board; an unknown level name means INFO.
        int slot = -1;
        for (int i = 0; i < g_module_conf_update.count; i++)
            if (strcmp(g_module_conf_update.slots[i].key, "hips") == 0) slot = i;
        ASSERT_GE(slot, 0);
        auto *v = static_cast<autolog_conf_values *>(calloc(1, sizeof(autolog_conf_values)));
        v->log_level = strdup("verbose");
        v->log_num = -1;
        v->output_limit = -1;
        g_module_conf_update.slots[slot].values = v;
        g_module_conf_update.slots[slot].update_pending = 1;
        reload_log_conf();
        EXPECT_EQ(g_module_conf_update.slots[slot].update_pending, 0);
        error_output(3, "c.c", 2, "hidden debug");
        error_output(2, "c.c", 2, "shown info");
        text = slurp(autolog_current_path());
        EXPECT_EQ(text.find("hidden debug"), std::string::npos);
        EXPECT_NE(text.find("shown info"), std::string::npos);
    });
}

}  // namespace
