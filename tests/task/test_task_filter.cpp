#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "limit_drops_text.h"
#include "comm/timer.h"
#include "crc_twin.h"
#include "base/mem.h"
#include "qxkiv/digest.h"
#include "task/task_filter.h"

namespace {

std::atomic<uint64_t> g_ms;
void set_ms(uint64_t ms) {
    g_ms = ms;
    kiv_timer_set_source([] { return g_ms.load(); });
}

// A list section holding vals, with cnt (default: their number).
std::string sec(const std::string &name, std::vector<std::string> vals, size_t cnt = ~0ul) {
    std::string out = "[" + name + "]\ncnt=" + std::to_string(cnt == ~0ul ? vals.size() : cnt);
    for (size_t i = 0; i < vals.size(); i++)
        out += "\n" + name + "_" + std::to_string(i) + "=" + vals[i];
    return out + "\n";
}
const std::string kLong40(40, 'x');

int64_t filter_mem() {
    int64_t sum = 0;
    for (uint32_t c :
         {MALLOC_FOR_TASK_FILTER_NODE, MALLOC_FOR_TASK_UPLOAD_REDO, MALLOC_FOR_TASK_UPLOAD_MARK,
          MALLOC_FOR_TMP, MALLOC_LHASH, MALLOC_LHASH_NODE})
        sum += kiv_stat_get(c);
    return sum;
}

class TaskFilter : public testing::Test {
  protected:
    int64_t mem0_ = filter_mem();
    uint64_t t0_ = 9000000000ull;  // ms

