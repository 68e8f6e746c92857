// The live network source of userspace mode: eBPF hooks report connections, listening
// sockets, UDP sends and resets; a packet socket on the DNS port gives the DNS messages, each
// matched to its process by the local port the send hooks saw. The module's network records
// go into the low ring. Started and stopped by the network capture request.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernel/capture/bpf/live_net_ev.h"

// Event types of the records this source writes.
constexpr uint16_t LIVE_NET_T_UDP_SEND = 5, LIVE_NET_T_LISTEN = 6, LIVE_NET_T_CONN_IN = 7,
                   LIVE_NET_T_CONN_OUT = 8, LIVE_NET_T_CONN_OUT_EST = 9, LIVE_NET_T_DNS_REQ = 10,
                   LIVE_NET_T_DNS_RSP = 11, LIVE_NET_T_IN_RST = 12;
// Record lengths; an IPv6 listener's record carries its whole address.
constexpr uint32_t LIVE_NET_CONN_LEN = 72, LIVE_NET_LISTEN_LEN = 36, LIVE_NET_LISTEN6_LEN = 48,
                   LIVE_NET_RST_LEN = 52;
constexpr uint16_t LIVE_NET_AF_INET = 2, LIVE_NET_AF_INET6 = 10;
constexpr uint32_t LIVE_NET_NAME_LEN = 256, LIVE_NET_DNS_REQ_LEN = 72 + LIVE_NET_NAME_LEN;
constexpr uint32_t LIVE_NET_DNS_RSP_HEAD = 74, LIVE_NET_RECORD_MAX = 6144;
constexpr uint32_t LIVE_NET_DNS_MSG_MAX = LIVE_NET_RECORD_MAX - LIVE_NET_DNS_RSP_HEAD;

struct capture_counters;
struct live_listen_sock;

using live_net_bytes = std::vector<unsigned char>;

// A 16-byte address field: IPv4 in the first four bytes (network order), the rest zero; IPv6
// in all sixteen.
using live_net_addr = std::array<uint8_t, 16>;
live_net_addr live_net_v4(uint32_t addr_be);

// The process and addresses of a connection record; addresses and ports in network order,
// the source being the local end.
struct live_net_conn {
    uint64_t create_time = 0;
    uint32_t pid = 0;
    uint16_t proto = 6;                  // 17 UDP, 6 TCP
    uint16_t family = LIVE_NET_AF_INET;  // or LIVE_NET_AF_INET6
    live_net_addr saddr{}, daddr{};
    uint16_t sport = 0, dport = 0;
};

// Record encoders; out is replaced. The DNS ones fail (-1, out empty) for a name that does
// not fit 256 bytes with its NUL, or a message longer than a record can carry.
void live_net_encode_conn(uint16_t type, const live_net_conn &c, live_net_bytes &out);
int live_net_encode_dns_req(const live_net_conn &c, const char *name, live_net_bytes &out);
int live_net_encode_dns_rsp(const live_net_conn &c, const uint8_t *msg, size_t len,
                            live_net_bytes &out);
// A listener of family 10 gets that family at offset 28 and its whole address; IPv4 the first
// four bytes. A reset of family 10 carries the family at offset 12.
void live_net_encode_listen(uint64_t create_time, uint32_t pid, uint16_t family,
                            const live_net_addr &addr, uint16_t port, live_net_bytes &out);
void live_net_encode_rst(uint8_t direction, uint8_t state, uint16_t family,
                         const live_net_addr &saddr, uint16_t sport, const live_net_addr &daddr,
                         uint16_t dport, live_net_bytes &out);

