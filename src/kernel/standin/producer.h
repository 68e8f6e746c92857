// What a capture source sees of the stand-in: the rings' producer side, the process table it
// keeps for the module's queries, the delivery mark that orders file and network records
// after their process's, and the table of functions every source implements. Sources
// include this header and nothing else of the stand-in.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/ring_layout.h"

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

// The process record as the module lays it out: raw_process_info before the flex block, the
// flex block's packed length fields, and behind the strings of a live exec record the
// executed file (magic u32, ctime_nsec u32, dev u64 as stat gives it, ino u64, ctime_sec s64).
constexpr size_t KEMU_RAW_PROC_FIXED = 68;
constexpr size_t KEMU_FLEX_HDR = 9;
constexpr uint32_t KEMU_EXE_IDENT_MAGIC = 0x64697865;
constexpr size_t KEMU_EXE_IDENT_SIZE = 32;
// Behind that (or the strings), the process's container: magic u32, 64 hex digits.
constexpr uint32_t KEMU_CONTAINER_MAGIC = 0x64697463;
constexpr size_t KEMU_CONTAINER_SIZE = 68;

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
// CLOCK_MONOTONIC reading, as kernel programs read it) is in the rings. Other sources wait on it
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

// The live system behind the process table in userspace mode: queries look there first, and
// the table answers for processes that are gone (or were never seen live).
struct kemu_proc_live {
    // The process's record into rec; false when it does not exist (a create_time of 0
    // matches whatever process holds the pid).
    bool (*lookup)(uint32_t pid, uint64_t create_time, std::vector<unsigned char> &rec);
    bool (*alive)(uint32_t pid, uint64_t create_time);
};

// Which of the module's record families a source produces. One process source runs; file
// sources start with the stand-in; network sources on the capture request (0x7308).
enum capture_kind { CAPTURE_PROCESS = 0, CAPTURE_FILE = 1, CAPTURE_NETWORK = 2 };

struct capture_counters {
    uint64_t run_ns = 0, run_cnt = 0;  // its kernel programs' time and runs, when counted
};

// One capture source. Texts are static; start, stop and the rest are called on the host's
// thread, never two at once.
struct capture_source {
    const char *name;    // as configured (userspace_source for a process source)
    const char *title;   // as the logs call it, short
    const char *label;   // what it runs, as the log of its start says
    const char *caveat;  // what is missed when it stands in for the one before it, or null
    capture_kind kind;
    // Whether it can run here, without starting it: false with the reason (privilege, kernel
    // feature, build) in *why.
    bool (*usable)(std::string *why);
    // Starts with its configuration (a network source: the capture request's payload; the
    // others the table's options word), restarting it when it runs: 0, or -1 with the reason
    // in *why.
    int (*start)(const unsigned char *config, size_t len, std::string *why);
    void (*stop)();  // idempotent, bounded in time
    bool (*running)();
    // Its counters now; false when it has none to tell (not running, statistics off).
    bool (*counters)(capture_counters *out);
    // A control request it follows whether or not it runs (the file filter lists), and the
    // reset that forgets them when the stand-in stops; either may be null.
    void (*control)(unsigned long request, const unsigned char *payload, size_t len);
    void (*reset)();
};

// Choices of the configuration a source follows at its start.
enum capture_option : uint32_t {
    // The programs on every system call (library loads, named pipes): the whole host pays.
    CAPTURE_SYSCALL_PROBES = 1u << 0,
    // The container of each process, from its cgroup at exec.
    CAPTURE_CONTAINER_IDS = 1u << 1,
};

// What userspace mode hands the stand-in: its sources in order of preference, and the live
// answers to process queries.
struct capture_table {
    const capture_source *const *rows = nullptr;
    size_t count = 0;
    const kemu_proc_live *query = nullptr;
    const char *prefer = nullptr;  // the process source asked for by name; null: the first
    uint32_t options = 0;          // capture_option bits, handed to every process and file source
};
