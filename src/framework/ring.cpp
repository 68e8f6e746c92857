// Ring consumer, the collectors' priority read with per-task backup slots, and the producer
// side of the logger rings.
//
// The kernel (or the stand-in) publishes `w` with release after the record bytes, so `w` is
// read with acquire; `r` is published with release so a producer never overwrites bytes that
// are still being copied out. Counters that other threads read are accessed atomically.
#include "framework/ring.h"

#include <algorithm>

#include "base/mem.h"
#include "framework/task.h"
#include "base/log.h"

kiv_ring *__kiv_ring_low;
kiv_ring *__kiv_ring_mid;
kiv_ring *__kiv_ring_high;
kiv_ring *__kiv_ring_blocker;
kiv_ring *__kiv_ring_uctrl;
std::mutex __kiv_lock_low;
std::mutex __kiv_lock_mid;
std::mutex __kiv_lock_high;
std::mutex __kiv_lock_blocker;
std::mutex __kiv_lock_uctrl;

namespace {

constexpr uint32_t kHdrLen = sizeof(kiv_msg_hdr);
// bad_cnt (bits 0..30) and full_flag (bit 31) share one word that producer and consumer
// both change, so it is only touched with atomic read-modify-write.
constexpr size_t kFlagWordOff = 32;
static_assert(offsetof(kiv_ring, skip_bytes) == kFlagWordOff + 4);
constexpr uint32_t kFullFlag = 1u << 31;

uint32_t *flag_word(kiv_ring *ring) {
    return reinterpret_cast<uint32_t *>(reinterpret_cast<char *>(ring) + kFlagWordOff);
}

void clear_full_flag(kiv_ring *ring) {
    __atomic_fetch_and(flag_word(ring), ~kFullFlag, __ATOMIC_RELAXED);
}

void set_full_flag(kiv_ring *ring) {
    __atomic_fetch_or(flag_word(ring), kFullFlag, __ATOMIC_RELAXED);
}

// bad_cnt wraps inside its 31 bits and never carries into full_flag.
void bad_cnt_inc(kiv_ring *ring) {
    uint32_t *word = flag_word(ring);
    uint32_t old = __atomic_load_n(word, __ATOMIC_RELAXED), next;
    do {
        next = (old & kFullFlag) | ((old + 1) & ~kFullFlag);
    } while (
        !__atomic_compare_exchange_n(word, &old, next, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED));
}

uint32_t ld(const uint32_t *p) {
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
void st(uint32_t *p, uint32_t v) {
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}

uint32_t used_bytes(uint32_t r, uint32_t w, uint32_t size) {
    return r <= w ? w - r : size - r + w;
}

void peek_hdr(const kiv_ring *ring, uint32_t off, kiv_msg_hdr *hdr) {
    unsigned char raw[kHdrLen];
    __kiv_ring_copy_len(ring, off, raw, kHdrLen);
    memcpy(hdr, raw, kHdrLen);
}

// A record longer than the ring's capacity (one byte always stays free) can never be whole in
// it: waiting for the rest would wedge the ring, so such a header is garbage at once.
bool fits_ring(const kiv_msg_hdr *hdr, const kiv_ring *ring) {
    return hdr->len < ring->size;
}

kiv_ring *ring_of(int ring_type) {
    switch (ring_type) {
        case RING_HIGH:
            return __kiv_ring_high;
        case RING_MID:
            return __kiv_ring_mid;
        case RING_LOW:
            return __kiv_ring_low;
        default:
            return __kiv_ring_uctrl;
    }
}

constexpr uint32_t kRcvCounter[KIV_RING_TYPE_NUM] = {RCV_UCTRL, RCV_LOW, RCV_MID, RCV_HIGH};

void assert_slot_present(int ring_type) {
    switch (ring_type) {
        case RING_HIGH:
            KIV_ASSERT(current->bak_msg[RING_HIGH] != NULL);
            break;
        case RING_MID:
            KIV_ASSERT(current->bak_msg[RING_MID] != NULL);
            break;
        case RING_LOW:
            KIV_ASSERT(current->bak_msg[RING_LOW] != NULL);
            break;
        default:
            KIV_ASSERT(current->bak_msg[RING_UCTRL] != NULL);
            break;
    }
}

void assert_slot_empty(int ring_type) {
    switch (ring_type) {
        case RING_HIGH:
            KIV_ASSERT(current->bak_msg_len[RING_HIGH] == 0);
            break;
        case RING_MID:
            KIV_ASSERT(current->bak_msg_len[RING_MID] == 0);
            break;
        case RING_LOW:
            KIV_ASSERT(current->bak_msg_len[RING_LOW] == 0);
            break;
        default:
            KIV_ASSERT(current->bak_msg_len[RING_UCTRL] == 0);
            break;
    }
}

}  // namespace

uint32_t __kiv_ring_data_len(const kiv_ring *ring) {
    return used_bytes(__atomic_load_n(&ring->r, __ATOMIC_ACQUIRE),
                      __atomic_load_n(&ring->w, __ATOMIC_ACQUIRE), ring->size);
}

uint32_t __kiv_ring_free(const kiv_ring *ring) {
    return ring->size - __kiv_ring_data_len(ring) - 1;
}

void __qxe_r_put(kiv_ring *ring, uint32_t n) {
    uint64_t r = (uint64_t)ring->r + n;
    __atomic_store_n(&ring->r, (uint32_t)(r % ring->size), __ATOMIC_RELEASE);
}

void __kiv_ring_copy_len(const kiv_ring *ring, uint32_t off, void *dst, uint32_t n) {
    uint32_t start = (uint32_t)(((uint64_t)ring->r + off) % ring->size);
    uint32_t first = std::min(n, ring->size - start);
    memcpy(dst, ring->data + start, first);
    if (n > first) memcpy(static_cast<char *>(dst) + first, ring->data, n - first);
}

bool kiv_is_valid_hdr(const kiv_msg_hdr *hdr) {
    return hdr->magic == KIV_MSG_MAGIC && hdr->len >= kHdrLen && hdr->len <= KIV_MSG_MAX_LEN &&
           hdr->type <= KIV_EV_MAX_TYPE;
}

void kiv_ring_to_next(kiv_ring *ring) {
    uint32_t pending = __kiv_ring_data_len(ring);
    const unsigned char magic0 = KIV_MSG_MAGIC & 0xFF;
    for (uint32_t k = 0; k + kHdrLen <= pending; k++) {
        unsigned char b;
        __kiv_ring_copy_len(ring, k, &b, 1);
        if (b != magic0) continue;
        kiv_msg_hdr hdr;
        peek_hdr(ring, k, &hdr);
        if (!kiv_is_valid_hdr(&hdr) || !fits_ring(&hdr, ring)) continue;
        __qxe_r_put(ring, k);
        st(&ring->skip_bytes, ld(&ring->skip_bytes) + k);
        st(&ring->get_cnt, ld(&ring->get_cnt) - 1);
        return;
    }
    st(&ring->skip_bytes, ld(&ring->skip_bytes) + pending);
    __qxe_r_put(ring, pending);
    st(&ring->get_cnt, ld(&ring->put_cnt));
}

int __read_from_ring(kiv_ring *ring, void *buf, uint32_t len) {
    clear_full_flag(ring);
    uint32_t r = __atomic_load_n(&ring->r, __ATOMIC_RELAXED);
    uint32_t w = __atomic_load_n(&ring->w, __ATOMIC_ACQUIRE);
    uint32_t size = ring->size;
    if (r == w) return -1;
    if (r >= size || w >= size) {
        // A header we cannot trust: never index the data area with it.
        KIV_LOG(1, "ring %p offsets out of range r:%u w:%u size:%u\n", (void *)ring, r, w, size);
        return -1;
    }
    uint32_t pending = used_bytes(r, w, size);
    if (pending < kHdrLen) {
        bad_cnt_inc(ring);
        kiv_ring_to_next(ring);
        return -1;
    }
    kiv_msg_hdr hdr_copy;
    const kiv_msg_hdr *hdr = &hdr_copy;
    KIV_ASSERT(len >= sizeof(*hdr));
    __kiv_ring_copy_len(ring, 0, buf, kHdrLen);
    memcpy(&hdr_copy, buf, kHdrLen);
    bool valid = kiv_is_valid_hdr(hdr);
    if (valid && !fits_ring(hdr, ring)) {
        KIV_LOG(1, "ring %p record len:%u type:%u pid:%u larger than the ring (size:%u), skipped\n",
                (void *)ring, hdr->len, hdr->type, hdr->pid, size);
        valid = false;
    }
    if (valid && hdr->len <= pending) {
        uint32_t body = std::min<uint32_t>(hdr->len, len) - kHdrLen;
        __kiv_ring_copy_len(ring, kHdrLen, static_cast<char *>(buf) + kHdrLen, body);
        __qxe_r_put(ring, hdr->len);
        st(&ring->get_cnt, ld(&ring->get_cnt) + 1);
        return hdr->len;
    }
    bad_cnt_inc(ring);
    kiv_ring_to_next(ring);
    return -1;
}

bool is_high_handing_for_pid(uint32_t pid, uint8_t ring_type) {
    if (pid == 0) return false;
    for (int i = 0; i < g_tasks_num; i++) {
        if (g_tasks[i].handling_pid.load(std::memory_order_relaxed) == pid &&
            g_tasks[i].handling_ring.load(std::memory_order_relaxed) > ring_type) {
            KIV_ASSERT(current != &g_tasks[i]);
            return true;
        }
    }
    return false;
}

namespace {

bool higher_ring_has_data(int ring_type) {
    for (int rt = ring_type + 1; rt <= RING_HIGH; rt++)
        if (kiv_ring *ring = ring_of(rt); ring && __kiv_ring_data_len(ring) != 0) return true;
    return false;
}

}  // namespace

char *__read_all_msg(void *buf, uint32_t bufsize, uint32_t *len) {
    // One selection at a time: backup-slot decisions need a stable view of handling_pid.
    static std::mutex s_select_lock;
    std::lock_guard<std::mutex> guard(s_select_lock);
    KIV_ASSERT(current != NULL);

    bool looked_again = false;
    for (int rt = RING_HIGH; rt >= RING_UCTRL; rt--) {
        char *msg = nullptr;
        uint32_t msg_len = 0;
        bool from_slot = false;
        if (current->bak_msg_len[rt] != 0) {
            assert_slot_present(rt);
            msg = current->bak_msg[rt];
            msg_len = current->bak_msg_len[rt];
            from_slot = true;
        } else if (kiv_ring *ring = ring_of(rt); ring && __kiv_ring_data_len(ring) != 0) {
            // A record seen here was put after every record its producer put before it in a
            // higher ring (an exec before its process's connection): if one came in since
            // that ring was looked at, it goes first. Once only: a higher ring whose header
            // cannot be read keeps showing data and must not stall the lower ones.
            if (!looked_again && rt < RING_HIGH && higher_ring_has_data(rt)) {
                looked_again = true;
                rt = RING_HIGH + 1;
                continue;
            }
            int n = __read_from_ring(ring, buf, bufsize);
            if (n > 0) {
                msg = static_cast<char *>(buf);
                msg_len = (uint32_t)n;
            }
        }
        if (!msg) continue;

        uint32_t pid = kiv_msg_hdr_get(msg).pid;
        if (!current->bak_msg[rt])
            current->bak_msg[rt] =
                static_cast<char *>(kiv_malloc(KIV_MSG_MAX_LEN, MALLOC_FOR_BAKMSG));
        if (current->bak_msg[rt] && is_high_handing_for_pid(pid, (uint8_t)rt)) {
            if (!from_slot) {
                assert_slot_empty(rt);
                memcpy(current->bak_msg[rt], buf, std::min({msg_len, bufsize, KIV_MSG_MAX_LEN}));
                current->bak_msg_len[rt] = (uint16_t)msg_len;
                kiv_stat_inc(CACHE_MSG);
                KIV_LOG(4, "cache msg:pid:%d,ring_type:%d\n", (int)pid, rt);
            }
            return nullptr;
        }
        current->bak_msg_len[rt] = 0;
        current->handling_ring.store((uint8_t)rt, std::memory_order_relaxed);
        current->handling_pid.store(pid, std::memory_order_relaxed);
        kiv_stat_inc(kRcvCounter[rt]);
        *len = msg_len;
        return msg;
    }
    return nullptr;
}

uint64_t __all_ring_msg_num() {
    struct {
        kiv_ring *ring;
        std::mutex *lock;
    } const rings[] = {{__kiv_ring_high, &__kiv_lock_high},
                       {__kiv_ring_mid, &__kiv_lock_mid},
                       {__kiv_ring_low, &__kiv_lock_low},
                       {__kiv_ring_uctrl, &__kiv_lock_uctrl}};
    uint64_t n = 0;
    for (const auto &e : rings) {
        if (!e.ring) continue;
        std::lock_guard<std::mutex> guard(*e.lock);
        n += (uint32_t)(ld(&e.ring->put_cnt) - ld(&e.ring->get_cnt));
    }
    return n;
}

kiv_ring *kiv_ring_init(char **cursor, uint32_t size) {
    KIV_ASSERT(((uintptr_t)*cursor & 3) == 0);
    auto *ring = reinterpret_cast<kiv_ring *>(*cursor);
    memset(ring, 0, sizeof(*ring));
    ring->size = size;
    *cursor += sizeof(*ring) + size;
    return ring;
}

int __put_to_ring(kiv_ring *ring, const void *data, uint32_t len) {
    KIV_ASSERT(ring != NULL);
    KIV_ASSERT(data != NULL);
    uint32_t size = ring->size;
    uint32_t w = ring->w;
    uint32_t room = size - used_bytes(__atomic_load_n(&ring->r, __ATOMIC_ACQUIRE), w, size) - 1;
    if (len > room) {
        st(&ring->full_cnt, ld(&ring->full_cnt) + 1);
        set_full_flag(ring);
        return -1;
    }
    uint32_t first = std::min(len, size - w);
    memcpy(ring->data + w, data, first);
    if (len > first) memcpy(ring->data, static_cast<const char *>(data) + first, len - first);
    // Counters after w: a resynchronising consumer copies put_cnt, which must not yet count
    // a record it has still to read.
    __atomic_store_n(&ring->w, (uint32_t)(((uint64_t)w + len) % size), __ATOMIC_RELEASE);
    st(&ring->put_total, ld(&ring->put_total) + 1);
    st(&ring->put_cnt, ld(&ring->put_cnt) + 1);
    return 0;
}

int __check_ring(kiv_ring *ring, uint32_t size) {
    if (ring->w < size && ring->r < size && ring->size == size) return 0;
    ring->r = 0;
    ring->w = 0;
    ring->size = size;
    clear_full_flag(ring);
    return -1;
}