    int start(const std::string &conf, uint32_t sec_max = 0, uint32_t hour_max = 0) {
        g_task_info.process_list_max_cnt = 4;
        g_task_info.cmdline_list_max_cnt = g_task_info.vip_list_max_cnt = 3;
        g_task_info.redo_hash_size = 4;
        g_task_info.upload_mark_hash_size = 5;
        g_task_info.sec_limit.max_cnt = sec_max;
        g_task_info.hour_limit.max_cnt = hour_max;
        ini_file_t *ini = ini_buffer_load(conf.data(), static_cast<long>(conf.size()));
        int ret = task_filter_init(ini);
        ini_file_free(ini);
        return ret;
    }
    void SetUp() override { set_ms(t0_); }
    void TearDown() override {
        task_filter_exit();
        kiv_timer_set_source(nullptr);
        EXPECT_EQ(filter_mem(), mem0_);
    }
    // is_filter_task over {path, command line} pairs, the process first.
    int run(std::vector<std::pair<std::string, std::string>> procs, const char *md5 = "") {
        std::vector<process_st> v(procs.size());
        for (size_t i = 0; i < v.size(); i++) {
            process_st_init(&v[i]);
            v[i].pid = 100 + static_cast<int>(i);
            snprintf(v[i].path, sizeof v[i].path, "%s", procs[i].first.c_str());
            snprintf(v[i].cmd_line, sizeof v[i].cmd_line, "%s", procs[i].second.c_str());
            snprintf(v[i].md5, sizeof v[i].md5, "%s", md5);
        }
        return is_filter_task(v.data(), static_cast<int>(v.size()));
    }
};

// The lists decide over the whole ancestry; the creation limit, last in the chain, counts only
// what they let pass.
TEST_F(TaskFilter, ListsDecideOverTheAncestry) {
    ASSERT_EQ(start(sec("white_process", {"sshd", kLong40}) + sec("black_process", {"cron"}) +
                        sec("cmdline_process", {"--secret", kLong40}),
                    1),
              0);
    auto counts = [] {
        return kiv_stat_get(TASK_FILTER_WHITE_CNT) * 100 + kiv_stat_get(TASK_FILTER_BLACK_CNT);
    };
    int64_t counts0 = counts();
    EXPECT_EQ(run({{"/bin/bash", "bash"}, {"/usr/sbin/sshd", "sshd -D"}}), 0);
    EXPECT_EQ(run({{"/bin/bash", "bash"}, {"/sbin/init", "init"}}), -10);
    EXPECT_EQ(run({{"/bin/ls", "ls"}, {"/usr/sbin/cron", "cron"}, {"/usr/sbin/sshd", "sshd"}}),
              -10);
    EXPECT_EQ(counts() - counts0, 101);  // one white, one black
    // A 40-character value is left out of a hash list; its 32-character cut is no match either.
    std::string full = "/bin/" + kLong40, cut = full.substr(0, 37);
    for (const char *p : {full.c_str(), cut.c_str(), (const char *)nullptr})
        EXPECT_EQ(white_list_filter(p), -10);
    EXPECT_EQ(black_list_filter(nullptr) + black_list_filter("/usr/sbin/"), 0);
    // The text list keeps the cut and matches it as a substring.
    EXPECT_EQ(run({{"/usr/sbin/sshd", "sshd --secret=1"}}), -10);
    EXPECT_EQ(run({{"/usr/sbin/sshd", "sshd " + kLong40.substr(8) + "y"}}), -10);
    for (const char *cmd : {"ok", "ok 2"})  // the second and the third to pass this second
        EXPECT_EQ(run({{"/bin/ok", cmd}, {"/usr/sbin/sshd", "sshd"}}), cmd[2] ? -10 : 0);
}

TEST_F(TaskFilter, LoadFailuresReleaseEverything) {
    // cnt 3 with two values fails the start after the black list was built.
    EXPECT_EQ(start(sec("black_process", {"a"}) + sec("white_process", {"a", "b"}, 3)), -1);
    EXPECT_EQ(start(sec("cmdline_process", {"a"}, 2)), -1);
    EXPECT_EQ(filter_mem(), mem0_);
    // More values than the hash holds: the extra ones are refused, the start goes on.
    ASSERT_EQ(start(sec("black_process", {"a", "b", "c", "d", "e"}) +
                    sec("nofilter_process", {"a", "b", "c", "d"})),
              0);
    EXPECT_EQ(black_list_filter("/x/d"), -10);
    EXPECT_EQ(black_list_filter("/x/e"), 0);
    // Head insertion: the list runs in reverse, and stops at its capacity of 3.
    std::string order;
    for (list_head *p = g_task_info.vip_list.next; p != &g_task_info.vip_list; p = p->next)
        order += list_entry(p, filter_node, list)->text;
    EXPECT_EQ(order, "cba");
}

TEST_F(TaskFilter, RepeatsAreHeldBackForAnHourButNotVip) {
    ASSERT_EQ(start(sec("nofilter_process", {"top"})), 0);
    const char *md5 = "0123456789abcdef0123456789abcdef";
    auto sleep_run = [&](const char *parent_cmd) {
        return run({{"/bin/sleep", "sleep 1"}, {"/bin/sh", parent_cmd}}, md5);
    };
    EXPECT_EQ(sleep_run("sh"), 0);
    EXPECT_EQ(sleep_run("sh"), -10);
    EXPECT_EQ(sleep_run("sh -c"), 0);  // another parent
    // "top" alone (a trailing blank is no argument) is never a repeat; "top -b" is.
    for (const char *cmd : {"top", "top ", "top", "top -b"}) EXPECT_EQ(run({{"/bin/top", cmd}}), 0);
    EXPECT_EQ(run({{"/usr/bin/top", "top -b"}}), -10);
    set_ms(t0_ + 3599999);
    EXPECT_EQ(sleep_run("sh"), -10);
    set_ms(t0_ + 3600000);
    EXPECT_EQ(sleep_run("sh"), 0);
    EXPECT_EQ(sleep_run("sh"), -10);  // restamped

    // Processes gone before they were read carry neither path nor command line: with
    // redo_whole_cmdline none of them is a repeat of another, and each is counted; without,
    // they share one checksum. One of the two alone is a repeat either way.
    for (uint32_t whole : {0u, 1u}) {
        SCOPED_TRACE(whole);
        g_task_info.redo_whole_cmdline = whole;
        set_ms(t0_ + 7200000 * (whole + 1));  // an hour after the rounds before
        int64_t blank0 = kiv_stat_get(TASK_FILTER_REDO_BLANK_CNT);
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(run({{"", ""}, {"/bin/sh", "sh"}}), i && !whole ? -10 : 0) << i;
        EXPECT_EQ(kiv_stat_get(TASK_FILTER_REDO_BLANK_CNT) - blank0, whole ? 3 : 0);
        EXPECT_EQ(run({{"", "sleep 9"}}), 0);
        EXPECT_EQ(run({{"", "sleep 9"}}), -10);
    }
    g_task_info.redo_whole_cmdline = 0;
}

// Collector threads filter side by side: each distinct process passes exactly once, however
// the threads interleave on the repeat table and the limits (run under ThreadSanitizer too).
TEST_F(TaskFilter, ConcurrentFilteringLetsEachProcessPassOnce) {
    ASSERT_EQ(start(""), 0);  // the repeat table holds 4
    std::atomic<int> passed{0}, filtered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; i++) {
                int k = (i + t) % 4;
                int ret = run({{"/bin/job" + std::to_string(k), "job " + std::to_string(k)}},
                              "0123456789abcdef0123456789abcdef");
                (ret == 0 ? passed : filtered)++;
            }
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(passed.load(), 4);
    EXPECT_EQ(filtered.load(), 4 * 200 - 4);
}

