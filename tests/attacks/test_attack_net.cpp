// An unprivileged user against the live network source: a private network namespace that
// takes the port of a host listener, DNS names whose labels hide a NUL, a dot or a
// backslash, and DNS queries over TCP split across segments.
// Then the network module's budgets spent (the destination table, the DNS pending table and
// document rate, the scan report budget), with the shipped limits: root's action after them
// is reported.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "live_agent.h"
#include "loopback_net.h"
#include "test_io.h"

namespace {

// The message of every document whose event_id is given.
std::vector<cJSON *> messages(const live_agent &a, const std::string &event_id) {
    std::vector<cJSON *> out;
    for (auto &line : a.docs()) {
        if (!has(line, "\"" + event_id + "\"")) continue;
        cJSON *doc = cJSON_Parse(line.c_str());
        cJSON *msg = cJSON_GetObjectItem(doc, "message");
        if (!msg) msg = doc;
        const char *id = cJSON_GetStringValue(cJSON_GetObjectItem(msg, "event_id"));
        if (id && event_id == id) out.push_back(cJSON_Duplicate(msg, 1));
        cJSON_Delete(doc);
    }
    return out;
}

std::string text_of(const cJSON *msg, const char *key) {
    const char *v = cJSON_GetStringValue(cJSON_GetObjectItem(msg, key));
    return v ? v : "";
}

void free_all(std::vector<cJSON *> &v) {
    for (cJSON *m : v) cJSON_Delete(m);
    v.clear();
}

// A python script in the attack directory, so that what it sends is not on its command line.
std::string script(const std::string &dir, const std::string &name, const std::string &text) {
    std::string path = dir + "/" + name;
    write_file(path, text);
    chmod(path.c_str(), 0755);
    return path;
}

// The answer to query m of n bytes, in place: one address record, 192.0.2.77. Its length.
size_t answer_in_place(unsigned char *m, size_t n) {
    m[2] = 0x81, m[3] = 0x80, m[6] = 0, m[7] = 1;
    const unsigned char rr[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 77};
    memcpy(m + n, rr, sizeof rr);
    return n + sizeof rr;
}

// Answers every DNS query on a loopback port, over UDP and over TCP (messages framed by their
// length, however they are split), with one address record.
struct loopback_responder {
    int fd = -1, tcp = -1;
    uint16_t port = 0;
    std::atomic<bool> stop{false};
    std::thread t;
    loopback_responder() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback_addr(free_port());
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            bind(tcp, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(tcp, 8) != 0)
            return;
        port = ntohs(a.sin_port);
        t = std::thread([this] {
            unsigned char m[1024];
            while (!stop) {
                pollfd p[2] = {{fd, POLLIN, 0}, {tcp, POLLIN, 0}};
                if (poll(p, 2, 50) <= 0) continue;
                if (p[1].revents) serve_tcp();
                if (!p[0].revents) continue;
                sockaddr_in from{};
                socklen_t fl = sizeof from;
                ssize_t n = recvfrom(fd, m, 512, 0, reinterpret_cast<sockaddr *>(&from), &fl);
                if (n < 12) continue;
                sendto(fd, m, answer_in_place(m, (size_t)n), 0, reinterpret_cast<sockaddr *>(&from),
                       fl);
            }
        });
    }
    // One connection to its end (the client closes it once answered).
    void serve_tcp() {
        int c = accept4(tcp, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        timeval tv{10, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::vector<unsigned char> in;
        unsigned char buf[1024];
        for (ssize_t n; (n = recv(c, buf, sizeof buf, 0)) > 0;) {
            in.insert(in.end(), buf, buf + n);
            while (in.size() >= 2 && in.size() >= 2u + (in[0] << 8 | in[1])) {
                size_t len = in[0] << 8 | in[1];
                if (len < 12 || len > 512) break;
                unsigned char out[2 + 1024];
                memcpy(out + 2, in.data() + 2, len);
                size_t k = answer_in_place(out + 2, len);
                out[0] = (unsigned char)(k >> 8), out[1] = (unsigned char)k;
                send(c, out, k + 2, MSG_NOSIGNAL);
                in.erase(in.begin(), in.begin() + 2 + (long)len);
            }
        }
        close(c);
    }
    ~loopback_responder() {
        stop = true;
        if (t.joinable()) t.join();
        close(fd), close(tcp);
    }
};

size_t docs_with(const live_agent &a, const std::string &event_id, const std::string &tag) {
    size_t n = 0;
    for (auto &line : a.docs())
        n += has(line, "\"event_id\":\"" + event_id + "\"") && has(line, tag);
    return n;
}

// Sends the names given (separated by ",") on one socket, a batch back to back before their
// answers are read, then stays until the done file appears.
constexpr const char *kAsk = R"PY(
import os, socket, struct, sys, time
port, done, names = int(sys.argv[1]), sys.argv[2], sys.argv[3].split(",")
if names[0].startswith("@"):  # @n: n names of its own
    names = ["f%d.flood.test" % i for i in range(int(names[0][1:]))]
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.settimeout(5)
for batch in range(0, len(names), int(sys.argv[4])):
    chunk = names[batch:batch + int(sys.argv[4])]
    for i, name in enumerate(chunk):
        q = struct.pack(">HHHHHH", (batch + i) & 0xffff, 0x0100, 1, 0, 0, 0)
        for l in name.split("."):
            q += bytes([len(l)]) + l.encode()
        u.sendto(q + b"\0" + struct.pack(">HH", 1, 1), ("127.0.0.1", port))
    for _ in chunk:
        try:
            u.recvfrom(4096)
        except socket.timeout:
            pass
open(done + ".sent", "a").close()
end = time.time() + 300
while time.time() < end and not os.path.exists(done):
    time.sleep(0.05)
)PY";

struct dns_case {
    loopback_dnsmasq dns;
    std::string dir, done, ask, skip;
    live_agent a;
    // answered: the names dnsmasq answers with 192.0.2.77 ("#" all); it refuses the others.
    dns_case(const std::string &tag, const std::string &answered)
        : dir(attack_dir(tag)), done(dir + "/done"), a(tag) {
        ask = script(dir, "ask.py", kAsk);
        if (!dns.start({"--address=/" + answered + "/192.0.2.77"}))
            skip = "no dnsmasq here: " + dns.error;
    }
    // 0 with the agent capturing DNS messages; 1 (skip says why) when it cannot here; -1
    // when the agent would not start.
    int start() {
        if (!skip.empty()) return 1;
        a.set_key("net.conf", "system", "dns_port", std::to_string(dns.port));
        if (!a.start()) return -1;
        for (int i = 0; i < 150; i++, usleep(200000)) {
            std::string said = a.log_all();
            if (has(said, "DNS messages captured")) return 0;
            if (has(said, "DNS capture off")) break;
        }
        skip = "DNS messages are not captured here; the sensor log says why";
        return 1;
    }
    void finish(std::initializer_list<pid_t> pids) {
        write_file(done, "");
        for (pid_t p : pids) waitpid(p, nullptr, 0);
        EXPECT_EQ(a.stop(60), 0);
        EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
    }
    pid_t run(bool nobody, const std::string &names, int batch, const std::string &tag) const {
        std::string port = std::to_string(dns.port), b = std::to_string(batch);
        if (nobody)
            return spawn_as_nobody("/usr/bin/python3 " + ask + " " + port + " " + done + " " +
                                   names + " " + b + " " + tag);
        return live_agent_detail::spawn({"/usr/bin/python3", ask, port, done, names, b, tag},
                                        live_agent_detail::environment());
    }
};

}  // namespace

