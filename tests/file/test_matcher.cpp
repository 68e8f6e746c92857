// Keyword automaton edge cases in both construction modes, with and without case folding.
// Any text cut anywhere into pieces against the whole, in both modes, is fuzz_matcher's.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "file/matcher.h"
#include "matcher_hits.h"
#include "qxkiv/file_type.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's allocation hooks (its header is not installed here).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void *,
                                                                             size_t),
                                                         void (*free_hook)(const volatile void *));
#endif

namespace {

struct automaton {
    mstr_ctrl *ctrl = nullptr;
    explicit automaton(uint32_t flags) : ctrl(mstr_ctrl_create(flags)) {}
    ~automaton() { mstr_ctrl_destroy(ctrl); }
    automaton(const automaton &) = delete;
    automaton &operator=(const automaton &) = delete;
};

struct mode {
    const char *name;
    uint32_t flags;
};
constexpr mode kModes[] = {{"extend", 0},
                           {"extend nocase", MSTR_NOCASE},
                           {"no-extend", MSTR_NO_EXTEND},
                           {"no-extend nocase", MSTR_NO_EXTEND | MSTR_NOCASE}};

}  // namespace

// What a search reported, in order; the callback answers 42 on match stop_at, else 0.
struct hit_log {
    std::vector<hit> hits;
    size_t stop_at = SIZE_MAX;
};

int32_t log_hit(void *data, uint32_t offset, void *context) {
    auto *l = (hit_log *)context;
    l->hits.push_back({(int32_t)offset, (uintptr_t)data});
    return l->hits.size() == l->stop_at + 1 ? 42 : 0;
}

// The state handling, duplicates and a stopping answer.
TEST(Matcher, EdgeCases) {
    for (const auto &m : kModes) {
        SCOPED_TRACE(m.name);
        {
            automaton a(m.flags);
            ASSERT_EQ(mstr_ctrl_add_pattern(a.ctrl, "<?", 2, (void *)1), 0);
            EXPECT_EQ(mstr_search(a.ctrl, nullptr, "<?", 2, nullptr, nullptr), 0)
                << "searched before compilation";
            ASSERT_EQ(mstr_ctrl_compile(a.ctrl), 0);
            uint32_t state = 0;
            EXPECT_EQ(mstr_search(a.ctrl, &state, "x<?", 3, nullptr, nullptr), 1);
            // The empty text leaves the state where it was.
            EXPECT_EQ(mstr_search(a.ctrl, &state, "", 0, nullptr, nullptr), 0);
            EXPECT_EQ(a.ctrl->nodes[state]->accept_len, 2u);
            mstr_state_reset(&state);
            EXPECT_EQ(state, 0u);
            // A state from elsewhere (out of range) starts at the root.
            state = 99999;
            EXPECT_EQ(mstr_search(a.ctrl, &state, "?", 1, nullptr, nullptr), 0);
            EXPECT_EQ(state, 0u);
            EXPECT_EQ(mstr_ctrl_add_pattern(a.ctrl, "zz", 2, nullptr), -1);
            EXPECT_EQ(mstr_ctrl_compile(a.ctrl), 0);  // twice: nothing happens
        }
        {
            // Duplicates: -2 and the first data stays; folding decides what a duplicate is.
            automaton a(m.flags);
            bool nocase = m.flags & MSTR_NOCASE;
            ASSERT_EQ(mstr_ctrl_add_pattern(a.ctrl, "Key", 3, (void *)1), 0);
            EXPECT_EQ(mstr_ctrl_add_pattern(a.ctrl, "Key", 3, (void *)2), -2);
            EXPECT_EQ(mstr_ctrl_add_pattern(a.ctrl, "kEY", 3, (void *)3), nocase ? -2 : 0);
            EXPECT_EQ(mstr_ctrl_add_pattern(a.ctrl, "", 0, (void *)4), 0);
            ASSERT_EQ(mstr_ctrl_compile(a.ctrl), 0);
            hit_log l;
            mstr_search(a.ctrl, nullptr, "KEY key Key", 11, &l, log_hit);
            const std::vector<hit> want = {{0, 1}, {4, 1}, {8, 1}};
            EXPECT_EQ(l.hits, nocase ? want : std::vector<hit>{want[2]});
            // A non-zero answer ends the search at that match and is returned.
            hit_log first{{}, 0};
            EXPECT_EQ(mstr_search(a.ctrl, nullptr, "Key Key", 7, &first, log_hit), 42);
            EXPECT_EQ(first.hits, std::vector<hit>{want[0]});
        }
    }
}

TEST(Matcher, BadArgumentsAreRefused) {
    automaton a(0);
    std::string big(MSTR_MAX_PATTERN_LEN + 1, 'a');
    EXPECT_EQ(mstr_ctrl_add_pattern(nullptr, "a", 1, nullptr), -1);
    EXPECT_EQ(mstr_ctrl_add_pattern(a.ctrl, nullptr, 3, nullptr), -1);
    EXPECT_EQ(mstr_ctrl_add_pattern(a.ctrl, big.data(), (uint32_t)big.size(), nullptr), -1);
    EXPECT_EQ(mstr_ctrl_add_pattern(a.ctrl, big.data(), MSTR_MAX_PATTERN_LEN, nullptr), 0);
    EXPECT_EQ(mstr_ctrl_compile(nullptr), -1);
    ASSERT_EQ(mstr_ctrl_compile(a.ctrl), 0);
    EXPECT_EQ(mstr_search(nullptr, nullptr, "a", 1, nullptr, nullptr), 0);
    EXPECT_EQ(mstr_search(a.ctrl, nullptr, nullptr, 5, nullptr, nullptr), 0);
    EXPECT_EQ(mstr_search(a.ctrl, nullptr, big.data(), big.size(), nullptr, nullptr), 1);
    mstr_state_reset(nullptr);
    mstr_ctrl_destroy(nullptr);
}

#if defined(__SANITIZE_ADDRESS__)
void build(mstr_ctrl *ctrl, const std::vector<std::string> &kw) {
    for (size_t i = 0; i < kw.size(); i++)
        ASSERT_EQ(mstr_ctrl_add_pattern(ctrl, kw[i].data(), (uint32_t)kw[i].size(),
                                        (void *)(uintptr_t)(i + 1)),
                  0);
    ASSERT_EQ(mstr_ctrl_compile(ctrl), 0);
}

std::atomic<int> g_allocs{0};
void count_malloc(const volatile void *, size_t) {
    g_allocs++;
}
void ignore_free(const volatile void *) {}

TEST(Matcher, SearchAllocatesNothing) {
    for (const auto &m : kModes) {
        automaton a(m.flags);
        build(a.ctrl, {"<?", "<?php", "eval", "$"});
        std::string text(100000, 'e');
        for (size_t i = 0; i < text.size(); i += 97) text.replace(i, 5, "<?php");
        uint32_t state = 0;
        __sanitizer_install_malloc_and_free_hooks(count_malloc, ignore_free);
        g_allocs = 0;
        int n = 0;
        mstr_search(a.ctrl, &state, text.data(), text.size(), &n,
                    [](void *, uint32_t, void *c) -> int32_t {
                        ++*(int *)c;
                        return 0;
                    });
        int allocs = g_allocs.load();
        __sanitizer_install_malloc_and_free_hooks(nullptr, nullptr);
        EXPECT_EQ(allocs, 0) << m.name;
        EXPECT_GT(n, 1000);
    }
}
#endif
