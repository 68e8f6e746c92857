// Library loads and signals end to end: records assembled by hand from their byte layout,
// through the collector and the process module's hooks, to their lines in the sensor log.
// The clock is driven, so the limit windows and the library-load waits are exact.
#include "aux_e2e.h"
#include "kernel/aux_layout.h"
#include "task/aux_sensors.h"

namespace {

TEST(AuxLayout, HandBuiltBytesDecodeAtTheirOffsets) {
    // One byte of misalignment, as in a ring or a parked copy.
    aux_bytes rec = aux_path_rec(3, 0x01020304, 0x1122334455667788ull, "/lib/libz.so.1");
    std::vector<char> buf(rec.size() + 1);
    memcpy(buf.data() + 1, rec.data(), rec.size());
    aux_path_record r;
    ASSERT_EQ(aux_path_record_decode(buf.data() + 1, &r), AUX_DECODE_OK);
    EXPECT_EQ(r.create_time, 0x1122334455667788ull);
    EXPECT_EQ(r.pid, 0x01020304u);
    EXPECT_EQ(r.path_len, 15u);
    EXPECT_STREQ(r.path, "/lib/libz.so.1");

    aux_bytes k = kill_rec(77, 0xA0A0A0A0B0B0B0B0ull, 0xFFFFFFFEu, 0x0102030405060708ull, -9);
    ASSERT_EQ(k.size(), 44u);
    kill_record kr;
    ASSERT_EQ(kill_record_decode(reinterpret_cast<const char *>(k.data()), &kr), AUX_DECODE_OK);
    EXPECT_EQ(kr.create_time, 0xA0A0A0A0B0B0B0B0ull);
    EXPECT_EQ(kr.killed_create_time, 0x0102030405060708ull);
    EXPECT_EQ(kr.pid, 77u);
    EXPECT_EQ(kr.killed_pid, 0xFFFFFFFEu);
    EXPECT_EQ(kr.signal, -9);  // signed
}

TEST(AuxLayout, LengthsAreCheckedAgainstTheRecordsEnd) {
    struct Row {
        const char *what;
        aux_bytes rec;
        int stated_len;  // header len override, -1 keeps the true size
        int want;
    };
    const std::string p = "/tmp/fifo";
    const Row rows[] = {
        {"exact fit: NUL is the last stated byte", aux_path_rec(19, 1, 2, p), -1, AUX_DECODE_OK},
        {"stated length one past the end", aux_path_rec(19, 1, 2, p, (long)p.size() + 2), -1,
         AUX_DECODE_PAST_END},
        {"length near 2^32 does not wrap", aux_path_rec(19, 1, 2, p, 0xFFFFFFF0L), -1,
         AUX_DECODE_PAST_END},
        {"length without the NUL, NUL right after", aux_path_rec(19, 1, 2, p, (long)p.size()), -1,
         AUX_DECODE_OK},
        {"NUL two bytes past the stated length", aux_path_rec(19, 1, 2, p, (long)p.size() - 1), -1,
         AUX_DECODE_NO_NUL},
        {"no terminator at all", aux_path_rec(19, 1, 2, p, (long)p.size(), false), -1,
         AUX_DECODE_NO_NUL},
        {"zero length, empty path", aux_path_rec(19, 1, 2, "", 0), -1, AUX_DECODE_OK},
        {"header shorter than the fixed fields", aux_path_rec(19, 1, 2, p), 31, AUX_DECODE_SHORT},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        aux_bytes b = row.rec;
        if (row.stated_len >= 0) aux_set_len(b, row.stated_len);
        aux_path_record r;
        EXPECT_EQ(aux_path_record_decode(reinterpret_cast<const char *>(b.data()), &r), row.want);
    }
    aux_bytes k = kill_rec(1, 2, 3, 4, 15);
    kill_record kr;
    aux_set_len(k, 43);
    EXPECT_EQ(kill_record_decode(reinterpret_cast<const char *>(k.data()), &kr), AUX_DECODE_SHORT);
}

// ---- end to end -------------------------------------------------------------------------------

struct DlKillE2E : AuxE2E {};

// A signal's document to the byte, its target known to the process tree or gone (the library
// load's shares its head and actor: LoadBeforeItsProcessWaitsThenIsWritten).
TEST_F(DlKillE2E, SignalPrintedExactly) {
    start();
    // A target the process tree knows, and one nobody knows (it has already gone).
    exec(aux_proc(301, "/nonexistent/victim", "victim --wait"));
    int64_t kills = kiv_stat_get(TASK_KILL_EVENT_UPLOAD_SUC);
    inject(kill_rec(300, 5300, 301, 5301, 15));
    inject(kill_rec(300, 5300, 4242, 987654321, -1));
    ASSERT_TRUE(wait_for([&] { return kiv_stat_get(TASK_KILL_EVENT_UPLOAD_SUC) == kills + 2; }));
    auto k = new_lines("kill upload: ");
    ASSERT_EQ(k.size(), 2u);
    std::string victim =
        "\"killed_process_id\":301,\"killed_process_guid\":\"" +
        value_of(k[0], "killed_process_guid") +
        "\",\"killed_process_path\":\"/nonexistent/victim\",\"killed_process_md5\":\"" +
        std::string(32, '0') + "\",\"killed_process_sha256\":\"" + std::string(64, '0') +
        "\",\"killed_process_createtime\":5301,\"killed_process_cmd_line\":\"victim --wait\","
        "\"killed_process_user_name\":\"root\",\"killed_process_group_name\":\"root\",";
    EXPECT_EQ(k[0], head("TASK_KILL", "Task Kill") + "\"signal\":15," + victim + actor_block(k[0]) +
                        ",\"proc_trees\":[]}}");
    // The guid is made from pid and create time: 4242 = 0x1092, 987654321 = 0x3ade68b1.
    std::string gone =
        "\"killed_process_id\":4242,\"killed_process_guid\":\"010923ade68b1\","
        "\"killed_process_path\":\"\",\"killed_process_md5\":\"\",\"killed_process_sha256\":\"\","
        "\"killed_process_createtime\":987654321,\"killed_process_cmd_line\":\"\","
        "\"killed_process_user_name\":\"\",\"killed_process_group_name\":\"\",";
    EXPECT_EQ(k[1], head("TASK_KILL", "Task Kill") + "\"signal\":-1," + gone + actor_block(k[1]) +
                        ",\"proc_trees\":[]}}");
}

TEST_F(DlKillE2E, LoadBeforeItsProcessWaitsThenIsWritten) {
    start();
    dl_load_wait_stats w0 = dl_load_wait_get();
    int64_t waits = kiv_stat_get(TASK_DL_LOAD_EVENT_WAIT_EXEC);
    inject(aux_path_rec(3, 310, 5310, "/lib/early.so"), KEMU_RING_HIGH);
    ASSERT_TRUE(wait_for([&] { return kiv_stat_get(TASK_DL_LOAD_EVENT_WAIT_EXEC) == waits + 1; }));
    EXPECT_EQ(dl_load_wait_get().waiting, w0.waiting + 1);
    exec(aux_proc(310, "/nonexistent/late", "late"));
    EXPECT_TRUE(new_lines("dl load upload: ").empty());  // still parked: no time has passed
    advance(1500);
    ASSERT_TRUE(wait_for([&] { return dl_load_wait_get().waiting == w0.waiting; }));
    auto dl = new_lines("dl load upload: ");
    ASSERT_EQ(dl.size(), 1u);
    EXPECT_EQ(dl[0].rfind(head("DL_LOAD", "Dynamic Library Load") +
                              "\"dl_name\":\"/lib/early.so\",\"process_id\":310,",
                          0),
              0u)
        << dl[0];
    EXPECT_EQ(dl_load_wait_get().given_up, w0.given_up);
}

// Loads of processes that never appear wait three seconds each, then are given up; with
// dl_load_wait_max the waiting ones are bounded, without it (0) every one waits.
TEST_F(DlKillE2E, LoadsOfUnreportedProcessesAreGivenUpAndTheWaitIsBounded) {
    for (uint32_t wait_max : {0u, 2u}) {
        SCOPED_TRACE(wait_max);
        if (wait_max) host_stop();
        start("dl_load_wait_max = " + std::to_string(wait_max) + "\n");
        dl_load_wait_stats w0 = dl_load_wait_get();
        ASSERT_EQ(w0.wait_max, wait_max);
        int64_t limited = kiv_stat_get(TASK_DL_LOAD_UPLOAD_LIMIT_SEC_CNT) +
                          kiv_stat_get(TASK_DL_LOAD_UPLOAD_LIMIT_HOUR_CNT);
        // A process in the tree whose creation was never reported (only its fork was seen):
        // the load is dropped at once, without waiting.
        proc_fields forked = aux_proc(320, "/nonexistent/forked", "forked");
        forked.ppid = 300, forked.parent_create_time = 5300;
        inject(process_record(forked, 0), KEMU_RING_HIGH);
        int64_t loads = kiv_stat_get(TASK_DL_LOAD_EVENT);
        inject(aux_path_rec(3, 320, 5320, "/lib/forked.so"), KEMU_RING_HIGH);
        ASSERT_TRUE(wait_for([&] { return kiv_stat_get(TASK_DL_LOAD_EVENT) == loads + 1; }));
        EXPECT_EQ(dl_load_wait_get().waiting, w0.waiting);

        // Three loads of processes that never appear: with a bound of two the third finds
        // the list full. Each visit of a waiting load counts as an event.
        loads = kiv_stat_get(TASK_DL_LOAD_EVENT);
        for (uint32_t pid : {330u, 331u, 332u})
            inject(aux_path_rec(3, pid, 5000 + pid, "/lib/ghost.so"), KEMU_RING_HIGH);
        ASSERT_TRUE(wait_for([&] { return kiv_stat_get(TASK_DL_LOAD_EVENT) == loads + 3; }));
        const uint32_t waiting = wait_max ? 2u : 3u;
        ASSERT_TRUE(wait_for([&] { return dl_load_wait_get().waiting == waiting; }));
        EXPECT_EQ(dl_load_wait_get().refused_full, w0.refused_full + (wait_max ? 1 : 0));
        for (int second = 1; second <= 2; second++) {
            advance(1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_EQ(dl_load_wait_get().waiting, waiting) << "after " << second << " s";
        }
        advance(1500);
        ASSERT_TRUE(wait_for([&] { return dl_load_wait_get().given_up == w0.given_up + 3; }));
        EXPECT_EQ(dl_load_wait_get().waiting, 0u);
        EXPECT_EQ(kiv_stat_get(TASK_DL_LOAD_EVENT), loads + 3 + 3 * waiting);
        EXPECT_TRUE(new_lines("dl load upload: ").empty());
        EXPECT_EQ(kiv_stat_get(TASK_DL_LOAD_UPLOAD_LIMIT_SEC_CNT) +
                      kiv_stat_get(TASK_DL_LOAD_UPLOAD_LIMIT_HOUR_CNT),
                  limited);
    }
}

// Each sensor's keys reach the shared limiter (its windows: UploadLimit): of five at once
// the hour refuses the fourth and the second the fifth.
TEST_F(DlKillE2E, SecondAndHourLimitsFromTheirKeys) {
    start("dl_load_cnt_second = 3\ndl_load_cnt_hour = 2\nkill_cnt_second = 3\nkill_cnt_hour = 2\n");
    const struct {
        aux_bytes rec;
        uint32_t sec, hour;
        const char *line;
    } sensors[] = {{aux_path_rec(3, 300, 5300, "/lib/l.so"), TASK_DL_LOAD_UPLOAD_LIMIT_SEC_CNT,
                    TASK_DL_LOAD_UPLOAD_LIMIT_HOUR_CNT, "dl load upload: "},
                   {kill_rec(300, 5300, 1, 1, 0), TASK_KILL_UPLOAD_LIMIT_SEC_CNT,
                    TASK_KILL_UPLOAD_LIMIT_HOUR_CNT, "kill upload: "}};
    for (const auto &s : sensors) {
        SCOPED_TRACE(s.line);
        const int64_t sec = kiv_stat_get(s.sec), hour = kiv_stat_get(s.hour);
        for (int i = 0; i < 5; i++) inject(s.rec);
        ASSERT_TRUE(wait_for([&] { return kiv_stat_get(s.sec) == sec + 1; }));
        EXPECT_EQ(kiv_stat_get(s.hour), hour + 1);
        EXPECT_EQ(new_lines(s.line).size(), 3u);
    }
}

TEST_F(DlKillE2E, RecordRunningPastItsEndIsDroppedAndTheNextIsWritten) {
    start();
    int64_t loads = kiv_stat_get(TASK_DL_LOAD_EVENT);
    int64_t written = kiv_stat_get(TASK_DL_LOAD_EVENT_UPLOAD_SUC);
    inject(aux_path_rec(3, 300, 5300, "/lib/bad.so", 200));
    aux_bytes short_kill = kill_rec(300, 5300, 1, 1, 9);
    short_kill.resize(40);
    aux_set_len(short_kill);
    inject(short_kill);
    inject(aux_path_rec(3, 300, 5300, "/lib/good.so"));
    ASSERT_TRUE(wait_for([&] { return kiv_stat_get(TASK_DL_LOAD_EVENT) == loads + 2; }));
    ASSERT_TRUE(wait_for([&] { return kiv_stat_get(TASK_DL_LOAD_EVENT_UPLOAD_SUC) > written; }));
    std::string log = full_log();
    EXPECT_NE(log.find("drop dl load record: path length runs past the record's end (len 44)"),
              std::string::npos);
    EXPECT_NE(log.find("drop kill record: record shorter than its fixed fields (len 40)"),
              std::string::npos);
    auto dl = new_lines("dl load upload: ");
    ASSERT_EQ(dl.size(), 1u);
    EXPECT_NE(dl[0].find("/lib/good.so"), std::string::npos);
}

}  // namespace
