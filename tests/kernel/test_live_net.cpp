// The live network source: its records byte for byte against layouts written out by hand,
// the bounds of what it reads from captured packets, how DNS messages find their process,
// and a child's real connections, listening socket and DNS lookups (a loopback dnsmasq)
// through the stand-in and through the whole library. The live parts skip where the eBPF
// programs cannot load.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/mem.h"
#include "e2e_host.h"
#include "framework/mod_manager.h"
#include "kernel/kernel_if.h"
#include "kernel/capture/common/proc_listeners.h"
#include "kernel/capture/common/proc_records.h"
#include "kernel/capture/network.h"
#include "kernel/standin/standin.h"
#include "live_workload.h"
#include "net/dns_parse.h"
#include "net/net.h"
#include "loopback_net.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"
#include "staged_tree.h"
#include "startup/startup.h"

namespace {

using bytes = std::vector<unsigned char>;

// Little-endian pieces for layouts written out by hand.
void le(bytes &b, size_t at, uint64_t v, int width) {
    for (int i = 0; i < width; i++) b[at + i] = (unsigned char)(v >> (8 * i));
}
uint32_t ip(const char *text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}
// A 16-byte address field from IPv4 or IPv6 text.
live_net_addr addr(const char *text) {
    live_net_addr a{};
    inet_pton(strchr(text, ':') ? AF_INET6 : AF_INET, text, a.data());
    return a;
}

// ---- Record layouts -------------------------------------------------------------------------

TEST(LiveNetRecord, BytesMatchHandAssembledLayout) {
    live_net_conn c;
    c.create_time = 0x1122334455667788ull, c.pid = 0xA1B2C3D4, c.proto = 6;
    c.saddr = addr("10.1.2.3"), c.daddr = addr("192.168.200.1");
    c.sport = htons(40000), c.dport = htons(443);
    // Header, the common connection fields, and each address's twelve zero bytes.
    auto conn_bytes = [&](uint16_t type, uint16_t len, uint16_t proto) {
        bytes b(len, 0);
        le(b, 0, 0xFEDCCDEF, 4), le(b, 4, len, 2), le(b, 6, type, 2), le(b, 8, 0xA1B2C3D4, 4);
        le(b, 16, 0x1122334455667788ull, 8), le(b, 24, 0xA1B2C3D4, 4);
        le(b, 28, 2, 2), le(b, 30, proto, 2);
        b[32] = 0x9C, b[33] = 0x40;  // 40000, network order
        b[34] = 0x01, b[35] = 0xBB;  // 443
        b[36] = 10, b[37] = 1, b[38] = 2, b[39] = 3;
        b[52] = 192, b[53] = 168, b[54] = 200, b[55] = 1;
        return b;
    };
    bytes got;
    for (uint16_t type :
         {LIVE_NET_T_UDP_SEND, LIVE_NET_T_CONN_IN, LIVE_NET_T_CONN_OUT, LIVE_NET_T_CONN_OUT_EST}) {
        SCOPED_TRACE(type);
        c.proto = type == LIVE_NET_T_UDP_SEND ? 17 : 6;
        live_net_encode_conn(type, c, got);
        EXPECT_EQ(got, conn_bytes(type, 72, c.proto));
    }

    c.proto = 17;
    bytes req = conn_bytes(10, 328, 17);
    memcpy(req.data() + 72, "mail.example.test", 17);  // NUL-padded to 256 bytes
    ASSERT_EQ(live_net_encode_dns_req(c, "mail.example.test", got), 0);
    EXPECT_EQ(got, req);

    const unsigned char msg[] = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1};
    bytes rsp = conn_bytes(11, 74 + sizeof msg, 17);
    le(rsp, 72, sizeof msg, 2);
    memcpy(rsp.data() + 74, msg, sizeof msg);
    ASSERT_EQ(live_net_encode_dns_rsp(c, msg, sizeof msg, got), 0);
    EXPECT_EQ(got, rsp);

    bytes listen(36, 0);
    le(listen, 0, 0xFEDCCDEF, 4), le(listen, 4, 36, 2), le(listen, 6, 6, 2), le(listen, 8, 77, 4);
    le(listen, 16, 5000000000ull, 8), le(listen, 24, 77, 4);
    listen[30] = 0x1F, listen[31] = 0x90;  // 8080
    listen[32] = 127, listen[35] = 1;
    live_net_encode_listen(5000000000ull, 77, 2, addr("127.0.0.1"), htons(8080), got);
    EXPECT_EQ(got, listen);

    // A reset carries no process; direction and state sit in the header's spare bytes.
    bytes rst(52, 0);
    le(rst, 0, 0xFEDCCDEF, 4), le(rst, 4, 52, 2), le(rst, 6, 12, 2);
    rst[14] = 0, rst[15] = 1;
    rst[16] = 0xD4, rst[17] = 0x31;  // 54321
    rst[18] = 0x00, rst[19] = 0x16;  // 22
    rst[20] = 203, rst[21] = 0, rst[22] = 113, rst[23] = 9;
    rst[36] = 10, rst[37] = 0, rst[38] = 0, rst[39] = 2;
    live_net_encode_rst(0, 1, 2, addr("203.0.113.9"), htons(54321), addr("10.0.0.2"), htons(22),
                        got);
    EXPECT_EQ(got, rst);

