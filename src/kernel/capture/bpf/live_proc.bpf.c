// Process activity read inside the kernel: at exec every fact of the module's process record
// is taken before the process can exit, at fork the new process's identity, at exit its code.
// Raw tracepoints only, so stock kernels without kprobes or trampolines run it. The few kernel
// structures read are declared here with their field names; CO-RE relocates the offsets to the
// running kernel, so the build needs no kernel headers of its own.
#include <linux/bpf.h>
#include <linux/types.h>
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>

#include "live_proc_ev.h"

#define PAI __attribute__((preserve_access_index))

typedef struct {
    unsigned int val;
} kuid_t;
typedef struct {
    unsigned int val;
} kgid_t;

struct cred {
    kuid_t uid, suid, euid, fsuid;
    kgid_t gid, sgid, egid, fsgid;
} PAI;

struct qstr {
    union {
        struct {
            __u32 hash;
            __u32 len;
        };
        __u64 hash_len;
    };
    const unsigned char *name;
} PAI;

struct hlist_bl_node {
    struct hlist_bl_node *next, **pprev;
} PAI;

struct inode;

struct dentry {
    struct hlist_bl_node d_hash;
    struct dentry *d_parent;
    struct qstr d_name;
    struct inode *d_inode;
} PAI;

struct vfsmount {
    struct dentry *mnt_root;
} PAI;

struct mount {
    struct mount *mnt_parent;
    struct dentry *mnt_mountpoint;
    struct vfsmount mnt;
} PAI;

struct path {
    struct vfsmount *mnt;
    struct dentry *dentry;
} PAI;

struct super_block {
    unsigned long s_magic;
    unsigned int s_dev;
} PAI;

// x86-64 names; the syscall arguments of the raw syscall tracepoints.
struct pt_regs {
    unsigned long di, si, dx, r10, r8, orig_ax;
} PAI;

struct inode {
    unsigned short i_mode;
    kuid_t i_uid;
    unsigned long i_ino;
    struct super_block *i_sb;
    long long i_ctime_sec;  // since 6.11; before, a timespec64 under one of the names below
    unsigned int i_ctime_nsec;
} PAI;

struct timespec64 {
    long long tv_sec;
    long tv_nsec;
} PAI;
struct inode___v66 {
    struct timespec64 __i_ctime;
} PAI;
struct inode___old {
    struct timespec64 i_ctime;
} PAI;

struct file {
    struct path f_path;
    struct inode *f_inode;
} PAI;

struct fdtable {
    unsigned int max_fds;
    struct file **fd;
} PAI;

struct files_struct {
    struct fdtable *fdt;
} PAI;

struct fs_struct {
    struct path pwd;
} PAI;

struct mm_struct {
    unsigned long arg_start, arg_end;
    struct file *exe_file;
} PAI;

struct upid {
    int nr;
} PAI;

struct pid {
    struct upid numbers[1];
} PAI;

struct signal_struct {
    struct pid *pids[4];
} PAI;

struct kernfs_node {
    const char *name;
    struct kernfs_node *parent;
} PAI;
struct kernfs_node___v615 {  // renamed when it became RCU-protected
    struct kernfs_node *__parent;
} PAI;

struct cgroup {
    struct kernfs_node *kn;
} PAI;

struct cgroup_subsys_state {
    struct cgroup *cgroup;
} PAI;

struct css_set {
    struct cgroup_subsys_state *subsys[1];
    struct cgroup *dfl_cgrp;
} PAI;

enum cgroup_subsys_id { memory_cgrp_id = 4 };  // relocated to the running kernel's value

struct task_struct {
    struct css_set *cgroups;
    int pid;
    int tgid;
    int exit_code;
    __u64 start_boottime;
    struct task_struct *real_parent;
    struct task_struct *group_leader;
    const struct cred *cred;
    struct fs_struct *fs;
    struct files_struct *files;
    struct mm_struct *mm;
    struct signal_struct *signal;
} PAI;

