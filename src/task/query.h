// Process query service: the calling thread's result list filled from the fork tree, with the
// kernel as fallback, and the per-thread ancestry of an exec. Exported calls are in
// qxkiv/process_query.h.
#pragma once
#include <cstddef>
#include <cstdint>

#include "qxkiv/process_query.h"
#include "task/process.h"

// The record hosts see in qxkiv/process_query.h is this one, field for field.
#define KIV_SAME_PROCESS_ST_FIELD(f)                                           \
    static_assert(offsetof(process_st, f) == offsetof(process_st_public, f) && \
                      sizeof(process_st::f) == sizeof(process_st_public::f),   \
                  "process_st." #f " differs from the published layout")
KIV_SAME_PROCESS_ST_FIELD(guid);
KIV_SAME_PROCESS_ST_FIELD(createtime);
KIV_SAME_PROCESS_ST_FIELD(pid);
KIV_SAME_PROCESS_ST_FIELD(ppid);
KIV_SAME_PROCESS_ST_FIELD(current_dir);
KIV_SAME_PROCESS_ST_FIELD(path);
KIV_SAME_PROCESS_ST_FIELD(md5);
KIV_SAME_PROCESS_ST_FIELD(sha256);
KIV_SAME_PROCESS_ST_FIELD(cmd_line);
KIV_SAME_PROCESS_ST_FIELD(user_name);
KIV_SAME_PROCESS_ST_FIELD(app_type);
KIV_SAME_PROCESS_ST_FIELD(ids);
KIV_SAME_PROCESS_ST_FIELD(path_permit);
KIV_SAME_PROCESS_ST_FIELD(xdg_session_id);
KIV_SAME_PROCESS_ST_FIELD(group_name);
KIV_SAME_PROCESS_ST_FIELD(fd0);
KIV_SAME_PROCESS_ST_FIELD(fd1);
KIV_SAME_PROCESS_ST_FIELD(flags);
KIV_SAME_PROCESS_ST_FIELD(container_id);
#undef KIV_SAME_PROCESS_ST_FIELD
static_assert(sizeof(process_st) == sizeof(process_st_public));
static_assert(PROCESS_ST_FLAG_EXITED == PROCESS_ST_EXITED);

struct proc_tree;

int inner_query_process_info(int pid, uint64_t create_time, int depth, int attempts, int is_tgid);
// Pids of the process and its ancestors, nearest first, completed from the kernel when the
// tree runs out before pid 1; the count, or -1.
int pid_tree_get(uint32_t pid, uint64_t create_time, uint32_t *out, int max, int use_kernel);
int get_pid_tgid(int pid);
// Refills the calling thread's list for pids[0..count) and uploads the creation of pids[0]
// when upload is set and it was never reported. 0, -1 or -2.
int query_process(const uint32_t *pids, uint64_t create_time, int count, int upload);
int query_process_one(uint32_t pid, process_st *out, int use_kernel);
// Next free result node, emptied and marked in use; null when the list is full or missing.
process_st *get_tree_node();

// Decodes one process record of a kernel answer into *buf, enriches it into *info (which
// points into *buf) and inserts it into the fork tree; *kept (if given) says whether the tree
// took it. 0; -1 when it could not be enriched (buf->info is decoded); -2 when the bytes are
// malformed.
int ftree_insert_drv_record(const unsigned char *bytes, size_t len, raw_process_buf *buf,
                            process_info_st *info, bool *kept = nullptr);

// Runs the monitors of one type with the executable path.
void exec_cap_process_cb(const char *path, int flag, uint32_t type);

// The calling thread's exec ancestry: allocated once per thread and reused by every exec, so
// an exec storm allocates nothing per event. Null only when the allocation fails.
proc_tree *task_exec_tree_get();
// Ends one exec's use of its ancestry; a tree that is not the thread's own is freed.
void task_exec_tree_put(proc_tree *tree);
