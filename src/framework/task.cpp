// The library's threads. Each finds its descriptor through `current`; stop requests are
// seen at the next loop turn through `state`.
#include "framework/task.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <new>

#include "comm/timer.h"
#include "framework/config.h"
#include "framework/hook.h"
#include "base/mem.h"
#include "framework/reinject.h"
#include "framework/ring.h"
#include "base/log.h"
#include "qxkiv/process_query.h"

kiv_task *g_tasks;
int g_tasks_num;
thread_local constinit kiv_task *current = nullptr;

namespace {

constexpr unsigned kFrameworkPeriodUs = 30 * 1000;
constexpr unsigned kCollectorNapUs = 100 * 1000;
constexpr unsigned kCollectorIdleUs = 10 * 1000;
constexpr unsigned kIdleTaskPeriodUs = 10 * 1000;
constexpr uint64_t kBacklogForAll = 99;  // non-primary collectors work only above this

kiv_thread_create_fn s_thread_create = pthread_create;
constexpr unsigned kStopBoundMs = 10000;
std::atomic<unsigned> s_stop_bound_ms{kStopBoundMs};
int s_left_behind;  // controlling thread only

void *task_thread(void *arg) {
    auto *task = static_cast<kiv_task *>(arg);
    task->entry(task);
    return nullptr;
}

// Runs task 2 until the log collector main takes its table entry.
void task_idle_main(kiv_task *task) {
    task_enter(task);
    while (task_running(task)) usleep(kIdleTaskPeriodUs);
    KIV_LOG(2, "stopping %s ...\n", task->name);
}

void fill_task(int idx, const char *name, uint8_t kind, void (*entry)(kiv_task *)) {
    kiv_task *t = &g_tasks[idx];
    t->entry = entry;
    t->task_no = (int16_t)(idx + 1);
    t->kind = kind;
    snprintf(t->name, sizeof(t->name), "%s", name);
    t->state.store(TASK_CREATED, std::memory_order_relaxed);
}

bool holds_backup(const kiv_task *task) {
    if (!task) return false;
    for (uint16_t len : task->bak_msg_len)
        if (len) return true;
    return false;
}

void free_task_table() {
    for (int i = 0; i < g_tasks_num; i++) kiv_task_free_bak_msg(&g_tasks[i]);
    kiv_free(g_tasks);
    g_tasks = nullptr;
    g_tasks_num = 0;
}

}  // namespace

bool task_running(const kiv_task *task) {
    return task->state.load(std::memory_order_acquire) == TASK_RUNNING;
}

void task_enter(kiv_task *task) {
    log_mod_set(KIV_MOD_FRAMEWORK);
    current = task;
    KIV_ASSERT(current != NULL);
    g_cur_task_no = task->task_no;
    if (prctl(PR_SET_NAME, task->name) != 0) KIV_LOG(2, "set thread to %s failed\n", task->name);
}

void kiv_task_set_thread_create(kiv_thread_create_fn fn) {
    s_thread_create = fn ? fn : pthread_create;
}

void kiv_task_free_bak_msg(kiv_task *task) {
    for (int rt = 0; rt < KIV_RING_TYPE_NUM; rt++) {
        kiv_free(task->bak_msg[rt]);
        task->bak_msg[rt] = nullptr;
        task->bak_msg_len[rt] = 0;
    }
}

bool is_primary_collector(const kiv_task *task) {
    return strchr(task->name, '0') != nullptr;
}

int collector_thread_local_init() {
    // Process queries of this thread reuse one list of result records.
    if (_init_process_info(PROC_QUERY_MAX_DEPTH) != 0) {
        KIV_LOG(1, "init for task:%d local failed\n", current ? current->task_no : 0);
        return -1;
    }
    KIV_LOG(2, "init for task:%d local ok\n", current ? current->task_no : 0);
    return 0;
}

void collector_thread_local_exit() {
    _free_process_info();
    KIV_LOG(2, "exit for task:%d local ok\n", current ? current->task_no : 0);
}

collector_step collector_turn(bool primary, char *buf) {
    log_mod_set(KIV_MOD_FRAMEWORK);
    // A quiet system runs one reading thread; the others join in on a backlog. A record
    // held back in a backup slot is no longer counted as pending, so its holder keeps
    // turning until the record is through instead of stranding it.
    if (!primary && !holds_backup(current) && __all_ring_msg_num() <= kBacklogForAll)
        return COLLECTOR_NAP;
    if (msg_hook_reinject()) return COLLECTOR_AGAIN;
    uint32_t len = 0;
    char *msg = __read_all_msg(buf, KIV_MSG_MAX_LEN, &len);
    if (!msg) return COLLECTOR_IDLE;
    msg_entry(msg, len);
    return COLLECTOR_HANDLED;
}

void collector_main(kiv_task *task) {
    task_enter(task);
    bool primary = is_primary_collector(task);
    collector_thread_local_init();
    alignas(8) char buf[KIV_MSG_MAX_LEN];
    while (task_running(task)) {
        switch (collector_turn(primary, buf)) {
            case COLLECTOR_NAP:
                usleep(kCollectorNapUs);
                break;
            case COLLECTOR_IDLE:
                usleep(kCollectorIdleUs);
                break;
            default:
                break;
        }
    }
    KIV_LOG(2, "stopping %s ...\n", task->name);
    collector_thread_local_exit();
}