    // IPv6: the family (10) at 28 of a connection and a listener, at 12 of a reset, and all
    // sixteen bytes of each address; a listener's record grows to 48 bytes to hold its own.
    const unsigned char v6a[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
    const unsigned char v6b[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xab, 0xcd};
    c.family = 10, c.proto = 6, c.saddr = addr("2001:db8::5"), c.daddr = addr("fe80::abcd");
    bytes conn6 = conn_bytes(LIVE_NET_T_CONN_OUT, 72, 6);
    le(conn6, 28, 10, 2);
    memcpy(&conn6[36], v6a, 16), memcpy(&conn6[52], v6b, 16);
    live_net_encode_conn(LIVE_NET_T_CONN_OUT, c, got);
    EXPECT_EQ(got, conn6);
    bytes listen6(48, 0);
    std::copy(listen.begin(), listen.end(), listen6.begin());
    le(listen6, 4, 48, 2), le(listen6, 28, 10, 2);
    memcpy(&listen6[32], v6a, 16);
    live_net_encode_listen(5000000000ull, 77, 10, addr("2001:db8::5"), htons(8080), got);
    EXPECT_EQ(got, listen6);
    bytes rst6 = rst;
    le(rst6, 12, 10, 2);
    memcpy(&rst6[20], v6b, 16), memcpy(&rst6[36], v6a, 16);
    live_net_encode_rst(0, 1, 10, addr("fe80::abcd"), htons(54321), addr("2001:db8::5"), htons(22),
                        got);
    EXPECT_EQ(got, rst6);
}

// ---- What is read from captured packets -----------------------------------------------------

// A TCP segment (20-byte header, or longer with options) or a UDP datagram, over IPv4 or over
// IPv6 (a fixed 40-byte header whose next header is the transport).
bytes segment(const char *src, uint16_t sport, const char *dst, uint16_t dport,
              const bytes &payload, uint8_t proto = 6, size_t thl = 20) {
    bool v6 = strchr(src, ':');
    size_t ih = v6 ? 40 : 20, th = proto == 6 ? thl : 8;
    bytes p(ih + th + payload.size(), 0);
    live_net_addr s = addr(src), d = addr(dst);
    if (v6) {
        p[0] = 0x60, p[6] = proto, p[7] = 64;
        size_t pl = p.size() - 40;
        p[4] = (unsigned char)(pl >> 8), p[5] = (unsigned char)pl;
        memcpy(&p[8], s.data(), 16), memcpy(&p[24], d.data(), 16);
    } else {
        p[0] = 0x45, p[9] = proto, p[8] = 64;
        p[2] = (unsigned char)(p.size() >> 8), p[3] = (unsigned char)p.size();
        memcpy(&p[12], s.data(), 4), memcpy(&p[16], d.data(), 4);
    }
    unsigned char *t = &p[ih];
    t[0] = (unsigned char)(sport >> 8), t[1] = (unsigned char)sport;
    t[2] = (unsigned char)(dport >> 8), t[3] = (unsigned char)dport;
    if (proto == 6) {
        t[12] = (unsigned char)(thl / 4 << 4);
    } else {
        t[4] = (unsigned char)((8 + payload.size()) >> 8),
        t[5] = (unsigned char)(8 + payload.size());
    }
    std::copy(payload.begin(), payload.end(), p.begin() + (long)(ih + th));
    return p;
}

// An IPv4 UDP datagram: 20-byte header (or longer with options), UDP header, payload.
bytes datagram(const char *src, uint16_t sport, const char *dst, uint16_t dport,
               const bytes &payload, size_t ihl = 20) {
    bytes p = segment(src, sport, dst, dport, payload, 17);
    p.insert(p.begin() + 20, ihl - 20, 0);
    p[0] = (unsigned char)(0x40 | ihl / 4);
    p[2] = (unsigned char)(p.size() >> 8), p[3] = (unsigned char)p.size();
    return p;
}

TEST(LiveNetParse, UdpDatagramBounds) {
    const bytes pl = {1, 2, 3, 4};
    struct Row {
        const char *what;
        std::function<void(bytes &)> edit;
        bool ok;
    };
    const Row rows[] = {
        {"plain", [](bytes &) {}, true},
        {"with options", [](bytes &) {}, true},
        {"not IPv4", [](bytes &p) { p[0] = 0x65; }, false},
        {"header below 20 bytes", [](bytes &p) { p[0] = 0x44; }, false},
        {"TCP shorter than its header", [](bytes &p) { p[9] = 6; }, false},
        {"ICMP", [](bytes &p) { p[9] = 1; }, false},
        {"more fragments", [](bytes &p) { p[6] = 0x20; }, false},
        {"don't fragment is fine", [](bytes &p) { p[6] = 0x40; }, true},
        {"UDP length below its header", [](bytes &p) { p[24] = 0, p[25] = 7; }, false},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        bool opts = std::string(r.what) == "with options";
        bytes p = datagram("127.0.0.1", 40000, "127.0.0.53", 53, pl, opts ? 24 : 20);
        r.edit(p);
        live_net_pkt u;
        bool ok = live_net_parse_packet(p.data(), p.size(), &u);
        EXPECT_EQ(ok, r.ok);
        if (ok) {
            EXPECT_EQ(u.sport, htons(40000));
            EXPECT_EQ(u.dport, htons(53));
            EXPECT_EQ(u.daddr, addr("127.0.0.53"));
            ASSERT_EQ(u.len, 4u);
            EXPECT_EQ(bytes(u.payload, u.payload + u.len), pl);
        }
    }
    live_net_pkt u;
    EXPECT_FALSE(live_net_parse_packet(nullptr, 0, &u));
}

TEST(LiveNetParse, TcpSegmentsAndIpv6Bounds) {
    const bytes pl = {9, 8, 7};
    struct Row {
        const char *what;
        bytes p;
        std::function<void(bytes &)> edit;
        bool ok;
    };
    const Row rows[] = {
        {"IPv4 TCP with options", segment("10.0.0.5", 40000, "10.0.0.53", 53, pl, 6, 32),
         [](bytes &) {}, true},
        {"TCP data offset below 20", segment("10.0.0.5", 40000, "10.0.0.53", 53, pl),
         [](bytes &p) { p[32] = 0x40; }, false},
        {"IPv6 UDP", segment("2001:db8::5", 40000, "2001:db8::53", 53, pl, 17), [](bytes &) {},
         true},
        {"IPv6 extension header", segment("2001:db8::5", 40000, "2001:db8::53", 53, pl),
         [](bytes &p) { p[6] = 0; }, false},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        bytes p = r.p;
        r.edit(p);
        live_net_pkt u;
        bool ok = live_net_parse_packet(p.data(), p.size(), &u);
        ASSERT_EQ(ok, r.ok);
        if (!ok) continue;
        bool v6 = p[0] >> 4 == 6;
        EXPECT_EQ(u.family, v6 ? 10 : 2);
        EXPECT_EQ(u.proto, v6 ? p[6] : p[9]);
        EXPECT_EQ(u.saddr, addr(v6 ? "2001:db8::5" : "10.0.0.5"));
        EXPECT_EQ(u.dport, htons(53));
        EXPECT_EQ(bytes(u.payload, u.payload + u.len), pl);
    }
}

// A query message: header with qdcount, then the question's raw name bytes, type and class.
bytes query(const bytes &name, uint16_t qdcount = 1, bool response = false) {
    bytes m = {0xBE, 0xEF, (unsigned char)(response ? 0x81 : 0x01),
               0,    0,    (unsigned char)qdcount,
               0,    0,    0,
               0,    0,    0};
    m.insert(m.end(), name.begin(), name.end());
    for (unsigned char b : {0, 1, 0, 1}) m.push_back(b);
    return m;
}
bytes labels(const std::vector<std::string> &parts) {
    bytes b;
    for (auto &p : parts) {
        b.push_back((unsigned char)p.size());
        b.insert(b.end(), p.begin(), p.end());
    }
    b.push_back(0);
    return b;
}

TEST(LiveNetParse, QueryNameBounds) {
    std::string l63(63, 'x'), l62(62, 'y');
    // 63+1+63+1+63+1+62 = 254 characters and 256 wire bytes, the most taken.
    std::vector<std::string> longest = {l63, l63, l63, l62};
    std::vector<std::string> too_long = {l63, l63, l63, l63};
    // NULs escape to 4 characters each: 21 + 3 * 253 + 11 = 790, cut to 125 + 3 + 123.
    const std::string nul63(63, '\0');
    std::string n000;
    for (int i = 0; i < 63; i++) n000 += "\\000";
    struct Row {
        const char *what;
        bytes msg;
        bool ok;
        std::string name;
        std::string raw = "-";  // the raw form where it differs
    };
    const Row rows[] = {
        {"three labels", query(labels({"www", "example", "test"})), true, "www.example.test"},
        {"root", query({0}), true, ""},
        {"254 characters", query(labels(longest)), true, l63 + "." + l63 + "." + l63 + "." + l62},
        {"257 wire bytes", query(labels(too_long)), false, ""},
        // Raw, a NUL ends the name as text shows it: the rest is hidden.
        {"NUL, dot and backslash in labels",
         query(labels({std::string("com\0", 4), "a.b", "c\\d", "test"})), true,
         "com\\000.a\\046b.c\\092d.test", "com"},
        {"escaped past the field",
         query(labels({"update", "microsoft", "com", nul63, nul63, nul63, "exfil", "test"})), true,
         "update.microsoft.com." + n000.substr(0, 104) + "..." + n000.substr(0, 112) +
             ".exfil.test",
         "update.microsoft.com."},
        {"64-byte label", query(labels({std::string(64, 'q')})), false, ""},
        {"compression pointer", query({3, 'w', 'w', 'w', 0xC0, 12}), false, ""},
        {"no question", query(labels({"a"}), 0), false, ""},
    };
    for (bool escape : {false, true})
        for (const Row &r : rows) {
            SCOPED_TRACE(std::string(r.what) + (escape ? ", escaped" : ", raw"));
            g_net_config.dns_name_escape = escape;
            char out[LIVE_NET_NAME_LEN];
            memset(out, 'Z', sizeof out);
            EXPECT_EQ(live_net_query_name(r.msg.data(), r.msg.size(), out, escape), r.ok);
            EXPECT_EQ(std::string(out), escape || r.raw == "-" ? r.name : r.raw);  // NUL-terminated
            if (!r.ok) continue;
            // The answer's parser reads the same question as the same text, or they never pair.
            bytes answer = r.msg;
            answer[2] = 0x81, answer[3] = 0x80, answer[7] = 1;
            answer.insert(answer.end(), {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 9, 0, 4, 192, 0, 2, 1});
            char name[DNSA_NAME_LEN];
            dnsa_record *list =
                dnsa_get_response_ip(answer.data(), (int)answer.size(), name, (int)sizeof name);
            EXPECT_NE(list, nullptr);
            EXPECT_EQ(std::string(name), out);
            dnsa_clean(list);
        }
    g_net_config.dns_name_escape = 0;
}

bytes capture_request(uint32_t ctl, uint32_t enable, uint32_t pid, uint16_t dns_port,
                      const std::vector<uint16_t> &ports) {
    bytes b(60 + 2 * ports.size(), 0);
    le(b, 0, b.size(), 4), le(b, 4, ctl, 4), le(b, 8, enable, 4), le(b, 12, pid, 4);
    b[16] = (unsigned char)(dns_port >> 8), b[17] = (unsigned char)dns_port;
    le(b, 52, ports.size(), 4);
    for (size_t i = 0; i < ports.size(); i++)
        b[56 + 2 * i] = (unsigned char)(ports[i] >> 8), b[57 + 2 * i] = (unsigned char)ports[i];
    return b;
}

TEST(LiveNetParse, CaptureRequest) {
    bytes b = capture_request(7, 1, 4321, 5353, {22, 0x1F90, 65535});
    live_net_config c;
    ASSERT_TRUE(live_net_parse_config(b.data(), b.size(), &c));
    EXPECT_EQ(c.scan_ports, (std::vector<uint16_t>{22, 8080, 65535}));
    EXPECT_FALSE(c.ipv6);
    EXPECT_FALSE(c.dns_escape);
    le(b, 18, 5, 2);  // IPv6 is bit 0 of the flags, escaped names bit 1; others are not ours
    ASSERT_TRUE(live_net_parse_config(b.data(), b.size(), &c));
    EXPECT_TRUE(c.ipv6);
    EXPECT_FALSE(c.dns_escape);
    le(b, 18, 2, 2);
    ASSERT_TRUE(live_net_parse_config(b.data(), b.size(), &c));
    EXPECT_FALSE(c.ipv6);
    EXPECT_TRUE(c.dns_escape);
    // A port count the payload does not hold, and a payload without the fixed part.
    le(b, 52, 4, 4);
    EXPECT_FALSE(live_net_parse_config(b.data(), 62, &c));
    le(b, 52, 0xFFFFFFFF, 4);
    EXPECT_FALSE(live_net_parse_config(b.data(), b.size(), &c));
    EXPECT_FALSE(live_net_parse_config(b.data(), 55, &c));
    EXPECT_FALSE(live_net_parse_config(nullptr, 60, &c));
}

// ---- Listeners found in /proc at start -----------------------------------------------------

// A /proc/net/tcp line as the kernel prints it: each address word with %08X as it lies in
// memory, the port with %04X in host order.
std::string tcp_line(const std::vector<uint32_t> &words, uint16_t port, const char *state,
                     const char *inode) {
    std::string addr;
    char b[16];
    for (uint32_t w : words) snprintf(b, sizeof b, "%08X", w), addr += b;
    snprintf(b, sizeof b, "%04X", port);
    return "   3: " + addr + ":" + b + " " + addr + ":0000 " + state +
           " 00000000:00000000 00:00000000 00000000     0        0 " + inode +
           " 1 0000000000000000 100 0 0 10 0\n";
}

TEST(LiveNetListeners, ProcNetTcpTextAndTheProgramsKeys) {
    const uint32_t lo = ip("127.0.0.1"), mapped = htonl(0xffff);
    const std::string header =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n";
    std::string v4 = header + tcp_line({lo}, 8080, "0A", "4242") +
                     tcp_line({lo}, 8081, "01", "4243") +  // established
                     "   4: 0100007F:11F90 00000000:0000 0A 00000000:00000000 00:00000000 "
                     "00000000 0 0 4245 1\n" +                            // port of five digits
                     tcp_line({0}, 9, "0A", "18446744073709551616") +     // inode past 64 bits
                     tcp_line({0}, 65535, "0A", "18446744073709551615");  // last line, no newline
    v4.pop_back();
    std::vector<live_listen_sock> got;
    ASSERT_EQ(live_parse_listeners(v4, AF_INET, got), 2u);
    EXPECT_EQ(bytes(got[0].addr, got[0].addr + 16),
              (bytes{127, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(got[0].port, htons(8080));
    EXPECT_EQ(got[0].inode, 4242u);
    EXPECT_EQ(got[1].port, htons(65535));
    EXPECT_EQ(got[1].inode, UINT64_MAX);
    // The IPv4 text read as IPv6 (and an unknown family) gives nothing.
    EXPECT_EQ(live_parse_listeners(v4, AF_INET6, got), 0u);
    EXPECT_EQ(live_parse_listeners(v4, 3, got), 0u);

    const std::string v6 = header + tcp_line({0, 0, 0, 0}, 22, "0A", "51") +
                           tcp_line({0, 0, mapped, lo}, 8080, "0A", "52") +
                           tcp_line({0, 0, 0, htonl(1)}, 80, "0A", "53") +
                           tcp_line({lo}, 81, "0A", "54");
    got.clear();
    ASSERT_EQ(live_parse_listeners(v6, AF_INET6, got), 3u);
    EXPECT_EQ(got[2].addr[15], 1);

    // The programs' key: the namespace cookie, the address (IPv4 in its first word) and the
    // port as the socket holds them, the family, four zero bytes. Without IPv6 a dual-stack
    // wildcard is the IPv4 wildcard and ::1 has none; with it both are family 10.
    auto key_bytes = [](const live_net_listen_key &k) {
        return bytes(reinterpret_cast<const unsigned char *>(&k),
                     reinterpret_cast<const unsigned char *>(&k) + sizeof k);
    };
    auto want = [](const bytes &addr, uint16_t port, uint16_t family) {
        bytes w(32, 0);
        le(w, 0, 0x0102030405060708ull, 8);
        std::copy(addr.begin(), addr.end(), w.begin() + 8);
        w[24] = (unsigned char)(port >> 8), w[25] = (unsigned char)port;
        le(w, 26, family, 2);
        return w;
    };
    const uint64_t ns = 0x0102030405060708ull;
    live_net_listen_key k;
    ASSERT_TRUE(live_net_listen_key_of(got[0], ns, false, &k));
    EXPECT_EQ(key_bytes(k), want({}, 22, 2));
    ASSERT_TRUE(live_net_listen_key_of(got[0], ns, true, &k));
    EXPECT_EQ(key_bytes(k), want({}, 22, 10));
    for (bool v6 : {false, true}) {
        ASSERT_TRUE(live_net_listen_key_of(got[1], ns, v6, &k));
        EXPECT_EQ(key_bytes(k), want({127, 0, 0, 1}, 8080, 2));
    }
    EXPECT_FALSE(live_net_listen_key_of(got[2], 1, false, &k));
    ASSERT_TRUE(live_net_listen_key_of(got[2], ns, true, &k));
    EXPECT_EQ(key_bytes(k), want(bytes(got[2].addr, got[2].addr + 16), 80, 10));
    live_listen_sock plain;
    plain.family = AF_INET, plain.addr[0] = 10, plain.addr[3] = 7, plain.port = htons(443);
    ASSERT_TRUE(live_net_listen_key_of(plain, ns, true, &k));
    EXPECT_EQ(key_bytes(k), want({10, 0, 0, 7}, 443, 2));
}

// DNS messages as TCP carries them, each behind its 2-byte length.
bytes framed(std::initializer_list<bytes> msgs) {
    bytes out;
    for (const bytes &m : msgs) {
        out.push_back((unsigned char)(m.size() >> 8)), out.push_back((unsigned char)m.size());
        out.insert(out.end(), m.begin(), m.end());
    }
    return out;
}

// ---- Events and packets to records ----------------------------------------------------------

struct out_rec {
    bytes rec;
    uint32_t pid;
    uint64_t ct;
};
struct LiveNetCore : ::testing::Test {
    static constexpr int LO = 1, ETH = 2;
    static constexpr uint32_t SENSOR = 999;
    std::vector<out_rec> recs;
    live_net_core::sink sink = [this](bytes &&r, uint32_t pid, uint64_t ct) {
        recs.push_back({std::move(r), pid, ct});
    };
    live_net_core core{htons(53), SENSOR, true, LO};
    uint64_t now = 1000;

    static live_net_ev ev(uint32_t kind, uint32_t pid, const char *s, uint16_t sp, const char *d,
                          uint16_t dp) {
        live_net_ev e{};
        e.kind = kind, e.pid = pid, e.start_ns = 3'000'000'000ull;
        live_net_addr sa = addr(s), da = addr(d);
        memcpy(e.saddr, sa.data(), 16), memcpy(e.daddr, da.data(), 16);
        e.family = strchr(s, ':') ? 10 : 2;
        e.sport = htons(sp), e.dport = htons(dp);
        return e;
    }
    static uint16_t type(const out_rec &r) { return (uint16_t)(r.rec[6] | r.rec[7] << 8); }
    static bytes fields(const out_rec &r) {  // the 56 bytes from offset 16 the module keys on
        return bytes(r.rec.begin() + 16, r.rec.begin() + 72);
    }
    void packet(const bytes &p, int pkttype, int ifindex = LO) {
        core.on_packet(p.data(), p.size(), pkttype, ifindex, now, sink);
    }
    bytes q = query(labels({"www", "example", "test"}));
    bytes a = query(labels({"www", "example", "test"}), 1, true);
};

TEST_F(LiveNetCore, AScanOfManyPortsIsOneReportPerPeerAndWindow) {
    auto probe = [&](const char *peer, uint16_t port, uint8_t state = 0) {
        live_net_ev e = ev(LIVE_NET_RST, 0, peer, 40000, "10.0.0.1", port);
        e.state = state;
        core.on_event(e, now, sink);
    };
    for (uint16_t p : {21, 22, 23, 80, 443, 3389}) probe("203.0.113.9", p);
    probe("203.0.113.10", 22);  // another peer is its own scan
    ASSERT_EQ(recs.size(), 2u);
    // Resets of live connections (state 1) are not condensed: the module judges each.
    probe("203.0.113.9", 5000, 1);
    probe("203.0.113.9", 5001, 1);
    EXPECT_EQ(recs.size(), 4u);
    now += live_net_core::SCAN_WINDOW_MS - 1;
    probe("203.0.113.9", 25);
    EXPECT_EQ(recs.size(), 4u);
    now += 1;  // a new window
    probe("203.0.113.9", 25);
    EXPECT_EQ(recs.size(), 5u);
    // Many distinct peers stay bounded: old windows make room, and nothing is lost for a new peer.
    for (uint32_t i = 0; i < live_net_core::SCAN_PEERS_MAX + 10; i++) {
        live_net_ev e = ev(LIVE_NET_RST, 0, "10.9.0.0", 40000, "10.0.0.1", 22);
        e.saddr[0] = htonl(0x0a090000 + i);
        core.on_event(e, now, sink);
    }
    EXPECT_EQ(recs.size(), 5u + live_net_core::SCAN_PEERS_MAX + 10);
}

TEST_F(LiveNetCore, UdpSendsAndTheSensorsOwn) {
    core.on_event(ev(LIVE_NET_UDP, 50, "0.0.0.0", 40000, "10.0.0.7", 123), now, sink);
    core.on_event(ev(LIVE_NET_UDP, SENSOR, "0.0.0.0", 40001, "10.0.0.7", 123), now, sink);
    // A send to the DNS port only names the sender while the query itself is captured.
    core.on_event(ev(LIVE_NET_UDP, 51, "0.0.0.0", 40002, "127.0.0.53", 53), now, sink);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(type(recs[0]), 5);
    EXPECT_EQ(recs[0].rec[30], 17);
    // Without the capture it is reported as a UDP send instead.
    live_net_core blind{htons(53), SENSOR, false, LO};
    blind.on_event(ev(LIVE_NET_UDP, 51, "0.0.0.0", 40002, "127.0.0.53", 53), now, sink);
    blind.on_event(ev(LIVE_NET_UDP, SENSOR, "0.0.0.0", 40003, "127.0.0.53", 53), now, sink);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(type(recs[1]), 5);
    EXPECT_EQ(recs[1].pid, 51u);
}

// IPv6 events and packets pass only when asked for: then records of family 10 with whole
// addresses.
TEST_F(LiveNetCore, Ipv6PassesOnlyWhenAskedFor) {
    core.on_event(ev(LIVE_NET_CONN_EST, 72, "::1", 47000, "::1", 8080), now, sink);
    core.on_event(ev(LIVE_NET_UDP, 73, "::1", 47001, "::1", 53), now, sink);
    packet(segment("::1", 47001, "::1", 53, q, 17), PACKET_HOST);
    EXPECT_TRUE(recs.empty());
    EXPECT_EQ(core.waiting(), 0u);
    live_net_core v6{htons(53), SENSOR, true, LO, true};
    v6.on_event(ev(LIVE_NET_CONN_EST, 72, "::1", 47000, "2001:db8::80", 8080), now, sink);
    v6.on_event(ev(LIVE_NET_UDP, 73, "::1", 47001, "::1", 53), now, sink);
    v6.on_packet(segment("::1", 47001, "::1", 53, q, 17).data(),
                 segment("::1", 47001, "::1", 53, q, 17).size(), PACKET_HOST, LO, now, sink);
    ASSERT_EQ(recs.size(), 3u);
    live_net_addr any6 = addr("::1"), far6 = addr("2001:db8::80");
    for (const out_rec &r : recs) {
        EXPECT_EQ(r.rec[28] | r.rec[29] << 8, 10);
        EXPECT_EQ(bytes(r.rec.begin() + 36, r.rec.begin() + 52), bytes(any6.begin(), any6.end()));
    }
    EXPECT_EQ(bytes(recs[0].rec.begin() + 52, recs[0].rec.begin() + 68),
              bytes(far6.begin(), far6.end()));
    EXPECT_EQ(type(recs[2]), 10);
    EXPECT_EQ(recs[2].pid, 73u);
}

// A message split across segments is put together from its connection's bytes in sequence
// order (each segment seen twice on loopback): written in pieces, behind a decoy that ends
// with its first byte, or with a piece sent again. One that cannot be (a gap, a connection
// ended first, no rest within its time, too many connections or bytes waiting) is counted.
TEST_F(LiveNetCore, DnsOverTcpSplitAcrossSegmentsIsPutTogether) {
    const bytes decoy = query(labels({"decoy", "test"}));
    const bytes one = framed({q}), two = framed({decoy, q});
    const size_t decoy_end = framed({decoy}).size();
    struct piece {
        size_t from, to;       // bytes of the stream
        uint8_t flags = 0x18;  // PSH ACK
    };
    struct Row {
        const char *what;
        bytes stream;
        std::vector<piece> pieces;
        uint64_t idle_ms;  // then the time passes
        std::vector<std::string> names;
        uint64_t lost;
    };
    const size_t end = one.size();
    const Row rows[] = {
        {"a decoy ending with the first byte",
         two,
         {{0, decoy_end + 1}, {decoy_end + 1, two.size()}},
         0,
         {"decoy.test", "www.example.test"},
         0},
        {"a piece sent again, and overlapping",
         one,
         {{0, 7}, {0, 7}, {0, 10}, {10, end}},
         0,
         {"www.example.test"},
         0},
        {"a gap", one, {{0, 7}, {9, end}}, 0, {}, 1},
        {"the connection ends first", one, {{0, 7}, {7, 7, 0x11}}, 0, {}, 1},
        {"reset in the last piece", one, {{0, 7}, {7, end - 1, 0x14}}, 0, {}, 1},
        {"no rest in time", one, {{0, 7}}, live_net_core::TCP_FLOW_IDLE_MS, {}, 1},
        {"a bare ACK and the rest in time",
         one,
         {{0, 7}, {7, 7, 0x10}, {7, end}},
         live_net_core::TCP_FLOW_IDLE_MS - 1,
         {"www.example.test"},
         0},
    };
    auto seg = [](uint16_t port, const bytes &payload, uint32_t seq, uint8_t flags) {
        bytes p = segment("127.0.0.1", port, "127.0.0.1", 53, payload);
        for (int i = 0; i < 4; i++) p[24 + i] = (unsigned char)(seq >> (24 - 8 * i));
        p[33] = flags;
        return p;
    };
    uint16_t port = 48000;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        recs.clear();
        const uint64_t lost = core.tcp_lost();
        core.on_event(ev(LIVE_NET_CONN_EST, 80, "127.0.0.1", ++port, "127.0.0.1", 53), now, sink);
        recs.clear();
        for (const piece &pc : r.pieces) {
            bytes p =
                seg(port, bytes(r.stream.begin() + (long)pc.from, r.stream.begin() + (long)pc.to),
                    0xFFFFFFF0u + (uint32_t)pc.from, pc.flags);  // the numbers wrap
            packet(p, PACKET_OUTGOING);
            packet(p, PACKET_HOST);
            if (&pc == &r.pieces[0]) now += r.idle_ms;
        }
        core.retry(now += live_net_core::OWNER_WAIT_MS, sink);  // an idle owner's wait too
        std::vector<std::string> names;
        for (const out_rec &o : recs)
            names.emplace_back(reinterpret_cast<const char *>(&o.rec[72]));
        EXPECT_EQ(names, r.names);
        EXPECT_EQ(core.tcp_lost() - lost, r.lost);
        EXPECT_EQ(core.tcp_waiting(), 0u);
    }
    // The bounds on their own: connections waiting, then bytes waiting.
    const uint64_t lost = core.tcp_lost();
    for (size_t i = 0; i <= live_net_core::TCP_FLOWS_MAX; i++)
        packet(seg((uint16_t)(50000 + i), bytes(one.begin(), one.begin() + 7), 1, 0x18),
               PACKET_HOST);
    EXPECT_EQ(core.tcp_waiting(), live_net_core::TCP_FLOWS_MAX);
    EXPECT_EQ(core.tcp_lost() - lost, 1u);
    core.retry(now += live_net_core::TCP_FLOW_IDLE_MS, sink);
    EXPECT_EQ(core.tcp_waiting(), 0u);
    EXPECT_EQ(core.tcp_lost() - lost, 1u + live_net_core::TCP_FLOWS_MAX);
    bytes big(60000, 'b');
    big[0] = 0xFF, big[1] = 0xFF;  // a message longer than the segment
    size_t fit = live_net_core::TCP_BYTES_MAX / big.size();
    for (size_t i = 0; i <= fit; i++) packet(seg((uint16_t)(51000 + i), big, 1, 0x18), PACKET_HOST);
    EXPECT_EQ(core.tcp_waiting(), fit);
    EXPECT_EQ(core.tcp_lost() - lost, 2u + live_net_core::TCP_FLOWS_MAX);
}

TEST_F(LiveNetCore, PacketsWaitInOrderForTheirSender) {
    // A connected socket's send event comes after its packet: the query waits, and so does
    // the answer behind it.
    packet(datagram("10.0.0.5", 42000, "10.0.0.53", 53, q), PACKET_OUTGOING, ETH);
    packet(datagram("10.0.0.53", 53, "10.0.0.5", 42000, a), PACKET_HOST, ETH);
    EXPECT_TRUE(recs.empty());
    EXPECT_EQ(core.waiting(), 2u);
    now += 10;
    core.on_event(ev(LIVE_NET_UDP, 61, "10.0.0.5", 42000, "10.0.0.53", 53), now, sink);
    core.retry(now, sink);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(type(recs[0]), 10);
    EXPECT_EQ(type(recs[1]), 11);
    EXPECT_EQ(recs[0].pid, 61u);

    // Nobody's query (a remote client of a local server arrives; a local server's answer
    // leaves) is not even kept; one whose sender never shows is dropped after its wait.
    recs.clear();
    packet(datagram("10.9.9.9", 5000, "10.0.0.5", 53, q), PACKET_HOST, ETH);
    packet(datagram("10.0.0.5", 53, "10.9.9.9", 5000, a), PACKET_OUTGOING, ETH);
    EXPECT_EQ(core.waiting(), 0u);
    packet(datagram("10.0.0.5", 43000, "10.0.0.53", 53, q), PACKET_OUTGOING, ETH);
    core.retry(now + live_net_core::OWNER_WAIT_MS - 1, sink);
    EXPECT_EQ(core.waiting(), 1u);
    core.retry(now + live_net_core::OWNER_WAIT_MS, sink);
    EXPECT_EQ(core.waiting(), 0u);
    EXPECT_TRUE(recs.empty());

    // A sender last seen long ago is used once the wait is over; the sensor's own queries
    // are never reported.
    core.on_event(ev(LIVE_NET_UDP, 62, "0.0.0.0", 44000, "10.0.0.53", 53), now, sink);
    core.on_event(ev(LIVE_NET_UDP, SENSOR, "0.0.0.0", 44001, "10.0.0.53", 53), now, sink);
    now += live_net_core::OWNER_FRESH_MS + 1;
    packet(datagram("10.0.0.5", 44001, "10.0.0.53", 53, q), PACKET_OUTGOING, ETH);
    packet(datagram("10.0.0.5", 44000, "10.0.0.53", 53, q), PACKET_OUTGOING, ETH);
    EXPECT_TRUE(recs.empty());
    core.retry(now + live_net_core::OWNER_WAIT_MS, sink);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].pid, 62u);
}

// The reader stamps events and packets with separate clock readings, so a sender may look
// seen "after" the packet: neither the freshness test nor the idle sweep may wrap around.
TEST_F(LiveNetCore, SenderStampedAfterThePacketIsKept) {
    now = 10 * live_net_core::OWNER_IDLE_MS;  // the first retry sweeps
    core.on_event(ev(LIVE_NET_UDP, 63, "0.0.0.0", 47000, "127.0.0.53", 53), now + 5, sink);
    packet(datagram("127.0.0.1", 47000, "127.0.0.53", 53, q), PACKET_HOST);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].pid, 63u);
    // Idle past the limit, it is swept; a later query then has no sender.
    now += 2 * live_net_core::OWNER_IDLE_MS;
    core.retry(now, sink);
    packet(datagram("127.0.0.1", 47000, "127.0.0.53", 53, q), PACKET_HOST);
    core.retry(now + live_net_core::OWNER_WAIT_MS, sink);
    EXPECT_EQ(recs.size(), 1u);
}

