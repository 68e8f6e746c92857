#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/mem.h"
#include "framework/ring.h"
#include "kernel/kernel_if.h"
#include "kernel/standin/proc_table.h"
#include "kernel/standin/standin.h"
#include "qxkiv/kemu.h"

namespace {

using bytes = std::vector<unsigned char>;

void put32(bytes &b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; i++) b[off + i] = (unsigned char)(v >> (8 * i));
}
void put64(bytes &b, size_t off, uint64_t v) {
    put32(b, off, (uint32_t)v), put32(b, off + 4, v >> 32);
}
uint32_t get32(const unsigned char *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

// Record of len bytes: header by hand, body a pattern seeded by seq.
bytes record(uint16_t type, uint32_t pid, uint32_t len, uint8_t seq = 0) {
    bytes b(len);
    put32(b, 0, 0xFEDCCDEF);
    b[4] = len & 0xff, b[5] = len >> 8, b[6] = type & 0xff, b[7] = type >> 8;
    put32(b, 8, pid);
    for (uint32_t i = 12; i < len; i++) b[i] = (uint8_t)(seq + i);
    return b;
}

int inject(int ring, const bytes &b) {
    return kemu_inject(ring, b.data(), (uint32_t)b.size());
}

// Minimal consumer: one record out, r published with release after the bytes are copied.
bool take(kiv_ring *ring, bytes &out) {
    uint32_t w = __atomic_load_n(&ring->w, __ATOMIC_ACQUIRE), r = ring->r, size = ring->size;
    if (r == w) return false;
    auto at = [&](uint32_t k) { return ring->data[(r + k) % size]; };
    uint32_t len = at(4) | at(5) << 8;
    out.resize(len);
    for (uint32_t k = 0; k < len; k++) out[k] = at(k);
    __atomic_store_n(&ring->get_cnt, ring->get_cnt + 1, __ATOMIC_RELAXED);
    __atomic_store_n(&ring->r, (r + len) % size, __ATOMIC_RELEASE);
    return true;
}

class StandIn : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(kernel_backend_start(KERNEL_MODE_EMULATED), 0);
        fd = kernel_open("/dev/qx_sensor", O_RDWR);
        ASSERT_GE(fd, 0);
        region = static_cast<unsigned char *>(kernel_mmap(fd, KIV_REGION_SIZE));
        ASSERT_NE(region, nullptr);
        ASSERT_EQ(kernel_ioctl(fd, KIV_IOCTL_SWITCH, 1), 0);
    }
    void TearDown() override {
        kernel_munmap(region, KIV_REGION_SIZE);
        kernel_close(fd);
        kernel_backend_stop();
    }
    int fd = -1;
    unsigned char *region = nullptr;
};

TEST_F(StandIn, RegionIsLaidOutByteForByte) {
    EXPECT_EQ(region, standin_region());
    for (size_t pad : {0x0ul, 0x08002Cul, 0x0C0058ul, 0x100084ul, 0x1000F0ul, 0x10015Cul}) {
        const unsigned char want[4] = {0xEF, 0xCD, 0xDC, 0xFE};
        EXPECT_EQ(memcmp(region + pad, want, 4), 0) << std::hex << pad;
    }
    const std::pair<size_t, uint32_t> hdrs[] = {
        {0x000004, 524288}, {0x080030, 262144}, {0x0C005C, 262144}, {0x100088, 64}, {0x1000F4, 64}};
    for (auto [off, size] : hdrs) {
        for (int word = 0; word < 10; word++)
            EXPECT_EQ(get32(region + off + 4 * word), word == 4 ? size : 0u) << off << " " << word;
    }
}

TEST_F(StandIn, HandAssembledRecordLandsVerbatim) {
    // exec record, len 20, pid 12345; bytes 12..15 unused, body "abcd".
    const unsigned char rec[20] = {0xEF, 0xCD, 0xDC, 0xFE, 0x14, 0x00, 0x01, 0x00, 0x39, 0x30,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 'a',  'b',  'c',  'd'};
    ASSERT_EQ(kemu_inject(KEMU_RING_HIGH, rec, sizeof rec), KEMU_OK);
    const unsigned char *hdr = region + 0x0C005C;
    EXPECT_EQ(memcmp(hdr + 40, rec, sizeof rec), 0);
    EXPECT_EQ(get32(hdr + 4), 20u);  // w
    EXPECT_EQ(get32(hdr + 8), 1u);   // put_cnt
    EXPECT_EQ(get32(hdr + 24), 0u);  // full_cnt
}

