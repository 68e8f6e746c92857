#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "comm/timer.h"
#include "framework/hook.h"
#include "base/mem.h"
#include "framework/reinject.h"
#include "ring_util.h"

namespace {

std::string g_trace;
std::vector<int> g_verdicts;  // consumed front to back by `scripted`, accept when empty

// Hooks record their name and follow the script; merge/rely set a time-out first.
template <char Name>
int scripted(char *, kiv_msg_ctx *ctx) {
    g_trace += Name;
    int v = MSG_HOOK_ACCEPT;
    if (!g_verdicts.empty()) v = g_verdicts.front(), g_verdicts.erase(g_verdicts.begin());
    if (v == MSG_HOOK_MERGE || v == MSG_HOOK_RELY) ctx->timeout = 50;
    return v;
}

kiv_msg_hook hook(uint64_t mask, kiv_msg_handler h, int order) {
    kiv_msg_hook k{};
    k.ev_mask = mask, k.handler = h, k.order = order;
    return k;
}

uint64_t g_now;
uint64_t fake_clock() { return g_now; }

// Counter deltas since construction.
struct counters {
    int64_t base[USENSOR_STAT_MAX];
    counters() {
        for (uint32_t i = 0; i < USENSOR_STAT_MAX; i++) base[i] = kiv_stat_get(i);
    }
    int64_t operator[](uint32_t id) const { return kiv_stat_get(id) - base[id]; }
};

class Hooks : public testing::Test {
  protected:
    void SetUp() override {
        memset(g_msg_hooks, 0, sizeof(g_msg_hooks));
        g_trace.clear();
        g_verdicts.clear();
        ASSERT_EQ(framework_resource_init(), 0);
        g_now = 1000;
        kiv_timer_set_source(fake_clock);
    }
    void TearDown() override {
        framework_resource_exit();
        kiv_timer_set_source(nullptr);
        memset(g_msg_hooks, 0, sizeof(g_msg_hooks));
    }
    void run(uint16_t type) {
        auto rec = make_record(type, 1, 32);
        msg_hook_flow(reinterpret_cast<char *>(rec.data()));
    }
    // Registers hooks A, B, C... of `type` with orders 1, 2, 3...
    void chain(uint16_t type, int n) {
        kiv_msg_handler hs[] = {scripted<'A'>, scripted<'B'>, scripted<'C'>};
        for (int i = 0; i < n; i++) {
            kiv_msg_hook h = hook(1ull << type, hs[i], i + 1);
            ASSERT_EQ(register_msg_handler(&h, 1), 0);
        }
    }
};

TEST_F(Hooks, EqualOrdersRunInRegistrationOrder) {
    kiv_msg_hook first[] = {hook(1ull << EV_EXEC, scripted<'A'>, 5),
                            hook(1ull << EV_EXEC, scripted<'B'>, 5)};
    kiv_msg_hook later[] = {hook(1ull << EV_EXEC, scripted<'C'>, 1),
                            hook(1ull << EV_FORK, scripted<'F'>, 3),
                            hook(1ull << EV_EXEC, scripted<'D'>, 5)};
    ASSERT_EQ(register_msg_handler(first, 2), 0);
    ASSERT_EQ(register_msg_handler(later, 3), 0);
    run(EV_EXEC);
    EXPECT_EQ(g_trace, "CABD");  // F is skipped by its mask
    unregister_msg_handler(first, 1);
    kiv_msg_hook wrong = hook(1ull << EV_FORK, scripted<'B'>, 1);
    EXPECT_DEATH(unregister_msg_handler(&wrong, 1),
                 "g_msg_hooks\\[module\\]\\[j\\].ev_mask == o->ev_mask");
}

TEST_F(Hooks, AcceptAndDropVerdicts) {
    chain(EV_CONN_IN, 2);
    counters c;
    run(EV_CONN_IN);
    g_verdicts = {MSG_HOOK_DROP};
    run(EV_CONN_IN);
    EXPECT_EQ(g_trace, "ABA");
    EXPECT_EQ(c[HOOK_DROP], 1);
    EXPECT_EQ(c[ACCEPT], 1);
    g_verdicts = {99};
    EXPECT_DEATH(run(EV_CONN_IN), "assert \"0\" failed");
}

TEST_F(Hooks, MergeParksForTheNextHookOrAcceptsAtTheLast) {
    chain(EV_DNS_REQ, 2);
    counters c;
    int64_t cache = kiv_stat_get(MALLOC_FRAMEWORK_FOR_CACHE);
    g_verdicts = {MSG_HOOK_MERGE, MSG_HOOK_MERGE};
    run(EV_DNS_REQ);
    EXPECT_GT(kiv_stat_get(MALLOC_FRAMEWORK_FOR_CACHE), cache);
    for (uint64_t step : {49, 1}) {
        g_now += step;
        kiv_timer_set_source(fake_clock);
        while (msg_hook_reinject()) {
        }
        EXPECT_EQ(g_trace, step == 49 ? "A" : "AB");  // B merges as the last hook: done
    }
    EXPECT_EQ(c[MERGE_MSG], 2);
    EXPECT_EQ(c[ACCEPT], 1);
    EXPECT_EQ(kiv_stat_get(MALLOC_FRAMEWORK_FOR_CACHE), cache);
}

TEST_F(Hooks, FailedParkingGoesOnOrRetriesOnce) {
    chain(EV_EXEC, 3);
    void *fill = __alloc_context_mem(EV_FORK, CTX_MEM_CLASS_LIMIT);  // process class full
    ASSERT_NE(fill, nullptr);
    counters c;
    const std::pair<std::vector<int>, const char *> steps[] = {
        {{MSG_HOOK_MERGE}, "ABC"},  // merge cannot park: straight on to B
        {{MSG_HOOK_RELY, MSG_HOOK_RELY}, "AA"},  // rely cannot park: A again, second rely drops
        {{MSG_HOOK_RELY, MSG_HOOK_ACCEPT, MSG_HOOK_MERGE}, "AAB"},  // merge after failed rely drops
    };
    for (const auto &s : steps) {
        g_trace.clear();
        g_verdicts = s.first;
        run(EV_EXEC);
        EXPECT_EQ(g_trace, s.second);
    }
    EXPECT_EQ(c[MERGE_MSG_FAIL], 1);
    EXPECT_EQ(c[HOLD_MEM_OVERLIMIT], 3);
    EXPECT_EQ(c[ACCEPT], 1);
    EXPECT_EQ(c[RELY_MSG], 3);
    EXPECT_EQ(c[RELY_MSG_FAIL], 2);
    EXPECT_EQ(c[DROP_FOR_CACHE_FAILED], 2);
    __free_context_mem(fill);
}

}  // namespace
