// Which live process source userspace mode runs: the eBPF programs, which read every fact of
// a process inside its exec, or the netlink connector with /proc, the fallback where BPF
// cannot load. The choice is logged once, with the reason when eBPF is not used.
#pragma once
#include <cstdint>
#include <string>

#include "kernel/kernel_if.h"

enum live_source_kind { LIVE_RUNS_NONE = 0, LIVE_RUNS_EBPF = 1, LIVE_RUNS_CONNECTOR = 2 };

// The effective capability bits of this process (0 when unreadable), for the sources to say
// which privilege they lack.
uint64_t live_effective_caps();

// Set before the stand-in starts (kernel_backend_set_live_source).
void live_source_prefer(kiv_live_source source);
// Starts the preferred source: 0, or -1 (logged) when none could start.
int live_source_start();
void live_source_stop();
// The source running now.
live_source_kind live_source_running();

// The choice itself, over starters that may be stand-ins in tests: each returns 0 or -1 and,
// for eBPF, the reason it could not start. Returns the source started.
struct live_starters {
    int (*ebpf)(std::string *why);
    int (*connector)();
};
live_source_kind live_source_choose(kiv_live_source prefer, const live_starters &start);
