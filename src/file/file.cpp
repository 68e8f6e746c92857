// The file module's start-up and shut-down, file.conf's module keys, the kernel's
// file-monitor settings and the mount-table nudge.
#include "file/file.h"

#include "file/file_filter.h"
#include "file/pipe.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/log.h"
#include "base/mem.h"
#include "comm/dirutils.h"
#include "comm/ini_key.h"
#include "comm/timer.h"
#include "framework/hook.h"
#include "framework/ring.h"
#include "kernel/kernel_if.h"

file_info g_file_info;

namespace {

constexpr const char *FILE_CONF_PATH = "@/../config/file.conf";
constexpr const char *kSection = "base";
constexpr unsigned long KIV_IOCTL_FILE_MONITOR = _IO('s', 6);
constexpr unsigned long KIV_IOCTL_FILE_SUFFIX = _IO('s', 30);
constexpr unsigned long KIV_IOCTL_FILE_SUFFIX_GRP = _IO('s', 31);
static_assert(KIV_IOCTL_FILE_MONITOR == 0x7306 && KIV_IOCTL_FILE_SUFFIX == 0x731E &&
              KIV_IOCTL_FILE_SUFFIX_GRP == 0x731F);
constexpr uint64_t VFSMNT_UPDATE_MS = 30000;
constexpr uint64_t FILE_EVENT_TIMER_MS = 300000;
constexpr uint64_t RECOMBINE_TIMER_MS = 1000;
constexpr long SUFFIX_CNT_MAX = 100;
constexpr size_t SUFFIX_ROOM = 20;  // each value: 19 characters and its NUL

std::string s_conf_path = FILE_CONF_PATH;

// Below the floor: the default, with the usual line naming file, key and value. Above the
// top: the top, which keeps a table made whole at start, or a field, within bounds.
constexpr long kMaxField = INT32_MAX;
constexpr ini_long_key k(const char *key, long def, long floor, long max) {
    return ini_long_key{key, def, floor, max, ini_oor::use_default, ini_oor::use_bound};
}
const ini_long_key kUploadEventCnt = k("upload_event_cnt", 20000, 0, kMaxField);
const ini_long_key kUploadEventHourCnt = k("upload_event_hour_cnt", 100, 0, 16777215);
const ini_long_key kTenMinRedo = k("ten_minues_redo_enable", 1, 0, 1);
const ini_long_key kRedoHashSize = k("upload_event_redo_hash_size", 2048, 1, 1 << 20);
const ini_long_key kUnorderListSize = k("unorder_list_size", 128, 1, 65535);
const ini_long_key kVfsmntListCnt = k("vfsmnt_list_cnt", 1024, 1, kMaxField);
const ini_long_key kMonitorFilterCnt = k("monitor_filter_cnt", 256, 1, 65536);
const ini_long_key kFileCreateCacheCnt = k("file_create_cache_cnt", 10240, 1, kMaxField);
const ini_long_key kRwRedoInterval = k("file_rw_redo_interval", 600, 0, kMaxField);
const ini_long_key kRwRedoLimit = k("file_rw_redo_limit", 3, 1, kMaxField);
const ini_long_key kSuffixMax = k("file_suffix_max_cnt", 100, 0, kMaxField);
const ini_long_key kSuffixGrpMax = k("file_suffix_group_max_cnt", 100, 0, kMaxField);
const ini_long_key kRenameType = k("rename_type_enable", 0, 0, 1);
const ini_long_key kPerUser = k("upload_event_per_user", 0, 0, 1);
const ini_long_key kFilterUnlimited = k("file_filter_unlimited", 0, 0, 1);
const ini_long_key kReportUnknown = k("file_report_unknown_process", 0, 0, 1);
const ini_long_key kTypeSafeOpen = k("file_type_safe_open", 0, 0, 1);
const ini_long_key kPriorImage = k("file_prior_image", 0, 0, 1);

const kiv_msg_hook s_file_ops[] = {
    {{nullptr, nullptr}, 0x3full << FILE_EVENT_TYPE_BASE, file_event_handle, 1},
};
constexpr int FILE_OPS_NUM = sizeof(s_file_ops) / sizeof(s_file_ops[0]);

// What kiv_file_init has done, for undoing it in reverse.
enum init_done : uint32_t {
    DONE_TYPE_MUTEX = 1u << 0,
    DONE_FM_LOCK = 1u << 1,
    DONE_REDO_HASH = 1u << 2,
    DONE_UPLOAD_MUTEX = 1u << 3,
    DONE_UNORDER_MUTEX = 1u << 4,
    DONE_OPS = 1u << 5,
    DONE_FILTERS = 1u << 6,
    DONE_TYPES = 1u << 7,
};

// The type filter entries (kind 2) for file typing, under the filters' read lock.
struct type_walk {
    type_filter_visit_fn visit;
    void *arg;
    int result;
};
int walk_type_filter(type_filter_visit_fn visit, void *arg) {
    type_walk w{visit, arg, 0};
    qxmon_filter_walk_kind(
        QXMON_TYPE_FILTER,
        [](qxmon_filter_node *node, void *ctx) {
            auto *w = static_cast<type_walk *>(ctx);
            w->result = w->visit(node->text, w->arg);
            return w->result != 0 ? -1 : 0;
        },
        &w);
    return w.result;
}
uint32_t s_done;

void free_payloads() {
    kiv_free(g_file_info.suffix_list);
    kiv_free(g_file_info.suffix_group_list);
    g_file_info.suffix_list = g_file_info.suffix_group_list = nullptr;
}

void free_cache() {
    list_head *pos, *n;
    list_for_each_safe(pos, n, &g_file_info.unorder_cache) {
        list_del(pos);
        // Entries start with their link; the type copy is the second word.
        auto **type = reinterpret_cast<void **>(reinterpret_cast<char *>(pos) + sizeof(list_head));
        if (*type) kiv_free(*type);
        kiv_free(pos);
    }
    g_file_info.cache_cnt = 0;
}

void undo() {
    file_info &f = g_file_info;
    if (s_done & DONE_FILTERS) file_filter_exit();
    if (s_done & DONE_OPS) unregister_msg_handler(s_file_ops, FILE_OPS_NUM);
    for (kiv_timer **t :
         {&f.vfsmnt_update_timer, &f.file_event_timer, &f.file_event_recombine_timer})
        if (*t) del_timer(*t), *t = nullptr;
    if (s_done & DONE_TYPES) {
        uninit_file_type_check();
        file_type_set_env(nullptr);
    }
    if (s_done & DONE_UNORDER_MUTEX) {
        free_cache();
        pthread_mutex_destroy(&f.file_ev_unorder_mutex);
    }
    if (s_done & DONE_UPLOAD_MUTEX) pthread_mutex_destroy(&f.file_ev_upload_mutex);
    if (s_done & DONE_REDO_HASH) {
        fhash_destroy(f.daily_user_hash), f.daily_user_hash = nullptr;
        fhash_destroy(f.upload_event_redo_hash), f.upload_event_redo_hash = nullptr;
    }
    if (s_done & DONE_FM_LOCK) pthread_rwlock_destroy(&f.fm_info_lock);
    if (s_done & DONE_TYPE_MUTEX) pthread_mutex_destroy(&f.file_type_identify_mutex);
    free_payloads();
    s_done = 0;
    f.inited = 0;
}

int send_kernel(unsigned long req, const void *arg) {
    long ret = kiv_dev_ioctl(req, (unsigned long)arg);
    if (ret != 0) {
        KIV_LOG(0, "qxe_ioctl failed, ret is %ld\n", ret);
        return -1;
    }
    return 0;
}

}  // namespace

