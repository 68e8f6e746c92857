// Library loads: reported only for processes whose creation was reported, so a load that
// arrives before its exec waits (parked by the framework) for the process to appear.
#include <atomic>

#include "base/log.h"
#include "base/mem.h"
#include "comm/pthread_guard.h"
#include "comm/json_add.h"
#include "framework/aux_upload.h"
#include "framework/ring.h"
#include "kernel/aux_layout.h"
#include "task/aux_sensors.h"
#include "task/task.h"

aux_sensor_info s_dl_load_info;

namespace {

constexpr const char *kSection = "dl_load_event";
constexpr ini_long_key kSecKey{"dl_load_cnt_second", 1000, 0, 100000000};
constexpr ini_long_key kHourKey{"dl_load_cnt_hour", 0, 0, 1000000000};
// Parked loads share the process records' retention memory with forks and exits; a burst of
// loads for unknown processes must not crowd those out. 0: no bound.
constexpr ini_long_key kWaitMaxKey{"dl_load_wait_max", 0, 0, 65536};
constexpr aux_limit_stats kStats{TASK_DL_LOAD_UPLOAD_LIMIT_SEC_CNT,
                                 TASK_DL_LOAD_UPLOAD_LIMIT_HOUR_CNT};
constexpr aux_event_desc kDesc{"DL_LOAD", "Dynamic Library Load", "dl load",
                               TASK_DL_LOAD_EVENT_UPLOAD_SUC, TASK_DL_LOAD_EVENT_UPLOAD_FAIL};

const kiv_msg_hook s_dl_load_ops[] = {
    {{nullptr, nullptr}, 1ull << EV_DL_LOAD, dl_load_event_handle, 1},
};

bool s_lock_made, s_registered;
uint32_t s_wait_max;
std::atomic<uint32_t> s_waiting;
std::atomic<uint64_t> s_given_up, s_refused_full;

int dl_load_cfg_load(aux_sensor_info *info) {
    const char *path = task_conf_path();
    if (aux_limit_cfg_load(info, path, kSection, kSecKey, kHourKey) != 0) return -1;
    ini_file_t *ini = ini_conf_load(path);
    if (!ini) return -1;
    s_wait_max = static_cast<uint32_t>(ini_get_long_in_range(ini, kSection, kWaitMaxKey));
    ini_file_free(ini);
    if (s_wait_max) KIV_LOG(2, "dl_load_wait_max(%u)\n", s_wait_max);
    return 0;
}

enum creation_state { PROC_UNKNOWN, PROC_REPORTED, PROC_NOT_REPORTED };

creation_state creation_reported(const aux_path_record &r) {
    rwlock_read_guard guard(&g_task_info.ftree_lock);
    ftree_key key{r.create_time, r.pid};
    fork_node *node = nullptr;
    if (ftree_search(g_task_info.ftree, &key, &node) != 0) return PROC_UNKNOWN;
    return (node->fork_info.flags & FORK_INFO_CREATE_REPORTED) ? PROC_REPORTED : PROC_NOT_REPORTED;
}

// Takes one load off the wait count when it comes back from (or failed to enter) the wait.
void leave_wait(const kiv_msg_ctx *ctx) {
    if (ctx->retry == 0 && !(ctx->flags & MSG_CTX_SAVE_FAILED)) return;
    uint32_t n = s_waiting.load();
    while (n > 0 && !s_waiting.compare_exchange_weak(n, n - 1)) {
    }
}

bool fill(cJSON *m, const void *arg) {
    return add_str(m, "dl_name", static_cast<const aux_path_record *>(arg)->path);
}

int upload_limit_filter() {
    return aux_upload_limit_filter(&s_dl_load_info, kStats);
}

void upload_dl_load_event(const aux_path_record &r) {
    aux_upload_event(r.pid, r.create_time, kDesc, fill, &r);
}

}  // namespace

