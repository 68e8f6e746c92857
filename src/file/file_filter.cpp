// File-monitor filter lists: the in-memory configuration, its payloads to the kernel, the
// wildcard refresh, bind-mount twins and the host's run-time changes.
#include "file/file_filter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/log.h"
#include "base/mem.h"
#include "comm/dirutils.h"
#include "comm/entry_gate.h"
#include "comm/ini_key.h"
#include "comm/timer.h"
#include "framework/ring.h"

file_filter_state g_file_filter;

namespace {

struct kind_desc {
    const char *section;
    const char *prefix;
    bool expand;  // wildcard expansion and periodic refresh
    bool bind;    // bind-mount twin
};

constexpr kind_desc KINDS[QXMON_FILTER_KINDS] = {
    {"file_filter", "file", true, true},    {"path_filter", "path", true, true},
    {"type_filter", "type", false, false},  {"exe_filter", "proc", false, false},
    {"file_exclude", "file", true, false},  {"path_exclude", "path", true, false},
    {"type_exclude", "type", false, false}, {"exe_exclude", "proc", false, false},
};
constexpr int REFRESH_KINDS[] = {0, 1, 4, 5};

constexpr const char *FSTAB_DEFAULT = "/etc/fstab";
constexpr size_t FSTAB_LINE = 1024;
constexpr ini_long_key kMonitorFilterCnt{"monitor_filter_cnt", 256, 1, 65536};

std::string s_fstab_path = FSTAB_DEFAULT;
// Host threads may change a list while the module stops.
kiv_entry_gate s_filter_gate;

bool kind_ok(int kind) {
    return kind >= 0 && kind < QXMON_FILTER_KINDS;
}

struct rd_guard {
    pthread_rwlock_t *l;
    explicit rd_guard(pthread_rwlock_t *lock) : l(lock) { pthread_rwlock_rdlock(l); }
    ~rd_guard() { pthread_rwlock_unlock(l); }
};
struct wr_guard {
    pthread_rwlock_t *l;
    explicit wr_guard(pthread_rwlock_t *lock) : l(lock) { pthread_rwlock_wrlock(l); }
    ~wr_guard() { pthread_rwlock_unlock(l); }
};

qxmon_filter_node *node_alloc(const char *text, uint32_t text_len, uint8_t event_mask,
                              uint8_t group, uint32_t category) {
    auto *n = static_cast<qxmon_filter_node *>(
        kiv_malloc(sizeof(qxmon_filter_node) + text_len + 1, category));
    if (!n) return nullptr;
    INIT_LIST_HEAD(&n->list);
    INIT_LIST_HEAD(&n->child);
    n->len = text_len + 1;
    n->event_mask = event_mask;
    n->flags = 0;
    n->group = group;
    memcpy(n->text, text, text_len);
    n->text[text_len] = '\0';
    return n;
}

// Frees the node's children and the node (already unlinked); the number of nodes freed.
uint32_t node_free(qxmon_filter_node *n) {
    uint32_t freed = 1;
    list_head *pos, *tmp;
    list_for_each_safe(pos, tmp, &n->child) {
        list_del(pos);
        kiv_free(list_entry(pos, qxmon_filter_node, list));
        freed++;
    }
    kiv_free(n);
    return freed;
}

void list_free(list_head *head) {
    list_head *pos, *tmp;
    list_for_each_safe(pos, tmp, head) {
        list_del(pos);
        node_free(list_entry(pos, qxmon_filter_node, list));
    }
}

qxmon_filter_node *child_by_text(qxmon_filter_node *parent, const char *text) {
    list_head *pos;
    list_for_each(pos, &parent->child) {
        auto *c = list_entry(pos, qxmon_filter_node, list);
        if (strcmp(c->text, text) == 0) return c;
    }
    return nullptr;
}

void put_le32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (unsigned char)(v >> (8 * i));
}

int get_ioctl_qxmon_filter_len(qxmon_filter_node *node, void *ctx) {
    *static_cast<uint64_t *>(ctx) += node->len + 2;
    return 0;
}

struct payload_cursor {
    unsigned char *buf;
    uint32_t cap;  // bytes of entries the header announced
    uint32_t pos;
};

int set_ioctl_qxmon_filter(qxmon_filter_node *node, void *ctx) {
    auto *c = static_cast<payload_cursor *>(ctx);
    if ((uint64_t)c->pos + node->len + 2 > c->cap) {
        KIV_LOG(1, "set_ioctl_qxmon_filter fail, out of size: %u %u %u\n", c->cap, c->pos,
                node->len);
        return -1;
    }
    unsigned char *p = c->buf + QXMON_FILTER_HDR + c->pos;
    p[0] = node->group;
    p[1] = node->event_mask;
    memcpy(p + 2, node->text, node->len);
    c->pos += node->len + 2;
    return 0;
}

