#include "host_core.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>
#include <vector>

#include "view.h"

namespace kivhost {

namespace {

constexpr const char *kTypeNames[UPLOAD_TYPE_MAX_] = {
    "APP_LOG",
    "FILE_MOD",
    "PROC_EXEC",
    "NET_SCAN",
    "NET_LISTENING",
    "NET_CONNECT",
    "DNS_QUERY",
    "CAP_FLUX",
    "ETW",
    "ETW_EVENT",
    "FILE_DELETE",
    "FILE_CRATE",
    "FILE_MOVE",
    "PROC_EXIT",
    "SYSCALL_SOCKET",
    "SYSCALL_PTRACE",
    "SYSCALL_USERFAULTFD",
    "SYSCALL_CORE_PATTERN",
    "SYSCALL_CONNECT",
    "SELF_PROTECT_BLOCK",
    "NORMAL_PROTECTION_BLOCK",
};

// Value of an option: "--opt=value" or the next argument.
bool take_value(std::string_view arg, std::string_view name, int argc, const char *const *argv,
                int *i, const char **value) {
    if (arg == name) {
        if (*i + 1 >= argc) return false;
        *value = argv[++*i];
        return true;
    }
    *value = argv[*i] + name.size() + 1;
    return true;
}

bool matches(std::string_view arg, std::string_view name) {
    return arg == name || (arg.size() > name.size() && arg.substr(0, name.size()) == name &&
                           arg[name.size()] == '=');
}

}  // namespace

bool parse_number(const char *text, bool allow_hex, uint64_t max, uint64_t *out) {
    if (text == nullptr || *text == '\0') return false;
    unsigned base = 10;
    if (allow_hex && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
        if (*text == '\0') return false;
    }
    uint64_t v = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        unsigned d;
        if (*p >= '0' && *p <= '9') {
            d = *p - '0';
        } else if (base == 16 && *p >= 'a' && *p <= 'f') {
            d = *p - 'a' + 10;
        } else if (base == 16 && *p >= 'A' && *p <= 'F') {
            d = *p - 'A' + 10;
        } else {
            return false;
        }
        if (v > (max - d) / base) return false;
        v = v * base + d;
    }
    *out = v;
    return true;
}

