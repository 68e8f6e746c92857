// Block reports end to end: records assembled by hand from the layout tables, injected into
// the stand-in's ring, decoded, enriched and uploaded; the daily limit with its reset by the
// five-minute timer across midnight (clock and wall time driven); bad records; the private
// module log that formatting failures go to.
#include <gtest/gtest.h>
#include <grp.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "block_bytes.h"
#include "block_logger/block_logger.h"
#include "comm/pthread_guard.h"
#include "comm/timer.h"
#include "e2e_host.h"
#include "framework/hook.h"
#include "log/autolog_internal.h"
#include "log/ulog.h"
#include "proc_bytes.h"
#include "qxkiv/autolog.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"
#include "staged_tree.h"
#include "test_io.h"
#include "startup/startup.h"
#include "task/task.h"

namespace {

using namespace block_bytes;

// ---- pieces without the framework ------------------------------------------------------------

// Every length and text is held to the record's end.
TEST(BlockRecord, TextsHeldToTheRecordEnd) {
    struct bad_case {
        const char *what;
        uint16_t type;
        int delta[3];
        bool unterminated, full_name;
        int cut;  // bytes removed from the end (length fixed up)
        bool ok;
    };
    const bad_case cases[] = {
        {"file exact", 24, {0, 0, 0}, false, false, 0, true},
        {"text 3 one past", 24, {0, 0, 1}, false, false, 0, false},
        {"text 1 takes in text 2", 24, {12, -12, 0}, false, false, 0, true},
        {"sum past end", 24, {0, 0x7fff, 0x7fff}, false, false, 0, false},
        {"lengths wrap 16 bits", 24, {0xfff2, 0, 0}, false, false, 0, false},
        {"text 1 no NUL", 24, {0, 0, 0}, true, false, 0, false},
        {"name fills its field", 24, {0, 0, 0}, false, true, 0, false},
        {"cut into fixed part", 24, {0, 0, 0}, false, false, 40, false},
        {"proc exact", 25, {0, 0, 0}, false, false, 0, true},
        {"proc text past end", 25, {0, 0, 1}, false, false, 0, false},
        {"proc cut", 25, {0, 0, 0}, false, false, 30, false},
        {"net exact", 26, {0, 0, 0}, false, false, 0, true},
        {"net path past end", 26, {1, 0, 0}, false, false, 0, false},
    };
    // The fuzz target's seeds are the exact records: KIV_FUZZ_SEED_DIR=fuzz/corpus/block_report.
    const char *seeds = getenv("KIV_FUZZ_SEED_DIR");
    block_report r;
    for (const bad_case &c : cases) {
        SCOPED_TRACE(c.what);
        block_rec x;
        x.type = c.type;
        x.text[1] = "/etc/shadow", x.text[2] = "/tmp/x";
        for (int i = 0; i < 3; i++) x.len_delta[i] = c.delta[i];
        x.unterminated = c.unterminated, x.full_name = c.full_name;
        bytes m = build(x);
        if (c.cut) {
            size_t texts = m.size() - (c.type == 24 ? 202 : c.type == 25 ? 354 : 230);
            m.resize(m.size() - texts - c.cut);
            m[4] = (unsigned char)m.size(), m[5] = (unsigned char)(m.size() >> 8);
        }
        // The record sits in a buffer of exactly its length: ASan sees any read past it.
        std::vector<char> exact(m.begin(), m.end());
        EXPECT_EQ(block_report_decode(exact.data(), (uint32_t)exact.size(), &r) == 0, c.ok);
        if (seeds && strstr(c.what, "exact"))
            std::ofstream(std::string(seeds) + "/type" + std::to_string(c.type) + ".bin")
                .write(exact.data(), (std::streamsize)exact.size());
    }
}

TEST(BlockRecord, PermissionText) {
    struct {
        mode_t mode;
        const char *text;
    } perms[] = {
        // Every special bit with and without the execute bit under it.
        {07777, "rwsrwsrwt"},
        {07000, "--S--S--T"},
    };
    for (auto &p : perms) {
        char out[12] = "junk";
        get_file_permission(p.mode, out, sizeof out);
        EXPECT_STREQ(out, p.text) << std::oct << p.mode;
    }
    char small[9] = "junk";
    get_file_permission(0755, small, sizeof small);  // refused, not overrun
    EXPECT_STREQ(small, "");
}

// ---- end to end ----------------------------------------------------------------------------

std::vector<std::string> reports() {
    return docs(UPLOAD_SELF_PROTECT_BLOCK);
}
size_t count() {
    return reports().size();
}

// Local 2024-05-29 23:41:00 when the test's clock starts.
time_t s_wall_base;
uint64_t s_ms_base;
time_t wall() {
    return s_wall_base + (time_t)((s_now_ms.load() - s_ms_base) / 1000);
}
time_t local_time(int year, int mon, int day, int h, int m, int s) {
    tm t{};
    t.tm_year = year - 1900, t.tm_mon = mon - 1, t.tm_mday = day;
    t.tm_hour = h, t.tm_min = m, t.tm_sec = s, t.tm_isdst = -1;
    return mktime(&t);
}

struct BlockE2E : ::testing::Test {
    staged_tree tree{"kernel_mode = emulated\ncollector_task_num = 1\nlog_level = 3\n"};
    std::string dir;  // target files
    // reported: how many of the two process creations the process filters let through.
    void start(const std::string &keys = "", size_t reported = 2) {
        if (!keys.empty()) staged_tree::set_keys(tree.block_logger_conf(), keys);
        dir = tree.root + "/targets";
        mkdir(dir.c_str(), 0755);
        s_wall_base = local_time(2024, 5, 29, 23, 41, 0);
        s_ms_base = s_now_ms.load();
        kiv_set_wall_clock(wall);
        kiv_timer_set_source(fake_clock);
        ASSERT_TRUE(host_start(capture));
        // The acting process and its parent are known to the fork tree, not to /proc.
        proc_fields parent;
        parent.pid = kPPid, parent.ppid = 1, parent.create_time = 7000;
        parent.parent_create_time = 0;
        parent.s[0] = "-bash --login", parent.s[1] = "/root", parent.s[2] = "/usr/bin/bash";
        proc_fields child;
        child.pid = kPid, child.ppid = kPPid, child.create_time = 7100;
        child.parent_create_time = 7000;
        child.s[0] = "/usr/bin/evil --now", child.s[1] = "/tmp", child.s[2] = "/usr/bin/evil";
        for (const proc_fields *f : {&parent, &child}) {
            bytes rec = process_record(*f);
            ASSERT_EQ(kemu_inject(KEMU_RING_HIGH, rec.data(), (uint32_t)rec.size()), KEMU_OK);
        }
        ASSERT_TRUE(wait_for([&] { return docs(UPLOAD_PROC_EXEC).size() == reported; }));
        clear_uploads();
    }
    void TearDown() override {
        host_stop();
        kiv_set_wall_clock(nullptr);
    }
    void inject(const block_rec &r) {
        bytes m = build(r);
        ASSERT_EQ(kemu_inject(KEMU_RING_LOW, m.data(), (uint32_t)m.size()), KEMU_OK);
    }
    // Moves both clocks and waits for the reset timer's run at the new time.
    void advance(uint64_t ms) {
        uint32_t runs = block_logger_timer_runs();
        s_now_ms += ms;
        ASSERT_TRUE(wait_for([runs] { return block_logger_timer_runs() > runs; }));
    }
    std::string header(const char *group, const char *type, const char *action) const {
        return "{\"v\":100,\"recordTimestamp\":" + std::to_string(wall()) +
               ",\"uploadTimestamp\":" + std::to_string(wall()) + ",\"group\":\"" + group +
               "\",\"ruleId\":7,\"eventType\":\"" + type + "\",\"action\":\"" + action + "\",";
    }
    // The acting process is read from /proc alone, where it is not: what the fork tree
    // knows of it never shows, and nothing asks the process query service to report it.
    std::string subject(const std::string &exe = "/usr/bin/evil") const {
        return ",\"sPId\":4194400,\"sPName\":\"evil\",\"sPUser\":\"root\","
               "\"sPCommand\":\"\",\"sPFilePath\":\"" +
               exe +
               "\",\"sPStartTime\":0,\"sPpId\":4194399,\"sPpName\":\"bash\","
               "\"sPpUser\":\"root\",\"sPpCommand\":\"\","
               "\"sPpFilePath\":\"\",\"sPpStartTime\":0}";
    }
    std::string target(const std::string &name, const std::string &content, mode_t mode) {
        std::string path = dir + "/" + name;
        std::ofstream(path) << content;
        chmod(path.c_str(), mode);
        slurp(path);  // read once after the last change, so that later reads keep the atime
        return path;
    }
    static std::string attributes(const std::string &path, const std::string &perm,
                                  const std::string &md5) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0) ADD_FAILURE() << path;
        group *g = getgrgid(st.st_gid);
        return "\"fileCtime\":" + std::to_string(st.st_ctime) +
               ",\"fileAtime\":" + std::to_string(st.st_atime) + ",\"filePermission\":\"" + perm +
               "\",\"fileGrp\":\"" + (g ? g->gr_name : "") +
               "\",\"fileSize\":" + std::to_string(st.st_size) + ",\"fileHash\":\"" + md5 + "\"";
    }
};

