// Network activity read inside the kernel with hooks stock kernels give without kprobes or
// trampolines: socket-buffer programs on the cgroup v2 root for UDP sends and DNS messages,
// raw tracepoints for TCP state changes and resets, and, where the socket-buffer programs
// cannot attach, socket-address hooks and a BTF tracepoint for UDP sends. IPv4 is
// reported, and IPv6 sockets whose addresses are IPv4-mapped (dual-stack servers) as IPv4;
// other IPv6 traffic only when user space asks for it (want_v6).
// Only the sensor's own network namespace is the host: sockets of any other namespace (a
// user's private one, a container's) are neither reported nor tracked, so a port taken
// there cannot stand for, or remove, the host's socket on the same port.
#include <linux/bpf.h>
#include <linux/types.h>
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "live_net_ev.h"

#define PAI __attribute__((preserve_access_index))

struct in6_addr {
    union {
        __u8 u6_addr8[16];
        __u32 u6_addr32[4];
    } in6_u;
} PAI;

struct net {
    __u64 net_cookie;
} PAI;

typedef struct {
    struct net *net;
} possible_net_t;

struct sock_common {
    possible_net_t skc_net;
    __be32 skc_daddr;
    __be32 skc_rcv_saddr;
    __be16 skc_dport;
    __u16 skc_num;
    unsigned short skc_family;
    struct in6_addr skc_v6_daddr;
    struct in6_addr skc_v6_rcv_saddr;
} PAI;

struct sock {
    struct sock_common __sk_common;
    __u16 sk_protocol;
} PAI;

struct net_device {
    possible_net_t nd_net;
} PAI;

struct sk_buff {
    struct net_device *dev;
    unsigned char *head;
    __u16 transport_header;
    __u16 network_header;
} PAI;

struct task_struct {
    int tgid;
    __u64 start_boottime;
    struct task_struct *group_leader;
} PAI;

#define AF_INET 2
#define AF_INET6 10
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define SOCK_DGRAM 2
enum {
    TCP_ESTABLISHED = 1,
    TCP_SYN_SENT = 2,
    TCP_SYN_RECV = 3,
    TCP_CLOSE = 7,
    TCP_LISTEN = 10,
};
#define UDP_REPEAT_NS 1000000000ull  // one send event per process and destination per second

char LICENSE[] SEC("license") = "GPL";

// Set before load from the capture request: the sensor's own traffic (its DNS probes) is not
// reported, and sends to the DNS port are never thinned out (they name a query's owner).
const volatile __u32 sensor_tgid = 0;
const volatile __u16 dns_port = 0;  // network order
// Cookie of the sensor's network namespace: the host's.
const volatile __u64 host_netns = 0;
// IPv6 addresses (not IPv4-mapped) are reported too.
const volatile __u8 want_v6 = 0;
// DNS messages are copied out by the socket-buffer programs.
const volatile __u8 want_dns = 0;
// UDP sends are read from the packets leaving (set once the socket-buffer programs are
// attached); else the send hooks and the send tracepoint report them.
__u8 udp_from_packets = 0;
// Ports (host order) whose probes are reported when nothing listens there; one bit each.
__u64 scan_ports[LIVE_NET_SCAN_WORDS];
// Events the ring buffer had no room for.
__u64 lost = 0;

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, LIVE_NET_RING_BYTES);
} events SEC(".maps");

struct owner {
    __u32 pid;
    __u32 pad;
    __u64 start_ns;
    __u64 sk;  // listeners: the listening socket, so a closing twin does not remove it
};

// Connects between SYN_SENT (in the connecting process) and their outcome (in any context),
// keyed by the socket's address.
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 16384);
    __type(key, __u64);
    __type(value, struct owner);
} connecting SEC(".maps");

struct listen_key {
    __u64 netns;
    __u32 addr[4];  // IPv4 in the first word
    __u16 port;     // network order
    __u16 family;
    __u32 pad;
};
// Listening sockets and their owners: an inbound connection becomes established in the
// context of whoever sent the last handshake packet, so its process comes from here.
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 8192);
    __type(key, struct listen_key);
    __type(value, struct owner);
} listeners SEC(".maps");

