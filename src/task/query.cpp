#include "task/query.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/mem.h"
#include "base/log.h"
#include "task/kernel_query.h"
#include "task/task.h"
#include "task/task_filter.h"
#include "task/task_record.h"

namespace {

constexpr int QUERY_ATTEMPTS = 3;
constexpr unsigned QUERY_RETRY_US = 100 * 1000;
constexpr uint32_t APP_TYPE_MAX_LEN = 128;

// Results are nodes[pos..used): a pop advances pos, a query refills from 0. Node memory is
// allocated once per thread and reused by every query.
struct query_list {
    uint32_t initialized;
    uint32_t capacity;
    uint32_t used;
    uint32_t pos;
    process_st *nodes;
    proc_tree *exec_tree;
};

thread_local constinit query_list s_list{};

// Kernel answers of the current query that a full tree could not keep: the query still
// describes those processes as the kernel gave them. Allocated on the first such answer.
struct kernel_stash {
    uint32_t cnt;
    uint32_t pid[PROC_QUERY_MAX_DEPTH];
    process_st *recs;
};
thread_local constinit kernel_stash s_stash{};

void stash_put(const process_info_st &info) {
    if (s_stash.cnt >= PROC_QUERY_MAX_DEPTH) return;
    if (!s_stash.recs) {
        s_stash.recs = static_cast<process_st *>(
            kiv_malloc(sizeof(process_st) * PROC_QUERY_MAX_DEPTH, MALLOC_FOR_TASK_INFO_LIST));
        if (!s_stash.recs) {
            KIV_LOG(1, "malloc kernel answer stash failed\n");
            return;
        }
    }
    process_st *r = &s_stash.recs[s_stash.cnt];
    process_st_init(r);
    if (process_info_st2process_st(&info, r) != 0) return;
    s_stash.pid[s_stash.cnt++] = info.raw->pid;
}

const process_st *stash_find(uint32_t pid) {
    for (uint32_t i = 0; i < s_stash.cnt; i++)
        if (s_stash.pid[i] == pid) return &s_stash.recs[i];
    return nullptr;
}

// Completes an ancestry from the kernel, starting at the first process missing in the tree.
// Writes the pids nearest first; returns how many.
int tree_from_kernel(const ftree_key &missing, uint32_t *out, int room) {
    uint32_t cnt = static_cast<uint32_t>(room);
    task_drv_interact_info_st *ans = drv_get_task_tree(missing.pid, missing.create_time, &cnt);
    if (!ans) return 0;
    uint32_t fit = ans->size / RAW_PROCESS_SLOT_SIZE;
    if (cnt > fit) cnt = fit;
    if (cnt > static_cast<uint32_t>(room)) cnt = static_cast<uint32_t>(room);
    // Farthest first, so each parent is in the tree before its child.
    auto *buf = static_cast<raw_process_buf *>(kiv_malloc(sizeof(raw_process_buf), MALLOC_FOR_TMP));
    for (int i = static_cast<int>(cnt) - 1; buf && i >= 0; i--) {
        const unsigned char *slot = ans->data + static_cast<size_t>(i) * RAW_PROCESS_SLOT_SIZE;
        process_info_st info;
        bool kept = false;
        // A record that enriches badly still names its pid; an undecodable one leaves pid 0,
        // where the later fill stops.
        int ret = ftree_insert_drv_record(slot, RAW_PROCESS_SLOT_SIZE, buf, &info, &kept);
        out[i] = ret == -2 ? 0 : buf->info.pid;
        if (ret == 0 && !kept) stash_put(info);
    }
    if (!buf) {
        KIV_LOG(1, "malloc kernel record buffer failed\n");
        cnt = 0;
    }
    kiv_free(buf);
    kiv_free(ans);
    return static_cast<int>(cnt);
}

// A query on this thread for a file event that came before its process's latest exec.
struct before_exec {
    uint32_t pid;
    uint64_t create_time;
    uint32_t mark;  // 0: none
};
thread_local constinit before_exec s_before{};

// Describes the queried process with the image the marked exec replaced, when that image is
// still kept. True when it did.
bool describe_prior_image(process_st *out) {
    if (!s_before.mark || static_cast<uint32_t>(out->pid) != s_before.pid) return false;
    ftree_key key{s_before.create_time, s_before.pid};
    fork_node *node = nullptr;
    rwlock_read_guard g(&g_task_info.ftree_lock);
    if (ftree_search(g_task_info.ftree, &key, &node) != 0) return false;
    const uint16_t exec_id = static_cast<uint16_t>(s_before.mark & 0xffff);
    // An exec the collector has not taken yet has kept nothing: the node still has the image
    // the event ran under. Later execs and the exit leave the kept one as it was.
    const common_proc_info *prior = ftree_prior_image(g_task_info.ftree, node->fork_info.pid,
                                                      node->fork_info.create_time, exec_id);
    if (!prior) {
        KIV_LOG(3, "image of %u before exec %u not kept (exec not taken yet, or let go)\n",
                s_before.pid, exec_id);
        return false;
    }
    fork_info_st fi = node->fork_info;
    fi.exec_info = const_cast<common_proc_info *>(prior);
    process_st was;
    _memset_process_info(&was);
    if (fork_info_st2process_st(&fi, &was) != 0) return false;
    *out = was;
    return true;
}

void set_create_reported(uint32_t pid, uint64_t create_time) {
    ftree_key key{create_time, pid};
    fork_node *node = nullptr;
    bool queue_exit = false;
    {
        rwlock_write_guard g(&g_task_info.ftree_lock);
        if (ftree_search(g_task_info.ftree, &key, &node) != 0) return;
        fork_info_st &fi = node->fork_info;
        fi.flags |= FORK_INFO_CREATE_REPORTED;
        // The image reported is the node's latest: its exec, handled after, is no new one.
        fi.reported_event_id = fi.task_event_id;
        // An exec waiting for its digests may see its process exit first; its creation then
        // goes from here, and its exit with it, since the exec will not report it again.
        if (g_task_info.exec_digest_wait && (fi.flags & FORK_INFO_EXITED) &&
            fork_info_exit_upload_state(&fi) == EXIT_UPLOAD_NONE) {
            fork_info_set_exit_upload_state(&fi, EXIT_UPLOAD_QUEUED);
            queue_exit = true;
        }
    }
    if (queue_exit) add_upload_exit_event(pid, create_time);
}

}  // namespace

