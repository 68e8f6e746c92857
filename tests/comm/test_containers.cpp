#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "comm/fhash.h"
#include "comm/lhash.h"
#include "comm/list.h"
#include "comm/queue.h"
#include "comm/xhash.h"
#include "base/mem.h"

namespace {

// Every test must hand back all memory of every container category.
class Containers : public testing::Test {
  protected:
    static std::vector<int64_t> stats() {
        std::vector<int64_t> v;
        for (uint32_t c : {MALLOC_IN_USE_TIMES, MALLOC_FOR_HASH, MALLOC_FOR_TMP, MALLOC_QUEUE,
                           MALLOC_LHASH, MALLOC_LHASH_NODE})
            v.push_back(kiv_stat_get(c));
        return v;
    }
    std::vector<int64_t> before_ = stats();
    void TearDown() override {
        s_enable_malloc = 1;
        EXPECT_EQ(stats(), before_);
    }
};

// Puts key "<n>..." into bucket n.
uint32_t leading_number_hash(const void *key, uint32_t len) {
    return (uint32_t)strtoul(std::string((const char *)key, len).c_str(), nullptr, 10);
}
auto constant_hash = [](const void *, uint32_t) -> uint32_t { return 7; };
std::vector<std::string> *g_deleted;
void xdel(void *data, const void *key) {
    g_deleted->push_back(std::string((const char *)data) + "@" + (const char *)key);
}
int xput(xhash_t *t, const std::string &k, void *v = nullptr) {
    return xhash_insert(t, k.data(), (uint32_t)k.size(), v);
}

TEST(HashBasics, Time33AndMod) {
    EXPECT_EQ(fhash_default_key_time33("abc", 3), 191221932u);
    EXPECT_EQ(hash_default_key_time33("\xff", 1), 5318u * 33 + 255);  // not sign-extended
    for (uint32_t c : {1u, 3u, 7u, 1000u, 65521u, 0x7fffffffu, 0xfffffffeu, 0xffffffffu})
        for (uint32_t h : {0u, 1u, 5318u, 0x7fffffffu, 0x80000000u, 0xfffffffeu, 0xffffffffu})
            EXPECT_EQ(hash_mod(h, hash_mod_magic(c), c), h % c) << h << " % " << c;
}

TEST_F(Containers, XhashSizeStepsAndGrowth) {
    const uint32_t expected[] = {0, 24, 25, 7168, 7169, 2147483647u};
    const uint32_t buckets[] = {8, 8, 16, 1024, 131072, 131072};
    for (int i = 0; i < 6; i++) {
        xhash_t *t = xhash_create(expected[i], nullptr, nullptr);
        EXPECT_EQ(xhash_slotinfo(t, nullptr, 0), buckets[i]) << expected[i];
        xhash_destroy(t);
    }
    EXPECT_EQ(xhash_create(2147483648u, nullptr, nullptr), nullptr);

    xhash_t *t = xhash_create(0, nullptr, nullptr);
    for (uint32_t n = 1; n <= 64; n++) {
        ASSERT_EQ(xput(t, "key" + std::to_string(n)), 0);
        EXPECT_EQ(xhash_slotinfo(t, nullptr, 0), n < 24 ? 8u : n < 64 ? 16u : 64u) << n;
    }
    for (int i = 1; i <= 64; i++) {  // every node was relinked; replacing does not grow
        std::string k = "key" + std::to_string(i);
        EXPECT_EQ(xhash_search(t, k.data(), (uint32_t)k.size(), nullptr), 0);
        xput(t, k);
    }
    EXPECT_EQ(xhash_slotinfo(t, nullptr, 0), 64u);
    xhash_destroy(t);
}

TEST_F(Containers, XhashReplaceDeleteAndDestroyCallBack) {
    std::vector<std::string> log;
    g_deleted = &log;
    xhash_t *t = xhash_create(0, xdel, nullptr);
    char one[] = "one", two[] = "two", three[] = "three";
    ASSERT_EQ(xhash_insert(t, "k", 1, one), 0);
    ASSERT_EQ(xhash_insert(t, "k", 1, two), 0);  // old data goes to the callback first
    // Prefixes, embedded NULs and the empty key are distinct keys.
    ASSERT_EQ(xhash_insert(t, "k\0x", 3, three), 0);
    ASSERT_EQ(xhash_insert(t, "", 0, one), 0);
    void *out = nullptr;
    EXPECT_EQ(xhash_search(t, "k\0x", 3, &out), 0);
    EXPECT_EQ(out, three);
    EXPECT_EQ(xhash_delete(t, "k", 1), 0);
    s_enable_malloc = 0;  // a failed insert leaves the table intact; replacing needs no memory
    EXPECT_EQ(xhash_insert(t, "b", 1, two), -1);
    EXPECT_EQ(xhash_insert(t, "", 0, two), 0);
    s_enable_malloc = 1;
    static char huge[1u << 23];  // too large for one block: refused, not an abort
    EXPECT_EQ(xhash_insert(t, huge, sizeof(huge), nullptr), -1);
    xhash_destroy(t);
    EXPECT_EQ(log, (std::vector<std::string>{"one@k", "two@k", "one@", "three@k", "two@"}));
}

// One chain holding every key: the worst case for lookups, deletes and walks.
TEST_F(Containers, XhashSingleChainWalksAndSlotInfo) {
    xhash_t *t = xhash_create(0, nullptr, constant_hash);
    for (const char *k : {"a", "bb", "ab", "ba", "b"}) ASSERT_EQ(xput(t, k), 0);
    uint32_t hist[8] = {};
    EXPECT_EQ(xhash_slotinfo(t, hist, 8), 8u);
    EXPECT_EQ(std::pair(hist[0], hist[5]), std::pair(7u, 1u));  // 7 empty, one chain of 5
    EXPECT_EQ(xhash_delete(t, "ab", 2), 0);                     // from the middle of the chain
    EXPECT_EQ(xhash_search(t, "ab", 2, nullptr), -1);

    // Deleting the current node mid-walk; the first non-zero return stops the walk.
    auto del_current = [](const void *key, uint32_t len, void *, void *arg) {
        return xhash_delete((xhash_t *)arg, key, len) == 0 && len == 2 ? 1 : 0;
    };
    EXPECT_EQ(xhash_walk(t, t, del_current), 1);
    EXPECT_EQ(xhash_walk(t, t, del_current), 1);
    EXPECT_EQ(xhash_walk(t, t, del_current), 0);
    xhash_slotinfo(t, hist, 1);
    EXPECT_EQ(hist[0], 15u);  // now every bucket is empty
    xhash_destroy(t);
}

TEST_F(Containers, XhashWalkPartialSweepsWrapsAndClamps) {
    xhash_t *t = xhash_create(0, nullptr, leading_number_hash);
    for (int i = 0; i < 8; i++) xput(t, std::to_string(i));
    auto sweep = [](xhash_t *tab, xhash_cookie_t *c) {
        std::string seen;
        xhash_walk_partial(tab, c, &seen, [](const void *key, uint32_t len, void *, void *arg) {
            ((std::string *)arg)->append((const char *)key, len);
            return 1;  // ignored
        });
        return seen;
    };
    // 3.2 of 8 buckets per call truncated, wrapping; at least one; not clamped when set later.
    xhash_cookie_t *c = xhash_cookie_create(0.4f);
    const float pcts[] = {0.4f, 0.4f, 0.4f, -3.0f, 2.0f};
    const char *wants[] = {"012", "345", "670", "1", "2345670123456701"};
    for (int i = 0; i < 5; i++) {
        xhash_cookie_set_percent(c, pcts[i]);
        EXPECT_EQ(sweep(t, c), wants[i]) << i;
    }
    xhash_cookie_destroy(c);
    c = xhash_cookie_create(5.0f);  // clamped to 1.0
    EXPECT_EQ(sweep(t, c), "01234567");

    // At most 4096 buckets per call however large the table.
    xhash_t *huge = xhash_create(100000, nullptr, leading_number_hash);
    for (int k : {4095, 4096, 8191}) xput(huge, std::to_string(k));
    xhash_cookie_destroy(c);
    c = xhash_cookie_create(1.0f);
    EXPECT_EQ(sweep(huge, c), "4095");
    EXPECT_EQ(sweep(huge, c), "40968191");
    xhash_cookie_destroy(c);
    xhash_destroy(huge);
    xhash_destroy(t);
}

struct rec {
    int key;
    int *deleted;  // bumped by the delete callback
};
int rec_cmp(const void *key, void *data) {
    return *(const int *)key == ((rec *)data)->key ? 0 : 1;
}
void rec_del(void *data) {
    ++*((rec *)data)->deleted;
}

// Checks the ordering invariant (allow-free nodes first, cursor on the last of them or on the
// head, then using nodes; counters agree) and returns the keys in order, 'f' marking allow-free.
std::string lhash_order(lhash *t) {
    std::string s;
    list_head *p, *last_free = &t->list;
    uint32_t nfree = 0, nusing = 0;
    list_for_each(p, &t->list) {
        lhash_node *n = list_entry(p, lhash_node, lnode);
        bool is_free = n->status == LHASH_STATUS_ALLOW_FREE;
        EXPECT_FALSE(is_free && nusing) << "allow-free node after a using node";
        if (is_free) last_free = p;
        (is_free ? nfree : nusing)++;
        s += (is_free ? "f" : "") + std::to_string(((rec *)n->data)->key);
    }
    EXPECT_EQ(std::tuple(t->allow_free, t->allow_free_cnt, t->using_cnt, t->free_slots),
              std::tuple(last_free, nfree, nusing, t->max_entries - nfree - nusing));
    return s;
}

struct lhash_fixture {
    int deleted = 0;
    rec r[10];
    lhash *t;
    explicit lhash_fixture(uint32_t limit, uint32_t max = 3) {
        for (int i = 0; i < 10; i++) r[i] = {i, &deleted};
        lhash_ops ops{nullptr, rec_del, rec_cmp};
        t = lhash_create(max, 4, limit, &ops);
    }
    ~lhash_fixture() { lhash_destroy(t); }
    // Ops: iK insert, xK insert refused, aK allow-free, lK/LK mark latest ok/refused,
    // dK delete, =ORDER check the list.
    void run(const char *script) {
        std::istringstream in(script);
        for (std::string op; in >> op;) {
            char c = op[0];
            int k = c == '=' ? 0 : std::stoi(op.substr(1));
            if (c == '=') EXPECT_EQ(lhash_order(t), op.substr(1)) << script;
            if (c == 'i' || c == 'x')
                EXPECT_EQ(lhash_insert(t, &r[k].key, 4, &r[k]), c == 'i' ? 0 : -1) << op;
            if (c == 'a') EXPECT_EQ(lhash_mark_allow_free(t, &k, 4), 0) << op;
            if (c == 'l' || c == 'L') EXPECT_EQ(lhash_mark_latest(t, &k, 4), c == 'l' ? 0 : -1);
            if (c == 'd') lhash_delete(t, &k, 4);
        }
    }
};

TEST_F(Containers, FhashFullReplaceAndWalk) {
    EXPECT_EQ(fhash_create(4, 0xFFFFFFFFu, rec_cmp, nullptr, nullptr), nullptr);  // too big
    int deleted = 0;
    rec r[20], dup{2, &deleted};
    for (int i = 0; i < 20; i++) r[i] = {i, &deleted};
    fhash *t = fhash_create(3, 2, rec_cmp, nullptr, rec_del);
    for (int i = 1; i <= 3; i++) ASSERT_EQ(fhash_insert(t, &r[i].key, 4, &r[i]), 0);
    EXPECT_EQ(fhash_full(t), 1);
    // Full: an existing key still fits (the old entry goes first), a new one is refused.
    EXPECT_EQ(fhash_insert(t, &dup.key, 4, &dup), 0);
    EXPECT_EQ(fhash_insert(t, &r[4].key, 4, &r[4]), -1);
    void *out;
    ASSERT_EQ(fhash_search(t, &dup.key, 4, &out), 0);
    EXPECT_EQ(out, &dup);
    fhash_delete(t, &r[1].key, 4);
    fhash_delete(t, &r[1].key, 4);  // absent: no callback
    EXPECT_EQ(deleted, 2);
    fhash_destroy(t);

    // One long chain: the walk returns the first non-zero and survives deleting the current.
    t = fhash_create(20, 3, rec_cmp, constant_hash, rec_del);
    for (rec &x : r) ASSERT_EQ(fhash_insert(t, &x.key, 4, &x), 0);
    auto prune_odd = [](void *data, void *arg) {
        rec *x = (rec *)data;
        if (x->key % 2) fhash_delete((fhash *)arg, &x->key, 4);
        return x->key == 17 ? 42 : 0;
    };
    EXPECT_EQ(fhash_walk(t, prune_odd, t), 42);
    EXPECT_EQ(fhash_walk(t, prune_odd, t), 0);  // 17 is gone now
    EXPECT_EQ(t->count, 10u);
    fhash_clear(t);
    EXPECT_EQ(deleted, 4 + 20);
    fhash_destroy(t);
}

TEST_F(Containers, LhashEvictionOrderAndCursor) {
    {  // limit 2: least recently touched using node goes, allow-free ones still first
        lhash_fixture f(LHASH_STATUS_USING);
        f.run("i1 i2 i3 l1 =231 i4 =314");
        EXPECT_EQ(f.t->del_using_cnt, 1u);
        f.run("a4 i5 =315 a3 L3");  // allow-free nodes cannot be refreshed
        EXPECT_EQ(f.t->del_using_cnt, 1u);
        EXPECT_EQ(lhash_mark_allow_free(f.t, &f.r[9].key, 4), -4);
    }
    // The cursor steps back when its node goes, allow-free nodes join right after it, and the
    // last one leaves it on the head; re-inserting gives a fresh using node.
    lhash_fixture f(LHASH_STATUS_ALLOW_FREE, 5);
    f.run("i1 i2 i3 i4 a1 a2 =f1f234 d2 =f134 a4 =f1f43 d1 =f43 d4 =3 a3 =f3 i3 =3");
    EXPECT_EQ(f.t->del_using_cnt, 0u);
    f.run("i3 d7");
    EXPECT_EQ(f.t->del_using_cnt, 1u);
    EXPECT_EQ(f.deleted, 5);
    f.run("i1 i2 i4 i5 a3");
    s_enable_malloc = 0;  // a failed insert keeps the eviction candidate
    f.run("x6 =f31245");
    EXPECT_EQ(f.deleted, 5);
}

TEST_F(Containers, QueueCapacityAndWrap) {
    EXPECT_EQ(queue_create(0x7fffffff, 0x7fffffff), nullptr);  // too big for one block

    kiv_queue *q = queue_create(4, sizeof(int));
    int v = 0, out = -1, expect = 1;
    for (v = 1; v <= 3; v++) ASSERT_EQ(queue_push(q, &v), 0);
    EXPECT_EQ(queue_push(q, &v), -1);
    EXPECT_EQ(queue_full(q), 0);
    for (int round = 0; round < 13; round++, v++) {  // FIFO across many wrap-arounds
        ASSERT_EQ(queue_head(q, &out) + out, expect);
        ASSERT_EQ(queue_pop(q, &out) + out, expect++);
        EXPECT_EQ(queue_full(q), -1);
        if (round < 10) ASSERT_EQ(queue_push(q, &v), 0);
    }
    EXPECT_EQ(queue_pop(q, &out), -1);
    queue_push(q, &v);
    queue_clear(q);
    EXPECT_EQ(queue_head(q, &out), -1);
    queue_destroy(q);
}

}  // namespace