constexpr const char *kHelloMd5 = "b1946ac92492d2347c6235b4d2611184";  // "hello\n"

// One exact report of each kind. A rename names the new path after the operation and keeps
// the old name's attributes; a target that is gone and an acting process nobody knows still
// give a record.
TEST_F(BlockE2E, ReportsOfEachKindPrintedExactly) {
    start();
    const std::string old_name = target("old", "hello\n", 0640);
    const std::string file = "\"fileType\":\"\",\"fileCluster\":\"\",";
    block_rec r, u, k, v6;  // u: unknown process and user, no texts
    r.opr = 4, r.group = 6, r.action = 1, r.text[1] = old_name, r.text[2] = dir + "/new";
    u.pid = kTarget + 10, u.ppid = kTarget + 11, u.uid = 3999999, u.text[0] = "", u.opr = 3;
    k.type = 25, k.opr = 4, k.group = 10, k.text[1] = "/usr/sbin/sshd", k.text[2] = "/x";
    v6.type = 26, v6.group = 3, v6.family = 10, v6.proto = 17, v6.direction = 1;
    v6.sip = "2001:db8::1", v6.dip = "::1", v6.sport = 53, v6.dport = 65535, v6.text[0] = "";
    for (const block_rec &x : {r, u, k, v6}) inject(x);
    ASSERT_TRUE(wait_for([] { return count() == 4; }));
    auto d = reports();
    EXPECT_EQ(d[0], header("FILE_PROTECT", "file", "block") + file +
                        attributes(old_name, "rw-r-----", kHelloMd5) +
                        ",\"eventOpr\":\"rename\",\"filePath\":\"" + dir +
                        "/new\",\"originFilePath\":\"" + old_name + "\"" + subject());
    // The empty target and the unknown process's fields.
    for (const char *part : {"\"filePath\":\"\",\"fileCtime\":0,", "\"fileHash\":\"-\",",
                             "\"sPId\":4194411,", "\"sPUser\":\"\",", "\"sPpUser\":\"\","})
        EXPECT_NE(d[1].find(part), std::string::npos) << part << d[1];
    EXPECT_EQ(d[2], header("APPLICATION_PROTECT", "proc", "block") +
                        "\"eventOpr\":\"kill\",\"pFilePath\":\"/usr/sbin/sshd\","
                        "\"pId\":4194401,\"ppId\":1,\"pName\":\"sshd\",\"ppName\":\"systemd\","
                        "\"pUser\":\"root\",\"pUid\":0,\"pNamespace\":4026531836,"
                        "\"pEuid\":0,\"pPort\":22,\"pStartTime\":0,\"pCluster\":\"\"" +
                        subject());
    EXPECT_EQ(d[3], header("ENFORCE", "net", "block") +
                        "\"eventOpr\":\"inbound\",\"protocol\":\"udp\",\"srcIp\":\"2001:db8::1\","
                        "\"srcPort\":53,\"dstIp\":\"::1\",\"dstPort\":65535" +
                        subject(""));
}

