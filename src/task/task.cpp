// The process module: configuration, start and stop, the fork/exec/exit hooks, the exit
// upload queue and the ancestry lookup.
#include "task/task.h"

#include <cjson/cJSON.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "comm/dirutils.h"
#include "comm/ini_key.h"
#include "comm/timer.h"
#include "base/mem.h"
#include "framework/ring.h"
#include "base/log.h"
#include "comm/json_add.h"
#include "qxkiv/digest.h"
#include "qxkiv/ini.h"
#include "task/aux_sensors.h"
#include "task/binhash.h"
#include "task/kernel_query.h"
#include "task/loader_exec.h"
#include "task/query.h"
#include "task/task_filter.h"
#include "task/task_record.h"

task_info g_task_info;
kiv_entry_gate g_task_gate;

const char *const g_kern_task_list_sections[KERN_TASK_LIST_NUM] = {
    "black_process", "net_black_process", "file_black_process", "kill_black_process",
    "dl_load_black_process"};

namespace {

constexpr const char *TASK_CONF_PATH = "@/../config/task.conf";
constexpr const char *TASK_SECTION = "task";
constexpr uint64_t EXIT_UPLOAD_TIMER_MS = 1000;
constexpr uint32_t PROCESS_LIST_MAX_CAP = 10000;
constexpr uint32_t KERN_SL_CAP = 65536;
constexpr uint8_t FORK_RELY_MAX = 9;
constexpr uint8_t EXIT_RELY_MAX = 29;
// An exec waits this many times for its executable's digests (2.4 s: a file of a few MB
// hashed while a busy host runs others), before its exit gives up waiting for the exec.
constexpr uint8_t EXEC_DIGEST_RELY_MAX = 24;

std::string s_conf_path = TASK_CONF_PATH;
std::string s_conf_file;  // translated path of the loaded file, for the filter lists

kiv_msg_hook s_task_ops[] = {
    {{}, 1u << EV_FORK, fork_event_handle, 1},
    {{}, 1u << EV_EXEC, exec_event_handle, 11},
    {{}, 1u << EV_EXEC, task_create_upload_handle, 18},
    {{}, 1u << EV_EXIT, exit_event_handle, 21},
};
constexpr int TASK_OPS_NUM = sizeof(s_task_ops) / sizeof(s_task_ops[0]);

struct mx_lock {
    pthread_mutex_t *m;
    explicit mx_lock(pthread_mutex_t *mutex) : m(mutex) { pthread_mutex_lock(m); }
    ~mx_lock() { pthread_mutex_unlock(m); }
};

// ---- configuration --------------------------------------------------------------------------

// Every numeric key of task.conf. Below the range gives the default, above it the bound.
// Bounds beyond the ones the module always had keep a table that is allocated whole at start
// (kMaxTable) from taking the host's memory, or a count within its field (kMaxField).
constexpr long kMaxTable = 1L << 20;
constexpr long kMaxField = INT32_MAX;
constexpr ini_long_key kBinhashSize{"binhash_size", BINHASH_SIZE_DEFAULT, 1, kMaxTable};
constexpr ini_long_key kBinhashDatabaseSize{"binhash_database_size", BINHASH_DATABASE_SIZE_DEFAULT,
                                            1, kMaxField};
constexpr ini_long_key kRedoHashSize{"redo_hash_size", 2048, 1, kMaxTable};
constexpr ini_long_key kExecListSize{"exec_list_size", 512, 1, kMaxField};
constexpr ini_long_key kForkHashSize{"fork_hash_size", 2048, 1, 4 * kMaxTable};
constexpr ini_long_key kIoctlTimeout{"ioctl_timeout", 1000, 1, kMaxField};
constexpr ini_long_key kTaskCreateCntSecond{"task_create_cnt_second", 1000, 0, kMaxField};
constexpr ini_long_key kNofilterListMaxCnt{"nofilter_list_max_cnt", 100, 1, kMaxField};
constexpr ini_long_key kCmdlineListMaxCnt{"cmdline_list_max_cnt", 100, 1, kMaxField};
constexpr ini_long_key kExitUploadWaitListSize{"exit_upload_wait_list_size", 512, 1, kMaxTable};
constexpr ini_long_key kUploadMarkHashSize{"upload_mark_hash_size", 2048, 1, kMaxTable};
constexpr ini_long_key kMaxFileSize{"max_file_size", 52428800, 1, kMaxField};
constexpr ini_long_key kProcessListMaxCnt{"process_list_max_cnt", 100, 1, PROCESS_LIST_MAX_CAP};
constexpr ini_long_key kCleanFtreeThreshold{"clean_ftree_threshold",
                                            90,
                                            1,
                                            99,
                                            ini_oor::use_default,
                                            ini_oor::use_default,
                                            nullptr,
                                            "clean_ftree_threshold isn't in range, set 90"};
constexpr ini_long_key kTaskCreateCntHour{"task_create_cnt_hour", 0, 0, kMaxField};
constexpr ini_long_key kForkSlHashSize{
    "fork_sl_hash_size", 512,          1, KERN_SL_CAP, ini_oor::use_default,
    ini_oor::use_bound,  "fork_sl_cnt"};
constexpr ini_long_key kForkSlTimeoutSec{"fork_sl_timeout_sec", 3600, 1, kMaxField};
constexpr ini_long_key kForkSlTimeoutCnt{"fork_sl_timeout_cnt", 10, 1, kMaxField};
constexpr ini_long_key kLostTaskQueueCnt{"lost_task_queue_cnt", 128, 1, KERN_SL_CAP};
constexpr ini_long_key kLimitPerUser{"limit_per_user", 0, 0, 1};
constexpr ini_long_key kRedoWholeCmdline{"redo_whole_cmdline", 0, 0, 1};
constexpr ini_long_key kReportEveryExec{"report_every_exec", 0, 0, 1};
constexpr ini_long_key kExecDigestWait{"exec_digest_wait", 0, 0, 1};
constexpr ini_long_key kFtreeMemMaxMb{"ftree_mem_max_mb", 0, 0, 65536};
constexpr ini_long_key kReportLoaderProgram{"report_loader_program", 0, 0, 1};

uint32_t read_u32(ini_file_t *ini, const ini_long_key &k) {
    return static_cast<uint32_t>(ini_get_long_in_range(ini, TASK_SECTION, k));
}

}  // namespace

