#include "kernel/standin/proc_table.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kernel/standin/standin.h"
#include "base/log.h"

namespace {

// A real module keeps a bounded queue of lost exits; the oldest go first when it overflows.
constexpr size_t LOST_EXITS_MAX = 4096;
// Exited processes kept for queries about a parent that is already gone.
constexpr size_t EXITED_KEEP = 1024;

// Sum of the eight string lengths of a flex block, or -1 when one exceeds its maximum.
long flex_total(const unsigned char *h) {
    uint16_t w0 = kemu_ld<uint16_t>(h), w2 = kemu_ld<uint16_t>(h + 2),
             w4 = kemu_ld<uint16_t>(h + 4), w6 = kemu_ld<uint16_t>(h + 6);
    uint32_t d0 = kemu_ld<uint32_t>(h), d4 = kemu_ld<uint32_t>(h + 4);
    uint32_t len[8] = {
        w0 & 0x3ffu,          // cmd_line
        (d0 >> 10) & 0x3ffu,  // cur_path
        w4 & 0x3ffu,          // path
        (d4 >> 10) & 0x3ffu,  // process_fd0
        (w6 >> 4) & 0x3ffu,   // process_fd1
        h[8],                 // papp_type
        (w2 >> 4) & 0x3fu,    // user_name
        (h[3] >> 2) & 0x3fu,  // group_name
    };
    static constexpr uint32_t max[8] = {1023, 1023, 1023, 1023, 1023, 128, 32, 32};
    long sum = 0;
    for (int t = 0; t < 8; t++) {
        if (len[t] > max[t]) return -1;
        sum += len[t];
    }
    return sum;
}

}  // namespace

int kemu_proc_table::set(const unsigned char *raw, uint32_t len) {
    if (!raw || len < KEMU_RAW_PROC_FIXED + KEMU_FLEX_HDR || len > KEMU_PROC_SLOT) {
        KIV_LOG(1, "kemu: bad process record length %u\n", len);
        return -1;
    }
    long strings = flex_total(raw + KEMU_RAW_PROC_FIXED);
    uint32_t pid = kemu_ld<uint32_t>(raw + 16);
    if (strings < 0 || KEMU_RAW_PROC_FIXED + KEMU_FLEX_HDR + strings > len || pid == 0) {
        KIV_LOG(1, "kemu: bad process record pid %u len %u strings %ld\n", pid, len, strings);
        return -1;
    }
    procs_[{pid, kemu_ld<uint64_t>(raw)}].assign(raw, raw + len);
    return 0;
}

int kemu_proc_table::drop(uint32_t pid, uint64_t create_time) {
    return procs_.erase({pid, create_time}) ? 0 : -1;
}

int kemu_proc_table::lose_exit(uint32_t pid, uint64_t create_time) {
    if (pid == 0) return -1;
    procs_.erase({pid, create_time});
    if (lost_.size() >= LOST_EXITS_MAX) lost_.pop_front();
    lost_.push_back({pid, create_time});
    return 0;
}

const std::vector<unsigned char> *kemu_proc_table::find(uint32_t pid, uint64_t create_time) const {
    if (create_time != 0) {
        auto it = procs_.find({pid, create_time});
        return it == procs_.end() ? nullptr : &it->second;
    }
    auto it = procs_.upper_bound({pid, UINT64_MAX});
    if (it == procs_.begin() || (--it)->first.first != pid) return nullptr;
    return &it->second;
}

bool kemu_proc_table::get(uint32_t pid, uint64_t create_time,
                          std::vector<unsigned char> &out) const {
    const auto *rec = find(pid, create_time);
    if (rec) out = *rec;
    return rec != nullptr;
}

bool kemu_proc_table::forget(uint32_t pid, uint64_t *create_time) {
    auto it = procs_.upper_bound({pid, UINT64_MAX});
    if (it == procs_.begin() || (--it)->first.first != pid) return false;
    if (create_time) *create_time = it->first.second;
    if (exited_.size() >= EXITED_KEEP) exited_.pop_front();
    exited_.emplace_back(it->first, std::move(it->second));
    procs_.erase(it);
    return true;
}

const std::vector<unsigned char> *kemu_proc_table::find_exited(uint32_t pid,
                                                               uint64_t create_time) const {
    for (auto it = exited_.rbegin(); it != exited_.rend(); ++it)
        if (it->first.first == pid && (create_time == 0 || it->first.second == create_time))
            return &it->second;
    return nullptr;
}