TEST_F(TaskFilter, FullRepeatTableCleansAtMostEvery30Seconds) {
    ASSERT_EQ(start(""), 0);
    fhash *h = g_task_info.redo_hash;
    uint32_t now = static_cast<uint32_t>(t0_ / 1000);
    auto k = [](uint32_t crc) { return redo_key{crc, {crc, 7}}; };
    for (uint32_t crc : {1u, 2u, 3u}) EXPECT_EQ(filter_redo_events(h, k(crc)), 0);
    set_ms((now + 3601) * 1000ull);
    EXPECT_EQ(filter_redo_events(h, k(4)), 0);  // table now full
    void *e = nullptr;
    redo_key four = k(4);
    ASSERT_EQ(fhash_search(h, &four, sizeof four.crc, &e), 0);
    static_cast<redo_entry *>(e)->time = now + 999999;   // stamped in the future: old
    EXPECT_EQ(insert_redo_events_to_table(h, k(5)), 0);  // swept 1, 2, 3 (age 3601) and 4
    EXPECT_EQ(h->count, 1u);
    for (uint32_t crc : {6u, 7u, 8u}) EXPECT_EQ(insert_redo_events_to_table(h, k(crc)), 0);
    set_ms((now + 3601 + 29) * 1000ull);
    EXPECT_EQ(insert_redo_events_to_table(h, k(9)), -1);  // full, swept 29 s ago
    set_ms((now + 3601 + 30) * 1000ull);
    EXPECT_EQ(insert_redo_events_to_table(h, k(9)), -4);  // swept, nothing old enough
}

