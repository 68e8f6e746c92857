// One reader thread takes the programs' events and the captured DNS packets in turn, so a
// DNS message can wait for the send event that names its process (a connected socket's event
// comes just after its packet). Records then wait, in order, until the process source has
// reported their process and delivered every process event of before them (an exec just
// before a connect), so the sensor's query finds the process with its current image.
#include "kernel/capture/network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/log.h"
#include "base/mem.h"
#include "comm/dns_name.h"
#include "kernel/capture/common/kernel_access.h"
#include "kernel/capture/common/proc_listeners.h"
#include "kernel/capture/common/proc_records.h"
#include "kernel/ring_layout.h"
#include "kernel/standin/producer.h"
#include "qxkiv/kemu.h"

namespace {

constexpr uint8_t PROTO_UDP = 17, PROTO_TCP = 6;
constexpr size_t CFG_OFF_CTL = 4, CFG_OFF_ENABLE = 8, CFG_OFF_PID = 12, CFG_OFF_DNS_PORT = 16,
                 CFG_OFF_FLAGS = 18, CFG_OFF_PORT_CNT = 52, CFG_OFF_PORTS = 56;
constexpr uint16_t CFG_FLAG_IPV6 = 1, CFG_FLAG_DNS_ESCAPE = 2;

// Milliseconds from then to now; a then that is later (another reading of the clock) is 0.
uint64_t age(uint64_t now, uint64_t then) {
    return now > then ? now - then : 0;
}

uint16_t be16(const uint8_t *p) {
    return (uint16_t)(p[0] << 8 | p[1]);
}

void put_header(live_net_bytes &out, uint32_t len, uint16_t type, uint32_t pid) {
    out.assign(len, 0);
    unsigned char *m = out.data();
    kemu_st<uint32_t>(m, KIV_MSG_MAGIC);
    kemu_st<uint16_t>(m + 4, (uint16_t)len);
    kemu_st<uint16_t>(m + 6, type);
    kemu_st<uint32_t>(m + 8, pid);
}

void put_conn(live_net_bytes &out, uint32_t len, uint16_t type, const live_net_conn &c) {
    put_header(out, len, type, c.pid);
    unsigned char *m = out.data();
    kemu_st<uint64_t>(m + 16, c.create_time);
    kemu_st<uint32_t>(m + 24, c.pid);
    kemu_st<uint16_t>(m + 28, c.family);
    kemu_st<uint16_t>(m + 30, c.proto);
    // Ports and addresses keep their wire bytes.
    memcpy(m + 32, &c.sport, 2);
    memcpy(m + 34, &c.dport, 2);
    memcpy(m + 36, c.saddr.data(), 16);
    memcpy(m + 52, c.daddr.data(), 16);
}

}  // namespace

live_net_addr live_net_v4(uint32_t addr_be) {
    live_net_addr a{};
    memcpy(a.data(), &addr_be, 4);
    return a;
}

void live_net_encode_conn(uint16_t type, const live_net_conn &c, live_net_bytes &out) {
    put_conn(out, LIVE_NET_CONN_LEN, type, c);
}

int live_net_encode_dns_req(const live_net_conn &c, const char *name, live_net_bytes &out) {
    size_t n = strnlen(name, LIVE_NET_NAME_LEN);
    if (n >= LIVE_NET_NAME_LEN) {
        out.clear();
        return -1;
    }
    put_conn(out, LIVE_NET_DNS_REQ_LEN, LIVE_NET_T_DNS_REQ, c);
    memcpy(out.data() + 72, name, n);
    return 0;
}

int live_net_encode_dns_rsp(const live_net_conn &c, const uint8_t *msg, size_t len,
                            live_net_bytes &out) {
    if (len > LIVE_NET_DNS_MSG_MAX || (!msg && len)) {
        out.clear();
        return -1;
    }
    put_conn(out, LIVE_NET_DNS_RSP_HEAD + (uint32_t)len, LIVE_NET_T_DNS_RSP, c);
    kemu_st<uint16_t>(out.data() + 72, (uint16_t)len);
    if (len) memcpy(out.data() + LIVE_NET_DNS_RSP_HEAD, msg, len);
    return 0;
}

void live_net_encode_listen(uint64_t create_time, uint32_t pid, uint16_t family,
                            const live_net_addr &addr, uint16_t port, live_net_bytes &out) {
    bool v6 = family == LIVE_NET_AF_INET6;
    put_header(out, v6 ? LIVE_NET_LISTEN6_LEN : LIVE_NET_LISTEN_LEN, LIVE_NET_T_LISTEN, pid);
    unsigned char *m = out.data();
    kemu_st<uint64_t>(m + 16, create_time);
    kemu_st<uint32_t>(m + 24, pid);
    if (v6) kemu_st<uint16_t>(m + 28, family);
    memcpy(m + 30, &port, 2);
    memcpy(m + 32, addr.data(), v6 ? 16 : 4);
}

void live_net_encode_rst(uint8_t direction, uint8_t state, uint16_t family,
                         const live_net_addr &saddr, uint16_t sport, const live_net_addr &daddr,
                         uint16_t dport, live_net_bytes &out) {
    put_header(out, LIVE_NET_RST_LEN, LIVE_NET_T_IN_RST, 0);
    unsigned char *m = out.data();
    if (family == LIVE_NET_AF_INET6) kemu_st<uint16_t>(m + 12, family);
    m[14] = direction;
    m[15] = state;
    memcpy(m + 16, &sport, 2);
    memcpy(m + 18, &dport, 2);
    memcpy(m + 20, saddr.data(), 16);
    memcpy(m + 36, daddr.data(), 16);
}

