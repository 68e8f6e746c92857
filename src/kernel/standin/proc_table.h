// The stand-in's view of the processes on the host: what the process queries (request 0x7304)
// answer. Not thread-safe; the stand-in serialises every call.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

#include "kernel/standin/producer.h"

// Query block task_drv_interact_info_st: header, then the data area.
constexpr size_t KEMU_QUERY_HDR = 24;
constexpr size_t KEMU_QUERY_OFF_CREATE_TIME = 0, KEMU_QUERY_OFF_TYPE = 8, KEMU_QUERY_OFF_PID = 12,
                 KEMU_QUERY_OFF_NUM = 16, KEMU_QUERY_OFF_SIZE = 20;
enum kemu_query_type : uint32_t {
    KEMU_QUERY_SINGLE = 0,
    KEMU_QUERY_ANCESTRY = 1,
    KEMU_QUERY_LOST_EXITS = 2,
    KEMU_QUERY_LIVENESS = 3,
};
constexpr size_t KEMU_FLEX_MAX = 5319;                 // largest flex block
constexpr size_t KEMU_PROC_SLOT = 80 + KEMU_FLEX_MAX;  // one record in a query answer
constexpr size_t KEMU_KEY_OBJ = 16;                    // {create_time u64, pid u32, reserved u32}

class kemu_proc_table {
  public:
    // 0, or -1 when the record is malformed.
    int set(const unsigned char *raw, uint32_t len);
    int drop(uint32_t pid, uint64_t create_time);  // 0, or -1 when unknown
    // Queues a lost exit and forgets the process. 0, or -1 for pid 0.
    int lose_exit(uint32_t pid, uint64_t create_time);
    // Answers a query block in place; data_size is the caller's data area (already checked
    // against the block). With live, processes are looked up there first. 0, or a negative errno.
    long query(unsigned char *block, uint32_t data_size, const kemu_proc_live *live = nullptr);
    // A copy of the record of {pid, create_time} (0: the newest with that pid); false if unknown.
    bool get(uint32_t pid, uint64_t create_time, std::vector<unsigned char> &out) const;
    // Forgets the newest process with that pid and gives its create_time; false if unknown.
    // Its record stays answerable by process and ancestry queries among the last exited ones
    // (user space asks about a parent after it is gone), never by liveness.
    bool forget(uint32_t pid, uint64_t *create_time);
    // Moves every process that alive() declares dead to the lost exits; how many moved.
    size_t lose_dead(bool (*alive)(uint32_t pid, uint64_t create_time));
    size_t size() const { return procs_.size(); }
    size_t lost_pending() const { return lost_.size(); }
    // The tracked record of {pid, create_time} in place, or null; create_time 0 asks for the
    // newest process with that pid.
    const std::vector<unsigned char> *find(uint32_t pid, uint64_t create_time) const;

  private:
    using key = std::pair<uint32_t, uint64_t>;  // {pid, create_time}

    const std::vector<unsigned char> *find_exited(uint32_t pid, uint64_t create_time) const;

    std::map<key, std::vector<unsigned char>> procs_;
    std::deque<key> lost_;
    std::deque<std::pair<key, std::vector<unsigned char>>> exited_;  // oldest first
};
