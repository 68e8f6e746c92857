// The network module's configuration (net.conf) and the kernel's network capture request.
#pragma once
#include <cstddef>
#include <cstdint>

#include "qxkiv/ini.h"

// Module configuration; the initial values are net.conf's defaults.
struct net_user_cfg {
    uint16_t dns_port = 53;
    uint32_t tcp_connect_hash_size = 1024;
    uint32_t dns_query_hash_size = 1024;
    uint32_t net_speed_hash_size = 1024;
    uint32_t net_total_hash_size = 10240;
    uint32_t listen_speed_hash_size = 1024;
    uint32_t connected_hash_hash_size = 1024;
    uint32_t upload_time_interval = 600;
    uint32_t upload_clean_expire = 60;
    uint32_t net_total_hash_increase_gap = 1024;
    uint32_t net_cnt_hash_limit = 1024;
    uint32_t net_total_upload_limit = 100000;
    uint32_t single_net_upload_limit = 1024;
    uint32_t net_total_rebuild_cycle = 7200;
    uint32_t netscan_per_sec_limit = 20;
    uint32_t conn_duration = 10;
    // Extensions, off when absent.
    uint32_t repeat_key_full = 0;      // repeat key: whole command line and the user
    uint32_t net_total_lru = 0;        // a full destination table forgets its oldest entry
    uint32_t dns_pair_by_name = 0;     // queries on one socket told apart by their name
    uint32_t dns_upload_per_proc = 0;  // DNS documents per process and minute; 0 unlimited
    uint32_t netscan_per_peer = 0;     // netscan_per_sec_limit counts per peer
    uint32_t ipv6 = 0;                 // records of family 10 decoded and asked of the kernel
    uint32_t dns_name_escape = 0;      // DNS names with their disguising bytes escaped
    uint32_t net_owner_backoff = 0;    // a process whose query failed is not asked for 5 s
    uint32_t community_id = 0;         // connection and DNS documents carry their flow's ID
    uint32_t community_id_seed = 0;    // the seed of that ID
};
extern net_user_cfg g_net_config;

// Fixed head of the kernel's network configuration request; the scan ports (16-bit, network
// order) follow it, then four zero bytes. Host order unless noted.
struct kernel_cfg {
    uint32_t len;  // NET_CFG_FIXED + 2 x port_cnt
    uint32_t ctl;  // NET_CTL_START or NET_CTL_STOP
    uint32_t enable;
    uint32_t pid;
    uint16_t dns_port;  // network order
    uint16_t flags;     // NET_CFG_*; zero unless an extension is on
    unsigned char loopback[16];  // IPv4 of "lo" in the first 4 bytes, network order
    unsigned char mgr[16];       // manager IPv4 in the first 4 bytes, host order
    uint32_t port_cnt;
};
static_assert(sizeof(kernel_cfg) == 56);
constexpr uint32_t NET_CFG_FIXED = 60;  // the head and the trailing zero word
constexpr uint32_t NET_PORT_CNT_MAX = 10000;
constexpr uint16_t NET_CFG_IPV6 = 1;        // capture IPv6 too
constexpr uint16_t NET_CFG_DNS_ESCAPE = 2;  // query names in presentation form, escaped
constexpr uint32_t NET_CTL_START = 7, NET_CTL_STOP = 1;
constexpr unsigned long KIV_IOCTL_NET_CONFIG = 0x7308;  // _IO('s', 8)

// Tests point the module at their own net.conf; null restores "@/../config/net.conf".
void net_set_conf_path(const char *path);
// Tests stand in for the kernel's answer to the request; null restores the device call.
typedef long (*net_ioctl_fn)(unsigned long request, unsigned long arg);
void net_set_ioctl(net_ioctl_fn fn);

// Fills *user_cfg and hands over a zeroed, filled request (kiv_free it); 0 or -1 (logged).
int net_load_config(net_user_cfg *user_cfg, kernel_cfg **out);
// 0 when exactly cfg->port_cnt ports of section's port_list were stored.
int load_netscan_port_list(kernel_cfg *cfg, ini_file_t *ini, const char *section);
// The IPv4 address of "lo", network order; 0 or -1 (logged).
int get_loopback_ip(uint32_t *addr);

int kiv_net_init();
void kiv_net_exit();
