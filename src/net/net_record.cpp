// The four network documents: connections, DNS queries with their answers, suspected port
// scans and listening sockets. Each upload attaches the owning process, applies the limits
// before anything is built, and hands the printed document to the host.
#include <arpa/inet.h>

#include <cstring>

#include "base/clock.h"
#include "base/log.h"
#include "base/mem.h"
#include "comm/community_id.h"
#include "comm/json_add.h"
#include "framework/mod_manager.h"
#include "net/dns_parse.h"
#include "net/net.h"
#include "net/net_event.h"
#include "qxkiv/process_query.h"
#include "qxkiv/qxkiv.h"

namespace {

using proc_view = process_st_public;
constexpr int QUERY_RESULTS_LEN = 4096;

void dump_net_info(const net_info *n) {
    KIV_LOG(4, "net_info, proto = %s, sport = %u, sip = %s, dport = %u, dip = %s\n", n->proto,
            n->sport, n->sip, n->dport, n->dip);
}

void dump_proc_info(const proc_view *p) {
    KIV_LOG(4,
            "proc_info, pid = %d, guid = %s, path = %s, md5 = %s, cmd_line = %s, user_name = %s, "
            "group_name = %s\n",
            p->pid, p->guid, p->path, p->md5, p->cmd_line, p->user_name, p->group_name);
}

void dump_proc_net_info(const pn_info *pn) {
    dump_net_info(&pn->net);
    if (pn->proc_info) dump_proc_info(pn->proc_info);
}

// The query and the pop of the owning process; null (counted, logged) when it is unknown.
// With net_owner_backoff, processes whose query failed lately are not asked again for 5 s: a
// failed query costs the collector up to three 100 ms waits, and a process that is gone sends
// a burst of records, whose later records are given up at once. Per collector thread.
struct lost_owner {
    uint32_t pid;
    uint64_t create_time;
    uint64_t until_ms;
};
constexpr size_t LOST_OWNERS = 64;
constexpr uint64_t LOST_OWNER_MS = 5000;
thread_local lost_owner t_lost[LOST_OWNERS];

const proc_view *owner(uint32_t pid, uint64_t create_time) {
    uint64_t now = kiv_now_ms();
    lost_owner &slot = t_lost[(pid ^ create_time ^ (create_time >> 32)) % LOST_OWNERS];
    bool known_lost = g_net_config.net_owner_backoff && slot.pid == pid &&
                      slot.create_time == create_time && now < slot.until_ms;
    if (known_lost || query_tgid_info((int)pid, create_time, 1) < 0) {
        if (!known_lost) {
            KIV_LOG(1, "get process info failed,pid:%d\n", (int)pid);
            slot = lost_owner{pid, create_time, now + LOST_OWNER_MS};
        }
        kiv_stat_inc(NET_PROC_INFO_LOST);
        return nullptr;
    }
    const auto *p = reinterpret_cast<const proc_view *>(_pop_process_info());
    if (!p) KIV_LOG(1, "pop process info failed,pid:%d\n", (int)pid);
    return p;
}

void process_keys_text(json_text_obj &m, const proc_view *p, bool with_permit) {
    m.num("process_id", p->pid)
        .str("process_guid", p->guid)
        .str("process_path", p->path)
        .str("process_md5", p->md5)
        .str("process_sha256", p->sha256)
        .num("process_createtime", p->createtime)
        .str("process_cmd_line", p->cmd_line)
        .str("process_group_name", p->group_name)
        .str("process_user_name", p->user_name);
    if (with_permit) m.str("process_path_permit", p->path_permit);
}

const char *container_of(const proc_view *p) {
    return p->container_id[0] ? p->container_id : "host";
}

// With the key, the flow's Community ID; nothing when an address is not one (never here).
void community_id_text(json_text_obj &m, const net_info &n) {
    char id[COMMUNITY_ID_LEN];
    if (g_net_config.community_id &&
        community_id_v1(n.sip, n.sport, n.dip, n.dport, community_proto_number(n.proto),
                        static_cast<uint16_t>(g_net_config.community_id_seed), id))
        m.str("community_id", id);
}

// The host-address fix: an unbound source is reported as this host.
void fix_source(net_info *n, const upload_header *h) {
    if (strcmp(n->sip, "0.0.0.0") == 0) fix_netinfo_ip(n, h->host_ip);
}

void connection_text(const upload_header &head, json_text_obj &m, pn_info *pn) {
    fix_source(&pn->net, &head);
    const net_info &n = pn->net;
    record_head_text(m, head, "NETWORK_CONNECTION", "Network Connection");
    process_keys_text(m, pn->proc_info, true);
    m.str("protocol", n.proto)
        .str("src_ip", n.sip)
        .num("src_port", n.sport)
        .str("dst_ip", n.dip)
        .num("dst_port", n.dport)
        .num("connect", pn->connect)
        .num("direction", pn->direction)
        .str("container_id", container_of(pn->proc_info));
    community_id_text(m, n);
}

void dns_query_text(const upload_header &head, json_text_obj &m, pn_info *pn, const char *domain,
                    const dnsa_record *answers) {
    fix_source(&pn->net, &head);
    char results[QUERY_RESULTS_LEN];
    dns_query_results(pn, answers, results);
    record_head_text(m, head, "DNS_QUERY", "DNS Query");
    process_keys_text(m, pn->proc_info, true);
    m.num("connect", pn->connect)
        .str("src_ip", pn->net.sip)
        .num("src_port", pn->net.sport)
        .str("query_name", domain)
        .raw("query_status", "1")
        .str("container_id", container_of(pn->proc_info))
        .str("query_results", results);
    // The server asked: what the ID is computed from, so a reader can check it.
    if (g_net_config.community_id)
        m.str("protocol", pn->net.proto).str("dst_ip", pn->net.dip).num("dst_port", pn->net.dport);
    community_id_text(m, pn->net);
}

void listen_text(const upload_header &head, json_text_obj &m, const listen_info *l) {
    record_head_text(m, head, "LISTENING", "listening");
    process_keys_text(m, l->proc_info, false);
    m.str("protocol", "tcp")
        .str("src_ip", l->ip)
        .num("src_port", l->port)
        .str("container_id", container_of(l->proc_info));
}

void net_scan_text(const upload_header &head, json_text_obj &m, const netscan_info *s) {
    char sip[NET_IP_TEXT_LEN], dip[NET_IP_TEXT_LEN];
    if (s->family == AF_INET6) {
        net_ip_text(s->saddr, AF_INET6, sip);
        net_ip_text(s->daddr, AF_INET6, dip);
    } else {
        snprintf(sip, sizeof sip, "%u.%u.%u.%u", s->saddr[0], s->saddr[1], s->saddr[2],
                 s->saddr[3]);
        snprintf(dip, sizeof dip, "%u.%u.%u.%u", s->daddr[0], s->daddr[1], s->daddr[2],
                 s->daddr[3]);
    }
    record_head_text(m, head, "NET_SCAN", "NET Scan");
    m.str("protocol", "tcp")
        .str("src_ip", sip)
        .str("dst_ip", dip)
        .num("src_port", s->sport)
        .num("dst_port", s->dport)
        .num("direction", s->direction);
}

// Steps shared by the four documents: header, envelope, message, tree, send. Written as
// text, in the bytes the same tree would print: no tree of a few dozen allocations each.
template <class Fill>
int build_and_send(Fill fill, int tree_mode, int upload_type, const char *log_tag,
                   const netscan_info *scan) {
    upload_header h;
    if (get_log_ctm_header(&h) != 0) {
        KIV_LOG(1, "get header fail\n");
        return -1;
    }
    json_text_buffer buf;
    std::string &text = buf.text();
    json_text_obj envelope(text);
    upload_header_text(envelope, h);
    json_text_obj m = envelope.object("message");
    fill(h, m);
    if (tree_mode >= 0) proc_trees_text(m, tree_mode);
    m.close();
    envelope.close();
    KIV_LOG(4, "%s: %s\n", log_tag, text.c_str());
    if (scan) inc_netscan_count(scan);
    if (mod_manager_upload(text.data(), (uint32_t)text.size(), upload_type, 0) != 0) {
        KIV_LOG(3, "upload error!\n\n");
        kiv_stat_inc(NET_UPLOAD_ERROR);
    } else {
        kiv_stat_inc(NET_TOTAL_UPLOAD);
    }
    return 0;
}

int upload_connection_log(pn_info *pn) {
    return build_and_send(
        [pn](const upload_header &h, json_text_obj &m) { connection_text(h, m, pn); },
        PROC_TREE_MODE_PICK, UPLOAD_NET_CONNECT, "format_connection_log", nullptr);
}

int upload_dns_query_log(pn_info *pn, const char *domain, const dnsa_record *answers) {
    return build_and_send(
        [&](const upload_header &h, json_text_obj &m) { dns_query_text(h, m, pn, domain, answers); },
        PROC_TREE_MODE_PICK, UPLOAD_DNS_QUERY, "format_dns_query_log", nullptr);
}

int upload_listen_log(const listen_info *l) {
    return build_and_send(
        [l](const upload_header &h, json_text_obj &m) { listen_text(h, m, l); },
        PROC_TREE_MODE_POP, UPLOAD_NET_LISTENING, "format_listen_log", nullptr);
}

}  // namespace

