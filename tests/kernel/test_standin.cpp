#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

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
    for (int i = 0; i < 8; i++) b[off + i] = (unsigned char)(v >> (8 * i));
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
    EXPECT_EQ(kernel_mmap(fd, KIV_REGION_SIZE + 1), nullptr);
    int def = kernel_open("/dev/qx_defense", O_RDWR);
    EXPECT_EQ(kernel_mmap(def, 4096), nullptr);  // the defense device has no rings
    kernel_close(def);
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
    EXPECT_EQ(inject(KEMU_RING_LOW, bad_magic), KEMU_BAD);
    EXPECT_EQ(inject(KEMU_RING_LOW, short_len), KEMU_BAD);
    EXPECT_EQ(inject(KEMU_RING_LOW, record(1, 1, 6145)), KEMU_BAD);
    EXPECT_EQ(inject(KEMU_RING_LOW, record(29, 1, 20)), KEMU_BAD);
    bytes r20 = record(1, 1, 20);
    EXPECT_EQ(kemu_inject(KEMU_RING_LOW, r20.data(), 16), KEMU_BAD);  // len differs from header
    EXPECT_EQ(kemu_inject(KEMU_RING_LOW, r20.data(), 8), KEMU_BAD);
    EXPECT_EQ(kemu_inject(KEMU_RING_LOW, nullptr, 20), KEMU_BAD);
    EXPECT_EQ(inject(4, r20), KEMU_BAD);
    EXPECT_EQ(inject(-1, r20), KEMU_BAD);

    ASSERT_EQ(kernel_ioctl(fd, KIV_IOCTL_SWITCH, 0), 0);
    EXPECT_EQ(kemu_delivery(), 0);
    EXPECT_EQ(inject(KEMU_RING_LOW, r20), KEMU_OFF);
    EXPECT_EQ(kemu_inject_raw(KEMU_RING_LOW, "junk", 4), KEMU_OK);  // raw ignores the switch
    struct kemu_ring_stats st;
    ASSERT_EQ(kemu_ring_stats(KEMU_RING_LOW, &st), 0);
    EXPECT_EQ(st.put_cnt, 3u);
    EXPECT_EQ(st.w, 12u + 6144 + 4);
    EXPECT_EQ(kemu_inject_raw(KEMU_RING_LOW, nullptr, 4), KEMU_BAD);
    EXPECT_EQ(kemu_inject_raw(KEMU_RING_LOW, nullptr, 0), KEMU_OK);  // nothing to write
    EXPECT_EQ(kemu_ring_stats(KEMU_RING_LOW, nullptr), KEMU_BAD);
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
    EXPECT_EQ(st.bad_cnt, 0u);
    EXPECT_EQ(st.put_cnt, 1u);
    EXPECT_EQ(st.w, 63u);
    // A consumer's bad_cnt survives the producer setting full_flag in the same word.
    u->bad_cnt = 5;
    u->full_flag = 0;
    EXPECT_EQ(kemu_inject_raw(KEMU_RING_UCTRL, "x", 1), KEMU_FULL);
    ASSERT_EQ(kemu_ring_stats(KEMU_RING_UCTRL, &st), 0);
    EXPECT_EQ(st.bad_cnt, 5u);
    EXPECT_EQ(st.full_flag, 1u);
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

