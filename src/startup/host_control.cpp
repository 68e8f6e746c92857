// The host's control of the sensor: start, stop and the delivery switches.
//
// Host threads may call these at any time and from anywhere, including from inside the
// library's own callbacks. Start, stop and switching are serialised; a stop asked for on a
// path that the stop would have to wait for (a thread of the library, a host callback, a host
// call still inside a module) is refused instead of deadlocking or freeing what the caller
// still uses.
#include <cstdint>
#include <mutex>

#include "base/log.h"
#include "comm/entry_gate.h"
#include "framework/mod_manager.h"
#include "framework/task.h"
#include "kmod/kmod.h"
#include "qxkiv/qxkiv.h"
#include "startup/startup.h"

namespace {

std::mutex s_control_lock;

bool on_sensor_path() {
    return current != nullptr || t_in_host_callback > 0 || t_gate_depth > 0;
}

}  // namespace

std::mutex &sensor_control_lock() {
    return s_control_lock;
}

KIV_API int init_mod_manager(void) {
    // Also the answer on the sensor's own threads, which exist only once it has started.
    if (mod_manager_started()) return 0;
    std::lock_guard<std::mutex> g(s_control_lock);
    if (mod_manager_started()) return 0;
    mod_manager_reset_callbacks();
    for (auto &sw : g_mod_switch) sw.store(0);
    if (sensor_init() != 0) {
        KIV_LOG(0, "sensor_init failed \n");
        return -1;
    }
    g_init_done.store(1, std::memory_order_release);
    KIV_LOG(2, "sensor_init successfully!\n");
    driver_completed();
    return 0;
}

KIV_API void exit_mod_manager(void) {
    if (on_sensor_path()) {
        KIV_LOG(0,
                "exit_mod_manager refused: called from a sensor thread or callback; call it "
                "from a host thread after the callback returned\n");
        return;
    }
    std::lock_guard<std::mutex> g(s_control_lock);
    sensor_exit();
}

KIV_API int set_module(uint32_t mask) {
    if (!mod_manager_started()) {
        KIV_LOG(0, "[set_module] mod_manager init isn't done\n");
        return -1;
    }
    // A stop in progress joins the sensor's threads: one of them must not wait for it.
    std::unique_lock<std::mutex> g(s_control_lock, std::defer_lock);
    if (on_sensor_path()) {
        if (!g.try_lock()) {
            KIV_LOG(1, "[set_module] sensor is starting or stopping, mask 0x%x not applied\n",
                    mask);
            return -1;
        }
    } else {
        g.lock();
    }
    if (!sensor_running()) {
        KIV_LOG(1, "[set_module] sensor is stopped, mask 0x%x not applied\n", mask);
        return -1;
    }
    for (int k = 0; k < MOD_SWITCH_NUM; k++) g_mod_switch[k].store((mask >> k) & 1u);
    sensor_switch(mask);
    return 0;
}
