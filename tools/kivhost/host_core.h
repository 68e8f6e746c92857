// The reference host agent's logic, kept apart from main() so the tests can drive it:
// option parsing, the sinks behind the upload callback (NDJSON, syslog), the statistics file
// and the header callback.
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

#include "qxkiv/qxkiv.h"

namespace kivhost {

// Syslog datagrams at most this long by default: rsyslog's default maxMessageSize (8 KiB).
constexpr uint32_t kSyslogDefaultMax = 8192;
// RFC 5424 lets a receiver refuse anything above 480 bytes; a socket takes no more than this.
constexpr uint32_t kSyslogMinMax = 480, kSyslogMaxMax = 262144;

struct Options {
    uint32_t seconds = 0;  // 0: until SIGINT/SIGTERM
    uint32_t mask = 0xF;
    std::string output;   // empty: standard output; "syslog": the local syslog socket
    bool append = false;  // keep what the output file holds
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
    uint32_t only = 0;               // --only: Sink slots shown; 0 all
    uint32_t health_interval = 60;   // seconds; 0 no health documents
};

enum class Parse { kRun, kHelp, kVersion, kError };

// Strict unsigned number: decimal, or hexadecimal with "0x" when allow_hex. No sign, no
// blanks, no trailing text, no overflow beyond max.
bool parse_number(const char *text, bool allow_hex, uint64_t max, uint64_t *out);

// Accepts "--opt value" and "--opt=value". On kError, err says what was wrong.
Parse parse_options(int argc, const char *const *argv, Options *opt, std::string *err);

std::string usage_text(const char *prog);

// The agent's own document, the health report: a type the library's table never holds.
constexpr int32_t kHealthType = 100;
// Counting slots: the library's types, then the health report, then types outside the table.
constexpr int kHealthSlot = UPLOAD_TYPE_MAX_, kUnknownSlot = UPLOAD_TYPE_MAX_ + 1;
int type_slot(int32_t type);
const char *slot_name(int slot);

// Name of an upload type for the summary and the syslog message id: the table's, or
// "SENSOR_HEALTH"; "UNKNOWN" otherwise.
const char *upload_type_name(int32_t type);

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

// Where accepted documents go, with the counts every sink keeps. Safe from many threads.
class Sink {
  public:
    static constexpr int kSlots = kUnknownSlot + 1;

    // Before documents flow: only the slots in the mask (0: all) are delivered, the others
    // are accepted and counted as left out; compact turns each into its line for people.
    void set_view(uint32_t only, bool compact, bool colour) {
        only_ = only, compact_ = compact, colour_ = colour;
    }

    virtual ~Sink() = default;

    // 0 when the document was delivered whole or left out by the view; -1 (counted as
    // refused) for a null document or a failed delivery. Raw line breaks become blanks first.
    int write_document(const char *text, uint32_t len, int32_t type);

    // Set once a failure means the agent should stop (closed pipe, full disk).
    bool failed() const { return failed_.load(std::memory_order_relaxed); }
    int failed_errno() const { return failed_errno_.load(std::memory_order_relaxed); }

    uint64_t documents(int slot) const { return docs_[slot].load(std::memory_order_relaxed); }
    uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    uint64_t refused() const { return refused_.load(std::memory_order_relaxed); }
    uint64_t left_out() const { return left_out_.load(std::memory_order_relaxed); }

    // Multi-line report: total line, then one line per type that delivered anything.
    std::string summary(double elapsed_s) const;

  protected:
    // 0 or an errno; *fatal tells the agent to stop.
    virtual int deliver(const char *text, uint32_t len, int32_t type, bool *fatal) = 0;
    virtual std::string summary_extra() const { return {}; }

  private:
    std::array<std::atomic<uint64_t>, kSlots> docs_{};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<uint64_t> refused_{0};
    std::atomic<uint64_t> left_out_{0};
    uint32_t only_ = 0;
    bool compact_ = false, colour_ = false;
    std::atomic<bool> failed_{false};
    std::atomic<int> failed_errno_{0};
};

// One document per line on fd; a failed write stops the agent.
class NdjsonSink : public Sink {
  public:
    explicit NdjsonSink(int fd) : fd_(fd) {}

