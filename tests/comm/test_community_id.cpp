// The Community ID against the values its authors publish for implementations to check:
// both directions of each flow, ICMP requests and replies as one flow, one-way ICMP,
// port-less protocols, IPv4 and IPv6, seed 0 on every protocol and seed 1 on one flow of each
// family.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm/community_id.h"

namespace {

struct vector_row {
    uint8_t proto;
    const char *saddr, *daddr;
    uint16_t sport, dport, seed;
    const char *id;
};

constexpr const char *kV4a = "1.2.3.4", *kV4b = "5.6.7.8";
constexpr const char *kV6a = "fe80:0001:0203:0405:0607:0809:0A0B:0C0D";
constexpr const char *kV6b = "fe80:1011:1213:1415:1617:1819:1A1B:1C1D";

const std::vector<vector_row> kPublished = {
    {6, kV4a, kV4b, 1122, 3344, 0, "1:wCb3OG7yAFWelaUydu0D+125CLM="},
    {6, kV4b, kV4a, 3344, 1122, 0, "1:wCb3OG7yAFWelaUydu0D+125CLM="},
    {17, kV4a, kV4b, 1122, 3344, 0, "1:0Mu9InQx6z4ZiCZM/7HXi2WMhOg="},
    {17, kV4b, kV4a, 3344, 1122, 0, "1:0Mu9InQx6z4ZiCZM/7HXi2WMhOg="},
    {132, kV4a, kV4b, 1122, 3344, 0, "1:EKt4MsxuyaE6mL+hmrEkQ9csDD8="},
    {132, kV4b, kV4a, 3344, 1122, 0, "1:EKt4MsxuyaE6mL+hmrEkQ9csDD8="},
    {1, kV4a, kV4b, 8, 0, 0, "1:crodRHL2FEsHjbv3UkRrfbs4bZ0="},   // echo request ...
    {1, kV4b, kV4a, 0, 0, 0, "1:crodRHL2FEsHjbv3UkRrfbs4bZ0="},   // ... and its reply
    {1, kV4a, kV4b, 11, 0, 0, "1:f/YiSyWqczrTgfUCZlBUnvHRcPk="},  // one way
    {58, kV6a, kV6b, 128, 0, 0, "1:0bf7hyMJUwt3fMED7z8LIfRpBeo="},
    {58, kV6b, kV6a, 129, 0, 0, "1:0bf7hyMJUwt3fMED7z8LIfRpBeo="},
    {58, kV6a, kV6b, 146, 0, 0, "1:fYC8+pz24E+EhANP1EZhpX0Dw10="},
    {46, kV4a, kV4b, 0, 0, 0, "1:ikv3kmf89luf73WPz1jOs49S768="},  // no ports
    {46, kV4b, kV4a, 7, 9, 0, "1:ikv3kmf89luf73WPz1jOs49S768="},  // ... whatever is given
    {46, kV6a, kV6b, 0, 0, 0, "1:wQ/2mwrnXP4lmJcHdGL5ePjR+e0="},
    {46, kV6b, kV6a, 0, 0, 0, "1:wQ/2mwrnXP4lmJcHdGL5ePjR+e0="},
    {6, kV4a, kV4b, 1122, 3344, 1, "1:HhA1B+6CoLbiKPEs5nhNYN4XWfk="},
    {58, kV6b, kV6a, 129, 0, 1, "1:IO27GQzPuCtNnwFvjWALMHu5tJE="},
    // Captured flows of the same set: neighbour discovery both ways, a one-way ICMPv6 with
    // a code, equal ports.
    {58, "fe80::200:86ff:fe05:80da", "fe80::260:97ff:fe07:69ea", 135, 136, 0,
     "1:dGHyGvjMfljg6Bppwm3bg0LO8TY="},
    {58, "fe80::260:97ff:fe07:69ea", "fe80::200:86ff:fe05:80da", 136, 135, 0,
     "1:dGHyGvjMfljg6Bppwm3bg0LO8TY="},
    {58, "3ffe:501:410:0:2c0:dfff:fe47:33e", "3ffe:507:0:1:200:86ff:fe05:80da", 1, 4, 0,
     "1:hLZd0XGWojozrvxqE0dWB1iM6R0="},
    {58, "fe80::200:86ff:fe05:80da", "ff02::2", 133, 134, 0, "1:hO+sN4H+MG5MY/8hIrXPqc4ZQz0="},
    {132, "192.168.170.56", "192.168.170.8", 7, 7, 0, "1:MP2EtRCAUIZvTw6MxJHLV7N7JDs="},
};

}  // namespace

TEST(CommunityId, PublishedValuesAndBadAddresses) {
    for (const vector_row &r : kPublished) {
        char id[COMMUNITY_ID_LEN];
        EXPECT_TRUE(community_id_v1(r.saddr, r.sport, r.daddr, r.dport, r.proto, r.seed, id));
        EXPECT_STREQ(id, r.id) << int(r.proto) << " " << r.saddr << ":" << r.sport << " -> "
                               << r.daddr << ":" << r.dport << " seed " << r.seed;
    }
    // Addresses that are not one family's, or not addresses: no ID, and no stale text.
    const std::vector<std::pair<const char *, const char *>> bad = {
        {"1.2.3.4", "::1"},      {"::1", "1.2.3.4"},        {"1.2.3", "1.2.3.4"}, {"", "1.2.3.4"},
        {"1.2.3.4", "1.2.3.4 "}, {"fe80::1%lo", "fe80::2"}, {nullptr, "1.2.3.4"}};
    for (const auto &[s, d] : bad) {
        char id[COMMUNITY_ID_LEN] = "stale";
        EXPECT_FALSE(community_id_v1(s, 1, d, 2, 6, 0, id)) << (s ? s : "null") << " " << d;
        EXPECT_STREQ(id, "");
    }
    EXPECT_EQ(community_proto_number("TCP"), 6);
    EXPECT_EQ(community_proto_number("ipv6-icmp"), 58);
    EXPECT_EQ(community_proto_number("icmpv6"), 0);
    EXPECT_EQ(community_proto_number(nullptr), 0);
}
