// The process module: state, configuration, start and stop, the fork/exec/exit hooks and the
// exit upload queue.
#pragma once
#include <pthread.h>

#include "comm/pthread_guard.h"

#include <cstdint>

#include "comm/entry_gate.h"
#include "comm/fhash.h"
#include "comm/lhash.h"
#include "comm/list.h"
#include "comm/queue.h"
#include "comm/upload_limit.h"
#include "framework/hook.h"
#include "qxkiv/ini.h"
#include "task/binhash.h"
#include "task/fork_tree.h"
#include "task/process.h"

struct kiv_timer;

typedef int (*process_monitor_cb)(const char *path, int flag);

constexpr int TASK_MONITOR_MAX = 32;
constexpr int TASK_MONITOR_NAME_LEN = 32;

struct process_monitor_entry {
    char name[TASK_MONITOR_NAME_LEN];
    uint32_t type;
    process_monitor_cb callback;
};

// One exit waiting in the upload queue.
struct exit_upload_entry {
    uint64_t create_time;
    uint32_t pid;
    uint32_t enqueue_time;  // cached clock, seconds
};
static_assert(sizeof(exit_upload_entry) == 16);

struct task_info {
    kiv_timer *clean_ftree_timer;
    kiv_timer *exit_upload_timer;
    fhash *black_list;
    fhash *white_list;
    list_head cmdline_list;
    list_head vip_list;

    uint32_t binhash_size;
    uint32_t binhash_database_size;
    uint32_t redo_hash_size;
    uint32_t exec_list_size;
    uint32_t fork_hash_size;
    uint32_t exit_list_size;
    uint32_t ioctl_max_cnt;
    uint32_t ioctl_timeout;
    uint32_t process_list_max_cnt;
    uint32_t vip_list_max_cnt;
    uint32_t cmdline_list_max_cnt;
    uint32_t upload_mark_hash_size;
    uint32_t max_file_size;
    float clean_ftree_threshold;  // fraction 0-1

    pthread_rwlock_t tm_info_lock;  // monitors, monitor_cnt, last_ring_fail
    process_monitor_entry monitors[TASK_MONITOR_MAX];
    uint32_t monitor_cnt;
    uint32_t last_ring_fail;

    pthread_rwlock_t ftree_lock;
    struct ftree *ftree;

    pthread_mutex_t exit_task_queue_lock;
    kiv_queue *exit_queue;

    pthread_mutex_t upload_limit_lock;
    upload_limit_info sec_limit;   // times in ms of the cached clock, truncated to 32 bits
    upload_limit_info hour_limit;  // times in seconds
    // With limit_per_user, the same maxima per real user instead of for the whole host.
    uint32_t limit_per_user;
    keyed_limiter user_sec_limit;
    keyed_limiter user_hour_limit;
    // Repeat keys over the whole command line and the user rather than a prefix.
    uint32_t redo_whole_cmdline;
    // Each exec of a reported process is reported again with its new image.
    uint32_t report_every_exec;
    // An exec whose digests are being hashed waits for them (parked), later execs of its
    // process behind it; an exec overtaken by a later image is reported as it ran.
    uint32_t exec_digest_wait;
    // Megabytes the process tree's processes and images may hold; 0: bounded by counts only.
    uint32_t ftree_mem_max_mb;
    // A program run through the dynamic loader is reported as that program, the loader named
    // beside; 0: as the loader it executed.
    uint32_t report_loader_program;

    pthread_mutex_t redo_hash_lock;
    fhash *redo_hash;

    pthread_mutex_t upload_mark_hash_lock;
    lhash *upload_mark_hash;

    // The digest cache's locks, table and database live in g_binhash_info; created and
    // destroyed with this module's resources.
    binhash_cache_info *binhash;
};

extern task_info g_task_info;
// Open while the module runs. Every entry a host thread may use (queries, monitors, the
// application tag, digests) passes it, and the module's exit closes it before freeing.
extern kiv_entry_gate g_task_gate;

// Kernel task configuration (request 0x7305).
struct kern_task_conf {
    uint32_t command;
    uint32_t enable;
    uint32_t fork_sl_hash_size;
    uint32_t fork_sl_timeout_sec;
    uint32_t fork_sl_timeout_cnt;
    uint32_t lost_task_queue_cnt;
    uint32_t list_cnt[5];
    uint32_t crc[];  // mordek_crc32 of each list value
};
static_assert(sizeof(kern_task_conf) == 44);

constexpr uint32_t KERN_TASK_CONF_START = 6;
constexpr uint32_t KERN_TASK_CONF_STOP = 4;
constexpr int KERN_TASK_LIST_NUM = 5;
// Sections of task.conf whose values the kernel filters on, in kern_task_conf order.
extern const char *const g_kern_task_list_sections[KERN_TASK_LIST_NUM];

// Per-exec ancestry handed from exec_event_handle to task_create_upload_handle.
constexpr int PROC_TREE_MAX = 16;
struct proc_tree {
    uint32_t count;
    process_st items[PROC_TREE_MAX];
    uint16_t exec_event_id;  // the exec being reported
    char loader_path[1024];  // the loader slot 0 ran its program through; empty: none
};

constexpr uint64_t TASK_RELY_TIMEOUT_MS = 100;
constexpr uint32_t EXIT_UPLOAD_DELAY_SEC = 10;

int kiv_task_init();
void kiv_task_exit();

int fork_event_handle(char *msg, kiv_msg_ctx *ctx);
int exec_event_handle(char *msg, kiv_msg_ctx *ctx);
int exit_event_handle(char *msg, kiv_msg_ctx *ctx);

int get_tree_info(process_st *out, int max, uint32_t pid, uint64_t create_time);
void add_upload_exit_event(uint32_t pid, uint64_t create_time);
void exit_queue_pop_info_handle(const exit_upload_entry *entry);
void exit_upload_timer_func(void *arg);

// task.conf: "@/../config/task.conf" unless tests point elsewhere (null restores it).
void task_set_conf_path(const char *path);
// Translates and reads the file; null (logged) when it cannot.
ini_file_t *task_conf_open(const char *path);
// Translated path of the file last opened.
const char *task_conf_path();
// Fills the configuration fields of g_task_info and, when conf_out is given, a new
// kern_task_conf (MALLOC_FOR_TASK_CONFIG, caller frees) with the kernel lists. 0 or < 0.
int task_cfg_load(ini_file_t *ini, kern_task_conf **conf_out);
// Reads task.conf as start-up would (keys, lists, library-load and kill sections) while the
// module is not running. 0, or -1 when start-up would fail.
int task_cfg_check();
