// Module management with the stand-in playing the kernel: which file is chosen, when a loaded
// module is reused, drained and replaced, or kept, what the kernel is given, and removal.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "comm/dirutils.h"
#include "framework/config.h"
#include "kernel/kernel_if.h"
#include "kmod/kmod.h"
#include "qxkiv/kemu.h"
#include "base/mem.h"
#include "qxkiv/qxkiv.h"
#include "staged_tree.h"
#include "startup/startup.h"
#include "test_io.h"

namespace {

constexpr const char *kBuild = "1.1.0_20240529130429";
constexpr const char *kRelease = "3.10.0-1160.el7.x86_64";
constexpr const char *kOsId = "centos_3.10.0-1160.el7.x86_64_x86_64_64";
constexpr const char *kImageMd5 = "3bbdb5cd36eb367cdabdd681893606e1";  // of "kernel image"

std::string sys_file(const char *rel) {
    char buf[4096];
    return kernel_sys_path(rel, buf, sizeof buf) ? buf : "";
}

// A fake clock the release wait reads; each sleep moves it on by the slept time.
uint64_t s_fake_ms;
int s_sleeps;
std::function<void()> s_on_sleep;
uint64_t fake_now() {
    return s_fake_ms;
}
void fake_sleep(uint32_t ms) {
    s_fake_ms += ms;
    s_sleeps++;
    if (s_on_sleep) s_on_sleep();
}

// A host root (etc, boot, proc), a ko_path directory, and the stand-in as the kernel.
struct KmodTest : testing::Test {
    std::string root, ko;
    framework_config saved = g_framework_config;

    void SetUp() override {
        char tmpl[] = "/tmp/kmodtest.XXXXXX";
        root = mkdtemp(tmpl);
        for (const char *d : {"/etc", "/boot", "/proc", "/ko"}) mkdir((root + d).c_str(), 0700);
        ko = root + "/ko";
        write_file(root + "/etc/os-release",
                   "NAME=\"CentOS Linux\"\nID_LIKE=\"rhel fedora\"\nID=\"centos\"\n");
        write_file(root + "/boot/vmlinuz-" + kRelease, "kernel image");
        write_file(root + "/proc/cmdline", "BOOT_IMAGE=/vmlinuz ro quiet\n");
        write_file(root + "/proc/kallsyms",
                   "ffffffffa1000000 T _stext\n"
                   "ffffffffa1100000 D security_ops\n"
                   "ffffffffa1200000 T __kmalloc\n"
                   "ffffffffa1300000 T get_fs_type\n"
                   "ffffffffa1400000 D inet_dgram_ops\n"
                   "ffffffffa1500000 D inet_stream_ops\n");
        kmod_set_os_root(root.c_str());
        kmod_set_identity(kBuild, kRelease, "x86_64", 0x030A00);
        g_framework_config.kernel_mode = KERNEL_MODE_MODULE;
        snprintf(g_framework_config.ko_path, sizeof g_framework_config.ko_path, "%s", ko.c_str());
        g_framework_config.os_cap_mode = 0;
        g_framework_config.log_level = 3;
        g_framework_config.log_mask = 0xFFFFFFF;
        fresh_kernel();
        s_fake_ms = 1000;
        s_sleeps = 0;
        s_on_sleep = nullptr;
        kmod_set_wait_hooks(fake_now, fake_sleep);
    }
    void TearDown() override {
        kernel_backend_stop();
        kemu_module_reset();
        kmod_set_os_root(nullptr);
        kmod_set_wait_hooks(nullptr, nullptr);
        g_framework_config = saved;
        dirutils_rmdir(root.c_str());
    }

    // A kernel without our module, loading through the stand-in.
    static void fresh_kernel() {
        kemu_module_reset();
        kemu_module_mode(1);
    }
    std::string md5_name() const { return std::string("qxkiv.ko_") + kOsId + "-md5" + kImageMd5; }
    std::string plain_name() const { return "qxkiv.ko"; }
    std::string os_name() const { return std::string("qxkiv.ko_") + kOsId; }

