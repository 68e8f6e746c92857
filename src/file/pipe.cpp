#include "file/pipe.h"

#include "base/log.h"
#include "base/mem.h"
#include "comm/json_add.h"
#include "file/file.h"
#include "framework/aux_upload.h"
#include "kernel/aux_layout.h"

aux_sensor_info s_pipe_info;

namespace {

constexpr const char *kSection = "pipe_event";
constexpr ini_long_key kSecKey{"pipe_cnt_second", 1000, 0, 100000000};
constexpr ini_long_key kHourKey{"pipe_cnt_hour", 0, 0, 1000000000};
constexpr aux_limit_stats kStats{FILE_PIPE_UPLOAD_LIMIT_SEC_CNT, FILE_PIPE_UPLOAD_LIMIT_HOUR_CNT};
constexpr aux_event_desc kCreate{"PIPE_CREATE", "Pipe Create", "pipe", FILE_PIPE_EVENT_UPLOAD_SUC,
                                 FILE_PIPE_EVENT_UPLOAD_FAIL};
constexpr aux_event_desc kConnect{"PIPE_CONNECT", "Pipe Connect", "pipe",
                                  FILE_PIPE_EVENT_UPLOAD_SUC, FILE_PIPE_EVENT_UPLOAD_FAIL};

const kiv_msg_hook s_pipe_ops[] = {
    {{nullptr, nullptr},
     (1ull << EV_FILE_PIPE_CREATE) | (1ull << EV_FILE_PIPE_CONNECT),
     pipe_event_handle,
     1},
};

bool s_lock_made, s_registered;

bool fill(cJSON *m, const void *arg) {
    return add_str(m, "pipe_name", static_cast<const aux_path_record *>(arg)->path);
}

int pipe_cfg_load(aux_sensor_info *info) {
    return aux_limit_cfg_load(info, file_conf_path(), kSection, kSecKey, kHourKey);
}

int upload_limit_filter() {
    return aux_upload_limit_filter(&s_pipe_info, kStats);
}

void upload_pipe_event(const aux_path_record &r, int type) {
    const aux_event_desc *desc = type == EV_FILE_PIPE_CREATE    ? &kCreate
                                 : type == EV_FILE_PIPE_CONNECT ? &kConnect
                                                                : nullptr;
    if (!desc) {
        KIV_LOG(1, "unknown pipe event type: %d\n", type);
        kiv_stat_inc(FILE_PIPE_EVENT_UPLOAD_FAIL);
        return;
    }
    aux_upload_event(r.pid, r.create_time, *desc, fill, &r);
}

}  // namespace

int kiv_pipe_init() {
    s_pipe_info = aux_sensor_info{};
    s_lock_made = s_registered = false;
    if (pipe_cfg_load(&s_pipe_info) != 0) {
        KIV_LOG(0, "pipe_cfg_load failed\n");
        return -1;
    }
    if (int r = pthread_mutex_init(&s_pipe_info.upload_limit_lock, nullptr)) {
        KIV_LOG(0, "pthread_mutex_init upload_limit_lock failed, ret is %d\n", r);
        return -1;
    }
    s_lock_made = true;
    if (register_msg_handler(s_pipe_ops, 1) != 0) {
        KIV_LOG(0, "register ops failed\n");
        kiv_pipe_exit();
        return -1;
    }
    s_registered = true;
    KIV_LOG(2, "kiv_pipe_init ok\n");
    return 0;
}

void kiv_pipe_exit() {
    if (s_registered) unregister_msg_handler(s_pipe_ops, 1);
    if (s_lock_made) pthread_mutex_destroy(&s_pipe_info.upload_limit_lock);
    s_registered = s_lock_made = false;
    KIV_LOG(2, "kiv_pipe_exit\n");
}

int pipe_event_handle(char *msg, kiv_msg_ctx *ctx) {
    kiv_stat_inc(FILE_PIPE_EVENT_CNT);
    int type = aux_record_type(msg);
    aux_path_record r;
    if (int ret = aux_path_record_decode(msg, &r); ret != AUX_DECODE_OK) {
        KIV_LOG(1, "drop pipe record: %s (len %d)\n", aux_decode_error(ret),
                static_cast<int>(aux_record_len(msg)));
        return MSG_HOOK_DROP;
    }
    KIV_LOG(4, "pipe event(%d): pid(%d) create_time(%llu) pipe_path_len(%d) pipe_path: %s\n", type,
            static_cast<int>(r.pid), static_cast<unsigned long long>(r.create_time),
            static_cast<int>(r.path_len), r.path);
    if (upload_limit_filter() != 0) {
        KIV_LOG(4, "drop by upload_limit_filter\n");
        return MSG_HOOK_DROP;
    }
    upload_pipe_event(r, type);
    return MSG_HOOK_ACCEPT;
}

int pipe_cfg_check() {
    aux_sensor_info scratch{};
    return pipe_cfg_load(&scratch);
}
