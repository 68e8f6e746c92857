// The reference host agent's logic, kept apart from main() so the tests can drive it:
// option parsing, the NDJSON sink behind the upload callback, and the header callback.
#ifndef KIVHOST_HOST_CORE_H
#define KIVHOST_HOST_CORE_H

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "qxkiv/qxkiv.h"

namespace kivhost {

struct Options {
    uint32_t seconds = 0;  // 0: until SIGINT/SIGTERM
    uint32_t mask = 0xF;
    std::string output;  // empty: standard output
    std::string lib;     // empty: <dir of executable>/../lib/libqxkiv.so
};

enum class Parse { kRun, kHelp, kError };

// Strict unsigned number: decimal, or hexadecimal with "0x" when allow_hex. No sign, no
// blanks, no trailing text, no overflow beyond max.
bool parse_number(const char *text, bool allow_hex, uint64_t max, uint64_t *out);

// Accepts "--opt value" and "--opt=value". On kError, err says what was wrong.
Parse parse_options(int argc, const char *const *argv, Options *opt, std::string *err);

std::string usage_text(const char *prog);

// Name of an upload type for the summary; "UNKNOWN" outside the table.
const char *upload_type_name(int32_t type);

// Writes each accepted document as one line to fd and counts it. Safe from many threads.
class NdjsonSink {
  public:
    static constexpr int kSlots = UPLOAD_TYPE_MAX_ + 1;  // last slot: types outside the table

    explicit NdjsonSink(int fd) : fd_(fd) {}

    // 0 when the whole line was written; -1 (counted as refused) for a null document or a
    // failed write.
    int write_document(const char *text, uint32_t len, int32_t type);

    // Set once a write has failed (closed pipe, full disk); the agent then stops.
    bool failed() const { return failed_.load(std::memory_order_relaxed); }
    int failed_errno() const { return failed_errno_.load(std::memory_order_relaxed); }

    uint64_t documents(int slot) const { return docs_[slot].load(std::memory_order_relaxed); }
    uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    uint64_t refused() const { return refused_.load(std::memory_order_relaxed); }

    // Multi-line report: total line, then one line per type that delivered anything.
    std::string summary(double elapsed_s) const;

  private:
    int fd_;
    std::mutex write_mu_;  // one line at a time, so lines never interleave
    std::array<std::atomic<uint64_t>, kSlots> docs_{};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<uint64_t> refused_{0};
    std::atomic<bool> failed_{false};
    std::atomic<int> failed_errno_{0};
};

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
void bind_callbacks(NdjsonSink *sink, const HostIdentity *id);
extern "C" int kivhost_upload(const char *text, uint32_t len, int32_t type, uint32_t value);
extern "C" int kivhost_host_state(struct upload_header *h);

}  // namespace kivhost

#endif
