// File-monitor filter lists against the kernel stand-in: what file.conf loads, the payload
// bytes each change sends, wildcard refresh on a driven clock, bind-mount twins and limits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/mem.h"
#include "comm/dirutils.h"
#include "comm/timer.h"
#include "file/file_filter.h"
#include "framework/ring.h"
#include "kernel/kernel_if.h"
#include "qxkiv/file_filter.h"
#include "qxkiv/ini.h"
#include "qxkiv/kemu.h"

namespace {

using bytes = std::vector<unsigned char>;

std::atomic<uint64_t> s_ms{1'000'000'000};
uint64_t clock_ms() {
    return s_ms.load();
}

struct entry {
    uint8_t group, mask;
    std::string text;
};

// The 0x7307 payload assembled from its layout: total (LE u32), operation, kind, then per
// entry group, event mask and the text with its NUL.
bytes payload(uint8_t op, uint8_t kind, const std::vector<entry> &entries) {
    bytes body;
    for (const entry &e : entries) {
        body.push_back(e.group), body.push_back(e.mask);
        body.insert(body.end(), e.text.begin(), e.text.end());
        body.push_back(0);
    }
    uint32_t total = (uint32_t)body.size();
    bytes out = {(unsigned char)total,
                 (unsigned char)(total >> 8),
                 (unsigned char)(total >> 16),
                 (unsigned char)(total >> 24),
                 op,
                 kind};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

bytes last_filter() {
    bytes b(QXMON_FILTER_PAYLOAD_MAX + 16);
    int n = kemu_last_control(0x7307, b.data(), (uint32_t)b.size());
    b.resize(n > 0 ? (size_t)n : 0);
    return b;
}

// One filter section: cnt, the section defaults, items and extra lines.
std::string section(const std::string &name, const std::string &prefix,
                    const std::vector<std::string> &items, const std::string &extra = "",
                    int mask = 255, int group = 99) {
    std::string s = "[" + name + "]\ncnt=" + std::to_string(items.size()) +
                    "\nevent_mask=" + std::to_string(mask) +
                    "\ngroup_num=" + std::to_string(group) + "\n";
    for (size_t i = 0; i < items.size(); i++)
        s += prefix + "_" + std::to_string(i) + "=" + items[i] + "\n";
    return s + extra;
}

int64_t filter_mem() {
    return kiv_stat_get(MALLOC_FOR_FILE_FILTER_NODE) + kiv_stat_get(MALLOC_FOR_FILE_BIND_MNT_NODE) +
           kiv_stat_get(MALLOC_FOR_TMP);
}

std::vector<std::string> children(int kind, const std::string &parent) {
    std::vector<std::string> out;
    list_head *pos;
    list_for_each(pos, &g_file_filter.cfg->head[kind]) {
        auto *n = list_entry(pos, qxmon_filter_node, list);
        if (parent != n->text) continue;
        list_head *c;
        list_for_each(c, &n->child) out.push_back(list_entry(c, qxmon_filter_node, list)->text);
    }
    return out;
}

class FileFilter : public ::testing::Test {
  protected:
    std::string dir;
    int64_t mem0 = filter_mem();

    void SetUp() override {
        s_ms += 1'000'000;
        kiv_timer_set_source(clock_ms);
        ASSERT_EQ(kiv_timer_init(), 0);
        char tmpl[] = "/tmp/kivfilter.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        write("fstab", "");
        bind_mnt_set_fstab_path((dir + "/fstab").c_str());
        ASSERT_EQ(kernel_backend_start(KERNEL_MODE_EMULATED), 0);
        ASSERT_EQ(kiv_open_dev("/dev/qx_sensor"), 0);
    }
    void TearDown() override {
        file_filter_exit();
        kiv_close_dev();
        kernel_backend_stop();
        kiv_timer_exit();
        kiv_timer_set_source(nullptr);
        bind_mnt_set_fstab_path(nullptr);
        dirutils_rmdir(dir.c_str());
        EXPECT_EQ(filter_mem(), mem0);
    }
    void write(const std::string &rel, const std::string &text) {
        std::ofstream(dir + "/" + rel) << text;
    }
    void mkdirs(std::initializer_list<std::string> rels) {
        for (const auto &r : rels) ASSERT_EQ(mkdir_path((dir + "/" + r).c_str()), 0) << r;
    }
    int start(const std::string &conf) {
        ini_file_t *ini = ini_buffer_load(conf.data(), (long)conf.size());
        int ret = file_filter_init(ini);
        ini_file_free(ini);
        return ret;
    }
    uint32_t count(int kind) { return g_file_filter.cfg->cnt[kind]; }
    // One timer pass at the given offset from now.
    void tick(uint64_t ms) {
        s_ms += ms;
        kiv_timer_loop();
    }
};

TEST_F(FileFilter, EntryPointsRefuseBeforeStartAndAfterStop) {
    EXPECT_EQ(modify_qxmon_filter("/etc", 1, 1), -1);
    EXPECT_EQ(set_sensitive_dir("/etc", 1, 1), -1);
    EXPECT_EQ(kemu_last_control(0x7307, nullptr, 0), -1);  // nothing reached the kernel
    ASSERT_EQ(start(section("path_filter", "path", {"/etc"})), 0);
    for (auto [text, kind] :
         {std::pair<const char *, int>{nullptr, 1}, {"", 1}, {"/x", -1}, {"/x", 8}})
        EXPECT_EQ(modify_qxmon_filter(text, kind, 1), -1) << (text ? text : "null") << kind;
    file_filter_exit();
    EXPECT_EQ(set_sensitive_dir("/etc", 1, 0), -1);
    file_filter_exit();  // a second stop is harmless
}

// The kind sent last at start-up (exe_exclude) shows the UPDATE payload with per-item values;
// earlier kinds are checked through their counts.
TEST_F(FileFilter, StartupSendsEveryListWithPerItemOverrides) {
    std::string conf = section("type_filter", "type", {"php", "ph*"}) +
                       section("exe_exclude", "proc", {"/usr/bin/a", "/bin/b", "/c"},
                               "event_mask_1=7\ngroup_num_2=0x10\n", 3, 12);
    ASSERT_EQ(start(conf), 0);
    EXPECT_EQ(last_filter(),
              payload(0, 7, {{12, 3, "/usr/bin/a"}, {12, 7, "/bin/b"}, {16, 3, "/c"}}));
    EXPECT_EQ(count(2), 2u);  // no expansion for types: "ph*" is kept as written
    EXPECT_EQ(children(2, "ph*").size(), 0u);
    for (int k : {0, 1, 3, 4, 5, 6}) EXPECT_EQ(count(k), 0u) << k;
    // An empty last list still clears the kernel's.
    file_filter_exit();
    ASSERT_EQ(start(section("path_filter", "path", {"/etc"})), 0);
    EXPECT_EQ(last_filter(), payload(0, 7, {}));
}

TEST_F(FileFilter, ConfigurationErrorsFailStartAndFreeEverything) {
    mkdirs({"www/a", "empty"});
    const std::string www = dir + "/www/*", empty = dir + "/empty/*";
    const std::string too_long(1024, 'a');
    struct {
        const char *name;
        std::string conf;
        int result;
        int kind;
        uint32_t cnt;
    } cases[] = {
        {"no filter sections", "[base]\n", 0, 1, 0},
        {"no file at all", "", -1, 0, 0},
        {"negative event_mask", section("path_filter", "path", {"/etc"}, "", -1), -1, 0, 0},
        {"negative group_num", section("path_filter", "path", {"/etc"}, "", 1, -5), -1, 0, 0},
        {"missing item", "[path_filter]\ncnt=2\nevent_mask=1\npath_0=/etc\n", -1, 0, 0},
        {"bad per-item mask", section("path_filter", "path", {"/etc"}, "event_mask_0=x\n"), -1, 0,
         0},
        {"item too long is skipped", section("path_filter", "path", {too_long, "/etc"}), 0, 1, 1},
        {"negative cnt reads as empty", "[path_filter]\ncnt=-3\nevent_mask=1\n", 0, 1, 0},
        {"cnt above the limit is cut",
         "[base]\nmonitor_filter_cnt=2\n" + section("exe_filter", "proc", {"/a", "/b", "/c"}), 0, 3,
         2},
        {"wildcard expands", section("path_filter", "path", {www}), 0, 1, 2},
        {"wildcard matching nothing", section("path_filter", "path", {empty}), 0, 1, 1},
        {"wildcard in a missing directory", section("path_filter", "path", {dir + "/no/*"}), -1, 0,
         0},
        {"two wildcards", section("path_filter", "path", {dir + "/*/*"}), -1, 0, 0},
        {"relative wildcard", section("file_exclude", "file", {"tmp*"}), -1, 0, 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        int64_t before = filter_mem();
        ASSERT_EQ(start(c.conf), c.result);
        if (c.result == 0) EXPECT_EQ(count(c.kind), c.cnt);
        if (c.result != 0) EXPECT_EQ(g_file_filter.cfg, nullptr);
        file_filter_exit();
        EXPECT_EQ(filter_mem(), before);
    }
}

TEST_F(FileFilter, ModifyAddsDeletesAndSaysWhenNothingIsToDo) {
    ASSERT_EQ(start(section("path_filter", "path", {"/etc"}, "", 6) +
                    section("file_filter", "file", {"/etc/passwd"}, "", 9, 3)),
              0);
    const std::string path = dir + "/site";
    const int steps[][2] = {{1, 0}, {1, 1}, {0, 0}, {0, 1}};  // add, result
    for (auto [add, result] : steps) {
        SCOPED_TRACE(add);
        bytes before = last_filter();
        EXPECT_EQ(set_sensitive_dir(path.c_str(), 1, add), result);
        if (result == 0)
            EXPECT_EQ(last_filter(), payload(add ? 1 : 2, 1, {{99, 6, path}}));
        else
            EXPECT_EQ(last_filter(), before);  // nothing sent
        EXPECT_EQ(count(1), add ? 2u : 1u);
    }
    // A file goes to kind 0 with that kind's default mask.
    EXPECT_EQ(set_sensitive_dir("/etc/shadow", 0, 1), 0);
    EXPECT_EQ(last_filter(), payload(1, 0, {{99, 9, "/etc/shadow"}}));
    EXPECT_EQ(count(0), 2u);
    // A configured entry goes away the same way.
    EXPECT_EQ(modify_qxmon_filter("/etc/passwd", 0, 0), 0);
    EXPECT_EQ(last_filter(), payload(2, 0, {{3, 9, "/etc/passwd"}}));
    EXPECT_EQ(modify_qxmon_filter(std::string(1024, 'x').c_str(), 3, 1), -1);
    EXPECT_EQ(modify_qxmon_filter(std::string(1023, 'x').c_str(), 3, 1), 0);
}

TEST_F(FileFilter, WildcardChildrenAreEntriesOfTheirOwn) {
    mkdirs({"www/a", "www/b"});
    const std::string pat = dir + "/www/*", a = dir + "/www/a", b = dir + "/www/b";
    ASSERT_EQ(start(section("path_filter", "path", {pat}, "", 5, 7)), 0);
    EXPECT_EQ(count(1), 3u);
    bytes before = last_filter();
    EXPECT_EQ(modify_qxmon_filter(a.c_str(), 1, 1), 1);  // already a child: no request
    EXPECT_EQ(last_filter(), before);
    EXPECT_EQ(modify_qxmon_filter(a.c_str(), 1, 0), 0);
    EXPECT_EQ(last_filter(), payload(2, 1, {{7, 5, a}}));
    EXPECT_EQ(count(1), 2u);
    // Removing the wildcard removes what it stands for, in one request.
    EXPECT_EQ(modify_qxmon_filter(pat.c_str(), 1, 0), 0);
    EXPECT_EQ(last_filter(), payload(2, 1, {{7, 5, b}}));
    EXPECT_EQ(count(1), 0u);
    // Added at run time it expands and sends its paths, not itself.
    EXPECT_EQ(modify_qxmon_filter(pat.c_str(), 1, 1), 0);
    bytes want_ab = payload(1, 1, {{99, 5, a}, {99, 5, b}});
    bytes want_ba = payload(1, 1, {{99, 5, b}, {99, 5, a}});
    bytes got = last_filter();
    EXPECT_TRUE(got == want_ab || got == want_ba);
    EXPECT_EQ(count(1), 3u);
}

TEST_F(FileFilter, RefreshAddsAppearedPathsEveryThirtySecondsAndKeepsVanishedOnes) {
    mkdirs({"www/a"});
    const std::string pat = dir + "/www/*", a = dir + "/www/a", c = dir + "/www/c";
    ASSERT_EQ(start(section("path_filter", "path", {pat}, "", 5, 7) +
                    section("exe_filter", "proc", {"/bin/x"})),
              0);
    ASSERT_EQ(count(1), 2u);
    mkdirs({"www/c"});
    // A marker request of another kind shows whether the refresh sent anything.
    ASSERT_EQ(modify_qxmon_filter("/marker", 3, 1), 0);
    bytes marker = last_filter();
    tick(29'000);
    EXPECT_EQ(last_filter(), marker);  // not due yet
    EXPECT_EQ(count(1), 2u);
    tick(1'000);
    // Only the new path travels, with group 99 rather than the parent's.
    EXPECT_EQ(last_filter(), payload(1, 1, {{99, 5, c}}));
    EXPECT_EQ(count(1), 3u);
    EXPECT_EQ(children(1, pat), (std::vector<std::string>{a, c}));

    ASSERT_EQ(rmdir(c.c_str()), 0);
    ASSERT_EQ(modify_qxmon_filter("/marker", 3, 0), 0);
    marker = last_filter();
    tick(30'000);
    EXPECT_EQ(last_filter(), marker);  // nothing new; the vanished path stays
    EXPECT_EQ(children(1, pat), (std::vector<std::string>{a, c}));
    // Appearing again it is already held.
    mkdirs({"www/c"});
    tick(30'000);
    EXPECT_EQ(last_filter(), marker);
}

TEST_F(FileFilter, RefreshCoversExcludesButNotTypesOrExecutables) {
    mkdirs({"f/x", "e/x"});
    ASSERT_EQ(start(section("file_exclude", "file", {dir + "/f/*"}) +
                    section("exe_exclude", "proc", {dir + "/e/*"})),
              0);
    EXPECT_EQ(count(4), 2u);
    EXPECT_EQ(count(7), 1u);  // kept as written
    mkdirs({"f/y", "e/y"});
    tick(30'000);
    EXPECT_EQ(last_filter(), payload(1, 4, {{99, 255, dir + "/f/y"}}));
    EXPECT_EQ(count(4), 3u);
    EXPECT_EQ(count(7), 1u);
}

TEST_F(FileFilter, ListAtItsMaximumCount) {
    mkdirs({"w"});
    for (int i = 0; i < 10; i++) write("w/f" + std::to_string(i), "");
    // Limit 8: the wildcard keeps itself and 7 of its 10 paths.
    ASSERT_EQ(
        start("[base]\nmonitor_filter_cnt=8\n" + section("file_filter", "file", {dir + "/w/*"}) +
              section("exe_filter", "proc", {"/a", "/b", "/c", "/d", "/e", "/f", "/g", "/h"})),
        0);
    EXPECT_EQ(count(0), 8u);
    EXPECT_EQ(children(0, dir + "/w/*").size(), 7u);
    EXPECT_EQ(count(3), 8u);
    bytes before = last_filter();
    EXPECT_EQ(modify_qxmon_filter("/i", 3, 1), -1);  // full: nothing kept, nothing sent
    EXPECT_EQ(last_filter(), before);
    EXPECT_EQ(count(3), 8u);
    EXPECT_EQ(modify_qxmon_filter("/a", 3, 1), 1);  // present still answers
    EXPECT_EQ(modify_qxmon_filter("/a", 3, 0), 0);
    EXPECT_EQ(count(3), 7u);
    EXPECT_EQ(modify_qxmon_filter("/i", 3, 1), 0);
    EXPECT_EQ(last_filter(), payload(1, 3, {{99, 255, "/i"}}));
    EXPECT_EQ(count(3), 8u);
    // A full kind is not refreshed.
    write("w/g", "");
    tick(30'000);
    EXPECT_EQ(last_filter(), payload(1, 3, {{99, 255, "/i"}}));
    EXPECT_EQ(count(0), 8u);
}

// Limit 4: a run-time wildcard that would fill its kind is not kept; the refresh fills a kind
// up to its limit.
TEST_F(FileFilter, WildcardsAgainstTheKindLimit) {
    mkdirs({"f", "w/a"});
    for (int i = 0; i < 5; i++) write("f/f" + std::to_string(i), "");
    ASSERT_EQ(start("[base]\nmonitor_filter_cnt=4\n" + section("file_filter", "file", {"/x"}) +
                    section("path_filter", "path", {dir + "/w/*"})),
              0);
    bytes before = last_filter();
    EXPECT_EQ(modify_qxmon_filter((dir + "/f/*").c_str(), 0, 1), -1);
    EXPECT_EQ(last_filter(), before);
    EXPECT_EQ(count(0), 1u);
    ASSERT_EQ(count(1), 2u);
    mkdirs({"w/b", "w/c", "w/d"});
    tick(30'000);
    bytes got = last_filter();
    ASSERT_GE(got.size(), 6u);
    EXPECT_EQ(got[4], 1);  // ADD
    EXPECT_EQ(got[5], 1);  // of paths
    EXPECT_EQ(count(1), 4u);
}

TEST_F(FileFilter, KernelRefusalKeepsTheListAsItWas) {
    kiv_close_dev();  // every request fails: so does the start
    EXPECT_EQ(start(section("path_filter", "path", {"/etc"})), -1);
    EXPECT_EQ(modify_qxmon_filter("/etc", 1, 0), -1);
    ASSERT_EQ(kiv_open_dev("/dev/qx_sensor"), 0);
    ASSERT_EQ(start(section("path_filter", "path", {"/etc"})), 0);
    kiv_close_dev();  // every request now fails
    EXPECT_EQ(set_sensitive_dir("/srv", 1, 1), -1);
    EXPECT_EQ(count(1), 1u);
    EXPECT_EQ(set_sensitive_dir("/etc", 1, 0), -1);
    EXPECT_EQ(count(1), 1u);
    ASSERT_EQ(kiv_open_dev("/dev/qx_sensor"), 0);
    EXPECT_EQ(set_sensitive_dir("/srv", 1, 1), 0);  // it was not kept
    EXPECT_EQ(set_sensitive_dir("/etc", 1, 0), 0);  // it was put back
    EXPECT_EQ(last_filter(), payload(2, 1, {{99, 255, "/etc"}}));
    EXPECT_EQ(count(1), 1u);
}

// An empty add or delete is not sent, an empty update is; the payload limit is inclusive.
TEST_F(FileFilter, EmptyRequestsAndThePayloadLimit) {
    qxmon_filter_cfg_st *cfg = qxmon_filter_cfg_alloc(1000);
    ASSERT_NE(cfg, nullptr);
    for (uint8_t op : {IOCTL_FILE_FILTER_ADD, IOCTL_FILE_FILTER_DEL})
        EXPECT_EQ(qxmon_filter_ioctl(op, 1, &cfg->head[1]), 0);
    EXPECT_EQ(kemu_last_control(0x7307, nullptr, 0), -1);
    EXPECT_EQ(qxmon_filter_ioctl(IOCTL_FILE_FILTER_UPDATE, 6, &cfg->head[6]), 0);
    EXPECT_EQ(last_filter(), payload(0, 6, {}));
    // 99 entries of 1023 characters take 99 * 1026 bytes; the last one makes up the rest.
    const uint32_t big = 99 * 1026;
    for (uint32_t last_text :
         {QXMON_FILTER_PAYLOAD_MAX - big - 3, QXMON_FILTER_PAYLOAD_MAX - big - 2}) {
        SCOPED_TRACE(last_text);
        std::vector<entry> want;
        for (int i = 0; i < 99; i++) {
            std::string t(1023, 'a' + i % 26);
            ASSERT_EQ(add_qxmon_filter_cfg(cfg, 3, t.c_str(), 1023, 1, 2, nullptr), 1);
            want.push_back({2, 1, t});
        }
        std::string t(last_text, 'z');
        ASSERT_EQ(add_qxmon_filter_cfg(cfg, 3, t.c_str(), last_text, 1, 2, nullptr), 1);
        want.push_back({2, 1, t});
        bytes before = last_filter();
        if (last_text + 3 + big == QXMON_FILTER_PAYLOAD_MAX) {
            EXPECT_EQ(qxmon_filter_ioctl(IOCTL_FILE_FILTER_UPDATE, 3, &cfg->head[3]), 0);
            EXPECT_EQ(last_filter(), payload(0, 3, want));
        } else {
            EXPECT_EQ(qxmon_filter_ioctl(IOCTL_FILE_FILTER_UPDATE, 3, &cfg->head[3]), -1);
            EXPECT_EQ(last_filter(), before);
        }
        qxmon_filter_cfg_exit(cfg);
    }
    kiv_free(cfg);
}

// The stand-in refuses what the module would not understand, and keeps no payload of it.
TEST_F(FileFilter, StandInChecksOperationKindAndEntries) {
    struct {
        const char *name;
        bytes b;
        long result;
    } cases[] = {
        {"update", payload(0, 7, {{1, 2, "/a"}}), 0},
        {"empty text", payload(1, 0, {{1, 2, ""}}), 0},
        {"operation 3", payload(3, 0, {{1, 2, "/a"}}), -1},
        {"kind 8", payload(0, 8, {{1, 2, "/a"}}), -1},
        {"total over the limit", payload(0, 1, {{1, 2, std::string(102398, 'a')}}), -1},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        bytes before = last_filter();
        EXPECT_EQ(kiv_dev_ioctl(0x7307, reinterpret_cast<unsigned long>(c.b.data())), c.result);
        EXPECT_EQ(last_filter(), c.result == 0 ? c.b : before);
    }
    // The last text must end inside the announced total.
    bytes cut = payload(1, 0, {{1, 2, "/abc"}});
    cut.back() = 'x';
    EXPECT_EQ(kiv_dev_ioctl(0x7307, reinterpret_cast<unsigned long>(cut.data())), -1);
    bytes stub = payload(1, 0, {{1, 2, "/abc"}});
    stub[0] = 2;  // two bytes: group and mask without any text
    EXPECT_EQ(kiv_dev_ioctl(0x7307, reinterpret_cast<unsigned long>(stub.data())), -1);
}

TEST_F(FileFilter, BindMountsMapToTheirSource) {
    const std::string src = dir + "/data", mnt = dir + "/srv/data";
    write("fstab", "# " + src + " " + mnt + " none bind 0 0\n" +     // comment
                       src + "/ " + mnt + "// none bind,ro 0 0\n" +  // trailing slashes
                       "/dev/sda1 /boot ext4 defaults 0 2\n" +
                       "/binder /mnt/binder ext4 defaults 0 0\n" +  // "bind" only in a path
                       "/opt\t/mnt/opt\tnone\trbind\t0 0\n" +
                       "none /mnt/tmp tmpfs bind 0 0\n" +  // source is no path
                       "/ " + dir + "/root none bind\n" +
                       "/x /mnt/short bind\n");  // no options field
    ASSERT_EQ(start(section("path_filter", "path", {mnt + "/x"})), 0);
    const std::pair<std::string, const char *> cases[] = {
        {mnt + "/x", "/data/x"},      {mnt, "/data"},
        {mnt + "base", nullptr},      {dir + "/srv", nullptr},
        {"/mnt/opt/a/b", "/opt/a/b"}, {"/mnt/binder/a", nullptr},
        {"/mnt/tmp/a", nullptr},      {"/mnt/short/a", nullptr},
        {"/boot/a", nullptr},         {dir + "/root/etc", "/etc"},
        {dir + "/root", "/"},
    };
    for (auto &[in, want] : cases) {
        SCOPED_TRACE(in);
        char *got = get_bind_mnt_path(in.c_str(), in.size());
        if (!want) {
            EXPECT_EQ(got, nullptr);
        } else {
            ASSERT_NE(got, nullptr);
            std::string w = want;
            if (w.rfind("/data", 0) == 0) w = dir + w;
            EXPECT_EQ(std::string(got), w);
        }
        kiv_free(got);
    }
    // The configured path brought its twin; a run-time change does too.
    EXPECT_EQ(count(1), 2u);
    EXPECT_EQ(set_sensitive_dir((mnt + "/y").c_str(), 1, 1), 0);
    EXPECT_EQ(last_filter(), payload(1, 1, {{99, 255, src + "/y"}}));
    EXPECT_EQ(count(1), 4u);
    EXPECT_EQ(set_sensitive_dir((mnt + "/y").c_str(), 1, 0), 0);
    EXPECT_EQ(last_filter(), payload(2, 1, {{99, 255, src + "/y"}}));
    EXPECT_EQ(count(1), 2u);
    // Exclusions have no twins.
    EXPECT_EQ(modify_qxmon_filter((mnt + "/z").c_str(), 5, 1), 0);
    EXPECT_EQ(last_filter(), payload(1, 5, {{99, 0, mnt + "/z"}}));
}

TEST_F(FileFilter, FstabProblems) {
    bind_mnt_set_fstab_path((dir + "/none").c_str());  // absent: no bind mounts
    ASSERT_EQ(start(section("path_filter", "path", {"/etc"})), 0);
    EXPECT_EQ(get_bind_mnt_path("/etc", 4), nullptr);
    file_filter_exit();
    // An over-long line is dropped whole; the next line still counts.
    write("fstab", "/a /b none bind " + std::string(2000, 'x') + " /c /d none bind\n" + dir +
                       "/s " + dir + "/m none bind 0 0\n");
    bind_mnt_set_fstab_path((dir + "/fstab").c_str());
    ASSERT_EQ(start(section("path_filter", "path", {"/etc"})), 0);
    EXPECT_EQ(get_bind_mnt_path("/b/x", 4), nullptr);
    EXPECT_EQ(get_bind_mnt_path("/d/x", 4), nullptr);
    std::string m = dir + "/m/x";
    char *got = get_bind_mnt_path(m.c_str(), m.size());
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got), dir + "/s/x");
    kiv_free(got);
}

TEST_F(FileFilter, HostChangesRaceTheRefreshAndTheStop) {
    mkdirs({"w/a"});
    ASSERT_EQ(start(section("path_filter", "path", {dir + "/w/*"})), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < 2; t++) {
        hosts.emplace_back([&, t] {
            std::string p = "/host" + std::to_string(t);
            while (!stop.load()) {
                int a = set_sensitive_dir(p.c_str(), 1, 1);
                int d = set_sensitive_dir(p.c_str(), 1, 0);
                // Once the module stops every call is refused; before, each change is done.
                if (!((a == 0 && d == 0) || a == -1 || d == -1)) bad++;
                if (a == -1 || d == -1) break;
            }
        });
    }
    for (int i = 0; i < 50; i++) {
        if (i == 10) mkdirs({"w/b"});
        tick(30'000);
    }
    file_filter_exit();
    stop = true;
    for (auto &h : hosts) h.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
