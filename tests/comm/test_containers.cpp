#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "comm/fhash.h"
#include "comm/lhash.h"
#include "comm/list.h"
#include "comm/queue.h"
#include "comm/xhash.h"
#include "framework/mem.h"

namespace {

// Every test must hand back all memory of every container category.
class Containers : public testing::Test {
  protected:
    static constexpr uint32_t kCats[] = {MALLOC_IN_USE_TIMES, MALLOC_FOR_HASH, MALLOC_FOR_TMP,
                                         MALLOC_QUEUE,        MALLOC_LHASH,    MALLOC_LHASH_NODE};
    int64_t before_[sizeof(kCats) / sizeof(kCats[0])];
    void SetUp() override {
        for (size_t i = 0; i < std::size(kCats); i++) before_[i] = kiv_stat_get(kCats[i]);
    }
    void TearDown() override {
        s_enable_malloc = 1;
        for (size_t i = 0; i < std::size(kCats); i++)
            EXPECT_EQ(kiv_stat_get(kCats[i]), before_[i]) << usensor_stat_name(kCats[i]);
    }
};

// Hash that puts key "<n>..." into bucket n (of a power-of-two or modulo table).
uint32_t leading_number_hash(const void *key, uint32_t len) {
    return (uint32_t)strtoul(std::string((const char *)key, len).c_str(), nullptr, 10);
}
uint32_t constant_hash(const void *, uint32_t) {
    return 7;
}

struct deleted_log {
    std::vector<std::string> items;
};
deleted_log *g_deleted;

void xdel(void *data, const void *key) {
    g_deleted->items.push_back(std::string((const char *)data) + "@" + (const char *)key);
}

uint32_t bucket_count(xhash_t *t) {
    return xhash_slotinfo(t, nullptr, 0);
}

}  // namespace

TEST(Time33, SeedAndUnsignedBytes) {
    EXPECT_EQ(hash_default_key_time33("", 0), 5318u);
    EXPECT_EQ(hash_default_key_time33("abc", 3), 191221932u);
    EXPECT_EQ(fhash_default_key_time33("abc", 3), 191221932u);
    EXPECT_EQ(lhash_default_key_time33("abc", 3), 191221932u);
    EXPECT_EQ(hash_default_key_time33("\xff", 1), 5318u * 33 + 255);  // not sign-extended
}

TEST(HashMod, MatchesDivisionAtTheEdges) {
    const uint32_t counts[] = {1,     2,     3,           7,           1000,
                               16384, 65521, 0x7fffffffu, 0xfffffffeu, 0xffffffffu};
    const uint32_t hashes[] = {0,           1,           2,           5318,       191221932u,
                               0x7fffffffu, 0x80000000u, 0xfffffffeu, 0xffffffffu};
    for (uint32_t c : counts)
        for (uint32_t h : hashes)
            EXPECT_EQ(hash_mod(h, hash_mod_magic(c), c), h % c) << h << " % " << c;
    uint32_t x = 12345;
    for (int i = 0; i < 100000; i++) {
        x = x * 1664525u + 1013904223u;
        uint32_t c = (x >> 7) | 1;
        EXPECT_EQ(hash_mod(x, hash_mod_magic(c), c), x % c);
    }
}

