// Kernel symbol resolution on real symbol files (a Debian 6.1 System.map, this machine's
// /proc/kallsyms as an unprivileged reader sees it) and on the lines a broken file may hold.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "comm/dirutils.h"
#include "framework/config.h"
#include "kmod/kmod.h"
#include "test_io.h"

namespace {

constexpr const char *kDebRelease = "6.1.0-47-amd64";
const std::string kSysmap =
    std::string(KIV_TEST_DATA_DIR) + "/sysmap/System.map-6.1.0-47-amd64.trimmed";

// Addresses in the Debian map, read off the file by hand.
const std::map<std::string, uint64_t> kDebAddr = {
    {"__kmalloc", 0xffffffff812b70d0},           {"get_fs_type", 0xffffffff8138d8c0},
    {"inet_dgram_ops", 0xffffffff821495c0},      {"inet_stream_ops", 0xffffffff821496c0},
    {"security_hook_heads", 0xffffffff8242c7c0},
};

// What 6.1 needs with nokaslr, where the Debian map has it.
const std::map<std::string, uint64_t> kDeb61Nokaslr = {{"inet_dgram_ops", 0xffffffff821495c0},
                                                       {"inet_stream_ops", 0xffffffff821496c0},
                                                       {"security_hook_heads", 0xffffffff8242c7c0}};

std::map<std::string, uint64_t> resolved() {
    std::map<std::string, uint64_t> out;
    for (const ksym_entry &e : s_ksym)
        if (e.name) out[e.name] = e.addr;
    return out;
}

struct KsymTest : testing::Test {
    std::string root;
    framework_config saved = g_framework_config;
    void SetUp() override {
        char tmpl[] = "/tmp/ksymtest.XXXXXX";
        root = mkdtemp(tmpl);
        for (const char *d : {"/boot", "/proc"}) mkdir((root + d).c_str(), 0700);
        kmod_set_os_root(root.c_str());
        g_framework_config.log_level = 3;
        g_framework_config.log_mask = 0xFFFFFFF;
    }
    void TearDown() override {
        kmod_set_os_root(nullptr);
        g_framework_config = saved;
        dirutils_rmdir(root.c_str());
    }
    void kernel(const char *release, int code, bool nokaslr) {
        kmod_set_identity("1.1.0_20240529130429", release, "x86_64", code);
        write_file(root + "/proc/cmdline", nokaslr ? "ro nokaslr quiet\n" : "ro quiet\n");
    }
    void sysmap(const char *release) {
        std::string link = root + "/boot/System.map-" + release;
        ASSERT_EQ(symlink(kSysmap.c_str(), link.c_str()), 0);
    }
};

// Which symbols each kernel version needs, one version below, on and above every bound, with
// the Debian map as the only source: the needed names stay, found where the map has them.
TEST_F(KsymTest, VersionBoundsOnTheDebianMap) {
    sysmap(kDebRelease);
    const struct {
        int code;
        bool nokaslr;
        std::set<std::string> needed;
    } rows[] = {
        {0x020621,
         true,
         {"security_ops", "wall_to_monotonic", "inet_dgram_ops",
          "inet_stream_ops"}},  // 2.6.33, the last with wall_to_monotonic
        {0x020622, true, {"security_ops", "inet_dgram_ops", "inet_stream_ops"}},
        {0x0401FF, true, {"security_ops", "inet_dgram_ops", "inet_stream_ops"}},  // 4.1.255
        {0x040200, true, {"security_hook_heads", "inet_dgram_ops", "inet_stream_ops"}},
        {0x060100,
         false,
         {"security_hook_heads", "__kmalloc", "get_fs_type", "inet_dgram_ops", "inet_stream_ops"}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.code);
        kernel(kDebRelease, r.code, r.nokaslr);
        std::string said = output_of([] { EXPECT_EQ(__ksym_init(), 0); });
        auto got = resolved();
        std::set<std::string> names;
        for (const auto &[name, addr] : got) {
            names.insert(name);
            auto want = kDebAddr.find(name);
            EXPECT_EQ(addr, want == kDebAddr.end() ? 0 : want->second) << name;
        }
        EXPECT_EQ(names, r.needed);
        size_t found = 0;
        for (const auto &n : r.needed) found += kDebAddr.count(n);
        EXPECT_TRUE(has(said, "read " + std::to_string(found) +
                                  " (need:" + std::to_string(r.needed.size()) + ") from " + root +
                                  "/boot/System.map-" + kDebRelease))
            << said;
        for (const ksym_entry &e : s_ksym) EXPECT_EQ(e.re, nullptr);  // patterns freed
    }
}

// Each signature on lines in the real files' format: the bracket expression takes types A and
// B only, a plain signature needs the whole name and its type where it names one. (The plain
// lines of the Debian map's symbols are taken in the test above.)
TEST_F(KsymTest, SignaturesMatchWholeNamesAndTypes) {
    kernel("2.6.32-754.el6.x86_64", 0x020620, false);
    const struct {
        std::string line;
        const char *name;  // which symbol takes the line; null: none
    } rows[] = {
        {"ffffffff81c0d0c0 B wall_to_monotonic\n", "wall_to_monotonic"},
        {"ffffffff81c0d0c0 A wall_to_monotonic\n", "wall_to_monotonic"},
        {"ffffffff81c0d0c0 D wall_to_monotonic\n", nullptr},
        {"ffffffff81c0d0c0 b wall_to_monotonic\n", nullptr},
        {"ffffffff81c0d0c0 B wall_to_monotonic_x\n", nullptr},
        {"ffffffff81c0d0c0 BB wall_to_monotonic\n", nullptr},
        {"ffffffff812b6f80 T __kmalloc_node\n", nullptr},
        {"ffffffff812b6f80 t __kmalloc\n", nullptr},
        {"ffffffff821495c0 r inet_dgram_ops\n", "inet_dgram_ops"},
        {"ffffffff821495c0 D xinet_dgram_ops\n", nullptr},
        {"ffffffff81a00000 D security_ops\n", "security_ops"},
        {"ffffffff81a00000 D security_hook_heads\n", nullptr},  // not needed before 4.2
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.line);
        write_file(root + "/boot/System.map-2.6.32-754.el6.x86_64", r.line);
        output_of([] { EXPECT_EQ(__ksym_init(), 0); });
        for (const auto &[name, addr] : resolved()) {
            uint64_t want =
                r.name && name == r.name ? std::stoull(r.line.substr(0, 16), nullptr, 16) : 0;
            EXPECT_EQ(addr, want) << name;
        }
    }
}