TEST_F(LiveNetCore, BadPacketsAreSkipped) {
    core.on_event(ev(LIVE_NET_UDP, 70, "0.0.0.0", 45000, "127.0.0.53", 53), now, sink);
    // Too short for a DNS header; a query to another port; an answer from another port; a
    // question with a compression pointer; an answer longer than a record holds.
    packet(datagram("127.0.0.1", 45000, "127.0.0.53", 53, bytes(11, 0)), PACKET_HOST);
    packet(datagram("127.0.0.1", 45000, "127.0.0.53", 54, q), PACKET_HOST);
    packet(datagram("127.0.0.53", 54, "127.0.0.1", 45000, a), PACKET_HOST);
    packet(datagram("127.0.0.1", 45000, "127.0.0.53", 53, query({0xC0, 12})), PACKET_HOST);
    bytes big = a;
    big.resize(LIVE_NET_DNS_MSG_MAX + 1);
    packet(datagram("127.0.0.53", 53, "127.0.0.1", 45000, big), PACKET_HOST);
    EXPECT_TRUE(recs.empty());
    EXPECT_EQ(core.waiting(), 0u);
    // The good one after them still goes through.
    big.resize(LIVE_NET_DNS_MSG_MAX);
    packet(datagram("127.0.0.53", 53, "127.0.0.1", 45000, big), PACKET_HOST);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].rec.size(), 6144u);
}