TEST_F(StandIn, InjectRejectsInvalidHeadersAndHonoursTheSwitch) {
    EXPECT_EQ(inject(KEMU_RING_LOW, record(0, 1, 12)), KEMU_OK);     // smallest
    EXPECT_EQ(inject(KEMU_RING_LOW, record(28, 1, 6144)), KEMU_OK);  // largest, last type
    bytes bad_magic = record(1, 1, 20);
    bad_magic[0] ^= 1;
    bytes short_len = record(1, 1, 12);
    short_len[4] = 11;
    bytes r20 = record(1, 1, 20);
    for (const bytes &b : {bad_magic, short_len, record(1, 1, 6145), record(29, 1, 20)})
        EXPECT_EQ(inject(KEMU_RING_LOW, b), KEMU_BAD);
    EXPECT_EQ(kemu_inject(KEMU_RING_LOW, r20.data(), 16), KEMU_BAD);  // len differs from header
    EXPECT_EQ(kemu_inject(KEMU_RING_LOW, nullptr, 20), KEMU_BAD);
    EXPECT_EQ(inject(4, r20), KEMU_BAD);

    ASSERT_EQ(kernel_ioctl(fd, KIV_IOCTL_SWITCH, 0), 0);
    EXPECT_EQ(kemu_delivery(), 0);
    EXPECT_EQ(inject(KEMU_RING_LOW, r20), KEMU_OFF);
    EXPECT_EQ(kemu_inject_raw(KEMU_RING_LOW, "junk", 4), KEMU_OK);  // raw ignores the switch
    struct kemu_ring_stats st;
    ASSERT_EQ(kemu_ring_stats(KEMU_RING_LOW, &st), 0);
    EXPECT_EQ(st.put_cnt, 3u);
    EXPECT_EQ(st.w, 12u + 6144 + 4);
    EXPECT_EQ(kemu_inject_raw(KEMU_RING_LOW, nullptr, 4), KEMU_BAD);
}

TEST_F(StandIn, FullRingRefusesAndCounts) {
    kiv_ring *u = standin_ring(KEMU_RING_UCTRL);  // 64-byte data area: 63 usable
    bytes filler(63, 0xAB);
    ASSERT_EQ(kemu_inject_raw(KEMU_RING_UCTRL, filler.data(), 63), KEMU_OK);
    EXPECT_EQ(u->w, 63u);
    EXPECT_EQ(inject(KEMU_RING_UCTRL, record(1, 7, 12)), KEMU_FULL);
    EXPECT_EQ(kemu_inject_raw(KEMU_RING_UCTRL, "x", 1), KEMU_FULL);
    struct kemu_ring_stats st;
    ASSERT_EQ(kemu_ring_stats(KEMU_RING_UCTRL, &st), 0);
    EXPECT_EQ(st.full_cnt, 2u);
    EXPECT_EQ(st.full_flag, 1u);
    EXPECT_EQ(st.put_cnt, 1u);
    // A consumer that corrupted r makes the producer refuse instead of writing wild.
    u->r = 64;
    EXPECT_EQ(kemu_inject_raw(KEMU_RING_UCTRL, "x", 1), KEMU_FULL);
}

TEST_F(StandIn, RecordsWrapAcrossTheDataEnd) {
    kiv_ring *u = standin_ring(KEMU_RING_UCTRL);
    bytes got;
    ASSERT_EQ(inject(KEMU_RING_UCTRL, record(2, 1, 40, 1)), 0);
    ASSERT_TRUE(take(u, got));
    bytes straddling = record(2, 2, 40, 2);  // 24 bytes at the end, 16 at the start
    ASSERT_EQ(inject(KEMU_RING_UCTRL, straddling), 0);
    EXPECT_EQ(u->w, 16u);
    EXPECT_EQ(memcmp(u->data + 40, straddling.data(), 24), 0);
    EXPECT_EQ(memcmp(u->data, straddling.data() + 24, 16), 0);
    ASSERT_TRUE(take(u, got));
    EXPECT_EQ(got, straddling);
    // A record that ends exactly at the data end leaves w at 0, not at size.
    ASSERT_EQ(inject(KEMU_RING_UCTRL, record(2, 3, 48, 3)), 0);
    EXPECT_EQ(u->w, 0u);
    ASSERT_TRUE(take(u, got));
    EXPECT_EQ(got, record(2, 3, 48, 3));
}

