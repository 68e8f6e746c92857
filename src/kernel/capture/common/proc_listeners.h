// Listening TCP sockets that were there before the sources started, and the processes that
// own them, read once from /proc: the programs only see a socket start listening.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// One listening socket of /proc/net/tcp (family 2) or /proc/net/tcp6 (family 10).
struct live_listen_sock {
    uint16_t family = 0;
    unsigned char addr[16] = {};  // network order; IPv4 in the first 4 bytes
    uint16_t port = 0;            // network order
    uint64_t inode = 0;
};

// Appends the sockets in state 0A (listen) of a /proc/net/tcp or tcp6 text, read for that
// family; the header and lines that do not parse are skipped. Returns how many were added.
size_t live_parse_listeners(std::string_view text, uint16_t family,
                            std::vector<live_listen_sock> &out);

struct live_listen_owner {
    live_listen_sock sock;
    uint32_t pid = 0;       // thread-group id
    uint64_t start_ns = 0;  // its start time since boot, in the ticks /proc gives
};
struct live_listen_scan {
    std::vector<live_listen_owner> owned;
    size_t listening = 0;       // sockets found listening
    size_t procs = 0, fds = 0;  // processes of this namespace and descriptors looked at
    uint64_t ms = 0;            // how long it took
};
// The listening sockets of this process's network namespace and their owners, each the
// oldest process of the namespace holding it (the one that opened it, or the one that handed
// it on, as socket activation does); skip_pid (the sensor) owns nothing.
void live_find_listeners(uint32_t skip_pid, live_listen_scan &out);