// ---- bind mounts ----------------------------------------------------------------------------

void strip_last(char *s, char c) {
    size_t n = strlen(s);
    while (n > 0 && s[n - 1] == c) s[--n] = '\0';
}

bind_mnt_info *bind_mnt_info_alloc(const char *src, const char *dest) {
    auto *info = static_cast<bind_mnt_info *>(
        kiv_zalloc(sizeof(bind_mnt_info), MALLOC_FOR_FILE_BIND_MNT_NODE));
    if (!info) {
        KIV_LOG(1, "malloc info failed\n");
        return nullptr;
    }
    info->src_dir = kiv_strdup(src, MALLOC_FOR_FILE_BIND_MNT_NODE);
    if (!info->src_dir) {
        KIV_LOG(1, "malloc info->src_dir failed\n");
        kiv_free(info);
        return nullptr;
    }
    info->dest_dir = kiv_strdup(dest, MALLOC_FOR_FILE_BIND_MNT_NODE);
    if (!info->dest_dir) {
        KIV_LOG(1, "malloc info->dest_dir failed\n");
        kiv_free(info->src_dir);
        kiv_free(info);
        return nullptr;
    }
    return info;
}

// One fstab line holding "bind": 0 (added or not a bind mount), -1 out of memory.
int mnt_line_parse(file_filter_state *st, char *line) {
    strip_last(line, '\n');
    char *fields[4] = {};
    int n = 0;
    char *save = nullptr;
    for (char *tok = strtok_r(line, " \t", &save); tok && n < 4;
         tok = strtok_r(nullptr, " \t", &save))
        fields[n++] = tok;
    if (n < 2 || fields[0][0] != '/' || fields[1][0] != '/') return 0;
    if (n < 4 || !strstr(fields[3], "bind")) return 0;
    strip_last(fields[0], '/');
    strip_last(fields[1], '/');
    // A mount over "/" would make every path its twin.
    if (fields[1][0] == '\0') {
        KIV_LOG(2, "bind mount onto / ignored\n");
        return 0;
    }
    bind_mnt_info *info = bind_mnt_info_alloc(fields[0], fields[1]);
    if (!info) {
        KIV_LOG(1, "bind_mnt_info_alloc failed\n");
        return -1;
    }
    list_add_tail(&info->list, &st->bind_mnt_list);
    KIV_LOG(2, "bind_mnt_info: %s %s\n", info->src_dir, info->dest_dir);
    return 0;
}

// ---- run-time changes -----------------------------------------------------------------------

// Sends the node alone with op; the node is unlinked while it travels.
int send_one(qxmon_filter_node *node, uint8_t op, int kind) {
    list_head one;
    INIT_LIST_HEAD(&one);
    list_move_tail(&node->list, &one);
    int ret = qxmon_filter_ioctl(op, kind, &one);
    list_del_init(&node->list);
    return ret;
}

// Lock held for writing.
int add_qxmon_filter(qxmon_filter_cfg_st *cfg, const char *text, int kind, uint8_t event_mask,
                     uint8_t group) {
    qxmon_filter_node *node = nullptr;
    int ret =
        add_qxmon_filter_cfg(cfg, kind, text, (uint32_t)strlen(text), event_mask, group, &node);
    if (ret != 0 && ret != 1) {
        KIV_LOG(1, "add_qxmon_filter_cfg %s failed: %d\n", text, ret);
        // A wildcard that filled the kind midway was never sent: it does not stay either.
        if (node) {
            list_del(&node->list);
            cfg->cnt[kind] -= node_free(node);
        }
        return -1;
    }
    if (send_one(node, IOCTL_FILE_FILTER_ADD, kind) != 0) {
        cfg->cnt[kind] -= node_free(node);
        return -1;
    }
    list_add_tail(&node->list, &cfg->head[kind]);
    dump_qxmon_filter(kind, __func__);
    return 0;
}

// Lock held for writing; home is the list the node came from.
int del_qxmon_filter(qxmon_filter_cfg_st *cfg, qxmon_filter_node *node, list_head *home, int kind) {
    if (send_one(node, IOCTL_FILE_FILTER_DEL, kind) != 0) {
        list_add_tail(&node->list, home);
        KIV_LOG(3, "qxmon_filter_ioctl IOCTL_FILE_FILTER_DEL failed\n");
        return -1;
    }
    cfg->cnt[kind] -= node_free(node);
    dump_qxmon_filter(kind, __func__);
    return 0;
}

