// Community ID (version 1): the flow hash that network sensors (Zeek, Suricata) print beside
// each flow, so that a host's connection can be joined with what the network saw. The host
// agent compiles the same source, so both schemas carry the same value.
#pragma once
#include <cstddef>
#include <cstdint>

// "1:" and 28 characters of base64, terminated.
constexpr size_t COMMUNITY_ID_LEN = 31;

constexpr uint8_t COMMUNITY_PROTO_ICMP = 1, COMMUNITY_PROTO_TCP = 6, COMMUNITY_PROTO_UDP = 17,
                  COMMUNITY_PROTO_ICMP6 = 58, COMMUNITY_PROTO_SCTP = 132;

// The ID of the flow between saddr:sport and daddr:dport (address texts, both IPv4 or both
// IPv6) of IP protocol proto, hashed with seed. For ICMP and ICMPv6 the ports are the
// message's type and code; protocols other than TCP, UDP, SCTP and the two ICMPs have no
// ports, and theirs are ignored. False, with out empty, when an address does not parse or the
// two are of different families.
bool community_id_v1(const char *saddr, uint16_t sport, const char *daddr, uint16_t dport,
                     uint8_t proto, uint16_t seed, char (&out)[COMMUNITY_ID_LEN]);

// "tcp", "udp", "sctp", "icmp", "ipv6-icmp" (as getprotobynumber names them, any case) to the
// protocol number; 0 for any other name.
uint8_t community_proto_number(const char *name);
