// Rotation as it happens in the field: a writer appends numbered lines at a steady rate while
// Debian's logrotate rotates the file (create, then copytruncate; both with compress and
// delaycompress) and the collector is stopped and started again in the middle. Nothing is
// asserted on time.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/dirutils.h"
#include "framework/mod_manager.h"
#include "log_collector/log_collector.h"
#include "qxkiv/qxkiv.h"

namespace {

using steady = std::chrono::steady_clock;

int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(steady::now().time_since_epoch())
        .count();
}

std::string find_logrotate() {
    for (const char *p : {"/usr/sbin/logrotate", "/sbin/logrotate", "/usr/bin/logrotate"})
        if (access(p, X_OK) == 0) return p;
    return {};
}

std::mutex s_lock;
std::vector<std::string> s_got;  // lines in arrival order

int keep(const char *text, uint32_t len, int32_t, uint32_t) {
    cJSON *j = cJSON_ParseWithLength(text, len);
    cJSON *line = cJSON_GetObjectItem(cJSON_GetObjectItem(j, "message"), "line");
    std::lock_guard g(s_lock);
    s_got.emplace_back(cJSON_IsString(line) ? line->valuestring : "");
    cJSON_Delete(j);
    return 0;
}

// Line n: "seq=<n> <padding>end".
std::string make_line(int n) {
    return "seq=" + std::to_string(n) + " payload-abcdefghij end\n";
}

// Joins pieces: a message without the end mark is continued by the next one.
std::vector<int> assemble(const std::vector<std::string> &msgs) {
    std::vector<int> seqs;
    std::string acc;
    for (auto &m : msgs) {
        acc += m;
        if (acc.size() < 3 || acc.compare(acc.size() - 3, 3, "end") != 0) continue;
        int n = -1;
        if (sscanf(acc.c_str(), "seq=%d", &n) == 1) seqs.push_back(n);
        acc.clear();
    }
    return seqs;
}

struct Logrotate : ::testing::TestWithParam<const char *> {
    std::string root, lr;
    void SetUp() override {
        lr = find_logrotate();
        if (lr.empty())
            GTEST_SKIP() << "logrotate is not installed (Debian package logrotate); "
                            "rotation by logrotate not tested";
        char tmpl[] = "/tmp/kivlogrot.XXXXXX";
        root = mkdtemp(tmpl);
        for (const char *d : {"/config", "/logs"}) mkdir((root + d).c_str(), 0700);
        log_collector_set_conf_path((root + "/config/log_collector.conf").c_str());
        g_init_done = 1;
        register_upload_callback(keep);
        std::lock_guard g(s_lock);
        s_got.clear();
    }
    void TearDown() override {
        if (root.empty()) return;
        log_collector_set_conf_path(nullptr);
        mod_manager_reset_callbacks();
        g_init_done = 0;
        dirutils_rmdir(root.c_str());
    }
};