// One UDP datagram or TCP segment as captured from its IP header; the payload points into the
// packet.
struct live_net_pkt {
    uint16_t family = LIVE_NET_AF_INET;
    uint8_t proto = 17;  // 17 UDP, 6 TCP
    live_net_addr saddr{}, daddr{};
    uint16_t sport = 0, dport = 0;  // network order
    const uint8_t *payload = nullptr;
    size_t len = 0;
    uint32_t seq = 0;       // TCP: the sequence number of the payload's first byte
    uint8_t tcp_flags = 0;  // TCP: FIN 0x01, SYN 0x02, RST 0x04, ...
};
// False for anything but a whole, unfragmented IPv4 UDP datagram or TCP segment, or an IPv6
// one whose transport header follows the fixed header (no extension headers), with its
// headers inside n.
bool live_net_parse_packet(const uint8_t *p, size_t n, live_net_pkt *out);
// The first question's name of a DNS message (comm/dns_name.h), the root as "": escaped, in
// presentation form, cut to its start and end when the escapes make it longer than out
// holds; or raw, its label bytes, as a kernel copies them. False (out empty) for a message
// without a question or a name that is malformed, compressed or longer than 256 wire bytes.
bool live_net_query_name(const uint8_t *msg, size_t len, char out[LIVE_NET_NAME_LEN],
                         bool escape = true);

// The capture request's fields this source uses, from its payload (already length-checked
// by the stand-in); false when the payload is too short for what it claims.
struct live_net_config {
    uint32_t ctl = 0, enable = 0, sensor_pid = 0;
    uint16_t dns_port = 0;             // network order
    bool ipv6 = false;                 // IPv6 asked for
    bool dns_escape = false;           // query names escaped, as the answers' parser writes them
    std::vector<uint16_t> scan_ports;  // host order
};
bool live_net_parse_config(const unsigned char *p, size_t len, live_net_config *out);

// The user-space half, without threads or the kernel: events and captured packets in,
// records out in order. Time is given by the caller (milliseconds, monotonic).
class live_net_core {
  public:
    // A record, the process it waits for (pid 0: none) and that process's create_time.
    using sink = std::function<void(live_net_bytes &&rec, uint32_t pid, uint64_t create_time)>;
    static constexpr uint64_t OWNER_WAIT_MS = 200;  // a packet waits this long for its sender
    static constexpr uint64_t OWNER_FRESH_MS = 2000;
    static constexpr uint64_t OWNER_IDLE_MS = 120000;
    static constexpr size_t PACKETS_MAX = 4096;
    // A scan (probes of closed scan ports) is reported once per peer address in this window.
    static constexpr uint64_t SCAN_WINDOW_MS = 60000;
    static constexpr size_t SCAN_PEERS_MAX = 4096;
    // A DNS message over TCP runs on into later segments of its connection for at most this
    // long; at most this many connections wait with at most this many bytes in all (a message
    // is at most 65,535 bytes behind its length).
    static constexpr uint64_t TCP_FLOW_IDLE_MS = 5000;
    static constexpr size_t TCP_FLOWS_MAX = 256;
    static constexpr size_t TCP_BYTES_MAX = 1 << 20;

    live_net_core(uint16_t dns_port_be, uint32_t sensor_pid, bool capture, int lo_ifindex,
                  bool ipv6 = false, bool dns_escape = false)
        : dns_port_(dns_port_be),
          sensor_(sensor_pid),
          capture_(capture),
          lo_(lo_ifindex),
          ipv6_(ipv6),
          dns_escape_(dns_escape) {}
    void on_event(const live_net_ev &e, uint64_t now_ms, const sink &out);
    // A captured packet from its IP header; pkttype and ifindex as the packet socket tells.
    void on_packet(const uint8_t *p, size_t n, int pkttype, int ifindex, uint64_t now_ms,
                   const sink &out);
    // Packets whose sender is known by now leave; those past their wait are dropped.
    void retry(uint64_t now_ms, const sink &out);
    size_t waiting() const { return packets_.size(); }
    uint64_t dropped() const { return dropped_; }
    // DNS messages over TCP that could not be put together from their segments (a gap in
    // the connection, the bounds above, or no rest within TCP_FLOW_IDLE_MS): not reported.
    uint64_t tcp_lost() const { return tcp_lost_; }
    size_t tcp_waiting() const { return flows_.size(); }

