#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "comm/timer.h"
#include "framework/hook.h"
#include "framework/mem.h"
#include "framework/reinject.h"
#include "ring_util.h"

namespace {

std::atomic<uint64_t> g_now{0};
uint64_t fake_clock() {
    return g_now.load();
}
void set_now(uint64_t ms) {
    g_now = ms;
    kiv_timer_set_source(fake_clock);
}

std::vector<uint32_t> g_seen;  // pids in the order the hook saw them
std::vector<uint8_t> g_retries;
int g_rely_until_retry = -1;  // rely while ctx->retry is below this (-1: always accept)

int recorder(char *msg, kiv_msg_ctx *ctx) {
    g_seen.push_back(kiv_msg_hdr_get(msg).pid);
    g_retries.push_back(ctx->retry);
    if (ctx->retry < g_rely_until_retry) {
        ctx->timeout = 10;
        return MSG_HOOK_RELY;
    }
    return MSG_HOOK_ACCEPT;
}

class Reinject : public testing::Test {
  protected:
    kiv_msg_hook hooks[3] = {};
    int64_t cache_bytes = kiv_stat_get(MALLOC_FRAMEWORK_FOR_CACHE);
    void SetUp() override {
        memset(g_msg_hooks, 0, sizeof(g_msg_hooks));
        uint64_t masks[] = {1ull << EV_FORK | 1ull << EV_EXEC, 1ull << EV_FILE_CREATE,
                            1ull << EV_DNS_RSP};
        for (int i = 0; i < 3; i++) {
            hooks[i].ev_mask = masks[i];
            hooks[i].handler = recorder;
        }
        ASSERT_EQ(register_msg_handler(hooks, 3), 0);
        ASSERT_EQ(framework_resource_init(), 0);
        g_seen.clear();
        g_retries.clear();
        g_rely_until_retry = -1;
        set_now(10000);
    }
    void TearDown() override {
        framework_resource_exit();
        EXPECT_EQ(kiv_stat_get(MALLOC_FRAMEWORK_FOR_CACHE), cache_bytes);
        kiv_timer_set_source(nullptr);
        unregister_msg_handler(hooks, 3);
    }
    // Parks a record as a hook would: resume at slot 0 after `timeout`.
    int park(uint16_t type, uint32_t pid, uint64_t timeout, uint16_t len = 32, uint8_t retry = 0) {
        auto rec = make_record(type, pid, len);
        kiv_msg_ctx ctx{};
        ctx.timeout = timeout;
        ctx.retry = retry;
        ctx.key = pid;
        int rc = msg_hook_save_reinject(reinterpret_cast<char *>(rec.data()), &ctx, pid & 1);
        if (rc != 0) {
            EXPECT_TRUE(ctx.flags & MSG_CTX_SAVE_FAILED);
        }
        memset(rec.data(), 0, rec.size());  // the parked copy must not depend on this buffer
        return rc;
    }
};

TEST_F(Reinject, DueExactlyAtTheDeadline) {
    ASSERT_EQ(park(EV_EXEC, 1, 1000), 0);
    set_now(10999);
    EXPECT_EQ(msg_hook_reinject(), 0);
    EXPECT_TRUE(g_seen.empty());
    set_now(11000);
    EXPECT_EQ(msg_hook_reinject(), 0);
    EXPECT_EQ(g_seen, std::vector<uint32_t>{1});
    EXPECT_EQ(g_retries, std::vector<uint8_t>{1});
}

TEST_F(Reinject, EqualDeadlinesComeBackInParkingOrder) {
    ASSERT_EQ(park(EV_FORK, 5, 300), 0);
    ASSERT_EQ(park(EV_FORK, 2, 100), 0);
    ASSERT_EQ(park(EV_FORK, 3, 300), 0);
    ASSERT_EQ(park(EV_FORK, 4, 200), 0);
    ASSERT_EQ(park(EV_FORK, 1, 300), 0);
    set_now(20000);
    EXPECT_EQ(msg_hook_reinject(), 0);
    EXPECT_EQ(g_seen, (std::vector<uint32_t>{2, 4, 5, 3, 1}));
}

TEST_F(Reinject, BatchOfTenThenTheRestFromTheSameList) {
    for (uint32_t pid = 1; pid <= 12; pid++) ASSERT_EQ(park(EV_FILE_CREATE, pid, 5), 0);
    set_now(10005);
    EXPECT_EQ(msg_hook_reinject(), 1);
    EXPECT_EQ(g_seen.size(), 10u);
    // Due in an earlier list, but the next pass starts where the full batch stopped.
    ASSERT_EQ(park(EV_DNS_RSP, 100, 0 + 1), 0);
    set_now(10006);
    EXPECT_EQ(msg_hook_reinject(), 0);
    ASSERT_EQ(g_seen.size(), 13u);
    for (uint32_t i = 0; i < 12; i++) EXPECT_EQ(g_seen[i], i + 1);
    EXPECT_EQ(g_seen[12], 100u);
}

TEST_F(Reinject, MemoryIsCappedPerClass) {
    int64_t over = kiv_stat_get(HOLD_MEM_OVERLIMIT);
    void *fill = __alloc_context_mem(EV_FORK, 262100);
    ASSERT_NE(fill, nullptr);
    EXPECT_EQ(park(EV_EXEC, 1, 10, 200 - sizeof(kiv_msg_ctx)), -1);  // 262,300 > 262,144
    EXPECT_EQ(kiv_stat_get(HOLD_MEM_OVERLIMIT), over + 1);
    EXPECT_EQ(park(EV_FILE_CREATE, 2, 10, 200 - sizeof(kiv_msg_ctx)), 0);
    EXPECT_EQ(park(EV_DNS_RSP, 3, 10, 200 - sizeof(kiv_msg_ctx)), 0);
    void *edge = __alloc_context_mem(EV_KILL, 44);  // exactly at the limit
    EXPECT_NE(edge, nullptr);
    EXPECT_EQ(__alloc_context_mem(EV_KILL, 1), nullptr);
    __free_context_mem(edge);
    __free_context_mem(fill);
    EXPECT_EQ(park(EV_EXEC, 1, 10, 200 - sizeof(kiv_msg_ctx)), 0);
    __free_context_mem(nullptr);
    EXPECT_DEATH(__alloc_context_mem(EV_BLOCK_LOG, 10), "assert \"0\" failed");
    EXPECT_DEATH(__alloc_context_mem(EV_FORK, CTX_MEM_MAX_SIZE + 1), "size <= CTX_MEM_MAX_SIZE");
}

TEST_F(Reinject, RetryLimit) {
    int64_t over = kiv_stat_get(OVER_RETRY);
    EXPECT_EQ(park(EV_EXEC, 1, 10, 32, 99), 0);
    EXPECT_EQ(park(EV_EXEC, 1, 10, 32, 100), -1);
    EXPECT_EQ(kiv_stat_get(OVER_RETRY), over + 1);
    EXPECT_DEATH(park(EV_EXEC, 1, 0), "ctx->timeout > 0");
}

TEST_F(Reinject, RelyingForeverEndsAfterHundredParkings) {
    int64_t dropped = kiv_stat_get(DROP_FOR_CACHE_FAILED);
    g_rely_until_retry = 1000;
    auto rec = make_record(EV_FORK, 42, 48);
    msg_hook_flow(reinterpret_cast<char *>(rec.data()));
    for (int i = 0; i < 200 && g_seen.size() < 102; i++) {
        set_now(g_now + 10);
        msg_hook_reinject();
    }
    // Fresh run, 100 replays (retry 1..100), and the retry after the failed 101st parking.
    ASSERT_EQ(g_seen.size(), 102u);
    EXPECT_EQ(g_retries[0], 0);
    EXPECT_EQ(g_retries[100], 100);
    EXPECT_EQ(g_retries[101], 100);
    EXPECT_EQ(kiv_stat_get(DROP_FOR_CACHE_FAILED), dropped + 1);
}

TEST_F(Reinject, ExitFreesWhatIsStillParked) {
    ASSERT_EQ(park(EV_EXEC, 1, 100000), 0);
    ASSERT_EQ(park(EV_FILE_CREATE, 3, 100000), 0);
    EXPECT_GT(kiv_stat_get(MALLOC_FRAMEWORK_FOR_CACHE), cache_bytes);
    // TearDown checks the balance.
}

TEST_F(Reinject, ConcurrentParkingAndReplay) {
    g_rely_until_retry = -1;
    std::atomic<int> handled{0};
    static std::atomic<int> *count;
    count = &handled;
    memset(g_msg_hooks, 0, sizeof(g_msg_hooks));
    kiv_msg_hook counting{};
    counting.ev_mask = 1ull << EV_EXEC;
    counting.handler = [](char *msg, kiv_msg_ctx *ctx) {
        if (ctx->retry == 0) {
            ctx->timeout = 1;
            return (int)MSG_HOOK_MERGE + (int)(kiv_msg_hdr_get(msg).pid & 1);  // merge or rely
        }
        count->fetch_add(1);
        return (int)MSG_HOOK_ACCEPT;
    };
    kiv_msg_hook second = counting;
    second.order = 1;
    second.handler = [](char *, kiv_msg_ctx *) { return (int)MSG_HOOK_ACCEPT; };
    kiv_msg_hook both[] = {counting, second};
    ASSERT_EQ(register_msg_handler(both, 2), 0);
    constexpr int kPerThread = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; i++) {
                auto rec = make_record(EV_EXEC, (uint32_t)(t * kPerThread + i), 64);
                msg_hook_flow(reinterpret_cast<char *>(rec.data()));
                msg_hook_reinject();
            }
        });
    }
    for (auto &th : threads) th.join();
    set_now(g_now + 10);
    while (msg_hook_reinject()) {
    }
    // Merged records resume at the accepting second hook; relied ones replay the first.
    EXPECT_EQ(handled.load(), 3 * kPerThread / 2);
    memset(g_msg_hooks, 0, sizeof(g_msg_hooks));
}

}  // namespace
