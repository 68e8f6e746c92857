/* Host control of the sensor: start and stop, callbacks, delivery switches, upload header. */
#ifndef QXKIV_QXKIV_H
#define QXKIV_QXKIV_H

#include <stdint.h>
#include <time.h>

#include "qxkiv/kiv_export.h"

KIV_BEGIN_DECLS

/* Upload types: the third argument of the upload callback. */
enum kiv_upload_type {
    UPLOAD_APP_LOG = 0,
    UPLOAD_FILE_MOD = 1,
    UPLOAD_PROC_EXEC = 2,
    UPLOAD_NET_SCAN = 3,
    UPLOAD_NET_LISTENING = 4,
    UPLOAD_NET_CONNECT = 5,
    UPLOAD_DNS_QUERY = 6,
    UPLOAD_CAP_FLUX = 7,
    UPLOAD_ETW = 8,
    UPLOAD_ETW_EVENT = 9,
    UPLOAD_FILE_DELETE = 10,
    UPLOAD_FILE_CRATE = 11,
    UPLOAD_FILE_MOVE = 12,
    UPLOAD_PROC_EXIT = 13,
    UPLOAD_SYSCALL_SOCKET = 14,
    UPLOAD_SYSCALL_PTRACE = 15,
    UPLOAD_SYSCALL_USERFAULTFD = 16,
    UPLOAD_SYSCALL_CORE_PATTERN = 17,
    UPLOAD_SYSCALL_CONNECT = 18,
    UPLOAD_SELF_PROTECT_BLOCK = 19,
    UPLOAD_NORMAL_PROTECTION_BLOCK = 20,
    UPLOAD_TYPE_MAX_ = 21
};

/* Header record filled by the host-state callback (80 bytes, native byte order). */
struct upload_header {
    uint64_t seq_id;
    char send_time[32]; /* "%Y-%m-%d %H:%M:%S", local time */
    const char *host_uuid;
    const char *host_ip;
    const char *ip_list;
    int64_t tz_secondes;
    uint64_t send_timestamp; /* ms since 1970-01-01 UTC */
};
#ifdef __cplusplus
static_assert(sizeof(upload_header) == 80, "upload header layout");
#endif

/* The document is valid only during the call; return 0 when accepted. */
typedef int (*kiv_upload_fn)(const char *text, uint32_t len, int32_t type, uint32_t value);
/* Fill every field of the header; return 0 on success. */
typedef int (*kiv_host_state_fn)(struct upload_header *header);

/* Starts the sensor: 0, or -1 when start-up failed (the sensor log says why). Clears both
 * callbacks, so register them after it returns; delivery stays off until set_module. A start
 * happens once per process: a later call, also after exit_mod_manager, returns 0 and starts
 * nothing, so a stopped sensor stays stopped until the host process is started again. */
KIV_API int init_mod_manager(void);
/* Stops the sensor's threads and modules and removes the kernel module. */
KIV_API void exit_mod_manager(void);
/* Why the latest start-up (or shut-down) failed: its first level-0 log line, or "" when it
 * logged none. Valid until the next init_mod_manager or exit_mod_manager. */
KIV_API const char *kiv_last_error(void);
/* The library's build, e.g. "1.1.0_20240529130429"; callable before init_mod_manager. */
KIV_API const char *kiv_version(void);
/* One statistics counter per call, formatted "name(explanation): value\n" into buf, and
 * advances *index. Returns the line's length, 0 once every counter was given, or -1 when buf
 * is too small or an argument is null (*index then stays). Counters 0..45 are memory (0: live
 * blocks, others: bytes held per category), the rest events, drops among them; they are read
 * without a lock, so one pass need not be mutually consistent. */
KIV_API int kiv_stats_line(char *buf, int buflen, int *index);
KIV_API int register_upload_callback(kiv_upload_fn fn);
KIV_API int register_host_state_callback(kiv_host_state_fn fn);
KIV_API int set_module(uint32_t mask);
KIV_API int mod_manager_get_module(uint32_t id);
KIV_API int set_mgr_ip(const char *ip, int len);
KIV_API const char *get_mgr_ip(void);
KIV_API int get_cur_timestamp(char *buf, int len, uint64_t *ms);
KIV_API int64_t get_timestamp_4_1970(struct tm *tm);
KIV_API int get_log_ctm_header(struct upload_header *header);
KIV_API int mod_manager_upload(const char *text, uint32_t len, int32_t type, uint32_t value);

/* Adds the envelope members to `envelope` in their fixed order; `message` becomes owned by
 * the envelope. Returns 0. */
struct cJSON;
KIV_API int format_upload_header(struct cJSON *envelope, struct cJSON *message,
                                 const struct upload_header *header);

KIV_END_DECLS

#endif
