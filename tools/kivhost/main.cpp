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

#include <cjson/cJSON.h>

#include "check_config.h"
#include "ecs.h"
#include "health.h"
#include "limit_report.h"
#include "host_core.h"
#include "metrics.h"

namespace {

std::atomic<int> s_stop_signal{0};
std::atomic<bool> s_reopen{false};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

void on_signal(int sig) {
    s_stop_signal.store(sig, std::memory_order_relaxed);
}

void on_hangup(int) {
    s_reopen.store(true, std::memory_order_relaxed);
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
std::string stats_head(const kivhost::Delivery &delivery, double elapsed, const char *lib_version) {
    char line[256];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char when[40];
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S%z", &tm);
    snprintf(line, sizeof line, "# kivhost %s, libqxkiv %s, pid %ld, written %s\n", KIVHOST_VERSION,
             lib_version ? lib_version : "?", static_cast<long>(getpid()), when);
    return line + delivery.summary(elapsed);
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

// At a stop, how long an output that confirms deliveries (Kafka) may take for what it holds;
// what is left stays in its spool for the next start.
constexpr int kStopWaitMs = 10000;

int64_t wall_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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

    if (opt.outputs.empty()) opt.outputs.emplace_back("-");
    bool docs_on_stdout = false;
    for (const std::string &o : opt.outputs)
        docs_on_stdout |= kivhost::out_kind(o) == kivhost::OutKind::kStdout;
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
        quiet = divert_echo(log_dir, console, docs_on_stdout, &out_fd, &why);
        if (!quiet)
            fprintf(kivhost::term(),
                    "kivhost: cannot write %s (%s): the library's echo stays on the terminal\n",
                    console.c_str(), why.c_str());
    }
    if (quiet || !docs_on_stdout) {
        // The documents leave through files, sockets or the copy of standard output.
    } else {
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

    // The outputs, each with its sink, queue and spool; a bad setting stops the agent before
    // the sensor starts.
    kivhost::HostIdentity identity = kivhost::probe_identity();
    const std::string spool_root = opt.spool_dir.empty() ? root + "/var/spool" : opt.spool_dir;
    kivhost::Delivery delivery;
    {
        const char *no_color = getenv("NO_COLOR"), *term_name = getenv("TERM");
        const bool colour = opt.compact && out_fd >= 0 && isatty(out_fd) &&
                            (no_color == nullptr || *no_color == '\0') &&
                            !(term_name && strcmp(term_name, "dumb") == 0);
        int files = 0;
        for (const std::string &o : opt.outputs) {
            const kivhost::OutKind kind = kivhost::out_kind(o);
            kivhost::OutputConfig oc;
            oc.spool_max_bytes = uint64_t(opt.spool_max_mb) << 20;
            oc.spool_sync_ms = opt.spool_sync_ms;
            oc.replay_rate = opt.spool_replay_rate;
            oc.queue_max_bytes = uint64_t(opt.queue_mb) << 20;
            std::unique_ptr<kivhost::Sink> sink;
            std::string detail;
            if (kind == kivhost::OutKind::kStdout) {
                oc.name = "stdout";  // a terminal or a pipe keeps nothing for later
                kivhost::FileSinkConfig fc;
                fc.fd = out_fd, fc.compact = opt.compact, fc.colour = colour;
                sink = kivhost::make_file_sink(fc);
            } else if (kind == kivhost::OutKind::kFile) {
                oc.name = ++files == 1 ? "file" : "file" + std::to_string(files);
                // The spool follows the file's name, not the order of the options.
                std::string key = o;
                for (char &c : key)
                    if (c == '/') c = '_';
                oc.spool_dir = spool_root + "/file-" + key.substr(0, 200);
                kivhost::FileSinkConfig fc;
                fc.path = o, fc.append = opt.append, fc.compact = opt.compact;
                fc.rotate_bytes = uint64_t(opt.rotate_mb) << 20;
                fc.rotate_keep = opt.rotate_keep, fc.rotate_compress = opt.rotate_compress;
                sink = kivhost::make_file_sink(fc);
                detail = " " + o;
            } else if (kind == kivhost::OutKind::kSyslog) {
                oc.name = "syslog";
                oc.spool_dir = spool_root + "/syslog";
                kivhost::SyslogConfig sc;
                sc.dgram_path = opt.syslog_socket;
                sc.stream_path = opt.syslog_stream;
                sc.dgram_max = opt.syslog_max;
                sink = std::make_unique<kivhost::SyslogSink>(sc);
            } else {
                oc.name = "kafka";
                oc.spool_dir = spool_root + "/kafka";
                oc.write_ahead = true;
                kivhost::KafkaConfig kc;
                kc.brokers = opt.kafka_brokers, kc.topic = opt.kafka_topic;
                kc.options = opt.kafka_options, kc.key = identity.uuid;
                sink = kivhost::make_kafka_sink(kc);
                detail = " " + opt.kafka_brokers;
            }
            auto out = std::make_unique<kivhost::Output>(oc, std::move(sink));
            std::string why, warn;
            if (out->open(&why, &warn) != 0) {
                fprintf(kivhost::term(), "kivhost: cannot open output %s%s: %s\n", oc.name.c_str(),
                        detail.c_str(), why.c_str());
                // A file may be there on the next try; a bad Kafka setting will not be.
                return kind == kivhost::OutKind::kKafka ? 2 : 1;
            }
            if (!warn.empty())
                fprintf(kivhost::term(), "kivhost: output %s: %s\n", oc.name.c_str(), warn.c_str());
            if (out->spool() && out->spool()->pending() != 0)
                fprintf(kivhost::term(),
                        "kivhost: output %s: %llu documents an earlier run kept in %s go first\n",
                        oc.name.c_str(), static_cast<unsigned long long>(out->spool()->pending()),
                        out->spool()->dir().c_str());
            delivery.add(std::move(out));
        }
    }
    delivery.set_only(opt.only);
    if (opt.ecs) {
        // Shaped once, before the outputs: the sequence number goes in as the dispatcher
        // gives it, where the mapping put a stand-in.
        auto o = std::make_shared<kivhost::EcsOptions>();
        kivhost::probe_ecs_host(o.get());
        o->community_id_seed = static_cast<uint16_t>(opt.community_id_seed);
        o->host_id = identity.uuid, o->agent_version = KIVHOST_VERSION;
        for (size_t at = 0; at <= identity.ip_list.size();) {
            size_t comma = identity.ip_list.find(',', at);
            if (comma == std::string::npos) comma = identity.ip_list.size();
            if (comma > at) o->host_ips.push_back(identity.ip_list.substr(at, comma - at));
            at = comma + 1;
        }
        delivery.set_shape(kivhost::ecs_shape(o));
    }
    // Document numbers for the life of the installation, kept beside the spools.
    kivhost::SeqStore seq_store(spool_root + "/seq");
    uint64_t seq_start = 0, seq_skipped_from = 0;
    {
        for (size_t at = 1; (at = spool_root.find('/', at)) != std::string::npos; ++at)
            mkdir(spool_root.substr(0, at).c_str(), 0750);
        mkdir(spool_root.c_str(), 0700);
        if (int e = seq_store.load(identity.uuid, &seq_start, &seq_skipped_from))
            fprintf(kivhost::term(),
                    "kivhost: cannot keep the document numbers in %s/seq (%s): seq_id starts "
                    "at %llu and may repeat after a restart\n",
                    spool_root.c_str(), strerror(e), static_cast<unsigned long long>(seq_start));
        delivery.set_seq(seq_start, &seq_store);
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
    // SIGHUP reopens the output files (logrotate's create mode); it no longer ends the agent.
    sa.sa_handler = on_hangup;
    sigaction(SIGHUP, &sa, nullptr);
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

    for (auto &o : delivery.outputs()) o->start();
    kivhost::bind_callbacks(&delivery, &identity);
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
                                            kivhost::metrics_text(delivery, up, v, api.stats_line))
                    : kivhost::write_stats_file(opt.stats_file, stats_head(delivery, up, v),
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
        std::string doc = health.check(kivhost::read_losses(api.stats_line, ring_stats, delivery),
                                       std::chrono::duration<double>(now - t0).count(), at_stop,
                                       [&] { return kivhost::limit_drops_json(limit_drops); });
        if (!doc.empty())
            delivery.upload(doc.data(), static_cast<uint32_t>(doc.size()), kivhost::kHealthType);
    };
    // An output going down or coming back is said at once, whatever the interval.
    kivhost::OutputWatch watch;
    auto check_outputs = [&] {
        for (const std::string &doc : watch.check(delivery, wall_ms()))
            delivery.upload(doc.data(), static_cast<uint32_t>(doc.size()), kivhost::kHealthType);
    };
    check_outputs();  // the baseline
    if (seq_skipped_from != seq_start) {
        // The last run did not stop cleanly: the numbers it had reserved are not used.
        cJSON *body = cJSON_CreateObject();
        cJSON_AddStringToObject(body, "last_stop", "unclean");
        cJSON_AddNumberToObject(body, "seq_unused_from", double(seq_skipped_from));
        cJSON_AddNumberToObject(body, "seq_resumes_at", double(seq_start));
        std::string doc = kivhost::health_document("start", body);
        if (!doc.empty())
            delivery.upload(doc.data(), static_cast<uint32_t>(doc.size()), kivhost::kHealthType);
    }

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
        bool requested = false;
        while (!delivery.fatal()) {
            if (s_stop_signal.load(std::memory_order_relaxed) != 0) {
                requested = true;
                break;
            }
            auto now = std::chrono::steady_clock::now();
            if (opt.seconds != 0 && now >= deadline) {
                requested = true;
                break;
            }
            if (s_reopen.exchange(false)) {
                fprintf(tty, "kivhost: SIGHUP: reopening the output files\n");
                for (auto &o : delivery.outputs()) o->request_reopen();
            }
            delivery.tick();
            check_outputs();
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
        if (!requested) {
            // Nothing asked for this stop: the unit starts the agent again.
            for (auto &o : delivery.outputs())
                if (o->fatal())
                    fprintf(tty, "kivhost: output %s cannot work again (%s), stopping\n",
                            o->name().c_str(), strerror(o->stats().last_err));
            status = 1;
        }
        // What was lost since the last check, while the stand-in's rings are still there.
        check_health(std::chrono::steady_clock::now(), true);
    }

    api.exit();
    check_outputs();
    // What the outputs still hold goes out, or into their spools for the next start.
    delivery.stop(kStopWaitMs);
    // The final counters, after shut-down has uploaded what was still waiting.
    if (!opt.stats_file.empty()) write_stats(std::chrono::steady_clock::now());
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    kivhost::bind_callbacks(nullptr, nullptr);
    dlclose(lib);
    if (out_fd >= 0) close(out_fd);
    fputs(delivery.summary(elapsed).c_str(), tty);
    fprintf(tty, "kivhost: %s\n", logs().c_str());
    return status;
}