void file_set_conf_path(const char *path) {
    s_conf_path = path ? path : FILE_CONF_PATH;
}

unsigned char *file_suffix_payload(ini_file_t *ini, const char *section, const char *item,
                                   uint32_t *len) {
    long cnt = ini_file_get_long(ini, section, "cnt", 0);
    if (cnt < 0 || cnt > SUFFIX_CNT_MAX) {
        KIV_LOG(4, "file_suffix cnt is 0 || > %d, no need download\n", (int)SUFFIX_CNT_MAX);
        ini_problem_note(ini_file_name(ini), section, "cnt", ini_file_get(ini, section, "cnt"),
                         true, "nothing: not 0..%d, the file module does not start",
                         (int)SUFFIX_CNT_MAX);
        return nullptr;
    }
    size_t size = (size_t)cnt * SUFFIX_ROOM + 8;
    auto *buf = static_cast<unsigned char *>(kiv_zalloc(size + 1, MALLOC_FOR_FILE_CONFIG));
    if (!buf) return nullptr;
    uint32_t total = 0;
    for (long i = 0; i < cnt; i++) {
        char key[20];
        snprintf(key, sizeof key, "%s_%ld", item, i);
        const char *v = ini_file_get(ini, section, key);
        if (!v) {
            KIV_LOG(4, "get file_suffix data failed\n");
            ini_problem_note(ini_file_name(ini), section, key, "", true,
                             "nothing: missing below cnt %ld, the file module does not start",
                             cnt);
            kiv_free(buf);
            return nullptr;
        }
        // Each value has 20 bytes of room; a longer one is cut there rather than overrun it.
        size_t n = strnlen(v, SUFFIX_ROOM - 1);
        memcpy(buf + 8 + total, v, n);
        total += (uint32_t)n + 1;
    }
    uint32_t c = (uint32_t)cnt;
    memcpy(buf, &c, 4);
    memcpy(buf + 4, &total, 4);
    *len = 8 + total + 1;
    return buf;
}