    kemu_module_info info() const {
        kemu_module_info i{};
        kemu_module_state(&i);
        return i;
    }
    std::string loaded_image() const {
        int n = kemu_module_image(nullptr, 0);
        if (n < 0) return "<none>";
        std::string s(n, '\0');
        kemu_module_image(s.data(), (uint32_t)n);
        return s;
    }
    std::string loaded_params() const {
        char buf[4096];
        return kemu_module_params(buf, sizeof buf) < 0 ? "<none>" : buf;
    }
    void preset(const char *version, int refcnt, int users, int refuse_unload = 0) {
        kemu_module_preset p{version, refcnt, users, refuse_unload};
        ASSERT_EQ(kemu_preset_module(&p), 0);
    }
};

// The three names in their order of preference, each present with those after it; the
// kernel gets the chosen file's bytes, the module's files appear, and shut-down removes it.
TEST_F(KmodTest, ChoosesTheFileInOrderAndRemovesItAtShutDown) {
    const struct {
        const char *what;
        std::vector<std::string> present;
        std::string chosen;
    } rows[] = {
        {"md5 wins", {md5_name(), plain_name(), os_name()}, md5_name()},
        {"plain over per-os", {plain_name(), os_name()}, plain_name()},
        {"per-os alone", {os_name()}, os_name()},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        for (const auto &name : r.present) write_file(ko + "/" + name, "ELF image " + name);
        fresh_kernel();
        std::string said = output_of([&] { ASSERT_EQ(kmod_load(), 0); });
        EXPECT_EQ(loaded_image(), "ELF image " + r.chosen);
        EXPECT_EQ(info().loads, 1u);
        EXPECT_EQ(access(sys_file("version").c_str(), F_OK), 0);
        EXPECT_TRUE(__has_install_mod());
        driver_completed();
        EXPECT_EQ(slurp(sys_file("parameters/qxkiv_status")), "1\n");

        said = output_of([] { kmod_unload(); });
        EXPECT_TRUE(has(said, "rmmod qxkiv ok")) << said;
        EXPECT_EQ(info().unloads, 1u);
        EXPECT_EQ(info().loaded, 0);
        EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);  // the backend is down too
        for (const auto &name : r.present) unlink((ko + "/" + name).c_str());
    }
}

// No file fits: the operator learns the identifier, the directories and the three names; nothing
// is loaded and the backend is down again.
TEST_F(KmodTest, NoFileNamesWhatWasSearched) {
    write_file(ko + "/qxkiv.ko_ubuntu_" + std::string(kRelease) + "_x86_64_64",
               "other distribution");
    std::string said = output_of([] { EXPECT_EQ(kmod_load(), -1); });
    EXPECT_TRUE(has(said, std::string("no ko find:") + kOsId)) << said;
    EXPECT_TRUE(has(said, "searched " + ko)) << said;
    for (const std::string &name : {md5_name(), std::string("qxkiv.ko,"), os_name() + "\n"})
        EXPECT_TRUE(has(said, name)) << name << "\n" << said;
    EXPECT_EQ(info().attempts, 0u);
    EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);

    // Without a readable kernel image the md5 name says why it is missing.
    unlink((root + "/boot/vmlinuz-" + kRelease).c_str());
    said = output_of([] { EXPECT_EQ(kmod_load(), -1); });
    EXPECT_TRUE(has(said, "get md5 for " + root + "/boot/vmlinuz-" + kRelease + " failed")) << said;
    EXPECT_TRUE(has(said, "-md5<MD5 of " + root + "/boot/vmlinuz-" + kRelease)) << said;
}

// A module already in the kernel: reused when it is this build (free or in use), refused when
// another build is in use. Nothing is loaded in any of these cases. Shut-down removes a reused
// module; a removal the kernel refuses (the module held) is logged only.
TEST_F(KmodTest, LoadedModuleOfThisBuildIsReused) {
    write_file(ko + "/qxkiv.ko", "new image");
    const struct {
        const char *version;
        int refcnt;
        int want;
        const char *line;
    } rows[] = {
        {"1.1.0_20240529130429\n", 0, 0, "kernel module version not changed\n"},
        {"1.1.0_20240529130429\n", 2, 0, "version not changed, use loaded module"},
        {"0x02\n", 1, 0, "version not changed, use loaded module"},  // refcnt read in base 0
        {"1.0.9_20230101000000\n", 1, -1, "another build is in use"},
        {"1.1.0_20240529130429 \n", 5, -1, "another build is in use"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.version);
        fresh_kernel();
        bool build_name = strncmp(r.version, "0x", 2) == 0;
        if (build_name) kmod_set_identity("0x02", kRelease, "x86_64", 0x030A00);
        preset(r.version, r.refcnt, 0);
        std::string said = output_of([&] { EXPECT_EQ(kmod_load(), r.want); });
        EXPECT_TRUE(has(said, r.line)) << said;
        EXPECT_EQ(info().attempts, 0u);
        EXPECT_EQ(info().loaded, 1);
        if (r.want == 0) {
            said = output_of([] { kmod_unload(); });
            EXPECT_TRUE(has(said, r.refcnt ? "rmmod failed" : "rmmod ok")) << said;
            EXPECT_EQ(info().loaded, r.refcnt ? 1 : 0);
            EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);
        }
        kernel_backend_stop();
        kmod_set_identity(kBuild, kRelease, "x86_64", 0x030A00);
    }
}

