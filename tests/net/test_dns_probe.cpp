// DNS server discovery and the reachability probe. Every probe goes to a loopback address: a
// responder thread with canned replies, or a port with nothing behind it. Nothing is sent off
// this machine.
#include "net/dns_probe.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "comm/dirutils.h"
#include "loopback_net.h"
#include "net/net_ctx.h"
#include "test_io.h"

namespace {

using bytes = std::vector<uint8_t>;

uint32_t ip(const char *text) {
    uint32_t a = 0;
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return a;
}

std::vector<uint32_t> ips(std::initializer_list<const char *> list) {
    std::vector<uint32_t> v;
    for (const char *s : list) v.push_back(ip(s));
    return v;
}

// Answers every datagram on addr:port with one canned reply, and keeps the last query.
class responder {
  public:
    responder(const char *addr, uint16_t port, bytes reply) : reply_(std::move(reply)) {
        fd_ = bound(addr, port);
        sockaddr_in a{};
        socklen_t len = sizeof a;
        if (fd_ < 0 || getsockname(fd_, (sockaddr *)&a, &len) != 0) return;
        port_ = ntohs(a.sin_port);
        th_ = std::thread([this] { serve(); });
    }
    ~responder() {
        stop_ = true;
        if (th_.joinable()) th_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return port_ != 0; }
    uint16_t port() const { return port_; }
    bytes last_query() {
        std::lock_guard g(mu_);
        return query_;
    }

  private:
    static int bound(const char *addr, uint16_t port) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = ip(addr);
        if (fd >= 0 && bind(fd, (sockaddr *)&a, sizeof a) != 0) close(fd), fd = -1;
        return fd;
    }
    void serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) != 1) continue;
            unsigned char buf[2048];
            sockaddr_in from{};
            socklen_t flen = sizeof from;
            ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, (sockaddr *)&from, &flen);
            if (n < 0) continue;
            {
                std::lock_guard g(mu_);
                query_.assign(buf, buf + n);
            }
            sendto(fd_, reply_.data(), reply_.size(), 0, (sockaddr *)&from, flen);
        }
    }
    int fd_ = -1;
    uint16_t port_ = 0;
    bytes reply_;
    std::thread th_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    bytes query_;
};

// A reply header with the given flags byte 2 and counts, padded to `size` bytes.
bytes reply_header(uint8_t flags2, uint16_t an, size_t size = 12) {
    bytes b = {0x12, 0x34, 0x81, flags2, 0, 1, (uint8_t)(an >> 8), (uint8_t)an, 0xff, 0xff, 0, 0};
    b.resize(size, 0xab);
    return b;
}

std::string ip_text() {
    char out[NET_IP_TEXT_LEN];
    net_dns_server_ip_get(out);
    return out;
}

class DnsProbe : public testing::Test {
  protected:
    std::string dir;
    int32_t level_ = 0;
    uint32_t mask_ = 0;

    void SetUp() override {
        level_ = g_framework_config.log_level;
        mask_ = g_framework_config.log_mask;
        g_framework_config.log_level = 4;
        g_framework_config.log_mask = 0xFFFFFFFF;
        char tmpl[] = "/tmp/kivprobe.XXXXXX";
        dir = mkdtemp(tmpl);
        // Never the host's own resolver configuration or port 53.
        dns_set_resolv_conf_path(conf().c_str());
        dns_set_resolve_cmd("false");
        dns_set_probe_port(free_port());
        g_net_conext.dns_server = {};
        g_udp_connect = 1;
        net_dns_server_ip_set("");
    }
    void TearDown() override {
        dns_set_resolv_conf_path(nullptr);
        dns_set_resolve_cmd(nullptr);
        dns_set_probe_port(0);
        g_net_conext.dns_server = {};
        g_udp_connect = 1;
        net_dns_server_ip_set("");
        g_framework_config.log_level = level_;
        g_framework_config.log_mask = mask_;
        dirutils_rmdir(dir.c_str());
    }
    std::string conf() const { return dir + "/resolv.conf"; }
    void write_conf(const std::string &text) const {
        std::ofstream(conf(), std::ios::binary) << text;
    }
    // Checks that the cycle can only reach loopback servers, then runs it.
    std::string cycle() {
        net_dns_servers peek = g_net_conext.dns_server;
        output_of([&] { dns_get_dnsserver(peek.addr, &peek.count); });
        for (int i = 0; i < peek.count && i < NET_DNS_SERVER_MAX; i++)
            if ((ntohl(peek.addr[i]) >> 24) != 127) {
                ADD_FAILURE() << "cycle would probe a server off this machine: " << std::hex
                              << ntohl(peek.addr[i]);
                return "";
            }
        return output_of(dns_connected_timer_func);
    }
};

std::string nameservers(int from, int n) {
    std::string s;
    for (int i = 0; i < n; i++) s += "nameserver 10.0.0." + std::to_string(from + i) + "\n";
    return s;
}

