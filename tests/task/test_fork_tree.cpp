#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/mem.h"
#include "proc_bytes.h"
#include "task/fork_tree.h"

namespace {

std::vector<std::pair<uint32_t, uint64_t>> g_uploaded;
int g_upload_ret = 0;
int upload_double(const fork_info_st *fi) {
    g_uploaded.push_back({fi->pid, fi->create_time});
    return g_upload_ret;
}

class ForkTree : public testing::Test {
  protected:
    static std::vector<int64_t> stats() {
        std::vector<int64_t> v;
        for (uint32_t c = MALLOC_FOR_TASK_EI_LIST_NODE; c <= MALLOC_FOR_TASK_FTREE; c++)
            v.push_back(kiv_stat_get(c));
        v.push_back(kiv_stat_get(MALLOC_LHASH_NODE));
        return v;
    }
    std::vector<int64_t> before_ = stats();
    ftree *t_ = nullptr;

    void SetUp() override {
        g_uploaded.clear();
        g_upload_ret = 0;
        ftree_set_exit_upload(upload_double);
    }
    void TearDown() override {
        ftree_destory(t_);
        ftree_set_exit_upload(nullptr);
        EXPECT_EQ(stats(), before_);
    }

    // The insert's result, or 1 for a record ignored as stale.
    int ins(uint32_t pid, uint64_t ct, uint32_t ppid, uint64_t pct, uint16_t eid, bool exec,
            const char *cmd = "cmd") {
        proc_fields f;
        f.pid = pid, f.create_time = ct, f.ppid = ppid, f.parent_create_time = pct;
        f.event_id = eid, f.s[0] = cmd, f.s[2] = "/bin/x", f.s[3] = "/dev/null";
        auto bytes = build_proc(f);
        static raw_process_buf buf;
        EXPECT_EQ(raw_process_info_decode(bytes.data(), bytes.size(), &buf.info, sizeof buf), 0);
        process_info_st info{};
        info.raw = &buf.info;
        info.flags = exec ? (PROC_INFO_EXEC | PROC_INFO_COMPLETE) : 0;
        ftree_key k{ct, pid};
        int rc = ftree_insert(t_, &k, &info);
        return rc == 0 && (info.flags & PROC_INFO_STALE) ? 1 : rc;
    }
    fork_node *node(uint32_t pid) {
        fork_node *n = nullptr;
        ftree_key k{0, pid};
        return ftree_search(t_, &k, &n) == 0 ? n : nullptr;
    }
    common_proc_info *rec(uint32_t pid) { return node(pid)->fork_info.exec_info; }
    int mark_exit(uint32_t pid) {
        ftree_key k{0, pid};
        node(pid)->fork_info.flags |= FORK_INFO_EXITED;
        return ftree_mark_exit(t_, &k);
    }
};

TEST(TaskEventId, SerialOrderAcrossWrap) {
    struct {
        uint16_t a, b;
        int want;
    } cases[] = {{5, 65530, 1}, {65530, 5, -1}, {40000, 1, -1}, {7, 7, 0},
                 {32766, 0, 1}, {32767, 0, -1}, {0, 32766, -1}, {0, 32767, 1}};
    for (auto &c : cases) EXPECT_EQ(task_event_id_cmp(c.a, c.b), c.want) << c.a << " " << c.b;
}

TEST_F(ForkTree, CreateAndErrorsOfEveryOperation) {
    EXPECT_EQ(ftree_create(512, 4), nullptr);  // no bucket
    t_ = ftree_create(8, 16);
    ASSERT_NE(t_, nullptr);
    ASSERT_EQ(ins(10, 100, 1, 1, 1, true), 0);
    fork_node *n = nullptr;
    ftree_key hit{100, 10}, any{0, 10}, other{999, 10}, none{100, 11};
    EXPECT_EQ(ftree_search(t_, &none, &n), -7);
    EXPECT_EQ(ftree_search(t_, &other, &n), -5);
    EXPECT_EQ(n, node(10));  // still set on a create_time mismatch
    EXPECT_EQ(ftree_search(t_, &any, &n), 0);
    EXPECT_EQ(ftree_delete(t_, &none), -7);
    EXPECT_EQ(ftree_delete(t_, &other), -5);
    EXPECT_EQ(ftree_mark_exit(t_, &other), -5);
    s_enable_malloc = 0;
    EXPECT_EQ(ins(12, 1, 10, 100, 1, false), -3);
    s_enable_malloc = 1;
    EXPECT_EQ(ftree_delete(t_, &hit), 0);
    EXPECT_EQ(t_->exec_info_list->using_cnt, 0);
}

TEST_F(ForkTree, ForkSharesParentRecordAndDeleteMovesEntryChild) {
    t_ = ftree_create(8, 16);
    ASSERT_EQ(ins(10, 100, 1, 1, 1, true), 0);
    for (uint32_t pid : {11, 12, 13}) ASSERT_EQ(ins(pid, pid, 10, 100, 2, false), 0);
    EXPECT_EQ(rec(11), rec(10));
    EXPECT_EQ(rec(10)->ref_cnt, 4u);
    EXPECT_EQ(t_->exec_info_list->using_cnt, 1);
    ASSERT_EQ(node(10)->children, node(11));
    ftree_key k11{11, 11}, k12{12, 12}, k13{13, 13};
    ASSERT_EQ(ftree_delete(t_, &k11), 0);  // the entry child: pointer moves to the next one
    EXPECT_EQ(node(10)->children, node(13));
    ASSERT_EQ(ftree_delete(t_, &k13), 0);
    EXPECT_EQ(node(10)->children, node(12));
    ASSERT_EQ(ftree_delete(t_, &k12), 0);  // the only child
    EXPECT_EQ(node(10)->children, nullptr);
    EXPECT_EQ(rec(10)->ref_cnt, 1u);
    // Deleting a parent leaves its children without a parent entry.
    ASSERT_EQ(ins(14, 14, 10, 100, 3, false), 0);
    ftree_key k10{100, 10};
    ASSERT_EQ(ftree_delete(t_, &k10), 0);
    EXPECT_EQ(node(14)->parent, nullptr);
    EXPECT_EQ(rec(14)->ref_cnt, 1u);
}

TEST_F(ForkTree, PidReuseUploadsQueuedExitFirst) {
    t_ = ftree_create(8, 16);
    ASSERT_EQ(ins(20, 200, 1, 1, 1, true), 0);
    ASSERT_EQ(ins(21, 210, 1, 1, 1, true), 0);
    fork_info_set_exit_upload_state(&node(20)->fork_info, EXIT_UPLOAD_QUEUED);
    g_upload_ret = -1;  // a failed upload is logged, the node still goes
    ASSERT_EQ(ins(20, 201, 1, 1, 2, true), 0);
    ASSERT_EQ(g_uploaded.size(), 1u);
    EXPECT_EQ(g_uploaded[0], std::make_pair(20u, (uint64_t)200));
    EXPECT_EQ(node(20)->fork_info.create_time, 201u);
    EXPECT_EQ(fork_info_exit_upload_state(&node(20)->fork_info), EXIT_UPLOAD_NONE);
    ASSERT_EQ(ins(21, 211, 1, 1, 2, true), 0);  // nothing queued: nothing uploaded
    EXPECT_EQ(g_uploaded.size(), 1u);
    EXPECT_EQ(t_->exec_info_list->using_cnt, 2);
}

TEST_F(ForkTree, StaleAndExitedRecordsAreIgnored) {
    t_ = ftree_create(8, 16);
    ASSERT_EQ(ins(30, 300, 1, 1, 65530, true), 0);
    common_proc_info *first = rec(30);
    ASSERT_EQ(ins(30, 300, 1, 1, 5, true), 0);  // 5 is newer than 65530 across the wrap
    EXPECT_NE(rec(30), first);
    EXPECT_EQ(node(30)->fork_info.task_event_id, 5);
    common_proc_info *second = rec(30);
    ASSERT_EQ(ins(30, 300, 1, 1, 65534, true), 1);  // older: stale, the newer kept
    EXPECT_EQ(rec(30), second);
    ASSERT_EQ(mark_exit(30), 0);
    ASSERT_EQ(ins(30, 300, 1, 1, 6, true), 0);  // exited: ignored
    EXPECT_EQ(rec(30), second);
}

TEST_F(ForkTree, ExecKeepsNewerChildrenAndDetachesOlderOnes) {
    t_ = ftree_create(8, 16);
    ASSERT_EQ(ins(40, 400, 1, 1, 10, true), 0);
    common_proc_info *old_rec = rec(40);
    ASSERT_EQ(ins(41, 410, 40, 400, 9, false), 0);   // forked before the exec
    ASSERT_EQ(ins(42, 420, 40, 400, 12, false), 0);  // forked from the new image
    ASSERT_EQ(ins(43, 430, 42, 420, 13, false), 0);  // its child
    ASSERT_EQ(ins(44, 440, 40, 400, 8, false), 0);
    ASSERT_EQ(ins(40, 400, 1, 1, 11, true), 0);
    common_proc_info *new_rec = rec(40);
    ASSERT_NE(new_rec, old_rec);
    EXPECT_EQ(rec(42), new_rec);
    EXPECT_EQ(rec(43), new_rec);
    EXPECT_EQ(new_rec->ref_cnt, 3u);
    EXPECT_EQ(rec(41), old_rec);
    EXPECT_EQ(rec(44), old_rec);
    EXPECT_EQ(old_rec->ref_cnt, 3u);  // and the prior of 40's exec
    EXPECT_EQ(node(40)->children, node(42));
    EXPECT_EQ(node(42)->siblings.next, &node(42)->siblings);
    EXPECT_EQ(node(41)->parent, nullptr);
    EXPECT_EQ(node(43)->parent, node(42));
}

// The image an exec replaced answers for that exec alone and only while it is the latest; kept
// images make room for new ones before any process is evicted, and a full ring lets the
// oldest go.
TEST_F(ForkTree, ReplacedImagesAreKeptPerExecAndYieldToRoom) {
    t_ = ftree_create(4, 16);
    ASSERT_EQ(ins(70, 700, 1, 1, 1, true), 0);
    common_proc_info *writer = rec(70);
    ASSERT_EQ(ins(70, 700, 1, 1, 2, true), 0);
    common_proc_info *second = rec(70);
    EXPECT_EQ(ftree_prior_image(t_, 70, 700, 2), writer);
    EXPECT_EQ(ftree_prior_image(t_, 70, 700, 3), nullptr);  // another exec
    EXPECT_EQ(ftree_prior_image(t_, 70, 701, 2), nullptr);  // another process on the pid
    ASSERT_EQ(ins(70, 700, 1, 1, 3, true), 0);
    EXPECT_EQ(ftree_prior_image(t_, 70, 700, 3), second);
    EXPECT_EQ(t_->exec_info_list->using_cnt, 3);  // current and two priors
    // Two more processes fill the list: the priors go, no process does.
    ASSERT_EQ(ins(71, 710, 1, 1, 1, true), 0);
    ASSERT_EQ(ins(72, 720, 1, 1, 1, true), 0);
    EXPECT_NE(node(70), nullptr);
    EXPECT_NE(node(71), nullptr);
    EXPECT_NE(node(72), nullptr);
    EXPECT_EQ(ftree_prior_image(t_, 70, 700, 2), nullptr);
    EXPECT_LE(t_->exec_info_list->using_cnt, 4);
    // The ring lets its oldest go once it has gone round.
    ftree_destory(t_);
    t_ = ftree_create(FTREE_PRIOR_SLOTS * 2 + 8, 16);
    for (int i = 1; i <= FTREE_PRIOR_SLOTS + 2; i++)
        ASSERT_EQ(ins(73, 730, 1, 1, static_cast<uint16_t>(i), true), 0);
    EXPECT_EQ(ftree_prior_image(t_, 73, 730, 2), nullptr);
    EXPECT_NE(ftree_prior_image(t_, 73, 730, FTREE_PRIOR_SLOTS + 2), nullptr);
    EXPECT_EQ(t_->exec_info_list->using_cnt, FTREE_PRIOR_SLOTS + 1);
}

// One exec re-points at most 100 descendants forked from its new image; the others are
// detached and keep the old image rather than costing the exec unbounded time.
TEST_F(ForkTree, ExecRepointsAtMostHundredDescendants) {
    t_ = ftree_create(8, 512);
    ASSERT_EQ(ins(50, 500, 1, 1, 10, true), 0);
    common_proc_info *old_rec = rec(50);
    for (uint32_t i = 0; i < 150; i++)
        ASSERT_EQ(ins(1000 + i, 5000 + i, 50, 500, static_cast<uint16_t>(12 + i), false), 0);
    ASSERT_EQ(ins(50, 500, 1, 1, 11, true), 0);
    common_proc_info *new_rec = rec(50);
    int moved = 0, detached = 0;
    for (uint32_t i = 0; i < 150; i++) {
        fork_node *n = node(1000 + i);
        if (n->fork_info.exec_info == new_rec) {
            moved++;
            EXPECT_EQ(n->parent, node(50)) << i;
        } else {
            detached++;
            EXPECT_EQ(n->fork_info.exec_info, old_rec) << i;
            EXPECT_EQ(n->parent, nullptr) << i;
        }
    }
    EXPECT_EQ(moved, 100);
    EXPECT_EQ(detached, 50);
    EXPECT_EQ(new_rec->ref_cnt, 101u);
    EXPECT_EQ(old_rec->ref_cnt, 51u);  // with the prior
}

TEST_F(ForkTree, FullExecListEvictsOldestExitedProcess) {
    t_ = ftree_create(2, 16);
    ASSERT_EQ(ins(50, 500, 1, 1, 1, true), 0);
    ASSERT_EQ(ins(51, 510, 1, 1, 1, true), 0);
    int64_t fails = kiv_stat_get(TASK_FTREE_COMM_INFO_FAIL_CNT);
    EXPECT_EQ(ins(52, 520, 1, 1, 1, true), -8);  // nothing may be evicted
    EXPECT_EQ(node(52), nullptr);
    EXPECT_EQ(kiv_stat_get(TASK_FTREE_COMM_INFO_FAIL_CNT), fails + 1);
    EXPECT_EQ(ins(53, 530, 50, 500, 1, false), 0);  // a fork shares its parent's record
    EXPECT_EQ(rec(53), rec(50));
    ASSERT_EQ(mark_exit(51), 0);
    ASSERT_EQ(mark_exit(53), 0);
    fork_info_set_exit_upload_state(&node(51)->fork_info, EXIT_UPLOAD_QUEUED);
    EXPECT_EQ(ins(52, 520, 1, 1, 1, true), 0);
    EXPECT_EQ(node(51), nullptr);
    EXPECT_NE(node(53), nullptr);  // exited later, and its record is still shared
    EXPECT_EQ(g_uploaded.size(), 1u);
    EXPECT_EQ(t_->exec_info_list->using_cnt, 2);
}

TEST_F(ForkTree, FullHashTakesOnlyExitedNodesAndCountsEveryRefusal) {
    t_ = ftree_create(16, 5);  // one bucket, five nodes
    for (uint32_t pid = 60; pid < 65; pid++) ASSERT_EQ(ins(pid, pid, 1, 1, 1, true), 0);
    int64_t full = kiv_stat_get(TASK_FTREE_FULL_CNT);
    EXPECT_EQ(ins(65, 65, 1, 1, 1, true), -7);
    ASSERT_EQ(ins(66, 66, 62, 62, 2, false), -7);
    EXPECT_EQ(kiv_stat_get(TASK_FTREE_FULL_CNT), full + 2);
    EXPECT_TRUE(t_->hash_full_logged);
    ASSERT_EQ(mark_exit(62), 0);
    ASSERT_EQ(ins(65, 65, 1, 1, 1, true), 0);
    EXPECT_EQ(node(62), nullptr);
    EXPECT_EQ(t_->exec_info_list->using_cnt, 5);
    EXPECT_EQ(kiv_stat_get(TASK_FTREE_FULL_CNT), full + 2);
}

// The memory bound on its own (tables far from full), with 1 KB command lines: a replaced
// image gives way first, then an exited process; a new process or image beyond it is refused
// and counted. Without a bound all of them are kept. The bytes counted are those held.
TEST_F(ForkTree, MemoryBoundTakesReplacedImagesAndExitedNodesFirst) {
    const std::string big(1000, 'c');
    for (bool bounded : {false, true}) {
        SCOPED_TRACE(bounded);
        ftree_destory(t_);
        t_ = ftree_create(64, 64);
        ASSERT_EQ(ins(80, 80, 1, 1, 1, true, big.c_str()), 0);
        if (bounded) t_->mem_max = ftree_mem_bytes(t_) * 7 / 2;  // room for three and a half
        ASSERT_EQ(ins(81, 81, 1, 1, 1, true, big.c_str()), 0);
        ASSERT_EQ(ins(80, 80, 1, 1, 2, true, big.c_str()), 0);  // its first image kept
        ASSERT_EQ(ins(82, 82, 1, 1, 1, true, big.c_str()), 0);
        EXPECT_EQ(ftree_prior_image(t_, 80, 80, 2) != nullptr, !bounded);
        int64_t full = kiv_stat_get(TASK_FTREE_FULL_CNT);
        EXPECT_EQ(ins(83, 83, 1, 1, 1, true, big.c_str()), bounded ? -8 : 0);
        EXPECT_EQ(ins(84, 84, 80, 80, 3, false), 0);  // a fork shares its parent's image
        EXPECT_EQ(kiv_stat_get(TASK_FTREE_FULL_CNT), full + bounded);
        EXPECT_EQ(t_->mem_full_logged, bounded);
        ASSERT_EQ(mark_exit(81), 0);
        EXPECT_EQ(ins(85, 85, 1, 1, 1, true, big.c_str()), 0);
        EXPECT_EQ(node(81) == nullptr, bounded);
        if (bounded) EXPECT_LE(ftree_mem_bytes(t_), t_->mem_max);
        for (uint32_t pid = 80; pid < 86; pid++) {
            ftree_key k{0, pid};
            ftree_delete(t_, &k);
        }
        EXPECT_EQ(t_->mem_nodes, 0u);
        uint64_t held = 0;
        list_head *pos;
        list_for_each(pos, &t_->exec_info_list->head) held +=
            list_entry(pos, ei_list_node, list)->charged;
        EXPECT_EQ(t_->exec_info_list->mem_bytes, held);
    }
    // A bound below one process refuses its node.
    ftree_destory(t_);
    t_ = ftree_create(64, 64);
    t_->mem_max = 1;
    int64_t full = kiv_stat_get(TASK_FTREE_FULL_CNT);
    EXPECT_EQ(ins(90, 90, 1, 1, 1, true), -7);
    EXPECT_EQ(kiv_stat_get(TASK_FTREE_FULL_CNT), full + 1);
}

// An exec that cannot get an image record of its own must not leave the process naming the
// image it shared with its parent: the node goes, and queries describe it from the kernel.
TEST_F(ForkTree, ExecWithoutRoomForItsImageDropsTheStaleNode) {
    t_ = ftree_create(1, 16);
    ASSERT_EQ(ins(70, 700, 1, 1, 1, true), 0);
    ASSERT_EQ(ins(71, 710, 70, 700, 2, false), 0);  // forked: shares 70's image
    ASSERT_EQ(rec(71), rec(70));
    int64_t fails = kiv_stat_get(TASK_FTREE_COMM_INFO_FAIL_CNT);
    EXPECT_EQ(ins(70, 700, 1, 1, 2, true), -8);  // the same image again: the node stays
    EXPECT_NE(node(70), nullptr);
    EXPECT_EQ(ins(71, 710, 70, 700, 3, true, "other"), -8);
    EXPECT_EQ(node(71), nullptr);
    EXPECT_TRUE(t_->list_full_logged);
    EXPECT_EQ(rec(70)->ref_cnt, 1u);
    EXPECT_EQ(kiv_stat_get(TASK_FTREE_COMM_INFO_FAIL_CNT), fails + 2);
}

}  // namespace
