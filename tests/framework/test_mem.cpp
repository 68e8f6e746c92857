#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "comm/timer.h"
#include "framework/config.h"
#include "base/mem.h"
#include "framework/stats.h"

namespace {

TEST(Mem, CountersBalanceAcrossAllocReallocAndFree) {
    int64_t live = kiv_stat_get(MALLOC_IN_USE_TIMES), cfg = kiv_stat_get(MALLOC_FOR_CONFIG);
    char *p = static_cast<char *>(kiv_zalloc(10, MALLOC_FOR_CONFIG));
    void *empty = kiv_malloc(0, MALLOC_FOR_CONFIG);  // live and distinct
    ASSERT_TRUE(p && empty && empty != p);
    EXPECT_EQ(kiv_stat_get(MALLOC_IN_USE_TIMES), live + 2);
    memcpy(p, "abcdefghij", 10);
    p = static_cast<char *>(kiv_realloc(p, 5000));
    EXPECT_EQ(memcmp(p, "abcdefghij", 10), 0);
    EXPECT_EQ(kiv_stat_get(MALLOC_FOR_CONFIG), cfg + 5000);
    s_enable_malloc = 0;  // switched off: refused without counting
    EXPECT_EQ(kiv_malloc(10, MALLOC_FOR_CONFIG), nullptr);
    s_enable_malloc = 1;
    kiv_free(p), kiv_free(empty), kiv_free(nullptr);
    EXPECT_EQ(kiv_stat_get(MALLOC_FOR_CONFIG), cfg);
    EXPECT_EQ(kiv_stat_get(MALLOC_IN_USE_TIMES), live);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++)
        ts.emplace_back([] {
            for (int i = 0; i < 20000; i++) kiv_free(kiv_malloc(i % 97, MALLOC_FOR_CONFIG));
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(kiv_stat_get(MALLOC_IN_USE_TIMES), live);
    EXPECT_EQ(kiv_stat_get(MALLOC_FOR_CONFIG), cfg);
}

TEST(Mem, LimitsAndForeignPointersAbortNamingTheCheck) {
    void *p = kiv_malloc((1u << 23) - 1, MALLOC_FOR_TMP);  // the size limit is inclusive
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(kiv_msize(p), (size_t)((1u << 23) - 1));
    kiv_free(p);
    EXPECT_DEATH(kiv_malloc(1u << 23, MALLOC_FOR_TMP), "size <= \\(\\(1u << 23\\) - 1\\)");
    EXPECT_DEATH(kiv_malloc(8, 128), "stat_type <= \\(\\(1u << 7\\) - 1\\)");
    alignas(8) unsigned char fake[32] = {};  // zeroed header: size ok, magic wrong
    EXPECT_DEATH(kiv_free(fake + 8), "ctrl->magic == \\(0xf1f2f3e4\\)");
    EXPECT_DEATH(kiv_msize(nullptr), "ptr != \\(\\(void \\*\\)0\\)");
}

TEST(Stats, TravelListsEachCounterOnceAndRefusesShortBuffers) {
    char buf[512];
    int index = 0, lines = 0, n;
    while ((n = travel_usensor_stats(buf, sizeof(buf), &index)) > 0) lines++;
    EXPECT_EQ(n, 0);
    EXPECT_EQ(lines, USENSOR_STAT_MAX);
    index = 0;
    EXPECT_EQ(travel_usensor_stats(buf, 10, &index), -1);  // no partial line, no advance
    EXPECT_EQ(index, 0);
}

uint64_t g_ms;
uint64_t fake_clock() {
    return g_ms;
}

TEST(Stats, RateReportStopsAtZeroAndRestartsWithZeroedCounts) {
    g_ms = 1000000;
    kiv_timer_set_source(fake_clock);
    ASSERT_EQ(kiv_timer_init(), 0);
    g_framework_config.stat_event_rate_interval = 60;
    change_ustat_cfg_check();
    g_ev_rate_stats[1] += 7;
    g_ms += 60000;
    kiv_timer_loop();
    EXPECT_EQ(g_pre_ev_rate_stats[1], 7);  // reported and snapshotted
    g_framework_config.stat_event_rate_interval = 0;
    change_ustat_cfg_check();
    g_ev_rate_stats[1] += 5;
    g_ms += 120000;
    kiv_timer_loop();
    EXPECT_EQ(g_pre_ev_rate_stats[1], 7);  // timer gone
    g_framework_config.stat_event_rate_interval = 60;
    change_ustat_cfg_check();
    EXPECT_EQ(g_ev_rate_stats[1].load(), 0);
    ustat_exit();
    kiv_timer_exit();  // aborts if the rate timer were still armed
    kiv_timer_set_source(nullptr);
}

}  // namespace
