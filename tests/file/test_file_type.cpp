// File typing on files written here: signatures, the keyword scan over the first lines, the
// type information and the type filter.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "file/file_type.h"
#include "qxkiv/file_type.h"

namespace {

class FileType : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kiv_ftypeXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(init_file_type_check(), 0);
    }
    void TearDown() override {
        uninit_file_type_check();
        file_type_set_env(nullptr);
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    std::string write(const std::string &name, const std::string &bytes) {
        std::string p = dir_ + "/" + name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    std::string dir_;
};

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += (char)c;
    return s;
}

const std::string kJpegHead = bytes({0xFF, 0xD8, 0xFF, 0xE0});
const std::string kJpegTail = bytes({0xFF, 0xD9});
const std::string kPngSig = bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A});
const std::string kElf = bytes({0x7F, 'E', 'L', 'F'});

std::string lines(int n, const std::string &line) {
    std::string s;
    for (int i = 0; i < n; i++) s += line + "\n";
    return s;
}

// Signatures need sixteen bytes and a head shorter than the read; scripts are known by their
// opening marker in the first lines. Through either entry point, and the header check alone.
TEST_F(FileType, SignaturesAndScriptMarkers) {
    const std::string filler = "plain words without markers";
    const struct {
        const char *name;
        std::string content;
        int want;
    } cases[] = {
        {"empty", "", -1},
        {"elf15", kElf + std::string(11, '\x01'), -1},
        {"elf16", kElf + std::string(12, '\x01'), 9},
        {"jpg16", kJpegHead + std::string(10, 'x') + kJpegTail, 8},
        {"jpg_bad_tail", kJpegHead + std::string(20, '\x10') + bytes({0xFF, 0xD8}), -1},
        // Not a jpg by its tail: the keyword scan still sees the php inside.
        {"jpg_bad_tail_php", kJpegHead + "\n<?php x();\n" + std::string(20, '\x10'), 0},
        {"png16", kPngSig + std::string(8, '\0'), 7},
        {"png_almost", kPngSig.substr(0, 7) + std::string(9, '\0'), -1},
        // The jpg head with a png tail is neither.
        {"jpg_png", kJpegHead + std::string(12, 'x'), -1},
        {"php", "<?php echo 1; ?>\n", 0},
        {"aspx_directive_is_jsp_first", "<%@ Page Language=\"C#\" %>\n", 1},
        {"aspx_code_block", "<% Response.Write(1) %>\n", 4},
        {"js", "<html>\n<script>var a = 1;</script>\n", 2},
        {"js_upper_case_is_not", "<SCRIPT>var a = 1;</SCRIPT>\n", -1},
        {"jspx", "<jsp:root xmlns:jsp=\"http://java.sun.com/JSP/Page\">\n", 6},
        {"php_keywords_without_marker", lines(51, "$x = eval($y); function f() {}"), -1},
        {"marker_on_line_51", lines(50, filler) + "<?php\n", 0},
        {"marker_on_line_52", lines(51, filler) + "<?php\n", -1},
        // A line longer than 1023 characters is read in pieces and each piece counts.
        {"marker_split_by_line_limit", std::string(1022, 'a') + "<?\n", -1},
        {"marker_after_long_piece", std::string(1023, 'a') + "<?\n", 0},
        {"long_line_uses_up_the_lines", std::string(1023 * 51, 'a') + "<?\n", -1},
        {"nul_ends_the_line", std::string("abc\0<?php\n", 10), -1},
        {"crlf", "\r\n\r\n<?php\r\n", 0},
    };
    for (const auto &c : cases) {
        std::string p = write(c.name, c.content);
        EXPECT_EQ(check_file_type(p.c_str()), c.want) << c.name;
        EXPECT_EQ(check_file_type_webshell(p.c_str()), c.want) << c.name;
        FILE *f = fopen(p.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(check_file_header(f), c.want >= 7 ? c.want : -1) << c.name;
        // The stream is back at the start for the line scan.
        EXPECT_EQ(ftell(f), 0) << c.name;
        fclose(f);
    }
}

// With safe opens (file_type_safe_open) typing runs as root on names other users control:
// nothing but a regular file is opened, and with the event's identity only the file it
// named. Without, the path is opened as it stands: a link followed, a FIFO read, no owner
// asked.
TEST_F(FileType, OnlyRegularFilesAreOpenedAndOnlyTheOneTheEventNamed) {
    EXPECT_EQ(check_file_type((dir_ + "/missing").c_str()), -1);
    EXPECT_EQ(check_file_type(nullptr), -1);
    std::string shell = write("x.php", "<?php eval($_GET[1]);\n");
    std::string to_shell = dir_ + "/to_shell.php";
    ASSERT_EQ(symlink(shell.c_str(), to_shell.c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(shell.c_str(), &st), 0);
    const file_type_ident as_written{st.st_uid, st.st_gid, (uint16_t)st.st_mode};
    auto typed = [](const std::string &p, const file_type_ident *id) {
        file_type_info_st info{FILE_TYPE_UNKNOWN, "", ""};
        get_file_type(&info, p.c_str(), (int)p.size() + 1, id);
        return info.type;
    };
    for (bool safe : {false, true}) {
        SCOPED_TRACE(safe);
        file_type_env env{nullptr, nullptr, safe};
        file_type_set_env(&env);
        const int refused = safe ? -1 : 0;  // the shell's type when only safe opens refuse it
        std::string fifo = dir_ + "/fifo" + std::to_string(safe), link = fifo + ".php";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
        if (safe) EXPECT_EQ(check_file_type(fifo.c_str()), -1);  // no writer: nothing waited for
        int w = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(w, 0);
        const char php[] = "0123456789abcdef<?php\n";
        ASSERT_EQ(::write(w, php, sizeof php - 1), (ssize_t)sizeof php - 1);
        int type = check_file_type_webshell(link.c_str());
        if (safe) {
            EXPECT_EQ(type, -1);
            EXPECT_EQ(check_file_type(fifo.c_str()), -1);
        }
        char back[64];
        EXPECT_EQ(::read(w, back, sizeof back) == (ssize_t)sizeof php - 1, safe)
            << "the pipe was read";
        close(w);

        EXPECT_EQ(typed(shell, &as_written), 0);
        EXPECT_EQ(typed(to_shell, nullptr), 0);  // an exported check's caller chose the path
        EXPECT_EQ(typed(to_shell, &as_written), refused);
        file_type_ident other = as_written;
        other.uid += 1;
        EXPECT_EQ(typed(shell, &other), refused);
        other = as_written;
        other.mode = S_IFIFO | 0644;
        EXPECT_EQ(typed(shell, &other), refused);
        other.mode = 0644;  // a record without type bits: the owner still has to agree
        EXPECT_EQ(typed(shell, &other), 0);
        // The event found no file: whatever the name holds now is another file, never read.
        other = {0, 0, 0, true};
        EXPECT_EQ(typed(shell, &other), refused);
    }
}

TEST_F(FileType, WithoutTheAutomataOnlySignaturesAreKnown) {
    std::string php = write("a.php", "<?php\n");
    std::string png = write("a.png", kPngSig + std::string(8, '\0'));
    uninit_file_type_check();
    uninit_file_type_check();
    EXPECT_EQ(check_file_type(php.c_str()), -1);
    EXPECT_EQ(check_file_type(png.c_str()), 7);
    ASSERT_EQ(init_file_type_check(), 0);
    ASSERT_EQ(init_file_type_check(), 0);
    EXPECT_EQ(check_file_type(php.c_str()), 0);
}

TEST_F(FileType, IdentificationFromTwoThreadsAtOnce) {
    std::string php = write("t.php", lines(40, "filler") + "<?php\n");
    std::string js = write("t.js", lines(40, "filler") + "<script>\n");
    int bad = 0;
    std::thread other([&] {
        for (int i = 0; i < 200; i++) bad += check_file_type(js.c_str()) != 2;
    });
    int mine = 0;
    for (int i = 0; i < 200; i++) mine += check_file_type(php.c_str()) != 0;
    other.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(mine, 0);
}

// ---- type information and the type filter ----

struct filter_list {
    std::vector<std::string> entries;
    int visited = 0;
};
filter_list *s_filter;

int walk_test_filter(type_filter_visit_fn visit, void *arg) {
    for (const auto &e : s_filter->entries) {
        s_filter->visited++;
        if (int r = visit(e.c_str(), arg)) return r;
    }
    return 0;
}

file_type_info_st fresh() {
    file_type_info_st info{};
    info.type = FILE_TYPE_UNKNOWN;
    return info;
}

TEST_F(FileType, TypeInformationNamesTheContentAndTheSuffix) {
    std::string php = write("shell.php", "<?php system($_GET['c']); ?>\n");
    const struct {
        std::string path;
        int length;  // with the NUL; -1: the whole path + 1
        int want_type;
        const char *want_name;
        std::string want_suffix;
    } cases[] = {
        {php, -1, 0, "php", "php"},
        {dir_ + "/none.d/noext", -1, -1, "-", "-"},
        {dir_ + "/x.", -1, -1, "-", ""},
        {php, (int)php.size(), 0, "php", "ph"},  // length bounds the suffix scan
        {dir_ + "/y." + std::string(100, 's'), -1, -1, "-", std::string(63, 's')},
        {"noslash", 0, -1, "-", "-"},  // no length: no suffix
    };
    for (const auto &c : cases) {
        auto info = fresh();
        int len = c.length < 0 ? (int)c.path.size() + 1 : c.length;
        get_file_type(&info, c.path.c_str(), len);
        EXPECT_EQ(info.type, c.want_type) << c.path;
        EXPECT_STREQ(info.type_name, c.want_name) << c.path;
        EXPECT_EQ(info.suffix, c.want_suffix) << c.path;
    }
    // Filled once: an identified record is left alone.
    auto info = fresh();
    info.type = 7;
    strcpy(info.type_name, "png");
    get_file_type(&info, php.c_str(), (int)php.size() + 1);
    EXPECT_EQ(info.type, 7);
    EXPECT_STREQ(info.type_name, "png");
}

TEST_F(FileType, TypeFilterEntriesAndAFileWhoseNameLies) {
    std::string php_as_jpg = write("photo.jpg", "<?php eval($_POST['x']); ?>\n");
    std::string real_jpg = write("real.jpg", kJpegHead + std::string(100, '\x20') + kJpegTail);
    std::string elf_as_jpg = write("elf.jpg", kElf + std::string(100, '\x01'));
    std::string php = write("index.php", "<?php echo 1;\n");
    std::string js = write("app.js", "<script>\n");
    std::string jsp = write("a.jsp", "<%@ page %>\n");
    std::string text = write("notes.txt", "nothing here\n");
    const struct {
        std::vector<std::string> entries;
        std::string path;
        int want;
        int visits;  // entries looked at before the walk ended
    } cases[] = {
        {{"!.jpg"}, php_as_jpg, 1, 1},
        {{"!.jpg"}, real_jpg, 0, 1},
        {{"!.jpg"}, php, 0, 1},  // the entry applies to .jpg names only
        {{"php"}, php_as_jpg, 1, 1},
        {{"jsp"}, js, 1, 1},  // "js" occurs inside "jsp"
        {{"js"}, jsp, 0, 1},
        {{"!php", ".php", "!"}, php, 0, 3},  // half-formed entries are ignored
        {{"php", "binary"}, elf_as_jpg, 1, 2},
        {{"php", "js", "jsp"}, text, 0, 3},
        {{"-"}, text, 1, 1},  // an unrecognised type is named "-"
        {{}, php, 0, 0},
    };
    for (const auto &c : cases) {
        filter_list list{c.entries};
        s_filter = &list;
        file_type_env env{nullptr, walk_test_filter};
        file_type_set_env(&env);
        auto info = fresh();
        EXPECT_EQ(match_type_filter(c.path.c_str(), (int)c.path.size() + 1, &info), c.want)
            << c.path << " " << testing::PrintToString(c.entries);
        EXPECT_EQ(list.visited, c.visits) << c.path << " " << testing::PrintToString(c.entries);
        EXPECT_NE(info.type, FILE_TYPE_UNKNOWN);
    }
    // Without a filter list nothing passes, but the type is still filled.
    file_type_set_env(nullptr);
    auto info = fresh();
    EXPECT_EQ(match_type_filter(php.c_str(), (int)php.size() + 1, &info), 0);
    EXPECT_EQ(info.type, 0);
    EXPECT_EQ(match_type_filter(nullptr, 0, &info), 0);
}

}  // namespace
