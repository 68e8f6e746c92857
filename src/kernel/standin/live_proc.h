// The live process source of userspace mode: the netlink process connector's fork, exec and
// exit events become the module's process records in the high ring, and process queries are
// answered from /proc.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Event types of the records this source writes.
constexpr uint16_t LIVE_EV_FORK = 0, LIVE_EV_EXEC = 1, LIVE_EV_EXIT = 2;

// What is known of a process when /proc can no longer tell.
struct live_proc_known {
    uint64_t create_time = 0;
    uint64_t parent_create_time = 0;
    uint32_t ppid = 0;
};

// Starts the connector thread: 0, or -1 (logged) without root/CAP_NET_ADMIN or a connector.
int live_proc_start();
void live_proc_stop();

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