int ftree_insert_drv_record(const unsigned char *bytes, size_t len, raw_process_buf *buf,
                            process_info_st *info, bool *kept) {
    if (kept) *kept = false;
    if (raw_process_info_decode(bytes, len, &buf->info, sizeof *buf) != 0) return -2;
    exe_ident exe;
    process_digest_req req;
    if (raw_process_exe_ident(bytes, len, &exe)) req.exe = &exe;
    if (process_info_init(info, &buf->info, 1, 1, &req) != 0) {
        KIV_LOG(1, "proc_info_init failed\n");
        return -1;
    }
    process_info_container(info, bytes, len);
    ftree_key key{buf->info.create_time, buf->info.pid};
    rwlock_write_guard g(&g_task_info.ftree_lock);
    int rc = ftree_insert(g_task_info.ftree, &key, info);
    if (rc < 0)
        KIV_LOG(3, "ftree_insert kernel info failed, pid %d\n", buf->info.pid);
    else if (rc == 0 && kept && !(info->flags & PROC_INFO_STALE))
        *kept = true;
    return 0;
}

// ---- Per-thread storage -----------------------------------------------------------------------

KIV_API int _init_process_info(int capacity) {
    if (s_list.initialized) return 0;
    if (capacity < 1) {
        KIV_LOG(1, "bad capacity %d\n", capacity);
        return -1;
    }
    auto *nodes = static_cast<process_st *>(
        kiv_zalloc(sizeof(process_st) * static_cast<size_t>(capacity), MALLOC_FOR_TASK_INFO_LIST));
    if (!nodes) {
        KIV_LOG(1, "malloc tree_node failed\n");
        return -1;
    }
    s_list.nodes = nodes;
    s_list.capacity = static_cast<uint32_t>(capacity);
    s_list.used = s_list.pos = 0;
    s_list.initialized = 1;
    return 0;
}

KIV_API void _free_process_info(void) {
    kiv_free(s_list.nodes);
    kiv_free(s_list.exec_tree);
    s_list = query_list{};
    kiv_free(s_stash.recs);
    s_stash = kernel_stash{};
}

KIV_API int is_proc_tree_init(void) {
    return static_cast<int>(s_list.initialized);
}