TEST_F(LiveNetCore, WaitingPacketsAreBounded) {
    for (size_t i = 0; i < live_net_core::PACKETS_MAX + 10; i++)
        packet(datagram("10.0.0.5", 46000, "10.0.0.53", 53, q), PACKET_OUTGOING, ETH);
    EXPECT_EQ(core.waiting(), live_net_core::PACKETS_MAX);
    EXPECT_EQ(core.dropped(), 10u);
    core.retry(now + live_net_core::OWNER_WAIT_MS, sink);
    EXPECT_EQ(core.waiting(), 0u);
}

// ---- The live source ------------------------------------------------------------------------

std::mutex s_tap_lock;
std::vector<bytes> s_tapped;
void tap(const unsigned char *rec, uint32_t len) {
    std::lock_guard g(s_tap_lock);
    s_tapped.emplace_back(rec, rec + len);
}

// The child: connects to the test's listener and to a closed port, listens itself and
// connects to that, then looks the name up twice (an unconnected and a connected UDP socket),
// prints its listening port and waits for the end of its input.
const char *kChild = R"PY(
import socket, struct, sys
tag, port, dns, closed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
c = socket.create_connection(("127.0.0.1", port))
try:
    socket.create_connection(("127.0.0.1", closed))
except ConnectionRefusedError:
    pass
