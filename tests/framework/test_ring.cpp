#include <gtest/gtest.h>

#include <cstring>

#include "base/mem.h"
#include "ring_util.h"

namespace {

using bytes = std::vector<unsigned char>;

int read_one(kiv_ring *ring, bytes &out, uint32_t bufsize = KIV_MSG_MAX_LEN) {
    out.assign(bufsize, 0xEE);
    return __read_from_ring(ring, out.data(), bufsize);
}

TEST(Ring, HandAssembledRecordIsDecodedFromTheLayout) {
    // magic, len 20, type 1 (exec), pid 0x01020304, 4 unread bytes, 4 body bytes.
    const unsigned char rec[20] = {0xEF, 0xCD, 0xDC, 0xFE, 0x14, 0x00, 0x01, 0x00, 0x04, 0x03,
                                   0x02, 0x01, 0,    0,    0,    0,    'b',  'o',  'd',  'y'};
    test_ring t(64);
    memcpy(t.ring->data, rec, sizeof(rec));
    __atomic_store_n(&t.ring->w, 20u, __ATOMIC_RELEASE);
    bytes buf;
    ASSERT_EQ(read_one(t.ring, buf), 20);
    EXPECT_EQ(memcmp(buf.data(), rec, 20), 0);
    kiv_msg_hdr h = kiv_msg_hdr_get(buf.data());
    EXPECT_EQ(h.len, 20);
    EXPECT_EQ(h.type, 1);
    EXPECT_EQ(h.pid, 0x01020304u);
    EXPECT_EQ(read_one(t.ring, buf), -1);  // empty
}

TEST(Ring, RecordsAcrossAndAtTheWrapPointAreIntact) {
    // Header split 4/8 and 1/11, header ending at the end, body split, record ending at the end.
    for (uint32_t start : {60u, 63u, 52u, 48u, 40u}) {
        test_ring t(64, start);
        auto rec = make_record(13, 7, 24, 0x33);
        rec[23] = 0x99;
        ASSERT_EQ(t.put(rec), 0);
        bytes buf;
        ASSERT_EQ(read_one(t.ring, buf), 24) << start;
        EXPECT_EQ(memcmp(buf.data(), rec.data(), 24), 0) << start;
        EXPECT_EQ(t.ring->r, (start + 24) % 64);
    }
}

TEST(Ring, InvalidHeadersAreSkippedToTheNextRecord) {
    const uint32_t cases[][3] = {// len, type, magic
                                 {11, 1, 0xFEDCCDEF},
                                 {6145, 1, 0xFEDCCDEF},
                                 {20, 29, 0xFEDCCDEF},
                                 {20, 1, 0xFEDCCDEE}};
    for (const auto &c : cases) {
        test_ring t(256, 250);
        auto junk = make_record((uint16_t)c[1], 1, 20);
        junk[4] = (unsigned char)c[0], junk[5] = (unsigned char)(c[0] >> 8);
        memcpy(junk.data(), &c[2], 4);
        ASSERT_EQ(t.put(junk), 0);
        ASSERT_EQ(t.put(make_record(2, 9, 16)), 0);
        bytes buf;
        EXPECT_EQ(read_one(t.ring, buf), -1) << c[0] << "/" << c[1];
        EXPECT_EQ(t.ring->bad_cnt, 1u);
        EXPECT_EQ(t.ring->skip_bytes, 20u);
        EXPECT_EQ(t.ring->get_cnt, UINT32_MAX);  // resync counts one down
        ASSERT_EQ(read_one(t.ring, buf), 16);
        EXPECT_EQ(kiv_msg_hdr_get(buf.data()).pid, 9u);
    }
}

// A record not all there yet is RecordLongerThanTheRingIsGarbageAtOnce's last row.
TEST(Ring, GarbageIsDiscarded) {
    bytes buf;
    test_ring g(512, 500);
    bytes junk(300, 0xEF);  // magic's first byte everywhere
    for (size_t i = 0; i < junk.size(); i += 7) junk[i] = 0xCD;
    ASSERT_EQ(g.put(junk), 0);
    ASSERT_EQ(g.put(bytes(5, 0)), 0);
    EXPECT_EQ(read_one(g.ring, buf), -1);
    EXPECT_EQ(__kiv_ring_data_len(g.ring), 0u);
    EXPECT_EQ(g.ring->skip_bytes, 305u);
    EXPECT_EQ(g.ring->get_cnt, g.ring->put_cnt);
    ASSERT_EQ(g.put(bytes(7, 1)), 0);  // fewer than 12 bytes: one bad record, all discarded
    EXPECT_EQ(read_one(g.ring, buf), -1);
    EXPECT_EQ(g.ring->bad_cnt, 2u);
    EXPECT_EQ(g.ring->skip_bytes, 312u);
}

// A header whose len cannot fit the ring (capacity size - 1) would never complete: it is
// garbage at once, while one that fits but is not all there yet keeps r in place.
TEST(Ring, RecordLongerThanTheRingIsGarbageAtOnce) {
    const struct {
        uint16_t len;
        bool record_behind;
        int first_read;
        uint32_t r_after, skipped;
    } rows[] = {
        {64, false, -1, 12, 12},  // exactly the data area: still one byte too long
        {100, true, -1, 12, 12},  // resynchronises to the record behind it
        {63, true, -1, 0, 0},     // fits: waits for the rest, r stays
    };
    for (const auto &row : rows) {
        test_ring t(64);
        ASSERT_EQ(t.put(make_record(1, 7, 12)), 0);
        t.ring->data[4] = (unsigned char)row.len, t.ring->data[5] = (unsigned char)(row.len >> 8);
        if (row.record_behind) ASSERT_EQ(t.put(make_record(4, 8, 24)), 0);
        bytes buf;
        EXPECT_EQ(read_one(t.ring, buf), row.first_read) << row.len;
        EXPECT_EQ(t.ring->r, row.r_after) << row.len;
        EXPECT_EQ(t.ring->skip_bytes, row.skipped) << row.len;
        EXPECT_EQ(t.ring->bad_cnt, 1u) << row.len;
        if (row.len == 63) continue;
        // Nothing left to reject: the counters stay put and the ring takes records again.
        for (int i = 0; i < 3 && !row.record_behind; i++) EXPECT_EQ(read_one(t.ring, buf), -1);
        EXPECT_EQ(t.ring->bad_cnt, 1u) << row.len;
        if (!row.record_behind) {
            EXPECT_EQ(t.ring->get_cnt, t.ring->put_cnt) << row.len;
            ASSERT_EQ(t.put(make_record(4, 8, 24)), 0);
        }
        ASSERT_EQ(read_one(t.ring, buf), 24) << row.len;
        EXPECT_EQ(kiv_msg_hdr_get(buf.data()).pid, 8u);
        EXPECT_EQ(__kiv_ring_data_len(t.ring), 0u);
        EXPECT_LE(t.ring->put_cnt - t.ring->get_cnt, 2u) << row.len;  // no wrap below zero
    }
}

TEST(Ring, SmallBufferAndUntrustworthyOffsets) {
    test_ring t(128);
    ASSERT_EQ(t.put(make_record(1, 1, 40, 0x11)), 0);
    bytes buf;
    ASSERT_EQ(read_one(t.ring, buf, 16), 40);  // the whole record is consumed
    EXPECT_EQ(t.ring->r, 40u);
    ASSERT_EQ(t.put(make_record(1, 1, 40)), 0);
    EXPECT_DEATH(read_one(t.ring, buf, 11), "len >= sizeof\\(\\*hdr\\)");

    test_ring u(64);
    u.ring->w = 64;  // past the data area
    EXPECT_EQ(read_one(u.ring, buf), -1);
    EXPECT_EQ(u.ring->r, 0u);
    EXPECT_EQ(__check_ring(u.ring, 64), -1);  // reset
    EXPECT_EQ(u.ring->w, 0u);
    EXPECT_EQ(__check_ring(u.ring, 64), 0);
    EXPECT_EQ(__check_ring(u.ring, 128), -1);
}

// Kernel rings point at test memory for the duration of a test.
class RingSet : public testing::Test {
  protected:
    test_ring high{1024}, mid{1024}, low{1024}, uctrl{64}, blocker{64};
    test_tasks tt{2};
    alignas(8) char buf[KIV_MSG_MAX_LEN];
    void SetUp() override {
        RING_NAME(high) = high.ring, RING_NAME(mid) = mid.ring, RING_NAME(low) = low.ring;
        RING_NAME(uctrl) = uctrl.ring, RING_NAME(blocker) = blocker.ring;
    }
    void TearDown() override {
        RING_NAME(high) = RING_NAME(mid) = RING_NAME(low) = nullptr;
        RING_NAME(uctrl) = RING_NAME(blocker) = nullptr;
    }
    // Reads as `task`; returns the pid taken, -1 for none. Finishing the record is separate.
    int64_t take(int task, uint32_t *len = nullptr) {
        current = &tt.tasks[task];
        uint32_t n = 0;
        char *m = __read_all_msg(buf, sizeof(buf), &n);
        if (len) *len = n;
        return m ? (int64_t)kiv_msg_hdr_get(m).pid : -1;
    }
    void finish(int task) { tt.tasks[task].handling_pid = 0; }
};

TEST_F(RingSet, DrainsHighMidLowUctrlInThatOrder) {
    int64_t rcv_high = kiv_stat_get(RCV_HIGH);
    test_ring *order[] = {&high, &mid, &low, &uctrl};
    for (uint32_t pid = 4; pid >= 1; pid--)
        ASSERT_EQ(order[pid - 1]->put(make_record(0, pid, 12)), 0);
    ASSERT_EQ(blocker.put(make_record(0, 5, 20)), 0);
    EXPECT_EQ(__all_ring_msg_num(), 4u);  // the blocker ring is not counted
    for (uint32_t pid = 1; pid <= 4; pid++) {
        EXPECT_EQ(take(0), (int64_t)pid);
        EXPECT_EQ(tt.tasks[0].handling_ring, 4 - pid);
        finish(0);
    }
    EXPECT_EQ(take(0), -1);
    EXPECT_EQ(kiv_stat_get(RCV_HIGH), rcv_high + 1);
    EXPECT_EQ(blocker.ring->get_cnt, 0u);
    high.ring->put_cnt = 5, high.ring->get_cnt = 7;  // wrapped difference stays unsigned
    EXPECT_EQ(__all_ring_msg_num(), (uint64_t)UINT32_MAX - 1);
}

TEST_F(RingSet, LowerRingRecordWaitsWhileAnotherTaskHandlesItsProcess) {
    int64_t cached = kiv_stat_get(CACHE_MSG);
    ASSERT_EQ(high.put(make_record(1, 100, 20)), 0);
    ASSERT_EQ(mid.put(make_record(2, 100, 24)), 0);
    ASSERT_EQ(low.put(make_record(2, 200, 20)), 0);
    EXPECT_EQ(take(0), 100);  // A handles the high record
    EXPECT_EQ(take(1), -1);   // B keeps its mid record back and reads nothing lower
    EXPECT_EQ(tt.tasks[1].bak_msg_len[RING_MID], 24);
    EXPECT_EQ(take(1), -1);  // still held, not counted again
    EXPECT_EQ(kiv_stat_get(CACHE_MSG), cached + 1);
    EXPECT_EQ(low.ring->get_cnt, 0u);
    finish(0);
    uint32_t len = 0;
    EXPECT_EQ(take(1, &len), 100);  // from the slot
    EXPECT_EQ(len, 24u);
    EXPECT_EQ(tt.tasks[1].bak_msg_len[RING_MID], 0);
    finish(1);
    EXPECT_EQ(take(1), 200);
}

TEST_F(RingSet, PidZeroAndTheSameRingAreNotHeldBack) {
    ASSERT_EQ(high.put(make_record(1, 5, 20)), 0);
    EXPECT_EQ(take(0), 5);
    finish(0);  // A is idle but still remembers the high ring
    ASSERT_EQ(mid.put(make_record(1, 0, 20)), 0);
    EXPECT_EQ(take(1), 0);
    finish(1);
    for (auto *r : {&mid, &mid, &low}) ASSERT_EQ(r->put(make_record(1, 7, 20)), 0);
    EXPECT_EQ(take(0), 7);
    EXPECT_EQ(take(1), 7);  // same ring as A's record: no wait
    finish(1);
    EXPECT_EQ(take(1), -1);  // low waits for A's mid record
    EXPECT_EQ(tt.tasks[1].bak_msg_len[RING_LOW], 20);
    kiv_task_free_bak_msg(&tt.tasks[1]);
    tt.tasks[1].bak_msg_len[RING_LOW] = 20;
    EXPECT_DEATH(take(1), "current->bak_msg\\[RING_LOW\\] != NULL");
}

}  // namespace
