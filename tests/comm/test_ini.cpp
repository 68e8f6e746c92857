#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/mem.h"
#include "qxkiv/ini.h"

namespace {

class Ini : public testing::Test {
  protected:
    static std::vector<int64_t> stats() {  // INI tables count as INI, not as hash memory
        return {kiv_stat_get(MALLOC_FOR_INI_PARSER), kiv_stat_get(MALLOC_FOR_HASH),
                kiv_stat_get(MALLOC_IN_USE_TIMES)};
    }
    std::vector<int64_t> before_ = stats();
    std::vector<ini_file_t *> handles_;
    std::string path_ = "/tmp/test_ini_" + std::to_string(getpid());
    void TearDown() override {
        s_enable_malloc = 1;
        for (ini_file_t *h : handles_) ini_file_free(h);
        unlink(path_.c_str());
        EXPECT_EQ(stats(), before_);
    }
    ini_file_t *keep(ini_file_t *h) { return handles_.push_back(h), h; }
    ini_file_t *buf(const std::string &text) {
        return keep(ini_buffer_load(text.data(), (long)text.size()));
    }
    ini_file_t *file(const std::string &text) {
        std::ofstream(path_) << text;
        return keep(ini_file_load(path_.c_str()));
    }
    static std::string get(ini_file_t *h, const char *s, const char *k) {
        const char *v = ini_file_get(h, s, k);
        return v ? v : "<none>";
    }
};

TEST_F(Ini, LineGrammarRepeatsAndGarbage) {
    std::string text =
        "orphan=before any section\n[base]\n  log_level  =  4  \nempty_value =   \n   = no key\n"
        "#hash=comment\n #hash=not a comment\n;semi=comment\n'quote=comment\nno equals sign\n"
        "expr = a = b\ncrlf=v\r\ntabs\t=\tin side\t\n[unclosed\nstill_base=1\n"
        "[ spaced ] trailing text=x\nk=v\n[]\nk=empty name\n"
        "[a]\nx=1\ny=1\n[b]\nz=1\n[a]\nx=2\nx=3\n";  // the first [a] is discarded whole
    text += std::string("junk\x01\xff\x7f=\x80\n", 10);
    text += std::string("k=v\0hidden=1\n", 13);  // a NUL ends the line's text
    text += "last=no newline";
    ini_file_t *h = buf(text);
    ASSERT_NE(h, nullptr);
    // section|key|value; "[unclosed" keeps base open, section names are not trimmed.
    std::stringstream rows(
        "base|log_level|4;base|empty_value|<none>;base||<none>;base|#hash|not a comment;"
        "base|;semi|<none>;base|'quote|<none>;base|expr|a = b;base|crlf|v;base|tabs|in side;"
        "base|still_base|1;base|orphan|<none>; spaced |k|v;spaced|k|<none>;|k|empty name;"
        "a|x|3;a|y|<none>;b|z|1;a|k|v;a|hidden|<none>;a|last|no newline;");
    for (std::string sec, key, val; std::getline(rows, sec, '|') && std::getline(rows, key, '|') &&
                                    std::getline(rows, val, ';');)
        EXPECT_EQ(get(h, sec.c_str(), key.c_str()), val) << sec << "/" << key;
}

TEST_F(Ini, BufferCutsAt8191AndDropsTheNextByteFileReadsIn8190Pieces) {
    // Exactly 8191 bytes: the newline is the dropped byte, the next line is intact.
    std::string a8189(8189, 'a'), text = "[s]\nk=" + a8189.substr(1) + "m=2\n[t]\nlast=1";
    EXPECT_EQ(get(buf("[s]\nk=" + a8189 + "\nz=1\n"), "s", "z"), "1");
    ini_file_t *h = buf("[s]\nk=" + a8189 + "Xm=2\n");  // 'X' dropped, the rest its own line
    EXPECT_EQ(get(h, "s", "k") + get(h, "s", "m"), a8189 + "2");
    h = keep(ini_buffer_load_with_rowlen("[s]\nab=cdefg\nq=1", 16, 5));  // "ab=c", 'd' dropped
    EXPECT_EQ(get(h, "s", "ab") + get(h, "s", "q"), "c1");
    // The same text splits differently in a file: the file reader drops nothing.
    EXPECT_EQ(get(buf(text), "s", "k"), a8189.substr(1) + "m");
    h = file(text);
    EXPECT_EQ(get(h, "s", "k") + get(h, "s", "m") + get(h, "t", "last"), a8189.substr(1) + "21");
    EXPECT_NE(file(""), nullptr);
    EXPECT_EQ(ini_buffer_load_with_rowlen("[s]\n", 4, 0), nullptr);
    EXPECT_EQ(ini_buffer_load("[s]\n", 0), nullptr);
    EXPECT_EQ(ini_file_load("/nonexistent/dir/x.conf"), nullptr);
}

TEST_F(Ini, GetLongAndForeach) {
    ini_file_t *h =
        buf("[n]\noct=010\nhex=0x10\nneg=-0x10\nplus=+7\nmax=0x7fffffffffffffff\n"
            "trail=12ab\nbare=0x\nbadoct=08\nover=99999999999999999999\nspace=1 2\n");
    const std::pair<const char *, long> rows[] = {{"oct", 8},     {"hex", 16},       {"neg", -16},
                                                  {"plus", 7},    {"max", LONG_MAX}, {"trail", -77},
                                                  {"bare", -77},  {"badoct", -77},   {"over", -77},
                                                  {"space", -77}, {"absent", -77}};
    for (auto [k, v] : rows) EXPECT_EQ(ini_file_get_long(h, "n", k, -77), v) << k;

    std::vector<std::string> seen;
    auto collect = [](const char *, const char *key, const char *val, void *arg) {
        static_cast<std::vector<std::string> *>(arg)->push_back(std::string(key) + val);
        return strcmp(key, "max") == 0 ? 7 : 0;  // key must be a terminated string
    };
    EXPECT_EQ(ini_file_section_foreach(h, "n", &seen, collect), 1);  // 1 for any non-zero
    EXPECT_EQ(seen.back(), "max0x7fffffffffffffff");
}

}  // namespace
