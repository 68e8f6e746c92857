// The one table of capture sources. A new source is a file that defines its capture_source
// and a row here; process sources are tried in the order they stand.
#include "kernel/capture/sources.h"

#include "kernel/capture/common/proc_records.h"

extern const capture_source capture_ebpf_process, capture_connector, capture_fanotify,
    capture_network;

namespace {

const capture_source *const kRows[] = {
    &capture_ebpf_process,
    &capture_connector,
    &capture_fanotify,
    &capture_network,
};

}  // namespace

capture_table capture_sources(const char *prefer, uint32_t options) {
    capture_table t;
    t.rows = kRows;
    t.count = sizeof kRows / sizeof kRows[0];
    t.query = &live_proc_query;
    t.prefer = prefer;
    t.options = options;
    return t;
}