size_t kemu_proc_table::lose_dead(bool (*alive)(uint32_t pid, uint64_t create_time)) {
    size_t moved = 0;
    for (auto it = procs_.begin(); it != procs_.end();) {
        if (alive(it->first.first, it->first.second)) {
            ++it;
            continue;
        }
        if (lost_.size() >= LOST_EXITS_MAX) lost_.pop_front();
        lost_.push_back(it->first);
        it = procs_.erase(it);
        moved++;
    }
    return moved;
}

long kemu_proc_table::query(unsigned char *block, uint32_t data_size, const kemu_proc_live *live) {
    unsigned char *data = block + KEMU_QUERY_HDR;
    uint32_t type = kemu_ld<uint32_t>(block + KEMU_QUERY_OFF_TYPE);
    uint32_t pid = kemu_ld<uint32_t>(block + KEMU_QUERY_OFF_PID);
    uint64_t create_time = kemu_ld<uint64_t>(block + KEMU_QUERY_OFF_CREATE_TIME);
    uint32_t asked = kemu_ld<uint32_t>(block + KEMU_QUERY_OFF_NUM);
    uint32_t n = 0;

    auto put_slot = [&](const std::vector<unsigned char> &rec) {
        unsigned char *slot = data + (size_t)n * KEMU_PROC_SLOT;
        memcpy(slot, rec.data(), rec.size());
        memset(slot + rec.size(), 0, KEMU_PROC_SLOT - rec.size());
        n++;
    };

    // The live process first, then the table's record of it.
    std::vector<unsigned char> live_rec;
    auto lookup = [&](uint32_t p, uint64_t ct) -> const std::vector<unsigned char> * {
        if (live && live->lookup(p, ct, live_rec) && live_rec.size() <= KEMU_PROC_SLOT)
            return &live_rec;
        const auto *rec = find(p, ct);
        return rec || !live ? rec : find_exited(p, ct);
    };

    switch (type) {
        case KEMU_QUERY_SINGLE: {
            if (data_size < KEMU_PROC_SLOT) return -EINVAL;
            const auto *rec = lookup(pid, create_time);
            if (!rec) return -ESRCH;
            put_slot(*rec);
            break;
        }
        case KEMU_QUERY_ANCESTRY: {
            uint32_t cap = std::min<uint32_t>(asked, data_size / KEMU_PROC_SLOT);
            const auto *rec = lookup(pid, create_time);
            // The slot count bounds the walk even if the table holds a parent cycle.
            while (rec && n < cap) {
                put_slot(*rec);
                uint32_t ppid = kemu_ld<uint32_t>(rec->data() + 20);
                if (ppid == 0) break;
                rec = lookup(ppid, kemu_ld<uint64_t>(rec->data() + 8));
            }
            break;
        }
        case KEMU_QUERY_LOST_EXITS: {
            uint32_t cap = std::min<uint32_t>(asked, data_size / KEMU_KEY_OBJ);
            for (; n < cap && !lost_.empty(); n++) {
                unsigned char *obj = data + (size_t)n * KEMU_KEY_OBJ;
                kemu_st<uint64_t>(obj, lost_.front().second);
                kemu_st<uint32_t>(obj + 8, lost_.front().first);
                kemu_st<uint32_t>(obj + 12, 0);
                lost_.pop_front();
            }
            break;
        }
        case KEMU_QUERY_LIVENESS: {
            uint32_t cnt = std::min<uint32_t>(asked, data_size / KEMU_KEY_OBJ);
            // Dead entries move to the front; the write index never passes the read index.
            for (uint32_t i = 0; i < cnt; i++) {
                const unsigned char *obj = data + (size_t)i * KEMU_KEY_OBJ;
                uint32_t p = kemu_ld<uint32_t>(obj + 8);
                uint64_t ct = kemu_ld<uint64_t>(obj);
                if (live ? live->alive(p, ct) : find(p, ct) != nullptr) continue;
                if (n != i) memmove(data + (size_t)n * KEMU_KEY_OBJ, obj, KEMU_KEY_OBJ);
                n++;
            }
            break;
        }
        default:
            KIV_LOG(1, "kemu: unknown process query type %u\n", type);
            return -EINVAL;
    }
    kemu_st<uint32_t>(block + KEMU_QUERY_OFF_NUM, n);
    return 0;
}