#define PIDTYPE_SID 3
#define PIPEFS_MAGIC 0x50495045
#define SOCKFS_MAGIC 0x534F434B
// Path components, mount crossings included: more than a path that fits the text can have.
#define WALK_STEPS 1024
#define NAME_MAX_ 255
#define HALF 4096  // the path is built backwards, ending at HALF
#define CTIME_QUERIED_ (1u << 31)  // multigrain timestamps keep a flag in the nanoseconds
// A path whose leading components were left out (too deep or too long for the text) begins
// with this marker instead of '/', so it can never be taken for another, shorter path.
#define CUT_MARK "..."
#define CUT_MARK_LEN 3
#define TEXT_ROOM (LIVE_STR_MAX - CUT_MARK_LEN)
#define DELETED " (deleted)"
#define DELETED_LEN 10  // whole components kept, the marker beside them

char LICENSE[] SEC("license") = "GPL";

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, LIVE_RING_BYTES);
} events SEC(".maps");

// One value per CPU, for what is too large for the stack.
#define PERCPU_SCRATCH(name, value_type)          \
    struct {                                      \
        __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);  \
        __uint(max_entries, 1);                   \
        __type(key, __u32);                       \
        __type(value, value_type);                \
    } name SEC(".maps")

// Records the ring buffer had no room for; the reader treats a change as an overrun.
__u64 lost = 0;

struct walk {
    struct dentry *d;
    struct mount *m;
    struct dentry *root;  // root dentry of mount m
    int pos;              // start of the text built so far, in buf
    int done;             // the walk reached the top: the text is the whole path
};

// Per-CPU scratch for the path walk. Its state lives here, not on the stack, so the verifier
// checks one loop step with unknown values instead of following every position it could take.
struct scratch {
    struct walk w;
    char buf[2 * HALF];
};
PERCPU_SCRATCH(scratch, struct scratch);

static __always_inline struct mount *real_mount(struct vfsmount *v) {
    return (struct mount *)((char *)v - bpf_core_field_offset(struct mount, mnt));
}

static long walk_step(__u32 i, void *unused) {
    __u32 zero = 0;
    struct scratch *s = bpf_map_lookup_elem(&scratch, &zero);
    if (!s) return 1;
    // Locals only in the reads below: a field of struct walk is no kernel field to relocate.
    struct dentry *d = s->w.d;
    struct mount *m = s->w.m;
    struct dentry *root = s->w.root;
    struct dentry *parent = BPF_CORE_READ(d, d_parent);
    if (d != root && d == parent && s->w.pos == HALF) {
        // A file in no directory (memfd, shared memory): the kernel names it "/<name>
        // (deleted)", and so does this.
        __u32 len = BPF_CORE_READ(d, d_name.len);
        const unsigned char *name = BPF_CORE_READ(d, d_name.name);
        if (len > NAME_MAX_) len = NAME_MAX_;
        int pos = HALF - DELETED_LEN;
        __builtin_memcpy(&s->buf[pos], DELETED, DELETED_LEN);
        pos -= (int)len + 1;
        bpf_probe_read_kernel(&s->buf[(pos + 1) & (HALF - 1)], len & NAME_MAX_, name);
        s->buf[pos & (HALF - 1)] = '/';
        s->w.pos = pos;
        s->w.done = 1;
        return 1;
    }
    if (d == root || d == parent) {
        struct mount *up = BPF_CORE_READ(m, mnt_parent);
        // The root of a mount: go on at its mount point, unless it is the top one. A dentry
        // that is its own parent without being the mount's root (a pseudo or disconnected
        // file) leaves the path unknown above it: no done, so it is marked as cut.
        if (d == root && up == m) s->w.done = 1;
        if (d != root || up == m) return 1;
        s->w.d = BPF_CORE_READ(m, mnt_mountpoint);
        s->w.m = up;
        s->w.root = BPF_CORE_READ(up, mnt.mnt_root);
        return 0;
    }
    __u32 len = BPF_CORE_READ(d, d_name.len);
    const unsigned char *name = BPF_CORE_READ(d, d_name.name);
    if (len > NAME_MAX_) len = NAME_MAX_;
    int pos = s->w.pos;
    if (pos > HALF) return 1;
    pos -= (int)len + 1;
    if (pos < HALF - TEXT_ROOM) return 1;  // no room for this component: cut above it
    // The masks restate bounds the verifier cannot carry through the arithmetic above.
    bpf_probe_read_kernel(&s->buf[(pos + 1) & (HALF - 1)], len & NAME_MAX_, name);
    s->buf[pos & (HALF - 1)] = '/';
    s->w.pos = pos;
    s->w.d = parent;
    return 0;
}

