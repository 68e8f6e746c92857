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

OutKind out_kind(const std::string &output) {
    return output == "-"        ? OutKind::kStdout
           : output == "syslog" ? OutKind::kSyslog
           : output == "kafka"  ? OutKind::kKafka
                                : OutKind::kFile;
}

Parse parse_options(int argc, const char *const *argv, Options *opt, std::string *err) {
    *opt = Options{};
    bool syslog_opt = false, interval_opt = false, version = false, kafka_opt = false,
         rotate_opt = false, seed_opt = false;
    // Numbers with a range: the option, its bounds, hex allowed, where it goes.
    struct NumOpt {
        const char *name;
        uint64_t min, max;
        bool hex;
        uint32_t *dst;
        const char *need;
        bool *group;  // set when given (options that need another)
    };
    const NumOpt nums[] = {
        {"--seconds", 0, UINT32_MAX, false, &opt->seconds,
         "a whole number of seconds (0 = until a signal)", nullptr},
        // Only four switches exist; a wider mask is a typo, not a request.
        {"--mask", 0, 0xF, true, &opt->mask, "a number from 0 to 0xF (decimal or 0x hex)", nullptr},
        {"--syslog-max", kSyslogMinMax, kSyslogMaxMax, false, &opt->syslog_max,
         "a datagram size in bytes from 480 to 262144", &syslog_opt},
        {"--stats-interval", 1, 86400, false, &opt->stats_interval,
         "a number of seconds from 1 to 86400", &interval_opt},
        {"--health-interval", 0, 86400, false, &opt->health_interval,
         "a number of seconds from 0 (no health documents) to 86400", nullptr},
        {"--spool-max-mb", 0, 1 << 20, false, &opt->spool_max_mb,
         "megabytes from 0 (no spool) to 1048576", nullptr},
        {"--spool-sync-ms", 0, 60000, false, &opt->spool_sync_ms,
         "milliseconds from 0 (every write) to 60000", nullptr},
        {"--spool-replay-rate", 0, 10000000, false, &opt->spool_replay_rate,
         "documents a second from 0 (no cap) to 10000000", nullptr},
        {"--queue-mb", 1, 4096, false, &opt->queue_mb, "megabytes from 1 to 4096", nullptr},
        {"--rotate-mb", 1, 1 << 20, false, &opt->rotate_mb, "megabytes from 1 to 1048576",
         &rotate_opt},
        {"--rotate-keep", 1, 1000, false, &opt->rotate_keep, "a number of files from 1 to 1000",
         &rotate_opt},
        {"--community-id-seed", 0, 65535, false, &opt->community_id_seed, "a seed from 0 to 65535",
         &seed_opt},
    };
    struct PathOpt {
        const char *name;
        std::string *dst;
        bool socket;
        bool *group;
    };
    const PathOpt paths[] = {
        {"--lib", &opt->lib, false, nullptr},
        {"--syslog-socket", &opt->syslog_socket, true, &syslog_opt},
        {"--syslog-stream", &opt->syslog_stream, true, &syslog_opt},
        {"--stats-file", &opt->stats_file, false, nullptr},
        {"--spool-dir", &opt->spool_dir, false, nullptr},
        {"--kafka-brokers", &opt->kafka_brokers, false, &kafka_opt},
        {"--kafka-topic", &opt->kafka_topic, false, &kafka_opt},
    };
    // One of two words: the first leaves *dst false, the second sets it.
    struct ChoiceOpt {
        const char *name, *no, *yes;
        bool *dst;
    };
    const ChoiceOpt choices[] = {
        {"--format", "json", "compact", &opt->compact},
        {"--stats-format", "text", "openmetrics", &opt->stats_openmetrics},
        {"--schema", "native", "ecs", &opt->ecs},
    };
    struct FlagOpt {
        const char *name;
        bool *dst;
    };
    const FlagOpt flags[] = {
        {"--append", &opt->append},
        {"--check-config", &opt->check_config},
        {"--verbose", &opt->verbose},
        {"--rotate-compress", &opt->rotate_compress},
    };
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        const char *value = nullptr;
        if (arg == "--help" || arg == "-h") return Parse::kHelp;
        if (arg == "--version") {
            version = true;
            continue;
        }
        bool known = false;
        for (const FlagOpt &f : flags) {
            if (arg == f.name) *f.dst = known = true;
            if (!known && matches(arg, f.name)) {
                *err = std::string(f.name) + " takes no value";
                return Parse::kError;
            }
        }
        rotate_opt |= arg == "--rotate-compress";
        if (known) continue;
        if (matches(arg, "--version") || matches(arg, "--help")) {
            *err = std::string(arg.substr(0, arg.find('='))) + " takes no value";
            return Parse::kError;
        }
        if (matches(arg, "--only")) {
            if (!take_value(arg, "--only", argc, argv, &i, &value)) {
                *err = "--only needs a list of document types";
                return Parse::kError;
            }
            if (!parse_only(value, &opt->only, err)) return Parse::kError;
            continue;
        }
        if (matches(arg, "--output")) {
            if (!take_value(arg, "--output", argc, argv, &i, &value) || *value == '\0') {
                *err = "--output needs a file path, -, syslog or kafka";
                return Parse::kError;
            }
            for (const std::string &o : opt->outputs)
                if (o == value) {
                    *err = "--output " + o + " is given twice";
                    return Parse::kError;
                }
            opt->outputs.emplace_back(value);
            continue;
        }
        if (matches(arg, "--kafka-options-file")) {
            // Secrets (sasl.password, ssl.key.password) stay out of the command line, which
            // every user can read in /proc.
            struct stat st {};
            if (!take_value(arg, "--kafka-options-file", argc, argv, &i, &value) ||
                *value == '\0') {
                *err = "--kafka-options-file needs a file path";
                return Parse::kError;
            }
            std::ifstream f(value);
            if (stat(value, &st) != 0 || !S_ISREG(st.st_mode) || !f) {
                *err = std::string("--kafka-options-file ") + value + ": cannot be read";
                return Parse::kError;
            }
            if (st.st_mode & S_IROTH) {
                *err = std::string("--kafka-options-file ") + value +
                       ": every user can read it; chmod o-r it";
                return Parse::kError;
            }
            int n = 0;
            for (std::string line; std::getline(f, line);) {
                ++n;
                while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
                    line.pop_back();
                size_t lead = line.find_first_not_of(" \t");
                if (lead == std::string::npos || line[lead] == '#') continue;
                size_t eq = line.find('=', lead);
                if (eq == std::string::npos || eq == lead) {
                    *err = std::string("--kafka-options-file ") + value + " line " +
                           std::to_string(n) + ": not KEY=VALUE";
                    return Parse::kError;
                }
                opt->kafka_options.emplace_back(line.substr(lead, eq - lead), line.substr(eq + 1));
            }
            kafka_opt = true;
            continue;
        }
        if (matches(arg, "--kafka-option")) {
            const char *eq = nullptr;
            if (!take_value(arg, "--kafka-option", argc, argv, &i, &value) ||
                (eq = strchr(value, '=')) == nullptr || eq == value) {
                *err = "--kafka-option needs KEY=VALUE (a librdkafka property)";
                return Parse::kError;
            }
            opt->kafka_options.emplace_back(std::string(value, eq), std::string(eq + 1));
            kafka_opt = true;
            continue;
        }
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
            if (o.group) *o.group = true;
        }
        for (const PathOpt &o : paths) {
            if (known || !matches(arg, o.name)) continue;
            known = true;
            if (!take_value(arg, o.name, argc, argv, &i, &value) || *value == '\0') {
                *err = std::string(o.name) + " needs a " +
                       (o.dst == &opt->kafka_brokers ? "list of host:port"
                        : o.dst == &opt->kafka_topic ? "topic name"
                                                     : "file path");
                return Parse::kError;
            }
            // Socket addresses hold 107 bytes and a terminator.
            if (o.socket && strlen(value) >= sizeof(sockaddr_un::sun_path)) {
                *err = std::string(o.name) + " path is longer than 107 bytes";
                return Parse::kError;
            }
            *o.dst = value;
            if (o.group) *o.group = true;
        }
        if (!known) {
            *err = "unknown option '" + std::string(arg) + "'";
            return Parse::kError;
        }
    }
    // Options that would be ignored are mistakes the operator wants to hear about.
    bool to_syslog = false, to_kafka = false, to_file = false, to_stdout = opt->outputs.empty();
    for (const std::string &o : opt->outputs) {
        const OutKind k = out_kind(o);
        to_syslog |= k == OutKind::kSyslog, to_kafka |= k == OutKind::kKafka;
        to_file |= k == OutKind::kFile, to_stdout |= k == OutKind::kStdout;
    }
    const char *mistake = nullptr;
    if (syslog_opt && !to_syslog)
        mistake = "--syslog-socket, --syslog-stream and --syslog-max need --output syslog";
    else if (opt->append && !to_file)
        mistake = "--append needs --output FILE";
    else if (rotate_opt && !to_file)
        mistake = "--rotate-mb, --rotate-keep and --rotate-compress need --output FILE";
    else if ((opt->rotate_compress || opt->rotate_keep != 5) && opt->rotate_mb == 0)
        mistake = "--rotate-keep and --rotate-compress need --rotate-mb";
    else if (opt->compact && !to_file && !to_stdout)
        mistake = "--format compact is for people: it needs standard output or --output FILE";
    else if (interval_opt && opt->stats_file.empty())
        mistake = "--stats-interval and --stats-format need --stats-file";
    else if (kafka_opt && !to_kafka)
        mistake = "--kafka-brokers, --kafka-topic and --kafka-option need --output kafka";
    else if (to_kafka && opt->kafka_brokers.empty())
        mistake = "--output kafka needs --kafka-brokers host:port[,host:port...]";
    else if (seed_opt && !opt->ecs)
        mistake =
            "--community-id-seed needs --schema ecs (native documents carry the library's "
            "Community ID, seeded by community_id_seed in net.conf)";
    else if (to_kafka && opt->spool_max_mb == 0)
        mistake = "--output kafka needs its spool: --spool-max-mb must be at least 1";
    if (mistake != nullptr) {
        *err = mistake;
        return Parse::kError;
    }
    std::string why;
    if (to_kafka && !kafka_brokers_ok(opt->kafka_brokers, &why)) {
        *err = why;
        return Parse::kError;
    }
    for (int32_t t : {0, int32_t(kHealthType)}) {
        std::string topic;
        if (to_kafka && !kafka_topic_for(opt->kafka_topic, t, &topic, &why)) {
            *err = why;
            return Parse::kError;
        }
    }
    return version ? Parse::kVersion : Parse::kRun;
}

