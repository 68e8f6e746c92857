// The reference host agent's logic, kept apart from main() so the tests can drive it:
// option parsing, the upload and header callbacks, the host's identity, the statistics file.
#ifndef KIVHOST_HOST_CORE_H
#define KIVHOST_HOST_CORE_H

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include <utility>
#include <vector>

#include "delivery.h"
#include "qxkiv/qxkiv.h"
#include "sinks.h"

namespace kivhost {

struct Options {
    uint32_t seconds = 0;  // 0: until SIGINT/SIGTERM
    uint32_t mask = 0xF;
    // Where documents go, each its own output: "-" standard output, "syslog" the local syslog
    // socket, "kafka", anything else a file. None: standard output.
    std::vector<std::string> outputs;
    bool append = false;  // keep what the output files hold
    std::string lib;      // empty: <dir of executable>/../lib/libqxkiv.so
    std::string syslog_socket = "/dev/log";
    std::string syslog_stream;  // empty: too long for a datagram is refused and counted
    uint32_t syslog_max = kSyslogDefaultMax;
    std::string stats_file;  // empty: no statistics file
    uint32_t stats_interval = 60;
    bool stats_openmetrics = false;  // --stats-format openmetrics; the text format otherwise
    bool check_config = false;       // read the configuration, report, exit
    bool verbose = false;            // the library's echo stays on the terminal
    bool compact = false;            // --format compact: one line per document for people
    uint32_t only = 0;               // --only: slots shown; 0 all
    uint32_t health_interval = 60;   // seconds; 0 no health documents
    // Delivery.
    std::string spool_dir;              // empty: <installation>/var/spool
    uint32_t spool_max_mb = 256;        // 0: no spool
    uint32_t spool_sync_ms = 1000;      // 0: every append
    uint32_t spool_replay_rate = 5000;  // documents a second; 0 no cap
    uint32_t queue_mb = 8;              // memory queue per output
    std::string kafka_brokers;
    std::string kafka_topic = "qxkiv";
    std::vector<std::pair<std::string, std::string>> kafka_options;
    uint32_t rotate_mb = 0, rotate_keep = 5;
    bool rotate_compress = false;
    bool ecs = false;                 // --schema ecs: documents as ECS events
    uint32_t community_id_seed = 0;   // network.community_id's seed in ECS documents
};

// What an --output names.
enum class OutKind { kStdout, kFile, kSyslog, kKafka };
OutKind out_kind(const std::string &output);

enum class Parse { kRun, kHelp, kVersion, kError };

// Strict unsigned number: decimal, or hexadecimal with "0x" when allow_hex. No sign, no
// blanks, no trailing text, no overflow beyond max.
bool parse_number(const char *text, bool allow_hex, uint64_t max, uint64_t *out);

// Accepts "--opt value" and "--opt=value". On kError, err says what was wrong.
Parse parse_options(int argc, const char *const *argv, Options *opt, std::string *err);

std::string usage_text(const char *prog);

// Where the agent's own lines go (started, stopping, the summary, errors): the terminal, also
// after the library's echo was sent to a file. Standard error until set_term.
FILE *term();
void set_term(FILE *f);

// "NAME(explanation): value" of the statistics walk -> its parts; the explanation may hold
// parentheses itself.
bool split_stats_line(std::string_view line, std::string_view *name, std::string_view *text,
                      long long *value);

// The sensor's log directory as the library finds it: log_path of [base] in
// <exe_dir>/../config/sensor.conf, "@" standing for exe_dir; its default otherwise.
std::string sensor_log_dir(const std::string &exe_dir);

// Statistics walker with the library's kiv_stats_line contract.
using StatsLineFn = int (*)(char *buf, int buflen, int *index);
// Writes head, then every counter line of walk (if any), to path through a temporary file
// renamed over it, so a reader never sees half a file. The temporary file is created with a
// fresh name beside it (mode 0640), never opened through a name someone else may have made.
// 0 or an errno.
int write_stats_file(const std::string &path, const std::string &head, StatsLineFn walk);
// text to path the same way. 0 or an errno.
int replace_file(const std::string &path, const std::string &text);
// Every counter line of walk with its index, bounded as above; a line that could not be
// formatted comes as an empty view.
void walk_stats(StatsLineFn walk, const std::function<void(int, std::string_view)> &fn);

// This host's identity, read once; the header points into these strings for the whole run.
struct HostIdentity {
    std::string uuid;     // /etc/machine-id, trimmed; "unknown" when unreadable
    std::string ip;       // source address of the default route
    std::string ip_list;  // every non-loopback IPv4 address, comma-separated
};
HostIdentity probe_identity(const char *machine_id_path = "/etc/machine-id");

// Fills every field; seq_id is the number the next document gets (the agent numbers each
// document as it takes it). 0, or -1 for null.
int fill_header(struct upload_header *h, const HostIdentity &id, uint64_t seq);

// The C callbacks handed to the library route to these; bind before registering them.
void bind_callbacks(Delivery *delivery, const HostIdentity *id);
extern "C" int kivhost_upload(const char *text, uint32_t len, int32_t type, uint32_t value);
extern "C" int kivhost_host_state(struct upload_header *h);

}  // namespace kivhost

#endif