// Inside a namespace of their own a user listens on the port of root's loopback listener,
// connects to it there and closes it: root's listener still gets its inbound connections
// reported, and nothing of the private namespace is reported as the host's.
TEST(AttackNet, PrivateNamespaceTakesNothingFromTheHostsListener) {
    if (as_nobody("/usr/bin/unshare -rn /bin/true") != 0)
        GTEST_SKIP() << "unprivileged user namespaces are off here";
    const std::string d = attack_dir("netns");
    live_agent a("netns");
    ASSERT_TRUE(a.start()) << a.err();
    const uint16_t port = free_port(), udp_port = free_port();
    ASSERT_NE(port, 0);
    const std::string done = d + "/done";
    const std::string listener = script(d, "listen.py", R"PY(
import os, socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(8)
s.settimeout(0.1)
end = time.time() + 300
while time.time() < end and not os.path.exists(sys.argv[2]):
    try:
        s.accept()[0].close()
    except socket.timeout:
        pass
)PY");
    // Root's listener, started after the agent so that its listening socket is seen.
    pid_t root_listener = live_agent_detail::spawn(
        {"/usr/bin/python3", listener, std::to_string(port), done, "kivatk-netns-root"},
        live_agent_detail::environment());
    ASSERT_GT(root_listener, 0);
    EXPECT_TRUE(a.wait_doc(
        {"\"LISTENING\"", "kivatk-netns-root", "\"src_port\":" + std::to_string(port)}, 60));

    const std::string inner = script(d, "inner.py", R"PY(
import socket, sys
port, udp = int(sys.argv[1]), int(sys.argv[2])
s = socket.socket()
s.bind(("127.0.0.1", port))
s.listen(1)
c = socket.create_connection(("127.0.0.1", port))
a, _ = s.accept()
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.sendto(b"kivatk", ("127.0.0.1", udp))
for x in (a, c, s, u):
    x.close()
)PY");
    ASSERT_EQ(as_nobody("/usr/bin/unshare -rn /bin/sh -c '/usr/sbin/ip link set lo up && "
                        "/usr/bin/python3 " +
                        inner + " " + std::to_string(port) + " " + std::to_string(udp_port) +
                        " kivatk-netns-user'"),
              0);

    // Root acts: a connection to its listener on the host.
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = loopback_addr(port);
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    EXPECT_TRUE(a.wait_doc({"\"NETWORK_CONNECTION\"", "kivatk-netns-root",
                            "\"dst_port\":" + std::to_string(port), "\"direction\":0"},
                           60));
    close(c);
    write_file(done, "");
    waitpid(root_listener, nullptr, 0);

    for (const char *id : {"NETWORK_CONNECTION", "LISTENING", "DNS_QUERY"}) {
        auto msgs = messages(a, id);
        for (cJSON *m : msgs)
            EXPECT_FALSE(has(text_of(m, "process_cmd_line"), "kivatk-netns-user"))
                << cJSON_PrintUnformatted(m);
        free_all(msgs);
    }
    std::string bad;
    EXPECT_TRUE(a.docs_valid(&bad)) << bad;
    EXPECT_EQ(a.stop(60), 0);
    EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
}