TEST_P(Logrotate, EveryCompleteLineOnceAndInOrderAcrossRotationsAndARestart) {
    const std::string mode = GetParam();
    const std::string file = root + "/logs/app.log";
    std::ofstream(root + "/config/log_collector.conf")
        << "[global]\nmax_old_log_size = 0\nquota_per_log = 4194304\nmax_line_size = 4096\n"
           "collect_timeout = 20\ncollect_num_per_sec = 4096\nmonitor_timeout = 1000\n"
           "[file_path]\ncnt = 1\nappname0 = app\npath0 = "
        << file << "\n";
    std::ofstream(root + "/logrotate.conf")
        << file << " {\n    rotate 20\n    " << mode
        << "\n    compress\n    delaycompress\n    missingok\n}\n";
    std::ofstream(file).close();

    // The collector loop as its thread runs it, stopped and started again on request.
    std::atomic<bool> stop_all{false}, restart{false};
    std::thread collector([&] {
        log_collector_ctx ctx{};
        ASSERT_EQ(log_collector_init(&ctx), 0);
        int64_t rescan_at = 0;
        while (!stop_all) {
            if (restart.exchange(false)) {
                log_collector_exit(&ctx);
                ASSERT_EQ(log_collector_init(&ctx), 0);
            }
            if (now_us() >= rescan_at) {
                parse_logset(&ctx);
                save_state(&ctx);
                rescan_at = now_us() + ctx.monitor_timeout * 1000;
            }
            if (report(&ctx) == 0) collect_log(&ctx);
            std::this_thread::sleep_for(std::chrono::milliseconds(ctx.collect_timeout));
        }
        // Let the last lines arrive before the final stop.
        for (int i = 0; i < 20; i++) {
            if (report(&ctx) == 0) collect_log(&ctx);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        log_collector_exit(&ctx);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // first look: empty file

    // The writer reopens when the path names another file, as a daemon does on its signal;
    // until then it keeps writing into the renamed one.
    std::atomic<int> written{0};
    std::atomic<bool> stop_writer{false};
    std::thread writer([&] {
        int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        struct stat mine, now;
        fstat(fd, &mine);
        int64_t next_check = 0;
        for (int n = 0; !stop_writer; n++) {
            if (now_us() >= next_check) {
                next_check = now_us() + 50000;
                if (stat(file.c_str(), &now) != 0 || now.st_ino != mine.st_ino) {
                    close(fd);
                    fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
                    fstat(fd, &mine);
                }
            }
            std::string l = make_line(n);
            ASSERT_EQ(write(fd, l.data(), l.size()), (ssize_t)l.size());
            written = n + 1;
            std::this_thread::sleep_for(std::chrono::microseconds(1000));
        }
        close(fd);
    });

    const std::string rotate = lr + " -s " + root + "/lr.state -f " + root + "/logrotate.conf";
    for (int step = 0; step < 6; step++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        if (step == 3) {
            restart = true;
            continue;
        }
        ASSERT_EQ(system(rotate.c_str()), 0) << rotate;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stop_writer = true;
    writer.join();
    // Bounded wait for the collector to reach the last line.
    for (int i = 0; i < 300; i++) {
        {
            std::lock_guard g(s_lock);
            if (!s_got.empty() &&
                s_got.back().rfind("seq=" + std::to_string(written - 1) + " ", 0) == 0)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop_all = true;
    collector.join();

    const int total = written;
    std::vector<int> ours;
    {
        std::lock_guard g(s_lock);
        ours = assemble(s_got);
    }
    // How often each line arrived, and what the files themselves still hold, rotated and
    // compressed ones included.
    std::vector<int> times(total, 0);
    int out_of_order = 0, last = -1;
    for (int n : ours) {
        if (n < 0 || n >= total) continue;
        out_of_order += n < last;
        last = std::max(last, n);
        times[n]++;
    }
    std::vector<char> in_files(total, 0);
    FILE *z = popen(("zcat -f '" + root + "/logs/'app.log* 2>/dev/null").c_str(), "r");
    ASSERT_NE(z, nullptr);
    char buf[256];
    while (fgets(buf, sizeof buf, z)) {
        int n;
        if (sscanf(buf, "seq=%d", &n) == 1 && n >= 0 && n < total && strstr(buf, "end\n"))
            in_files[n] = 1;
    }
    pclose(z);
    int missed_in_files = 0, missing = 0, repeated = 0;
    for (int n = 0; n < total; n++) {
        missed_in_files += in_files[n] && !times[n];
        missing += !times[n];
        repeated += times[n] > 1;
    }
    EXPECT_EQ(repeated, 0);
    EXPECT_EQ(out_of_order, 0);
    // Nothing that any file still holds is missing. With copytruncate, what the writer adds
    // between logrotate's copy and its truncation is gone from every file.
    EXPECT_EQ(missed_in_files, 0);
    if (mode == "create") EXPECT_EQ(missing, 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, Logrotate, ::testing::Values("create", "copytruncate"),
                         [](const auto &info) { return std::string(info.param); });

}  // namespace
