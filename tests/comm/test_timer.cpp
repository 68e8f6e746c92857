#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "comm/timer.h"
#include "framework/mem.h"

namespace {

uint64_t g_ms;
uint64_t fake_clock() { return g_ms; }

struct TimerTest : ::testing::Test {
    std::vector<kiv_timer *> owned;
    void SetUp() override {
        g_ms = 50000;
        kiv_timer_set_source(fake_clock);
        ASSERT_EQ(kiv_timer_init(), 0);
    }
    void TearDown() override {
        for (auto *t : owned) del_timer(t);
        kiv_timer_exit();
        kiv_timer_set_source(nullptr);
    }
    kiv_timer *keep(kiv_timer *t) {
        owned.push_back(t);
        return t;
    }
    // One pass of the framework thread, the clock moved on by ms first.
    void pass(uint64_t ms) {
        g_ms += ms;
        kiv_timer_loop();
    }
};

std::string g_order;
void mark(void *arg) { g_order += static_cast<const char *>(arg); }

TEST_F(TimerTest, EqualExpiriesRunInInsertionOrder) {
    g_order.clear();
    keep(add_timer_once(500, mark, (void *)"a"));
    keep(add_timer_once(500, mark, (void *)"b"));
    keep(add_timer_once(200, mark, (void *)"c"));
    keep(add_timer_once(500, mark, (void *)"d"));
    pass(499);
    EXPECT_EQ(g_order, "c");
    pass(1);
    EXPECT_EQ(g_order, "c");  // only 1 ms since the last pass that ran timers
    pass(100);
    EXPECT_EQ(g_order, "cabd");
    pass(5000);
    EXPECT_EQ(g_order, "cabd");  // one-shots stay unlinked
}

TEST_F(TimerTest, FastPeriodicTimerRunsOncePerPassAtMostEvery100ms) {
    g_order.clear();
    keep(add_timer(10, mark, (void *)"x"));
    pass(10);
    EXPECT_EQ(g_order, "x");
    for (int i = 0; i < 9; i++) pass(10);  // 90 ms since the last run: nothing
    EXPECT_EQ(g_order, "x");
    pass(10);
    EXPECT_EQ(g_order, "xx");
    pass(10000);  // missed periods are not caught up
    EXPECT_EQ(g_order, "xxx");
}

TEST_F(TimerTest, ZeroIntervalPeriodicDoesNotSpinWithinAPass) {
    g_order.clear();
    keep(add_timer(0, mark, (void *)"z"));
    pass(100);
    EXPECT_EQ(g_order, "z");
    pass(100);
    EXPECT_EQ(g_order, "zz");
}

TEST_F(TimerTest, StopAndDeleteInAnyState) {
    g_order.clear();
    int64_t before = kiv_stat_get(MALLOC_FOR_TIMER);
    kiv_timer *once = add_timer_once(100, mark, (void *)"o");
    kiv_timer *stopped = keep(add_timer(100, mark, (void *)"s"));
    stop_timer(stopped);
    stop_timer(stopped);  // not armed: nothing happens
    pass(200);
    EXPECT_EQ(g_order, "o");
    int64_t both = kiv_stat_get(MALLOC_FOR_TIMER);
    del_timer(once);  // already ran: freed without touching the list
    EXPECT_EQ(kiv_stat_get(MALLOC_FOR_TIMER), both - (both - before) / 2);
    del_timer(nullptr);
    pass(1000);
    EXPECT_EQ(g_order, "o");
}

TEST_F(TimerTest, ExitWithArmedTimerAborts) {
    EXPECT_DEATH(
        {
            add_timer(1000, mark, nullptr);
            kiv_timer_exit();
        },
        "list_empty\\(&s_timer_head\\)");
}

TEST(TimerClock, RealClockIsMonotonicAndCachedBetweenPasses) {
    kiv_timer_set_source(nullptr);
    ASSERT_EQ(kiv_timer_init(), 0);
    uint64_t a = kiv_now_ms();
    uint64_t b = kiv_now_ms();
    EXPECT_EQ(a, b);
    kiv_timer_loop();
    EXPECT_GE(kiv_now_ms(), a);
}

TEST(TimerTicks, TicksPerMsFromEnvironment) {
    // The calibration runs once per process, so check the variable in a child.
    EXPECT_EXIT(
        {
            setenv("TICKSPERMS", "3000", 1);
            timer_init();
            exit(timer_ticks2ms(3000000) == 1000 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