// A user asks for names whose labels hold a NUL, a dot or a backslash, one of them so long
// in escaped form that it is cut: each DNS document shows the name escaped, answered (query
// and answer agree on the text), and never the name the disguise pretends. Over TCP they split
// a query across segments, 7 bytes and then the rest, and hide one behind a decoy whose
// segment ends with its first byte: each is reported. Root's lookup after them is reported.
TEST(AttackNet, DisguisedOrSplitDnsQueriesAreReportedAsAsked) {
    const std::string d = attack_dir("dnsname");
    loopback_responder dns;
    ASSERT_NE(dns.port, 0);
    live_agent a("dnsname");
    a.set_key("net.conf", "system", "dns_port", std::to_string(dns.port));
    ASSERT_TRUE(a.start()) << a.err();
    std::string said;
    for (int i = 0; i < 150 && !has(said, "DNS messages captured") && !has(said, "DNS capture off");
         i++, usleep(200000))
        said = a.log_all();
    if (!has(said, "DNS messages captured"))
        GTEST_SKIP() << "DNS messages are not captured here; the sensor log says why";
    const std::string done = d + "/done";
    // Sends one query per name given as labels separated by "/" ("\0" a NUL), waits for each
    // answer and stays until the test is done, so its process is there to be reported.
    const std::string ask = script(d, "ask.py", R"PY(
import os, socket, struct, sys, time
port, done = int(sys.argv[1]), sys.argv[2]
for i, name in enumerate(sys.argv[3].split("|")):
    q = struct.pack(">HHHHHH", 0x5100 + i, 0x0100, 1, 0, 0, 0)
    for l in name.split("/"):
        l = l.encode().replace(b"\\0", b"\0")
        q += bytes([len(l)]) + l
    q += b"\0" + struct.pack(">HH", 1, 1)
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.settimeout(10)
    u.sendto(q, ("127.0.0.1", port))
    u.recvfrom(4096)
end = time.time() + 300
while time.time() < end and not os.path.exists(done):
    time.sleep(0.05)
)PY");
    // The same over TCP, each query written in pieces that go out as segments of their own.
    const std::string ask_tcp = script(d, "ask_tcp.py", R"PY(
import os, socket, struct, sys, time
port, done = int(sys.argv[1]), sys.argv[2]
def framed(i, name):
    q = struct.pack(">HHHHHH", 0x5200 + i, 0x0100, 1, 0, 0, 0)
    for l in name.split("."):
        q += bytes([len(l)]) + l.encode()
    q += b"\0" + struct.pack(">HH", 1, 1)
    return struct.pack(">H", len(q)) + q
def ask(pieces, answers):
    t = socket.create_connection(("127.0.0.1", port), timeout=10)
    t.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    for p in pieces:
        t.sendall(p)
        time.sleep(0.3)
    got = b""
    while answers > 0:
        while len(got) < 2 or len(got) < 2 + struct.unpack(">H", got[:2])[0]:
            got += t.recv(4096)
        got = got[2 + struct.unpack(">H", got[:2])[0]:]
        answers -= 1
    t.close()
real = framed(0, "kivatk-split.exfil.test")
ask([real[:7], real[7:]], 1)
decoy, hidden = framed(1, "kivatk-decoy.test"), framed(2, "kivatk-shift.exfil.test")
ask([decoy + hidden[:1], hidden[1:]], 2)
end = time.time() + 300
while time.time() < end and not os.path.exists(done):
    time.sleep(0.05)
)PY");
    pid_t user_tcp = spawn_as_nobody("/usr/bin/python3 " + ask_tcp + " " +
                                     std::to_string(dns.port) + " " + done + " kivatk-dns-tcp");
    ASSERT_GT(user_tcp, 0);
    std::string nuls;
    for (int i = 0; i < 63; i++) nuls += "\\0";
    const std::string names =
        "update/microsoft/com\\0/exfil/test|login.bank/x\\y/exfil/test|"
        "update/microsoft/com/" +
        nuls + "/" + nuls + "/" + nuls + "/exfil/test";
    pid_t user = spawn_as_nobody("/usr/bin/python3 " + ask + " " + std::to_string(dns.port) + " " +
                                 done + " '" + names + "' kivatk-dns-user");
    ASSERT_GT(user, 0);
    std::string n000;
    for (int i = 0; i < 63; i++) n000 += "\\000";
    const std::string cut_head = "update.microsoft.com." + n000.substr(0, 104);
    const std::string cut_tail = n000.substr(0, 112) + ".exfil.test";
    const std::vector<std::string> expected = {"update.microsoft.com\\000.exfil.test",
                                               "login\\046bank.x\\092y.exfil.test",
                                               cut_head + "..." + cut_tail,
                                               "kivatk-split.exfil.test",
                                               "kivatk-decoy.test",
                                               "kivatk-shift.exfil.test"};
    // Root acts afterwards: an ordinary lookup.
    pid_t root = live_agent_detail::spawn({"/usr/bin/python3", ask, std::to_string(dns.port), done,
                                           "kivatk-root/exfil/test", "kivatk-dns-root"},
                                          live_agent_detail::environment());
    ASSERT_GT(root, 0);
    EXPECT_TRUE(a.wait_doc({"\"DNS_QUERY\"", "\"query_name\":\"kivatk-root.exfil.test\"",
                            "kivatk-dns-root", "192.0.2.77"},
                           60));
    auto all_seen = [&] {
        auto msgs = messages(a, "DNS_QUERY");
        size_t seen = 0;
        for (auto &e : expected)
            for (cJSON *m : msgs)
                if (text_of(m, "query_name") == e && text_of(m, "query_results") == "192.0.2.77") {
                    seen++;
                    break;
                }
        free_all(msgs);
        return seen == expected.size();
    };
    bool seen = all_seen();
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         !seen && std::chrono::steady_clock::now() < end; seen = all_seen())
        usleep(500000);
    write_file(done, "");
    waitpid(user, nullptr, 0);
    waitpid(user_tcp, nullptr, 0);
    waitpid(root, nullptr, 0);
    auto msgs = messages(a, "DNS_QUERY");
    std::string shown;
    for (cJSON *m : msgs) {
        std::string name = text_of(m, "query_name");
        shown += name + " -> " + text_of(m, "query_results") + "\n";
        EXPECT_NE(name, "update.microsoft.com");
        EXPECT_NE(name, "login.bank.x\\y.exfil.test");
        EXPECT_LE(name.size(), 255u);
    }
    free_all(msgs);
    EXPECT_TRUE(seen) << shown;
    std::string bad;
    EXPECT_TRUE(a.docs_valid(&bad)) << bad;
    EXPECT_EQ(a.stop(60), 0);
    EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
}

