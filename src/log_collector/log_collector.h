// The log collector: tails configured application log files across rotation and truncation,
// forwards each new line as one "APP_LOG" record, and keeps the read positions in a state
// file so that a restart resumes where it stopped. Everything runs on the KivLogCollector
// thread; nothing here is shared with other threads.
#pragma once
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "comm/list.h"
#include "qxkiv/ini.h"

struct kiv_task;
struct upload_header;

constexpr int LOGSET_NAME_LEN = 64;
constexpr int LOG_PATH_LEN = 260;
constexpr int LOGSET_PATH_MAX = 32;
constexpr int KEY_WORD_LEN = 128;
// Logs that keep their streams open between turns; the others are opened for their turn and
// closed after it, so any number of files is collected without holding a descriptor each.
constexpr int LOG_COLLECTOR_MAX_OPEN = 512;
constexpr int LOG_TAIL_LEN = 16;
// The first bytes of a file as read: what identifies it after a restart or in a copy.
constexpr int LOG_HEAD_LEN = 256;
constexpr int LOG_FINGERPRINT_LEN = 33;  // MD5 text

// One application: the paths (or wildcard patterns) configured under its name.
struct log_set {
    char name[LOGSET_NAME_LEN];
    int path_cnt;
    char paths[LOGSET_PATH_MAX][LOG_PATH_LEN];
    list_head list;
};

struct key_word {
    char word[KEY_WORD_LEN];
    list_head list;
};

// Words of one application's black or white list.
struct key_word_group {
    char name[KEY_WORD_LEN];
    list_head words;
    list_head list;
};

// One watched file path.
struct watch_log {
    int old_drained;  // the rotated stream has been read to its end
    FILE *fp;         // the file now under `path`
    FILE *old_fp;     // the file as it was before the last rotation
    char path[LOG_PATH_LEN];
    int stat_valid;
    uint64_t ino, size;  // from the last examination
    int opened;          // the first open, with its start-position choice, has happened
    uint64_t state_ino, state_offset;
    uint64_t offset;  // just after the last uploaded line of `fp`
    log_set *logset;
    list_head list;
    // Where the rotated stream stands, so a stop in the middle of it can be resumed.
    uint64_t old_ino, old_offset;
    int last_errno;     // repeated failures of the same kind are logged once
    int missing_scans;  // rescans in a row that found nothing under the path
    // The bytes just before `tail_pos` as last read: a copy of the file must hold them there.
    uint64_t tail_pos;
    int tail_len;
    char tail[LOG_TAIL_LEN];
    int head_len;
    char head[LOG_HEAD_LEN];
    // Inodes beside the file when its current contents began: a copy made by a later
    // rotation is not among them, an old rotated file is.
    int dir_known, dir_ino_cnt;
    uint64_t *dir_inos;
    struct timespec dir_time;  // when they were listed
    // Closed between turns (not among the logs that keep their streams): where to go on.
    int parked;
    uint64_t park_pos;
    int seq;  // order of adding; the first LOG_COLLECTOR_MAX_OPEN keep their streams
    // Fingerprint saved with the state: its length in bytes (0 when none) and MD5 text.
    int state_fp_len;
    char state_fp[LOG_FINGERPRINT_LEN];
    // Whose file the path held when first read: a file of anybody else is not read.
    int owner_known;
    uint32_t owner_uid;
    int refused;  // kinds of refusal already logged since the last file was opened
    // This turn: where the log stands, the bytes it may still deliver, whether it reached
    // its end.
    int turn_state;
    int turn_quota;
    int at_end;
    // Ended a turn before its end: how far behind, and when that was last said.
    int behind;
    uint64_t unread;
    uint64_t behind_said_ms;
};

struct log_collector_ctx {
    int max_old_log_size;
    int quota_per_log;
    int max_line_size;
    int monitor_timeout;
    int collect_timeout;
    int collect_num_per_sec;
    int white_list_mode;
    // Extensions, 0 when absent: refused opens (see file_poll_safe_open), and turns that give
    // each log an even share of the lines, skipped lines costing their bytes.
    int safe_open;
    int even_share;
    int report_log_path;  // records name the file their line came from
    list_head logsets;
    list_head logs;  // new entries at the front
    int quota_left;
    int line_len;  // pending line, 0 when none
    char *line;    // max_line_size bytes
    char *report_text;
    watch_log *cur_log;
    uint64_t line_end_offset;
    list_head black_list, white_list;
    int log_cnt;
    uint64_t old_line_end;  // position after the pending line in the rotated file, else 0
    int tail_len;           // last bytes of the line just read, newline included
    char tail[LOG_TAIL_LEN];
    int read_bytes;  // bytes of the file the last line took, skipped lines included
    int quota_kept;  // the last turn stopped in cur_log's turn: it keeps its quota left
};

// Per-file reading.
// Whether a link at the path, a pseudo file or a file of another owner than first seen is
// refused (log_collector_safe_open).
void file_poll_safe_open(bool on);
int file_poll_check(log_collector_ctx *ctx, watch_log *log);
int file_poll_open(log_collector_ctx *ctx, watch_log *log);
int file_poll_read(log_collector_ctx *ctx, watch_log *log);
int read_line(log_collector_ctx *ctx, FILE *stream, int track);
void file_poll_close(watch_log *log);
// Closes the stream of a log that does not keep it between turns; the next open goes on.
void file_poll_park(watch_log *log);
// The fingerprint of the entry the state file gets for this log (its rotated file while one
// is being finished): its length, 0 when there is none.
int file_poll_fingerprint(const watch_log *log, char out[LOG_FINGERPRINT_LEN]);
// Bytes of the log not read yet: the rest of its rotated file and of the file now under the
// path.
uint64_t file_poll_unread(const watch_log *log);

// Configuration, watched files, state and reporting.
int log_collector_init(log_collector_ctx *ctx);
void log_collector_exit(log_collector_ctx *ctx);
int load_cfg(log_collector_ctx *ctx);
// Reads log_collector.conf as the collector would and keeps nothing. 0 or -1.
int log_collector_cfg_check();
void load_key_word_cfg(ini_file_t *ini, list_head *list, int white);
int check_config(log_collector_ctx *ctx, ini_file_t *ini);
void parse_logset(log_collector_ctx *ctx);
int parse_asterisk_path(log_collector_ctx *ctx, log_set *set, const char *pattern);
int add_log(log_collector_ctx *ctx, log_set *set, const char *path);
void load_state(log_collector_ctx *ctx);
int save_state(log_collector_ctx *ctx);
void filter_befo_install_log(log_collector_ctx *ctx);
void collect_log(log_collector_ctx *ctx);
int report(log_collector_ctx *ctx);
// The record of one line; with log_path (not null) it also names the file the line came from.
char *format_log(const upload_header *header, const char *app_name, const char *line,
                 const char *log_path = nullptr);
void log_collector_main(kiv_task *task);

// Tests point the collector at a staged configuration; the state file lives in var/data of
// the installation that holds it. Null restores "@/../config/log_collector.conf".
void log_collector_set_conf_path(const char *path);
// The state file path the collector uses now (translated); empty when it cannot be found.
const char *log_collector_state_path();
// Beside it, the fingerprints that confirm each saved inode is still the same file.
const char *log_collector_ident_path();
// How many logs keep their streams open between turns; 0 restores LOG_COLLECTOR_MAX_OPEN.
void log_collector_set_max_open(int n);
int log_collector_max_open();
