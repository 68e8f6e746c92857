// Direct process queries to the kernel module (one process, an ancestry, the lost exits, a
// liveness check), the per-thread budget that bounds them, and the two clean-ups of the fork
// tree that rely on them.
#pragma once
#include <sys/ioctl.h>

#include <cstdint>

constexpr unsigned long TASK_DRV_QUERY_REQ = _IO('s', 4);
static_assert(TASK_DRV_QUERY_REQ == 0x7304);
constexpr unsigned long TASK_DRV_CONF_REQ = _IO('s', 5);
static_assert(TASK_DRV_CONF_REQ == 0x7305);

enum task_drv_type : uint32_t {
    TASK_DRV_SINGLE = 0,
    TASK_DRV_TREE = 1,
    TASK_DRV_LOST_EVENT = 2,
    TASK_DRV_LIVENESS = 3,
};

// Kernel format, little-endian.
struct task_drv_interact_info_st {
    uint64_t create_time;
    uint32_t type;
    uint32_t pid;
    uint32_t data_obj_num;  // in: capacity (or count for a liveness check); out: returned
    uint32_t size;          // bytes of data
    unsigned char data[];
};
static_assert(sizeof(task_drv_interact_info_st) == 24);

// One lost exit or liveness entry.
struct task_drv_key_obj {
    uint64_t create_time;
    uint32_t pid;
    uint32_t reserved;
};
static_assert(sizeof(task_drv_key_obj) == 16);

constexpr uint32_t TASK_DRV_LOST_EVENT_MAX = 128;
constexpr uint32_t TASK_DRV_LIVENESS_MAX = 1000;
constexpr uint64_t CLEAN_FTREE_INTERVAL_MS = 15000;

// Budget kinds.
enum task_drv_kind : int {
    TASK_DRV_KIND_SINGLE = 0,
    TASK_DRV_KIND_TREE = 1,
    TASK_DRV_KIND_LOST = 2
};

// Each returns the whole answer buffer (kiv_free it) or null; records start at data.
task_drv_interact_info_st *drv_get_proc_info(uint32_t pid, uint64_t create_time);
// *count: in, free slots; out, records returned (slots of RAW_PROCESS_SLOT_SIZE, nearest first).
task_drv_interact_info_st *drv_get_task_tree(uint32_t pid, uint64_t create_time, uint32_t *count);
task_drv_interact_info_st *drv_get_lost_event(uint32_t object_size, uint32_t *count);

// Non-zero when the calling thread is over its budget for the kind.
int is_task_drv_limit(int kind);
// Forgets the calling thread's budget (tests, and a restarted module with new maxima).
void task_drv_limit_reset();

void clean_invalid_info();
void clean_ftree_timer_func(void *arg);
