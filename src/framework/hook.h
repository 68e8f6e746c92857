// Hook registry and the message flow: every record read by a collector runs through the
// hooks of its module in order; a hook accepts, drops, or parks it for later (merge/rely).
#pragma once
#include <cstdint>

#include "comm/list.h"

// Kernel event types (record header `type`).
enum kiv_event_type : uint16_t {
    EV_FORK = 0,
    EV_EXEC = 1,
    EV_EXIT = 2,
    EV_DL_LOAD = 3,
    EV_KILL = 4,
    EV_UDP_SEND = 5,
    EV_LISTEN = 6,
    EV_CONN_IN = 7,
    EV_CONN_OUT = 8,
    EV_CONN_OUT_EST = 9,
    EV_DNS_REQ = 10,
    EV_DNS_RSP = 11,
    EV_IN_RST = 12,
    EV_FILE_CREATE = 13,
    EV_FILE_DELETE = 14,
    EV_FILE_RENAME = 15,
    EV_FILE_MODIFY = 16,
    EV_FILE_ACCESS = 17,
    EV_FILE_ATTRIB = 18,
    EV_FILE_PIPE_CREATE = 19,
    EV_FILE_PIPE_CONNECT = 20,
    EV_BLOCK_DNS = 21,
    EV_BLOCK_LOG = 22,
    EV_IGNORE = 23,
    EV_DEFENSE_FILE_BLOCK = 24,
    EV_DEFENSE_PROC_BLOCK = 25,
    EV_DEFENSE_NET_BLOCK = 26,
    EV_DEFENSE_K2U = 27,
    EV_DEFENSE_END = 28,
};

// Module ids: hook tables and the per-thread log-mask bit.
enum kiv_module_id : int {
    KIV_MOD_FRAMEWORK = 0,
    KIV_MOD_TASK = 1,
    KIV_MOD_FILE = 2,
    KIV_MOD_NET = 3,
    KIV_MOD_BLOCK = 4,
    KIV_MOD_LOG_COLLECTOR = 5,
    KIV_MOD_BLOCK_LOGGER = 6,
    KIV_MOD_PROC_DEFENSE = 7,
    KIV_MOD_FILE_DEFENSE = 8,
    KIV_MOD_NET_DEFENSE = 9,
    KIV_MOD_INVALID = 10,
};

enum kiv_hook_verdict : int {
    MSG_HOOK_ACCEPT = 0,
    MSG_HOOK_DROP = 1,
    MSG_HOOK_MERGE = 2,  // park, resume at the next hook after `timeout`
    MSG_HOOK_RELY = 3,   // park, resume at the same hook after `timeout`
};

constexpr uint8_t MSG_CTX_MERGED = 1u << 1;
constexpr uint8_t MSG_CTX_SAVE_FAILED = 1u << 2;

// Flow context: zeroed on the stack for a fresh record, copied in front of a parked record.
struct kiv_msg_ctx {
    list_head list;    // time-ordered list of its event type
    hlist_node hnode;  // merge hash
    uint64_t timeout;  // ms set by the hook; absolute deadline once parked
    uint32_t key;      // merge-hash key, low 11 bits select the bucket
    uint8_t type;
    uint8_t retry;
    uint8_t hook_idx;  // slot the flow resumes at
    uint8_t flags;     // MSG_CTX_MERGED, MSG_CTX_SAVE_FAILED
    void *priv[2];     // the hook's own, copied when parked
    char *msg;         // the record; in a parked context the copy right behind it
};
static_assert(sizeof(kiv_msg_ctx) == 72);

// Records may be unaligned: decode with kiv_msg_hdr_get / memcpy.
typedef int (*kiv_msg_handler)(char *msg, kiv_msg_ctx *ctx);

struct kiv_msg_hook {
    void *reserved[2];
    uint64_t ev_mask;  // bit t = event type t; all bits in one module
    kiv_msg_handler handler;
    int32_t order;  // lower runs first; equal orders keep registration order
};

constexpr int KIV_MOD_NUM = KIV_MOD_INVALID;
constexpr int MAX_HOOK_NUM = 32;

extern kiv_msg_hook g_msg_hooks[KIV_MOD_NUM][MAX_HOOK_NUM];

int map_event_to_module(int type);
int qxe_ev_mask_min(const uint64_t *mask);
int qxe_ev_mask_max(const uint64_t *mask);
int register_msg_handler(const kiv_msg_hook *ops, int count);
void unregister_msg_handler(const kiv_msg_hook *ops, int count);
void msg_entry(char *msg, uint32_t len);
void msg_hook_flow(char *msg);
void msg_hook_flow_with_context(char *msg, kiv_msg_ctx *ctx);