void task_set_conf_path(const char *path) {
    s_conf_path = path ? path : TASK_CONF_PATH;
}

const char *task_conf_path() {
    return s_conf_file.c_str();
}

ini_file_t *task_conf_open(const char *path) {
    ini_file_t *ini = ini_conf_load(path);
    if (ini) s_conf_file = ini_file_name(ini);
    return ini;
}

int task_cfg_load(ini_file_t *ini, kern_task_conf **conf_out) {
    if (!ini) return -2;
    task_info &t = g_task_info;
    t.binhash_size = read_u32(ini, kBinhashSize);
    t.binhash_database_size = read_u32(ini, kBinhashDatabaseSize);
    t.redo_hash_size = read_u32(ini, kRedoHashSize);
    t.exec_list_size = read_u32(ini, kExecListSize);
    t.fork_hash_size = read_u32(ini, kForkHashSize);
    t.ioctl_timeout = read_u32(ini, kIoctlTimeout);
    t.ioctl_max_cnt = t.ioctl_timeout;
    t.sec_limit.max_cnt = read_u32(ini, kTaskCreateCntSecond);
    t.vip_list_max_cnt = read_u32(ini, kNofilterListMaxCnt);
    t.cmdline_list_max_cnt = read_u32(ini, kCmdlineListMaxCnt);
    t.exit_list_size = read_u32(ini, kExitUploadWaitListSize);
    t.upload_mark_hash_size = read_u32(ini, kUploadMarkHashSize);
    t.max_file_size = read_u32(ini, kMaxFileSize);
    t.process_list_max_cnt = read_u32(ini, kProcessListMaxCnt);
    t.clean_ftree_threshold = static_cast<float>(read_u32(ini, kCleanFtreeThreshold)) / 100.0f;
    t.hour_limit.max_cnt = read_u32(ini, kTaskCreateCntHour);
    t.limit_per_user = read_u32(ini, kLimitPerUser);
    t.redo_whole_cmdline = read_u32(ini, kRedoWholeCmdline);
    t.report_every_exec = read_u32(ini, kReportEveryExec);
    t.exec_digest_wait = read_u32(ini, kExecDigestWait);
    t.ftree_mem_max_mb = read_u32(ini, kFtreeMemMaxMb);
    t.report_loader_program = read_u32(ini, kReportLoaderProgram);
    if (t.limit_per_user || t.redo_whole_cmdline || t.report_every_exec || t.exec_digest_wait ||
        t.ftree_mem_max_mb || t.report_loader_program)
        KIV_LOG(2,
                "limit_per_user(%u) redo_whole_cmdline(%u) report_every_exec(%u) "
                "exec_digest_wait(%u) ftree_mem_max_mb(%u) report_loader_program(%u)\n",
                t.limit_per_user, t.redo_whole_cmdline, t.report_every_exec, t.exec_digest_wait,
                t.ftree_mem_max_mb, t.report_loader_program);

    size_t conf_len = sizeof(kern_task_conf) + 4u * KERN_TASK_LIST_NUM * t.process_list_max_cnt;
    auto *conf = static_cast<kern_task_conf *>(kiv_zalloc(conf_len, MALLOC_FOR_TASK_CONFIG));
    if (!conf) {
        KIV_LOG(1, "malloc kern_task_conf failed\n");
        return -3;
    }
    conf->fork_sl_hash_size = read_u32(ini, kForkSlHashSize);
    conf->fork_sl_timeout_sec = read_u32(ini, kForkSlTimeoutSec);
    conf->fork_sl_timeout_cnt = read_u32(ini, kForkSlTimeoutCnt);
    conf->lost_task_queue_cnt = read_u32(ini, kLostTaskQueueCnt);
    // The lists are packed one after the other; the buffer holds five full lists.
    task_kern_list_load(ini, t.process_list_max_cnt, conf);
    KIV_LOG(2,
            "fork_sl_cnt(%d) fork_timeout_sec(%d) fork_cnt_timeout(%d) lost_task_queue_cnt(%d) "
            "binhash_size(%d) binhash_database_size(%d) redo_hash_size(%d) exec_list_size(%d) "
            "fork_hash_size(%d) ioctl_max_cnt(%d) ioctl_timeout(%d) sec_limit.max_cnt(%d) "
            "hour_limit.max_cnt(%d) process_list_max_cnt(%d) vip_list_max_cnt(%d) "
            "cmdline_list_max_cnt(%d) exit_list_size(%d)\n",
            conf->fork_sl_hash_size, conf->fork_sl_timeout_sec, conf->fork_sl_timeout_cnt,
            conf->lost_task_queue_cnt, t.binhash_size, t.binhash_database_size, t.redo_hash_size,
            t.exec_list_size, t.fork_hash_size, t.ioctl_max_cnt, t.ioctl_timeout,
            t.sec_limit.max_cnt, t.hour_limit.max_cnt, t.process_list_max_cnt, t.vip_list_max_cnt,
            t.cmdline_list_max_cnt, t.exit_list_size);
    if (conf_out)
        *conf_out = conf;
    else
        kiv_free(conf);
    return 0;
}

