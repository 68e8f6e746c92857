// The outputs' far ends: a file (or standard output), the syslog daemon, Kafka.
#ifndef KIVHOST_SINKS_H
#define KIVHOST_SINKS_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "delivery.h"

namespace kivhost {

// --- Files ---

struct FileSinkConfig {
    std::string path;  // empty: fd as it is (standard output)
    int fd = -1;
    bool append = false;
    uint64_t rotate_bytes = 0;     // 0: never rotated
    uint32_t rotate_keep = 5;      // FILE.1 .. FILE.K
    bool rotate_compress = false;  // FILE.N.zst
    bool compact = false, colour = false;
};

// One document per line, written whole or not at all: after a short write (a full disk) the
// partial bytes are cut back. A reader that went away (a closed pipe) ends the output.
std::unique_ptr<Sink> make_file_sink(FileSinkConfig c);

// Opens the document file for writing (appending or from its start), mode 0640. A name that is
// a symbolic link, neither a regular file nor a device, has other hard links or belongs to
// another user is refused, so a shared directory cannot hand the documents to someone else or make
// the agent overwrite a file. The descriptor, or -1 with *why set.
int open_output(const std::string &path, bool append, std::string *why);

// Writes a then b, riding over short writes, EINTR and a non-blocking fd. 0 or an errno.
int write_fully(int fd, const char *a, size_t alen, const char *b, size_t blen);

// Compresses src into dst with zstd (written beside as dst.new, then renamed). 0 or errno.
int zstd_file(const std::string &src, const std::string &dst);

// --- Syslog ---

// Syslog datagrams at most this long by default: rsyslog's default maxMessageSize (8 KiB).
constexpr uint32_t kSyslogDefaultMax = 8192;
// RFC 5424 lets a receiver refuse anything above 480 bytes; a socket takes no more than this.
constexpr uint32_t kSyslogMinMax = 480, kSyslogMaxMax = 262144;

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
    int timeout_ms = 5000;  // a stalled daemon fails a try instead of holding the output
};

// Each document as one RFC 5424 message: a datagram when the whole message fits dgram_max,
// else one octet-counted frame on the stream socket; without one it is refused for good and
// counted, never cut. A daemon that is away fails the try (the output spools and tries again);
// each try first reconnects when needed.
class SyslogSink : public Sink {
  public:
    explicit SyslogSink(SyslogConfig cfg);
    ~SyslogSink() override;
    int open(std::string *) override { return 0; }
    WriteResult write(const DocPtr *docs, const uint64_t *ids, size_t n) override;
    std::string summary_extra() const override;

    uint64_t streamed() const { return streamed_.load(std::memory_order_relaxed); }
    uint64_t too_long() const { return too_long_.load(std::memory_order_relaxed); }
    uint64_t unreachable() const { return unreachable_.load(std::memory_order_relaxed); }

  private:
    int send_one(const Document &d);
    int send_dgram(const std::string &msg);
    int send_stream(const std::string &frame);
    void complain(int err, const char *what, uint64_t size);

    SyslogConfig cfg_;
    std::mutex dgram_mu_, stream_mu_;
    int dgram_fd_ = -1, stream_fd_ = -1;
    std::atomic<uint64_t> streamed_{0}, too_long_{0}, unreachable_{0};
    std::atomic<bool> complaining_{false}, told_too_long_{false};
};

// --- Kafka ---

struct KafkaConfig {
    std::string brokers;
    std::string topic = "qxkiv";  // "%t": the upload type in lower case
    std::vector<std::pair<std::string, std::string>> options;  // handed to librdkafka as is
    std::string key;                                           // the message key: the host's uuid
};

// "host:port[,host:port...]", each with an optional "SCHEME://"; false with *why otherwise.
bool kafka_brokers_ok(const std::string &list, std::string *why);
// The topic of a document of this type; false with *why when Kafka would not take the name.
bool kafka_topic_for(const std::string &pattern, int32_t type, std::string *topic,
                     std::string *why);

// librdkafka's idempotent producer (acks=all, zstd unless an option says otherwise). A
// document counts as delivered when its delivery report says it was written.
std::unique_ptr<Sink> make_kafka_sink(KafkaConfig c);

}  // namespace kivhost

#endif