int _modify_qxmon_filter(const char *text, int kind, int add, uint8_t group) {
    if (add && strlen(text) >= QXMON_FILTER_TEXT_MAX) {
        KIV_LOG(3, "add filter exceed %u\n", QXMON_FILTER_TEXT_MAX);
        return -1;
    }
    file_filter_state &st = g_file_filter;
    wr_guard g(&st.qxmon_filter_lock);
    qxmon_filter_cfg_st *cfg = st.cfg;
    if (!cfg) return -1;
    qxmon_filter_node *found = nullptr;
    list_head *home = nullptr;
    list_head *pos;
    list_for_each(pos, &cfg->head[kind]) {
        auto *n = list_entry(pos, qxmon_filter_node, list);
        KIV_LOG(4, "target filter: %s\n", text);
        KIV_LOG(4, "filter: %s\n", n->text);
        if (strcmp(n->text, text) == 0) {
            KIV_LOG(4, "match filter\n");
            found = n, home = &cfg->head[kind];
            break;
        }
        if (n->flags & QXMON_NODE_HAS_CHILDREN) {
            if (qxmon_filter_node *c = child_by_text(n, text)) {
                KIV_LOG(4, "match filter\n");
                found = c, home = &n->child;
                break;
            }
        }
    }
    if (found) return add ? 1 : del_qxmon_filter(cfg, found, home, kind);
    if (!add) return 1;
    return add_qxmon_filter(cfg, text, kind, cfg->event_mask[kind], group);
}

// ---- refresh --------------------------------------------------------------------------------

// Under the read lock: copies of the kind's wildcard parents holding only paths that appeared
// since; added counts them. -1 ends the run.
int collect_new_children(qxmon_filter_cfg_st *cfg, int kind, list_head *copies, uint32_t *added) {
    list_head *pos;
    list_for_each(pos, &cfg->head[kind]) {
        auto *live = list_entry(pos, qxmon_filter_node, list);
        if (!(live->flags & QXMON_NODE_HAS_CHILDREN)) continue;
        qxmon_filter_node *copy =
            node_alloc(live->text, live->len - 1, live->event_mask, live->group, MALLOC_FOR_TMP);
        if (!copy) {
            KIV_LOG(1, "malloc asterisk_node failed\n");
            return -1;
        }
        copy->flags = live->flags;
        list_add_tail(&copy->list, copies);
        list_head exp;
        INIT_LIST_HEAD(&exp);
        int r = asterisk_path_expand(copy->text, &exp);
        if (r < 0) {
            KIV_LOG(1, "asterisk_path_expand failed\n");
            free_as_path(&exp);
            return -1;
        }
        int ret = 0;
        list_head *e;
        list_for_each(e, &exp) {
            if (r != 0) break;
            const char *path = list_entry(e, as_path, list)->path;
            if (cfg->cnt[kind] + *added >= cfg->max_cnt) {
                KIV_LOG(3, "%d filter exceed max cnt\n", kind);
                break;
            }
            size_t len = strlen(path);
            if (len >= QXMON_FILTER_TEXT_MAX || child_by_text(live, path)) continue;
            // Children that are moved over become live nodes: charged as such from the start.
            qxmon_filter_node *c = node_alloc(path, (uint32_t)len, live->event_mask,
                                              QXMON_GROUP_DEFAULT, MALLOC_FOR_FILE_FILTER_NODE);
            if (!c) {
                KIV_LOG(1, "malloc filter node failed\n");
                ret = -1;
                break;
            }
            list_add_tail(&c->list, &copy->child);
            (*added)++;
        }
        free_as_path(&exp);
        if (ret) return ret;
    }
    return 0;
}

qxmon_filter_node *top_by_text(qxmon_filter_cfg_st *cfg, int kind, const char *text) {
    list_head *pos;
    list_for_each(pos, &cfg->head[kind]) {
        auto *n = list_entry(pos, qxmon_filter_node, list);
        if (strcmp(n->text, text) == 0) return n;
    }
    return nullptr;
}

}  // namespace

// ---- configuration --------------------------------------------------------------------------

qxmon_filter_cfg_st *qxmon_filter_cfg_alloc(uint32_t max_cnt) {
    auto *cfg = static_cast<qxmon_filter_cfg_st *>(
        kiv_zalloc(sizeof(qxmon_filter_cfg_st), MALLOC_FOR_FILE_FILTER_NODE));
    if (!cfg) {
        KIV_LOG(0, "malloc qxmon_filter_cfg_st failed\n");
        return nullptr;
    }
    cfg->max_cnt = max_cnt;
    for (auto &h : cfg->head) INIT_LIST_HEAD(&h);
    return cfg;
}

void qxmon_filter_cfg_exit(qxmon_filter_cfg_st *cfg) {
    if (!cfg) return;
    for (int k = 0; k < QXMON_FILTER_KINDS; k++) {
        list_free(&cfg->head[k]);
        cfg->cnt[k] = 0;
    }
}