// ---- resources ----------------------------------------------------------------------------

namespace {

enum res_step : int {
    RES_BINHASH,
    RES_TM_INFO_LOCK,
    RES_FTREE_LOCK,
    RES_FTREE,
    RES_EXIT_QUEUE_LOCK,
    RES_EXIT_QUEUE,
    RES_EXIT_TIMER,
    RES_FILTER,  // lists, redo and mark hashes, their locks, upload_limit_lock
    RES_CLEAN_TIMER,
    RES_NUM,
};
int s_res_done;  // steps of task_init_resource that succeeded, in order

void release_step(int step) {
    task_info &t = g_task_info;
    switch (step) {
        case RES_BINHASH:
            binhash_resource_exit();
            t.binhash = nullptr;
            break;
        case RES_TM_INFO_LOCK:
            pthread_rwlock_destroy(&t.tm_info_lock);
            break;
        case RES_FTREE_LOCK:
            pthread_rwlock_destroy(&t.ftree_lock);
            break;
        case RES_FTREE:
            // Queued exits are dropped, not uploaded, when the tree goes.
            ftree_set_exit_upload(nullptr);
            ftree_destory(t.ftree);
            t.ftree = nullptr;
            break;
        case RES_EXIT_QUEUE_LOCK:
            pthread_mutex_destroy(&t.exit_task_queue_lock);
            break;
        case RES_EXIT_QUEUE:
            queue_destroy(t.exit_queue);
            t.exit_queue = nullptr;
            break;
        case RES_EXIT_TIMER:
            del_timer(t.exit_upload_timer);
            t.exit_upload_timer = nullptr;
            break;
        case RES_FILTER:
            task_filter_exit();
            break;
        case RES_CLEAN_TIMER:
            del_timer(t.clean_ftree_timer);
            t.clean_ftree_timer = nullptr;
            break;
        default:
            KIV_ASSERT(0);
    }
}

int lock_result(int ret, const char *what) {
    if (ret) KIV_LOG(0, "%s failed, ret is %d\n", what, ret);
    return ret ? -1 : 0;
}

// One creation step; logs what failed.
int init_step(int step, ini_file_t *ini) {
    task_info &t = g_task_info;
    switch (step) {
        case RES_BINHASH:
            if (binhash_resource_init(t.binhash_size, t.binhash_database_size, t.max_file_size)) {
                KIV_LOG(0, "binhash_resource_init failed\n");
                return -1;
            }
            t.binhash = &g_binhash_info;
            return 0;
        case RES_TM_INFO_LOCK:
            return lock_result(pthread_rwlock_init(&t.tm_info_lock, nullptr),
                               "pthread_rwlock_init tm_info_lock");
        case RES_FTREE_LOCK:
            return lock_result(pthread_rwlock_init(&t.ftree_lock, nullptr),
                               "pthread_rwlock_init ftree_lock");
        case RES_FTREE:
            t.ftree = ftree_create(t.exec_list_size, t.fork_hash_size);
            if (!t.ftree) {
                KIV_LOG(0, "ftree_create failed\n");
                return -1;
            }
            t.ftree->mem_max = (uint64_t)t.ftree_mem_max_mb << 20;
            ftree_set_exit_upload(upload_exit_info);
            return 0;
        case RES_EXIT_QUEUE_LOCK:
            return lock_result(pthread_mutex_init(&t.exit_task_queue_lock, nullptr),
                               "pthread_mutex_init exit_task_queue_lock");
        case RES_EXIT_QUEUE:
            t.exit_queue =
                queue_create(static_cast<int32_t>(t.exit_list_size), sizeof(exit_upload_entry));
            if (!t.exit_queue) {
                KIV_LOG(0, "queue_create exit_queue failed\n");
                return -1;
            }
            return 0;
        case RES_EXIT_TIMER:
            t.exit_upload_timer = add_timer(EXIT_UPLOAD_TIMER_MS, exit_upload_timer_func, nullptr);
            if (!t.exit_upload_timer) {
                KIV_LOG(0, "add_timer exit_upload_timer failed\n");
                return -1;
            }
            return 0;
        case RES_FILTER:
            return task_filter_init(ini);
        case RES_CLEAN_TIMER:
            t.clean_ftree_timer =
                add_timer(CLEAN_FTREE_INTERVAL_MS, clean_ftree_timer_func, nullptr);
            if (!t.clean_ftree_timer) {
                KIV_LOG(0, "add_timer clean_ftree_timer failed\n");
                return -1;
            }
            return 0;
        default:
            KIV_ASSERT(0);
    }
    return -1;
}

void task_release_resource() {
    while (s_res_done > 0) release_step(--s_res_done);
}

int task_init_resource(ini_file_t *ini) {
    for (s_res_done = 0; s_res_done < RES_NUM; s_res_done++) {
        if (init_step(s_res_done, ini) != 0) {
            task_release_resource();
            return -1;
        }
    }
    return 0;
}

long send_kern_task_conf(kern_task_conf *conf) {
    long ret = kiv_dev_ioctl(TASK_DRV_CONF_REQ, reinterpret_cast<unsigned long>(conf));
    if (ret < 0) KIV_LOG(1, "qxe_ioctl failed, ret is %d\n", static_cast<int>(ret));
    return ret;
}

}  // namespace