// The path of {mnt, dentry} into out (LIVE_STR_MAX at most); its length.
static __always_inline __u32 path_of(struct vfsmount *mnt, struct dentry *dentry, char *out) {
    __u32 zero = 0;
    struct scratch *s = bpf_map_lookup_elem(&scratch, &zero);
    if (!s || !mnt || !dentry) return 0;
    s->w.d = dentry;
    s->w.m = real_mount(mnt);
    s->w.root = BPF_CORE_READ(mnt, mnt_root);
    s->w.pos = HALF;
    s->w.done = 0;
    bpf_loop(WALK_STEPS, walk_step, 0, 0);
    int pos = s->w.pos;
    if (pos > HALF || pos < HALF - TEXT_ROOM) return 0;
    if (!s->w.done) {
        pos -= CUT_MARK_LEN;
        __builtin_memcpy(&s->buf[pos & (HALF - 1)], CUT_MARK, CUT_MARK_LEN);
    } else if (pos == HALF) {  // the root itself
        out[0] = '/';
        return 1;
    }
    __u32 len = HALF - pos;
    if (len > LIVE_STR_MAX) len = LIVE_STR_MAX;
    bpf_probe_read_kernel(out, len & LIVE_STR_MAX, &s->buf[pos & (HALF - 1)]);
    return len;
}

// Descriptor fd: a path, or a pipe or socket named by its inode as /proc names them.
static __always_inline __u32 fd_of(struct task_struct *t, int fd, struct live_exec_ev *ev,
                                   int slot, char *out) {
    struct fdtable *fdt = BPF_CORE_READ(t, files, fdt);
    if (!fdt || BPF_CORE_READ(fdt, max_fds) <= (unsigned)fd) return 0;
    struct file **fds = BPF_CORE_READ(fdt, fd);
    struct file *f = 0;
    bpf_probe_read_kernel(&f, sizeof f, &fds[fd]);
    if (!f) return 0;
    struct inode *ino = BPF_CORE_READ(f, f_inode);
    unsigned long magic = BPF_CORE_READ(ino, i_sb, s_magic);
    if (magic == PIPEFS_MAGIC || magic == SOCKFS_MAGIC) {
        ev->fd_kind[slot - LIVE_STR_FD0] = magic == PIPEFS_MAGIC ? LIVE_FD_PIPE : LIVE_FD_SOCKET;
        ev->fd_ino[slot - LIVE_STR_FD0] = BPF_CORE_READ(ino, i_ino);
        return 0;
    }
    return ev->len[slot] =
               path_of(BPF_CORE_READ(f, f_path.mnt), BPF_CORE_READ(f, f_path.dentry), out);
}

