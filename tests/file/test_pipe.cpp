// Named pipes end to end: create and connect records assembled by hand, through the file
// module's pipe hook, to their lines in the sensor log, within their limits.
#include "aux_e2e.h"
#include "file/pipe.h"

namespace {

struct PipeE2E : AuxE2E {};

TEST_F(PipeE2E, CreateAndConnectPrintedExactlyOtherTypesBuildNothing) {
    start();
    int64_t written = kiv_stat_get(FILE_PIPE_EVENT_UPLOAD_SUC);
    inject(aux_path_rec(19, 300, 5300, "/run/app/ctl.fifo"));
    inject(aux_path_rec(20, 300, 5300, "/run/app/ctl.fifo"));
    ASSERT_TRUE(wait_for([&] { return kiv_stat_get(FILE_PIPE_EVENT_UPLOAD_SUC) == written + 2; }));
    auto p = new_lines("pipe upload: ");
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0], head("PIPE_CREATE", "Pipe Create") + "\"pipe_name\":\"/run/app/ctl.fifo\"," +
                        actor_block(p[0]) + ",\"proc_trees\":[]}}");
    EXPECT_EQ(p[1], head("PIPE_CONNECT", "Pipe Connect") + "\"pipe_name\":\"/run/app/ctl.fifo\"," +
                        actor_block(p[1]) + ",\"proc_trees\":[]}}");

    // The hook is called only for its two types; any other reaching the builder fails there.
    kiv_msg_ctx ctx{};
    aux_bytes other = aux_path_rec(18, 300, 5300, "/run/x");
    int64_t failed = kiv_stat_get(FILE_PIPE_EVENT_UPLOAD_FAIL);
    EXPECT_EQ(pipe_event_handle(reinterpret_cast<char *>(other.data()), &ctx), MSG_HOOK_ACCEPT);
    EXPECT_EQ(kiv_stat_get(FILE_PIPE_EVENT_UPLOAD_FAIL), failed + 1);
    EXPECT_TRUE(new_lines("pipe upload: ").empty());

    // A producer whose length leaves out the NUL, and a host that fills the whole 32-byte time.
    register_host_state_callback(full_time_header);
    inject(aux_path_rec(19, 300, 5300, "/run/app/b.fifo", 15));
    ASSERT_TRUE(wait_for([&] { return kiv_stat_get(FILE_PIPE_EVENT_UPLOAD_SUC) == written + 3; }));
    p = new_lines("pipe upload: ");
    ASSERT_EQ(p.size(), 1u);
    const std::string nines(32, '9');
    EXPECT_EQ(p[0].rfind("{\"send_time\":\"" + nines + "\",", 0), 0u) << p[0];
    EXPECT_NE(p[0].find("\"record_time\":\"" + nines + "\",\"record_timestamp\":"),
              std::string::npos);
    EXPECT_NE(p[0].find("\"pipe_name\":\"/run/app/b.fifo\","), std::string::npos);
}

// The pipe keys reach the shared limiter (its windows: UploadLimit): of five at once the
// hour refuses the fourth and the second the fifth.
TEST_F(PipeE2E, SecondAndHourLimitsFromTheirKeys) {
    start("", "pipe_cnt_second = 3\npipe_cnt_hour = 2\n");
    int64_t sec = kiv_stat_get(FILE_PIPE_UPLOAD_LIMIT_SEC_CNT);
    int64_t hour = kiv_stat_get(FILE_PIPE_UPLOAD_LIMIT_HOUR_CNT);
    for (int i = 0; i < 5; i++) inject(aux_path_rec(19, 300, 5300, "/tmp/p"));
    ASSERT_TRUE(wait_for([&] { return kiv_stat_get(FILE_PIPE_UPLOAD_LIMIT_SEC_CNT) == sec + 1; }));
    EXPECT_EQ(kiv_stat_get(FILE_PIPE_UPLOAD_LIMIT_HOUR_CNT), hour + 1);
    EXPECT_EQ(new_lines("pipe upload: ").size(), 3u);
}

TEST_F(PipeE2E, RecordRunningPastItsEndIsDroppedAndTheNextIsWritten) {
    start();
    int64_t events = kiv_stat_get(FILE_PIPE_EVENT_CNT);
    int64_t written = kiv_stat_get(FILE_PIPE_EVENT_UPLOAD_SUC);
    inject(aux_path_rec(20, 300, 5300, "/tmp/bad", 0x7FFFFFFF));
    inject(aux_path_rec(20, 300, 5300, "/tmp/unterminated", 17, false));
    inject(aux_path_rec(20, 300, 5300, "/tmp/good"));
    ASSERT_TRUE(wait_for([&] { return kiv_stat_get(FILE_PIPE_EVENT_UPLOAD_SUC) == written + 1; }));
    EXPECT_EQ(kiv_stat_get(FILE_PIPE_EVENT_CNT), events + 3);
    std::string log = full_log();
    EXPECT_NE(log.find("drop pipe record: path length runs past the record's end (len 41)"),
              std::string::npos);
    EXPECT_NE(log.find("drop pipe record: path not NUL-terminated inside the record (len 49)"),
              std::string::npos);
    auto p = new_lines("pipe upload: ");
    ASSERT_EQ(p.size(), 1u);
    EXPECT_NE(p[0].find("\"pipe_name\":\"/tmp/good\""), std::string::npos);
}

}  // namespace
