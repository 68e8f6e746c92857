// Keyword automaton against a plain search, in both construction modes, with and without
// case folding. Any text cut anywhere into pieces against the whole is fuzz_matcher's.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <set>
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

std::string fold_str(std::string s) {
    for (auto &c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c | 0x20);
    return s;
}

struct automaton {
    mstr_ctrl *ctrl = nullptr;
    explicit automaton(uint32_t flags) : ctrl(mstr_ctrl_create(flags)) {}
    ~automaton() { mstr_ctrl_destroy(ctrl); }
    automaton(const automaton &) = delete;
    automaton &operator=(const automaton &) = delete;
};

// Keywords deduplicated as the automaton sees them; data is the index + 1.
std::vector<std::string> unique_keywords(const std::vector<std::string> &kw, bool nocase) {
    std::vector<std::string> out;
    std::set<std::string> seen;
    for (const auto &k : kw) {
        if (k.empty()) continue;
        if (seen.insert(nocase ? fold_str(k) : k).second) out.push_back(k);
    }
    return out;
}

void build(mstr_ctrl *ctrl, const std::vector<std::string> &kw) {
    for (size_t i = 0; i < kw.size(); i++)
        ASSERT_EQ(mstr_ctrl_add_pattern(ctrl, kw[i].data(), (uint32_t)kw[i].size(),
                                        (void *)(uintptr_t)(i + 1)),
                  0);
    ASSERT_EQ(mstr_ctrl_compile(ctrl), 0);
}

// What one pass reports: at each end position, the longest text suffix that begins some
// keyword; reported when that suffix is itself a keyword. A keyword sitting inside a
// longer keyword prefix there is not reported on its own.
std::vector<hit> model_hits(const std::vector<std::string> &kw, const std::string &text,
                            bool nocase) {
    std::string t = nocase ? fold_str(text) : text;
    std::vector<std::string> k;
    for (const auto &s : kw) k.push_back(nocase ? fold_str(s) : s);
    size_t longest = 0;
    for (const auto &s : k) longest = std::max(longest, s.size());
    std::vector<hit> out;
    for (size_t end = 1; end <= t.size(); end++) {
        size_t best = 0;
        for (size_t len = 1; len <= end && len <= longest; len++) {
            for (const auto &s : k) {
                if (s.size() >= len && memcmp(s.data(), t.data() + end - len, len) == 0) {
                    best = len;
                    break;
                }
            }
        }
        for (size_t i = 0; best && i < k.size(); i++) {
            if (k[i].size() == best && memcmp(k[i].data(), t.data() + end - best, best) == 0)
                out.push_back({(int64_t)(end - best), i + 1});
        }
    }
    return out;
}

// Every piece's search must succeed.
std::vector<hit> pieces(mstr_ctrl *ctrl, const std::string &text, const std::vector<size_t> &cuts) {
    int failed = 0;
    std::vector<hit> hits = search_pieces(ctrl, text, cuts, &failed);
    EXPECT_EQ(failed, 0);
    return hits;
}

struct mode {
    const char *name;
    uint32_t flags;
};
constexpr mode kModes[] = {{"extend", 0},
                           {"extend nocase", MSTR_NOCASE},
                           {"no-extend", MSTR_NO_EXTEND},
                           {"no-extend nocase", MSTR_NO_EXTEND | MSTR_NOCASE}};

std::string random_word(std::mt19937 &rng, const std::string &alphabet, size_t min, size_t max) {
    size_t n = std::uniform_int_distribution<size_t>(min, max)(rng);
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)];
    return s;
}

}  // namespace

// What a search reported, in order; the callback answers `answer`, or 42 on match stop_at.
struct hit_log {
    std::vector<hit> hits;
    size_t stop_at = SIZE_MAX;
    int32_t answer = 0;
};

int32_t log_hit(void *data, uint32_t offset, void *context) {
    auto *l = (hit_log *)context;
    l->hits.push_back({(int32_t)offset, (uintptr_t)data});
    return l->hits.size() == l->stop_at + 1 ? 42 : l->answer;
}

// Texts of several kilobytes are walked in blocks by two chains at once; matches near each
// block's middle, dense matches that outrun the held-back list, patterns as long as allowed
// and an answer that ends the search anywhere must all come out as in one plain pass.
TEST(Matcher, LongTextsGiveTheSameMatchesAsOnePass) {
    std::mt19937 rng(4242);
    struct shape {
        const char *alpha;
        size_t kw_min, kw_max, kw_count;
    };
    const shape shapes[] = {
        {"abcdefgh", 1, 6, 8},  // sparse
        {"ab", 1, 3, 6},        // a match at almost every byte
        {"aB", 1, 3, 4},
        {"ab", 200, 256, 3},  // the longest patterns, made to occur below
    };
    for (int round = 0; round < 16; round++) {
        const shape &sh = shapes[round % 4];
        std::vector<std::string> raw;
        for (size_t i = 0; i < sh.kw_count; i++)
            raw.push_back(random_word(rng, sh.alpha, sh.kw_min, sh.kw_max));
        size_t len =
            sh.kw_min > 100 ? 6000 : std::uniform_int_distribution<size_t>(4000, 14000)(rng);
        std::string text = random_word(rng, sh.alpha, len, len);
        if (sh.kw_min > 100) {
            // Plant the long patterns across the block middles (2048, 6144, ...).
            for (size_t at = 1900; at + 256 < text.size(); at += 2048)
                text.replace(at, raw[at % raw.size()].size(), raw[at % raw.size()]);
        }
        for (const auto &m : kModes) {
            SCOPED_TRACE(testing::Message() << m.name << " round " << round);
            bool nocase = m.flags & MSTR_NOCASE;
            auto kw = unique_keywords(raw, nocase);
            automaton a(m.flags);
            build(a.ctrl, kw);
            auto want = model_hits(kw, text, nocase);
            if (sh.kw_min > 100) {
                EXPECT_GE(want.size(), 2u);
                EXPECT_GT(a.ctrl->node_cnt, 256u);  // past the node table's first capacity
            }
            EXPECT_EQ(pieces(a.ctrl, text, {}), want);
            size_t cut = std::uniform_int_distribution<size_t>(0, text.size())(rng);
            EXPECT_EQ(pieces(a.ctrl, text, {cut, std::min(text.size(), cut + 4500)}), want)
                << "cut " << cut;
            if (want.empty()) continue;
            for (size_t stop : {size_t(0), want.size() / 2, want.size() - 1,
                                std::uniform_int_distribution<size_t>(0, want.size() - 1)(rng)}) {
                hit_log c{{}, stop};
                uint32_t state = 0;
                EXPECT_EQ(mstr_search(a.ctrl, &state, text.data(), text.size(), &c, log_hit), 42);
                std::vector<hit> prefix(want.begin(), want.begin() + (long)stop + 1);
                EXPECT_EQ(c.hits, prefix) << "stop " << stop;
                EXPECT_EQ((uintptr_t)a.ctrl->nodes[state]->data, want[stop].data);
            }
        }
    }
}

// Match order, a match across pieces and a stopping answer are the random and long texts';
// here the state handling and duplicates they never produce.
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