TEST(Lists, OrderMovesAndPoison) {
    struct item {
        int v;
        list_head l;
    } a{1, {}}, b{2, {}}, c{3, {}};
    list_head head;
    INIT_LIST_HEAD(&head);
    EXPECT_TRUE(list_empty(&head));
    list_add_tail(&a.l, &head);
    list_add_tail(&b.l, &head);
    list_add(&c.l, &head);  // c a b
    auto order = [&] {
        std::string s;
        list_head *p;
        list_for_each(p, &head) s += std::to_string(list_entry(p, item, l)->v);
        return s;
    };
    EXPECT_EQ(order(), "312");
    list_move_tail(&c.l, &head);
    EXPECT_EQ(order(), "123");
    list_move(&b.l, &head);
    EXPECT_EQ(order(), "213");
    list_del_init(&a.l);
    EXPECT_TRUE(list_empty(&a.l));
    EXPECT_EQ(order(), "23");

    hlist_head bucket;
    INIT_HLIST_HEAD(&bucket);
    hlist_node x, y, z;
    hlist_add_head(&x, &bucket);
    hlist_add_head(&y, &bucket);
    hlist_add_head(&z, &bucket);  // z y x
    hlist_del(&y);                // middle: z's next and x's pprev must be fixed up
    EXPECT_EQ(z.next, &x);
    EXPECT_EQ(x.pprev, &z.next);
    EXPECT_EQ((uintptr_t)y.next, 0x100100u);
    EXPECT_EQ((uintptr_t)y.pprev, 0x200200u);
    hlist_del(&z);
    EXPECT_EQ(bucket.first, &x);
    EXPECT_EQ(x.pprev, &bucket.first);
    hlist_del_init(&x);
    EXPECT_TRUE(hlist_empty(&bucket));
    EXPECT_TRUE(hlist_unhashed(&x));
    hlist_del_init(&x);  // second removal is harmless
}

TEST_F(Containers, XhashSizeStepsAndGrowth) {
    struct {
        uint32_t expected, buckets;
    } rows[] = {
        {0, 8}, {24, 8}, {25, 16}, {320, 64}, {7168, 1024}, {7169, 131072}, {2147483647u, 131072}};
    for (auto r : rows) {
        xhash_t *t = xhash_create(r.expected, nullptr, nullptr);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(bucket_count(t), r.buckets) << r.expected;
        xhash_destroy(t);
    }
    EXPECT_EQ(xhash_create(2147483648u, nullptr, nullptr), nullptr);

    xhash_t *t = xhash_create(0, nullptr, nullptr);
    std::vector<std::string> keys;
    for (int i = 0; i < 100; i++) keys.push_back("key" + std::to_string(i));
    for (int i = 0; i < 64; i++) {
        ASSERT_EQ(xhash_insert(t, keys[i].data(), (uint32_t)keys[i].size(), (void *)(intptr_t)i),
                  0);
        uint32_t n = i + 1;
        EXPECT_EQ(bucket_count(t), n < 24 ? 8u : n < 64 ? 16u : 64u) << n;
    }
    // Re-inserting existing keys must not count towards growth.
    for (int i = 0; i < 64; i++) xhash_insert(t, keys[i].data(), (uint32_t)keys[i].size(), nullptr);
    EXPECT_EQ(bucket_count(t), 64u);
    // Every node was relinked into its new bucket.
    for (int i = 0; i < 64; i++)
        EXPECT_EQ(xhash_search(t, keys[i].data(), (uint32_t)keys[i].size(), nullptr), 0);
    EXPECT_EQ(xhash_search(t, "key64", 5, nullptr), -1);
    xhash_destroy(t);
}

TEST_F(Containers, XhashReplaceDeleteAndDestroyCallBack) {
    deleted_log log;
    g_deleted = &log;
    xhash_t *t = xhash_create(0, xdel, nullptr);
    char one[] = "one", two[] = "two", three[] = "three";
    ASSERT_EQ(xhash_insert(t, "k", 1, one), 0);
    ASSERT_EQ(xhash_insert(t, "k", 1, two), 0);  // old data goes to the callback first
    EXPECT_EQ(log.items, std::vector<std::string>{"one@k"});
    void *out = nullptr;
    ASSERT_EQ(xhash_search(t, "k", 1, &out), 0);
    EXPECT_EQ(out, two);
    // Prefixes, embedded NULs and the empty key are distinct keys.
    ASSERT_EQ(xhash_insert(t, "k\0x", 3, three), 0);
    ASSERT_EQ(xhash_insert(t, "", 0, one), 0);
    EXPECT_EQ(xhash_search(t, "k\0x", 3, &out), 0);
    EXPECT_EQ(out, three);
    EXPECT_EQ(xhash_search(t, "k\0y", 3, &out), -1);
    EXPECT_EQ(xhash_delete(t, "kk", 2), -1);
    EXPECT_EQ(xhash_delete(t, "k", 1), 0);
    EXPECT_EQ(log.items.back(), "two@k");
    EXPECT_EQ(xhash_search(t, "k", 1, &out), -1);
    log.items.clear();
    xhash_destroy(t);
    EXPECT_EQ(log.items.size(), 2u);
    EXPECT_EQ(xhash_insert(nullptr, "k", 1, one), -1);
    EXPECT_EQ(xhash_search(nullptr, "k", 1, &out), -1);
    xhash_destroy(nullptr);
}

