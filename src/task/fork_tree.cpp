#include "task/fork_tree.h"

#include <cstring>

#include "comm/timer.h"
#include "base/mem.h"
#include "base/log.h"

namespace {

ftree_exit_upload_fn s_exit_upload = nullptr;

inline fork_node *sibling_next(fork_node *n) {
    return list_entry(n->siblings.next, fork_node, siblings);
}

// Takes node out of its parent's children; the parent's entry pointer moves on if needed.
void detach_child(fork_node *node, fork_node *parent) {
    if (parent && parent->children == node)
        parent->children = node->siblings.next == &node->siblings ? nullptr : sibling_next(node);
    list_del_init(&node->siblings);
    node->parent = nullptr;
}

// The new child goes right after the entry child, or becomes the entry child.
void link_child(fork_node *node, fork_node *parent) {
    if (parent->children)
        list_add(&node->siblings, &parent->children->siblings);
    else
        parent->children = node;
    node->parent = parent;
}

void attach_common(fork_node *node, common_proc_info *common) {
    node->fork_info.exec_info = common;
    common->ref_cnt = common->ref_cnt + 1;
}

void release_common(ftree *tree, common_proc_info *common) {
    KIV_ASSERT(common->ref_cnt > 0);
    common->ref_cnt = common->ref_cnt - 1;
    if (common->ref_cnt == 0)
        ei_list_delete(tree->exec_info_list, container_of(common, ei_list_node, info));
}

// What a process and an image cost the tree's memory bound.
uint64_t node_bytes(const fork_node *n) {
    const fork_info_st &fi = n->fork_info;
    return sizeof(fork_node) + sizeof(lhash_node) + (fi.fd0 ? strlen(fi.fd0) + 1 : 0) +
           (fi.fd1 ? strlen(fi.fd1) + 1 : 0);
}
uint64_t image_bytes(const common_proc_info &c) {
    return sizeof(ei_list_node) + (uint64_t)get_flex_task_info_cur_size(c.flex) +
           (c.container ? 32 : 0);
}

// Whether need more bytes would pass the memory bound.
bool over_memory(const ftree *tree, uint64_t need) {
    return tree->mem_max != 0 && ftree_mem_bytes(tree) + need > tree->mem_max;
}

// A process or an image refused for the memory bound: counted, and logged once.
void memory_full(ftree *tree) {
    kiv_stat_inc(TASK_FTREE_FULL_CNT);
    if (tree->mem_full_logged) return;
    tree->mem_full_logged = true;
    KIV_LOG(1,
            "process tree at its memory bound: %llu MB (ftree_mem_max_mb) held by live "
            "processes; processes and images beyond it are described from the kernel and not "
            "kept\n",
            (unsigned long long)(tree->mem_max >> 20));
}

// The pid is the hash key; the fork node is the data.
inline int hash_find(ftree *tree, uint32_t pid, fork_node **out) {
    void *data = nullptr;
    int ret = lhash_search(tree->fork_info_lhash, &pid, sizeof pid, &data);
    *out = static_cast<fork_node *>(data);
    return ret;
}

int copy_fd(char **slot, const raw_process_info *raw, int type) {
    flex_str s{};
    get_flex_task_info_str(&raw->flex, &s, type);
    return adpt_cpy_str(slot, s.ptr, s.len);
}

int init_fork_node(const process_info_st *info, fork_node *node) {
    const raw_process_info *raw = info->raw;
    memset(node, 0, sizeof *node);
    INIT_LIST_HEAD(&node->siblings);
    fork_info_st &fi = node->fork_info;
    fi.create_time = raw->create_time;
    fi.parent_create_time = raw->parent_create_time;
    fi.pid = raw->pid;
    fi.ppid = raw->ppid;
    fi.sessionid = raw->sessionid;
    fi.task_event_id = raw_process_task_event_id(raw);
    fi.flags = (info->flags & PROC_INFO_COMPLETE) ? FORK_INFO_COMPLETE : 0;
    int ret = copy_fd(&fi.fd0, raw, FLEX_FD0);
    if (ret != 0) return ret;
    ret = copy_fd(&fi.fd1, raw, FLEX_FD1);
    if (ret != 0) {
        kiv_free(fi.fd0);
        fi.fd0 = nullptr;
    }
    return ret;
}

// Whether a common record describes the image of a process record: same path and arguments.
bool same_image(const common_proc_info *common, const raw_process_info *raw) {
    if (!common || !common->flex) return false;
    for (int type : {FLEX_PATH, FLEX_CMD_LINE}) {
        flex_str a{}, b{};
        get_flex_task_info_str(common->flex, &a, type);
        get_flex_task_info_str(&raw->flex, &b, type);
        if (a.len != b.len || (a.len && memcmp(a.ptr, b.ptr, a.len) != 0)) return false;
    }
    return true;
}

// Deletes the oldest exited process; false when every process held still runs.
bool evict_oldest_exited(ftree *tree) {
    lhash *h = tree->fork_info_lhash;
    if (h->allow_free_cnt == 0 || list_empty(&h->list)) return false;
    lhash_node *oldest = list_entry(h->list.next, lhash_node, lnode);
    KIV_ASSERT(oldest->status != LHASH_STATUS_USING);
    auto *victim = static_cast<fork_node *>(oldest->data);
    ftree_key k{victim->fork_info.create_time, victim->fork_info.pid};
    ftree_delete(tree, &k);
    return true;
}

// Evicting through the hash's own insert would skip the tree's unlinking and reference
// counting, so a full hash, or a node over the memory bound, gives up the oldest exited nodes
// here first. False when the node still has no room in memory.
bool make_room_in_hash(ftree *tree, uint64_t need) {
    if (tree->fork_info_lhash->free_slots == 0) evict_oldest_exited(tree);
    for (int i = 0; i < FTREE_EVICT_MAX && over_memory(tree, need); i++)
        if (!evict_oldest_exited(tree)) break;
    return !over_memory(tree, need);
}

int insert_new_node(ftree *tree, const ftree_key *key, process_info_st *info) {
    const raw_process_info *raw = info->raw;
    flex_str fd[2]{};
    get_flex_task_info_str(&raw->flex, &fd[0], FLEX_FD0);
    get_flex_task_info_str(&raw->flex, &fd[1], FLEX_FD1);
    if (!make_room_in_hash(tree,
                           sizeof(fork_node) + sizeof(lhash_node) + fd[0].len + fd[1].len + 2)) {
        memory_full(tree);
        return -7;
    }
    // Searched again: making room may have deleted the parent.
    fork_node *parent = nullptr;
    ftree_key pkey{raw->parent_create_time, raw->ppid};
    if (ftree_search(tree, &pkey, &parent) != 0) {
        parent = nullptr;
        info->flags |= PROC_INFO_EXEC;
    }
    auto *node = static_cast<fork_node *>(kiv_malloc(sizeof(fork_node), MALLOC_FOR_TASK_FORK_NODE));
    if (!node) {
        KIV_LOG(1, "malloc fork_node failed\n");
        return -3;
    }
    if (init_fork_node(info, node) != 0) {
        KIV_LOG(1, "init_fork_node fail\n");
        kiv_free(node);
        return -1;
    }
    uint32_t pid = key->pid;
    int ret = lhash_insert(tree->fork_info_lhash, &pid, sizeof pid, node);
    if (ret != 0) {
        KIV_LOG(3, "lhash_insert failed, ret is %d, pid is %d\n", ret, pid);
        ftree_fork_hash_del_func(node);
        if (tree->fork_info_lhash->free_slots == 0) {
            kiv_stat_inc(TASK_FTREE_FULL_CNT);
            if (!tree->hash_full_logged) {
                tree->hash_full_logged = true;
                KIV_LOG(1,
                        "process tree full: %u live processes (fork_hash_size); processes "
                        "beyond them are described from the kernel and not kept\n",
                        tree->fork_info_lhash->max_entries);
            }
        }
        return -7;
    }
    KIV_LOG(4, "insert fork_info_lhash success, pid %d\n", pid);
    tree->mem_nodes += node_bytes(node);
    if (!(info->flags & PROC_INFO_EXEC)) {
        link_child(node, parent);
        attach_common(node, parent->fork_info.exec_info);
        KIV_LOG(4, "ftree_insert fork normal\n");
        return 0;
    }
    ei_list_node *ei = ei_list_insert(tree, info);
    if (!ei) {
        tree->mem_nodes -= node_bytes(node);
        lhash_delete(tree->fork_info_lhash, &pid, sizeof pid);
        KIV_LOG(3, "ei_list_insert failed\n");
        return -8;
    }
    attach_common(node, &ei->info);
    KIV_LOG(4, "ftree_insert exec no fork\n");
    return 0;
}

// Takes over the node's reference to its image; the slot's older image is let go.
void keep_prior(ftree *tree, const fork_info_st &fi, uint16_t exec_event_id) {
    ftree_prior &slot = tree->prior[tree->prior_next];
    tree->prior_next = (tree->prior_next + 1) % FTREE_PRIOR_SLOTS;
    if (slot.image) release_common(tree, slot.image);
    slot = ftree_prior{fi.create_time, fi.pid, exec_event_id, fi.exec_info};
}

struct multi_exec_queue {
    kiv_queue *q = nullptr;
    ~multi_exec_queue() { queue_destroy(q); }
};
thread_local multi_exec_queue s_multi_exec_queue;

}  // namespace

