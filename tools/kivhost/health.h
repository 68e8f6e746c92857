// Losses in the stream: when a loss counter moved during the last interval, one health
// document (event_id "SENSOR_HEALTH") says which, by how much and over how many seconds,
// so that drops are seen where the events are read and not only in counters.
#ifndef KIVHOST_HEALTH_H
#define KIVHOST_HEALTH_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host_core.h"

struct cJSON;
#include "qxkiv/kemu.h"

struct cJSON;

namespace kivhost {

// One loss counter read now. Ring counters are 32 bits wide and wrap; the others do not.
struct LossCounter {
    std::string name;
    uint64_t value;
    bool wraps32;
};

using RingStatsFn = int (*)(int ring_type, struct kemu_ring_stats *out);

// The library's loss counters from walk (those that count records or events lost: live
// sources overrun, records dropped because a table or the parking memory was full), each
// ring's refusals from ring_stats while the kernel stand-in runs (null or not running: none),
// the uploads the agent refused and what each output dropped (NAME_DROPPED_QUEUE_FULL ...).
std::vector<LossCounter> read_losses(StatsLineFn walk, RingStatsFn ring_stats, Delivery &delivery);

// A health document whose message holds key: body (taken over), or empty when no header can
// be had.
std::string health_document(const char *key, cJSON *body);

// An output went down or came back: state, since when, the error; back, how long it was
// down and what waited (went through the spool) and was dropped meanwhile. before: the
// output's counts when it went down.
std::string output_event(const OutputStats &now, const OutputStats &before, int64_t now_ms);

// Watches the outputs from the main loop and says each change of state once.
class OutputWatch {
  public:
    // The documents to write for the changes since the last call.
    std::vector<std::string> check(Delivery &delivery, int64_t now_ms);

  private:
    std::vector<OutputStats> last_, at_down_;
};

class Health {
  public:
    explicit Health(uint32_t interval_s) : interval_s_(interval_s) {}

    // The first call takes the baseline. Later calls, once interval seconds passed since the
    // last check (or at the stop, for the part interval left), compare with it: the health
    // document when a counter moved, else empty. Counters are matched by name; one seen for
    // the first time is a baseline of its own.
    // limits, asked only then, gives the drops of the limits in the interval (a JSON array, or
    // null for none): they make a document of their own too.
    std::string check(const std::vector<LossCounter> &now, double now_s, bool at_stop,
                      const std::function<cJSON *()> &limits = nullptr);

  private:
    uint32_t interval_s_;
    bool have_base_ = false;
    double base_s_ = 0;
    std::vector<LossCounter> base_;
};

}  // namespace kivhost

#endif