// What stat(2) of the executable's path reports as device, inode and change time, so that user
// space can tell whether a file it opens later is the one that ran.
static __always_inline void exe_ident_of(struct dentry *d, struct live_exec_ev *ev) {
    struct inode *ino = BPF_CORE_READ(d, d_inode);
    if (!ino) return;
    ev->exe_dev = BPF_CORE_READ(ino, i_sb, s_dev);
    ev->exe_ino = BPF_CORE_READ(ino, i_ino);
    if (bpf_core_field_exists(ino->i_ctime_sec)) {
        ev->exe_ctime_sec = BPF_CORE_READ(ino, i_ctime_sec);
        ev->exe_ctime_nsec = BPF_CORE_READ(ino, i_ctime_nsec) & ~CTIME_QUERIED_;
    } else if (bpf_core_field_exists(((struct inode___v66 *)ino)->__i_ctime)) {
        struct inode___v66 *i = (void *)ino;
        ev->exe_ctime_sec = BPF_CORE_READ(i, __i_ctime.tv_sec);
        ev->exe_ctime_nsec = (__u32)BPF_CORE_READ(i, __i_ctime.tv_nsec);
    } else {
        struct inode___old *i = (void *)ino;
        ev->exe_ctime_sec = BPF_CORE_READ(i, i_ctime.tv_sec);
        ev->exe_ctime_nsec = (__u32)BPF_CORE_READ(i, i_ctime.tv_nsec);
    }
    ev->flags |= LIVE_FLAG_EXE_IDENT;
}

static __always_inline __u64 wake_flag(void) {
    // Batched wake-ups: the reader polls on a short timer, and only a filling ring wakes it.
    return bpf_ringbuf_query(&events, BPF_RB_AVAIL_DATA) > LIVE_WAKE_BYTES ? BPF_RB_FORCE_WAKEUP
                                                                           : BPF_RB_NO_WAKEUP;
}

static __always_inline void parent_of(struct task_struct *t, __u32 *ppid, __u64 *pstart) {
    struct task_struct *p = BPF_CORE_READ(t, real_parent);
    *ppid = BPF_CORE_READ(p, tgid);
    *pstart = BPF_CORE_READ(p, group_leader, start_boottime);
}

// The exec record is built here, then handed over only as long as its texts need: most are
// a few hundred bytes of the 5 KiB the longest take.
PERCPU_SCRATCH(exec_buf, struct live_exec_ev);

// Where the next text goes: after the ones before it. Four texts take at most 4 * LIVE_STR_MAX
// bytes, so the mask changes nothing and shows the verifier that a full text still fits.
static __always_inline char *text_at(struct live_exec_ev *ev, __u32 at) {
    return &ev->text[at & (4 * (LIVE_STR_MAX + 1) - 1)];
}

// Set before load: whether the cgroups of each exec are sent.
const volatile __u32 want_cgroups = 0;

PERCPU_SCRATCH(cgroup_buf, struct live_cgroup_ev);

static __always_inline struct kernfs_node *kn_parent(struct kernfs_node *kn) {
    if (bpf_core_field_exists(((struct kernfs_node___v615 *)kn)->__parent))
        return BPF_CORE_READ((struct kernfs_node___v615 *)kn, __parent);
    return BPF_CORE_READ(kn, parent);
}

// The names from kn up (the root left out), then an empty one; the new end of the names.
static __always_inline __u32 cgroup_names_of(struct cgroup *cg, struct live_cgroup_ev *ev,
                                             __u32 at) {
    struct kernfs_node *kn = BPF_CORE_READ(cg, kn);
#pragma unroll
    for (int i = 0; i < LIVE_CG_NAMES; i++) {
        struct kernfs_node *up = kn ? kn_parent(kn) : 0;
        if (!up) break;
        long n = bpf_probe_read_kernel_str(&ev->names[at & (LIVE_CG_BYTES - 1)], LIVE_CG_NAME,
                                           BPF_CORE_READ(kn, name));
        if (n <= 1) break;  // unreadable, or a name no cgroup has
        at += n;
        kn = up;
    }
    ev->names[at & (LIVE_CG_BYTES - 1)] = 0;
    return at + 1;
}

