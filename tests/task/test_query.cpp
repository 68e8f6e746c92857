#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "base/mem.h"
#include "comm/json_add.h"
#include "framework/mod_manager.h"
#include "framework/ring.h"
#include "kernel/kernel_if.h"
#include "qxkiv/kemu.h"
#include "task/kernel_query.h"
#include "task/query.h"
#include "task/task_record.h"
#include "task_fixture.h"

namespace {

class Query : public TaskState {
  protected:
    void SetUp() override {
        TaskState::SetUp();
        ASSERT_EQ(kernel_backend_start(KERNEL_MODE_EMULATED), 0);
        ASSERT_EQ(kiv_open_dev("/dev/qx_sensor"), 0);
        task_drv_limit_reset();
        chain();
    }
    // A chain 10 <- 11 <- 12 <- 13 whose root was forked by init.
    static void chain() {
        insert(proc(10, 1, 100, 1, "init-child"));
        for (uint32_t pid = 11; pid <= 13; pid++)
            insert(proc(pid, pid - 1, pid * 10, (pid - 1) * 10, "cmd" + std::to_string(pid)));
    }
    void TearDown() override {
        kiv_close_dev();
        kernel_backend_stop();
        TaskState::TearDown();
    }
    static void kernel_knows(const proc_fields &f) {
        auto b = build_proc(f);
        ASSERT_EQ(kemu_set_process(b.data(), (uint32_t)b.size()), 0);
    }
    static int pid_at(int i) {
        process_st *p = _pick_process_info(i);
        return p ? p->pid : -100;
    }
};

TEST_F(Query, AncestryFromTheTreeIsPickedAndReportedOnce) {
    ASSERT_EQ(query_tgid_info(13, 130, 16), 0);
    EXPECT_EQ(pid_at(0), 13);
    EXPECT_EQ(pid_at(1), 12);
    EXPECT_EQ(pid_at(3), 10);
    EXPECT_EQ(pid_at(4), -100);  // the walk stops below init

    // Refusals leave the last results alone.
    ASSERT_EQ(query_tgid_info_once(13, 0), 0);
    ASSERT_EQ(query_tgid_info_once(12, 0), 0);
    EXPECT_EQ(query_tgid_info(1, 0, 16), PROC_QUERY_INIT_ANCESTOR);
    EXPECT_EQ(query_tgid_info(-1, 0, 16), PROC_QUERY_BAD_ARG);
    EXPECT_EQ(query_tgid_info(12, 0, 0), PROC_QUERY_BAD_ARG);
    EXPECT_EQ(query_tgid_info_once(999, 0), -1);   // neither in the tree nor in the kernel
    EXPECT_EQ(query_tgid_info_once(13, 999), -1);  // the pid is held by another process
    g_task_gate.close();
    EXPECT_EQ(query_tgid_info(13, 0, 16), PROC_QUERY_NOT_RUNNING);
    EXPECT_EQ(pid_at(0), 12);
    EXPECT_EQ(pid_at(1), -100);  // a once query has depth 1

    // A query reports a never-reported process once, with the parent it was asked for.
    auto docs = uploads();
    ASSERT_EQ(docs.size(), 2u);
    EXPECT_NE(docs[0].find(R"("process_id":13,)"), std::string::npos);
    EXPECT_NE(docs[0].find(R"("parent_pid":12,)"), std::string::npos);
    EXPECT_NE(docs[1].find(R"("process_id":12,)"), std::string::npos);
    EXPECT_EQ(docs[1].find("parent_pid"), std::string::npos);
}

// A child of init gets the same answer whether its ancestry comes from the kernel (which
// reports init too) or from the tree; init itself is never queried. (The kernel's answer
// completing an ancestry stays in the tree: TaskE2E.UnknownParentAndExitBeforeExec.)
TEST_F(Query, ChildOfInitAnsweredAlikeByKernelAndTree) {
    kernel_knows(proc(1, 0, 1, 0, "init"));
    kernel_knows(proc(600, 1, 6000, 1, "svc"));
    for (int ask = 0; ask < 2; ask++) {
        ASSERT_EQ(query_tgid_info_once(600, 0), 0) << ask;
        EXPECT_EQ(pid_at(0), 600);
        EXPECT_EQ(pid_at(1), -100);
    }
}

TEST_F(Query, ThreadStorageIsPrivate) {
    ASSERT_EQ(query_tgid_info(11, 0, 16), 0);
    proc_tree *exec_tree = task_exec_tree_get();
    task_exec_tree_put(exec_tree);  // the thread's own tree stays
    EXPECT_EQ(task_exec_tree_get(), exec_tree);

    std::thread([&] {
        EXPECT_EQ(is_proc_tree_init(), 0);
        EXPECT_EQ(query_tgid_info_once(13, 0), -1);  // no list on this thread
        EXPECT_NE(task_exec_tree_get(), exec_tree);
        // A wider list: 20 results give 16 tree objects, and popping leaves the other 4.
        ASSERT_EQ(_init_process_info(24), 0);
        for (uint32_t pid = 20; pid < 40; pid++) insert(proc(pid, pid + 1, pid, pid + 1, "c"));
        uint32_t pids[20];
        for (int i = 0; i < 20; i++) pids[i] = 20 + i;
        ASSERT_EQ(query_process(pids, 0, 20, 0), 0);
        cJSON *obj = cJSON_CreateObject();
        ASSERT_EQ(format_proc_tree(obj, PROC_TREE_PICK), 0);
        EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(obj, "proc_trees")), 16);
        EXPECT_EQ(pid_at(0), 20);
        // The text writer gives the tree's bytes, and picking leaves the results too.
        char *printed = cJSON_PrintUnformatted(obj);
        std::string text;
        json_text_obj o(text);
        proc_trees_text(o, PROC_TREE_PICK);
        o.close();
        EXPECT_EQ(text, printed);
        cJSON_free(printed);
        EXPECT_EQ(pid_at(0), 20);
        cJSON_Delete(obj);
        ASSERT_EQ(format_proc_tree(obj = cJSON_CreateObject(), PROC_TREE_POP), 0);
        cJSON_Delete(obj);
        for (int pid = 36; pid < 40; pid++) EXPECT_EQ(_pop_process_info()->pid, pid);
        _free_process_info();
        EXPECT_EQ(_pop_process_info(), nullptr);
    }).join();
    EXPECT_EQ(pid_at(0), 11);  // untouched by the other thread
}

