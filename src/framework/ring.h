// Consumer side of the kernel rings, the collectors' priority read, and the producer side
// used by the in-process logger rings.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "kernel/ring_layout.h"

#define RING_NAME(name) __kiv_ring_##name

extern kiv_ring *__kiv_ring_low;
extern kiv_ring *__kiv_ring_mid;
extern kiv_ring *__kiv_ring_high;
extern kiv_ring *__kiv_ring_blocker;
extern kiv_ring *__kiv_ring_uctrl;
extern std::mutex __kiv_lock_low;
extern std::mutex __kiv_lock_mid;
extern std::mutex __kiv_lock_high;
extern std::mutex __kiv_lock_blocker;
extern std::mutex __kiv_lock_uctrl;

// Record bytes may sit at any alignment (ring data, parked copies): always decode by copy.
inline kiv_msg_hdr kiv_msg_hdr_get(const void *msg) {
    kiv_msg_hdr h;
    memcpy(&h, msg, sizeof(h));
    return h;
}

// Device and region.
int kiv_open_dev(const char *path);
void *kiv_mmap_ring(size_t len);
void kiv_close_dev();
// A control request on the open sensor device; -1 with EBADF when it is not open.
long kiv_dev_ioctl(unsigned long request, unsigned long arg);
int kiv_share_ring_init();
// Tests shorten the ENOENT retry wait; null restores the 100 ms sleep.
void kiv_set_open_dev_sleep(void (*sleep_ms)(unsigned ms));

// Consumer side.
uint32_t __kiv_ring_data_len(const kiv_ring *ring);
uint32_t __kiv_ring_free(const kiv_ring *ring);
void __qxe_r_put(kiv_ring *ring, uint32_t n);
void __kiv_ring_copy_len(const kiv_ring *ring, uint32_t off, void *dst, uint32_t n);
bool kiv_is_valid_hdr(const kiv_msg_hdr *hdr);
void kiv_ring_to_next(kiv_ring *ring);
int __read_from_ring(kiv_ring *ring, void *buf, uint32_t len);
char *__read_all_msg(void *buf, uint32_t bufsize, uint32_t *len);
uint64_t __all_ring_msg_num();
bool is_high_handing_for_pid(uint32_t pid, uint8_t ring_type);

// Producer side (logger rings).
kiv_ring *kiv_ring_init(char **cursor, uint32_t size);
int __put_to_ring(kiv_ring *ring, const void *data, uint32_t len);
int __check_ring(kiv_ring *ring, uint32_t size);
