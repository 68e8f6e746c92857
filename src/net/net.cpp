// The network module's start-up and shut-down: net.conf and the kernel's capture request.
#include "net/net.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/log.h"
#include "base/mem.h"
#include "comm/dirutils.h"
#include "comm/ini_key.h"
#include "framework/hook.h"
#include "framework/ring.h"
#include "net/net_event.h"
#include "qxkiv/qxkiv.h"

static_assert(KIV_IOCTL_NET_CONFIG == _IO('s', 8));
static_assert(offsetof(kernel_cfg, dns_port) == 16 && offsetof(kernel_cfg, loopback) == 20 &&
              offsetof(kernel_cfg, mgr) == 36 && offsetof(kernel_cfg, port_cnt) == 52);

net_user_cfg g_net_config;

namespace {

constexpr const char *NET_CONF_PATH = "@/../config/net.conf";
std::string s_conf_path = NET_CONF_PATH;
net_ioctl_fn s_ioctl = kiv_dev_ioctl;
bool s_inited;

constexpr ini_long_key k(const char *key, long def, long floor, long max) {
    return ini_long_key{key, def, floor, max, ini_oor::use_default, ini_oor::use_bound};
}
// The bucket array must fit one accounted block; counts and times stay within their fields.
constexpr long HASH_MAX = 1 << 19;
constexpr long kMaxField = INT32_MAX;
const ini_long_key kDnsPort = k("dns_port", 53, 1, 65535);
const ini_long_key kTcpConnectHash = k("tcp_connect_hash_size", 1024, 1, HASH_MAX);
const ini_long_key kDnsQueryHash = k("dns_query_hash_size", 1024, 1, HASH_MAX);
const ini_long_key kNetSpeedHash = k("net_speed_hash_size", 1024, 1, HASH_MAX);
const ini_long_key kNetTotalHash = k("net_total_hash_size", 10240, 1, HASH_MAX);
const ini_long_key kListenSpeedHash = k("listen_speed_hash_size", 1024, 1, HASH_MAX);
const ini_long_key kConnectedHash = k("connected_hash_hash_size", 1024, 1, HASH_MAX);
const ini_long_key kUploadInterval = k("upload_time_interval", 600, 0, kMaxField);
const ini_long_key kCleanExpire = k("upload_clean_expire", 60, 1, kMaxField);
const ini_long_key kIncreaseGap = k("net_total_hash_increase_gap", 1024, 1, kMaxField);
const ini_long_key kTotalUploadLimit = k("net_total_upload_limit", 100000, 0, kMaxField);
const ini_long_key kSingleUploadLimit = k("single_net_upload_limit", 1024, 0, kMaxField);
// A cycle of 0 would divide by zero at every minute check: it is taken as the default.
const ini_long_key kRebuildCycle = k("net_total_rebuild_cycle", 7200, 1, kMaxField);
const ini_long_key kScanPerSec = k("netscan_per_sec_limit", 20, 0, kMaxField);
const ini_long_key kConnDuration = k("conn_duration", 10, 0, kMaxField);
const ini_long_key kRepeatKeyFull = k("repeat_key_full", 0, 0, 1);
const ini_long_key kNetTotalLru = k("net_total_lru", 0, 0, 1);
const ini_long_key kDnsPairByName = k("dns_pair_by_name", 0, 0, 1);
const ini_long_key kDnsPerProc = k("dns_upload_per_proc", 0, 0, 1000000000);
const ini_long_key kScanPerPeer = k("netscan_per_peer", 0, 0, 1);
const ini_long_key kIpv6 = k("ipv6", 0, 0, 1);
const ini_long_key kDnsNameEscape = k("dns_name_escape", 0, 0, 1);
const ini_long_key kOwnerBackoff = k("net_owner_backoff", 0, 0, 1);
const ini_long_key kCommunityId = k("community_id", 0, 0, 1);
const ini_long_key kCommunityIdSeed = k("community_id_seed", 0, 0, 65535);
// Below one the port list cannot load; above the kernel's limit the limit is used.
const ini_long_key kPortCnt = k("port_cnt", 0, 0, NET_PORT_CNT_MAX);

// strtol base 0, as the kernel has always been given: a piece that is not a whole port
// 1..65535 is still sent (cut to 16 bits), with a warning naming it.
uint16_t parse_port(ini_file_t *ini, const char *s, size_t n) {
    std::string piece(s, n);
    size_t b = piece.find_first_not_of(" \t"), e = piece.find_last_not_of(" \t");
    piece = b == std::string::npos ? "" : piece.substr(b, e - b + 1);
    char *end;
    errno = 0;
    long v = strtol(piece.c_str(), &end, 0);
    auto port = (uint16_t)v;
    if (end == piece.c_str() || errno != 0 || *end != '\0' || v < 1 || v > 65535) {
        KIV_LOG(1, "port_list piece \"%.64s\" is not a port 1..65535, sending %u\n", piece.c_str(),
                (unsigned)port);
        ini_problem_note(ini_file_name(ini), "netscan", "port_list", piece.c_str(), false,
                         "%u (not a port 1..65535)", (unsigned)port);
    }
    return port;
}

long send_request(const kernel_cfg *cfg) {
    long ret = s_ioctl(KIV_IOCTL_NET_CONFIG, reinterpret_cast<unsigned long>(cfg));
    if (ret != 0) KIV_LOG(1, "qxe_ioctl failed, ret is %d\n", (int)ret);
    return ret;
}

}  // namespace

