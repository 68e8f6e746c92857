// kivhost: the reference host agent. Loads libqxkiv.so, starts the sensor, writes every
// uploaded document as NDJSON (or sends it to syslog) and stops cleanly after --seconds or on
// SIGINT/SIGTERM.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "check_config.h"
#include "health.h"
#include "limit_report.h"
#include "host_core.h"
#include "metrics.h"

namespace {

std::atomic<int> s_stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

void on_signal(int sig) {
    s_stop_signal.store(sig, std::memory_order_relaxed);
}

// Directory of this executable: the library and its configuration sit beside it.
std::string exe_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    char *slash = strrchr(buf, '/');
    if (slash == nullptr) return ".";
    *slash = '\0';
    return buf[0] != '\0' ? buf : "/";
}

// The library's entry points, looked up by name: the agent never links against it.
struct Api {
    decltype(&init_mod_manager) init;
    decltype(&exit_mod_manager) exit;
    decltype(&register_upload_callback) reg_upload;
    decltype(&register_host_state_callback) reg_host_state;
    decltype(&set_module) set_mask;
    decltype(&kiv_last_error) last_error;  // optional: older libraries lack it
    decltype(&kiv_stats_line) stats_line;  // optional too
};

// "kivhost 1.1.0" and the library's own version text (exit status 1 when it cannot load).
int print_version(const std::string &lib_path) {
    printf("kivhost %s\n", KIVHOST_VERSION);
    void *lib = dlopen(lib_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        printf("libqxkiv: cannot load %s: %s\n", lib_path.c_str(), dlerror());
        return 1;
    }
    auto version = reinterpret_cast<decltype(&kiv_version)>(dlsym(lib, "kiv_version"));
    const char *v = version != nullptr ? version() : nullptr;
    printf("libqxkiv %s (%s)\n", v != nullptr ? v : "(a build without kiv_version)",
           lib_path.c_str());
    dlclose(lib);
    return 0;
}

// Head of the statistics file: who wrote it and the agent's own counts.
std::string stats_head(const kivhost::Sink &sink, double elapsed, const char *lib_version) {
    char line[256];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char when[40];
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S%z", &tm);
    snprintf(line, sizeof line, "# kivhost %s, libqxkiv %s, pid %ld, written %s\n", KIVHOST_VERSION,
             lib_version ? lib_version : "?", static_cast<long>(getpid()), when);
    return line + sink.summary(elapsed);
}

template <typename Fn>
bool lookup(void *lib, const char *name, Fn *out) {
    dlerror();
    *out = reinterpret_cast<Fn>(dlsym(lib, name));
    if (*out != nullptr) return true;
    const char *e = dlerror();
    fprintf(kivhost::term(), "kivhost: %s not found in the library: %s\n", name,
            e ? e : "null symbol");
    return false;
}

// Above this size the echo so far is kept as console.log.1 and a new file begun.
constexpr off_t kConsoleKeep = 16 << 20;

// The echo file, appended; -1 with errno set.
int open_console(const std::string &path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0640);
}

