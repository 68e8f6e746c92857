#include "net/dns_parse.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/mem.h"

namespace {

using bytes = std::vector<uint8_t>;

// Writes DNS messages in wire layout.
struct msg_writer {
    bytes b;
    msg_writer &u8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    msg_writer &u16(uint16_t v) { return u8(v >> 8).u8(v & 0xff); }
    msg_writer &u32(uint32_t v) { return u16(v >> 16).u16(v & 0xffff); }
    msg_writer &raw(const bytes &v) {
        b.insert(b.end(), v.begin(), v.end());
        return *this;
    }
    msg_writer &header(uint16_t qd, uint16_t an, uint16_t ns, uint16_t ar,
                       uint16_t flags = 0x8180) {
        return u16(0x1234).u16(flags).u16(qd).u16(an).u16(ns).u16(ar);
    }
    // Labels of a dotted name, then the root byte.
    msg_writer &name(const std::string &dotted) {
        size_t at = 0;
        while (at < dotted.size()) {
            size_t dot = dotted.find('.', at);
            if (dot == std::string::npos) dot = dotted.size();
            u8((uint8_t)(dot - at));
            for (size_t i = at; i < dot; i++) u8((uint8_t)dotted[i]);
            at = dot + 1;
        }
        return u8(0);
    }
    msg_writer &question(const std::string &dotted, uint16_t type = 1) {
        return name(dotted).u16(type).u16(1);
    }
    // A record owned by a pointer to the question name.
    msg_writer &rr(uint16_t type, const bytes &data, uint32_t ttl = 300) {
        return u16(0xC00C).u16(type).u16(1).u32(ttl).u16((uint16_t)data.size()).raw(data);
    }
    // A record of class IN, TTL 0, whose owner name is written as the given bytes.
    msg_writer &own(const bytes &owner, uint16_t type, const bytes &data) {
        return raw(owner).u16(type).u16(1).u32(0).u16((uint16_t)data.size()).raw(data);
    }
    msg_writer &a(uint8_t last) { return rr(1, {192, 0, 2, last}); }
};

bytes read_vector(const std::string &name) {
    std::ifstream in(std::string(KIV_TEST_DATA_DIR) + "/dns/" + name + ".bin", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct parsed {
    std::vector<std::string> addrs;
    std::string name;
    std::string log;
    bool some = false;
};

std::string addr_of(const dnsa_record *r) {
    char ip[INET6_ADDRSTRLEN];
    inet_ntop(r->type == DNSA_KIND_AAAA ? AF_INET6 : AF_INET, r->data, ip, sizeof(ip));
    return ip;
}

// Parses an exact-size heap copy (so the sanitizer sees any read past the end), frees the
// list and returns what it held with the log lines of the parse.
parsed parse(const bytes &msg, int name_size = DNSA_NAME_LEN, bool aaaa = false) {
    bytes copy(msg);
    std::vector<char> name((size_t)std::max(name_size, 1), '#');
    int64_t held = kiv_stat_get(MALLOC_FOR_NET_DNSA_RECORD);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    dnsa_record *list = dnsa_get_response_ip(copy.empty() ? nullptr : copy.data(), (int)copy.size(),
                                             name.data(), name_size, aaaa);
    parsed p;
    p.log = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    p.some = list != nullptr;
    if (list != nullptr) p.name.assign(name.data());
    for (dnsa_record *r = list; r != nullptr; r = r->next) {
        EXPECT_STREQ(r->name, name_size >= DNSA_NAME_LEN ? name.data() : r->name);
        EXPECT_TRUE(r->type == DNSA_KIND_A || (aaaa && r->type == DNSA_KIND_AAAA));
        EXPECT_EQ(r->rr_type, htons(r->type));
        EXPECT_EQ(r->rr_class, htons(1));
        p.addrs.push_back(addr_of(r));
    }
    dnsa_clean(list);
    EXPECT_EQ(kiv_stat_get(MALLOC_FOR_NET_DNSA_RECORD), held) << "records not freed";
    return p;
}

class DnsParse : public testing::Test {
  protected:
    int32_t level_ = 0;
    uint32_t mask_ = 0;
    void SetUp() override {
        level_ = g_framework_config.log_level;
        mask_ = g_framework_config.log_mask;
        g_framework_config.log_level = 4;
        g_framework_config.log_mask = 0xFFFFFFFF;
    }
    void TearDown() override {
        g_framework_config.log_level = level_;
        g_framework_config.log_mask = mask_;
        s_enable_malloc = 1;
    }
};

constexpr const char *kVisit = "Dns answer visit addr llegal";

// Every cut of every real reply (tests/data/make_dns_vectors.sh): no read past the cut, and
// never more than the whole gives. What each whole reply yields is NetE2E's documents.
TEST_F(DnsParse, EveryTruncationOfRealReplies) {
    g_framework_config.log_level = 0;
    for (const char *f : {"a_single", "a_cname_chain", "a_many", "a_edns", "mx_with_glue",
                          "nxdomain", "aaaa_only", "txt", "ptr"}) {
        bytes msg = read_vector(f);
        size_t whole = parse(msg).addrs.size();
        for (size_t cut = 0; cut < msg.size(); cut++) {
            parsed p = parse(bytes(msg.begin(), msg.begin() + (long)cut));
            EXPECT_LE(p.addrs.size(), whole) << f << " cut " << cut;
        }
        // A single answer ends the message: any cut loses it.
        if (std::string(f) == "a_single")
            for (size_t cut = 13; cut < msg.size(); cut++)
                EXPECT_FALSE(parse(bytes(msg.begin(), msg.begin() + (long)cut)).some) << cut;
    }
}

// The header, the parameters and the question: refusals, the names taken and the caller's
// buffer the name is cut to.
TEST_F(DnsParse, HeaderParametersAndQuestionNames) {
    const bytes one_a = msg_writer().header(1, 1, 0, 0).question("a.test").a(1).b;
    const bytes www = msg_writer().header(1, 1, 0, 0).question("www.example.test").a(1).b;
    const std::string l63(63, 'x'), l62(62, 'y');
    // Wire lengths 256 (the largest taken) and 257.
    const std::string longest = l63 + "." + l63 + "." + l63 + "." + l62;
    const std::string too_long = l63 + "." + l63 + "." + l63 + "." + l63;
    struct row {
        const char *what;
        bytes msg;
        const char *name;  // nullptr: refused
        const char *log;
        int name_size = 256;
    };
    const row rows[] = {
        {"exactly a header", msg_writer().header(1, 0, 0, 0).b, nullptr,
         "[dns] invalid param(buf_len:12,domain_len:256)"},
        {"no room for a name", one_a, nullptr, "invalid param(buf_len:40,domain_len:0)", 0},
        {"recursion bit clear", msg_writer().header(1, 1, 0, 0, 0x8100).question("a.test").a(1).b,
         nullptr, "dns head flags error,*flags:0x8100, dns->z:0"},
        {"only the second flag byte is examined",
         msg_writer().header(1, 1, 0, 0, 0x0080).question("a.test").a(1).b, "a.test", ""},
        {"no question", msg_writer().header(0, 1, 0, 0).a(1).b, nullptr,
         "[dns] dns->q_count is zero."},
        {"header and one byte", msg_writer().header(1, 0, 0, 0).u8(0).b, nullptr, kVisit},
        // A compression pointer's first byte is a label length above 63 too.
        {"label of 64", msg_writer().header(1, 1, 0, 0).question(std::string(64, 'a')).a(1).b,
         nullptr, "[dns] error dns"},
        {"more questions than data", msg_writer().header(3, 0, 0, 0).question("a.test").b, nullptr,
         kVisit},
        {"longest name", msg_writer().header(1, 1, 0, 0).question(longest).a(7).b, longest.c_str(),
         "totqlen:260"},
        {"name over 256", msg_writer().header(1, 1, 0, 0).question(too_long).a(7).b, nullptr,
         "[dns] qlen(257) is overlimit."},
        {"root name", msg_writer().header(1, 1, 0, 0).question("").a(7).b, "", ""},
        {"two questions, first named",
         msg_writer().header(2, 1, 0, 0).question("first.test").question("second.test").a(7).b,
         "first.test", "totqlen:"},
        {"name cut to a buffer of 4", www, "www", "", 4},
        {"name cut to a buffer of 1", www, "", "", 1},
        {"name in a buffer of its size", www, "www.example.test", "", 17},
    };
    for (const row &r : rows) {
        parsed p = parse(r.msg, r.name_size);
        EXPECT_EQ(p.some, r.name != nullptr) << r.what << "\n" << p.log;
        if (r.name) EXPECT_EQ(p.name, r.name) << r.what;
        EXPECT_NE(p.log.find(r.log), std::string::npos) << r.what << "\n" << p.log;
    }
}

// The answer, authority and additional sections' records: owners, fixed parts, data and
// types, and what each section keeps.
TEST_F(DnsParse, ResourceRecordsInEachSection) {
    auto m = [](uint16_t an, uint16_t ns, uint16_t ar) {
        return msg_writer().header(1, an, ns, ar).question("a.test");
    };
    auto q = [&] { return m(1, 0, 0); };
    auto opt = [](msg_writer &w) -> msg_writer & {
        return w.u8(0).u16(41).u16(1232).u32(0).u16(0);
    };
    msg_writer opt_then_txt = m(1, 0, 2).a(1);
    opt(opt_then_txt).rr(16, {0});
    msg_writer a_then_opt = m(1, 0, 2).a(1).a(2);
    opt(a_then_opt);
    a_then_opt.b[7] = 1;  // one answer, two additional
    const std::string long_owner = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                                   std::string(63, 'c') + "." + std::string(63, 'd');
    struct row {
        const char *what;
        bytes msg;
        std::vector<std::string> addrs;  // none: the parse gives nothing
        const char *log = "";
        bool aaaa = false;  // IPv6 addresses asked for
    };
    const bytes ip4 = {1, 2, 3, 4};
    bytes ip6(16, 0);
    ip6[0] = 0x20, ip6[1] = 0x01, ip6[2] = 0x0d, ip6[3] = 0xb8, ip6[15] = 7;
    const row rows[] = {
        // The pointer's target is outside the message: stepped over, never followed.
        {"owner pointer not followed", q().own({0xFF, 0xFF}, 1, {10, 0, 0, 1}).b, {"10.0.0.1"}},
        {"owner labels then pointer",
         q().own({3, 'f', 'o', 'o', 0xC0, 12}, 1, {10, 0, 0, 2}).b,
         {"10.0.0.2"}},
        {"owner length byte 0x40", q().own({0x40}, 1, ip4).b, {}, "[dns] get label offset error!"},
        {"owner longer than 254",
         q().name(long_owner).own({}, 1, ip4).b,
         {},
         "[dns] get label offset error!"},
        {"owner runs past the end", q().u8(5).raw({'a', 'b'}).b, {}, kVisit},
        {"fixed part cut", q().u16(0xC00C).u16(1).u16(1).u32(0).b, {}, "visit_len:10"},
        {"address data cut",
         q().u16(0xC00C).u16(1).u16(1).u32(0).u16(4).raw({1, 2}).b,
         {},
         "visit_len:16"},
        {"address data of 3", q().rr(1, {1, 2, 3}).b, {}, "is short"},
        {"address data of 6 keeps the record", q().rr(1, {10, 9, 8, 7, 6, 5}).b, {"10.9.8.7"}},
        {"unknown type", q().rr(33, {0, 0}).b, {}, "[dns] not support type(0x21)!"},
        // Aliases and other known types are stepped over; an alias's data is not decoded.
        {"stepped types",
         msg_writer()
             .header(1, 6, 0, 0)
             .question("a.test")
             .rr(5, {0xC0, 0x0C})
             .rr(2, {0xFF})
             .rr(6, {})
             .rr(15, {0, 1, 0xC0})
             .rr(28, bytes(16, 0))
             .a(9)
             .b,
         {"192.0.2.9"}},
        // Asked for, IPv6 addresses are kept beside IPv4 ones, in message order.
        {"aaaa kept when asked",
         msg_writer().header(1, 3, 0, 0).question("a.test").rr(28, ip6).rr(5, {0xC0, 0x0C}).a(9).b,
         {"2001:db8::7", "192.0.2.9"},
         "",
         true},
        {"address in authority is not kept", m(1, 1, 0).a(1).a(2).b, {"192.0.2.1"}},
        {"authority count past the data", m(1, 2, 0).a(1).rr(6, {}).b, {}, kVisit},
        {"address in additional is kept", m(1, 0, 1).a(1).a(2).b, {"192.0.2.1", "192.0.2.2"}},
        {"leading OPT ends the parse", opt_then_txt.b, {"192.0.2.1"}},
        {"OPT after an address is refused", a_then_opt.b, {}, "type(0x29)"},
        // One byte left where the OPT type would be read: read nothing past it.
        {"additional count with one byte left", m(1, 0, 1).a(1).u8(0).b, {}, kVisit},
    };
    for (const row &r : rows) {
        parsed p = parse(r.msg, DNSA_NAME_LEN, r.aaaa);
        EXPECT_EQ(p.some, !r.addrs.empty()) << r.what << "\n" << p.log;
        EXPECT_EQ(p.addrs, r.addrs) << r.what;
        EXPECT_NE(p.log.find(r.log), std::string::npos) << r.what << "\n" << p.log;
    }
}

TEST_F(DnsParse, LargestMessages) {
    // As large as a kernel record carries, and as large as a DNS message gets.
    for (size_t size : {6144u - 74u, 65535u}) {
        msg_writer w = msg_writer().header(1, 0, 0, 0).question("big.test");
        uint16_t n = 0;
        while (w.b.size() + 16 <= size) {
            w.a((uint8_t)n);
            n++;
        }
        w.b[6] = (uint8_t)(n >> 8);
        w.b[7] = (uint8_t)n;
        g_framework_config.log_level = 3;
        parsed p = parse(w.b);
        EXPECT_EQ(p.addrs.size(), n) << size;
        EXPECT_EQ(p.name, "big.test");
    }
}

TEST_F(DnsParse, AllocationFailureFreesWhatWasKept) {
    bytes msg = msg_writer().header(1, 2, 0, 0).question("a.test").a(1).a(2).b;
    s_enable_malloc = 0;
    parsed p = parse(msg);
    s_enable_malloc = 1;
    EXPECT_FALSE(p.some);
    EXPECT_NE(p.log.find("malloc ptr error"), std::string::npos) << p.log;
    dnsa_clean(nullptr);
}

// The bounds are per thread: parses of different messages run side by side.
TEST_F(DnsParse, ThreadsParseSideBySide) {
    g_framework_config.log_level = 0;
    const bytes small = read_vector("a_single"), big = read_vector("a_many");
    auto run = [](const bytes &msg, size_t want, int *bad) {
        for (int i = 0; i < 2000; i++) {
            char name[DNSA_NAME_LEN];
            dnsa_record *list =
                dnsa_get_response_ip(msg.data(), (int)msg.size(), name, sizeof(name));
            size_t n = 0;
            for (dnsa_record *r = list; r; r = r->next) n++;
            if (n != want) (*bad)++;
            dnsa_clean(list);
        }
    };
    int bad_small = 0, bad_big = 0;
    std::thread t1(run, std::cref(small), 1u, &bad_small);
    std::thread t2(run, std::cref(big), 24u, &bad_big);
    t1.join();
    t2.join();
    EXPECT_EQ(bad_small, 0);
    EXPECT_EQ(bad_big, 0);
}

}  // namespace
