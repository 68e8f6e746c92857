// Parser of DNS response messages as the kernel hands them over: the question name and the
// address records (IPv4; IPv6 when asked). Only the subset below is understood; anything
// else refuses the whole message. Compression pointers are stepped over, never followed, and
// every read is checked against the message bounds.
#pragma once
#include <cstdint>

constexpr int DNSA_NAME_LEN = 256;
constexpr int DNSA_HEADER_LEN = 12;

// Kind of a decoded resource record.
constexpr uint16_t DNSA_KIND_A = 1;
constexpr uint16_t DNSA_KIND_CNAME = 5;
constexpr uint16_t DNSA_KIND_OTHER = 15;  // NS, SOA, MX, and AAAA unless asked for: stepped over
constexpr uint16_t DNSA_KIND_AAAA = 28;   // kept only when asked for (IPv6 decoded)

// One kept address record. The whole list, records and data, is one block
// (MALLOC_FOR_NET_DNSA_RECORD) that its head starts; it belongs to the caller.
struct dnsa_record {
    char name[DNSA_NAME_LEN];  // the question name, not the record's owner name
    uint16_t type;             // DNSA_KIND_*
    uint16_t rr_type;          // the next four as on the wire, network order
    uint16_t rr_class;
    uint32_t rr_ttl;
    uint16_t data_len;
    uint8_t *data;  // data_len bytes (network order length)
    dnsa_record *next;
};

// Head of the list of address records of `msg` (A, and AAAA with `aaaa`), or null when the
// message is refused or holds none. On success the question name is copied into `name`, cut
// to `name_size`: escaped with the network module's dns_name_escape, else its raw label
// bytes; `raw` (when given) gets the raw form either way.
dnsa_record *dnsa_get_response_ip(const uint8_t *msg, int msg_len, char *name, int name_size,
                                  bool aaaa = false, char *raw = nullptr, int raw_size = 0);

// Frees the list (given by its head); null is allowed.
void dnsa_clean(dnsa_record *list);

// Logs each record's name, kind and address (level 4).
void dnsa_debug_print_answers(const dnsa_record *list);
