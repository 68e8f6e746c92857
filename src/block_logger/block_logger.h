// Reports of operations the kernel blocked or audited: one flat JSON record per report,
// enriched with what user space knows about the acting process and the target, uploaded
// up to a daily number of records.
#pragma once
#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "framework/hook.h"
#include "qxkiv/ini.h"

struct cJSON;
struct kiv_timer;

struct block_logger_info {
    int32_t upload_event_cnt;  // records per day, 0 = no limit
    kiv_timer *timer;
    pthread_rwlock_t event_cnt_lock;
    uint32_t event_cnt;  // records sent today
};
extern block_logger_info g_block_logger_info;

// Fixed layout of the three report types (offsets from the start of the record).
constexpr uint32_t BLOG_COMM_NAME_OFF = 48, BLOG_COMM_NAME_LEN = 64;
constexpr uint32_t BLOG_PCOMM_NAME_OFF = 112, BLOG_PCOMM_NAME_LEN = 72;
constexpr uint32_t BLOG_FILE_TEXT_OFF = 202;
constexpr uint32_t BLOG_PROC_TEXT_OFF = 354;
constexpr uint32_t BLOG_NET_TEXT_OFF = 230;
// Files above this size are not hashed.
constexpr off_t BLOG_MD5_MAX_SIZE = 52428800;
constexpr uint64_t BLOG_RESET_INTERVAL_MS = 300000;

// One report, decoded and checked against the record's end. Texts point into the record
// (each NUL-terminated inside it) or at an empty string.
struct block_report {
    uint16_t type;
    uint32_t group;
    uint64_t rule_id;
    uint32_t action;
    uint32_t pid, ppid, uid;
    const char *name, *pname;
    const char *text[3];  // 1: acting executable, 2 and 3 by type; the network report has 1 only
    // type 24
    uint32_t file_opr;
    // type 25
    uint32_t t_pid, t_ppid, t_ns, t_uid, t_euid;
    const char *t_name, *t_pname;
    uint16_t t_port;
    uint32_t proc_opr;
    // type 26
    unsigned char saddr[16], daddr[16];
    uint16_t protocol, family, sport, dport;  // ports in host order
    uint32_t direction;
};

int kiv_block_logger_init();
void kiv_block_logger_exit();
int blogger_cfg_load(block_logger_info *info);
int block_logger_handle(char *msg, kiv_msg_ctx *ctx);
void block_event_timer_func(void *arg);

// 0, or -1 after a log line naming what runs past the record or lacks its terminator.
int block_report_decode(const char *msg, uint32_t len, block_report *out);

int upload_file_event(char *msg, kiv_msg_ctx *ctx);
int upload_proc_event(char *msg, kiv_msg_ctx *ctx);
int upload_net_event(char *msg, kiv_msg_ctx *ctx);

void format_common_header(cJSON *obj, const char *event_type, const block_report *r);
int format_file_body(const block_report *r, cJSON *obj);
int format_proc_body(const block_report *r, cJSON *obj);
int format_net_body(const block_report *r, cJSON *obj);
void format_file_attribute(const char *path, cJSON *obj);
void format_subject_process(const block_report *r, const char *exe_path, cJSON *obj);
const char *group_to_string(uint32_t group);

// /proc and account helpers; each leaves an empty text or 0 when the answer is unknown.
void fetch_path_by_pid(int pid, char *out, size_t out_len);
void fetch_commond_by_pid(int pid, char *out, size_t out_len);
uint64_t fetch_proc_start_time(uint32_t pid);
void fetch_username_by_uid(uint32_t uid, char *out, size_t out_len);
void fetch_group_by_gid(uint32_t gid, char *out, size_t out_len);
// "rwxr-xr-x" form with the special bits; an output shorter than 10 gets an empty text.
void get_file_permission(mode_t mode, char *out, int out_len);

void block_logger_set_conf_path(const char *path);
// Runs of the reset timer so far, for tests that drive the clock.
uint32_t block_logger_timer_runs();
