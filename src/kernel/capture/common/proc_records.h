// Process records as the module writes them, shared by the process sources: the image of a
// process, its records into the high ring, and /proc's answers to process queries.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernel/standin/producer.h"

// Event types of the records this source writes.
constexpr uint16_t LIVE_EV_FORK = 0, LIVE_EV_EXEC = 1, LIVE_EV_EXIT = 2;

// What is known of a process when /proc can no longer tell.
struct live_proc_known {
    uint64_t create_time = 0;
    uint64_t parent_create_time = 0;
    uint32_t ppid = 0;
};

// One process as the module's record describes it; ids not known read as all ones.
struct live_proc_image {
    static constexpr uint32_t STR_MAX = 1023;  // each text of the record
    static constexpr uint32_t UNKNOWN = 0xffffffffu;
    uint64_t create_time = 0;
    uint32_t ppid = 0, session = 0;
    uint32_t uid[4] = {UNKNOWN, UNKNOWN, UNKNOWN, UNKNOWN};  // real, effective, saved, fs
    uint32_t gid[4] = {UNKNOWN, UNKNOWN, UNKNOWN, UNKNOWN};
    uint32_t owner = UNKNOWN, mode = 0;  // of the executable
    char str[5][STR_MAX + 1];            // cmd_line, cur_path, path, fd0, fd1
    uint32_t len[5] = {};
    // The file that was executed, when known: appended to the record behind the strings.
    bool exe_known = false;
    uint64_t exe_dev = 0, exe_ino = 0;  // dev as stat(2) gives it
    int64_t exe_ctime_sec = 0;
    uint32_t exe_ctime_nsec = 0;
    // The container it runs in (64 hex digits), empty for none: appended behind the above.
    char container_id[65] = {};
};
// Whether process records name their containers (read from /proc/<pid>/cgroup where the
// source cannot tell); set by the process source at its start.
void live_proc_set_container_ids(bool on);
// The raw_process_info of an image.
void live_proc_encode_image(const live_proc_image &img, uint32_t pid, uint64_t parent_create_time,
                            uint16_t task_event_id, std::vector<unsigned char> &out);

// Turns the process events of a live source into records in the high ring, and keeps the
// stand-in's table of the processes reported. One per source thread.
class live_events {
  public:
    // Create times of 0 are looked up (table, then /proc).
    void on_fork(uint32_t child, uint32_t parent, uint64_t child_ct = 0, uint64_t parent_ct = 0);
    // at_ns: when the exec happened (CLOCK_MONOTONIC), 0 when the source cannot tell.
    void on_exec(uint32_t pid, uint64_t at_ns = 0);  // the image from /proc
    void on_exec_image(uint32_t pid, const live_proc_image &img, uint64_t parent_ct,
                       uint64_t at_ns = 0);
    void on_exit(uint32_t pid, uint32_t wait_status, uint64_t create_time = 0);
    // Records were lost: tracked processes that are gone become lost exits.
    void on_overrun(const char *source, uint64_t records);
    // The way into the high ring, shared with the thread's other records to it.
    standin_producer &producer() { return out_; }

  private:
    // Long enough for a consumer busy hashing a burst of new executables.
    static constexpr unsigned FULL_WAIT_MS = 2000;
    static constexpr size_t RAW_EXIT_BODY = 15;
    uint16_t next_id();
    void put(uint16_t type, uint32_t pid, const unsigned char *body, size_t len);
    uint64_t known_create_time(uint32_t pid);
    std::vector<unsigned char> rec_, msg_;
    int last_put_ = 0;
    standin_producer out_{FULL_WAIT_MS};
};

// The create_time of a start time in nanoseconds, rounded down to the clock ticks in which
// /proc/<pid>/stat gives it.
uint64_t live_proc_ticks_ns(uint64_t start_ns);
// The process's create_time, from its start time in /proc/<pid>/stat; 0 when it is gone.
uint64_t live_proc_create_time(uint32_t pid);
// True when pid runs (not a zombie) with that create_time (0 matches any).
bool live_proc_alive(uint32_t pid, uint64_t create_time);
// The raw_process_info of pid into out. Fields /proc cannot give (the process is gone) come
// from known, ids then read as all ones. Returns true when /proc was read.
bool live_proc_encode(uint32_t pid, uint16_t task_event_id, const live_proc_known &known,
                      std::vector<unsigned char> &out);
// Query side: the live record of {pid, create_time}; false when no such process runs.
bool live_proc_lookup(uint32_t pid, uint64_t create_time, std::vector<unsigned char> &out);
// The 15-byte raw_exit_info body.
void live_proc_exit_body(uint64_t create_time, uint32_t pid, uint16_t task_event_id,
                         uint8_t exit_code, unsigned char out[15]);
// The exit code byte of a wait status: the code of a normal exit, 128 + signal otherwise.
uint8_t live_proc_exit_code(uint32_t wait_status);
// The live answers to process queries: the two above.
extern const kemu_proc_live live_proc_query;
