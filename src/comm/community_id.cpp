#include "comm/community_id.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <strings.h>

#include <cstring>

namespace {

// An ICMP message's counterpart type makes a request and its reply one flow; a type without
// one is a one-way flow, hashed as sent. -1: none.
int icmp_counterpart(uint8_t proto, uint16_t type) {
    static constexpr uint16_t v4[][2] = {{8, 0},   {0, 8},  {13, 14}, {14, 13}, {15, 16},
                                         {16, 15}, {10, 9}, {17, 18}, {18, 17}};
    static constexpr uint16_t v6[][2] = {{128, 129}, {129, 128}, {133, 134}, {134, 133},
                                         {135, 136}, {136, 135}, {130, 131}, {131, 130},
                                         {139, 140}, {140, 139}, {144, 145}, {145, 144}};
    const auto find = [type](const auto &table) {
        for (const auto &row : table)
            if (row[0] == type) return int(row[1]);
        return -1;
    };
    return proto == COMMUNITY_PROTO_ICMP ? find(v4) : find(v6);
}

}  // namespace

bool community_id_v1(const char *saddr, uint16_t sport, const char *daddr, uint16_t dport,
                     uint8_t proto, uint16_t seed, char (&out)[COMMUNITY_ID_LEN]) {
    out[0] = '\0';
    unsigned char a[16], b[16];
    if (!saddr || !daddr) return false;
    const int family = strchr(saddr, ':') ? AF_INET6 : AF_INET;
    if (inet_pton(family, saddr, a) != 1 || inet_pton(family, daddr, b) != 1) return false;
    const size_t alen = family == AF_INET6 ? 16 : 4;

    const bool icmp = proto == COMMUNITY_PROTO_ICMP || proto == COMMUNITY_PROTO_ICMP6;
    const bool ports = icmp || proto == COMMUNITY_PROTO_TCP || proto == COMMUNITY_PROTO_UDP ||
                       proto == COMMUNITY_PROTO_SCTP;
    bool one_way = false;
    if (icmp) {
        const int peer = icmp_counterpart(proto, sport);
        one_way = peer < 0;
        if (!one_way) dport = static_cast<uint16_t>(peer);
    }
    // The smaller address (then port) first, so both directions hash alike.
    const int order = memcmp(a, b, alen);
    const bool swap = !one_way && (order > 0 || (order == 0 && ports && sport > dport));

    unsigned char in[2 + 16 + 16 + 2 + 4];
    size_t n = 0;
    in[n++] = static_cast<unsigned char>(seed >> 8), in[n++] = static_cast<unsigned char>(seed);
    memcpy(in + n, swap ? b : a, alen), n += alen;
    memcpy(in + n, swap ? a : b, alen), n += alen;
    in[n++] = proto, in[n++] = 0;
    if (ports) {
        const uint16_t first = swap ? dport : sport, second = swap ? sport : dport;
        in[n++] = static_cast<unsigned char>(first >> 8),
        in[n++] = static_cast<unsigned char>(first);
        in[n++] = static_cast<unsigned char>(second >> 8);
        in[n++] = static_cast<unsigned char>(second);
    }
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(in, n, digest);
    memcpy(out, "1:", 2);
    EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out + 2), digest, sizeof digest);
    return true;
}

uint8_t community_proto_number(const char *name) {
    static constexpr struct {
        const char *name;
        uint8_t number;
    } names[] = {{"tcp", COMMUNITY_PROTO_TCP},
                 {"udp", COMMUNITY_PROTO_UDP},
                 {"sctp", COMMUNITY_PROTO_SCTP},
                 {"icmp", COMMUNITY_PROTO_ICMP},
                 {"ipv6-icmp", COMMUNITY_PROTO_ICMP6}};
    for (const auto &p : names)
        if (name && strcasecmp(name, p.name) == 0) return p.number;
    return 0;
}