// A process the filters kept from being reported stays unreported after a block report
// names it: no creation record goes up and its node is not marked reported.
TEST_F(BlockE2E, FilteredProcessNotReportedByABlockReport) {
    std::string conf = slurp(tree.task_conf());
    const std::string head = "[black_process]\ncnt = 0\n";
    conf.replace(conf.find(head), head.size(),
                 "[black_process]\ncnt = 1\nblack_process_0 = evil\n");
    std::ofstream(tree.task_conf()) << conf;
    start("", 1);
    // Flags of the black-listed process's node; -1 while the tree does not hold it.
    auto flags = [] {
        rwlock_read_guard g(&g_task_info.ftree_lock);
        fork_node *node = nullptr;
        ftree_key key{7100, kPid};
        return ftree_search(g_task_info.ftree, &key, &node) == 0 ? node->fork_info.flags : -1;
    };
    ASSERT_TRUE(wait_for([&] { return flags() >= 0; }));
    block_rec r;
    r.type = 25, r.opr = 5;
    inject(r);
    ASSERT_TRUE(wait_for([] { return count() == 1; }));
    EXPECT_NE(reports()[0].find(subject()), std::string::npos) << reports()[0];
    EXPECT_EQ(docs(UPLOAD_PROC_EXEC).size(), 0u);
    EXPECT_EQ(flags() & FORK_INFO_CREATE_REPORTED, 0);
}

