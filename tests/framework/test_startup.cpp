#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "comm/timer.h"
#include "base/mem.h"
#include "framework/ring.h"
#include "startup/startup.h"
#include "framework/task.h"
#include "kernel/kernel_if.h"
#include "base/log.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"
#include "host_log.h"
#include "staged_tree.h"
#include "test_io.h"
#include "task/binhash.h"

namespace fs = std::filesystem;

namespace {
int thread_count() {
    int n = 0;
    for ([[maybe_unused]] auto &e : fs::directory_iterator("/proc/self/task")) n++;
    return n;
}
}  // namespace

// Every step's failure undoes what came before: no thread, no stand-in, device closed,
// timers gone (kiv_timer_exit aborts otherwise), and the failure line flushed to sensor.log.
TEST(Startup, FailureAtEachStepUnwinds) {
    staged_tree tree;
    const int threads = thread_count();
    const int64_t blocks = kiv_stat_get(MALLOC_IN_USE_TIMES);
    std::vector<int> steps{STEP_INSTANCE_LOCK};
    for (int no = 1; no <= 18; no++) steps.push_back(no);
    for (int no : steps) {
        if (!sensor_init_has_step(no)) continue;
        SCOPED_TRACE(no);
        sensor_init_fail_at(no);
        EXPECT_EQ(sensor_init(), -1);
        EXPECT_TRUE(g_tasks == nullptr && g_in_master_thread.load() == 0);
        EXPECT_EQ(thread_count(), threads);
        EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);
        EXPECT_EQ(kiv_dev_ioctl(KIV_SENSOR_SWITCH_REQ, 0), -1);
        EXPECT_EQ(kiv_stat_get(MALLOC_IN_USE_TIMES), blocks);
        if (no > 1)
            EXPECT_TRUE(has(tree.read("logs/sensor.log"), "start-up step " + std::to_string(no)));
    }
    // After all that, a clean start (delivery off) and a double stop still work.
    sensor_init_fail_at(0);
    ASSERT_EQ(sensor_init(), 0);
    // Framework, logger and log collector, the collectors, and the digest cache's hashers.
    EXPECT_EQ(thread_count(),
              threads + 3 + g_framework_config.collector_task_num + (int)BINHASH_THREADS);
    EXPECT_EQ(kemu_delivery(), 0);
    sensor_exit();
    sensor_exit();
    EXPECT_TRUE(thread_count() == threads && kemu_delivery() == KEMU_INACTIVE);
    EXPECT_EQ(kiv_stat_get(MALLOC_IN_USE_TIMES), blocks);
    EXPECT_TRUE(has(tree.read("logs/sensor.log"), "kiv app:1.1.0_20240529130429 init ok"));
}

// A second sensor on one installation would report everything twice and share the logs and
// the database: its start fails and names the running one; the lock goes with the stop.
TEST(Startup, SecondInstanceOnOneInstallationIsRefused) {
    staged_tree tree;
    const std::string lock = tree.root + "/var/data/qxkiv.lock";
    fs::create_directories(tree.root + "/var/data");
    auto try_lock = [&](const char *pid) {
        int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (fd >= 0) close(fd);
            return -1;
        }
        if (pid) EXPECT_EQ(pwrite(fd, pid, strlen(pid), 0), (ssize_t)strlen(pid));
        return fd;
    };
    int other = try_lock("4242\n");
    ASSERT_GE(other, 0);
    EXPECT_EQ(sensor_init(), -1);
    EXPECT_TRUE(
        has(tree.read("logs/sensor.log"), "another sensor (pid 4242) runs on this installation"));
    EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);
    close(other);

    ASSERT_EQ(sensor_init(), 0);
    EXPECT_EQ(try_lock(nullptr), -1);
    EXPECT_EQ(tree.read("var/data/qxkiv.lock"), std::to_string(getpid()) + "\n");
    sensor_exit();
    int after = try_lock(nullptr);
    EXPECT_GE(after, 0);
    close(after);
}

// framework_cfg_init on its own: the timer service must exist for the watch timer.
struct ConfigTest : ::testing::Test {
    staged_tree tree{""};
    void load(const std::string &base) {
        tree.write_conf(base);
        ASSERT_EQ(kiv_timer_init(), 0);
        ASSERT_EQ(framework_cfg_init(), 0);
    }
    void TearDown() override {
        framework_cfg_exit();
        kiv_timer_exit();
    }
};