static __always_inline void send_cgroups(struct task_struct *t, __u32 pid, __u64 start_ns) {
    __u32 zero = 0;
    struct live_cgroup_ev *ev = bpf_map_lookup_elem(&cgroup_buf, &zero);
    if (!ev) return;
    ev->type = LIVE_EV_CGROUP_;
    ev->pid = pid;
    ev->start_ns = start_ns;
    ev->pad = 0;
    struct css_set *cs = BPF_CORE_READ(t, cgroups);
    __u32 at = cgroup_names_of(BPF_CORE_READ(cs, dfl_cgrp), ev, 0);
    if (bpf_core_enum_value_exists(enum cgroup_subsys_id, memory_cgrp_id)) {
        // The array's length differs between kernels: indexed by hand from its offset.
        __u32 id = bpf_core_enum_value(enum cgroup_subsys_id, memory_cgrp_id);
        struct cgroup_subsys_state *css = 0;
        bpf_probe_read_kernel(&css, sizeof css,
                              (char *)cs + bpf_core_field_offset(struct css_set, subsys) +
                                  (id & 63) * sizeof(css));
        if (css) at = cgroup_names_of(BPF_CORE_READ(css, cgroup), ev, at);
    }
    ev->len = at;
    __u64 size = LIVE_CGROUP_HEAD + at;
    if (size > sizeof(*ev)) return;
    if (bpf_ringbuf_output(&events, ev, size, 0) != 0) __sync_fetch_and_add(&lost, 1);
}

SEC("raw_tp/sched_process_exec")
int live_exec(struct bpf_raw_tracepoint_args *ctx) {
    struct task_struct *t = (struct task_struct *)ctx->args[0];
    __u32 zero = 0;
    struct live_exec_ev *ev = bpf_map_lookup_elem(&exec_buf, &zero);
    if (!ev) return 0;
    __builtin_memset(ev, 0, LIVE_EXEC_HEAD);
    ev->type = LIVE_EV_EXEC_;
    ev->at_ns = bpf_ktime_get_ns();
    ev->pid = BPF_CORE_READ(t, tgid);
    ev->start_ns = BPF_CORE_READ(t, start_boottime);
    // Read here, at the exec, the cgroup is the one the process runs in even if it has left by
    // the time its records are read.
    if (want_cgroups) send_cgroups(t, ev->pid, ev->start_ns);
    parent_of(t, &ev->ppid, &ev->parent_start_ns);
    ev->session = BPF_CORE_READ(t, signal, pids[PIDTYPE_SID], numbers[0].nr);
    const struct cred *c = BPF_CORE_READ(t, cred);
    ev->uid[0] = BPF_CORE_READ(c, uid.val);
    ev->uid[1] = BPF_CORE_READ(c, euid.val);
    ev->uid[2] = BPF_CORE_READ(c, suid.val);
    ev->uid[3] = BPF_CORE_READ(c, fsuid.val);
    ev->gid[0] = BPF_CORE_READ(c, gid.val);
    ev->gid[1] = BPF_CORE_READ(c, egid.val);
    ev->gid[2] = BPF_CORE_READ(c, sgid.val);
    ev->gid[3] = BPF_CORE_READ(c, fsgid.val);

    struct mm_struct *mm = BPF_CORE_READ(t, mm);
    unsigned long a0 = BPF_CORE_READ(mm, arg_start), a1 = BPF_CORE_READ(mm, arg_end);
    __u32 n = a1 > a0 ? (__u32)(a1 - a0) : 0;
    if (n > LIVE_STR_MAX) {
        n = LIVE_STR_MAX;
        ev->flags |= LIVE_FLAG_CMD_CUT;
    }
    __u32 at = 0;
    if (bpf_probe_read_user(ev->text, n & LIVE_STR_MAX, (void *)a0) == 0)
        at = ev->len[LIVE_STR_CMD] = n;
    else
        ev->flags |= LIVE_FLAG_CMD_UNREAD;

    struct fs_struct *fs = BPF_CORE_READ(t, fs);
    if (fs)
        at += ev->len[LIVE_STR_CWD] = path_of(BPF_CORE_READ(fs, pwd.mnt),
                                              BPF_CORE_READ(fs, pwd.dentry), text_at(ev, at));
    struct file *exe = BPF_CORE_READ(mm, exe_file);
    if (exe) {
        struct dentry *d = BPF_CORE_READ(exe, f_path.dentry);
        at += ev->len[LIVE_STR_PATH] =
            path_of(BPF_CORE_READ(exe, f_path.mnt), d, text_at(ev, at));
        // Unhashed and not a root: removed while it runs, as /proc marks it.
        if (!BPF_CORE_READ(d, d_hash.pprev) && BPF_CORE_READ(d, d_parent) != d)
            ev->flags |= LIVE_FLAG_EXE_DELETED;
        exe_ident_of(d, ev);
        ev->owner = BPF_CORE_READ(exe, f_inode, i_uid.val);
        ev->mode = BPF_CORE_READ(exe, f_inode, i_mode) & 07777;
    } else {
        ev->owner = 0xffffffffu;
    }
    at += fd_of(t, 0, ev, LIVE_STR_FD0, text_at(ev, at));
    at += fd_of(t, 1, ev, LIVE_STR_FD1, text_at(ev, at));
    __u64 size = LIVE_EXEC_HEAD + at;
    if (size > sizeof(*ev)) return 0;
    if (bpf_ringbuf_output(&events, ev, size, wake_flag()) != 0) __sync_fetch_and_add(&lost, 1);
    return 0;
}

