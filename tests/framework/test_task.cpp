#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "comm/timer.h"
#include "framework/config.h"
#include "framework/hook.h"
#include "framework/mem.h"
#include "framework/reinject.h"
#include "log/ulog.h"
#include "ring_util.h"

namespace {

std::atomic<int> g_alive{0}, g_created{0};
int g_fail_at = -1;  // index of the creation that fails

struct thread_start {
    void *(*fn)(void *);
    void *arg;
};

void *counted_thread(void *p) {
    thread_start s = *static_cast<thread_start *>(p);
    delete static_cast<thread_start *>(p);
    g_alive++;
    s.fn(s.arg);
    g_alive--;
    return nullptr;
}

int counting_create(pthread_t *th, const pthread_attr_t *attr, void *(*fn)(void *), void *arg) {
    if (g_created.load() == g_fail_at) return EAGAIN;
    auto *s = new thread_start{fn, arg};
    int rc = pthread_create(th, attr, counted_thread, s);
    if (rc != 0)
        delete s;
    else
        g_created++;
    return rc;
}

bool wait_for(const std::function<bool()> &pred) {
    for (int i = 0; i < 1000; i++) {
        if (pred()) return true;
        usleep(5000);
    }
    return pred();
}

class Tasks : public testing::Test {
  protected:
    int saved_collectors = g_framework_config.collector_task_num;
    test_ring high{65536}, mid{65536};
    void SetUp() override {
        g_alive = 0;
        g_created = 0;
        g_fail_at = -1;
        kiv_task_set_thread_create(counting_create);
        ASSERT_EQ(framework_resource_init(), 0);
        memset(g_msg_hooks, 0, sizeof(g_msg_hooks));
        RING_NAME(high) = high.ring;
        RING_NAME(mid) = mid.ring;
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

TEST_F(Tasks, TableHoldsMainLogTasksAndCollectors) {
    g_framework_config.collector_task_num = 1;
    ASSERT_EQ(start_routine(), 0);
    ASSERT_EQ(g_tasks_num, 4);
    EXPECT_EQ(g_created.load(), 4);
    const char *names[] = {"KivMain", "KivLogCollector", "KivLogger", "KivCollector0"};
    const uint8_t kinds[] = {TASK_KIND_FRAMEWORK, TASK_KIND_LOG_COLLECTOR, TASK_KIND_LOGGER,
                             TASK_KIND_COLLECTOR};
    for (int i = 0; i < 4; i++) {
        EXPECT_STREQ(g_tasks[i].name, names[i]);
        EXPECT_EQ(g_tasks[i].kind, kinds[i]);
        EXPECT_EQ(g_tasks[i].task_no, i + 1);
        EXPECT_EQ(g_tasks[i].state.load(), TASK_RUNNING);
    }
    EXPECT_TRUE(is_primary_collector(&g_tasks[3]));
    EXPECT_TRUE(wait_for([] { return g_alive.load() == 4; }));
    stop_routine();
    EXPECT_EQ(g_tasks, nullptr);
    EXPECT_EQ(g_tasks_num, 0);
    EXPECT_EQ(g_alive.load(), 0);
}

TEST_F(Tasks, FailedThreadCreationUnwindsEverything) {
    g_framework_config.collector_task_num = 2;
    g_fail_at = 3;  // the first collector
    EXPECT_EQ(start_routine(), -1);
    EXPECT_EQ(g_created.load(), 3);
    EXPECT_EQ(g_alive.load(), 0);
    EXPECT_EQ(g_tasks, nullptr);
    EXPECT_EQ(g_tasks_num, 0);
}

TEST_F(Tasks, StopWhileCollectorsNap) {
    g_framework_config.collector_task_num = 3;  // collectors 1 and 2 nap on an empty ring
    ASSERT_EQ(start_routine(), 0);
    ASSERT_TRUE(wait_for([] { return g_alive.load() == 6; }));
    usleep(20000);
    stop_routine();
    EXPECT_EQ(g_alive.load(), 0);
}

TEST_F(Tasks, NonPrimaryCollectorsWorkOnlyAboveTheBacklog) {
    test_tasks tt(1);
    kiv_task named{};
    for (const char *n : {"KivCollector0", "KivCollector10", "KivCollector20"}) {
        snprintf(named.name, sizeof(named.name), "%s", n);
        EXPECT_TRUE(is_primary_collector(&named)) << n;
    }
    snprintf(named.name, sizeof(named.name), "KivCollector1");
    EXPECT_FALSE(is_primary_collector(&named));

    alignas(8) char buf[KIV_MSG_MAX_LEN];
    EXPECT_EQ(collector_turn(true, buf), COLLECTOR_IDLE);
    for (int i = 0; i < 99; i++) ASSERT_EQ(high.put(make_record(EV_EXEC, 1, 16)), 0);
    EXPECT_EQ(collector_turn(false, buf), COLLECTOR_NAP);
    EXPECT_EQ(high.ring->get_cnt, 0u);
    ASSERT_EQ(mid.put(make_record(EV_EXEC, 1, 16)), 0);  // 100 pending across the rings
    EXPECT_EQ(collector_turn(false, buf), COLLECTOR_HANDLED);
    EXPECT_EQ(collector_turn(false, buf), COLLECTOR_NAP);  // 99 again
    EXPECT_EQ(collector_turn(true, buf), COLLECTOR_HANDLED);
    EXPECT_EQ(tt.tasks[0].handling_pid, 0u);  // msg_entry finished it

    // A record held back in a backup slot keeps a non-primary collector turning.
    tt.tasks[0].bak_msg[RING_LOW] =
        static_cast<char *>(kiv_malloc(KIV_MSG_MAX_LEN, MALLOC_FOR_BAKMSG));
    memcpy(tt.tasks[0].bak_msg[RING_LOW], make_record(EV_EXEC, 3, 16).data(), 16);
    tt.tasks[0].bak_msg_len[RING_LOW] = 16;
    EXPECT_EQ(collector_turn(false, buf), COLLECTOR_HANDLED);

    // A full reinjection batch comes before reading.
    for (uint32_t pid = 1; pid <= RP_BATCH; pid++) {
        auto rec = make_record(EV_EXEC, pid, 32);
        kiv_msg_ctx ctx{};
        ctx.timeout = 1;
        ASSERT_EQ(msg_hook_save_reinject(reinterpret_cast<char *>(rec.data()), &ctx, 0), 0);
    }
    static uint64_t later;
    later = kiv_now_ms() + 5;
    kiv_timer_set_source([] { return later; });
    EXPECT_EQ(collector_turn(true, buf), COLLECTOR_AGAIN);
    EXPECT_EQ(high.ring->get_cnt, 3u);
    kiv_timer_set_source(nullptr);
}

// Records of a few processes spread over two rings, drained by two collector threads.
std::mutex g_seen_lock;
std::multiset<uint32_t> g_seen_seq;
std::atomic<int> g_bad_task_no{0};

int seq_hook(char *msg, kiv_msg_ctx *) {
    uint32_t seq;
    memcpy(&seq, msg + KIV_MSG_BODY_OFFSET, 4);
    if (!current || g_cur_task_no != current->task_no || current->kind != TASK_KIND_COLLECTOR)
        g_bad_task_no++;
    std::lock_guard<std::mutex> g(g_seen_lock);
    g_seen_seq.insert(seq);
    return MSG_HOOK_ACCEPT;
}

TEST_F(Tasks, CollectorsDrainEveryRecordOnce) {
    kiv_msg_hook h{};
    h.ev_mask = 1ull << EV_EXEC;
    h.handler = seq_hook;
    ASSERT_EQ(register_msg_handler(&h, 1), 0);
    g_seen_seq.clear();
    g_framework_config.collector_task_num = 2;
    ASSERT_EQ(start_routine(), 0);
    constexpr uint32_t kCount = 3000;
    for (uint32_t seq = 0; seq < kCount;) {
        auto rec = make_record(EV_EXEC, seq % 5, 64);
        memcpy(&rec[KIV_MSG_BODY_OFFSET], &seq, 4);
        if ((seq % 3 ? high : mid).put(rec) == 0)
            seq++;
        else
            usleep(100);
    }
    EXPECT_TRUE(wait_for([] {
        std::lock_guard<std::mutex> g(g_seen_lock);
        return g_seen_seq.size() >= kCount;
    }));
    stop_routine();
    EXPECT_EQ(g_seen_seq.size(), kCount);
    for (uint32_t seq = 0; seq < kCount; seq++) ASSERT_EQ(g_seen_seq.count(seq), 1u) << seq;
    EXPECT_EQ(g_bad_task_no.load(), 0);
}

std::atomic<int> g_timer_task_no{-1};

TEST_F(Tasks, FrameworkThreadRunsTheTimers) {
    g_framework_config.collector_task_num = 1;
    kiv_timer *t = add_timer(
        0, [](void *) { g_timer_task_no = g_cur_task_no; }, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(start_routine(), 0);
    EXPECT_TRUE(wait_for([] { return g_timer_task_no.load() != -1; }));
    stop_routine();
    del_timer(t);
    EXPECT_EQ(g_timer_task_no.load(), 1);
}

}  // namespace
