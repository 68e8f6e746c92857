// The limits' drops waiting for the host: one entry per limit, user and subject; a flood of
// distinct subjects stays bounded and is still counted; a host taking fewer than wait leaves
// the rest for its next take.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "framework/limit_drops.h"
#include "limit_drops_text.h"

TEST(LimitDrops, KeptPerLimitUserAndSubjectAndBounded) {
    limit_drops_clear();
    kiv_limit_drop one[1];
    EXPECT_EQ(kiv_limit_drops_take(nullptr, 4), -1);
    EXPECT_EQ(kiv_limit_drops_take(one, 0), -1);
    EXPECT_EQ(kiv_limit_drops_take(one, 1), 0);
    limit_drop_note(NET_SCAN_SPEED_LIMIT, KIV_LIMIT_ANY_USER, KIV_LIMIT_PEER, "",
                    0);  // nothing dropped
    limit_drop_note(USENSOR_STAT_MAX, 0, KIV_LIMIT_PEER, "out of range");
    limit_drop_note(NET_UPLOAD_OVERLIMIT, KIV_LIMIT_ANY_USER, KIV_LIMIT_DESTINATION,
                    std::string(400, 'd').c_str());  // cut to its first 255 bytes
    EXPECT_EQ(taken_limit_drops(),
              "NET_UPLOAD_OVERLIMIT any dest " + std::string(255, 'd') + " +1\n");
    EXPECT_EQ(taken_limit_drops(), "");
    // From two threads, past the table's 512 entries: every drop is counted, those beyond
    // the table for their limit alone.
    auto flood = [](uint32_t from) {
        for (uint32_t i = from; i < from + 400; i++)
            limit_drop_note(TASK_FILTER_UPLOAD_LIMIT_SEC_CNT, i, KIV_LIMIT_EXECUTABLE, "/x", 2);
    };
    std::thread a(flood, 0), b(flood, 400);
    a.join(), b.join();
    kiv_limit_drop d[600];
    EXPECT_EQ(kiv_limit_drops_take(d, 100), 100);  // the rest wait
    int n = kiv_limit_drops_take(d + 100, 600 - 100);
    EXPECT_EQ(n, 413);  // 512 entries and the one for the limit alone
    uint64_t total = 0, alone = 0;
    for (int i = 0; i < 100 + n; i++) {
        total += d[i].dropped;
        if (d[i].uid == KIV_LIMIT_ANY_USER) alone = d[i].dropped;
    }
    EXPECT_EQ(total, 1600u);
    EXPECT_EQ(alone, 2u * (800 - 512));
    EXPECT_EQ(kiv_limit_drops_take(d, 600), 0);
}
