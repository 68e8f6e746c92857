#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "comm/timer.h"
#include "framework/config.h"
#include "framework/hook.h"
#include "base/mem.h"
#include "framework/reinject.h"
#include "base/log.h"
#include "ring_util.h"

namespace {

std::atomic<int> g_alive{0}, g_created{0};
int g_fail_at = -1;  // index of the creation that fails

using thread_start = std::pair<void *(*)(void *), void *>;

void *counted(void *p) {
    thread_start s = *static_cast<thread_start *>(p);
    delete static_cast<thread_start *>(p);
    g_alive++;
    s.first(s.second);
    g_alive--;
    return nullptr;
}

// Wraps every task thread so the test sees how many are alive.
int counting_create(pthread_t *th, const pthread_attr_t *attr, void *(*fn)(void *), void *arg) {
    if (g_created.load() == g_fail_at) return EAGAIN;
    auto *s = new thread_start{fn, arg};
    int rc = pthread_create(th, attr, counted, s);
    if (rc != 0) delete s;
    g_created += rc == 0;
    return rc;
}

template <class F>
bool wait_for(F pred) {
    for (int i = 0; i < 1000 && !pred(); i++) usleep(5000);
    return pred();
}

class Tasks : public testing::Test {
  protected:
    int saved_collectors = g_framework_config.collector_task_num;
    test_ring high{65536}, mid{65536};
    void SetUp() override {
        g_alive = 0, g_created = 0, g_fail_at = -1;
        kiv_task_set_thread_create(counting_create);
        ASSERT_EQ(framework_resource_init(), 0);
        memset(g_msg_hooks, 0, sizeof(g_msg_hooks));
        RING_NAME(high) = high.ring, RING_NAME(mid) = mid.ring;
    }
    void TearDown() override {
        if (g_tasks) stop_routine();
        EXPECT_EQ(g_alive.load(), 0);
        RING_NAME(high) = RING_NAME(mid) = nullptr;
        memset(g_msg_hooks, 0, sizeof(g_msg_hooks));
        framework_resource_exit();
        kiv_task_set_thread_create(nullptr);
        g_framework_config.collector_task_num = saved_collectors;
    }
};

std::atomic<int> g_timer_task_no{-1};

TEST_F(Tasks, TableHoldsMainLogTasksAndCollectorsAndUnwindsOnFailure) {
    g_framework_config.collector_task_num = 1;
    kiv_timer *t = add_timer(
        0, [](void *) { g_timer_task_no = g_cur_task_no; }, nullptr);
    ASSERT_EQ(start_routine(), 0);
    // Framework, log collector, logger and one collector; their kinds route the rings, which
    // CollectorsDrainEveryRecordOnce sees drained.
    ASSERT_EQ(g_tasks_num, 4);
    EXPECT_TRUE(wait_for([] { return g_alive.load() == 4 && g_timer_task_no.load() != -1; }));
    EXPECT_EQ(g_timer_task_no.load(), 1);  // the framework thread runs the timers
    stop_routine();
    del_timer(t);
    EXPECT_EQ(g_tasks, nullptr);
    EXPECT_EQ(g_alive.load(), 0);

    g_framework_config.collector_task_num = 2;
    g_created = 0, g_fail_at = 3;  // the first collector
    EXPECT_EQ(start_routine(), -1);
    EXPECT_EQ(g_created.load(), 3);
    EXPECT_EQ(g_alive.load(), 0);
    EXPECT_EQ(g_tasks, nullptr);
    EXPECT_EQ(g_tasks_num, 0);
}

// Records of a few processes spread over two rings, drained by two collector threads.
constexpr uint32_t kCount = 3000;
std::atomic<int> g_hits[kCount], g_total{0};

TEST_F(Tasks, CollectorsDrainEveryRecordOnce) {
    kiv_msg_hook h{};
    h.ev_mask = 1ull << EV_EXEC;
    h.handler = [](char *msg, kiv_msg_ctx *) {
        uint32_t seq;
        memcpy(&seq, msg + KIV_MSG_BODY_OFFSET, 4);
        g_hits[seq]++, g_total++;
        return (int)MSG_HOOK_ACCEPT;
    };
    ASSERT_EQ(register_msg_handler(&h, 1), 0);
    g_framework_config.collector_task_num = 2;
    ASSERT_EQ(start_routine(), 0);
    for (uint32_t seq = 0; seq < kCount;) {
        auto rec = make_record(EV_EXEC, seq % 5, 64);
        memcpy(&rec[KIV_MSG_BODY_OFFSET], &seq, 4);
        if ((seq % 3 ? high : mid).put(rec) == 0)
            seq++;
        else
            usleep(100);
    }
    EXPECT_TRUE(wait_for([] { return g_total.load() >= (int)kCount; }));
    stop_routine();
    for (uint32_t seq = 0; seq < kCount; seq++) ASSERT_EQ(g_hits[seq].load(), 1) << seq;
}

// A hook that never returns on its own (a read the kernel does not end) must not hold the
// host's stop: the thread is left running and its descriptor kept for it.
std::atomic<bool> g_in_hook{false}, g_release{false};

TEST_F(Tasks, StopReturnsWithinItsBoundWhateverAHookDoes) {
    kiv_msg_hook h{};
    h.ev_mask = 1ull << EV_EXEC;
    h.handler = [](char *, kiv_msg_ctx *) {
        g_in_hook = true;
        while (!g_release) usleep(1000);
        return (int)MSG_HOOK_ACCEPT;
    };
    ASSERT_EQ(register_msg_handler(&h, 1), 0);
    g_framework_config.collector_task_num = 1;
    kiv_task_set_stop_bound(300);
    ASSERT_EQ(start_routine(), 0);
    ASSERT_EQ(high.put(make_record(EV_EXEC, 7, 64)), 0);
    ASSERT_TRUE(wait_for([] { return g_in_hook.load(); }));
    int before = kiv_tasks_left_behind();
    kiv_task *table = g_tasks;
    int n = g_tasks_num;
    stop_routine();
    EXPECT_EQ(kiv_tasks_left_behind(), before + 1);
    EXPECT_EQ(g_tasks, nullptr);
    EXPECT_EQ(g_alive.load(), 1);  // only the stuck collector
    g_release = true;              // once its read ends it sees the stop and leaves
    ASSERT_TRUE(wait_for([] { return g_alive.load() == 0; }));
    for (int i = 0; i < n; i++) kiv_task_free_bak_msg(&table[i]);
    kiv_free(table);
    kiv_task_set_stop_bound(0);
}

}  // namespace
