// The four network documents: connections, DNS queries with their answers, suspected port
// scans and listening sockets. Each upload attaches the owning process, applies the limits
// before anything is built, and hands the printed document to the host.
#include <arpa/inet.h>
#include <cjson/cJSON.h>

#include <cstring>

#include "base/clock.h"
#include "base/log.h"
#include "base/mem.h"
#include "comm/json_add.h"
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
// Processes whose query failed lately. A failed query costs the collector up to three
// 100 ms waits, and a process that is gone sends a burst of records: the burst's later
// records are given up at once. Per collector thread, so no lock.
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
    bool known_lost = slot.pid == pid && slot.create_time == create_time && now < slot.until_ms;
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

bool add_process_keys(cJSON *m, const proc_view *p, bool with_permit) {
    return add_int(m, "process_id", p->pid) && add_str(m, "process_guid", p->guid) &&
           add_str(m, "process_path", p->path) && add_str(m, "process_md5", p->md5) &&
           add_str(m, "process_sha256", p->sha256) &&
           add_u64(m, "process_createtime", p->createtime) &&
           add_str(m, "process_cmd_line", p->cmd_line) &&
           add_str(m, "process_group_name", p->group_name) &&
           add_str(m, "process_user_name", p->user_name) &&
           (!with_permit || add_str(m, "process_path_permit", p->path_permit));
}

bool add_record_head(cJSON *m, const upload_header *h, const char *id, const char *name) {
    return add_strn(m, "record_time", h->send_time) &&
           cJSON_AddNumberToObject(m, "record_timestamp", (double)h->send_timestamp) &&
           add_str(m, "event_id", id) && add_str(m, "event_name", name);
}

// The host-address fix: an unbound source is reported as this host.
void fix_source(net_info *n, const upload_header *h) {
    if (strcmp(n->sip, "0.0.0.0") == 0) fix_netinfo_ip(n, h->host_ip);
}

int format_connection_info(const upload_header *head, cJSON *info, pn_info *pn) {
    KIV_ASSERT(head && info && pn);
    fix_source(&pn->net, head);
    const net_info &n = pn->net;
    return add_record_head(info, head, "NETWORK_CONNECTION", "Network Connection") &&
                   add_process_keys(info, pn->proc_info, true) &&
                   add_str(info, "protocol", n.proto) && add_str(info, "src_ip", n.sip) &&
                   add_u64(info, "src_port", n.sport) && add_str(info, "dst_ip", n.dip) &&
                   add_u64(info, "dst_port", n.dport) && add_int(info, "connect", pn->connect) &&
                   add_int(info, "direction", pn->direction) &&
                   add_str(info, "container_id",
                           pn->proc_info->container_id[0] ? pn->proc_info->container_id : "host")
               ? 0
               : -1;
}

int format_dns_query_info(const upload_header *head, cJSON *info, pn_info *pn, const char *domain,
                          const dnsa_record *answers) {
    KIV_ASSERT(head && info && pn && domain);
    fix_source(&pn->net, head);
    char results[QUERY_RESULTS_LEN];
    dns_query_results(pn, answers, results);
    return add_record_head(info, head, "DNS_QUERY", "DNS Query") &&
                   add_process_keys(info, pn->proc_info, true) &&
                   add_int(info, "connect", pn->connect) && add_str(info, "src_ip", pn->net.sip) &&
                   add_u64(info, "src_port", pn->net.sport) &&
                   add_str(info, "query_name", domain) && add_int(info, "query_status", 1) &&
                   add_str(info, "container_id",
                           pn->proc_info->container_id[0] ? pn->proc_info->container_id : "host") &&
                   add_str(info, "query_results", results)
               ? 0
               : -1;
}

