#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include "comm/dirutils.h"
#include "framework/config.h"
#include "framework/ring.h"
#include "framework/task.h"
#include "log/ulog.h"

extern kiv_ring *__kiv_ring_logger_low;

namespace {
namespace fs = std::filesystem;

constexpr const char *kFallback = "/tmp/.wlq_sensor_log.log";

std::string slurp(const std::string &p, off_t from = 0) {
    std::ifstream in(p, std::ios::binary);
    in.seekg(from);
    return {std::istreambuf_iterator<char>(in), {}};
}
size_t count(const std::string &s, const std::string &what) {
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) n++;
    return n;
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
        snprintf(g_framework_config.log_path, sizeof saved.log_path, "%s", dir.c_str());
        g_framework_config.log_level = 3;
        ASSERT_TRUE(ulog_init() == 0 && ulog_init_after_config() == 0);
    }
    void TearDown() override {
        ulog_exit();
        g_framework_config = saved;
        dirutils_rmdir(root.c_str());
    }
    std::string file(const char *name) { return slurp(dir + "/" + name); }
};

TEST_F(Ulog, LevelsMasksLineCutAndSizeCap) {
    // level, log_mask, module, host start-up, tag, in sensor.log, in sensor_all.log
    const std::tuple<int, uint32_t, int, int, std::string, bool, bool> rows[] = {
        {3, 0xFFFFFFF, 0, 0, "row-level3", false, true},
        {4, 0xFFFFFFF, 0, 0, "row-level4", false, false},  // above log_level
        {2, 1u << 2, 1, 0, "row-masked", false, false},
        {2, 1u << 2, 1, 1, "row-master", true, true},   // start-up ignores the mask
        {2, 1u << 2, 2, 0, "row-module2", true, true},  // last: leaves module 2 on, not start-up
    };
    for (auto &[level, mask, mod, master, tag, in_high, in_all] : rows) {
        auto line = tag + "-" + std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
        g_framework_config.log_mask = mask;
        log_mod_set(mod);
        g_in_master_thread = master;
        // The fallback file is shared by every test of the machine: read only what is new.
        struct stat st {};
        off_t before = stat(kFallback, &st) == 0 ? st.st_size : 0;
        KIV_LOG(level, "%s\n", line.c_str());
        ulog_save(1);
        EXPECT_EQ(count(file("sensor.log"), line), in_high ? 1u : 0u) << tag;
        EXPECT_EQ(count(file("sensor_all.log"), line), in_all ? 1u : 0u) << tag;
        EXPECT_EQ(count(slurp(kFallback, before), line), (size_t)master) << tag;
    }
    std::string all = file("sensor_all.log");
    EXPECT_EQ(all.find("==="), all.find_first_not_of("0123456789"));  // one marker, at the top
    EXPECT_EQ(count(all, "==="), 1u);
    for (off_t size : {20 << 20, (20 << 20) - 1}) {  // no more lines from 20 MiB on
        make_file(dir + "/sensor_all.log", size);
        KIV_LOG(3, "cap-line\n");
        ulog_save(1);
        bool grew = fs::file_size(dir + "/sensor_all.log") > size_t(size);
        EXPECT_EQ(grew, size < (20 << 20)) << size;
    }
}

// Other people's bytes in a line (a file name, a command line) cannot break it, drive the
// operator's terminal or forge another line (escape sequences and a forged line: AttackHost,
// live); with log_escape 0 they are written as given.
TEST_F(Ulog, UserTextIsEscapedIntoOneLine) {
    const std::string forged = "\n[17179999.000][tsk0][live_bpf_stop:351]kemu: stopped";
    // log_escape, argument, line as written (before the final line break)
    const std::tuple<int, std::string, std::string> rows[] = {
        {1,
         "csi\xc2\x9b"
         "1m del\x7f cr\r",
         "csi\\xc2\\x9b1m del\\x7f cr\\x0d"},  // C1, DEL, CR
        {1, "bad\xff utf8 caf\xc3\xa9\ttab", "bad\\xff utf8 caf\xc3\xa9\ttab"},
        {1, "\\x41 \\\x1b", "\\\\x41 \\\\\\x1b"},  // a backslash before an escape is doubled
        {0, "raw\x1b[2J" + forged, "raw\x1b[2J" + forged},
    };
    int i = 0;
    for (auto &[escape, arg, want] : rows) {
        g_framework_config.log_escape = escape;
        std::string tag = "esc-row" + std::to_string(i++) + ":";
        KIV_LOG(3, "%s%s\n", tag.c_str(), arg.c_str());
        ulog_save(1);
        std::string all = file("sensor_all.log");
        size_t at = all.find(tag);
        ASSERT_NE(at, std::string::npos) << tag;
        EXPECT_EQ(all.substr(at + tag.size(), want.size() + 1), want + "\n") << tag;
    }
    // A long line is cut before an escape, never inside one.
    g_framework_config.log_escape = 1;
    __kiv_ulog(3, "%s\x1b\n", std::string(4092, 'c').c_str());
    ulog_save(1);
    std::string all = file("sensor_all.log");
    EXPECT_EQ(all.substr(all.size() - 4094), "\n" + std::string(4092, 'c') + "\n");
}

