// The network module's decoded events, the pairing and limit tables' nodes, and the paths
// between the hooks, the limits and the uploads.
#pragma once
#include <cstddef>
#include <cstdint>

#include "net/net_ctx.h"

struct cJSON;
struct dnsa_record;
struct kiv_msg_ctx;
struct process_st_public;
struct upload_header;

// Offsets in the kernel's connection, listen and reset records (from the record's start).
namespace netrec {
constexpr size_t CREATE_TIME = 16, PID = 24, FAMILY = 28, PROTO = 30, SPORT = 32, DPORT = 34,
                 SADDR = 36, DADDR = 52, ADDR_END = 68;
constexpr size_t DNS_NAME = 72, DNS_NAME_LEN = 256;
constexpr size_t DNS_MSG_LEN = 72, DNS_MSG = 74;
constexpr size_t LISTEN_FAMILY = 28, LISTEN_PORT = 30, LISTEN_ADDR = 32, LISTEN_END = 36,
                 LISTEN6_END = 48;
// The reset's family (10 for IPv6) is read only while IPv6 is decoded.
constexpr size_t RST_FAMILY = 12, RST_DIRECTION = 14, RST_STATE = 15, RST_SPORT = 16, RST_DPORT = 18, RST_SADDR = 20,
                 RST_DADDR = 36, RST_END = 52;
}  // namespace netrec

struct net_info {
    char proto[4];
    uint32_t sport, dport;  // host order
    char sip[NET_IP_TEXT_LEN], dip[NET_IP_TEXT_LEN];
};

struct pn_info {
    uint64_t create_time;
    uint32_t pid;
    int32_t connect;
    int32_t direction;
    const process_st_public *proc_info;  // the query's record, set at upload
    net_info net;
};

struct listen_info {
    uint64_t create_time;
    uint32_t pid;
    uint16_t port;  // host order
    char ip[NET_IP_TEXT_LEN];
    const process_st_public *proc_info;
};

struct netscan_info {
    uint16_t family;  // AF_INET6 for an IPv6 reset, else AF_INET
    uint8_t direction;
    uint8_t state;
    uint16_t sport, dport;  // host order
    uint8_t saddr[16], daddr[16];
    uint32_t cap_time;
};

// Pairing key: both addresses as the kernel gives them, then the ports (network order for
// the pairing tables, host order for connected_hash).
struct net_pair_key {
    uint8_t saddr[16];
    uint8_t daddr[16];
    uint16_t sport, dport;
};
static_assert(sizeof(net_pair_key) == 36);

struct tcp_connect_upload {
    net_pair_key key;
    pn_info pn;
    uint32_t insert_time;
};

// With dns_pair_by_name the key runs on over the zero-padded name, so queries waiting on
// one socket are told apart by what they ask.
struct dns_query_upload_st {
    net_pair_key key;
    char domain[256];
    pn_info pn;
    uint32_t insert_time;
};
constexpr uint32_t DNS_NAME_KEY_LEN = sizeof(net_pair_key) + 256;
static_assert(offsetof(dns_query_upload_st, domain) == sizeof(net_pair_key));
// The key length of dns_query_hash under the loaded configuration.
uint32_t dns_query_key_len();

struct connected_limit_st {
    net_pair_key key;
    uint32_t insert_time;
};

// Whole seconds of the cached clock.
uint32_t net_now_sec();

// The address family a record's family field stands for: AF_INET for 2, AF_INET6 for 10
// while IPv6 is decoded, 0 for anything else.
int net_record_family(uint16_t family);
// Text of a 16-byte address field of family af (IPv4 in its first four bytes); "" (logged)
// when it cannot be rendered.
bool net_ip_text(const unsigned char *addr, int af, char out[NET_IP_TEXT_LEN]);

// Decoding (address part of a connection record of at least netrec::ADDR_END bytes).
void get_inet_from_event(const unsigned char *rec, pn_info *pn);
void swap_src_dst(net_info *n);
void net_pair_key_from(const unsigned char *rec, bool host_order_ports, net_pair_key *key);
int connected_hash_insert(const unsigned char *rec);

// Hooks.
int udp_send_event_cb(char *msg, kiv_msg_ctx *ctx);
int accept_event_cb(char *msg, kiv_msg_ctx *ctx);
int tcp_connect_event_cb(char *msg, kiv_msg_ctx *ctx);
int tcp_establish_event_cb(char *msg, kiv_msg_ctx *ctx);
int dns_query_event_cb(char *msg, kiv_msg_ctx *ctx);
int dns_answer_event_cb(char *msg, kiv_msg_ctx *ctx);
int tcp_listen_event_cb(char *msg, kiv_msg_ctx *ctx);
int net_scan_event_cb(char *msg, kiv_msg_ctx *ctx);
constexpr int NET_OPS_NUM = 9;
extern const struct kiv_msg_hook s_event_ops[NET_OPS_NUM];

// Tables and the timer.
int net_init_resource(net_conext *ctx, const struct net_user_cfg *cfg);
void net_release_resource(net_conext *ctx);
void common_timer_func(void *arg);
// The run count of the timer (tests read it).
uint32_t net_timer_runs();
int check_net_cnt(const net_info *n);
int inc_net_total_hash(const net_info *n);
int check_send_time(const process_st_public *p, const net_info *n, const char *domain);
// check_send_time; without record a new key is only looked up, not remembered.
int send_time_check(const process_st_public *p, const net_info *n, const char *domain, bool record);
// 0, or -1 when the process has had its DNS documents for this minute (counted, noted).
int check_dns_proc_rate(const pn_info *pn);
// Notes a query reported at once because no pending entry could hold it.
void dns_query_sent_at_once(const pn_info *pn);
// The minute's end of the limits: per-process counts start again, drops are told.
void net_limit_minute();
int check_upl_hash_full(uint32_t now);
int check_port_and_exe(const listen_info *l);
int check_netscan_speed();
void inc_netscan_count();
// With netscan_per_peer the reset's peer has its own count; otherwise as above.
int check_netscan_speed(const netscan_info *s);
void inc_netscan_count(const netscan_info *s);
int netscan_filter_rst(const netscan_info *s);
void net_cnt_timer_func(uint32_t sec);

// Uploads.
int net_info_upload(pn_info *pn);
int dns_query_upload(pn_info *pn, const char *domain, const dnsa_record *answers);
int listen_upload(listen_info *l);
int net_scan_upload(const netscan_info *s);
int fix_netinfo_ip(net_info *n, const char *host_ip);
// query_results text of a DNS record; out holds 4096 bytes.
void dns_query_results(const pn_info *pn, const dnsa_record *answers, char *out);
