// Definitions of the network module's shared context.
#include "net/net_ctx.h"

#include <cstdio>

net_conext g_net_conext;
std::atomic<int32_t> g_udp_connect{1};
std::atomic<int32_t> g_net_stop_upload{0};

namespace {
std::mutex s_ip_lock;
char s_dns_server_ip[NET_IP_TEXT_LEN];
}  // namespace

void net_dns_server_ip_set(const char *ip) {
    std::lock_guard g(s_ip_lock);
    snprintf(s_dns_server_ip, sizeof s_dns_server_ip, "%.47s", ip ? ip : "");
}

void net_dns_server_ip_get(char out[NET_IP_TEXT_LEN]) {
    std::lock_guard g(s_ip_lock);
    snprintf(out, NET_IP_TEXT_LEN, "%s", s_dns_server_ip);
}