void ftree_set_exit_upload(ftree_exit_upload_fn fn) {
    s_exit_upload = fn;
}

int task_event_id_cmp(uint16_t a, uint16_t b) {
    if (a == b) return 0;
    if (a > b) return a - b < 32767 ? 1 : -1;
    return b - a > 32766 ? 1 : -1;
}

int ftree_fork_hash_cmp_func(const void *key, void *data) {
    if (!key || !data) return -2;
    uint32_t pid;
    memcpy(&pid, key, sizeof pid);
    return static_cast<fork_node *>(data)->fork_info.pid == pid ? 0 : -5;
}

void ftree_fork_hash_del_func(void *data) {
    auto *node = static_cast<fork_node *>(data);
    if (!node) return;
    KIV_LOG(4, "ftree lhash del func: %d\n", node->fork_info.pid);
    kiv_free(node->fork_info.fd0);
    kiv_free(node->fork_info.fd1);
    kiv_free(node);
}

exec_info_list *ei_list_create(int32_t max_cnt) {
    auto *list =
        static_cast<exec_info_list *>(kiv_zalloc(sizeof(exec_info_list), MALLOC_FOR_TASK_EI_LIST));
    if (!list) {
        KIV_LOG(1, "malloc exec_info_list failed\n");
        return nullptr;
    }
    INIT_LIST_HEAD(&list->head);
    list->max_cnt = max_cnt;
    return list;
}

