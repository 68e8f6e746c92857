// File records on the collector threads: decoded with bounds checks, limited by the daily
// count and the repeat table, and handed on in the kernel's sequence order.
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/clock.h"
#include "base/log.h"
#include "base/mem.h"
#include "qxkiv/digest.h"
#include "comm/keyed_hash.h"
#include "comm/pthread_guard.h"
#include "comm/timer.h"
#include "file/file.h"
#include "file/file_filter.h"
#include "framework/hook.h"
#include "framework/limit_drops.h"
#include "framework/ring.h"
#include "qxkiv/process_query.h"
#include "qxkiv/usr_grp.h"

namespace {

template <class T>
T ld(const unsigned char *p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

constexpr uint32_t REDO_KEEP_SEC = 3600;
constexpr uint32_t TEN_MINUTES = 600;
constexpr uint32_t REDO_NODES_PER_ENTRY = 32;
constexpr uint32_t REDO_NODES_ALL = 10240;
constexpr uint32_t RECOMBINE_WAIT_SEC = 3;
constexpr int RECOMBINE_BATCH = 10;
constexpr size_t DROPPED_ENTRY_SIZE = 88;

const char *const kKindNames[] = {"FILE_CREATE", "FILE_DELETE", "FILE_RENAME",
                                  "FILE_MODIFY", "FILE_ACCESS", "FILE_ATTRIB"};

uint32_t now_sec() {
    return static_cast<uint32_t>(kiv_now_ms() / 1000);
}

file_type_filter_fn s_type_filter;

}  // namespace

// ---- decoding ---------------------------------------------------------------------------------

size_t file_path_block_offset(int kind) {
    switch (kind) {
        case FILE_CREATE:
            return 67;
        case FILE_ATTRIB:
            return 79;
        default:
            return 65;
    }
}

bool file_event_id_of(const unsigned char *body, size_t body_len, uint16_t *id) {
    if (body_len < FILE_REC_FIXED - FILE_REC_BODY) return false;
    *id = ld<uint16_t>(body + 62 - FILE_REC_BODY);
    return true;
}

int file_event_parse(const unsigned char *body, size_t body_len, int kind, file_event_view *out) {
    if (kind < 0 || kind >= FILE_KIND_NUM) {
        KIV_LOG(1, "unknown qxmon_type: %d\n", kind);
        return -1;
    }
    const size_t pb = file_path_block_offset(kind) - FILE_REC_BODY;
    if (body_len < pb + 2) {
        KIV_LOG(1, "file record too short: %zu bytes for kind %d\n", body_len, kind);
        return -1;
    }
    auto at = [body](size_t rec_off) { return body + rec_off - FILE_REC_BODY; };
    file_event_view &v = *out;
    v.create_time = ld<uint64_t>(at(16));
    v.atime = ld<uint64_t>(at(24));
    v.mtime = ld<uint64_t>(at(32));
    v.ctime = ld<uint64_t>(at(40));
    v.tgid = ld<uint32_t>(at(48));
    v.uid = ld<uint32_t>(at(52));
    v.gid = ld<uint32_t>(at(56));
    v.mode = ld<uint16_t>(at(60));
    v.id = ld<uint16_t>(at(62));
    v.dir = *at(64) & 1;
    v.creat_type = kind == FILE_CREATE ? *at(65) : 0;
    v.new_uid = kind == FILE_ATTRIB ? ld<uint32_t>(at(69)) : 0;
    v.new_gid = kind == FILE_ATTRIB ? ld<uint32_t>(at(73)) : 0;
    v.new_mode = kind == FILE_ATTRIB ? ld<uint16_t>(at(77)) : 0;
    uint16_t word = ld<uint16_t>(body + pb);
    size_t names = word & 0x7fff;
    const char *p = reinterpret_cast<const char *>(body + pb + 2);
    if (pb + 2 + names > body_len) {
        KIV_LOG(1, "file record names run past its end: %zu + %zu > %zu\n", pb + 2, names,
                body_len);
        return -1;
    }
    const char *nul = static_cast<const char *>(memchr(p, 0, names));
    if (!nul) {
        KIV_LOG(1, "file record name not terminated within %zu bytes\n", names);
        return -1;
    }
    v.name = p, v.name_len = static_cast<uint32_t>(nul - p);
    v.name2 = nullptr, v.name2_len = 0;
    if (word & 0x8000) {
        const char *q = nul + 1;
        size_t left = names - (size_t)(q - p);
        const char *nul2 = static_cast<const char *>(memchr(q, 0, left));
        if (!nul2) {
            KIV_LOG(1, "file record second name not terminated within %zu bytes\n", left);
            return -1;
        }
        v.name2 = q, v.name2_len = static_cast<uint32_t>(nul2 - q);
    }
    v.size = static_cast<uint32_t>(pb + 2 + names);
    return 0;
}

static void dump_raw_file_info(const file_event_view &v, int kind, uint32_t pid) {
    KIV_LOG(4, "file event: %s, pid: %d, file_event_id: %u, dir: %u\n",
            kind >= 0 && kind < FILE_KIND_NUM ? kKindNames[kind] : "UNKNOWN_FILE_EVENT", pid, v.id,
            v.dir);
    KIV_LOG(4, "tgid %d create_time %llu mode %x uid %d gid %d\n", v.tgid,
            (unsigned long long)v.create_time, v.mode, v.uid, v.gid);
    KIV_LOG(4, "atime: %lu, mtime: %lu, ctime: %lu\n", (unsigned long)v.atime,
            (unsigned long)v.mtime, (unsigned long)v.ctime);
    if (kind == FILE_CREATE) KIV_LOG(4, "creat_type: %u\n", v.creat_type);
    if (kind == FILE_ATTRIB) {
        KIV_LOG(4, "mode %x\n", v.new_mode);
        KIV_LOG(4, "uid %d gid %d\n", v.new_uid, v.new_gid);
    }
    KIV_LOG(4, "new path: %s\n", v.name);
    if (v.name2) KIV_LOG(4, "old path: %s\n", v.name2);
}

// ---- sequence order ---------------------------------------------------------------------------

int file_event_id_cmp(uint16_t a, uint16_t b) {
    if (a == b) return 0;
    if (a > b) return a - b <= 32766 ? 1 : -1;
    return b - a <= 32766 ? -1 : 1;
}

int need_recombine(uint16_t id) {
    uint32_t last = g_file_info.last_event_id;
    if ((uint32_t)id == last + 1) return 0;
    if (last > id && last - id <= 32767) return 0;
    if (id > last && id - last >= 32767) return 0;
    return 1;
}

struct file_unorder_entry {
    list_head link;
    file_type_info_st *type;
    uint32_t deadline;
    uint16_t kind_dropped;  // kind, bit 15 dropped
    uint16_t id;
    uint32_t body_len;
    uint32_t exec_mark;
    unsigned char body[];
};
constexpr uint16_t UNORDER_DROPPED = 0x8000;
static_assert(sizeof(file_unorder_entry) + 56 >= DROPPED_ENTRY_SIZE);

static void order_file_event_handle(file_unorder_entry *e) {
    if (!(e->kind_dropped & UNORDER_DROPPED))
        upload_file_event(e->body, e->body_len, e->type, e->kind_dropped & 0x7fff, e->exec_mark);
    mutex_guard g(&g_file_info.file_ev_unorder_mutex);
    if (file_event_id_cmp(e->id, g_file_info.last_event_id) > 0)
        g_file_info.last_event_id = e->id == 0xffff ? 0 : e->id;
}

static void free_entry(file_unorder_entry *e) {
    if (e->type) kiv_free(e->type);
    kiv_free(e);
}

// Hands on up to a batch from the front of the cache; the caller holds file_ev_upload_mutex.
static void drain(bool full, bool timer) {
    list_head out;
    INIT_LIST_HEAD(&out);
    {
        mutex_guard g(&g_file_info.file_ev_unorder_mutex);
        int moved = 0;
        bool timed_out = false;
        uint32_t now = now_sec();
        while (!list_empty(&g_file_info.unorder_cache) && moved < RECOMBINE_BATCH) {
            auto *e = list_entry(g_file_info.unorder_cache.next, file_unorder_entry, link);
            bool go;
            if (timer) {
                if ((int32_t)(now - e->deadline) >= 0) {
                    kiv_stat_inc(FILE_RECOMBINE_TIMEOUT);
                    timed_out = go = true;
                } else {
                    go = timed_out && need_recombine(e->id) == 0;
                }
            } else {
                go = full || need_recombine(e->id) == 0;
            }
            if (!go) break;
            list_move_tail(&e->link, &out);
            g_file_info.cache_cnt--;
            moved++;
            // Later entries may go once this one has: let the next test see its number.
            if (file_event_id_cmp(e->id, g_file_info.last_event_id) > 0)
                g_file_info.last_event_id = e->id == 0xffff ? 0 : e->id;
        }
    }
    list_head *pos, *n;
    list_for_each_safe(pos, n, &out) {
        auto *e = list_entry(pos, file_unorder_entry, link);
        list_del(pos);
        order_file_event_handle(e);
        free_entry(e);
    }
}

void file_event_recombine(const unsigned char *body, size_t body_len, const file_type_info_st *type,
                          int kind, bool dropped, uint16_t id, uint32_t exec_mark) {
    bool full;
    {
        mutex_guard g(&g_file_info.file_ev_unorder_mutex);
        full = g_file_info.cache_cnt >= g_file_info.unorder_list_size;
    }
    if (full) kiv_stat_inc(FILE_RECOMBINE_FULL);
    // In order with nothing waiting: handed on at once, without a copy.
    if (!full && pthread_mutex_trylock(&g_file_info.file_ev_upload_mutex) == 0) {
        bool now;
        {
            mutex_guard g(&g_file_info.file_ev_unorder_mutex);
            now = list_empty(&g_file_info.unorder_cache) && need_recombine(id) == 0;
        }
        if (now) {
            if (!dropped) upload_file_event(body, body_len, type, kind, exec_mark);
            {
                mutex_guard g(&g_file_info.file_ev_unorder_mutex);
                if (file_event_id_cmp(id, g_file_info.last_event_id) > 0)
                    g_file_info.last_event_id = id == 0xffff ? 0 : id;
            }
            // Whatever came in meanwhile and may now go.
            drain(false, false);
            pthread_mutex_unlock(&g_file_info.file_ev_upload_mutex);
            return;
        }
        pthread_mutex_unlock(&g_file_info.file_ev_upload_mutex);
    }
    size_t copy = dropped ? 0 : body_len;
    size_t size = dropped ? DROPPED_ENTRY_SIZE : sizeof(file_unorder_entry) + copy;
    if (size < sizeof(file_unorder_entry)) size = sizeof(file_unorder_entry);
    auto *e = static_cast<file_unorder_entry *>(kiv_malloc(size, MALLOC_FOR_FILE_RECOMBINE));
    if (!e) {
        KIV_LOG(1, "kiv_malloc file_event_unoreder_cache_st failed\n");
        // Out of order rather than lost.
        if (!dropped) upload_file_event(body, body_len, type, kind, exec_mark);
        return;
    }
    e->type = nullptr;
    e->deadline = now_sec() + RECOMBINE_WAIT_SEC;
    e->kind_dropped = static_cast<uint16_t>(kind & 0x7fff) | (dropped ? UNORDER_DROPPED : 0);
    e->id = id;
    e->body_len = static_cast<uint32_t>(copy);
    e->exec_mark = exec_mark;
    if (copy) memcpy(e->body, body, copy);
    if (!dropped && type && type->type != FILE_TYPE_UNKNOWN) {
        e->type = static_cast<file_type_info_st *>(
            kiv_malloc(sizeof(file_type_info_st), MALLOC_FOR_FILE_RECOMBINE_TYPE));
        if (e->type)
            *e->type = *type;
        else
            KIV_LOG(1, "malloc type failed\n");
    }
    {
        mutex_guard g(&g_file_info.file_ev_unorder_mutex);
        list_head *pos;
        list_head *before = &g_file_info.unorder_cache;
        list_for_each(pos, &g_file_info.unorder_cache) {
            if (file_event_id_cmp(list_entry(pos, file_unorder_entry, link)->id, id) > 0) {
                before = pos;
                break;
            }
        }
        list_add_tail(&e->link, before);
        g_file_info.cache_cnt++;
        kiv_stat_inc(FILE_RECOMBINE_INSERT);
    }
    if (full) {
        mutex_guard g(&g_file_info.file_ev_upload_mutex);
        drain(true, false);
    } else if (pthread_mutex_trylock(&g_file_info.file_ev_upload_mutex) == 0) {
        drain(false, false);
        pthread_mutex_unlock(&g_file_info.file_ev_upload_mutex);
    }
}

void file_event_flush() {
    mutex_guard g(&g_file_info.file_ev_upload_mutex);
    for (;;) {
        {
            mutex_guard u(&g_file_info.file_ev_unorder_mutex);
            if (list_empty(&g_file_info.unorder_cache)) return;
        }
        drain(true, false);
    }
}

void file_event_recombine_timer_func(void *) {
    if (pthread_mutex_trylock(&g_file_info.file_ev_upload_mutex) != 0) return;
    drain(false, true);
    pthread_mutex_unlock(&g_file_info.file_ev_upload_mutex);
}

// ---- repeat filter ----------------------------------------------------------------------------

// A repeat is recognised by its whole key: the CRC-32 only picks the bucket or saves a compare,
// since anyone can give a path of their own the CRC of another. Paths are kept as a SipHash of
// a key drawn at start, which nobody outside can aim at.
namespace {

constexpr uint32_t ALL_USERS = 0xfffffffeu;     // budgets shared by every user
constexpr uint32_t UNKNOWN_USER = 0xffffffffu;  // actor not known, or the user table full
constexpr uint32_t DAILY_USERS_MAX = 4096;

struct path_key {
    uint64_t h[2];
    bool operator==(const path_key &) const = default;
};

// False (logged) when the keyed hash fails: the path is then no one's repeat.
bool sip_path(const char *path, size_t n, path_key *k) {
    keyed_hash128 h;
    if (!keyed_hash(path, n, &h)) return false;
    k->h[0] = h.lo, k->h[1] = h.hi;
    return true;
}

// The user a limit's drop is charged to, as the host is told: one user, or none in particular.
uint32_t drop_uid(uint32_t uid) {
    return uid == ALL_USERS || uid == UNKNOWN_USER ? KIV_LIMIT_ANY_USER : uid;
}
const char *drop_exe(const char *exe) {
    return exe && strcmp(exe, "-") != 0 ? exe : "";
}

const char *user_text(uint32_t uid, char buf[24]) {
    if (uid == ALL_USERS) return "every user";
    if (uid == UNKNOWN_USER) return "unknown or untracked users";
    snprintf(buf, 24, "uid %u", uid);
    return buf;
}

}  // namespace

int file_redo_key_init() {
    keyed_hash128 h;
    if (!keyed_hash("", 0, &h)) {
        KIV_LOG(0, "no keyed hash for the repeat keys\n");
        return -1;
    }
    return 0;
}

struct redo_type_node {
    redo_type_node *next;  // circular, oldest first from the entry's head
    uint32_t file_key;     // CRC-32 of the path
    uint16_t kind;
    uint16_t time;  // 12 bits: seconds since the entry's creation
    path_key path;  // zero for a node given only a CRC, which no path matches
};

// Who an entry counts for: the executable's MD5 text and the user charged (ALL_USERS when
// budgets are shared). Zero-filled, since its bytes are hashed.
struct redo_id {
    uint32_t uid;
    char md5[33];
};

struct file_redo_entry {
    redo_type_node *head;  // oldest
    uint32_t expiry;
    uint32_t key;  // bucket hash of id
    uint32_t count : 24;
    uint32_t nodes : 8;
    uint32_t dropped;  // events the hourly limit dropped in this window
    redo_id id;
};

static uint32_t md5_crc(const redo_id &id);
static uint32_t redo_id_hash(const void *key, uint32_t) {
    const auto *id = static_cast<const redo_id *>(key);
    return md5_crc(*id) ^ id->uid * 0x9E3779B1u;
}

static uint32_t entry_created(const file_redo_entry *e) {
    return e->expiry - REDO_KEEP_SEC;
}

static void free_nodes(file_redo_entry *e) {
    if (!e->head) return;
    redo_type_node *n = e->head;
    do {
        redo_type_node *next = n->next;
        kiv_free(n);
        n = next;
    } while (n != e->head);
    g_file_info.type_node_cnt -= e->nodes;
    e->head = nullptr, e->nodes = 0;
}

static uint32_t md5_crc(const redo_id &id) {
    return mordek_crc32(id.md5, strnlen(id.md5, 32));
}

// With per-user budgets the whole id decides; without, the CRC-32 of the MD5 text alone, as
// the table has always been keyed.
static int redo_cmp(const void *key, void *data) {
    const auto *id = static_cast<const redo_id *>(key);
    const auto &mine = static_cast<file_redo_entry *>(data)->id;
    if (!g_file_info.upload_event_per_user)
        return id->uid == mine.uid && md5_crc(*id) == md5_crc(mine) ? 0 : 1;
    if (id->uid == mine.uid && strcmp(id->md5, mine.md5) == 0) return 0;
    kiv_stat_inc(FILE_REDO_KEY_TWIN);  // same hash, other executable or user
    return 1;
}

// Every entry leaves through here: a window that dropped events says how many.
static void redo_del(void *data) {
    auto *e = static_cast<file_redo_entry *>(data);
    if (e->dropped && g_file_info.upload_event_per_user) {
        char u[24];
        KIV_LOG(2, "file hourly budget of %s, executable md5 %s: %u events dropped in its hour\n",
                user_text(e->id.uid, u), e->id.md5[0] ? e->id.md5 : "-", e->dropped);
    }
    free_nodes(e);
    kiv_free(e);
}

fhash *file_redo_hash_create(uint32_t size) {
    return fhash_create(size, size / 5 ? size / 5 : 1, redo_cmp, redo_id_hash, redo_del);
}

static int node_insert(file_redo_entry *e, uint32_t file_key, const path_key &path, int kind,
                       uint32_t now) {
    if (e->nodes >= REDO_NODES_PER_ENTRY || g_file_info.type_node_cnt >= REDO_NODES_ALL) {
        kiv_stat_inc(FILE_REDO_TYPE_LIST_FULL);
        return 0;
    }
    auto *n = static_cast<redo_type_node *>(
        kiv_malloc(sizeof(redo_type_node), MALLOC_FOR_FILE_TYPE_REDO));
    if (!n) {
        KIV_LOG(1, "kiv_malloc upload_event_redo_file_info_st failed\n");
        return -1;
    }
    n->file_key = file_key, n->kind = static_cast<uint16_t>(kind), n->path = path;
    n->time = static_cast<uint16_t>((now - entry_created(e)) & 0xfff);
    if (!e->head) {
        n->next = n;
        e->head = n;
    } else {
        redo_type_node *tail = e->head;
        while (tail->next != e->head) tail = tail->next;
        tail->next = n, n->next = e->head;
    }
    e->nodes++;
    g_file_info.type_node_cnt++;
    return 0;
}

extern "C" KIV_API int file_type_node_insert(file_redo_entry *e, uint32_t file_key, int kind,
                                             uint32_t now) {
    return node_insert(e, file_key, path_key{{0, 0}}, kind, now);
}

static void unlink_node(file_redo_entry *e, redo_type_node *prev, redo_type_node *n) {
    if (n->next == n) {
        e->head = nullptr;
    } else {
        prev->next = n->next;
        if (e->head == n) e->head = n->next;
    }
    kiv_free(n);
    e->nodes--;
    g_file_info.type_node_cnt--;
}

extern "C" KIV_API int file_type_redo(const char *path, file_redo_entry *e, int kind,
                                      uint32_t now) {
    const size_t len = strlen(path);
    const uint32_t file_key = mordek_crc32(path, (uint32_t)len);
    path_key pk;
    if (!sip_path(path, len, &pk)) return 0;
    if (!e->head) return node_insert(e, file_key, pk, kind, now);
    uint32_t base = entry_created(e);
    redo_type_node *prev = e->head;
    while (prev->next != e->head) prev = prev->next;  // the tail, before the head
    redo_type_node *n = e->head;
    bool younger_seen = false;
    for (uint32_t walked = 0, total = e->nodes; walked < total && e->head; walked++) {
        redo_type_node *next = n->next;
        uint32_t age = now - (base + n->time);
        bool same = n->file_key == file_key && n->kind == kind;
        // Per-user budgets also keep checksum twins of a path apart.
        if (same && g_file_info.upload_event_per_user && !(n->path == pk)) {
            kiv_stat_inc(FILE_REDO_KEY_TWIN);
            KIV_LOG(4, "type %d: %s shares CRC %u with another path, not a repeat\n", kind, path,
                    file_key);
            same = false;
        }
        if (same) {
            if (age < TEN_MINUTES) {
                KIV_LOG(4, "type %d redo by 10min: %u\n", kind, file_key);
                return 1;
            }
            // Refreshed, and moved to the newest end.
            unlink_node(e, prev, n);
            return node_insert(e, file_key, pk, kind, now) < 0 ? -1 : 0;
        }
        if (!younger_seen && age >= TEN_MINUTES) {
            KIV_ASSERT(n == e->head);
            unlink_node(e, prev, n);
            n = next;
            continue;
        }
        younger_seen = true;
        prev = n;
        n = next;
    }
    return node_insert(e, file_key, pk, kind, now) < 0 ? -1 : 0;
}

static int del_expired(void *data, void *arg) {
    auto *e = static_cast<file_redo_entry *>(data);
    uint32_t now = *static_cast<uint32_t *>(arg);
    if ((int32_t)(now - e->expiry) >= 0)
        fhash_delete(g_file_info.upload_event_redo_hash, &e->id, sizeof e->id);
    return 0;
}

namespace {

// One event's actor and file as the limits see them.
struct redo_ctx {
    redo_id id;
    const char *exe;            // the executable's path, for the log
    const file_event_view *ev;  // for the critical-file test, or null
    int critical = -1;          // -1 not yet looked up