// A target rewritten with the same size, its modification time put back, is hashed again;
// one left alone keeps its hash.
TEST_F(BlockE2E, RewrittenTargetHashedAgain) {
    start();
    std::string path = target("settled", "hello\n", 0644);
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // older than a clock tick
    block_rec r;
    r.opr = 5, r.text[1] = path;
    inject(r);
    inject(r);
    ASSERT_TRUE(wait_for([] { return count() == 2; }));
    std::ofstream(path) << "world\n";
    timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    inject(r);
    ASSERT_TRUE(wait_for([] { return count() == 3; }));
    auto d = reports();
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_NE(d[i].find(std::string("\"fileHash\":\"") +
                            (i < 2 ? kHelloMd5 : "591785b794601e212b260e25925636fd") + "\""),
                  std::string::npos)
            << d[i];
    }
}

// Unknown operations and directions are not sent, their lines land in the private module
// log's files, and the next record is reported. Lengths a record cannot hold are
// TextsHeldToTheRecordEnd's.
TEST_F(BlockE2E, BadRecordsDroppedAndFormattingFailuresInPrivateLog) {
    std::string conf = tree.root + "/conf/", logs = tree.root + "/hips";
    autolog_set_conf_root(conf.c_str());
    ASSERT_EQ(autolog_init_global(logs.c_str(), 3), 0);
    start();
    block_rec opr, popr, dir3, good;
    opr.opr = 11, opr.text[1] = "/etc/shadow";
    popr.type = 25, popr.opr = 0;
    dir3.type = 26, dir3.direction = 3;
    good.opr = 7, good.text[1] = "/var/lib/next";
    for (const block_rec &r : {opr, popr, dir3, good}) inject(r);
    ASSERT_TRUE(wait_for([] { return count() == 1; }));
    EXPECT_NE(reports()[0].find("\"filePath\":\"/var/lib/next\""), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(count(), 1u);
    // Failures do not count against the daily limit: only the one record sent does.
    {
        rwlock_read_guard g(&g_block_logger_info.event_cnt_lock);
        EXPECT_EQ(g_block_logger_info.event_cnt, 1u);
    }
    autolog_deinit_global();
    autolog_set_conf_root(nullptr);
    std::string text;
    for (auto &e : std::filesystem::directory_iterator(logs))
        if (e.path().extension() == ".log") text += slurp(e.path());
    for (const char *line :
         {"invalid file opr: 11\n", "invalid proc opr: 0\n", "invalid net opr: 3\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

// With a limit of 2, the third report of the day is dropped until the first timer run in the
// 23:50 window; the count is reset once per window and again the next evening.
TEST_F(BlockE2E, DailyLimitResetAcrossMidnight) {
    start("upload_event_cnt = 2\n");
    struct {
        const char *at;
        uint64_t advance_ms;
        std::vector<uint16_t> ports;
        size_t sent;
    } steps[] = {
        {"23:41", 0, {1, 2, 3}, 2},
        {"23:46, not yet", 300000, {4}, 2},
        {"23:51, reset", 300000, {5, 6, 7}, 4},
        {"23:56, window already served", 300000, {8}, 4},
        {"00:01 the next day", 300000, {9}, 4},
        {"23:50:01 the next day, reset",
         (uint64_t)(local_time(2024, 5, 30, 23, 50, 1) - local_time(2024, 5, 30, 0, 1, 0)) * 1000,
         {10},
         5},
    };
    block_rec r;
    r.type = 26;
    for (auto &st : steps) {
        SCOPED_TRACE(st.at);
        if (st.advance_ms) advance(st.advance_ms);
        for (uint16_t port : st.ports) r.dport = port, inject(r);
        ASSERT_TRUE(wait_for([&] { return count() == st.sent; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // nothing more comes
        EXPECT_EQ(count(), st.sent);
    }
    EXPECT_NE(reports()[4].find("\"dstPort\":10,"), std::string::npos);
    ulog_save_once();
    EXPECT_NE(
        tree.read("logs/sensor_all.log").find("block event upload event exceed max cnt: 2 >= 2"),
        std::string::npos);
}

// Two collectors check and raise the count at once: at most one record per extra thread gets
// past the limit, and every record sent is counted.
TEST_F(BlockE2E, LimitHeldByConcurrentCollectors) {
    tree.write_conf("kernel_mode = emulated\ncollector_task_num = 2\nlog_level = 2\n");
    start("upload_event_cnt = 150\n");
    const int64_t drops = kiv_stat_get(HOOK_DROP);
    block_rec r;
    r.type = 26;
    for (uint32_t i = 0; i < 400; i++) {
        r.pid = kTarget + 100 + i, r.dport = (uint16_t)i;  // distinct: no per-process order
        bytes m = build(r);
        while (kemu_inject(KEMU_RING_LOW, m.data(), (uint32_t)m.size()) == KEMU_FULL)
            std::this_thread::yield();
    }
    ASSERT_TRUE(
        wait_for([&] { return (int64_t)count() + kiv_stat_get(HOOK_DROP) - drops == 400; }));
    size_t sent = count();
    EXPECT_GE(sent, 150u);
    EXPECT_LE(sent, 151u);
    {
        rwlock_read_guard g(&g_block_logger_info.event_cnt_lock);
        EXPECT_EQ(g_block_logger_info.event_cnt, sent);
    }
}

TEST(BlockLogger, StartFailuresUnwind) {
    staged_tree tree;
    // A missing file fails the start and leaves no hook behind.
    unlink(tree.block_logger_conf().c_str());
    EXPECT_EQ(kiv_block_logger_init(), -1);
    EXPECT_EQ(g_msg_hooks[KIV_MOD_FILE_DEFENSE][0].handler, nullptr);
    EXPECT_EQ(sensor_init(), -1);
    EXPECT_NE(tree.read("logs/sensor.log").find("load block logger cfg failed"), std::string::npos);
}

}  // namespace