struct udp_key {
    __u32 pid;
    __u32 daddr[4];
    __u16 dport;
    __u16 pad;
};
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 8192);
    __type(key, struct udp_key);
    __type(value, __u64);
} udp_seen SEC(".maps");

static __always_inline void copy_addr(__u32 *to, const __u32 *from) {
    to[0] = from[0], to[1] = from[1], to[2] = from[2], to[3] = from[3];
}

// The last send each UDP socket reported: its repeats within the second leave at once, before
// any other read. The sending task by its address, which needs no read.
struct udp_last {
    __u64 task;
    __u32 daddr[4];
    __u16 dport;
    __u16 pad;
    __u64 ns;
};
struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct udp_last);
} udp_last SEC(".maps");

static __always_inline int same_send(const struct udp_last *l, const __u32 *daddr, __u16 dport,
                                     __u64 now) {
    return l->task == bpf_get_current_task() && l->dport == dport &&
           l->daddr[0] == daddr[0] && l->daddr[1] == daddr[1] && l->daddr[2] == daddr[2] &&
           l->daddr[3] == daddr[3] && now - l->ns < UDP_REPEAT_NS;
}
static __always_inline void note_send(struct udp_last *l, const struct owner *o,
                                      const __u32 *daddr, __u16 dport, __u64 now) {
    if (!l) return;
    l->task = bpf_get_current_task();
    copy_addr(l->daddr, daddr);
    l->dport = dport;
    l->ns = now;
}

static __always_inline __u64 sock_netns(const struct sock *sk) {
    return BPF_CORE_READ(sk, __sk_common.skc_net.net, net_cookie);
}

static __always_inline __u64 wake_flag(void) {
    return bpf_ringbuf_query(&events, BPF_RB_AVAIL_DATA) > LIVE_NET_WAKE_BYTES ? BPF_RB_FORCE_WAKEUP
                                                                               : BPF_RB_NO_WAKEUP;
}

static __always_inline void current_owner(struct owner *o) {
    struct task_struct *t = (struct task_struct *)bpf_get_current_task();
    o->pid = BPF_CORE_READ(t, tgid);
    o->start_ns = BPF_CORE_READ(t, group_leader, start_boottime);
}

static __always_inline void emit(__u32 kind, const struct owner *o, __u16 family,
                                 const __u32 *saddr, __u16 sport, const __u32 *daddr, __u16 dport,
                                 __u8 direction, __u8 state) {
    struct live_net_ev *ev = bpf_ringbuf_reserve(&events, sizeof(*ev), 0);
    if (!ev) {
        __sync_fetch_and_add(&lost, 1);
        return;
    }
    ev->kind = kind;
    ev->pid = o ? o->pid : 0;
    ev->start_ns = o ? o->start_ns : 0;
    copy_addr(ev->saddr, saddr);
    copy_addr(ev->daddr, daddr);
    ev->sport = sport;
    ev->dport = dport;
    ev->family = family;
    ev->direction = direction;
    ev->state = state;
    bpf_ringbuf_submit(ev, wake_flag());
}

static __always_inline int v6_mapped(const __u32 *a) {
    return !a[0] && !a[1] && a[2] == bpf_htonl(0x0000ffff);
}
static __always_inline int v6_any(const __u32 *a) {
    return !a[0] && !a[1] && !a[2] && !a[3];
}