int kiv_task_init() {
    // The locks are created by task_init_resource; the rest of the record starts cleared.
    g_task_info = task_info{};
    kern_task_conf *conf = nullptr;
    ini_file_t *ini = task_conf_open(s_conf_path.c_str());
    int ret = ini ? task_cfg_load(ini, &conf) : -1;
    if (ret != 0) {
        KIV_LOG(0, "task_config_init failed, ret is %d\n", ret);
        ini_file_free(ini);
        return -1;
    }
    ret = task_init_resource(ini);
    ini_file_free(ini);
    if (ret != 0) {
        kiv_free(conf);
        return -1;
    }
    // sec_limit and hour_limit were started by the filters with the configured maxima.
    task_info &t = g_task_info;
    t.monitor_cnt = 0;
    t.last_ring_fail = 0;
    task_drv_limit_reset();
    if (register_msg_handler(s_task_ops, TASK_OPS_NUM) != 0) {
        KIV_LOG(0, "register ops failed\n");
        task_release_resource();
        kiv_free(conf);
        return -1;
    }
    KIV_LOG(2, "start download task con\n");
    conf->command = KERN_TASK_CONF_START;
    conf->enable = 1;
    if (send_kern_task_conf(conf) < 0) {
        unregister_msg_handler(s_task_ops, TASK_OPS_NUM);
        task_release_resource();
        kiv_free(conf);
        return -1;
    }
    g_task_gate.open();
    kiv_free(conf);
    // Optional sensors: the module runs without them.
    kiv_dl_load_init();
    kiv_kill_init();
    KIV_LOG(2, "task init ok\n");
    return 0;
}

void kiv_task_exit() {
    // The threads are stopped: exits still waiting for their delay are reported now rather
    // than lost with the queue.
    if (kiv_queue *q = g_task_info.exit_queue) {
        exit_upload_entry e;
        int flushed = 0;
        for (;;) {
            {
                mutex_guard guard(&g_task_info.exit_task_queue_lock);
                if (queue_pop(q, &e) != 0) break;
            }
            exit_queue_pop_info_handle(&e);
            flushed++;
        }
        KIV_LOG(2, "%d queued process exits reported at exit\n", flushed);
    }
    // Host threads already inside finish before anything is freed; later ones get -11.
    g_task_gate.close();
    kiv_kill_exit();
    kiv_dl_load_exit();
    kern_task_conf stop{};
    stop.command = KERN_TASK_CONF_STOP;
    send_kern_task_conf(&stop);
    unregister_msg_handler(s_task_ops, TASK_OPS_NUM);
    task_release_resource();
    KIV_LOG(2, "kiv_task_exit\n");
}

// ---- hooks ------------------------------------------------------------------------------------

namespace {

// The process record behind the 16-byte message head; false (logged) when malformed.
bool decode_process(const char *msg, raw_process_buf *buf) {
    kiv_msg_hdr h = kiv_msg_hdr_get(msg);
    if (h.len < KIV_MSG_BODY_OFFSET ||
        raw_process_info_decode(msg + KIV_MSG_BODY_OFFSET, h.len - KIV_MSG_BODY_OFFSET, &buf->info,
                                sizeof(*buf)) != 0) {
        KIV_LOG(1, "bad process record, type %d len %d\n", h.type, h.len);
        return false;
    }
    return true;
}

// True when the child is already known (its exec came first); else tells whether the parent is.
bool search_fork_keys(const ftree_key &child, const ftree_key &parent, bool *parent_known) {
    rwlock_read_guard guard(&g_task_info.ftree_lock);
    fork_node *node = nullptr;
    if (ftree_search(g_task_info.ftree, &child, &node) == 0) return true;
    *parent_known = ftree_search(g_task_info.ftree, &parent, &node) == 0;
    return false;
}

}  // namespace