SEC("raw_tp/sched_process_fork")
int live_fork(struct bpf_raw_tracepoint_args *ctx) {
    struct task_struct *child = (struct task_struct *)ctx->args[1];
    // A new thread is not a new process.
    if (BPF_CORE_READ(child, pid) != BPF_CORE_READ(child, tgid)) return 0;
    struct live_small_ev *ev = bpf_ringbuf_reserve(&events, sizeof(*ev), 0);
    if (!ev) {
        __sync_fetch_and_add(&lost, 1);
        return 0;
    }
    __builtin_memset(ev, 0, sizeof(*ev));
    ev->type = LIVE_EV_FORK_;
    ev->pid = BPF_CORE_READ(child, tgid);
    ev->start_ns = BPF_CORE_READ(child, start_boottime);
    parent_of(child, &ev->ppid, &ev->parent_start_ns);
    bpf_ringbuf_submit(ev, wake_flag());
    return 0;
}

SEC("raw_tp/sched_process_exit")
int live_exit(struct bpf_raw_tracepoint_args *ctx) {
    struct task_struct *t = (struct task_struct *)ctx->args[0];
    if (BPF_CORE_READ(t, pid) != BPF_CORE_READ(t, tgid)) return 0;
    struct live_small_ev *ev = bpf_ringbuf_reserve(&events, sizeof(*ev), 0);
    if (!ev) {
        __sync_fetch_and_add(&lost, 1);
        return 0;
    }
    __builtin_memset(ev, 0, sizeof(*ev));
    ev->type = LIVE_EV_EXIT_;
    ev->pid = BPF_CORE_READ(t, tgid);
    ev->start_ns = BPF_CORE_READ(t, start_boottime);
    ev->exit_status = (__u32)BPF_CORE_READ(t, exit_code);
    bpf_ringbuf_submit(ev, wake_flag());
    return 0;
}

// ---- library loads, signals and named pipes -------------------------------------------------

#define NR_OPEN 2
#define NR_MMAP 9
#define NR_MKNOD 133
#define NR_OPENAT 257
#define NR_MKNODAT 259
#define AT_FDCWD_ (-100)
#define S_IFMT_ 0170000
#define S_IFIFO_ 0010000
#define PROT_EXEC_ 4
#define MAP_ANONYMOUS_ 0x20
#define SIGCHLD_ 17
#define SI_USER_ 0
#define SI_QUEUE_ (-1)
#define SI_TKILL_ (-6)

// A FIFO being created: its path is read from the caller once the call has succeeded.
struct mknod_call {
    __u64 path;
    __s32 dfd;
    __u32 pad;
};
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 1024);
    __type(key, __u64);
    __type(value, struct mknod_call);
} mknod_calls SEC(".maps");