int kiv_dl_load_init() {
    s_dl_load_info = aux_sensor_info{};
    s_lock_made = s_registered = false;
    s_waiting = 0;
    s_given_up = s_refused_full = 0;
    if (dl_load_cfg_load(&s_dl_load_info) != 0) {
        KIV_LOG(0, "dl_load_cfg_load failed\n");
        return -1;
    }
    if (int r = pthread_mutex_init(&s_dl_load_info.upload_limit_lock, nullptr)) {
        KIV_LOG(0, "pthread_mutex_init upload_limit_lock failed, ret is %d\n", r);
        return -1;
    }
    s_lock_made = true;
    if (register_msg_handler(s_dl_load_ops, 1) != 0) {
        KIV_LOG(0, "register ops failed\n");
        kiv_dl_load_exit();
        return -1;
    }
    s_registered = true;
    KIV_LOG(2, "kiv_dl_load_init ok\n");
    return 0;
}

void kiv_dl_load_exit() {
    if (s_registered) unregister_msg_handler(s_dl_load_ops, 1);
    if (s_lock_made) pthread_mutex_destroy(&s_dl_load_info.upload_limit_lock);
    s_registered = s_lock_made = false;
    if (s_wait_max)
        KIV_LOG(2, "dl load waits given up: %llu, refused with the wait list full: %llu\n",
                static_cast<unsigned long long>(s_given_up.load()),
                static_cast<unsigned long long>(s_refused_full.load()));
    KIV_LOG(2, "kiv_dl_load_exit\n");
}

dl_load_wait_stats dl_load_wait_get() {
    return {s_waiting.load(), s_wait_max, s_given_up.load(), s_refused_full.load()};
}

int dl_load_event_handle(char *msg, kiv_msg_ctx *ctx) {
    leave_wait(ctx);
    kiv_stat_inc(TASK_DL_LOAD_EVENT);
    aux_path_record r;
    if (int ret = aux_path_record_decode(msg, &r); ret != AUX_DECODE_OK) {
        KIV_LOG(1, "drop dl load record: %s (len %d)\n", aux_decode_error(ret),
                static_cast<int>(aux_record_len(msg)));
        return MSG_HOOK_DROP;
    }
    KIV_LOG(4, "dl_load info: pid(%d) create_time(%llu) dl_path_len(%d) dl_path:%s\n",
            static_cast<int>(r.pid), static_cast<unsigned long long>(r.create_time),
            static_cast<int>(r.path_len), r.path);
    switch (creation_reported(r)) {
        case PROC_UNKNOWN:
            if (ctx->flags & MSG_CTX_SAVE_FAILED) {
                s_given_up++;
                KIV_LOG(3, "drop dl load event by park failed: %d\n", static_cast<int>(r.pid));
                return MSG_HOOK_DROP;
            }
            if (ctx->retry >= DL_LOAD_RELY_MAX) {
                s_given_up++;
                KIV_LOG(4, "drop dl load event by retry out: %d\n", static_cast<int>(r.pid));
                return MSG_HOOK_DROP;
            }
            if (s_waiting.fetch_add(1) >= s_wait_max && s_wait_max) {
                s_waiting--;
                s_given_up++;
                s_refused_full++;
                KIV_LOG(3, "drop dl load event by wait list full: %d\n", static_cast<int>(r.pid));
                return MSG_HOOK_DROP;
            }
            kiv_stat_inc(TASK_DL_LOAD_EVENT_WAIT_EXEC);
            KIV_LOG(3, "pid:%d rely:%d\n", static_cast<int>(r.pid), ctx->retry);
            ctx->timeout = DL_LOAD_RELY_TIMEOUT_MS;
            return MSG_HOOK_RELY;
        case PROC_NOT_REPORTED:
            KIV_LOG(4, "drop dl load event by no upload exec event: %d\n", static_cast<int>(r.pid));
            return MSG_HOOK_DROP;
        case PROC_REPORTED:
            break;
    }
    if (upload_limit_filter() != 0) {
        KIV_LOG(4, "drop by upload_limit_filter\n");
        return MSG_HOOK_DROP;
    }
    upload_dl_load_event(r);
    return MSG_HOOK_ACCEPT;
}

int dl_load_cfg_check() {
    aux_sensor_info scratch{};
    return dl_load_cfg_load(&scratch);
}