int fork_event_handle(char *msg, kiv_msg_ctx *ctx) {
    kiv_stat_inc(TASK_FORK_EVENT);
    raw_process_buf buf;
    if (!decode_process(msg, &buf)) return MSG_HOOK_DROP;
    const raw_process_info &raw = buf.info;
    KIV_LOG(4, "fork_event_handle: pid is %d\n", static_cast<int>(raw.pid));
    if (ctx->retry == 0) clean_invalid_info();

    ftree_key child{raw.create_time, raw.pid};
    ftree_key parent{raw.parent_create_time, raw.ppid};
    bool parent_known = false;
    if (search_fork_keys(child, parent, &parent_known)) {
        kiv_stat_inc(TASK_FORK_EVENT_DROP_DUP);
        KIV_LOG(3, "It maybe exec first\n");
        return MSG_HOOK_DROP;
    }
    if (!parent_known) {
        if (ctx->retry <= FORK_RELY_MAX) {
            kiv_stat_inc(TASK_FORK_EVENT_NO_PARENT);
            KIV_LOG(3, "pid:%d rely:%d\n", static_cast<int>(raw.pid), ctx->retry);
            ctx->timeout = TASK_RELY_TIMEOUT_MS;
            return MSG_HOOK_RELY;
        }
        task_drv_interact_info_st *ans = drv_get_proc_info(raw.ppid, raw.parent_create_time);
        if (ans) {
            KIV_LOG(4, "partent info is:\n");
            raw_process_buf pbuf;
            process_info_st pinfo;
            if (ftree_insert_drv_record(ans->data, ans->size, &pbuf, &pinfo) != 0)
                KIV_LOG(1, "process_info_init parent info failed\n");
            kiv_free(ans);
        } else {
            KIV_LOG(1, "drv_get_proc_info parent info failed\n");
        }
    }
    kiv_msg_hdr h = kiv_msg_hdr_get(msg);
    exe_ident exe;
    process_digest_req req;
    if (raw_process_exe_ident(msg + KIV_MSG_BODY_OFFSET, h.len - KIV_MSG_BODY_OFFSET, &exe))
        req.exe = &exe;
    process_info_st info;
    if (process_info_init(&info, &raw, 0, 0, &req) != 0) {
        KIV_LOG(1, "process_info_init proc_info failed\n");
        return MSG_HOOK_DROP;
    }
    process_info_container(&info, msg + KIV_MSG_BODY_OFFSET, h.len - KIV_MSG_BODY_OFFSET);
    rwlock_write_guard guard(&g_task_info.ftree_lock);
    if (ftree_insert(g_task_info.ftree, &child, &info) < 0)
        KIV_LOG(1, "ftree_insert proc_info failed\n");
    return MSG_HOOK_ACCEPT;
}

namespace {

// Execs parked for their digests. A later exec of the same process waits behind them: applied
// first, it would be reported as the process's creation and the earlier image never.
struct exec_wait {
    uint64_t create_time;
    uint64_t since_ms;  // cached clock when it began to wait; stale after kExecWaitStaleMs
    uint32_t pid;
    uint16_t event_id;
    bool used;
};
constexpr int kExecWaits = 256;
constexpr uint64_t kExecWaitStaleMs = 5000;  // longer than any wait: its record is gone
std::mutex s_exec_wait_lock;
exec_wait s_exec_waits[kExecWaits];

bool stale(const exec_wait &w, uint64_t now) {
    return now < w.since_ms || now - w.since_ms > kExecWaitStaleMs;
}

// True when this exec is to wait: for its digests (pending), or, while it may, behind an
// earlier exec of its process. An exec that goes on is forgotten.
bool exec_order_wait(const raw_process_info &raw, bool pending, bool may_wait) {
    uint16_t id = raw_process_task_event_id(&raw);
    uint64_t now = kiv_now_ms();
    std::lock_guard<std::mutex> g(s_exec_wait_lock);
    exec_wait *mine = nullptr, *free_slot = nullptr;
    bool earlier = false;
    for (exec_wait &w : s_exec_waits) {
        if (w.used && stale(w, now)) w.used = false;
        if (!w.used) {
            if (free_slot == nullptr) free_slot = &w;
            continue;
        }
        if (w.pid != raw.pid || w.create_time != raw.create_time) continue;
        if (w.event_id == id)
            mine = &w;
        else if (task_event_id_cmp(w.event_id, id) < 0)
            earlier = true;
    }
    if (pending || (earlier && may_wait)) {
        if (mine == nullptr && free_slot != nullptr)
            *free_slot = exec_wait{raw.create_time, now, raw.pid, id, true};
        return true;
    }
    if (mine != nullptr) mine->used = false;
    return false;
}

}  // namespace

