// The fork tree: one node per known process in a bounded list-backed hash keyed by pid, and a
// bounded list of per-image common records shared by a process and the children it forked
// before its next exec. Not locked: callers hold ftree_lock (write for changes, read for
// search and for reading nodes).
#pragma once
#include <cstdint>

#include "comm/lhash.h"
#include "comm/list.h"
#include "comm/queue.h"
#include "task/process.h"

struct exec_info_list {
    list_head head;
    int32_t max_cnt;
    int32_t using_cnt;
    uint64_t mem_bytes;  // of the images held (ei_list_node charged)
};

struct ei_list_node {
    list_head list;
    common_proc_info info;
    uint32_t charged;  // bytes counted in the tree's memory for it
};

struct fork_node {
    list_head siblings;   // circular list of the parent's children; alone it points at itself
    fork_node *children;  // entry point of this node's children, or null
    // The node whose children list holds this one. Kept beside the key lookup so a node is
    // always detached from the list that really holds it, even after its ppid changed.
    fork_node *parent;
    fork_info_st fork_info;
};

// An image an exec replaced, kept a little while: a file event the process made just before
// the exec may reach the collector after it.
struct ftree_prior {
    uint64_t create_time;
    uint32_t pid;
    uint16_t exec_event_id;          // the exec that replaced it
    struct common_proc_info *image;  // holds a reference
};
// Enough for the records of a few seconds' lag behind a busy host's execs.
constexpr int FTREE_PRIOR_SLOTS = 1024;

struct ftree {
    struct exec_info_list *exec_info_list;
    lhash *fork_info_lhash;
    ftree_prior prior[FTREE_PRIOR_SLOTS];  // oldest overwritten first
    uint32_t prior_next;
    // Bytes of the processes held (nodes and their texts; the images' are the list's), and the
    // bound of both (0: none): long command lines fill memory long before the tables are full.
    uint64_t mem_nodes;
    uint64_t mem_max;
    // A full table, list or memory is logged once, and again only after it had room to spare.
    bool hash_full_logged;
    bool list_full_logged;
    bool mem_full_logged;
};

struct ftree_key {
    uint64_t create_time;  // 0 matches whatever node holds the pid
    uint32_t pid;
};

constexpr int FTREE_MULTI_EXEC_QUEUE_SLOTS = 101;
constexpr int FTREE_MULTI_EXEC_MAX = 100;
constexpr int FTREE_EVICT_MAX = 256;
constexpr uint32_t FTREE_EXPIRE_SEC = 600;

ftree *ftree_create(uint32_t exec_list_size, uint32_t fork_hash_size);
// Bytes the tree's processes and images hold, as its memory bound counts them.
inline uint64_t ftree_mem_bytes(const ftree *tree) {
    return tree->mem_nodes + tree->exec_info_list->mem_bytes;
}
void ftree_destory(ftree *tree);
// 0 found; -5 pid held with another create_time (*out still set); -7 unknown pid; -2.
int ftree_search(ftree *tree, const ftree_key *key, fork_node **out);
// 0 inserted, brought up to date, or ignored as stale (info then has PROC_INFO_STALE: the
// node holds a later exec's image already).
int ftree_insert(ftree *tree, const ftree_key *key, process_info_st *info);
int ftree_delete(ftree *tree, const ftree_key *key);
int ftree_mark_exit(ftree *tree, const ftree_key *key);
// The image {create_time, pid} ran before the exec numbered exec_event_id, or null when it is
// no longer kept. Under the tree's lock.
const common_proc_info *ftree_prior_image(const ftree *tree, uint32_t pid, uint64_t create_time,
                                          uint16_t exec_event_id);

exec_info_list *ei_list_create(int32_t max_cnt);
ei_list_node *ei_list_insert(ftree *tree, const process_info_st *info);
int ei_list_delete(exec_info_list *list, ei_list_node *node);

int handle_multi_exec_child(ftree *tree, fork_node *node, common_proc_info *new_record);
void child_node_separa(fork_node *child, fork_node *parent, int *counter, kiv_queue *queue,
                       uint16_t exec_event_id);
// 1 when a is newer than b, -1 when older, 0 when equal (16-bit serial numbers).
int task_event_id_cmp(uint16_t a, uint16_t b);

int ftree_fork_hash_cmp_func(const void *key, void *data);
void ftree_fork_hash_del_func(void *data);

// Uploads the exit record of a node whose exit was queued and which is about to be deleted.
// The task module installs the real one; tests install a double. 0, or non-zero on failure.
typedef int (*ftree_exit_upload_fn)(const fork_info_st *fork_info);
void ftree_set_exit_upload(ftree_exit_upload_fn fn);
