// The network module's six tables and its one-second timer: time-outs of unpaired connects and
// queries, repeat suppression, per-destination and total upload caps, and scan detection.
#include <arpa/inet.h>
#include <libgen.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "base/log.h"
#include "base/mem.h"
#include "comm/fhash.h"
#include "comm/timer.h"
#include "framework/hook.h"
#include "framework/limit_drops.h"
#include "net/dns_probe.h"
#include "net/net.h"
#include "net/net_event.h"
#include "qxkiv/digest.h"
#include "qxkiv/process_query.h"

namespace {

struct net_speed_key {
    uint8_t sip[16];
    uint8_t dip[16];
    uint32_t dport;
    uint32_t proc_crc;
    uint32_t dns_crc;
};
static_assert(sizeof(net_speed_key) == 44);

// The checksums only spread the entries; an entry matches when the text they were taken
// over is equal too, so a chosen checksum twin is never taken for a repeat.
struct net_speed_limit_st {
    net_speed_key key;
    uint32_t update_time;
    uint32_t text_len;
    const char *text;  // a node's own copy follows it; a search's points at its buffer
    uint32_t search;   // 1 in a search, whose twins are counted
};

struct net_total_key {
    uint8_t dip[16];
    uint32_t dport;  // holds the htons value
};
static_assert(sizeof(net_total_key) == 20);

struct net_total_limit_st {
    net_total_key key;
    uint32_t first_time;
    uint32_t upload_cnt;
    net_total_limit_st *prev, *next;  // recency, most recent first (net_total_lru)
};

// Per-process DNS documents in the current minute.
struct dns_proc_key {
    uint64_t create_time;
    uint32_t pid;
    uint32_t pad;
};
struct dns_proc_st {
    dns_proc_key key;
    uint32_t sent;
};

// Scan reports of one peer in the current second.
struct scan_peer_st {
    uint8_t peer[16];
    uint32_t sent;
};
constexpr uint32_t DNS_PROC_MAX = 4096, SCAN_PEER_MAX = 4096;

constexpr size_t LISTEN_KEY_LEN = 32;
struct listen_speed_limit_st {
    char key[LISTEN_KEY_LEN];
    uint32_t update_time;
};

std::atomic<uint32_t> s_current_sec;
uint32_t s_upl_clean_tms;  // under net_speed_lock

// Under net_total_lock: the recency list and the uploads of destinations evicted this cycle,
// so the cycle's total still counts them.
net_total_limit_st s_lru{{}, 0, 0, &s_lru, &s_lru};
uint64_t s_evicted_uploads;

std::mutex s_dns_proc_lock;
fhash *s_dns_proc_hash;   // under s_dns_proc_lock, emptied every minute
fhash *s_scan_peer_hash;  // under netscan_count_mutex, emptied every second

// Drops of one limit in the current minute by subject (a process, a peer, a destination),
// told at the minute's end in one level-2 line per subject while the extension of that
// limit is on (`key`); subjects beyond the first few are told together.
class drop_ledger {
  public:
    drop_ledger(const char *what, uint32_t net_user_cfg::*key) : what_(what), key_(key) {}
    void note(const char *subject, uint64_t n = 1) {
        std::lock_guard g(m_);
        for (size_t i = 0; i < used_; i++)
            if (strcmp(rows_[i].subject, subject) == 0) {
                rows_[i].dropped += n;
                return;
            }
        if (used_ == ROWS) {
            others_ += n;
            return;
        }
        snprintf(rows_[used_].subject, sizeof rows_[used_].subject, "%s", subject);
        rows_[used_++].dropped = n;
    }
    void flush() {
        row rows[ROWS];
        size_t used;
        uint64_t others;
        {
            std::lock_guard g(m_);
            used = used_, others = others_;
            std::copy(rows_, rows_ + used_, rows);
            used_ = 0, others_ = 0;
        }
        if (!(g_net_config.*key_)) return;
        for (size_t i = 0; i < used; i++) {
            KIV_LOG(2, "limit: %s: %s, %llu in the last minute\n", what_, rows[i].subject,
                    (unsigned long long)rows[i].dropped);
            kiv_stat_inc(NET_LIMIT_NOTICE);
        }
        if (others) {
            KIV_LOG(2, "limit: %s: other subjects, %llu in the last minute\n", what_,
                    (unsigned long long)others);
            kiv_stat_inc(NET_LIMIT_NOTICE);
        }
    }

