// Delivery: the library's upload callback only copies a document into each output's bounded
// queue; a sender thread per output drains it into its sink. A sink that fails or falls behind
// spills to the output's disk spool, which is replayed in order, rate-capped, once the sink
// takes documents again. seq_id numbers documents for the life of the installation, so a
// consumer sees gaps and repeats. Nothing on a collector thread waits for an output.
#ifndef KIVHOST_DELIVERY_H
#define KIVHOST_DELIVERY_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "qxkiv/qxkiv.h"
#include "spool.h"

namespace kivhost {

// The agent's own document, the health report: a type the library's table never holds.
constexpr int32_t kHealthType = 100;
// Counting slots: the library's types, then the health report, then types outside the table.
constexpr int kHealthSlot = UPLOAD_TYPE_MAX_, kUnknownSlot = UPLOAD_TYPE_MAX_ + 1;
constexpr int kSlots = kUnknownSlot + 1;
int type_slot(int32_t type);
const char *slot_name(int slot);
// Name of an upload type: the table's, "SENSOR_HEALTH", or "UNKNOWN".
const char *upload_type_name(int32_t type);

// One document as every output gets it: shaped once, numbered, without raw line breaks.
struct Document {
    uint64_t seq = 0;
    int32_t type = 0;
    std::string text;
};
using DocPtr = std::shared_ptr<const Document>;

// What a sink says of a batch: how many documents from the front it took, and for the one
// after them, what went wrong.
struct WriteResult {
    size_t done = 0;
    int err = 0;             // 0: all taken
    bool permanent = false;  // this document can never be taken: it is counted and skipped
    bool fatal = false;      // this output can never work again (its reader went away)
};

// A delivery report of an asynchronous sink: the id given with the document, and 0 or what
// went wrong (permanent: never again).
struct Report {
    uint64_t id;
    int err;
    bool permanent;
};

// An output's far end: one file and one row per kind (file, syslog, Kafka).
class Sink {
  public:
    virtual ~Sink() = default;
    // At start; a non-zero errno with *why is a configuration the agent refuses to run with.
    virtual int open(std::string *why) = 0;
    // Synchronous sinks deliver in order and stop at the first failure. Asynchronous ones
    // take documents (ids[i] comes back in a report) and stop when they cannot take more.
    virtual WriteResult write(const DocPtr *docs, const uint64_t *ids, size_t n) = 0;
    virtual bool async() const { return false; }
    // Asynchronous sinks: serve delivery reports, waiting up to timeout_ms.
    virtual void poll(int timeout_ms, std::vector<Report> *out) {}
    // The sink saw its far end go away (no document failed yet).
    virtual bool far_end_down() { return false; }
    // Wait up to timeout_ms for what was taken; asynchronous sinks report it through poll.
    virtual void flush(int timeout_ms) {}
    // SIGHUP: reopen files by name.
    virtual void reopen() {}
    // Longest wait between tries while it fails.
    virtual uint32_t backoff_max_ms() const { return 30000; }
    // The sink's own counts for the summary, as "  name: ..." lines.
    virtual std::string summary_extra() const { return {}; }
};

struct OutputConfig {
    std::string name;       // "stdout", "file", "syslog", "kafka"; numbered when repeated
    std::string spool_dir;  // empty: no spool, documents wait in memory only
    uint64_t spool_max_bytes = 256ull << 20;
    uint32_t spool_sync_ms = 1000;
    uint32_t replay_rate = 5000;  // documents a second from the spool; 0 unlimited
    uint64_t queue_max_bytes = 8ull << 20;
    bool write_ahead = false;  // every document through the spool (asynchronous sinks)
};

enum class OutState { kUp, kDown };

// Counts of one output; read from any thread.
struct OutputStats {
    std::string name;
    bool up = true;
    int64_t down_since_ms = 0;  // wall clock, when down
    int last_err = 0;
    uint64_t queued = 0, queued_bytes = 0;
    uint64_t spooled = 0, spooled_bytes = 0;  // in the spool now
    uint64_t delivered = 0, delivered_bytes = 0;
    uint64_t retried = 0;             // tries that failed and were made again
    uint64_t delayed = 0;             // documents that went through the spool
    uint64_t dropped_queue_full = 0;  // the queue was full (memory)
    uint64_t dropped_spool_full = 0;  // the spool's oldest segment gave way
    uint64_t dropped_damaged = 0;     // torn or damaged records skipped
    uint64_t refused = 0;             // the sink can never take them
    uint64_t transitions = 0;         // times the state changed
    std::string spool_error;          // empty while the spool works
};

class Output {
  public:
    // now_ms: a monotonic clock in milliseconds (tests step it by hand).
    Output(OutputConfig cfg, std::unique_ptr<Sink> sink,
           std::function<uint64_t()> now_ms = nullptr);
    ~Output();

    // Opens the sink and the spool. A sink that cannot open is an error (errno, *why); a
    // spool that cannot is said in *warn and the output runs without. A write-ahead output
    // needs its spool.
    int open(std::string *why, std::string *warn);
    // The sender thread; without it, tests call step() themselves.
    void start();
    // Into the queue; false when the queue is full (counted).
    bool push(const DocPtr &d);
    void request_reopen() { reopen_.store(true); }

    // One round of the sender: reports, queue, spool, tries. Returns the milliseconds until it
    // has something to do again.
    uint64_t step();

    // Stops the sender: what the queue holds goes to the sink, or to the spool when the sink
    // fails; an asynchronous sink gets up to wait_ms for its reports.
    void stop(int wait_ms);

    OutputStats stats() const;
    const std::string &name() const { return cfg_.name; }
    bool fatal() const { return fatal_.load(); }
    Sink *sink() { return sink_.get(); }
    Spool *spool() { return spool_.get(); }

