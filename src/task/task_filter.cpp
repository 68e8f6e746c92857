#include "task/task_filter.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "comm/ini_key.h"
#include "comm/timer.h"
#include "base/mem.h"
#include "base/log.h"
#include "framework/limit_drops.h"
#include "qxkiv/digest.h"

namespace {

constexpr int REDO_RECORD_LEN = 204;
constexpr int REDO_MD5_LEN = 32;
constexpr int REDO_SLOTS = 2;

// redo_last_clean: seconds of the last sweep of the full redo hash; under redo_hash_lock.
uint32_t s_redo_last_clean;
// Which mutexes task_filter_init created, so a failed start destroys only those.
enum : unsigned { BUILT_REDO_LOCK = 1, BUILT_MARK_LOCK = 2, BUILT_LIMIT_LOCK = 4 };
unsigned s_filter_built;

uint32_t now_sec() {
    return static_cast<uint32_t>(kiv_now_ms() / 1000);
}

// Text after the last "/": an empty name (path ending in "/") has CRC 0 and matches nothing.
const char *path_basename(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

uint32_t text_crc(const char *text) {
    return mordek_crc32(text, strlen(text));
}

uint32_t key_u32(const void *key) {
    uint32_t v;
    memcpy(&v, key, sizeof v);
    return v;
}

bool hash_list_empty(const fhash *hash) {
    return hash == nullptr || hash->count == 0;
}

bool in_hash_list(fhash *hash, const char *name) {
    uint32_t crc = text_crc(name);
    void *out = nullptr;
    return fhash_search(hash, &crc, sizeof crc, &out) == 0;
}

// Called for each numbered value of a list section; non-zero fails the load.
typedef int (*value_add_fn)(void *target, long index, uint32_t max, const char *key,
                            const char *val);

enum section_mode {
    SECTION_ALL,       // every value up to cnt must be there
    SECTION_CAP_STOP,  // at most max values, ending quietly at the first missing one
};

// Reads "cnt" of section and passes each value "<section>_<index>" to add. The number of
// values read, or -1 when one is missing (SECTION_ALL) or add fails.
long read_section_values(ini_file_t *ini, const char *section, uint32_t max, section_mode mode,
                         value_add_fn add, void *target) {
    long cnt = ini_file_get_long(ini, section, "cnt", 0);
    if (cnt < 0) {
        KIV_LOG(1, "%s: [%s] cnt = %ld out of range [0, %u], using 0\n", ini_file_name(ini),
                section, cnt, max);
        ini_problem_note(ini_file_name(ini), section, "cnt", ini_file_get(ini, section, "cnt"),
                         false, "0 (an empty list)");
        cnt = 0;
    }
    if (cnt > static_cast<long>(max)) {
        if (mode == SECTION_ALL) {
            KIV_LOG(1, "filter_list over max size %d.\n", (int)max);
        } else {
            KIV_LOG(1, "filter_list over max size %d, %d\n", (int)cnt, (int)max);
            cnt = max;
        }
        ini_problem_note(ini_file_name(ini), section, "cnt", ini_file_get(ini, section, "cnt"),
                         false, "the first %u values (the list's maximum)", max);
    }
    long i = 0;
    for (; i < cnt; i++) {
        char key[96];
        snprintf(key, sizeof key, "%s_%ld", section, i);
        const char *val = ini_file_get(ini, section, key);
        if (val == nullptr) {
            KIV_LOG(0, "ini_file_get session(%s) key(%s) failed\n", section, key);
            const bool stop = mode == SECTION_CAP_STOP;
            ini_problem_note(ini_file_name(ini), section, key, "", !stop,
                             stop ? "the %ld values before it" : "nothing: missing below cnt %ld, "
                                                                  "the process module does not start",
                             stop ? i : cnt);
            if (stop) break;
            return -1;
        }
        if (add(target, i, max, key, val) != 0) return -1;
    }
    KIV_LOG(3, "%s count %d\n", section, (int)i);
    return i;
}

int filter_hash_add(void *target, long, uint32_t, const char *, const char *val) {
    if (strlen(val) >= TASK_FILTER_VALUE_LEN) {
        KIV_LOG(1, "proc config over len %s\n", val);
        return 0;
    }
    uint32_t crc = text_crc(val);
    // The CRC is both key and data; fhash refuses a null data pointer, so a value whose CRC
    // is 0 is refused like one that finds the table full.
    auto *hash = static_cast<fhash *>(target);
    if (fhash_insert(hash, &crc, sizeof crc, reinterpret_cast<void *>(uintptr_t{crc})) != 0)
        KIV_LOG(1, "fhash_insert failed\n");
    else
        KIV_LOG(3, "val: %s\n", val);
    return 0;
}

int filter_list_add(void *target, long index, uint32_t max, const char *, const char *val) {
    if (index >= static_cast<long>(max)) return 0;  // checked for presence, not kept
    auto *node =
        static_cast<filter_node *>(kiv_zalloc(sizeof(filter_node), MALLOC_FOR_TASK_FILTER_NODE));
    if (node == nullptr) {
        KIV_LOG(0, "malloc filter_node failed\n");
        return -1;
    }
    memcpy(node->text, val, strnlen(val, TASK_FILTER_VALUE_LEN));
    list_add(&node->list, static_cast<list_head *>(target));
    KIV_LOG(3, "val: %s\n", node->text);
    return 0;
}

// target: the kern_task_conf checksum slot of the list's first value.
int kern_list_add(void *target, long index, uint32_t, const char *key, const char *val) {
    uint32_t *slot = static_cast<uint32_t *>(target) + index;
    *slot = text_crc(val);
    KIV_LOG(4, "%s: %s:%d\n", key, val, (int)*slot);
    return 0;
}

// A failed start: names the step and releases what was built.
int task_filter_init_failed(const char *step) {
    KIV_LOG(0, "%s\n", step);
    task_filter_exit();
    return -1;
}

void upload_mark_data_free(void *data) {
    kiv_free(data);
}

}  // namespace

// ---- Rate limiter -------------------------------------------------------------------------

namespace {

// One user's creations against one of the per-user limiters; the lines say when a limit
// first bites in a window and how many it refused once the window is over.
int user_limit(keyed_limiter &lim, uint32_t uid, uint32_t now, const char *what,
               usensor_stat_type counter, const char *exe) {
    bool first = false;
    uint32_t closed = 0;
    int rc = lim.check(uid, now, &first, &closed);
    if (closed)
        KIV_LOG(2, "process creations of uid %u: %u dropped by the %s limit (%u)\n", uid, closed,
                what, lim.max_cnt());
    if (rc == 0) return 0;
    kiv_stat_inc(counter);
    limit_drop_note(counter, uid, KIV_LIMIT_EXECUTABLE, exe);
    if (first)
        KIV_LOG(2,
                "process creations of uid %u over the %s limit (%u): more are dropped until "
                "its window ends\n",
                uid, what, lim.max_cnt());
    return -1;
}

}  // namespace

int upload_limit_filter(const process_st *item) {
    auto &f = g_task_info;
    mutex_guard guard(&f.upload_limit_lock);
    uint32_t now_ms = static_cast<uint32_t>(kiv_now_ms());
    if (f.limit_per_user && item) {
        const uint32_t uid = item->ids[0];
        if (user_limit(f.user_sec_limit, uid, now_ms, "per-second",
                       TASK_FILTER_UPLOAD_LIMIT_SEC_CNT, item->path))
            return -1;
        return user_limit(f.user_hour_limit, uid, now_sec(), "hourly",
                          TASK_FILTER_UPLOAD_LIMIT_HOUR_CNT, item->path);
    }
    const char *exe = item ? item->path : "";
    if (is_over_limit(&f.sec_limit, now_ms) != 0) {
        kiv_stat_inc(TASK_FILTER_UPLOAD_LIMIT_SEC_CNT);
        limit_drop_note(TASK_FILTER_UPLOAD_LIMIT_SEC_CNT, KIV_LIMIT_ANY_USER, KIV_LIMIT_EXECUTABLE,
                        exe);
        KIV_LOG(4, "limit second: %u/%ums > %u/%ums\n", f.sec_limit.count,
                now_ms - f.sec_limit.start, f.sec_limit.max_cnt, f.sec_limit.interval);
        return -1;
    }
    uint32_t now = now_sec();
    if (is_over_limit(&f.hour_limit, now) != 0) {
        kiv_stat_inc(TASK_FILTER_UPLOAD_LIMIT_HOUR_CNT);
        limit_drop_note(TASK_FILTER_UPLOAD_LIMIT_HOUR_CNT, KIV_LIMIT_ANY_USER, KIV_LIMIT_EXECUTABLE,
                        exe);
        KIV_LOG(4, "limit hour: %u/%us > %u/%us\n", f.hour_limit.count, now - f.hour_limit.start,
                f.hour_limit.max_cnt, f.hour_limit.interval);
        return -1;
    }
    return 0;
}

// ---- Black, white, command-line and no-filter lists ---------------------------------------

int task_list_key_cmp_func(const void *key, void *data) {
    uint32_t stored = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
    return stored != 0 && key_u32(key) == stored ? 0 : 1;
}

int black_list_filter(const char *path) {
    if (path == nullptr) {
        KIV_LOG(1, "param illegal\n");
        return 0;
    }
    if (hash_list_empty(g_task_info.black_list)) return 0;
    if (!in_hash_list(g_task_info.black_list, path_basename(path))) return 0;
    KIV_LOG(3, "match black_list %s\n", path);
    return TASK_FILTERED;
}

int white_list_filter(const char *path) {
    if (path == nullptr) {
        KIV_LOG(3, "param illegal\n");
        return TASK_FILTERED;
    }
    if (hash_list_empty(g_task_info.white_list)) return 0;
    if (!in_hash_list(g_task_info.white_list, path_basename(path))) return TASK_FILTERED;
    KIV_LOG(4, "match whitelist %s\n", path);
    return 0;
}

int black_white_list_filter(const process_st *items, int count) {
    bool white_passed = false;
    for (int i = 0; i < count && items[i].pid != 0; i++) {
        if (black_list_filter(items[i].path) != 0) {
            kiv_stat_inc(TASK_FILTER_BLACK_CNT);
            return TASK_FILTERED;
        }
        if (!white_passed && white_list_filter(items[i].path) == 0) white_passed = true;
    }
    if (white_passed) return 0;
    kiv_stat_inc(TASK_FILTER_WHITE_CNT);
    return TASK_FILTERED;
}

int cmdline_filter(const process_st *item) {
    if (item == nullptr) {
        KIV_LOG(1, "param illegal\n");
        return -2;
    }
    list_head *head = &g_task_info.cmdline_list;
    for (list_head *p = head->next; p != head; p = p->next) {
        const filter_node *node = list_entry(p, filter_node, list);
        if (strstr(item->cmd_line, node->text) != nullptr) {
            KIV_LOG(3, "match cmdline list %s.\n", node->text);
            kiv_stat_inc(TASK_FILTER_CMDLINE_CNT);
            return TASK_FILTERED;
        }
    }
    return 0;
}

int filter_vip_list_no_pram(const char *cmd_line) {
    if (cmd_line == nullptr) return 0;
    for (int i = 0; cmd_line[i] != '\0'; i++) {
        if (cmd_line[i] == ' ' && cmd_line[i + 1] != '\0') {
            KIV_LOG(3, "cmd_line:%s, position:%d\n", cmd_line, i);
            return -1;
        }
    }
    return 0;
}

int filter_vip_list_events(const process_st *item) {
    if (item == nullptr) {
        KIV_LOG(1, "param illegal\n");
        return -2;
    }
    list_head *head = &g_task_info.vip_list;
    if (list_empty(head)) return 0;
    const char *name = path_basename(item->path);
    for (list_head *p = head->next; p != head; p = p->next) {
        const filter_node *node = list_entry(p, filter_node, list);
        if (strcmp(node->text, name) != 0) continue;
        if (filter_vip_list_no_pram(item->cmd_line) != 0) return 0;
        kiv_stat_inc(TASK_FILTER_VIP_CNT);
        KIV_LOG(3, "match vip list %s.\n", node->text);
        return TASK_FILTERED;
    }
    return 0;
}

// ---- Repeat filter --------------------------------------------------------------------------

int redo_hash_key_cmp_func(const void *key, void *data) {
    const auto *k = static_cast<const redo_key *>(key);
    const redo_key &e = static_cast<redo_entry *>(data)->key;
    return k->crc == e.crc && k->material == e.material ? 0 : 1;
}

void redo_hash_data_free_func(void *data) {
    kiv_free(data);
}

int del_old_redo_node(void *data, void *context) {
    auto *entry = static_cast<redo_entry *>(data);
    auto *ctx = static_cast<redo_clean_ctx *>(context);
    // Unsigned age: an entry stamped in the future counts as old.
    if (ctx->now - entry->time > REDO_KEEP_SEC) {
        redo_key key = entry->key;
        fhash_delete(ctx->hash, &key, sizeof key.crc);
    }
    return 0;
}

int insert_redo_events_to_table(fhash *hash, const redo_key &key) {
    uint32_t now = now_sec();
    if (fhash_full(hash) == 1) {
        KIV_LOG(3, "redo hash reach max size %d\n", (int)hash->max_entries);
        uint32_t &last_clean = s_redo_last_clean;
        if (now - last_clean < REDO_CLEAN_GAP_SEC) return -1;
        last_clean = now;
        redo_clean_ctx ctx{hash, now};
        fhash_walk(hash, del_old_redo_node, &ctx);
        if (fhash_full(hash) == 1) return -4;
    }
    auto *entry =
        static_cast<redo_entry *>(kiv_malloc(sizeof(redo_entry), MALLOC_FOR_TASK_UPLOAD_REDO));
    if (entry == nullptr) {
        KIV_LOG(1, "kiv_malloc failed\n");
        return -3;
    }
    entry->key = key;
    entry->time = now;
    // The bucket comes from the checksum alone; the compare reads the whole key.
    if (fhash_insert(hash, &entry->key, sizeof entry->key.crc, entry) != 0) {
        KIV_LOG(3, "fhash_insert failed\n");
        kiv_free(entry);
        return -1;
    }
    return 0;
}

int filter_redo_events(fhash *hash, const redo_key &key) {
    void *data = nullptr;
    if (fhash_search(hash, &key, sizeof key.crc, &data) != 0) {
        KIV_LOG(4, "first insert redo, crc is %u\n", key.crc);
        insert_redo_events_to_table(hash, key);
        return 0;
    }
    auto *entry = static_cast<redo_entry *>(data);
    uint32_t now = now_sec();
    KIV_LOG(4, "cur_time %u node_time %u\n", now, entry->time);
    if (now >= entry->time && now - entry->time >= REDO_KEEP_SEC) {
        entry->time = now;  // restamped in place: a full table cannot refuse it
        return 0;
    }
    KIV_LOG(4, "event upload within %d, drop it\n", (int)REDO_KEEP_SEC);
    return TASK_FILTERED;
}

redo_key redo_key_of(const process_st *items, int count, bool whole_cmdline) {
    redo_key key{};
    if (!whole_cmdline) {
        // Per slot: the executable's md5 text, then the start of its command line.
        unsigned char block[REDO_SLOTS * REDO_RECORD_LEN] = {};
        for (int i = 0; i < count && i < REDO_SLOTS; i++) {
            unsigned char *rec = block + i * REDO_RECORD_LEN;
            size_t md5_len = strnlen(items[i].md5, REDO_MD5_LEN);
            memcpy(rec, items[i].md5, md5_len);
            memcpy(rec + md5_len, items[i].cmd_line,
                   strnlen(items[i].cmd_line, REDO_RECORD_LEN - REDO_MD5_LEN));
        }
        // The checksum alone decides, material left zero.
        key.crc = mordek_crc32(block, sizeof block);
        return key;
    }
    // Each text with its terminator, so no two splits of the same bytes meet.
    keyed_piece pieces[REDO_SLOTS * 3];
    size_t n = 0;
    for (int i = 0; i < count && i < REDO_SLOTS; i++) {
        pieces[n++] = {items[i].md5, strnlen(items[i].md5, sizeof items[i].md5 - 1) + 1};
        pieces[n++] = {items[i].cmd_line,
                       strnlen(items[i].cmd_line, sizeof items[i].cmd_line - 1) + 1};
        pieces[n++] = {items[i].ids, 2 * sizeof items[i].ids[0]};  // real and effective uid
    }
    keyed_hash(pieces, n, &key.material);
    key.crc = static_cast<uint32_t>(key.material.lo);
    return key;
}

int redo_filter(const process_st *items, int count) {
    if (filter_vip_list_events(&items[0]) != 0) {
        KIV_LOG(4, "match vip,no need to redo\n");
        return 0;
    }
    // A process gone before it could be read leaves neither path nor command line; all such
    // records would share one key and hide each other.
    const bool whole = g_task_info.redo_whole_cmdline != 0;
    if (whole && items[0].path[0] == '\0' && items[0].cmd_line[0] == '\0') {
        kiv_stat_inc(TASK_FILTER_REDO_BLANK_CNT);
        KIV_LOG(4, "no path and no command line, not a repeat\n");
        return 0;
    }
    redo_key key = redo_key_of(items, count, whole);
    mutex_guard guard(&g_task_info.redo_hash_lock);
    return filter_redo_events(g_task_info.redo_hash, key);
}

// ---- The filter chain -----------------------------------------------------------------------

int is_filter_task(const process_st *items, int count) {
    if (items == nullptr || count <= 0) {
        KIV_LOG(1, "param illegal\n");
        return -2;
    }
    if (black_white_list_filter(items, count) != 0) {
        KIV_LOG(3, "is filter by black or white list\n");
        return TASK_FILTERED;
    }
    if (cmdline_filter(&items[0]) != 0) {
        KIV_LOG(3, "is filter by cmdline\n");
        return TASK_FILTERED;
    }
    if (redo_filter(items, count) != 0) {
        kiv_stat_inc(TASK_FILTER_REDO_CNT);
        KIV_LOG(3, "is filter by redo_filter\n");
        return TASK_FILTERED;
    }
    if (upload_limit_filter(&items[0]) != 0) {
        KIV_LOG(3, "is filter by upload limit\n");
        return TASK_FILTERED;
    }
    return 0;
}

// ---- Upload marks ---------------------------------------------------------------------------

int upload_mark_hash_key_cmp(const void *key, void *data) {
    return key_u32(key) == static_cast<upload_mark_entry *>(data)->pid ? 0 : -5;
}

// Whether the mark table holds key itself (not another process with the pid). Under the lock.
static bool upload_mark_held(const ftree_key *key) {
    void *data = nullptr;
    return lhash_search(g_task_info.upload_mark_hash, &key->pid, sizeof key->pid, &data) == 0 &&
           static_cast<upload_mark_entry *>(data)->create_time == key->create_time;
}

int proc_need_upload(const ftree_key *key) {
    auto &f = g_task_info;
    mutex_guard guard(&f.upload_mark_hash_lock);
    uint32_t pid = key->pid;
    if (upload_mark_held(key)) {
        if (lhash_mark_latest(f.upload_mark_hash, &pid, sizeof pid) != 0)
            KIV_LOG(1, "lhash_mark_latest upload_mark_hash %d failed\n", (int)pid);
        KIV_LOG(4, "no need to upload: %d\n", (int)pid);
        return 0;
    }
    auto *entry = static_cast<upload_mark_entry *>(
        kiv_malloc(sizeof(upload_mark_entry), MALLOC_FOR_TASK_UPLOAD_MARK));
    if (entry == nullptr) {
        KIV_LOG(1, "malloc failed\n");
        return 1;
    }
    entry->create_time = key->create_time;
    entry->pid = pid;
    if (lhash_insert(f.upload_mark_hash, &entry->pid, sizeof entry->pid, entry) != 0) {
        KIV_LOG(3, "insert upload_mark_hash %d failed\n", (int)pid);
        kiv_free(entry);
    }
    return 1;
}

void proc_upload_unmark(const ftree_key *key) {
    auto &f = g_task_info;
    mutex_guard guard(&f.upload_mark_hash_lock);
    if (upload_mark_held(key)) lhash_delete(f.upload_mark_hash, &key->pid, sizeof key->pid);
}

// ---- Loading --------------------------------------------------------------------------------

int initialize_filter_hash(fhash *hash, ini_file_t *ini, const char *section, uint32_t max) {
    return read_section_values(ini, section, max, SECTION_ALL, filter_hash_add, hash) < 0 ? -1 : 0;
}

void free_filter_list(list_head *list) {
    if (list->next == nullptr) return;  // never initialised
    while (!list_empty(list)) {
        list_head *p = list->next;
        list_del_init(p);
        kiv_free(list_entry(p, filter_node, list));
    }
}

int initialize_filter_list(list_head *list, ini_file_t *ini, const char *section, uint32_t max) {
    if (read_section_values(ini, section, max, SECTION_ALL, filter_list_add, list) >= 0) return 0;
    free_filter_list(list);
    return -1;
}

uint32_t task_kern_list_load(ini_file_t *ini, uint32_t max_cnt, kern_task_conf *conf) {
    uint32_t total = 0;
    for (int l = 0; l < KERN_TASK_LIST_NUM; l++) {
        long n = read_section_values(ini, g_kern_task_list_sections[l], max_cnt, SECTION_CAP_STOP,
                                     kern_list_add, conf->crc + total);
        conf->list_cnt[l] = static_cast<uint32_t>(n);
        total += static_cast<uint32_t>(n);
    }
    return total;
}

// ---- Life cycle -----------------------------------------------------------------------------

int task_filter_init(ini_file_t *ini) {
    auto &f = g_task_info;
    KIV_ASSERT(f.black_list == nullptr && f.redo_hash == nullptr && f.upload_mark_hash == nullptr);
    INIT_LIST_HEAD(&f.cmdline_list);
    INIT_LIST_HEAD(&f.vip_list);
    s_filter_built = 0;
    auto mutex_init = [](pthread_mutex_t *m, unsigned bit) {
        if (pthread_mutex_init(m, nullptr) != 0) return false;
        s_filter_built |= bit;
        return true;
    };
    uint32_t lmax = f.process_list_max_cnt;
    if (!(f.black_list = fhash_create(lmax, lmax, task_list_key_cmp_func, nullptr, nullptr)))
        return task_filter_init_failed("fhash_create black_list failed");
    if (initialize_filter_hash(f.black_list, ini, "black_process", lmax) != 0)
        return task_filter_init_failed("initialize_filter_hash black_list failed");
    if (!(f.white_list = fhash_create(lmax, lmax, task_list_key_cmp_func, nullptr, nullptr)))
        return task_filter_init_failed("fhash_create white_list failed");
    if (initialize_filter_hash(f.white_list, ini, "white_process", lmax) != 0)
        return task_filter_init_failed("initialize_filter_hash white_list failed");
    if (!mutex_init(&f.redo_hash_lock, BUILT_REDO_LOCK))
        return task_filter_init_failed("pthread_mutex_init redo_hash_lock failed");
    uint32_t redo_size = f.redo_hash_size;
    if (!(f.redo_hash = fhash_create(redo_size, redo_size / 2, redo_hash_key_cmp_func, nullptr,
                                     redo_hash_data_free_func)))
        return task_filter_init_failed("fhash_create redo_hash failed");
    if (initialize_filter_list(&f.cmdline_list, ini, "cmdline_process", f.cmdline_list_max_cnt))
        return task_filter_init_failed("initialize_filter_list cmdline_list failed");
    if (initialize_filter_list(&f.vip_list, ini, "nofilter_process", f.vip_list_max_cnt))
        return task_filter_init_failed("initialize_filter_list vip_list failed");
    if (!mutex_init(&f.upload_mark_hash_lock, BUILT_MARK_LOCK))
        return task_filter_init_failed("pthread_mutex_init upload_mark_hash_lock failed");
    uint32_t mark_size = f.upload_mark_hash_size;
    lhash_ops mark_ops{nullptr, upload_mark_data_free, upload_mark_hash_key_cmp};
    if (!(f.upload_mark_hash =
              lhash_create(mark_size, mark_size / 5, UPLOAD_MARK_EVICT_LIMIT, &mark_ops)))
        return task_filter_init_failed("lhash_create upload_mark_hash failed");
    if (!mutex_init(&f.upload_limit_lock, BUILT_LIMIT_LOCK))
        return task_filter_init_failed("pthread_mutex_init upload_limit_lock failed");
    s_redo_last_clean = 0;
    upload_limit_info_init(&f.sec_limit, f.sec_limit.max_cnt, 1000);
    upload_limit_info_init(&f.hour_limit, f.hour_limit.max_cnt, 3600);
    f.user_sec_limit.init(f.sec_limit.max_cnt, 1000);
    f.user_hour_limit.init(f.hour_limit.max_cnt, 3600);
    return 0;
}

void task_filter_exit() {
    auto &f = g_task_info;
    if (s_filter_built & BUILT_LIMIT_LOCK) pthread_mutex_destroy(&f.upload_limit_lock);
    lhash_destroy(f.upload_mark_hash);
    f.upload_mark_hash = nullptr;
    if (s_filter_built & BUILT_MARK_LOCK) pthread_mutex_destroy(&f.upload_mark_hash_lock);
    free_filter_list(&f.vip_list);
    free_filter_list(&f.cmdline_list);
    fhash_destroy(f.redo_hash);
    f.redo_hash = nullptr;
    if (s_filter_built & BUILT_REDO_LOCK) pthread_mutex_destroy(&f.redo_hash_lock);
    fhash_destroy(f.white_list);
    f.white_list = nullptr;
    fhash_destroy(f.black_list);
    f.black_list = nullptr;
    s_filter_built = 0;
}