srv = socket.socket()
srv.bind(("127.0.0.1", 0))
srv.listen(4)
mine = srv.getsockname()[1]
c2 = socket.create_connection(("127.0.0.1", mine))
a, _ = srv.accept()
q = struct.pack(">HHHHHH", 0x4b1d, 0x0100, 1, 0, 0, 0)
for l in "live.kivnet.test".split("."):
    q += bytes([len(l)]) + l.encode()
q += b"\0" + struct.pack(">HH", 1, 1)
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.settimeout(5)
u.sendto(q, ("127.0.0.1", dns))
u.recvfrom(4096)
u2 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u2.settimeout(5)
u2.connect(("127.0.0.1", dns))
u2.send(q)
u2.recv(4096)
print(mine, flush=True)
sys.stdin.read()
)PY";

struct child_run {
    pid_t pid = -1;
    int to_child = -1;
    uint16_t listen_port = 0;
    std::string cmd;  // as /proc shows it
    // Spawns the child and reads the port it prints; false if it failed.
    bool start(const std::string &tag, uint16_t server_port, uint16_t dns_port,
               uint16_t closed_port) {
        std::vector<std::string> args = {"/usr/bin/python3",
                                         "-c",
                                         kChild,
                                         tag,
                                         std::to_string(server_port),
                                         std::to_string(dns_port),
                                         std::to_string(closed_port)};
        for (auto &a : args) cmd += (cmd.empty() ? "" : " ") + a;
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC)) return false;
        pid = live_spawn(args, in[0], out[1]);
        close(in[0]), close(out[1]);
        to_child = in[1];
        // The whole line: an unbuffered python writes it a piece at a time.
        char buf[64] = {};
        for (ssize_t n = 0, r = 1; pid > 0 && r > 0 && !strchr(buf, '\n'); n += r)
            r = read(out[0], buf + n, sizeof buf - 1 - (size_t)n);
        close(out[0]);
        listen_port = (uint16_t)atoi(buf);
        return listen_port != 0;
    }
    void finish() {
        if (to_child >= 0) close(to_child), to_child = -1;
        if (pid > 0) waitpid(pid, nullptr, 0), pid = -1;
    }
    ~child_run() { finish(); }
};