int add_qxmon_filter_cfg(qxmon_filter_cfg_st *cfg, int kind, const char *text, uint32_t text_len,
                         uint8_t event_mask, uint8_t group, qxmon_filter_node **out_node) {
    if (out_node) *out_node = nullptr;
    if (!cfg || !kind_ok(kind) || !text || text_len >= QXMON_FILTER_TEXT_MAX) {
        KIV_LOG(1, "add_qxmon_filter_cfg bad argument: kind %d\n", kind);
        return -1;
    }
    uint32_t &cnt = cfg->cnt[kind];
    if (cnt >= cfg->max_cnt) {
        KIV_LOG(3, "%d filter exceed max cnt\n", kind);
        return 2;
    }
    qxmon_filter_node *node =
        node_alloc(text, text_len, event_mask, group, MALLOC_FOR_FILE_FILTER_NODE);
    if (!node) {
        KIV_LOG(1, "malloc filter node failed\n");
        return -1;
    }
    list_add_tail(&node->list, &cfg->head[kind]);
    cnt++;
    int ret = 1;
    if (KINDS[kind].expand) {
        list_head exp;
        INIT_LIST_HEAD(&exp);
        int r = asterisk_path_expand(node->text, &exp);
        if (r < 0) {
            KIV_LOG(1, "asterisk_path_expand failed\n");
            free_as_path(&exp);
            list_del(&node->list);
            cnt -= node_free(node);
            return -1;
        }
        if (r == 0) {
            ret = 0;
            list_head *e;
            list_for_each(e, &exp) {
                const char *path = list_entry(e, as_path, list)->path;
                if (cnt >= cfg->max_cnt) {
                    KIV_LOG(3, "%d filter exceed max cnt\n", kind);
                    ret = 2;
                    break;
                }
                size_t len = strlen(path);
                if (len >= QXMON_FILTER_TEXT_MAX) {
                    KIV_LOG(2, "filter %d too long: %s\n", kind, path);
                    continue;
                }
                qxmon_filter_node *c =
                    node_alloc(path, (uint32_t)len, event_mask, group, MALLOC_FOR_FILE_FILTER_NODE);
                if (!c) {
                    KIV_LOG(1, "malloc filter node failed\n");
                    free_as_path(&exp);
                    list_del(&node->list);
                    cnt -= node_free(node);
                    return -1;
                }
                list_add_tail(&c->list, &node->child);
                cnt++;
            }
            node->flags |= QXMON_NODE_HAS_CHILDREN;
        }
        free_as_path(&exp);
    }
    if (out_node) *out_node = node;
    return ret;
}

