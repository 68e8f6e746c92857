// The host's control of the sensor: start, stop and the delivery switches.
#include <cstdint>

#include "base/log.h"
#include "framework/mod_manager.h"
#include "qxkiv/qxkiv.h"
#include "startup/startup.h"

KIV_API int init_mod_manager(void) {
    if (mod_manager_started()) return 0;
    mod_manager_reset_callbacks();
    for (auto &sw : g_mod_switch) sw.store(0);
    if (sensor_init() != 0) {
        KIV_LOG(0, "sensor_init failed \n");
        return -1;
    }
    g_init_done.store(1, std::memory_order_release);
    KIV_LOG(2, "sensor_init successfully!\n");
    return 0;
}

KIV_API void exit_mod_manager(void) {
    sensor_exit();
}

KIV_API int set_module(uint32_t mask) {
    if (!mod_manager_started()) {
        KIV_LOG(0, "[set_module] mod_manager init isn't done\n");
        return -1;
    }
    for (int k = 0; k < MOD_SWITCH_NUM; k++) g_mod_switch[k].store((mask >> k) & 1u);
    sensor_switch(mask);
    return 0;
}
