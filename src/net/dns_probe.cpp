// Finding the host's DNS servers and asking each for one name until one answers. Runs on the
// framework thread every 10 seconds; no memory is allocated.
#include "net/dns_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "base/log.h"
#include "comm/command.h"
#include "net/net_ctx.h"

namespace {

constexpr const char *kResolvConf = "/etc/resolv.conf";
constexpr const char *kResolveCmd =
    "systemd-resolve --status|grep \"DNS Servers\"|awk '{print $3}'";
// A local stub resolver: the real servers are behind it.
constexpr const char *kStubServer = "127.0.0.53";
// Public resolver tried when the stub hides the real servers and the service will not say.
constexpr const char *kFallbackServer = "8.8.8.8";
// Any public name that resolves; the answer itself is not looked at.
constexpr const char *kProbeDomain = "www.debian.org";
constexpr uint16_t kDnsPort = 53;

constexpr int kConfServerMax = 15;
constexpr size_t kLineSize = 1024;  // 1023 characters and the terminator
constexpr size_t kCmdOutSize = 512;
constexpr size_t kReplyMax = 1024;
constexpr int kProbeWaitMs = 3000;
constexpr size_t kDnsHeaderLen = 12;
constexpr size_t kNameTextMax = 256;  // the dotted name with its final dot

// Empty means the default.
std::mutex s_seam_lock;
char s_resolv_path[4096];
char s_resolve_cmd[1024];
std::atomic<uint16_t> s_probe_port{kDnsPort};

void set_seam(char *dst, size_t size, const char *value, const char *what) {
    std::lock_guard g(s_seam_lock);
    if (!value) value = "";
    if (strlen(value) >= size) {
        KIV_LOG(1, "%s too long, keeping the old one\n", what);
        return;
    }
    memcpy(dst, value, strlen(value) + 1);
}

void get_seam(char *dst, size_t size, const char *src, const char *def) {
    std::lock_guard g(s_seam_lock);
    snprintf(dst, size, "%s", src[0] ? src : def);
}

// One line without its newline. 1: a line; 0: end of file; -1: the line does not fit.
int read_line(FILE *fp, char *buf, size_t size) {
    size_t len = 0;
    int c;
    while ((c = getc(fp)) != EOF) {
        if (c == '\n') {
            buf[len] = '\0';
            return 1;
        }
        if (len + 1 >= size) return -1;
        buf[len++] = (char)c;
    }
    buf[len] = '\0';
    return len > 0 ? 1 : 0;
}

// "nameserver <IPv4>" appends the address; anything else on the line is ignored.
void parse_server_line(char *line, uint32_t *found, int *n) {
    if (line[0] != 'n') return;
    size_t word = strcspn(line, "\t ");
    if (word != strlen("nameserver") || strncmp(line, "nameserver", word) != 0) return;
    char *rest = line + word;
    strstrip(rest);
    uint32_t addr;
    if (inet_pton(AF_INET, rest, &addr) != 1) return;
    KIV_LOG(4, "resolve dns server is %s\n", rest);
    found[(*n)++] = addr;
}

int64_t mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Waits for the socket to become readable (an ICMP refusal makes it readable too). poll, not
// select: the descriptor may lie above FD_SETSIZE in a busy host.
bool wait_readable(int fd, int timeout_ms) {
    int64_t deadline = mono_ms() + timeout_ms;
    for (;;) {
        int left = (int)(deadline - mono_ms());
        if (left < 0) left = 0;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, left);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0) close(fd);
    }
};

uint16_t be16(const unsigned char *p) {
    return (uint16_t)(p[0] << 8 | p[1]);
}

}  // namespace

void dns_set_resolv_conf_path(const char *path) {
    set_seam(s_resolv_path, sizeof s_resolv_path, path, "resolv.conf path");
}

void dns_set_resolve_cmd(const char *cmd) {
    set_seam(s_resolve_cmd, sizeof s_resolve_cmd, cmd, "resolver command");
}

void dns_set_probe_port(uint16_t port) {
    s_probe_port.store(port ? port : kDnsPort, std::memory_order_relaxed);
}

void strstrip(char *s) {
    if (!s) return;
    char *b = s;
    while (*b && isspace((unsigned char)*b)) b++;
    size_t len = strlen(b);
    while (len > 0 && isspace((unsigned char)b[len - 1])) len--;
    memmove(s, b, len);
    s[len] = '\0';
}