int exec_event_handle(char *msg, kiv_msg_ctx *ctx) {
    kiv_stat_inc(TASK_EXEC_EVENT);
    raw_process_buf buf;
    if (!decode_process(msg, &buf)) return MSG_HOOK_DROP;
    const raw_process_info &raw = buf.info;
    KIV_LOG(4, "exec_event_handle: pid is %d\n", static_cast<int>(raw.pid));
    kiv_msg_hdr h = kiv_msg_hdr_get(msg);
    exe_ident exe;
    process_digest_req req;
    if (raw_process_exe_ident(msg + KIV_MSG_BODY_OFFSET, h.len - KIV_MSG_BODY_OFFSET, &exe))
        req.exe = &exe;
    req.exec = true;
    const bool wait = g_task_info.exec_digest_wait != 0;
    // Whether this run may park the record: digests wait only with exec_digest_wait.
    const bool may_park = ctx->retry < EXEC_DIGEST_RELY_MAX && !(ctx->flags & MSG_CTX_SAVE_FAILED);
    req.may_wait = wait && may_park;
    char loader_path[1024] = "";
    loader_program prog;
    if (g_task_info.report_loader_program && loader_exec_is(raw, req.exe)) {
        int found = loader_program_find(raw, req.exe, &prog);
        if (found == LOADER_PENDING && may_park) {
            // The loader has not mapped the program yet: a moment later it has.
            exec_order_wait(raw, true, true);
            ctx->timeout = TASK_RELY_TIMEOUT_MS;
            return MSG_HOOK_RELY;
        }
        flex_str path{};
        get_flex_task_info_str(&raw.flex, &path, FLEX_PATH);
        snprintf(loader_path, sizeof loader_path, "%.*s", (int)path.len, path.ptr);
        if (found == LOADER_FOUND || found == LOADER_NAMED) {
            // The record goes on as the program's: its path, and the digests of its file.
            flex_str prog_path{prog.path, (uint32_t)strlen(prog.path)};
            set_flex_task_info_str(&buf.info.flex, sizeof buf - RAW_PROCESS_MIN_SIZE, &prog_path,
                                   FLEX_PATH);
            req.exe = nullptr;
            req.fd = prog.fd;
        } else {
            KIV_LOG(3, "pid %u ran %s: the program it loads is not known\n", raw.pid, loader_path);
        }
    }
    process_info_st info;
    if (process_info_init(&info, &raw, 1, 1, &req) != 0) {
        KIV_LOG(1, "process_info_init proc_info failed\n");
        return MSG_HOOK_DROP;
    }
    process_info_container(&info, msg + KIV_MSG_BODY_OFFSET, h.len - KIV_MSG_BODY_OFFSET);
    // The hook runs again from the start once parked. The image goes into the tree at once,
    // whether it waits for its digests or behind an earlier exec, so that what the process
    // does meanwhile is its own; the record is built and reported once it may go (the insert
    // then only brings the digests, or finds a later image and leaves it).
    ftree_key key{raw.create_time, raw.pid};
    bool pending = info.flags & PROC_INFO_DIGEST_PENDING;
    if (wait && exec_order_wait(raw, pending, req.may_wait)) {
        KIV_LOG(4, "pid:%d waits for its digests:%d\n", static_cast<int>(raw.pid), ctx->retry);
        if (ctx->retry == 0) {
            rwlock_write_guard guard(&g_task_info.ftree_lock);
            ftree_insert(g_task_info.ftree, &key, &info);
        }
        ctx->timeout = TASK_RELY_TIMEOUT_MS;
        return MSG_HOOK_RELY;
    }
    int rc;
    {
        rwlock_write_guard guard(&g_task_info.ftree_lock);
        rc = ftree_insert(g_task_info.ftree, &key, &info);
    }
    // A stale exec is judged by the newer image the tree holds, unless execs wait for their
    // digests: one overtaken so is then reported as it ran.
    const bool own_image = rc == 0 && wait && (info.flags & PROC_INFO_STALE);
    bool inserted = rc == 0 && !own_image;
    if (rc < 0) KIV_LOG(3, "ftree_insert proc_info failed\n");
    proc_tree *tree = task_exec_tree_get();
    if (!tree) {
        KIV_LOG(1, "malloc proc_tree failed\n");
        return MSG_HOOK_DROP;
    }
    // Slots are reset as they are filled: resetting all 16 per exec costs more than the rest.
    tree->count = 0;
    memcpy(tree->loader_path, loader_path, sizeof loader_path);
    int n;
    if (inserted) {
        n = get_tree_info(tree->items, PROC_TREE_MAX, raw.pid, raw.create_time);
        if (n < 0 || n > PROC_TREE_MAX) {
            task_exec_tree_put(tree);
            KIV_LOG(1, "get_tree_info failed, ret is %d\n", n);
            return MSG_HOOK_DROP;
        }
        if (n == 0) {
            KIV_LOG(4, "get_tree_info can't get parent: %d\n", static_cast<int>(raw.pid));
            process_st_init(&tree->items[0]);
            process_info_st2process_st(&info, &tree->items[0]);
            n = 1;
        }
    } else if (own_image) {
        // A later exec's image is in the tree: this one is reported as it was, under its
        // parents.
        process_st_init(&tree->items[0]);
        process_info_st2process_st(&info, &tree->items[0]);
        n = 1;
        if (raw.ppid > 1) {
            int up =
                get_tree_info(tree->items + 1, PROC_TREE_MAX - 1, raw.ppid, raw.parent_create_time);
            if (up > 0 && up <= PROC_TREE_MAX - 1) n += up;
        }
    } else {
        process_st_init(&tree->items[0]);
        process_info_st2process_st(&info, &tree->items[0]);
        n = get_tree_info(tree->items + 1, PROC_TREE_MAX - 1, raw.pid, raw.create_time);
        if (n < 0 || n > PROC_TREE_MAX - 1) {
            task_exec_tree_put(tree);
            KIV_LOG(3, "get_tree_info failed, ret is %d\n", n);
            return MSG_HOOK_DROP;
        }
        n += 1;
    }
    int ret = is_filter_task(tree->items, n);
    if (ret != 0) {
        task_exec_tree_put(tree);
        KIV_LOG(3, "filter task %d, ret is %d\n", static_cast<int>(raw.pid), ret);
        return MSG_HOOK_DROP;
    }
    // The tree may hold the image without its digests still (its exit came meanwhile).
    md5_digest2md5_str(info.md5, 16, tree->items[0].md5, sizeof tree->items[0].md5);
    sha256_digest2sha256_str(info.sha256, 32, tree->items[0].sha256, sizeof tree->items[0].sha256);
    tree->count = static_cast<uint32_t>(n);
    tree->exec_event_id = raw_process_task_event_id(&raw);
    ctx->priv[0] = tree;
    return MSG_HOOK_ACCEPT;
}

