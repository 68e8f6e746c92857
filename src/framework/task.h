// Task descriptors and the library's own threads: KivMain (timers), KivLogCollector,
// KivLogger and the KivCollector%d threads that drain the rings.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "kernel/ring_layout.h"

enum kiv_task_state : uint8_t {
    TASK_CREATED = 0,
    TASK_RUNNING = 1,
    TASK_STOPPING = 2,
    TASK_STOPPED = 3,
    TASK_LEFT = 4,  // did not stop within the bound: left running
};

enum kiv_task_kind : uint8_t {
    TASK_KIND_FRAMEWORK = 0,
    TASK_KIND_COLLECTOR = 1,
    TASK_KIND_LOG_COLLECTOR = 3,
    TASK_KIND_LOGGER = 4,
};

constexpr int KIV_TASK_NAME_LEN = 64;

struct kiv_task {
    pthread_t thread;
    void (*entry)(kiv_task *task);
    int16_t task_no;             // index + 1, the "tsk%d" of log lines
    std::atomic<uint8_t> state;  // written by the controlling thread, polled by the task
    uint8_t kind;
    char name[KIV_TASK_NAME_LEN + 1];
    // Read by other collectors under the ring-selection mutex, reset without it.
    std::atomic<uint32_t> handling_pid;
    std::atomic<uint8_t> handling_ring;
    char *bak_msg[KIV_RING_TYPE_NUM];  // one KIV_MSG_MAX_LEN slot per ring type, lazily
    uint16_t bak_msg_len[KIV_RING_TYPE_NUM];
};

extern kiv_task *g_tasks;
extern int g_tasks_num;
extern thread_local constinit kiv_task *current;

// Common start of every thread main: log module, `current`, task number, thread name.
void task_enter(kiv_task *task);
// False once a stop was requested.
bool task_running(const kiv_task *task);

using kiv_task_main = void (*)(kiv_task *task);
// Start-up names the mains of the logger (TASK_KIND_LOGGER) and the log collector
// (TASK_KIND_LOG_COLLECTOR); a task without one runs an idle loop until stopped.
void kiv_task_set_main(int kind, kiv_task_main fn);
int start_routine();
void stop_routine();
// Stops every thread within the stop bound; the number left running (logged, detached).
int __destroy_all_thead();
// Tests shorten the bound (ms); 0 restores the default of 10 s.
void kiv_task_set_stop_bound(unsigned ms);
// Threads left running by stops so far: what they may still touch must not be freed.
int kiv_tasks_left_behind();
void framework_main(kiv_task *task);
void collector_main(kiv_task *task);
int collector_thread_local_init();
void collector_thread_local_exit();

// One turn of a collector's loop without its sleeps, so the backlog rule can be driven
// directly. `buf` is the KIV_MSG_MAX_LEN read buffer.
enum collector_step {
    COLLECTOR_NAP,      // non-primary and the backlog is small: sleep 100 ms
    COLLECTOR_AGAIN,    // reinjection batch was full: run again at once
    COLLECTOR_HANDLED,  // one record went through msg_entry
    COLLECTOR_IDLE,     // nothing to read: sleep 10 ms
};
collector_step collector_turn(bool primary, char *buf);
bool is_primary_collector(const kiv_task *task);

// Tests inject thread-creation failures; null restores pthread_create.
using kiv_thread_create_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *),
                                     void *);
void kiv_task_set_thread_create(kiv_thread_create_fn fn);

// Frees a task's backup slots.
void kiv_task_free_bak_msg(kiv_task *task);