proc_tree *task_exec_tree_get() {
    if (!s_list.exec_tree)
        s_list.exec_tree =
            static_cast<proc_tree *>(kiv_malloc(sizeof(proc_tree), MALLOC_FOR_TASK_EXEC_TREE_CTX));
    return s_list.exec_tree;
}

void task_exec_tree_put(proc_tree *tree) {
    if (tree && tree != s_list.exec_tree) kiv_free(tree);
}

KIV_API void _memset_process_info(struct process_st *r) {
    if (!r) return;
    // Strings only need their terminator: a full clear of 5 KB per node would dominate a query.
    r->guid[0] = r->current_dir[0] = r->path[0] = r->md5[0] = r->sha256[0] = '\0';
    r->cmd_line[0] = r->user_name[0] = r->app_type[0] = r->path_permit[0] = '\0';
    r->group_name[0] = r->fd0[0] = r->fd1[0] = r->container_id[0] = '\0';
    r->createtime = 0;
    r->pid = r->ppid = 0;
    memset(r->ids, 0xff, sizeof r->ids);
    r->xdg_session_id = -1;
    r->flags = 0;
}

process_st *get_tree_node() {
    if (!s_list.initialized || s_list.used >= s_list.capacity) return nullptr;
    process_st *p = &s_list.nodes[s_list.used++];
    _memset_process_info(p);
    return p;
}

KIV_API struct process_st *_pop_process_info(void) {
    if (!s_list.initialized || s_list.pos >= s_list.used) return nullptr;
    return &s_list.nodes[s_list.pos++];
}

KIV_API struct process_st *_pick_process_info(int index) {
    if (!s_list.initialized || index < 0) return nullptr;
    uint32_t at = s_list.pos + static_cast<uint32_t>(index);
    return at < s_list.used ? &s_list.nodes[at] : nullptr;
}

KIV_API void _clear_process_info(void) {
    s_list.used = s_list.pos = 0;
}

// ---- Queries ----------------------------------------------------------------------------------

int get_pid_tgid(int pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE *f = fopen(path, "re");
    if (!f) {
        KIV_LOG(3, "get tgid failed: %s\n", strerror(errno));
        return -1;
    }
    char line[256];
    int tgid = -1;
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "Tgid:", 5) == 0) {
            char *end = nullptr;
            long v = strtol(line + 5, &end, 10);
            if (end != line + 5 && v >= 0 && v <= INT32_MAX) tgid = static_cast<int>(v);
            break;
        }
    }
    fclose(f);
    return tgid;
}

int pid_tree_get(uint32_t pid, uint64_t create_time, uint32_t *out, int max, int use_kernel) {
    if (!out || max < 1) {
        KIV_LOG(1, "tree_pids is %p, depth is %d\n", (void *)out, max);
        return -1;
    }
    int n = 0;
    bool missing = false;
    ftree_key cur{create_time, pid};
    {
        // Searching changes nothing, so concurrent queries share the lock.
        rwlock_read_guard g(&g_task_info.ftree_lock);
        while (n < max && cur.pid != 0 && cur.pid != 1) {
            fork_node *node = nullptr;
            if (ftree_search(g_task_info.ftree, &cur, &node) != 0) {
                missing = true;
                break;
            }
            out[n++] = node->fork_info.pid;
            cur = {node->fork_info.parent_create_time, node->fork_info.ppid};
        }
    }
    if (missing && use_kernel) {
        int got = tree_from_kernel(cur, out + n, max - n);
        // The kernel's ancestry runs on up to init; cut it where the walk above stops, so a
        // question gets the same answer whether the ancestry was cached or not.
        int kept = 0;
        while (kept < got && out[n + kept] != 0 && out[n + kept] != 1) kept++;
        return n + kept;
    }
    KIV_LOG(4, "ret is %d, depth is %d, tree_node is %d, need_drv_get is %d\n", n, max, n,
            missing ? 1 : 0);
    return n;
}

