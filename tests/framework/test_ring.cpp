#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "framework/mem.h"
#include "framework/ring.h"
#include "framework/task.h"
#include "kernel/kernel_if.h"
#include "qxkiv/kemu.h"
#include "ring_util.h"

namespace {

int read_one(kiv_ring *ring, std::vector<unsigned char> &out, uint32_t bufsize = KIV_MSG_MAX_LEN) {
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
    std::vector<unsigned char> buf;
    ASSERT_EQ(read_one(t.ring, buf), 20);
    EXPECT_EQ(memcmp(buf.data(), rec, 20), 0);
    kiv_msg_hdr h = kiv_msg_hdr_get(buf.data());
    EXPECT_EQ(h.len, 20);
    EXPECT_EQ(h.type, 1);
    EXPECT_EQ(h.pid, 0x01020304u);
    EXPECT_EQ(t.ring->r, 20u);
    EXPECT_EQ(t.ring->get_cnt, 1u);
    EXPECT_EQ(read_one(t.ring, buf), -1);  // empty
}

TEST(Ring, RecordsAcrossAndAtTheWrapPointAreIntact) {
    // Header split 4/8 and 1/11, header ending at the end, body split, record ending at the end.
    for (uint32_t start : {60u, 63u, 52u, 48u, 40u}) {
        test_ring t(64, start);
        auto rec = make_record(13, 7, 24, 0x33);
        rec[23] = 0x99;
        ASSERT_EQ(t.put(rec), 0);
        EXPECT_EQ(__kiv_ring_data_len(t.ring), 24u);
        std::vector<unsigned char> buf;
        ASSERT_EQ(read_one(t.ring, buf), 24) << start;
        EXPECT_EQ(memcmp(buf.data(), rec.data(), 24), 0) << start;
        EXPECT_EQ(t.ring->r, (start + 24) % 64);
        EXPECT_EQ(t.ring->r, t.ring->w);
    }
}

TEST(Ring, FreeSpaceKeepsOneByteAndRefusalsAreCounted) {
    test_ring t(64, 30);
    EXPECT_EQ(__kiv_ring_free(t.ring), 63u);
    ASSERT_EQ(t.put(make_record(1, 1, 51)), 0);
    EXPECT_EQ(t.put(make_record(1, 1, 13)), -1);  // 12 free
    EXPECT_EQ(t.ring->full_cnt, 1u);
    EXPECT_EQ(t.ring->full_flag, 1u);
    ASSERT_EQ(t.put(make_record(1, 1, 12)), 0);
    EXPECT_EQ(__kiv_ring_free(t.ring), 0u);
    EXPECT_EQ(t.ring->put_cnt, 2u);
    EXPECT_EQ(t.ring->put_total, 2u);
    std::vector<unsigned char> buf;
    EXPECT_EQ(read_one(t.ring, buf), 51);
    EXPECT_EQ(t.ring->full_flag, 0u);  // every read attempt clears it
}

TEST(Ring, InvalidHeadersAreSkippedToTheNextRecord) {
    struct bad_case {
        uint16_t len, type;
        uint32_t magic;
    } const cases[] = {
        {11, 1, 0xFEDCCDEF}, {6145, 1, 0xFEDCCDEF}, {20, 29, 0xFEDCCDEF}, {20, 1, 0xFEDCCDEE}};
    for (const auto &c : cases) {
        test_ring t(256, 250);
        auto junk = make_record(c.type, 1, 20);
        junk[4] = (unsigned char)c.len;
        junk[5] = (unsigned char)(c.len >> 8);
        memcpy(junk.data(), &c.magic, 4);
        ASSERT_EQ(t.put(junk), 0);
        auto good = make_record(2, 9, 16);
        ASSERT_EQ(t.put(good), 0);
        std::vector<unsigned char> buf;
        EXPECT_EQ(read_one(t.ring, buf), -1) << c.len << "/" << c.type;
        EXPECT_EQ(t.ring->bad_cnt, 1u);
        EXPECT_EQ(t.ring->skip_bytes, 20u);
        EXPECT_EQ(t.ring->get_cnt, UINT32_MAX);  // resync counts one down
        ASSERT_EQ(read_one(t.ring, buf), 16);
        EXPECT_EQ(kiv_msg_hdr_get(buf.data()).pid, 9u);
        EXPECT_EQ(t.ring->get_cnt, 0u);
    }
}

TEST(Ring, PartialRecordWaitsInPlace) {
    test_ring t(128, 100);
    auto rec = make_record(0, 5, 40);
    // Only the first 30 bytes are there yet.
    for (int i = 0; i < 30; i++) t.ring->data[(100 + i) % 128] = rec[i];
    t.ring->w = (100 + 30) % 128;
    std::vector<unsigned char> buf;
    EXPECT_EQ(read_one(t.ring, buf), -1);
    EXPECT_EQ(t.ring->bad_cnt, 1u);
    EXPECT_EQ(t.ring->r, 100u);
    EXPECT_EQ(t.ring->skip_bytes, 0u);
    EXPECT_EQ(t.ring->get_cnt, UINT32_MAX);
    for (int i = 30; i < 40; i++) t.ring->data[(100 + i) % 128] = rec[i];
    t.ring->w = (100 + 40) % 128;
    EXPECT_EQ(read_one(t.ring, buf), 40);
}

TEST(Ring, GarbageOnlyIsDiscardedInOneCall) {
    test_ring t(512, 500);
    std::vector<unsigned char> junk(300, 0xEF);  // magic's first byte everywhere
    for (size_t i = 0; i < junk.size(); i += 7) junk[i] = 0xCD;
    ASSERT_EQ(t.put(junk), 0);
    ASSERT_EQ(t.put(std::vector<unsigned char>(5, 0)), 0);
    std::vector<unsigned char> buf;
    EXPECT_EQ(read_one(t.ring, buf), -1);
    EXPECT_EQ(__kiv_ring_data_len(t.ring), 0u);
    EXPECT_EQ(t.ring->skip_bytes, 305u);
    EXPECT_EQ(t.ring->get_cnt, t.ring->put_cnt);
    // Fewer than 12 bytes pending: one bad record, all discarded.
    ASSERT_EQ(t.put(std::vector<unsigned char>(7, 1)), 0);
    EXPECT_EQ(read_one(t.ring, buf), -1);
    EXPECT_EQ(t.ring->bad_cnt, 2u);
    EXPECT_EQ(t.ring->skip_bytes, 312u);
}

TEST(Ring, SmallBufferConsumesTheWholeRecord) {
    test_ring t(128);
    ASSERT_EQ(t.put(make_record(1, 1, 40, 0x11)), 0);
    std::vector<unsigned char> buf;
    ASSERT_EQ(read_one(t.ring, buf, 16), 40);
    EXPECT_EQ(t.ring->r, 40u);
    EXPECT_EQ(buf[15], 0x11);
    ASSERT_EQ(t.put(make_record(1, 1, 40)), 0);
    EXPECT_DEATH(read_one(t.ring, buf, 11), "len >= sizeof\\(\\*hdr\\)");
}

TEST(Ring, UntrustworthyOffsetsReadNothing) {
    test_ring t(64);
    t.ring->w = 64;  // past the data area
    std::vector<unsigned char> buf;
    EXPECT_EQ(read_one(t.ring, buf), -1);
    EXPECT_EQ(t.ring->r, 0u);
    EXPECT_EQ(__check_ring(t.ring, 64), -1);  // reset
    EXPECT_EQ(t.ring->w, 0u);
    EXPECT_EQ(__check_ring(t.ring, 64), 0);
    EXPECT_EQ(__check_ring(t.ring, 128), -1);
    EXPECT_EQ(t.ring->size, 128u);
}

// Kernel rings point at test memory for the duration of a test.
class RingSet : public testing::Test {
  protected:
    test_ring high{1024}, mid{1024}, low{1024}, uctrl{64}, blocker{64};
    test_tasks tt{2};
    void SetUp() override {
        RING_NAME(high) = high.ring;
        RING_NAME(mid) = mid.ring;
        RING_NAME(low) = low.ring;
        RING_NAME(uctrl) = uctrl.ring;
        RING_NAME(blocker) = blocker.ring;
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
    alignas(8) char buf[KIV_MSG_MAX_LEN];
};

TEST_F(RingSet, DrainsHighMidLowUctrlInThatOrder) {
    int64_t rcv_high = kiv_stat_get(RCV_HIGH), rcv_uctrl = kiv_stat_get(RCV_UCTRL);
    ASSERT_EQ(uctrl.put(make_record(0, 4, 12)), 0);
    ASSERT_EQ(low.put(make_record(0, 3, 20)), 0);
    ASSERT_EQ(mid.put(make_record(0, 2, 20)), 0);
    ASSERT_EQ(high.put(make_record(0, 1, 20)), 0);
    ASSERT_EQ(blocker.put(make_record(0, 5, 20)), 0);
    EXPECT_EQ(__all_ring_msg_num(), 4u);  // the blocker ring is not counted
    for (uint32_t pid = 1; pid <= 4; pid++) {
        EXPECT_EQ(take(0), (int64_t)pid);
        EXPECT_EQ(tt.tasks[0].handling_pid, pid);
        EXPECT_EQ(tt.tasks[0].handling_ring, 4 - pid);
        finish(0);
    }
    EXPECT_EQ(take(0), -1);
    EXPECT_EQ(__all_ring_msg_num(), 0u);
    EXPECT_EQ(kiv_stat_get(RCV_HIGH), rcv_high + 1);
    EXPECT_EQ(kiv_stat_get(RCV_UCTRL), rcv_uctrl + 1);
    EXPECT_EQ(blocker.ring->get_cnt, 0u);
}

TEST_F(RingSet, LowerRingRecordWaitsWhileAnotherTaskHandlesItsProcess) {
    int64_t cached = kiv_stat_get(CACHE_MSG);
    ASSERT_EQ(high.put(make_record(1, 100, 20)), 0);
    ASSERT_EQ(mid.put(make_record(2, 100, 24)), 0);
    ASSERT_EQ(low.put(make_record(2, 200, 20)), 0);
    EXPECT_EQ(take(0), 100);  // A handles the high record
    EXPECT_EQ(take(1), -1);   // B keeps its mid record back and reads nothing lower
    EXPECT_EQ(tt.tasks[1].bak_msg_len[RING_MID], 24);
    EXPECT_EQ(kiv_stat_get(CACHE_MSG), cached + 1);
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
    ASSERT_EQ(mid.put(make_record(1, 7, 20)), 0);
    ASSERT_EQ(mid.put(make_record(1, 7, 20)), 0);
    ASSERT_EQ(low.put(make_record(1, 7, 20)), 0);
    EXPECT_EQ(take(0), 7);
    EXPECT_EQ(take(1), 7);  // same ring as A's record: no wait
    finish(1);
    EXPECT_EQ(take(1), -1);  // low waits for A's mid record
    EXPECT_EQ(tt.tasks[1].bak_msg_len[RING_LOW], 20);
}

TEST_F(RingSet, PendingCountIsUnsignedPerRing) {
    high.ring->put_cnt = 5;
    high.ring->get_cnt = 7;  // wrapped difference
    low.ring->put_cnt = 3;
    EXPECT_EQ(__all_ring_msg_num(), (uint64_t)UINT32_MAX - 1 + 3);
    RING_NAME(high) = nullptr;
    EXPECT_EQ(__all_ring_msg_num(), 3u);
}

TEST_F(RingSet, SlotLengthWithoutSlotIsAnInternalError) {
    tt.tasks[0].bak_msg_len[RING_LOW] = 20;
    EXPECT_DEATH(take(0), "current->bak_msg\\[RING_LOW\\] != NULL");
}

TEST(Ring, ProducerAndConsumerThreadsKeepOrder) {
    test_ring t(4096);
    constexpr uint32_t kCount = 20000;
    std::thread producer([&] {
        for (uint32_t i = 1; i <= kCount;) {
            if (t.put(make_record(1, i, (uint16_t)(12 + i % 200))) == 0)
                i++;
            else
                std::this_thread::yield();
        }
    });
    std::vector<unsigned char> buf(KIV_MSG_MAX_LEN);
    uint32_t next = 1;
    while (next <= kCount) {
        int n = __read_from_ring(t.ring, buf.data(), (uint32_t)buf.size());
        if (n < 0) continue;
        ASSERT_EQ(kiv_msg_hdr_get(buf.data()).pid, next);
        ASSERT_EQ(n, (int)(12 + next % 200));
        next++;
    }
    producer.join();
    EXPECT_EQ(t.ring->bad_cnt, 0u);
    EXPECT_EQ(t.ring->get_cnt, kCount);
}

// The device backend maps a plain file laid out like the module's region.
class Device : public testing::Test {
  protected:
    std::string path = testing::TempDir() + "kiv_region_" + std::to_string(getpid());
    static inline int sleeps;
    static void count_sleep(unsigned ms) {
        EXPECT_EQ(ms, 100u);
        sleeps++;
    }
    void SetUp() override {
        sleeps = 0;
        kiv_set_open_dev_sleep(count_sleep);
    }
    void TearDown() override {
        kiv_close_dev();
        kiv_set_open_dev_sleep(nullptr);
        unlink(path.c_str());
    }
    void write_region(size_t bad_pad = SIZE_MAX) {
        std::vector<unsigned char> region(KIV_REGION_SIZE, 0);
        for (size_t off : {(size_t)0, KIV_OFF_MID - 4, KIV_OFF_HIGH - 4, KIV_OFF_BLOCKER - 4,
                           KIV_OFF_UCTRL - 4, KIV_OFF_END_PAD}) {
            uint32_t v = off == bad_pad ? 0xFEDCCDEE : RING_PAD_MAGIC;
            memcpy(&region[off], &v, 4);
        }
        FILE *f = fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        ASSERT_EQ(fwrite(region.data(), 1, region.size(), f), region.size());
        fclose(f);
    }
};

TEST_F(Device, OpenRetriesWhileTheNodeIsMissing) {
    EXPECT_EQ(kiv_open_dev(path.c_str()), -1);
    EXPECT_EQ(sleeps, 100);
    static std::string *late;
    late = &path;
    sleeps = 0;
    kiv_set_open_dev_sleep([](unsigned) {
        if (++sleeps == 3) close(open(late->c_str(), O_CREAT | O_RDWR, 0600));
    });
    EXPECT_EQ(kiv_open_dev(path.c_str()), 0);
    EXPECT_EQ(sleeps, 3);
}

TEST_F(Device, RingsSitBehindMatchingPadsOnly) {
    write_region();
    ASSERT_EQ(kiv_open_dev(path.c_str()), 0);
    ASSERT_EQ(kiv_share_ring_init(), 0);
    char *base = reinterpret_cast<char *>(RING_NAME(low)) - KIV_OFF_LOW;
    EXPECT_EQ(reinterpret_cast<char *>(RING_NAME(mid)), base + KIV_OFF_MID);
    EXPECT_EQ(reinterpret_cast<char *>(RING_NAME(high)), base + KIV_OFF_HIGH);
    EXPECT_EQ(reinterpret_cast<char *>(RING_NAME(blocker)), base + KIV_OFF_BLOCKER);
    EXPECT_EQ(reinterpret_cast<char *>(RING_NAME(uctrl)), base + KIV_OFF_UCTRL);
    kiv_close_dev();
    EXPECT_EQ(RING_NAME(high), nullptr);

    const char *high_pad = "RING_NAME(high) - sizeof(uint32_t))) == RING_PAD_MAGIC\" failed";
    const char *end_pad = "assert \"*((uint32_t *)(addr + off)) == RING_PAD_MAGIC\" failed";
    for (size_t bad : {KIV_OFF_HIGH - 4, KIV_OFF_END_PAD}) {
        write_region(bad);
        ASSERT_EQ(kiv_open_dev(path.c_str()), 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(kiv_share_ring_init(), -1);  // start-up fails, the host lives on
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(bad == KIV_OFF_END_PAD ? end_pad : high_pad), std::string::npos) << out;
        EXPECT_EQ(RING_NAME(low), nullptr);
        kiv_close_dev();
    }
}

TEST(Ring, StandInRegionIsReadThroughTheSharedLayout) {
    ASSERT_EQ(kernel_backend_start(KERNEL_MODE_EMULATED), 0);
    ASSERT_EQ(kiv_open_dev("/dev/qx_sensor"), 0);
    ASSERT_EQ(kiv_share_ring_init(), 0);
    EXPECT_EQ(RING_NAME(high)->size, KIV_HIGH_DATA);
    EXPECT_EQ(RING_NAME(low)->size, KIV_LOW_DATA);
    auto rec = make_record(1, 4242, 64);
    ASSERT_EQ(kemu_inject_raw(KEMU_RING_HIGH, rec.data(), 64), KEMU_OK);
    {
        test_tasks tt(1);
        alignas(8) char buf[KIV_MSG_MAX_LEN];
        uint32_t len = 0;
        char *m = __read_all_msg(buf, sizeof(buf), &len);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(len, 64u);
        EXPECT_EQ(memcmp(m, rec.data(), 64), 0);
    }
    kiv_close_dev();
    kernel_backend_stop();
}

}  // namespace