Parse parse_options(int argc, const char *const *argv, Options *opt, std::string *err) {
    *opt = Options{};
    bool syslog_opt = false, interval_opt = false, version = false;
    // Numbers with a range: the option, its bounds, hex allowed, where it goes.
    struct NumOpt {
        const char *name;
        uint64_t min, max;
        bool hex;
        uint32_t *dst;
        const char *need;
    };
    const NumOpt nums[] = {
        {"--seconds", 0, UINT32_MAX, false, &opt->seconds,
         "a whole number of seconds (0 = until a signal)"},
        // Only four switches exist; a wider mask is a typo, not a request.
        {"--mask", 0, 0xF, true, &opt->mask, "a number from 0 to 0xF (decimal or 0x hex)"},
        {"--syslog-max", kSyslogMinMax, kSyslogMaxMax, false, &opt->syslog_max,
         "a datagram size in bytes from 480 to 262144"},
        {"--stats-interval", 1, 86400, false, &opt->stats_interval,
         "a number of seconds from 1 to 86400"},
        {"--health-interval", 0, 86400, false, &opt->health_interval,
         "a number of seconds from 0 (no health documents) to 86400"},
    };
    struct PathOpt {
        const char *name;
        std::string *dst;
        bool socket;
    };
    const PathOpt paths[] = {
        {"--output", &opt->output, false},
        {"--lib", &opt->lib, false},
        {"--syslog-socket", &opt->syslog_socket, true},
        {"--syslog-stream", &opt->syslog_stream, true},
        {"--stats-file", &opt->stats_file, false},
    };
    // One of two words: the first leaves *dst false, the second sets it.
    struct ChoiceOpt {
        const char *name, *no, *yes;
        bool *dst;
    };
    const ChoiceOpt choices[] = {
        {"--format", "json", "compact", &opt->compact},
        {"--stats-format", "text", "openmetrics", &opt->stats_openmetrics},
    };
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        const char *value = nullptr;
        if (arg == "--help" || arg == "-h") return Parse::kHelp;
        if (arg == "--version") {
            version = true;
            continue;
        }
        if (arg == "--append" || arg == "--check-config" || arg == "--verbose") {
            (arg == "--append"    ? opt->append
             : arg == "--verbose" ? opt->verbose
                                  : opt->check_config) = true;
            continue;
        }
        if (matches(arg, "--only")) {
            if (!take_value(arg, "--only", argc, argv, &i, &value)) {
                *err = "--only needs a list of document types";
                return Parse::kError;
            }
            if (!parse_only(value, &opt->only, err)) return Parse::kError;
            continue;
        }
        if (matches(arg, "--append") || matches(arg, "--version") || matches(arg, "--help") ||
            matches(arg, "--check-config") || matches(arg, "--verbose")) {
            *err = std::string(arg.substr(0, arg.find('='))) + " takes no value";
            return Parse::kError;
        }
        bool known = false;
        for (const ChoiceOpt &o : choices) {
            if (!matches(arg, o.name)) continue;
            known = true;
            if (!take_value(arg, o.name, argc, argv, &i, &value) ||
                (strcmp(value, o.no) != 0 && strcmp(value, o.yes) != 0)) {
                *err = std::string(o.name) + " needs " + o.no + " or " + o.yes;
                return Parse::kError;
            }
            *o.dst = strcmp(value, o.yes) == 0;
            interval_opt |= o.dst == &opt->stats_openmetrics;
        }
        for (const NumOpt &o : nums) {
            if (known) break;
            if (!matches(arg, o.name)) continue;
            known = true;
            uint64_t n = 0;
            if (!take_value(arg, o.name, argc, argv, &i, &value) ||
                !parse_number(value, o.hex, o.max, &n) || n < o.min) {
                *err = std::string(o.name) + " needs " + o.need;
                return Parse::kError;
            }
            *o.dst = static_cast<uint32_t>(n);
            syslog_opt |= o.dst == &opt->syslog_max;
            interval_opt |= o.dst == &opt->stats_interval;
        }
        for (const PathOpt &o : paths) {
            if (known || !matches(arg, o.name)) continue;
            known = true;
            if (!take_value(arg, o.name, argc, argv, &i, &value) || *value == '\0') {
                *err = std::string(o.name) + " needs a file path";
                return Parse::kError;
            }
            // Socket addresses hold 107 bytes and a terminator.
            if (o.socket && strlen(value) >= sizeof(sockaddr_un::sun_path)) {
                *err = std::string(o.name) + " path is longer than 107 bytes";
                return Parse::kError;
            }
            *o.dst = value;
            syslog_opt |= o.socket;
        }
        if (!known) {
            *err = "unknown option '" + std::string(arg) + "'";
            return Parse::kError;
        }
    }
    // Options that would be ignored are mistakes the operator wants to hear about.
    const bool to_syslog = opt->output == "syslog";
    if (syslog_opt && !to_syslog) {
        *err = "--syslog-socket, --syslog-stream and --syslog-max need --output syslog";
        return Parse::kError;
    }
    if (opt->append && (opt->output.empty() || to_syslog)) {
        *err = "--append needs --output FILE";
        return Parse::kError;
    }
    if (opt->compact && to_syslog) {
        *err = "--format compact is for people: it needs standard output or --output FILE";
        return Parse::kError;
    }
    if (interval_opt && opt->stats_file.empty()) {
        *err = "--stats-interval and --stats-format need --stats-file";
        return Parse::kError;
    }
    return version ? Parse::kVersion : Parse::kRun;
}