  private:
    static constexpr size_t ROWS = 8;
    struct row {
        char subject[160];
        uint64_t dropped;
    };
    std::mutex m_;
    const char *what_;
    uint32_t net_user_cfg::*key_;
    row rows_[ROWS];
    size_t used_ = 0;
    uint64_t others_ = 0;
};
drop_ledger s_dest_drops("connection documents dropped by the destination limits",
                         &net_user_cfg::net_total_lru);
drop_ledger s_lru_evictions("destinations forgotten to make room, least recently used first",
                            &net_user_cfg::net_total_lru);
drop_ledger s_dns_drops("DNS documents dropped by the per-process limit",
                        &net_user_cfg::dns_upload_per_proc);
drop_ledger s_scan_drops("scan reports dropped by the scan limit", &net_user_cfg::netscan_per_peer);
drop_ledger s_dns_full("DNS queries reported unanswered at once, the pending table being full",
                       &net_user_cfg::dns_pair_by_name);

void flush_ledgers() {
    for (drop_ledger *l :
         {&s_dest_drops, &s_lru_evictions, &s_dns_drops, &s_scan_drops, &s_dns_full})
        l->flush();
}

template <size_t N>
int cmp_key(const void *key, void *data) {
    return memcmp(key, data, N) == 0 ? 0 : 1;
}
void free_node(void *data) {
    kiv_free(data);
}

int cmp_speed(const void *key, void *data) {
    const auto *a = static_cast<const net_speed_limit_st *>(key);
    const auto *b = static_cast<const net_speed_limit_st *>(data);
    if (memcmp(&a->key, &b->key, sizeof a->key) != 0) return 1;
    // Without repeat_key_full the key's checksums decide, as they always did.
    if (!g_net_config.repeat_key_full) return 0;
    if (a->text_len == b->text_len && memcmp(a->text, b->text, a->text_len) == 0) return 0;
    if (a->search) kiv_stat_inc(NET_REPEAT_KEY_MISMATCH);
    return 1;
}

void lru_unlink(net_total_limit_st *n) {
    n->prev->next = n->next;
    n->next->prev = n->prev;
}
void lru_front(net_total_limit_st *n) {
    n->next = s_lru.next;
    n->prev = &s_lru;
    s_lru.next->prev = n;
    s_lru.next = n;
}
void lru_reset() {
    s_lru.prev = s_lru.next = &s_lru;
    s_evicted_uploads = 0;
}

// Age rule of every sweep: older than `limit` seconds, or dated in the future.
bool expired(uint32_t stamp, uint32_t now, uint32_t limit) {
    return stamp > now || now - stamp > limit;
}

struct sweep_arg {
    uint32_t now;
    fhash *table;
    uint32_t limit;
};

int param_ok(void *node, void *arg) {
    if (node && arg) return 1;
    KIV_LOG(1, "param illegal\n");
    return 0;
}

// Deletes one node through the table; the walk allows deleting the node it is given.
template <class Node>
void delete_node(fhash *t, Node *n) {
    fhash_delete(t, &n->key, sizeof n->key);
}

int tcp_upload_overtime_node(void *node, void *arg) {
    if (!param_ok(node, arg)) return -1;
    auto *n = static_cast<tcp_connect_upload *>(node);
    auto *a = static_cast<sweep_arg *>(arg);
    if (!expired(n->insert_time, a->now, 6)) return 0;
    KIV_LOG(3, "upload overtime tcp_connect:\n");
    pn_info pn = n->pn;
    pn.connect = 0;
    net_info_upload(&pn);
    delete_node(a->table, n);
    return 0;
}

int dns_upload_overtime_node(void *node, void *arg) {
    if (!param_ok(node, arg)) return -1;
    auto *n = static_cast<dns_query_upload_st *>(node);
    auto *a = static_cast<sweep_arg *>(arg);
    if (!expired(n->insert_time, a->now, 6)) return 0;
    KIV_LOG(4, "upload overtime dns_query:\n");
    pn_info pn = n->pn;
    n->domain[sizeof n->domain - 1] = '\0';
    dns_query_upload(&pn, n->domain, nullptr);
    fhash_delete(a->table, &n->key, dns_query_key_len());
    return 0;
}

template <class Node, uint32_t Node::*Stamp>
int del_overtime_node(void *node, void *arg) {
    if (!param_ok(node, arg)) return -1;
    auto *n = static_cast<Node *>(node);
    auto *a = static_cast<sweep_arg *>(arg);
    if (expired(n->*Stamp, a->now, a->limit)) delete_node(a->table, n);
    return 0;
}
constexpr auto net_speed_del_overtime_node =
    del_overtime_node<net_speed_limit_st, &net_speed_limit_st::update_time>;
constexpr auto clean_upload_time_node = net_speed_del_overtime_node;
constexpr auto listen_speed_del_overtime_node =
    del_overtime_node<listen_speed_limit_st, &listen_speed_limit_st::update_time>;
constexpr auto connected_del_overtime_node =
    del_overtime_node<connected_limit_st, &connected_limit_st::insert_time>;

int update_net_cnt_limit(void *node, void *arg) {
    if (!param_ok(node, arg)) return -1;
    *static_cast<uint64_t *>(arg) += static_cast<net_total_limit_st *>(node)->upload_cnt;
    return 0;
}

void sweep(fhash *t, std::shared_mutex &lock, fhash_walk_fn fn, uint32_t limit,
           const char *fail_msg) {
    std::unique_lock g(lock);
    sweep_arg a{net_now_sec(), t, limit};
    if (fhash_walk(t, fn, &a) != 0) KIV_LOG(0, "%s\n", fail_msg);
}

void tcp_connect_timer_func() {
    net_conext &c = g_net_conext;
    sweep(c.tcp_connect_hash, c.tcp_connect_lock, tcp_upload_overtime_node, 6,
          "tcp_connect_hash hashtable clean fail");
}

void dns_query_timer_func() {
    net_conext &c = g_net_conext;
    sweep(c.dns_query_hash, c.dns_query_lock, dns_upload_overtime_node, 6,
          "dns_query_hash hashtable clean fail");
}

void net_scan_timer_func() {
    net_conext &c = g_net_conext;
    {
        std::lock_guard g(c.netscan_count_mutex);
        c.netscan_count = 0;
        if (s_scan_peer_hash) fhash_clear(s_scan_peer_hash);
    }
    sweep(c.connected_hash, c.connected_lock, connected_del_overtime_node,
          g_net_config.conn_duration + 2, "connected_hash hashtable clean fail");
}

void net_speed_timer_func() {
    net_conext &c = g_net_conext;
    sweep(c.net_speed_hash, c.net_speed_lock, net_speed_del_overtime_node,
          g_net_config.upload_time_interval, "net_speep_hash hashtable clean fail");
}

void listen_speed_timer_func() {
    net_conext &c = g_net_conext;
    sweep(c.listen_speed_hash, c.listen_speed_lock, listen_speed_del_overtime_node,
          g_net_config.upload_time_interval, "listen_speed_hash hashtable clean fail");
}

// A 16-byte address field from its text: IPv6 text fills it, dotted IPv4 text its first four
// bytes (the rest zero).
void addr16(const char *text, uint8_t out[16]) {
    memset(out, 0, 16);
    if (strchr(text, ':') && inet_pton(AF_INET6, text, out) == 1) return;
    in_addr_t a = inet_addr(text);
    memcpy(out, &a, 4);
}

net_total_key total_key(const net_info *n) {
    net_total_key k{};
    addr16(n->dip, k.dip);
    k.dport = htons((uint16_t)n->dport);
    return k;
}

uint32_t u32_at(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

struct table_spec {
    fhash *net_conext::*table;
    uint32_t net_user_cfg::*size;
    hash_cmp_fn cmp;
    const char *fail_msg;
};

}  // namespace

uint32_t net_now_sec() {
    return (uint32_t)(kiv_now_ms() / 1000);
}

uint32_t dns_query_key_len() {
    return g_net_config.dns_pair_by_name ? DNS_NAME_KEY_LEN : (uint32_t)sizeof(net_pair_key);
}

uint32_t net_timer_runs() {
    return s_current_sec.load();
}

int net_init_resource(net_conext *ctx, const net_user_cfg *cfg) {
    // The locks are members and cannot fail to initialise; only the tables and the timer can.
    static const table_spec kTables[] = {
        {&net_conext::tcp_connect_hash, &net_user_cfg::tcp_connect_hash_size,
         cmp_key<sizeof(net_pair_key)>, "fhash_create tcp_connect_hash failed"},
        {&net_conext::dns_query_hash, &net_user_cfg::dns_query_hash_size, nullptr,
         "fhash_create dns_query_hash failed"},
        {&net_conext::net_speed_hash, &net_user_cfg::net_speed_hash_size, cmp_speed,
         "fhash_create net_speep_hash failed"},
        {&net_conext::net_total_hash, &net_user_cfg::net_total_hash_size,
         cmp_key<sizeof(net_total_key)>, "fhash_create net_total_hash failed"},
        {&net_conext::listen_speed_hash, &net_user_cfg::listen_speed_hash_size,
         cmp_key<LISTEN_KEY_LEN>, "fhash_create listen_speed_hash failed"},
        {&net_conext::connected_hash, &net_user_cfg::connected_hash_hash_size,
         cmp_key<sizeof(net_pair_key)>, "fhash_create connected_hash failed"},
    };
    s_current_sec = 0;
    s_upl_clean_tms = 0;
    lru_reset();
    for (const table_spec &t : kTables) {
        uint32_t size = cfg->*t.size;
        // Queries told apart by name carry it in their key.
        hash_cmp_fn cmp = t.cmp                   ? t.cmp
                          : cfg->dns_pair_by_name ? cmp_key<DNS_NAME_KEY_LEN>
                                                  : cmp_key<sizeof(net_pair_key)>;
        ctx->*t.table = fhash_create(size, size, cmp, nullptr, free_node);
        if (!(ctx->*t.table)) {
            KIV_LOG(0, "%s\n", t.fail_msg);
            net_release_resource(ctx);
            return -1;
        }
    }
    s_dns_proc_hash =
        fhash_create(DNS_PROC_MAX, DNS_PROC_MAX, cmp_key<sizeof(dns_proc_key)>, nullptr, free_node);
    s_scan_peer_hash = fhash_create(SCAN_PEER_MAX, SCAN_PEER_MAX, cmp_key<16>, nullptr, free_node);
    if (!s_dns_proc_hash || !s_scan_peer_hash) {
        KIV_LOG(0, "fhash_create of the per-process and per-peer limits failed\n");
        net_release_resource(ctx);
        return -1;
    }
    ctx->timer = add_timer(1000, common_timer_func, nullptr);
    if (!ctx->timer) {
        KIV_LOG(0, "add_timer common_timer failed\n");
        net_release_resource(ctx);
        return -1;
    }
    return 0;
}

void net_release_resource(net_conext *ctx) {
    if (ctx->timer) {
        del_timer(ctx->timer);
        ctx->timer = nullptr;
    }
    // Records still waiting for their partner go with the tables; say how many a stop cut.
    uint32_t waiting = 0;
    for (fhash *t : {ctx->tcp_connect_hash, ctx->dns_query_hash})
        if (t) waiting += t->count;
    if (waiting)
        KIV_LOG(2, "%u network records still waiting for their pair at stop, not uploaded\n",
                waiting);
    // What the limits dropped since the last minute is said now, not in the next start's.
    flush_ledgers();
    for (fhash *net_conext::*t : {&net_conext::connected_hash, &net_conext::listen_speed_hash,
                                  &net_conext::net_total_hash, &net_conext::net_speed_hash,
                                  &net_conext::dns_query_hash, &net_conext::tcp_connect_hash}) {
        if (ctx->*t) fhash_destroy(ctx->*t);
        ctx->*t = nullptr;
    }
    for (fhash **t : {&s_dns_proc_hash, &s_scan_peer_hash}) {
        if (*t) fhash_destroy(*t);
        *t = nullptr;
    }
    lru_reset();
    ctx->netscan_count = 0;
}

void common_timer_func(void *) {
    uint32_t sec = ++s_current_sec;
    log_mod_set(KIV_MOD_NET);
    tcp_connect_timer_func();
    dns_query_timer_func();
    net_scan_timer_func();
    if (sec % 10 == 0) dns_connected_timer_func();
    if (sec % 60 == 0) {
        net_speed_timer_func();
        net_cnt_timer_func(sec);
        listen_speed_timer_func();
        net_limit_minute();
    }
}

void net_cnt_timer_func(uint32_t sec) {
    net_conext &c = g_net_conext;
    net_user_cfg &cfg = g_net_config;
    std::unique_lock g(c.net_total_lock);
    // A cycle of 0 is refused when net.conf is loaded; guard the division anyway.
    if (cfg.net_total_rebuild_cycle != 0 && sec % cfg.net_total_rebuild_cycle == 0) {
        fhash_clear(c.net_total_hash);
        lru_reset();
        g_net_stop_upload = 0;
        cfg.net_cnt_hash_limit = cfg.net_total_hash_increase_gap;
        KIV_LOG(2, "net_total_hash hashtable rebuilded.\n");
    }
    uint64_t sum = s_evicted_uploads;
    if (fhash_walk(c.net_total_hash, update_net_cnt_limit, &sum) != 0)
        KIV_LOG(0, "net_total_hash hashtable clean fail\n");
    if (sum < cfg.net_total_upload_limit) {
        uint64_t raised = (uint64_t)cfg.net_cnt_hash_limit + cfg.net_total_hash_increase_gap;
        if (c.net_total_hash->count >= cfg.net_cnt_hash_limit &&
            raised <= cfg.net_total_hash_size) {
            cfg.net_cnt_hash_limit = (uint32_t)raised;
            KIV_LOG(2, "net_cnt_hash_limit increased,cur is:%u\n", cfg.net_cnt_hash_limit);
        }
    } else {
        g_net_stop_upload = 1;
        KIV_LOG(2, "net_total upload was overlimit,cur_cnt:%u,limit:%u\n", (uint32_t)sum,
                cfg.net_total_upload_limit);
    }
}

namespace {

// A connection document a destination limit dropped, by its destination.
void destination_drop(const net_info *n) {
    char dest[NET_IP_TEXT_LEN + 8];
    snprintf(dest, sizeof dest, "%s:%u", n->dip, n->dport);
    limit_drop_note(NET_UPLOAD_OVERLIMIT, KIV_LIMIT_ANY_USER, KIV_LIMIT_DESTINATION, dest);
}

}  // namespace

int check_net_cnt(const net_info *n) {
    if (g_net_stop_upload.load(std::memory_order_relaxed)) {
        KIV_LOG(1, "g_net_stop_upload was set,drop.\n");
        s_dest_drops.note("all connections: the cycle's total reached");
        limit_drop_note(NET_UPLOAD_OVERLIMIT, KIV_LIMIT_ANY_USER, KIV_LIMIT_DESTINATION, "");
        return -1;
    }
    net_conext &c = g_net_conext;
    net_total_key key = total_key(n);
    std::shared_lock g(c.net_total_lock);
    void *data = nullptr;
    if (fhash_search(c.net_total_hash, &key, sizeof key, &data) == 0) {
        auto *node = static_cast<net_total_limit_st *>(data);
        if (node->upload_cnt >= g_net_config.single_net_upload_limit) {
            KIV_LOG(3, "%x:%u, upload_cnt:%u is over %u!\n", u32_at(key.dip), n->dport,
                    node->upload_cnt, g_net_config.single_net_upload_limit);
            char subject[96];
            snprintf(subject, sizeof subject, "destination %s:%u over %u this cycle", n->dip,
                     n->dport, g_net_config.single_net_upload_limit);
            s_dest_drops.note(subject);
            destination_drop(n);
            return -1;
        }
        return 0;
    }
    if (g_net_config.net_total_lru) return 0;  // room is made when it is counted
    uint32_t limit = g_net_config.net_cnt_hash_limit;
    if (c.net_total_hash->count >= limit) {
        kiv_stat_inc(NET_TOTAL_HASH_FULL);
        KIV_LOG(4, "net_total_hash count(%u) was overlimit(%u)\n", c.net_total_hash->count, limit);
        s_dest_drops.note("new destinations: the destination table is full");
        destination_drop(n);
        return -1;
    }
    return 0;
}

int inc_net_total_hash(const net_info *n) {
    net_conext &c = g_net_conext;
    net_total_key key = total_key(n);
    std::unique_lock g(c.net_total_lock);
    void *data = nullptr;
    const bool lru = g_net_config.net_total_lru != 0;
    if (fhash_search(c.net_total_hash, &key, sizeof key, &data) == 0) {
        auto *node = static_cast<net_total_limit_st *>(data);
        node->upload_cnt++;
        lru_unlink(node), lru_front(node);  // kept whether or not it evicts
        return 0;
    }
    if (lru) {
        uint32_t evicted = 0;
        while (s_lru.prev != &s_lru &&
               (c.net_total_hash->count >= g_net_config.net_cnt_hash_limit ||
                fhash_full(c.net_total_hash) != 0)) {
            net_total_limit_st *old = s_lru.prev;
            lru_unlink(old);
            s_evicted_uploads += old->upload_cnt;
            fhash_delete(c.net_total_hash, &old->key, sizeof old->key);
            evicted++;
        }
        if (evicted) {
            kiv_stat_inc(NET_TOTAL_LRU_EVICT, evicted);
            s_lru_evictions.note("net_total_hash", evicted);
        }
    }
    auto *node = static_cast<net_total_limit_st *>(
        kiv_zalloc(sizeof(net_total_limit_st), MALLOC_FOR_NET_TOTAL_LIMIT));
    if (!node) {
        KIV_LOG(1, "kiv_zalloc net_total_limit_st error!\n");
        return -1;
    }
    node->key = key;
    node->first_time = net_now_sec();
    node->upload_cnt = 1;
    if (fhash_insert(c.net_total_hash, &node->key, sizeof node->key, node) != 0) {
        kiv_free(node);
        return -1;
    }
    lru_front(node);
    return 0;
}

int check_upl_hash_full(uint32_t now) {
    net_conext &c = g_net_conext;
    if (fhash_full(c.net_speed_hash) == 0) return 0;
    KIV_LOG(4, "net_speep_hash hashtable full\n");
    uint32_t expire = g_net_config.upload_clean_expire;
    if (now - s_upl_clean_tms >= expire || now <= s_upl_clean_tms) {
        s_upl_clean_tms = now;
        KIV_LOG(4, "clean upload hash\n");
        sweep_arg a{now, c.net_speed_hash, expire};
        if (fhash_walk(c.net_speed_hash, clean_upload_time_node, &a) != 0) {
            KIV_LOG(0, "net_speep_hash hashtable clean fail\n");
            return -1;
        }
        if (fhash_full(c.net_speed_hash) != 0) {
            KIV_LOG(4, "g_upl_time hashtable full after clean\n");
            return -1;
        }
        return 0;
    }
    KIV_LOG(4, "net_speep_hash clean too frequent!\n");
    return -1;
}

int check_send_time(const process_st_public *p, const net_info *n, const char *domain) {
    return send_time_check(p, n, domain, true);
}

int send_time_check(const process_st_public *p, const net_info *n, const char *domain,
                    bool record) {
    uint32_t now = net_now_sec();
    // The process is its executable's digest and the start of its command line, or with
    // repeat_key_full the whole command line and the user; the name follows.
    char text[32 + 1 + PROCESS_ST_STR_LEN + 24 + 256 + 1];
    int pl;
    if (g_net_config.repeat_key_full)
        pl = snprintf(text, sizeof text, "%.32s%c%s%c%u.%u", p->md5, 0, p->cmd_line, 0, p->ids[0],
                      p->ids[1]);
    else
        pl = snprintf(text, sizeof text, "%.32s%.171s", p->md5, p->cmd_line);
    size_t proc_len = pl > 0 ? std::min((size_t)pl, sizeof text - 1) : 0;
    size_t len = proc_len;
    if (domain) len += snprintf(text + len, sizeof text - len, "%c%.255s", 0, domain);
    net_speed_limit_st probe{};
    net_speed_key &key = probe.key;
    addr16(n->sip, key.sip);
    addr16(n->dip, key.dip);
    key.dport = n->dport;
    key.proc_crc = mordek_crc32(text, proc_len);
    key.dns_crc = domain ? mordek_crc32(domain, strlen(domain)) : 0;
    probe.text = text, probe.text_len = (uint32_t)len, probe.search = 1;

    net_conext &c = g_net_conext;
    std::unique_lock g(c.net_speed_lock);
    void *data = nullptr;
    if (fhash_search(c.net_speed_hash, &probe, sizeof key, &data) == 0) {
        uint32_t t = static_cast<net_speed_limit_st *>(data)->update_time;
        KIV_LOG(4, "update_time:%u    cur_tm:%u\n", t, now);
        if (now - t < g_net_config.upload_time_interval && t <= now) {
            KIV_LOG(4, "%x-%x:%u, dns_crc:%d has upload in %u seconds!\n", u32_at(key.sip),
                    u32_at(key.dip), n->dport, (int)key.dns_crc, g_net_config.upload_time_interval);
            return -1;
        }
        return 0;
    }
    if (!record) return 0;
    if (check_upl_hash_full(now) != 0) return 0;  // no room: upload without recording
    auto *node = static_cast<net_speed_limit_st *>(
        kiv_malloc(sizeof(net_speed_limit_st) + len, MALLOC_FOR_NET_SPEED_LIMIT));
    if (!node) {
        KIV_LOG(1, "kiv_malloc net_speed_limit_st error!\n");
        return -1;
    }
    char *own = reinterpret_cast<char *>(node + 1);
    memcpy(own, text, len);
    *node = probe;
    node->text = own, node->search = 0, node->update_time = now;
    if (fhash_insert(c.net_speed_hash, node, sizeof node->key, node) != 0) kiv_free(node);
    return 0;
}

int check_dns_proc_rate(const pn_info *pn) {
    uint32_t limit = g_net_config.dns_upload_per_proc;
    if (limit == 0 || !s_dns_proc_hash) return 0;
    dns_proc_key key{pn->create_time, pn->pid, 0};
    {
        std::lock_guard g(s_dns_proc_lock);
        void *data = nullptr;
        if (fhash_search(s_dns_proc_hash, &key, sizeof key, &data) == 0) {
            auto *node = static_cast<dns_proc_st *>(data);
            if (node->sent < limit) {
                node->sent++;
                return 0;
            }
        } else {
            // More processes than the table holds in one minute go unlimited: the limit
            // bounds each process, never charges one for another.
            auto *node = static_cast<dns_proc_st *>(
                kiv_zalloc(sizeof(dns_proc_st), MALLOC_FOR_NET_SPEED_LIMIT));
            if (node) {
                node->key = key, node->sent = 1;
                if (fhash_insert(s_dns_proc_hash, &node->key, sizeof key, node) != 0)
                    kiv_free(node);
            }
            return 0;
        }
    }
    kiv_stat_inc(NET_DNS_PROC_LIMIT);
    const process_st_public *p = pn->proc_info;
    char subject[160];
    snprintf(subject, sizeof subject, "process %u of user %s (uid %u) %.64s over %u a minute",
             pn->pid, p ? p->user_name : "?", p ? p->ids[1] : 0u, p ? p->path : "", limit);
    s_dns_drops.note(subject);
    limit_drop_note(NET_DNS_PROC_LIMIT, p ? p->ids[1] : KIV_LIMIT_ANY_USER, KIV_LIMIT_EXECUTABLE,
                    p ? p->path : "");
    return -1;
}

void dns_query_sent_at_once(const pn_info *pn) {
    kiv_stat_inc(NET_DNSQ_FULL_SENT);
    char subject[64];
    snprintf(subject, sizeof subject, "process %u", pn->pid);
    s_dns_full.note(subject);
}

void net_limit_minute() {
    if (s_dns_proc_hash) {
        std::lock_guard g(s_dns_proc_lock);
        fhash_clear(s_dns_proc_hash);
    }
    flush_ledgers();
}

int check_port_and_exe(const listen_info *l) {
    const process_st_public *p = l->proc_info;
    if (!p || p->path[0] == '\0') {
        KIV_LOG(1, "no proc path\n");
        return 0;
    }
    std::string path = p->path;
    const char *base = basename(path.data());
    if (!base) {
        KIV_LOG(1, "basename failed %s\n", p->path);
        return 0;
    }
    char key[LISTEN_KEY_LEN] = {};
    snprintf(key, sizeof key, "%d%s", l->port, base);
    uint32_t now = net_now_sec();
    KIV_LOG(4, "exe_name:%s\n", base);
    KIV_LOG(4, "curtime:%d,key_len:%d\n", (int)now, (int)strlen(key));

    net_conext &c = g_net_conext;
    std::unique_lock g(c.listen_speed_lock);
    void *data = nullptr;
    if (fhash_search(c.listen_speed_hash, key, sizeof key, &data) == 0) {
        auto *node = static_cast<listen_speed_limit_st *>(data);
        if (now - node->update_time < g_net_config.upload_time_interval &&
            node->update_time <= now) {
            KIV_LOG(4, "update_time:%u    cur_tm:%u\n", node->update_time, now);
            return -1;
        }
        node->update_time = now;
        return 0;
    }
    if (fhash_full(c.listen_speed_hash) != 0) return 0;
    auto *node = static_cast<listen_speed_limit_st *>(
        kiv_zalloc(sizeof(listen_speed_limit_st), MALLOC_FOR_NET_LISTEN_SPEED_LIMIT));
    if (!node) {
        KIV_LOG(1, "kiv_zalloc listen_speed_limit_st error!\n");
        return -1;
    }
    memcpy(node->key, key, sizeof key);
    node->update_time = now;
    if (fhash_insert(c.listen_speed_hash, node->key, sizeof node->key, node) != 0) kiv_free(node);
    return 0;
}

namespace {

// The remote end of a reset: the destination of one that names our end first.
const uint8_t *scan_peer(const netscan_info *s) {
    return s->direction ? s->daddr : s->saddr;
}

// The peer's count this second, created at 0; null when the table is full, and then the
// shared count stands for the peers beyond it. Under netscan_count_mutex.
uint32_t *peer_count(const netscan_info *s, bool create) {
    void *data = nullptr;
    if (fhash_search(s_scan_peer_hash, scan_peer(s), 16, &data) == 0)
        return &static_cast<scan_peer_st *>(data)->sent;
    if (!create || fhash_full(s_scan_peer_hash) != 0) return nullptr;
    auto *node =
        static_cast<scan_peer_st *>(kiv_zalloc(sizeof(scan_peer_st), MALLOC_FOR_NET_SPEED_LIMIT));
    if (!node) return nullptr;
    memcpy(node->peer, scan_peer(s), 16);
    if (fhash_insert(s_scan_peer_hash, node->peer, 16, node) != 0) {
        kiv_free(node);
        return nullptr;
    }
    return &node->sent;
}

bool per_peer() {
    return g_net_config.netscan_per_peer && s_scan_peer_hash;
}

}  // namespace

int check_netscan_speed(const netscan_info *s) {
    net_conext &c = g_net_conext;
    uint32_t limit = g_net_config.netscan_per_sec_limit;
    bool by_peer;
    {
        std::lock_guard g(c.netscan_count_mutex);
        uint32_t sent = c.netscan_count;
        by_peer = per_peer() && s;
        if (by_peer) {
            // A peer not seen this second starts at 0 while the table has room for it.
            uint32_t *n = peer_count(s, false);
            if (n)
                sent = *n;
            else if (fhash_full(s_scan_peer_hash) == 0)
                sent = 0;
        }
        if (sent < limit) return 0;
        KIV_LOG(4, "netscan_count(%u) is over netscan_per_sec_limit(%u)\n", sent, limit);
    }
    char subject[96] = "all peers", ip[NET_IP_TEXT_LEN] = "";
    if (by_peer) {
        net_ip_text(scan_peer(s), s->family == AF_INET6 ? AF_INET6 : AF_INET, ip);
        snprintf(subject, sizeof subject, "peer %s over %u a second", ip, limit);
        kiv_stat_inc(NET_SCAN_PEER_LIMIT);
    }
    s_scan_drops.note(subject);
    limit_drop_note(NET_SCAN_SPEED_LIMIT, KIV_LIMIT_ANY_USER, KIV_LIMIT_PEER, ip);
    return -1;
}

int check_netscan_speed() {
    return check_netscan_speed(nullptr);
}

void inc_netscan_count(const netscan_info *s) {
    net_conext &c = g_net_conext;
    std::lock_guard g(c.netscan_count_mutex);
    uint32_t *n = per_peer() && s ? peer_count(s, true) : nullptr;
    if (n)
        ++*n;
    else
        c.netscan_count++;
}

void inc_netscan_count() {
    inc_netscan_count(nullptr);
}

int netscan_filter_rst(const netscan_info *s) {
    net_pair_key key{};
    if (s->direction) {
        memcpy(key.saddr, s->saddr, 16), memcpy(key.daddr, s->daddr, 16);
        key.sport = s->sport, key.dport = s->dport;
    } else {
        memcpy(key.saddr, s->daddr, 16), memcpy(key.daddr, s->saddr, 16);
        key.sport = s->dport, key.dport = s->sport;
    }
    net_conext &c = g_net_conext;
    {
        std::shared_lock g(c.connected_lock);
        void *data = nullptr;
        if (fhash_search(c.connected_hash, &key, sizeof key, &data) == 0) {
            uint32_t duration = s->cap_time - static_cast<connected_limit_st *>(data)->insert_time;
            if (duration < g_net_config.conn_duration) {
                KIV_LOG(4, "netscan conn, duration = %d,src_ip:%x,sport:%u,drc_ip:%x,dport:%u\n",
                        (int)duration, u32_at(key.saddr), key.sport, u32_at(key.daddr), key.dport);
                return 0;
            }
            return -1;
        }
    }
    uint16_t sp = key.sport, dp = key.dport;
    key.sport = htons(sp), key.dport = htons(dp);
    std::shared_lock g(c.tcp_connect_lock);
    void *data = nullptr;
    if (fhash_search(c.tcp_connect_hash, &key, sizeof key, &data) == 0) {
        KIV_LOG(4,
                "netscan conn, finded in tcp_connect_hash,src_ip:%x,sport:%u,drc_ip:%x,dport:%u\n",
                u32_at(key.saddr), sp, u32_at(key.daddr), dp);
        return 0;
    }
    return -1;
}