int fix_netinfo_ip(net_info *n, const char *host_ip) {
    if (!host_ip || host_ip[0] == '\0') {
        KIV_LOG(0, "host ip error\n");
        return -1;
    }
    snprintf(n->sip, sizeof n->sip, "%s", host_ip);
    return 0;
}

void dns_query_results(const pn_info *pn, const dnsa_record *answers, char *out) {
    out[0] = '\0';
    if (!answers) {
        if (pn->net.dip[0] != '\0')
            snprintf(out, QUERY_RESULTS_LEN, "%s", pn->net.dip);
        else
            net_dns_server_ip_get(out);
        return;
    }
    size_t used = 0;
    for (const dnsa_record *a = answers; a; a = a->next) {
        bool v6 = a->type == DNSA_KIND_AAAA;
        if ((!v6 && a->type != DNSA_KIND_A) || ntohs(a->data_len) < (v6 ? 16 : 4) || !a->data)
            continue;
        char ip[INET6_ADDRSTRLEN];
        if (!inet_ntop(v6 ? AF_INET6 : AF_INET, a->data, ip, sizeof ip)) continue;
        size_t need = strlen(ip) + (used ? 1 : 0);
        if (used + need > QUERY_RESULTS_LEN - 1) continue;  // no longer fits: left out
        if (used) out[used++] = ',';
        memcpy(out + used, ip, strlen(ip));
        used += strlen(ip);
        out[used] = '\0';
    }
}

