/* The events the network programs hand to user space through their ring buffer. Shared by
 * the BPF programs (C) and their reader (C++): fixed-width fields only, natural alignment.
 * Addresses and ports are in network order, as the sockets keep them. */
#ifndef LIVE_NET_EV_H
#define LIVE_NET_EV_H
#include <linux/types.h>

#define LIVE_NET_RING_BYTES (256u << 10) /* about 5,000 events */
#define LIVE_NET_WAKE_BYTES (32u << 10) /* a ring this full wakes the reader at once */
#define LIVE_NET_SCAN_WORDS 1024        /* 65536 port bits */

enum {
    LIVE_NET_UDP = 0,       /* a UDP datagram sent; to the DNS port it names the query's owner */
    LIVE_NET_LISTEN = 1,    /* a socket started listening */
    LIVE_NET_CONN_IN = 2,   /* an inbound connection established, owned by its listener */
    LIVE_NET_CONN_EST = 3,  /* an outbound connect answered: established */
    LIVE_NET_CONN_FAIL = 4, /* an outbound connect that ended before it was established */
    LIVE_NET_RST = 5,       /* a reset sent or received */
    LIVE_NET_PKT = 6,       /* a packet to or from the DNS port: struct live_net_pkt_ev */
};

/* A packet with the DNS port at either end, from its IP header, as a local socket sent or
 * received it; at most LIVE_NET_PKT_MAX bytes of it (len says how many follow). */
#define LIVE_NET_PKT_MAX 6400
struct live_net_pkt_ev {
    __u32 kind;
    __u32 len;
    __u32 ifindex; /* the device it leaves by or came in on */
    __u8 leaving;
    __u8 pad[3];
    __u8 data[LIVE_NET_PKT_MAX];
};

struct live_net_ev {
    __u32 kind;
    __u32 pid;      /* thread group id; 0 for resets */
    __u64 start_ns; /* start_boottime of the process */
    /* Local end first, except resets with direction 0 (peer first). IPv4 in the first word,
     * the rest zero; IPv6 (family 10, only when asked for) in all four. */
    __u32 saddr[4];
    __u32 daddr[4];
    __u16 sport;
    __u16 dport;
    __u16 family;   /* 2 or 10 */
    __u8 direction; /* resets: 1 local end first, 0 peer first */
    __u8 state;     /* resets: 1 on a socket the module tracks, 0 a probe of a closed port */
};

#endif