int query_process_one(uint32_t pid, process_st *out, int use_kernel) {
    if (!out) return -2;
    {
        ftree_key key{0, pid};
        fork_node *node = nullptr;
        rwlock_read_guard g(&g_task_info.ftree_lock);
        if (ftree_search(g_task_info.ftree, &key, &node) == 0)
            return fork_info_st2process_st(&node->fork_info, out) == 0 ? 0 : -1;
    }
    if (!use_kernel) return -1;
    task_drv_interact_info_st *ans = drv_get_proc_info(pid, 0);
    if (!ans) {
        KIV_LOG(1, "drv_get_proc_info parent info failed\n");
        return -1;
    }
    auto *buf = static_cast<raw_process_buf *>(kiv_malloc(sizeof(raw_process_buf), MALLOC_FOR_TMP));
    process_info_st info;
    int ret = -1;
    size_t len = ans->size < RAW_PROCESS_SLOT_SIZE ? ans->size : RAW_PROCESS_SLOT_SIZE;
    if (buf && ftree_insert_drv_record(ans->data, len, buf, &info) == 0)
        ret = process_info_st2process_st(&info, out) == 0 ? 0 : -1;
    else
        KIV_LOG(1, "get_extra_info info failed\n");
    kiv_free(buf);
    kiv_free(ans);
    return ret;
}

int query_process(const uint32_t *pids, uint64_t create_time, int count, int upload) {
    if (!pids || count < 1) return -2;
    _clear_process_info();
    for (int i = 0; i < count; i++) {
        process_st *p = get_tree_node();
        if (!p) {
            KIV_LOG(1, "get_tree_node failed\n");
            _clear_process_info();
            return -1;
        }
        p->pid = static_cast<int32_t>(pids[i]);
    }
    int filled = 0;
    while (filled < count) {
        process_st *p = &s_list.nodes[filled];
        if (query_process_one(pids[filled], p, 0) != 0) {
            const process_st *known = stash_find(pids[filled]);
            if (!known) break;
            *p = *known;
        }
        filled++;
    }
    if (filled == 0) {
        KIV_LOG(1, "get info failed\n");
        _clear_process_info();
        return -1;
    }
    // The creation is the latest image's to report, never the one an event ran under.
    if (describe_prior_image(&s_list.nodes[0])) return 0;
    if (!upload) return 0;

    // The tree node decides the key: a create_time of 0 asks for whatever process holds the pid.
    ftree_key key{create_time, pids[0]};
    bool found, reported = false;
    {
        fork_node *node = nullptr;
        rwlock_read_guard g(&g_task_info.ftree_lock);
        found = ftree_search(g_task_info.ftree, &key, &node) == 0;
        if (found) {
            key.create_time = node->fork_info.create_time;
            reported = node->fork_info.flags & FORK_INFO_CREATE_REPORTED;
        }
    }
    if (!found) {
        KIV_LOG(3, "upload can't find pid(ftree_search)\n");
        return 0;
    }
    if (reported || !proc_need_upload(&key)) return 0;
    const process_st *items[PROC_QUERY_MAX_DEPTH];
    int n = filled < PROC_QUERY_MAX_DEPTH ? filled : PROC_QUERY_MAX_DEPTH;
    for (int i = 0; i < n; i++) items[i] = &s_list.nodes[i];
    if (upload_task_create_event(items, n, UPLOAD_ITEMS_PTRS) == 0)
        set_create_reported(key.pid, key.create_time);
    return 0;
}

int inner_query_process_info(int pid, uint64_t create_time, int depth, int attempts, int is_tgid) {
    if (pid < 0 || depth < 1) {
        KIV_LOG(1, "pid is %d, depth is %d\n", pid, depth);
        return PROC_QUERY_BAD_ARG;
    }
    if (depth > PROC_QUERY_MAX_DEPTH) depth = PROC_QUERY_MAX_DEPTH;
    if (!is_tgid) {
        int tgid = get_pid_tgid(pid);
        if (tgid > 0) pid = tgid;
    }
    uint32_t pids[PROC_QUERY_MAX_DEPTH];
    int levels = 0;
    int ret = -1;
    for (int attempt = 0; attempt < attempts; attempt++) {
        // The gate is held for one attempt only, so a stop never waits out the sleeps.
        if (kiv_gate_pass pass(g_task_gate); !pass) {
            ret = PROC_QUERY_NOT_RUNNING;
        } else {
            // The ancestry is looked up once; later attempts wait for the records to fill.
            if (levels == 0) {
                s_stash.cnt = 0;
                if (pid == 1) return PROC_QUERY_INIT_ANCESTOR;
                levels = pid_tree_get(static_cast<uint32_t>(pid), create_time, pids,
                                      PROC_QUERY_MAX_DEPTH, 1);
                if (levels < 1 || levels > PROC_QUERY_MAX_DEPTH) {
                    KIV_LOG(3, "tree get fail, tree_level is %d\n", levels);
                    return -1;
                }
                for (int i = 0; i < levels; i++)
                    if (pids[i] == 1) return PROC_QUERY_INIT_ANCESTOR;
            }
            ret = query_process(pids, create_time, depth < levels ? depth : levels, 1);
        }
        if (ret == 0 || ret == PROC_QUERY_BAD_ARG) break;
        KIV_LOG(4, "waiting for proc info update, ret: %d\n", ret);
        if (attempt + 1 < attempts) usleep(QUERY_RETRY_US);
    }
    if (ret != 0) KIV_LOG(1, "%d get proc info %d times fail\n", pid, attempts);
    return ret;
}

