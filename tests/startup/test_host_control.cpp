// The host's threads against start and stop: calls into the modules while they stop and
// start again, a stop asked for from inside a callback, and racing starts and stops.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "framework/mod_manager.h"
#include "proc_bytes.h"
#include "qxkiv/digest_cache.h"
#include "qxkiv/kemu.h"
#include "qxkiv/process_query.h"
#include "qxkiv/qxkiv.h"
#include "qxkiv/usr_grp.h"
#include "staged_tree.h"
#include "startup/startup.h"

namespace {

using namespace std::chrono_literals;

proc_fields proc(uint32_t pid, uint32_t ppid) {
    proc_fields f;
    f.pid = pid, f.ppid = ppid;
    f.create_time = 5000 + pid, f.parent_create_time = ppid ? 5000 + ppid : 0;
    f.s[0] = "/bin/true " + std::to_string(pid), f.s[1] = "/", f.s[2] = "/bin/true";
    return f;
}

// An exec record (type 1) in the high ring; refused quietly while the stand-in is down.
void inject_exec(uint32_t pid, uint32_t ppid) {
    std::vector<unsigned char> body = build_proc(proc(pid, ppid));
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(16 + body.size()), w.u16(1), w.u32(pid), w.u32(0);
    w.b.insert(w.b.end(), body.begin(), body.end());
    kemu_inject(KEMU_RING_HIGH, w.b.data(), w.b.size());
}

template <class F>
bool wait_for(F pred) {
    for (int i = 0; i < 500 && !pred(); i++) std::this_thread::sleep_for(10ms);
    return pred();
}

int noop_monitor(const char *, int) {
    return 0;
}

// Every exported entry that reaches module state, called over and over while the modules
// stop and start under it. Each answer must be one the entry may give; the sanitizers catch
// any touch of freed state.
TEST(HostControl, HostCallsAcrossStopAndStart) {
    staged_tree tree{"kernel_mode = emulated\ncollector_task_num = 2\n"};
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0}, calls{0};
    auto host = [&](int id) {
        _init_process_info(16);
        const std::string mon = "host-monitor-" + std::to_string(id);
        char name[33];
        process_st one;
        while (!stop.load()) {
            int q = query_tgid_info_once(100 + id, 0);
            if (q != 0 && q != -1 && q != PROC_QUERY_NOT_RUNNING) bad++;
            int a = _add_app_type(100 + id, "web", 3);
            if (a != 0 && a != -1 && a != -5 && a != -7 && a != PROC_QUERY_NOT_RUNNING) bad++;
            int g = _get_process_info(100 + id, &one);
            if (g != 0 && g != -1) bad++;
            // One call: a start between two calls may change the answer.
            int u = get_username_by_uid(0, name, sizeof name);
            if (u != 0 && u != -1) bad++;
            char md5[33], sha[65];
            int d = get_binhash_info("/bin/true", md5, sizeof md5, sha, sizeof sha, nullptr);
            if (d != 0 && d != -1) bad++;
            if (_register_process_monitor(mon.c_str(), 0, noop_monitor) == 0)
                _delete_process_monitor(mon.c_str());
            calls++;
        }
        _free_process_info();
    };
    std::vector<std::thread> hosts;
    for (int i = 0; i < 3; i++) hosts.emplace_back(host, i);
    for (int round = 0; round < 10; round++) {
        ASSERT_EQ(sensor_init(), 0) << round;
        sensor_switch(1);
        for (uint32_t pid = 100; pid < 103; pid++) inject_exec(pid, 1);
        std::this_thread::sleep_for(40ms);
        sensor_exit();
    }
    stop = true;
    for (auto &t : hosts) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(calls.load(), 6);
    // Stopped for good: every entry refuses cleanly.
    EXPECT_EQ(query_tgid_info_once(100, 0), PROC_QUERY_NOT_RUNNING);
    EXPECT_EQ(_add_app_type(100, "web", 3), PROC_QUERY_NOT_RUNNING);
    EXPECT_EQ(_register_process_monitor("late", 0, noop_monitor), -1);
}

std::atomic<int> s_callbacks{0};
std::atomic<int> s_switch_from_callback{-100};
int stopping_upload(const char *, uint32_t, int32_t, uint32_t) {
    // A host that stops (or switches) from inside its callback: the stop would join the very
    // thread that runs this.
    exit_mod_manager();
    s_switch_from_callback = set_module(1);
    s_callbacks++;
    return 0;
}

TEST(HostControl, StopFromInsideCallbackIsRefused) {
    staged_tree tree{"kernel_mode = emulated\ncollector_task_num = 1\n"};
    g_init_done = 0;  // a start is once per process; these tests may share one
    ASSERT_EQ(init_mod_manager(), 0);
    ASSERT_EQ(register_upload_callback(stopping_upload), 0);
    ASSERT_EQ(set_module(1), 0);
    inject_exec(300, 1);
    ASSERT_TRUE(wait_for([] { return s_callbacks.load() > 0; }));
    EXPECT_TRUE(sensor_running());
    EXPECT_EQ(s_switch_from_callback.load(), 0);
    EXPECT_EQ(kemu_delivery(), 1);
    // The sensor still works after the refusal.
    inject_exec(301, 1);
    EXPECT_TRUE(wait_for([] { return s_callbacks.load() > 1; }));
    exit_mod_manager();
    EXPECT_FALSE(sensor_running());
    EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);
    EXPECT_EQ(set_module(1), -1);  // nothing left to switch
}

TEST(HostControl, RacingStartsAndStopsAreSerialised) {
    staged_tree tree{"kernel_mode = emulated\ncollector_task_num = 1\n"};
    g_init_done = 0;
    std::atomic<int> go{0};
    std::vector<int> results(4, -100);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            results[i] = init_mod_manager();
        });
    go = 1;
    for (auto &t : threads) t.join();
    EXPECT_EQ(std::set<int>(results.begin(), results.end()), std::set<int>{0});
    EXPECT_TRUE(sensor_running());
    threads.clear();
    go = 0;
    for (int i = 0; i < 3; i++)
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            if (i == 0)
                exit_mod_manager();
            else
                set_module(1);
        });
    go = 1;
    for (auto &t : threads) t.join();
    EXPECT_FALSE(sensor_running());
    EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);
}

}  // namespace