std::string usage_text(const char *prog) {
    std::string u = "Usage: ";
    u += prog;
    u += " [OPTIONS]\n"
         "Loads libqxkiv.so, starts the sensor and writes every uploaded document as one line\n"
         "of JSON (NDJSON), or sends it to syslog. Stops after --seconds or on SIGINT/SIGTERM,\n"
         "then prints a summary (documents per upload type, bytes, uploads refused) to\n"
         "standard error.\n"
         "\n"
         "  --seconds N     run N seconds, then stop (default 0: until SIGINT/SIGTERM)\n"
         "  --output FILE   write the documents to FILE (truncated) instead of standard output\n"
         "  --append        with --output FILE: add to what FILE holds instead of truncating\n"
         "  --output syslog send each document as one RFC 5424 message (app name \"qxkiv\",\n"
         "                  message id the upload type) to the local syslog socket; a file\n"
         "                  named syslog is ./syslog\n"
         "  --syslog-socket PATH   datagram socket (default /dev/log)\n"
         "  --syslog-stream PATH   stream socket for messages longer than --syslog-max, framed\n"
         "                  by octet counting (RFC 6587); without it such documents are\n"
         "                  refused and counted, never cut\n"
         "  --syslog-max N  longest datagram in bytes, 480..262144 (default 8192, rsyslog's\n"
         "                  default maxMessageSize)\n"
         "  --stats-file PATH  write the counters (documents, the library's events, drops and\n"
         "                  memory per category) to PATH, replaced whole, every\n"
         "  --stats-interval N seconds (1..86400, default 60) and at the stop\n"
         "  --stats-format F   text (default: name(explanation): value) or openmetrics\n"
         "                  (Prometheus text format, for node_exporter's textfile collector)\n"
         "  --format F      json (default: one document per line, NDJSON) or compact (one\n"
         "                  line per document for people: time, type, pid, process, then what\n"
         "                  matters; coloured on a terminal)\n"
         "  --only TYPES    only these document types, comma-separated upload type names\n"
         "                  (PROC_EXEC,DNS_QUERY,...; SENSOR_HEALTH for the health document)\n"
         "  --health-interval N  when a loss counter moved (ring refusals, fanotify or eBPF\n"
         "                  overflow, uploads refused, records dropped for full tables), one\n"
         "                  SENSOR_HEALTH document per N seconds (0..86400, default 60; 0 off)\n"
         "  --verbose       keep the library's echo of its log lines on the terminal\n"
         "  --mask M        delivery switches for set_module, decimal or 0x hex, 0..0xF\n"
         "                  (default 0xF; bit 3 runs the log collector)\n"
         "  --lib PATH      library to load (default: <dir of kivhost>/../lib/libqxkiv.so)\n"
         "  --check-config  read every configuration file as the sensor would, print each\n"
         "                  problem (file, key, value, what is used instead) and exit: 0\n"
         "                  none, 1 problems found; the sensor is not started\n"
         "  --version       print kivhost's and the library's versions and exit\n"
         "  -h, --help      show this help and exit\n"
         "\n"
         "Standard output carries the documents and nothing else. The library's own echo of\n"
         "its log lines goes to console.log in the sensor's log directory; with --verbose it\n"
         "goes to standard error (to standard output with --output FILE or syslog).\n"
         "kivhost's own lines (started, stopping, the summary, errors) are on standard error.\n"
         "\n"
         "A second SIGINT during shut-down ends the agent at once. The sensor starts once\n"
         "per process: after exit_mod_manager, init_mod_manager returns 0 and starts\n"
         "nothing, so restarting means running kivhost again. The sensor reads its\n"
         "configuration from <dir of kivhost>/../config/ and logs to the directory set there.\n"
         "Exit status: 0 clean stop, 1 the library could not be loaded or started, 2 bad\n"
         "options. Syslog deliveries that fail are counted as refused uploads; the agent\n"
         "keeps running and reconnects.\n";
    return u;
}

int type_slot(int32_t type) {
    return type >= 0 && type < UPLOAD_TYPE_MAX_ ? type
           : type == kHealthType                ? kHealthSlot
                                                : kUnknownSlot;
}

const char *slot_name(int slot) {
    return slot >= 0 && slot < UPLOAD_TYPE_MAX_ ? kTypeNames[slot]
           : slot == kHealthSlot                ? "SENSOR_HEALTH"
                                                : "UNKNOWN";
}

const char *upload_type_name(int32_t type) {
    return slot_name(type_slot(type));
}

namespace {
std::atomic<FILE *> s_term{nullptr};
}

FILE *term() {
    FILE *f = s_term.load(std::memory_order_relaxed);
    return f ? f : stderr;
}

void set_term(FILE *f) {
    s_term.store(f, std::memory_order_relaxed);
}

bool split_stats_line(std::string_view line, std::string_view *name, std::string_view *text,
                      long long *value) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    size_t open = line.find('('), close = line.rfind("): ");
    if (open == 0 || open == std::string_view::npos || close == std::string_view::npos ||
        close < open)
        return false;
    std::string digits(line.substr(close + 3));
    char *end = nullptr;
    *value = strtoll(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0') return false;
    *name = line.substr(0, open);
    *text = line.substr(open + 1, close - open - 1);
    return true;
}

