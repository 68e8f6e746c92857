#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include "comm/dirutils.h"
#include "comm/timer.h"
#include "framework/mem.h"
#include "framework/ring.h"
#include "framework/task.h"
#include "kernel/kernel_if.h"
#include "log/ulog.h"

extern kiv_ring *__kiv_ring_logger_low;

namespace {

std::atomic<uint64_t> g_ms{0};
void clock_s(uint64_t s) {
    g_ms = s * 1000;
    kiv_timer_set_source([] { return g_ms.load(); });
}
std::string slurp(const std::string &p) {
    std::stringstream ss;
    ss << std::ifstream(p, std::ios::binary).rdbuf();
    return ss.str();
}
size_t count(const std::string &s, const std::string &what) {
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) n++;
    return n;
}
bool exists(const std::string &p) {
    return access(p.c_str(), F_OK) == 0;
}
void make_file(const std::string &p, off_t size) {  // sparse
    std::ofstream{p};
    ASSERT_EQ(truncate(p.c_str(), size), 0);
}

class Ulog : public testing::Test {
  protected:
    framework_config saved = g_framework_config;
    std::string root, dir;
    void SetUp() override {
        char tmpl[] = "/tmp/ulog_XXXXXX";
        root = mkdtemp(tmpl);
        dir = root + "/logs/sensor.log";  // the configured value names the directory
        snprintf(g_framework_config.log_path, sizeof(g_framework_config.log_path), "%s",
                 dir.c_str());
        g_framework_config.log_level = 3;
        clock_s(100000);
        ASSERT_EQ(ulog_init(), 0);
        ASSERT_EQ(ulog_init_after_config(), 0);
    }
    void TearDown() override {
        ulog_exit();
        g_framework_config = saved;
        g_cur_mod = 0xFFFFFFF;
        kiv_timer_set_source(nullptr);
        dirutils_rmdir(root.c_str());
    }
    std::string file(const char *name) { return slurp(dir + "/" + name); }
};

TEST_F(Ulog, LevelsMasksMarkerAndCut) {
    // level, log_mask, module, host start-up, tag, in sensor.log, in sensor_all.log
    const std::tuple<int, uint32_t, int, int, std::string, bool, bool> rows[] = {
        {1, 0xFFFFFFF, 0, 0, "row-level1", true, true},
        {3, 0xFFFFFFF, 0, 0, "row-level3", false, true},
        {4, 0xFFFFFFF, 0, 0, "row-level4", false, false},  // above log_level
        {2, 1u << 2, 1, 0, "row-masked", false, false},
        {2, 1u << 2, 2, 0, "row-module2", true, true},
        {2, 1u << 2, 1, 1, "row-master", true, true},  // start-up ignores the mask
    };
    std::string uniq = "-" + std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
    for (auto &[level, mask, mod, master, tag, in_high, in_all] : rows) {
        g_framework_config.log_mask = mask;
        log_mod_set(mod);
        g_in_master_thread = master;
        KIV_LOG(level, "%s%s\n", tag.c_str(), uniq.c_str());
        g_in_master_thread = 0;
        ulog_save(1);
        EXPECT_EQ(count(file("sensor.log"), tag + uniq), in_high ? 1u : 0u) << tag;
        EXPECT_EQ(count(file("sensor_all.log"), tag + uniq), in_all ? 1u : 0u) << tag;
        EXPECT_EQ(count(slurp("/tmp/.wlq_sensor_log.log"), tag + uniq), (size_t)master) << tag;
    }
    __kiv_ulog(3, "%s", std::string(5000, 'x').c_str());
    ulog_save(1);
    std::string all = file("sensor_all.log");
    EXPECT_EQ(all.substr(all.size() - 4096), "\n" + std::string(4095, 'x'));
    for (const char *name : {"sensor.log", "sensor_all.log"}) {
        EXPECT_TRUE(std::regex_search(file(name), std::regex("^\\d+===\\d{14}\n"))) << name;
        EXPECT_EQ(count(file(name), "==="), 1u) << name;
    }
}

TEST_F(Ulog, RefreshPeriodStatisticsAndExit) {
    // clock, force, tag, saved, statistics dumps so far
    const std::tuple<uint64_t, int, std::string, bool, size_t> steps[] = {
        {100000, 1, "s-forced", true, 1},
        {100030, 0, "s-early", false, 1},   // refresh interval not yet over
        {100061, 0, "s-refresh", true, 1},  // saved, but no dump within 1800 s
        {101801, 0, "s-dump", true, 2},
    };
    for (auto &[at, force, tag, saved, dumps] : steps) {
        clock_s(at);
        KIV_LOG(3, "%s\n", tag.c_str());
        ulog_save(force);
        EXPECT_EQ(file("sensor_all.log").find(tag) != std::string::npos, saved) << tag;
        EXPECT_EQ(count(file("sensor.log"), "LOG_WRITE_FAIL(write log failed times): "), dumps);
    }
    ulog_exit();
    int64_t fails = kiv_stat_get(LOG_WRITE_FAIL);
    KIV_LOG(1, "after exit\n");  // no rings: both puts fail, nothing crashes
    EXPECT_EQ(kiv_stat_get(LOG_WRITE_FAIL), fails + 2);
}

