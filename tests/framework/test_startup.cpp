#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>

#include "comm/timer.h"
#include "framework/config.h"
#include "framework/mem.h"
#include "framework/ring.h"
#include "framework/startup.h"
#include "framework/task.h"
#include "kernel/kernel_if.h"
#include "log/ulog.h"
#include "qxkiv/kemu.h"
#include "staged_tree.h"

namespace fs = std::filesystem;

namespace {

int thread_count() {
    int n = 0;
    for ([[maybe_unused]] auto &e : fs::directory_iterator("/proc/self/task")) n++;
    return n;
}

bool contains(const std::string &text, const std::string &what) {
    return text.find(what) != std::string::npos;
}

}  // namespace

// Every step's failure undoes what came before: no thread, no stand-in, device closed,
// timers gone (kiv_timer_exit aborts otherwise), and the failure line flushed to sensor.log.
TEST(Startup, FailureAtEachStepUnwinds) {
    staged_tree tree;
    const int threads = thread_count();
    const int64_t blocks = kiv_stat_get(MALLOC_IN_USE_TIMES);
    for (int no = 1; no <= 18; no++) {
        if (!sensor_init_has_step(no)) continue;
        SCOPED_TRACE(no);
        sensor_init_fail_at(no);
        EXPECT_EQ(sensor_init(), -1);
        EXPECT_EQ(g_tasks, nullptr);
        EXPECT_EQ(thread_count(), threads);
        EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);
        EXPECT_EQ(kiv_dev_ioctl(KIV_SENSOR_SWITCH_REQ, 0), -1);
        EXPECT_EQ(g_in_master_thread.load(), 0);
        EXPECT_EQ(kiv_stat_get(MALLOC_IN_USE_TIMES), blocks);
        if (no > 1) {
            std::string line = "start-up step " + std::to_string(no) + " ";
            EXPECT_TRUE(contains(tree.read("logs/sensor.log"), line));
        }
    }
    // After all that, a clean start and stop still works.
    sensor_init_fail_at(0);
    ASSERT_EQ(sensor_init(), 0);
    EXPECT_EQ(thread_count(), threads + 3 + g_framework_config.collector_task_num);
    EXPECT_EQ(kemu_delivery(), 0);  // comes up with delivery off
    uint32_t v = 7;
    EXPECT_EQ(kemu_last_control(KIV_SENSOR_SWITCH_REQ, &v, sizeof(v)), 4);
    EXPECT_EQ(v, 0u);
    sensor_exit();
    sensor_exit();  // a second stop has nothing to do
    EXPECT_EQ(thread_count(), threads);
    EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);
    EXPECT_EQ(kiv_stat_get(MALLOC_IN_USE_TIMES), blocks);
    std::string log = tree.read("logs/sensor.log");
    EXPECT_TRUE(contains(log, "kiv app:1.1.0_20240529130429 init ok"));
    EXPECT_TRUE(contains(log, "RCV_HIGH(msg rcv from high queue): "));  // statistics dump
}

TEST(Startup, ModuleModeWithoutModuleFailsNamingIt) {
    staged_tree tree("kernel_mode = module\n");
    EXPECT_EQ(sensor_init(), -1);
    EXPECT_EQ(g_tasks, nullptr);
    EXPECT_TRUE(contains(tree.read("logs/sensor.log"), "/proc/qxkiv missing"));
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

TEST_F(ConfigTest, DefaultsAndConversions) {
    struct {
        const char *text;
        int collectors, level;
        uint32_t mask;
        int mode;
    } cases[] = {
        {"", 1, 2, 0xFFFFFFF, KERNEL_MODE_MODULE},
        {"log_mask = ff\nkernel_mode = userspace\n", 1, 2, 0xFF, KERNEL_MODE_USERSPACE},
        {"log_mask = 0x10\nkernel_mode = emulated\ncollector_task_num = 3\n", 3, 2, 0x10,
         KERNEL_MODE_EMULATED},
        // Bad values: a log line and the default.
        {"log_mask = zz\nkernel_mode = kvm\nlog_level = 9\ncollector_task_num = -2\n", 1, 2,
         0xFFFFFFF, KERNEL_MODE_MODULE},
        {"log_mask = -1\nlog_level = 4\n", 1, 4, 0xFFFFFFF, KERNEL_MODE_MODULE},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.text);
        load(c.text);
        EXPECT_EQ(g_framework_config.collector_task_num, c.collectors);
        EXPECT_EQ(g_framework_config.log_level, c.level);
        EXPECT_EQ(g_framework_config.log_mask, c.mask);
        EXPECT_EQ(g_framework_config.kernel_mode, c.mode);
        EXPECT_EQ(g_framework_config.log_rotate, 7);
        EXPECT_STREQ(g_framework_config.ko_path, "@/../src/kernel");
        TearDown();
    }
    // No "base" section at all: every default (the fixture's TearDown stops this one).
    std::ofstream(tree.conf()) << "[other]\nlog_level = 4\n";
    ASSERT_EQ(kiv_timer_init(), 0);
    ASSERT_EQ(framework_cfg_init(), 0);
    EXPECT_EQ(g_framework_config.log_level, 2);
    EXPECT_EQ(g_framework_config.log_mask, 0xFFFFFFFu);
    EXPECT_STREQ(g_framework_config.log_path, "@/../logs/sensor.log");
}