// Without privilege kallsyms lists every address as 0: those lines count as not found, and the
// System.map supplies the addresses.
TEST_F(KsymTest, ZeroAddressKallsymsFallsBackToTheMap) {
    std::string copy = root + "/proc/kallsyms";
    std::string cmd = "setpriv --reuid=65534 --regid=65534 --clear-groups cat /proc/kallsyms > " +
                      copy + " 2>/dev/null";
    if (geteuid() != 0 || system(cmd.c_str()) != 0) {
        // An unprivileged reader already: its own view is the zeroed one.
        std::ifstream in("/proc/kallsyms");
        std::ofstream(copy) << in.rdbuf();
    }
    // The real view names the symbols, with zero addresses; add the one this kernel lacks.
    {
        std::ifstream in(copy);
        std::string first;
        std::getline(in, first);
        ASSERT_EQ(first.substr(0, 16), "0000000000000000") << first;
    }
    std::ofstream(copy, std::ios::app) << "0000000000000000 D inet_dgram_ops\n"
                                          "0000000000000000 D inet_stream_ops\n"
                                          "0000000000000000 D security_hook_heads\n";
    sysmap(kDebRelease);
    kernel(kDebRelease, 0x060100, true);
    std::string said = output_of([] { EXPECT_EQ(__ksym_init(), 0); });
    EXPECT_TRUE(has(said, "listed with address 0")) << said;
    EXPECT_EQ(resolved(), kDeb61Nokaslr);
}

// Broken lines: no address, a non-hexadecimal or over-long one, a zero; none of them poses as an
// address, and a good line after them still counts. The first good line wins.
TEST_F(KsymTest, BadAddressesAreNotTaken) {
    kernel("5.4.0-test", 0x050400, true);
    write_file(root + "/proc/kallsyms",
               " D inet_dgram_ops\n"
               "zzzzzzzz D inet_dgram_ops\n"
               "ffffffff8214 95c0 D inet_dgram_ops\n"
               "1ffffffff821495c0 D inet_dgram_ops\n"
               "0x1000 D inet_dgram_ops\n"
               "0 D inet_dgram_ops\n"
               "ffffffff821495c0 D inet_dgram_ops\n"
               "ffffffff00000000 D inet_dgram_ops\n"
               "FFFFFFFF821496C0 D inet_stream_ops\n"
               "ffffffff8242c7c0 D security_hook_heads\n");
    std::string said = output_of([] { EXPECT_EQ(__ksym_init(), 0); });
    EXPECT_TRUE(has(said, "invalid line: D inet_dgram_ops")) << said;
    EXPECT_TRUE(has(said, "invalid line:ffffffff8214 95c0 D inet_dgram_ops")) << said;
    EXPECT_EQ(resolved(), kDeb61Nokaslr);
    char params[256];
    ASSERT_EQ(__get_mod_param(params, sizeof params), 0);
    EXPECT_STREQ(params,
                 " security_hook_heads_addr=18446744071599998912"
                 " orig_inet_dgram_ops_addr=18446744071596971456"
                 " orig_inet_stream_ops_addr=18446744071596971712 log_level=3 log_mask=268435455 ");
}