void net_set_conf_path(const char *path) {
    s_conf_path = path ? path : NET_CONF_PATH;
}

void net_set_ioctl(net_ioctl_fn fn) {
    s_ioctl = fn ? fn : kiv_dev_ioctl;
}

int load_netscan_port_list(kernel_cfg *cfg, ini_file_t *ini, const char *section) {
    const char *list = ini_file_get(ini, section, "port_list");
    if (!list) {
        ini_problem_note(ini_file_name(ini), section, "port_list", "", true,
                         "nothing: missing, the network module does not start");
        return -1;
    }
    auto *ports = reinterpret_cast<unsigned char *>(cfg) + sizeof(kernel_cfg);
    uint32_t stored = 0;
    for (const char *p = list;;) {
        const char *comma = strchr(p, ',');
        size_t n = comma ? (size_t)(comma - p) : strlen(p);
        uint16_t be = htons(parse_port(ini, p, n));
        memcpy(ports + 2 * stored, &be, 2);
        stored++;
        if (!comma || stored >= cfg->port_cnt) break;
        p = comma + 1;
    }
    if (stored == cfg->port_cnt) return 0;
    ini_problem_note(ini_file_name(ini), section, "port_list", list, true,
                     "nothing: %u ports for port_cnt %u, the network module does not start",
                     stored, cfg->port_cnt);
    return -1;
}

int get_loopback_ip(uint32_t *addr) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        KIV_LOG(0, "socket error: %s\n", strerror(errno));
        return -1;
    }
    ifreq req{};
    snprintf(req.ifr_name, sizeof req.ifr_name, "%s", "lo");
    req.ifr_addr.sa_family = AF_INET;
    int r = ioctl(fd, SIOCGIFADDR, &req);
    int err = errno;
    close(fd);
    if (r != 0) {
        KIV_LOG(0, "ioctl error: %s\n", strerror(err));
        return -1;
    }
    sockaddr_in sin;
    memcpy(&sin, &req.ifr_addr, sizeof sin);
    *addr = sin.sin_addr.s_addr;
    KIV_LOG(3, "get loopback_ip is:[0x%x]\n", *addr);
    return 0;
}

