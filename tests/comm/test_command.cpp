#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "comm/command.h"

namespace {

// True once nothing of group pgid is left. Orphans get reparented to us (subreaper) and are
// reaped here, so zombies do not count as survivors.
bool group_gone(pid_t pgid) {
    for (int i = 0; i < 200; i++, usleep(10 * 1000)) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) continue;
        if (kill(-pgid, 0) != 0 && errno == ESRCH) return true;
    }
    return false;
}

TEST(ExecutePlus, ExitCodeOutputAndBoundaries) {
    const std::tuple<const char *, size_t, int, const char *> rows[] = {
        {"echo hello; printf \"$LC_ALL\"; exit 3", 16, 3, "hello\nC"},
        {"kill -9 $$", 16, 128 + SIGKILL, ""},
        {"printf ab", 4, 0, "ab"},  // one byte of room left: a complete answer
        // Output that fills the buffer is full even when nothing more follows, and even when
        // the child has already ended by the time it is read.
        {"printf abc", 4, KIV_EXEC_ERR_OUTFULL, "abc"},
        {"printf abc; sleep 0.2", 4, KIV_EXEC_ERR_OUTFULL, "abc"},
        {"exit 0", 1, 0, ""},
        {"printf a", 1, KIV_EXEC_ERR_OUTFULL, ""},  // no room at all
        {nullptr, 16, KIV_EXEC_ERR_ARG, nullptr},
        {"true", 0, KIV_EXEC_ERR_ARG, nullptr}};
    for (auto [cmd, size, rc, want] : rows) {
        std::vector<char> out(std::max<size_t>(size, 1));  // exact size, for the sanitizer
        EXPECT_EQ(execute_plus(cmd, out.data(), size, 5, nullptr), rc) << cmd;
        if (want) EXPECT_STREQ(out.data(), want) << cmd;
    }
    EXPECT_EQ(execute_plus("true", nullptr, 8, 5, nullptr), KIV_EXEC_ERR_ARG);
}

// cmd prints its shell's pid (the group id) first; nothing of the group may outlive the call.
void expect_group_stopped(const char *cmd, int limit_sec, int want_rc, long min_ms) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    char out[64];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(execute_plus(cmd, out, sizeof(out), limit_sec, nullptr), want_rc);
    long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_TRUE(ms >= min_ms && ms < 5000) << ms;
    ASSERT_GT(atoi(out), 1);
    EXPECT_TRUE(group_gone(atoi(out)));
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

TEST(ExecuteCmd, StatusAndOutput) {
    char out[4];
    EXPECT_EQ(kiv_execute_cmd("printf 'ab\\ncdef'", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "ab\n");  // cut at size - 1, still a success
    EXPECT_EQ(kiv_execute_cmd("echo x; exit 2", out, sizeof(out)), -1);
}

}  // namespace
