// The network module's shared context: the DNS servers and reachability found by the probe,
// the six pairing and limit tables with their locks, and the scan counter.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

struct fhash;
struct kiv_timer;

constexpr int NET_DNS_SERVER_MAX = 16;
constexpr int NET_IP_TEXT_LEN = 48;

struct net_dns_servers {
    uint32_t addr[NET_DNS_SERVER_MAX];  // IPv4, network order
    int32_t count;
};

struct net_conext {
    net_dns_servers dns_server;  // written by the framework thread only
    kiv_timer *timer;
    std::shared_mutex tcp_connect_lock;
    fhash *tcp_connect_hash;
    std::shared_mutex dns_query_lock;
    fhash *dns_query_hash;
    std::shared_mutex net_speed_lock;
    fhash *net_speed_hash;
    std::shared_mutex net_total_lock;
    fhash *net_total_hash;
    std::shared_mutex listen_speed_lock;
    fhash *listen_speed_hash;
    std::shared_mutex connected_lock;
    fhash *connected_hash;
    std::mutex netscan_count_mutex;
    uint32_t netscan_count;
};
extern net_conext g_net_conext;

// 1 while the last probe cycle found a DNS server that answers (1 before the first cycle).
extern std::atomic<int32_t> g_udp_connect;
// Set when the cycle's total upload limit was reached; cleared at the rebuild.
extern std::atomic<int32_t> g_net_stop_upload;

// The dotted text of the DNS server that last answered a probe ("" until one did). The
// framework thread writes it while collector threads read it, so it is copied under a lock.
void net_dns_server_ip_set(const char *ip);
void net_dns_server_ip_get(char out[NET_IP_TEXT_LEN]);