// raw_process_info with cmd_line "cmd<pid>" and path "/bin/x"; 80 + strings bytes.
bytes raw_proc(uint32_t pid, uint64_t ct, uint32_t ppid, uint64_t pct) {
    std::string cmd = "cmd" + std::to_string(pid), path = "/bin/x";
    bytes b(80 + cmd.size() + path.size());
    put64(b, 0, ct), put64(b, 8, pct), put32(b, 16, pid), put32(b, 20, ppid);
    b[68] = (unsigned char)cmd.size();   // cmd_line: bits 0-9 of the u16 at 0
    b[72] = (unsigned char)path.size();  // path: bits 0-9 of the u16 at 4
    memcpy(&b[77], cmd.data(), cmd.size());
    memcpy(&b[77 + cmd.size()], path.data(), path.size());
    return b;
}

struct query_block {
    bytes b;
    query_block(uint32_t type, uint32_t pid, uint64_t ct, uint32_t num, uint32_t data)
        : b(24 + data) {
        put64(b, 0, ct), put32(b, 8, type), put32(b, 12, pid), put32(b, 16, num),
            put32(b, 20, data);
    }
    uint32_t num() const { return get32(&b[16]); }
    uint32_t slot_pid(int i) const { return get32(&b[24 + i * KEMU_PROC_SLOT + 16]); }
    uint32_t obj_pid(int i) const { return get32(&b[24 + i * 16 + 8]); }
};