std::string sensor_log_dir(const std::string &exe_dir) {
    std::string path = "@/../logs/sensor.log";
    std::ifstream conf(exe_dir + "/../config/sensor.conf");
    bool base = false;
    auto trim = [](std::string s) {
        size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
        return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
    };
    for (std::string line; std::getline(conf, line);) {
        line = trim(line);
        if (!line.empty() && line[0] == '[') base = line == "[base]";
        size_t eq = line.find('=');
        if (!base || eq == std::string::npos || trim(line.substr(0, eq)) != "log_path") continue;
        std::string v = trim(line.substr(eq + 1));
        if (!v.empty()) path = v;
    }
    return path[0] == '@' ? exe_dir + "/" + path.substr(1) : path;
}

int write_fully(int fd, const char *a, size_t alen, const char *b, size_t blen) {
    struct iovec iov[2] = {{const_cast<char *>(a), alen}, {const_cast<char *>(b), blen}};
    struct iovec *cur = iov;
    int left = 2;
    while (left > 0) {
        if (cur->iov_len == 0) {
            ++cur;
            --left;
            continue;
        }
        ssize_t n = writev(fd, cur, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // An inherited non-blocking descriptor: wait until it drains.
                struct pollfd p = {fd, POLLOUT, 0};
                if (poll(&p, 1, -1) < 0 && errno != EINTR) return errno;
                continue;
            }
            return errno;
        }
        size_t done = static_cast<size_t>(n);
        while (left > 0 && done >= cur->iov_len) {
            done -= cur->iov_len;
            ++cur;
            --left;
        }
        if (left > 0) {
            cur->iov_base = static_cast<char *>(cur->iov_base) + done;
            cur->iov_len -= done;
        }
    }
    return 0;
}