int net_info_upload(pn_info *pn) {
    if (pn->net.dport != g_net_config.dns_port && check_net_cnt(&pn->net) != 0) {
        kiv_stat_inc(NET_UPLOAD_OVERLIMIT);
        return 0;
    }
    pn->proc_info = owner(pn->pid, pn->create_time);
    if (!pn->proc_info) return -1;
    if (check_send_time(pn->proc_info, &pn->net, nullptr) != 0) {
        kiv_stat_inc(NET_UPLOAD_MERGE);
        return 0;
    }
    dump_proc_net_info(pn);
    inc_net_total_hash(&pn->net);
    return upload_connection_log(pn);
}

int dns_query_upload(pn_info *pn, const char *domain, const dnsa_record *answers) {
    if (!pn || !domain) {
        KIV_LOG(0, "para invalid,data:%p,dns:%p\n", (void *)pn, (const void *)domain);
        return -1;
    }
    pn->proc_info = owner(pn->pid, pn->create_time);
    if (!pn->proc_info) return -1;
    // A repeat is merged before it can spend the process's budget, and a query the budget
    // drops is not remembered as sent.
    if (send_time_check(pn->proc_info, &pn->net, domain, false) != 0) {
        kiv_stat_inc(NET_DNSQ_UPLOAD_MERGE);
        return 0;
    }
    if (check_dns_proc_rate(pn) != 0) return 0;
    if (check_send_time(pn->proc_info, &pn->net, domain) != 0) {
        kiv_stat_inc(NET_DNSQ_UPLOAD_MERGE);
        return 0;
    }
    dump_proc_net_info(pn);
    return upload_dns_query_log(pn, domain, answers);
}

int listen_upload(listen_info *l) {
    l->proc_info = owner(l->pid, l->create_time);
    if (!l->proc_info) return -1;
    if (check_port_and_exe(l) != 0) {
        kiv_stat_inc(NET_UPLOAD_MERGE);
        return 0;
    }
    int ret = upload_listen_log(l);
    _add_app_type((int)l->pid, "other_lp", 8);
    return ret;
}

int net_scan_upload(const netscan_info *s) {
    if (check_netscan_speed(s) != 0) {
        kiv_stat_inc(NET_SCAN_SPEED_LIMIT);
        return -1;
    }
    if (s->state == 1 && netscan_filter_rst(s) != 0) {
        KIV_LOG(4, "filter normal connected.\n");
        return -1;
    }
    return build_and_send(
        [s](const upload_header &h, json_text_obj &m) { net_scan_text(h, m, s); }, -1,
        UPLOAD_NET_SCAN, "format_netscan_log", s);
}