// One chain holding every key: the worst case for lookups, deletes and walks.
TEST_F(Containers, XhashSingleChainLookupsWalksAndSlotInfo) {
    xhash_t *t = xhash_create(0, nullptr, constant_hash);
    const char *keys[] = {"a", "bb", "ab", "ba", "b"};
    for (const char *k : keys) ASSERT_EQ(xhash_insert(t, k, (uint32_t)strlen(k), (void *)k), 0);
    for (const char *k : keys) {
        void *out;
        ASSERT_EQ(xhash_search(t, k, (uint32_t)strlen(k), &out), 0);
        EXPECT_EQ(out, k);
    }
    uint32_t hist[8] = {}, small[3] = {};
    EXPECT_EQ(xhash_slotinfo(t, hist, 8), 8u);
    EXPECT_EQ(hist[0], 7u);
    EXPECT_EQ(hist[5], 1u);
    xhash_slotinfo(t, small, 3);  // chains as long as the histogram or longer are not counted
    EXPECT_EQ(small[0] + small[1] + small[2], 7u);
    EXPECT_EQ(xhash_delete(t, "ab", 2), 0);  // from the middle of the chain
    EXPECT_EQ(xhash_search(t, "ba", 2, nullptr), 0);
    EXPECT_EQ(xhash_search(t, "ab", 2, nullptr), -1);

    int visited = 0;
    auto stop_at_3 = [](const void *, uint32_t, void *, void *arg) {
        return ++*(int *)arg == 3 ? 1 : 0;
    };
    EXPECT_EQ(xhash_walk(t, &visited, stop_at_3), 1);
    EXPECT_EQ(visited, 3);
    auto del_current = [](const void *key, uint32_t len, void *, void *arg) {
        return xhash_delete((xhash_t *)arg, key, len) == 0 ? 0 : 1;
    };
    EXPECT_EQ(xhash_walk(t, t, del_current), 0);
    EXPECT_EQ(xhash_slotinfo(t, hist + 0, 1), 8u);
    EXPECT_EQ(hist[0], 15u);  // now every bucket is empty
    EXPECT_EQ(xhash_walk(t, nullptr, nullptr), -1);
    xhash_destroy(t);
}

TEST_F(Containers, XhashWalkPartialSweepsWrapsAndClamps) {
    xhash_t *t = xhash_create(0, nullptr, leading_number_hash);
    for (int i = 0; i < 8; i++) {
        std::string k = std::to_string(i);
        xhash_insert(t, k.data(), (uint32_t)k.size(), nullptr);
    }
    std::string seen;
    auto rec = [](const void *key, uint32_t len, void *, void *arg) {
        ((std::string *)arg)->append((const char *)key, len);
        return 1;  // ignored
    };
    auto sweep = [&](xhash_t *tab, xhash_cookie_t *c) {
        seen.clear();
        xhash_walk_partial(tab, c, &seen, rec);
        return seen;
    };
    xhash_cookie_t *c = xhash_cookie_create(0.25f);  // 2 of 8 buckets per call
    EXPECT_EQ(sweep(t, c), "01");
    EXPECT_EQ(sweep(t, c), "23");
    EXPECT_EQ(sweep(t, c), "45");
    EXPECT_EQ(sweep(t, c), "67");
    EXPECT_EQ(sweep(t, c), "01");
    xhash_cookie_set_percent(c, 0.3f);  // 2.4 truncates to 2
    EXPECT_EQ(sweep(t, c), "23");
    xhash_cookie_set_percent(c, 0.0f);  // at least one bucket
    EXPECT_EQ(sweep(t, c), "4");
    xhash_cookie_set_percent(c, -3.0f);
    EXPECT_EQ(sweep(t, c), "5");
    xhash_cookie_set_percent(c, 2.0f);  // not clamped: 16 buckets, wrapping inside the call
    EXPECT_EQ(sweep(t, c), "6701234567012345");
    xhash_cookie_destroy(c);

    c = xhash_cookie_create(5.0f);  // clamped to 1.0
    EXPECT_EQ(sweep(t, c), "01234567");
    xhash_cookie_destroy(c);

    // A cursor beyond a smaller table restarts at bucket 0.
    xhash_t *big = xhash_create(25, nullptr, leading_number_hash);  // 16 buckets
    c = xhash_cookie_create(0.75f);
    sweep(big, c);
    EXPECT_EQ(sweep(t, c), "012345");
    xhash_cookie_destroy(c);
    xhash_destroy(big);

    // At most 4096 buckets per call however large the table.
    xhash_t *huge = xhash_create(100000, nullptr, leading_number_hash);
    for (int k : {4095, 4096, 8191}) {
        std::string s = std::to_string(k);
        xhash_insert(huge, s.data(), (uint32_t)s.size(), nullptr);
    }
    c = xhash_cookie_create(1.0f);
    EXPECT_EQ(sweep(huge, c), "4095");
    EXPECT_EQ(sweep(huge, c), "40968191");
    xhash_cookie_destroy(c);
    xhash_destroy(huge);
    xhash_walk_partial(t, nullptr, nullptr, rec);
    xhash_destroy(t);
}

