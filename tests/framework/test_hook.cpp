#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "comm/timer.h"
#include "framework/hook.h"
#include "framework/mem.h"
#include "framework/reinject.h"
#include "ring_util.h"

namespace {

std::vector<std::string> g_trace;
std::vector<int> g_verdicts;  // consumed front to back by `scripted`, accept when empty

int next_verdict() {
    if (g_verdicts.empty()) return MSG_HOOK_ACCEPT;
    int v = g_verdicts.front();
    g_verdicts.erase(g_verdicts.begin());
    return v;
}

// Hooks record their name and follow the script; merge/rely set a time-out first.
template <char Name>
int scripted(char *msg, kiv_msg_ctx *ctx) {
    g_trace.push_back(std::string(1, Name));
    int v = next_verdict();
    if (v == MSG_HOOK_MERGE || v == MSG_HOOK_RELY) ctx->timeout = 50;
    return v;
}

kiv_msg_hook hook(uint64_t mask, kiv_msg_handler h, int order) {
    kiv_msg_hook k{};
    k.ev_mask = mask;
    k.handler = h;
    k.order = order;
    return k;
}

uint64_t g_now;
uint64_t fake_clock() {
    return g_now;
}

struct counters {
    static constexpr uint32_t ids[] = {ACCEPT,
                                       HOOK_DROP,
                                       MERGE_MSG,
                                       MERGE_MSG_FAIL,
                                       RELY_MSG,
                                       RELY_MSG_FAIL,
                                       DROP_FOR_CACHE_FAILED,
                                       HOLD_MEM_OVERLIMIT};
    int64_t base[std::size(ids)];
    counters() {
        for (size_t i = 0; i < std::size(ids); i++) base[i] = kiv_stat_get(ids[i]);
    }
    int64_t operator[](uint32_t id) const {
        for (size_t i = 0; i < std::size(ids); i++)
            if (ids[i] == id) return kiv_stat_get(id) - base[i];
        return -1;
    }
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
    void run(uint16_t type, uint32_t pid = 1) {
        auto rec = make_record(type, pid, 32);
        msg_hook_flow(reinterpret_cast<char *>(rec.data()));
    }
    void advance(uint64_t ms) {
        g_now += ms;
        kiv_timer_set_source(fake_clock);
        while (msg_hook_reinject()) {
        }
    }
    std::string trace() {
        std::string s;
        for (auto &t : g_trace) s += t;
        return s;
    }
};

TEST(HookTable, EventTypesMapToModules) {
    const int expect[EV_ALL_MAX] = {1, 1, 1, 1, 1, 3, 3, 3, 3,  3, 3, 3, 3,  2, 2,
                                    2, 2, 2, 2, 2, 2, 4, 4, 10, 8, 7, 9, 10, 10};
    for (int t = 0; t < EV_ALL_MAX; t++) EXPECT_EQ(map_event_to_module(t), expect[t]) << t;
    EXPECT_EQ(map_event_to_module(29), KIV_MOD_INVALID);
    EXPECT_EQ(map_event_to_module(-1), KIV_MOD_INVALID);
    uint64_t m = 0;
    EXPECT_EQ(qxe_ev_mask_min(&m), -1);
    EXPECT_EQ(qxe_ev_mask_max(&m), -1);
    m = (1ull << 63) | (1ull << 5);
    EXPECT_EQ(qxe_ev_mask_min(&m), 5);
    EXPECT_EQ(qxe_ev_mask_max(&m), 63);
}

TEST_F(Hooks, EqualOrdersRunInRegistrationOrder) {
    kiv_msg_hook first[] = {hook(1ull << EV_EXEC, scripted<'A'>, 5),
                            hook(1ull << EV_EXEC, scripted<'B'>, 5)};
    kiv_msg_hook later[] = {hook(1ull << EV_EXEC, scripted<'C'>, 1),
                            hook(1ull << EV_FORK, scripted<'F'>, 3),
                            hook(1ull << EV_EXEC, scripted<'D'>, 5)};
    ASSERT_EQ(register_msg_handler(first, 2), 0);
    ASSERT_EQ(register_msg_handler(later, 3), 0);
    run(EV_EXEC);
    EXPECT_EQ(trace(), "CABD");  // F is skipped by its mask
    unregister_msg_handler(first, 1);
    g_trace.clear();
    run(EV_EXEC);
    EXPECT_EQ(trace(), "CBD");
    EXPECT_EQ(g_msg_hooks[KIV_MOD_TASK][4].handler, nullptr);  // C F B D left
}

TEST_F(Hooks, BadMasksAndAFullModuleAreRefused) {
    kiv_msg_hook bad[] = {hook((1ull << 4) | (1ull << 5), scripted<'X'>, 1),
                          hook(0, scripted<'X'>, 1), hook(1ull << EV_IGNORE, scripted<'X'>, 1),
                          hook(1ull << 40, scripted<'X'>, 1)};
    for (auto &b : bad) EXPECT_EQ(register_msg_handler(&b, 1), -1);
    for (auto &mod : g_msg_hooks) EXPECT_EQ(mod[0].handler, nullptr);

    // Records before a failing one stay registered.
    kiv_msg_hook mixed[] = {hook(1ull << EV_DNS_REQ, scripted<'N'>, 1), bad[0]};
    EXPECT_EQ(register_msg_handler(mixed, 2), -1);
    EXPECT_NE(g_msg_hooks[KIV_MOD_NET][0].handler, nullptr);

    std::vector<kiv_msg_hook> many(MAX_HOOK_NUM, hook(1ull << EV_FILE_CREATE, scripted<'f'>, 9));
    many[31].order = 0;  // inserted at slot 0: shifting keeps all 32
    ASSERT_EQ(register_msg_handler(many.data(), MAX_HOOK_NUM), 0);
    kiv_msg_hook extra = hook(1ull << EV_FILE_DELETE, scripted<'g'>, 0);
    EXPECT_EQ(register_msg_handler(&extra, 1), -1);
    EXPECT_EQ(g_msg_hooks[KIV_MOD_FILE][0].order, 0);
    EXPECT_EQ(g_msg_hooks[KIV_MOD_FILE][31].order, 9);
}

TEST_F(Hooks, UnregisterNeedsTheRegisteredMask) {
    kiv_msg_hook h = hook(1ull << EV_EXIT, scripted<'A'>, 1);
    ASSERT_EQ(register_msg_handler(&h, 1), 0);
    kiv_msg_hook other = hook(1ull << EV_EXIT, scripted<'Z'>, 1);
    unregister_msg_handler(&other, 1);  // unknown handler: nothing happens
    EXPECT_NE(g_msg_hooks[KIV_MOD_TASK][0].handler, nullptr);
    kiv_msg_hook wrong = hook(1ull << EV_FORK, scripted<'A'>, 1);
    EXPECT_DEATH(unregister_msg_handler(&wrong, 1),
                 "g_msg_hooks\\[module\\]\\[j\\].ev_mask == o->ev_mask");
}

TEST_F(Hooks, AcceptAndDropVerdicts) {
    kiv_msg_hook hs[] = {hook(1ull << EV_CONN_IN, scripted<'A'>, 1),
                         hook(1ull << EV_CONN_IN, scripted<'B'>, 2)};
    ASSERT_EQ(register_msg_handler(hs, 2), 0);
    counters c;
    run(EV_CONN_IN);
    EXPECT_EQ(c[ACCEPT], 1);
    g_verdicts = {MSG_HOOK_DROP};
    run(EV_CONN_IN);
    EXPECT_EQ(trace(), "ABA");
    EXPECT_EQ(c[HOOK_DROP], 1);
    EXPECT_EQ(c[ACCEPT], 1);
    g_verdicts = {99};
    EXPECT_DEATH(run(EV_CONN_IN), "assert \"0\" failed");
}

TEST_F(Hooks, MergeParksForTheNextHookOrAcceptsAtTheLast) {
    kiv_msg_hook hs[] = {hook(1ull << EV_DNS_REQ, scripted<'A'>, 1),
                         hook(1ull << EV_DNS_REQ, scripted<'B'>, 2)};
    ASSERT_EQ(register_msg_handler(hs, 2), 0);
    counters c;
    int64_t cache = kiv_stat_get(MALLOC_FRAMEWORK_FOR_CACHE);
    g_verdicts = {MSG_HOOK_MERGE, MSG_HOOK_MERGE};
    run(EV_DNS_REQ);
    EXPECT_EQ(trace(), "A");
    EXPECT_GT(kiv_stat_get(MALLOC_FRAMEWORK_FOR_CACHE), cache);
    advance(49);
    EXPECT_EQ(trace(), "A");
    advance(1);
    EXPECT_EQ(trace(), "AB");  // B merges as the last hook: done
    EXPECT_EQ(c[MERGE_MSG], 2);
    EXPECT_EQ(c[ACCEPT], 1);
    EXPECT_EQ(kiv_stat_get(MALLOC_FRAMEWORK_FOR_CACHE), cache);
}

TEST_F(Hooks, FailedParkingGoesOnOrRetriesOnce) {
    kiv_msg_hook hs[] = {hook(1ull << EV_EXEC, scripted<'A'>, 1),
                         hook(1ull << EV_EXEC, scripted<'B'>, 2),
                         hook(1ull << EV_EXEC, scripted<'C'>, 3)};
    ASSERT_EQ(register_msg_handler(hs, 3), 0);
    void *fill = __alloc_context_mem(EV_FORK, CTX_MEM_CLASS_LIMIT);  // process class full
    ASSERT_NE(fill, nullptr);
    counters c;
    // Merge cannot park: the record goes straight on to B.
    g_verdicts = {MSG_HOOK_MERGE};
    run(EV_EXEC);
    EXPECT_EQ(trace(), "ABC");
    EXPECT_EQ(c[MERGE_MSG_FAIL], 1);
    EXPECT_EQ(c[HOLD_MEM_OVERLIMIT], 1);
    EXPECT_EQ(c[ACCEPT], 1);
    // Rely cannot park: A runs again; a second rely drops the record.
    g_trace.clear();
    g_verdicts = {MSG_HOOK_RELY, MSG_HOOK_RELY};
    run(EV_EXEC);
    EXPECT_EQ(trace(), "AA");
    EXPECT_EQ(c[RELY_MSG], 2);
    EXPECT_EQ(c[RELY_MSG_FAIL], 1);
    EXPECT_EQ(c[DROP_FOR_CACHE_FAILED], 1);
    // After a failed rely, a merge in the same run is dropped as well.
    g_trace.clear();
    g_verdicts = {MSG_HOOK_RELY, MSG_HOOK_ACCEPT, MSG_HOOK_MERGE};
    run(EV_EXEC);
    EXPECT_EQ(trace(), "AAB");
    EXPECT_EQ(c[DROP_FOR_CACHE_FAILED], 2);
    EXPECT_EQ(c[ACCEPT], 1);
    __free_context_mem(fill);
}

TEST_F(Hooks, RecordsWithoutHooksOrModuleCountOnlyTheirRate) {
    kiv_msg_hook h = hook(1ull << EV_FORK, scripted<'A'>, 1);
    ASSERT_EQ(register_msg_handler(&h, 1), 0);
    test_tasks tt(1);
    tt.tasks[0].handling_pid = 77;
    counters c;
    for (uint16_t type : {EV_BLOCK_DNS, EV_BLOCK_LOG, EV_IGNORE, EV_DEFENSE_K2U, EV_DEFENSE_END}) {
        int64_t rate = g_ev_rate_stats[type].load();
        auto rec = make_record(type, 77, 40);
        msg_entry(reinterpret_cast<char *>(rec.data()), 40);
        EXPECT_EQ(g_ev_rate_stats[type].load(), rate + 1);
    }
    EXPECT_EQ(trace(), "");
    EXPECT_EQ(c[ACCEPT], 0);
    EXPECT_EQ(tt.tasks[0].handling_pid, 0u);
    auto rec = make_record(EV_FORK, 1, 40);
    EXPECT_DEATH(msg_entry(reinterpret_cast<char *>(rec.data()), 39), "hdr->len == len");
}

}  // namespace