static __always_inline struct live_aux_ev *aux_fill(struct live_aux_ev *ev, __u32 type,
                                                    struct task_struct *t) {
    if (!ev) {
        __sync_fetch_and_add(&lost, 1);
        return 0;
    }
    ev->type = type;
    ev->pid = BPF_CORE_READ(t, tgid);
    ev->start_ns = BPF_CORE_READ(t, group_leader, start_boottime);
    ev->killed_pid = 0;
    ev->sig = 0;
    ev->killed_start_ns = 0;
    ev->dfd = 0;
    ev->flags = 0;
    ev->len = 0;
    ev->dir_len = 0;
    ev->str[0] = 0;
    return ev;
}

static __always_inline struct live_aux_ev *aux_reserve(__u32 type, struct task_struct *t) {
    return aux_fill(bpf_ringbuf_reserve(&events, sizeof(struct live_aux_ev), 0), type, t);
}

static __always_inline struct file *file_of(struct task_struct *t, long fd) {
    struct fdtable *fdt = BPF_CORE_READ(t, files, fdt);
    if (!fdt || fd < 0 || BPF_CORE_READ(fdt, max_fds) <= (unsigned long)fd) return 0;
    struct file **fds = BPF_CORE_READ(fdt, fd);
    struct file *f = 0;
    bpf_probe_read_kernel(&f, sizeof f, &fds[fd]);
    return f;
}

static __always_inline void aux_file_ev(__u32 type, struct task_struct *t, struct file *f) {
    struct live_aux_ev *ev = aux_reserve(type, t);
    if (!ev) return;
    ev->len = path_of(BPF_CORE_READ(f, f_path.mnt), BPF_CORE_READ(f, f_path.dentry), ev->str);
    bpf_ringbuf_submit(ev, wake_flag());
}

SEC("raw_tp/sys_enter")
int live_sys_enter(struct bpf_raw_tracepoint_args *ctx) {
    long id = (long)ctx->args[1];
    if (id != NR_MMAP && id != NR_MKNOD && id != NR_MKNODAT) return 0;
    struct pt_regs *regs = (struct pt_regs *)ctx->args[0];
    if (id == NR_MMAP) {
        // The loader maps each library's code with its descriptor and PROT_EXEC.
        unsigned long prot = BPF_CORE_READ(regs, dx), flags = BPF_CORE_READ(regs, r10);
        long fd = (int)BPF_CORE_READ(regs, r8);
        if (!(prot & PROT_EXEC_) || (flags & MAP_ANONYMOUS_) || fd < 0) return 0;
        struct task_struct *t = (struct task_struct *)bpf_get_current_task();
        struct file *f = file_of(t, fd);
        if (f) aux_file_ev(LIVE_EV_DL_LOAD_, t, f);
        return 0;
    }
    struct mknod_call c = {};
    unsigned long mode;
    if (id == NR_MKNODAT) {
        c.dfd = (int)BPF_CORE_READ(regs, di);
        c.path = BPF_CORE_READ(regs, si);
        mode = BPF_CORE_READ(regs, dx);
    } else {
        c.dfd = AT_FDCWD_;
        c.path = BPF_CORE_READ(regs, di);
        mode = BPF_CORE_READ(regs, si);
    }
    if ((mode & S_IFMT_) != S_IFIFO_) return 0;
    __u64 key = bpf_get_current_pid_tgid();
    bpf_map_update_elem(&mknod_calls, &key, &c, BPF_ANY);
    return 0;
}