std::vector<uint32_t> range(int from, int n) {
    std::vector<uint32_t> v;
    for (int i = 0; i < n; i++) v.push_back(ip(("10.0.0." + std::to_string(from + i)).c_str()));
    return v;
}

TEST_F(DnsProbe, ResolvConfParsing) {
    const std::string over(1024, 'x');
    const std::string fits(1023, 'x');
    struct row {
        const char *what;
        std::string text;  // "\x02" alone: a directory; a missing file is UnreadableConf's
        std::vector<uint32_t> want;
        const char *log = "";
        bool unchanged = false;
    };
    const row rows[] = {
        {"only well-formed IPv4 nameserver lines count",
         "# nameserver 1.1.1.1\n; nameserver 1.1.1.2\n  nameserver 1.1.1.3\n\tnameserver "
         "1.1.1.4\nnameserver ::1\nnameserverx 1.1.1.5\nnameserver1.1.1.6\nsearch x.test\n"
         "nameserver\t10.0.0.1\nnameserver   10.0.0.2 \r\nnameserver \t 10.0.0.3",
         ips({"10.0.0.1", "10.0.0.2", "10.0.0.3"}), "resolve dns server is 10.0.0.3"},
        {"addresses that do not convert are skipped",
         "nameserver\nnameserver \nnameserver 10.0.0\nnameserver 300.0.0.1\n"
         "nameserver 10.0.0.1 # office\nnameserver 10.0.0.1.1\n",
         {}},
        {"reading stops at fifteen, before a long line", nameservers(1, 15) + over + "\n",
         range(1, 15)},
        {"a 1023-character line still fits", fits + "\n" + nameservers(1, 2), range(1, 2)},
        {"a 1024-character line leaves the old list",
         nameservers(1, 2) + over + "\n",
         {},
         "input line too long,filename=",
         true},
        {"a directory in its place leaves the old list", "\x02", {}, "Is a directory", true},
    };
    const uint32_t old[2] = {ip("192.0.2.1"), ip("192.0.2.2")};
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        unlink(conf().c_str());
        rmdir(conf().c_str());
        if (r.text == "\x02") mkdir(conf().c_str(), 0700);
        if (r.text != "\x02") write_conf(r.text);
        uint32_t servers[NET_DNS_SERVER_MAX];
        std::fill(std::begin(servers), std::end(servers), 0xdeadbeef);
        memcpy(servers, old, sizeof old);
        int count = 2;
        std::string log = output_of([&] { dns_parse_conf(servers, &count); });
        if (r.unchanged) {
            EXPECT_EQ(count, 2);
            EXPECT_EQ(servers[0], old[0]);
            EXPECT_EQ(servers[1], old[1]);
        } else {
            ASSERT_EQ(count, (int)r.want.size());
            for (size_t i = 0; i < r.want.size(); i++) EXPECT_EQ(servers[i], r.want[i]) << i;
        }
        // Nothing is written past the fifteen entries the file may fill.
        EXPECT_EQ(servers[15], 0xdeadbeef);
        EXPECT_NE(log.find(r.log), std::string::npos) << log;
    }
}

