// Signals sent between processes: the target's record from the process tree (or the kernel),
// the sender as the acting process.
#include <cstring>

#include "base/log.h"
#include "base/mem.h"
#include "comm/json_add.h"
#include "framework/aux_upload.h"
#include "kernel/aux_layout.h"
#include "task/aux_sensors.h"
#include "task/query.h"
#include "task/task.h"

aux_sensor_info s_kill_info;

namespace {

constexpr const char *kSection = "kill_event";
constexpr ini_long_key kSecKey{"kill_cnt_second", 1000, 0, 100000000};
constexpr ini_long_key kHourKey{"kill_cnt_hour", 0, 0, 1000000000};
constexpr aux_limit_stats kStats{TASK_KILL_UPLOAD_LIMIT_SEC_CNT, TASK_KILL_UPLOAD_LIMIT_HOUR_CNT};
constexpr aux_event_desc kDesc{"TASK_KILL", "Task Kill", "kill", TASK_KILL_EVENT_UPLOAD_SUC,
                               TASK_KILL_EVENT_UPLOAD_FAIL};

const kiv_msg_hook s_kill_ops[] = {
    {{nullptr, nullptr}, 1ull << EV_KILL, kill_event_handle, 1},
};

bool s_lock_made, s_registered;

struct kill_fill_arg {
    const kill_record *rec;
    const process_st *killed;
};

bool fill(cJSON *m, const void *arg) {
    const auto *a = static_cast<const kill_fill_arg *>(arg);
    return add_int(m, "signal", a->rec->signal) &&
           aux_add_process_block(m, reinterpret_cast<const process_st_public *>(a->killed),
                                 "killed_");
}

int kill_cfg_load(aux_sensor_info *info) {
    return aux_limit_cfg_load(info, task_conf_path(), kSection, kSecKey, kHourKey);
}

int upload_limit_filter() {
    return aux_upload_limit_filter(&s_kill_info, kStats);
}

void upload_kill_event(const kill_record &r) {
    process_st killed;
    int n = get_tree_info(&killed, 1, r.killed_pid, r.killed_create_time);
    if (n < 0) {
        KIV_LOG(3, "get_tree_info fail. ret: %d\n\n", n);
        kiv_stat_inc(TASK_KILL_EVENT_UPLOAD_FAIL);
        return;
    }
    if (n == 0) {
        // Neither the tree nor the kernel knows the target (it may be gone): what the record
        // itself says, the rest empty.
        process_st_init(&killed);
        killed.pid = static_cast<int32_t>(r.killed_pid);
        killed.createtime = r.killed_create_time;
        process_guid_build(killed.guid, r.killed_pid, r.killed_create_time, "", 0);
    }
    kill_fill_arg arg{&r, &killed};
    aux_upload_event(r.pid, r.create_time, kDesc, fill, &arg);
}

}  // namespace

int kiv_kill_init() {
    s_kill_info = aux_sensor_info{};
    s_lock_made = s_registered = false;
    if (kill_cfg_load(&s_kill_info) != 0) {
        KIV_LOG(0, "kill_cfg_load failed\n");
        return -1;
    }
    if (int r = pthread_mutex_init(&s_kill_info.upload_limit_lock, nullptr)) {
        KIV_LOG(0, "pthread_mutex_init upload_limit_lock failed, ret is %d\n", r);
        return -1;
    }
    s_lock_made = true;
    if (register_msg_handler(s_kill_ops, 1) != 0) {
        KIV_LOG(0, "register ops failed\n");
        kiv_kill_exit();
        return -1;
    }
    s_registered = true;
    KIV_LOG(2, "kiv_kill_init ok\n");
    return 0;
}

void kiv_kill_exit() {
    if (s_registered) unregister_msg_handler(s_kill_ops, 1);
    if (s_lock_made) pthread_mutex_destroy(&s_kill_info.upload_limit_lock);
    s_registered = s_lock_made = false;
    KIV_LOG(2, "kiv_kill_exit\n");
}

int kill_event_handle(char *msg, kiv_msg_ctx *ctx) {
    kiv_stat_inc(TASK_KILL_EVENT);
    kill_record r;
    if (int ret = kill_record_decode(msg, &r); ret != AUX_DECODE_OK) {
        KIV_LOG(1, "drop kill record: %s (len %d)\n", aux_decode_error(ret),
                static_cast<int>(aux_record_len(msg)));
        return MSG_HOOK_DROP;
    }
    KIV_LOG(4,
            "kill info: pid(%d) create_time(%llu) killed_pid(%d) killed_create_time(%llu) "
            "signal(%d)\n",
            static_cast<int>(r.pid), static_cast<unsigned long long>(r.create_time),
            static_cast<int>(r.killed_pid), static_cast<unsigned long long>(r.killed_create_time),
            r.signal);
    if (upload_limit_filter() != 0) {
        KIV_LOG(4, "drop by upload_limit_filter\n");
        return MSG_HOOK_DROP;
    }
    upload_kill_event(r);
    return MSG_HOOK_ACCEPT;
}

int kill_cfg_check() {
    aux_sensor_info scratch{};
    return kill_cfg_load(&scratch);
}