namespace {

// The transport header at t of `room` bytes: UDP by its own length, TCP by its data offset.
bool transport(const uint8_t *t, size_t room, uint8_t proto, live_net_pkt *out) {
    size_t head, len;
    if (proto == PROTO_UDP) {
        if (room < 8) return false;
        len = be16(t + 4), head = 8;
        if (len < 8 || len > room) return false;
    } else {
        if (room < 20) return false;
        head = (size_t)(t[12] >> 4) * 4, len = room;
        if (head < 20 || head > room) return false;
        out->seq = (uint32_t)be16(t + 4) << 16 | be16(t + 6);
        out->tcp_flags = t[13];
    }
    out->proto = proto;
    memcpy(&out->sport, t, 2);
    memcpy(&out->dport, t + 2, 2);
    out->payload = t + head;
    out->len = len - head;
    return true;
}

}  // namespace

bool live_net_parse_packet(const uint8_t *p, size_t n, live_net_pkt *out) {
    if (!p || n < 20) return false;
    if ((p[0] >> 4) == 6) {
        size_t total = 40 + (size_t)be16(p + 4);
        if (n < 40 || total > n || (p[6] != PROTO_UDP && p[6] != PROTO_TCP)) return false;
        *out = live_net_pkt{};
        out->family = LIVE_NET_AF_INET6;
        memcpy(out->saddr.data(), p + 8, 16);
        memcpy(out->daddr.data(), p + 24, 16);
        return transport(p + 40, total - 40, p[6], out);
    }
    if ((p[0] >> 4) != 4) return false;
    size_t ihl = (size_t)(p[0] & 0x0f) * 4;
    size_t total = be16(p + 2);
    // Fragments carry no whole datagram: neither more-fragments nor an offset.
    if (ihl < 20 || total < ihl + 8 || total > n || (p[9] != PROTO_UDP && p[9] != PROTO_TCP) ||
        (be16(p + 6) & 0x3fff))
        return false;
    *out = live_net_pkt{};
    memcpy(out->saddr.data(), p + 12, 4);
    memcpy(out->daddr.data(), p + 16, 4);
    return transport(p + ihl, total - ihl, p[9], out);
}

bool live_net_query_name(const uint8_t *msg, size_t len, char out[LIVE_NET_NAME_LEN], bool escape) {
    out[0] = 0;
    if (!msg || len < 12 || be16(msg + 4) == 0) return false;
    dns_text name(escape);
    for (size_t pos = 12;;) {
        // 0xC0 starts a pointer, 0x40 and 0x80 are reserved: a question spells its name out.
        uint8_t label = pos < len ? msg[pos] : 0xFF;
        if (label == 0) break;
        // At most 256 wire bytes with the root, as the answer's parser takes.
        if ((label & 0xC0) || label > len - pos - 1 || pos - 12 + label + 2 > LIVE_NET_NAME_LEN ||
            !name.add_label(msg + pos + 1, label))
            return false;
        pos += (size_t)label + 1;
    }
    if (name.copy_to(out, LIVE_NET_NAME_LEN))
        KIV_LOG(3, "kemu: DNS query name of %zu characters cut to its start and end: %s\n",
                name.len, out);
    return true;
}

bool live_net_parse_config(const unsigned char *p, size_t len, live_net_config *out) {
    if (!p || len < CFG_OFF_PORTS) return false;
    live_net_config c;
    c.ctl = kemu_ld<uint32_t>(p + CFG_OFF_CTL);
    c.enable = kemu_ld<uint32_t>(p + CFG_OFF_ENABLE);
    c.sensor_pid = kemu_ld<uint32_t>(p + CFG_OFF_PID);
    memcpy(&c.dns_port, p + CFG_OFF_DNS_PORT, 2);
    c.ipv6 = kemu_ld<uint16_t>(p + CFG_OFF_FLAGS) & CFG_FLAG_IPV6;
    c.dns_escape = kemu_ld<uint16_t>(p + CFG_OFF_FLAGS) & CFG_FLAG_DNS_ESCAPE;
    uint32_t cnt = kemu_ld<uint32_t>(p + CFG_OFF_PORT_CNT);
    if (cnt > (len - CFG_OFF_PORTS) / 2) return false;
    for (uint32_t i = 0; i < cnt; i++) c.scan_ports.push_back(be16(p + CFG_OFF_PORTS + 2 * i));
    *out = std::move(c);
    return true;
}

bool live_net_listen_key_of(const live_listen_sock &s, uint64_t netns, bool ipv6,
                            live_net_listen_key *k) {
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    static const unsigned char zero[16] = {};
    *k = live_net_listen_key{netns, {}, s.port, LIVE_NET_AF_INET, 0};
    if (s.family == LIVE_NET_AF_INET) {
        memcpy(k->addr, s.addr, 4);
        return true;
    }
    if (s.family != LIVE_NET_AF_INET6) return false;
    if (memcmp(s.addr, mapped, 12) == 0) {
        memcpy(k->addr, s.addr + 12, 4);
        return true;
    }
    bool any = memcmp(s.addr, zero, 16) == 0;
    if (!any && !ipv6) return false;
    if (ipv6) {
        k->family = LIVE_NET_AF_INET6;
        memcpy(k->addr, s.addr, 16);
    }
    return true;
}

// ---- User-space half ------------------------------------------------------------------------

size_t live_net_core::addr_hash::operator()(const live_net_addr &a) const {
    uint64_t lo, hi;
    memcpy(&lo, a.data(), 8);
    memcpy(&hi, a.data() + 8, 8);
    return std::hash<uint64_t>()(lo * 0x9E3779B97F4A7C15ull ^ hi);
}

bool live_net_core::new_scan(const live_net_addr &peer, uint64_t now_ms) {
    auto it = scanners_.find(peer);
    if (it != scanners_.end() && now_ms - it->second < SCAN_WINDOW_MS) return false;
    if (it == scanners_.end() && scanners_.size() >= SCAN_PEERS_MAX) {
        std::erase_if(scanners_,
                      [now_ms](const auto &kv) { return now_ms - kv.second >= SCAN_WINDOW_MS; });
        if (scanners_.size() >= SCAN_PEERS_MAX) scanners_.clear();
    }
    scanners_[peer] = now_ms;
    return true;
}