uint16_t rec_type(const bytes &r) {
    return (uint16_t)(r[6] | r[7] << 8);
}
uint32_t rec_pid(const bytes &r) {
    return (uint32_t)(r[24] | r[25] << 8 | r[26] << 16 | (uint32_t)r[27] << 24);
}
uint16_t rec_port(const bytes &r, size_t at) {
    return (uint16_t)(r[at] << 8 | r[at + 1]);
}

// The stand-in alone in userspace mode, given the capture request by hand with another pid
// as the sensor's: the child's activity as records, byte for byte where the source knows it.
TEST(LiveNetSource, ChildActivityBecomesRecords) {
    if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "python3 is needed for the child";
    loopback_dnsmasq dns;
    if (!dns.start({"--address=/live.kivnet.test/192.0.2.44"}))
        GTEST_SKIP() << "dnsmasq (dnsmasq-base) did not start on a loopback port";
    ASSERT_EQ(kernel_backend_start(KERNEL_MODE_USERSPACE), 0);
    int fd = kernel_open("/dev/qx_sensor", O_RDWR);
    ASSERT_GE(fd, 0);
    const uint16_t closed = free_port();
    bytes start = capture_request(7, 1, 1, dns.port, {22, closed});
    ASSERT_EQ(kernel_ioctl(fd, KIV_IOCTL_NET_CONF, (unsigned long)start.data()), 0);
    if (!live_net_running()) {
        kernel_close(fd);
        kernel_backend_stop();
        GTEST_SKIP() << "the eBPF network programs did not load here; the log says why";
    }
    {
        std::lock_guard g(s_tap_lock);
        s_tapped.clear();
    }
    live_net_set_tap(tap);
    loopback_listener srv;
    ASSERT_NE(srv.port, 0);
    child_run child;
    ASSERT_TRUE(child.start("kivnet-" + std::to_string(getpid()), srv.port, dns.port, closed));
    const uint32_t cpid = (uint32_t)child.pid;
    // n records of the child's of a type, with a port (at 34, or the listener's at 30).
    auto have = [&](uint16_t type, uint16_t port, int n = 1, size_t at = 34) {
        std::lock_guard g(s_tap_lock);
        int k = 0;
        for (auto &r : s_tapped)
            k += rec_type(r) == type && rec_pid(r) == cpid && (!port || rec_port(r, at) == port);
        return k >= n;
    };
    // Resets on the closed port: ours answering the probe (peer first, state 0: the port is a
    // scan port with no socket) and the child's receiving it (local end first, state 1).
    auto reset = [&](uint8_t direction, uint8_t state) -> long {
        std::lock_guard g(s_tap_lock);
        for (size_t i = 0; i < s_tapped.size(); i++) {
            const bytes &r = s_tapped[i];
            if (rec_type(r) == 12 && r[14] == direction && r[15] == state &&
                rec_port(r, 18) == closed)
                return (long)i;
        }
        return -1;
    };
    auto all = [&] {
        return have(8, closed) && reset(0, 0) >= 0 && reset(1, 1) >= 0 && have(8, srv.port) &&
               have(9, srv.port) && have(8, child.listen_port) && have(9, child.listen_port) &&
               have(7, 0) && have(10, dns.port, 2) && have(11, dns.port, 2) &&
               have(6, child.listen_port, 1, 30);
    };
    bool ok = wait_for(all) || wait_for(all);
    child.finish();
    live_net_set_tap(nullptr);
    bytes stop(60, 0);
    le(stop, 0, 60, 4), le(stop, 4, 1, 4);
    EXPECT_EQ(kernel_ioctl(fd, KIV_IOCTL_NET_CONF, (unsigned long)stop.data()), 0);
    EXPECT_FALSE(live_net_running());
    kernel_close(fd);
    kernel_backend_stop();

    // The refused connect comes before its reset, so the module sees it pending; it is never
    // reported established.
    const long child_reset = reset(1, 1);
    std::lock_guard g(s_tap_lock);
    long refused = -1, established = -1;
    for (size_t i = 0; i < s_tapped.size(); i++)
        if (rec_pid(s_tapped[i]) == cpid && rec_port(s_tapped[i], 34) == closed)
            (rec_type(s_tapped[i]) == 8 ? refused : established) = (long)i;
    std::string seen;
    for (auto &r : s_tapped)
        seen += std::to_string(rec_type(r)) + " pid " + std::to_string(rec_pid(r)) + " " +
                std::to_string(rec_port(r, 32)) + "->" + std::to_string(rec_port(r, 34)) + "\n";
    ASSERT_TRUE(ok) << seen;
    EXPECT_EQ(established, -1);
    EXPECT_GE(refused, 0);
    EXPECT_LT(refused, child_reset);
}

