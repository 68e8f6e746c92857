#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "comm/command.h"
#include "comm/timer.h"

namespace {

using clk = std::chrono::steady_clock;

long ms_since(clk::time_point t0) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(clk::now() - t0).count();
}

// Live (non-zombie) processes in group pgid, from /proc/<pid>/stat.
int live_members(pid_t pgid) {
    int n = 0;
    DIR *d = opendir("/proc");
    while (struct dirent *e = d ? readdir(d) : nullptr) {
        char buf[512] = "";
        FILE *f = fopen(("/proc/" + std::string(e->d_name) + "/stat").c_str(), "r");
        if (!f) continue;
        buf[fread(buf, 1, sizeof(buf) - 1, f)] = '\0';
        fclose(f);
        const char *rp = strrchr(buf, ')');  // the command name may hold anything
        char state;
        int ppid, pgrp;
        n += rp && sscanf(rp + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 && pgrp == pgid &&
             state != 'Z';
    }
    if (d) closedir(d);
    return n;
}

// The killed group's orphans are reparented to us and reaped here, so no zombies remain
// even where init does not reap.
bool group_gone(pid_t pgid) {
    for (int i = 0; i < 200 && live_members(pgid) > 0; i++) usleep(10 * 1000);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    return live_members(pgid) == 0;
}

TEST(ExecutePlus, ExitCodeOutputAndEnvironment) {
    char out[256];
    EXPECT_EQ(execute_plus("echo hello; printf \"$LC_ALL\"; exit 3", out, sizeof(out), 5, nullptr),
              3);
    EXPECT_STREQ(out, "hello\nC");
    EXPECT_EQ(execute_plus("kill -9 $$", out, sizeof(out), 5, nullptr), 128 + SIGKILL);
    EXPECT_EQ(execute_plus(nullptr, out, sizeof(out), 5, nullptr), KIV_EXEC_ERR_ARG);
    EXPECT_EQ(execute_plus("true", nullptr, 8, 5, nullptr), KIV_EXEC_ERR_ARG);
    EXPECT_EQ(execute_plus("true", out, 0, 5, nullptr), KIV_EXEC_ERR_ARG);
}

TEST(ExecutePlus, BufferBoundary) {
    char out[4];
    EXPECT_EQ(execute_plus("printf abc", out, sizeof(out), 5, nullptr), 0);  // exact fit
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(execute_plus("printf abcd", out, sizeof(out), 5, nullptr), KIV_EXEC_ERR_OUTFULL);
    EXPECT_STREQ(out, "abc");
    char one[1];
    EXPECT_EQ(execute_plus("exit 0", one, sizeof(one), 5, nullptr), 0);
    EXPECT_STREQ(one, "");
}

// cmd prints its shell's pid (the group id) first; nothing of the group may outlive the call.
void expect_group_stopped(const char *cmd, int limit_sec, int want_rc, long min_ms) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    char out[64];
    auto t0 = clk::now();
    EXPECT_EQ(execute_plus(cmd, out, sizeof(out), limit_sec, nullptr), want_rc);
    EXPECT_GE(ms_since(t0), min_ms);
    EXPECT_LT(ms_since(t0), 5000);
    pid_t pgid = atoi(out);
    ASSERT_GT(pgid, 1);
    EXPECT_TRUE(group_gone(pgid));
}

TEST(ExecutePlus, FloodAndTimeLimitKillTheGroup) {
    expect_group_stopped("echo $$; exec yes", 10, KIV_EXEC_ERR_OUTFULL, 0);

    // The host's SIGCHLD disposition must survive the call.
    struct sigaction ign = {}, before, after;
    ign.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ign, &before);
    expect_group_stopped("echo $$; sleep 100 & sleep 100", 1, KIV_EXEC_ERR_TIMEOUT, 900);
    sigaction(SIGCHLD, &before, &after);
    EXPECT_EQ(after.sa_handler, SIG_IGN);
}

// With TICKSPERMS set, the limit runs on that rate: claiming a fifth of the real rate makes
// a one-second limit pass after about 200 ms. Runs in a fresh process, since the rate is
// fixed once per process.
TEST(ExecutePlus, LimitFollowsTicksPerMs) {
    EXPECT_EXIT(
        {
            uint64_t a = timer_get_ticks();
            usleep(100 * 1000);
            uint64_t per_ms = (timer_get_ticks() - a) / 100;
            setenv("TICKSPERMS", std::to_string(per_ms / 5).c_str(), 1);
            char out[16];
            auto t0 = clk::now();
            int rc = execute_plus("sleep 5", out, sizeof(out), 1, nullptr);
            long took = ms_since(t0);
            fprintf(stderr, "rc=%d took=%ld\n", rc, took);
            _exit(rc == KIV_EXEC_ERR_TIMEOUT && took < 800 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "rc=-104");
}

TEST(ExecuteCmd, StatusAndOutput) {
    char out[4];
    EXPECT_EQ(kiv_execute_cmd("printf 'ab\\ncdef'", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "ab\n");  // cut at size - 1, still a success
    EXPECT_EQ(kiv_execute_cmd("echo x; exit 2", out, sizeof(out)), -1);
    EXPECT_EQ(kiv_execute_cmd("true", nullptr, 0), 0);
    EXPECT_EQ(kiv_execute_cmd("/nonexistent/cmd 2>/dev/null", out, sizeof(out)), -1);
}

}  // namespace