  private:
    struct owner {
        uint32_t pid;
        uint64_t create_time;
        uint64_t seen_ms;
    };
    // One DNS message with the addresses of the packet that carried it.
    struct packet {
        uint64_t deadline_ms;
        live_net_pkt from;  // payload unset: the message is in msg
        live_net_bytes msg;
    };
    struct addr_hash {
        size_t operator()(const live_net_addr &a) const;
    };
    // One direction of a TCP connection to or from the DNS port.
    struct tcp_key {
        live_net_addr saddr, daddr;
        uint16_t sport, dport, family;
        bool operator==(const tcp_key &) const = default;
    };
    struct tcp_key_hash {
        size_t operator()(const tcp_key &k) const;
    };
    // The start of a message whose rest is in later segments, and where they continue.
    struct tcp_flow {
        uint32_t next_seq;
        uint64_t last_ms;
        live_net_bytes buf;
    };
    using tcp_flows = std::unordered_map<tcp_key, tcp_flow, tcp_key_hash>;
    void tcp_segment(const live_net_pkt &pk, bool leaving, bool lo, uint64_t now_ms);
    // Whole messages from the front of buf to dns_message; returns the bytes they took.
    size_t tcp_messages(const live_net_pkt &from, const uint8_t *buf, size_t n, bool leaving,
                        bool lo, uint64_t now_ms);
    // A flow whose message cannot be completed: counted, logged, forgotten.
    void tcp_give_up(tcp_flows::iterator it, const char *why);
    void tcp_expire(uint64_t now_ms);
    // Whether a probe of a closed scan port from this peer opens a new report.
    bool new_scan(const live_net_addr &peer, uint64_t now_ms);
    void dns_message(const live_net_pkt &from, const uint8_t *msg, size_t len, bool leaving,
                     bool lo, uint64_t now_ms);
    // The owner table's key: UDP and TCP ports apart.
    static uint32_t port_key(uint8_t proto, uint16_t port) { return (uint32_t)proto << 16 | port; }
    // 1 done, 0 waits for its owner.
    int dns_record(const packet &pk, uint64_t now_ms, bool last_chance, const sink &out);
    void sweep(uint64_t now_ms);

    uint16_t dns_port_;
    uint32_t sensor_;
    bool capture_;
    int lo_;
    bool ipv6_;
    bool dns_escape_;
    std::unordered_map<uint32_t, owner> ports_;  // port_key of a local port -> sender
    std::deque<packet> packets_;
    std::unordered_map<live_net_addr, uint64_t, addr_hash> scanners_;  // peer -> first reported
    uint64_t swept_ms_ = 0;
    uint64_t dropped_ = 0;
    tcp_flows flows_;
    size_t flow_bytes_ = 0;
    uint64_t flows_swept_ms_ = 0;
    uint64_t tcp_lost_ = 0;
};

// The key of a listening socket in the programs' table of listeners (listen_key of
// live_net.bpf.c), with the address as the programs read it from the socket: IPv4, or an
// IPv4-mapped IPv6 one, as family 2; the unspecified IPv6 address as the IPv4 wildcard unless
// IPv6 is asked for; other IPv6 addresses (family 10) only when it is.
struct live_net_listen_key {
    uint64_t netns;    // cookie of the namespace
    uint32_t addr[4];  // network order; IPv4 in the first word
    uint16_t port;     // network order
    uint16_t family;
    uint32_t pad;
};
static_assert(sizeof(live_net_listen_key) == 32);
bool live_net_listen_key_of(const live_listen_sock &s, uint64_t netns, bool ipv6,
                            live_net_listen_key *k);

// Starts the source for a start request's payload (restarting it when it runs): 0, or -1
// with the reason in *why. Stop is idempotent.
int live_net_start(const unsigned char *cfg, size_t len, std::string *why);
void live_net_stop();
bool live_net_running();
// Whether DNS messages are captured (the packet socket opened).
bool live_net_capturing();
// Tests: every record as it leaves for the ring (null removes it).
void live_net_set_tap(void (*tap)(const unsigned char *rec, uint32_t len));
// Run time and count of the programs since load (kernel BPF statistics); false when off.
bool live_net_run_stats(capture_counters *out);
// Whether the source can run here: the privilege, BTF and a build with eBPF.
bool live_net_usable(std::string *why);
// Tests: the next start reads UDP sends with the send hooks and DNS with a packet socket, as
// where the socket-buffer programs cannot attach.
void live_net_force_send_hooks(bool on);