int s_monitor_calls;
int count_monitor(const char *path, int flag) {
    return s_monitor_calls += strcmp(path, "/bin/x") == 0 && flag == 1;
}

TEST_F(Query, MonitorRegistryAndAppTypes) {
    EXPECT_EQ(_register_process_monitor(std::string(32, 'm').c_str(), 0, count_monitor), -1);
    EXPECT_EQ(_delete_process_monitor("never"), -1);
    for (int i = 0; i < TASK_MONITOR_MAX; i++)
        ASSERT_EQ(
            _register_process_monitor(("m" + std::to_string(i)).c_str(), i % 2, count_monitor), 0);
    EXPECT_EQ(_register_process_monitor("extra", 0, count_monitor), -1);  // full
    EXPECT_EQ(_delete_process_monitor("m0"), 0);
    EXPECT_EQ(_register_process_monitor("m2", 0, count_monitor), -1);  // still there
    exec_cap_process_cb("/bin/x", 1, 0);
    EXPECT_EQ(s_monitor_calls, 15);  // the even names but m0

    EXPECT_EQ(_add_app_type(13, std::string(129, 'a').c_str(), 129), PROC_QUERY_BAD_ARG);
    EXPECT_EQ(_add_app_type(999, "web", 3), -1);
    ASSERT_EQ(_add_app_type(13, "web", 3), 0);
    ASSERT_EQ(query_tgid_info(13, 0, 3), 0);
    EXPECT_STREQ(_pick_process_info(0)->app_type, "web");
    EXPECT_STREQ(_pick_process_info(1)->app_type, "web");
    EXPECT_STREQ(_pick_process_info(2)->app_type, "");
    // Tagged again the same: nothing changes; a shorter tag is another, and both levels get it.
    ASSERT_EQ(_add_app_type(13, "web", 3), 0);
    ASSERT_EQ(_add_app_type(13, "we", 2), 0);
    ASSERT_EQ(query_tgid_info(13, 0, 2), 0);
    EXPECT_STREQ(_pick_process_info(0)->app_type, "we");
    EXPECT_STREQ(_pick_process_info(1)->app_type, "we");
}

}  // namespace
