#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include "base/mem.h"
#include "task/task_record.h"
#include "task_fixture.h"

namespace {

const std::string kHead =
    R"({"send_time":"2026-01-02 03:04:05","send_timestamp":1767323045123,"host_uuid":"uuid-1",)"
    R"("host_ip":"10.0.0.1","ip_list":"10.0.0.1","seq_id":"42","app_name":"opx-linux",)"
    R"("message":{"record_time":"2026-01-02 03:04:05","record_timestamp":1767323045123,)";

const std::string kChild =
    R"("event_id":"PROCESS_CREATION","event_name":"Process Creation","process_id":4660,)"
    R"("process_guid":"0123400000001python3 -c \"x\"","process_path":"/usr/bin/python3",)"
    R"("process_md5":"00112233445566778899aabbccddeeff","process_sha256":"e",)"
    R"("process_createtime":9.00719925474099e+15,"process_cmd_line":"python3 -c \"x\"",)"
    R"("process_user_name":"root","current_dir":"/root","process_group_name":"wheel",)"
    R"("process_fd0":"/dev/pts/0","process_fd1":"pipe:[1]","process_xdg_session_id":3,)"
    R"("process_ruid":0,"process_euid":1,"process_suid":2,"process_fuid":-1,"process_rgid":4,)"
    R"("process_egid":5,"process_sgid":6,"process_gfuid":7,"process_path_permit":"rwxr-xr-x",)"
    R"("process_owner_id":8,"container_id":"host",)";

const std::string kParent =
    R"("parent_pid":1,"parent_pguid":"","parent_ppath":"","parent_pmd5":"","parent_psha256":"",)"
    R"("parent_createtime":0,"parent_pcmd_line":"","parent_puser_name":"","parent_papp_type":"web",)"
    R"("parent_pgroup_name":"","parent_pruid":-1,"parent_peuid":-1,"parent_psuid":-1,)"
    R"("parent_pfuid":-1,"parent_prgid":-1,"parent_pegid":-1,"parent_psgid":-1,)"
    R"("pparent_pgfuid":-1,"parent_ppath_permit":"","parent_powner_id":-1,)";

class TaskRecord : public TaskState {
  protected:
    // Slot 0 fully set but for one unset id; slot 1 only initialised (every id unset).
    void SetUp() override {
        TaskState::SetUp();
        process_st_init(&slots[0]), process_st_init(&slots[1]);
        process_st &p = slots[0];
        p.pid = 0x1234;
        p.createtime = (1ull << 53) + 1;  // printed as cJSON prints the double it becomes
        strcpy(p.cmd_line, "python3 -c \"x\"");
        process_guid_build(p.guid, 0x1234, p.createtime, p.cmd_line, strlen(p.cmd_line));
        strcpy(p.path, "/usr/bin/python3"), strcpy(p.md5, "00112233445566778899aabbccddeeff");
        strcpy(p.sha256, "e"), strcpy(p.user_name, "root"), strcpy(p.group_name, "wheel");
        strcpy(p.current_dir, "/root"), strcpy(p.fd0, "/dev/pts/0"), strcpy(p.fd1, "pipe:[1]");
        strcpy(p.path_permit, "rwxr-xr-x");
        p.xdg_session_id = 3;
        for (uint32_t i = 0; i < 9; i++) p.ids[i] = i == 3 ? 0xffffffffu : i;
        slots[1].pid = 1;
        strcpy(slots[1].app_type, "web");
    }
    process_st slots[2];
};

TEST_F(TaskRecord, CreationPrintsEveryKeyInOrderAndFailsWhole) {
    int64_t ok = kiv_stat_get(TASK_CREATE_UPLOAD_SUC_CNT);
    int64_t fail = kiv_stat_get(TASK_CREATE_UPLOAD_FAIL_CNT);
    ASSERT_EQ(upload_task_create_event(slots, 2, UPLOAD_ITEMS_ARRAY), 0);
    const process_st *ptrs[2] = {&slots[0], &slots[1]};
    ASSERT_EQ(upload_task_create_event(ptrs, 1, UPLOAD_ITEMS_PTRS), 0);  // no parent keys
    slots[1].pid = 0;  // an empty slot ends the ancestry
    ASSERT_EQ(upload_task_create_event(slots, 2, UPLOAD_ITEMS_ARRAY), 0);
    slots[0].pid = 0;
    EXPECT_EQ(upload_task_create_event(slots, 2, UPLOAD_ITEMS_ARRAY), -1);
    slots[0].pid = 5;
    g_upload_result = 1;  // the host refuses
    EXPECT_EQ(upload_task_create_event(slots, 2, UPLOAD_ITEMS_ARRAY), -1);

    auto docs = uploads();
    ASSERT_EQ(docs.size(), 4u);
    EXPECT_EQ(docs[0], kHead + kChild + kParent + R"("proc_trees":[]}})");
    EXPECT_EQ(docs[1], kHead + kChild + R"("proc_trees":[]}})");
    EXPECT_EQ(docs[2], docs[1]);
    EXPECT_EQ(g_upload_types[0], UPLOAD_PROC_EXEC);
    EXPECT_EQ(kiv_stat_get(TASK_CREATE_UPLOAD_SUC_CNT), ok + 3);
    EXPECT_EQ(kiv_stat_get(TASK_CREATE_UPLOAD_FAIL_CNT), fail + 2);
}

TEST_F(TaskRecord, TreeObjectKeysInOrder) {
    cJSON *arr = cJSON_CreateArray();
    ASSERT_EQ(format_tree_info(arr, &slots[1]), 0);
    char *text = cJSON_PrintUnformatted(arr);
    EXPECT_STREQ(text, R"([{"process_id":1,"process_guid":"","process_path":"","process_md5":"",)"
                       R"("process_sha256":"","process_cmd_line":"","process_user_name":"",)"
                       R"("process_app_type":"web","process_ruid":-1,"process_euid":-1,)"
                       R"("process_suid":-1,"process_fuid":-1,"process_rgid":-1,"process_egid":-1,)"
                       R"("process_sgid":-1,"process_gfuid":-1,"process_path_permit":"",)"
                       R"("process_owner_id":-1,"process_group_name":""}])");
    cJSON_free(text);
    cJSON_Delete(arr);
    cJSON *obj = cJSON_CreateObject();
    EXPECT_DEATH(format_proc_tree(obj, 2), "assert \"0\" failed");
    cJSON_Delete(obj);
}

}  // namespace
