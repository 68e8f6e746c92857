// The block logger's start and stop, its configuration, the hook and the daily count.
#include "block_logger/block_logger.h"

#include <climits>
#include <cstring>
#include <string>

#include "base/clock.h"
#include "base/log.h"
#include "comm/ini_key.h"
#include "comm/pthread_guard.h"
#include "comm/timer.h"
#include "framework/ring.h"

block_logger_info g_block_logger_info;

namespace {

constexpr const char *BLOCK_LOGGER_CONF_PATH = "@/../config/block_logger.conf";
std::string s_conf_path = BLOCK_LOGGER_CONF_PATH;

// A negative limit means none, like 0.
const ini_long_key kUploadEventCnt{"upload_event_cnt", 0, 0, INT32_MAX, ini_oor::use_bound,
                                   ini_oor::use_bound};

const kiv_msg_hook s_block_logger_ops[] = {
    {{}, 1ull << EV_DEFENSE_NET_BLOCK, block_logger_handle, 1},
    {{}, 1ull << EV_DEFENSE_FILE_BLOCK, block_logger_handle, 1},
    {{}, 1ull << EV_DEFENSE_PROC_BLOCK, block_logger_handle, 1},
};
constexpr int kOpsNum = sizeof(s_block_logger_ops) / sizeof(s_block_logger_ops[0]);

// What the stop routine has to undo after a partial start.
bool s_lock_inited;
bool s_registered;
// The count was already reset in the current 23:50 window.
std::atomic<bool> is_clear{false};
std::atomic<uint32_t> s_timer_runs{0};

}  // namespace

void block_logger_set_conf_path(const char *path) {
    s_conf_path = path ? path : BLOCK_LOGGER_CONF_PATH;
}

uint32_t block_logger_timer_runs() {
    return s_timer_runs.load(std::memory_order_acquire);
}

int blogger_cfg_load(block_logger_info *info) {
    ini_file_t *ini = ini_conf_load(s_conf_path.c_str());
    if (!ini) return -1;
    info->upload_event_cnt = (int32_t)ini_get_long_in_range(ini, "base", kUploadEventCnt);
    ini_file_free(ini);
    KIV_LOG(2, "block logger upload_event_cnt is %d\n", info->upload_event_cnt);
    return 0;
}

void block_event_timer_func(void *) {
    log_mod_set(KIV_MOD_BLOCK_LOGGER);
    time_t now = kiv_wall_now();
    struct tm tm;
    if (localtime_r(&now, &tm)) {
        if (tm.tm_hour == 23 && tm.tm_min > 49) {
            if (!is_clear.load(std::memory_order_relaxed)) {
                is_clear.store(true, std::memory_order_relaxed);
                rwlock_write_guard g(&g_block_logger_info.event_cnt_lock);
                KIV_LOG(3, "block event count %u reset\n", g_block_logger_info.event_cnt);
                g_block_logger_info.event_cnt = 0;
            }
        } else if (tm.tm_hour != 23) {
            is_clear.store(false, std::memory_order_relaxed);
        }
    }
    s_timer_runs.fetch_add(1, std::memory_order_release);
}

int block_logger_handle(char *msg, kiv_msg_ctx *ctx) {
    block_logger_info &info = g_block_logger_info;
    if (info.upload_event_cnt > 0) {
        uint32_t cnt;
        {
            rwlock_read_guard g(&info.event_cnt_lock);
            cnt = info.event_cnt;
        }
        if (cnt >= (uint32_t)info.upload_event_cnt) {
            KIV_LOG(3, "block event upload event exceed max cnt: %u >= %u\n", cnt,
                    (uint32_t)info.upload_event_cnt);
            return MSG_HOOK_DROP;
        }
    }
    int type = kiv_msg_hdr_get(msg).type;
    switch (type) {
        case EV_DEFENSE_PROC_BLOCK:
            return upload_proc_event(msg, ctx);
        case EV_DEFENSE_NET_BLOCK:
            return upload_net_event(msg, ctx);
        case EV_DEFENSE_FILE_BLOCK:
            return upload_file_event(msg, ctx);
        default:
            KIV_LOG(1, "wrong event type: %d, drop it\n", type);
            return MSG_HOOK_DROP;
    }
}

void kiv_block_logger_exit() {
    if (s_registered) unregister_msg_handler(s_block_logger_ops, kOpsNum);
    s_registered = false;
    if (g_block_logger_info.timer) del_timer(g_block_logger_info.timer);
    g_block_logger_info.timer = nullptr;
    if (s_lock_inited) pthread_rwlock_destroy(&g_block_logger_info.event_cnt_lock);
    s_lock_inited = false;
}

int kiv_block_logger_init() {
    block_logger_info &info = g_block_logger_info;
    info.upload_event_cnt = 0;
    info.event_cnt = 0;
    is_clear.store(false, std::memory_order_relaxed);
    if (blogger_cfg_load(&info) != 0) {
        KIV_LOG(0, "load block logger cfg failed\n");
        return -1;
    }
    int ret = pthread_rwlock_init(&info.event_cnt_lock, nullptr);
    if (ret != 0) {
        KIV_LOG(0, "pthread_rwlock_init event_cnt_lock failed, ret is %d\n", ret);
        kiv_block_logger_exit();
        return -1;
    }
    s_lock_inited = true;
    info.timer = add_timer(BLOG_RESET_INTERVAL_MS, block_event_timer_func, nullptr);
    if (!info.timer) {
        KIV_LOG(0, "add_timer block_event_timer failed\n");
        kiv_block_logger_exit();
        return -1;
    }
    if (register_msg_handler(s_block_logger_ops, kOpsNum) != 0) {
        KIV_LOG(0, "register block logger failed\n");
        // A partial registration is removed by handler as well.
        s_registered = true;
        kiv_block_logger_exit();
        return -1;
    }
    s_registered = true;
    KIV_LOG(2, "kiv_block_logger_init ok\n");
    return 0;
}