KIV_API int query_tgid_info(int tgid, uint64_t create_time, int depth) {
    return inner_query_process_info(tgid, create_time, depth, QUERY_ATTEMPTS, 1);
}

KIV_API int query_tgid_info_once(int tgid, uint64_t create_time) {
    return inner_query_process_info(tgid, create_time, 1, 1, 1);
}

KIV_API int query_tgid_info_once_depth(int tgid, uint64_t create_time, int depth) {
    return inner_query_process_info(tgid, create_time, depth, 1, 1);
}

KIV_API int query_tgid_info_before_exec(int tgid, uint64_t create_time, int depth,
                                        uint32_t exec_mark) {
    if ((exec_mark & 0xffff0000u) != PROC_EXEC_MARK_BEFORE || tgid < 0)
        return query_tgid_info_once_depth(tgid, create_time, depth);
    s_before = before_exec{static_cast<uint32_t>(tgid), create_time, exec_mark};
    int ret = inner_query_process_info(tgid, create_time, depth, 1, 1);
    s_before = before_exec{};
    return ret;
}

KIV_API int _query_process_info(int pid, int depth) {
    return inner_query_process_info(pid, 0, depth, QUERY_ATTEMPTS, 0);
}

KIV_API int _query_process_info_once(int pid, int depth) {
    return inner_query_process_info(pid, 0, depth, 1, 0);
}

KIV_API int _get_process_info(int pid, struct process_st *out) {
    if (!out || pid < 0) return -1;
    _memset_process_info(out);
    kiv_gate_pass pass(g_task_gate);
    if (!pass) return -1;
    return query_process_one(static_cast<uint32_t>(pid), out, 1) == 0 ? 0 : -1;
}

// ---- Process monitors and application types ---------------------------------------------------

static bool monitor_name_ok(const char *name) {
    if (!name) {
        KIV_LOG(1, "monitor name is NULL\n");
        return false;
    }
    if (strnlen(name, TASK_MONITOR_NAME_LEN) >= TASK_MONITOR_NAME_LEN) {
        KIV_LOG(1, "[%.32s] is too long\n", name);
        return false;
    }
    return true;
}

KIV_API int _register_process_monitor(const char *name, uint32_t type, process_monitor_fn cb) {
    if (!monitor_name_ok(name)) return -1;
    if (!cb) {
        KIV_LOG(1, "[%s] has no callback\n", name);
        return -1;
    }
    kiv_gate_pass pass(g_task_gate);
    if (!pass) {
        KIV_LOG(1, "[%s] not registered: the process module is not running\n", name);
        return -1;
    }
    rwlock_write_guard g(&g_task_info.tm_info_lock);
    if (g_task_info.monitor_cnt >= TASK_MONITOR_MAX) return -1;
    for (uint32_t i = 0; i < g_task_info.monitor_cnt; i++) {
        if (strncmp(g_task_info.monitors[i].name, name, TASK_MONITOR_NAME_LEN) == 0) {
            KIV_LOG(1, "[%s] has been registered\n", name);
            return -1;
        }
    }
    process_monitor_entry &e = g_task_info.monitors[g_task_info.monitor_cnt++];
    snprintf(e.name, sizeof e.name, "%s", name);
    e.type = type;
    e.callback = cb;
    KIV_LOG(2, "register [%s] callback success\n", name);
    return 0;
}

