// Hook registration and the per-record hook flow.
//
// The table is not locked: hooks are registered and removed only while no collector runs.
#include "framework/hook.h"

#include <cstring>

#include "base/mem.h"
#include "framework/reinject.h"
#include "framework/ring.h"
#include "framework/task.h"
#include "base/log.h"

kiv_msg_hook g_msg_hooks[KIV_MOD_NUM][MAX_HOOK_NUM];

namespace {

constexpr int8_t kEventModule[EV_ALL_MAX] = {
    KIV_MOD_TASK,         KIV_MOD_TASK,         KIV_MOD_TASK,        KIV_MOD_TASK,
    KIV_MOD_TASK,         KIV_MOD_NET,          KIV_MOD_NET,         KIV_MOD_NET,
    KIV_MOD_NET,          KIV_MOD_NET,          KIV_MOD_NET,         KIV_MOD_NET,
    KIV_MOD_NET,          KIV_MOD_FILE,         KIV_MOD_FILE,        KIV_MOD_FILE,
    KIV_MOD_FILE,         KIV_MOD_FILE,         KIV_MOD_FILE,        KIV_MOD_FILE,
    KIV_MOD_FILE,         KIV_MOD_BLOCK,        KIV_MOD_BLOCK,       KIV_MOD_INVALID,
    KIV_MOD_FILE_DEFENSE, KIV_MOD_PROC_DEFENSE, KIV_MOD_NET_DEFENSE, KIV_MOD_INVALID,
    KIV_MOD_INVALID,
};

int mask_module(const uint64_t *mask) {
    int lo = map_event_to_module(qxe_ev_mask_min(mask));
    int hi = map_event_to_module(qxe_ev_mask_max(mask));
    return lo == hi ? lo : KIV_MOD_INVALID;
}

void *handler_addr(kiv_msg_handler h) {
    return reinterpret_cast<void *>(h);
}

}  // namespace

int map_event_to_module(int type) {
    if (type < 0 || type >= EV_ALL_MAX) return KIV_MOD_INVALID;
    return kEventModule[type];
}

int qxe_ev_mask_min(const uint64_t *mask) {
    return *mask ? __builtin_ctzll(*mask) : -1;
}

int qxe_ev_mask_max(const uint64_t *mask) {
    return *mask ? 63 - __builtin_clzll(*mask) : -1;
}

int register_msg_handler(const kiv_msg_hook *ops, int count) {
    for (int i = 0; i < count; i++) {
        const kiv_msg_hook *o = &ops[i];
        int module = mask_module(&o->ev_mask);
        if (module == KIV_MOD_INVALID) {
            KIV_LOG(0, "hook:%d %p register failed, ev_mask(%lx) INVALID\n", i,
                    handler_addr(o->handler), (unsigned long)o->ev_mask);
            return -1;
        }
        kiv_msg_hook *slots = g_msg_hooks[module];
        if (slots[MAX_HOOK_NUM - 1].handler) {
            KIV_LOG(0, "hook module:%d  is full\n", module);
            return -1;
        }
        int j = 0;
        for (; j < MAX_HOOK_NUM; j++) {
            if (!slots[j].handler) break;
            if (slots[j].order > o->order) {
                KIV_ASSERT(j < MAX_HOOK_NUM - 1);
                memmove(&slots[j + 1], &slots[j], (MAX_HOOK_NUM - 1 - j) * sizeof(slots[0]));
                break;
            }
        }
        slots[j] = *o;
        KIV_LOG(3, "insert hook:%p to %d:%d\n", (const void *)o, module, j);
    }
    return 0;
}

void unregister_msg_handler(const kiv_msg_hook *ops, int count) {
    for (int i = 0; i < count; i++) {
        const kiv_msg_hook *o = &ops[i];
        int module = map_event_to_module(qxe_ev_mask_min(&o->ev_mask));
        if (module == KIV_MOD_INVALID) {
            KIV_LOG(1, "hook:%d %p register failed, ev_mask(%lx) INVALID\n", i,
                    handler_addr(o->handler), (unsigned long)o->ev_mask);
            continue;
        }
        kiv_msg_hook *slots = g_msg_hooks[module];
        int j = 0;
        while (j < MAX_HOOK_NUM && slots[j].handler && slots[j].handler != o->handler) j++;
        if (j == MAX_HOOK_NUM || !slots[j].handler) continue;
        KIV_ASSERT(g_msg_hooks[module][j].ev_mask == o->ev_mask);
        memmove(&slots[j], &slots[j + 1], (MAX_HOOK_NUM - 1 - j) * sizeof(slots[0]));
        memset(&slots[MAX_HOOK_NUM - 1], 0, sizeof(slots[0]));
        KIV_LOG(3, "remove hook:%p from %d:%d\n", (const void *)o, module, j);
    }
}