// The line reader: lines up to the limit arrive whole, a longer one is dropped without its
// tail turning into a line, binary lines are dropped, a last line gains its newline, and the
// callback stops the loop.
TEST_F(KsymTest, LineReaderBounds) {
    std::string path = root + "/lines";
    auto lines_of = [&](const std::string &text, int stop_after = -1) {
        write_file(path, text);
        struct ctx_t {
            std::vector<std::string> got;
            int stop_after;
        } ctx{{}, stop_after};
        auto cb = [](const char *line, void *p) {
            auto *c = static_cast<ctx_t *>(p);
            c->got.push_back(line);
            return (int)c->got.size() == c->stop_after ? 0 : 1;
        };
        EXPECT_EQ(__loop_file(path.c_str(), cb, &ctx), 0);
        return ctx.got;
    };
    std::string at_limit = std::string(KSYM_LINE_MAX - 1, 'a') + "\n";
    std::string over = std::string(KSYM_LINE_MAX, 'b') + "\n";
    using v = std::vector<std::string>;
    EXPECT_EQ(lines_of(at_limit + "x\n"), (v{at_limit, "x\n"}));
    EXPECT_EQ(lines_of(over + "y\n"), (v{"y\n"}));
    EXPECT_EQ(lines_of(std::string("a\0b\n", 4) + "w\n"), (v{"w\n"}));
    EXPECT_EQ(lines_of("one\ntwo"), (v{"one\n", "two\n"}));
    EXPECT_EQ(lines_of(std::string(KSYM_LINE_MAX, 'd')), (v{}));  // last line, too long
    EXPECT_EQ(lines_of("\n\n"), (v{"\n", "\n"}));
    EXPECT_EQ(lines_of("1\n2\n3\n", 2), (v{"1\n", "2\n"}));
    std::string said = output_of([&] {
        EXPECT_EQ(__loop_file((root + "/missing").c_str(), [](const char *, void *) { return 1; },
                              nullptr),
                  -1);
    });
    EXPECT_TRUE(has(said, "open path:" + root + "/missing failed.")) << said;
}

// The parameter text at its size limits, and with nothing resolved.
TEST_F(KsymTest, ParameterTextLimits) {
    for (ksym_entry &e : s_ksym) e = ksym_entry{};
    g_framework_config.log_level = 0;
    g_framework_config.log_mask = 0;
    char buf[KMOD_PARAM_SIZE];
    ASSERT_EQ(__get_mod_param(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, " log_level=0 log_mask=0 ");

    g_framework_config.log_mask = 1;  // and the failures below are logged
    s_ksym[0] = ksym_entry{"x", "a", " x\n", 0, 0, UINT64_MAX, nullptr};
    const std::string full = " a=18446744073709551615 log_level=0 log_mask=1 ";
    ASSERT_EQ(__get_mod_param(buf, full.size() + 1), 0);
    EXPECT_EQ(std::string(buf), full);
    std::string said = output_of([&] { EXPECT_EQ(__get_mod_param(buf, full.size()), -1); });
    EXPECT_TRUE(has(said, "trunc or error")) << said;
    said = output_of([&] { EXPECT_EQ(__get_mod_param(buf, 10), -1); });
    EXPECT_TRUE(has(said, "truc or error")) << said;
    s_ksym[0] = ksym_entry{};
}

// The randomisation test reads the first line of the command line only.
TEST_F(KsymTest, NokaslrOnTheCommandLine) {
    const struct {
        const char *text;
        int want;
    } rows[] = {{"ro nokaslr\n", 0},
                {"nokaslr", 0},
                {"ro quiet\n", 1},
                {"ro quiet\nnokaslr\n", 1},
                {"", 1}};
    for (const auto &r : rows) {
        write_file(root + "/proc/cmdline", r.text);
        EXPECT_EQ(__need_detect_kaslr(), r.want) << r.text;
    }
    unlink((root + "/proc/cmdline").c_str());
    std::string said = output_of([] { EXPECT_EQ(__need_detect_kaslr(), 1); });
    EXPECT_TRUE(has(said, "open /proc cmdline failed")) << said;
}

}  // namespace
