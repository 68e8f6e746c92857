// Parked records: one allocation each (class prefix, context, record copy), kept in
// deadline-ordered lists per event type and replayed by the collectors in small batches.
#include "framework/reinject.h"

#include <malloc.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>

#include "comm/timer.h"
#include "base/mem.h"
#include "framework/ring.h"
#include "base/log.h"

namespace {

// The class prefix is padded to 8 bytes so the context behind it stays aligned.
struct ctx_mem_ctrl {
    uint16_t mem_idx : 4;
    uint16_t reserved : 12;
    uint16_t pad[3];
};
static_assert(sizeof(ctx_mem_ctrl) == 8);

struct rp_ctrl {
    list_head lists[EV_ALL_MAX];  // per event type, earliest deadline first
    hlist_head *hash;             // RP_HASH_SIZE buckets of merged records
    std::atomic<uint32_t> use_mem[CTX_MEM_CLASS_NUM];
    std::mutex lock;

    rp_ctrl() : hash(nullptr), use_mem{} {
        for (auto &l : lists) INIT_LIST_HEAD(&l);
    }
};

rp_ctrl s_rp_ctrl;
int s_rp_idx;  // list the next pass starts with; under s_rp_ctrl.lock

int mem_class(int type) {
    if (type >= EV_FORK && type <= EV_KILL) return 0;
    if (type >= EV_FILE_CREATE && type <= EV_FILE_PIPE_CONNECT) return 1;
    if (type >= EV_UDP_SEND && type <= EV_IN_RST) return 2;
    KIV_ASSERT(0);
    return -1;
}

// Insert after the last entry due no later, so equal deadlines keep parking order. New
// deadlines are nearly always the latest, hence the walk from the tail.
void insert_by_deadline(list_head *head, kiv_msg_ctx *ctx) {
    list_head *pos = head->prev;
    while (pos != head && list_entry(pos, kiv_msg_ctx, list)->timeout > ctx->timeout)
        pos = pos->prev;
    list_add(&ctx->list, pos);
}

void unlink_ctx(kiv_msg_ctx *ctx) {
    list_del_init(&ctx->list);
    if (!hlist_unhashed(&ctx->hnode)) hlist_del_init(&ctx->hnode);
}

}  // namespace

void *__alloc_context_mem(int type, size_t size) {
    int idx = mem_class(type);
    KIV_ASSERT(size <= CTX_MEM_MAX_SIZE);
    if (s_rp_ctrl.use_mem[idx].load(std::memory_order_relaxed) + size > CTX_MEM_CLASS_LIMIT)
        return nullptr;
    auto *mctrl = static_cast<ctx_mem_ctrl *>(
        kiv_malloc(size + sizeof(ctx_mem_ctrl), MALLOC_FRAMEWORK_FOR_CACHE));
    if (!mctrl) return nullptr;
    memset(mctrl, 0, sizeof(*mctrl));
    mctrl->mem_idx = idx & 0xF;
    s_rp_ctrl.use_mem[idx].fetch_add((uint32_t)size, std::memory_order_relaxed);
    return mctrl + 1;
}

void __free_context_mem(void *ptr) {
    if (!ptr) return;
    auto *mctrl = static_cast<ctx_mem_ctrl *>(ptr) - 1;
    size_t size = kiv_msize(mctrl) - sizeof(*mctrl);
    KIV_ASSERT(s_rp_ctrl.use_mem[mctrl->mem_idx] >= size);
    s_rp_ctrl.use_mem[mctrl->mem_idx].fetch_sub((uint32_t)size, std::memory_order_relaxed);
    kiv_free(mctrl);
}

