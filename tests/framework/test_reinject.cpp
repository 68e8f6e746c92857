#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "comm/timer.h"
#include "framework/hook.h"
#include "base/mem.h"
#include "framework/reinject.h"
#include "ring_util.h"

namespace {

std::atomic<uint64_t> g_now{0};
void set_now(uint64_t ms) {
    g_now = ms;
    kiv_timer_set_source([] { return g_now.load(); });
}

std::vector<uint32_t> g_seen;  // pids in the order the hook saw them, with their retry counts
std::vector<uint8_t> g_retries;
int g_rely_until_retry = -1;  // rely while ctx->retry is below this

int recorder(char *msg, kiv_msg_ctx *ctx) {
    g_seen.push_back(kiv_msg_hdr_get(msg).pid);
    g_retries.push_back(ctx->retry);
    if (ctx->retry >= g_rely_until_retry) return MSG_HOOK_ACCEPT;
    ctx->timeout = 10;
    return MSG_HOOK_RELY;
}

class Reinject : public testing::Test {
  protected:
    kiv_msg_hook hooks[3] = {};
    int64_t cache_bytes = kiv_stat_get(MALLOC_FRAMEWORK_FOR_CACHE);
    void SetUp() override {
        memset(g_msg_hooks, 0, sizeof(g_msg_hooks));
        uint64_t masks[] = {1ull << EV_FORK | 1ull << EV_EXEC, 1ull << EV_FILE_CREATE,
                            1ull << EV_DNS_RSP};
        for (int i = 0; i < 3; i++) hooks[i].ev_mask = masks[i], hooks[i].handler = recorder;
        ASSERT_EQ(register_msg_handler(hooks, 3), 0);
        ASSERT_EQ(framework_resource_init(), 0);
        g_seen.clear(), g_retries.clear(), g_rely_until_retry = -1;
        set_now(10000);
    }
    void TearDown() override {
        framework_resource_exit();  // frees whatever is still parked
        EXPECT_EQ(kiv_stat_get(MALLOC_FRAMEWORK_FOR_CACHE), cache_bytes);
        kiv_timer_set_source(nullptr);
        memset(g_msg_hooks, 0, sizeof(g_msg_hooks));
    }
    // Parks a record as a hook would: resume at slot 0 after `timeout`.
    int park(uint16_t type, uint32_t pid, uint64_t timeout, uint16_t len = 32, uint8_t retry = 0) {
        auto rec = make_record(type, pid, len);
        kiv_msg_ctx ctx{};
        ctx.timeout = timeout, ctx.retry = retry, ctx.key = pid;
        int rc = msg_hook_save_reinject(reinterpret_cast<char *>(rec.data()), &ctx, pid & 1);
        if (rc != 0) {
            EXPECT_TRUE(ctx.flags & MSG_CTX_SAVE_FAILED);
        }
        memset(rec.data(), 0, rec.size());  // the parked copy must not depend on this buffer
        return rc;
    }
};

TEST_F(Reinject, DueAtTheDeadlineInParkingOrder) {
    for (auto [pid, timeout] : {std::pair{5u, 1000}, {2, 998}, {3, 1000}, {4, 999}, {1, 1000}})
        ASSERT_EQ(park(EV_FORK, pid, timeout), 0);
    ASSERT_EQ(park(EV_EXEC, 6, 100000), 0);  // left parked for exit to free
    set_now(10999);
    EXPECT_EQ(msg_hook_reinject(), 0);
    EXPECT_EQ(g_seen, (std::vector<uint32_t>{2, 4}));
    set_now(11000);
    EXPECT_EQ(msg_hook_reinject(), 0);
    EXPECT_EQ(g_seen, (std::vector<uint32_t>{2, 4, 5, 3, 1}));
    EXPECT_EQ(g_retries[4], 1);
}

TEST_F(Reinject, BatchOfTenThenTheRestFromTheSameList) {
    for (uint32_t pid = 1; pid <= 12; pid++) ASSERT_EQ(park(EV_FILE_CREATE, pid, 5), 0);
    set_now(10005);
    EXPECT_EQ(msg_hook_reinject(), 1);
    EXPECT_EQ(g_seen.size(), 10u);
    // Due in an earlier list, but the next pass starts where the full batch stopped.
    ASSERT_EQ(park(EV_DNS_RSP, 100, 1), 0);
    set_now(10006);
    EXPECT_EQ(msg_hook_reinject(), 0);
    ASSERT_EQ(g_seen.size(), 13u);
    for (uint32_t i = 0; i < 12; i++) EXPECT_EQ(g_seen[i], i + 1);
    EXPECT_EQ(g_seen[12], 100u);
}

TEST_F(Reinject, MemoryIsCappedPerClass) {
    int64_t over = kiv_stat_get(HOLD_MEM_OVERLIMIT);
    const uint16_t len = 200 - sizeof(kiv_msg_ctx);
    void *fill = __alloc_context_mem(EV_FORK, 262100);
    ASSERT_NE(fill, nullptr);
    EXPECT_EQ(park(EV_EXEC, 1, 10, len), -1);  // 262,300 > 262,144
    EXPECT_EQ(kiv_stat_get(HOLD_MEM_OVERLIMIT), over + 1);
    EXPECT_EQ(park(EV_FILE_CREATE, 2, 10, len), 0);  // other classes unaffected
    EXPECT_EQ(park(EV_DNS_RSP, 3, 10, len), 0);
    void *edge = __alloc_context_mem(EV_KILL, 44);  // exactly at the limit
    EXPECT_NE(edge, nullptr);
    EXPECT_EQ(__alloc_context_mem(EV_KILL, 1), nullptr);
    __free_context_mem(edge);
    __free_context_mem(fill);
    EXPECT_EQ(park(EV_EXEC, 1, 10, len), 0);
    EXPECT_DEATH(__alloc_context_mem(EV_BLOCK_LOG, 10), "assert \"0\" failed");
    EXPECT_DEATH(__alloc_context_mem(EV_FORK, CTX_MEM_MAX_SIZE + 1), "size <= CTX_MEM_MAX_SIZE");
}

TEST_F(Reinject, RetryLimit) {
    int64_t over = kiv_stat_get(OVER_RETRY), dropped = kiv_stat_get(DROP_FOR_CACHE_FAILED);
    EXPECT_EQ(park(EV_EXEC, 1, 100000, 32, 99), 0);  // not due during this test
    EXPECT_EQ(park(EV_EXEC, 1, 10, 32, 100), -1);
    EXPECT_EQ(kiv_stat_get(OVER_RETRY), over + 1);
    EXPECT_DEATH(park(EV_EXEC, 1, 0), "ctx->timeout > 0");
    // Relying forever: fresh run, 100 replays, and the retry after the failed 101st parking.
    g_seen.clear(), g_retries.clear(), g_rely_until_retry = 1000;
    auto rec = make_record(EV_FORK, 42, 48);
    msg_hook_flow(reinterpret_cast<char *>(rec.data()));
    for (int i = 0; i < 200 && g_seen.size() < 102; i++) set_now(g_now + 10), msg_hook_reinject();
    ASSERT_EQ(g_seen.size(), 102u);
    EXPECT_EQ(g_retries.back(), 100);
    EXPECT_EQ(kiv_stat_get(DROP_FOR_CACHE_FAILED), dropped + 1);
}

}  // namespace
