// Process filters: which process creations are reported. The black, white, command-line and
// no-filter lists come from task.conf; the repeat filter holds back a command line seen within
// the hour; the creation rate limits cap reports per second and per hour; the upload marks keep
// one process from being reported twice. Also reads the kernel's own lists of task.conf into
// the checksums carried by the kernel task configuration. The state lives in g_task_info.
#pragma once
#include <cstdint>

#include "comm/fhash.h"
#include "comm/keyed_hash.h"
#include "comm/lhash.h"
#include "comm/list.h"
#include "qxkiv/ini.h"
#include "task/fork_tree.h"
#include "task/process.h"
#include "task/task.h"

constexpr int TASK_FILTERED = -10;
constexpr int TASK_FILTER_VALUE_LEN = 32;  // longest list value kept
constexpr uint32_t REDO_KEEP_SEC = 3600;   // a repeat is held back this long
constexpr uint32_t REDO_CLEAN_GAP_SEC = 30;
constexpr uint32_t UPLOAD_MARK_EVICT_LIMIT = 2;  // a full mark table evicts its oldest entry

// Node of the command-line and no-filter lists.
struct filter_node {
    char text[TASK_FILTER_VALUE_LEN + 1];
    list_head list;
};

// A repeat key: the checksum picks the bucket, the keyed hash of the same material decides
// equality, so a chosen command line cannot pass for another by its CRC.
struct redo_key {
    uint32_t crc;
    keyed_hash128 material;
};
struct redo_entry {
    redo_key key;   // first: the table's key points here
    uint32_t time;  // seconds of the cached clock
};

struct upload_mark_entry {
    uint64_t create_time;
    uint32_t pid;
};

// Creates, in this order, the black and white list hashes with their sections
// "black_process" and "white_process", redo_hash_lock and the redo hash, the lists of
// "cmdline_process" and "nofilter_process", upload_mark_hash_lock and the upload mark hash,
// and upload_limit_lock, all in g_task_info, sized by the fields task_cfg_load filled from the
// already loaded task.conf (ini). Then starts sec_limit and hour_limit with the maxima
// task_cfg_load put there. 0, or -1 (logged) with everything it built released.
int task_filter_init(ini_file_t *ini);
// Undoes task_filter_init in reverse; safe after a failed init or without one.
void task_filter_exit();

// Run by the exec handler over the process (slot 0) and its ancestors: 0 report, -10 filtered.
int is_filter_task(const process_st *items, int count);
int black_white_list_filter(const process_st *items, int count);
int black_list_filter(const char *path);
int white_list_filter(const char *path);
int cmdline_filter(const process_st *item);
int redo_filter(const process_st *items, int count);
int filter_vip_list_events(const process_st *item);
int filter_vip_list_no_pram(const char *cmd_line);
int filter_redo_events(fhash *hash, const redo_key &key);
int insert_redo_events_to_table(fhash *hash, const redo_key &key);
// The key of a process and its parent (items[0], items[1]): with whole_cmdline 0 the md5 and
// the first 172 bytes of each command line; otherwise the md5, the whole command line and the
// real and effective user of each.
redo_key redo_key_of(const process_st *items, int count, bool whole_cmdline);
int upload_limit_filter(const process_st *item);

// 1 when the creation of key should be uploaded (and marks it), 0 when it already was.
int proc_need_upload(const ftree_key *key);
// Forgets the mark of key (same pid and create_time), e.g. after a failed upload.
void proc_upload_unmark(const ftree_key *key);

// List loaders; the hash gets each value's CRC-32, the list a node per value. 0 or -1.
int initialize_filter_hash(fhash *hash, ini_file_t *ini, const char *section, uint32_t max);
int initialize_filter_list(list_head *list, ini_file_t *ini, const char *section, uint32_t max);
void free_filter_list(list_head *list);

int task_list_key_cmp_func(const void *key, void *data);
int redo_hash_key_cmp_func(const void *key, void *data);
void redo_hash_data_free_func(void *data);
// fhash_walk callback over the redo hash; context is a redo_clean_ctx.
int del_old_redo_node(void *entry, void *context);
struct redo_clean_ctx {
    fhash *hash;
    uint32_t now;  // seconds
};
int upload_mark_hash_key_cmp(const void *key, void *data);

// Fills the list counts and checksums of conf (which has room for KERN_TASK_LIST_NUM *
// max_cnt values) from the sections g_kern_task_list_sections: at most max_cnt values per
// list, reading a list stops at its first missing key, the lists packed one after another.
// Returns the number of values written.
uint32_t task_kern_list_load(ini_file_t *ini, uint32_t max_cnt, kern_task_conf *conf);
