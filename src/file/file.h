// The file module: kernel file-operation records (types 13 to 18) decoded, limited, put back
// into the kernel's sequence order and uploaded as file documents.
#pragma once
#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "comm/fhash.h"
#include "comm/list.h"
#include "file/file_type.h"
#include "qxkiv/file_monitor.h"
#include "qxkiv/ini.h"

struct kiv_timer;

// Event kinds: record type - 13.
enum file_event_kind : int {
    FILE_CREATE = 0,
    FILE_DELETE = 1,
    FILE_RENAME = 2,
    FILE_MODIFY = 3,
    FILE_ACCESS = 4,
    FILE_ATTRIB = 5,
    FILE_KIND_NUM = 6,
};
constexpr int FILE_EVENT_TYPE_BASE = 13;

// A file record's fields, read with bounds checks from the bytes after the 16-byte head.
struct file_event_view {
    uint64_t create_time, atime, mtime, ctime;
    uint32_t tgid, uid, gid;
    uint16_t mode, id;
    uint8_t dir, creat_type;
    uint32_t new_uid, new_gid;  // FILE_ATTRIB
    uint16_t new_mode;
    const char *name;  // first name (the new path of a rename)
    uint32_t name_len;
    const char *name2;  // second name (the old path of a rename), or null
    uint32_t name2_len;
    uint32_t size;  // bytes of the body the record uses
};

// Record offsets (from the record's start) of the fixed part.
constexpr size_t FILE_REC_BODY = 16;
constexpr size_t FILE_REC_FIXED = 65;  // through the dir byte
// Offset of the path block by kind.
size_t file_path_block_offset(int kind);

// 0 with *out filled, -1 (logged) for a kind outside 0..5 or any length or name running past
// the body's end. body is the record from offset 16, body_len its bytes.
int file_event_parse(const unsigned char *body, size_t body_len, int kind, file_event_view *out);
// The sequence number of a body holding at least the fixed part; false when too short.
bool file_event_id_of(const unsigned char *body, size_t body_len, uint16_t *id);

// Sequence arithmetic on the kernel's 16-bit file_event_id.
int file_event_id_cmp(uint16_t a, uint16_t b);
int need_recombine(uint16_t id);

// Configuration and state of the module.
struct file_kern_block {
    uint32_t enable;
    uint32_t vfsmnt_list_cnt;
    uint32_t monitor_filter_cnt;
    uint32_t file_create_cache_cnt;
    uint32_t file_rw_redo_interval;
    uint32_t file_rw_redo_limit;
    uint32_t file_suffix_max_cnt;
    uint32_t file_suffix_group_max_cnt;
};
static_assert(sizeof(file_kern_block) == 32);

struct file_redo_entry;
struct file_unorder_entry;

struct file_info {
    uint32_t inited;
    uint32_t upload_event_cnt;
    uint32_t upload_event_hour_cnt;
    uint32_t upload_event_redo_hash_size;
    uint32_t unorder_list_size;
    uint32_t ten_minues_redo_enable;
    file_kern_block kern;
    unsigned char *suffix_list;  // kernel payloads, freed once sent
    uint32_t suffix_list_len;
    unsigned char *suffix_group_list;
    uint32_t suffix_group_list_len;
    kiv_timer *vfsmnt_update_timer;
    kiv_timer *file_event_timer;
    kiv_timer *file_event_recombine_timer;
    pthread_rwlock_t fm_info_lock;
    uint32_t daily_cnt;
    uint32_t type_node_cnt;
    fhash *upload_event_redo_hash;
    pthread_mutex_t file_ev_upload_mutex;
    pthread_mutex_t file_ev_unorder_mutex;
    uint16_t last_event_id;
    uint16_t cache_cnt;
    list_head unorder_cache;
    pthread_mutex_t file_type_identify_mutex;
    uint32_t rename_type_enable;  // 1: a regular file renamed into place is typed too
    uint32_t upload_event_per_user;  // 1: daily budget per user, hourly per user and executable
    uint32_t file_filter_unlimited;  // 1: file_filter paths pass every budget and repeat filter
    fhash *daily_user_hash;          // per-user daily counts, under fm_info_lock
    uint32_t daily_dropped;          // dropped by the shared daily budget today (atomic_ref)
    // 1: an event whose process nobody can describe (one query) is reported with what the
    // event says of it; 0: three attempts, then the event is dropped.
    uint32_t file_report_unknown_process;
    // 1: typing opens only the regular file the event named, within a time budget.
    uint32_t file_type_safe_open;
    // 1: a record made before an exec of its process (offset 12) names the image it replaced.
    uint32_t file_prior_image;
};
extern file_info g_file_info;

// Tests point the module at their own file.conf; null restores "@/../config/file.conf".
void file_set_conf_path(const char *path);
// The "@" path of file.conf the module reads.
const char *file_conf_path();

int kiv_file_init();
void kiv_file_exit();
// Reads the module keys and builds the two suffix payloads from a loaded file.conf.
int file_cfg_load(file_info *info, ini_file_t *ini);
// Reads file.conf as start-up would (module keys, suffixes, filter lists, pipe section)
// while the module is not running. 0, or -1 when start-up would fail.
int file_cfg_check();
// Builds one suffix payload from section (item prefix `item`); null (logged) when it cannot.
unsigned char *file_suffix_payload(ini_file_t *ini, const char *section, const char *item,
                                   uint32_t *len);

// The hook and its parts.
int file_event_handle(char *msg, struct kiv_msg_ctx *ctx);
// exec_mark: the record's word at offset 12, non-zero when the event came before an exec of
// its process (the query then describes the image that exec replaced).
void file_event_recombine(const unsigned char *body, size_t body_len, const file_type_info_st *type,
                          int kind, bool dropped, uint16_t id, uint32_t exec_mark = 0);
void file_event_recombine_timer_func(void *arg);
// Hands on every cached event in sequence order (the collectors are stopped).
void file_event_flush();
int handle_special_path(int kind, const char *path);

// Queries the acting process of an event with its ancestry up to depth (query_tgid_info's
// results and codes): three attempts unless unknown processes are reported or the event came
// before an exec, then one.
int file_query_owner(const file_event_view &v, int depth, uint32_t exec_mark);

// Records (file_record.cpp).
void upload_file_event(const unsigned char *body, size_t body_len, const file_type_info_st *type,
                       int kind, uint32_t exec_mark = 0);
// "rwxr-xr-x"-style text of mode's permission bits into out (10 bytes).
void file_permission_text(uint32_t mode, char out[10]);

// The user a file event's budgets charge: the first of the effective, real and file-system
// ids of the acting process (ids as the process record gives them) that is not root.
uint32_t file_charged_uid(const uint32_t ids[4]);
// Whether path is an entry of the file_filter list (the critical files) or lies below one.
bool file_on_file_filter(const char *path);
// Whether the repeat filter's keyed path hashes work; 0 or -1 (logged).
int file_redo_key_init();
fhash *file_redo_hash_create(uint32_t size);
fhash *file_daily_hash_create();

// Tests replace the typing of written files (match_type_filter): fills *type for path and
// says whether the type filter lets it through. Null restores match_type_filter.
typedef bool (*file_type_filter_fn)(const char *path, uint32_t path_len, file_type_info_st *type);
void file_set_type_filter(file_type_filter_fn fn);