int changetodnsnameformat(unsigned char *out, const char *name) {
    if (!out || !name) {
        KIV_LOG(1, "dns name format without %s\n", out ? "name" : "buffer");
        return -1;
    }
    char text[kNameTextMax + 1];
    // Cut so that the final dot always fits.
    snprintf(text, sizeof text, "%.*s.", (int)(kNameTextMax - 1), name);
    int w = 0;
    const char *label = text;
    for (const char *p = text; *p; p++) {
        if (*p != '.') continue;
        size_t len = (size_t)(p - label);
        if (len > 63) {
            // A length byte above 63 would read as a compression pointer.
            KIV_LOG(1, "dns name label too long (%zu) in %.64s\n", len, name);
            return -1;
        }
        // Empty labels (a trailing dot, "a..b") would end the name early on the wire.
        if (len > 0) {
            out[w++] = (unsigned char)len;
            memcpy(out + w, label, len);
            w += (int)len;
        }
        label = p + 1;
    }
    out[w++] = 0;
    return w;
}

void dns_parse_conf(uint32_t *servers, int *count) {
    char path[sizeof s_resolv_path];
    // Test runs and sandboxes name their own resolver configuration in the environment.
    const char *env = getenv("QXKIV_RESOLV_CONF");
    get_seam(path, sizeof path, s_resolv_path, env && *env ? env : kResolvConf);
    FILE *fp = fopen(path, "re");
    if (!fp) {
        KIV_LOG(1, "don't have such file called %s\n", path);
        return;
    }
    // Collected apart, so a file read only in part leaves the old list in place.
    uint32_t found[kConfServerMax];
    int n = 0;
    char line[kLineSize];
    bool whole = true;
    while (n < kConfServerMax) {
        int r = read_line(fp, line, sizeof line);
        if (r == 0) break;
        if (r < 0) {
            KIV_LOG(3, "input line too long,filename=%s\n", path);
            whole = false;
            break;
        }
        parse_server_line(line, found, &n);
    }
    // A read error (a directory, an I/O fault) looks like an early end of file.
    if (whole && ferror(fp)) {
        KIV_LOG(1, "read %s failed: %s\n", path, strerror(errno));
        whole = false;
    }
    fclose(fp);
    if (!whole) return;
    memcpy(servers, found, sizeof(uint32_t) * (size_t)n);
    *count = n;
}

int dns_get_systemd_resolve_conf(uint32_t *servers, int *count) {
    char cmd[sizeof s_resolve_cmd];
    get_seam(cmd, sizeof cmd, s_resolve_cmd, kResolveCmd);
    char out[kCmdOutSize];
    out[0] = '\0';
    int ret = kiv_execute_cmd(cmd, out, sizeof out);
    if (ret != 0) {
        KIV_LOG(1, "get systemd resovle conf error ret %d\n", ret);
        return -1;
    }
    size_t len = strlen(out);
    // A full buffer may have cut the last address short ("10.1.1.12" of "10.1.1.123").
    if (len == sizeof out - 1 && out[len - 1] != '\n') {
        char *last = strrchr(out, '\n');
        *(last ? last + 1 : out) = '\0';
    }
    if (out[strspn(out, " \t\r\n")] == '\0') {
        KIV_LOG(1, "can not get dns server addresss\n");
        return -1;
    }
    KIV_LOG(4, "dns server %s\n", out);
    int n = 0;
    char *save = nullptr;
    for (char *p = strtok_r(out, "\n", &save); p && n < NET_DNS_SERVER_MAX;
         p = strtok_r(nullptr, "\n", &save)) {
        strstrip(p);
        uint32_t addr;
        if (inet_pton(AF_INET, p, &addr) == 1) servers[n++] = addr;
    }
    *count = n;
    return 0;
}