void live_net_core::on_event(const live_net_ev &e, uint64_t now_ms, const sink &out) {
    live_net_conn c;
    c.pid = e.pid;
    c.create_time = e.start_ns ? live_proc_ticks_ns(e.start_ns) : 0;
    // IPv6 only when asked for; anything else is taken as IPv4.
    c.family = e.family == LIVE_NET_AF_INET6 && ipv6_ ? LIVE_NET_AF_INET6 : LIVE_NET_AF_INET;
    if (e.family == LIVE_NET_AF_INET6 && !ipv6_) return;
    memcpy(c.saddr.data(), e.saddr, 16);
    memcpy(c.daddr.data(), e.daddr, 16);
    c.sport = e.sport, c.dport = e.dport;
    live_net_bytes rec;
    switch (e.kind) {
        case LIVE_NET_UDP:
            if (e.dport == dns_port_) {
                // Names the sender of the DNS messages on this port; with the capture running
                // the query itself is the record.
                ports_[port_key(PROTO_UDP, e.sport)] = owner{e.pid, c.create_time, now_ms};
                if (capture_) return;
            }
            if (e.pid == sensor_) return;
            c.proto = PROTO_UDP;
            live_net_encode_conn(LIVE_NET_T_UDP_SEND, c, rec);
            break;
        case LIVE_NET_LISTEN:
            live_net_encode_listen(c.create_time, e.pid, c.family, c.saddr, e.sport, rec);
            break;
        case LIVE_NET_CONN_IN:
            live_net_encode_conn(LIVE_NET_T_CONN_IN, c, rec);
            break;
        case LIVE_NET_CONN_EST:
            // A connection to the DNS port names the sender of the DNS messages over TCP.
            if (e.dport == dns_port_)
                ports_[port_key(PROTO_TCP, e.sport)] = owner{e.pid, c.create_time, now_ms};
            // The connect is reported with the addresses it was established with; both records
            // carry the same bytes, which is how the module pairs them.
            live_net_encode_conn(LIVE_NET_T_CONN_OUT, c, rec);
            out(std::move(rec), c.pid, c.create_time);
            live_net_encode_conn(LIVE_NET_T_CONN_OUT_EST, c, rec);
            break;
        case LIVE_NET_CONN_FAIL:
            live_net_encode_conn(LIVE_NET_T_CONN_OUT, c, rec);
            break;
        case LIVE_NET_RST:
            // A probe of a closed port (state 0, peer first) is part of a scan: one report
            // per peer and window, so that a sweep of many ports is one scan.
            if (e.state == 0 && !new_scan(c.saddr, now_ms)) return;
            live_net_encode_rst(e.direction, e.state, c.family, c.saddr, e.sport, c.daddr, e.dport,
                                rec);
            out(std::move(rec), 0, 0);
            return;
        default:
            KIV_LOG(1, "kemu: unknown network event kind %u\n", e.kind);
            return;
    }
    out(std::move(rec), c.pid, c.create_time);
}

void live_net_core::on_packet(const uint8_t *p, size_t n, int pkttype, int ifindex, uint64_t now_ms,
                              const sink &out) {
    live_net_pkt pk;
    if (!live_net_parse_packet(p, n, &pk) || (pk.family == LIVE_NET_AF_INET6 && !ipv6_)) return;
    if (pk.sport != dns_port_ && pk.dport != dns_port_) return;
    bool leaving = pkttype == PACKET_OUTGOING, lo = ifindex == lo_;
    if (pk.proto == PROTO_UDP) {
        dns_message(pk, pk.payload, pk.len, leaving, lo, now_ms);
    } else {
        tcp_segment(pk, leaving, lo, now_ms);
    }
    retry(now_ms, out);
}

size_t live_net_core::tcp_key_hash::operator()(const tcp_key &k) const {
    addr_hash h;
    return h(k.saddr) * 31 ^ h(k.daddr) ^ ((size_t)k.sport << 16 | k.dport);
}

size_t live_net_core::tcp_messages(const live_net_pkt &from, const uint8_t *buf, size_t n,
                                   bool leaving, bool lo, uint64_t now_ms) {
    size_t at = 0;
    while (n - at >= 2) {
        size_t len = be16(buf + at);
        if (len > n - at - 2) break;
        dns_message(from, buf + at + 2, len, leaving, lo, now_ms);
        at += 2 + len;
    }
    return at;
}

void live_net_core::tcp_give_up(tcp_flows::iterator it, const char *why) {
    if (tcp_lost_++ % 1024 == 0)
        KIV_LOG(2,
                "kemu: DNS message over TCP between ports %u and %u not reported: %s (%llu so "
                "far, LIVE_DNS_TCP_LOST)\n",
                ntohs(it->first.sport), ntohs(it->first.dport), why, (unsigned long long)tcp_lost_);
    kiv_stat_inc(LIVE_DNS_TCP_LOST);
    flow_bytes_ -= it->second.buf.size();
    flows_.erase(it);
}

