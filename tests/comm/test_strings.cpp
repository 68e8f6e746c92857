#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/sensor_config.h"
#include "comm/dns_name.h"
#include "comm/error_output.h"
#include "comm/json_add.h"
#include "comm/scanner.h"
#include "qxkiv/kiv_string.h"

namespace {

// "rc:buffer" after a call, so each step is one check.
#define RC_BUF(call, buf)                        \
    [&] {                                        \
        int rc = (call);                         \
        return std::to_string(rc) + ":" + (buf); \
    }()

TEST(BoundedStrings, CopyAppendAndFormat) {
    char buf[4], cat[8] = "abc", unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(RC_BUF(strcpy_n(buf, sizeof(buf), "abcd"), buf), "-1:abc");
    EXPECT_EQ(RC_BUF(strcpy_ns(buf, sizeof(buf), "wxyz", 4), buf), "-1:abc");  // refused
    EXPECT_EQ(RC_BUF(strcpy_ns(buf, sizeof(buf), "wxyz", 3), buf), "0:wxy");
    EXPECT_EQ(RC_BUF(strcpy_ns(buf, sizeof(buf), "1234", KIV_STR_NOLIMIT), buf), "-1:123");
    EXPECT_EQ(RC_BUF(strcat_ns(cat, sizeof(cat), "defgh", 5), cat), "-1:abc");
    EXPECT_EQ(RC_BUF(strcat_n(cat, sizeof(cat), "defgh"), cat), "-1:abcdefg");
    EXPECT_EQ(strcat_ns(unterminated, sizeof(unterminated), "", 0), -1);
    EXPECT_EQ(RC_BUF(sprintf_n(cat, sizeof(cat), "%s", "0123456789"), cat), "-10:0123456");
    EXPECT_EQ(sprintf_n(cat, sizeof(cat), "%d", 12345678), -8);
    EXPECT_EQ(sprintf_ns(cat, sizeof(cat), 4, "%s", "abc"), 3);
    EXPECT_EQ(RC_BUF(sprintf_ns(cat, sizeof(cat), 4, "%s", "abcd"), cat), "-1:");
}

// The reader's side of the document escape: "\\" one backslash, "\xHH" a byte, else itself.
std::string json_text_restore(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '\\') {
            out += '\\', i++;
        } else if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16)), i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// With json_escape_invalid; at 0 every string is printed as cJSON prints it.
TEST(DocumentText, InvalidUtf8EscapedReversiblyAndValidTextKept) {
    const int32_t saved = g_framework_config.json_escape_invalid;
    const std::pair<std::string, std::string> rows[] = {
        {"/tmp/plain.php", "/tmp/plain.php"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc3", "\\xc3"},                             // cut sequence at the end
        {"\xc3(", "\\xc3("},                           // no continuation byte
        {"\xc0\xaf", "\\xc0\\xaf"},                    // overlong '/'
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},           // surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // above U+10FFFF
        {"C:\\dir", "C:\\dir"},                        // a lone backslash stays
        {"\\x41", "\\\\x41"},                          // text that looks like an escape
        {"\\\\", "\\\\\\"},
        {"\\\xff", "\\\\\\xff"},
    };
    for (int32_t escape : {0, 1})
        for (auto &[in, want] : rows) {
            g_framework_config.json_escape_invalid = escape;
            cJSON *o = cJSON_CreateObject();
            ASSERT_TRUE(add_str(o, "k", in.c_str()));
            EXPECT_EQ(cJSON_GetObjectItem(o, "k")->valuestring, escape ? want : in) << in;
            EXPECT_EQ(json_text_restore(want), in);
            cJSON_Delete(o);
        }
    // Text written directly is byte for byte what cJSON prints for the same member: every
    // byte value, control characters and quotes among them, after plain runs of every length
    // up to three words so each byte position of a word is tried.
    std::mt19937 rng(7);
    const char mixed[] = {'\\', 'x',    '"',    '\n',   '\t', '\x01', '\x1f', '\x7f',
                          'a',  '\xff', '\xc3', '\xa9', '\b', '\f',   '\r',   '/'};
    for (int round = 0; round < 10000; round++) {
        g_framework_config.json_escape_invalid = round % 2;
        std::string in;
        if (round < 510)
            in = std::string(1, (char)(round / 2 + 1)) + "z";
        else
            in = std::string(round % 24, 'p');
        for (int n = rng() % 16; n > 0; n--) in += mixed[rng() % sizeof mixed];
        cJSON *item = cJSON_CreateObject();
        ASSERT_TRUE(add_str(item, "k", in.c_str()));
        char *ref = cJSON_PrintUnformatted(item);
        std::string got = "{\"k\":";
        json_append_text(got, in.c_str());
        got += '}';
        ASSERT_EQ(got, ref) << in;
        cJSON_free(ref);
        cJSON_Delete(item);
    }
    g_framework_config.json_escape_invalid = saved;
}

