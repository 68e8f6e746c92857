// The framework configuration words read from sensor.conf. They sit at the bottom because
// every log line reads the level and the mask.
#pragma once
#include <atomic>
#include <cstdint>

// A word the watch timer rewrites while every other thread reads it: each access is one
// relaxed atomic load or store, and the record stays copyable so tests can save and restore it.
template <class T>
struct reloadable_word {
    std::atomic<T> v;
    constexpr reloadable_word(T x = T()) : v(x) {}
    reloadable_word(const reloadable_word &o) : v(o.load()) {}
    reloadable_word &operator=(const reloadable_word &o) {
        store(o.load());
        return *this;
    }
    reloadable_word &operator=(T x) {
        store(x);
        return *this;
    }
    operator T() const { return load(); }
    T load() const { return v.load(std::memory_order_relaxed); }
    void store(T x) { v.store(x, std::memory_order_relaxed); }
};

struct framework_config {
    int32_t collector_task_num;
    int32_t blocker_task_num;
    reloadable_word<int32_t> log_level;
    reloadable_word<uint32_t> log_mask;
    char ko_path[1024];
    char log_path[1024];
    reloadable_word<int32_t> log_rotate;
    reloadable_word<int32_t> log_refresh_interval;
    reloadable_word<int32_t> stat_event_rate_interval;
    reloadable_word<int32_t> log_file_size;
    int32_t os_cap_mode;
    int32_t kernel_mode;  // kiv_kernel_mode: which backend stands behind the kernel boundary
    int32_t userspace_source;  // kiv_live_source: the process source of userspace mode
    // Userspace mode: 1 runs the system-call-wide programs (library loads, named pipes), which
    // every system call of the host pays for; 0 leaves them off.
    int32_t userspace_syscall_probes;
    // 1 names each process's container (from its cgroup) in the documents; 0 says "host".
    int32_t container_id;
    // 1: text that is not UTF-8 is escaped in documents; 0: cJSON prints it as it stands.
    reloadable_word<int32_t> json_escape_invalid;
    // 1 writes control characters and invalid UTF-8 inside a log line as "\xHH"; 0 as given.
    reloadable_word<int32_t> log_escape;  // read by every thread that logs
};

extern framework_config g_framework_config;