int Sink::write_document(const char *text, uint32_t len, int32_t type) {
    if (text == nullptr) {
        refused_.fetch_add(1, std::memory_order_relaxed);
        return -1;
    }
    const int slot = type_slot(type);
    if (only_ != 0 && (only_ & (1u << slot)) == 0) {
        left_out_.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    // Unformatted JSON has no raw line breaks; should one slip in, it must not split the line.
    std::string flat;
    const char *out = text;
    if (memchr(text, '\n', len) != nullptr || memchr(text, '\r', len) != nullptr) {
        flat.assign(text, len);
        for (char &c : flat)
            if (c == '\n' || c == '\r') c = ' ';
        out = flat.data();
    }
    std::string line;
    if (compact_) {
        line = compact_line(out, len, type, colour_);
        out = line.data(), len = static_cast<uint32_t>(line.size());
    }
    bool fatal = false;
    int rc = failed() ? EPIPE : deliver(out, len, type, &fatal);
    if (rc != 0) {
        if (fatal && !failed_.exchange(true)) failed_errno_.store(rc);
        refused_.fetch_add(1, std::memory_order_relaxed);
        return -1;
    }
    docs_[slot].fetch_add(1, std::memory_order_relaxed);
    bytes_.fetch_add(len, std::memory_order_relaxed);
    return 0;
}

int NdjsonSink::deliver(const char *text, uint32_t len, int32_t, bool *fatal) {
    std::lock_guard<std::mutex> lock(write_mu_);
    int rc = write_fully(fd_, text, len, "\n", 1);
    *fatal = rc != 0;
    return rc;
}

std::string Sink::summary(double elapsed_s) const {
    uint64_t total = 0;
    for (int i = 0; i < kSlots; ++i) total += documents(i);
    char line[160];
    snprintf(line, sizeof line,
             "kivhost: %.1f s, %llu documents, %llu bytes, %llu uploads refused\n", elapsed_s,
             static_cast<unsigned long long>(total), static_cast<unsigned long long>(bytes()),
             static_cast<unsigned long long>(refused()));
    std::string s = line;
    for (int i = 0; i < kSlots; ++i) {
        if (documents(i) == 0) continue;
        snprintf(line, sizeof line, "  %-24s %llu\n", slot_name(i),
                 static_cast<unsigned long long>(documents(i)));
        s += line;
    }
    if (left_out() != 0) s += "  left out by --only: " + std::to_string(left_out()) + "\n";
    return s + summary_extra();
}

std::string syslog_header(int32_t type, int64_t sec, long usec, long gmtoff_s,
                          const std::string &host, long pid) {
    const long off_min = gmtoff_s / 60;  // RFC 3339 offsets have no seconds
    time_t shown = static_cast<time_t>(sec + off_min * 60);
    struct tm tm;
    gmtime_r(&shown, &tm);
    const long abs_min = off_min < 0 ? -off_min : off_min;
    char head[96];
    snprintf(head, sizeof head, "<14>1 %04d-%02d-%02dT%02d:%02d:%02d.%06ld%c%02ld:%02ld ",
             tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, usec,
             off_min < 0 ? '-' : '+', abs_min / 60, abs_min % 60);
    std::string h = head;
    // HOSTNAME is 1 to 255 printable ASCII characters, or "-".
    std::string name = host.substr(0, 255);
    for (char &c : name)
        if (c < 33 || c > 126) c = '_';
    h += name.empty() ? "-" : name;
    h += " qxkiv " + std::to_string(pid) + " " + upload_type_name(type) + " - ";
    return h;
}

std::string octet_frame(const std::string &msg) {
    return std::to_string(msg.size()) + " " + msg;
}

namespace {

// A connected unix socket of the given type with send time-out, or -errno.
int connect_unix(const std::string &path, int type, int timeout_ms) {
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) {
        close(fd);
        return -ENAMETOOLONG;
    }
    memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    return fd;
}

// The whole of data on a stream socket; a closed peer is EPIPE, not a signal. 0 or an errno.
int send_fully(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;  // EAGAIN here is the send time-out: a stalled daemon
        done += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

SyslogSink::SyslogSink(SyslogConfig cfg) : cfg_(std::move(cfg)) {
    if (cfg_.host.empty()) {
        char name[256] = {};
        if (gethostname(name, sizeof name - 1) == 0) cfg_.host = name;
    }
}

SyslogSink::~SyslogSink() {
    if (dgram_fd_ >= 0) close(dgram_fd_);
    if (stream_fd_ >= 0) close(stream_fd_);
}

void SyslogSink::complain(int err, const char *what, uint64_t size) {
    if (err == 0) {
        if (complaining_.exchange(false)) fprintf(term(), "kivhost: syslog: delivering again\n");
        return;
    }
    unreachable_.fetch_add(1, std::memory_order_relaxed);
    // Once per outage: a daemon that is away must not flood standard error.
    if (!complaining_.exchange(true))
        fprintf(term(),
                "kivhost: syslog: %s: %s (a %llu-byte message); documents are refused and "
                "counted until it answers\n",
                what, strerror(err), static_cast<unsigned long long>(size));
}

namespace {
// Connects fd when it is not: 0, or the errno of the failure with fd left at -1.
int ensure_connected(int &fd, const std::string &path, int type, int timeout_ms) {
    if (fd >= 0) return 0;
    int r = connect_unix(path, type, timeout_ms);
    if (r < 0) return -r;
    fd = r;
    return 0;
}
}  // namespace

int SyslogSink::send_dgram(const std::string &msg) {
    std::lock_guard<std::mutex> lock(dgram_mu_);
    // A restarted daemon has a new socket: one reconnect per document.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (int e = ensure_connected(dgram_fd_, cfg_.dgram_path, SOCK_DGRAM, cfg_.timeout_ms))
            return e;
        ssize_t n;
        do {
            n = send(dgram_fd_, msg.data(), msg.size(), MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n >= 0) return static_cast<size_t>(n) == msg.size() ? 0 : EMSGSIZE;
        int e = errno;
        if (e == EMSGSIZE || e == EAGAIN || e == ENOBUFS) return e;
        close(dgram_fd_);
        dgram_fd_ = -1;
        if (attempt == 1) return e;
    }
    return EIO;
}

int SyslogSink::send_stream(const std::string &frame) {
    std::lock_guard<std::mutex> lock(stream_mu_);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (int e = ensure_connected(stream_fd_, cfg_.stream_path, SOCK_STREAM, cfg_.timeout_ms))
            return e;
        int e = send_fully(stream_fd_, frame);
        if (e == 0) return 0;
        // Part of a frame may have gone out: the connection's framing is lost, so it is
        // dropped and the whole frame goes again on a new one.
        close(stream_fd_);
        stream_fd_ = -1;
        if (attempt == 1) return e;
    }
    return EIO;
}

int SyslogSink::deliver(const char *text, uint32_t len, int32_t type, bool *fatal) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm local;
    localtime_r(&ts.tv_sec, &local);
    std::string msg = syslog_header(type, ts.tv_sec, ts.tv_nsec / 1000, local.tm_gmtoff, cfg_.host,
                                    static_cast<long>(getpid()));
    msg.append(text, len);
    *fatal = false;
    int rc = msg.size() <= cfg_.dgram_max ? send_dgram(msg) : EMSGSIZE;
    if (rc == 0) {
        complain(0, nullptr, 0);
        return 0;
    }
    if (rc != EMSGSIZE) {
        complain(rc, cfg_.dgram_path.c_str(), msg.size());
        return rc;
    }
    if (cfg_.stream_path.empty()) {
        too_long_.fetch_add(1, std::memory_order_relaxed);
        if (!told_too_long_.exchange(true))
            fprintf(term(),
                    "kivhost: syslog: a %zu-byte message is longer than --syslog-max %u and no "
                    "--syslog-stream is set: refused and counted (also later ones)\n",
                    msg.size(), cfg_.dgram_max);
        return EMSGSIZE;
    }
    rc = send_stream(octet_frame(msg));
    complain(rc, cfg_.stream_path.c_str(), msg.size());
    if (rc == 0) streamed_.fetch_add(1, std::memory_order_relaxed);
    return rc;
}