// Whole numbers as cJSON prints the double each becomes, on both sides of 10^15: a create
// time in nanoseconds after 11.6 days of uptime is printed in its shortest exact form.
TEST(DocumentText, LargeNumbersPrintAsCjsonPrintsThem) {
    for (uint64_t v : {0ull, 999999999999999ull, 1000000000000000ull, 1234567890000000ull,
                       1234567890123456ull, 9007199254740993ull, 18446744073709551615ull}) {
        cJSON *ref = cJSON_CreateObject(), *ours = cJSON_CreateObject();
        cJSON_AddNumberToObject(ref, "t", (double)v);
        ASSERT_TRUE(add_u64(ours, "t", v));
        std::string text;
        json_text_obj(text).num("t", v).close();
        char *a = cJSON_PrintUnformatted(ref), *b = cJSON_PrintUnformatted(ours);
        EXPECT_STREQ(b, a) << v;
        EXPECT_EQ(text, a) << v;
        cJSON_free(a), cJSON_free(b);
        cJSON_Delete(ref), cJSON_Delete(ours);
    }
}

// A record printed into the thread's buffer reads as cJSON prints it; one too long for the
// buffer is printed on its own.
TEST(DocumentText, PrintedIntoTheThreadBufferOrOnItsOwn) {
    auto doc = [](size_t n) {
        cJSON *o = cJSON_CreateObject();
        add_str(o, "line", std::string(n, 'q').c_str());
        add_int(o, "n", 42);
        return o;
    };
    cJSON *small = doc(100), *big = doc(40000);
    auto ref = [](cJSON *o) {
        char *t = cJSON_PrintUnformatted(o);
        std::string s(t);
        cJSON_free(t);
        return s;
    };
    {
        json_printed a;
        json_print_local(small, &a);
        ASSERT_NE(a.text, nullptr);
        EXPECT_EQ(std::string(a.text, a.len), ref(small));
        EXPECT_EQ(a.owned, nullptr);
    }  // given back, so the next is printed on its own for its size alone
    json_printed b;
    json_print_local(big, &b);
    EXPECT_NE(b.owned, nullptr);
    EXPECT_EQ(std::string(b.text, b.len), ref(big));
    cJSON_Delete(small);
    cJSON_Delete(big);
}

// Label bytes that could make a DNS name read as another are escaped, and a cut keeps both
// ends without splitting an escape.
TEST(DnsText, DisguisingBytesEscapedAndLongNamesCutAtBothEnds) {
    auto text = [](const std::vector<std::string> &labels) {
        dns_text t;
        for (auto &l : labels)
            EXPECT_TRUE(t.add_label(reinterpret_cast<const uint8_t *>(l.data()), l.size()));
        return std::string(t.text, t.len);
    };
    // Printable ASCII stays; blanks, controls and bytes above it do not.
    EXPECT_EQ(text({"!~ \x1f\x7f\x80\xff"}), "!~\\032\\031\\127\\128\\255");
    // Raw, a name reaching 255 characters with its dot refused.
    const std::string l63(63, 'q');
    dns_text longest(false);
    for (size_t n : {63, 63, 63, 62})
        EXPECT_TRUE(longest.add_label(reinterpret_cast<const uint8_t *>(l63.data()), n));
    EXPECT_EQ(longest.len, 254u);
    EXPECT_FALSE(longest.add_label(reinterpret_cast<const uint8_t *>("x"), 1));

    // A label that would overflow the text is refused and leaves it as it was.
    dns_text full;
    const std::string nul63(63, '\0');
    const auto *p = reinterpret_cast<const uint8_t *>(nul63.data());
    size_t labels = 0;
    while (full.add_label(p, 63)) labels++;
    EXPECT_EQ(labels, 4u);  // 4 * (252 + 1) - 1 = 1011 characters
    EXPECT_EQ(full.len, 1011u);
    EXPECT_EQ(strlen(full.text), 1011u);

    char out[32];
    dns_text t;
    t.add_label(reinterpret_cast<const uint8_t *>("abcdefghij"), 10);
    t.add_label(reinterpret_cast<const uint8_t *>("klmnopqrst"), 10);  // 21 characters
    EXPECT_FALSE(t.copy_to(out, 22));
    EXPECT_STREQ(out, "abcdefghij.klmnopqrst");
    EXPECT_TRUE(t.copy_to(out, 21));
    EXPECT_STREQ(out, "abcdefgh...lmnopqrst");  // 8 + 3 + 9 = 20
    EXPECT_TRUE(t.copy_to(out, 4));
    EXPECT_STREQ(out, "");
}