TEST_F(ConfigTest, ValuesAndBadValues) {
    load("log_mask = 0x10\n");
    EXPECT_EQ(g_framework_config.log_mask, 0x10u);
    TearDown();
    // Bad values: a log line and the default (the fixture's TearDown stops this one). The
    // file's own log_level 0, or one left from an earlier start, must not hide the lines.
    g_framework_config.log_level = 0;
    std::string said = logged_by([&] { load("log_mask = zz\nlog_level = 0\n"); });
    EXPECT_EQ(g_framework_config.log_mask, 0xFFFFFFFu);
    EXPECT_EQ(g_framework_config.log_level, 0);
    EXPECT_TRUE(has(said, tree.conf() + ": invalid log_mask:zz")) << said;
}

// Every numeric key has a range: below it the default, above it the bound (log_level takes
// its default both ways), each with a line naming file, key and value.
TEST_F(ConfigTest, RangesDefaultsAndBounds) {
    using field = int64_t (*)();
#define F(member) [] { return (int64_t)g_framework_config.member; }
    const struct {
        const char *key, *value;
        field get;
        int64_t want;
    } rows[] = {
        {"collector_task_num", "2147483647", F(collector_task_num), 64},
        {"collector_task_num", "0", F(collector_task_num), 1},
        {"collector_task_num", "64", F(collector_task_num), 64},
        {"blocker_task_num", "0", F(blocker_task_num), 1},
        {"log_level", "9", F(log_level), 2},
        {"log_level", "-1", F(log_level), 2},
        {"log_file_size", "-1", F(log_file_size), 5},
        {"log_file_size", "100", F(log_file_size), 20},
        {"log_rotate", "1000", F(log_rotate), 100},
        {"log_rotate", "0", F(log_rotate), 0},
        {"log_refresh_interval", "0", F(log_refresh_interval), 60},
        {"stat_event_rate_interval", "-5", F(stat_event_rate_interval), 0},
        {"os_cap_mode", "3", F(os_cap_mode), 1},
    };
#undef F
    bool first = true;
    for (const auto &r : rows) {
        if (!first) TearDown();
        first = false;
        std::string said = logged_by([&] { load(std::string(r.key) + " = " + r.value + "\n"); });
        EXPECT_EQ(r.get(), r.want) << r.key << " = " << r.value;
        bool in_range = std::to_string(r.want) == r.value;
        EXPECT_EQ(has(said, std::string("get ") + r.key + " error: " + r.value) ||
                      has(said, std::string(r.key) + " exceed max cnt: "),
                  !in_range)
            << said;
    }
}

// A file that cannot be trusted stops start-up with a level-0 line: a directory where the file
// should be (a misspelt backend is FailureReasonReachesTheHost's). A long comment cannot
// smuggle a key in.
TEST_F(ConfigTest, UnreadableOrUnknownStopsStartUp) {
    tree.write_conf("kernel_mode = emulated\n#" + std::string(8189, '#') +
                    "kernel_mode = module\n");
    ASSERT_EQ(kiv_timer_init(), 0);
    ASSERT_EQ(framework_cfg_init(), 0);
    EXPECT_EQ(g_framework_config.kernel_mode, KERNEL_MODE_EMULATED);
    TearDown();

    ASSERT_EQ(kiv_timer_init(), 0);
    unlink(tree.conf().c_str());
    ASSERT_EQ(mkdir(tree.conf().c_str(), 0700), 0);
    std::string said = logged_by([&] { EXPECT_EQ(framework_cfg_init(), -1); });
    EXPECT_TRUE(has(said, "read config:" + tree.conf() + " failed")) << said;
    rmdir(tree.conf().c_str());
}

// The host learns why start-up failed: the first level-0 line, not the "step failed" echo.
TEST(Startup, FailureReasonReachesTheHost) {
    staged_tree tree{"kernel_mode = userspce\nlog_level = 0\n"};
    EXPECT_EQ(sensor_init(), -1);
    std::string why = kiv_last_error();
    EXPECT_TRUE(has(why, "unknown kernel_mode = userspce")) << why;
    EXPECT_FALSE(has(why, "\n")) << why;
    tree.write_conf("kernel_mode = emulated\n");
    ASSERT_EQ(sensor_init(), 0);
    EXPECT_STREQ(kiv_last_error(), "");
    sensor_exit();
}