ftree *ftree_create(uint32_t exec_list_size, uint32_t fork_hash_size) {
    auto *tree = static_cast<ftree *>(kiv_zalloc(sizeof(ftree), MALLOC_FOR_TASK_FTREE));
    if (!tree) {
        KIV_LOG(1, "malloc ftree failed\n");
        return nullptr;
    }
    tree->exec_info_list = ei_list_create(static_cast<int32_t>(exec_list_size));
    if (!tree->exec_info_list) {
        KIV_LOG(1, "ei_list_create ftree->exec_info_list failed\n");
        kiv_free(tree);
        return nullptr;
    }
    lhash_ops ops{nullptr, ftree_fork_hash_del_func, ftree_fork_hash_cmp_func};
    tree->fork_info_lhash = lhash_create(fork_hash_size, fork_hash_size / 5, 1, &ops);
    if (!tree->fork_info_lhash) {
        KIV_LOG(1, "lhash_create ftree->fork_info_lhash failed\n");
        kiv_free(tree->exec_info_list);
        kiv_free(tree);
        return nullptr;
    }
    return tree;
}

void ftree_destory(ftree *tree) {
    if (!tree) return;
    lhash_destroy(tree->fork_info_lhash);
    list_head *pos, *n;
    list_for_each_safe(pos, n, &tree->exec_info_list->head) {
        ei_list_node *ei = list_entry(pos, ei_list_node, list);
        free_common_proc_info(&ei->info);
        kiv_free(ei);
    }
    kiv_free(tree->exec_info_list);
    kiv_free(tree);
}