TEST_F(DnsProbe, ServerListAndResolverService) {
    // More output than the 512-byte buffer holds: the cut must not yield a shortened address.
    const std::string pad501(501, 'x');
    const std::string pad499(499, 'x');
    const uint32_t fallback = ip("8.8.8.8");
    const std::string stub = "nameserver 127.0.0.53\n";
    struct row {
        const char *what;
        std::string cmd;
        std::vector<uint32_t> want;
        const char *log = "";
        std::string conf = "nameserver 127.0.0.53\n";
        int ret = 0;
    };
    const std::string ran = dir + "/ran";
    const row rows[] = {
        {"stub resolver: the service's servers, trimmed, junk and IPv6 skipped",
         "printf '  10.1.1.1 \\nbogus\\n::1\\n\\n10.1.1.3'", ips({"10.1.1.1", "10.1.1.3"}),
         "last dns server:0x"},
        {"service fails: fallback", "false", {fallback}, "get systemd resovle conf error ret -1"},
        {"service prints nothing: fallback", "true", {fallback}, "can not get dns server addresss"},
        // The service answered: nothing to probe, and no reason to leave the machine.
        {"service names only IPv6: no fallback", "echo fe80::1", {}, "dns server fe80::1"},
        {"address cut by the full buffer is dropped",
         "printf '" + pad501 + "\\n10.1.1.123\\n'",
         {}},
        {"address ending exactly at the full buffer is kept",
         "printf '" + pad499 + "\\n10.1.1.123\\n'", ips({"10.1.1.123"})},
        {"stub beside another server is not replaced", "touch " + ran,
         ips({"127.0.0.53", "10.0.0.9"}), "", stub + "nameserver 10.0.0.9\n"},
        {"no server at all",
         "touch " + ran,
         {},
         "get dns server address over length",
         "search x.test\n",
         1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        write_conf(r.conf);
        dns_set_resolve_cmd(r.cmd.c_str());
        uint32_t servers[NET_DNS_SERVER_MAX] = {};
        int count = 0;
        int ret = 0;
        std::string log = output_of([&] { ret = dns_get_dnsserver(servers, &count); });
        EXPECT_EQ(ret, r.ret);
        if (r.ret == 0) {
            ASSERT_EQ(count, (int)r.want.size());
            for (size_t i = 0; i < r.want.size(); i++) EXPECT_EQ(servers[i], r.want[i]) << i;
        }
        EXPECT_NE(log.find(r.log), std::string::npos) << log;
        EXPECT_NE(access(ran.c_str(), F_OK), 0) << "the service was asked without a stub";
    }
    strstrip(nullptr);  // the trim of the lines above, on no text at all
}

// An unreadable file keeps the last list, but a list the file could not have produced (the
// service's sixteen) is refused rather than probed blindly.
TEST_F(DnsProbe, UnreadableConfKeepsTheOldListWithinBounds) {
    unlink(conf().c_str());
    for (int n : {1, 15, 16}) {
        SCOPED_TRACE(n);
        uint32_t servers[NET_DNS_SERVER_MAX] = {};
        for (int i = 0; i < n; i++) servers[i] = ip("10.2.0.1") + (uint32_t)htonl(i);
        int count = n;
        int ret = 0;
        output_of([&] { ret = dns_get_dnsserver(servers, &count); });
        EXPECT_EQ(ret, n <= 15 ? 0 : 1);
        EXPECT_EQ(count, n);
        EXPECT_EQ(servers[0], ip("10.2.0.1"));
    }
}

// Label form written out independently of the code under test.
std::string wire(const std::vector<std::string> &labels) {
    std::string w;
    for (const std::string &l : labels) w += (char)l.size() + l;
    return w + '\0';
}

// What goes on the wire, and how each kind of reply is judged.
TEST_F(DnsProbe, ProbeQueryBytesAndReplies) {
    bytes cut = reply_header(0x80, 1);
    cut.pop_back();
    struct row {
        const char *what;
        bytes reply;
        int ret;
        const char *log;
    };
    const row rows[] = {
        // The counts are the server's word and only printed, however large.
        {"answer, counts only logged", reply_header(0x80, 0xffff), 0, " 65535 Answers."},
        {"answer longer than the receive buffer", reply_header(0x80, 1, 1500), 0, " 1 Answers."},
        {"name error", reply_header(0x83, 0), -1, "answered with code 3"},
        {"code in the low bits only", reply_header(0xf0, 0), 0, " 65535 Authoritative"},
        {"header cut short", cut, -1, "too short (11 bytes)"},
        {"empty datagram", {}, -1, "empty reply"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        responder srv("127.0.0.1", 0, r.reply);
        ASSERT_TRUE(srv.ok());
        dns_set_probe_port(srv.port());
        int ret = 0;
        std::string log = output_of([&] { ret = dnsprobe(ip("127.0.0.1")); });
        EXPECT_EQ(ret, r.ret);
        EXPECT_NE(log.find(r.log), std::string::npos) << log;

        bytes want = {
            (uint8_t)(getpid() >> 8), (uint8_t)getpid(), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
        for (char c : wire({"www", "debian", "org"})) want.push_back((uint8_t)c);
        for (uint8_t b : {0, 1, 0, 1}) want.push_back(b);  // type A, class IN
        EXPECT_EQ(srv.last_query(), want);
    }
}

// Collector threads read the flag and the server text while cycles run; the first server
// that answers is named. Then none answers, and a probe of a port nothing holds says so.
TEST_F(DnsProbe, ReadersDuringCycles) {
    responder ok("127.0.0.1", 0, reply_header(0x80, 1));
    ASSERT_TRUE(ok.ok());
    dns_set_probe_port(ok.port());
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; t++)
        readers.emplace_back([&] {
            while (!done) {
                std::string s = ip_text();
                int32_t c = g_udp_connect.load();
                if ((s != "" && s != "127.0.0.1" && s != "127.0.0.2") || (c != 0 && c != 1)) bad++;
            }
        });
    for (int i = 0; i < 20; i++) {
        write_conf(i % 2 ? "nameserver 127.0.0.2\nnameserver 127.0.0.1\n"
                         : "nameserver 127.0.0.1\n");
        cycle();
        EXPECT_EQ(g_udp_connect.load(), 1);
    }
    done = true;
    for (auto &t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(ip_text(), "127.0.0.1");
    write_conf("nameserver 127.0.0.2\n");
    cycle();
    EXPECT_EQ(g_udp_connect.load(), 0);
    EXPECT_EQ(ip_text(), "127.0.0.1");
    std::string log = output_of([&] { EXPECT_EQ(dnsprobe(ip("127.0.0.2")), -1); });
    EXPECT_NE(log.find("dns probe of 0x"), std::string::npos) << log;
}

}  // namespace