// Local and peer addresses and ports of a socket. IPv4, and IPv6 sockets whose peer is
// IPv4-mapped (or, with an unspecified peer, whose own end is), come as IPv4; other IPv6
// only when it is asked for; -1 for the rest.
struct tuple {
    __u32 laddr[4], raddr[4];
    __u16 lport, rport;  // network order
    __u16 family;
};
static __always_inline int sock_tuple(const struct sock *sk, struct tuple *t) {
    unsigned short family = BPF_CORE_READ(sk, __sk_common.skc_family);
    __builtin_memset(t, 0, sizeof(*t));
    if (family == AF_INET) {
        t->laddr[0] = BPF_CORE_READ(sk, __sk_common.skc_rcv_saddr);
        t->raddr[0] = BPF_CORE_READ(sk, __sk_common.skc_daddr);
        t->family = AF_INET;
    } else if (family == AF_INET6) {
        struct in6_addr l, r;
        BPF_CORE_READ_INTO(&l, sk, __sk_common.skc_v6_rcv_saddr);
        BPF_CORE_READ_INTO(&r, sk, __sk_common.skc_v6_daddr);
        const __u32 *lw = l.in6_u.u6_addr32, *rw = r.in6_u.u6_addr32;
        if (v6_mapped(rw) || (v6_any(rw) && (v6_mapped(lw) || !want_v6))) {
            if (!v6_mapped(lw) && !v6_any(lw)) return -1;
            t->laddr[0] = lw[3];
            t->raddr[0] = rw[3];
            t->family = AF_INET;
        } else if (want_v6) {
            copy_addr(t->laddr, lw);
            copy_addr(t->raddr, rw);
            t->family = AF_INET6;
        } else {
            return -1;
        }
    } else {
        return -1;
    }
    t->lport = bpf_htons(BPF_CORE_READ(sk, __sk_common.skc_num));
    t->rport = BPF_CORE_READ(sk, __sk_common.skc_dport);
    return 0;
}

// One event per process and destination per second; sends to the DNS port always pass, and
// a local DNS server's answers (from that port) are not sends of interest.
static __always_inline int udp_first(const struct owner *o, __u16 sport, const __u32 *daddr,
                                     __u16 dport) {
    if (dport == dns_port) return 1;
    if (sport == dns_port) return 0;
    struct udp_key k = {.pid = o->pid, .dport = dport};
    copy_addr(k.daddr, daddr);
    __u64 now = bpf_ktime_get_ns();  // tracing programs may not read the tick's clock
    __u64 *last = bpf_map_lookup_elem(&udp_seen, &k);
    if (last && now - *last < UDP_REPEAT_NS) return 0;
    bpf_map_update_elem(&udp_seen, &k, &now, BPF_ANY);
    return 1;
}

// The sensor's own sends are left out, except its DNS queries: user space learns their port
// from them, so that it drops their messages at once instead of waiting for a sender.
static __always_inline int skip_own(const struct owner *o, __u16 dport) {
    return o->pid == sensor_tgid && dport != dns_port;
}

// Unconnected UDP sends: the destination is the call's; the socket is bound by now, though
// possibly to the wildcard address.
SEC("cgroup/sendmsg4")
int live_udp_sendmsg4(struct bpf_sock_addr *ctx) {
    if (ctx->type != SOCK_DGRAM || ctx->protocol != IPPROTO_UDP) return 1;
    __u32 daddr[4] = {ctx->user_ip4};
    __u16 dport = (__u16)ctx->user_port;
    struct bpf_sock *sk = ctx->sk;
    struct udp_last *l = sk ? bpf_sk_storage_get(&udp_last, sk, 0, BPF_SK_STORAGE_GET_F_CREATE) : 0;
    __u64 now = bpf_ktime_get_coarse_ns();  // a window of a second: the tick's clock will do
    if (l && same_send(l, daddr, dport, now)) return 1;
    if (bpf_get_netns_cookie(ctx) != host_netns) return 1;
    struct owner o = {};
    current_owner(&o);
    __u32 saddr[4] = {ctx->msg_src_ip4};
    __u16 sport = 0;
    if (sk) {
        if (!saddr[0]) saddr[0] = sk->src_ip4;
        sport = bpf_htons((__u16)sk->src_port);
    }
    if (!udp_first(&o, sport, daddr, dport) || skip_own(&o, dport)) return 1;
    // Sends to the DNS port name each query's owner: never thinned out.
    if (dport != dns_port) note_send(l, &o, daddr, dport, now);
    emit(LIVE_NET_UDP, &o, AF_INET, saddr, sport, daddr, dport, 1, 0);
    return 1;
}