int dns_get_dnsserver(uint32_t *servers, int *count) {
    dns_parse_conf(servers, count);
    if (*count <= 0 || *count > kConfServerMax) {
        KIV_LOG(0, "get dns server address over length\n");
        return 1;
    }
    uint32_t stub;
    if (inet_pton(AF_INET, kStubServer, &stub) != 1) {
        KIV_LOG(0, "trans server error\n");
        return 1;
    }
    if (*count == 1 && servers[0] == stub) {
        memset(servers, 0, sizeof(uint32_t) * NET_DNS_SERVER_MAX);
        *count = 0;
        // Only a service that fails sends the probe to the public fallback; one that names
        // no IPv4 server leaves nothing to probe.
        if (dns_get_systemd_resolve_conf(servers, count) != 0) {
            KIV_LOG(4, "no dns server from the resolver service, using %s\n", kFallbackServer);
            uint32_t fallback;
            if (inet_pton(AF_INET, kFallbackServer, &fallback) != 1) {
                KIV_LOG(0, "trans server error\n");
                *count = 0;
                return 1;
            }
            servers[0] = fallback;
            *count = 1;
        }
    }
    for (int i = 0; i < *count; i++) KIV_LOG(4, "last dns server:0x%x\n", servers[i]);
    return 0;
}

int dnsprobe(uint32_t server) {
    fd_guard s{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0) {
        KIV_LOG(1, "dns probe socket failed: %s\n", strerror(errno));
        return -1;
    }
    unsigned char query[kDnsHeaderLen + 258 + 4] = {};
    uint16_t id = htons((uint16_t)(getpid() & 0xffff));
    memcpy(query, &id, 2);
    query[2] = 0x01;  // standard query, recursion desired
    query[5] = 1;     // one question
    int n = changetodnsnameformat(query + kDnsHeaderLen, kProbeDomain);
    if (n < 0) return -1;
    size_t len = kDnsHeaderLen + (size_t)n;
    query[len + 1] = 1;  // type A
    query[len + 3] = 1;  // class IN
    len += 4;

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(s_probe_port.load(std::memory_order_relaxed));
    to.sin_addr.s_addr = server;
    // Not connected: a reply counts from whichever address it comes (a server with several
    // addresses may answer from another). IP_RECVERR still lets a refusal end the wait at once.
    int on = 1;
    if (setsockopt(s.fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0)
        KIV_LOG(3, "dns probe IP_RECVERR failed: %s\n", strerror(errno));
    if (sendto(s.fd, query, len, 0, (const sockaddr *)&to, sizeof to) != (ssize_t)len) {
        KIV_LOG(3, "dns probe send to 0x%x failed: %s\n", server, strerror(errno));
        return -1;
    }
    if (!wait_readable(s.fd, kProbeWaitMs)) {
        KIV_LOG(3, "dns probe of 0x%x got no reply\n", server);
        return -1;
    }
    unsigned char reply[kReplyMax];
    ssize_t got = recvfrom(s.fd, reply, sizeof reply, 0, nullptr, nullptr);
    if (got <= 0) {
        KIV_LOG(3, "dns probe of 0x%x received nothing: %s\n", server,
                got < 0 ? strerror(errno) : "empty reply");
        return -1;
    }
    if ((size_t)got < kDnsHeaderLen) {
        KIV_LOG(3, "dns probe reply from 0x%x too short (%zd bytes)\n", server, got);
        return -1;
    }
    int rcode = reply[3] & 0x0f;
    if (rcode != 0) {
        KIV_LOG(3, "dns probe of 0x%x answered with code %d\n", server, rcode);
        return -1;
    }
    // The counts are the server's word; they are only printed.
    KIV_LOG(4, "The response contains : \n");
    KIV_LOG(4, " %d Questions.\n", be16(reply + 4));
    KIV_LOG(4, " %d Answers.\n", be16(reply + 6));
    KIV_LOG(4, " %d Authoritative Servers.\n", be16(reply + 8));
    KIV_LOG(4, " %d Additional records.\n", be16(reply + 10));
    return 0;
}

void dns_connected_timer_func() {
    net_dns_servers &ds = g_net_conext.dns_server;
    if (dns_get_dnsserver(ds.addr, &ds.count) != 0) {
        g_udp_connect.store(0);
        return;
    }
    for (int i = 0; i < ds.count; i++) {
        if (dnsprobe(ds.addr[i]) != 0) continue;
        char ip[INET_ADDRSTRLEN];
        in_addr a{ds.addr[i]};
        inet_ntop(AF_INET, &a, ip, sizeof ip);
        net_dns_server_ip_set(ip);
        g_udp_connect.store(1);
        KIV_LOG(4, "udp connect=%d\n", 1);
        return;
    }
    KIV_LOG(4, "do not connect dns server\n");
    g_udp_connect.store(0);
}