TEST_F(StandIn, ProcessQueriesFollowTheTable) {
    for (auto &p : {raw_proc(100, 10, 0, 0), raw_proc(200, 20, 100, 10), raw_proc(300, 30, 200, 20),
                    raw_proc(300, 5, 1, 1)})
        ASSERT_EQ(kemu_set_process(p.data(), (uint32_t)p.size()), 0);
    auto ask = [&](query_block &q) {
        return kernel_ioctl(fd, KIV_IOCTL_TASK_QUERY, (unsigned long)q.b.data());
    };

    query_block one(0, 300, 30, 1, KEMU_PROC_SLOT);
    ASSERT_EQ(ask(one), 0);
    bytes want = raw_proc(300, 30, 200, 20);
    EXPECT_EQ(memcmp(&one.b[24], want.data(), want.size()), 0);
    EXPECT_EQ(one.b.back(), 0);  // rest of the slot zeroed
    query_block missing(0, 300, 31, 1, KEMU_PROC_SLOT);
    EXPECT_EQ(ask(missing), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(kemu_last_control(KIV_IOCTL_TASK_QUERY, nullptr, 0), (int)(24 + KEMU_PROC_SLOT));

    query_block tree(1, 300, 30, 16, 16 * KEMU_PROC_SLOT);
    ASSERT_EQ(ask(tree), 0);
    ASSERT_EQ(tree.num(), 3u);
    EXPECT_EQ(tree.slot_pid(0), 300u);
    EXPECT_EQ(tree.slot_pid(1), 200u);
    EXPECT_EQ(tree.slot_pid(2), 100u);
    // A lost exit: gone from the table, queued once, counted as a high-ring loss.
    ASSERT_EQ(kemu_lose_exit(200, 20), 0);
    struct kemu_ring_stats st;
    ASSERT_EQ(kemu_ring_stats(KEMU_RING_HIGH, &st), 0);
    EXPECT_EQ(st.full_cnt, 1u);
    EXPECT_EQ(st.full_flag, 1u);
    query_block lost(2, 0, 0, 128, 128 * 16);
    ASSERT_EQ(ask(lost), 0);
    ASSERT_EQ(lost.num(), 1u);
    EXPECT_EQ(lost.obj_pid(0), 200u);
    EXPECT_EQ(get32(&lost.b[24]), 20u);
    ASSERT_EQ(ask(lost), 0);
    EXPECT_EQ(lost.num(), 0u);
    ASSERT_EQ(ask(tree), 0);
    EXPECT_EQ(tree.num(), 1u);  // ancestry stops at the missing parent
}

// The collector runs right after the write offset is published, before the record is
// counted: garbage ahead of the record is discarded and the record read, and put_cnt must not
// already count it, or the resynchronisation's get_cnt = put_cnt leaves get_cnt one ahead for
// good and the pending count wraps to 4294967295.
int s_probe_reads;
void read_all_now(kiv_ring *ring) {
    unsigned char buf[KIV_MSG_MAX_LEN];
    for (int i = 0; i < 4; i++) s_probe_reads += __read_from_ring(ring, buf, sizeof buf) > 0;
}

TEST_F(StandIn, RecordIsCountedOnlyOnceVisible) {
    const unsigned char junk[3] = {1, 2, 3};
    ASSERT_EQ(kemu_inject_raw(KEMU_RING_UCTRL, junk, sizeof junk), 0);
    s_probe_reads = 0;
    standin_set_publish_probe(read_all_now);
    int rc = inject(KEMU_RING_UCTRL, record(4, 77, 24));
    standin_set_publish_probe(nullptr);
    ASSERT_EQ(rc, KEMU_OK);
    kiv_ring *u = standin_ring(KEMU_RING_UCTRL);
    unsigned char buf[KIV_MSG_MAX_LEN];
    int reads = s_probe_reads;
    while (__kiv_ring_data_len(u) != 0) reads += __read_from_ring(u, buf, sizeof buf) > 0;
    EXPECT_EQ(reads, 1);
    struct kemu_ring_stats st;
    ASSERT_EQ(kemu_ring_stats(KEMU_RING_UCTRL, &st), 0);
    EXPECT_EQ(st.put_cnt, 2u);
    EXPECT_LE(st.put_cnt - st.get_cnt, st.put_cnt);
}

// A killed run leaves its root behind; a later start removes it only when its process is gone
// and its lock is free, and never follows a link or touches what is not plainly its own.
TEST_F(StandIn, StaleRootsOfKilledRunsAreRemoved) {
    std::string root;
    ASSERT_TRUE(standin_root(root));
    std::string mine = "/tmp/qxkiv-standin-" + std::to_string(getpid()) + "-";
    EXPECT_EQ(root.compare(0, mine.size(), mine), 0) << root;
    int probe = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_NE(flock(probe, LOCK_EX | LOCK_NB), 0);  // the live instance holds it
    close(probe);

    char tmpl[] = "/tmp/kivstale.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    long pid_max = 0;
    FILE *f = fopen("/proc/sys/kernel/pid_max", "r");
    ASSERT_TRUE(f && fscanf(f, "%ld", &pid_max) == 1);
    fclose(f);
    const std::string dead = "qxkiv-standin-" + std::to_string(pid_max) + "-";  // no such pid
    const std::string live = "qxkiv-standin-" + std::to_string(getpid()) + "-";
    mkdir((dir + "/target").c_str(), 0700);
    const struct {
        std::string name;
        enum { kDir, kLocked, kOpen, kLink, kFile } kind;
        bool removed;
    } rows[] = {
        {dead + "aaaaaa", rows->kDir, true},          // the leftover
        {dead + "bbbbbb", rows->kLocked, false},      // process in another pid namespace
        {live + "cccccc", rows->kDir, false},         // process alive, lock not yet taken
        {"qxkiv-standin-dddddd", rows->kDir, false},  // no pid in the name
        {dead + "eeeeee", rows->kOpen, false},        // others could change what is inside
        {dead + "ffffff", rows->kLink, false},       {dead + "gggggg", rows->kFile, false},
    };
    std::vector<int> locks;
    for (const auto &row : rows) {
        std::string path = dir + "/" + row.name;
        if (row.kind == row.kLink) {
            ASSERT_EQ(symlink((dir + "/target").c_str(), path.c_str()), 0);
        } else if (row.kind == row.kFile) {
            close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
        } else {
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
            mkdir((path + "/proc").c_str(), 0700);
            close(open((path + "/proc/log").c_str(), O_CREAT | O_WRONLY, 0600));
            if (row.kind == row.kOpen) chmod(path.c_str(), 0777);
            if (row.kind == row.kLocked) {
                locks.push_back(open(path.c_str(), O_RDONLY | O_DIRECTORY));
                ASSERT_EQ(flock(locks.back(), LOCK_EX | LOCK_NB), 0);
            }
        }
    }
    EXPECT_EQ(standin_clean_stale(dir.c_str()), 1);
    for (const auto &row : rows)
        EXPECT_EQ(access((dir + "/" + row.name).c_str(), F_OK) != 0, row.removed) << row.name;
    EXPECT_EQ(access((dir + "/target").c_str(), F_OK), 0);
    EXPECT_EQ(access(root.c_str(), F_OK), 0);
    for (int fd : locks) close(fd);
    EXPECT_EQ(standin_clean_stale(dir.c_str()), 1);  // the lock is free now
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);

    kernel_munmap(region, KIV_REGION_SIZE), kernel_close(fd), kernel_backend_stop();
    EXPECT_NE(access(root.c_str(), F_OK), 0);  // a clean stop leaves nothing
    SetUp();
}

