// The process module's tree, filters and upload path without the rest of start-up: a fork
// tree under ftree_lock, the filter tables, a started module manager whose uploads are kept
// and whose headers are fixed, and the calling thread's query list.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "framework/mod_manager.h"
#include "proc_bytes.h"
#include "qxkiv/ini.h"
#include "qxkiv/process_query.h"
#include "qxkiv/qxkiv.h"
#include "task/task.h"
#include "task/task_filter.h"

inline std::mutex g_upload_mu;
inline std::vector<std::string> g_upload_texts;
inline std::vector<int> g_upload_types;
inline int g_upload_result;  // non-zero: the host refuses

class TaskState : public ::testing::Test {
  protected:
    void SetUp() override {
        g_init_done = 1;
        ASSERT_EQ(
            register_upload_callback([](const char *text, uint32_t len, int32_t type, uint32_t) {
                std::lock_guard<std::mutex> g(g_upload_mu);
                g_upload_texts.emplace_back(text, len), g_upload_types.push_back(type);
                return g_upload_result;
            }),
            0);
        ASSERT_EQ(register_host_state_callback([](upload_header *h) {
                      *h =
                          upload_header{42, "2026-01-02 03:04:05", "uuid-1", "10.0.0.1", "10.0.0.1",
                                        0,  1767323045123ull};
                      return 0;
                  }),
                  0);
        g_upload_texts.clear(), g_upload_types.clear(), g_upload_result = 0;
        auto &t = g_task_info;
        t.process_list_max_cnt = t.vip_list_max_cnt = t.cmdline_list_max_cnt = 16;
        t.redo_hash_size = t.upload_mark_hash_size = 64;
        t.ioctl_max_cnt = t.ioctl_timeout = 1000;
        pthread_rwlock_init(&t.ftree_lock, nullptr);
        pthread_rwlock_init(&t.tm_info_lock, nullptr);
        ASSERT_NE(t.ftree = ftree_create(64, 64), nullptr);
        static const char kConf[] =
            "[black_process]\ncnt=0\n[white_process]\ncnt=0\n[cmdline_process]\ncnt=0\n"
            "[nofilter_process]\ncnt=0\n";
        ini_file_t *ini = ini_buffer_load(kConf, sizeof kConf - 1);
        ASSERT_EQ(task_filter_init(ini), 0);
        ini_file_free(ini);
        g_task_gate.open();
        ASSERT_EQ(_init_process_info(PROC_QUERY_MAX_DEPTH), 0);
    }
    void TearDown() override {
        _free_process_info();
        auto &t = g_task_info;
        g_task_gate.close();
        t.monitor_cnt = 0;
        task_filter_exit();
        ftree_destory(t.ftree);
        t.ftree = nullptr;
        pthread_rwlock_destroy(&t.ftree_lock);
        pthread_rwlock_destroy(&t.tm_info_lock);
    }

    // A kernel process record; root ids keep the name cache out of it.
    static proc_fields proc(uint32_t pid, uint32_t ppid, uint64_t ct, uint64_t pct,
                            const std::string &cmd) {
        proc_fields f;
        f.pid = pid, f.ppid = ppid, f.create_time = ct, f.parent_create_time = pct;
        f.uid[1] = f.gid[1] = 0;
        f.s[FLEX_CMD_LINE] = cmd, f.s[FLEX_PATH] = "/nonexistent/" + std::to_string(pid);
        return f;
    }
    static void insert(const proc_fields &f) {
        std::vector<unsigned char> bytes = build_proc(f);
        raw_process_buf buf;
        ASSERT_EQ(raw_process_info_decode(bytes.data(), bytes.size(), &buf.info, sizeof buf), 0);
        process_info_st info;
        ASSERT_EQ(process_info_init(&info, &buf.info, 1, 1), 0);
        ftree_key key{f.create_time, f.pid};
        rwlock_write_guard g(&g_task_info.ftree_lock);
        ASSERT_EQ(ftree_insert(g_task_info.ftree, &key, &info), 0);
    }
    static std::vector<std::string> uploads() {
        std::lock_guard<std::mutex> g(g_upload_mu);
        return g_upload_texts;
    }
};
