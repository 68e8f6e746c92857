#include "task/loader_exec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/log.h"
#include "task/binhash.h"

namespace {

// The loader of the common programs of this host, by path and inode.
struct known_loader {
    std::string path, real;
    dev_t dev;
    ino_t ino;
};
const std::vector<known_loader> &known_loaders() {
    static std::vector<known_loader> list;
    static std::once_flag once;
    std::call_once(once, [] {
        for (const char *prog : {"/bin/sh", "/bin/true", "/usr/bin/env", "/usr/bin/ls"}) {
            int fd = open(prog, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            elf_facts f;
            bool ok = fd >= 0 && elf_read_facts(fd, &f) && f.has_interp && f.interp[0] == '/';
            if (fd >= 0) close(fd);
            struct stat st;
            if (!ok || stat(f.interp.c_str(), &st) != 0) continue;
            bool seen = false;
            for (const known_loader &k : list)
                seen = seen || (k.dev == st.st_dev && k.ino == st.st_ino);
            if (seen) continue;
            char *real = realpath(f.interp.c_str(), nullptr);
            list.push_back({f.interp, real ? real : f.interp, st.st_dev, st.st_ino});
            free(real);
            KIV_LOG(2, "the loader of common programs: %s (%s)\n", f.interp.c_str(),
                    list.back().real.c_str());
        }
    });
    return list;
}

// Verdicts by executed file: most execs run a file seen before.
struct verdict {
    exe_ident id;
    bool used, loader;
};
constexpr size_t kVerdicts = 256;
std::mutex s_verdict_lock;
verdict s_verdicts[kVerdicts];

verdict &verdict_slot(const exe_ident &e) {
    uint64_t h = (e.ino * 0x9E3779B97F4A7C15ull) ^ (e.dev * 0xC2B2AE3D27D4EB4Full) ^
                 ((uint64_t)e.ctime_nsec << 17) ^ (uint64_t)e.ctime_sec;
    return s_verdicts[(h ^ (h >> 29)) % kVerdicts];
}

bool same_file(const exe_ident &a, const exe_ident &b) {
    return a.dev == b.dev && a.ino == b.ino && a.ctime_sec == b.ctime_sec &&
           a.ctime_nsec == b.ctime_nsec;
}

std::string flex_text(const raw_process_info &raw, int type) {
    flex_str s{};
    get_flex_task_info_str(&raw.flex, &s, type);
    return std::string(s.ptr, s.len);
}

// The executed file for reading: the running image of the process while it is the one the
// record names, else the path when it still names that inode.
int open_executed(const raw_process_info &raw, const exe_ident *exe, const std::string &path) {
    char link[40];
    snprintf(link, sizeof link, "/proc/%u/exe", raw.pid);
    for (const char *name : {(const char *)link, path.c_str()}) {
        int fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && (!exe || (uint64_t)st.st_ino == exe->ino)) return fd;
        if (fd >= 0) close(fd);
    }
    return -1;
}

struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0) close(fd);
    }
};

// One executable file mapping of /proc/<pid>/maps.
struct mapping {
    unsigned long start, end;
    uint64_t ino;
    std::string path;
};