// Another build, free: delivery and defense switched off, the debug mode reset, the old module
// removed and the new one loaded. Users that leave during the wait are waited for.
TEST_F(KmodTest, OtherBuildIsDrainedRemovedAndReplaced) {
    write_file(ko + "/qxkiv.ko", std::string("ELF\0version=", 12) + kBuild + std::string("\0", 1));
    for (int leave_after : {0, 3}) {
        SCOPED_TRACE(leave_after);
        fresh_kernel();
        preset("1.0.9_20230101000000\n", 0, leave_after ? 2 : 0);
        s_sleeps = 0;
        s_on_sleep = [&] {
            if (s_sleeps == leave_after) preset("1.0.9_20230101000000\n", 0, 0);
        };
        std::string said = output_of([] { EXPECT_EQ(kmod_load(), 0); });
        EXPECT_EQ(s_sleeps, leave_after);
        EXPECT_TRUE(has(said, "module ref:0")) << said;
        EXPECT_EQ(info().unloads, 1u);
        EXPECT_EQ(info().loads, 1u);
        EXPECT_EQ(slurp(sys_file("version")), std::string(kBuild) + "\n");
        EXPECT_EQ(kmod_veron_change(), 0);

        uint32_t sw = 7;
        EXPECT_EQ(kemu_last_control(0x40047301, &sw, sizeof sw), 4);
        EXPECT_EQ(sw, 0u);
        uint64_t off = 7;
        EXPECT_EQ(kemu_last_control(0x4008780C, &off, sizeof off), 8);
        EXPECT_EQ(off, 0u);
        // The debug-mode record by hand: "QXDB", 4 pad bytes, the 64-bit mode 0.
        unsigned char rec[16];
        memset(rec, 0xAA, sizeof rec);
        ASSERT_EQ(kemu_last_control(0x4008780B, rec, sizeof rec), 16);
        const unsigned char want[16] = {'Q', 'X', 'D', 'B', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(memcmp(rec, want, 16), 0);
        // A record without the agreed magic word is refused.
        int def = kernel_open("/dev/qx_defense", O_RDWR);
        ASSERT_GE(def, 0);
        unsigned char bad[16] = {'Q', 'X', 'D', 'C'};
        EXPECT_EQ(kernel_ioctl(def, 0x4008780B, (unsigned long)bad), -1);
        EXPECT_EQ(errno, EINVAL);
        kernel_close(def);
        kmod_unload();
    }
}

// An old module whose users never leave: the wait ends at exactly 60 s of the (fake) clock,
// start-up fails, and the old module stays untouched.
TEST_F(KmodTest, BusyOldModuleIsKeptAfterTheWait) {
    write_file(ko + "/qxkiv.ko", "new image");
    preset("1.0.9_20230101000000\n", 0, 1);
    std::string said = output_of([] { EXPECT_EQ(kmod_load(), -1); });
    EXPECT_EQ(s_sleeps, (int)(KMOD_WAIT_MS / KMOD_WAIT_STEP_MS));
    EXPECT_TRUE(has(said, "wait too loong time,module has ref:1")) << said;
    EXPECT_EQ(info().unloads, 0u);
    EXPECT_EQ(info().attempts, 0u);
    EXPECT_EQ(info().loaded, 1);

    // A clock that starts near its top does not wrap the wait into forever or nothing.
    s_fake_ms = UINT64_MAX - 5 * KMOD_WAIT_MS;
    s_sleeps = 0;
    said = output_of([] { EXPECT_EQ(kmod_load(), -1); });
    EXPECT_EQ(s_sleeps, (int)(KMOD_WAIT_MS / KMOD_WAIT_STEP_MS));

    // Users gone but removal refused: "rmmod failed" and nothing loaded.
    preset("1.0.9_20230101000000\n", 0, 0, 1);
    said = output_of([] { EXPECT_EQ(kmod_load(), -1); });
    EXPECT_TRUE(has(said, "rmmod qxkiv failed")) << said;
    EXPECT_EQ(info().attempts, 0u);
}

// The kernel refuses the image: start-up fails with the reason, nothing stays loaded or running.
TEST_F(KmodTest, RefusedLoadFailsCleanly) {
    write_file(ko + "/qxkiv.ko", "new image");
    const struct {
        int err;
        const char *reason;
    } rows[] = {{EPERM, "module loading is not allowed here"},
                {ENOEXEC, "not a module for this kernel"},
                {ENOSYS, "no module support"}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.err);
        fresh_kernel();
        kemu_refuse_load(r.err);
        std::string said = output_of([] { EXPECT_EQ(kmod_load(), -1); });
        EXPECT_TRUE(has(said, "load module " + ko + "/qxkiv.ko failed(ret:-1): " + strerror(r.err)))
            << said;
        EXPECT_TRUE(has(said, r.reason)) << said;
        EXPECT_EQ(info().attempts, 1u);
        EXPECT_EQ(info().loaded, 0);
        EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);
    }
    // An empty file cannot be mapped: refused before the kernel sees it.
    fresh_kernel();
    write_file(ko + "/qxkiv.ko", "");
    std::string said = output_of([] { EXPECT_EQ(kmod_load(), -1); });
    EXPECT_TRUE(has(said, "mmap " + ko + "/qxkiv.ko failed")) << said;
    EXPECT_EQ(info().attempts, 0u);
}

