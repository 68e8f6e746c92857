// The statistics file in the Prometheus text exposition format (version 0.0.4), as
// node_exporter's textfile collector reads it: one family per library counter, memory per
// category as a label, and the agent's own counts.
#ifndef KIVHOST_METRICS_H
#define KIVHOST_METRICS_H

#include <string>

#include "host_core.h"

namespace kivhost {

// Counters 0..45 of the library's walk are memory: 0 live blocks, the others bytes per
// category.
constexpr int kMemoryCounters = 46;

// The whole file: versions, uptime, documents per upload type, each output's counts, then
// every counter line of walk (null: none). A line that does not read "NAME(explanation): value" is
// left out.
std::string metrics_text(Delivery &delivery, double uptime_s, const char *lib_version,
                         StatsLineFn walk);

}  // namespace kivhost

#endif
