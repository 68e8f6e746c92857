// Library loads, signals and named pipes seen live: the records the stand-in makes of the
// programs' reports, and a child's real activity reaching the sensor log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <mutex>
#include <thread>
#include <csignal>
#include <vector>

#include "framework/hook.h"
#include "framework/mod_manager.h"
#include "kernel/aux_layout.h"
#include "kernel/kernel_if.h"
#include "kernel/capture/common/aux_records.h"
#include "live_workload.h"
#include "log/ulog.h"
#include "qxkiv/qxkiv.h"
#include "staged_tree.h"
#include "startup/startup.h"

namespace {

// One record per type (a path record's fields are decoded from the live pipe and library-load
// records below). The record's length field is 16 bits: a longer path is cut and still
// terminated.
TEST(LiveAuxRecord, EncodedRecordsDecodeAndLongPathsAreCut) {
    std::vector<unsigned char> b;
    aux_path_record r;
    std::string huge(70000, 'a');
    live_aux_path_record(3, 1, 2, huge.data(), huge.size(), b);
    ASSERT_EQ(b.size(), 65535u);
    EXPECT_EQ(aux_record_type(reinterpret_cast<const char *>(b.data())), 3);
    ASSERT_EQ(aux_path_record_decode(reinterpret_cast<const char *>(b.data()), &r), AUX_DECODE_OK);
    EXPECT_EQ(strlen(r.path), 65535u - 33);

    live_aux_kill_record(10, 11, 12, 13, -15, b);
    kill_record k;
    ASSERT_EQ(kill_record_decode(reinterpret_cast<const char *>(b.data()), &k), AUX_DECODE_OK);
    EXPECT_EQ(b.size(), 44u);
    EXPECT_EQ(k.pid, 10u);
    EXPECT_EQ(k.create_time, 11u);
    EXPECT_EQ(k.killed_pid, 12u);
    EXPECT_EQ(k.killed_create_time, 13u);
    EXPECT_EQ(k.signal, -15);
}

// What the live records carried, seen by hooks that run before the sensors' own.
struct seen_rec {
    int type;
    uint32_t pid, killed_pid;
    uint64_t create_time, killed_create_time;
    int sig;
    std::string path;
};
std::mutex s_seen_lock;
std::vector<seen_rec> s_seen;

int watch(char *msg, kiv_msg_ctx *ctx) {
    if (ctx->retry) return MSG_HOOK_ACCEPT;  // a replayed library load was seen already
    seen_rec r{aux_record_type(msg), 0, 0, 0, 0, 0, ""};
    if (r.type == 1) {  // exec: create_time and pid lead the process record
        r.create_time = aux_le64(msg + 16);
        r.pid = aux_le32(msg + 32);
    } else if (r.type == 4) {
        kill_record k;
        if (kill_record_decode(msg, &k) != AUX_DECODE_OK) return MSG_HOOK_ACCEPT;
        r = {4, k.pid, k.killed_pid, k.create_time, k.killed_create_time, k.signal, ""};
    } else {
        aux_path_record a;
        if (aux_path_record_decode(msg, &a) != AUX_DECODE_OK) return MSG_HOOK_ACCEPT;
        r.pid = a.pid, r.create_time = a.create_time, r.path = a.path;
    }
    std::lock_guard g(s_seen_lock);
    s_seen.push_back(r);
    return MSG_HOOK_ACCEPT;
}
const kiv_msg_hook s_watch_ops[] = {
    {{nullptr, nullptr}, (1ull << 1) | (1ull << 3) | (1ull << 4), watch, 0},
    {{nullptr, nullptr}, (1ull << 19) | (1ull << 20), watch, 0},
};

// What one run of the child's activity left: the records of the pipe made and opened, the
// signal, the two execs, and whether a library load of the shell came with its create time.
struct activity {
    seen_rec made{}, opened{}, kill{}, shell{}, target{};
    bool libs = false;
    std::string log;
};

// A child creates and opens a named pipe, signals a sibling and runs a dynamically linked
// program. Returns false (with a reason) when the eBPF source cannot run here.
bool run_activity(const char *conf, activity &a, std::string *skip) {
    staged_tree tree{conf};
    kernel_backend_set_live_source(LIVE_SOURCE_EBPF);
    int rc = sensor_init();
    kernel_backend_set_live_source(LIVE_SOURCE_AUTO);
    if (rc != 0) return *skip = "eBPF source unavailable here (root, BTF needed)", false;
    ulog_save_once();
    if (tree.read("logs/sensor.log").find("programs not running") != std::string::npos) {
        sensor_exit();
        return *skip = "this kernel refused the library-load, signal and pipe programs", false;
    }
    EXPECT_EQ(register_msg_handler(s_watch_ops, 2), 0);
    g_init_done = 1;
    register_upload_callback([](const char *, uint32_t, int32_t, uint32_t) { return 0; });
    sensor_switch(1);
    char tmpl[] = "/tmp/kivliveaux.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string fifo = dir + "/ctl.fifo";
    // The shell signals its sibling, has mkfifo make the pipe relative to its working
    // directory, opens it both ways (which does not block) and becomes ls.
    pid_t sleeper = live_spawn({"/bin/sleep", "30"});
    std::string script = "cd \"$1\" && mkfifo ctl.fifo && exec 3<>ctl.fifo && kill -USR1 " +
                         std::to_string(sleeper) + " && exec /bin/ls -d . >/dev/null";
    pid_t child = live_spawn({"/bin/sh", "-c", script, "kivliveaux", dir});
    int status = -1;
    if (child > 0) waitpid(child, &status, 0);
    if (sleeper > 0) waitpid(sleeper, nullptr, 0);
    EXPECT_TRUE(sleeper > 0 && child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto find = [&](auto pred) {
        std::lock_guard g(s_seen_lock);
        for (auto &r : s_seen)
            if (pred(r)) return r;
        return seen_rec{-1, 0, 0, 0, 0, 0, ""};
    };
    auto exec_of = [&](uint32_t pid) {
        return find([&](const seen_rec &r) { return r.type == 1 && r.pid == pid; });
    };
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         std::chrono::steady_clock::now() < end;) {
        a.made = find([&](const seen_rec &r) { return r.type == 19 && r.path == fifo; });
        a.opened = find([&](const seen_rec &r) { return r.type == 20 && r.path == fifo; });
        a.kill = find(
            [&](const seen_rec &r) { return r.type == 4 && r.killed_pid == (uint32_t)sleeper; });
        a.shell = exec_of((uint32_t)child);
        a.target = exec_of((uint32_t)sleeper);
        // The shell's own loads, and those of ls, which replaces it.
        a.libs = find([&](const seen_rec &r) {
                     return r.type == 3 && r.pid == (uint32_t)child && a.shell.type == 1 &&
                            r.create_time == a.shell.create_time &&
                            r.path.find("/libc.so") != std::string::npos;
                 }).type == 3;
        bool aux = a.made.type == 19 && a.opened.type == 20 && a.libs;
        // Without the system-call programs the signal and the execs are all there is; the
        // pipe and loads of the same child would have been read before its signal.
        if (a.kill.type == 4 && a.target.type == 1 && a.shell.type == 1 &&
            (aux || !strstr(conf, "userspace_syscall_probes = 1")))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    unregister_msg_handler(s_watch_ops, 2);
    sensor_exit();
    g_init_done = 0;
    a.log = tree.read("logs/sensor.log");
    unlink(fifo.c_str());
    rmdir(dir.c_str());
    std::lock_guard g(s_seen_lock);
    s_seen.clear();
    return true;
}

void expect_signal(const activity &a) {
    ASSERT_EQ(a.shell.type, 1) << "the shell's exec was not recorded";
    ASSERT_EQ(a.kill.type, 4) << "signal not recorded";
    EXPECT_EQ(a.kill.pid, a.shell.pid);
    EXPECT_EQ(a.kill.create_time, a.shell.create_time);
    EXPECT_EQ(a.kill.sig, SIGUSR1);
    ASSERT_EQ(a.target.type, 1);
    EXPECT_EQ(a.kill.killed_create_time, a.target.create_time);
}

// With the key on: each activity becomes a record with the acting process and its create
// time as its process records carry it.
TEST(LiveAuxActivity, ChildPipeSignalAndLibraryLoadRecorded) {
    activity a;
    std::string skip;
    if (!run_activity("kernel_mode = userspace\ncollector_task_num = 1\n"
                      "userspace_syscall_probes = 1\n",
                      a, &skip))
        GTEST_SKIP() << skip;
    expect_signal(a);
    EXPECT_EQ(a.made.type, 19) << "pipe creation not recorded";
    EXPECT_NE(a.made.pid, a.shell.pid);  // mkfifo, not the shell
    ASSERT_EQ(a.opened.type, 20) << "pipe open not recorded";
    EXPECT_EQ(a.opened.pid, a.shell.pid);
    EXPECT_EQ(a.opened.create_time, a.shell.create_time);
    EXPECT_TRUE(a.libs) << "no library load of the child with its exec's create time";
    EXPECT_EQ(a.log.find("library-load and pipe programs off"), std::string::npos);
    EXPECT_NE(a.log.find("library-load and pipe programs running on every system call"),
              std::string::npos);
}

// Without it (the shipped setting) the programs on every system call do not run: the log
// says so once, signals are still recorded, library loads and pipes are not.
TEST(LiveAuxActivity, SystemCallProgramsOffByDefault) {
    activity a;
    std::string skip;
    if (!run_activity("kernel_mode = userspace\ncollector_task_num = 1\n", a, &skip))
        GTEST_SKIP() << skip;
    expect_signal(a);
    EXPECT_EQ(a.made.type, -1);
    EXPECT_EQ(a.opened.type, -1);
    EXPECT_FALSE(a.libs);
    size_t at = a.log.find("library-load and pipe programs off (userspace_syscall_probes = 0");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(a.log.find("library-load and pipe programs off", at + 1), std::string::npos);
}

}  // namespace