int load_default_qxmon_filter_cfg(ini_file_t *ini, qxmon_filter_cfg_st *cfg, int kind) {
    if (!kind_ok(kind)) {
        KIV_LOG(1, "unknown type is %d\n", kind);
        return -1;
    }
    if (!ini || !cfg) return -1;
    const kind_desc &d = KINDS[kind];
    long cnt = ini_file_get_long(ini, d.section, "cnt", 0);
    if (cnt < 0) {
        KIV_LOG(1, "%s: [%s] cnt = %ld out of range [0, %u], using 0\n", ini_file_name(ini),
                d.section, cnt, cfg->max_cnt);
        ini_problem_note(ini_file_name(ini), d.section, "cnt", ini_file_get(ini, d.section, "cnt"),
                         false, "0 (an empty list)");
        cnt = 0;
    }
    if (cnt == 0) {
        KIV_LOG(4, "%s cnt is 0, no need download\n", d.section);
        return 0;
    }
    if ((unsigned long)cnt > cfg->max_cnt) {
        KIV_LOG(1, "%s filter cnt %ld exceed max cnt(%u)\n", d.section, cnt, cfg->max_cnt);
        ini_problem_note(ini_file_name(ini), d.section, "cnt", ini_file_get(ini, d.section, "cnt"),
                         false, "the first %u entries (monitor_filter_cnt)", cfg->max_cnt);
        cnt = cfg->max_cnt;
    }
    long mask = ini_file_get_long(ini, d.section, "event_mask", -1);
    // A list without its mask or group cannot be sent, and the file module does not start.
    auto refused = [&](const char *key) {
        KIV_LOG(1, "ini_file_get_long %s %s failed\n", d.section, key);
        ini_problem_note(ini_file_name(ini), d.section, key, ini_file_get(ini, d.section, key),
                         true, "nothing: not a number 0..255, the file module does not start");
        return -1;
    };
    if (mask < 0) return refused("event_mask");
    long group = ini_file_get_long(ini, d.section, "group_num", QXMON_GROUP_DEFAULT);
    if (group < 0) return refused("group_num");
    if (mask > 0xff || group > 0xff) {
        KIV_LOG(1, "%s: event_mask %ld / group_num %ld wider than 8 bits, low bits used\n",
                d.section, mask, group);
        ini_problem_note(ini_file_name(ini), d.section, mask > 0xff ? "event_mask" : "group_num",
                         ini_file_get(ini, d.section, mask > 0xff ? "event_mask" : "group_num"),
                         false, "%ld (its low 8 bits)", (mask > 0xff ? mask : group) & 0xff);
    }
    cfg->event_mask[kind] = (uint8_t)mask;
    cfg->group[kind] = (uint8_t)group;

    // An optional per-item number; -1 when present but not a non-negative integer.
    auto item_num = [&](const char *key, long def) -> long {
        if (!ini_file_get(ini, d.section, key)) return def;
        long v = ini_file_get_long(ini, d.section, key, -1);
        if (v < 0) refused(key);
        return v;
    };
    auto add = [&](const char *text, uint8_t m, uint8_t g, long i) -> int {
        int r = add_qxmon_filter_cfg(cfg, kind, text, (uint32_t)strlen(text), m, g, nullptr);
        if (r < 0) {
            KIV_LOG(1, "add_qxmon_filter_cfg failed\n");
            qxmon_filter_cfg_exit(cfg);
            return -1;
        }
        if (r == 2) {
            KIV_LOG(1, "add_qxmon_filter_cfg full: %ld\n", i);
            return 2;
        }
        return 0;
    };
    for (long i = 0; i < cnt; i++) {
        char item_key[100], mask_key[100], group_key[100];
        snprintf(item_key, sizeof item_key, "%s_%ld", d.prefix, i);
        snprintf(mask_key, sizeof mask_key, "%s_%ld", "event_mask", i);
        snprintf(group_key, sizeof group_key, "%s_%ld", "group_num", i);
        const char *item = ini_file_get(ini, d.section, item_key);
        if (!item) {
            KIV_LOG(1, "ini_file_get session(%s) key(%s) failed\n", d.section, item_key);
            ini_problem_note(ini_file_name(ini), d.section, item_key, "", true,
                             "nothing: missing below cnt %ld, the file module does not start",
                             cnt);
            return -1;
        }
        if (strlen(item) >= QXMON_FILTER_TEXT_MAX) {
            KIV_LOG(1, "filter %d too long: %s\n", kind, item);
            ini_problem_note(ini_file_name(ini), d.section, item_key, item, false,
                             "nothing: longer than %d bytes, the entry is left out",
                             QXMON_FILTER_TEXT_MAX - 1);
            continue;
        }
        long m = item_num(mask_key, (long)cfg->event_mask[kind]);
        long g = item_num(group_key, (long)cfg->group[kind]);
        if (m < 0 || g < 0) return -1;
        int r = add(item, (uint8_t)m, (uint8_t)g, i);
        if (r != 0) return r < 0 ? -1 : 0;
        if (!d.bind) continue;
        char *twin = get_bind_mnt_path(item, strlen(item));
        if (!twin) continue;
        KIV_LOG(2, "add bind mnt path: %s %s\n", item, twin);
        r = strlen(twin) < QXMON_FILTER_TEXT_MAX ? add(twin, (uint8_t)m, (uint8_t)g, i) : 0;
        kiv_free(twin);
        if (r != 0) return r < 0 ? -1 : 0;
    }
    return 0;
}

int qxmon_filter_walk(list_head *list, int kind, qxmon_filter_fn fn, void *ctx) {
    (void)kind;
    list_head *pos;
    list_for_each(pos, list) {
        auto *n = list_entry(pos, qxmon_filter_node, list);
        if (!(n->flags & QXMON_NODE_HAS_CHILDREN)) {
            if (int r = fn(n, ctx); r < 0) return r;
            continue;
        }
        list_head *c;
        list_for_each(c, &n->child) {
            if (int r = fn(list_entry(c, qxmon_filter_node, list), ctx); r < 0) return r;
        }
    }
    return 0;
}

int qxmon_filter_walk_kind(int kind, qxmon_filter_fn fn, void *ctx) {
    file_filter_state &st = g_file_filter;
    if (!kind_ok(kind) || !st.lock_inited) return -1;
    rd_guard g(&st.qxmon_filter_lock);
    if (!st.cfg) return -1;
    return qxmon_filter_walk(&st.cfg->head[kind], kind, fn, ctx);
}

