// The network hooks on arbitrary records, in sequence, with the pairing and limit tables set
// up: each record gets a true header (the collector hands over exactly its stated bytes) and
// one of the network types, and goes through every hook registered for that type, so that
// connects meet their establishment and queries their answers. Nothing may be read outside a
// record; a hook may only accept, drop or ask to be retried.
//
// Input: records, each a type byte (taken modulo the eight network types), a flags byte
// (bit 0 a retry, bit 1 IPv6 decoded) and a u16 length, then the record's bytes from its start (the header's magic,
// length and type are made true).
#include <cstdint>
#include <cstring>
#include <vector>

#include "framework/hook.h"
#include "fuzz_input.h"
#include "framework/ring.h"
#include "net/net.h"
#include "net/net_event.h"
#include "qxkiv/process_query.h"

// No process query service here: every owner is unknown, so the hooks stop before the upload
// documents (which read only what the decoders produced).
KIV_API int query_tgid_info(int, uint64_t, int) {
    return -1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_input in{data, size};
    net_user_cfg cfg;
    // Small tables, so that full tables are reached too.
    cfg.tcp_connect_hash_size = cfg.dns_query_hash_size = cfg.connected_hash_hash_size = 4;
    cfg.net_speed_hash_size = cfg.net_total_hash_size = cfg.listen_speed_hash_size = 4;
    if (net_init_resource(&g_net_conext, &cfg) != 0) return 0;
    for (int n = 0; n < 64 && in.left > 0; n++) {
        uint16_t type = (uint16_t)(EV_UDP_SEND + in.u8() % (EV_IN_RST - EV_UDP_SEND + 1));
        uint8_t flags = in.u8();
        uint8_t retry = flags & 1;
        g_net_config.ipv6 = (flags >> 1) & 1;  // family 10 decoded or not
        std::vector<uint8_t> b = in.bytes(in.u16() % 1024);
        if (b.size() < 12) break;
        std::vector<char> rec(b.begin(), b.end());  // exactly the record
        uint16_t len = (uint16_t)rec.size();
        memcpy(rec.data(), &KIV_MSG_MAGIC, 4);
        memcpy(rec.data() + 4, &len, 2);
        memcpy(rec.data() + 6, &type, 2);
        for (const kiv_msg_hook &h : s_event_ops) {
            if (!(h.ev_mask & (1ull << type))) continue;
            kiv_msg_ctx ctx{};
            ctx.type = (uint8_t)type;
            ctx.retry = retry;
            int rc = h.handler(rec.data(), &ctx);
            if (rc != MSG_HOOK_ACCEPT && rc != MSG_HOOK_DROP && rc != MSG_HOOK_RELY)
                __builtin_trap();
            if (rc == MSG_HOOK_RELY && retry) __builtin_trap();
            if (rc == MSG_HOOK_DROP) break;
        }
    }
    net_release_resource(&g_net_conext);
    return 0;
}