// The same for IPv6 sockets; an IPv4-mapped destination goes through the IPv4 hook above.
SEC("cgroup/sendmsg6")
int live_udp_sendmsg6(struct bpf_sock_addr *ctx) {
    if (!want_v6) return 1;
    if (ctx->type != SOCK_DGRAM || ctx->protocol != IPPROTO_UDP) return 1;
    if (bpf_get_netns_cookie(ctx) != host_netns) return 1;
    __u32 daddr[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
    if (v6_mapped(daddr)) return 1;
    __u16 dport = (__u16)ctx->user_port;
    struct bpf_sock *sk = ctx->sk;
    struct udp_last *l = sk ? bpf_sk_storage_get(&udp_last, sk, 0, BPF_SK_STORAGE_GET_F_CREATE) : 0;
    __u64 now = bpf_ktime_get_coarse_ns();  // a window of a second: the tick's clock will do
    if (l && same_send(l, daddr, dport, now)) return 1;
    struct owner o = {};
    current_owner(&o);
    __u32 saddr[4] = {ctx->msg_src_ip6[0], ctx->msg_src_ip6[1], ctx->msg_src_ip6[2],
                      ctx->msg_src_ip6[3]};
    __u16 sport = 0;
    if (sk) {
        if (v6_any(saddr)) {
            saddr[0] = sk->src_ip6[0], saddr[1] = sk->src_ip6[1];
            saddr[2] = sk->src_ip6[2], saddr[3] = sk->src_ip6[3];
        }
        sport = bpf_htons((__u16)sk->src_port);
    }
    if (!udp_first(&o, sport, daddr, dport) || skip_own(&o, dport)) return 1;
    if (dport != dns_port) note_send(l, &o, daddr, dport, now);
    emit(LIVE_NET_UDP, &o, AF_INET6, saddr, sport, daddr, dport, 1, 0);
    return 1;
}

// Connected UDP sends (the resolver's way): after the send, in the sender, with the source
// port the connect chose. A BTF tracepoint: the socket's fields are plain loads, not helper
// calls, on this path every send of every socket takes.
SEC("tp_btf/sock_send_length")
int live_sock_send(__u64 *ctx) {
    const struct sock *sk = (const struct sock *)ctx[0];
    if ((int)ctx[1] < 0 || !sk) return 0;
    // An unconnected socket (no peer port: unix sockets, unconnected UDP, which the cgroup
    // hooks report) leaves after one load.
    if (!sk->__sk_common.skc_dport || sk->sk_protocol != IPPROTO_UDP) return 0;
    if (sock_netns(sk) != host_netns) return 0;
    struct tuple t;
    if (sock_tuple(sk, &t) || !t.rport) return 0;
    struct owner o = {};
    current_owner(&o);
    if (!udp_first(&o, t.lport, t.raddr, t.rport) || skip_own(&o, t.rport)) return 0;
    emit(LIVE_NET_UDP, &o, t.family, t.laddr, t.lport, t.raddr, t.rport, 1, 0);
    return 0;
}

// addr null: the family's wildcard address.
static __always_inline void listen_key_of(__u64 netns, __u16 family, const __u32 *addr,
                                          __u16 port, struct listen_key *k) {
    __builtin_memset(k, 0, sizeof(*k));
    k->netns = netns;
    if (addr) copy_addr(k->addr, addr);
    k->port = port;
    k->family = family;
}

// A BTF tracepoint: every state change of every socket reads its protocol and namespace
// with plain loads, not helper calls.
SEC("tp_btf/inet_sock_set_state")
int live_tcp_state(__u64 *ctx) {
    const struct sock *sk = (const struct sock *)ctx[0];
    int oldstate = (int)ctx[1], newstate = (int)ctx[2];
    if (sk->sk_protocol != IPPROTO_TCP) return 0;
    __u64 netns = sk->__sk_common.skc_net.net->net_cookie;
    if (netns != host_netns) return 0;
    __u64 key = (__u64)sk;

    if (newstate == TCP_SYN_SENT) {
        // Still in connect(): the caller is the owner, though the source port may be unset.
        struct owner o = {};
        current_owner(&o);
        if (o.pid != sensor_tgid) bpf_map_update_elem(&connecting, &key, &o, BPF_ANY);
        return 0;
    }
    struct tuple t;
    // The outcome of a connect: established (from SYN_SENT, or through SYN_RECV when both
    // ends opened at once), or closed before that.
    if ((oldstate == TCP_SYN_SENT || oldstate == TCP_SYN_RECV) &&
        (newstate == TCP_ESTABLISHED || newstate == TCP_CLOSE)) {
        struct owner *o = bpf_map_lookup_elem(&connecting, &key);
        if (o) {
            struct owner copy = *o;
            bpf_map_delete_elem(&connecting, &key);
            if (sock_tuple(sk, &t) || !t.lport) return 0;
            __u32 kind = newstate == TCP_ESTABLISHED ? LIVE_NET_CONN_EST : LIVE_NET_CONN_FAIL;
            emit(kind, &copy, t.family, t.laddr, t.lport, t.raddr, t.rport, 1, 0);
            return 0;
        }
        if (oldstate == TCP_SYN_SENT) return 0;
    }
    if (newstate == TCP_LISTEN) {
        if (sock_tuple(sk, &t) || !t.lport) return 0;
        struct owner o = {.sk = key};
        current_owner(&o);
        if (o.pid == sensor_tgid) return 0;
        struct listen_key k;
        listen_key_of(netns, t.family, t.laddr, t.lport, &k);
        bpf_map_update_elem(&listeners, &k, &o, BPF_ANY);
        emit(LIVE_NET_LISTEN, &o, t.family, t.laddr, t.lport, t.raddr, 0, 1, 0);
        return 0;
    }
    if (oldstate == TCP_LISTEN) {
        if (sock_tuple(sk, &t)) return 0;
        struct listen_key k;
        listen_key_of(netns, t.family, t.laddr, t.lport, &k);
        struct owner *o = bpf_map_lookup_elem(&listeners, &k);
        if (o && o->sk == key) bpf_map_delete_elem(&listeners, &k);
        return 0;
    }
    if (oldstate == TCP_SYN_RECV && newstate == TCP_ESTABLISHED) {
        if (sock_tuple(sk, &t)) return 0;
        struct listen_key k;
        listen_key_of(netns, t.family, t.laddr, t.lport, &k);
        struct owner *o = bpf_map_lookup_elem(&listeners, &k);
        if (!o) {
            listen_key_of(netns, t.family, 0, t.lport, &k);  // a wildcard listener
            o = bpf_map_lookup_elem(&listeners, &k);
        }
        if (!o && t.family == AF_INET) {
            listen_key_of(netns, AF_INET6, 0, t.lport, &k);  // a dual-stack one on [::]
            o = bpf_map_lookup_elem(&listeners, &k);
        }
        if (!o) return 0;
        struct owner copy = *o;
        emit(LIVE_NET_CONN_IN, &copy, t.family, t.laddr, t.lport, t.raddr, t.rport, 1, 0);
    }
    return 0;
}

static __always_inline int scan_port(__u16 port_be) {
    __u16 p = bpf_ntohs(port_be);
    __u64 word = scan_ports[(p >> 6) & (LIVE_NET_SCAN_WORDS - 1)];
    return (word >> (p & 63)) & 1;
}

// A reset we send: in answer to a segment (its addresses, peer first), or on our own socket
// (an abort, local end first). With no socket at all the segment probed a closed port.
SEC("raw_tp/tcp_send_reset")
int live_tcp_send_reset(struct bpf_raw_tracepoint_args *ctx) {
    const struct sock *sk = (const struct sock *)ctx->args[0];
    const struct sk_buff *skb = (const struct sk_buff *)ctx->args[1];
    struct tuple t;
    // Without a socket the segment came in on a device of the namespace that answers it.
    __u64 netns = sk ? sock_netns(sk) : skb ? BPF_CORE_READ(skb, dev, nd_net.net, net_cookie) : 0;
    if (netns != host_netns) return 0;
    if (!skb) {
        if (!sk || sock_tuple(sk, &t)) return 0;
        emit(LIVE_NET_RST, 0, t.family, t.laddr, t.lport, t.raddr, t.rport, 1, 1);
        return 0;
    }
    unsigned char *head = BPF_CORE_READ(skb, head);
    __u16 nh = BPF_CORE_READ(skb, network_header), th = BPF_CORE_READ(skb, transport_header);
    __u8 ver = 0;
    bpf_probe_read_kernel(&ver, 1, head + nh);
    ver >>= 4;
    __u32 addrs[8] = {};  // source, destination of the segment
    __u16 ports[2] = {};
    __u16 family = AF_INET;
    if (ver == 4) {
        if (bpf_probe_read_kernel(&addrs[0], 4, head + nh + 12) ||
            bpf_probe_read_kernel(&addrs[4], 4, head + nh + 16))
            return 0;
    } else if (ver == 6 && want_v6) {
        if (bpf_probe_read_kernel(addrs, sizeof addrs, head + nh + 8)) return 0;
        family = AF_INET6;
    } else {
        return 0;
    }
    if (bpf_probe_read_kernel(ports, sizeof ports, head + th)) return 0;
    __u8 state = sk ? 1 : 0;
    if (!sk && !scan_port(ports[1])) return 0;
    emit(LIVE_NET_RST, 0, family, &addrs[0], ports[0], &addrs[4], ports[1], 0, state);
    return 0;
}

// A reset we receive on one of our sockets. A connect it refuses is reported first, so the
// module sees the connect pending when the reset arrives.
SEC("raw_tp/tcp_receive_reset")
int live_tcp_receive_reset(struct bpf_raw_tracepoint_args *ctx) {
    const struct sock *sk = (const struct sock *)ctx->args[0];
    struct tuple t;
    if (!sk || sock_netns(sk) != host_netns || sock_tuple(sk, &t)) return 0;
    __u64 key = (__u64)sk;
    struct owner *o = bpf_map_lookup_elem(&connecting, &key);
    if (o) {
        struct owner copy = *o;
        bpf_map_delete_elem(&connecting, &key);
        if (t.lport)
            emit(LIVE_NET_CONN_FAIL, &copy, t.family, t.laddr, t.lport, t.raddr, t.rport, 1, 0);
    }
    emit(LIVE_NET_RST, 0, t.family, t.laddr, t.lport, t.raddr, t.rport, 1, 1);
    return 0;
}

// ---- DNS messages -------------------------------------------------------------------------

// One packet's copy is built here before it goes into the ring at its own length.
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct live_net_pkt_ev);
} pkt_scratch SEC(".maps");

