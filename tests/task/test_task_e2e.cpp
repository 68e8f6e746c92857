// The process module end to end: records injected into the stand-in's high ring, through the
// collector and the process hooks, to the host's upload callback. The clock is driven.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/timer.h"
#include "base/mem.h"
#include "framework/mod_manager.h"
#include "startup/startup.h"
#include "comm/digest_internal.h"
#include "comm/dirutils.h"
#include "digest_races.h"
#include "e2e_host.h"
#include "proc_bytes.h"
#include "qxkiv/digest.h"
#include "qxkiv/digest_cache.h"
#include "qxkiv/kemu.h"
#include "qxkiv/process_query.h"
#include "qxkiv/qxkiv.h"
#include "staged_tree.h"
#include "task/binhash.h"
#include "task/kernel_query.h"
#include "task/loader_exec.h"
#include "task/task.h"
#include "test_io.h"

namespace {

// Uploads of one type whose text contains what.
int uploads(int type, const std::string &what = "") {
    std::lock_guard g(s_up_lock);
    int n = 0;
    for (auto &[t, text] : s_uploads) n += t == type && text.find(what) != std::string::npos;
    return n;
}

proc_fields proc(uint32_t pid, uint32_t ppid, const std::string &cmd) {
    proc_fields f;
    f.pid = pid, f.ppid = ppid;
    f.create_time = 5000 + pid, f.parent_create_time = ppid ? 5000 + ppid : 0;
    f.s[0] = cmd, f.s[1] = "/", f.s[2] = "/bin/true";
    return f;
}

// Message: header (magic, len, type, pid), 4 unused bytes, body.
std::vector<unsigned char> message(uint16_t type, uint32_t pid,
                                   const std::vector<unsigned char> &body) {
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(16 + body.size()), w.u16(type), w.u32(pid), w.u32(0);
    w.b.insert(w.b.end(), body.begin(), body.end());
    return w.b;
}
std::vector<unsigned char> exit_body(uint32_t pid, uint8_t code) {
    proc_bytes w;
    w.u64(5000 + pid), w.u32(pid), w.u16(7), w.u8(code);
    return w.b;
}

void inject(uint16_t type, const proc_fields &f) {
    auto m = message(type, f.pid, build_proc(f));
    ASSERT_EQ(kemu_inject(KEMU_RING_HIGH, m.data(), m.size()), KEMU_OK);
}
void inject_exit(uint32_t pid, uint8_t code = 3) {
    auto m = message(2, pid, exit_body(pid, code));
    ASSERT_EQ(kemu_inject(KEMU_RING_HIGH, m.data(), m.size()), KEMU_OK);
}
bool in_tree(uint32_t pid) {
    rwlock_read_guard g(&g_task_info.ftree_lock);
    ftree_key key{5000 + pid, pid};
    fork_node *node;
    return ftree_search(g_task_info.ftree, &key, &node) == 0;
}
// Lets the clock run in steps so that parked records and timers come due.
void advance(uint64_t ms, uint64_t step = 100) {
    // 40 ms: longer than the framework thread's 30 ms nap, so its timer pass sees every step.
    for (uint64_t done = 0; done < ms; done += step) EXPECT_TRUE(clock_step(step, 40));
}

// Moves the clock on until pred holds: the framework thread samples the clock at its own pace,
// so a fixed advance can end before a queued deadline is seen.
template <class F>
bool advance_until(F pred, uint64_t max_ms, uint64_t step = 500) {
    for (uint64_t done = 0; done <= max_ms; done += step) {
        if (pred()) return true;
        advance(step, step);
    }
    return wait_for(pred);
}

struct TaskE2E : ::testing::Test {
    staged_tree tree{"kernel_mode = emulated\ncollector_task_num = 1\n"};
    void start(const std::string &task_keys = "") {
        staged_tree::set_keys(tree.task_conf(), task_keys);
        kiv_timer_set_source(fake_clock);
        ASSERT_TRUE(host_start(capture));
        clear_uploads();
    }
    void TearDown() override { host_stop(); }
};

TEST_F(TaskE2E, ForkExecExitAndExecBeforeFork) {
    start();
    inject(1, proc(100, 1, "/bin/sh -c parent"));
    inject(0, proc(200, 100, "/bin/sh -c parent"));
    inject(1, proc(200, 100, "/bin/true child"));
    ASSERT_TRUE(wait_for([] { return uploads(UPLOAD_PROC_EXEC) == 2; }));
    EXPECT_EQ(uploads(UPLOAD_PROC_EXEC, "\"process_id\":200,"), 1);
    EXPECT_EQ(uploads(UPLOAD_PROC_EXEC, "\"parent_pid\":100,"), 1);
    // The exec came first: the late fork is a duplicate.
    int64_t dup = kiv_stat_get(TASK_FORK_EVENT_DROP_DUP);
    inject(1, proc(300, 100, "/bin/true third"));
    inject(0, proc(300, 100, "/bin/true third"));
    ASSERT_TRUE(wait_for([&] { return kiv_stat_get(TASK_FORK_EVENT_DROP_DUP) == dup + 1; }));

    // The exit, queued on a whole second, is reported by the queue timer's run 10 s later:
    // not at 9.9 s, and not as late as 11 s.
    inject_exit(200, 9);
    ASSERT_TRUE(wait_for([] { return kiv_stat_get(TASK_EXIT_EVENT) >= 1 && !s_uploads.empty(); }));
    advance(9900, 100);
    EXPECT_EQ(uploads(UPLOAD_PROC_EXIT), 0);
    advance(200, 100);
    ASSERT_TRUE(wait_for([] { return uploads(UPLOAD_PROC_EXIT) == 1; }));
    EXPECT_EQ(uploads(UPLOAD_PROC_EXIT, "\"process_id\":200,\"process_exit_code\":9,"), 1);
}

// An exec whose executable is being hashed waits for its digests, parked, not on a
// collector; one whose hashing does not end goes on without them before its exit gives up.
TEST_F(TaskE2E, ExecWaitsForItsDigestsButNotForever) {
    start("report_every_exec = 0\nexec_digest_wait = 1\n");
    char tmpl[] = "/tmp/kivexecdigest.XXXXXX";
    std::string d = mkdtemp(tmpl);
    std::string held = d + "/hold";
    // Larger than the event path hashes itself.
    std::ofstream(held, std::ios::binary) << "h";
    ASSERT_EQ(truncate(held.c_str(), BINHASH_INLINE_MAX + 1), 0);
    hold_release release;
    digest_set_race_hooks(nullptr, hold_read);
    auto g = proc(401, 1, "held one");
    g.s[2] = held;
    inject(1, g);
    inject_exit(401, 0);
    ASSERT_TRUE(wait_for([] { return in_tree(401); }));
    // (Meanwhile the tree describes the new image: ExecDigestWaitNeverReordersAProcessCreations.)
    const std::string zeros = "\"process_md5\":\"" + std::string(32, '0');
    EXPECT_EQ(uploads(UPLOAD_PROC_EXEC), 0);
    ASSERT_TRUE(advance_until([&] { return uploads(UPLOAD_PROC_EXEC, zeros) == 1; }, 5000, 100));
    // The exit waited for the exec instead of being dropped.
    ASSERT_TRUE(advance_until([] { return uploads(UPLOAD_PROC_EXIT, "\"process_id\":401,") == 1; },
                              15000, 500));
    g_hold = false;
    digest_set_race_hooks(nullptr, nullptr);
    dirutils_rmdir(d.c_str());
}

// An exec whose executable is still being hashed: without exec_digest_wait it goes at once,
// without its digests, and the next exec after it. With the wait both are parked, the tree
// holding the later image; a query meanwhile reports that one, with the exit that came before
// it, and the earlier exec, given up later, is not reported after it: never an image after a
// later one, never one twice.
TEST_F(TaskE2E, ExecDigestWaitNeverReordersAProcessCreations) {
    char tmpl[] = "/tmp/kivexecorder.XXXXXX";
    std::string d = mkdtemp(tmpl);
    digest_set_race_hooks(nullptr, hold_read);
    for (uint32_t wait : {0u, 1u}) {
        SCOPED_TRACE(wait);
        if (wait) host_stop();
        // A file of its own each round, hashed by nobody before.
        std::string held = d + "/hold" + std::to_string(wait);
        std::ofstream(held, std::ios::binary) << "h";
        ASSERT_EQ(truncate(held.c_str(), BINHASH_INLINE_MAX + 1), 0);
        hold_release release;
        start("report_every_exec = 1\nexec_digest_wait = " + std::to_string(wait) + "\n");
        auto img1 = proc(460, 1, "first image"), img2 = proc(460, 1, "second image");
        img1.s[2] = held, img2.event_id = 2;
        int64_t execs = kiv_stat_get(TASK_EXEC_EVENT);
        int64_t unready = kiv_stat_get(TASK_BINHASH_NOT_READY_CNT);
        inject(1, img1);
        inject(1, img2);
        if (!wait) {
            // The clock stands: neither exec waited.
            ASSERT_TRUE(wait_for([] { return uploads(UPLOAD_PROC_EXEC) == 2; }));
            std::lock_guard l(s_up_lock);
            EXPECT_NE(s_uploads[0].second.find("\"process_cmd_line\":\"first image\""),
                      std::string::npos);
            EXPECT_NE(s_uploads[0].second.find("\"process_md5\":\"" + std::string(32, '0')),
                      std::string::npos);
            EXPECT_NE(s_uploads[1].second.find("\"process_cmd_line\":\"second image\""),
                      std::string::npos);
            continue;
        }
        ASSERT_TRUE(wait_for([&] { return kiv_stat_get(TASK_EXEC_EVENT) >= execs + 2; }));
        // The process is gone before anything reported it: the query's creation brings its exit.
        const int64_t exits = kiv_stat_get(TASK_EXIT_EVENT);
        inject_exit(460, 0);
        ASSERT_TRUE(wait_for([&] { return kiv_stat_get(TASK_EXIT_EVENT) == exits + 1; }));
        ASSERT_EQ(_init_process_info(PROC_QUERY_MAX_DEPTH), 0);
        EXPECT_EQ(query_tgid_info(460, 5460, 1), 0);
        _free_process_info();
        EXPECT_EQ(uploads(UPLOAD_PROC_EXEC, "\"process_cmd_line\":\"second image\""), 1);
        ASSERT_TRUE(advance_until(
            [&] { return kiv_stat_get(TASK_BINHASH_NOT_READY_CNT) > unready; }, 5000, 100));
        advance(1000);
        g_hold = false;
        sensor_exit();
        EXPECT_EQ(uploads(UPLOAD_PROC_EXEC), 1);
        EXPECT_EQ(uploads(UPLOAD_PROC_EXEC, "first image"), 0);
        EXPECT_EQ(uploads(UPLOAD_PROC_EXIT, "\"process_id\":460,"), 1);
    }
    digest_set_race_hooks(nullptr, nullptr);
    dirutils_rmdir(d.c_str());
}

// Unknown parent: ten relies 100 ms apart, then one kernel query whose answer completes the
// ancestry; an exit before the exec waits for it.
TEST_F(TaskE2E, UnknownParentAndExitBeforeExec) {
    start();
    auto parent = build_proc(proc(400, 1, "/usr/sbin/daemon"));
    ASSERT_EQ(kemu_set_process(parent.data(), parent.size()), 0);
    int64_t relies = kiv_stat_get(TASK_FORK_EVENT_NO_PARENT);
    inject(0, proc(401, 400, "/usr/sbin/daemon"));
    inject_exit(401);
    for (int i = 1; i <= 10; i++) {
        ASSERT_TRUE(
            wait_for([&] { return kiv_stat_get(TASK_FORK_EVENT_NO_PARENT) >= relies + i; }));
        advance(100);
    }
    ASSERT_TRUE(wait_for([] { return in_tree(401); }));
    EXPECT_EQ(kiv_stat_get(TASK_FORK_EVENT_NO_PARENT), relies + 10);
    unsigned char q[24];
    ASSERT_EQ(kemu_last_control(0x7304, q, sizeof q), 24 + (int)RAW_PROCESS_SLOT_SIZE);
    uint32_t type, pid;
    memcpy(&type, q + 8, 4), memcpy(&pid, q + 12, 4);
    EXPECT_EQ(type, 0u);
    EXPECT_EQ(pid, 400u);
    EXPECT_TRUE(in_tree(400));
    // The exit is still parked, waiting for the exec.
    EXPECT_EQ(uploads(UPLOAD_PROC_EXIT), 0);
    inject(1, proc(401, 400, "/bin/true worker"));
    ASSERT_TRUE(wait_for([] { return uploads(UPLOAD_PROC_EXEC, "\"parent_pid\":400,") == 1; }));
    ASSERT_TRUE(
        advance_until([] { return uploads(UPLOAD_PROC_EXIT, "\"process_id\":401,") == 1; }, 30000));
}

// A wrapper that execs its payload (sh -c 'exec -a "[kworker/0:1]" sleep'): with
// report_every_exec the payload is a creation of its own, once even when its record comes
// again; without, the first image alone. Either way one exit, naming the last image.
TEST_F(TaskE2E, ReExecReportedOnlyWithReportEveryExec) {
    for (bool every : {false, true}) {
        SCOPED_TRACE(every);
        if (every) host_stop();
        start(every ? "report_every_exec = 1\n" : "report_every_exec = 0\n");
        auto f = proc(810, 1, "/bin/sh -c exec -a [kworker/0:1] sleep 1");
        f.s[2] = "/bin/sh";
        inject(1, f);
        ASSERT_TRUE(wait_for([] { return uploads(UPLOAD_PROC_EXEC) == 1; }));
        int64_t execs = kiv_stat_get(TASK_EXEC_EVENT), exits = kiv_stat_get(TASK_EXIT_EVENT);
        f.event_id = 2, f.s[0] = "[kworker/0:1] 1", f.s[2] = "/bin/sleep";
        inject(1, f);
        inject(1, f);  // the same exec's record again
        ASSERT_TRUE(wait_for([&] { return kiv_stat_get(TASK_EXEC_EVENT) == execs + 2; }));
        inject_exit(810, 0);
        ASSERT_TRUE(wait_for([&] { return kiv_stat_get(TASK_EXIT_EVENT) == exits + 1; }));
        EXPECT_TRUE(wait_for([&] {
            return uploads(UPLOAD_PROC_EXEC, "\"process_cmd_line\":\"[kworker/0:1] 1\"") ==
                   (every ? 1 : 0);
        }));
        sensor_exit();  // the exit still waits for its delay: the stop reports it
        EXPECT_EQ(uploads(UPLOAD_PROC_EXEC), every ? 2 : 1);
        EXPECT_EQ(uploads(UPLOAD_PROC_EXEC, "\"process_path\":\"/bin/sleep\""), every ? 1 : 0);
        EXPECT_EQ(uploads(UPLOAD_PROC_EXIT), 1);
        EXPECT_EQ(uploads(UPLOAD_PROC_EXIT, "\"process_path\":\"/bin/sleep\""), 1);
    }
}

// A program run through the dynamic loader, without report_loader_program: reported as the
// loader it executed. (With it, the program it maps: AttackDigest, live; gone, the file its
// command line names: LoaderExec.)
TEST_F(TaskE2E, ProgramRunThroughTheLoaderKeepsItsIdentity) {
    int fd = open("/usr/bin/sleep", O_RDONLY | O_CLOEXEC);
    elf_facts sleep_elf;
    ASSERT_TRUE(fd >= 0 && elf_read_facts(fd, &sleep_elf));
    close(fd);
    char ld[PATH_MAX];
    ASSERT_TRUE(realpath(sleep_elf.interp.c_str(), ld));
    char ld_md5[33];
    ASSERT_EQ(get_file_md5(ld, ld_md5, sizeof ld_md5), 0);
    start("report_loader_program = 0\n");
    auto f = proc(4321, 1, std::string(ld) + " /usr/bin/sleep 60");
    f.s[2] = ld;
    inject(1, f);
    ASSERT_TRUE(wait_for([] { return uploads(UPLOAD_PROC_EXEC) == 1; }));
    EXPECT_EQ(uploads(UPLOAD_PROC_EXEC, "\"process_path\":\"" + std::string(ld) + "\"," +
                                            "\"process_md5\":\"" + ld_md5),
              1);
    EXPECT_EQ(uploads(UPLOAD_PROC_EXEC, "\"loader_path\""), 0);
}

// A queue of 3 slots holds two exits: the third pushes the oldest out at once.
TEST_F(TaskE2E, ExitQueueOverflowUploadsAtOnce) {
    start("exit_upload_wait_list_size = 3\n");
    for (uint32_t pid = 600; pid < 603; pid++)
        inject(1, proc(pid, 1, "/bin/job " + std::to_string(pid)));
    ASSERT_TRUE(wait_for([] { return uploads(UPLOAD_PROC_EXEC) == 3; }));
    for (uint32_t pid = 600; pid < 603; pid++) inject_exit(pid);
    ASSERT_TRUE(wait_for([] { return uploads(UPLOAD_PROC_EXIT) == 1; }));
    EXPECT_EQ(uploads(UPLOAD_PROC_EXIT, "\"process_id\":600,"), 1);
    EXPECT_GE(kiv_stat_get(EXIT_TASK_UPLOAD_QUEUE_FULL_CNT), 1);
}

// A lost exit is fetched when the high ring's failure count moves, not before.
TEST_F(TaskE2E, LostExitsCleanedWhenRingFailureCountChanges) {
    start();
    inject(1, proc(700, 1, "/bin/lost"));
    inject(1, proc(701, 1, "/bin/kept"));
    ASSERT_TRUE(wait_for([] { return in_tree(700) && in_tree(701); }));
    int64_t cleaned = kiv_stat_get(TASK_LOST_EVENT_CLEAN_CNT);
    inject(0, proc(702, 701, "/bin/kept"));
    ASSERT_TRUE(wait_for([] { return in_tree(702); }));
    EXPECT_EQ(kemu_last_control(0x7304, nullptr, 0), -1);  // unchanged count: no query
    ASSERT_EQ(kemu_lose_exit(700, 5700), 0);
    inject(0, proc(703, 701, "/bin/kept"));
    ASSERT_TRUE(wait_for([] { return !in_tree(700); }));
    EXPECT_TRUE(in_tree(701));
    EXPECT_EQ(kiv_stat_get(TASK_LOST_EVENT_CLEAN_CNT), cleaned + 1);
}

// The clean timer asks about liveness only with the tree filled beyond the threshold; the
// processes the kernel does not know are dead and leave the tree.
TEST_F(TaskE2E, CleanTimerLivenessAboveThresholdOnly) {
    start("fork_hash_size = 10\nclean_ftree_threshold = 50\n");
    for (uint32_t pid = 800; pid < 804; pid++) {
        auto rec = build_proc(proc(pid, 1, "/bin/live"));
        ASSERT_EQ(kemu_set_process(rec.data(), rec.size()), 0);
        inject(1, proc(pid, 1, "/bin/live " + std::to_string(pid)));
    }
    ASSERT_TRUE(wait_for([] { return in_tree(803); }));
    advance(16000, 1000);
    EXPECT_EQ(kemu_last_control(0x7304, nullptr, 0), -1);
    for (uint32_t pid = 804; pid < 808; pid++)
        inject(1, proc(pid, 1, "/bin/dead " + std::to_string(pid)));
    ASSERT_TRUE(wait_for([] { return in_tree(807); }));
    for (int i = 0; i < 8 && in_tree(804); i++) advance(16000, 1000);
    unsigned char q[24];
    ASSERT_GT(kemu_last_control(0x7304, q, sizeof q), 0);
    uint32_t type;
    memcpy(&type, q + 8, 4);
    EXPECT_EQ(type, 3u);
    EXPECT_TRUE(in_tree(800));
    EXPECT_FALSE(in_tree(804));
}

// The kernel task configuration after start (command 6, the list checksums packed one list
// after the other) and the stop command when the module stops.
TEST_F(TaskE2E, KernelTaskConfiguration) {
    std::ofstream(tree.task_conf(), std::ios::app)
        << "[black_process]\ncnt = 2\nblack_process_0 = cron\nblack_process_1 = at\n"
        << "[kill_black_process]\ncnt = 5\nkill_black_process_0 = kill\n";
    start("fork_sl_hash_size = 70000\n");
    std::vector<unsigned char> c(128);
    ASSERT_EQ(kemu_last_control(0x7305, c.data(), c.size()), 44 + 12);
    // Command, then the sizes and timeouts, then each list's count, then their checksums.
    std::vector<uint32_t> w(14);
    memcpy(w.data(), c.data(), 14 * 4);
    EXPECT_EQ(w, (std::vector<uint32_t>{6, 1, 65536, 3600, 10, 128, 2, 0, 0, 1, 0,
                                        mordek_crc32("cron", 4), mordek_crc32("at", 2),
                                        mordek_crc32("kill", 4)}));
    kiv_task_exit();
    ASSERT_EQ(kemu_last_control(0x7305, c.data(), c.size()), 4);
    EXPECT_EQ(c[0], 4);
    ASSERT_EQ(kiv_task_init(), 0);  // sensor_exit stops it again
}

TEST(TaskConf, MissingFileFailsWithoutHooks) {
    staged_tree tree;
    task_set_conf_path("/nonexistent/task.conf");
    ASSERT_EQ(kiv_timer_init(), 0);
    EXPECT_EQ(kiv_task_init(), -1);
    EXPECT_EQ(g_msg_hooks[KIV_MOD_TASK][0].handler, nullptr);
    kiv_timer_exit();
}

// The keys with code of their own: a threshold in percent, out of range the 90 its message
// names, and a bound that sizes the kernel's lists.
TEST(TaskConf, DerivedValuesOfTheirKeys) {
    const std::string text = "[task]\nclean_ftree_threshold = 150\nprocess_list_max_cnt = 20000\n";
    ini_file_t *ini = ini_buffer_load(text.data(), (long)text.size());
    kern_task_conf *conf = nullptr;
    ASSERT_EQ(task_cfg_load(ini, &conf), 0);
    EXPECT_EQ((int)(g_task_info.clean_ftree_threshold * 100 + 0.5f), 90);
    EXPECT_EQ(g_task_info.process_list_max_cnt, 10000u);
    EXPECT_EQ(kiv_msize(conf), 44u + 20u * 10000);
    kiv_free(conf);
    ini_file_free(ini);
}

// A size that leaves a table no bucket (size / 5 of 0) cannot make it: the start fails, as any
// table that cannot be made fails it.
TEST_F(TaskE2E, TooSmallTableSizesFailTheStart) {
    staged_tree::set_keys(tree.task_conf(), "fork_hash_size = 4\n");
    kiv_timer_set_source(fake_clock);
    EXPECT_FALSE(host_start(capture));
}

// The filters on real exec records, a list from task.conf.
struct TaskFilterE2E : TaskE2E {
    void set_list(const char *section, const std::string &values) {
        std::ifstream in(tree.task_conf());
        std::string text{std::istreambuf_iterator<char>(in), {}};
        std::string head = std::string("[") + section + "]\ncnt = 0\n";
        text.replace(text.find(head), head.size(), std::string("[") + section + "]\n" + values);
        std::ofstream(tree.task_conf()) << text;
    }
    // Injects execs in order and waits until the collector has taken every one of them.
    static void execs(std::initializer_list<proc_fields> list) {
        int64_t seen = kiv_stat_get(TASK_EXEC_EVENT);
        for (const proc_fields &f : list) inject(1, f);
        ASSERT_TRUE(
            wait_for([&] { return kiv_stat_get(TASK_EXEC_EVENT) == seen + (int64_t)list.size(); }));
        ASSERT_TRUE(wait_for([] {
            struct kemu_ring_stats st;
            return kemu_ring_stats(KEMU_RING_HIGH, &st) == KEMU_OK && st.w == st.r;
        }));
    }
    static int reported(uint32_t pid) {
        return uploads(UPLOAD_PROC_EXEC, "\"process_id\":" + std::to_string(pid) + ",");
    }
};

// A stale exec (its process runs a later image already) is judged by that later image, so a
// filter on the later one holds for it; with exec_digest_wait it is judged, and reported, as
// it ran.
TEST_F(TaskFilterE2E, StaleExecJudgedByTheLaterImageUnlessExecsWait) {
    set_list("cmdline_process", "cnt = 1\ncmdline_process_0 = hidden\n");
    for (uint32_t wait : {0u, 1u}) {
        SCOPED_TRACE(wait);
        if (wait) host_stop();
        start("exec_digest_wait = " + std::to_string(wait) + "\n");
        const uint32_t pid = 470 + wait;
        proc_fields later = proc(pid, 1, "hidden later"), earlier = later;
        later.event_id = 2, earlier.s[0] = "earlier";
        execs({later, earlier, proc(480 + wait, 1, "sentinel")});
        ASSERT_TRUE(wait_for([&] { return reported(480 + wait) == 1; }));
        EXPECT_EQ(reported(pid), (int)wait);
        EXPECT_EQ(uploads(UPLOAD_PROC_EXEC, "\"process_cmd_line\":\"earlier\""), (int)wait);
    }
}

}  // namespace
