#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kernel/kernel_if.h"
#include "qxkiv/kemu.h"

namespace {

TEST(KernelIf, DeviceBackendMakesTheRealCalls) {
    ASSERT_EQ(kernel_backend_start(KERNEL_MODE_MODULE), 0);
    char name[] = "/tmp/kernel_if_XXXXXX";
    int tmp = mkstemp(name);
    ASSERT_GE(tmp, 0);
    ASSERT_EQ(ftruncate(tmp, 8192), 0);
    close(tmp);

    int fd = kernel_open(name, O_RDWR);
    ASSERT_GE(fd, 0);
    // Shared: a write through the mapping is what the file (the "device") holds.
    auto *map = static_cast<char *>(kernel_mmap(fd, 8192));
    ASSERT_NE(map, nullptr);
    memcpy(map + 4096, "ring", 4);
    char back[4];
    ASSERT_EQ(pread(fd, back, 4, 4096), 4);
    EXPECT_EQ(memcmp(back, "ring", 4), 0);
    EXPECT_EQ(kernel_munmap(map, 8192), 0);
    EXPECT_EQ(kernel_ioctl(fd, 0x7309, 0), -1);  // a plain file knows no module request
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(kernel_close(fd), 0);
    unlink(name);

    EXPECT_EQ(kernel_open("/dev/qx_sensor_absent", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(kernel_mmap(-1, 4096), nullptr);
    EXPECT_EQ(kernel_delete_module("qxkiv_not_loaded", O_NONBLOCK), -1);
    EXPECT_EQ(kemu_inject(0, nullptr, 0), KEMU_INACTIVE);  // no stand-in behind the device backend
    kernel_backend_stop();
}

}  // namespace
