// Owners of the listening sockets found at start: /proc/net/tcp and tcp6 give the sockets
// in listen state with their inodes, the "socket:[INODE]" links below /proc/<pid>/fd their
// holders. Each descriptor directory is read once and only when something listens at all.
#include "kernel/capture/common/proc_listeners.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <unordered_map>

#include "kernel/capture/common/proc_records.h"

namespace {

constexpr unsigned TCP_LISTEN = 0x0A;

bool hex_value(std::string_view s, uint64_t *out) {
    if (s.empty() || s.size() > 16) return false;
    uint64_t v = 0;
    for (char c : s) {
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                       : -1;
        if (d < 0) return false;
        v = v << 4 | (uint64_t)d;
    }
    *out = v;
    return true;
}

bool dec_value(std::string_view s, uint64_t *out) {
    if (s.empty() || s.size() > 20) return false;
    uint64_t v = 0;
    for (char c : s) {
        uint64_t d = (uint64_t)(c - '0');
        if (c < '0' || c > '9' || v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    *out = v;
    return true;
}

// "ADDR:PORT" as the kernel prints it: each 32-bit word of the address with %08X as it lies
// in memory (so on this host's byte order), the port with %04X in host order.
bool parse_endpoint(std::string_view s, size_t addr_hex, live_listen_sock *out) {
    size_t colon = s.find(':');
    uint64_t port = 0;
    if (colon != addr_hex || !hex_value(s.substr(colon + 1), &port) || s.size() - colon - 1 > 4)
        return false;
    for (size_t w = 0; w < addr_hex / 8; w++) {
        uint64_t v;
        if (!hex_value(s.substr(w * 8, 8), &v)) return false;
        uint32_t word = (uint32_t)v;
        memcpy(out->addr + 4 * w, &word, 4);
    }
    out->port = htons((uint16_t)port);
    return true;
}

// The kernel lists listening sockets before all others, so a host with very many
// connections is read only so far; a line cut there is left out.
constexpr size_t NET_TEXT_MAX = 32u << 20;

std::string slurp(const char *path) {
    std::string text;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buf[65536];
    for (ssize_t n; text.size() < NET_TEXT_MAX && (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, (size_t)n);
    close(fd);
    if (text.size() >= NET_TEXT_MAX) text.resize(text.rfind('\n') + 1);
    return text;
}

}  // namespace

size_t live_parse_listeners(std::string_view text, uint16_t family,
                            std::vector<live_listen_sock> &out) {
    const size_t addr_hex = family == AF_INET6 ? 32 : family == AF_INET ? 8 : 0;
    if (!addr_hex) return 0;
    size_t added = 0;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        // sl: local remote st tx:rx tr:when retrnsmt uid timeout inode ...
        std::string_view tok[10];
        size_t n = 0;
        for (size_t at = 0; n < 10;) {
            at = line.find_first_not_of(" \t", at);
            if (at == std::string_view::npos) break;
            size_t end = line.find_first_of(" \t", at);
            tok[n++] = line.substr(at, end == std::string_view::npos ? line.size() - at : end - at);
            at = end;
        }
        live_listen_sock s;
        s.family = family;
        uint64_t state = 0;
        if (n < 10 || tok[0].back() != ':' || !parse_endpoint(tok[1], addr_hex, &s) ||
            !hex_value(tok[3], &state) || state != TCP_LISTEN || !dec_value(tok[9], &s.inode) ||
            s.inode == 0)
            continue;
        out.push_back(s);
        added++;
    }
    return added;
}

void live_find_listeners(uint32_t skip_pid, live_listen_scan &out) {
    const auto t0 = std::chrono::steady_clock::now();
    out = live_listen_scan{};
    std::vector<live_listen_sock> socks;
    live_parse_listeners(slurp("/proc/net/tcp"), AF_INET, socks);
    live_parse_listeners(slurp("/proc/net/tcp6"), AF_INET6, socks);
    out.listening = socks.size();
    struct holder {
        uint32_t pid = 0;
        uint64_t start_ns = 0;
    };
    std::unordered_map<uint64_t, holder> by_inode;
    for (auto &s : socks) by_inode.emplace(s.inode, holder{});
    struct stat own_ns;
    DIR *proc =
        by_inode.empty() || stat("/proc/self/ns/net", &own_ns) != 0 ? nullptr : opendir("/proc");
    while (dirent *de = proc ? readdir(proc) : nullptr) {
        uint64_t pid = 0;
        if (!dec_value(de->d_name, &pid) || pid == 0 || pid > UINT32_MAX || pid == skip_pid)
            continue;
        std::string ns = std::string(de->d_name) + "/ns/net",
                    fd_dir = std::string(de->d_name) + "/fd";
        struct stat st;
        // Another namespace's port numbers are not the host's; a process gone is skipped.
        if (fstatat(dirfd(proc), ns.c_str(), &st, 0) != 0 || st.st_ino != own_ns.st_ino ||
            st.st_dev != own_ns.st_dev)
            continue;
        out.procs++;
        int dfd = openat(dirfd(proc), fd_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR *fds = dfd >= 0 ? fdopendir(dfd) : nullptr;
        if (!fds) {
            if (dfd >= 0) close(dfd);
            continue;
        }
        uint64_t start = 0;  // read once, when the process holds a listener
        while (dirent *fe = readdir(fds)) {
            if (fe->d_name[0] == '.') continue;
            out.fds++;
            char link[64];
            ssize_t len = readlinkat(dirfd(fds), fe->d_name, link, sizeof link - 1);
            if (len <= 9 || memcmp(link, "socket:[", 8) != 0 || link[len - 1] != ']') continue;
            uint64_t ino = 0;
            if (!dec_value(std::string_view(link + 8, (size_t)len - 9), &ino)) continue;
            auto it = by_inode.find(ino);
            if (it == by_inode.end()) continue;
            if (!start && !(start = live_proc_create_time((uint32_t)pid))) break;  // gone
            holder &h = it->second;
            if (!h.pid || start < h.start_ns || (start == h.start_ns && pid < h.pid))
                h = holder{(uint32_t)pid, start};
        }
        closedir(fds);
    }
    if (proc) closedir(proc);
    for (auto &s : socks) {
        const holder &h = by_inode[s.inode];
        if (h.pid) out.owned.push_back(live_listen_owner{s, h.pid, h.start_ns});
    }
    out.ms = (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::steady_clock::now() - t0)
                 .count();
}