std::string SyslogSink::summary_extra() const {
    char line[200];
    snprintf(line, sizeof line,
             "  syslog: %llu over the stream socket, %llu too long for a datagram (refused), "
             "%llu not delivered (socket away or stalled)\n",
             static_cast<unsigned long long>(streamed()),
             static_cast<unsigned long long>(too_long()),
             static_cast<unsigned long long>(unreachable()));
    return line;
}

void walk_stats(StatsLineFn walk, const std::function<void(int, std::string_view)> &fn) {
    if (walk == nullptr) return;
    char small[512];
    std::vector<char> big(64 * 1024);
    // A walker that never ends must not hang the agent: far more than the library has.
    for (int index = 0, guard = 0; guard < 100000; ++guard) {
        const int before = index;
        char *line = small;
        int cap = sizeof small;
        int n = walk(line, cap, &index);
        if (n == -1) {
            line = big.data(), cap = static_cast<int>(big.size());
            n = walk(line, cap, &index);
        }
        if (n == 0) break;
        if (n < 0 || n >= cap || index != before + 1) {
            index = before + 1;
            fn(before, {});
            continue;
        }
        fn(before, std::string_view(line, static_cast<size_t>(n)));
    }
}

int write_stats_file(const std::string &path, const std::string &head, StatsLineFn walk) {
    std::string text = head;
    walk_stats(walk, [&text](int index, std::string_view line) {
        // One counter that cannot be formatted is named and skipped, not fatal.
        if (line.empty())
            text += "counter " + std::to_string(index) + ": not formatted\n";
        else
            text += line;
    });
    return replace_file(path, text);
}

int replace_file(const std::string &path, const std::string &text) {
    std::string tmp = path + ".XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    int rc = fchmod(fd, 0640) != 0 ? errno : 0;
    if (rc == 0) rc = write_fully(fd, text.data(), text.size(), "", 0);
    if (close(fd) != 0 && rc == 0) rc = errno;
    if (rc == 0 && rename(tmp.c_str(), path.c_str()) != 0) rc = errno;
    if (rc != 0) unlink(tmp.c_str());
    return rc;
}