// A source thread waits out a full ring: a record that gets in after a wait is no refusal;
// each one given up counts once. A stop ends a wait at once.
TEST_F(StandIn, ProducerWaitsOutAFullRingOnce) {
    kiv_ring *u = standin_ring(KEMU_RING_UCTRL);
    bytes filler(63, 0xAB), rec = record(1, 7, 12);
    const int64_t gave_up = kiv_stat_get(LIVE_RING_GIVE_UP);
    ASSERT_EQ(kemu_inject_raw(KEMU_RING_UCTRL, filler.data(), 63), KEMU_OK);
    auto full_cnt = [] {
        struct kemu_ring_stats st;
        return kemu_ring_stats(KEMU_RING_UCTRL, &st) == 0 ? st.full_cnt : ~0u;
    };
    auto put = [&](standin_producer &p) {
        return p.put(KEMU_RING_UCTRL, rec.data(), (uint32_t)rec.size());
    };
    standin_producer p(10000);
    std::thread drain([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        __atomic_store_n(&u->r, 63u, __ATOMIC_RELEASE);  // the filler consumed
    });
    EXPECT_EQ(put(p), KEMU_OK);
    drain.join();
    EXPECT_EQ(full_cnt(), 0u);

    // Filled again, nobody draining: each record given up is a refusal.
    ASSERT_EQ(kemu_inject_raw(KEMU_RING_UCTRL, filler.data(), 51), KEMU_OK);
    standin_producer brief(300);
    EXPECT_EQ(put(brief), KEMU_FULL);
    EXPECT_EQ(put(brief), KEMU_FULL);
    EXPECT_EQ(full_cnt(), 2u);
    // Room again: in at once.
    __atomic_store_n(&u->r, u->w, __ATOMIC_RELEASE);
    EXPECT_EQ(put(brief), KEMU_OK);

    std::atomic<bool> stop{true};
    standin_producer stopping(10000);
    stopping.stop_on(&stop);
    ASSERT_EQ(kemu_inject_raw(KEMU_RING_UCTRL, filler.data(), 51), KEMU_OK);
    EXPECT_EQ(put(stopping), KEMU_FULL);
    EXPECT_EQ(full_cnt(), 3u);
    // Each record given up is in the sensor's own counters too.
    EXPECT_EQ(kiv_stat_get(LIVE_RING_GIVE_UP) - gave_up, 3);
}

TEST_F(StandIn, ConcurrentInjectorsAndReaderAgree) {
    constexpr int kThreads = 4, kPerThread = 2000;
    kiv_ring *u = standin_ring(KEMU_RING_UCTRL);
    std::atomic<int> done{0};
    std::atomic<uint32_t> refused{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; t++) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; i++) {
                // pid carries producer and sequence; the length varies so the wrap point moves.
                bytes rec =
                    record(4, (uint32_t)(t << 16 | i), 12 + (i % 13), (uint8_t)(t * 31 + i));
                while (inject(KEMU_RING_UCTRL, rec) == KEMU_FULL) {
                    refused++;
                    std::this_thread::yield();
                }
            }
            done++;
        });
    }
    int next[kThreads] = {};
    int seen = 0, corrupt = 0, disorder = 0;
    bytes got;
    while (seen < kThreads * kPerThread) {
        if (!take(u, got)) {
            if (done == kThreads && __atomic_load_n(&u->w, __ATOMIC_ACQUIRE) == u->r) break;
            std::this_thread::yield();
            continue;
        }
        uint32_t pid = get32(&got[8]);
        int t = pid >> 16, i = pid & 0xffff;
        if (t >= kThreads || got != record(4, pid, 12 + (i % 13), (uint8_t)(t * 31 + i)))
            corrupt++;
        else if (i != next[t]++)
            disorder++;
        seen++;
    }
    for (auto &p : producers) p.join();
    EXPECT_EQ(seen, kThreads * kPerThread);
    EXPECT_EQ(corrupt, 0);
    EXPECT_EQ(disorder, 0);
    struct kemu_ring_stats st;
    ASSERT_EQ(kemu_ring_stats(KEMU_RING_UCTRL, &st), 0);
    EXPECT_EQ(st.put_cnt, (uint32_t)(kThreads * kPerThread));
    EXPECT_EQ(st.get_cnt, st.put_cnt);
    EXPECT_EQ(st.full_cnt, refused.load());
}

}  // namespace
