// Accounting allocator and the statistics counters with their names.
#include "base/mem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"

std::atomic<int64_t> g_usensor_stats[USENSOR_STAT_MAX];
std::atomic<int64_t> g_ev_rate_stats[EV_ALL_MAX];
std::atomic<int64_t> g_ev_upload_rate_stats[UPLOAD_TYPE_MAX];
int64_t g_pre_ev_rate_stats[EV_ALL_MAX];
int64_t g_pre_ev_upload_rate_stats[UPLOAD_TYPE_MAX];
std::atomic<int> s_enable_malloc{1};

const char *const g_event_names[EV_ALL_MAX + 1] = {"fork",
                                                   "exec",
                                                   "exit",
                                                   "dynamic library load",
                                                   "kill",
                                                   "udp_send",
                                                   "listen",
                                                   "conn_in",
                                                   "conn_out",
                                                   "conn_out_est",
                                                   "dns_req",
                                                   "dns_rsp",
                                                   "in_rst",
                                                   "file_create",
                                                   "file_delete",
                                                   "file_rename",
                                                   "file_modify",
                                                   "file_access",
                                                   "file_attrib",
                                                   "file_pipe_create",
                                                   "file_pipe_connect",
                                                   "block_dns",
                                                   "block_log",
                                                   "ignore",
                                                   "defense file block msg",
                                                   "defense proc block msg",
                                                   "defense net block msg",
                                                   "defense k2u msg",
                                                   "defense msg end",
                                                   "max"};

const char *const g_upload_type_names[UPLOAD_TYPE_MAX + 1] = {"APP_LOG",
                                                              "FILE_MOD",
                                                              "PROC_EXEC",
                                                              "NET_SCAN",
                                                              "NET_LISTENING",
                                                              "NET_CONNECT",
                                                              "DNS_QUERY",
                                                              "CAP_FLUX",
                                                              "ETW",
                                                              "ETW_EVENT",
                                                              "FILE_DELETE",
                                                              "FILE_CRATE",
                                                              "FILE_MOVE",
                                                              "PROC_EXIT",
                                                              "SYSCALL_SOCKET",
                                                              "SYSCALL_PTRACE",
                                                              "SYSCALL_USERFAULTFD",
                                                              "SYSCALL_CORE_PATTERN",
                                                              "SYSCALL_CONNECT",
                                                              "SELF_PROTECT_BLOCK",
                                                              "NORMAL_PROTECTION_BLOCK",
                                                              "MAX"};

namespace {

constexpr uint32_t kLiveMagic = 0xF1F2F3E4;
constexpr uint32_t kFreedMagic = 0xE1E2E3F4;

struct mem_ctrl {
    uint32_t magic;
    uint32_t size : 24;
    uint32_t stat_type : 8;
};
static_assert(sizeof(mem_ctrl) == 8);

struct stat_row {
    const char *name;
    const char *text;
};
constexpr stat_row kStatRows[USENSOR_STAT_MAX] = {
#define X(idx, name, text) {#name, text},
#include "base/mem_names.inc"
#undef X
};

mem_ctrl *checked_ctrl(void *ptr) {
    mem_ctrl *ctrl = reinterpret_cast<mem_ctrl *>(static_cast<char *>(ptr) - sizeof(mem_ctrl));
    KIV_ASSERT(ctrl->size <= ((1u << 23) - 1));
    KIV_ASSERT(ctrl->stat_type <= ((1u << 7) - 1));
    KIV_ASSERT(ctrl->magic == (0xf1f2f3e4));
    return ctrl;
}

}  // namespace

void *kiv_malloc(size_t size, uint32_t stat_type) {
    if (!s_enable_malloc.load(std::memory_order_relaxed)) return nullptr;
    KIV_ASSERT(size <= ((1u << 23) - 1));
    KIV_ASSERT(stat_type <= ((1u << 7) - 1));
    auto *ctrl = static_cast<mem_ctrl *>(malloc(size + sizeof(mem_ctrl)));
    if (!ctrl) return nullptr;
    g_usensor_stats[stat_type].fetch_add((int64_t)size, std::memory_order_relaxed);
    g_usensor_stats[MALLOC_IN_USE_TIMES].fetch_add(1, std::memory_order_relaxed);
    ctrl->magic = kLiveMagic;
    ctrl->size = (uint32_t)size;
    ctrl->stat_type = stat_type;
    return ctrl + 1;
}

void *kiv_zalloc(size_t size, uint32_t stat_type) {
    void *p = kiv_malloc(size, stat_type);
    if (p) memset(p, 0, size);
    return p;
}

void *kiv_realloc(void *ptr, size_t size) {
    if (!ptr) return nullptr;
    mem_ctrl *ctrl = checked_ctrl(ptr);
    KIV_ASSERT(size <= ((1u << 23) - 1));
    uint32_t old_size = ctrl->size;
    uint32_t cat = ctrl->stat_type;
    auto *moved = static_cast<mem_ctrl *>(realloc(ctrl, size + sizeof(mem_ctrl)));
    if (!moved) return nullptr;  // the old block is still live and still counted
    moved->size = (uint32_t)size;
    g_usensor_stats[cat].fetch_add((int64_t)size - (int64_t)old_size, std::memory_order_relaxed);
    return moved + 1;
}

void kiv_free(void *ptr) {
    if (!ptr) return;
    mem_ctrl *ctrl = checked_ctrl(ptr);
    g_usensor_stats[ctrl->stat_type].fetch_sub(ctrl->size, std::memory_order_relaxed);
    g_usensor_stats[MALLOC_IN_USE_TIMES].fetch_sub(1, std::memory_order_relaxed);
    ctrl->magic = kFreedMagic;
    free(ctrl);
}

size_t kiv_msize(void *ptr) {
    KIV_ASSERT(ptr != ((void *)0));
    return checked_ctrl(ptr)->size;
}

char *kiv_strdup(const char *str, uint32_t stat_type) {
    if (!str) return nullptr;
    size_t n = strlen(str) + 1;
    if (n > ((1u << 23) - 1)) return nullptr;  // longer than a block can be
    auto *p = static_cast<char *>(kiv_malloc(n, stat_type));
    if (p) memcpy(p, str, n);
    return p;
}

const char *usensor_stat_name(uint32_t idx) {
    return idx < USENSOR_STAT_MAX ? kStatRows[idx].name : nullptr;
}

int travel_usensor_stats(char *buf, int buflen, int *index) {
    if (*index < 0 || *index >= (int)USENSOR_STAT_MAX) return 0;
    const stat_row &row = kStatRows[*index];
    int n = snprintf(buf, (size_t)buflen, "%s(%s): %ld\n", row.name, row.text,
                     (long)g_usensor_stats[*index].load(std::memory_order_relaxed));
    if (n < 0 || n >= buflen) return -1;
    ++*index;
    return n;
}