// The parameter text the kernel receives, byte for byte. With "nokaslr" the randomisation
// probes are not needed and kallsyms (lacking __kmalloc) suffices; without it the probes are
// needed, kallsyms falls short and System.map supplies every address.
TEST_F(KmodTest, ParameterTextWithAndWithoutNokaslr) {
    write_file(ko + "/qxkiv.ko", "image");
    write_file(root + "/proc/kallsyms",
               "ffffffffa1000000 T _stext\n"
               "ffffffffa1100000 D security_ops\n"
               "ffffffffa1300000 T get_fs_type\n"
               "ffffffffa1400000 D inet_dgram_ops\n"
               "ffffffffa1500000 D inet_stream_ops\n");
    write_file(root + "/boot/System.map-" + std::string(kRelease),
               "ffffffff81100000 D security_ops\n"
               "ffffffff81200000 T __kmalloc\n"
               "ffffffff81300000 T get_fs_type\n"
               "ffffffff81400000 D inet_dgram_ops\n"
               "ffffffff81500000 D inet_stream_ops\n");
    const struct {
        const char *cmdline;
        const char *params;
    } rows[] = {
        {"BOOT_IMAGE=/vmlinuz ro nokaslr quiet\n",
         " orig_security_ops_addr=18446744072116764672"
         " orig_inet_dgram_ops_addr=18446744072119910400"
         " orig_inet_stream_ops_addr=18446744072120958976 log_level=3 log_mask=268435455 "},
        {"BOOT_IMAGE=/vmlinuz ro quiet\n",
         " orig_security_ops_addr=18446744071579893760 kmalloc_addr=18446744071580942336"
         " get_fs_type_addr=18446744071581990912 orig_inet_dgram_ops_addr=18446744071583039488"
         " orig_inet_stream_ops_addr=18446744071584088064 log_level=3 log_mask=268435455 "},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.cmdline);
        fresh_kernel();
        write_file(root + "/proc/cmdline", r.cmdline);
        ASSERT_EQ(kmod_load(), 0);
        std::string params = loaded_params();
        EXPECT_EQ(params, r.params);
        EXPECT_EQ(kemu_module_params(nullptr, 0), (int)strlen(r.params));
        kmod_unload();
    }
}