TEST_F(ConfigTest, ReloadFollowsModificationTime) {
    load("log_level = 2\ncollector_task_num = 1\n");
    auto edit = [&](const char *text, time_t sec) {
        if (text) tree.write_conf(text);
        timespec t[2] = {{sec, 0}, {sec, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, tree.conf().c_str(), t, 0), 0);
        framework_cfg_update_check_timer(nullptr);
    };
    edit(nullptr, 1000);  // first run only records the time
    edit("log_level = 3\ncollector_task_num = 4\n", 1000);
    EXPECT_EQ(g_framework_config.log_level, 2);  // same time: not looked at
    edit(nullptr, 1001);
    EXPECT_EQ(g_framework_config.log_level, 3);
    EXPECT_EQ(g_framework_config.collector_task_num, 1);                // not reloadable
    edit("log_level = 3\nlog_file_size = -1\nlog_rotate = 2\n", 1002);  // ranges hold here too
    EXPECT_EQ(g_framework_config.log_file_size, 5);
    EXPECT_EQ(g_framework_config.log_rotate, 2);
    unlink(tree.conf().c_str());
    framework_cfg_update_check_timer(nullptr);
    EXPECT_EQ(g_framework_config.log_level, 3);  // a vanished file keeps the values
}

TEST(OsInfo, ReleaseCodes) {
    int code = 0;
    EXPECT_EQ(os_release_code("5.15.90.1-microsoft", &code), 0);
    EXPECT_EQ(code, 5 * 65536 + 15 * 256 + 90);
    for (const char *bad : {"5.4", "99999999999.1.1"}) EXPECT_EQ(os_release_code(bad, &code), -1);
}

// The plug-in's verdicts are HostTest's, through the library as deployed.
TEST(Bypass, DirectoryFromMaps) {
    const char *map =
        "7f00-7f01 r-xp 00000000 08:01 1 /opt/a/lib/other.so\n"
        "7f02-7f03 r-xp 00001000 08:01 2 /opt/kiv/lib/libqxkiv.so\n";
    for (int size : {25, 24}) {  // the directory just fits / one byte short
        FILE *f = fmemopen((void *)map, strlen(map), "r");
        char buf[64] = "";
        EXPECT_EQ(bypass_dir_from_maps(f, buf, size), size == 25 ? 0 : -1);
        if (size == 25) EXPECT_STREQ(buf, "/opt/kiv/lib/../../");
        fclose(f);
    }
}

// As deployed: <root>/bin/kiv_test_host loads <root>/lib/kiv/libqxkiv.so with dlopen; the
// plug-in sits two levels above the library, at <root>/lib/libqxbypass.so.
struct HostTest : ::testing::Test {
    staged_tree tree{"kernel_mode = emulated\nlog_path = @/../logs\ncollector_task_num = 2\n"};
    int run(const char *plugin, const std::string &arg) {
        for (const char *d : {"/bin", "/lib/kiv"}) fs::create_directories(tree.root + d);
        fs::copy_file(KIV_TEST_HOST, tree.root + "/bin/kiv_test_host");
        fs::copy_file(KIV_LIB, tree.root + "/lib/kiv/libqxkiv.so");
        fs::copy_file(plugin, tree.root + "/lib/libqxbypass.so");
        std::string cmd = tree.root + "/bin/kiv_test_host " + tree.root + "/lib/kiv/libqxkiv.so " +
                          arg + " >" + tree.root + "/host.out 2>&1";
        int st = system(cmd.c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
};

TEST_F(HostTest, InjectedRecordsAreCountedInTheStatisticsDump) {
    ASSERT_EQ(run(KIV_BYPASS_PASS, "300"), 0) << tree.read("host.out");
    std::string log = tree.read("logs/sensor.log");
    EXPECT_TRUE(has(log, "LOADER BYPASS lib: " + tree.root + "/lib/kiv/../..//lib/"));
    for (const char *ring : {"HIGH(msg rcv from high", "MID(msg rcv from mid",
                             "LOW(msg rcv from low", "UCTRL(msg rcv from uctrl"})
        EXPECT_TRUE(has(log, "RCV_" + std::string(ring) + " queue): 300\n")) << ring;
}

TEST_F(HostTest, PluginVetoFailsStartUpAndUndoesIt) {
    ASSERT_EQ(run(KIV_BYPASS_VETO, "fail"), 0) << tree.read("host.out");
    EXPECT_TRUE(has(tree.read("logs/sensor.log"), "qxkiv module bypass!"));
}