void msg_hook_flow_with_context(char *msg, kiv_msg_ctx *ctx) {
    int type = kiv_msg_hdr_get(msg).type;
    int module = map_event_to_module(type);
    if (module == KIV_MOD_INVALID) {
        // The header check lets these types through, but no module consumes them.
        KIV_LOG(1, "drop msg type:%d, no module for it\n", type);
        return;
    }
    const kiv_msg_hook *slots = g_msg_hooks[module];
    int last = -1;
    int i = ctx->hook_idx;
    while (i < MAX_HOOK_NUM && slots[i].handler) {
        if (!(slots[i].ev_mask & (1ull << type))) {
            i++;
            continue;
        }
        log_mod_set(module);
        last = slots[i].handler(msg, ctx);
        log_mod_set(KIV_MOD_FRAMEWORK);
        switch (last) {
            case MSG_HOOK_ACCEPT:
                KIV_LOG(4, "accept hook, hook:%d:%d ev:%d\n", module, i, type);
                i++;
                continue;
            case MSG_HOOK_DROP:
                kiv_stat_inc(HOOK_DROP);
                KIV_LOG(4, "drop hook:%d:%d ev:%d\n", module, i, type);
                return;
            case MSG_HOOK_MERGE:
                kiv_stat_inc(MERGE_MSG);
                if (i + 1 >= MAX_HOOK_NUM || !slots[i + 1].handler) {
                    // Nothing left to merge into: the record is done.
                    kiv_stat_inc(ACCEPT);
                    KIV_LOG(4, "last hook ret reinject, hook:%d:%d ev:%d\n", module, i, type);
                    return;
                }
                i++;
                ctx->hook_idx = (uint8_t)i;
                ctx->flags |= MSG_CTX_MERGED;
                if (ctx->flags & MSG_CTX_SAVE_FAILED) {
                    kiv_stat_inc(DROP_FOR_CACHE_FAILED);
                    KIV_LOG(3, "can't merge when has save failed\n");
                    return;
                }
                if (msg_hook_save_reinject(msg, ctx, 1) == 0) return;
                KIV_LOG(3, "save reindect failed\n");
                kiv_stat_inc(MERGE_MSG_FAIL);
                continue;
            case MSG_HOOK_RELY:
                kiv_stat_inc(RELY_MSG);
                ctx->hook_idx = (uint8_t)i;
                if (ctx->flags & MSG_CTX_SAVE_FAILED) {
                    kiv_stat_inc(DROP_FOR_CACHE_FAILED);
                    KIV_LOG(3, "can't rely when has save failed\n");
                    return;
                }
                if (msg_hook_save_reinject(msg, ctx, 0) == 0) return;
                KIV_LOG(3, "save reindect failed\n");
                kiv_stat_inc(RELY_MSG_FAIL);
                continue;  // same hook once more, now with save_failed set
            default:
                KIV_ASSERT(0);
        }
    }
    if (last == MSG_HOOK_ACCEPT) kiv_stat_inc(ACCEPT);
}

void msg_hook_flow(char *msg) {
    kiv_msg_ctx ctx;
    memset(&ctx, 0, sizeof(ctx));
    ctx.msg = msg;
    ctx.type = (uint8_t)kiv_msg_hdr_get(msg).type;
    msg_hook_flow_with_context(msg, &ctx);
}

void msg_entry(char *msg, uint32_t len) {
    kiv_msg_hdr hdr_copy = kiv_msg_hdr_get(msg);
    const kiv_msg_hdr *hdr = &hdr_copy;
    KIV_ASSERT(hdr->len == len);
    KIV_ASSERT(hdr->type < EV_ALL_MAX);
    g_ev_rate_stats[hdr->type].fetch_add(1, std::memory_order_relaxed);
    msg_hook_flow(msg);
    // Records of this process held back in other tasks' backup slots may go on now.
    if (current) current->handling_pid.store(0, std::memory_order_relaxed);
    KIV_LOG(4, "rcv type:%d len: %d \n", hdr->type, (int)len);
}
