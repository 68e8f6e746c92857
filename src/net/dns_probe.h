// Finding the host's DNS servers and probing them, which sets whether name resolution over
// UDP works (g_udp_connect) and which server answered (net_dns_server_ip_get).
#pragma once
#include <cstdint>

// Tests point these elsewhere; null (or 0) restores the defaults: "/etc/resolv.conf", the
// system resolver service's command, and port 53.
void dns_set_resolv_conf_path(const char *path);
void dns_set_resolve_cmd(const char *cmd);
void dns_set_probe_port(uint16_t port);

// One probe cycle, run by the module timer every 10 seconds on the framework thread.
void dns_connected_timer_func();
// servers holds NET_DNS_SERVER_MAX entries. 0 when at least one server is known, 1 otherwise.
int dns_get_dnsserver(uint32_t *servers, int *count);
// Reads the resolver configuration; the count is left unchanged when it cannot be read whole.
void dns_parse_conf(uint32_t *servers, int *count);
// The servers the system resolver service knows: 0 or -1.
int dns_get_systemd_resolve_conf(uint32_t *servers, int *count);
// 0 when the server (IPv4, network order) answered without error, -1 otherwise.
int dnsprobe(uint32_t server);
// Dotted name (cut to 255 characters) to DNS label form; out must hold 258 bytes. Empty
// labels are left out. Returns the bytes written, or -1 for a label over 63 characters.
int changetodnsnameformat(unsigned char *out, const char *name);
// Removes leading and trailing white space in place.
void strstrip(char *s);
