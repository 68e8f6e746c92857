// The eBPF process source: raw tracepoints on exec, fork and exit read the process record's
// facts in the kernel and hand them over a ring buffer to one reader thread, which writes the
// module's records into the high ring.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "kernel/capture/common/container_id.h"

#include "kernel/capture/bpf/live_proc_ev.h"

struct capture_counters;
struct live_proc_image;

// 0 when the programs are loaded, attached and read; -1 with the reason in *why (not root, no
// BTF, no ring buffers, the verifier's refusal, a build without eBPF).
// options: capture_option bits (CAPTURE_SYSCALL_PROBES adds the library-load and pipe programs).
int live_bpf_start(uint32_t options, std::string *why);
void live_bpf_stop();
bool live_bpf_running();
// Run time and run count of the process programs since load, from the kernel's BPF
// statistics (counted only while kernel.bpf_stats_enabled is 1). False when not running.
bool live_bpf_run_stats(capture_counters *out);
// The record image of an exec as the programs report it: texts cut to the record's limit,
// arguments joined by blanks ("..." ends a cut command line), " (deleted)" after a removed
// executable as /proc shows it, pipes and sockets named "pipe:[inode]" and "socket:[inode]".
// size is the record's, texts included; false when its lengths pass it.
bool live_bpf_image(const live_exec_ev &e, size_t size, live_proc_image *out);
// A path the programs could not follow to its top ("..." and its last components) becomes the
// one /proc/<pid>/exe gives, when pid still runs the image (same create_time) and that path
// ends the same way.
void live_bpf_whole_path(uint32_t pid, live_proc_image *img);
// The container of an exec from the cgroup record sent before it (unified hierarchy first);
// false for none, or a record whose names pass its size or do not end.
bool live_bpf_container(const live_cgroup_ev &e, size_t size, char out[CONTAINER_ID_LEN + 1]);