  private:
    struct Flight {
        SpoolPos at, next;
        DocPtr doc;
        enum { kPending, kOk, kRefused, kFailed } st = kPending;
    };
    void run();
    void set_state(OutState s, int err);
    void failed(int err, uint64_t now);
    bool spool_usable(uint64_t now) const;
    bool to_spool(std::deque<DocPtr> *batch, uint64_t now);
    void deliver_queue(std::deque<DocPtr> *batch, uint64_t now);
    void replay_sync(uint64_t now);
    void produce_async(uint64_t now);
    void reports(int timeout_ms, uint64_t now);
    size_t take_tokens(uint64_t now, size_t want);
    std::deque<DocPtr> take_queue(size_t max_bytes);
    void put_back(std::deque<DocPtr> *batch);

    OutputConfig cfg_;
    std::unique_ptr<Sink> sink_;
    std::unique_ptr<Spool> spool_;
    std::function<uint64_t()> now_;

    mutable std::mutex mu_;  // queue and the state read by stats()
    std::condition_variable cv_;
    std::deque<DocPtr> queue_;
    uint64_t queue_bytes_ = 0;
    bool waiting_ = false, stopping_ = false;
    std::thread thread_;

    // Sender thread only.
    OutState state_ = OutState::kUp;
    uint64_t retry_at_ = 0, backoff_ms_ = 0;
    uint64_t spool_retry_at_ = 0;
    bool replaying_ = false;
    double tokens_ = 0;
    uint64_t tokens_at_ = 0;
    std::deque<Flight> window_;
    uint64_t window_first_id_ = 0;
    uint64_t window_bytes_ = 0;

    std::atomic<bool> reopen_{false}, fatal_{false};
    std::atomic<int> last_err_{0};
    std::atomic<int64_t> down_since_ms_{0};
    std::atomic<bool> up_{true};
    std::atomic<uint64_t> delivered_{0}, delivered_bytes_{0}, retried_{0}, delayed_{0},
        dropped_queue_{0}, refused_{0}, transitions_{0};
    std::string spool_error_;  // under mu_
};

// The installation's document numbers: kept in a file beside the spools, reserved ahead so a
// crash never repeats a number (it skips the reserved rest instead, which the first health
// document says).
class SeqStore {
  public:
    explicit SeqStore(std::string path) : path_(std::move(path)) {}
    // Reads the file. For the same host it continues; *skipped_from..*start-1 were reserved
    // by a run that did not stop cleanly (skipped_from == start when none). 0 or errno.
    int load(const std::string &host, uint64_t *start, uint64_t *skipped_from);
    // Keeps the reservation ahead of next; writes only when it runs short. 0 or errno.
    int reserve(uint64_t next);
    // A clean stop: the next run starts exactly at next.
    int close(uint64_t next);
    uint64_t reserved() const { return reserved_.load(std::memory_order_relaxed); }
    static constexpr uint64_t kAhead = 1 << 16;

  private:
    int write(uint64_t next, uint64_t reserved, bool clean);
    std::string path_, host_;
    std::atomic<uint64_t> reserved_{0};
};

// The dispatcher behind the upload callback: --only, shaping, numbering, every output's queue.
class Delivery {
  public:
    // A document in its final form before the number is put in: the text, and where in it
    // the digits of seq_id go (npos: nowhere).
    struct Shaped {
        std::string text;
        size_t seq_at = std::string::npos;
    };
    using ShapeFn = std::function<bool(std::string_view text, int32_t type, Shaped *out)>;

    void add(std::unique_ptr<Output> out) { outputs_.push_back(std::move(out)); }
    void set_only(uint32_t only) { only_ = only; }
    void set_shape(ShapeFn fn) { shape_ = std::move(fn); }
    // Numbering from next on; store (may be null) keeps it across runs.
    void set_seq(uint64_t next, SeqStore *store) { seq_.store(next), store_ = store; }

    // The upload callback's work: 0 when at least one output took the document, -1 when none
    // could (null or empty document, every queue full).
    int upload(const char *text, uint32_t len, int32_t type);
    // The header callback's seq_id: the number the next document will get.
    uint64_t next_seq() const { return seq_.load(std::memory_order_relaxed); }

    // Keeps the number reservation ahead (the main loop calls it).
    void tick();
    void stop(int wait_ms);

    std::vector<std::unique_ptr<Output>> &outputs() { return outputs_; }
    uint64_t documents(int slot) const { return docs_[slot].load(std::memory_order_relaxed); }
    uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    uint64_t refused() const { return refused_.load(std::memory_order_relaxed); }
    uint64_t left_out() const { return left_out_.load(std::memory_order_relaxed); }
    // An output that can never work again stops the agent.
    bool fatal() const;

    // Multi-line report: the total line, one per type that had documents, one per output.
    std::string summary(double elapsed_s) const;

  private:
    std::vector<std::unique_ptr<Output>> outputs_;
    uint32_t only_ = 0;
    ShapeFn shape_;
    SeqStore *store_ = nullptr;
    std::mutex mu_;  // numbers are given in the order documents enter the queues
    std::atomic<uint64_t> seq_{0};
    std::array<std::atomic<uint64_t>, kSlots> docs_{};
    std::atomic<uint64_t> bytes_{0}, refused_{0}, left_out_{0};
};

// The envelope's seq_id digits: where they go once the old ones are cut out. Raw line
// breaks become blanks (a document is one line).
bool shape_native(std::string_view text, int32_t type, Delivery::Shaped *out);

// "12 kafka documents" style counts of an output as one summary line.
std::string output_line(const OutputStats &s);

}  // namespace kivhost

#endif
