// Two ways to run a shell command: popen for short trusted commands, and execute_plus with
// its own process group, a time limit and a bounded output buffer.
#include "comm/command.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "comm/timer.h"
#include "base/mem.h"
#include "base/log.h"

extern char **environ;

int kiv_execute_cmd(const char *command, char *out, size_t out_size) {
    if (!command) return -1;
    KIV_LOG(4, "cmd:%s\n", command);
    if (out && out_size >= 1) out[0] = '\0';
    FILE *fp = popen(command, "r");
    if (!fp) {
        KIV_LOG(3, "install kernel module failed\n");
        return -1;
    }
    if (out && out_size > 1) {
        size_t used = 0;
        while (used < out_size - 1) {
            size_t room = out_size - used;
            if (!fgets(out + used, room > INT_MAX ? INT_MAX : (int)room, fp)) break;
            used += strlen(out + used);
        }
    }
    int status = pclose(fp);
    if (status == -1) {
        KIV_LOG(3, "exec cmd failed\n");
        return -1;
    }
    int code = (status >> 8) & 0xff;
    if (code != 0) {
        KIV_LOG(3, "cmd(%s) ret failed(%d)\n", command, code);
        return -1;
    }
    return 0;
}

namespace {

constexpr long kPollSleepNs = 10 * 1000 * 1000;
constexpr uint64_t kPollSleepMs = 10;

// Our environment with LC_ALL forced to C, built before fork so that the child makes only
// async-signal-safe calls. The strings stay owned by environ.
char **build_child_env() {
    size_t n = 0;
    for (char **e = environ; e && *e; e++) n++;
    auto **env = static_cast<char **>(kiv_malloc((n + 2) * sizeof(char *), MALLOC_FOR_TMP));
    if (!env) return nullptr;
    size_t j = 0;
    for (char **e = environ; e && *e; e++) {
        if (strncmp(*e, "LC_ALL=", 7) != 0) env[j++] = *e;
    }
    env[j++] = const_cast<char *>("LC_ALL=C");
    env[j] = nullptr;
    return env;
}

[[noreturn]] void run_child(int rfd, int wfd, const char *command, char **env) {
    close(rfd);
    if (wfd != STDOUT_FILENO) {
        dup2(wfd, STDOUT_FILENO);  // the duplicate does not inherit close-on-exec
        close(wfd);
    } else {
        fcntl(wfd, F_SETFD, 0);
    }
    setpgid(0, 0);
    // The host may ignore SIGPIPE or block signals; the command should not inherit that.
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    char *argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>(command),
                    nullptr};
    execve("/bin/sh", argv, env);
    _exit(1);
}

int exit_code(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

enum class drain { more, eof, full, error };

// Reads what the pipe holds now. Output that fills the buffer is "full" whether or not more
// would have followed: the caller cannot tell a complete answer from a cut one. With no room
// at all, any byte of output is.
drain drain_pipe(int fd, char *out, size_t cap, size_t *used) {
    for (;;) {
        ssize_t n;
        if (*used < cap) {
            n = read(fd, out + *used, cap - *used);
            if (n > 0 && (*used += (size_t)n) == cap) return drain::full;
        } else {
            char extra;
            n = read(fd, &extra, 1);
            if (n > 0) return drain::full;
        }
        if (n > 0) continue;
        if (n == 0) return drain::eof;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return drain::more;
        return drain::error;
    }
}

// Runs the started child to its end or to one of the stop conditions; *reaped tells whether
// the child's status was collected.
int supervise(pid_t pid, int rfd, char *out, size_t cap, size_t *used, int timeout_sec,
              bool *reaped) {
    uint64_t limit_ms = timeout_sec > 0 ? (uint64_t)timeout_sec * 1000 : 0;
    uint64_t start = timer_get_ticks();
    uint64_t slept_ms = 0;
    bool eof = false;
    for (;;) {
        if (!eof) {
            drain d = drain_pipe(rfd, out, cap, used);
            if (d == drain::full) return KIV_EXEC_ERR_OUTFULL;
            if (d == drain::error) return KIV_EXEC_ERR_FAILED;
            eof = d == drain::eof;
        }
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            *reaped = true;
            // Output written just before the exit is still in the pipe.
            if (!eof) {
                drain d = drain_pipe(rfd, out, cap, used);
                if (d == drain::full) return KIV_EXEC_ERR_OUTFULL;
            }
            return exit_code(status);
        }
        if (r < 0 && errno != EINTR) return KIV_EXEC_ERR_FAILED;
        // The sleep count only bounds the wait should the tick rate be unusable; it can
        // never end the wait before the real limit has passed.
        if (timer_ticks2ms(timer_get_ticks() - start) >= limit_ms || slept_ms >= limit_ms) {
            return KIV_EXEC_ERR_TIMEOUT;
        }
        struct timespec ts = {0, kPollSleepNs};
        nanosleep(&ts, nullptr);
        slept_ms += kPollSleepMs;
    }
}

}  // namespace

int execute_plus(const char *command, char *out, size_t out_size, int timeout_sec, void *reserved) {
    (void)reserved;
    if (!command || !out || out_size == 0) return KIV_EXEC_ERR_ARG;
    out[0] = '\0';
    timer_init();  // calibrates once per process

    struct sigaction dfl = {}, saved_chld;
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGCHLD, &dfl, &saved_chld);

    int rc;
    int fds[2];
    char **env = nullptr;
    if (pipe2(fds, O_CLOEXEC) != 0) {
        rc = KIV_EXEC_ERR_FAILED;
    } else if (!(env = build_child_env())) {
        close(fds[0]);
        close(fds[1]);
        rc = KIV_EXEC_ERR_FAILED;
    } else {
        pid_t pid = fork();
        if (pid == 0) run_child(fds[0], fds[1], command, env);
        close(fds[1]);
        kiv_free(env);
        if (pid < 0) {
            rc = KIV_EXEC_ERR_FORK;
        } else {
            setpgid(pid, pid);  // also here, so the group exists before we may kill it
            fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
            size_t used = 0;
            bool reaped = false;
            rc = supervise(pid, fds[0], out, out_size - 1, &used, timeout_sec, &reaped);
            out[used] = '\0';
            if (rc < 0 && !reaped) {
                // Stopped early: nothing of the command may outlive the call.
                kill(-pid, SIGKILL);
                int status;
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
            }
        }
        close(fds[0]);
    }
    sigaction(SIGCHLD, &saved_chld, nullptr);
    return rc;
}
