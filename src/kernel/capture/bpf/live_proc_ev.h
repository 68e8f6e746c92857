/* The records the process programs hand to user space through the ring buffer. Shared by the
 * BPF programs (C) and their reader (C++): fixed-width fields only, natural alignment. */
#ifndef LIVE_PROC_EV_H
#define LIVE_PROC_EV_H
#include <linux/types.h>

#define LIVE_RING_BYTES (1u << 20) /* about 2,500 execs of short texts (190 of the longest) */
#define LIVE_WAKE_BYTES (256u << 10) /* a ring this full wakes the reader at once */
#define LIVE_STR_MAX 1023            /* longest text of a process record */

enum { LIVE_EV_FORK_ = 0, LIVE_EV_EXEC_ = 1, LIVE_EV_EXIT_ = 2 };
/* Text slots, in the order of the record's flexible part. */
enum { LIVE_STR_CMD = 0, LIVE_STR_CWD = 1, LIVE_STR_PATH = 2, LIVE_STR_FD0 = 3, LIVE_STR_FD1 = 4 };
enum { LIVE_FD_PATH = 0, LIVE_FD_PIPE = 1, LIVE_FD_SOCKET = 2 };
#define LIVE_FLAG_CMD_CUT 1u     /* the command line was longer than LIVE_STR_MAX */
#define LIVE_FLAG_EXE_DELETED 2u /* the executable was removed while it runs */
#define LIVE_FLAG_CMD_UNREAD 4u  /* the arguments could not be read in the kernel */
#define LIVE_FLAG_EXE_IDENT 8u   /* exe_dev, exe_ino and exe_ctime_* are set */

struct live_small_ev {
    __u32 type;
    __u32 pid;
    __u32 ppid;
    __u32 exit_status; /* wait status as the kernel keeps it */
    __u64 start_ns;    /* start_boottime */
    __u64 parent_start_ns;
};

struct live_exec_ev {
    __u32 type;
    __u32 pid;
    __u32 ppid;
    __u32 session;
    __u64 start_ns;
    __u64 parent_start_ns;
    __u32 uid[4]; /* real, effective, saved, file system */
    __u32 gid[4];
    __u32 owner;
    __u32 mode;
    __u32 flags;
    __u32 fd_kind[2];
    __u16 len[5];
    __u64 fd_ino[2];
    /* The inode the executable's path names: the kernel's device number (major << 20 |
     * minor), inode and change time. */
    __u32 exe_dev;
    __u32 exe_ctime_nsec;
    __u64 exe_ino;
    __s64 exe_ctime_sec;
    __u64 at_ns; /* when the exec happened, CLOCK_MONOTONIC */
    /* The texts one after another in slot order, len[i] bytes each (no terminator); the
     * record handed over ends after the last one. */
    char text[5 * (LIVE_STR_MAX + 1)];
};
/* Library mapped for execution, signal sent to another process, named pipe created or opened;
 * the types are the module's record types. */
enum {
    LIVE_EV_DL_LOAD_ = 3,
    LIVE_EV_KILL_ = 4,
    LIVE_EV_PIPE_CREATE_ = 19,
    LIVE_EV_PIPE_CONNECT_ = 20
};
#define LIVE_AUX_USER_PATH 1u /* str is the path as the caller gave it, relative to dfd */

struct live_aux_ev {
    __u32 type;
    __u32 pid;
    __u64 start_ns;
    __u32 killed_pid;
    __s32 sig;
    __u64 killed_start_ns;
    __s32 dfd;
    __u32 flags;
    __u32 len;
    __u32 dir_len; /* pipe created by a relative path: the length of dir */
    char str[LIVE_STR_MAX + 1];
};
/* A pipe created: also the directory a relative path is relative to. */
struct live_pipe_made_ev {
    struct live_aux_ev ev;
    char dir[LIVE_STR_MAX + 1];
};

/* The cgroups of an exec'ing process, sent right before its exec record: the names of its cgroup
 * and of the cgroups above it, nearest first and each NUL-terminated, of the unified hierarchy,
 * then an empty name, then those of the v1 memory hierarchy (hybrid hosts), then an empty name.
 * The root cgroup, nameless, is left out. */
enum { LIVE_EV_CGROUP_ = 100 };
#define LIVE_CG_NAMES 5     /* a cgroup and its four nearest ancestors */
#define LIVE_CG_NAME 96     /* longest name kept, its terminator included; a longer one is cut */
#define LIVE_CG_BYTES 1024  /* room for two hierarchies of LIVE_CG_NAMES names */

struct live_cgroup_ev {
    __u32 type;
    __u32 pid;
    __u64 start_ns;
    __u32 len; /* bytes of names */
    __u32 pad;
    char names[LIVE_CG_BYTES + LIVE_CG_NAME];
};
#define LIVE_CGROUP_HEAD ((unsigned long)&((struct live_cgroup_ev *)0)->names)

#define LIVE_EXEC_HEAD ((unsigned long)&((struct live_exec_ev *)0)->text)

#endif