int qxmon_filter_ioctl(uint8_t op, int kind, list_head *list) {
    uint64_t total = 0;
    qxmon_filter_walk(list, kind, get_ioctl_qxmon_filter_len, &total);
    // Nothing to add or remove (also a wildcard parent that matched nothing).
    if (op != IOCTL_FILE_FILTER_UPDATE && total == 0) {
        KIV_LOG(2, "qxmon_filter_ioctl %d %d is empty\n", op, kind);
        return 0;
    }
    if (total > QXMON_FILTER_PAYLOAD_MAX) {
        KIV_LOG(1, "filter len too big: %llu > %u\n", (unsigned long long)total,
                QXMON_FILTER_PAYLOAD_MAX);
        return -1;
    }
    auto *buf = static_cast<unsigned char *>(kiv_zalloc(total + 8, MALLOC_FOR_TMP));
    if (!buf) {
        KIV_LOG(1, "malloc ioctl_conf failed\n");
        return -1;
    }
    put_le32(buf, (uint32_t)total);
    buf[4] = op;
    buf[5] = (uint8_t)kind;
    payload_cursor cur{buf, (uint32_t)total, 0};
    int ret = qxmon_filter_walk(list, kind, set_ioctl_qxmon_filter, &cur);
    if (ret == 0) {
        long r = kiv_dev_ioctl(QXMON_FILTER_REQ, reinterpret_cast<unsigned long>(buf));
        if (r != 0) {
            KIV_LOG(1, "qxe_ioctl failed, ret is %d\n", (int)r);
            ret = -1;
        }
    }
    kiv_free(buf);
    return ret;
}

int set_default_qxmon_filter_cfg(ini_file_t *ini) {
    file_filter_state &st = g_file_filter;
    if (!ini) {
        KIV_LOG(0, "read config:%s failed\n", "file.conf");
        return -1;
    }
    uint32_t max_cnt;
    {
        rd_guard g(&st.qxmon_filter_lock);
        max_cnt = st.cfg ? st.cfg->max_cnt : (uint32_t)kMonitorFilterCnt.def;
    }
    qxmon_filter_cfg_st *cfg = qxmon_filter_cfg_alloc(max_cnt);
    if (!cfg) return -1;
    for (int k = 0; k < QXMON_FILTER_KINDS; k++) {
        if (load_default_qxmon_filter_cfg(ini, cfg, k) != 0) {
            KIV_LOG(0, "load_default_qxmon_filter_cfg %d failed\n", k);
            qxmon_filter_cfg_exit(cfg);
            kiv_free(cfg);
            return -1;
        }
    }
    for (int k = 0; k < QXMON_FILTER_KINDS; k++) {
        if (qxmon_filter_ioctl(IOCTL_FILE_FILTER_UPDATE, k, &cfg->head[k]) != 0) {
            KIV_LOG(0, "qxmon_filter_ioctl IOCTL_FILE_FILTER_UPDATE failed: %d\n", k);
            qxmon_filter_cfg_exit(cfg);
            kiv_free(cfg);
            return -1;
        }
    }
    wr_guard g(&st.qxmon_filter_lock);
    if (st.cfg) {
        qxmon_filter_cfg_exit(st.cfg);
        kiv_free(st.cfg);
    }
    st.cfg = cfg;
    for (int k = 0; k < QXMON_FILTER_KINDS; k++) dump_qxmon_filter(k, __func__);
    return 0;
}

void dump_qxmon_filter(int kind, const char *caller) {
    qxmon_filter_cfg_st *cfg = g_file_filter.cfg;
    if (!cfg || !kind_ok(kind) || 4 > g_framework_config.log_level) return;
    KIV_LOG(4, "%s filter: %d\n", caller, kind);
    list_head *pos;
    list_for_each(pos, &cfg->head[kind]) {
        auto *n = list_entry(pos, qxmon_filter_node, list);
        KIV_LOG(4, "%s\n", n->text);
        list_head *c;
        list_for_each(c, &n->child)
            KIV_LOG(4, "\tchild filter: %s\n", list_entry(c, qxmon_filter_node, list)->text);
    }
}

// ---- refresh --------------------------------------------------------------------------------

