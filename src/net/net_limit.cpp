// The network module's six tables and its one-second timer: time-outs of unpaired connects and
// queries, repeat suppression, per-destination and total upload caps, and scan detection.
#include <arpa/inet.h>
#include <libgen.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "base/log.h"
#include "base/mem.h"
#include "comm/fhash.h"
#include "comm/timer.h"
#include "framework/hook.h"
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

struct net_speed_limit_st {
    net_speed_key key;
    uint32_t update_time;
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
};

constexpr size_t LISTEN_KEY_LEN = 32;
struct listen_speed_limit_st {
    char key[LISTEN_KEY_LEN];
    uint32_t update_time;
};

std::atomic<uint32_t> s_current_sec;
uint32_t s_upl_clean_tms;  // under net_speed_lock

template <size_t N>
int cmp_key(const void *key, void *data) {
    return memcmp(key, data, N) == 0 ? 0 : 1;
}
void free_node(void *data) {
    kiv_free(data);
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
    delete_node(a->table, n);
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

// The first four bytes of a 16-byte address field from dotted text, the rest zero.
void addr16(const char *text, uint8_t out[16]) {
    memset(out, 0, 16);
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

uint32_t net_timer_runs() {
    return s_current_sec.load();
}

int net_init_resource(net_conext *ctx, const net_user_cfg *cfg) {
    // The locks are members and cannot fail to initialise; only the tables and the timer can.
    static const table_spec kTables[] = {
        {&net_conext::tcp_connect_hash, &net_user_cfg::tcp_connect_hash_size,
         cmp_key<sizeof(net_pair_key)>, "fhash_create tcp_connect_hash failed"},
        {&net_conext::dns_query_hash, &net_user_cfg::dns_query_hash_size,
         cmp_key<sizeof(net_pair_key)>, "fhash_create dns_query_hash failed"},
        {&net_conext::net_speed_hash, &net_user_cfg::net_speed_hash_size,
         cmp_key<sizeof(net_speed_key)>, "fhash_create net_speep_hash failed"},
        {&net_conext::net_total_hash, &net_user_cfg::net_total_hash_size,
         cmp_key<sizeof(net_total_key)>, "fhash_create net_total_hash failed"},
        {&net_conext::listen_speed_hash, &net_user_cfg::listen_speed_hash_size,
         cmp_key<LISTEN_KEY_LEN>, "fhash_create listen_speed_hash failed"},
        {&net_conext::connected_hash, &net_user_cfg::connected_hash_hash_size,
         cmp_key<sizeof(net_pair_key)>, "fhash_create connected_hash failed"},
    };
    s_current_sec = 0;
    s_upl_clean_tms = 0;
    for (const table_spec &t : kTables) {
        uint32_t size = cfg->*t.size;
        ctx->*t.table = fhash_create(size, size, t.cmp, nullptr, free_node);
        if (!(ctx->*t.table)) {
            KIV_LOG(0, "%s\n", t.fail_msg);
            net_release_resource(ctx);
            return -1;
        }
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
    for (fhash *net_conext::*t : {&net_conext::connected_hash, &net_conext::listen_speed_hash,
                                  &net_conext::net_total_hash, &net_conext::net_speed_hash,
                                  &net_conext::dns_query_hash, &net_conext::tcp_connect_hash}) {
        if (ctx->*t) fhash_destroy(ctx->*t);
        ctx->*t = nullptr;
    }
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
    }
}

void net_cnt_timer_func(uint32_t sec) {
    net_conext &c = g_net_conext;
    net_user_cfg &cfg = g_net_config;
    std::unique_lock g(c.net_total_lock);
    // A cycle of 0 is refused when net.conf is loaded; guard the division anyway.
    if (cfg.net_total_rebuild_cycle != 0 && sec % cfg.net_total_rebuild_cycle == 0) {
        fhash_clear(c.net_total_hash);
        g_net_stop_upload = 0;
        cfg.net_cnt_hash_limit = cfg.net_total_hash_increase_gap;
        KIV_LOG(2, "net_total_hash hashtable rebuilded.\n");
    }
    uint64_t sum = 0;
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

int check_net_cnt(const net_info *n) {
    if (g_net_stop_upload.load(std::memory_order_relaxed)) {
        KIV_LOG(1, "g_net_stop_upload was set,drop.\n");
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
            return -1;
        }
        return 0;
    }
    uint32_t limit = g_net_config.net_cnt_hash_limit;
    if (c.net_total_hash->count >= limit) {
        kiv_stat_inc(NET_TOTAL_HASH_FULL);
        KIV_LOG(4, "net_total_hash count(%u) was overlimit(%u)\n", c.net_total_hash->count, limit);
        return -1;
    }
    return 0;
}

int inc_net_total_hash(const net_info *n) {
    net_conext &c = g_net_conext;
    net_total_key key = total_key(n);
    std::unique_lock g(c.net_total_lock);
    void *data = nullptr;
    if (fhash_search(c.net_total_hash, &key, sizeof key, &data) == 0) {
        static_cast<net_total_limit_st *>(data)->upload_cnt++;
        return 0;
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
    uint32_t now = net_now_sec();
    // The process is its executable's digest and the start of its command line.
    char text[32 + 171 + 1];
    int tl = snprintf(text, sizeof text, "%.32s%.171s", p->md5, p->cmd_line);
    net_speed_key key{};
    addr16(n->sip, key.sip);
    addr16(n->dip, key.dip);
    key.dport = n->dport;
    key.proc_crc = mordek_crc32(text, tl > 0 ? (size_t)tl : 0);
    key.dns_crc = domain ? mordek_crc32(domain, strlen(domain)) : 0;

    net_conext &c = g_net_conext;
    std::unique_lock g(c.net_speed_lock);
    void *data = nullptr;
    if (fhash_search(c.net_speed_hash, &key, sizeof key, &data) == 0) {
        uint32_t t = static_cast<net_speed_limit_st *>(data)->update_time;
        KIV_LOG(4, "update_time:%u    cur_tm:%u\n", t, now);
        if (now - t < g_net_config.upload_time_interval && t <= now) {
            KIV_LOG(4, "%x-%x:%u, dns_crc:%d has upload in %u seconds!\n", u32_at(key.sip),
                    u32_at(key.dip), n->dport, (int)key.dns_crc, g_net_config.upload_time_interval);
            return -1;
        }
        return 0;
    }
    if (check_upl_hash_full(now) != 0) return 0;  // no room: upload without recording
    auto *node = static_cast<net_speed_limit_st *>(
        kiv_malloc(sizeof(net_speed_limit_st), MALLOC_FOR_NET_SPEED_LIMIT));
    if (!node) {
        KIV_LOG(1, "kiv_malloc net_speed_limit_st error!\n");
        return -1;
    }
    node->key = key;
    node->update_time = now;
    if (fhash_insert(c.net_speed_hash, &node->key, sizeof node->key, node) != 0) kiv_free(node);
    return 0;
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

int check_netscan_speed() {
    net_conext &c = g_net_conext;
    std::lock_guard g(c.netscan_count_mutex);
    if (c.netscan_count >= g_net_config.netscan_per_sec_limit) {
        KIV_LOG(4, "netscan_count(%u) is over netscan_per_sec_limit(%u)\n", c.netscan_count,
                g_net_config.netscan_per_sec_limit);
        return -1;
    }
    return 0;
}

void inc_netscan_count() {
    net_conext &c = g_net_conext;
    std::lock_guard g(c.netscan_count_mutex);
    c.netscan_count++;
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