// A user fills the destination table past its first limit from one socket; root's new
// destination after that is reported, and so is the user's last.
TEST(AttackNetLimits, FilledDestinationTableHidesNoNewDestination) {
    const std::string d = attack_dir("netdest");
    live_agent a("netdest");
    ASSERT_TRUE(a.start()) << a.err();
    const std::string send = script(d, "send.py", R"PY(
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for i in range(int(sys.argv[1])):
    s.sendto(b"k", ("127.%s.%d.%d" % (sys.argv[2], i // 250 + 1, i % 250 + 1), 9))
)PY");
    ASSERT_EQ(as_nobody("/usr/bin/python3 " + send + " 1100 0 kivatk-dest-user"), 0);
    EXPECT_TRUE(a.wait_doc(
        {"\"NETWORK_CONNECTION\"", "\"dst_ip\":\"127.0.5.100\"", "kivatk-dest-user"}, 90));
    pid_t root = live_agent_detail::spawn({"/usr/bin/python3", send, "1", "9", "kivatk-dest-root"},
                                          live_agent_detail::environment());
    ASSERT_GT(root, 0);
    waitpid(root, nullptr, 0);
    EXPECT_TRUE(
        a.wait_doc({"\"NETWORK_CONNECTION\"", "\"dst_ip\":\"127.9.1.1\"", "kivatk-dest-root"}, 60));
    std::string bad;
    EXPECT_TRUE(a.docs_valid(&bad)) << bad;
    EXPECT_EQ(a.stop(60), 0);
    EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
}

// A user sends the C2 name (refused) and a decoy (answered) back to back on one socket:
// both are reported, the C2 name after its time-out, and so is root's later query for it.
TEST(AttackNetLimits, DecoyQueryOnTheSameSocketHidesNothing) {
    dns_case c("netdecoy", "decoy.example.test");
    int started = c.start();
    if (started > 0) GTEST_SKIP() << c.skip;
    ASSERT_EQ(started, 0) << c.a.err();
    const live_agent &a = c.a;
    pid_t user = c.run(true, "kivatk-c2.exfil.test,decoy.example.test", 2, "kivatk-decoy-user");
    ASSERT_GT(user, 0);
    EXPECT_TRUE(a.wait_doc({"\"DNS_QUERY\"", "\"query_name\":\"decoy.example.test\"",
                            "kivatk-decoy-user", "192.0.2.77"},
                           60));
    EXPECT_TRUE(a.wait_doc(
        {"\"DNS_QUERY\"", "\"query_name\":\"kivatk-c2.exfil.test\"", "kivatk-decoy-user"}, 60));
    pid_t root = c.run(false, "kivatk-c2.exfil.test", 1, "kivatk-decoy-root");
    ASSERT_GT(root, 0);
    EXPECT_TRUE(a.wait_doc(
        {"\"DNS_QUERY\"", "\"query_name\":\"kivatk-c2.exfil.test\"", "kivatk-decoy-root"}, 60));
    c.finish({user, root});
}

// A user's process floods 1000 names: it gets at most its own minute's share of DNS
// documents, and root's query for the C2 name afterwards is reported.
TEST(AttackNetLimits, DnsFloodSpendsOnlyItsOwnProcessesShare) {
    dns_case c("netflood", "#");
    int started = c.start();
    if (started > 0) GTEST_SKIP() << c.skip;
    ASSERT_EQ(started, 0) << c.a.err();
    const live_agent &a = c.a;
    const auto began = std::chrono::steady_clock::now();
    pid_t user = c.run(true, "@1000", 16, "kivatk-flood-user");
    ASSERT_GT(user, 0);
    // Root acts once the flood is out, so that its query is read after the flood's.
    for (int i = 0; i < 600 && access((c.done + ".sent").c_str(), F_OK) != 0; i++) usleep(100000);
    pid_t root = c.run(false, "kivatk-c2.exfil.test", 1, "kivatk-flood-root");
    ASSERT_GT(root, 0);
    EXPECT_TRUE(a.wait_doc(
        {"\"DNS_QUERY\"", "\"query_name\":\"kivatk-c2.exfil.test\"", "kivatk-flood-root"}, 60));
    c.finish({user, root});
    // One minute's share (300) per window the flood can have touched.
    auto minutes =
        std::chrono::duration_cast<std::chrono::minutes>(std::chrono::steady_clock::now() - began)
            .count();
    const size_t flood = docs_with(a, "DNS_QUERY", "kivatk-flood-user");
    EXPECT_LE(flood, 300u * (size_t)(minutes + 2));
    EXPECT_GT(flood, 0u);
}

// A user's refused connects to one peer, a hundred a second, are scan reports of that peer;
// root's refused connect to another peer meanwhile is reported too.
TEST(AttackNetLimits, ResetsOfOnePeerSpendNoOtherPeersScanBudget) {
    const std::string d = attack_dir("netscan");
    live_agent a("netscan");
    ASSERT_TRUE(a.start()) << a.err();
    const uint16_t closed = free_port();
    ASSERT_NE(closed, 0);
    const std::string done = d + "/done";
    const std::string knock = script(d, "knock.py", R"PY(
import os, socket, sys, time
end = time.time() + 120
while time.time() < end and not os.path.exists(sys.argv[2]):
    s = socket.socket()
    try:
        s.connect(("127.0.0.2", int(sys.argv[1])))
    except OSError:
        pass
    s.close()
    time.sleep(0.01)
)PY");
    pid_t user = spawn_as_nobody("/usr/bin/python3 " + knock + " " + std::to_string(closed) + " " +
                                 done + " kivatk-scan-user");
    ASSERT_GT(user, 0);
    EXPECT_TRUE(a.wait_doc({"\"NET_SCAN\"", "\"dst_ip\":\"127.0.0.2\""}, 60));
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = loopback_addr(closed);
    to.sin_addr.s_addr = htonl(0x7f000003);
    EXPECT_NE(connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    close(s);
    EXPECT_TRUE(a.wait_doc({"\"NET_SCAN\"", "\"dst_ip\":\"127.0.0.3\""}, 60));
    write_file(done, "");
    waitpid(user, nullptr, 0);
    EXPECT_EQ(a.stop(60), 0);
    EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
}
