// The eBPF process source: raw tracepoints on exec, fork and exit read the process record's
// facts in the kernel and hand them over a ring buffer to one reader thread, which writes the
// module's records into the high ring.
#pragma once
#include <cstdint>
#include <string>

#include "kernel/standin/bpf/live_proc_ev.h"

struct live_proc_image;

// 0 when the programs are loaded, attached and read; -1 with the reason in *why (not root, no
// BTF, no ring buffers, the verifier's refusal, a build without eBPF).
int live_bpf_start(std::string *why);
void live_bpf_stop();
// Run time and run count of the programs since load, from the kernel's BPF statistics
// (counted only while kernel.bpf_stats_enabled is 1). False when not running.
bool live_bpf_run_stats(uint64_t *run_ns, uint64_t *run_cnt);
// Turns on the kernel's run-time statistics of BPF programs for as long as the returned
// descriptor stays open; -1 when that is not possible.
int live_bpf_enable_stats();
// The create_time of a start time in nanoseconds, rounded down to the clock ticks in which
// /proc/<pid>/stat gives it.
uint64_t live_proc_ticks_ns(uint64_t start_ns);
// The record image of an exec as the programs report it: texts cut to the record's limit,
// arguments joined by blanks ("..." ends a cut command line), " (deleted)" after a removed
// executable as /proc shows it, pipes and sockets named "pipe:[inode]" and "socket:[inode]".
void live_bpf_image(const live_exec_ev &e, live_proc_image *out);
