// A workload of real child processes with distinct command lines and known exit codes, for
// the live process source's test and benchmark. Half of them last at least hold_ms (they wait
// for the end of their standard input, which stays open that long), half exit at once.
#pragma once
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

struct live_child {
    pid_t pid = -1;
    std::string cmd;  // the command line as /proc shows it, arguments joined by spaces
    int code = 0;     // exit code asked for
    bool lasting = false;
    int status = -1;  // from waitpid
};

// Spawns argv with stdin from fd (or /dev/null for -1) and stdout to stdout_fd if given; the
// child's pid or -1.
inline pid_t live_spawn(const std::vector<std::string> &args, int stdin_fd = -1,
                        int stdout_fd = -1) {
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (stdin_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, stdin_fd, 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&fa, stdout_fd, 1);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

// n children in batches of `batch` run side by side; tags "<prefix>-<i>" keep command lines
// distinct. Every child is reaped before this returns. A lasting batch is held at least
// hold_ms and, when `hold` is given, until hold(kids, first, last) returns.
using live_hold_fn = std::function<void(const std::vector<live_child> &, int, int)>;
inline std::vector<live_child> run_live_workload(int n, int batch, int hold_ms,
                                                 const std::string &prefix,
                                                 const live_hold_fn &hold = {}) {
    std::vector<live_child> kids(n);
    for (int first = 0; first < n; first += batch) {
        int last = std::min(n, first + batch);
        bool lasting = first < n / 2;
        std::vector<int> writers;
        for (int i = first; i < last; i++) {
            live_child &k = kids[i];
            k.lasting = lasting, k.code = i % 256;
            std::string script = lasting ? "read x; exit $1" : "exit $1";
            std::string tag = prefix + "-" + std::to_string(i);
            std::vector<std::string> args = {"/bin/sh", "-c", script, tag, std::to_string(k.code)};
            for (auto &a : args) k.cmd += (k.cmd.empty() ? "" : " ") + a;
            int p[2] = {-1, -1};
            if (lasting && pipe2(p, O_CLOEXEC) != 0) continue;
            k.pid = live_spawn(args, p[0]);
            if (lasting) close(p[0]), writers.push_back(p[1]);
        }
        if (lasting) std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
        if (lasting && hold) hold(kids, first, last);
        for (int w : writers) close(w);
        for (int i = first; i < last; i++)
            if (kids[i].pid > 0) waitpid(kids[i].pid, &kids[i].status, 0);
    }
    return kids;
}
