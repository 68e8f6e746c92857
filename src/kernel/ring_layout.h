// Byte layouts shared with the kernel module: the mapped region, ring headers and the
// record header. These are binding to the byte; every field is little-endian.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint32_t RING_PAD_MAGIC = 0xFEDCCDEF;
constexpr uint32_t KIV_MSG_MAGIC = 0xFEDCCDEF;
constexpr uint32_t KIV_MSG_MAX_LEN = 6144;  // largest record, read buffer and backup slot
constexpr uint16_t KIV_EV_MAX_TYPE = 28;

enum kiv_ring_type : uint8_t { RING_UCTRL = 0, RING_LOW = 1, RING_MID = 2, RING_HIGH = 3 };
constexpr int KIV_RING_TYPE_NUM = 4;

struct kiv_ring {
    uint32_t r;            // consumer
    uint32_t w;            // producer; published after the record bytes
    uint32_t put_cnt;      // producer
    uint32_t get_cnt;      // consumer
    uint32_t size;         // data area length
    uint32_t put_total;    // logger rings
    uint32_t full_cnt;     // records refused for lack of room
    uint32_t invalid_cnt;  // logger rings: invalid headers refused by the producer
    uint32_t bad_cnt : 31;
    uint32_t full_flag : 1;
    uint32_t skip_bytes;
    unsigned char data[];
};
static_assert(sizeof(kiv_ring) == 40);
static_assert(offsetof(kiv_ring, full_cnt) == 24);
static_assert(offsetof(kiv_ring, skip_bytes) == 36);

struct kiv_msg_hdr {
    uint32_t magic;
    uint16_t len;   // whole record including this header
    uint16_t type;  // event type 0..28
    uint32_t pid;   // 0 = none
};
static_assert(sizeof(kiv_msg_hdr) == 12);
constexpr size_t KIV_MSG_BODY_OFFSET = 16;  // bytes 12..15 carry nothing the library reads

// The shared region: pads and rings at fixed offsets.
constexpr size_t KIV_REGION_SIZE = 0x100160;  // 1,048,928 bytes
constexpr uint32_t KIV_LOW_DATA = 524288, KIV_MID_DATA = 262144, KIV_HIGH_DATA = 262144,
                   KIV_BLOCKER_DATA = 64, KIV_UCTRL_DATA = 64;
constexpr size_t KIV_OFF_LOW = 0x000004, KIV_OFF_MID = 0x080030, KIV_OFF_HIGH = 0x0C005C,
                 KIV_OFF_BLOCKER = 0x100088, KIV_OFF_UCTRL = 0x1000F4, KIV_OFF_END_PAD = 0x10015C;
static_assert(KIV_OFF_LOW + 40 + KIV_LOW_DATA + 4 == KIV_OFF_MID);
static_assert(KIV_OFF_MID + 40 + KIV_MID_DATA + 4 == KIV_OFF_HIGH);
static_assert(KIV_OFF_HIGH + 40 + KIV_HIGH_DATA + 4 == KIV_OFF_BLOCKER);
static_assert(KIV_OFF_BLOCKER + 40 + KIV_BLOCKER_DATA + 4 == KIV_OFF_UCTRL);
static_assert(KIV_OFF_UCTRL + 40 + KIV_UCTRL_DATA == KIV_OFF_END_PAD);
static_assert(KIV_OFF_END_PAD + 4 == KIV_REGION_SIZE);