// Over TCP each message has its 2-byte length first. Most segments hold whole messages and
// leave nothing behind; a message that runs on (a long answer, or a writer that splits its
// query to hide it) waits with its connection's next sequence number for the rest.
void live_net_core::tcp_segment(const live_net_pkt &pk, bool leaving, bool lo, uint64_t now_ms) {
    // Loopback shows each segment leaving and arriving, the same bytes twice: only the copy
    // dns_message keeps goes into a connection's bytes.
    if (lo ? leaving : leaving != (pk.dport == dns_port_)) return;
    const tcp_key key{pk.saddr, pk.daddr, pk.sport, pk.dport, pk.family};
    const uint8_t *p = pk.payload;
    size_t n = pk.len;
    uint32_t seq = pk.seq;
    const bool ends = pk.tcp_flags & 0x05;  // FIN or RST: nothing follows
    auto it = flows_.find(key);
    if (it != flows_.end()) {
        tcp_flow &f = it->second;
        const int32_t ahead = (int32_t)(seq - f.next_seq);
        if (ahead > 0) {
            // Where this segment's messages begin is not known either.
            tcp_give_up(it, "segments missing before the rest");
            return;
        } else if ((size_t)-ahead >= n) {  // sent again: nothing new
            if (ends) tcp_give_up(it, "the connection ended first");
            return;
        } else if (flow_bytes_ + n - (size_t)-ahead > TCP_BYTES_MAX) {
            tcp_give_up(it, "too many bytes waiting for their rest");
            return;
        } else {
            const size_t skip = (size_t)-ahead;
            f.buf.insert(f.buf.end(), p + skip, p + n);
            flow_bytes_ += n - skip;
            f.next_seq = seq + (uint32_t)n;
            f.last_ms = now_ms;
            size_t used = tcp_messages(pk, f.buf.data(), f.buf.size(), leaving, lo, now_ms);
            f.buf.erase(f.buf.begin(), f.buf.begin() + (long)used);
            flow_bytes_ -= used;
            if (f.buf.empty()) {
                flows_.erase(it);
            } else if (ends) {
                tcp_give_up(it, "the connection ended first");
            }
            return;
        }
    }
    size_t used = tcp_messages(pk, p, n, leaving, lo, now_ms);
    if (used == n) return;
    tcp_flow f{seq + (uint32_t)n, now_ms, live_net_bytes(p + used, p + n)};
    auto [at, fresh] = flows_.emplace(key, std::move(f));
    flow_bytes_ += n - used;
    if (ends)
        tcp_give_up(at, "the connection ended first");
    else if (flows_.size() > TCP_FLOWS_MAX || flow_bytes_ > TCP_BYTES_MAX)
        tcp_give_up(at, "too many connections or bytes waiting for their rest");
}

void live_net_core::tcp_expire(uint64_t now_ms) {
    if (flows_.empty() || age(now_ms, flows_swept_ms_) < TCP_FLOW_IDLE_MS / 5) return;
    flows_swept_ms_ = now_ms;
    for (auto it = flows_.begin(); it != flows_.end();) {
        auto next = std::next(it);
        if (age(now_ms, it->second.last_ms) >= TCP_FLOW_IDLE_MS)
            tcp_give_up(it, "its rest did not come");
        it = next;
    }
}

void live_net_core::dns_message(const live_net_pkt &from, const uint8_t *msg, size_t len,
                                bool leaving, bool lo, uint64_t now_ms) {
    if (len < 12) return;
    bool response = msg[2] & 0x80;
    if (response ? from.sport != dns_port_ : from.dport != dns_port_) return;
    // Loopback shows each packet leaving and arriving: the arrival is kept. Elsewhere only our
    // own queries (leaving) and the answers to them (arriving) concern local processes.
    if (lo ? leaving : leaving == response) return;
    packet pk{now_ms + OWNER_WAIT_MS, from, live_net_bytes(msg, msg + len)};
    pk.from.payload = nullptr, pk.from.len = 0;
    packets_.push_back(std::move(pk));
    if (packets_.size() > PACKETS_MAX) {
        packets_.pop_front();
        if (dropped_++ % 1024 == 0)
            KIV_LOG(1, "kemu: DNS messages waiting for their process, the oldest dropped\n");
    }
}

int live_net_core::dns_record(const packet &pk, uint64_t now_ms, bool last_chance,
                              const sink &out) {
    const live_net_pkt &u = pk.from;
    bool response = pk.msg[2] & 0x80;
    uint16_t local = response ? u.dport : u.sport;
    auto it = ports_.find(port_key(u.proto, local));
    bool fresh = it != ports_.end() && age(now_ms, it->second.seen_ms) <= OWNER_FRESH_MS;
    if (!fresh && !last_chance) return 0;
    if (it == ports_.end()) {
        dropped_++;
        KIV_LOG(4, "kemu: DNS %s on port %u without a known sender\n",
                response ? "answer" : "query", ntohs(local));
        return 1;
    }
    if (it->second.pid == sensor_) return 1;
    live_net_conn c;
    c.pid = it->second.pid, c.create_time = it->second.create_time, c.proto = u.proto;
    c.family = u.family;
    if (response)
        c.saddr = u.daddr, c.sport = u.dport, c.daddr = u.saddr, c.dport = u.sport;
    else
        c.saddr = u.saddr, c.sport = u.sport, c.daddr = u.daddr, c.dport = u.dport;
    live_net_bytes rec;
    if (response) {
        if (live_net_encode_dns_rsp(c, pk.msg.data(), pk.msg.size(), rec) != 0) {
            KIV_LOG(3, "kemu: DNS answer of %zu bytes on port %u exceeds a record, not reported\n",
                    pk.msg.size(), ntohs(local));
            return 1;
        }
    } else {
        char name[LIVE_NET_NAME_LEN];
        if (!live_net_query_name(pk.msg.data(), pk.msg.size(), name, dns_escape_) ||
            live_net_encode_dns_req(c, name, rec) != 0) {
            KIV_LOG(3, "kemu: DNS query from port %u has no readable question, not reported\n",
                    ntohs(local));
            return 1;
        }
    }
    out(std::move(rec), c.pid, c.create_time);
    return 1;
}

void live_net_core::retry(uint64_t now_ms, const sink &out) {
    while (!packets_.empty()) {
        const packet &pk = packets_.front();
        if (!dns_record(pk, now_ms, now_ms >= pk.deadline_ms, out)) break;
        packets_.pop_front();
    }
    tcp_expire(now_ms);
    sweep(now_ms);
}

