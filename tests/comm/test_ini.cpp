#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "framework/mem.h"
#include "qxkiv/ini.h"

namespace {

class Ini : public testing::Test {
  protected:
    int64_t ini_before_ = 0, hash_before_ = 0, blocks_before_ = 0;
    std::vector<ini_file_t *> handles_;
    std::vector<std::string> files_;

    void SetUp() override {
        ini_before_ = kiv_stat_get(MALLOC_FOR_INI_PARSER);
        hash_before_ = kiv_stat_get(MALLOC_FOR_HASH);
        blocks_before_ = kiv_stat_get(MALLOC_IN_USE_TIMES);
    }
    void TearDown() override {
        s_enable_malloc = 1;
        for (ini_file_t *h : handles_) ini_file_free(h);
        for (const std::string &f : files_) unlink(f.c_str());
        EXPECT_EQ(kiv_stat_get(MALLOC_FOR_INI_PARSER), ini_before_);
        EXPECT_EQ(kiv_stat_get(MALLOC_FOR_HASH), hash_before_);  // INI tables count as INI
        EXPECT_EQ(kiv_stat_get(MALLOC_IN_USE_TIMES), blocks_before_);
    }
    ini_file_t *keep(ini_file_t *h) {
        if (h) handles_.push_back(h);
        return h;
    }
    ini_file_t *buf(const std::string &text) {
        return keep(ini_buffer_load(text.data(), (long)text.size()));
    }
    std::string write_file(const std::string &text) {
        char path[] = "/tmp/test_ini_XXXXXX";
        int fd = mkstemp(path);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
        close(fd);
        files_.push_back(path);
        return path;
    }
    static std::string get(ini_file_t *h, const char *s, const char *k) {
        const char *v = ini_file_get(h, s, k);
        return v ? v : "<none>";
    }
};

}  // namespace

TEST_F(Ini, LineGrammar) {
    ini_file_t *h =
        buf("orphan=before any section\n"
            "[base]\n"
            "  log_level  =  4  \n"
            "empty_value =   \n"
            "   = no key\n"
            "#hash=comment\n"
            " #hash=not a comment\n"
            ";semi=comment\n"
            "'quote=comment\n"
            "no equals sign here\n"
            "expr = a = b\n"
            "crlf=v\r\n"
            "tabs\t=\tin side\t\n"
            "[unclosed\n"
            "still_base=1\n"
            "[ spaced ] trailing text=x\n"
            "k=v\n"
            "[]\n"
            "k=empty name\n");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(get(h, "base", "log_level"), "4");
    EXPECT_EQ(get(h, "base", "empty_value"), "<none>");
    EXPECT_EQ(get(h, "base", ""), "<none>");
    EXPECT_EQ(get(h, "base", "#hash"), "not a comment");
    EXPECT_EQ(get(h, "base", ";semi"), "<none>");
    EXPECT_EQ(get(h, "base", "'quote"), "<none>");
    EXPECT_EQ(get(h, "base", "expr"), "a = b");
    EXPECT_EQ(get(h, "base", "crlf"), "v");
    EXPECT_EQ(get(h, "base", "tabs"), "in side");
    EXPECT_EQ(get(h, "base", "still_base"), "1");  // "[unclosed" left the section open
    EXPECT_EQ(get(h, "base", "orphan"), "<none>");
    EXPECT_EQ(get(h, " spaced ", "k"), "v");  // section names are not trimmed
    EXPECT_EQ(get(h, "spaced", "k"), "<none>");
    EXPECT_EQ(get(h, "", "k"), "empty name");
    EXPECT_EQ(get(h, "base", "k"), "<none>");
}

TEST_F(Ini, RepeatsReplaceAndGarbageIsSkipped) {
    std::string text = "[a]\nx=1\ny=1\n[b]\nz=1\n[a]\nx=2\nx=3\n";
    text += std::string("junk\x01\xff\x7f=\x80\n", 10);
    text += std::string("k=v\0hidden=1\n", 13);  // a NUL ends the line's text
    text += "last=no newline";
    ini_file_t *h = buf(text);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(get(h, "a", "x"), "3");
    EXPECT_EQ(get(h, "a", "y"), "<none>");  // first [a] discarded with all its keys
    EXPECT_EQ(get(h, "b", "z"), "1");
    EXPECT_EQ(get(h, "a", "k"), "v");
    EXPECT_EQ(get(h, "a", "hidden"), "<none>");
    EXPECT_EQ(get(h, "a", "last"), "no newline");
    EXPECT_EQ(get(h, "missing", "x"), "<none>");
    EXPECT_STREQ(ini_file_get_str(h, "a", "nope", "dflt"), "dflt");
    EXPECT_STREQ(ini_file_get_str(h, "a", "x", "dflt"), "3");
}

TEST_F(Ini, BufferLinesAreCutAt8191AndTheNextByteDropped) {
    // Exactly 8191 bytes: the newline is the dropped byte, the next line is intact.
    std::string exact = "k=" + std::string(8189, 'a');
    ini_file_t *h = buf("[s]\n" + exact + "\nz=1\n");
    EXPECT_EQ(get(h, "s", "k").size(), 8189u);
    EXPECT_EQ(get(h, "s", "z"), "1");
    // One byte longer: 'X' is dropped and the remainder becomes its own line.
    h = buf("[s]\n" + exact + "Xm=2\n");
    EXPECT_EQ(get(h, "s", "k"), std::string(8189, 'a'));
    EXPECT_EQ(get(h, "s", "m"), "2");
    EXPECT_EQ(get(h, "s", "Xm"), "<none>");

    // Custom row length 5: "ab=cdefg" -> "ab=c", drop 'd', "efg" has no '='.
    h = keep(ini_buffer_load_with_rowlen("[s]\nab=cdefg\nq=1", 16, 5));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(get(h, "s", "ab"), "c");
    EXPECT_EQ(get(h, "s", "q"), "1");
    h = keep(ini_buffer_load_with_rowlen("[s]\nk=v\n", 8, 1));  // every line empty
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(get(h, "s", "k"), "<none>");

    EXPECT_EQ(ini_buffer_load_with_rowlen("[s]\n", 4, 0), nullptr);
    EXPECT_EQ(ini_buffer_load_with_rowlen("[s]\n", 4, -1), nullptr);
    EXPECT_EQ(ini_buffer_load("[s]\n", 0), nullptr);
    EXPECT_EQ(ini_buffer_load("[s]\n", -4), nullptr);
    EXPECT_EQ(ini_buffer_load(nullptr, 4), nullptr);
}

