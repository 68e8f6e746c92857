// Parking of records whose hooks returned merge or rely, and their replay once due.
#pragma once
#include <cstddef>
#include <cstdint>

#include "framework/hook.h"

constexpr size_t CTX_MEM_MAX_SIZE = 0xFFFFF;      // largest single parked allocation
constexpr uint32_t CTX_MEM_CLASS_LIMIT = 262144;  // bytes parked per memory class
constexpr int CTX_MEM_CLASS_NUM = 3;              // process, file, network
constexpr int RP_HASH_SIZE = 2048;
constexpr int RP_BATCH = 10;      // records replayed per pass
constexpr int RP_MAX_RETRY = 99;  // last retry value that may still park

int msg_hook_save_reinject(char *msg, kiv_msg_ctx *ctx, int insert_hash);
int msg_hook_reinject();
void *__alloc_context_mem(int type, size_t size);
void __free_context_mem(void *ptr);
int framework_resource_init();
// Frees what is still parked and the hash; the counterpart of framework_resource_init.
void framework_resource_exit();