void live_net_core::sweep(uint64_t now_ms) {
    if (age(now_ms, swept_ms_) < OWNER_IDLE_MS / 10) return;
    swept_ms_ = now_ms;
    for (auto it = ports_.begin(); it != ports_.end();)
        it = age(now_ms, it->second.seen_ms) > OWNER_IDLE_MS ? ports_.erase(it) : std::next(it);
}

// ---- The running source ---------------------------------------------------------------------

namespace {

std::atomic<void (*)(const unsigned char *, uint32_t)> s_tap{nullptr};

uint64_t mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

// Records waiting until the process source has reported their process; in order.
class record_queue {
  public:
    static constexpr uint64_t WAIT_FOR_PROCESS_MS = 300;
    static constexpr size_t MAX = 65536;

    void push(live_net_bytes &&rec, uint32_t pid, uint64_t ct, uint64_t now_ms, uint64_t read_ns) {
        q_.push_back(
            waiting{pid ? now_ms + WAIT_FOR_PROCESS_MS : 0, read_ns, pid, ct, std::move(rec)});
        if (q_.size() > MAX) {
            q_.pop_front();
            standin_count_lost(RING_LOW, 1);
            if (lost_++ % 1024 == 0)
                KIV_LOG(1, "kemu: network records waiting for ring space, the oldest dropped\n");
        }
    }
    void flush(uint64_t now_ms) {
        while (!q_.empty()) {
            waiting &w = q_.front();
            uint64_t ct = 0;
            bool known = w.pid && standin_process_create_time(w.pid, &ct) && same_start(ct, w.ct);
            // Known is not enough: an exec not yet delivered would leave the fork's image.
            bool ready = known && standin_process_delivered(w.read_ns);
            if (w.pid && !ready && now_ms < w.deadline_ms) break;
            // The process records' create_time, where the two readings of one start differ
            // only by rounding.
            if (known) kemu_st<uint64_t>(w.rec.data() + 16, ct);
            int rc = standin_try_put(RING_LOW, w.rec.data(), (uint32_t)w.rec.size());
            if (rc == KEMU_FULL) break;
            if (auto tap = s_tap.load(std::memory_order_acquire))
                tap(w.rec.data(), (uint32_t)w.rec.size());
            q_.pop_front();
        }
    }
    size_t size() const { return q_.size(); }

  private:
    struct waiting {
        uint64_t deadline_ms;
        uint64_t read_ns;
        uint32_t pid;
        uint64_t ct;
        live_net_bytes rec;
    };
    // Two readings of one start time differ by less than a clock tick.
    static bool same_start(uint64_t table, uint64_t ours) {
        static const uint64_t tick = [] {
            long hz = sysconf(_SC_CLK_TCK);
            return hz > 0 ? 1000000000ull / (uint64_t)hz : 10000000ull;
        }();
        return ours == 0 || (table > ours ? table - ours : ours - table) < tick;
    }
    std::deque<waiting> q_;
    uint64_t lost_ = 0;
};

}  // namespace

void live_net_set_tap(void (*tap)(const unsigned char *, uint32_t)) {
    s_tap.store(tap, std::memory_order_release);
}

#if KIV_HAVE_BPF

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include "live_net.skel.h"

namespace {

constexpr int POLL_MS = 50, POLL_WAITING_MS = 5;

// Where the cgroup v2 hierarchy is mounted (its root for this process's namespace); empty
// when it is not.
std::string cgroup2_mount() {
    FILE *f = fopen("/proc/self/mountinfo", "re");
    if (!f) return "";
    char line[4096];
    std::string found;
    while (found.empty() && fgets(line, sizeof line, f)) {
        const char *sep = strstr(line, " - cgroup2 ");
        if (!sep) continue;
        char root[1024], point[1024];
        if (sscanf(line, "%*s %*s %*s %1023s %1023s", root, point) == 2 && strcmp(root, "/") == 0)
            found = point;
    }
    fclose(f);
    return found;
}

// Classic BPF with named jump targets, resolved once the program is written out.
class filter_code {
  public:
    enum label { NEXT, V6, PORTS4, PORTS6, ACCEPT, DROP, LABELS };
    void at(label l) { where_[l] = (int)rows_.size(); }
    void stmt(uint16_t code, uint32_t k) { rows_.push_back({code, k, NEXT, NEXT}); }
    void jump(uint16_t code, uint32_t k, label yes, label no) { rows_.push_back({code, k, yes, no}); }
    std::vector<sock_filter> code() const {
        std::vector<sock_filter> out;
        for (size_t i = 0; i < rows_.size(); i++) {
            const row &r = rows_[i];
            auto off = [&](label l) {
                return (uint8_t)(l == NEXT ? 0 : where_[l] - (int)i - 1);
            };
            out.push_back(sock_filter{r.code, off(r.yes), off(r.no), r.k});
        }
        return out;
    }