TEST_F(Ulog, RotationNumbersWrapAndPathsStayQuoted) {
    // A quote, spaces and a command substitution must all stay inside the shell word.
    std::string d = root + "/it's a $(touch " + root + "/pwned) dir", f = d + "/sensor.log";
    ASSERT_EQ(mkdir_path(d.c_str()), 0);
    for (int expect : {1, 2, 3, 1}) {
        make_file(f, 1 << 20);
        EXPECT_EQ(__log_rotate(f.c_str(), 3, 1), expect);
        EXPECT_TRUE(!fs::exists(f) && fs::exists(f + "." + std::to_string(expect) + ".tgz"));
    }
    make_file(f, (1 << 20) - 1);
    EXPECT_EQ(__log_rotate(f.c_str(), 3, 1), 0);  // below the size: kept
    EXPECT_FALSE(fs::exists(root + "/pwned"));
}

// A full disk: tar fails after leaving part of an archive. The log stays whole, the broken
// archive goes, the failure is said once, and the next pass that works archives as usual.
TEST_F(Ulog, FailedArchiveKeepsTheLog) {
    std::string bin = root + "/bin", f = dir + "/sensor.log";
    ASSERT_EQ(mkdir_path(bin.c_str()), 0);
    std::ofstream(bin + "/tar") << "#!/bin/sh\necho partial > \"$2\"\nexit 2\n";
    ASSERT_EQ(chmod((bin + "/tar").c_str(), 0755), 0);
    const std::string path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (bin + ":" + path).c_str(), 1);
    make_file(f, 1 << 20);
    for (int pass = 0; pass < 2; pass++) {
        EXPECT_EQ(__log_rotate(f.c_str(), 3, 1), -1);
        EXPECT_TRUE(fs::exists(f) && fs::file_size(f) == 1u << 20) << pass;
        EXPECT_FALSE(fs::exists(f + ".1.tgz")) << pass;
    }
    setenv("PATH", path.c_str(), 1);
    ulog_save(1);
    EXPECT_EQ(count(file("sensor_all.log"), "rotate log (" + f + ") failed"), 1u);
    EXPECT_EQ(__log_rotate(f.c_str(), 3, 1), 1);
    EXPECT_TRUE(!fs::exists(f) && fs::exists(f + ".1.tgz"));
}

// The configuration watch flushes the logger from the framework thread while the logger
// thread drains the same rings: one drain at a time, and every line reaches the file once and
// in the order it was logged. The reloaded words are read by every thread meanwhile.
TEST_F(Ulog, ConfigurationReloadWhileLinesFlow) {
    g_framework_config.log_level = 2;
    std::string conf = root + "/sensor.conf";
    auto write_conf = [&](int refresh, time_t mtime) {
        std::ofstream(conf) << "[base]\nlog_level = 2\nlog_refresh_interval = " << refresh
                            << "\nlog_rotate = 3\nlog_file_size = 20\n";
        timespec t[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, conf.c_str(), t, 0), 0);
    };
    kiv_set_sensor_conf_path(conf.c_str());
    framework_cfg_set_before_reload(ulog_save_once);  // as start-up hands it in
    write_conf(1, 1000);
    framework_cfg_update_check_timer(nullptr);  // the first run only records the time
    ulog_save(1);
    uint32_t full_before = __kiv_ring_logger_low->full_cnt;

    kiv_task task{};
    snprintf(task.name, sizeof(task.name), "KivLogger");
    task.state = TASK_RUNNING;
    std::thread logger(logger_main, &task);
    // Lines keep flowing through several logger turns (one every 100 ms) and many reloads.
    constexpr int kThreads = 3, kReloads = 100;
    std::atomic<bool> stop{false};
    int lines[kThreads] = {};
    std::thread writers[kThreads];
    for (int t = 0; t < kThreads; t++)
        writers[t] = std::thread([t, &stop, &lines] {
            for (int &i = lines[t]; !stop.load(); i++) {
                KIV_LOG(2, "flow-%d-%06d\n", t, i);
                if (i % 20 == 19) usleep(1000);
            }
        });
    for (int i = 0; i < kReloads; i++) {
        write_conf(i % 2 ? 60 : 1, 1001 + i);
        framework_cfg_update_check_timer(nullptr);
        usleep(3000);
    }
    stop = true;
    for (auto &w : writers) w.join();
    task.state = TASK_STOPPING;
    logger.join();
    kiv_set_sensor_conf_path(nullptr);
    framework_cfg_set_before_reload(nullptr);
    ulog_save(1);

    std::string all = file("sensor_all.log");
    size_t seen = 0;
    for (int t = 0; t < kThreads; t++) {
        std::string tag = "flow-" + std::to_string(t) + "-";
        std::string last;
        for (size_t at = all.find(tag); at != std::string::npos; at = all.find(tag, at + 1)) {
            std::string n = all.substr(at + tag.size(), 6);
            EXPECT_LT(last, n) << "thread " << t << " reordered or repeated";
            last = n;
            seen++;
        }
    }
    // Every line arrived once, or was refused by a full ring; the refusals may also count
    // other lines (the reloads log too), so the refusal count bounds the loss from above.
    const size_t logged = (size_t)lines[0] + lines[1] + lines[2];
    const size_t refused = __kiv_ring_logger_low->full_cnt - full_before;
    EXPECT_LE(seen, logged);
    EXPECT_GE(seen + refused, logged);
    // Each reload says so once, unless a full ring refused its line too.
    const size_t updates = count(all, "update config");
    EXPECT_LE(updates, (size_t)kReloads);
    EXPECT_GE(updates + refused, (size_t)kReloads);
}

}  // namespace