TEST(Scanner, Integers) {
    // %i guesses the base; "0x" without a digit is 0; a sign uses up width.
    const struct {
        const char *src, *fmt;
        int count;
        long long a, b;
    } cases[] = {{"-12 0x1f", "%lld %llx", 2, -12, 31},
                 {"17 ff", "%llo %llX", 2, 15, 255},
                 {"0X1A 017", "%lli %lli", 2, 26, 15},
                 {"0xg", "%lli%n", 1, 0, 1},
                 // Base 16 takes "0x" as its prefix whatever follows; a field no wider than
                 // the prefix is consumed and converts to 0.
                 {"0xg", "%llx%n", 1, 0, 2},
                 {"0x1f", "%2llx%n", 1, 0, 2},
                 {"0x1f", "%3llx%n", 1, 1, 3},
                 {"12345", "%2lld%3lld", 2, 12, 345},
                 {"-123", "%2lld%lld", 2, -1, 23},
                 {"-5", "%llu", 0, 0, 0},
                 {"-", "%lld", 0, 0, 0},
                 {"a=1,b=2", "a=%lld;b=%lld", 1, 1, 0},
                 {"7 % 8", "%lld %% %lld", 2, 7, 8},
                 {"5", "%q", 0, 0, 0}};
    for (const auto &c : cases) {
        long long a = 0, b = 0;
        int n = strstr(c.fmt, "%n") ? sscanf_n(c.src, c.fmt, &a, (int *)&b)
                                    : sscanf_n(c.src, c.fmt, &a, &b);
        EXPECT_TRUE(n == c.count && a == c.a && b == c.b)
            << c.src << " / " << c.fmt << ": " << n << " " << a << " " << b;
    }

    signed char hh;
    int i, pos = -1;
    unsigned long long ull;
    EXPECT_EQ(sscanf_n(" 300 -2147483649 ffffffffffffffff", "%hhd %d %llx%n", &hh, &i, &ull, &pos),
              3);
    // Stored modulo the target width: 300 -> 44, -2147483649 -> INT32_MAX.
    EXPECT_EQ(std::tuple(hh, i, ull, pos), std::tuple((signed char)44, INT32_MAX, UINT64_MAX, 33));
    EXPECT_EQ(simple_strtoull("18446744073709551617", nullptr, 10), 1u);  // wraps
    EXPECT_EQ(simple_strtoll("-0x8000000000000000", nullptr, 0), INT64_MIN);
}

TEST(Scanner, StringFieldsTruncateOrStop) {
    char small[4], big[16];
    int v = 0;
    EXPECT_EQ(sscanf_n(" hello world 5", "%s %s %d", small, sizeof(small), big, sizeof(big), &v),
              3);
    EXPECT_EQ(std::string(small) + big + std::to_string(v), "helworld5");

    strcpy(small, "old");
    EXPECT_EQ(RC_BUF(sscanf_ns("hello world", "%s %s", small, 4, big, sizeof(big)), small),
              "0:old");
    EXPECT_EQ(sscanf_ns("abcdef", "%3s%s", small, sizeof(small), big, sizeof(big)), 2);
    EXPECT_STREQ(big, "def");

    // A %s that meets only blanks stores "" and counts, as the kernel's scanner does.
    strcpy(big, "old");
    EXPECT_EQ(RC_BUF(sscanf_n("abc   ", "%s%s", small, sizeof(small), big, sizeof(big)), big),
              "2:");
    EXPECT_EQ(RC_BUF(sscanf_ns("abc \t", "%s%s", small, sizeof(small), big, sizeof(big)), big),
              "2:");

    char c[3] = {'.', '.', '.'};
    EXPECT_EQ(sscanf_n("xyz9", "%3c%d", c, (size_t)2, &v), 2);
    EXPECT_EQ(std::string(c, 3) + std::to_string(v), "xy.9");
    EXPECT_EQ(sscanf_ns("xyz9", "%3c%d", c, (size_t)2, &v), 0);
}

using lines = std::vector<std::string>;
void collect(int level, const char *text, void *ctx) {
    static_cast<lines *>(ctx)->push_back(std::to_string(level) + ":" + text);
}

// Registrations are per thread and permanent, so each case runs on a thread of its own.
TEST(ErrorOutput, FormattingLimitsAndHandlers) {
    std::thread([] {
        static lines a, b;
        ASSERT_EQ(error_output_register(collect, &a), 0);
        for (int i = 1; i < ERROR_OUTPUT_MAX_HANDLERS; i++) error_output_register(collect, &b);
        EXPECT_EQ(error_output_register(collect, &b), -1);
        errno = ENOENT;
        error_output(2, "x.c", 12, "v=%d", 5);  // errno text only for levels 0 and 1
        error_output(0, nullptr, 7, "open");
        errno = 0;
        error_output(9, "z.c", 3, "high");  // clamped
        std::string fits(8192 - 1 - strlen("[z.c:3] "), 'b');
        error_output(2, "z.c", 3, "%s+", fits.c_str());  // 8192 bytes: dropped
        error_output(2, "z.c", 3, "%s", fits.c_str());
        EXPECT_EQ(a,
                  (lines{"2:[x.c:12] v=5", "0:[no_src.c:7] open errmsg:No such file or directory",
                         "1:[z.c:3] high", "2:[z.c:3] " + fits}));
        EXPECT_EQ(b.size(), 4u * (ERROR_OUTPUT_MAX_HANDLERS - 1));
    }).join();
    static lines global;  // only for threads without handlers of their own
    ASSERT_EQ(global_output_register(collect, &global), 0);
    std::thread([] { error_output_string(4, "bare"); }).join();
    EXPECT_EQ(global, lines{"4:bare"});
}

}  // namespace
