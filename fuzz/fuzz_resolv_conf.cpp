// The resolver configuration reader and the resolver service's output on arbitrary text:
// never more servers than the list holds, nothing written past them, and a name made of the
// same text always fits the label buffer.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "comm/command.h"
#include "net/dns_probe.h"
#include "net/net_ctx.h"

namespace {
const uint8_t *s_data;
size_t s_size;
constexpr uint32_t kSentinel = 0xa5a5a5a5;
}  // namespace

// The service's output is the fuzz input, cut as the command runner cuts it.
int kiv_execute_cmd(const char *, char *out, size_t out_size) {
    size_t n = std::min(s_size, out_size - 1);
    memcpy(out, s_data, n);
    out[n] = '\0';
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int fd = [] {
        int f = memfd_create("resolv.conf", 0);
        char path[64];
        snprintf(path, sizeof path, "/proc/self/fd/%d", f);
        dns_set_resolv_conf_path(path);
        return f;
    }();
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size) return 0;
    s_data = data;
    s_size = size;

    uint32_t servers[NET_DNS_SERVER_MAX + 1];
    std::fill(std::begin(servers), std::end(servers), kSentinel);
    int count = -7;
    dns_parse_conf(servers, &count);
    if (count != -7 && (count < 0 || count > 15)) __builtin_trap();
    for (int i = std::max(count, 0); i <= NET_DNS_SERVER_MAX; i++)
        if (servers[i] != kSentinel) __builtin_trap();

    std::fill(std::begin(servers), std::end(servers), kSentinel);
    count = -7;
    if (dns_get_systemd_resolve_conf(servers, &count) == 0 &&
        (count < 0 || count > NET_DNS_SERVER_MAX))
        __builtin_trap();
    if (servers[NET_DNS_SERVER_MAX] != kSentinel) __builtin_trap();

    char name[600];
    size_t n = std::min(size, sizeof name - 1);
    memcpy(name, data, n);
    name[n] = '\0';
    unsigned char wire[258];
    int w = changetodnsnameformat(wire, name);
    if (w > 257 || (w > 0 && wire[w - 1] != 0)) __builtin_trap();
    strstrip(name);
    return 0;
}
