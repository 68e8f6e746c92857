/* Process queries: describe a process and its ancestors for the calling thread, plus the
 * process monitors and application-type tags.
 *
 * Results are kept in a list that belongs to the calling thread (create it once with
 * _init_process_info); they stay valid until the same thread's next query. */
#ifndef QXKIV_PROCESS_QUERY_H
#define QXKIV_PROCESS_QUERY_H

#include <stddef.h>
#include <stdint.h>

#include "qxkiv/kiv_export.h"

/* Results: 0 success, -1 failure, -2 bad arguments, -11 process module not running,
 * -12 the ancestry contains pid 1. */
#define PROC_QUERY_BAD_ARG (-2)
#define PROC_QUERY_NOT_RUNNING (-11)
#define PROC_QUERY_INIT_ANCESTOR (-12)

/* Depth of one query: the process and up to 15 ancestors. */
#define PROC_QUERY_MAX_DEPTH 16

/* Sizes of the text fields of struct process_st, terminating NUL included. */
#define PROCESS_ST_GUID_LEN 32
#define PROCESS_ST_STR_LEN 1025
#define PROCESS_ST_NAME_LEN 33
#define PROCESS_ST_PERMIT_LEN 12
#define PROCESS_ST_CONTAINER_LEN 65
/* Bit of process_st.flags: the process has exited. */
#define PROCESS_ST_FLAG_EXITED 0x01u

/* The library defines the record on its own and checks it field by field against this layout,
 * which it therefore sees under another tag. */
#ifdef KIV_BUILDING_LIB
#define KIV_PROCESS_ST_TAG process_st_public
#else
#define KIV_PROCESS_ST_TAG process_st
#endif

/* Fixed-size description of one process (5496 bytes, native byte order). Every string is
 * NUL-terminated and cut to fit; an empty record has pid and ppid 0 and every id -1. */
struct KIV_PROCESS_ST_TAG {
    char guid[PROCESS_ST_GUID_LEN];
    uint64_t createtime;
    int32_t pid;
    int32_t ppid;
    char current_dir[PROCESS_ST_STR_LEN];
    char path[PROCESS_ST_STR_LEN];
    char md5[33];    /* lower-case hex of the executable's MD5, or empty */
    char sha256[65]; /* lower-case hex of its SHA-256, or empty */
    char cmd_line[PROCESS_ST_STR_LEN];
    char user_name[PROCESS_ST_NAME_LEN];
    char app_type[PROCESS_ST_NAME_LEN];
    uint32_t ids[9]; /* ruid, euid, suid, fsuid, rgid, egid, sgid, fsgid, owner_id */
    char path_permit[PROCESS_ST_PERMIT_LEN]; /* "rwxr-xr-x" of the executable */
    int32_t xdg_session_id;
    char group_name[PROCESS_ST_NAME_LEN];
    char fd0[PROCESS_ST_STR_LEN];
    char fd1[PROCESS_ST_STR_LEN];
    uint8_t flags; /* PROCESS_ST_FLAG_EXITED */
    /* The container it runs in (64 lower-case hex digits), empty for none or not known. */
    char container_id[PROCESS_ST_CONTAINER_LEN];
};

#ifdef __cplusplus
#define KIV_PROCESS_ST_ASSERT static_assert
#else
#define KIV_PROCESS_ST_ASSERT _Static_assert
#endif
KIV_PROCESS_ST_ASSERT(sizeof(struct KIV_PROCESS_ST_TAG) == 5496, "process_st layout");
KIV_PROCESS_ST_ASSERT(offsetof(struct KIV_PROCESS_ST_TAG, ids) == 3288, "process_st layout");
KIV_PROCESS_ST_ASSERT(offsetof(struct KIV_PROCESS_ST_TAG, flags) == 5423, "process_st layout");
#undef KIV_PROCESS_ST_ASSERT
#undef KIV_PROCESS_ST_TAG

typedef int (*process_monitor_fn)(const char *path, int flag);

KIV_BEGIN_DECLS

KIV_API int _init_process_info(int capacity);
KIV_API void _free_process_info(void);
KIV_API int is_proc_tree_init(void);

/* create_time 0 matches whatever process holds the pid; depth is capped at 16. Up to three
 * attempts 100 ms apart; the _once variants try once and never sleep. */
KIV_API int query_tgid_info(int tgid, uint64_t create_time, int depth);
KIV_API int query_tgid_info_once(int tgid, uint64_t create_time);
/* One attempt at any depth: for event handlers, whose waits would hold back every record. */
KIV_API int query_tgid_info_once_depth(int tgid, uint64_t create_time, int depth);
/* As query_tgid_info_once_depth, for an event that came before the process's exec numbered in
 * exec_mark (PROC_EXEC_MARK_BEFORE in the high 16 bits, the exec's task_event_id in the low 16,
 * as a live file record carries it at offset 12): once that exec was taken and while the image
 * it replaced is still kept, the process is described with that image. Any other mark is a
 * plain query. */
#define PROC_EXEC_MARK_BEFORE 0xEC5E0000u
KIV_API int query_tgid_info_before_exec(int tgid, uint64_t create_time, int depth,
                                        uint32_t exec_mark);
/* Any thread id: its thread group leader is queried. */
KIV_API int _query_process_info(int pid, int depth);
KIV_API int _query_process_info_once(int pid, int depth);

/* The next unconsumed result, consumed; null when none is left. */
KIV_API struct process_st *_pop_process_info(void);
/* The index-th unconsumed result without consuming it; null past the end. */
KIV_API struct process_st *_pick_process_info(int index);
KIV_API void _clear_process_info(void);
/* One process alone, from the fork tree or the kernel. 0 or -1. */
KIV_API int _get_process_info(int pid, struct process_st *out);
KIV_API void _memset_process_info(struct process_st *record);

/* Monitors of type 0 are called with the executable path of every new process record and
 * 1 when the executable is too big to digest. 0 or -1. */
KIV_API int _register_process_monitor(const char *name, uint32_t type, process_monitor_fn cb);
KIV_API int _delete_process_monitor(const char *name);

/* Tags the process's image and its parent's with an application type (1..128 bytes). */
KIV_API int _add_app_type(int pid, const char *text, uint32_t length);

/* Adds "proc_trees" to a record from the calling thread's query results: mode 0 consumes
 * them (after what _pop_process_info already took), mode 1 leaves them. 0 or -1. */
struct cJSON;
#define PROC_TREE_MODE_POP 0
#define PROC_TREE_MODE_PICK 1
KIV_API int format_proc_tree(struct cJSON *object, int mode);

KIV_END_DECLS

#endif