    redo_ctx(uint32_t uid, const char *md5, const char *exe_path, const file_event_view *v)
        : id{uid, {}}, exe(exe_path), ev(v) {
        snprintf(id.md5, sizeof id.md5, "%s", md5);
    }
    // Looked up only when a limit would drop the event.
    bool is_critical() {
        if (critical < 0) {
            critical =
                ev && g_file_info.file_filter_unlimited &&
                (file_on_file_filter(ev->name) || (ev->name2 && file_on_file_filter(ev->name2)));
            if (critical) kiv_stat_inc(FILE_CRITICAL_KEPT);
        }
        return critical;
    }
};

}  // namespace

bool file_on_file_filter(const char *path) {
    struct walk {
        const char *path;
        bool hit;
    } w{path, false};
    qxmon_filter_walk_kind(
        QXMON_FILE_FILTER,
        [](qxmon_filter_node *node, void *arg) {
            auto *w = static_cast<struct walk *>(arg);
            // The entry itself, or a file below an entry that is a directory.
            size_t n = strlen(node->text);
            w->hit = n > 0 && strncmp(node->text, w->path, n) == 0 &&
                     (w->path[n] == '\0' || w->path[n] == '/' || node->text[n - 1] == '/');
            return w->hit ? -1 : 0;
        },
        &w);
    return w.hit;
}

// The filter itself; the caller holds fm_info_lock for writing.
static int redo_filter(redo_ctx &c, int kind, const char *path) {
    fhash *h = g_file_info.upload_event_redo_hash;
    uint32_t now = now_sec();
    const bool ten_min =
        (kind == FILE_MODIFY || kind == FILE_ACCESS) && g_file_info.ten_minues_redo_enable == 1;
    void *data = nullptr;
    if (fhash_search(h, &c.id, sizeof c.id, &data) == 0) {
        auto *e = static_cast<file_redo_entry *>(data);
        if ((int32_t)(now - e->expiry) >= 0) {
            fhash_delete(h, &c.id, sizeof c.id);
        } else {
            if (g_file_info.upload_event_hour_cnt &&
                e->count >= g_file_info.upload_event_hour_cnt && !c.is_critical()) {
                kiv_stat_inc(FILE_EVENT_LIMIT_HOUR);
                limit_drop_note(FILE_EVENT_LIMIT_HOUR, drop_uid(c.id.uid), KIV_LIMIT_EXECUTABLE,
                                drop_exe(c.exe));
                KIV_LOG(4, "filter by hour limit\n");
                if (e->dropped++ == 0) kiv_stat_inc(FILE_BUDGET_HOUR_SPENT);
                if (e->dropped == 1 && g_file_info.upload_event_per_user) {
                    char u[24];
                    KIV_LOG(2,
                            "file hourly budget of %s, executable %s (md5 %s) spent: %u events; "
                            "its further events are dropped for %u s\n",
                            user_text(c.id.uid, u), c.exe, c.id.md5[0] ? c.id.md5 : "-",
                            (unsigned)e->count, e->expiry - now);
                }
                return 1;
            }
            if (ten_min) {
                int r = file_type_redo(path, e, kind, now);
                if (r > 0 && c.is_critical()) r = 0;
                if (r != 0) {
                    if (r > 0) {
                        kiv_stat_inc(FILE_EVENT_LIMIT_TEN_MINU);
                        limit_drop_note(FILE_EVENT_LIMIT_TEN_MINU, drop_uid(c.id.uid),
                                        KIV_LIMIT_EXECUTABLE, drop_exe(c.exe));
                    }
                    return r;
                }
            }
            if (e->count < 0xffffff) e->count++;
            return 0;
        }
    }
    if (fhash_full(h) == 1) fhash_walk(h, del_expired, &now);
    auto *e =
        static_cast<file_redo_entry *>(kiv_zalloc(sizeof(file_redo_entry), MALLOC_FOR_FILE_REDO));
    if (!e) {
        KIV_LOG(1, "kiv_malloc info failed\n");
        return c.is_critical() ? 0 : -1;
    }
    e->count = 1, e->expiry = now + REDO_KEEP_SEC, e->id = c.id;
    e->key = redo_id_hash(&c.id, sizeof c.id);
    if (fhash_insert(h, &c.id, sizeof c.id, e) != 0) {
        KIV_LOG(4, "fhash_insert upload_event_redo_hash failed\n");
        kiv_stat_inc(FILE_REDO_HASH_FULL);
        kiv_free(e);
        return 0;
    }
    path_key pk;
    const size_t len = strlen(path);
    if (ten_min && sip_path(path, len, &pk) &&
        node_insert(e, mordek_crc32(path, (uint32_t)len), pk, kind, now) < 0)
        return c.is_critical() ? 0 : -1;
    return 0;
}

// ---- daily budgets ----------------------------------------------------------------------------

struct daily_user {
    uint32_t uid;
    uint32_t count;
    uint32_t dropped;
};

static int daily_cmp(const void *key, void *data) {
    return *static_cast<const uint32_t *>(key) == static_cast<daily_user *>(data)->uid ? 0 : 1;
}

static void daily_del(void *data) {
    auto *u = static_cast<daily_user *>(data);
    if (u->dropped) {
        char b[24];
        KIV_LOG(2, "file daily budget of %s: %u events dropped in its day\n", user_text(u->uid, b),
                u->dropped);
    }
    kiv_free(u);
}

fhash *file_daily_hash_create() {
    // Two more than users, so that root and the shared bucket always have their own.
    return fhash_create(DAILY_USERS_MAX + 2, DAILY_USERS_MAX / 4, daily_cmp, nullptr, daily_del);
}

// The user's daily count, created on first use; null only when there is no memory.
static daily_user *daily_user_get(uint32_t uid) {
    fhash *h = g_file_info.daily_user_hash;
    void *data = nullptr;
    if (fhash_search(h, &uid, sizeof uid, &data) == 0) return static_cast<daily_user *>(data);
    if (uid != 0 && uid != UNKNOWN_USER && h->count >= DAILY_USERS_MAX) {
        kiv_stat_inc(FILE_DAILY_USER_SHARED);
        return daily_user_get(UNKNOWN_USER);
    }
    auto *u = static_cast<daily_user *>(kiv_zalloc(sizeof(daily_user), MALLOC_FOR_FILE_REDO));
    if (!u) {
        KIV_LOG(1, "kiv_malloc daily_user failed\n");
        return nullptr;
    }
    u->uid = uid;
    if (fhash_insert(h, &uid, sizeof uid, u) != 0) {
        kiv_free(u);
        return nullptr;
    }
    return u;
}

// The per-user daily test, under fm_info_lock (write): true when it drops the event.
static bool daily_user_spent(redo_ctx &c, daily_user *u) {
    const uint32_t limit = g_file_info.upload_event_cnt;
    if (!u || !limit || u->count < limit || c.is_critical()) return false;
    kiv_stat_inc(FILE_EVENT_LIMIT_DAY);
    limit_drop_note(FILE_EVENT_LIMIT_DAY, drop_uid(u->uid), KIV_LIMIT_EXECUTABLE, drop_exe(c.exe));
    KIV_LOG(3, "file upload event exceed max cnt: %u > %u\n", limit, u->count);
    if (u->dropped++ == 0) {
        kiv_stat_inc(FILE_BUDGET_DAY_SPENT);
        char b[24];
        KIV_LOG(2,
                "file daily budget of %s spent: %u events; its further events are dropped "
                "until the nightly reset\n",
                user_text(u->uid, b), u->count);
    }
    return true;
}

extern "C" KIV_API int upload_event_redo_filter(const unsigned char *, const char *process_md5,
                                                int kind, const char *path) {
    if (!process_md5 || !path || kind < 0 || kind >= FILE_KIND_NUM) return -1;
    if (!g_file_info.inited) {
        KIV_LOG(3, "upload_event_redo_filter: file module not running\n");
        return -1;
    }
    rwlock_write_guard g(&g_file_info.fm_info_lock);
    redo_ctx c(ALL_USERS, process_md5, "-", nullptr);
    return redo_filter(c, kind, path);
}

extern "C" KIV_API void upload_event_redo_hash_clear(void) {
    if (!g_file_info.upload_event_redo_hash) return;
    rwlock_write_guard g(&g_file_info.fm_info_lock);
    uint32_t now = now_sec();
    fhash_walk(g_file_info.upload_event_redo_hash, del_expired, &now);
}

// ---- special paths and the hook ---------------------------------------------------------------

int handle_special_path(int kind, const char *path) {
    if (kind != FILE_MODIFY) return 0;
    if (strcmp(path, "/etc/passwd") == 0) {
        if (kiv_usr_grp_rehash(0) != 0) {
            KIV_LOG(1, "rehash_table user_hash_table failed\n");
            return -1;
        }
    } else if (strcmp(path, "/etc/group") == 0) {
        if (kiv_usr_grp_rehash(1) != 0) return -1;
    }
    return 0;
}

void file_set_type_filter(file_type_filter_fn fn) {
    s_type_filter = fn;
}

int file_event_handle(char *msg, kiv_msg_ctx *) {
    kiv_msg_hdr h = kiv_msg_hdr_get(msg);
    int kind = h.type - FILE_EVENT_TYPE_BASE;
    kiv_stat_inc(FILE_EVENT_CNT);
    if (h.len < FILE_REC_BODY) return MSG_HOOK_DROP;
    const auto *body = reinterpret_cast<const unsigned char *>(msg) + FILE_REC_BODY;
    size_t body_len = h.len - FILE_REC_BODY;
    file_event_view v;
    if (file_event_parse(body, body_len, kind, &v) != 0) {
        // Its number still goes by, so later events need not wait for it.
        uint16_t id;
        if (file_event_id_of(body, body_len, &id))
            file_event_recombine(body, 0, nullptr, kind, true, id);
        KIV_LOG(1, "bad file record dropped: type %d, pid %u, %u bytes\n", h.type, h.pid, h.len);
        return MSG_HOOK_DROP;
    }
    dump_raw_file_info(v, kind, h.pid);
    const uint32_t exec_mark = g_file_info.file_prior_image
                                   ? ld<uint32_t>(reinterpret_cast<const unsigned char *>(msg) + 12)
                                   : 0;
    const bool per_user = g_file_info.upload_event_per_user;
    if (!per_user && g_file_info.upload_event_cnt) {
        uint32_t cnt;
        {
            rwlock_read_guard g(&g_file_info.fm_info_lock);
            cnt = g_file_info.daily_cnt;
        }
        redo_ctx c(ALL_USERS, "", "-", &v);
        if (cnt >= g_file_info.upload_event_cnt && !c.is_critical()) {
            kiv_stat_inc(FILE_EVENT_LIMIT_DAY);
            limit_drop_note(FILE_EVENT_LIMIT_DAY, KIV_LIMIT_ANY_USER, KIV_LIMIT_EXECUTABLE, "");
            KIV_LOG(3, "file upload event exceed max cnt: %u > %u\n", g_file_info.upload_event_cnt,
                    cnt);
            if (std::atomic_ref<uint32_t>(g_file_info.daily_dropped).fetch_add(1) == 0)
                kiv_stat_inc(FILE_BUDGET_DAY_SPENT);
            file_event_recombine(body, v.size, nullptr, kind, true, v.id);
            return MSG_HOOK_DROP;
        }
    }
    if (handle_special_path(kind, v.name) != 0) KIV_LOG(3, "handle_special_path failed\n");
    // With file_report_unknown_process one attempt, since a wait here holds back every record
    // behind this one, and a process nobody can describe still leaves its pid on the event,
    // which is reported; without, the event goes once its process is described.
    const bool report_unknown = g_file_info.file_report_unknown_process;
    const char *owner_md5 = "", *owner_exe = "-";
    uint32_t uid = UNKNOWN_USER;
    bool described = false;
    if (file_query_owner(v, 1, exec_mark) != 0) {
        kiv_stat_inc(FILE_QUERY_PID_FAIL);
        KIV_LOG(3, "query process info failed: %d\n", v.tgid);
    } else if (const auto *proc =
                   reinterpret_cast<const process_st_public *>(_pop_process_info())) {
        owner_md5 = proc->md5, owner_exe = proc->path;
        uid = file_charged_uid(proc->ids);
        described = true;
    } else {
        kiv_stat_inc(FILE_POP_TASK_INFO_FAIL);
        KIV_LOG(1, "pop_process_info fail\n");
    }
    if (!described && !report_unknown) {
        file_event_recombine(body, v.size, nullptr, kind, true, v.id);
        return MSG_HOOK_DROP;
    }
    file_type_info_st type{FILE_TYPE_UNKNOWN, "-", "-"};
    // Only the file the event named is read: its type and owner as the record gives them.
    const file_type_ident ident{v.uid, v.gid, v.mode, v.mode == 0 && v.ctime == 0};
    if (kind == FILE_CREATE && (v.creat_type & 3) == 3) {
        kiv_stat_inc(FILE_CLOSEWRITE_EVENT_CNT);
        bool pass = s_type_filter
                        ? s_type_filter(v.name, v.name_len + 1, &type)
                        : match_type_filter(v.name, (int)v.name_len + 1, &type, &ident) != 0;
        if (!pass) {
            file_event_recombine(body, v.size, nullptr, kind, true, v.id);
            return MSG_HOOK_DROP;
        }
        kiv_stat_inc(FILE_CLOSEWRITE_EVENT_MATCH);
    } else if (kind == FILE_RENAME && g_file_info.rename_type_enable && !v.dir && S_ISREG(v.mode)) {
        // Written elsewhere and moved in: typed for the record, still reported whatever it is.
        if (s_type_filter)
            s_type_filter(v.name, v.name_len + 1, &type);
        else
            get_file_type(&type, v.name, (int)v.name_len + 1, &ident);
    }
    int r;
    {
        redo_ctx c(per_user ? uid : ALL_USERS, owner_md5, owner_exe, &v);
        rwlock_write_guard g(&g_file_info.fm_info_lock);
        daily_user *u = per_user ? daily_user_get(c.id.uid) : nullptr;
        r = daily_user_spent(c, u) ? 1 : redo_filter(c, kind, v.name);
        if (r == 0) {
            g_file_info.daily_cnt++;
            if (u) u->count++;
        }
    }
    file_event_recombine(body, v.size, &type, kind, r != 0, v.id, exec_mark);
    return r == 0 ? MSG_HOOK_ACCEPT : MSG_HOOK_DROP;
}

int file_query_owner(const file_event_view &v, int depth, uint32_t exec_mark) {
    // A plain query tries three times; an event before an exec, or any event while unknown
    // processes are reported, once.
    if (!g_file_info.file_report_unknown_process &&
        (exec_mark & 0xffff0000u) != PROC_EXEC_MARK_BEFORE)
        return query_tgid_info(static_cast<int>(v.tgid), v.create_time, depth);
    return query_tgid_info_before_exec(static_cast<int>(v.tgid), v.create_time, depth, exec_mark);
}

uint32_t file_charged_uid(const uint32_t ids[4]) {
    // Any unprivileged id in the process makes it that user's doing: a set-user-id root
    // program run by a user, or a root daemon acting as one, spends that user's budget.
    for (int i : {1, 0, 3})  // effective, real, file-system
        if (ids[i] != 0) return ids[i];
    return 0;
}

extern "C" KIV_API void upload_event_cnt_clear(const struct tm *tm) {
    static std::atomic<bool> cleared_today;
    if (!tm) return;
    if (tm->tm_hour != 23) {
        cleared_today = false;
        return;
    }
    if (tm->tm_min >= 50 && !cleared_today.exchange(true)) {
        rwlock_write_guard g(&g_file_info.fm_info_lock);
        g_file_info.daily_cnt = 0;
        std::atomic_ref<uint32_t>(g_file_info.daily_dropped).store(0);
        // Each user's window closes with its own line.
        if (g_file_info.daily_user_hash) fhash_clear(g_file_info.daily_user_hash);
    }
}

extern "C" KIV_API void file_event_timer_func(void *) {
    static std::atomic<uint32_t> ticks;  // a host may drive it beside the timer
    time_t t = kiv_wall_now();
    struct tm local;
    if (localtime_r(&t, &local)) upload_event_cnt_clear(&local);
    if (ticks.fetch_add(1) % 12 == 0) upload_event_redo_hash_clear();
}
