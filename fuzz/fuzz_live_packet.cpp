// Captured packets and the programs' events through the live network source's user-space
// half: any bytes as a packet leaving or arriving on loopback or another device, between
// send and connect events that name the owners of ports, with time moving on. Nothing may be
// read outside a packet, and every record handed on must carry at least its header.
//
// Input: a flags byte (bit 0 IPv6 asked for), then steps: an op byte (bit 0 an event, else
// a packet; bit 1 leaving; bit 2 on loopback), an event's bytes (its struct, zero-filled
// when short) or a packet led by its u16 length, then a byte of milliseconds that pass.
#include <arpa/inet.h>
#include <linux/if_packet.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "kernel/capture/network.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_input in{data, size};
    constexpr int LO = 1, ETH = 2;
    live_net_core core(htons(53), 999, true, LO, in.u8() & 1);
    uint64_t now = 1000;
    live_net_core::sink sink = [](live_net_bytes &&rec, uint32_t, uint64_t) {
        if (rec.size() < 12) __builtin_trap();
    };
    for (int n = 0; n < 64 && in.left > 0; n++) {
        uint8_t op = in.u8();
        if (op & 1) {
            live_net_ev e{};
            std::vector<uint8_t> b = in.bytes(sizeof e);
            if (!b.empty()) memcpy(&e, b.data(), b.size());
            core.on_event(e, now, sink);
        } else {
            std::vector<uint8_t> p = in.bytes(in.u16() % 4096);
            core.on_packet(p.data(), p.size(), op & 2 ? PACKET_OUTGOING : PACKET_HOST,
                           op & 4 ? LO : ETH, now, sink);
        }
        now += in.u8();
    }
    core.retry(now + live_net_core::OWNER_WAIT_MS, sink);
    return 0;
}