int net_load_config(net_user_cfg *c, kernel_cfg **out) {
    ini_file_t *ini = ini_conf_load(s_conf_path.c_str());
    if (!ini) return -1;
    auto sys = [ini](const ini_long_key &key) {
        return (uint32_t)ini_get_long_in_range(ini, "system", key);
    };
    auto scan = [ini](const ini_long_key &key) {
        return (uint32_t)ini_get_long_in_range(ini, "netscan", key);
    };
    c->dns_port = (uint16_t)sys(kDnsPort);
    c->tcp_connect_hash_size = sys(kTcpConnectHash);
    c->dns_query_hash_size = sys(kDnsQueryHash);
    c->net_speed_hash_size = sys(kNetSpeedHash);
    c->net_total_hash_size = sys(kNetTotalHash);
    c->listen_speed_hash_size = sys(kListenSpeedHash);
    c->connected_hash_hash_size = sys(kConnectedHash);
    c->upload_time_interval = sys(kUploadInterval);
    c->upload_clean_expire = sys(kCleanExpire);
    c->net_total_hash_increase_gap = sys(kIncreaseGap);
    c->net_cnt_hash_limit = c->net_total_hash_increase_gap;
    c->net_total_upload_limit = sys(kTotalUploadLimit);
    c->single_net_upload_limit = sys(kSingleUploadLimit);
    c->net_total_rebuild_cycle = sys(kRebuildCycle);
    c->netscan_per_sec_limit = scan(kScanPerSec);
    c->conn_duration = scan(kConnDuration);
    c->repeat_key_full = sys(kRepeatKeyFull);
    c->net_total_lru = sys(kNetTotalLru);
    c->dns_pair_by_name = sys(kDnsPairByName);
    c->dns_upload_per_proc = sys(kDnsPerProc);
    c->netscan_per_peer = scan(kScanPerPeer);
    c->ipv6 = sys(kIpv6);
    c->dns_name_escape = sys(kDnsNameEscape);
    c->net_owner_backoff = sys(kOwnerBackoff);
    c->community_id = sys(kCommunityId);
    c->community_id_seed = sys(kCommunityIdSeed);
    uint32_t n = scan(kPortCnt);

    uint32_t len = NET_CFG_FIXED + 2 * n;
    auto *cfg = static_cast<kernel_cfg *>(kiv_zalloc(len, MALLOC_FOR_NET_CONFIG));
    if (!cfg) {
        KIV_LOG(0, "kiv_zalloc kernel_cfg failed\n");
        ini_file_free(ini);
        return -1;
    }
    cfg->len = len;
    cfg->port_cnt = n;
    int ports = n >= 1 ? load_netscan_port_list(cfg, ini, "netscan") : -1;
    ini_file_free(ini);
    if (ports != 0) {
        KIV_LOG(0, "load port_list failed.\n");
        kiv_free(cfg);
        return -1;
    }
    cfg->dns_port = htons(c->dns_port);
    if (c->ipv6) cfg->flags |= NET_CFG_IPV6;
    if (c->dns_name_escape) cfg->flags |= NET_CFG_DNS_ESCAPE;
    cfg->pid = (uint32_t)getpid();
    uint32_t lo = 0;
    if (get_loopback_ip(&lo) == 0) memcpy(cfg->loopback, &lo, 4);
    // As inet_addr reads it: an address it cannot parse is 255.255.255.255.
    const char *mgr_ip = get_mgr_ip();
    uint32_t host = ntohl(inet_addr(mgr_ip ? mgr_ip : ""));
    memcpy(cfg->mgr, &host, 4);
    *out = cfg;
    return 0;
}

int kiv_net_init() {
    kernel_cfg *cfg = nullptr;
    if (net_load_config(&g_net_config, &cfg) != 0) {
        KIV_LOG(0, "net_load_config failed\n");
        return -1;
    }
    net_conext &c = g_net_conext;
    c.dns_server = net_dns_servers{};
    c.netscan_count = 0;
    g_udp_connect = 1;
    g_net_stop_upload = 0;
    net_dns_server_ip_set("");
    if (net_init_resource(&c, &g_net_config) != 0) {
        KIV_LOG(0, "net_init_resource failed\n");
        kiv_free(cfg);
        return -1;
    }
    if (register_msg_handler(s_event_ops, NET_OPS_NUM) != 0) {
        KIV_LOG(0, "register s_event_ops failed\n");
        net_release_resource(&c);
        kiv_free(cfg);
        return -1;
    }
    cfg->ctl = NET_CTL_START;
    cfg->enable = 1;
    long ret = send_request(cfg);
    kiv_free(cfg);
    if (ret != 0) {
        unregister_msg_handler(s_event_ops, NET_OPS_NUM);
        net_release_resource(&c);
        return ret < 0 && ret >= -0x7fffffff ? (int)ret : -1;
    }
    s_inited = true;
    KIV_LOG(2, "kiv_net_init ok\n");
    return 0;
}

void kiv_net_exit() {
    if (!s_inited) return;
    kernel_cfg stop[2]{};  // 60 bytes with the trailing zero word
    static_assert(sizeof stop >= NET_CFG_FIXED);
    stop[0].len = NET_CFG_FIXED;
    stop[0].ctl = NET_CTL_STOP;
    stop[0].enable = 0;
    send_request(&stop[0]);
    unregister_msg_handler(s_event_ops, NET_OPS_NUM);
    net_release_resource(&g_net_conext);
    s_inited = false;
    KIV_LOG(2, "kiv_net_exit\n");
}
