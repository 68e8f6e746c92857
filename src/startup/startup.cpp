// Start-up and shut-down of the sensor, one table of steps. A module joins with one line:
// its init and exit in the step that the start-up order gives it.
#include "startup/startup.h"

#include "startup/instance_lock.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/mem.h"
#include "comm/timer.h"
#include "framework/config.h"
#include "framework/reinject.h"
#include "framework/ring.h"
#include "framework/stats.h"
#include "framework/task.h"
#include "block_logger/block_logger.h"
#include "kernel/kernel_if.h"
#include "file/file.h"
#include "kmod/kmod.h"
#include "log_collector/log_collector.h"
#include "log/ulog.h"
#include "net/net.h"
#include "task/task.h"
#include "task/usr_grp.h"

const char *const app_version = "1.1.0_20240529130429";

namespace {

enum step_flags : unsigned {
    FLUSH_FIRST = 1u << 0,              // flush the logger right before this undo
    FLUSH_FIRST_ON_FAILURE = 1u << 1,   // ... only when unwinding a failed start
    UNDO_BEFORE_DEV_AT_EXIT = 1u << 2,  // shut-down undoes it with the modules, before the device
};

struct startup_step {
    int no;
    const char *name;
    int (*init)();
    void (*undo)();
    unsigned flags;
};

int bypass_check() {
    void *handle = loader_bypass();
    if (!handle) return 0;
    int verdict = kiv_check_module_bypass(handle, "qxkiv");
    unload_bypass(handle);
    if (verdict == -1) {
        KIV_LOG(1, "qxkiv module bypass!\n");
        return -1;
    }
    return 0;
}

int switch_off() {
    if (kiv_dev_ioctl(KIV_SENSOR_SWITCH_REQ, 0) != 0) {
        KIV_LOG(0, "switch event delivery off failed(%s)\n", strerror(errno));
        return -1;
    }
    return 0;
}

const startup_step kSteps[] = {
    {1, "ulog_init", ulog_init, ulog_exit, FLUSH_FIRST_ON_FAILURE},
    {2, "os_info_init", os_info_init, nullptr, 0},
    {3, "kiv_timer_init", kiv_timer_init, kiv_timer_exit, 0},
    {4, "framework_cfg_init", framework_cfg_init, framework_cfg_exit, 0},
    // Not one of the numbered steps; right after the configuration names the installation.
    {STEP_INSTANCE_LOCK, "instance lock", instance_lock_take, instance_lock_release, 0},
    {5, "ulog_init_after_config", ulog_init_after_config, nullptr, 0},
    {6, "ustat_init", ustat_init, ustat_exit, UNDO_BEFORE_DEV_AT_EXIT},
    {7, "framework_resource_init", framework_resource_init, framework_resource_exit, 0},
    {8, "bypass check", bypass_check, nullptr, 0},
    {9, "kmod_load",
     [] {
         kmod_set_identity(app_version, g_utsname.release, g_utsname.machine, s_kernel_verion);
         return kmod_load();
     },
     kmod_unload, 0},
    {10, "kiv_open_dev", [] { return kiv_open_dev("/dev/qx_sensor"); }, kiv_close_dev, FLUSH_FIRST},
    {11, "kiv_share_ring_init", kiv_share_ring_init, nullptr, 0},
    {12, "kiv_usr_grp_info_init", kiv_usr_grp_info_init, kiv_usr_grp_info_exit, 0},
    {13, "kiv_task_init", kiv_task_init, kiv_task_exit, 0},
    {14, "kiv_file_init", kiv_file_init, kiv_file_exit, 0},
    {15, "kiv_net_init", kiv_net_init, kiv_net_exit, 0},
    {16, "kiv_block_logger_init", kiv_block_logger_init, kiv_block_logger_exit, 0},
    {17, "start_routine", start_routine, stop_routine, 0},
    {18, "switch off", switch_off, nullptr, 0},
};
constexpr int kStepNum = sizeof(kSteps) / sizeof(kSteps[0]);

std::atomic<int> s_fail_at{0};
bool s_started;  // host's thread only
bool s_wedged;   // a stop left threads running: no new start on top of them

void run_undo(const startup_step &s) {
    if (s.undo) s.undo();
}

// Undoes the first `done` steps in reverse. Shut-down differs from unwinding a failed start
// in two places: the statistics stop before the device flush, and no flush precedes the
// logger's own exit.
void unwind(int done, bool at_exit) {
    for (int i = done - 1; i >= 0; i--) {
        const startup_step &s = kSteps[i];
        if (at_exit && (s.flags & UNDO_BEFORE_DEV_AT_EXIT)) continue;
        bool flush = (s.flags & FLUSH_FIRST) || (!at_exit && (s.flags & FLUSH_FIRST_ON_FAILURE));
        if (flush && at_exit) {
            for (int j = i - 1; j >= 0; j--)
                if (kSteps[j].flags & UNDO_BEFORE_DEV_AT_EXIT) run_undo(kSteps[j]);
        }
        // Capture stops before the last counters are written, so that they show only what
        // the sensor itself still holds.
        if (flush && at_exit) kernel_backend_stop_capture();
        if (flush) ulog_save_once();
        run_undo(s);
        if (kiv_tasks_left_behind() != 0) {
            // A thread still running may touch every module below: they stay as they are,
            // and the host's stop still returns.
            s_wedged = true;
            KIV_LOG(0, "%d thread(s) did not stop: shut-down ends after %s\n",
                    kiv_tasks_left_behind(), s.name);
            ulog_save_once();
            return;
        }
    }
}

}  // namespace

void sensor_init_fail_at(int no) {
    s_fail_at.store(no, std::memory_order_relaxed);
}

bool sensor_init_has_step(int no) {
    for (const startup_step &s : kSteps)
        if (s.no == no) return true;
    return false;
}

int sensor_init() {
    // Unwinding a second start would tear down the running one.
    if (s_started) return 0;
    if (s_wedged) {
        KIV_LOG(0, "a previous stop left threads running, not starting again\n");
        return -1;
    }
    g_in_master_thread = 1;
    // The framework runs these layers above it through hooks handed in here.
    kiv_task_set_main(TASK_KIND_LOGGER, logger_main);
    kiv_task_set_main(TASK_KIND_LOG_COLLECTOR, log_collector_main);
    framework_cfg_set_before_reload(ulog_save_once);
    for (int i = 0; i < kStepNum; i++) {
        const startup_step &s = kSteps[i];
        int rc = s_fail_at.load(std::memory_order_relaxed) == s.no ? -1 : s.init();
        if (rc != 0) {
            KIV_LOG(0, "start-up step %d %s failed\n", s.no, s.name);
            unwind(i, false);
            g_in_master_thread = 0;
            return -1;
        }
    }
    s_started = true;
    KIV_LOG(2, "kiv app:%s init ok\n", app_version);
    g_in_master_thread = 0;
    return 0;
}

void sensor_exit() {
    if (!s_started) return;
    g_in_master_thread = 1;
    unwind(kStepNum, true);
    s_started = false;
    g_in_master_thread = 0;
}

bool sensor_running() {
    return s_started;
}

void sensor_switch(uint32_t mask) {
    int val = mask ? 1 : 0;
    KIV_LOG(2, "[sensor_switch] enable:%u,val:%d\n", mask, val);
    if (kiv_dev_ioctl(KIV_SENSOR_SWITCH_REQ, (unsigned long)val) != 0)
        KIV_LOG(1, "[sensor_switch] qxe_ioctl fialed,switch:%d\n", val);
    trigger_vfsmnt_update();
}
