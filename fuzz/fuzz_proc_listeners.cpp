// The reader of /proc/net/tcp and tcp6 on arbitrary text, the first byte choosing the family
// (even IPv4, odd IPv6): every socket taken has that family and an inode, an IPv4 address
// fills only its first four bytes, and the count returned is the number added.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernel/capture/common/proc_listeners.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const uint16_t family = data[0] & 1 ? AF_INET6 : AF_INET;
    // An exact-size copy without a terminator, so a read past the text is caught.
    std::vector<char> text(data + 1, data + size);
    std::vector<live_listen_sock> out(1);
    size_t n = live_parse_listeners(std::string_view(text.data(), text.size()), family, out);
    if (n != out.size() - 1) __builtin_trap();
    for (size_t i = 1; i < out.size(); i++) {
        const live_listen_sock &s = out[i];
        if (s.family != family || s.inode == 0) __builtin_trap();
        for (int b = 4; family == AF_INET && b < 16; b++)
            if (s.addr[b]) __builtin_trap();
    }
    return 0;
}
