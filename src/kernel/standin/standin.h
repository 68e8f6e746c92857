// The in-process stand-in for the kernel module: the shared region, the module's devices,
// control requests and /proc and /sys files. Reached through kernel_if.h; the kemu_ C API
// (qxkiv/kemu.h) drives it from tests and tools. Sources feed it through producer.h.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/kernel_if.h"
#include "kernel/ring_layout.h"
#include "kernel/standin/producer.h"

// 0, or -1 when running already or set-up failed. In userspace mode the table's sources
// capture (one process source, the file sources, the network ones on request); a process
// source must start.
int standin_start(kiv_kernel_mode mode, const capture_table *sources = nullptr);
void standin_stop();
// Stops and resets every source of the running table; the region stays. Safe to repeat.
void standin_stop_sources();
bool standin_active();

// Device side, used by kernel_if.cpp while the stand-in runs.
int standin_open(const char *path, int flags);
void *standin_mmap(int fd, size_t len);
bool standin_unmap(void *addr);  // true when addr was the stand-in's region (nothing to do)
int standin_close(int fd);
long standin_ioctl(int fd, unsigned long request, unsigned long arg);
bool standin_root(std::string &out);  // the private root holding proc/ and sys/

// Module mode (tests): whether kernel_mode "module" starts the stand-in as the kernel instead
// of making the real system calls (kemu_module_mode).
bool standin_plays_kernel();
// init_module and delete_module as the kernel answers them: 0, or -1 with errno. In the
// stand-in modes the stand-in is the module already, and both simply succeed.
int standin_load_module(const void *image, size_t len, const char *params);
int standin_delete_module(const char *name, unsigned int flags);

// Counts the mount-table nudges (the module re-reads its mounts).
void standin_note_vfsmnt_update();
uint64_t standin_vfsmnt_updates();

// Removes the roots that killed runs left in dir (their process gone and their lock free);
// start-up does it for /tmp. Returns how many were removed.
int standin_clean_stale(const char *dir);

// Tests: called by the producer, under the stand-in's lock, between publishing a record's
// write offset and counting it in put_cnt; null removes it.
void standin_set_publish_probe(void (*probe)(kiv_ring *ring));

// The process source running now, or null (userspace mode).
const capture_source *standin_process_source();
// Starts the process source of a table: the one it prefers by name, else the first of its
// process sources that starts, the choice logged once with the reasons of those that did
// not. Returns the source started, or null.
const capture_source *standin_choose_process(const capture_table &t);

// The region and one ring header, for tests; nullptr when not active.
unsigned char *standin_region();
kiv_ring *standin_ring(int ring_type);
