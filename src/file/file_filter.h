// The kernel's file-monitor filter lists: loaded from file.conf, wildcards expanded, bind-mount
// twins added, each list sent as one packed payload, wildcard expansions refreshed every 30 s
// and single entries changed at run time by the host.
#pragma once
#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "comm/list.h"
#include "qxkiv/file_filter.h"
#include "qxkiv/ini.h"

struct kiv_timer;

constexpr int QXMON_FILTER_KINDS = 8;
constexpr uint32_t QXMON_FILTER_TEXT_MAX = 1024;  // text length limit, NUL included
constexpr uint32_t QXMON_FILTER_PAYLOAD_MAX = 102400;
constexpr uint32_t QXMON_FILTER_HDR = 6;  // total u32, operation u8, kind u8
constexpr uint8_t QXMON_GROUP_DEFAULT = 99;
constexpr uint64_t ASTERISK_FILTER_UPDATE_MS = 30000;
constexpr unsigned long QXMON_FILTER_REQ = 0x7307;  // ioctl: none, 's', 7, size 0

enum qxmon_filter_op : uint8_t {
    IOCTL_FILE_FILTER_UPDATE = 0,  // replace the whole list
    IOCTL_FILE_FILTER_ADD = 1,
    IOCTL_FILE_FILTER_DEL = 2,
};

constexpr uint8_t QXMON_NODE_HAS_CHILDREN = 1;

struct qxmon_filter_node {
    list_head list;   // in the kind's list, or in the parent's child list
    list_head child;  // the concrete paths a wildcard parent expanded to
    uint32_t len;     // text length including the NUL
    uint8_t event_mask;
    uint8_t flags;
    uint8_t group;
    char text[];
};

struct qxmon_filter_cfg_st {
    uint32_t max_cnt;  // nodes one kind may hold, parents and children alike
    list_head head[QXMON_FILTER_KINDS];
    uint32_t cnt[QXMON_FILTER_KINDS];
    uint8_t event_mask[QXMON_FILTER_KINDS];
    uint8_t group[QXMON_FILTER_KINDS];
};

struct bind_mnt_info {
    list_head list;
    char *src_dir;
    char *dest_dir;
};

// The filter part of the file module's state.
struct file_filter_state {
    qxmon_filter_cfg_st *cfg;
    pthread_rwlock_t qxmon_filter_lock;
    list_head bind_mnt_list;
    kiv_timer *asterisk_filter_update_timer;
    bool lock_inited;
};

extern file_filter_state g_file_filter;

// Start-up: bind mounts, lock, empty configuration of max_cnt (monitor_filter_cnt of the
// "base" section) nodes per kind, the refresh timer, then every list loaded from `ini`
// (the loaded file.conf) and sent to the kernel. Opens the host's entry. 0 or -1 (undone).
int file_filter_init(ini_file_t *ini);
// Closes the host's entry, waits for callers inside, then frees everything in reverse.
void file_filter_exit();

// Tests read bind mounts from another fstab-format file; null restores "/etc/fstab".
void bind_mnt_set_fstab_path(const char *path);

qxmon_filter_cfg_st *qxmon_filter_cfg_alloc(uint32_t max_cnt);
// Reads every filter list of a loaded file.conf as start-up would and sends nothing. 0 or -1.
int qxmon_filter_cfg_check(ini_file_t *ini);
void qxmon_filter_cfg_exit(qxmon_filter_cfg_st *cfg);
// 0 added with wildcard expansion, 1 added as plain text, 2 kind full, -1 failure.
int add_qxmon_filter_cfg(qxmon_filter_cfg_st *cfg, int kind, const char *text, uint32_t text_len,
                         uint8_t event_mask, uint8_t group, qxmon_filter_node **out_node);
int load_default_qxmon_filter_cfg(ini_file_t *ini, qxmon_filter_cfg_st *cfg, int kind);
// Builds a configuration from ini, sends all eight lists with UPDATE and installs it.
int set_default_qxmon_filter_cfg(ini_file_t *ini);
int qxmon_filter_ioctl(uint8_t op, int kind, list_head *list);

typedef int (*qxmon_filter_fn)(qxmon_filter_node *node, void *ctx);
// fn on every node, a wildcard parent replaced by its children; stops at a negative result,
// which is returned.
int qxmon_filter_walk(list_head *list, int kind, qxmon_filter_fn fn, void *ctx);
// The same over the live list of a kind under the read lock (the type filter's reader).
int qxmon_filter_walk_kind(int kind, qxmon_filter_fn fn, void *ctx);

void asterisk_filter_update_timer_func(void *arg);
void asterisk_qxmon_filter_update(int kind);

int bind_mnt_info_load(file_filter_state *st);
void bind_mnt_info_destory(file_filter_state *st);
// The path mapped to its bind-mount source (a new MALLOC_FOR_TMP string), or null.
char *get_bind_mnt_path(const char *path, size_t path_len);

void dump_qxmon_filter(int kind, const char *caller);