// Descriptors 1 and 2 onto a new echo file once the one they write has grown past the bound.
// dup2 swaps each at once, so a line being written lands whole in one file or the other.
void keep_console_small(const std::string &path) {
    struct stat st {};
    if (fstat(STDOUT_FILENO, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= kConsoleKeep)
        return;
    if (rename(path.c_str(), (path + ".1").c_str()) != 0) return;
    int con = open_console(path);
    if (con < 0) return;
    dup2(con, STDOUT_FILENO);
    dup2(con, STDERR_FILENO);
    close(con);
}

// The library's echo (its stdio on descriptors 1 and 2) into path, appended; the agent's own
// lines keep the terminal through a copy of standard error, and the documents, when they go
// to standard output, through a copy of it in *doc_fd. False with *why when the file cannot
// be had: then nothing has changed.
bool divert_echo(const std::string &dir, const std::string &path, bool docs_on_stdout, int *doc_fd,
                 std::string *why) {
    // The library makes its log directory only once it starts; its echo starts before.
    for (size_t at = 1; (at = dir.find('/', at)) != std::string::npos; ++at)
        mkdir(dir.substr(0, at).c_str(), 0750);
    mkdir(dir.c_str(), 0700);
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > kConsoleKeep)
        rename(path.c_str(), (path + ".1").c_str());
    int con = open_console(path);
    if (con < 0) {
        *why = errno == ELOOP ? "it is a symbolic link" : strerror(errno);
        return false;
    }
    fflush(stdout);
    fflush(stderr);
    int out = docs_on_stdout ? fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3) : -1;
    int err = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    FILE *t = err >= 0 ? fdopen(err, "w") : nullptr;
    if ((docs_on_stdout && out < 0) || t == nullptr || dup2(con, STDOUT_FILENO) < 0 ||
        dup2(con, STDERR_FILENO) < 0) {
        *why = strerror(errno);
        if (t)
            fclose(t);
        else if (err >= 0)
            close(err);
        if (out >= 0) close(out);
        close(con);
        return false;
    }
    close(con);
    setvbuf(t, nullptr, _IOLBF, 0);
    kivhost::set_term(t);
    // Whole lines in the file, not 4 KiB blocks cut mid-line.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    *doc_fd = out;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    kivhost::Options opt;
    std::string err;
    const kivhost::Parse parsed = kivhost::parse_options(argc, argv, &opt, &err);
    switch (parsed) {
        case kivhost::Parse::kHelp:
            fputs(kivhost::usage_text(argv[0]).c_str(), stdout);
            return 0;
        case kivhost::Parse::kError:
            fprintf(kivhost::term(), "kivhost: %s\n\n%s", err.c_str(),
                    kivhost::usage_text(argv[0]).c_str());
            return 2;
        case kivhost::Parse::kRun:
        case kivhost::Parse::kVersion:
            break;
    }

    // Some ten sensor threads allocate briefly and then sit: an arena each would keep their
    // freed pages resident. Two arenas serve them without contention that shows.
    mallopt(M_ARENA_MAX, 2);

    const std::string dir = exe_dir();
    const std::string lib_path = opt.lib.empty() ? dir + "/../lib/libqxkiv.so" : opt.lib;
    if (parsed == kivhost::Parse::kVersion) return print_version(lib_path);
    if (opt.check_config) return kivhost::check_config(lib_path);

    const bool to_syslog = opt.output == "syslog";
    // The tree root and the sensor's log directory, spelled without "bin/.." where they exist
    // so the operator can paste them.
    auto shown = [](const std::string &p) {
        char buf[PATH_MAX];
        return realpath(p.c_str(), buf) != nullptr ? std::string(buf) : p;
    };
    const std::string root = shown(dir + "/..");
    const std::string log_dir = kivhost::sensor_log_dir(dir);
    const std::string console = log_dir + "/console.log";
    int out_fd = -1;
    bool quiet = !opt.verbose;
    if (quiet) {
        std::string why;
        quiet = divert_echo(log_dir, console, !to_syslog && opt.output.empty(), &out_fd, &why);
        if (!quiet)
            fprintf(kivhost::term(),
                    "kivhost: cannot write %s (%s): the library's echo stays on the terminal\n",
                    console.c_str(), why.c_str());
    }
    if (to_syslog || quiet) {
        // The documents leave through sockets or the copy of standard output.
    } else if (opt.output.empty()) {
        // The library echoes its most severe log lines to standard output through stdio, which
        // would land between and inside documents. Documents keep a private copy of the
        // descriptor; descriptor 1 is pointed at standard error before the library is loaded.
        fflush(stdout);
        out_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (out_fd < 0) {
            fprintf(kivhost::term(), "kivhost: standard output is not usable: %s\n",
                    strerror(errno));
            return 1;
        }
        if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            // No standard error either: the echo goes nowhere rather than into the documents.
            int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) {
                fprintf(kivhost::term(), "kivhost: cannot move standard output aside: %s\n",
                        strerror(errno));
                return 1;
            }
            close(null_fd);
        }
        // Whole lines on the shared descriptor, not 4 KiB blocks cut mid-line.
        setvbuf(stdout, nullptr, _IOLBF, 0);
    }
    if (!opt.output.empty() && !to_syslog) {
        std::string why;
        out_fd = kivhost::open_output(opt.output, opt.append, &why);
        if (out_fd < 0) {
            fprintf(kivhost::term(), "kivhost: cannot open output %s: %s\n", opt.output.c_str(),
                    why.c_str());
            return 1;
        }
    }
    FILE *const tty = kivhost::term();
    // Where to look when something went wrong; the directory exists once the sensor started.
    auto logs = [&] {
        return "the sensor log in " + shown(log_dir) + "/" +
               (quiet ? " and the library's echo in " + shown(console) : "");
    };

    // A closed reader must show up as a failed write, not kill the agent mid-shutdown.
    struct sigaction sa = {};
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);
    // One-shot: should shut-down hang, a second Ctrl-C ends the agent at once.
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    void *lib = dlopen(lib_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        fprintf(tty,
                "kivhost: cannot load the sensor library: %s\n"
                "  build it with `make` or point --lib at libqxkiv.so\n",
                dlerror());
        return 1;
    }
    Api api{};
    if (!lookup(lib, "init_mod_manager", &api.init) ||
        !lookup(lib, "exit_mod_manager", &api.exit) ||
        !lookup(lib, "register_upload_callback", &api.reg_upload) ||
        !lookup(lib, "register_host_state_callback", &api.reg_host_state) ||
        !lookup(lib, "set_module", &api.set_mask)) {
        dlclose(lib);
        return 1;
    }

    api.last_error = reinterpret_cast<decltype(api.last_error)>(dlsym(lib, "kiv_last_error"));
    api.stats_line = reinterpret_cast<decltype(api.stats_line)>(dlsym(lib, "kiv_stats_line"));
    // Ring refusals are readable while the kernel stand-in runs (emulated, userspace).
    auto ring_stats = reinterpret_cast<kivhost::RingStatsFn>(dlsym(lib, "kemu_ring_stats"));
    auto lib_version = reinterpret_cast<decltype(&kiv_version)>(dlsym(lib, "kiv_version"));
    auto limit_drops = reinterpret_cast<kivhost::LimitDropsFn>(dlsym(lib, "kiv_limit_drops_take"));

    kivhost::HostIdentity identity = kivhost::probe_identity();
    std::unique_ptr<kivhost::Sink> sink_owner;
    if (to_syslog) {
        kivhost::SyslogConfig sc;
        sc.dgram_path = opt.syslog_socket;
        sc.stream_path = opt.syslog_stream;
        sc.dgram_max = opt.syslog_max;
        sink_owner = std::make_unique<kivhost::SyslogSink>(sc);
    } else {
        sink_owner = std::make_unique<kivhost::NdjsonSink>(out_fd);
    }
    kivhost::Sink &sink = *sink_owner;
    const char *no_color = getenv("NO_COLOR"), *term_name = getenv("TERM");
    const bool colour = opt.compact && out_fd >= 0 && isatty(out_fd) &&
                        (no_color == nullptr || *no_color == '\0') &&
                        !(term_name && strcmp(term_name, "dumb") == 0);
    sink.set_view(opt.only, opt.compact, colour);
    kivhost::bind_callbacks(&sink, &identity);
    fprintf(tty, "kivhost: host %s, ip %s (%s)\n", identity.uuid.c_str(), identity.ip.c_str(),
            identity.ip_list.c_str());

    auto t0 = std::chrono::steady_clock::now();
    int rc = api.init();
    if (rc != 0) {
        const char *why = api.last_error ? api.last_error() : nullptr;
        if (why && *why) fprintf(tty, "kivhost: the sensor did not start: %s\n", why);
        fprintf(
            tty,
            "kivhost: init_mod_manager failed (%d): see %s (log_path in %s/config/sensor.conf)\n",
            rc, logs().c_str(), root.c_str());
        dlclose(lib);
        return 1;
    }
    // Callbacks are registered only after a successful start: the start clears them.
    int status = 0;
    bool stats_failing = false;
    auto write_stats = [&](std::chrono::steady_clock::time_point now) {
        double up = std::chrono::duration<double>(now - t0).count();
        const char *v = lib_version ? lib_version() : nullptr;
        int e = opt.stats_openmetrics
                    ? kivhost::replace_file(opt.stats_file,
                                            kivhost::metrics_text(sink, up, v, api.stats_line))
                    : kivhost::write_stats_file(opt.stats_file, stats_head(sink, up, v),
                                                api.stats_line);
        // Said once per run of failures: a missing directory must not flood the journal.
        if (e != 0 && !stats_failing)
            fprintf(tty, "kivhost: cannot write the statistics file %s: %s\n",
                    opt.stats_file.c_str(), strerror(e));
        stats_failing = e != 0;
    };
    if (api.reg_upload(kivhost::kivhost_upload) != 0 ||
        api.reg_host_state(kivhost::kivhost_host_state) != 0) {
        fprintf(tty, "kivhost: registering the callbacks failed\n");
        status = 1;
    } else if (api.set_mask(opt.mask) != 0) {
        fprintf(tty, "kivhost: set_module(0x%X) failed: see %s\n", opt.mask, logs().c_str());
        status = 1;
    }

    kivhost::Health health(opt.health_interval);
    auto check_health = [&](std::chrono::steady_clock::time_point now, bool at_stop) {
        if (opt.health_interval == 0) return;
        std::string doc = health.check(kivhost::read_losses(api.stats_line, ring_stats, sink),
                                       std::chrono::duration<double>(now - t0).count(), at_stop,
                                       [&] { return kivhost::limit_drops_json(limit_drops); });
        if (!doc.empty())
            sink.write_document(doc.data(), static_cast<uint32_t>(doc.size()),
                                kivhost::kHealthType);
    };

    if (status == 0) {
        const std::string echo = quiet ? "; the library's echo goes to " + shown(console) : "";
        if (opt.seconds != 0)
            fprintf(tty, "kivhost: sensor started (mask 0x%X), stopping in %u s%s\n", opt.mask,
                    opt.seconds, echo.c_str());
        else
            fprintf(tty, "kivhost: sensor started (mask 0x%X), Ctrl-C stops it%s\n", opt.mask,
                    echo.c_str());
        auto deadline = t0 + std::chrono::seconds(opt.seconds);
        auto next_stats = t0;  // at once, so the file is there from the start
        check_health(std::chrono::steady_clock::now(), false);  // the baseline
        auto next_health = t0 + std::chrono::seconds(opt.health_interval);
        while (s_stop_signal.load(std::memory_order_relaxed) == 0 && !sink.failed()) {
            auto now = std::chrono::steady_clock::now();
            if (opt.seconds != 0 && now >= deadline) break;
            if (!opt.stats_file.empty() && now >= next_stats) {
                next_stats = now + std::chrono::seconds(opt.stats_interval);
                write_stats(now);
            }
            if (quiet) keep_console_small(console);
            if (now >= next_health) {
                next_health = now + std::chrono::seconds(opt.health_interval);
                check_health(now, false);
            }
            struct timespec step = {0, 100 * 1000 * 1000};
            nanosleep(&step, nullptr);  // a signal cuts the step short
        }
        if (int sig = s_stop_signal.load()) fprintf(tty, "kivhost: %s, stopping\n", strsignal(sig));
        if (sink.failed())
            fprintf(tty, "kivhost: writing the output failed (%s), stopping\n",
                    strerror(sink.failed_errno()));
        // What was lost since the last check, while the stand-in's rings are still there.
        check_health(std::chrono::steady_clock::now(), true);
    }

    api.exit();
    // The final counters, after shut-down has uploaded what was still waiting.
    if (!opt.stats_file.empty()) write_stats(std::chrono::steady_clock::now());
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    kivhost::bind_callbacks(nullptr, nullptr);
    dlclose(lib);
    if (out_fd >= 0) close(out_fd);
    fputs(sink.summary(elapsed).c_str(), tty);
    fprintf(tty, "kivhost: %s\n", logs().c_str());
    return status;
}