TEST_F(ConfigTest, ReloadFollowsModificationTime) {
    load("log_level = 2\nlog_rotate = 7\ncollector_task_num = 1\n");
    auto set_mtime = [&](time_t sec) {
        timespec t[2] = {{sec, 0}, {sec, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, tree.conf().c_str(), t, 0), 0);
    };
    set_mtime(1000);
    framework_cfg_update_check_timer(nullptr);  // first run only records the time
    tree.write_conf("log_level = 3\nlog_rotate = 2\ncollector_task_num = 4\n");
    set_mtime(1000);
    framework_cfg_update_check_timer(nullptr);
    EXPECT_EQ(g_framework_config.log_level, 2);  // same time: not looked at
    set_mtime(1001);
    framework_cfg_update_check_timer(nullptr);
    EXPECT_EQ(g_framework_config.log_level, 3);
    EXPECT_EQ(g_framework_config.log_rotate, 2);
    EXPECT_EQ(g_framework_config.collector_task_num, 1);  // not reloadable
    // A touch without edits reloads too; a vanished file keeps the values.
    tree.write_conf("log_level = 1\n");
    set_mtime(1001);
    framework_cfg_update_check_timer(nullptr);
    EXPECT_EQ(g_framework_config.log_level, 3);
    set_mtime(1002);
    framework_cfg_update_check_timer(nullptr);
    EXPECT_EQ(g_framework_config.log_level, 1);
    EXPECT_EQ(g_framework_config.log_rotate, 7);
    unlink(tree.conf().c_str());
    framework_cfg_update_check_timer(nullptr);
    EXPECT_EQ(g_framework_config.log_level, 1);
}

TEST(OsInfo, ReleaseCodes) {
    struct {
        const char *release;
        int rc, code;
    } cases[] = {
        {"3.10.0-1160.el7.x86_64", 0, 3 * 65536 + 10 * 256},
        {"6.1.0-18-amd64", 0, 6 * 65536 + 1 * 256},
        {"5.15.90.1-microsoft", 0, 5 * 65536 + 15 * 256 + 90},
        {"4.x.y", 0, 4 * 65536},
        {"5.4", -1, 0},
        {"", -1, 0},
        {"99999999999.1.1", -1, 0},  // does not fit the code
    };
    for (auto &c : cases) {
        int code = 0;
        EXPECT_EQ(os_release_code(c.release, &code), c.rc) << c.release;
        if (c.rc == 0) EXPECT_EQ(code, c.code) << c.release;
    }
    EXPECT_EQ(os_info_init(), 0);
    EXPECT_GT(s_kernel_verion, 65536);
}

