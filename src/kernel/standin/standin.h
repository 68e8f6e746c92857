// The in-process stand-in for the kernel module: the shared region, the module's devices,
// control requests and /proc and /sys files, and the producer side of the rings. Reached
// through kernel_if.h; the kemu_ C API (qxkiv/kemu.h) drives it from tests and tools.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/ring_layout.h"
#include "kernel/kernel_if.h"

// Control requests the module answers.
constexpr unsigned long KIV_IOCTL_SWITCH = 0x40047301;        // value 0/1 itself
constexpr unsigned long KIV_IOCTL_TASK_QUERY = 0x7304;        // task_drv_interact_info_st
constexpr unsigned long KIV_IOCTL_TASK_CONF = 0x7305;         // kern_task_conf
constexpr unsigned long KIV_IOCTL_FILE_MON = 0x7306;          // eight-word file-monitor block
constexpr unsigned long KIV_IOCTL_FILE_FILTER = 0x7307;       // one filter list
constexpr unsigned long KIV_IOCTL_NET_CONF = 0x7308;          // kernel_cfg
constexpr unsigned long KIV_IOCTL_REFCNT = 0x7309;            // returns the reference count
constexpr unsigned long KIV_IOCTL_FILE_SUFFIX = 0x731E;       // suffix list
constexpr unsigned long KIV_IOCTL_FILE_SUFFIX_GRP = 0x731F;   // suffix groups
constexpr unsigned long KIV_IOCTL_DEF_DBG_MODE = 0x4008780B;  // pointer to debug-mode record
constexpr unsigned long KIV_IOCTL_DEF_DISABLE = 0x4008780C;   // value 0

// Little-endian field access on byte buffers (the host is little-endian; memcpy keeps the
// loads legal at any alignment).
template <class T>
inline T kemu_ld(const unsigned char *p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}
template <class T>
inline void kemu_st(unsigned char *p, T v) {
    memcpy(p, &v, sizeof v);
}

int standin_start(kiv_kernel_mode mode);  // 0, or -1 when running already or set-up failed
void standin_stop();
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

// The producer every record source uses: one record (or raw bytes) into ring 0..3.
// 0, -1 full (full_cnt + 1, full_flag set), -2 not active, -3 delivery off (when honoured),
// -4 bad ring type or buffer.
int standin_put(int ring_type, const void *bytes, uint32_t len, bool honour_delivery);
// For a source that keeps a record it could not put and offers it again: delivery honoured,
// and a full ring is not counted; standin_count_lost counts the records it finally drops.
int standin_try_put(int ring_type, const void *bytes, uint32_t len);
void standin_count_lost(int ring_type, uint32_t records);

// A source thread's way into a full ring. Unlike a kernel producer, a source thread can wait
// while its own kernel buffer keeps queueing: a record gets up to wait_ms (1 ms steps) for the
// consumer to make room. Once one is given up, the next are refused at once until one goes
// in, so a stalled consumer costs one wait, not one per record. A set stop flag ends a wait.
class standin_producer {
  public:
    explicit standin_producer(unsigned wait_ms) : wait_ms_(wait_ms) {}
    void stop_on(const std::atomic<bool> *stop) { stop_ = stop; }
    int put(int ring_type, const void *bytes, uint32_t len);  // standin_put, delivery honoured

  private:
    unsigned wait_ms_;
    bool patient_ = true;
    const std::atomic<bool> *stop_ = nullptr;
};

// The process table as the live source keeps it (each call takes the stand-in's lock).
// Track: 0, or -1 when inactive or the record is malformed. Record: a copy of {pid,
// create_time} (0: newest). Forget: drops the newest process with that pid, giving its
// create_time. Queue lost exit: the exit record could not be written. Overrun: records were
// lost before they were made: one more refusal in the high ring's full_cnt, and every tracked
// process that alive() declares dead becomes a lost exit; returns how many.
int standin_track_process(const unsigned char *raw, uint32_t len);
bool standin_process_record(uint32_t pid, uint64_t create_time, std::vector<unsigned char> &out);
bool standin_forget_process(uint32_t pid, uint64_t *create_time);
// Whether pid is in the table, and its create_time; no copy of the record.
bool standin_process_create_time(uint32_t pid, uint64_t *create_time);
void standin_queue_lost_exit(uint32_t pid, uint64_t create_time);
// How far the process source has delivered: every event it saw before mono_ns (the
// CLOCK_MONOTONIC reading of the eBPF programs) is in the rings. Other sources wait on it
// so that a connection or a write never reaches the collector before the exec that made its
// process; a source that cannot tell clears it and nothing waits.
void standin_process_mark(uint64_t mono_ns);
void standin_process_mark_clear();
bool standin_process_delivered(uint64_t mono_ns);
uint64_t standin_mono_ns();
// The latest exec of a process as the process source put it: its record's task_event_id, when
// it happened (CLOCK_MONOTONIC ns, 0 when unknown) and a hash of the executed file's name
// (standin_name_hash). File records made before it carry its number, so the collector names
// the image the process ran when it acted. Kept for a bounded number of recent processes.
struct standin_exec_note {
    uint32_t pid = 0;
    uint16_t event_id = 0;
    uint64_t at_ns = 0;
    uint64_t name_hash = 0;
};
void standin_note_exec(const standin_exec_note &note);
bool standin_last_exec(uint32_t pid, standin_exec_note *out);
// FNV-1a of the last path component.
uint64_t standin_name_hash(const char *path, size_t len);
size_t standin_overrun(bool (*alive)(uint32_t pid, uint64_t create_time));

// Removes the roots that killed runs left in dir (their process gone and their lock free);
// start-up does it for /tmp. Returns how many were removed.
int standin_clean_stale(const char *dir);

// Tests: called by the producer, under the stand-in's lock, between publishing a record's
// write offset and counting it in put_cnt; null removes it.
void standin_set_publish_probe(void (*probe)(kiv_ring *ring));

// The region and one ring header, for tests; nullptr when not active.
unsigned char *standin_region();
kiv_ring *standin_ring(int ring_type);