int msg_hook_save_reinject(char *msg, kiv_msg_ctx *ctx, int insert_hash) {
    KIV_ASSERT(ctx->timeout > 0);
    if (ctx->retry > RP_MAX_RETRY) {
        ctx->flags |= MSG_CTX_SAVE_FAILED;
        kiv_stat_inc(OVER_RETRY);
        return -1;
    }
    kiv_msg_hdr hdr = kiv_msg_hdr_get(msg);
    size_t size = sizeof(kiv_msg_ctx) + hdr.len;
    auto *saved = static_cast<kiv_msg_ctx *>(__alloc_context_mem(hdr.type, size));
    if (!saved) {
        ctx->flags |= MSG_CTX_SAVE_FAILED;
        kiv_stat_inc(HOLD_MEM_OVERLIMIT);
        KIV_LOG(3, "alloc %d bytes failed\n", (int)size);
        return -1;
    }
    *saved = *ctx;
    INIT_LIST_HEAD(&saved->list);
    INIT_HLIST_NODE(&saved->hnode);
    saved->type = (uint8_t)hdr.type;
    saved->msg = reinterpret_cast<char *>(saved + 1);
    memcpy(saved->msg, msg, hdr.len);
    saved->timeout += kiv_now_ms();
    saved->flags &= (uint8_t)~MSG_CTX_SAVE_FAILED;
    uint64_t deadline = saved->timeout;
    {
        std::lock_guard<std::mutex> guard(s_rp_ctrl.lock);
        KIV_ASSERT(s_rp_ctrl.hash != NULL);
        insert_by_deadline(&s_rp_ctrl.lists[saved->type], saved);
        if (insert_hash)
            hlist_add_head(&saved->hnode, &s_rp_ctrl.hash[saved->key & (RP_HASH_SIZE - 1)]);
    }
    // Another collector may already be replaying it: only the values are logged.
    KIV_LOG(4, "reinject %p, timeout:%lld insert_hash:%d\n", (void *)saved, (long long)deadline,
            insert_hash);
    return 0;
}

int msg_hook_reinject() {
    kiv_msg_ctx *batch[RP_BATCH];
    int n = 0;
    bool full = false;
    {
        std::lock_guard<std::mutex> guard(s_rp_ctrl.lock);
        uint64_t now = kiv_now_ms();
        for (int visited = 0; visited < EV_ALL_MAX && !full; visited++) {
            list_head *head = &s_rp_ctrl.lists[s_rp_idx];
            while (!list_empty(head)) {
                kiv_msg_ctx *ctx = list_entry(head->next, kiv_msg_ctx, list);
                if (ctx->timeout > now) break;
                unlink_ctx(ctx);
                batch[n++] = ctx;
                if (n == RP_BATCH) {
                    full = true;  // the next pass starts with this list again
                    break;
                }
            }
            if (!full) s_rp_idx = (s_rp_idx + 1) % EV_ALL_MAX;
        }
    }
    for (int i = 0; i < n; i++) {
        kiv_msg_ctx *ctx = batch[i];
        KIV_ASSERT(ctx->retry < UINT8_MAX);
        ctx->retry++;
        ctx->flags &= (uint8_t)~MSG_CTX_MERGED;
        KIV_LOG(4, "handle timeout reinject msg,ctx:%p, retry:%d\n", (void *)ctx, ctx->retry);
        msg_hook_flow_with_context(ctx->msg, ctx);
    }
    for (int i = 0; i < n; i++) __free_context_mem(batch[i]);
    return full ? 1 : 0;
}

namespace {

// After a burst of host activity the allocator keeps the pages it freed; they go back to the
// system here, so resident memory follows what is in use rather than the last burst's peak.
constexpr uint64_t RELEASE_MS = 2000;
kiv_timer *s_release_timer;

void release_free_memory(void *) {
    malloc_trim(0);
}

}  // namespace

int framework_resource_init() {
    std::lock_guard<std::mutex> guard(s_rp_ctrl.lock);
    if (!s_release_timer) s_release_timer = add_timer(RELEASE_MS, release_free_memory, nullptr);
    if (!s_rp_ctrl.hash) {
        s_rp_ctrl.hash = static_cast<hlist_head *>(
            kiv_zalloc(RP_HASH_SIZE * sizeof(hlist_head), MALLOC_NEVER_FREE));
        if (!s_rp_ctrl.hash) {
            KIV_LOG(0, "alloc hash failed\n");
            return -1;
        }
    }
    s_rp_idx = 0;
    KIV_LOG(2, "framework_resource_init ok\n");
    return 0;
}

void framework_resource_exit() {
    std::lock_guard<std::mutex> guard(s_rp_ctrl.lock);
    del_timer(s_release_timer);
    s_release_timer = nullptr;
    for (auto &head : s_rp_ctrl.lists) {
        while (!list_empty(&head)) {
            kiv_msg_ctx *ctx = list_entry(head.next, kiv_msg_ctx, list);
            unlink_ctx(ctx);
            __free_context_mem(ctx);
        }
    }
    kiv_free(s_rp_ctrl.hash);
    s_rp_ctrl.hash = nullptr;
    KIV_LOG(2, "framework_resource_exit ok\n");
}
