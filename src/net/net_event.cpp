// The nine network hooks: decode the kernel's connection, listen, reset and DNS records,
// pair connects with their establishment and queries with their answers, and hand the rest
// to the uploads. Every field is read by copy and only inside the record's stated length.
#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "base/log.h"
#include "base/mem.h"
#include "comm/fhash.h"
#include "framework/hook.h"
#include "framework/ring.h"
#include "net/net.h"
#include "net/dns_parse.h"
#include "net/net_event.h"
#include "qxkiv/process_query.h"

namespace {

template <class T>
T ld(const unsigned char *p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

const char *kEventNames[] = {"udp_send",     "listen",  "conn_in", "conn_out",
                             "conn_out_est", "dns_req", "dns_rsp", "in_rst"};

// The record's bytes when it holds at least `need` of them; null (logged) otherwise.
const unsigned char *record(char *msg, size_t need, uint32_t *len_out = nullptr) {
    if (!msg) return nullptr;
    kiv_msg_hdr h = kiv_msg_hdr_get(msg);
    if (h.len < need) {
        const char *name = h.type >= EV_UDP_SEND && h.type <= EV_IN_RST
                               ? kEventNames[h.type - EV_UDP_SEND]
                               : "network";
        KIV_LOG(1, "%s record too short: %u bytes, %zu needed; dropped\n", name, h.len, need);
        return nullptr;
    }
    if (len_out) *len_out = h.len;
    return reinterpret_cast<const unsigned char *>(msg);
}

void start_pn(const unsigned char *rec, pn_info *pn) {
    *pn = pn_info{};
    pn->create_time = ld<uint64_t>(rec + netrec::CREATE_TIME);
    pn->pid = ld<uint32_t>(rec + netrec::PID);
    kiv_stat_inc(NET_TOTAL_CAP);
}

bool is_udp(const unsigned char *rec) {
    return ld<uint16_t>(rec + netrec::PROTO) == IPPROTO_UDP;
}

// A node with the same key is replaced: a connect or query on the same addresses and ports
// again (a retransmission, a second query on one socket) is merged into the later one, and
// counted so, as nothing else would ever account for the one replaced.
template <class Node>
int store_pending(fhash *table, std::shared_mutex &lock, Node *node, uint32_t key_len,
                  uint32_t full_stat, const char *full_msg, uint32_t merge_stat) {
    {
        std::shared_lock g(lock);
        if (fhash_full(table) != 0) {
            kiv_stat_inc(full_stat);
            KIV_LOG(4, "%s\n", full_msg);
            kiv_free(node);
            return -1;
        }
    }
    std::unique_lock g(lock);
    void *old = nullptr;
    if (fhash_search(table, &node->key, key_len, &old) == 0) kiv_stat_inc(merge_stat);
    if (fhash_insert(table, &node->key, key_len, node) != 0) {
        // Filled up meanwhile.
        kiv_stat_inc(full_stat);
        KIV_LOG(4, "%s\n", full_msg);
        kiv_free(node);
        return -1;
    }
    return 0;
}

}  // namespace

const kiv_msg_hook s_event_ops[NET_OPS_NUM] = {
    {{nullptr, nullptr}, 1ull << EV_DNS_REQ, dns_query_event_cb, 0},
    {{nullptr, nullptr}, 1ull << EV_DNS_REQ, udp_send_event_cb, 2},
    {{nullptr, nullptr}, 1ull << EV_DNS_RSP, dns_answer_event_cb, 1},
    {{nullptr, nullptr}, 1ull << EV_UDP_SEND, udp_send_event_cb, 2},
    {{nullptr, nullptr}, 1ull << EV_LISTEN, tcp_listen_event_cb, 3},
    {{nullptr, nullptr}, 1ull << EV_CONN_IN, accept_event_cb, 4},
    {{nullptr, nullptr}, 1ull << EV_CONN_OUT, tcp_connect_event_cb, 5},
    {{nullptr, nullptr}, 1ull << EV_CONN_OUT_EST, tcp_establish_event_cb, 6},
    {{nullptr, nullptr}, 1ull << EV_IN_RST, net_scan_event_cb, 7},
};

int net_record_family(uint16_t family) {
    if (family == 2) return AF_INET;
    if (family == 10 && g_net_config.ipv6) return AF_INET6;
    return 0;
}

bool net_ip_text(const unsigned char *addr, int af, char out[NET_IP_TEXT_LEN]) {
    // Every record's two addresses pass here: IPv4 is written by hand (the C library's
    // inet_ntop formats each through sprintf), the same text.
    if (af == AF_INET) {
        char *o = out;
        for (int i = 0; i < 4; i++) {
            unsigned v = addr[i];
            if (v >= 100) *o++ = (char)('0' + v / 100);
            if (v >= 10) *o++ = (char)('0' + v / 10 % 10);
            *o++ = (char)('0' + v % 10);
            *o++ = i < 3 ? '.' : '\0';
        }
        return true;
    }
    if (inet_ntop(af, addr, out, NET_IP_TEXT_LEN)) return true;
    KIV_LOG(0, "net_str[%x], parse ip error, reason: %s\n", ld<uint32_t>(addr), strerror(errno));
    out[0] = '\0';
    return false;
}

void get_inet_from_event(const unsigned char *rec, pn_info *pn) {
    net_info &n = pn->net;
    int af = net_record_family(ld<uint16_t>(rec + netrec::FAMILY));
    if (!af) return;
    uint16_t sp = ld<uint16_t>(rec + netrec::SPORT), dp = ld<uint16_t>(rec + netrec::DPORT);
    n.sport = ntohs(sp);
    n.dport = ntohs(dp);
    net_ip_text(rec + netrec::SADDR, af, n.sip);
    net_ip_text(rec + netrec::DADDR, af, n.dip);
    KIV_LOG(4, "sp:%x si:%x dp:%x di:%x \n", sp, ld<uint32_t>(rec + netrec::SADDR), dp,
            ld<uint32_t>(rec + netrec::DADDR));
}

void swap_src_dst(net_info *n) {
    std::swap(n->sport, n->dport);
    char t[NET_IP_TEXT_LEN];
    memcpy(t, n->sip, sizeof t);
    memcpy(n->sip, n->dip, sizeof t);
    memcpy(n->dip, t, sizeof t);
}

void net_pair_key_from(const unsigned char *rec, bool host_order_ports, net_pair_key *key) {
    memcpy(key->saddr, rec + netrec::SADDR, 16);
    memcpy(key->daddr, rec + netrec::DADDR, 16);
    key->sport = ld<uint16_t>(rec + netrec::SPORT);
    key->dport = ld<uint16_t>(rec + netrec::DPORT);
    if (host_order_ports) {
        key->sport = ntohs(key->sport);
        key->dport = ntohs(key->dport);
    }
}

int connected_hash_insert(const unsigned char *rec) {
    net_conext &c = g_net_conext;
    {
        std::shared_lock g(c.connected_lock);
        if (fhash_full(c.connected_hash) != 0) {
            kiv_stat_inc(NET_CONNECTED_HASH_FULL);
            KIV_LOG(4, "connected hash full.\n");
            return 0;
        }
    }
    auto *node = static_cast<connected_limit_st *>(
        kiv_malloc(sizeof(connected_limit_st), MALLOC_FOR_NET_CONNECTED_HASH));
    if (!node) {
        KIV_LOG(1, "kiv_malloc connected_limit_st  error!\n");
        return -1;
    }
    net_pair_key_from(rec, true, &node->key);
    node->insert_time = net_now_sec();
    std::unique_lock g(c.connected_lock);
    if (fhash_insert(c.connected_hash, &node->key, sizeof node->key, node) != 0) {
        kiv_stat_inc(NET_CONNECTED_HASH_FULL);
        KIV_LOG(4, "connected hash full.\n");
        kiv_free(node);
        return 0;
    }
    KIV_LOG(4, "insert connected_hash :src_ip:%x,sport:%u,drc_ip:%x,dport:%u\n",
            ld<uint32_t>(node->key.saddr), node->key.sport, ld<uint32_t>(node->key.daddr),
            node->key.dport);
    return 0;
}

int udp_send_event_cb(char *msg, kiv_msg_ctx *) {
    const unsigned char *rec = record(msg, netrec::ADDR_END);
    if (!rec) return MSG_HOOK_DROP;
    if (!is_udp(rec)) return MSG_HOOK_ACCEPT;
    pn_info pn;
    start_pn(rec, &pn);
    get_inet_from_event(rec, &pn);
    memcpy(pn.net.proto, "udp", 4);
    pn.connect = g_udp_connect.load(std::memory_order_relaxed);
    pn.direction = 1;
    kiv_stat_inc(NET_UDP_SEND_CAP);
    KIV_LOG(4, "udp:pid:%d, sip:%s, sport:%d, dip:%s, dport:%d\n", pn.pid, pn.net.sip, pn.net.sport,
            pn.net.dip, pn.net.dport);
    net_info_upload(&pn);
    return MSG_HOOK_ACCEPT;
}

int accept_event_cb(char *msg, kiv_msg_ctx *) {
    const unsigned char *rec = record(msg, netrec::ADDR_END);
    if (!rec) return MSG_HOOK_DROP;
    pn_info pn;
    start_pn(rec, &pn);
    get_inet_from_event(rec, &pn);
    swap_src_dst(&pn.net);  // the peer that connected is the source
    memcpy(pn.net.proto, "tcp", 4);
    pn.connect = 1;
    pn.direction = 0;
    kiv_stat_inc(NET_ACCEPT_CAP);
    KIV_LOG(4, "tcp:pid:%d, sip:%s, sport:%d, dip:%s, dport:%d\n", pn.pid, pn.net.sip, pn.net.sport,
            pn.net.dip, pn.net.dport);
    connected_hash_insert(rec);
    net_info_upload(&pn);
    _add_app_type((int)pn.pid, "other_lp", 8);
    return MSG_HOOK_ACCEPT;
}

int tcp_connect_event_cb(char *msg, kiv_msg_ctx *) {
    const unsigned char *rec = record(msg, netrec::ADDR_END);
    if (!rec) return MSG_HOOK_DROP;
    pn_info pn;
    start_pn(rec, &pn);
    get_inet_from_event(rec, &pn);
    memcpy(pn.net.proto, "tcp", 4);
    pn.connect = 0;
    pn.direction = 1;
    kiv_stat_inc(NET_CONNECT_CAP);
    KIV_LOG(4, "tcp_connect:pid:%d, sip:%s, sport:%d, dip:%s, dport:%d\n", pn.pid, pn.net.sip,
            pn.net.sport, pn.net.dip, pn.net.dport);
    auto *node = static_cast<tcp_connect_upload *>(
        kiv_malloc(sizeof(tcp_connect_upload), MALLOC_FOR_NET_TCP_CONNECT));
    if (!node) {
        KIV_LOG(1, "kiv_malloc tcp_connect_upload  error!\n");
        return MSG_HOOK_DROP;
    }
    net_pair_key_from(rec, false, &node->key);
    node->pn = pn;
    node->insert_time = net_now_sec();
    net_conext &c = g_net_conext;
    if (store_pending(c.tcp_connect_hash, c.tcp_connect_lock, node, sizeof node->key,
                      NET_TCP_CONNECT_HASH_FULL, "[connected] tcp connect hash full.",
                      NET_UPLOAD_MERGE) != 0)
        return MSG_HOOK_DROP;
    return MSG_HOOK_ACCEPT;
}

int tcp_establish_event_cb(char *msg, kiv_msg_ctx *ctx) {
    const unsigned char *rec = record(msg, netrec::ADDR_END);
    if (!rec) return MSG_HOOK_DROP;
    pn_info log_pn{};
    get_inet_from_event(rec, &log_pn);
    KIV_LOG(4, "tcp_establish:sip:%s, sport:%d, dip:%s, dport:%d\n", log_pn.net.sip,
            log_pn.net.sport, log_pn.net.dip, log_pn.net.dport);
    net_pair_key key;
    net_pair_key_from(rec, false, &key);
    net_conext &c = g_net_conext;
    tcp_connect_upload found;
    bool have = false;
    {
        std::unique_lock g(c.tcp_connect_lock);
        void *data = nullptr;
        if (fhash_search(c.tcp_connect_hash, &key, sizeof key, &data) == 0) {
            found = *static_cast<tcp_connect_upload *>(data);
            fhash_delete(c.tcp_connect_hash, &key, sizeof key);
            have = true;
        }
    }
    if (!have && ctx && ctx->retry == 0) {
        KIV_LOG(4, "tcp_establish need to rely.\n");
        ctx->timeout = 1000;
        return MSG_HOOK_RELY;
    }
    kiv_stat_inc(NET_TOTAL_CAP);
    kiv_stat_inc(NET_ESTABLISH_CAP);
    if (!have) {
        KIV_LOG(3, "can not find tcp connect event.\n");
        return MSG_HOOK_DROP;
    }
    connected_hash_insert(rec);
    found.pn.connect = 1;
    net_info_upload(&found.pn);
    return MSG_HOOK_ACCEPT;
}

int dns_query_event_cb(char *msg, kiv_msg_ctx *) {
    uint32_t len = 0;
    const unsigned char *rec = record(msg, netrec::DNS_NAME + 1, &len);
    if (!rec) return MSG_HOOK_DROP;
    // The name must end inside the record and inside its 256-byte field.
    size_t room = std::min<size_t>(len - netrec::DNS_NAME, netrec::DNS_NAME_LEN);
    const char *name = reinterpret_cast<const char *>(rec + netrec::DNS_NAME);
    size_t name_len = strnlen(name, room);
    if (name_len == room) {
        KIV_LOG(1, "dns_req record: query name not terminated inside the record; dropped\n");
        return MSG_HOOK_DROP;
    }
    pn_info pn;
    start_pn(rec, &pn);
    get_inet_from_event(rec, &pn);
    memcpy(pn.net.proto, is_udp(rec) ? "udp" : "tcp", 4);
    pn.connect = g_udp_connect.load(std::memory_order_relaxed);
    pn.direction = 1;
    kiv_stat_inc(NET_DNSQ_CAP);
    KIV_LOG(4, "dns:%s, pid:%d, sip:%s, sport:%d, dip:%s, dport:%d\n", name, pn.pid, pn.net.sip,
            pn.net.sport, pn.net.dip, pn.net.dport);
    auto *node = static_cast<dns_query_upload_st *>(
        kiv_malloc(sizeof(dns_query_upload_st), MALLOC_FOR_NET_DNS_QUERY));
    if (!node) {
        KIV_LOG(1, "kiv_malloc dns_query_upload_st  error!\n");
        return MSG_HOOK_DROP;
    }
    net_pair_key_from(rec, false, &node->key);
    node->pn = pn;
    node->insert_time = net_now_sec();
    memset(node->domain, 0, sizeof node->domain);
    memcpy(node->domain, name, name_len);
    net_conext &c = g_net_conext;
    if (store_pending(c.dns_query_hash, c.dns_query_lock, node, dns_query_key_len(),
                      NET_DNSQ_HASH_FULL, "[dns] dns_query_hash full.",
                      NET_DNSQ_UPLOAD_MERGE) != 0) {
        if (!g_net_config.dns_pair_by_name) return MSG_HOOK_DROP;
        // No one can hide a query by filling the table: it goes out at once, unanswered.
        dns_query_sent_at_once(&pn);
        std::string copy(name, name_len);
        dns_query_upload(&pn, copy.c_str(), nullptr);
    }
    return MSG_HOOK_ACCEPT;
}

int dns_answer_event_cb(char *msg, kiv_msg_ctx *ctx) {
    uint32_t len = 0;
    const unsigned char *rec = record(msg, netrec::DNS_MSG, &len);
    if (!rec) return MSG_HOOK_DROP;
    uint16_t msg_len = ld<uint16_t>(rec + netrec::DNS_MSG_LEN);
    if (netrec::DNS_MSG + msg_len > len) {
        KIV_LOG(1, "dns_rsp record: message of %u bytes runs past the record's %u; dropped\n",
                msg_len, len);
        return MSG_HOOK_DROP;
    }
    dns_query_upload_st probe;
    net_pair_key &key = probe.key;
    net_pair_key_from(rec, false, &key);
    KIV_LOG(4, "dns_answer to find dns_query,key.sip:%u,key.dip:%u,key.sport:%u,key.dport:%u\n",
            ld<uint32_t>(key.saddr), ld<uint32_t>(key.daddr), key.sport, key.dport);
    char name[DNSA_NAME_LEN] = "", raw[DNSA_NAME_LEN] = "";
    dnsa_record *answers =
        dnsa_get_response_ip(rec + netrec::DNS_MSG, msg_len, name, (int)sizeof name,
                             g_net_config.ipv6 != 0, raw, (int)sizeof raw);
    // A kernel that copies label bytes names the query in the raw form: with escaped names
    // the answer pairs with either.
    const bool two_forms = strcmp(name, raw) != 0;
    // By name the answer looks up the query it answers; a name no query field can hold
    // answers none.
    const bool by_name = g_net_config.dns_pair_by_name != 0;
    net_conext &c = g_net_conext;
    dns_query_upload_st q;
    bool have = false;
    for (const char *form : {name, raw}) {
        if (form == raw && (!two_forms || !by_name)) break;
        memset(probe.domain, 0, sizeof probe.domain);
        size_t form_len = strnlen(form, DNSA_NAME_LEN);
        if (by_name && form_len < sizeof probe.domain) memcpy(probe.domain, form, form_len);
        if (by_name && form_len >= sizeof probe.domain) probe.domain[0] = '\x01';
        std::shared_lock g(c.dns_query_lock);
        void *data = nullptr;
        if (fhash_search(c.dns_query_hash, &key, dns_query_key_len(), &data) == 0) {
            q = *static_cast<dns_query_upload_st *>(data);
            have = true;
            break;
        }
    }
    if (!have && ctx && ctx->retry == 0) {
        KIV_LOG(4, "dns answer need to rely.\n");
        ctx->timeout = 1000;
        dnsa_clean(answers);
        return MSG_HOOK_RELY;
    }
    kiv_stat_inc(NET_TOTAL_CAP);
    kiv_stat_inc(NET_DNSA_CAP);
    if (!have) {
        KIV_LOG(3, "can not find dns_query.\n");
        dnsa_clean(answers);
        return MSG_HOOK_DROP;
    }
    q.domain[sizeof q.domain - 1] = '\0';
    if (answers &&
        (strncmp(name, q.domain, 256) == 0 || (two_forms && strncmp(raw, q.domain, 256) == 0))) {
        KIV_LOG(4, "domain(%s) got answer.\n", name);
        {
            std::unique_lock g(c.dns_query_lock);
            fhash_delete(c.dns_query_hash, &key, dns_query_key_len());
        }
        dns_query_upload(&q.pn, name, answers);
        dnsa_clean(answers);
        return MSG_HOOK_ACCEPT;
    }
    kiv_stat_inc(NET_DNSA_PARSE_FAIL);
    KIV_LOG(4, "do not get answers(%p), query:%s, answer:%s\n", (void *)answers, q.domain, name);
    dnsa_clean(answers);
    return MSG_HOOK_DROP;
}

int tcp_listen_event_cb(char *msg, kiv_msg_ctx *) {
    const unsigned char *rec = record(msg, netrec::LISTEN_END);
    if (!rec) return MSG_HOOK_DROP;
    listen_info l{};
    l.create_time = ld<uint64_t>(rec + netrec::CREATE_TIME);
    l.pid = ld<uint32_t>(rec + netrec::PID);
    kiv_stat_inc(NET_TOTAL_CAP);
    // A listener of family 10 carries all 16 bytes of its address; any other is IPv4.
    int af = net_record_family(ld<uint16_t>(rec + netrec::LISTEN_FAMILY)) == AF_INET6
                 ? AF_INET6
                 : AF_INET;
    if (af == AF_INET6 && !record(msg, netrec::LISTEN6_END)) return MSG_HOOK_DROP;
    if (!net_ip_text(rec + netrec::LISTEN_ADDR, af, l.ip)) return MSG_HOOK_DROP;
    l.port = ntohs(ld<uint16_t>(rec + netrec::LISTEN_PORT));
    kiv_stat_inc(NET_LISTEN_CAP);
    KIV_LOG(4, "listen:pid:%d, listen_ip:%s, listen_port:%d\n", l.pid, l.ip, l.port);
    listen_upload(&l);
    return MSG_HOOK_ACCEPT;
}

int net_scan_event_cb(char *msg, kiv_msg_ctx *) {
    const unsigned char *rec = record(msg, netrec::RST_END);
    if (!rec) return MSG_HOOK_DROP;
    netscan_info s{};
    s.family = net_record_family(ld<uint16_t>(rec + netrec::RST_FAMILY)) == AF_INET6 ? AF_INET6
                                                                                   : AF_INET;
    s.direction = rec[netrec::RST_DIRECTION];
    s.state = rec[netrec::RST_STATE];
    s.sport = ntohs(ld<uint16_t>(rec + netrec::RST_SPORT));
    s.dport = ntohs(ld<uint16_t>(rec + netrec::RST_DPORT));
    memcpy(s.saddr, rec + netrec::RST_SADDR, 16);
    memcpy(s.daddr, rec + netrec::RST_DADDR, 16);
    s.cap_time = net_now_sec();
    kiv_stat_inc(NET_TOTAL_CAP);
    kiv_stat_inc(NET_SCAN_CAP);
    KIV_LOG(4,
            "net_scan:saddr: %u.%u.%u.%u daddr:%u.%u.%u.%u sport:%d, dport:%d, "
            "cap_time:%u,direction:%u,state:%u\n",
            s.saddr[0], s.saddr[1], s.saddr[2], s.saddr[3], s.daddr[0], s.daddr[1], s.daddr[2],
            s.daddr[3], s.sport, s.dport, s.cap_time, s.direction, s.state);
    net_scan_upload(&s);
    return MSG_HOOK_ACCEPT;
}