TEST(Bypass, DirectoryFromMaps) {
    const char *text_map =
        "7f00-7f01 r-xp 00000000 08:01 1 /opt/a/lib/other.so\n"
        "7f01-7f02 r--p 00000000 08:01 2 /opt/kiv/lib/libqxkiv.so\n"
        "7f02-7f03 r-xp 00001000 08:01 2 /opt/kiv/lib/libqxkiv.so\n"
        "7f03-7f04 r-xp 00001000 08:01 3 /second/libqxkiv.so\n";
    struct {
        const char *maps;
        int size, rc;
        const char *dir;
    } cases[] = {
        {text_map, 256, 0, "/opt/kiv/lib/../../"},
        {text_map, 25, 0, "/opt/kiv/lib/../../"},                        // the file name just fits
        {text_map, 24, -1, nullptr},                                     // one byte short
        {"7f02-7f03 r-xp 0 08:01 2 /x/libqxkiv.so", 256, -1, nullptr},   // no newline
        {"7f02-7f03 r-xp 0 08:01 2 [libqxkiv.so]\n", 256, -1, nullptr},  // no '/'
        {"", 256, -1, nullptr},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.size);
        FILE *f = fmemopen((void *)c.maps, strlen(c.maps) + (c.maps[0] ? 0 : 1), "r");
        ASSERT_NE(f, nullptr);
        char buf[256];
        EXPECT_EQ(bypass_dir_from_maps(f, buf, c.size), c.rc);
        if (c.dir) EXPECT_STREQ(buf, c.dir);
        fclose(f);
    }
    char buf[8];
    EXPECT_EQ(qx_bypass_get_config_dir(nullptr, 8), -1);
    EXPECT_EQ(qx_bypass_get_config_dir(buf, 0), -1);
    EXPECT_EQ(qx_bypass_get_config_dir(buf, sizeof(buf)), -1);  // linked in, no libqxkiv.so
    EXPECT_EQ(loader_bypass(), nullptr);
}

TEST(Bypass, PluginVerdicts) {
    void *veto = dlopen(KIV_BYPASS_VETO, RTLD_NOW);
    void *pass = dlopen(KIV_BYPASS_PASS, RTLD_NOW);
    void *none = dlopen(nullptr, RTLD_NOW);  // the test itself: no check function
    ASSERT_TRUE(veto && pass && none);
    EXPECT_EQ(kiv_check_module_bypass(veto, "qxkiv"), -1);
    EXPECT_EQ(kiv_check_module_bypass(veto, "other"), 0);
    EXPECT_EQ(kiv_check_module_bypass(veto, nullptr), 0);
    EXPECT_EQ(kiv_check_module_bypass(pass, "qxkiv"), 0);
    EXPECT_EQ(kiv_check_module_bypass(none, "qxkiv"), 0);
    EXPECT_EQ(kiv_check_module_bypass(nullptr, "qxkiv"), 0);
    for (void *h : {veto, pass, none}) unload_bypass(h);
    unload_bypass(nullptr);
}

// The host as deployed: the C host in <root>/bin loads <root>/lib/kiv/libqxkiv.so with dlopen;
// the plug-in then sits at <root>/lib/libqxbypass.so (two levels above the library).
struct HostTest : ::testing::Test {
    staged_tree tree{"kernel_mode = emulated\nlog_path = @/../logs\ncollector_task_num = 2\n"};
    void SetUp() override {
        fs::create_directories(tree.root + "/bin");
        fs::create_directories(tree.root + "/lib/kiv");
        fs::copy_file(KIV_TEST_HOST, tree.root + "/bin/kiv_test_host");
        fs::copy_file(KIV_LIB, tree.root + "/lib/kiv/libqxkiv.so");
    }
    void plugin(const char *path) {
        fs::copy_file(path, tree.root + "/lib/libqxbypass.so",
                      fs::copy_options::overwrite_existing);
    }
    int run(const std::string &arg) {
        std::string cmd = tree.root + "/bin/kiv_test_host " + tree.root + "/lib/kiv/libqxkiv.so " +
                          arg + " >" + tree.root + "/host.out 2>&1";
        int st = system(cmd.c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
};

TEST_F(HostTest, InjectedRecordsAreCountedInTheStatisticsDump) {
    plugin(KIV_BYPASS_PASS);
    ASSERT_EQ(run("300"), 0) << tree.read("host.out");
    std::string log = tree.read("logs/sensor.log");
    EXPECT_TRUE(contains(log, "LOADER BYPASS lib: " + tree.root + "/lib/kiv/../..//lib/"));
    for (const char *ring :
         {"RCV_HIGH(msg rcv from high queue): 300\n", "RCV_MID(msg rcv from mid queue): 300\n",
          "RCV_LOW(msg rcv from low queue): 300\n", "RCV_UCTRL(msg rcv from uctrl queue): 300\n"})
        EXPECT_TRUE(contains(log, ring)) << ring;
}

TEST_F(HostTest, PluginVetoFailsStartUpAndUndoesIt) {
    plugin(KIV_BYPASS_VETO);
    ASSERT_EQ(run("fail"), 0) << tree.read("host.out");
    std::string log = tree.read("logs/sensor.log");
    EXPECT_TRUE(contains(log, "qxkiv module bypass!"));
    EXPECT_TRUE(contains(log, "sensor_init failed") || contains(log, "start-up step 8 "));
}
