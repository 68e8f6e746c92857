// The per-second and per-hour pair of the auxiliary sensors: its configuration and its
// counting under concurrent callers.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/mem.h"
#include "comm/timer.h"
#include "comm/upload_limit.h"

namespace {

std::atomic<uint64_t> s_clock{7'200'000};
uint64_t clock_ms() {
    return s_clock.load();
}

struct UploadLimit : ::testing::Test {
    aux_sensor_info info{};
    std::string path = "/tmp/kiv_upload_limit_" + std::to_string(getpid()) + ".conf";
    const ini_long_key sec{"x_cnt_second", 1000, 0, 100000};
    const ini_long_key hour{"x_cnt_hour", 0, 0, 100000};
    const aux_limit_stats stats{TASK_KILL_UPLOAD_LIMIT_SEC_CNT, TASK_KILL_UPLOAD_LIMIT_HOUR_CNT};
    void SetUp() override {
        kiv_timer_set_source(clock_ms);
        pthread_mutex_init(&info.upload_limit_lock, nullptr);
    }
    void TearDown() override {
        pthread_mutex_destroy(&info.upload_limit_lock);
        kiv_timer_set_source(nullptr);
        unlink(path.c_str());
    }
    int load(const std::string &text) {
        std::ofstream(path) << text;
        return aux_limit_cfg_load(&info, path.c_str(), "x", sec, hour);
    }
};

TEST_F(UploadLimit, MissingFileFailsTheLoad) {
    EXPECT_EQ(aux_limit_cfg_load(&info, "/nonexistent/dir/x.conf", "x", sec, hour), -1);
}

// The first event opens both windows even when the clock is still in its first hour.
TEST_F(UploadLimit, FirstEventOpensTheWindowsEarlyInTheClock) {
    s_clock = 1500;  // 1.5 s after the clock's start
    kiv_timer_set_source(clock_ms);
    ASSERT_EQ(load("[x]\nx_cnt_second = 0\nx_cnt_hour = 1\n"), 0);
    EXPECT_EQ(aux_upload_limit_filter(&info, stats), 0);  // opener
    EXPECT_EQ(aux_upload_limit_filter(&info, stats), 0);
    EXPECT_EQ(aux_upload_limit_filter(&info, stats), -1);
    s_clock = 1500 + 3601000;
    kiv_timer_set_source(clock_ms);
    EXPECT_EQ(aux_upload_limit_filter(&info, stats), 0);
    s_clock = 7'200'000;
}

// The windows' edges and the order of the two checks, as every sensor of this pair sees them:
// the opener of a window is not counted, a window holds exactly its length, the hour is over
// only past 3600 s, and what the second refuses is not asked of the hour.
TEST_F(UploadLimit, WindowEdgesAndTheOrderOfTheChecks) {
    ASSERT_EQ(load("[x]\nx_cnt_second = 2\nx_cnt_hour = 4\n"), 0);
    const int64_t sec = kiv_stat_get(TASK_KILL_UPLOAD_LIMIT_SEC_CNT);
    const int64_t hour = kiv_stat_get(TASK_KILL_UPLOAD_LIMIT_HOUR_CNT);
    std::string got;
    auto at = [&](uint64_t ms, int n) {
        s_clock = 7'200'000 + ms;
        kiv_timer_set_source(clock_ms);
        for (int i = 0; i < n; i++) got += aux_upload_limit_filter(&info, stats) == 0 ? 'y' : 'n';
        got += ' ';
    };
    at(0, 4);        // three pass
    at(1000, 1);     // still the first second
    at(1001, 3);     // a new second; the hour (opener and four) refuses the third
    at(1001, 1);     // that refusal took its place in the second
    at(3600000, 1);  // still the first hour
    at(3601000, 1);
    EXPECT_EQ(got, "yyyn n yyn n n y ");
    EXPECT_EQ(kiv_stat_get(TASK_KILL_UPLOAD_LIMIT_SEC_CNT) - sec, 3);
    EXPECT_EQ(kiv_stat_get(TASK_KILL_UPLOAD_LIMIT_HOUR_CNT) - hour, 2);
    s_clock = 7'200'000;
}

// Callers on several threads share one window: exactly max + 1 get through.
TEST_F(UploadLimit, ConcurrentCallersNeverOvershootTheWindow) {
    ASSERT_EQ(load("[x]\nx_cnt_second = 100\nx_cnt_hour = 0\n"), 0);
    int64_t limited = kiv_stat_get(TASK_KILL_UPLOAD_LIMIT_SEC_CNT);
    std::atomic<int> passed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; i++)
                if (aux_upload_limit_filter(&info, stats) == 0) passed++;
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(passed.load(), 101);
    EXPECT_EQ(kiv_stat_get(TASK_KILL_UPLOAD_LIMIT_SEC_CNT), limited + 299);
}

}  // namespace