void asterisk_qxmon_filter_update(int kind) {
    file_filter_state &st = g_file_filter;
    KIV_LOG(3, "start asterisk_qxmon_filter_update %d\n", kind);
    list_head copies;
    INIT_LIST_HEAD(&copies);
    uint32_t added = 0;
    qxmon_filter_cfg_st *seen;
    {
        rd_guard g(&st.qxmon_filter_lock);
        seen = st.cfg;
        if (!seen) return;
        if (seen->cnt[kind] >= seen->max_cnt) {
            KIV_LOG(3, "filter cnt exceed max\n");
            return;
        }
        if (collect_new_children(seen, kind, &copies, &added) != 0) {
            list_free(&copies);
            return;
        }
    }
    if (added == 0) {
        list_free(&copies);
        return;
    }
    {
        wr_guard g(&st.qxmon_filter_lock);
        qxmon_filter_cfg_st *cfg = st.cfg;
        // The configuration may have changed between the two phases.
        if (cfg != seen || cfg->cnt[kind] + added > cfg->max_cnt) {
            KIV_LOG(3, "%d filter exceed max cnt\n", kind);
        } else {
            KIV_LOG(3, "start qxmon_filter_ioctl\n");
            if (qxmon_filter_ioctl(IOCTL_FILE_FILTER_ADD, kind, &copies) != 0) {
                KIV_LOG(1, "qxmon_filter_ioctl IOCTL_FILE_FILTER_ADD failed\n");
            } else {
                list_head *pos;
                list_for_each(pos, &copies) {
                    auto *copy = list_entry(pos, qxmon_filter_node, list);
                    qxmon_filter_node *live = top_by_text(cfg, kind, copy->text);
                    if (!live || !(live->flags & QXMON_NODE_HAS_CHILDREN)) continue;
                    list_head *c, *tmp;
                    list_for_each_safe(c, tmp, &copy->child) {
                        auto *child = list_entry(c, qxmon_filter_node, list);
                        if (child_by_text(live, child->text)) continue;
                        list_move_tail(c, &live->child);
                        cfg->cnt[kind]++;
                    }
                }
                dump_qxmon_filter(kind, __func__);
            }
        }
    }
    list_free(&copies);
}

void asterisk_filter_update_timer_func(void *) {
    for (int kind : REFRESH_KINDS) asterisk_qxmon_filter_update(kind);
}

// ---- bind mounts ----------------------------------------------------------------------------

void bind_mnt_set_fstab_path(const char *path) {
    s_fstab_path = path ? path : FSTAB_DEFAULT;
}

int bind_mnt_info_load(file_filter_state *st) {
    INIT_LIST_HEAD(&st->bind_mnt_list);
    const char *path = s_fstab_path.c_str();
    FILE *f = fopen(path, "re");
    if (!f) {
        // A host without an fstab has no bind mounts to twin.
        if (errno == ENOENT) {
            KIV_LOG(2, "%s absent, no bind mounts\n", path);
            return 0;
        }
        KIV_LOG(0, "fopen %s failed\n", path);
        return -1;
    }
    char line[FSTAB_LINE];
    bool skipping = false;  // the rest of an over-long line
    int ret = 0;
    while (fgets(line, sizeof line, f)) {
        size_t n = strlen(line);
        bool whole = n > 0 && line[n - 1] == '\n';
        if (skipping) {
            skipping = !whole;
            continue;
        }
        if (!whole && !feof(f)) {
            KIV_LOG(1, "%s: line longer than %zu characters ignored\n", path, FSTAB_LINE - 1);
            skipping = true;
            continue;
        }
        if (!strstr(line, "bind")) continue;
        KIV_LOG(3, "start parse mnt line: %s\n", line);
        if (mnt_line_parse(st, line) != 0) {
            KIV_LOG(0, "mnt_line_parse failed\n");
            ret = -1;
            break;
        }
    }
    fclose(f);
    if (ret != 0) bind_mnt_info_destory(st);
    return ret;
}

void bind_mnt_info_destory(file_filter_state *st) {
    if (!st->bind_mnt_list.next) return;
    list_head *pos, *tmp;
    list_for_each_safe(pos, tmp, &st->bind_mnt_list) {
        auto *info = list_entry(pos, bind_mnt_info, list);
        list_del(pos);
        kiv_free(info->src_dir);
        kiv_free(info->dest_dir);
        kiv_free(info);
    }
    INIT_LIST_HEAD(&st->bind_mnt_list);
}

char *get_bind_mnt_path(const char *path, size_t path_len) {
    list_head *head = &g_file_filter.bind_mnt_list;
    if (!path || !head->next) return nullptr;
    list_head *pos;
    list_for_each(pos, head) {
        auto *info = list_entry(pos, bind_mnt_info, list);
        size_t dlen = strlen(info->dest_dir);
        if (dlen > path_len || memcmp(path, info->dest_dir, dlen) != 0) continue;
        if (dlen < path_len && path[dlen] != '/') continue;
        const char *rest = path + dlen;
        size_t rest_len = path_len - dlen;
        size_t slen = strlen(info->src_dir);
        // A bind of "/" stripped to "": its mount point itself maps back to "/".
        bool root = slen == 0 && rest_len == 0;
        auto *out = static_cast<char *>(kiv_malloc(slen + rest_len + 2, MALLOC_FOR_TMP));
        if (!out) {
            KIV_LOG(1, "malloc new_dir failed\n");
            return nullptr;
        }
        memcpy(out, info->src_dir, slen);
        memcpy(out + slen, rest, rest_len);
        out[slen + rest_len] = '\0';
        if (root) strcpy(out, "/");
        return out;
    }
    return nullptr;
}