  private:
    struct row {
        uint16_t code;
        uint32_t k;
        label yes, no;
    };
    std::vector<row> rows_;
    int where_[LABELS] = {};
};

// Accepts unfragmented UDP and TCP with the DNS port at either end, IPv4 and (when asked
// for) IPv6 without extension headers; offsets from the IP header, as a datagram packet socket
// sees it.
std::vector<sock_filter> dns_filter(uint16_t port, bool ipv6) {
    filter_code f;
    using F = filter_code;
    f.stmt(BPF_LD | BPF_H | BPF_ABS, (uint32_t)(SKF_AD_OFF + SKF_AD_PROTOCOL));
    f.jump(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, F::NEXT, ipv6 ? F::V6 : F::DROP);
    f.stmt(BPF_LD | BPF_B | BPF_ABS, 9);
    f.jump(BPF_JMP | BPF_JEQ | BPF_K, PROTO_UDP, F::PORTS4, F::NEXT);
    f.jump(BPF_JMP | BPF_JEQ | BPF_K, PROTO_TCP, F::NEXT, F::DROP);
    f.at(F::PORTS4);
    f.stmt(BPF_LD | BPF_H | BPF_ABS, 6);
    f.jump(BPF_JMP | BPF_JSET | BPF_K, 0x3fff, F::DROP, F::NEXT);
    f.stmt(BPF_LDX | BPF_B | BPF_MSH, 0);
    f.stmt(BPF_LD | BPF_H | BPF_IND, 0);
    f.jump(BPF_JMP | BPF_JEQ | BPF_K, port, F::ACCEPT, F::NEXT);
    f.stmt(BPF_LD | BPF_H | BPF_IND, 2);
    f.jump(BPF_JMP | BPF_JEQ | BPF_K, port, F::ACCEPT, F::DROP);
    if (ipv6) {
        f.at(F::V6);
        f.jump(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IPV6, F::NEXT, F::DROP);
        f.stmt(BPF_LD | BPF_B | BPF_ABS, 6);
        f.jump(BPF_JMP | BPF_JEQ | BPF_K, PROTO_UDP, F::PORTS6, F::NEXT);
        f.jump(BPF_JMP | BPF_JEQ | BPF_K, PROTO_TCP, F::NEXT, F::DROP);
        f.at(F::PORTS6);
        f.stmt(BPF_LD | BPF_H | BPF_ABS, 40);
        f.jump(BPF_JMP | BPF_JEQ | BPF_K, port, F::ACCEPT, F::NEXT);
        f.stmt(BPF_LD | BPF_H | BPF_ABS, 42);
        f.jump(BPF_JMP | BPF_JEQ | BPF_K, port, F::ACCEPT, F::DROP);
    }
    f.at(F::ACCEPT);
    f.stmt(BPF_RET | BPF_K, 0xffff);
    f.at(F::DROP);
    f.stmt(BPF_RET | BPF_K, 0);
    return f.code();
}

int open_dns_capture(uint16_t port, bool ipv6, std::string *why) {
    int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *why = std::string("packet socket: ") + strerror(errno);
        return -1;
    }
    std::vector<sock_filter> code = dns_filter(port, ipv6);
    sock_fprog prog{(unsigned short)code.size(), code.data()};
    int rcvbuf = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf);
    // The filter goes on before the socket is bound, so nothing unfiltered is queued.
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0) {
        *why = std::string("packet filter: ") + strerror(errno);
        close(fd);
        return -1;
    }
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sll), sizeof sll) != 0) {
        *why = std::string("packet socket bind: ") + strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif

// Cookie of this process's network namespace, the one the programs treat as the host's;
// false when the kernel gives none.
bool own_netns_cookie(uint64_t *cookie, std::string *why) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    socklen_t len = sizeof *cookie;
    bool ok = fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_NETNS_COOKIE, cookie, &len) == 0 &&
              len == sizeof *cookie;
    if (!ok) *why = std::string("no network namespace cookie (") + strerror(errno) + ")";
    if (fd >= 0) close(fd);
    return ok;
}

struct net_source {
    live_net_bpf *skel = nullptr;
    std::vector<bpf_link *> links;
    ring_buffer *rb = nullptr;
    int cg_fd = -1, pkt_fd = -1;
    std::thread thread;
    std::atomic<bool> stop{false};
    live_net_core *core = nullptr;
    record_queue queue;
    uint64_t lost_seen = 0;
    uint64_t now = 0;  // one clock reading per round of the reader
    live_net_core::sink sink;

    void read_packets(uint64_t now) {
        static thread_local unsigned char buf[65536];
        for (int i = 0; i < 256; i++) {
            sockaddr_ll from{};
            socklen_t fl = sizeof from;
            ssize_t n = recvfrom(pkt_fd, buf, sizeof buf, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&from), &fl);
            if (n < 0) {
                if (errno != EAGAIN && errno != EINTR)
                    KIV_LOG(1, "kemu: DNS capture read failed(%d:%s)\n", errno, strerror(errno));
                return;
            }
            core->on_packet(buf, (size_t)n, from.sll_pkttype, from.sll_ifindex, now, sink);
        }
    }

    void check_lost() {
        uint64_t lost = __atomic_load_n(&skel->bss->lost, __ATOMIC_RELAXED);
        if (lost == lost_seen) return;
        kiv_stat_inc(LIVE_BPF_RING_LOST, static_cast<int64_t>(lost - lost_seen));
        KIV_LOG(1, "kemu: %llu network events lost in the eBPF ring buffer\n",
                (unsigned long long)(lost - lost_seen));
        lost_seen = lost;
    }

    void run() {
        KIV_LOG(2, "kemu: network reader thread running\n");
        pollfd fds[2] = {{ring_buffer__epoll_fd(rb), POLLIN, 0}, {pkt_fd, POLLIN, 0}};
        while (!stop.load(std::memory_order_relaxed)) {
            bool busy = core->waiting() || queue.size();
            int n = poll(fds, pkt_fd >= 0 ? 2 : 1, busy ? POLL_WAITING_MS : POLL_MS);
            if (n < 0 && errno != EINTR) {
                KIV_LOG(0, "kemu: network reader poll failed(%d:%s)\n", errno, strerror(errno));
                return;
            }
            now = mono_ms();
            // Events first: a packet read after them finds the sender they name.
            ring_buffer__consume(rb);
            if (pkt_fd >= 0) read_packets(now);
            core->retry(now, sink);
            queue.flush(now);
            check_lost();
        }
    }
};

// The value of the programs' table of listeners (struct owner of live_net.bpf.c).
struct listen_owner {
    uint32_t pid;
    uint32_t pad;
    uint64_t start_ns;
    uint64_t sk;
};
static_assert(sizeof(listen_owner) == 24);

