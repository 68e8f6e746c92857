// The collectors' ring reader on raw bytes written into the stand-in's shared region: chunks
// of arbitrary bytes land in the four rings from an arbitrary start offset (so they wrap),
// then the priority read drains them. Every record handed over must carry a valid header
// and its stated length, fit the read buffer, and the consumer offsets stay inside their
// rings whatever the bytes were.
//
// Input: for each of the four rings (uctrl, low, mid, high) a u16 distance of the start from
// the ring's end; a flag byte (bit 0: another collector handles the u32 pid that follows on
// the ring of the next byte; bit 1: the next byte picks a ring, the one after r or w, and
// that offset is set beyond the data area); then chunks: ring byte, u16 length, bytes.
#include <fcntl.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "framework/ring.h"
#include "fuzz_input.h"
#include "framework/task.h"
#include "kernel/kernel_if.h"
#include "kernel/standin/standin.h"
#include "qxkiv/kemu.h"

namespace {

constexpr int kRingTypes[] = {RING_UCTRL, RING_LOW, RING_MID, RING_HIGH};

std::vector<kiv_task> *s_tasks;

bool setup() {
    if (kernel_backend_start(KERNEL_MODE_EMULATED) != 0) return false;
    atexit(kernel_backend_stop);  // removes the stand-in's private tree
    if (kiv_open_dev("/dev/qx_sensor") < 0 || kiv_share_ring_init() != 0) return false;
    s_tasks = new std::vector<kiv_task>(2);
    for (int i = 0; i < 2; i++) (*s_tasks)[i].task_no = (int16_t)(i + 1);
    g_tasks = s_tasks->data();
    g_tasks_num = 2;
    return true;
}

void reset_ring(kiv_ring *ring, uint32_t start) {
    uint32_t size = ring->size;
    // Header words the producer and consumer share; the data area keeps the last run's bytes,
    // as a real region does.
    __atomic_store_n(&ring->r, start % size, __ATOMIC_RELAXED);
    __atomic_store_n(&ring->w, start % size, __ATOMIC_RELAXED);
    ring->put_cnt = ring->get_cnt = ring->put_total = ring->full_cnt = 0;
    ring->invalid_cnt = ring->skip_bytes = 0;
    ring->bad_cnt = 0;
    ring->full_flag = 0;
}

void check_record(const char *msg, uint32_t len) {
    kiv_msg_hdr h = kiv_msg_hdr_get(msg);
    if (len < sizeof(kiv_msg_hdr) || len > KIV_MSG_MAX_LEN || h.len != len ||
        h.magic != KIV_MSG_MAGIC || h.type > KIV_EV_MAX_TYPE)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = setup();
    if (!ready) abort();
    fuzz_input in{data, size};

    kiv_task *task = &(*s_tasks)[0], *other = &(*s_tasks)[1];
    current = task;
    for (kiv_task *t : {task, other}) {
        t->handling_pid = 0;
        t->handling_ring = 0;
        for (auto &n : t->bak_msg_len) n = 0;
    }
    // Start near the end of the ring so that records cross the wrap point.
    for (int rt : kRingTypes) {
        kiv_ring *ring = standin_ring(rt);
        reset_ring(ring, ring->size - in.u16() % 8192);
    }
    uint8_t flags = in.u8();
    // Another collector busy with a pid on a higher ring: records of that pid get parked.
    if (flags & 1) {
        other->handling_pid = in.u32();
        other->handling_ring = in.u8() % 4;
    }
    // A header the producer corrupted: offsets beyond the data area.
    kiv_ring *corrupt = nullptr;
    if (flags & 2) {
        corrupt = standin_ring(kRingTypes[in.u8() % 4]);
        uint8_t how = in.u8();
        uint32_t bad = corrupt->size + how / 2;
        __atomic_store_n(how & 1 ? &corrupt->r : &corrupt->w, bad, __ATOMIC_RELAXED);
    }
    while (in.left > 0) {
        int rt = kRingTypes[in.u8() % 4];
        std::vector<uint8_t> chunk = in.bytes(in.u16());
        if (chunk.empty()) break;
        kemu_inject_raw(rt, chunk.data(), (uint32_t)chunk.size());
    }

    // Exactly a record's room: ASan sees any byte written past it.
    std::unique_ptr<char[]> buf(new char[KIV_MSG_MAX_LEN]);
    int idle = 0;
    for (int i = 0; i < 4096 && idle < 8; i++) {
        uint32_t len = 0;
        char *msg = __read_all_msg(buf.get(), KIV_MSG_MAX_LEN, &len);
        if (!msg) {
            idle++;
            continue;
        }
        idle = 0;
        check_record(msg, len);
        task->handling_pid = 0;
    }
    // The plain read on each ring, past whatever the priority read left.
    for (int rt : kRingTypes) {
        kiv_ring *ring = standin_ring(rt);
        for (int i = 0; i < 256; i++) {
            int n = __read_from_ring(ring, buf.get(), KIV_MSG_MAX_LEN);
            if (n > 0) check_record(buf.get(), (uint32_t)n);
        }
        // The reader never moves r out of range (a corrupt header it leaves alone).
        if (ring != corrupt && __atomic_load_n(&ring->r, __ATOMIC_RELAXED) >= ring->size)
            __builtin_trap();
    }
    return 0;
}