// ---- start and stop -------------------------------------------------------------------------

int file_filter_init(ini_file_t *ini) {
    file_filter_state &st = g_file_filter;
    st = file_filter_state{};
    if (!ini) {
        KIV_LOG(0, "read config:%s failed\n", "file.conf");
        return -1;
    }
    if (bind_mnt_info_load(&st) != 0) {
        KIV_LOG(0, "bind_mnt_info_load failed\n");
        return -1;
    }
    if (int r = pthread_rwlock_init(&st.qxmon_filter_lock, nullptr); r != 0) {
        KIV_LOG(0, "pthread_rwlock_init qxmon_filter_lock failed, ret is %d\n", r);
        bind_mnt_info_destory(&st);
        return -1;
    }
    st.lock_inited = true;
    uint32_t max_cnt = (uint32_t)ini_get_long_in_range(ini, "base", kMonitorFilterCnt);
    st.cfg = qxmon_filter_cfg_alloc(max_cnt);
    if (!st.cfg) {
        KIV_LOG(0, "qxmon_filter_cfg_alloc failed\n");
        goto destroy_lock;
    }
    st.asterisk_filter_update_timer =
        add_timer(ASTERISK_FILTER_UPDATE_MS, asterisk_filter_update_timer_func, nullptr);
    if (!st.asterisk_filter_update_timer) {
        KIV_LOG(0, "add_timer asterisk_filter_update_timer failed\n");
        goto free_cfg;
    }
    if (int r = set_default_qxmon_filter_cfg(ini); r != 0) {
        KIV_LOG(0, "set_default_qxmon_filter_cfg failed, ret is %d\n", r);
        goto del_timer;
    }
    s_filter_gate.open();
    return 0;

del_timer:
    del_timer(st.asterisk_filter_update_timer);
    st.asterisk_filter_update_timer = nullptr;
free_cfg:
    qxmon_filter_cfg_exit(st.cfg);
    kiv_free(st.cfg);
    st.cfg = nullptr;
destroy_lock:
    pthread_rwlock_destroy(&st.qxmon_filter_lock);
    st.lock_inited = false;
    bind_mnt_info_destory(&st);
    return -1;
}

void file_filter_exit() {
    file_filter_state &st = g_file_filter;
    if (!st.lock_inited) return;  // never started
    s_filter_gate.close();
    del_timer(st.asterisk_filter_update_timer);
    st.asterisk_filter_update_timer = nullptr;
    {
        wr_guard g(&st.qxmon_filter_lock);
        qxmon_filter_cfg_exit(st.cfg);
        kiv_free(st.cfg);
        st.cfg = nullptr;
    }
    pthread_rwlock_destroy(&st.qxmon_filter_lock);
    st.lock_inited = false;
    bind_mnt_info_destory(&st);
}

// ---- host entry points ----------------------------------------------------------------------

int modify_qxmon_filter(const char *text, int kind, int add) {
    kiv_gate_pass pass(s_filter_gate);
    if (!pass) {
        KIV_LOG(2, "modify_qxmon_filter: file filters not running\n");
        return -1;
    }
    if (!text || !*text || !kind_ok(kind)) {
        KIV_LOG(1, "modify_qxmon_filter: bad argument (text %s, kind %d)\n",
                text ? (*text ? "set" : "empty") : "null", kind);
        return -1;
    }
    int ret = _modify_qxmon_filter(text, kind, add, QXMON_GROUP_DEFAULT);
    if (ret != -1 && KINDS[kind].bind) {
        if (char *twin = get_bind_mnt_path(text, strlen(text))) {
            _modify_qxmon_filter(twin, kind, add, QXMON_GROUP_DEFAULT);
            kiv_free(twin);
        }
    }
    return ret;
}

int set_sensitive_dir(const char *path, int is_dir, int add) {
    return modify_qxmon_filter(path, is_dir ? QXMON_PATH_FILTER : QXMON_FILE_FILTER, add);
}

int qxmon_filter_cfg_check(ini_file_t *ini) {
    uint32_t max_cnt = (uint32_t)ini_get_long_in_range(ini, "base", kMonitorFilterCnt);
    qxmon_filter_cfg_st *cfg = qxmon_filter_cfg_alloc(max_cnt);
    if (!cfg) return -1;
    int rc = 0;
    for (int k = 0; k < QXMON_FILTER_KINDS && rc == 0; k++)
        rc = load_default_qxmon_filter_cfg(ini, cfg, k) != 0 ? -1 : 0;
    qxmon_filter_cfg_exit(cfg);
    kiv_free(cfg);
    return rc;
}
