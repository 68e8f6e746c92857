// Kernel process queries and the fork-tree clean-ups built on them.
#include "task/kernel_query.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "comm/timer.h"
#include "base/mem.h"
#include "framework/ring.h"
#include "base/log.h"
#include "task/task.h"
#include "task/task_filter.h"

namespace {

struct drv_budget {
    bool initialized;
    upload_limit_info limit[3];
};
thread_local drv_budget t_budget;

struct drv_kind_desc {
    const char *name;
    uint32_t counter;
};
const drv_kind_desc kKinds[3] = {
    {"drv_get_proc_info", TASK_DRV_GET_SINGLE_TASK_LIMIT_CNT},
    {"drv_get_task_tree", TASK_DRV_GET_TASK_TREE_LIMIT_CNT},
    {"drv_get_lost_event", TASK_DRV_GET_LOST_EVENT_LIMIT_CNT},
};

// Allocates, fills and sends one request; null (logged) on any failure.
task_drv_interact_info_st *drv_query(uint32_t type, uint32_t pid, uint64_t create_time,
                                     uint32_t obj_num, uint32_t obj_size, uint32_t category,
                                     const void *in_data = nullptr, uint32_t in_len = 0) {
    uint32_t data_size = obj_num * obj_size;
    auto *info = static_cast<task_drv_interact_info_st *>(
        kiv_zalloc(sizeof(task_drv_interact_info_st) + data_size, category));
    if (!info) {
        KIV_LOG(1, "malloc task_drv_interact_info_st failed\n");
        return nullptr;
    }
    info->create_time = create_time;
    info->type = type;
    info->pid = pid;
    info->data_obj_num = obj_num;
    info->size = data_size;
    if (in_data) memcpy(info->data, in_data, in_len);
    long ret = kiv_dev_ioctl(TASK_DRV_QUERY_REQ, reinterpret_cast<unsigned long>(info));
    if (ret < 0) {
        KIV_LOG(1, "qxe_ioctl failed, ret is %d\n", static_cast<int>(ret));
        kiv_free(info);
        return nullptr;
    }
    return info;
}

// Types 1 and 2 must return at least one object.
task_drv_interact_info_st *check_count(task_drv_interact_info_st *info, uint32_t *count) {
    if (!info) return nullptr;
    if (info->data_obj_num < 1) {
        KIV_LOG(3, "info->data_obj_num is %d\n", static_cast<int>(info->data_obj_num));
        kiv_free(info);
        return nullptr;
    }
    *count = info->data_obj_num;
    return info;
}

}  // namespace

int is_task_drv_limit(int kind) {
    KIV_ASSERT(kind >= 0 && kind < 3);
    if (!t_budget.initialized) {
        for (auto &l : t_budget.limit)
            upload_limit_info_init(&l, g_task_info.ioctl_max_cnt, g_task_info.ioctl_timeout);
        t_budget.initialized = true;
    }
    if (is_over_limit(&t_budget.limit[kind], static_cast<uint32_t>(kiv_now_ms())) == 0) return 0;
    KIV_LOG(4, "%s out limit\n", kKinds[kind].name);
    kiv_stat_inc(kKinds[kind].counter);
    return 1;
}

void task_drv_limit_reset() {
    t_budget.initialized = false;
}

task_drv_interact_info_st *drv_get_proc_info(uint32_t pid, uint64_t create_time) {
    if (is_task_drv_limit(TASK_DRV_KIND_SINGLE)) return nullptr;
    return drv_query(TASK_DRV_SINGLE, pid, create_time, 1, RAW_PROCESS_SLOT_SIZE,
                     MALLOC_FOR_TASK_DRV_GET_PROC_INFO);
}

task_drv_interact_info_st *drv_get_task_tree(uint32_t pid, uint64_t create_time, uint32_t *count) {
    if (!count || *count < 1) return nullptr;
    if (is_task_drv_limit(TASK_DRV_KIND_TREE)) return nullptr;
    return check_count(drv_query(TASK_DRV_TREE, pid, create_time, *count, RAW_PROCESS_SLOT_SIZE,
                                 MALLOC_FOR_TASK_DRV_GET_TREE_INFO),
                       count);
}

task_drv_interact_info_st *drv_get_lost_event(uint32_t object_size, uint32_t *count) {
    if (!count || *count < 1) return nullptr;
    if (is_task_drv_limit(TASK_DRV_KIND_LOST)) return nullptr;
    return check_count(drv_query(TASK_DRV_LOST_EVENT, 0, 0, *count, object_size,
                                 MALLOC_FOR_TASK_DRV_GET_LOST_EVENT),
                       count);
}

