#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "comm/dirutils.h"
#include "base/mem.h"

namespace {

using strings = std::vector<std::string>;

struct Paths : ::testing::Test {
    std::string root;
    int64_t tmp_bytes = kiv_stat_get(MALLOC_FOR_TMP);
    void SetUp() override {
        char tmpl[] = "/tmp/kivpathsXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
    }
    void TearDown() override {
        EXPECT_EQ(dirutils_rmdir(root.c_str()), 0);
        EXPECT_EQ(kiv_stat_get(MALLOC_FOR_TMP), tmp_bytes);  // nothing kept or leaked
    }
    std::string p(const std::string &rel) const { return root + "/" + rel; }
    void file(const std::string &rel) const { std::ofstream(p(rel)) << "x\n"; }
};

TEST_F(Paths, ExecutableRelativeAndMkdir) {
    char exe[1024] = "";
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
    char out[1024];
    EXPECT_EQ(dirutils_path_transform("@/../var", out, sizeof(out)), 0);
    EXPECT_EQ(std::string(out), std::string(exe).substr(0, strrchr(exe, '/') - exe) + "/../var");
    EXPECT_EQ(dirutils_path_transform("@/../var", out, 4), -1);
    EXPECT_EQ(strlen(out), 3u);

    struct stat st[2] = {};
    ASSERT_EQ(mkdir_path(p("a/b/c").c_str()) + dirutils_mkdir(p("m/n/o").c_str(), 0750), 0);
    stat(p("a/b/c").c_str(), &st[0]);
    stat(p("m/n/o").c_str(), &st[1]);
    EXPECT_EQ((st[0].st_mode & 0777) << 9 | (st[1].st_mode & 0777), 0700u << 9 | 0750u);
    file("a/f");
    EXPECT_EQ(mkdir_path(p("a/f/g").c_str()), -1);
    EXPECT_EQ(dirutils_mkdir(p("a/f").c_str(), 0755), -1);
}

TEST_F(Paths, ListAndRemove) {
    mkdir_path(p("d").c_str());
    file("f");
    symlink(p("d").c_str(), p("l").c_str());  // lstat: a link, not a directory
    auto link_is_file = [](int is_dir, const char *path, void *) {
        return path[strlen(path) - 1] == 'l' && !is_dir ? 42 : 0;  // non-zero stops the listing
    };
    EXPECT_EQ(dirutils_listdir((root + "/").c_str(), nullptr, link_is_file), 42);

    // Removal must not follow a link out of the tree.
    mkdir_path(p("keep/r/s").c_str());
    file("keep/k");
    symlink(p("keep").c_str(), p("keep/r/out").c_str());
    EXPECT_EQ(dirutils_rmdir(p("keep/r").c_str()), 0);
    EXPECT_NE(access(p("keep/r").c_str(), F_OK), 0);
    EXPECT_EQ(access(p("keep/k").c_str(), F_OK), 0);
}

strings walk(dirwalk *w, size_t skip) {
    strings out;
    int is_dir = -1;
    while (const char *path = dirwalk_read(w, &is_dir))
        out.push_back(std::string(is_dir ? "d:" : "f:") + (path + skip));
    dirwalk_destroy(w);
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(Paths, WalkDepthAndLinkLoops) {
    mkdir_path(p("a/b/c").c_str());
    file("a/b/c/f");
    symlink("..", p("a/up").c_str());  // a loop back to the root
    const char *r = root.c_str();
    size_t skip = root.size() + 1;
    EXPECT_EQ(walk(dirwalk_create(r, 1, 0), skip),
              (strings{"d:a", "d:a/b", "d:a/b/c", "d:a/up", "f:a/b/c/f"}));
    EXPECT_EQ(walk(dirwalk_create(r, 0, 5), skip), (strings{"d:a"}));
    EXPECT_EQ(walk(dirwalk_create2(r, 1, 0, 2), skip), (strings{"d:a", "d:a/b", "d:a/up"}));
    // Each hop through the loop lists the tree once more, then descent stops.
    strings looped = walk(dirwalk_create(r, 1, 2), skip);
    EXPECT_EQ(looped.size(), 15u);
    EXPECT_EQ(std::count(looped.begin(), looped.end(), "d:a/up/a/up/a/up"), 1);
}

TEST_F(Paths, FileSearchReturnsFirstMatchWithoutNewline) {
    std::ofstream(p("conf")) << "name=a\nversion=1.2.3\nversion=9\n";
    char *hit = kiv_file_search(p("conf").c_str(), "version=[0-9.]*$");
    ASSERT_NE(hit, nullptr);
    EXPECT_STREQ(hit, "version=1.2.3");
    kiv_free(hit);
    EXPECT_EQ(kiv_file_search(p("conf").c_str(), "nomatch"), nullptr);
    EXPECT_EQ(kiv_file_search(p("missing").c_str(), "x"), nullptr);
    EXPECT_EQ(kiv_file_search(p("conf").c_str(), "\\("), nullptr);  // does not compile
}

TEST_F(Paths, WildcardExpansion) {
    for (const char *d : {"app1", "app2", "app", "appX", "ab"}) mkdir_path(p(d).c_str());
    for (const char *f : {"app1/out.log", "app/out.log", "appX/out.log"}) file(f);
    const std::tuple<std::string, int, strings> rows[] = {
        {p("app*/out.log"), 0, {p("app/out.log"), p("app1/out.log"), p("appX/out.log")}},
        {p("a*p2"), 0, {p("app2")}},
        {p("ab*b"), 0, {}},  // prefix and suffix may not overlap
        {p("app1/out.log"), 1, {p("app1/out.log")}},
        {p("a*/*.log"), -1, {}},
        {"/tm*", 0, {"/tmp"}},  // the root as directory part
    };
    for (auto &[pattern, rc, want] : rows) {
        list_head list = LIST_HEAD_INIT(list);
        EXPECT_EQ(asterisk_path_expand(pattern.c_str(), &list), rc) << pattern;
        strings out;
        list_head *pos;
        list_for_each(pos, &list) out.push_back(list_entry(pos, as_path, list)->path);
        free_as_path(&list);
        std::sort(out.begin(), out.end());
        EXPECT_EQ(out, want) << pattern;
    }
}

}  // namespace