SEC("raw_tp/sys_exit")
int live_sys_exit(struct bpf_raw_tracepoint_args *ctx) {
    struct pt_regs *regs = (struct pt_regs *)ctx->args[0];
    long ret = (long)ctx->args[1];
    long id = BPF_CORE_READ(regs, orig_ax);
    if (id == NR_OPEN || id == NR_OPENAT) {
        if (ret < 0) return 0;
        struct task_struct *t = (struct task_struct *)bpf_get_current_task();
        struct file *f = file_of(t, ret);
        if (!f) return 0;
        struct inode *ino = BPF_CORE_READ(f, f_inode);
        // Named pipes only: an unnamed one reopened through /proc lives on pipefs.
        if ((BPF_CORE_READ(ino, i_mode) & S_IFMT_) != S_IFIFO_ ||
            BPF_CORE_READ(ino, i_sb, s_magic) == PIPEFS_MAGIC)
            return 0;
        aux_file_ev(LIVE_EV_PIPE_CONNECT_, t, f);
        return 0;
    }
    if (id != NR_MKNOD && id != NR_MKNODAT) return 0;
    __u64 key = bpf_get_current_pid_tgid();
    struct mknod_call *pc = bpf_map_lookup_elem(&mknod_calls, &key);
    if (!pc) return 0;
    struct mknod_call c = *pc;
    bpf_map_delete_elem(&mknod_calls, &key);
    if (ret != 0) return 0;
    struct live_pipe_made_ev *made = bpf_ringbuf_reserve(&events, sizeof(*made), 0);
    if (!made) {
        __sync_fetch_and_add(&lost, 1);
        return 0;
    }
    struct live_aux_ev *ev =
        aux_fill(&made->ev, LIVE_EV_PIPE_CREATE_, (struct task_struct *)bpf_get_current_task());
    long n = bpf_probe_read_user_str(ev->str, sizeof ev->str, (const void *)c.path);
    if (n <= 1) {
        bpf_ringbuf_discard(made, 0);
        return 0;
    }
    ev->len = (__u32)n - 1;
    ev->dfd = c.dfd;
    // The caller may be gone before the reader could ask /proc what its path is relative to.
    if (ev->str[0] != '/') {
        struct task_struct *t = (struct task_struct *)bpf_get_current_task();
        if (c.dfd == AT_FDCWD_) {
            struct fs_struct *fs = BPF_CORE_READ(t, fs);
            if (fs)
                ev->dir_len =
                    path_of(BPF_CORE_READ(fs, pwd.mnt), BPF_CORE_READ(fs, pwd.dentry), made->dir);
        } else {
            struct file *d = file_of(t, c.dfd);
            if (d)
                ev->dir_len = path_of(BPF_CORE_READ(d, f_path.mnt), BPF_CORE_READ(d, f_path.dentry),
                                      made->dir);
        }
    }
    ev->flags = LIVE_AUX_USER_PATH;
    bpf_ringbuf_submit(made, wake_flag());
    return 0;
}

SEC("raw_tp/signal_generate")
int live_signal(struct bpf_raw_tracepoint_args *ctx) {
    int sig = (int)ctx->args[0];
    const void *info = (const void *)ctx->args[1];
    struct task_struct *target = (struct task_struct *)ctx->args[2];
    int result = (int)ctx->args[4];
    // Delivered or queued, sent by a process with kill, tkill or sigqueue; not the kernel's
    // own (timers, faults, a child's exit).
    if (result != 0 || sig == SIGCHLD_ || (unsigned long)info <= 1) return 0;
    int code = 0;
    bpf_probe_read_kernel(&code, sizeof code, (const char *)info + 8);  // si_code
    if (code != SI_USER_ && code != SI_QUEUE_ && code != SI_TKILL_) return 0;
    struct task_struct *t = (struct task_struct *)bpf_get_current_task();
    __u32 to = BPF_CORE_READ(target, tgid);
    if (BPF_CORE_READ(t, tgid) == to) return 0;  // within one process
    struct live_aux_ev *ev = aux_reserve(LIVE_EV_KILL_, t);
    if (!ev) return 0;
    ev->killed_pid = to;
    ev->killed_start_ns = BPF_CORE_READ(target, group_leader, start_boottime);
    ev->sig = sig;
    bpf_ringbuf_submit(ev, wake_flag());
    return 0;
}
