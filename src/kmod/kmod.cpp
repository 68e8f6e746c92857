#include "kmod/kmod.h"

#include <unistd.h>

#include "framework/config.h"
#include "kernel/kernel_if.h"
#include "base/log.h"

namespace {
constexpr const char *kSensorDev = "/dev/qx_sensor";
}

int kmod_load() {
    auto mode = static_cast<kiv_kernel_mode>(g_framework_config.kernel_mode);
    if (mode != KERNEL_MODE_MODULE) {
        kernel_backend_set_live_source(
            static_cast<kiv_live_source>(g_framework_config.userspace_source));
        if (kernel_backend_start(mode) != 0) {
            KIV_LOG(0, "start kernel stand-in (kernel_mode %d) failed\n", (int)mode);
            return -1;
        }
        KIV_LOG(2, "kernel stand-in started, kernel_mode %d\n", (int)mode);
        return 0;
    }
    // Choosing and loading a module file is not done here: only a module that is already
    // in the kernel can be used.
    char proc[256];
    const char *proc_dir = kernel_proc_path("", proc, sizeof(proc));
    const char *missing = !proc_dir || access(proc_dir, F_OK) != 0 ? "/proc/qxkiv"
                          : access(kSensorDev, F_OK) != 0          ? kSensorDev
                                                                   : nullptr;
    if (missing) {
        KIV_LOG(0,
                "kernel module qxkiv not usable: %s missing and this build cannot load the "
                "module; set kernel_mode = emulated or userspace in section base of "
                "sensor.conf\n",
                missing);
        return -1;
    }
    KIV_LOG(2, "use loaded kernel module qxkiv\n");
    return 0;
}

void kmod_unload() {
    if (kernel_backend_mode() != KERNEL_MODE_MODULE) {
        kernel_backend_stop();
        KIV_LOG(3, "kernel stand-in stopped\n");
        return;
    }
    // A module this build did not load stays in the kernel.
    KIV_LOG(3, "rmmod skipped\n");
}