int format_listen_info(const upload_header *head, cJSON *info, const listen_info *l) {
    KIV_ASSERT(head && info && l);
    return add_record_head(info, head, "LISTENING", "listening") &&
                   add_process_keys(info, l->proc_info, false) &&
                   add_str(info, "protocol", "tcp") && add_str(info, "src_ip", l->ip) &&
                   add_u64(info, "src_port", l->port) &&
                   add_str(info, "container_id",
                           l->proc_info->container_id[0] ? l->proc_info->container_id : "host")
               ? 0
               : -1;
}

int format_net_scan_info(const upload_header *head, cJSON *info, const netscan_info *s) {
    KIV_ASSERT(head && info && s);
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
    return add_record_head(info, head, "NET_SCAN", "NET Scan") &&
                   add_str(info, "protocol", "tcp") && add_str(info, "src_ip", sip) &&
                   add_str(info, "dst_ip", dip) && add_u64(info, "src_port", s->sport) &&
                   add_u64(info, "dst_port", s->dport) && add_int(info, "direction", s->direction)
               ? 0
               : -1;
}

// Steps shared by the four documents: objects, header, message, tree, envelope, print, send.
template <class Fill>
int build_and_send(Fill fill, int tree_mode, int upload_type, const char *log_tag,
                   const netscan_info *scan) {
    cJSON *root = cJSON_CreateObject();
    if (!root) {
        KIV_LOG(1, "create upload info json fail\n");
        return -1;
    }
    cJSON *m = cJSON_CreateObject();
    if (!m) {
        KIV_LOG(1, "create message info json fail\n");
        cJSON_Delete(root);
        return -1;
    }
    upload_header h;
    if (get_log_ctm_header(&h) != 0) {
        KIV_LOG(1, "get header fail\n");
        cJSON_Delete(m);
        cJSON_Delete(root);
        return -1;
    }
    if (fill(&h, m) != 0) {
        KIV_LOG(1, "format message fail\n");
        cJSON_Delete(m);
        cJSON_Delete(root);
        return -1;
    }
    if (tree_mode >= 0 && format_proc_tree(m, tree_mode) != 0) {
        KIV_LOG(1, "proc tree format failed\n");
        cJSON_Delete(m);
        cJSON_Delete(root);
        return -1;
    }
    format_upload_header(root, m, &h);
    json_printed printed;
    json_print_local(root, &printed);
    const char *text = printed.text;
    const size_t len = printed.len;
    if (!text) {
        KIV_LOG(1, "json print fail\n");
        cJSON_Delete(root);
        return -1;
    }
    KIV_LOG(4, "%s: %s\n", log_tag, text);
    if (scan) inc_netscan_count(scan);
    if (mod_manager_upload(text, (uint32_t)len, upload_type, 0) != 0) {
        KIV_LOG(3, "upload error!\n\n");
        kiv_stat_inc(NET_UPLOAD_ERROR);
    } else {
        kiv_stat_inc(NET_TOTAL_UPLOAD);
    }
    cJSON_Delete(root);
    return 0;
}

int upload_connection_log(pn_info *pn) {
    return build_and_send(
        [pn](const upload_header *h, cJSON *m) { return format_connection_info(h, m, pn); },
        PROC_TREE_MODE_PICK, UPLOAD_NET_CONNECT, "format_connection_log", nullptr);
}

int upload_dns_query_log(pn_info *pn, const char *domain, const dnsa_record *answers) {
    return build_and_send(
        [&](const upload_header *h, cJSON *m) {
            return format_dns_query_info(h, m, pn, domain, answers);
        },
        PROC_TREE_MODE_PICK, UPLOAD_DNS_QUERY, "format_dns_query_log", nullptr);
}

int upload_listen_log(const listen_info *l) {
    return build_and_send(
        [l](const upload_header *h, cJSON *m) { return format_listen_info(h, m, l); },
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
        [s](const upload_header *h, cJSON *m) { return format_net_scan_info(h, m, s); }, -1,
        UPLOAD_NET_SCAN, "format_netscan_log", s);
}
