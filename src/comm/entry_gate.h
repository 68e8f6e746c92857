// Host threads may call into a module at any time, also while it stops. A module guards
// each such entry with a gate: close() refuses new callers and waits for those inside to
// leave, so the module can free what they use.
#pragma once
#include <sched.h>

#include <atomic>

// How many gates the calling thread is inside; a stop from such a thread would wait for
// itself, so the host's stop is refused there.
inline thread_local constinit int t_gate_depth = 0;

class kiv_entry_gate {
  public:
    void open() { open_.store(true, std::memory_order_seq_cst); }
    // Refuses new callers, then waits for those already inside.
    void close() {
        open_.store(false, std::memory_order_seq_cst);
        while (inside_.load(std::memory_order_seq_cst) != 0) sched_yield();
    }
    bool is_open() const { return open_.load(std::memory_order_acquire); }
    // The caller counts itself in before it looks at the flag, and close() stores the flag
    // before it looks at the count: one of the two always sees the other.
    bool enter() {
        inside_.fetch_add(1, std::memory_order_seq_cst);
        if (open_.load(std::memory_order_seq_cst)) {
            t_gate_depth++;
            return true;
        }
        inside_.fetch_sub(1, std::memory_order_release);
        return false;
    }
    void leave() {
        t_gate_depth--;
        inside_.fetch_sub(1, std::memory_order_release);
    }

  private:
    std::atomic<bool> open_{false};
    std::atomic<int> inside_{0};
};

// One pass through a gate for the length of a scope.
class kiv_gate_pass {
  public:
    explicit kiv_gate_pass(kiv_entry_gate &gate) : gate_(gate), ok_(gate.enter()) {}
    ~kiv_gate_pass() {
        if (ok_) gate_.leave();
    }
    kiv_gate_pass(const kiv_gate_pass &) = delete;
    kiv_gate_pass &operator=(const kiv_gate_pass &) = delete;
    explicit operator bool() const { return ok_; }

  private:
    kiv_entry_gate &gate_;
    bool ok_;
};
