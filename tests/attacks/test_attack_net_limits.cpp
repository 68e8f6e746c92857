// An unprivileged user spends the network module's budgets (the destination table, the DNS
// pending table and document rate, the scan report budget), then root acts: root's action is
// reported, with the shipped limits.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <initializer_list>
#include <string>

#include "live_agent.h"
#include "loopback_net.h"
#include "test_io.h"

namespace {

std::string py(const std::string &dir, const std::string &name, const std::string &text) {
    std::string path = dir + "/" + name;
    write_file(path, text);
    chmod(path.c_str(), 0755);
    return path;
}

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
        ask = py(dir, "ask.py", kAsk);
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

// A user fills the destination table past its first limit from one socket; root's new
// destination after that is reported, and so is the user's last.
TEST(AttackNetLimits, FilledDestinationTableHidesNoNewDestination) {
    const std::string d = attack_dir("netdest");
    live_agent a("netdest");
    ASSERT_TRUE(a.start()) << a.err();
    const std::string send = py(d, "send.py", R"PY(
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
    const std::string knock = py(d, "knock.py", R"PY(
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