namespace {

enum exit_outcome { EXIT_UNKNOWN, EXIT_WAIT_EXEC, EXIT_APPLIED, EXIT_APPLIED_QUEUE };

exit_outcome apply_exit(const raw_exit_info &ex, uint8_t retry) {
    ftree_key key{ex.create_time, ex.pid};
    rwlock_write_guard guard(&g_task_info.ftree_lock);
    fork_node *node = nullptr;
    if (ftree_search(g_task_info.ftree, &key, &node) != 0) return EXIT_UNKNOWN;
    fork_info_st &fi = node->fork_info;
    // The exec record of a process that has just forked may still be on its way.
    if (!(fi.flags & FORK_INFO_COMPLETE) && retry <= EXIT_RELY_MAX) return EXIT_WAIT_EXEC;
    fi.task_event_id = ex.task_event_id;
    fi.exit_code = ex.exit_code;
    fi.flags |= FORK_INFO_EXITED;
    ftree_mark_exit(g_task_info.ftree, &key);
    if (!(fi.flags & FORK_INFO_CREATE_REPORTED)) return EXIT_APPLIED;
    fork_info_set_exit_upload_state(&fi, EXIT_UPLOAD_QUEUED);
    return EXIT_APPLIED_QUEUE;
}

}  // namespace

int exit_event_handle(char *msg, kiv_msg_ctx *ctx) {
    kiv_stat_inc(TASK_EXIT_EVENT);
    kiv_msg_hdr h = kiv_msg_hdr_get(msg);
    raw_exit_info ex;
    if (h.len < KIV_MSG_BODY_OFFSET ||
        raw_exit_info_decode(msg + KIV_MSG_BODY_OFFSET, h.len - KIV_MSG_BODY_OFFSET, &ex) != 0)
        return MSG_HOOK_DROP;
    KIV_LOG(4, "exit_event_handle: pid is %d\n", static_cast<int>(ex.pid));
    switch (apply_exit(ex, ctx->retry)) {
        case EXIT_UNKNOWN:
            if (ctx->retry > EXIT_RELY_MAX) {
                KIV_LOG(4, "can't find %d, drop exit event\n", static_cast<int>(ex.pid));
                kiv_stat_inc(EXIT_EVENT_DROP_CNT);
                return MSG_HOOK_DROP;
            }
            KIV_LOG(4, "pid:%d rely:%d\n", static_cast<int>(ex.pid), ctx->retry);
            kiv_stat_inc(EXIT_EVENT_RETRY_CNT);
            ctx->timeout = TASK_RELY_TIMEOUT_MS;
            return MSG_HOOK_RELY;
        case EXIT_WAIT_EXEC:
            ctx->timeout = TASK_RELY_TIMEOUT_MS;
            return MSG_HOOK_RELY;
        case EXIT_APPLIED:
            KIV_LOG(4, "create_report_status is 0, no need to upload\n");
            return MSG_HOOK_ACCEPT;
        case EXIT_APPLIED_QUEUE:
            add_upload_exit_event(ex.pid, ex.create_time);
            return MSG_HOOK_ACCEPT;
    }
    return MSG_HOOK_ACCEPT;
}

// ---- exit upload queue ------------------------------------------------------------------------

void add_upload_exit_event(uint32_t pid, uint64_t create_time) {
    exit_upload_entry entry{create_time, pid, static_cast<uint32_t>(kiv_now_ms() / 1000)};
    exit_upload_entry popped{};
    bool have_popped = false;
    bool pushed;
    {
        mx_lock guard(&g_task_info.exit_task_queue_lock);
        if (queue_full(g_task_info.exit_queue) == 0 &&
            queue_pop(g_task_info.exit_queue, &popped) == 0) {
            have_popped = true;
            KIV_LOG(4, "exit queue full, pop %d\n", static_cast<int>(popped.pid));
        }
        pushed = queue_push(g_task_info.exit_queue, &entry) == 0;
    }
    if (have_popped) {
        kiv_stat_inc(EXIT_TASK_UPLOAD_QUEUE_FULL_CNT);
        exit_queue_pop_info_handle(&popped);
    }
    if (!pushed) exit_queue_pop_info_handle(&entry);
}