// Start-up and shut-down through the step table with the stand-in as the kernel.
TEST_F(KmodTest, StartUpLoadsAndShutDownRemoves) {
    staged_tree tree{"kernel_mode = module\nlog_level = 2\nko_path = " + ko + "\n"};
    write_file(ko + "/qxkiv.ko", "image");
    // Start-up hands in the real uname identity; the plain name fits any identifier, and
    // a missing System.map only costs the symbols.
    kmod_set_os_root("");
    // sensor_init, not init_mod_manager: the host's start is once per process.
    ASSERT_EQ(sensor_init(), 0);
    EXPECT_EQ(info().loads, 1u);
    driver_completed();
    EXPECT_EQ(slurp(sys_file("parameters/qxkiv_status")), "1\n");
    sensor_exit();
    EXPECT_EQ(info().loaded, 0);
    EXPECT_EQ(info().unloads, 1u);
}

// Module mode on this machine with the real system calls: start-up fails with a line saying
// why, and everything is unwound (ASan checks the leaks).
TEST_F(KmodTest, RealModuleModeFailsAtStartUpWithAReason) {
    kemu_module_mode(0);
    staged_tree tree{"kernel_mode = module\nlog_level = 2\nko_path = " + ko + "\n"};
    kmod_set_os_root("");
    std::string said = output_of([] { EXPECT_EQ(init_mod_manager(), -1); });
    EXPECT_TRUE(has(said, "no ko find:")) << said;

    // A file that is no module: the kernel's refusal is named.
    write_file(ko + "/qxkiv.ko", "not an ELF file");
    said = output_of([] { EXPECT_EQ(init_mod_manager(), -1); });
    EXPECT_TRUE(has(said, "load module " + ko + "/qxkiv.ko failed(ret:-1): ")) << said;
    EXPECT_TRUE(has(said, "kernel_mode = emulated or userspace") ||
                has(said, "not a module for this kernel"))
        << said;
    EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);
}

// The module's reference count and version files as the kernel may present them.
TEST_F(KmodTest, ReferenceCountAndVersionFiles) {
    preset("1.1.0_20240529130429\n", 0, 0);
    ASSERT_EQ(kernel_backend_start(KERNEL_MODE_MODULE), 0);
    const struct {
        const char *text;
        bool inuse;
    } counts[] = {{"0\n", false},
                  {"1\n", true},
                  {"0x10", true},
                  {"-3\n", false},
                  {"9999999999999999999", true}};
    for (const auto &c : counts) {
        write_file(sys_file("refcnt"), c.text);
        EXPECT_EQ(kmod_is_inuse(), c.inuse) << c.text;
        EXPECT_EQ(kmod_installed(), c.inuse ? -1 : 1) << c.text;
    }
    const struct {
        std::string text;
        int changed;
    } versions[] = {
        {"1.1.0_20240529130429\n", 0},
        {"1.1.0_20240529130429\r\n", 0},
        {"1.1.0_20240529130429", 0},
        {"1.1.0_20240529130429\nsecond line\n", 0},
        {"1.1.0_2024052913042\n", 1},
        {"1.1.0_20240529130429x", 1},
        {"", 1},
        {std::string("1.1.0_20240529130429") + std::string(90, ' ') + "\n", 1},
    };
    for (const auto &v : versions) {
        write_file(sys_file("version"), v.text);
        EXPECT_EQ(kmod_veron_change(), v.changed) << v.text;
    }
    unlink(sys_file("version").c_str());
    unlink(sys_file("refcnt").c_str());
    EXPECT_EQ(kmod_veron_change(), 1);
    EXPECT_FALSE(kmod_is_inuse());
    kemu_preset_module(nullptr);
    EXPECT_EQ(kmod_installed(), 0);
    EXPECT_EQ(__wait_to_exit(), -1);  // no module, no device
}