const common_proc_info *ftree_prior_image(const ftree *tree, uint32_t pid, uint64_t create_time,
                                          uint16_t exec_event_id) {
    if (!tree) return nullptr;
    for (const ftree_prior &p : tree->prior)
        if (p.image && p.pid == pid && p.create_time == create_time &&
            p.exec_event_id == exec_event_id)
            return p.image;
    return nullptr;
}

int ftree_search(ftree *tree, const ftree_key *key, fork_node **out) {
    if (!tree || !key) {
        KIV_LOG(1, "ftree is NULL\n");
        return -2;
    }
    fork_node *node;
    if (hash_find(tree, key->pid, &node) != 0) return -7;
    if (out) *out = node;
    if (key->create_time != 0 && node->fork_info.create_time != key->create_time) return -5;
    return 0;
}

ei_list_node *ei_list_insert(ftree *tree, const process_info_st *info) {
    exec_info_list *list = tree->exec_info_list;
    // The record's strings bound the image's (its descriptors are not kept in it).
    const uint64_t need =
        sizeof(ei_list_node) + (uint64_t)get_flex_task_info_cur_size(&info->raw->flex) + 32;
    auto full = [&] { return list->using_cnt >= list->max_cnt || over_memory(tree, need); };
    // Replaced images are kept only while there is room: they go before any process does.
    for (int i = 0; i < FTREE_PRIOR_SLOTS && full(); i++) {
        ftree_prior &oldest = tree->prior[(tree->prior_next + i) % FTREE_PRIOR_SLOTS];
        if (oldest.image) release_common(tree, oldest.image);
        oldest = ftree_prior{};
    }
    for (int i = 0; i < FTREE_EVICT_MAX && full(); i++)
        if (!evict_oldest_exited(tree)) break;
    if (list->using_cnt < list->max_cnt && over_memory(tree, need)) {
        memory_full(tree);
        return nullptr;
    }
    if (list->using_cnt >= list->max_cnt) {
        KIV_LOG(3, "exec_info_list is full\n");
        kiv_stat_inc(TASK_FTREE_COMM_INFO_FAIL_CNT);
        if (!tree->list_full_logged) {
            tree->list_full_logged = true;
            KIV_LOG(1,
                    "process images full: %d held by live processes (exec_list_size); "
                    "images beyond them are described from the kernel and not kept\n",
                    list->max_cnt);
        }
        return nullptr;
    }
    auto *node =
        static_cast<ei_list_node *>(kiv_zalloc(sizeof(ei_list_node), MALLOC_FOR_TASK_EI_LIST_NODE));
    if (!node) {
        KIV_LOG(1, "malloc failed\n");
        return nullptr;
    }
    if (init_common_proc_info(info, &node->info) != 0) {
        kiv_free(node);
        KIV_LOG(1, "init_common_proc_info failed\n");
        return nullptr;
    }
    list_add_tail(&node->list, &list->head);
    list->using_cnt++;
    node->charged = (uint32_t)image_bytes(node->info);
    list->mem_bytes += node->charged;
    return node;
}

int ei_list_delete(exec_info_list *list, ei_list_node *node) {
    if (!list || !node) return -2;
    list_del(&node->list);
    list->mem_bytes -= node->charged;
    free_common_proc_info(&node->info);
    kiv_free(node);
    list->using_cnt--;
    return 0;
}

