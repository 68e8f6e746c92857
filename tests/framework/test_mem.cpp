#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comm/timer.h"
#include "framework/config.h"
#include "framework/mem.h"
#include "framework/mem_alloc.h"

namespace {

int64_t stat(uint32_t i) { return kiv_stat_get(i); }

TEST(Mem, BlocksAreCountedPerCategoryAndBalanced) {
    int64_t live = stat(MALLOC_IN_USE_TIMES), hash = stat(MALLOC_FOR_HASH);
    void *p = kiv_zalloc(100, MALLOC_FOR_HASH);
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; i++) ASSERT_EQ(static_cast<unsigned char *>(p)[i], 0);
    EXPECT_EQ(stat(MALLOC_FOR_HASH), hash + 100);
    EXPECT_EQ(stat(MALLOC_IN_USE_TIMES), live + 1);
    EXPECT_EQ(kiv_msize(p), 100u);
    kiv_free(p);
    EXPECT_EQ(stat(MALLOC_FOR_HASH), hash);
    EXPECT_EQ(stat(MALLOC_IN_USE_TIMES), live);
    kiv_free(nullptr);  // ignored
}

TEST(Mem, ZeroByteBlocksAreDistinctAndLive) {
    int64_t live = stat(MALLOC_IN_USE_TIMES);
    void *a = kiv_malloc(0, MALLOC_FOR_TMP);
    void *b = kiv_malloc(0, MALLOC_FOR_TMP);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(stat(MALLOC_IN_USE_TIMES), live + 2);
    kiv_free(a);
    kiv_free(b);
}

TEST(Mem, SizeLimitIsInclusive) {
    void *p = kiv_malloc((1u << 23) - 1, MALLOC_FOR_TMP);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(kiv_msize(p), (size_t)((1u << 23) - 1));
    kiv_free(p);
    EXPECT_DEATH(kiv_malloc(1u << 23, MALLOC_FOR_TMP), "assert \"size <= \\(\\(1u << 23\\) - 1\\)\" failed");
    EXPECT_DEATH(kiv_malloc(8, 128), "stat_type <= \\(\\(1u << 7\\) - 1\\)");
}

TEST(Mem, ForeignOrFreedPointersAbortNamingTheCheck) {
    // A block that never came from the allocator: zeroed header, size ok, magic wrong.
    alignas(8) unsigned char fake[32] = {};
    EXPECT_DEATH(kiv_free(fake + 8), "ctrl->magic == \\(0xf1f2f3e4\\)");
    EXPECT_DEATH(kiv_msize(nullptr), "ptr != \\(\\(void \\*\\)0\\)");
    EXPECT_DEATH(
        {
            void *p = kiv_malloc(16, MALLOC_FOR_TMP);
            // Keep the memory so the header is still readable after a free.
            memcpy(fake, static_cast<char *>(p) - 8, 24);
            kiv_free(p);
            reinterpret_cast<uint32_t *>(fake)[0] = 0xE1E2E3F4;
            kiv_msize(fake + 8);
        },
        "ctrl->magic");
}

TEST(Mem, ReallocMovesTheDifferenceIntoTheCategory) {
    int64_t cfg = stat(MALLOC_FOR_CONFIG), live = stat(MALLOC_IN_USE_TIMES);
    char *p = static_cast<char *>(kiv_malloc(10, MALLOC_FOR_CONFIG));
    memcpy(p, "abcdefghij", 10);
    p = static_cast<char *>(kiv_realloc(p, 5000));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(memcmp(p, "abcdefghij", 10), 0);
    EXPECT_EQ(stat(MALLOC_FOR_CONFIG), cfg + 5000);
    p = static_cast<char *>(kiv_realloc(p, 3));
    EXPECT_EQ(stat(MALLOC_FOR_CONFIG), cfg + 3);
    EXPECT_EQ(stat(MALLOC_IN_USE_TIMES), live + 1);
    kiv_free(p);
    EXPECT_EQ(stat(MALLOC_FOR_CONFIG), cfg);
    EXPECT_EQ(kiv_realloc(nullptr, 10), nullptr);
}