int file_cfg_load(file_info *f, ini_file_t *ini) {
    auto get = [ini](const ini_long_key &key) {
        return (uint32_t)ini_get_long_in_range(ini, kSection, key);
    };
    f->upload_event_cnt = get(kUploadEventCnt);
    f->upload_event_hour_cnt = get(kUploadEventHourCnt);
    f->ten_minues_redo_enable = get(kTenMinRedo);
    f->upload_event_redo_hash_size = get(kRedoHashSize);
    f->unorder_list_size = get(kUnorderListSize);
    f->kern.vfsmnt_list_cnt = get(kVfsmntListCnt);
    f->kern.monitor_filter_cnt = get(kMonitorFilterCnt);
    f->kern.file_create_cache_cnt = get(kFileCreateCacheCnt);
    f->kern.file_rw_redo_interval = get(kRwRedoInterval);
    f->kern.file_rw_redo_limit = get(kRwRedoLimit);
    f->kern.file_suffix_max_cnt = get(kSuffixMax);
    f->kern.file_suffix_group_max_cnt = get(kSuffixGrpMax);
    f->rename_type_enable = get(kRenameType);
    f->upload_event_per_user = get(kPerUser);
    f->file_filter_unlimited = get(kFilterUnlimited);
    f->file_report_unknown_process = get(kReportUnknown);
    f->file_type_safe_open = get(kTypeSafeOpen);
    f->file_prior_image = get(kPriorImage);
    f->suffix_list = file_suffix_payload(ini, "file_suffix", "suffix", &f->suffix_list_len);
    f->suffix_group_list =
        file_suffix_payload(ini, "file_suffix_group", "group_num", &f->suffix_group_list_len);
    if (!f->suffix_list || !f->suffix_group_list) {
        KIV_LOG(0, "malloc failed\n");
        free_payloads();
        return -1;
    }
    return 0;
}

const char *file_conf_path() {
    return s_conf_path.c_str();
}

int file_cfg_check() {
    std::unique_ptr<ini_file_t, void (*)(ini_file_t *)> ini(ini_conf_load(s_conf_path.c_str()),
                                                            ini_file_free);
    if (!ini) return -1;
    int rc = file_cfg_load(&g_file_info, ini.get());
    free_payloads();
    if (qxmon_filter_cfg_check(ini.get()) != 0) rc = -1;
    return pipe_cfg_check() != 0 ? -1 : rc;
}