int ftree_insert(ftree *tree, const ftree_key *key, process_info_st *info) {
    if (!tree || !key || !info || !info->raw) return -2;
    const raw_process_info *raw = info->raw;
    uint16_t event_id = raw_process_task_event_id(raw);
    info->flags &= static_cast<uint8_t>(~PROC_INFO_STALE);
    fork_node *node = nullptr;
    int ret = ftree_search(tree, key, &node);
    if (ret == -5) {
        // The pid was reused: the old process is gone.
        ftree_key old{0, key->pid};
        ftree_delete(tree, &old);
        node = nullptr;
    } else if (ret == 0) {
        if (task_event_id_cmp(node->fork_info.task_event_id, event_id) == 1) {
            info->flags |= PROC_INFO_STALE;
            return 0;
        }
        if (node->fork_info.flags & FORK_INFO_EXITED) {
            KIV_LOG(3, "ftree_insert when task exited\n");
            return 0;
        }
        info->flags |= PROC_INFO_EXEC;
    } else {
        node = nullptr;
    }
    ftree_key pkey{raw->parent_create_time, raw->ppid};
    ret = ftree_search(tree, &pkey, nullptr);
    if (ret != 0) {
        KIV_LOG(3, "ftree_search ppid not find, ret is %d, ppid is %d\n", ret, raw->ppid);
        info->flags |= PROC_INFO_EXEC;
    }
    if (!node) return insert_new_node(tree, key, info);

    ei_list_node *ei = ei_list_insert(tree, info);
    if (!ei) {
        KIV_LOG(3, "ei_list_insert failed\n");
        // A node left naming another image (often its parent's) would misname the process:
        // without it, queries describe the process from the kernel as it runs now.
        if (hash_find(tree, key->pid, &node) == 0 &&
            node->fork_info.create_time == key->create_time &&
            !same_image(node->fork_info.exec_info, raw)) {
            ftree_key k{key->create_time, key->pid};
            ftree_delete(tree, &k);
        }
        return -8;
    }
    // Making room may have evicted this very node when its exit had been marked already.
    fork_node *again = nullptr;
    if (hash_find(tree, key->pid, &again) != 0 || again != node) {
        ei_list_delete(tree->exec_info_list, ei);
        return insert_new_node(tree, key, info);
    }
    detach_child(node, node->parent);
    fork_info_st &fi = node->fork_info;
    if (!(info->flags & PROC_INFO_COMPLETE)) {
        fi.ppid = raw->ppid;
        fi.parent_create_time = raw->parent_create_time;
    }
    fi.task_event_id = event_id;
    fi.sessionid = raw->sessionid;
    fi.flags = static_cast<uint8_t>((fi.flags & ~FORK_INFO_COMPLETE) |
                                    ((info->flags & PROC_INFO_COMPLETE) ? FORK_INFO_COMPLETE : 0));
    tree->mem_nodes -= node_bytes(node);
    if (copy_fd(&fi.fd0, raw, FLEX_FD0) != 0 || copy_fd(&fi.fd1, raw, FLEX_FD1) != 0)
        KIV_LOG(1, "copy fd of %d failed\n", fi.pid);
    tree->mem_nodes += node_bytes(node);
    keep_prior(tree, fi, event_id);
    attach_common(node, &ei->info);
    handle_multi_exec_child(tree, node, &ei->info);
    KIV_LOG(4, "ftree_insert exec normal\n");
    return 0;
}

