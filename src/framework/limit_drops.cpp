#include "framework/limit_drops.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// An open-addressed table of fixed size: a flood of distinct subjects costs no allocation,
// and past kMaxRows entries a drop is counted for its limit alone.
constexpr size_t kSlots = 1024, kMaxRows = 512;

struct row {
    uint64_t hash;
    uint64_t dropped;
    uint32_t limit;
    uint32_t uid;
    int32_t kind;
    bool used;
    char subject[256];
};

std::mutex s_lock;
row s_rows[kSlots];
size_t s_used;
uint64_t s_other[USENSOR_STAT_MAX];  // past the table, per limit
row s_kept[kMaxRows];                // rows a take leaves for the next one

uint64_t hash_of(uint32_t limit, uint32_t uid, int32_t kind, const char *subject) {
    uint64_t h = 0xcbf29ce484222325ull;
    auto mix = [&h](const void *p, size_t n) {
        for (size_t i = 0; i < n; i++)
            h = (h ^ static_cast<const unsigned char *>(p)[i]) * 0x100000001b3ull;
    };
    mix(&limit, sizeof limit), mix(&uid, sizeof uid), mix(&kind, sizeof kind);
    mix(subject, strlen(subject));
    return h;
}

void copy_out(kiv_limit_drop &out, uint32_t limit, uint32_t uid, int32_t kind, const char *subject,
              uint64_t dropped) {
    snprintf(out.limit, sizeof out.limit, "%s", usensor_stat_name(limit));
    out.uid = uid, out.subject_kind = kind, out.dropped = dropped;
    snprintf(out.subject, sizeof out.subject, "%s", subject);
}

}  // namespace

void limit_drop_note(usensor_stat_type limit, uint32_t uid, kiv_limit_subject kind,
                     const char *subject, uint64_t n) {
    if (limit >= USENSOR_STAT_MAX || n == 0) return;
    if (!subject) subject = "";
    char cut[sizeof row::subject];
    snprintf(cut, sizeof cut, "%s", subject);
    const uint64_t h = hash_of(limit, uid, kind, cut);
    std::lock_guard g(s_lock);
    for (size_t i = 0; i < kSlots; i++) {
        row &r = s_rows[(h + i) % kSlots];
        if (!r.used) {
            if (s_used >= kMaxRows) break;
            r = row{h, n, limit, uid, kind, true, {}};
            memcpy(r.subject, cut, sizeof cut);
            s_used++;
            return;
        }
        if (r.hash == h && r.limit == limit && r.uid == uid && r.kind == kind &&
            strcmp(r.subject, cut) == 0) {
            r.dropped += n;
            return;
        }
    }
    s_other[limit] += n;
}

void limit_drops_clear() {
    std::lock_guard g(s_lock);
    for (row &r : s_rows) r.used = false;
    s_used = 0;
    for (uint64_t &o : s_other) o = 0;
}

extern "C" KIV_API int kiv_limit_drops_take(struct kiv_limit_drop *out, int max) {
    if (!out || max <= 0) return -1;
    std::lock_guard g(s_lock);
    int n = 0;
    for (uint32_t l = 0; l < USENSOR_STAT_MAX && n < max; l++)
        if (s_other[l]) {
            copy_out(out[n++], l, KIV_LIMIT_ANY_USER, KIV_LIMIT_EXECUTABLE, "", s_other[l]);
            s_other[l] = 0;
        }
    // Taking entries out leaves holes in probe chains: the rest move to the front again.
    size_t nkept = 0;
    for (row &r : s_rows) {
        if (!r.used) continue;
        if (n < max)
            copy_out(out[n++], r.limit, r.uid, r.kind, r.subject, r.dropped);
        else
            s_kept[nkept++] = r;
        r.used = false;
    }
    s_used = 0;
    for (size_t i = 0; i < nkept; i++) {
        const row &r = s_kept[i];
        for (size_t j = 0; j < kSlots; j++) {
            row &slot = s_rows[(r.hash + j) % kSlots];
            if (slot.used) continue;
            slot = r;
            s_used++;
            break;
        }
    }
    return n;
}