std::string usage_text(const char *prog) {
    std::string u = "Usage: ";
    u += prog;
    u += " [OPTIONS]\n"
         "Loads libqxkiv.so, starts the sensor and delivers every uploaded document, one line\n"
         "of JSON each (NDJSON), to standard output, files, syslog or Kafka. Stops after\n"
         "--seconds or on SIGINT/SIGTERM, then prints a summary (documents per upload type,\n"
         "bytes, uploads refused, each output's counts) to standard error.\n"
         "\n"
         "  --seconds N     run N seconds, then stop (default 0: until SIGINT/SIGTERM)\n"
         "  --output WHERE  where documents go; may be given more than once, each output with\n"
         "                  its own queue, spool and counters (default: standard output):\n"
         "                  -       standard output\n"
         "                  FILE    the file FILE (truncated; a file named syslog or kafka is\n"
         "                          ./syslog or ./kafka); SIGHUP reopens it\n"
         "                  syslog  one RFC 5424 message each (app name \"qxkiv\", message id\n"
         "                          the upload type) to the local syslog socket\n"
         "                  kafka   librdkafka's idempotent producer (acks=all, zstd), message\n"
         "                          key the host's uuid\n"
         "  --append        with --output FILE: add to what FILE holds instead of truncating\n"
         "  --rotate-mb N   with --output FILE: before FILE passes N MB, it becomes FILE.1\n"
         "                  (FILE.1 becomes FILE.2 ...) and a new FILE begins\n"
         "  --rotate-keep K rotated files kept, 1..1000 (default 5)\n"
         "  --rotate-compress  rotated files are compressed with zstd (FILE.1.zst ...)\n"
         "  --syslog-socket PATH   datagram socket (default /dev/log)\n"
         "  --syslog-stream PATH   stream socket for messages longer than --syslog-max, framed\n"
         "                  by octet counting (RFC 6587); without it such documents are\n"
         "                  refused and counted, never cut\n"
         "  --syslog-max N  longest datagram in bytes, 480..262144 (default 8192, rsyslog's\n"
         "                  default maxMessageSize)\n"
         "  --kafka-brokers LIST  bootstrap brokers, host:port[,host:port...]\n"
         "  --kafka-topic NAME    topic (default qxkiv); %t is the upload type in lower case,\n"
         "                  for a topic per type (qxkiv-%t: qxkiv-proc_exec ...)\n"
         "  --kafka-option KEY=VALUE  a librdkafka property as is, repeatable: TLS with\n"
         "                  security.protocol=ssl and ssl.*, SASL with sasl.*,\n"
         "                  compression.type, linger.ms ...\n"
         "  --kafka-options-file PATH  more such properties, one KEY=VALUE a line (# starts\n"
         "                  a comment): for secrets, which every user could read on the\n"
         "                  command line; a file every user can read is refused\n"
         "  --spool-dir DIR where outputs keep what they could not deliver yet, one directory\n"
         "                  each, and the document numbers (default <installation>/var/spool)\n"
         "  --spool-max-mb N   bound of each output's spool, 0..1048576 MB (default 256; 0 no\n"
         "                  spool: documents wait in memory only); full, the oldest go\n"
         "  --spool-sync-ms N  spool written to disk at most every N ms (default 1000)\n"
         "  --spool-replay-rate N  documents a second sent from a spool once its output is\n"
         "                  back (default 5000; 0 no cap)\n"
         "  --queue-mb N    memory queue of each output, 1..4096 MB (default 8)\n"
         "  --stats-file PATH  write the counters (documents, outputs, the library's events,\n"
         "                  drops and memory per category) to PATH, replaced whole, every\n"
         "  --stats-interval N seconds (1..86400, default 60) and at the stop\n"
         "  --stats-format F   text (default: name(explanation): value) or openmetrics\n"
         "                  (Prometheus text format, for node_exporter's textfile collector)\n"
         "  --format F      json (default: one document per line, NDJSON) or compact (one\n"
         "                  line per document for people: time, type, pid, process, then what\n"
         "                  matters; coloured on a terminal), for standard output and files\n"
         "  --schema S      native (default: the documents as the library writes them) or\n"
         "                  ecs (each an Elastic Common Schema event, for every output)\n"
         "  --community-id-seed N  seed of network.community_id in ECS documents, 0..65535\n"
         "                  (default 0)\n"
         "  --only TYPES    only these document types, comma-separated upload type names\n"
         "                  (PROC_EXEC,DNS_QUERY,...; SENSOR_HEALTH for the health document)\n"
         "  --health-interval N  when a loss counter moved (ring refusals, fanotify or eBPF\n"
         "                  overflow, uploads refused, records dropped for full tables,\n"
         "                  documents an output dropped), one SENSOR_HEALTH document per N\n"
         "                  seconds (0..86400, default 60; 0 off); an output going down and\n"
         "                  coming back is reported at once\n"
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
         "Delivery: at least once, in order per host. Each document's seq_id grows by one\n"
         "for the life of the installation, so a consumer sees gaps and repeats. An output\n"
         "that fails or falls behind keeps documents in its spool and replays them, in order,\n"
         "once it takes them again (tries doubling up to 30 s, every second for files).\n"
         "\n"
         "Standard output carries the documents and nothing else. The library's own echo of\n"
         "its log lines goes to console.log in the sensor's log directory; with --verbose it\n"
         "goes to standard error (to standard output when no output is standard output).\n"
         "kivhost's own lines (started, stopping, the summary, errors) are on standard error.\n"
         "\n"
         "A second SIGINT during shut-down ends the agent at once. The sensor starts once\n"
         "per process: after exit_mod_manager, init_mod_manager returns 0 and starts\n"
         "nothing, so restarting means running kivhost again. The sensor reads its\n"
         "configuration from <dir of kivhost>/../config/ and logs to the directory set there.\n"
         "Exit status: 0 a requested stop (SIGINT, SIGTERM, --seconds), 1 the library could\n"
         "not be loaded or started, or the agent stopped for another reason (the reader of\n"
         "standard output went away), 2 bad options or output settings.\n";
    return u;
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

int fill_header(struct upload_header *h, const HostIdentity &id, uint64_t seq) {
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
    h->seq_id = seq;
    memcpy(h->send_time, text, sizeof h->send_time);
    h->host_uuid = id.uuid.c_str();
    h->host_ip = id.ip.c_str();
    h->ip_list = id.ip_list.c_str();
    h->tz_secondes = gmtoff;
    h->send_timestamp = static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    return 0;
}

namespace {
std::atomic<Delivery *> s_delivery{nullptr};
std::atomic<const HostIdentity *> s_identity{nullptr};
}  // namespace

void bind_callbacks(Delivery *delivery, const HostIdentity *id) {
    s_delivery.store(delivery);
    s_identity.store(id);
}

extern "C" int kivhost_upload(const char *text, uint32_t len, int32_t type, uint32_t value) {
    Delivery *d = s_delivery.load();
    return d != nullptr ? d->upload(text, len, type) : -1;
}

extern "C" int kivhost_host_state(struct upload_header *h) {
    const HostIdentity *id = s_identity.load();
    Delivery *d = s_delivery.load();
    return id != nullptr ? fill_header(h, *id, d != nullptr ? d->next_seq() : 0) : -1;
}

}  // namespace kivhost