#define ETH_P_IP_BE 0x0008   // htons(0x0800)
#define ETH_P_IPV6_BE 0xDD86 // htons(0x86DD)

// A UDP datagram leaving a local socket, in the sender's system call (the send goes down to
// this hook before it returns): the datagram's own addresses, the one send a second per
// process and destination the hooks below would report, without their per-send costs.
static __always_inline void udp_leaving(struct __sk_buff *skb, struct bpf_sock *sk, __u16 family,
                                        const __u32 *saddr, const __u32 *daddr,
                                        const __u16 *ports) {
    struct udp_last *l = bpf_sk_storage_get(&udp_last, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    __u64 now = bpf_ktime_get_coarse_ns();
    if (l && same_send(l, daddr, ports[1], now)) return;
    if (bpf_get_netns_cookie(skb) != host_netns) return;
    struct owner o = {};
    current_owner(&o);
    if (!udp_first(&o, ports[0], daddr, ports[1]) || skip_own(&o, ports[1])) return;
    if (ports[1] != dns_port) note_send(l, &o, daddr, ports[1], now);
    emit(LIVE_NET_UDP, &o, family, saddr, ports[0], daddr, ports[1], 1, 0);
}

// A packet a local socket sends or receives, with the DNS port at either end (UDP, or TCP
// for DNS over TCP), whole fragments only: copied for user space, which finds its process
// by its local port. Every packet of every socket passes here, so the test is cheap: a
// connected TCP socket's packets carry its own two ports, read from the socket without a
// helper call; only UDP and unconnected sockets' (or raw ones') are looked into, with one
// load. Leaving UDP datagrams are reported as sends on the way.
static __always_inline void skb_packet(struct __sk_buff *skb, __u8 leaving) {
    // The peer port as the kernel shifts it into the word (network order in its high half
    // on little-endian machines) or not; the local port in host order.
    __u32 rport = skb->remote_port, lport = skb->local_port;
    int peer_dns = rport == dns_port || rport == (__u32)dns_port << 16;
    int dns_sock = want_dns && (lport == bpf_ntohs(dns_port) || peer_dns);
    struct bpf_sock *sk = leaving && udp_from_packets ? skb->sk : 0;
    if (sk) sk = bpf_sk_fullsock(sk);
    int udp_send = sk && sk->protocol == IPPROTO_UDP;
    if (!udp_send && !dns_sock && (rport != 0 || !want_dns)) return;
    __u32 th;
    __u8 proto;
    __u16 ports[2];
    __u32 saddr[4] = {}, daddr[4] = {};
    __u16 family;
    __u8 h[44];  // an IPv6 header or an IPv4 one without options, and the two ports
    if (skb->protocol == ETH_P_IP_BE) {
        if (bpf_skb_load_bytes(skb, 0, h, 24)) return;
        __u16 frag = (__u16)(h[6] << 8 | h[7]);
        if (frag & 0x3fff) return;
        th = (h[0] & 0x0f) * 4;
        proto = h[9];
        if (th == 20) {
            __builtin_memcpy(ports, h + 20, sizeof ports);
        } else if (bpf_skb_load_bytes(skb, th, ports, sizeof ports)) {
            return;
        }
        __builtin_memcpy(saddr, h + 12, 4);
        __builtin_memcpy(daddr, h + 16, 4);
        family = AF_INET;
    } else if (skb->protocol == ETH_P_IPV6_BE && want_v6) {
        if (bpf_skb_load_bytes(skb, 0, h, 44)) return;
        proto = h[6];
        th = 40;
        __builtin_memcpy(ports, h + 40, sizeof ports);
        __builtin_memcpy(saddr, h + 8, 16);
        __builtin_memcpy(daddr, h + 24, 16);
        family = AF_INET6;
    } else {
        return;
    }
    if (proto != IPPROTO_UDP && proto != IPPROTO_TCP) return;
    if (udp_send && proto == IPPROTO_UDP) udp_leaving(skb, sk, family, saddr, daddr, ports);
    if (!want_dns || (ports[0] != dns_port && ports[1] != dns_port)) return;
    if (bpf_get_netns_cookie(skb) != host_netns) return;
    __u32 zero = 0;
    struct live_net_pkt_ev *p = bpf_map_lookup_elem(&pkt_scratch, &zero);
    if (!p) return;
    __u32 len = skb->len;
    if (len > LIVE_NET_PKT_MAX) len = LIVE_NET_PKT_MAX;
    if (len < 20) return;
    if (bpf_skb_load_bytes(skb, 0, p->data, len)) return;
    p->kind = LIVE_NET_PKT;
    p->len = len;
    p->ifindex = leaving ? skb->ifindex : skb->ingress_ifindex;
    p->leaving = leaving;
    p->pad[0] = p->pad[1] = p->pad[2] = 0;
    __u64 size = __builtin_offsetof(struct live_net_pkt_ev, data) + len;
    if (size > sizeof(*p)) return;
    if (bpf_ringbuf_output(&events, p, size, wake_flag())) __sync_fetch_and_add(&lost, 1);
}

SEC("cgroup_skb/egress")
int live_dns_out(struct __sk_buff *skb) {
    skb_packet(skb, 1);
    return 1;
}

SEC("cgroup_skb/ingress")
int live_dns_in(struct __sk_buff *skb) {
    skb_packet(skb, 0);
    return 1;
}