// A stored repeat matches only its own material: a key with the same checksum and other
// bytes is new. With whole command lines, a shared 172-byte prefix or another user makes a
// new creation; without, the prefix and the executable decide, as before.
TEST_F(TaskFilter, RepeatKeysMatchOnlyEqualMaterial) {
    ASSERT_EQ(start(""), 0);
    fhash *h = g_task_info.redo_hash;
    EXPECT_EQ(filter_redo_events(h, redo_key{42, {1, 2}}), 0);
    EXPECT_EQ(filter_redo_events(h, redo_key{42, {1, 3}}), 0);  // a twin of the checksum
    EXPECT_EQ(filter_redo_events(h, redo_key{42, {1, 2}}), -10);
    const std::string prefix = "sh -c '" + std::string(180, ' ') + "'";
    auto proc = [&](const std::string &tail, uint32_t uid) {
        std::vector<process_st> v(2);
        for (auto &p : v) process_st_init(&p);
        snprintf(v[0].cmd_line, sizeof v[0].cmd_line, "%s", (prefix + tail).c_str());
        snprintf(v[1].cmd_line, sizeof v[1].cmd_line, "bash");
        v[0].ids[0] = v[0].ids[1] = uid;
        return v;
    };
    auto same = [&](bool whole, const std::string &t1, uint32_t u1, const std::string &t2,
                    uint32_t u2) {
        redo_key a = redo_key_of(proc(t1, u1).data(), 2, whole);
        redo_key b = redo_key_of(proc(t2, u2).data(), 2, whole);
        return a.crc == b.crc && a.material == b.material;
    };
    EXPECT_TRUE(same(false, "echo benign", 0, "curl x | sh", 0));
    // Without whole command lines the checksum alone decides, as it always did: a command whose
    // 408-byte block (two slots of md5 text and command line) is a CRC-32 twin of another's is
    // a repeat within the hour. With them, it is new.
    auto block = [](const std::string &cmd0) {
        std::string b(408, '\0');
        b.replace(0, cmd0.size(), cmd0);
        b.replace(204, 4, "bash");
        return b;
    };
    const std::string honest = "sh -c 'id'";
    std::string forged;
    for (int i = 0; forged.empty(); i++) {
        std::string head = "sh -c 'curl x|sh' #" + std::to_string(i);
        std::string b =
            crc_patch(block(head + "0000"), head.size(), mordek_crc32(block(honest).data(), 408),
                      [](unsigned char c) { return c > 0x20 && c < 0x7f; });
        if (!b.empty()) forged = b.substr(0, head.size() + 4);
    }
    for (uint32_t whole : {0u, 1u}) {
        SCOPED_TRACE(whole);
        g_task_info.redo_whole_cmdline = whole;
        set_ms(t0_ + 7200000 * (whole + 1));
        EXPECT_EQ(run({{"/bin/sh", honest}, {"/bin/bash", "bash"}}), 0);
        EXPECT_EQ(run({{"/bin/sh", forged}, {"/bin/bash", "bash"}}), whole ? 0 : -10);
    }
    g_task_info.redo_whole_cmdline = 0;
    EXPECT_FALSE(same(true, "echo benign", 0, "curl x | sh", 0));
    EXPECT_FALSE(same(true, "x", 0, "x", 65534));
    EXPECT_TRUE(same(true, "x", 65534, "x", 65534));
    // Text boundaries count: "ab" + "c" is not "a" + "bc".
    auto v1 = proc("", 0), v2 = proc("", 0);
    snprintf(v1[1].cmd_line, sizeof v1[1].cmd_line, "ab");
    snprintf(v2[1].cmd_line, sizeof v2[1].cmd_line, "b");
    snprintf(v2[0].cmd_line, sizeof v2[0].cmd_line, "%sa", prefix.c_str());
    EXPECT_FALSE(redo_key_of(v1.data(), 2, true).material ==
                 redo_key_of(v2.data(), 2, true).material);
}

// The windows' edges are the shared limiter's (UploadLimit); here the hour's refusal after
// the second counted it, and a window open across the wrap of the 32-bit millisecond clock.
TEST_F(TaskFilter, CreationLimitsPerSecondAndHour) {
    ASSERT_EQ(start("", 0, 1), 0);
    taken_limit_drops();
    std::string got;
    for (int i = 0; i < 3; i++) got += upload_limit_filter(nullptr) == 0 ? 'y' : 'n';
    EXPECT_EQ(got, "yyn");
    EXPECT_EQ(taken_limit_drops(), "TASK_FILTER_UPLOAD_LIMIT_HOUR_CNT any exe - +1\n");
    // A window open across the wrap of the 32-bit millisecond clock keeps counting and ends.
    upload_limit_info l;
    upload_limit_info_init(&l, 1, 1000);
    for (uint32_t at : {0xFFFFFF00u, 0xFFFFFFF0u}) EXPECT_EQ(is_over_limit(&l, at), 0);
    EXPECT_EQ(is_over_limit(&l, 0x100u), -1);
    EXPECT_EQ(is_over_limit(&l, 0x2E9u), 0);  // 1001 ms after the opener
}