// Every distribution branch from files under the host root. Each row lists the files present.
TEST_F(KmodTest, OsIdentifierFromReleaseFiles) {
    const std::string tail = std::string("_") + kRelease + "_x86_64_64";
    const struct {
        std::vector<std::pair<const char *, std::string>> files;
        const char *id;  // null: unknown
    } rows[] = {
        {{{"os-release", "ID_LIKE=\"rhel fedora\"\nID=\"centos\"\n"}}, "centos"},
        {{{"os-release", "ID=rhel\n"}, {"debian_version", "12.5\n"}}, "rhel"},
        {{{"os-release", "ID=\n"}, {"lsb-release", "DISTRIB_ID=Ubuntu\n"}}, "Ubuntu"},
        {{{"lsb-release", "DISTRIB_ID=\n"}, {"oracle-release", "Oracle Linux 8\n"}}, "ol"},
        {{{"oracle-release", ""}, {"redhat-release", "CentOS Linux release 7.9\n"}}, "ol"},
        {{{"redhat-release", "CentOS Linux release 7.9.2009 (Core)\n"}}, "centos"},
        {{{"redhat-release", "Red Hat Enterprise Linux Server release 7.9\n"}}, "rhel"},
        {{{"redhat-release", "Fedora release 38\n"}}, nullptr},
        {{{"debian_version", "11.7\n"}}, "debian11-7"},
        {{{"os-release", "ID=debian\n"}, {"debian_version", "12.5\r\n"}}, "debian12-5"},
        {{{"os-release", "ID=Debian\n"}, {"debian_version", "bookworm/sid\n"}}, nullptr},
        {{{"os-release", "ID=debian\n"}}, nullptr},
        {{{"os-release", "ID=uos\n"}, {"os-version", "[Version]\nMinorVersion=1050\n"}}, "uos1050"},
        {{{"os-release", "ID=UOS\n"}, {"os-version", "MajorVersion=20\n"}}, nullptr},
        {{{"os-release", "ID=\"../../tmp/x\"\n"}}, nullptr},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.id ? r.id : "(none)");
        dirutils_rmdir((root + "/etc").c_str());
        mkdir((root + "/etc").c_str(), 0700);
        for (const auto &[name, text] : r.files) write_file(root + "/etc/" + name, text);
        char *id = nullptr;
        std::string said = output_of([&] { id = get_os_id(); });
        EXPECT_EQ(id ? std::string(id) : "(null)", r.id ? r.id + tail : "(null)") << said;
        kiv_free(id);
    }
    // An identifier that would not fit in 128 bytes is refused, not cut: 127 characters fit.
    write_file(root + "/etc/os-release", "ID=centos\n");
    kmod_set_identity(kBuild, std::string(110, 'r').c_str(), "x86_64", 0x030A00);
    char *id = get_os_id();
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(strlen(id), 127u);
    kiv_free(id);
    kmod_set_identity(kBuild, std::string(111, 'r').c_str(), "x86_64", 0x030A00);
    EXPECT_EQ(get_os_id(), nullptr);
}

// Compatibility mode: a rhel host takes the centos build from ko_path and the other way round;
// without it the host's own name is required.
TEST_F(KmodTest, CompatibilityModeSwapsRhelAndCentos) {
    const std::string rel = std::string("_") + kRelease + "_x86_64_64";
    const struct {
        const char *host, *file;
        int cap;
        int want;
    } rows[] = {
        {"rhel", "centos", 1, 0},  {"rhel", "centos", 0, -1},   {"centos", "rhel", 1, 0},
        {"centos", "rhel", 0, -1}, {"ubuntu", "centos", 1, -1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.host) + " " + std::to_string(r.cap));
        write_file(root + "/etc/os-release", std::string("ID=") + r.host + "\n");
        std::string file = ko + "/qxkiv.ko_" + r.file + rel;
        write_file(file, "image");
        g_framework_config.os_cap_mode = r.cap;
        char path[KMOD_PATH_SIZE] = "";
        std::string said = output_of([&] { EXPECT_EQ(get_kmod_path(path, sizeof path), r.want); });
        if (r.want == 0) {
            EXPECT_EQ(std::string(path), file);
            EXPECT_TRUE(has(said, "get cap ko:" + file)) << said;
        } else {
            EXPECT_TRUE(has(said, std::string("no ko find:") + r.host + rel)) << said;
        }
        unlink(file.c_str());
    }
    // The replacement only happens when the result fits.
    char buf[10] = "rhel_7_x";
    EXPECT_EQ(strsub(buf, sizeof buf, "rhel", "centos"), 0);
    EXPECT_STREQ(buf, "rhel_7_x");
    char fits[11] = "rhel_7_x";
    EXPECT_EQ(strsub(fits, sizeof fits, "rhel", "centos"), 1);
    EXPECT_STREQ(fits, "centos_7_x");
    EXPECT_EQ(strsub(fits, sizeof fits, "", "x"), 0);
    EXPECT_EQ(strsub(fits, sizeof fits, "absent", "x"), 0);
}

}  // namespace