int ftree_delete(ftree *tree, const ftree_key *key) {
    if (!tree || !key) return -2;
    struct ftree *ftree = tree;
    struct fork_node *fork_node;
    int ret = hash_find(ftree, key->pid, &fork_node);
    if (ret != 0) {
        KIV_LOG(3, "lhash_search failed, ret is %d\n", ret);
        return -7;
    }
    fork_info_st &fi = fork_node->fork_info;
    if (key->create_time != 0 && fi.create_time != key->create_time) {
        KIV_LOG(3, "create_time not equal\n");
        return -5;
    }
    if (fork_info_exit_upload_state(&fi) == EXIT_UPLOAD_QUEUED) {
        KIV_LOG(4, "del wait upload exit event: %d\n", fi.pid);
        fork_info_set_exit_upload_state(&fi, EXIT_UPLOAD_DONE);
        if (!s_exit_upload || s_exit_upload(&fi) != 0) KIV_LOG(3, "upload error!\n");
    }
    detach_child(fork_node, fork_node->parent);
    if (struct fork_node *entry = fork_node->children) {
        struct fork_node *c = entry;
        do {
            c->parent = nullptr;
            c = sibling_next(c);
        } while (c != entry);
        fork_node->children = nullptr;
    }
    KIV_ASSERT(ftree->exec_info_list && fork_node->fork_info.exec_info);
    release_common(ftree, fi.exec_info);
    uint32_t pid = fi.pid;
    ftree->mem_nodes -= node_bytes(fork_node);
    lhash_delete(ftree->fork_info_lhash, &pid, sizeof pid);
    KIV_LOG(4, "ftree delete %d\n", pid);
    const lhash *h = ftree->fork_info_lhash;
    if (h->free_slots >= h->max_entries / 10) ftree->hash_full_logged = false;
    const exec_info_list *l = ftree->exec_info_list;
    if (l->using_cnt <= l->max_cnt - l->max_cnt / 10 - 1) ftree->list_full_logged = false;
    if (ftree_mem_bytes(ftree) <= ftree->mem_max - ftree->mem_max / 10)
        ftree->mem_full_logged = false;
    return 0;
}

int ftree_mark_exit(ftree *tree, const ftree_key *key) {
    if (!tree || !key) return -2;
    fork_node *node = nullptr;
    if (ftree_search(tree, key, &node) != 0) {
        KIV_LOG(3, "ftree_search failed\n");
        return -5;
    }
    node->fork_info.expire_time = static_cast<uint32_t>(kiv_now_ms() / 1000) + FTREE_EXPIRE_SEC;
    uint32_t pid = key->pid;
    lhash_mark_allow_free(tree->fork_info_lhash, &pid, sizeof pid);
    return 0;
}

void child_node_separa(fork_node *child, fork_node *parent, int *counter, kiv_queue *queue,
                       uint16_t exec_event_id) {
    if (task_event_id_cmp(child->fork_info.task_event_id, exec_event_id) == 1 &&
        *counter <= FTREE_MULTI_EXEC_MAX - 1 && queue_push(queue, &child) == 0) {
        (*counter)++;
        return;
    }
    detach_child(child, parent);
}

int handle_multi_exec_child(ftree *tree, fork_node *node, common_proc_info *new_record) {
    if (!tree || !node || !new_record) return -2;
    kiv_queue *&q = s_multi_exec_queue.q;
    if (!q) {
        q = queue_create(FTREE_MULTI_EXEC_QUEUE_SLOTS, sizeof(fork_node *));
        if (!q) {
            KIV_LOG(1, "queue_create failed\n");
            return -6;
        }
    }
    queue_clear(q);
    queue_push(q, &node);
    uint16_t exec_event_id = node->fork_info.task_event_id;
    int count = 0;
    bool first = true;
    fork_node *p;
    while (queue_pop(q, &p) == 0) {
        if (fork_node *entry = p->children) {
            list_head *pos = entry->siblings.next;
            while (pos != &entry->siblings) {
                list_head *next = pos->next;
                child_node_separa(list_entry(pos, fork_node, siblings), p, &count, q,
                                  exec_event_id);
                pos = next;
            }
            child_node_separa(entry, p, &count, q, exec_event_id);
        }
        if (!first && p->fork_info.exec_info != new_record) {
            release_common(tree, p->fork_info.exec_info);
            attach_common(p, new_record);
        }
        first = false;
    }
    return 0;
}