TEST_F(Ulog, LoggerThreadSavesBurstAndLosesNothingUncounted) {
    g_framework_config.log_level = 2;  // keeps the logger's own complaints out of the count
    ulog_save(1);
    kiv_task task{};
    snprintf(task.name, sizeof(task.name), "KivLogger");
    task.state = TASK_RUNNING;
    uint32_t full_before = __kiv_ring_logger_low->full_cnt;
    std::thread logger(logger_main, &task);
    // Past half a ring is saved on the next turn, long before the refresh interval.
    constexpr int kThreads = 4, kLines = 400;
    std::thread writers[kThreads];
    for (int t = 0; t < kThreads; t++)
        writers[t] = std::thread([t] {
            for (int i = 0; i < kLines; i++) KIV_LOG(2, "burst-%d-%d pad pad pad\n", t, i);
        });
    for (auto &w : writers) w.join();
    for (int i = 0; i < 1000 && count(file("sensor_all.log"), "burst-") == 0; i++) usleep(5000);
    EXPECT_GT(count(file("sensor_all.log"), "burst-"), 0u);
    task.state = TASK_STOPPING;
    logger.join();
    ulog_save(1);
    std::string all = file("sensor_all.log");
    // Every line either reached the file once or was counted as refused.
    EXPECT_EQ(count(all, "burst-") + count(all, "stopping KivLogger") +
                  (__kiv_ring_logger_low->full_cnt - full_before),
              (size_t)kThreads * kLines + 1);
}

TEST_F(Ulog, RotationNumbersWrapAndPathsStayQuoted) {
    // A quote, spaces and a command substitution must all stay inside the shell word.
    std::string d = root + "/it's a $(touch " + root + "/pwned) dir", f = d + "/sensor.log";
    ASSERT_EQ(mkdir_path(d.c_str()), 0);
    for (int expect : {1, 2, 3, 1, 2}) {
        make_file(f, 1 << 20);
        EXPECT_EQ(__log_rotate(f.c_str(), 3, 1), expect);
        EXPECT_FALSE(exists(f));
        EXPECT_TRUE(exists(f + "." + std::to_string(expect) + ".tgz"));
    }
    make_file(f, (1 << 20) - 1);
    EXPECT_EQ(__log_rotate(f.c_str(), 3, 1), 0);
    EXPECT_TRUE(exists(f));
    EXPECT_FALSE(exists(root + "/pwned"));

    // The configured rotation runs at once, then at most every 600 s.
    std::string all = dir + "/sensor_all.log";
    g_framework_config.log_file_size = 1;
    const std::tuple<uint64_t, int, bool> turns[] = {
        {100000, 3, true}, {100599, 3, false}, {100601, 0, false}, {100601, 3, true}};
    for (auto &[at, rotate, archived] : turns) {
        clock_s(at);
        g_framework_config.log_rotate = rotate;
        make_file(all, 1 << 20);
        log_rotate();
        EXPECT_EQ(exists(all), !archived) << at;
    }
    EXPECT_TRUE(exists(all + ".2.tgz"));
}

TEST_F(Ulog, SizeCapAndKernelLogs) {
    for (off_t size : {20 << 20, (20 << 20) - 1}) {
        make_file(dir + "/sensor_all.log", size);
        KIV_LOG(3, "cap-line\n");
        ulog_save(1);
        struct stat st;
        ASSERT_EQ(stat((dir + "/sensor_all.log").c_str(), &st), 0);
        EXPECT_EQ(st.st_size > size, size < (20 << 20)) << size;
    }
    ASSERT_EQ(kernel_backend_start(KERNEL_MODE_EMULATED), 0);
    char path[1024];
    ASSERT_NE(kernel_proc_path("log", path, sizeof(path)), nullptr);
    std::ofstream(path) << "kernel says hi\n";
    klog_save(1);
    klog_save(0);  // within the refresh interval: no second copy
    kernel_backend_stop();
    std::string kern = file("sensor_kern.log");
    EXPECT_EQ(count(kern, "kernel says hi\n"), 1u);
    EXPECT_TRUE(std::regex_search(kern, std::regex("\n\\d{14}:\nqxkiv stand-in\n")));
}

}  // namespace
