#include "task/usr_grp.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>

#include <string>
#include <thread>
#include <vector>

#include "comm/timer.h"

namespace {

std::atomic<uint64_t> g_ms{7000000000ull};
constexpr uint32_t kNoSuchId = 3999999999u;

void set_sec(uint64_t s) {
    g_ms = s * 1000;
    kiv_timer_set_source([] { return g_ms.load(); });
}

struct UsrGrpTest : ::testing::Test {
    uint64_t t0 = g_ms / 1000;
    void SetUp() override {
        set_sec(t0);
        ASSERT_EQ(kiv_usr_grp_info_init(), 0);
    }
    void TearDown() override {
        kiv_usr_grp_info_exit();
        kiv_timer_set_source(nullptr);
    }
};

// Names as the account database gives them: the first account and one far down the list.
TEST_F(UsrGrpTest, NamesMatchAccountDatabase) {
    char out[64];
    for (auto [user, grp] : {std::pair{"root", "root"}, {"nobody", "nogroup"}}) {
        ASSERT_TRUE(getpwnam(user) && getgrnam(grp));
        ASSERT_EQ(get_username_by_uid(getpwnam(user)->pw_uid, out, sizeof(out)), 0);
        EXPECT_STREQ(out, user);
        ASSERT_EQ(get_grpname_by_gid(getgrnam(grp)->gr_gid, out, sizeof(out)), 0);
        EXPECT_STREQ(out, grp);
    }
    // Cut to out_len - 1; unusable buffers refused before any search.
    EXPECT_EQ(get_username_by_uid(0, out, 3), 0);
    EXPECT_STREQ(out, "ro");
    EXPECT_EQ(get_username_by_uid(0, out, 0), -1);
    EXPECT_EQ(get_grpname_by_gid(0, nullptr, 8), -1);
}

// The gap is the reload's own, kept per table (the group table's: the same code).
TEST_F(UsrGrpTest, MissingIdReloadsAtMostOncePer10s) {
    char out[64];
    usrgrp_hash_table *t = &s_usr_grp_info.user_hash_table;
    uint64_t base = t0 + 100;
    set_sec(base);
    ASSERT_EQ(rehash_table(0, t), 0);
    EXPECT_EQ(t->last_rehash, base);
    // Seconds after base, and whether the miss reloads.
    for (auto [at, reload] : {std::pair{9, false}, {10, true}, {19, false}, {20, true}}) {
        set_sec(base + at);
        uint64_t before = t->last_rehash;
        EXPECT_EQ(get_username_by_uid(kNoSuchId, out, sizeof(out)), -1);
        EXPECT_EQ(t->last_rehash != before, reload) << at;
    }
    // An entry gone from the table comes back through the reload on miss.
    set_sec(base + 40);
    uint32_t root = 0;
    fhash_delete(t->hash_head, &root, sizeof(root));
    EXPECT_EQ(get_username_by_uid(0, out, sizeof(out)), 0);
    EXPECT_EQ(t->last_rehash, base + 40);
}

TEST_F(UsrGrpTest, LookupsDuringReloads) {
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; i++)
        readers.emplace_back([&] {
            char out[64];
            while (!stop) bad += get_username_by_uid(0, out, 64) + get_grpname_by_gid(0, out, 64);
        });
    for (uint64_t i = 1; i <= 50; i++) {
        set_sec(t0 + 10 * i);
        update_usrgrp_info_timer_func(nullptr);  // both tables
    }
    stop = true;
    for (auto &t : readers) t.join();
    EXPECT_EQ(bad, 0);  // a failed lookup adds -1
}

}  // namespace