TEST_F(Ini, FileLinesAreReadIn8190CharPieces) {
    // The same text splits differently: the file reader drops nothing.
    std::string text = "[s]\nk=" + std::string(8188, 'a') + "m=2\n[t]\nlast=1";
    ini_file_t *f = keep(ini_file_load(write_file(text).c_str()));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(get(f, "s", "k"), std::string(8188, 'a'));
    EXPECT_EQ(get(f, "s", "m"), "2");
    EXPECT_EQ(get(f, "t", "last"), "1");
    ini_file_t *b = buf(text);
    EXPECT_EQ(get(b, "s", "k"), std::string(8188, 'a') + "m");
    EXPECT_EQ(get(b, "s", "m"), "<none>");

    EXPECT_EQ(ini_file_load("/nonexistent/dir/x.conf"), nullptr);
    EXPECT_EQ(ini_file_load(nullptr), nullptr);
    ini_file_t *empty = keep(ini_file_load(write_file("").c_str()));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(get(empty, "s", "k"), "<none>");
}

TEST_F(Ini, GetLongBasesAndRejects) {
    ini_file_t *h =
        buf("[n]\noct=010\nhex=0x10\nneg=-0x10\ndec=12\nplus=+7\nmax=0x7fffffffffffffff\n"
            "trail=12ab\nbare=0x\nbadoct=08\nover=99999999999999999999\nspace=1 2\n");
    EXPECT_EQ(ini_file_get_long(h, "n", "oct", -1), 8);
    EXPECT_EQ(ini_file_get_long(h, "n", "hex", -1), 16);
    EXPECT_EQ(ini_file_get_long(h, "n", "neg", -1), -16);
    EXPECT_EQ(ini_file_get_long(h, "n", "dec", -1), 12);
    EXPECT_EQ(ini_file_get_long(h, "n", "plus", -1), 7);
    EXPECT_EQ(ini_file_get_long(h, "n", "max", -1), LONG_MAX);
    for (const char *k : {"trail", "bare", "badoct", "over", "space", "absent"})
        EXPECT_EQ(ini_file_get_long(h, "n", k, -77), -77) << k;
    EXPECT_EQ(ini_file_get_long(nullptr, "n", "dec", 5), 5);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ini_file_get_long(h, "n", "trail", 42);
    std::string out = testing::internal::GetCapturedStdout();
    out += testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("read [n]trail failed, set default:42\n"), std::string::npos) << out;
}

TEST_F(Ini, SectionForeachAndNullArguments) {
    ini_file_t *h = buf("[s]\nalpha=1\nbeta=2\ngamma=3\n[t]\nx=9\n");
    std::vector<std::string> seen;
    auto collect = [](const char *sec, const char *key, const char *val, void *arg) {
        // key must be a terminated string although the table stores raw bytes
        static_cast<std::vector<std::string> *>(arg)->push_back(std::string(sec) + ":" + key + "=" +
                                                                val);
        return 0;
    };
    EXPECT_EQ(ini_file_section_foreach(h, "s", &seen, collect), 0);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"s:alpha=1", "s:beta=2", "s:gamma=3"}));
    int calls = 0;
    auto stop = [](const char *, const char *, const char *, void *arg) {
        return ++*static_cast<int *>(arg) == 2 ? 1 : 0;
    };
    EXPECT_EQ(ini_file_section_foreach(h, "s", &calls, stop), 1);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(ini_file_section_foreach(h, "missing", &calls, stop), 0);
    EXPECT_EQ(ini_file_section_foreach(h, "s", &calls, nullptr), 0);
    EXPECT_EQ(ini_file_section_foreach(nullptr, "s", &calls, stop), 0);
    EXPECT_EQ(ini_file_section_foreach(h, nullptr, &calls, stop), 0);

    EXPECT_EQ(ini_file_get(nullptr, "s", "alpha"), nullptr);
    EXPECT_EQ(ini_file_get(h, nullptr, "alpha"), nullptr);
    EXPECT_EQ(ini_file_get(h, "s", nullptr), nullptr);
    EXPECT_STREQ(ini_file_get_str(nullptr, "s", "alpha", "d"), "d");
    ini_file_free(nullptr);
}

TEST_F(Ini, OutOfMemoryGivesNullAndLeaksNothing) {
    std::string path = write_file("[s]\nk=v\n");
    s_enable_malloc = 0;
    EXPECT_EQ(ini_buffer_load("[s]\nk=v\n", 8), nullptr);
    EXPECT_EQ(ini_file_load(path.c_str()), nullptr);
    s_enable_malloc = 1;
    // A value too large for one accounted block fails the buffer load instead of aborting.
    std::string huge = "[s]\nk=" + std::string(1u << 23, 'v');
    EXPECT_EQ(ini_buffer_load_with_rowlen(huge.data(), (long)huge.size(), INT_MAX), nullptr);
}