// Listeners from before the programs were attached get their owners from /proc, so that
// connections to them are reported, and each is reported listening once. What the programs
// recorded since attaching is kept. Their socket is not known (sk 0): the entry outlives a
// close until a new listener of the address replaces it, which is harmless, since only a
// handshake completed on a listening socket looks it up.
void seed_listeners(net_source *src, uint32_t sensor_pid, uint64_t netns, bool ipv6) {
    live_listen_scan scan;
    live_find_listeners(sensor_pid, scan);
    int map = bpf_map__fd(src->skel->maps.listeners);
    size_t keyed = 0, failed = 0;
    for (const live_listen_owner &o : scan.owned) {
        live_net_listen_key k;
        if (!live_net_listen_key_of(o.sock, netns, ipv6, &k)) continue;
        listen_owner v{o.pid, 0, o.start_ns, 0};
        if (bpf_map_update_elem(map, &k, &v, BPF_NOEXIST) != 0) {
            failed += errno != EEXIST;
            continue;
        }
        keyed++;
        live_net_ev e{};
        e.kind = LIVE_NET_LISTEN, e.pid = o.pid, e.start_ns = o.start_ns;
        memcpy(e.saddr, k.addr, sizeof e.saddr);
        e.family = k.family, e.sport = k.port, e.direction = 1;
        src->core->on_event(e, src->now, src->sink);
    }
    KIV_LOG(2,
            "kemu: %zu TCP sockets listening at start, %zu given their owner (%zu not stored), "
            "from %zu processes and %zu descriptors in %llu ms\n",
            scan.listening, keyed, failed, scan.procs, scan.fds, (unsigned long long)scan.ms);
}

std::mutex s_ctl;  // start and stop
net_source *s_net;
std::atomic<bool> s_capturing{false};
std::atomic<bool> s_force_send_hooks{false};

void destroy(net_source *src) {
    if (src->rb) ring_buffer__free(src->rb);
    for (bpf_link *l : src->links) bpf_link__destroy(l);
    if (src->skel) live_net_bpf__destroy(src->skel);
    if (src->cg_fd >= 0) close(src->cg_fd);
    if (src->pkt_fd >= 0) close(src->pkt_fd);
    delete src->core;
    delete src;
}

int fail(net_source *src, std::string *why, const std::string &reason) {
    destroy(src);
    if (why) *why = reason;
    return -1;
}

std::string err_text(int err) {
    return strerror(err < 0 ? -err : err);
}

void stop_locked() {
    net_source *src = s_net;
    if (!src) return;
    src->stop.store(true);
    src->thread.join();
    s_net = nullptr;
    s_capturing = false;
    destroy(src);
    KIV_LOG(2, "kemu: network activity source stopped\n");
}

}  // namespace