TEST(Mem, SwitchOffRefusesWithoutCounting) {
    int64_t live = stat(MALLOC_IN_USE_TIMES);
    s_enable_malloc = 0;
    EXPECT_EQ(kiv_malloc(10, MALLOC_FOR_TMP), nullptr);
    EXPECT_EQ(kiv_strdup("x", MALLOC_FOR_TMP), nullptr);
    s_enable_malloc = 1;
    EXPECT_EQ(stat(MALLOC_IN_USE_TIMES), live);
    char *s = kiv_strdup("hello", MALLOC_FOR_TMP);
    EXPECT_STREQ(s, "hello");
    EXPECT_EQ(kiv_msize(s), 6u);
    kiv_free(s);
}

TEST(Mem, ConcurrentAllocationsBalance) {
    int64_t live = stat(MALLOC_IN_USE_TIMES), tmp = stat(MALLOC_FOR_BAKMSG);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++)
        ts.emplace_back([] {
            for (int i = 0; i < 20000; i++) kiv_free(kiv_malloc(i % 97, MALLOC_FOR_BAKMSG));
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(stat(MALLOC_IN_USE_TIMES), live);
    EXPECT_EQ(stat(MALLOC_FOR_BAKMSG), tmp);
}

TEST(Mem, AllocatorAdapterAccountsContainerMemory) {
    int64_t before = stat(MALLOC_FOR_NET_CONFIG);
    {
        std::vector<int, kiv_allocator<int, MALLOC_FOR_NET_CONFIG>> v(1000);
        EXPECT_GE(stat(MALLOC_FOR_NET_CONFIG), before + 4000);
    }
    EXPECT_EQ(stat(MALLOC_FOR_NET_CONFIG), before);
}

TEST(Stats, TravelListsEveryCounterOnceThenStops) {
    char buf[512];
    int index = 0, lines = 0;
    std::string first, last;
    for (;;) {
        int n = travel_usensor_stats(buf, sizeof(buf), &index);
        if (n == 0) break;
        ASSERT_GT(n, 0);
        ASSERT_EQ((size_t)n, strlen(buf));
        if (lines == 0) first = buf;
        last = buf;
        lines++;
    }
    EXPECT_EQ(lines, 139);
    EXPECT_EQ(index, 139);
    EXPECT_EQ(first.rfind("MALLOC_IN_USE_TIMES(malloc memory times that not free yet): ", 0), 0u);
    EXPECT_EQ(last.rfind("NET_DNSA_PARSE_FAIL(", 0), 0u);
    EXPECT_EQ(std::string(usensor_stat_name(60)), "CACHE_MSG");
    // A buffer too small for the line fails without advancing.
    index = 0;
    EXPECT_EQ(travel_usensor_stats(buf, 10, &index), -1);
    EXPECT_EQ(index, 0);
}

uint64_t g_fake_ms;
uint64_t fake_clock() { return g_fake_ms; }

TEST(Stats, RateReportFollowsTheConfiguredInterval) {
    g_fake_ms = 1000000;
    kiv_timer_set_source(fake_clock);
    ASSERT_EQ(kiv_timer_init(), 0);
    g_framework_config.stat_event_rate_interval = 60;
    change_ustat_cfg_check();
    g_ev_rate_stats[1] += 7;
    g_ev_upload_rate_stats[2] += 3;
    g_fake_ms += 60000;
    kiv_timer_loop();
    EXPECT_EQ(g_pre_ev_rate_stats[1], 7);
    EXPECT_EQ(g_pre_ev_upload_rate_stats[2], 3);

    // Off: the timer goes and counts stop being snapshotted.
    g_framework_config.stat_event_rate_interval = 0;
    change_ustat_cfg_check();
    g_ev_rate_stats[1] += 5;
    g_fake_ms += 120000;
    kiv_timer_loop();
    EXPECT_EQ(g_pre_ev_rate_stats[1], 7);

    // Back on: counts restart from zero.
    g_framework_config.stat_event_rate_interval = 60;
    change_ustat_cfg_check();
    EXPECT_EQ(g_ev_rate_stats[1].load(), 0);
    EXPECT_EQ(g_pre_ev_rate_stats[1], 0);
    ustat_exit();
    kiv_timer_exit();
    kiv_timer_set_source(nullptr);
}

}  // namespace