void exit_upload_timer_func(void *) {
    task_info &t = g_task_info;
    pthread_mutex_lock(&t.exit_task_queue_lock);
    exit_upload_entry head;
    while (queue_head(t.exit_queue, &head) == 0) {
        bool known;
        {
            rwlock_read_guard guard(&t.ftree_lock);
            ftree_key key{head.create_time, head.pid};
            fork_node *node = nullptr;
            known = ftree_search(t.ftree, &key, &node) == 0;
        }
        if (!known) {
            KIV_LOG(4, "exit upload queue pop %d, can't find in ftree\n",
                    static_cast<int>(head.pid));
            queue_pop(t.exit_queue, &head);
            continue;
        }
        uint32_t now = static_cast<uint32_t>(kiv_now_ms() / 1000);
        if (now - head.enqueue_time < EXIT_UPLOAD_DELAY_SEC) break;
        queue_pop(t.exit_queue, &head);
        pthread_mutex_unlock(&t.exit_task_queue_lock);
        exit_queue_pop_info_handle(&head);
        pthread_mutex_lock(&t.exit_task_queue_lock);
    }
    pthread_mutex_unlock(&t.exit_task_queue_lock);
}

void exit_queue_pop_info_handle(const exit_upload_entry *entry) {
    KIV_LOG(4, "exit_queue_pop_info_handle %d\n", static_cast<int>(entry->pid));
    json_text_buffer buf;
    bool built;
    {
        rwlock_write_guard guard(&g_task_info.ftree_lock);
        ftree_key key{entry->create_time, entry->pid};
        fork_node *node = nullptr;
        if (ftree_search(g_task_info.ftree, &key, &node) != 0) return;
        if (fork_info_exit_upload_state(&node->fork_info) == EXIT_UPLOAD_DONE) return;
        built = upload_exit_text(&node->fork_info, buf.text());
        fork_info_set_exit_upload_state(&node->fork_info, EXIT_UPLOAD_DONE);
    }
    if (built) upload_exit_text_send(buf.text());
}

// ---- ancestry -------------------------------------------------------------------------------

int get_tree_info(process_st *out, int max, uint32_t pid, uint64_t create_time) {
    if (!out || max < 1) return -2;
    int n = 0;
    bool ended = false;  // reached the limit or the top of the tree
    ftree_key key{create_time, pid};
    {
        rwlock_read_guard guard(&g_task_info.ftree_lock);
        while (n < max) {
            fork_node *node = nullptr;
            if (ftree_search(g_task_info.ftree, &key, &node) != 0) {
                KIV_LOG(4, "pid %d can't find\n", static_cast<int>(key.pid));
                break;
            }
            process_st_init(&out[n]);
            fork_info_st2process_st(&node->fork_info, &out[n++]);
            if (node->fork_info.ppid == 0 || node->fork_info.ppid == 1) {
                ended = true;
                break;
            }
            key = {node->fork_info.parent_create_time, node->fork_info.ppid};
        }
        if (n == max) ended = true;
    }
    if (n > 0 && ended) return n;
    uint32_t cnt = static_cast<uint32_t>(max - n);
    task_drv_interact_info_st *ans = drv_get_task_tree(key.pid, key.create_time, &cnt);
    if (!ans) {
        KIV_LOG(4, "drv_get_task_tree get nothing, task_drv_info is %p, drv_get_level is %d\n",
                static_cast<void *>(ans), static_cast<int>(cnt));
        return n;
    }
    if (cnt > static_cast<uint32_t>(max - n)) cnt = static_cast<uint32_t>(max - n);
    // Farthest ancestor first so that each parent is in the tree before its child.
    for (int i = static_cast<int>(cnt) - 1; i >= 0; i--) {
        size_t off = static_cast<size_t>(i) * RAW_PROCESS_SLOT_SIZE;
        if (off + RAW_PROCESS_SLOT_SIZE > ans->size) continue;
        raw_process_buf buf;
        process_info_st info;
        if (ftree_insert_drv_record(ans->data + off, RAW_PROCESS_SLOT_SIZE, &buf, &info) != 0) {
            KIV_LOG(1, "proc_info_init failed: %d\n", i);
            continue;
        }
        process_info_st2process_st(&info, &out[n + i]);
    }
    KIV_LOG(4, "drv_get_task_tree get\n");
    kiv_free(ans);
    return n + static_cast<int>(cnt);
}

int task_cfg_check() {
    ini_file_t *ini = task_conf_open(s_conf_path.c_str());
    if (!ini) return -1;
    kern_task_conf *conf = nullptr;
    int rc = task_cfg_load(ini, &conf) == 0 ? 0 : -1;
    kiv_free(conf);
    // The user-space lists are built and dropped again, as a failed start-up would.
    if (rc == 0 && task_filter_init(ini) == 0)
        task_filter_exit();
    else
        rc = -1;
    ini_file_free(ini);
    if (dl_load_cfg_check() != 0 || kill_cfg_check() != 0) rc = -1;
    return rc;
}