// ---- Through the whole library -------------------------------------------------------------

// Starts the whole sensor in userspace mode, delivering to the capture callback with the ring
// tapped; the reason to skip when it cannot run here.
std::string start_live_sensor() {
    clear_uploads();
    if (!host_start(capture)) return "sensor did not start in userspace mode (needs root)";
    if (!live_net_running()) {
        sensor_exit();
        g_init_done = 0;
        return "the eBPF network programs did not load here; the sensor log says why";
    }
    {
        std::lock_guard g(s_tap_lock);
        s_tapped.clear();
    }
    live_net_set_tap(tap);
    return "";
}
void stop_live_sensor() {
    live_net_set_tap(nullptr);
    sensor_exit();
    g_init_done = 0;
}
// The documents as text, for a failure's message.
std::string text_of(const std::vector<parsed_doc> &docs) {
    std::string text;
    for (auto &d : docs) text += d.text() + "\n";
    return text;
}

// A child with a known command line connects to a loopback listener, listens itself and
// looks a name up at a loopback dnsmasq: each document names the child's process.
TEST(LiveNetDocuments, ChildConnectionListeningAndLookup) {
    if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "python3 is needed for the child";
    loopback_dnsmasq dns;
    if (!dns.start({"--address=/live.kivnet.test/192.0.2.44"}))
        GTEST_SKIP() << "dnsmasq (dnsmasq-base) did not start on a loopback port";
    staged_tree tree{"kernel_mode = userspace\ncollector_task_num = 1\n"};
    staged_tree::set_keys(tree.net_conf(), "dns_port = " + std::to_string(dns.port) + "\n");
    tree.no_file_watch();
    if (std::string skip = start_live_sensor(); !skip.empty()) GTEST_SKIP() << skip;
    const int64_t cap0 = kiv_stat_get(NET_TOTAL_CAP);

    loopback_listener srv;
    child_run child;
    bool started = srv.port && child.start("kivnetdoc-" + std::to_string(getpid()), srv.port,
                                           dns.port, free_port());
    const double cpid = child.pid;
    auto find = [&](const std::vector<parsed_doc> &docs, int type, const char *key, double v,
                    const char *skey = nullptr, const std::string &sv = "") -> const parsed_doc * {
        for (auto &d : docs)
            if (d.type == type && d.num("process_id") == cpid && (!key || d.num(key) == v) &&
                (!skey || d.str(skey) == sv))
                return &d;
        return nullptr;
    };
    auto complete = [&] {
        auto docs = parsed_docs(UPLOAD_NET_SCAN, UPLOAD_DNS_QUERY);
        return find(docs, UPLOAD_NET_CONNECT, "dst_port", srv.port) &&
               find(docs, UPLOAD_NET_LISTENING, "src_port", child.listen_port) &&
               find(docs, UPLOAD_DNS_QUERY, nullptr, 0, "query_name", "live.kivnet.test");
    };
    bool all = false;
    for (int i = 0; started && i < 6 && !all; i++) all = wait_for(complete);

    // Processes that exec and connect at once, long after their first image was reported:
    // the connection must name the new image, not the one the tree knew before the exec.
    std::vector<double> execed;
    for (int i = 0; all && i < 8; i++) {
        // Distinct command lines: a repeated one is not uploaded again.
        pid_t p = live_spawn({"/usr/bin/python3", "-c",
                              "import os, sys, time; time.sleep(0.15); os.execv('/bin/bash', "
                              "['bash', '-c', 'exec 3<>/dev/tcp/127.0.0.1/%s # %s' % "
                              "tuple(sys.argv[1:])])",
                              std::to_string(srv.port), std::to_string(i)});
        if (p > 0) execed.push_back(p), waitpid(p, nullptr, 0);
    }
    auto execed_seen = [&] {
        auto docs = parsed_docs(UPLOAD_NET_SCAN, UPLOAD_DNS_QUERY);
        size_t n = 0;
        for (double p : execed)
            n += std::any_of(docs.begin(), docs.end(), [&](const parsed_doc &d) {
                return d.type == UPLOAD_NET_CONNECT && d.num("process_id") == p;
            });
        return n == execed.size();
    };
    // Other tests' process floods may keep the collector busy for seconds.
    const bool execed_all = !execed.empty() && wait_for(execed_seen, 30);
    auto docs = parsed_docs(UPLOAD_NET_SCAN, UPLOAD_DNS_QUERY);
    child.finish();
    stop_live_sensor();
    ASSERT_TRUE(started);
    if (!all && kiv_stat_get(NET_TOTAL_CAP) == cap0)
        GTEST_SKIP() << "the network module took no network record in this build";
    ASSERT_TRUE(all) << text_of(docs);

    char exe[PATH_MAX];
    ASSERT_TRUE(realpath("/usr/bin/python3", exe));
    const parsed_doc *conn = find(docs, UPLOAD_NET_CONNECT, "dst_port", srv.port);
    const parsed_doc *lst = find(docs, UPLOAD_NET_LISTENING, "src_port", child.listen_port);
    const parsed_doc *dq =
        find(docs, UPLOAD_DNS_QUERY, nullptr, 0, "query_name", "live.kivnet.test");
    for (const parsed_doc *d : {conn, lst, dq}) {
        SCOPED_TRACE(d->str("event_id"));
        EXPECT_EQ(d->str("process_path"), exe);
        EXPECT_EQ(d->str("process_cmd_line"), child.cmd);
        EXPECT_EQ(d->str("container_id"), "host");
    }
    EXPECT_EQ(conn->str("event_id"), "NETWORK_CONNECTION");
    EXPECT_EQ(conn->str("protocol"), "tcp");
    EXPECT_EQ(conn->str("dst_ip"), "127.0.0.1");
    EXPECT_EQ(conn->num("connect"), 1);
    EXPECT_EQ(conn->num("direction"), 1);
    EXPECT_EQ(lst->str("event_id"), "LISTENING");
    EXPECT_EQ(lst->str("src_ip"), "127.0.0.1");
    EXPECT_EQ(dq->str("event_id"), "DNS_QUERY");
    EXPECT_EQ(dq->str("query_results"), "192.0.2.44");
    // The shipped key: both carry the Community ID of their flow (its values are checked
    // against the published vectors and in the module's documents), the query naming its server.
    EXPECT_EQ(dq->str("dst_ip"), "127.0.0.1");
    EXPECT_EQ(dq->num("dst_port"), dns.port);
    for (const parsed_doc *d : {conn, dq})
        EXPECT_EQ(d->str("community_id").rfind("1:", 0), 0u) << d->text();

    ASSERT_TRUE(execed_all) << "connections of exec'd processes missing:\n" << text_of(docs);
    char bash[PATH_MAX];
    ASSERT_TRUE(realpath("/bin/bash", bash));
    for (auto &d : docs)
        if (d.type == UPLOAD_NET_CONNECT &&
            std::find(execed.begin(), execed.end(), d.num("process_id")) != execed.end()) {
            EXPECT_EQ(d.str("process_path"), bash) << d.str("process_cmd_line");
            EXPECT_NE(d.str("process_cmd_line").find("/dev/tcp/"), std::string::npos);
        }
}

}  // namespace
