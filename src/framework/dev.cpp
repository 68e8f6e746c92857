// The sensor device and the region shared with the kernel module.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "framework/ring.h"
#include "kernel/kernel_if.h"
#include "base/log.h"

namespace {

int s_dev_fd = -1;
void *s_map_addr;
size_t s_map_size;

constexpr int kOpenRetries = 100;
constexpr unsigned kOpenRetryMs = 100;

void default_sleep(unsigned ms) {
    usleep(ms * 1000);
}
void (*s_open_sleep)(unsigned ms) = default_sleep;

void reset_ring_pointers() {
    RING_NAME(low) = RING_NAME(mid) = RING_NAME(high) = nullptr;
    RING_NAME(blocker) = RING_NAME(uctrl) = nullptr;
}

void unmap_region() {
    if (!s_map_addr) return;
    if (kernel_munmap(s_map_addr, s_map_size) != 0)
        KIV_LOG(1, "unmap failed(%s)\n", strerror(errno));
    s_map_addr = nullptr;
    s_map_size = 0;
}

bool pad_matches(const void *pad) {
    uint32_t v;
    memcpy(&v, pad, sizeof(v));
    return v == RING_PAD_MAGIC;
}

}  // namespace

void kiv_set_open_dev_sleep(void (*sleep_ms)(unsigned ms)) {
    s_open_sleep = sleep_ms ? sleep_ms : default_sleep;
}

int kiv_open_dev(const char *path) {
    // The node may appear shortly after the module is loaded.
    for (int retries = 0;; retries++) {
        s_dev_fd = kernel_open(path, O_RDWR | O_CLOEXEC);
        if (s_dev_fd >= 0) break;
        int err = errno;
        if (err != ENOENT || retries >= kOpenRetries) {
            KIV_LOG(0, "open %s failed(%d:%s)\n", path, err, strerror(err));
            return -1;
        }
        s_open_sleep(kOpenRetryMs);
    }
    KIV_LOG(2, "open dev ok\n");
    return 0;
}

void *kiv_mmap_ring(size_t len) {
    void *addr = kernel_mmap(s_dev_fd, len);
    if (!addr) return nullptr;
    s_map_addr = addr;
    s_map_size = len;
    return addr;
}

long kiv_dev_ioctl(unsigned long request, unsigned long arg) {
    if (s_dev_fd < 0) {
        errno = EBADF;
        return -1;
    }
    return kernel_ioctl(s_dev_fd, request, arg);
}

void kiv_close_dev() {
    reset_ring_pointers();
    unmap_region();
    if (s_dev_fd >= 0) {
        if (kernel_close(s_dev_fd) != 0) KIV_LOG(1, "close dev failed(%s)\n", strerror(errno));
        s_dev_fd = -1;
    }
    KIV_LOG(3, "close dev\n");
}

// A pad that does not match means the module lays the region out differently: the region
// is not used and start-up fails (the host keeps running).
#define RING_PAD_CHECK(pad, text)                                                       \
    do {                                                                                \
        if (!pad_matches(pad)) {                                                        \
            KIV_LOG(0, "line %s:%d\tassert \"%s\" failed\n", __func__, __LINE__, text); \
            reset_ring_pointers();                                                      \
            unmap_region();                                                             \
            return -1;                                                                  \
        }                                                                               \
    } while (0)

#define RING_SET_AND_CHECK(name, off)                                 \
    do {                                                              \
        RING_NAME(name) = reinterpret_cast<kiv_ring *>(addr + (off)); \
        RING_PAD_CHECK((char *)RING_NAME(name) - sizeof(uint32_t),    \
                       "*((uint32_t *)((char *)RING_NAME(" #name      \
                       ") - sizeof(uint32_t))) == RING_PAD_MAGIC");   \
    } while (0)

int kiv_share_ring_init() {
    KIV_LOG(2, "init user ring,size:%lu\n", (unsigned long)KIV_REGION_SIZE);
    char *addr = static_cast<char *>(kiv_mmap_ring(KIV_REGION_SIZE));
    if (!addr) {
        int err = errno;
        KIV_LOG(0, "mmap failed(%d:%s)\n", err, strerror(err));
        return -1;
    }
    RING_SET_AND_CHECK(low, KIV_OFF_LOW);
    RING_SET_AND_CHECK(mid, KIV_OFF_MID);
    RING_SET_AND_CHECK(high, KIV_OFF_HIGH);
    RING_SET_AND_CHECK(blocker, KIV_OFF_BLOCKER);
    RING_SET_AND_CHECK(uctrl, KIV_OFF_UCTRL);
    size_t off = KIV_OFF_END_PAD;
    RING_PAD_CHECK(addr + off, "*((uint32_t *)(addr + off)) == RING_PAD_MAGIC");
    KIV_LOG(2, "ring init ok\n");
    return 0;
}