void framework_main(kiv_task *task) {
    task_enter(task);
    // Timer callbacks query processes too.
    if (_init_process_info(PROC_QUERY_MAX_DEPTH) != 0)
        KIV_LOG(1, "init process info for %s failed\n", task->name);
    while (task_running(task)) {
        kiv_timer_loop();
        usleep(kFrameworkPeriodUs);
    }
    KIV_LOG(2, "stopping %s ...\n", task->name);
    _free_process_info();
}

int __destroy_all_thead() {
    // Ask every thread first so their last turns overlap, then join in index order, all
    // within one bound: a thread stuck in a read the kernel never ends must not hold up the
    // host's stop. It is left running, detached, with its descriptor kept.
    for (int i = 0; i < g_tasks_num; i++) {
        uint8_t expect = TASK_RUNNING;
        g_tasks[i].state.compare_exchange_strong(expect, TASK_STOPPING, std::memory_order_acq_rel);
    }
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    uint64_t ns = (uint64_t)deadline.tv_nsec + (uint64_t)s_stop_bound_ms.load() * 1000000;
    deadline.tv_sec += (time_t)(ns / 1000000000), deadline.tv_nsec = (long)(ns % 1000000000);
    int left = 0;
    for (int i = 0; i < g_tasks_num; i++) {
        kiv_task *t = &g_tasks[i];
        if (t->state.load(std::memory_order_acquire) != TASK_STOPPING) continue;
        int rc = pthread_timedjoin_np(t->thread, nullptr, &deadline);
        if (rc == 0) {
            t->state.store(TASK_STOPPED, std::memory_order_release);
        } else if (rc == ETIMEDOUT) {
            KIV_LOG(1, "thread %s did not stop within %u ms, left running\n", t->name,
                    s_stop_bound_ms.load());
            pthread_detach(t->thread);
            t->state.store(TASK_LEFT, std::memory_order_release);
            left++;
        } else {
            KIV_LOG(1, "join thread %s failed\n", t->name);
        }
    }
    s_left_behind += left;
    return left;
}

void kiv_task_set_stop_bound(unsigned ms) {
    s_stop_bound_ms.store(ms ? ms : kStopBoundMs);
}

int kiv_tasks_left_behind() {
    return s_left_behind;
}

namespace {
// A thread left running still reads its descriptor: then the table stays.
void stop_and_release() {
    if (__destroy_all_thead() == 0)
        free_task_table();
    else
        g_tasks = nullptr, g_tasks_num = 0;
}

// The logger and the log collector live above the framework; start-up hands in their mains.
kiv_task_main s_logger_main;
kiv_task_main s_log_collector_main;
}  // namespace

void kiv_task_set_main(int kind, kiv_task_main fn) {
    if (kind == TASK_KIND_LOGGER)
        s_logger_main = fn;
    else if (kind == TASK_KIND_LOG_COLLECTOR)
        s_log_collector_main = fn;
}

int start_routine() {
    int collectors = g_framework_config.collector_task_num;
    if (collectors < 0) collectors = 0;
    g_tasks_num = collectors + 3;
    g_tasks =
        static_cast<kiv_task *>(kiv_zalloc(g_tasks_num * sizeof(kiv_task), MALLOC_NEVER_FREE));
    if (!g_tasks) {
        KIV_LOG(0, "alloc task desc failed\n");
        g_tasks_num = 0;
        return -1;
    }
    for (int i = 0; i < g_tasks_num; i++) new (&g_tasks[i]) kiv_task();

    int idx = 0;
    fill_task(idx++, "KivMain", TASK_KIND_FRAMEWORK, framework_main);
    fill_task(idx++, "KivLogCollector", TASK_KIND_LOG_COLLECTOR,
              s_log_collector_main ? s_log_collector_main : task_idle_main);
    fill_task(idx++, "KivLogger", TASK_KIND_LOGGER, s_logger_main ? s_logger_main : task_idle_main);
    for (int c = 0; c < collectors; c++) {
        char name[KIV_TASK_NAME_LEN + 1];
        snprintf(name, sizeof(name), "KivCollector%d", c);
        fill_task(idx++, name, TASK_KIND_COLLECTOR, collector_main);
    }
    KIV_ASSERT(g_tasks_num == idx);

    for (int i = 0; i < g_tasks_num; i++) {
        kiv_task *t = &g_tasks[i];
        t->state.store(TASK_RUNNING, std::memory_order_release);
        int rc = s_thread_create(&t->thread, nullptr, task_thread, t);
        if (rc != 0) {
            t->state.store(TASK_CREATED, std::memory_order_release);
            KIV_LOG(0, "create thread %s failed(%d:%s)\n", t->name, rc, strerror(rc));
            stop_and_release();
            return -1;
        }
    }
    KIV_LOG(2, "start routine ok\n");
    return 0;
}

void stop_routine() {
    stop_and_release();
    KIV_LOG(2, "stop routine ok\n");
}
