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
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "check_config.h"
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
    fprintf(stderr, "kivhost: %s not found in the library: %s\n", name, e ? e : "null symbol");
    return false;
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
            fprintf(stderr, "kivhost: %s\n\n%s", err.c_str(), kivhost::usage_text(argv[0]).c_str());
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
    int out_fd = -1;
    if (to_syslog) {
        // The documents leave through sockets; standard output stays the library's echo.
    } else if (opt.output.empty()) {
        // The library echoes its most severe log lines to standard output through stdio, which
        // would land between and inside documents. Documents keep a private copy of the
        // descriptor; descriptor 1 is pointed at standard error before the library is loaded.
        fflush(stdout);
        out_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (out_fd < 0) {
            fprintf(stderr, "kivhost: standard output is not usable: %s\n", strerror(errno));
            return 1;
        }
        if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            // No standard error either: the echo goes nowhere rather than into the documents.
            int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) {
                fprintf(stderr, "kivhost: cannot move standard output aside: %s\n",
                        strerror(errno));
                return 1;
            }
            close(null_fd);
        }
        // Whole lines on the shared descriptor, not 4 KiB blocks cut mid-line.
        setvbuf(stdout, nullptr, _IOLBF, 0);
    } else {
        std::string why;
        out_fd = kivhost::open_output(opt.output, opt.append, &why);
        if (out_fd < 0) {
            fprintf(stderr, "kivhost: cannot open output %s: %s\n", opt.output.c_str(),
                    why.c_str());
            return 1;
        }
    }

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
        fprintf(stderr,
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
    auto lib_version = reinterpret_cast<decltype(&kiv_version)>(dlsym(lib, "kiv_version"));

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
    kivhost::bind_callbacks(&sink, &identity);
    fprintf(stderr, "kivhost: host %s, ip %s (%s)\n", identity.uuid.c_str(), identity.ip.c_str(),
            identity.ip_list.c_str());

    // The tree root, spelled without "bin/.." so the operator can paste it.
    char root_buf[PATH_MAX];
    const std::string root =
        realpath((dir + "/..").c_str(), root_buf) != nullptr ? root_buf : dir + "/..";
    // log_path in sensor.conf may move it; the shipped configuration logs under logs/.
    const std::string log_hint = root + "/logs/";
    auto t0 = std::chrono::steady_clock::now();
    int rc = api.init();
    if (rc != 0) {
        const char *why = api.last_error ? api.last_error() : nullptr;
        if (why && *why) fprintf(stderr, "kivhost: the sensor did not start: %s\n", why);
        fprintf(stderr,
                "kivhost: init_mod_manager failed (%d): see the sensor log in %s (log_path in "
                "%s/config/sensor.conf)\n",
                rc, log_hint.c_str(), root.c_str());
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
            fprintf(stderr, "kivhost: cannot write the statistics file %s: %s\n",
                    opt.stats_file.c_str(), strerror(e));
        stats_failing = e != 0;
    };
    if (api.reg_upload(kivhost::kivhost_upload) != 0 ||
        api.reg_host_state(kivhost::kivhost_host_state) != 0) {
        fprintf(stderr, "kivhost: registering the callbacks failed\n");
        status = 1;
    } else if (api.set_mask(opt.mask) != 0) {
        fprintf(stderr, "kivhost: set_module(0x%X) failed: see the sensor log in %s\n", opt.mask,
                log_hint.c_str());
        status = 1;
    }

    if (status == 0) {
        if (opt.seconds != 0)
            fprintf(stderr, "kivhost: sensor started (mask 0x%X), stopping in %u s\n", opt.mask,
                    opt.seconds);
        else
            fprintf(stderr, "kivhost: sensor started (mask 0x%X), Ctrl-C stops it\n", opt.mask);
        auto deadline = t0 + std::chrono::seconds(opt.seconds);
        auto next_stats = t0;  // at once, so the file is there from the start
        while (s_stop_signal.load(std::memory_order_relaxed) == 0 && !sink.failed()) {
            auto now = std::chrono::steady_clock::now();
            if (opt.seconds != 0 && now >= deadline) break;
            if (!opt.stats_file.empty() && now >= next_stats) {
                next_stats = now + std::chrono::seconds(opt.stats_interval);
                write_stats(now);
            }
            struct timespec step = {0, 100 * 1000 * 1000};
            nanosleep(&step, nullptr);  // a signal cuts the step short
        }
        if (int sig = s_stop_signal.load())
            fprintf(stderr, "kivhost: %s, stopping\n", strsignal(sig));
        if (sink.failed())
            fprintf(stderr, "kivhost: writing the output failed (%s), stopping\n",
                    strerror(sink.failed_errno()));
    }

    api.exit();
    // The final counters, after shut-down has uploaded what was still waiting.
    if (!opt.stats_file.empty()) write_stats(std::chrono::steady_clock::now());
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    kivhost::bind_callbacks(nullptr, nullptr);
    dlclose(lib);
    if (out_fd >= 0) close(out_fd);
    fputs(sink.summary(elapsed).c_str(), stderr);
    fprintf(stderr, "kivhost: sensor log in %s\n", log_hint.c_str());
    return status;
}
