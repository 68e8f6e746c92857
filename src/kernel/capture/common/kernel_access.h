// What the sources need to know of the kernel and their privilege: the capabilities of this
// process and, for the eBPF sources, the features they need, libbpf's messages in the sensor
// log and the kernel's run statistics of their programs.
#pragma once
#include <cstdint>
#include <string>

struct bpf_program;
struct capture_counters;

constexpr int LIVE_CAP_NET_ADMIN = 12, LIVE_CAP_NET_RAW = 13, LIVE_CAP_SYS_ADMIN = 21,
              LIVE_CAP_PERFMON = 38, LIVE_CAP_BPF = 39;

// The effective capability bits of this process (0 when unreadable), for the sources to say
// which privilege they lack.
uint64_t live_effective_caps();
// Whether programs can load here: CAP_BPF and CAP_PERFMON with the extra capability bits
// (named in `needs` for the reason), or CAP_SYS_ADMIN; BTF; a build with eBPF. False with the
// reason in *why.
bool live_bpf_usable(uint64_t extra_caps, const char *needs, std::string *why);
// libbpf's warnings go to the sensor log; while last is set, the thread's last warning is kept
// there as the reason of a failure. Null stops keeping it.
void live_bpf_keep_warning(std::string *last);
// Turns on the kernel's run-time statistics of BPF programs for as long as the returned
// descriptor stays open; -1 when that is not possible.
int live_bpf_enable_stats();
// Adds a loaded program's run time and count (counted while kernel.bpf_stats_enabled is 1);
// false when the kernel does not tell.
bool live_bpf_add_run_stats(const bpf_program *prog, capture_counters *out);
