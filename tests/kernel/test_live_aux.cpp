// Library loads, signals and named pipes seen live: the records the stand-in makes of the
// programs' reports, and a child's real activity reaching the sensor log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
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

TEST(LiveAuxRecord, EncodedRecordsDecodeAndLongPathsAreCut) {
    std::vector<unsigned char> b;
    live_aux_path_record(19, 4321, 0xAABBCCDD11223344ull, "/run/x.fifo", 11, b);
    aux_path_record r;
    ASSERT_EQ(aux_path_record_decode(reinterpret_cast<const char *>(b.data()), &r), AUX_DECODE_OK);
    EXPECT_EQ(b.size(), 32u + 12);
    EXPECT_EQ(aux_record_type(reinterpret_cast<const char *>(b.data())), 19);
    EXPECT_EQ(r.pid, 4321u);
    EXPECT_EQ(r.create_time, 0xAABBCCDD11223344ull);
    EXPECT_STREQ(r.path, "/run/x.fifo");

    // The record's length field is 16 bits: a longer path is cut and still terminated.
    std::string huge(70000, 'a');
    live_aux_path_record(3, 1, 2, huge.data(), huge.size(), b);
    ASSERT_EQ(b.size(), 65535u);
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

TEST(LiveAuxRecord, RelativePathsResolvedFromTheCallersView) {
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    int dir = open("/usr", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    std::string out;
    struct Row {
        int dfd;
        const char *path;
        bool ok;
        std::string want;
    };
    for (const Row &r : {Row{AT_FDCWD, "/abs/p", true, "/abs/p"},
                         Row{AT_FDCWD, "rel/p", true, std::string(cwd) + "/rel/p"},
                         Row{dir, "lib/p", true, "/usr/lib/p"}, Row{987654, "p", false, ""}}) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(live_aux_resolve((uint32_t)getpid(), r.dfd, r.path, out), r.ok);
        if (r.ok) EXPECT_EQ(out, r.want);
    }
    close(dir);
    // A process that is gone: nothing to resolve against.
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    EXPECT_FALSE(live_aux_resolve((uint32_t)gone, AT_FDCWD, "p", out));
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

// A child creates and opens a named pipe, signals a sibling and runs a dynamically linked
// program: each becomes a record with the acting process and its create time as its process
// records carry it.
TEST(LiveAuxActivity, ChildPipeSignalAndLibraryLoadRecorded) {
    staged_tree tree{"kernel_mode = userspace\ncollector_task_num = 1\n"};
    kernel_backend_set_live_source(LIVE_SOURCE_EBPF);
    int rc = sensor_init();
    kernel_backend_set_live_source(LIVE_SOURCE_AUTO);
    if (rc != 0) GTEST_SKIP() << "eBPF source unavailable here (root, BTF needed)";
    ulog_save_once();
    if (tree.read("logs/sensor.log").find("pipe programs not running") != std::string::npos) {
        sensor_exit();
        GTEST_SKIP() << "this kernel refused the library-load, signal and pipe programs";
    }
    ASSERT_EQ(register_msg_handler(s_watch_ops, 2), 0);
    g_init_done = 1;
    register_upload_callback([](const char *, uint32_t, int32_t, uint32_t) { return 0; });
    sensor_switch(1);
    char tmpl[] = "/tmp/kivliveaux.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string fifo = dir + "/ctl.fifo";
    // The shell signals its sibling, has mkfifo make the pipe relative to its working
    // directory, opens it both ways (which does not block) and becomes ls.
    pid_t sleeper = live_spawn({"/bin/sleep", "30"});
    ASSERT_GT(sleeper, 0);
    std::string script = "cd \"$1\" && mkfifo ctl.fifo && exec 3<>ctl.fifo && kill -USR1 " +
                         std::to_string(sleeper) + " && exec /bin/ls -d . >/dev/null";
    pid_t child = live_spawn({"/bin/sh", "-c", script, "kivliveaux", dir});
    ASSERT_GT(child, 0);
    int status = -1;
    waitpid(child, &status, 0);
    waitpid(sleeper, nullptr, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto find = [&](auto pred) {
        std::lock_guard g(s_seen_lock);
        for (auto &r : s_seen)
            if (pred(r)) return r;
        return seen_rec{-1, 0, 0, 0, 0, 0, ""};
    };
    auto exec_of = [&](uint32_t pid) {
        return find([&](const seen_rec &r) { return r.type == 1 && r.pid == pid; });
    };
    seen_rec made{}, opened{}, kill{}, shell{}, target{};
    bool libs = false;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         std::chrono::steady_clock::now() < end;) {
        made = find([&](const seen_rec &r) { return r.type == 19 && r.path == fifo; });
        opened = find([&](const seen_rec &r) { return r.type == 20 && r.path == fifo; });
        kill = find(
            [&](const seen_rec &r) { return r.type == 4 && r.killed_pid == (uint32_t)sleeper; });
        shell = exec_of((uint32_t)child);
        target = exec_of((uint32_t)sleeper);
        // The shell's own loads, and those of ls, which replaces it.
        libs = find([&](const seen_rec &r) {
                   return r.type == 3 && r.pid == (uint32_t)child && shell.type == 1 &&
                          r.create_time == shell.create_time &&
                          r.path.find("/libc.so") != std::string::npos;
               }).type == 3;
        if (made.type == 19 && opened.type == 20 && kill.type == 4 && target.type == 1 && libs)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    unregister_msg_handler(s_watch_ops, 2);
    sensor_exit();
    g_init_done = 0;
    unlink(fifo.c_str());
    rmdir(dir.c_str());
    {
        std::lock_guard g(s_seen_lock);
        s_seen.clear();
    }
    ASSERT_EQ(shell.type, 1) << "the shell's exec was not recorded";
    EXPECT_EQ(made.type, 19) << "pipe creation not recorded";
    EXPECT_NE(made.pid, (uint32_t)child);  // mkfifo, not the shell
    ASSERT_EQ(opened.type, 20) << "pipe open not recorded";
    EXPECT_EQ(opened.pid, (uint32_t)child);
    EXPECT_EQ(opened.create_time, shell.create_time);
    ASSERT_EQ(kill.type, 4) << "signal not recorded";
    EXPECT_EQ(kill.pid, (uint32_t)child);
    EXPECT_EQ(kill.create_time, shell.create_time);
    EXPECT_EQ(kill.sig, SIGUSR1);
    ASSERT_EQ(target.type, 1);
    EXPECT_EQ(kill.killed_create_time, target.create_time);
    EXPECT_TRUE(libs) << "no library load of the child with its exec's create time";
}

}  // namespace