std::vector<mapping> executable_mappings(int dir) {
    std::vector<mapping> out;
    int fd = openat(dir, "maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    std::string text;
    char buf[8192];
    for (ssize_t n; text.size() < (4u << 20) && (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
        std::string line = text.substr(at, nl - at);
        mapping m{};
        char perms[8] = {};
        unsigned long long ino = 0;
        int path_at = 0;
        if (sscanf(line.c_str(), "%lx-%lx %7s %*x %*x:%*x %llu %n", &m.start, &m.end, perms, &ino,
                   &path_at) < 4 ||
            perms[2] != 'x' || ino == 0 || path_at <= 0 || line[(size_t)path_at] != '/')
            continue;
        m.ino = ino;
        m.path = line.substr((size_t)path_at);
        out.push_back(std::move(m));
    }
    return out;
}

}  // namespace

bool loader_exec_is(const raw_process_info &raw, const exe_ident *exe) {
    const std::string path = flex_text(raw, FLEX_PATH);
    if (path.empty() || path[0] != '/') return false;
    for (const known_loader &k : known_loaders())
        if ((exe && exe->ino == (uint64_t)k.ino && exe->dev == (uint64_t)k.dev) || path == k.path ||
            path == k.real)
            return true;
    if (exe) {
        std::lock_guard g(s_verdict_lock);
        const verdict &v = verdict_slot(*exe);
        if (v.used && same_file(v.id, *exe)) return v.loader;
    }
    fd_guard fd{open_executed(raw, exe, path)};
    elf_facts f;
    bool loader = fd.fd >= 0 && elf_read_facts(fd.fd, &f) && elf_is_loader(f, path.c_str());
    if (fd.fd >= 0 && exe) {
        std::lock_guard g(s_verdict_lock);
        verdict_slot(*exe) = verdict{*exe, true, loader};
    }
    return loader;
}

loader_program::~loader_program() {
    if (fd >= 0) close(fd);
}

int loader_program_find(const raw_process_info &raw, const exe_ident *exe, loader_program *out) {
    const std::string cmd = flex_text(raw, FLEX_CMD_LINE);
    const std::string prog = loader_program_arg(cmd.data(), cmd.size());
    char dir_path[32];
    snprintf(dir_path, sizeof dir_path, "/proc/%u", raw.pid);
    fd_guard dir{open(dir_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd >= 0 && (raw.create_time == 0 || proc_dir_start_ns(dir.fd) == raw.create_time)) {
        // What the command line names, as the process sees it.
        struct stat named {
        }, self{};
        bool have_named = false;
        if (!prog.empty()) {
            fd_guard base{
                openat(dir.fd, prog[0] == '/' ? "root" : "cwd", O_PATH | O_DIRECTORY | O_CLOEXEC)};
            have_named =
                base.fd >= 0 &&
                fstatat(base.fd, prog[0] == '/' ? prog.c_str() + 1 : prog.c_str(), &named, 0) == 0;
        }
        uint64_t loader_ino = exe ? exe->ino : 0;
        if (!exe && fstatat(dir.fd, "exe", &self, 0) == 0) loader_ino = self.st_ino;
        const mapping *pick = nullptr;
        std::vector<mapping> maps = executable_mappings(dir.fd);
        for (const mapping &m : maps)
            if (m.ino != loader_ino && have_named && m.ino == (uint64_t)named.st_ino) pick = &m;
        for (const mapping &m : maps)
            if (!pick && m.ino != loader_ino) {
                pick = &m;
                KIV_LOG(3, "pid %u runs %s through the loader, not %s its command line names\n",
                        raw.pid, m.path.c_str(), prog.c_str());
            }
        // Alive, and nothing mapped but the loader: it is still loading the program.
        if (!pick) return LOADER_PENDING;
        char range[48];
        snprintf(range, sizeof range, "map_files/%lx-%lx", pick->start, pick->end);
        out->fd = openat(dir.fd, range, O_PATH | O_CLOEXEC);
        ssize_t n = readlinkat(dir.fd, range, out->path, sizeof out->path - 1);
        out->path[n > 0 ? n : 0] = '\0';
        if (n <= 0) snprintf(out->path, sizeof out->path, "%s", pick->path.c_str());
        struct stat st;
        if (out->fd >= 0 && (fstat(out->fd, &st) != 0 || (uint64_t)st.st_ino != pick->ino)) {
            close(out->fd);
            out->fd = -1;
        }
        return out->fd >= 0 ? LOADER_FOUND : LOADER_UNKNOWN;
    }
    // Gone: the file its command line names, from the directory it ran in.
    const std::string cwd = flex_text(raw, FLEX_CUR_PATH);
    if (prog.empty() || (prog[0] != '/' && (cwd.empty() || cwd[0] != '/'))) return LOADER_UNKNOWN;
    std::string full = prog[0] == '/' ? prog : cwd + (cwd.back() == '/' ? "" : "/") + prog;
    out->fd = open(full.c_str(), O_PATH | O_CLOEXEC);
    // Named as the kernel names the file it opened (no "." or links on the way).
    char self[40];
    snprintf(self, sizeof self, "/proc/self/fd/%d", out->fd);
    struct stat st;
    ssize_t n = out->fd >= 0 ? readlink(self, out->path, sizeof out->path - 1) : -1;
    if (n <= 0 || fstat(out->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (out->fd >= 0) close(out->fd);
        out->fd = -1;
        out->path[0] = '\0';
        return LOADER_UNKNOWN;
    }
    out->path[n] = '\0';
    KIV_LOG(3, "pid %u ran %s through the loader and is gone: named by its command line\n", raw.pid,
            out->path);
    return LOADER_NAMED;
}