// Per user, one user's flood spends only that user's window: root still passes and each
// user's first refusal is logged; a table full of other users hands a returning one a fresh
// window, never a refusal. Without the key, one window for the host. Each drop waits for the
// host with the user (per user) and the executable.
TEST_F(TaskFilter, CreationLimitsPerUser) {
    auto as = [](uint32_t uid) {
        process_st p;
        process_st_init(&p);
        p.ids[0] = uid;
        strcpy(p.path, "/usr/bin/flood");
        return upload_limit_filter(&p) == 0 ? 'y' : 'n';
    };
    for (uint32_t per_user : {1u, 0u}) {
        g_task_info.limit_per_user = per_user;
        ASSERT_EQ(start("", 2, 0), 0);
        taken_limit_drops();
        std::string got;
        for (uint32_t uid : {65534u, 65534u, 65534u, 65534u, 0u, 0u}) got += as(uid);
        EXPECT_EQ(got, per_user ? "yyynyy" : "yyynnn") << per_user;
        if (per_user) {
            for (uint32_t uid = 1000; uid < 1000 + keyed_limiter::SLOTS + 5; uid++)
                EXPECT_EQ(as(uid), 'y') << uid;
            EXPECT_EQ(as(65534), 'y');  // evicted, so a fresh window
            set_ms(t0_ + 1001);
            got.clear();
            for (int i = 0; i < 4; i++) got += as(65534);
            EXPECT_EQ(got, "yyyn");
        }
        EXPECT_EQ(taken_limit_drops(),
                  per_user ? "TASK_FILTER_UPLOAD_LIMIT_SEC_CNT 65534 exe /usr/bin/flood +2\n"
                           : "TASK_FILTER_UPLOAD_LIMIT_SEC_CNT any exe /usr/bin/flood +3\n");
        task_filter_exit();
    }
    g_task_info.limit_per_user = 0;
    ASSERT_EQ(start(""), 0);
}

TEST_F(TaskFilter, UploadMarksGateDoubleReports) {
    ASSERT_EQ(start(""), 0);
    ftree_key a{1000, 42}, a2{2000, 42}, k[6] = {{}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}};
    std::string got;
    auto need = [&](const ftree_key &key) {
        got += static_cast<char>('0' + proc_need_upload(&key));
    };
    need(a), need(a), need(a2), need(a);  // a reused pid replaces the mark
    proc_upload_unmark(&a2);              // another process's mark stays
    need(a), proc_upload_unmark(&a), need(a);
    // Full table (5): the least recently touched mark goes, here k[1] once a was touched.
    for (int i = 1; i <= 4; i++) need(k[i]);
    need(a), need(k[5]), need(a), need(k[1]);
    EXPECT_EQ(got,
              "1011"
              "01"
              "1111"
              "0101");
}

TEST_F(TaskFilter, KernelListChecksums) {
    // net_black_process says cnt 2 but lacks its _0: that list ends empty.
    std::string conf = sec("black_process", {"123456789", "b", "c"}) +
                       "[net_black_process]\ncnt=2\nnet_black_process_1=n\n" +
                       sec("kill_black_process", {"k"}) + sec("dl_load_black_process", {"d"});
    ini_file_t *ini = ini_buffer_load(conf.data(), static_cast<long>(conf.size()));
    std::vector<uint32_t> buf(11 + 5 * 2, 0xEEEEEEEE);
    auto *kc = reinterpret_cast<kern_task_conf *>(buf.data());
    EXPECT_EQ(task_kern_list_load(ini, 2, kc), 4u);
    ini_file_free(ini);
    EXPECT_EQ(std::vector<uint32_t>(buf.begin() + 6, buf.end() - 5),
              (std::vector<uint32_t>{2, 0, 0, 1, 1, 0xCBF43926u, mordek_crc32("b", 1),
                                     mordek_crc32("k", 1), mordek_crc32("d", 1), 0xEEEEEEEEu}));
}

}  // namespace