KIV_API int _delete_process_monitor(const char *name) {
    if (!monitor_name_ok(name)) return -1;
    kiv_gate_pass pass(g_task_gate);
    if (!pass) return -1;
    rwlock_write_guard g(&g_task_info.tm_info_lock);
    uint32_t cnt = g_task_info.monitor_cnt;
    for (uint32_t i = 0; i < cnt; i++) {
        if (strncmp(g_task_info.monitors[i].name, name, TASK_MONITOR_NAME_LEN) != 0) continue;
        memmove(&g_task_info.monitors[i], &g_task_info.monitors[i + 1],
                (cnt - i - 1) * sizeof g_task_info.monitors[0]);
        g_task_info.monitor_cnt = cnt - 1;
        return 0;
    }
    return -1;
}

void exec_cap_process_cb(const char *path, int flag, uint32_t type) {
    pthread_rwlock_rdlock(&g_task_info.tm_info_lock);
    for (uint32_t i = 0; i < g_task_info.monitor_cnt; i++) {
        if (g_task_info.monitors[i].type != type) continue;
        // A callback may register or delete monitors: never call it under the lock.
        process_monitor_entry e = g_task_info.monitors[i];
        pthread_rwlock_unlock(&g_task_info.tm_info_lock);
        int ret = e.callback(path, flag);
        KIV_LOG(3, "run [%s] result[%d]\n", e.name, ret);
        pthread_rwlock_rdlock(&g_task_info.tm_info_lock);
    }
    pthread_rwlock_unlock(&g_task_info.tm_info_lock);
}

// Whether the process pid (a thread group's id) and its parent already carry this application
// type, so that tagging them again would change nothing and return 0.
static bool app_type_is(uint32_t pid, const char *text, uint32_t length) {
    auto tagged = [&](const fork_node *n) {
        flex_str cur{};
        return n->fork_info.exec_info &&
               get_flex_task_info_str(n->fork_info.exec_info->flex, &cur, FLEX_APP_TYPE) >= 0 &&
               cur.len == length && cur.ptr && memcmp(cur.ptr, text, length) == 0;
    };
    ftree_key key{0, pid};
    fork_node *node = nullptr;
    rwlock_read_guard g(&g_task_info.ftree_lock);
    if (ftree_search(g_task_info.ftree, &key, &node) != 0 || !tagged(node)) return false;
    uint32_t ppid = node->fork_info.ppid;
    if (ppid == 0 || ppid == 1) return true;
    ftree_key pkey{node->fork_info.parent_create_time, ppid};
    fork_node *parent = nullptr;
    return ftree_search(g_task_info.ftree, &pkey, &parent) == 0 && tagged(parent);
}

KIV_API int _add_app_type(int pid, const char *text, uint32_t length) {
    if (pid < 0 || !text || length == 0 || length > APP_TYPE_MAX_LEN) {
        KIV_LOG(1, "pid is %d, field is %p, field_len is %d\n", pid, (const void *)text,
                (int)length);
        return PROC_QUERY_BAD_ARG;
    }
    kiv_gate_pass pass(g_task_gate);
    if (!pass) {
        KIV_LOG(2, "task is not ready\n");
        return PROC_QUERY_NOT_RUNNING;
    }
    // A process and parent already tagged so (a server tagged at each connection it
    // accepts) cost a lookup, not a read of /proc for the thread group and the write lock.
    if (app_type_is(static_cast<uint32_t>(pid), text, length)) return 0;
    int tgid = get_pid_tgid(pid);
    ftree_key key{0, static_cast<uint32_t>(tgid > 0 ? tgid : pid)};
    fork_node *node = nullptr;
    rwlock_write_guard g(&g_task_info.ftree_lock);
    if (ftree_search(g_task_info.ftree, &key, &node) != 0) return -1;
    if (set_common_info_flex_info(node->fork_info.exec_info, FLEX_APP_TYPE, text, length) != 0) {
        KIV_LOG(1, "set_common_info_flex_info failed\n");
        return -1;
    }
    uint32_t ppid = node->fork_info.ppid;
    if (ppid == 0 || ppid == 1) return 0;
    ftree_key pkey{node->fork_info.parent_create_time, ppid};
    fork_node *parent = nullptr;
    int ret = ftree_search(g_task_info.ftree, &pkey, &parent);
    if (ret != 0) return ret;
    if (set_common_info_flex_info(parent->fork_info.exec_info, FLEX_APP_TYPE, text, length) != 0) {
        KIV_LOG(1, "set_common_info_flex_info failed\n");
        return -1;
    }
    return 0;
}