  protected:
    int deliver(const char *text, uint32_t len, int32_t type, bool *fatal) override;

  private:
    int fd_;
    std::mutex write_mu_;  // one line at a time, so lines never interleave
};

// RFC 5424 header up to and including the blank before the message:
// "<14>1 2026-12-06T18:02:28.123456+01:00 host qxkiv 4242 PROC_EXEC - ".
// Facility user, severity informational; the clock time is shown in the zone gmtoff_s east
// of UTC (whole minutes). A host name outside printable ASCII has those bytes as '_'.
std::string syslog_header(int32_t type, int64_t sec, long usec, long gmtoff_s,
                          const std::string &host, long pid);
// RFC 6587 octet counting: "<length of msg> <msg>".
std::string octet_frame(const std::string &msg);

struct SyslogConfig {
    std::string dgram_path = "/dev/log";
    std::string stream_path;  // empty: none
    uint32_t dgram_max = kSyslogDefaultMax;
    std::string host;       // empty: this host's name
    int timeout_ms = 5000;  // a stalled daemon refuses documents instead of blocking the sensor
};

// Each document as one RFC 5424 message: a datagram when the whole message fits dgram_max,
// else one octet-counted frame on the stream socket; without one it is refused and counted,
// never cut. A daemon that is away refuses documents (counted) but does not stop the agent;
// each delivery first reconnects when needed.
class SyslogSink : public Sink {
  public:
    explicit SyslogSink(SyslogConfig cfg);
    ~SyslogSink() override;

    uint64_t streamed() const { return streamed_.load(std::memory_order_relaxed); }
    uint64_t too_long() const { return too_long_.load(std::memory_order_relaxed); }
    uint64_t unreachable() const { return unreachable_.load(std::memory_order_relaxed); }

  protected:
    int deliver(const char *text, uint32_t len, int32_t type, bool *fatal) override;
    std::string summary_extra() const override;

  private:
    int send_dgram(const std::string &msg);
    int send_stream(const std::string &frame);
    void complain(int err, const char *what, uint64_t size);

    SyslogConfig cfg_;
    std::mutex dgram_mu_, stream_mu_;
    int dgram_fd_ = -1, stream_fd_ = -1;
    std::atomic<uint64_t> streamed_{0}, too_long_{0}, unreachable_{0};
    std::atomic<bool> complaining_{false}, told_too_long_{false};
};

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

// Opens the document file for writing (appending or from its start), mode 0640. A name that is
// a symbolic link, neither a regular file nor a device, has other hard links or belongs to
// another user is refused, so a shared directory cannot hand the documents to someone else or make
// the agent overwrite a file. The descriptor, or -1 with *why set.
int open_output(const std::string &path, bool append, std::string *why);

// Writes a then b, riding over short writes, EINTR and a non-blocking fd. 0 or an errno.
int write_fully(int fd, const char *a, size_t alen, const char *b, size_t blen);

// This host's identity, read once; the header points into these strings for the whole run.
struct HostIdentity {
    std::string uuid;     // /etc/machine-id, trimmed; "unknown" when unreadable
    std::string ip;       // source address of the default route
    std::string ip_list;  // every non-loopback IPv4 address, comma-separated
};
HostIdentity probe_identity(const char *machine_id_path = "/etc/machine-id");

// Fills every field; seq_id comes from seq (advanced atomically). 0, or -1 for null.
int fill_header(struct upload_header *h, const HostIdentity &id, std::atomic<uint64_t> *seq);

// The C callbacks handed to the library route to these; bind before registering them.
void bind_callbacks(Sink *sink, const HostIdentity *id);
extern "C" int kivhost_upload(const char *text, uint32_t len, int32_t type, uint32_t value);
extern "C" int kivhost_host_state(struct upload_header *h);

}  // namespace kivhost

#endif