TEST_F(StandIn, ControlRequestsAnswerAndRecordTheirPayload) {
    unsigned char buf[128];
    EXPECT_EQ(kemu_last_control(KIV_IOCTL_TASK_CONF, buf, sizeof buf), -1);
    ASSERT_EQ(kemu_last_control(KIV_IOCTL_SWITCH, buf, sizeof buf), 4);
    EXPECT_EQ(get32(buf), 1u);
    EXPECT_EQ(kemu_delivery(), 1);

    // Start: 44-byte head with list counts {1,0,2,0,0}, then three checksums.
    bytes conf(44 + 4 * 3 + 8, 0xEE);  // trailing slack must not be recorded
    put32(conf, 0, 6), put32(conf, 4, 1);
    for (int i = 0; i < 5; i++) put32(conf, 24 + 4 * i, i == 0 ? 1 : i == 2 ? 2 : 0);
    ASSERT_EQ(kernel_ioctl(fd, KIV_IOCTL_TASK_CONF, (unsigned long)conf.data()), 0);
    ASSERT_EQ(kemu_last_control(KIV_IOCTL_TASK_CONF, buf, sizeof buf), 56);
    EXPECT_EQ(memcmp(buf, conf.data(), 56), 0);
    uint32_t stop = 4;
    ASSERT_EQ(kernel_ioctl(fd, KIV_IOCTL_TASK_CONF, (unsigned long)&stop), 0);
    EXPECT_EQ(kemu_last_control(KIV_IOCTL_TASK_CONF, buf, 2), 4);  // copy bounded by size

    bytes filter(6 + 5);
    put32(filter, 0, 5);
    ASSERT_EQ(kernel_ioctl(fd, KIV_IOCTL_FILE_FILTER, (unsigned long)filter.data()), 0);
    EXPECT_EQ(kemu_last_control(KIV_IOCTL_FILE_FILTER, nullptr, 0), 11);
    put32(filter, 0, 102401);  // over the list limit: refused, previous payload kept
    EXPECT_EQ(kernel_ioctl(fd, KIV_IOCTL_FILE_FILTER, (unsigned long)filter.data()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(kemu_last_control(KIV_IOCTL_FILE_FILTER, nullptr, 0), 11);

    // Each block's own length field sizes its payload.
    bytes net(62), suffix(8 + 4 + 1 + 3), mon(40);
    put32(net, 0, 62), put32(suffix, 4, 4);
    for (auto [req, block, len] : {std::tuple{KIV_IOCTL_NET_CONF, &net, 62},
                                   {KIV_IOCTL_FILE_SUFFIX_GRP, &suffix, 13},
                                   {KIV_IOCTL_FILE_MON, &mon, 32}}) {
        EXPECT_EQ(kernel_ioctl(fd, req, (unsigned long)block->data()), 0);
        EXPECT_EQ(kemu_last_control(req, nullptr, 0), len) << std::hex << req;
    }
    EXPECT_EQ(kernel_ioctl(fd, KIV_IOCTL_NET_CONF, 0), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(kernel_ioctl(fd, 0x7399, 0), -1);
    EXPECT_EQ(errno, ENOTTY);

    // Reference count: users other than the asker.
    EXPECT_EQ(kernel_ioctl(fd, KIV_IOCTL_REFCNT, 0), 0);
    int second = kernel_open("/dev/qx_sensor", O_RDWR);
    EXPECT_EQ(kernel_ioctl(fd, KIV_IOCTL_REFCNT, 0), 1);
    kernel_close(second);
    EXPECT_EQ(kemu_last_control(KIV_IOCTL_REFCNT, nullptr, 0), 0);

    // Defense requests only on the defense device.
    int def = kernel_open("/dev/qx_defense", O_RDWR);
    ASSERT_GE(def, 0);
    EXPECT_EQ(kernel_ioctl(fd, KIV_IOCTL_DEF_DISABLE, 0), -1);
    EXPECT_EQ(kernel_ioctl(def, KIV_IOCTL_SWITCH, 0), -1);
    EXPECT_EQ(kernel_ioctl(def, KIV_IOCTL_DEF_DISABLE, 0), 0);
    EXPECT_EQ(kemu_last_control(KIV_IOCTL_DEF_DISABLE, buf, sizeof buf), 8);
    bytes dbg(16);
    put64(dbg, 8, 3);
    EXPECT_EQ(kernel_ioctl(def, KIV_IOCTL_DEF_DBG_MODE, (unsigned long)dbg.data()), 0);
    ASSERT_EQ(kemu_last_control(KIV_IOCTL_DEF_DBG_MODE, buf, sizeof buf), 16);
    EXPECT_EQ(buf[8], 3);
    kernel_close(def);
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
    query_block newest(0, 300, 0, 1, KEMU_PROC_SLOT);
    ASSERT_EQ(ask(newest), 0);
    EXPECT_EQ(get32(&newest.b[24]), 30u);  // create_time 0: newest of that pid
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
    query_block small(1, 300, 30, 16, 2 * KEMU_PROC_SLOT);  // the data area bounds the answer
    ASSERT_EQ(ask(small), 0);
    EXPECT_EQ(small.num(), 2u);

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

    // Liveness: dead entries come back packed at the front.
    query_block live(3, 0, 0, 3, 3 * 16);
    const std::pair<uint32_t, uint64_t> ask_about[] = {{300, 30}, {200, 20}, {999, 1}};
    for (int i = 0; i < 3; i++)
        put64(live.b, 24 + i * 16, ask_about[i].second),
            put32(live.b, 32 + i * 16, ask_about[i].first);
    ASSERT_EQ(ask(live), 0);
    ASSERT_EQ(live.num(), 2u);
    EXPECT_EQ(live.obj_pid(0), 200u);
    EXPECT_EQ(live.obj_pid(1), 999u);

    EXPECT_EQ(kemu_drop_process(300, 30), 0);
    EXPECT_EQ(kemu_drop_process(300, 30), -1);
    query_block bad_type(7, 0, 0, 0, 0);
    EXPECT_EQ(ask(bad_type), -1);
}

TEST_F(StandIn, ProcessTableRefusesMalformedRecordsAndSurvivesCycles) {
    bytes ok = raw_proc(50, 1, 51, 2);
    EXPECT_EQ(kemu_set_process(ok.data(), 76), -1);                       // below fixed + flex head
    EXPECT_EQ(kemu_set_process(ok.data(), (uint32_t)ok.size() - 8), -1);  // strings past the end
    EXPECT_EQ(kemu_set_process(ok.data(), KEMU_PROC_SLOT + 1), -1);
    EXPECT_EQ(kemu_set_process(nullptr, 100), -1);
    bytes long_user = ok;
    long_user[70] = 0x10, long_user[71] = 0x02;  // user_name length 33: bits 4-9 of the u16 at 2
    EXPECT_EQ(kemu_set_process(long_user.data(), (uint32_t)long_user.size()), -1);
    bytes no_pid = raw_proc(0, 1, 1, 1);
    EXPECT_EQ(kemu_set_process(no_pid.data(), (uint32_t)no_pid.size()), -1);
    EXPECT_EQ(kemu_lose_exit(0, 1), -1);

    // 50 and 51 name each other as parent: the slot count ends the walk.
    bytes other = raw_proc(51, 2, 50, 1);
    ASSERT_EQ(kemu_set_process(ok.data(), (uint32_t)ok.size()), 0);
    ASSERT_EQ(kemu_set_process(other.data(), (uint32_t)other.size()), 0);
    query_block tree(1, 50, 1, 5, 5 * KEMU_PROC_SLOT);
    ASSERT_EQ(kernel_ioctl(fd, KIV_IOCTL_TASK_QUERY, (unsigned long)tree.b.data()), 0);
    EXPECT_EQ(tree.num(), 5u);
    EXPECT_EQ(tree.slot_pid(4), 50u);
}

TEST(StandInLife, StartStopRestartLeavesNothingBehind) {
    char path[256];
    ASSERT_EQ(kernel_backend_mode(), KERNEL_MODE_MODULE);
    EXPECT_STREQ(kernel_sys_path("refcnt", path, sizeof path), "/sys/module/qxkiv/refcnt");
    EXPECT_EQ(kemu_inject(0, nullptr, 0), KEMU_INACTIVE);
    EXPECT_EQ(kemu_last_control(KIV_IOCTL_SWITCH, nullptr, 0), KEMU_INACTIVE);
    EXPECT_EQ(kemu_lose_exit(1, 1), KEMU_INACTIVE);
    struct kemu_ring_stats st;
    EXPECT_EQ(kemu_ring_stats(KEMU_RING_HIGH, &st), KEMU_INACTIVE);

    std::string first_root;
    for (int round = 0; round < 2; round++) {
        ASSERT_EQ(kernel_backend_start(KERNEL_MODE_USERSPACE), 0);
        EXPECT_EQ(kernel_backend_start(KERNEL_MODE_EMULATED), -1);
        EXPECT_EQ(kernel_backend_start(KERNEL_MODE_MODULE), -1);
        EXPECT_EQ(kernel_backend_mode(), KERNEL_MODE_USERSPACE);
        std::string root;
        ASSERT_TRUE(standin_root(root));
        EXPECT_NE(root, first_root);
        first_root = root;
        struct stat sb;
        ASSERT_EQ(stat(root.c_str(), &sb), 0);
        EXPECT_EQ(sb.st_mode & 0777, 0700u);
        ASSERT_STREQ(kernel_sys_path("version", path, sizeof path),
                     (root + "/sys/module/qxkiv/version").c_str());
        std::string version;
        std::getline(std::ifstream(path), version);
        EXPECT_EQ(version, "1.1.0_20240529130429");  // so module management reuses it
        for (const char *rel : {"", "log", "logall", "kstat", "ringstat"})
            EXPECT_EQ(access(kernel_proc_path(rel, path, sizeof path), R_OK), 0) << rel;
        EXPECT_EQ(access(kernel_sys_path("parameters/qxkiv_status", path, sizeof path), W_OK), 0);
        EXPECT_EQ(kernel_proc_path("log", path, 8), nullptr);  // does not fit
        EXPECT_EQ(kemu_delivery(), 0);                         // every start is quiet and empty
        ASSERT_EQ(kemu_ring_stats(KEMU_RING_HIGH, &st), 0);
        EXPECT_EQ(st.put_cnt + st.w + st.full_cnt, 0u);
        EXPECT_EQ(kemu_last_control(KIV_IOCTL_SWITCH, nullptr, 0), -1);
        int fd = kernel_open("/dev/qx_sensor", O_RDWR);
        ASSERT_EQ(kernel_ioctl(fd, KIV_IOCTL_SWITCH, 1), 0);
        ASSERT_EQ(kemu_inject_raw(KEMU_RING_HIGH, "abc", 3), 0);
        EXPECT_EQ(kernel_load_module("", 0, ""), 0);
        EXPECT_EQ(kernel_delete_module("qxkiv", O_NONBLOCK), 0);
        kernel_backend_stop();  // also closes the handle left open
        EXPECT_EQ(fcntl(fd, F_GETFD), -1);
        EXPECT_NE(access(root.c_str(), F_OK), 0);
        EXPECT_EQ(kernel_backend_mode(), KERNEL_MODE_MODULE);
        EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);
    }
    kernel_backend_stop();  // idempotent
}

// Several producers against one draining reader on the smallest ring: constant wrap-around
// and refusals. Run under ThreadSanitizer too.
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
