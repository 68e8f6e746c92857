#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "comm/scanner.h"
#include "qxkiv/kiv_string.h"

namespace {

TEST(BoundedStrings, CopyAndAppend) {
    char buf[4];
    EXPECT_EQ(strcpy_n(buf, sizeof(buf), "abcd"), -1);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(strcpy_n(buf, 0, "q"), -1);
    EXPECT_EQ(strcpy_ns(buf, sizeof(buf), "wxyz", 4), -1);  // refused: unchanged
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(strcpy_ns(buf, sizeof(buf), "wxyz", 3), 0);
    EXPECT_STREQ(buf, "wxy");
    EXPECT_EQ(strcpy_ns(buf, sizeof(buf), "1234", KIV_STR_NOLIMIT), -1);  // truncates
    EXPECT_STREQ(buf, "123");

    char cat[8] = "abc";
    EXPECT_EQ(strcat_ns(cat, sizeof(cat), "defgh", 5), -1);
    EXPECT_STREQ(cat, "abc");
    EXPECT_EQ(strcat_n(cat, sizeof(cat), "defgh"), -1);
    EXPECT_STREQ(cat, "abcdefg");
    EXPECT_EQ(strcat_n(cat, sizeof(cat), ""), -1);  // already full
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(strcat_ns(unterminated, sizeof(unterminated), "", 0), -1);
}

TEST(BoundedStrings, Format) {
    char buf[8];
    EXPECT_EQ(sprintf_n(buf, sizeof(buf), "%s", "0123456789"), -10);
    EXPECT_STREQ(buf, "0123456");
    EXPECT_EQ(sprintf_n(buf, sizeof(buf), "%d", 1234567), 7);
    EXPECT_EQ(sprintf_n(buf, sizeof(buf), "%d", 12345678), -8);
    EXPECT_EQ(sprintf_n(buf, 0, "x"), -1);

    EXPECT_EQ(sprintf_ns(buf, sizeof(buf), 4, "%s", "abc"), 3);
    EXPECT_EQ(sprintf_ns(buf, sizeof(buf), 4, "%s", "abcd"), -1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(sprintf_ns(buf, sizeof(buf), KIV_STR_NOLIMIT, "%s", "0123456789"), -10);
    EXPECT_STREQ(buf, "0123456");
}

struct int_case {
    const char *src, *fmt;
    int count;
    long long a, b;
};

TEST(Scanner, Integers) {
    const int_case cases[] = {
        {"-12 0x1f", "%lld %llx", 2, -12, 31},
        {"17 ff", "%llo %llX", 2, 15, 255},
        {"0X1A 017", "%lli %lli", 2, 26, 15},  // %i guesses the base
        {"17 -0x10", "%lli %lli", 2, 17, -16},
        {"0xg", "%lli%n", 1, 0, 1},  // "0x" without a digit is just 0
        {"12345", "%2lld%3lld", 2, 12, 345},
        {"-123", "%2lld%lld", 2, -1, 23},  // the sign counts against the width
        {"-5", "%1lld", 0, 0, 0},
        {"-5", "%llu", 0, 0, 0},
        {"8", "%llo", 0, 0, 0},
        {"-", "%lld", 0, 0, 0},
        {"a=1,b=2", "a=%lld;b=%lld", 1, 1, 0},
        {"12", "%lld %lld", 1, 12, 0},
        {"7 % 8", "%lld %% %lld", 2, 7, 8},
        {"5", "%q", 0, 0, 0},
        {"", "%lld", 0, 0, 0},
    };
    for (const auto &c : cases) {
        long long a = 0, b = 0;
        int n = strstr(c.fmt, "%n") ? sscanf_n(c.src, c.fmt, &a, (int *)&b)
                                    : sscanf_n(c.src, c.fmt, &a, &b);
        EXPECT_EQ(n, c.count) << c.src << " / " << c.fmt;
        EXPECT_EQ(a, c.a) << c.src << " / " << c.fmt;
        EXPECT_EQ(b, c.b) << c.src << " / " << c.fmt;
    }

    signed char hh;
    unsigned char uhh;
    short h;
    int i, pos = -1;
    unsigned long long ull;
    size_t z;
    EXPECT_EQ(sscanf_n(" 300 300 -40000 -2147483649 ffffffffffffffff 77",
                       "%hhd %hhu %hd %d %llx %zu%n", &hh, &uhh, &h, &i, &ull, &z, &pos),
              6);
    EXPECT_EQ(hh, 44);
    EXPECT_EQ(uhh, 44);
    EXPECT_EQ(h, (short)-40000);
    EXPECT_EQ(i, INT32_MAX);  // reduced modulo 2^32
    EXPECT_EQ(ull, UINT64_MAX);
    EXPECT_EQ(z, 77u);
    EXPECT_EQ(pos, 47);
    EXPECT_EQ(simple_strtoull("18446744073709551617", nullptr, 10), 1u);  // wraps
    EXPECT_EQ(simple_strtoll("-0x8000000000000000", nullptr, 0), INT64_MIN);
}

TEST(Scanner, StringFieldsTruncateOrStop) {
    char small[4], big[16];
    int v = 0;
    EXPECT_EQ(sscanf_n("  hello world 5", "%s %s %d", small, sizeof(small), big, sizeof(big), &v),
              3);
    EXPECT_STREQ(small, "hel");
    EXPECT_STREQ(big, "world");
    EXPECT_EQ(v, 5);

    strcpy(small, "old");
    EXPECT_EQ(sscanf_ns("hello world", "%s %s", small, sizeof(small), big, sizeof(big)), 0);
    EXPECT_STREQ(small, "old");
    EXPECT_EQ(sscanf_ns("abcdef", "%3s%s", small, sizeof(small), big, sizeof(big)), 2);
    EXPECT_STREQ(big, "def");

    char c[3] = {'.', '.', '.'};
    EXPECT_EQ(sscanf_n("xyz9", "%3c%d", c, (size_t)2, &v), 2);
    EXPECT_EQ(std::string(c, 3), "xy.");
    EXPECT_EQ(v, 9);
    EXPECT_EQ(sscanf_ns("xyz9", "%3c%d", c, (size_t)2, &v), 0);
    EXPECT_EQ(sscanf_n(" q", "%c", c, (size_t)1), 1);  // %c does not skip white space
    EXPECT_EQ(c[0], ' ');
    EXPECT_EQ(sscanf_n("abc", "%s", big, (size_t)0), 0);
}

TEST(Scanner, StreamLineByLine) {
    FILE *fp = tmpfile();
    ASSERT_NE(fp, nullptr);
    fprintf(fp, "cpu 10 20\nname %s\nlast 3", std::string(100000, 'x').c_str());
    rewind(fp);
    char name[8];
    int a = 0, b = 0;
    EXPECT_EQ(fscanf_n(fp, "%s %d %d", name, sizeof(name), &a, &b), 3);
    EXPECT_EQ(b, 20);
    EXPECT_EQ(fscanf_n(fp, "name %s", name, sizeof(name)), 1);
    EXPECT_STREQ(name, "xxxxxxx");
    EXPECT_EQ(fscanf_n(fp, "last %d", &a), 1);  // final line without newline
    EXPECT_EQ(a, 3);
    EXPECT_EQ(fscanf_n(fp, "%d", &a), 0);
    fclose(fp);
}

}  // namespace