int kiv_file_init() {
    file_info &f = g_file_info;
    f = file_info{};
    INIT_LIST_HEAD(&f.unorder_cache);
    s_done = 0;
    // file.conf is read once, for the module keys here and the filter lists at the end.
    std::unique_ptr<ini_file_t, void (*)(ini_file_t *)> ini(ini_conf_load(s_conf_path.c_str()),
                                                            ini_file_free);
    if (!ini) return -1;
    if (int ret = file_cfg_load(&f, ini.get()); ret != 0) {
        KIV_LOG(0, "file_cfg_load failed, ret is %d\n", ret);
        return -1;
    }
    auto fail = [](const char *what, int ret) {
        KIV_LOG(0, "%s failed, ret is %d\n", what, ret);
        undo();
        return -1;
    };
    if (int r = pthread_mutex_init(&f.file_type_identify_mutex, nullptr))
        return fail("pthread_mutex_init file_type_identify_mutex", r);
    s_done |= DONE_TYPE_MUTEX;
    const file_type_env env{&f.file_type_identify_mutex, walk_type_filter,
                            f.file_type_safe_open != 0};
    file_type_set_env(&env);
    if (int r = init_file_type_check(); r != 0) {
        file_type_set_env(nullptr);
        return fail("init_file_type_check", r);
    }
    s_done |= DONE_TYPES;
    if (int r = pthread_rwlock_init(&f.fm_info_lock, nullptr))
        return fail("pthread_rwlock_init fm_info_lock", r);
    s_done |= DONE_FM_LOCK;
    if (file_redo_key_init() != 0) {
        undo();
        return -1;
    }
    f.upload_event_redo_hash = file_redo_hash_create(f.upload_event_redo_hash_size);
    f.daily_user_hash = file_daily_hash_create();
    if (!f.upload_event_redo_hash || !f.daily_user_hash) {
        KIV_LOG(0, "fhash_create upload_event_redo_hash failed\n");
        fhash_destroy(f.upload_event_redo_hash), f.upload_event_redo_hash = nullptr;
        fhash_destroy(f.daily_user_hash), f.daily_user_hash = nullptr;
        undo();
        return -1;
    }
    s_done |= DONE_REDO_HASH;
    if (int r = pthread_mutex_init(&f.file_ev_upload_mutex, nullptr))
        return fail("pthread_mutex_init file_ev_upload_mutex", r);
    s_done |= DONE_UPLOAD_MUTEX;
    if (int r = pthread_mutex_init(&f.file_ev_unorder_mutex, nullptr))
        return fail("pthread_mutex_init file_ev_unorder_mutex", r);
    s_done |= DONE_UNORDER_MUTEX;
    struct {
        kiv_timer **slot;
        uint64_t ms;
        kiv_timer_cb cb;
        const char *name;
    } timers[] = {
        {&f.vfsmnt_update_timer, VFSMNT_UPDATE_MS, [](void *) { trigger_vfsmnt_update(); },
         "vfsmnt_update_timer"},
        {&f.file_event_timer, FILE_EVENT_TIMER_MS, file_event_timer_func, "file_event_timer"},
        {&f.file_event_recombine_timer, RECOMBINE_TIMER_MS, file_event_recombine_timer_func,
         "file_event_recombine_timer"},
    };
    for (auto &t : timers) {
        *t.slot = add_timer(t.ms, t.cb, nullptr);
        if (!*t.slot) {
            KIV_LOG(0, "add_timer %s failed\n", t.name);
            undo();
            return -1;
        }
    }
    if (register_msg_handler(s_file_ops, FILE_OPS_NUM) != 0) {
        KIV_LOG(0, "register ops failed\n");
        undo();
        return -1;
    }
    s_done |= DONE_OPS;
    f.kern.enable = 1;
    if (send_kernel(KIV_IOCTL_FILE_MONITOR, &f.kern) != 0 ||
        send_kernel(KIV_IOCTL_FILE_SUFFIX, f.suffix_list) != 0 ||
        send_kernel(KIV_IOCTL_FILE_SUFFIX_GRP, f.suffix_group_list) != 0) {
        undo();
        return -1;
    }
    // The filter lists go to the kernel last, from the same file.
    int ret = file_filter_init(ini.get());
    if (ret != 0) {
        KIV_LOG(0, "set_default_qxmon_filter_cfg failed, ret is %d\n", ret);
        undo();
        return -1;
    }
    s_done |= DONE_FILTERS;
    kiv_pipe_init();  // optional: the module runs without it
    free_payloads();
    f.inited = 1;
    KIV_LOG(2, "kiv_file_init ok\n");
    return 0;
}

void kiv_file_exit() {
    if (!g_file_info.inited && s_done == 0) return;
    // Events still waiting for their turn leave now rather than vanish.
    if (s_done & DONE_UNORDER_MUTEX) file_event_flush();
    kiv_pipe_exit();
    undo();
    KIV_LOG(2, "kiv_file_exit\n");
}

extern "C" KIV_API void trigger_vfsmnt_update(void) {
    if (kernel_vfsmnt_update() != 0) KIV_LOG(3, "open %s failed\n", "/proc/mounts");
}
