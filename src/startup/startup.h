// Bringing the sensor up and down on the host's thread, the kernel identity, the optional
// bypass plug-in and the kernel's event delivery switch.
#pragma once
#include <sys/ioctl.h>
#include <sys/utsname.h>

#include <cstdint>
#include <cstdio>
#include <mutex>

extern const char *const app_version;

// Event delivery off (0) or on (1); the value itself is the argument, not a pointer.
constexpr unsigned long KIV_SENSOR_SWITCH_REQ = _IOW('s', 1, uint32_t);
static_assert(KIV_SENSOR_SWITCH_REQ == 0x40047301);

int sensor_init();
void sensor_exit();
// Between a successful sensor_init and sensor_exit; read under the host control lock.
bool sensor_running();
// Serialises start, stop, switching and the configuration check.
std::mutex &sensor_control_lock();
// Delivery on for a non-zero mask, off for 0. Failures are logged and otherwise ignored.
void sensor_switch(uint32_t mask);

// The instance lock's step number (after step 4, outside the numbered steps 1..18).
constexpr int STEP_INSTANCE_LOCK = 104;
// Tests: make start-up step `no` (1..18) fail without running it; 0 disables.
void sensor_init_fail_at(int no);
// Whether start-up step `no` is in the table yet.
bool sensor_init_has_step(int no);

// Kernel identity.
extern struct utsname g_utsname;
extern int s_kernel_verion;  // major * 65536 + minor * 256 + patch
int os_info_init();
// Parses "major.minor.patch..." into the code above; -1 (logged) when a dot is missing.
int os_release_code(const char *release, int *code);

// Bypass plug-in "libqxbypass.so", found two levels above the directory of libqxkiv.so.
void *loader_bypass();
int kiv_check_module_bypass(void *handle, const char *module_name);
void unload_bypass(void *handle);
int qx_bypass_get_config_dir(char *buf, int size);
// The /proc/self/maps scan of qx_bypass_get_config_dir over any stream.
int bypass_dir_from_maps(FILE *maps, char *buf, int size);
