#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "comm/dirutils.h"
#include "framework/mem.h"

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

TEST_F(Paths, ExecutableRelative) {
    char exe[1024];
    exe[readlink("/proc/self/exe", exe, sizeof(exe) - 1)] = '\0';
    std::string dir = std::string(exe).substr(0, std::string(exe).rfind('/'));

    char *t = kiv_get_trans_path("@/../config/sensor.conf");
    EXPECT_EQ(std::string(t), dir + "//../config/sensor.conf");
    kiv_free(t);
    t = kiv_get_trans_path("/etc/x.conf");
    EXPECT_STREQ(t, "/etc/x.conf");
    kiv_free(t);

    char out[1024];
    EXPECT_EQ(dirutils_path_transform("@/../var", out, sizeof(out)), 0);
    EXPECT_EQ(std::string(out), dir + "/../var");
    EXPECT_EQ(dirutils_path_transform("@/../var", out, 4), -1);
    EXPECT_EQ(strlen(out), 3u);
}

// Outside the fixture: the dying child would leave its temporary tree behind.
TEST(PathsDeath, TransformNeedsAllArguments) {
    char out[8];
    EXPECT_DEATH(dirutils_path_transform("x", nullptr, 8), "dir && out && outsize");
    EXPECT_DEATH(dirutils_path_transform("x", out, 0), "dir && out && outsize");
}

TEST_F(Paths, MakeDirectories) {
    struct stat st;
    ASSERT_EQ(mkdir_path(p("a/b/c").c_str()), 0);
    ASSERT_EQ(stat(p("a/b/c").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(mkdir_path(p("a/b/").c_str()), 0);
    file("a/f");
    EXPECT_EQ(mkdir_path(p("a/f/g").c_str()), -1);

    EXPECT_EQ(dirutils_mkdir(p("m/n/o").c_str(), 0755), 0);
    ASSERT_EQ(stat(p("m/n/o").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(dirutils_mkdir(p("m/n/o").c_str(), 0755), 0);
    EXPECT_EQ(dirutils_mkdir(p("a/f").c_str(), 0755), -1);
}

int record(int is_dir, const char *path, void *arg) {
    auto *seen = static_cast<strings *>(arg);
    seen->push_back(std::string(is_dir ? "d:" : "f:") + path);
    return seen->size() == 2 ? 42 : 0;
}

TEST_F(Paths, ListAndRemove) {
    mkdir_path(p("d").c_str());
    file("f");
    symlink(p("d").c_str(), p("l").c_str());  // lstat: a link, not a directory
    strings seen;
    EXPECT_EQ(dirutils_listdir((root + "/").c_str(), &seen, record), 42);  // stopped at 2
    file("g");
    seen = {"", ""};  // already past the stop mark: the full listing
    EXPECT_EQ(dirutils_listdir((root + "/").c_str(), &seen, record), 0);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (strings{"", "", "d:" + p("d"), "f:" + p("f"), "f:" + p("g"), "f:" + p("l")}));
    EXPECT_EQ(dirutils_listdir(p("none").c_str(), &seen, record), -1);

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
    while (const char *path = dirwalk_read(w, &is_dir)) {
        out.push_back(std::string(is_dir ? "d:" : "f:") + (path + skip));
    }
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
    EXPECT_EQ(dirwalk_create(p("none").c_str(), 1, 0), nullptr);
    EXPECT_EQ(walk(dirwalk_create(r, 1, 0), skip),
              (strings{"d:a", "d:a/b", "d:a/b/c", "d:a/up", "f:a/b/c/f"}));
    EXPECT_EQ(walk(dirwalk_create(r, 0, 5), skip), (strings{"d:a"}));
    EXPECT_EQ(walk(dirwalk_create2(r, 1, 0, 2), skip), (strings{"d:a", "d:a/b", "d:a/up"}));

    // Each hop through the loop lists the tree once more, then descent stops.
    strings looped = walk(dirwalk_create(r, 1, 2), skip);
    EXPECT_EQ(looped.size(), 15u);
    EXPECT_EQ(std::count(looped.begin(), looped.end(), "d:a/up/a/up/a/up"), 1);
    // An unlimited hop budget still ends once paths outgrow the buffer.
    EXPECT_GT(walk(dirwalk_create(r, 1, UINT32_MAX), skip).size(), 100u);
}

strings expand(const std::string &pattern, int expect_rc) {
    list_head list = LIST_HEAD_INIT(list);
    EXPECT_EQ(asterisk_path_expand(pattern.c_str(), &list), expect_rc) << pattern;
    strings out;
    list_head *pos;
    list_for_each(pos, &list) out.push_back(list_entry(pos, as_path, list)->path);
    free_as_path(&list);
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(Paths, WildcardExpansion) {
    for (const char *d : {"app1", "app2", "app", "appX", "other", "ab"}) mkdir_path(p(d).c_str());
    for (const char *f : {"app1/out.log", "app/out.log", "appX/out.log", "other/out.log"}) file(f);

    EXPECT_EQ(expand(p("app*/out.log"), 0),
              (strings{p("app/out.log"), p("app1/out.log"), p("appX/out.log")}));
    EXPECT_EQ(expand(p("a*p2"), 0), (strings{p("app2")}));
    EXPECT_EQ(expand(p("ab*b"), 0), strings{});  // prefix and suffix may not overlap
    EXPECT_EQ(expand(p("*/none"), 0), strings{});
    EXPECT_EQ(expand(p("app1/out.log"), 1), (strings{p("app1/out.log")}));
    EXPECT_EQ(expand(p("a*/*.log"), -1), strings{});
    EXPECT_EQ(expand(p("none/a*"), -1), strings{});
    EXPECT_EQ(expand("/tm*", 0), (strings{"/tmp"}));  // the root as directory part
}

TEST_F(Paths, FileSearch) {
    std::ofstream(p("conf")) << "name=a\nversion=1.2.3 beta\n  version=9\n";
    const std::pair<const char *, const char *> cases[] = {
        {"^version=[0-9.]*", "version=1.2.3"},
        {"[0-9]$", "9"},  // $ holds at each line end, the newline is never matched
        {"^missing", nullptr},
        {"a\\{1", nullptr},  // does not compile
    };
    for (auto [pattern, want] : cases) {
        char *m = kiv_file_search(p("conf").c_str(), pattern);
        EXPECT_EQ(m ? std::string(m) : "null", want ? want : "null") << pattern;
        kiv_free(m);
    }
    EXPECT_EQ(kiv_file_search(p("none").c_str(), "a"), nullptr);
}

}  // namespace