int open_output(const std::string &path, bool append, std::string *why) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0640);
    if (fd < 0) {
        *why = errno == ELOOP ? "it is a symbolic link" : strerror(errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        *why = strerror(errno);
    } else if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
        *why = "it is not a regular file";
    } else if (st.st_uid != geteuid()) {
        *why = "it belongs to uid " + std::to_string(st.st_uid) + ", not to this agent's user";
    } else if (S_ISCHR(st.st_mode)) {
        // The agent's own device (/dev/null for a run that keeps nothing) is written as is.
        if (fcntl(fd, F_SETFL, 0) == 0) return fd;
        *why = strerror(errno);
    } else if (st.st_nlink > 1) {
        *why = "it has other hard links";
    } else if (fchmod(fd, 0640) != 0 || (!append && ftruncate(fd, 0) != 0) ||
               fcntl(fd, F_SETFL, append ? O_APPEND : 0) != 0) {
        *why = strerror(errno);
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

HostIdentity probe_identity(const char *machine_id_path) {
    HostIdentity id;
    std::ifstream f(machine_id_path);
    std::getline(f, id.uuid);
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!id.uuid.empty() && blank(id.uuid.back())) id.uuid.pop_back();
    size_t lead = 0;
    while (lead < id.uuid.size() && blank(id.uuid[lead])) ++lead;
    id.uuid.erase(0, lead);
    if (id.uuid.empty()) id.uuid = "unknown";

    // Connecting a UDP socket only picks the route: no packet leaves the host.
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        struct sockaddr_in dst = {};
        dst.sin_family = AF_INET;
        dst.sin_port = htons(53);
        dst.sin_addr.s_addr = htonl(0x08080808);
        struct sockaddr_in src = {};
        socklen_t sl = sizeof src;
        char buf[INET_ADDRSTRLEN];
        if (connect(s, reinterpret_cast<sockaddr *>(&dst), sizeof dst) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr *>(&src), &sl) == 0 &&
            src.sin_addr.s_addr != 0 && inet_ntop(AF_INET, &src.sin_addr, buf, sizeof buf))
            id.ip = buf;
        close(s);
    }

    std::vector<std::string> addrs;
    struct ifaddrs *ifs = nullptr;
    if (getifaddrs(&ifs) == 0) {
        for (struct ifaddrs *it = ifs; it != nullptr; it = it->ifa_next) {
            if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
            auto *in = reinterpret_cast<sockaddr_in *>(it->ifa_addr);
            if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
            char buf[INET_ADDRSTRLEN];
            if (inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf) == nullptr) continue;
            bool seen = false;
            for (const auto &a : addrs) seen = seen || a == buf;
            if (!seen) addrs.emplace_back(buf);
        }
        freeifaddrs(ifs);
    }
    for (const auto &a : addrs) id.ip_list += (id.ip_list.empty() ? "" : ",") + a;
    if (id.ip.empty()) id.ip = addrs.empty() ? "127.0.0.1" : addrs.front();
    if (id.ip_list.empty()) id.ip_list = id.ip;
    return id;
}

int fill_header(struct upload_header *h, const HostIdentity &id, std::atomic<uint64_t> *seq) {
    if (h == nullptr) return -1;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    // Every document asks; the text and offset change once a second.
    static thread_local time_t text_sec = -1;
    static thread_local char text[sizeof h->send_time];
    static thread_local long gmtoff;
    if (ts.tv_sec != text_sec) {
        struct tm local;
        localtime_r(&ts.tv_sec, &local);
        memset(text, 0, sizeof text);
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
        gmtoff = local.tm_gmtoff;
        text_sec = ts.tv_sec;
    }
    h->seq_id = seq->fetch_add(1, std::memory_order_relaxed);
    memcpy(h->send_time, text, sizeof h->send_time);
    h->host_uuid = id.uuid.c_str();
    h->host_ip = id.ip.c_str();
    h->ip_list = id.ip_list.c_str();
    h->tz_secondes = gmtoff;
    h->send_timestamp = static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    return 0;
}

namespace {
Sink *s_sink = nullptr;
const HostIdentity *s_identity = nullptr;
std::atomic<uint64_t> s_seq{0};
}  // namespace

void bind_callbacks(Sink *sink, const HostIdentity *id) {
    s_sink = sink;
    s_identity = id;
}

extern "C" int kivhost_upload(const char *text, uint32_t len, int32_t type, uint32_t value) {
    return s_sink != nullptr ? s_sink->write_document(text, len, type) : -1;
}

extern "C" int kivhost_host_state(struct upload_header *h) {
    return s_identity != nullptr ? fill_header(h, *s_identity, &s_seq) : -1;
}

}  // namespace kivhost