void clean_invalid_info() {
    if (!__kiv_ring_high) return;
    uint32_t cur = __atomic_load_n(&__kiv_ring_high->full_cnt, __ATOMIC_ACQUIRE);
    {
        rwlock_read_guard guard(&g_task_info.tm_info_lock);
        KIV_LOG(4, "last_ring_fail: %d, cur_ring_fail: %d\n",
                static_cast<int>(g_task_info.last_ring_fail), static_cast<int>(cur));
        if (g_task_info.last_ring_fail == cur) return;
    }
    uint32_t cnt = TASK_DRV_LOST_EVENT_MAX;
    task_drv_interact_info_st *info = drv_get_lost_event(sizeof(task_drv_key_obj), &cnt);
    if (info) {
        rwlock_write_guard guard(&g_task_info.ftree_lock);
        for (uint32_t i = 0; i < cnt && (i + 1) * sizeof(task_drv_key_obj) <= info->size; i++) {
            task_drv_key_obj obj;
            memcpy(&obj, info->data + i * sizeof obj, sizeof obj);
            KIV_LOG(4, "get lost event %d\n", static_cast<int>(obj.pid));
            ftree_key key{obj.create_time, obj.pid};
            fork_node *node = nullptr;
            if (ftree_search(g_task_info.ftree, &key, &node) == 0) {
                ftree_delete(g_task_info.ftree, &key);
                KIV_LOG(4, "delete lost event %d\n", static_cast<int>(obj.pid));
                kiv_stat_inc(TASK_LOST_EVENT_CLEAN_CNT);
            } else {
                kiv_stat_inc(TASK_LOST_EVENT_CNT);
            }
        }
        kiv_free(info);
    } else {
        KIV_LOG(1, "drv_get_lost_event failed\n");
    }
    rwlock_write_guard guard(&g_task_info.tm_info_lock);
    g_task_info.last_ring_fail = cur;
}

namespace {

// Removes exited nodes whose grace period is over, oldest first.
void clean_expired(lhash *t, uint32_t now_sec) {
    list_head *pos = t->list.next;
    while (pos != &t->list) {
        auto *ln = list_entry(pos, lhash_node, lnode);
        if (ln->status != LHASH_STATUS_ALLOW_FREE) break;
        auto *node = static_cast<fork_node *>(ln->data);
        if (node->fork_info.expire_time > now_sec) break;
        pos = pos->next;
        ftree_key key{node->fork_info.create_time, node->fork_info.pid};
        ftree_delete(g_task_info.ftree, &key);
    }
}

bool below_threshold(const ftree *tree) {
    const lhash *t = tree->fork_info_lhash;
    float th = g_task_info.clean_ftree_threshold;
    return th * static_cast<float>(t->max_entries) > static_cast<float>(t->using_cnt) &&
           th * static_cast<float>(tree->exec_info_list->max_cnt) >
               static_cast<float>(tree->exec_info_list->using_cnt);
}

uint32_t s_clean_bucket;  // framework thread only; continues where the last run stopped

void collect_candidates(const lhash *t, std::vector<task_drv_key_obj> &out) {
    uint32_t n = static_cast<uint32_t>(0.25 * t->max_entries);
    if (n > TASK_DRV_LIVENESS_MAX) n = TASK_DRV_LIVENESS_MAX;
    uint32_t budget = static_cast<uint32_t>(0.25 * t->bucket_count);
    if (budget > t->bucket_count) budget = t->bucket_count;
    if (budget < 1) budget = 1;
    for (uint32_t visited = 0; visited < budget && out.size() < n; visited++) {
        if (s_clean_bucket >= t->bucket_count) s_clean_bucket = 0;
        hlist_node *h = t->buckets[s_clean_bucket++].first;
        for (; h && out.size() < n; h = h->next) {
            auto *ln = hlist_entry(h, lhash_node, hnode);
            if (ln->status != LHASH_STATUS_USING) continue;
            auto *node = static_cast<const fork_node *>(ln->data);
            out.push_back({node->fork_info.create_time, node->fork_info.pid, 0});
        }
    }
}

}  // namespace

void clean_ftree_timer_func(void *) {
    std::vector<task_drv_key_obj> cand;
    {
        rwlock_write_guard guard(&g_task_info.ftree_lock);
        ftree *tree = g_task_info.ftree;
        if (!tree) return;
        clean_expired(tree->fork_info_lhash, static_cast<uint32_t>(kiv_now_ms() / 1000));
        if (below_threshold(tree)) return;
        collect_candidates(tree->fork_info_lhash, cand);
    }
    if (cand.empty()) return;
    uint32_t len = static_cast<uint32_t>(cand.size() * sizeof(task_drv_key_obj));
    task_drv_interact_info_st *info =
        drv_query(TASK_DRV_LIVENESS, 0, 0, static_cast<uint32_t>(cand.size()),
                  sizeof(task_drv_key_obj), MALLOC_FOR_TMP, cand.data(), len);
    if (!info) return;
    uint32_t dead =
        info->data_obj_num < cand.size() ? info->data_obj_num : static_cast<uint32_t>(cand.size());
    {
        rwlock_write_guard guard(&g_task_info.ftree_lock);
        for (uint32_t i = 0; i < dead; i++) {
            task_drv_key_obj obj;
            memcpy(&obj, info->data + i * sizeof obj, sizeof obj);
            ftree_key key{obj.create_time, obj.pid};
            ftree_delete(g_task_info.ftree, &key);
        }
    }
    KIV_LOG(2, "query %d, dead %d\n", static_cast<int>(cand.size()), static_cast<int>(dead));
    kiv_free(info);
}
