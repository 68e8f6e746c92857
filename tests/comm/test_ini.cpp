#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/mem.h"
#include "comm/ini_key.h"
#include "host_log.h"
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

// Lines are cut at the reader's limit (8190 characters from a file, 8191 bytes from a buffer,
// which is the explicit row length's code with its default). The head of a longer line is parsed;
// its rest is never a line of its own, so a long comment cannot smuggle in a key.
TEST_F(Ini, OverlongLinesKeepTheirHeadAndLoseTheirRest) {
    enum { BUF, FILE };
    for (int loader : {BUF, FILE}) {
        const size_t limit = loader == FILE ? 8190 : 8191;
        auto load = [&](const std::string &text) {
            return loader == FILE ? file(text) : buf(text);
        };
        auto value_len = [](ini_file_t *h, const char *k) {
            const char *v = ini_file_get(h, "s", k);
            return v ? (long)strlen(v) : -1L;
        };
        SCOPED_TRACE(loader);
        // Exactly the limit: whole, and the next line intact.
        std::string exact = "k=" + std::string(limit - 2, 'v');
        ini_file_t *h = load("[s]\n" + exact + "\nz=1\n");
        EXPECT_EQ(value_len(h, "k"), (long)limit - 2);
        EXPECT_EQ(get(h, "s", "z"), "1");
        // Longer lines whose pieces, as the reader cuts them (a buffer drops the byte after
        // each cut), would read as keys: the head is kept, the pieces are not keys.
        const std::string drop = loader == FILE ? "" : "X";
        const std::string comment =
            "#" + std::string(limit - 1, '#') + drop + "kernel_mode = module";
        for (const std::string &rest :
             {drop + "m=2", drop + std::string(limit, 'w') + drop + "m=2"}) {
            h = load("[s]\n" + exact + rest + "\nz=1\n" + comment + "\nlast=1");
            EXPECT_EQ(value_len(h, "k"), (long)limit - 2) << rest.size();
            EXPECT_EQ(get(h, "s", "z") + get(h, "s", "last"), "11") << rest.size();
            EXPECT_EQ(get(h, "s", "kernel_mode") + get(h, "s", "m"), "<none><none>") << rest.size();
        }
        // A cut line without a final newline ends the input.
        h = load("[s]\nz=1\n#" + std::string(limit + 3, 'x'));
        EXPECT_EQ(get(h, "s", "z"), "1");
    }
    // A NUL inside a long line does not hide the cut from the file reader.
    ini_file_t *h = file(std::string("[s]\n#") + std::string(100, 'c') + '\0' +
                         std::string(8088, 'c') + "sneak=1\nq=1\n");
    EXPECT_EQ(get(h, "s", "sneak") + get(h, "s", "q"), "<none>1");

    EXPECT_NE(file(""), nullptr);
    EXPECT_EQ(ini_buffer_load_with_rowlen("[s]\n", 4, 0), nullptr);
    EXPECT_EQ(ini_buffer_load("[s]\n", 0), nullptr);
}

// Only a regular file is configuration: a directory is not an empty file, and a FIFO with no
// writer must not block the reader.
TEST_F(Ini, NonRegularFilesAreNotLoaded) {
    std::string dir = path_ + ".d", fifo = path_ + ".fifo";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, int> rows[] = {{dir, EISDIR}, {fifo, EINVAL}};
    for (auto &[p, err] : rows) {
        errno = 0;
        EXPECT_EQ(ini_file_load(p.c_str()), nullptr) << p;
        EXPECT_EQ(errno, err) << p;
    }
    rmdir(dir.c_str());
    unlink(fifo.c_str());
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

// Every numeric key goes through one range check: the bounds themselves are accepted, a value
// outside gives the default or the nearest bound as the key says, and the line names the file.
TEST_F(Ini, RangedKeys) {
    std::ofstream(path_) << "[n]\nlo=0\nmin=1\nmax=64\nhi=2147483647\nbad=12ab\n";
    ini_file_t *h = keep(ini_file_load(path_.c_str()));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ini_file_name(h), path_);
    EXPECT_STREQ(ini_file_name(buf("[n]\n")), "(buffer)");
    const ini_oor D = ini_oor::use_default, B = ini_oor::use_bound;
    const struct {
        const char *key;
        ini_oor below, above;
        long want;
    } rows[] = {{"lo", D, B, 5},  {"lo", B, B, 1}, {"min", D, D, 1}, {"max", D, D, 64},
                {"hi", D, B, 64}, {"hi", D, D, 5}, {"bad", B, B, 5}, {"absent", B, B, 5}};
    for (const auto &r : rows) {
        ini_long_key k{r.key, 5, 1, 64, r.below, r.above};
        std::string said =
            logged_by([&] { EXPECT_EQ(ini_get_long_in_range(h, "n", k), r.want) << r.key; });
        bool out_of_range = std::string(r.key) == "lo" || r.key[0] == 'h';
        std::string value = std::string(r.key) == "lo" ? "0" : "2147483647";
        std::string line = r.key[0] == 'h' ? std::string(r.key) + " exceed max cnt: 64"
                                           : "get " + std::string(r.key) + " error: " + value;
        EXPECT_EQ(said.find(line) != std::string::npos, out_of_range) << r.key << ": " << said;
    }
}

}  // namespace
