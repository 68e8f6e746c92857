#include "kernel/standin/live_source.h"

#include <atomic>
#include <cstdio>

#include "base/log.h"
#include "kernel/standin/live_bpf.h"
#include "kernel/standin/live_proc.h"

namespace {

std::atomic<int> s_prefer{LIVE_SOURCE_AUTO};
std::atomic<int> s_running{LIVE_RUNS_NONE};

}  // namespace

void live_source_prefer(kiv_live_source source) {
    s_prefer.store(source, std::memory_order_relaxed);
}

live_source_kind live_source_choose(kiv_live_source prefer, const live_starters &start) {
    std::string why;
    if (prefer != LIVE_SOURCE_CONNECTOR) {
        if (start.ebpf(&why) == 0) {
            KIV_LOG(2, "kemu: process source: eBPF (raw tracepoints, ring buffer)\n");
            return LIVE_RUNS_EBPF;
        }
        if (prefer == LIVE_SOURCE_EBPF) {
            KIV_LOG(0,
                    "kemu: process source eBPF could not start: %s; set userspace_source = "
                    "auto or connector in section base of sensor.conf to use the connector\n",
                    why.c_str());
            return LIVE_RUNS_NONE;
        }
    }
    if (start.connector() != 0) {
        if (prefer == LIVE_SOURCE_AUTO)
            KIV_LOG(0, "kemu: no process source: eBPF unavailable (%s) and the connector failed\n",
                    why.c_str());
        return LIVE_RUNS_NONE;
    }
    if (prefer == LIVE_SOURCE_CONNECTOR)
        KIV_LOG(2, "kemu: process source: netlink connector with /proc (as configured)\n");
    else
        KIV_LOG(1,
                "kemu: process source: netlink connector with /proc, eBPF unavailable: %s; "
                "short-lived processes may lack their path and command line\n",
                why.c_str());
    return LIVE_RUNS_CONNECTOR;
}

int live_source_start() {
    static const live_starters real{live_bpf_start, live_proc_start};
    auto kind = live_source_choose(static_cast<kiv_live_source>(s_prefer.load()), real);
    s_running.store(kind, std::memory_order_relaxed);
    return kind == LIVE_RUNS_NONE ? -1 : 0;
}

void live_source_stop() {
    switch (s_running.exchange(LIVE_RUNS_NONE)) {
        case LIVE_RUNS_EBPF:
            live_bpf_stop();
            break;
        case LIVE_RUNS_CONNECTOR:
            live_proc_stop();
            break;
        default:
            break;
    }
}

live_source_kind live_source_running() {
    return static_cast<live_source_kind>(s_running.load(std::memory_order_relaxed));
}

uint64_t live_effective_caps() {
    FILE *f = fopen("/proc/self/status", "re");
    if (!f) return 0;
    char line[256];
    unsigned long long caps = 0;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "CapEff: %llx", &caps) == 1) break;
    fclose(f);
    return caps;
}
