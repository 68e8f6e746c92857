// A program run through the dynamic loader: telling a loader by its ELF type and name, the
// program its command line names, and the program found among a loader process's mappings.
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "proc_bytes.h"
#include "task/binhash.h"
#include "task/loader_exec.h"
#include "test_io.h"

namespace {

using bytes = std::vector<unsigned char>;

elf_facts facts_of(const std::string &path, bool *ok = nullptr) {
    elf_facts f;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool r = fd >= 0 && elf_read_facts(fd, &f);
    if (fd >= 0) close(fd);
    if (ok) *ok = r;
    return f;
}

std::string real_path(const char *p) {
    char real[PATH_MAX];
    return realpath(p, real) ? real : "";
}

// This host's loader, as the common programs ask for it, by its real path.
std::string host_loader() {
    return real_path(facts_of("/usr/bin/sleep").interp.c_str());
}

// A process record of pid with the loader as its executable.
struct loader_record {
    raw_process_buf buf;
    loader_record(uint32_t pid, uint64_t create_time, const std::string &loader,
                  const std::string &cmd, const std::string &cwd = "/") {
        proc_fields f;
        f.pid = pid, f.create_time = create_time;
        f.s[0] = cmd, f.s[1] = cwd, f.s[2] = loader;
        auto b = build_proc(f);
        EXPECT_EQ(raw_process_info_decode(b.data(), b.size(), &buf.info, sizeof buf), 0);
    }
};

uint64_t start_of(pid_t pid) {
    int dir = open(("/proc/" + std::to_string(pid)).c_str(), O_RDONLY | O_DIRECTORY);
    uint64_t ns = dir >= 0 ? proc_dir_start_ns(dir) : 0;
    if (dir >= 0) close(dir);
    return ns;
}

}  // namespace

// A loader by its own type and name: the host's loader and a copy of it under another name;
// not a program, nor a library, nor a copy cut short (damage of every kind: fuzz_elf).
TEST(LoaderExec, LoaderByItsOwnTypeAndName) {
    const std::string ld = host_loader();
    ASSERT_FALSE(ld.empty());
    const std::string dir = ld.substr(0, ld.rfind('/'));
    char tmpl[] = "/tmp/kivloader.XXXXXX";
    const std::string tmp = mkdtemp(tmpl);
    const std::string text = slurp(ld);
    const bytes image(text.begin(), text.end());
    ASSERT_GT(image.size(), 4096u);
    struct Row {
        const char *what;
        std::function<void(bytes &)> edit;  // of a copy of the loader; null: the file itself
        std::string path;
        bool read, loader;
    };
    const Row rows[] = {
        {"a copy named ls", [](bytes &) {}, tmp + "/ls", true, true},
        {"a program", nullptr, "/usr/bin/sleep", true, false},
        {"a library", nullptr, dir + "/libc.so.6", true, false},
        {"cut inside its header", [](bytes &b) { b.resize(40); }, tmp + "/cut", false, false},
        {"an executable, not a shared object",
         [](bytes &b) { b[offsetof(Elf64_Ehdr, e_type)] = ET_EXEC; }, tmp + "/exec", true, false},
        {"a script",
         [](bytes &b) {
             b.assign({'#', '!', '/', 'b', 'i', 'n'});
         },
         tmp + "/script", false, false},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        if (r.edit) {
            bytes b = image;
            r.edit(b);
            write_file(r.path, std::string(b.begin(), b.end()));
        }
        bool ok = false;
        elf_facts f = facts_of(r.path, &ok);
        EXPECT_EQ(ok, r.read);
        EXPECT_EQ(ok && elf_is_loader(f, r.path.c_str()), r.loader) << f.soname;
    }
    // musl names its loader by file name alone: its library is the loader.
    elf_facts musl;
    musl.type = ET_DYN, musl.soname = "libc.so";
    EXPECT_TRUE(elf_is_loader(musl, "/lib/ld-musl-x86_64.so.1"));
    EXPECT_FALSE(elf_is_loader(musl, "/lib/libc.so"));
    (void)!system(("rm -rf '" + tmp + "'").c_str());
}

TEST(LoaderExec, ProgramArgumentAfterTheLoadersOptions) {
    const std::pair<const char *, const char *> rows[] = {
        {"/lib64/ld-linux-x86-64.so.2 /tmp/x/implant 2", "/tmp/x/implant"},
        {"ld.so --library-path /a:/b --argv0 sshd --preload x.so ./implant -d", "./implant"},
        {"ld.so --inhibit-cache --list /bin/true", "/bin/true"},
        {"ld.so --audit a.so -- --weird", "--weird"},
        {"ld.so --argv0", ""},
    };
    for (auto &[cmd, want] : rows) EXPECT_EQ(loader_program_arg(cmd, strlen(cmd)), want) << cmd;
}

// Another process under the pid, or none: the file the command line names, from the directory
// it ran in. (A loader process's mappings: AttackDigest, live.)
TEST(LoaderExec, ProgramFoundAmongTheLoadersMappings) {
    const std::string ld = host_loader();
    ASSERT_FALSE(ld.empty());
    // This process is alive under the pid, but is not the one the record is of.
    const pid_t pid = getpid();
    const uint64_t ct = start_of(pid);
    ASSERT_NE(ct, 0u);
    struct Row {
        const char *what;
        std::string cmd, cwd;
        int found;
        std::string path;
    };
    const Row rows[] = {
        {"another process", ld + " /usr/bin/sleep 60", "/", LOADER_NAMED, "/usr/bin/sleep"},
        {"relative to its directory", ld + " ./sleep 60", "/usr/bin/", LOADER_NAMED,
         "/usr/bin/sleep"},
        {"a directory", ld + " /usr/bin", "/", LOADER_UNKNOWN, ""},
        {"a relative name without a directory", ld + " sleep", "", LOADER_UNKNOWN, ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        loader_record other(pid, ct + 1, ld, r.cmd, r.cwd);
        EXPECT_TRUE(loader_exec_is(other.buf.info, nullptr));
        loader_program p;
        EXPECT_EQ(loader_program_find(other.buf.info, nullptr, &p), r.found);
        EXPECT_EQ(p.path, r.path);
        EXPECT_EQ(p.fd >= 0, r.found != LOADER_UNKNOWN);
    }
}