int live_net_start(const unsigned char *cfg, size_t len, std::string *why) {
    live_net_config conf;
    if (!live_net_parse_config(cfg, len, &conf)) {
        if (why) *why = "the capture request is too short for its port list";
        return -1;
    }
    std::lock_guard guard(s_ctl);
    stop_locked();
    if (std::string bad; !live_net_usable(&bad)) {
        if (why) *why = bad;
        return -1;
    }
    uint64_t caps = live_effective_caps();
    std::string cg = cgroup2_mount();
    if (cg.empty()) {
        if (why) *why = "no cgroup v2 hierarchy is mounted";
        return -1;
    }
    uint64_t netns = 0;
    if (std::string ns_why; !own_netns_cookie(&netns, &ns_why)) {
        if (why) *why = ns_why;
        return -1;
    }
    auto *src = new net_source;
    src->skel = live_net_bpf__open();
    if (!src->skel) return fail(src, why, "the programs did not open (" + err_text(errno) + ")");
    src->skel->rodata->sensor_tgid = conf.sensor_pid;
    src->skel->rodata->dns_port = conf.dns_port;
    src->skel->rodata->host_netns = netns;
    src->skel->rodata->want_v6 = conf.ipv6;
    src->skel->rodata->want_dns = 1;
    if (int err = live_net_bpf__load(src->skel))
        return fail(src, why, "the programs did not load (" + err_text(err) + ")");
    for (uint16_t p : conf.scan_ports) src->skel->bss->scan_ports[p >> 6] |= 1ull << (p & 63);
    src->cg_fd = open(cg.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (src->cg_fd < 0) return fail(src, why, "open " + cg + ": " + err_text(errno));
    // The socket-buffer programs first: they copy DNS messages and read UDP sends from the
    // datagrams leaving, at a few loads a packet. Where they cannot attach, the send hooks
    // (a socket lock and a program per send) report UDP, and a packet socket, which copies
    // every packet the host sends, the DNS messages.
    std::string capture_why = s_force_send_hooks ? "the send hooks were asked for" : "";
    bpf_link *skb_links[2] = {};
    bpf_program *skb_progs[2] = {src->skel->progs.live_dns_out, src->skel->progs.live_dns_in};
    for (int i = 0; i < 2 && capture_why.empty(); i++)
        if (!(skb_links[i] = bpf_program__attach_cgroup(skb_progs[i], src->cg_fd)))
            capture_why = std::string(bpf_program__name(skb_progs[i])) + " did not attach (" +
                          err_text(errno) + ")";
    const bool skb_capture = capture_why.empty();
    for (bpf_link *l : skb_links)
        if (l && skb_capture)
            src->links.push_back(l);
        else if (l)
            bpf_link__destroy(l);  // one direction alone would only mislead
    src->skel->bss->udp_from_packets = skb_capture;
    struct {
        bpf_program *prog;
        bool cgroup, send;
    } progs[] = {{src->skel->progs.live_udp_sendmsg4, true, true},
                 {src->skel->progs.live_udp_sendmsg6, true, true},
                 {src->skel->progs.live_sock_send, false, true},
                 {src->skel->progs.live_tcp_state, false, false},
                 {src->skel->progs.live_tcp_send_reset, false, false},
                 {src->skel->progs.live_tcp_receive_reset, false, false}};
    for (const auto &p : progs) {
        if (p.send && skb_capture) continue;
        bpf_link *l =
            p.cgroup ? bpf_program__attach_cgroup(p.prog, src->cg_fd) : bpf_program__attach(p.prog);
        if (!l)
            return fail(src, why,
                        std::string(bpf_program__name(p.prog)) + " did not attach (" +
                            err_text(errno) + ")");
        src->links.push_back(l);
    }
    src->rb = ring_buffer__new(
        bpf_map__fd(src->skel->maps.events),
        [](void *ctx, void *data, size_t size) {
            auto *s = static_cast<net_source *>(ctx);
            uint32_t kind = 0;
            if (size >= sizeof kind) memcpy(&kind, data, sizeof kind);
            constexpr size_t head = offsetof(live_net_pkt_ev, data);
            if (kind == LIVE_NET_PKT && size >= head) {
                const auto *b = static_cast<const uint8_t *>(data);
                uint32_t len, ifindex;
                memcpy(&len, b + offsetof(live_net_pkt_ev, len), 4);
                memcpy(&ifindex, b + offsetof(live_net_pkt_ev, ifindex), 4);
                bool leaving = b[offsetof(live_net_pkt_ev, leaving)];
                if (len > size - head) return 0;
                s->core->on_packet(b + head, len, leaving ? PACKET_OUTGOING : PACKET_HOST,
                                   (int)ifindex, s->now, s->sink);
                return 0;
            }
            if (size < sizeof(live_net_ev)) return 0;
            live_net_ev e;
            memcpy(&e, data, sizeof e);
            s->core->on_event(e, s->now, s->sink);
            return 0;
        },
        src, nullptr);
    if (!src->rb) return fail(src, why, "ring buffer reader failed (" + err_text(errno) + ")");

    if (!skb_capture && !((caps >> LIVE_CAP_NET_RAW) & 1))
        capture_why += "; no CAP_NET_RAW for a packet socket";
    else if (!skb_capture)
        src->pkt_fd = open_dns_capture(ntohs(conf.dns_port), conf.ipv6, &capture_why);
    const bool capturing = skb_capture || src->pkt_fd >= 0;
    int lo = (int)if_nametoindex("lo");
    src->core = new live_net_core(conf.dns_port, conf.sensor_pid, capturing, lo, conf.ipv6,
                                  conf.dns_escape);
    src->sink = [src](live_net_bytes &&rec, uint32_t pid, uint64_t ct) {
        // Read now, so later than its event: the process source must have delivered past it.
        src->queue.push(std::move(rec), pid, ct, src->now, standin_mono_ns());
    };
    src->now = mono_ms();
    seed_listeners(src, conf.sensor_pid, netns, conf.ipv6);
    try {
        src->thread = std::thread([src] { src->run(); });
    } catch (const std::system_error &e) {
        return fail(src, why, std::string("reader thread not started: ") + e.what());
    }
    s_net = src;
    s_capturing = capturing;
    KIV_LOG(2,
            "kemu: network activity source: eBPF (cgroup hooks on %s, tracepoints), network "
            "namespace %llu only, %s; UDP sends read from %s\n",
            cg.c_str(), (unsigned long long)netns, conf.ipv6 ? "IPv4 and IPv6" : "IPv4 only",
            skb_capture ? "the datagrams leaving" : "the send hooks");
    if (skb_capture)
        KIV_LOG(2, "kemu: DNS messages captured on UDP and TCP port %u (socket-buffer programs)\n",
                ntohs(conf.dns_port));
    else if (src->pkt_fd >= 0)
        KIV_LOG(2, "kemu: DNS messages captured on UDP and TCP port %u (packet socket: %s)\n",
                ntohs(conf.dns_port), capture_why.c_str());
    else
        KIV_LOG(1, "kemu: DNS capture off: %s; DNS queries are reported as UDP sends\n",
                capture_why.c_str());
    return 0;
}

void live_net_force_send_hooks(bool on) {
    s_force_send_hooks = on;
}

void live_net_stop() {
    std::lock_guard guard(s_ctl);
    stop_locked();
}

bool live_net_running() {
    std::lock_guard guard(s_ctl);
    return s_net != nullptr;
}

bool live_net_capturing() {
    return s_capturing.load();
}

bool live_net_run_stats(capture_counters *out) {
    std::lock_guard guard(s_ctl);
    if (!s_net) return false;
    *out = capture_counters{};
    bpf_program *p;
    bpf_object__for_each_program(
        p, s_net->skel->obj) if (!live_bpf_add_run_stats(p, out)) return false;
    return true;
}

#else  // built without the BPF tool chain

int live_net_start(const unsigned char *, size_t, std::string *why) {
    if (why)
        *why = "this build has no eBPF support (clang, bpftool or libbpf missing at build time)";
    return -1;
}
void live_net_force_send_hooks(bool) {}
void live_net_stop() {}
bool live_net_running() {
    return false;
}
bool live_net_capturing() {
    return false;
}
bool live_net_run_stats(capture_counters *) {
    return false;
}

#endif

bool live_net_usable(std::string *why) {
    return live_bpf_usable(1ull << LIVE_CAP_NET_ADMIN, "CAP_BPF, CAP_PERFMON and CAP_NET_ADMIN",
                           why);
}

extern const capture_source capture_network = {"network",
                                               "network",
                                               "eBPF and a packet socket",
                                               nullptr,
                                               CAPTURE_NETWORK,
                                               live_net_usable,
                                               live_net_start,
                                               live_net_stop,
                                               live_net_running,
                                               live_net_run_stats,
                                               nullptr,
                                               nullptr};