TEST_F(Containers, XhashOutOfMemoryLeavesTableIntact) {
    xhash_t *t = xhash_create(0, nullptr, nullptr);
    ASSERT_EQ(xhash_insert(t, "a", 1, nullptr), 0);
    s_enable_malloc = 0;
    EXPECT_EQ(xhash_create(0, nullptr, nullptr), nullptr);
    EXPECT_EQ(xhash_cookie_create(0.5f), nullptr);
    EXPECT_EQ(xhash_insert(t, "b", 1, nullptr), -1);
    EXPECT_EQ(xhash_insert(t, "a", 1, (void *)1), 0);  // replacing needs no memory
    s_enable_malloc = 1;
    EXPECT_EQ(xhash_search(t, "b", 1, nullptr), -1);
    // A key too large for one block is refused, not an allocator abort.
    static char huge[1u << 23];
    EXPECT_EQ(xhash_insert(t, huge, sizeof(huge), nullptr), -1);
    xhash_destroy(t);
}

namespace {

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

}  // namespace

TEST_F(Containers, FhashFullAndReplace) {
    EXPECT_EQ(fhash_create(0, 4, rec_cmp, nullptr, nullptr), nullptr);
    EXPECT_EQ(fhash_create(4, 0, rec_cmp, nullptr, nullptr), nullptr);
    EXPECT_EQ(fhash_create(4, 4, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(fhash_create(4, 0xFFFFFFFFu, rec_cmp, nullptr, nullptr), nullptr);  // too big

    int deleted = 0;
    rec r[5] = {{1, &deleted}, {2, &deleted}, {3, &deleted}, {2, &deleted}, {4, &deleted}};
    fhash *t = fhash_create(3, 2, rec_cmp, nullptr, rec_del);
    for (int i = 0; i < 3; i++) ASSERT_EQ(fhash_insert(t, &r[i].key, 4, &r[i]), 0);
    EXPECT_EQ(fhash_full(t), 1);
    // Existing key into a full table: the old entry goes first, so it fits.
    EXPECT_EQ(fhash_insert(t, &r[3].key, 4, &r[3]), 0);
    EXPECT_EQ(deleted, 1);
    void *out;
    ASSERT_EQ(fhash_search(t, &r[3].key, 4, &out), 0);
    EXPECT_EQ(out, &r[3]);
    // New key into a full table: refused, nothing lost.
    EXPECT_EQ(fhash_insert(t, &r[4].key, 4, &r[4]), -1);
    EXPECT_EQ(t->count, 3u);
    EXPECT_EQ(fhash_search(t, &r[4].key, 4, &out), -1);
    for (int k : {1, 2, 3}) EXPECT_EQ(fhash_search(t, &k, 4, &out), 0);

    fhash_delete(t, &r[0].key, 4);
    EXPECT_EQ(deleted, 2);
    EXPECT_EQ(fhash_full(t), 0);
    fhash_delete(t, &r[0].key, 4);  // absent: no callback
    EXPECT_EQ(deleted, 2);

    EXPECT_EQ(fhash_insert(t, &r[4].key, 0, &r[4]), -1);
    EXPECT_EQ(fhash_insert(t, &r[4].key, 4, nullptr), -1);
    EXPECT_EQ(fhash_search(t, &r[4].key, 4, nullptr), -1);
    EXPECT_EQ(fhash_full(nullptr), -1);
    EXPECT_EQ(fhash_insert(nullptr, &r[4].key, 4, &r[4]), -1);

    fhash_clear(t);
    EXPECT_EQ(deleted, 4);
    EXPECT_EQ(t->count, 0u);
    fhash_destroy(t);
    EXPECT_EQ(deleted, 4);
}

TEST_F(Containers, FhashWalkDeletesCurrentAndReturnsFirstNonZero) {
    int deleted = 0;
    std::vector<rec> r(20);
    fhash *t = fhash_create(20, 3, rec_cmp, constant_hash, rec_del);  // one long chain
    for (int i = 0; i < 20; i++) {
        r[i] = {i, &deleted};
        ASSERT_EQ(fhash_insert(t, &r[i].key, 4, &r[i]), 0);
    }
    auto stop_at_7 = [](void *data, void *) { return ((rec *)data)->key == 7 ? 42 : 0; };
    EXPECT_EQ(fhash_walk(t, stop_at_7, nullptr), 42);
    auto prune_odd = [](void *data, void *arg) {
        rec *x = (rec *)data;
        if (x->key % 2) fhash_delete((fhash *)arg, &x->key, 4);
        return 0;
    };
    EXPECT_EQ(fhash_walk(t, prune_odd, t), 0);
    EXPECT_EQ(deleted, 10);
    EXPECT_EQ(t->count, 10u);
    void *out;
    EXPECT_EQ(fhash_search(t, &r[8].key, 4, &out), 0);
    EXPECT_EQ(fhash_search(t, &r[9].key, 4, &out), -1);
    EXPECT_EQ(fhash_walk(t, nullptr, nullptr), -1);
    fhash_destroy(t);
}

namespace {

// Checks the ordering-list invariant: allow-free nodes first with the cursor on the last of
// them (or on the head), then the using nodes; counters agree. Returns the keys in order.
std::string lhash_order(lhash *t) {
    std::string s;
    list_head *p, *last_free = &t->list;
    uint32_t nfree = 0, nusing = 0;
    bool seen_using = false;
    list_for_each(p, &t->list) {
        lhash_node *n = list_entry(p, lhash_node, lnode);
        if (n->status == LHASH_STATUS_ALLOW_FREE) {
            EXPECT_FALSE(seen_using) << "allow-free node after a using node";
            last_free = p;
            nfree++;
            s += 'f';
        } else {
            seen_using = true;
            nusing++;
        }
        s += std::to_string(((rec *)n->data)->key);
    }
    EXPECT_EQ(t->allow_free, last_free);
    EXPECT_EQ(t->allow_free_cnt, nfree);
    EXPECT_EQ(t->using_cnt, nusing);
    EXPECT_EQ(t->free_slots, t->max_entries - nfree - nusing);
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
    int insert(int k) { return lhash_insert(t, &r[k].key, 4, &r[k]); }
    int allow(int k) { return lhash_mark_allow_free(t, &k, 4); }
    int latest(int k) { return lhash_mark_latest(t, &k, 4); }
};

}  // namespace

TEST_F(Containers, LhashLimitOneEvictsOnlyAllowFreeInMarkingOrder) {
    lhash_fixture f(LHASH_STATUS_ALLOW_FREE);
    for (int k : {1, 2, 3}) ASSERT_EQ(f.insert(k), 0);
    EXPECT_EQ(f.insert(4), -1);  // oldest is in use
    EXPECT_EQ(f.deleted, 0);
    EXPECT_EQ(f.allow(3), 0);
    EXPECT_EQ(f.allow(1), 0);  // marked later, evicted later
    EXPECT_EQ(lhash_order(f.t), "f3f12");
    EXPECT_EQ(f.allow(3), 0);  // already allowed: left where it is
    EXPECT_EQ(lhash_order(f.t), "f3f12");
    EXPECT_EQ(f.insert(4), 0);
    EXPECT_EQ(lhash_order(f.t), "f124");
    EXPECT_EQ(f.insert(5), 0);
    EXPECT_EQ(lhash_order(f.t), "245");
    EXPECT_EQ(f.deleted, 2);
    EXPECT_EQ(f.t->del_using_cnt, 0u);  // evicted nodes were not in use
    EXPECT_EQ(f.insert(6), -1);
    void *out;
    EXPECT_EQ(lhash_search(f.t, &f.r[3].key, 4, &out), -4);
    EXPECT_EQ(lhash_search(f.t, &f.r[2].key, 4, &out), 0);
    EXPECT_EQ(out, &f.r[2]);
}

TEST_F(Containers, LhashLimitTwoEvictsLeastRecentlyTouched) {
    lhash_fixture f(LHASH_STATUS_USING);
    for (int k : {1, 2, 3}) ASSERT_EQ(f.insert(k), 0);
    EXPECT_EQ(f.latest(1), 0);
    EXPECT_EQ(lhash_order(f.t), "231");
    EXPECT_EQ(f.insert(4), 0);  // evicts 2, a using node
    EXPECT_EQ(lhash_order(f.t), "314");
    EXPECT_EQ(f.t->del_using_cnt, 1u);
    EXPECT_EQ(f.allow(4), 0);  // allow-free still goes before using nodes
    EXPECT_EQ(f.insert(5), 0);
    EXPECT_EQ(lhash_order(f.t), "315");
    EXPECT_EQ(f.t->del_using_cnt, 1u);
    EXPECT_EQ(f.allow(3), 0);
    EXPECT_EQ(f.latest(3), -1);  // allow-free nodes cannot be refreshed
    EXPECT_EQ(f.latest(9), -4);
    EXPECT_EQ(f.allow(9), -4);
    EXPECT_EQ(lhash_mark_latest(nullptr, &f.r[1].key, 4), -2);
    EXPECT_EQ(lhash_mark_allow_free(f.t, nullptr, 4), -2);
    EXPECT_EQ(lhash_insert(f.t, nullptr, 4, &f.r[1]), -2);
    EXPECT_EQ(lhash_search(f.t, &f.r[1].key, 4, nullptr), -2);
}

TEST_F(Containers, LhashCursorSurvivesDeletesAndReplace) {
    lhash_fixture f(LHASH_STATUS_ALLOW_FREE, 5);
    for (int k : {1, 2, 3, 4}) ASSERT_EQ(f.insert(k), 0);
    f.allow(1);
    f.allow(2);
    EXPECT_EQ(lhash_order(f.t), "f1f234");
    lhash_delete(f.t, &f.r[2].key, 4);  // the cursor's node: cursor steps back onto 1
    EXPECT_EQ(lhash_order(f.t), "f134");
    f.allow(4);  // goes right after 1, ahead of the using node 3
    EXPECT_EQ(lhash_order(f.t), "f1f43");
    lhash_delete(f.t, &f.r[1].key, 4);  // not the cursor's node
    EXPECT_EQ(lhash_order(f.t), "f43");
    lhash_delete(f.t, &f.r[4].key, 4);  // last allow-free: cursor back on the head
    EXPECT_EQ(lhash_order(f.t), "3");
    EXPECT_EQ(f.t->del_using_cnt, 0u);
    f.allow(3);
    EXPECT_EQ(lhash_order(f.t), "f3");
    // Re-inserting a key replaces its node with a fresh using one.
    EXPECT_EQ(f.insert(3), 0);
    EXPECT_EQ(lhash_order(f.t), "3");
    EXPECT_EQ(f.insert(3), 0);
    EXPECT_EQ(f.t->del_using_cnt, 1u);  // the replaced node was in use
    EXPECT_EQ(f.deleted, 5);
    lhash_delete(f.t, &f.r[7].key, 4);  // absent
    EXPECT_EQ(f.deleted, 5);
}

TEST_F(Containers, LhashNullDataSkipsDeleteCallback) {
    int deleted = 0, k = 1;
    rec r2{2, &deleted};
    lhash_ops ops{nullptr, rec_del,
                  [](const void *key, void *d) { return d ? rec_cmp(key, d) : 1; }};
    lhash *t = lhash_create(1, 1, LHASH_STATUS_USING, &ops);
    ASSERT_EQ(lhash_insert(t, &k, 4, nullptr), 0);
    ASSERT_EQ(lhash_insert(t, &r2.key, 4, &r2), 0);  // evicts the null-data node quietly
    EXPECT_EQ(deleted, 0);
    EXPECT_EQ(t->del_using_cnt, 1u);
    lhash_destroy(t);
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(lhash_create(1, 1, 1, nullptr), nullptr);
    ops.cmp_cb = nullptr;
    EXPECT_EQ(lhash_create(1, 1, 1, &ops), nullptr);
}

TEST_F(Containers, LhashOutOfMemoryKeepsTheEvictionCandidate) {
    lhash_fixture f(LHASH_STATUS_USING, 1);
    ASSERT_EQ(f.insert(1), 0);
    s_enable_malloc = 0;
    EXPECT_EQ(f.insert(2), -1);
    s_enable_malloc = 1;
    EXPECT_EQ(lhash_order(f.t), "1");
    EXPECT_EQ(f.deleted, 0);
}

TEST(LhashDeath, CorruptStatusAborts) {
    EXPECT_DEATH(
        {
            lhash_fixture f(LHASH_STATUS_USING);
            f.insert(1);
            list_entry(f.t->list.next, lhash_node, lnode)->status = 3;
            lhash_delete(f.t, &f.r[1].key, 4);
        },
        "assert \"0\" failed");
    EXPECT_DEATH(
        {
            lhash_fixture f(LHASH_STATUS_USING);
            f.insert(1);
            list_entry(f.t->list.next, lhash_node, lnode)->status = 0;
            f.allow(1);
        },
        "assert \"node->status == LHASH_STATUS_USING\" failed");
}

TEST_F(Containers, QueueCapacityWrapAndNullArguments) {
    EXPECT_EQ(queue_create(0, 4), nullptr);
    EXPECT_EQ(queue_create(4, 0), nullptr);
    EXPECT_EQ(queue_create(0x7fffffff, 0x7fffffff), nullptr);  // too big for one block

    kiv_queue *q = queue_create(4, sizeof(int));
    int v = 0, out = -1;
    for (v = 1; v <= 3; v++) ASSERT_EQ(queue_push(q, &v), 0);
    EXPECT_EQ(queue_push(q, &v), -1);
    EXPECT_EQ(queue_full(q), 0);
    // FIFO across many wrap-arounds of both indices.
    int expect = 1;
    for (int round = 0; round < 10; round++) {
        ASSERT_EQ(queue_head(q, &out), 0);
        EXPECT_EQ(out, expect);
        ASSERT_EQ(queue_pop(q, &out), 0);
        EXPECT_EQ(out, expect++);
        EXPECT_EQ(queue_full(q), -1);
        ASSERT_EQ(queue_push(q, &v), 0);
        v++;
    }
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(queue_pop(q, &out), 0);
        EXPECT_EQ(out, expect++);
    }
    EXPECT_EQ(queue_pop(q, &out), -1);
    EXPECT_EQ(queue_head(q, &out), -1);
    queue_push(q, &v);
    queue_clear(q);
    EXPECT_EQ(queue_pop(q, &out), -1);
    EXPECT_EQ(queue_push(q, nullptr), -1);
    EXPECT_EQ(queue_push(nullptr, &v), -1);
    EXPECT_EQ(queue_full(nullptr), -1);
    queue_destroy(q);

    q = queue_create(1, 16);  // one slot: never holds anything
    char elem[16] = {};
    EXPECT_EQ(queue_full(q), 0);
    EXPECT_EQ(queue_push(q, elem), -1);
    queue_destroy(q);
    queue_destroy(nullptr);
}
