// The process sensor's JSON documents: "Process Creation", "Process Exit" and the
// `proc_trees` ancestry block every sensor's record carries.
#pragma once
#include <cstdint>
#include <string>

#include "qxkiv/process_query.h"
#include "task/process.h"

struct cJSON;
struct kiv_msg_ctx;

// How upload_task_create_event reads its items.
enum upload_item_mode : int {
    UPLOAD_ITEMS_ARRAY = 0,  // an array of process_st
    UPLOAD_ITEMS_PTRS = 1,   // an array of pointers to process_st
};

// How format_proc_tree reads the calling thread's query results.
enum proc_tree_mode : int {
    PROC_TREE_POP = 0,   // consume them
    PROC_TREE_PICK = 1,  // leave them in place
};

constexpr int PROC_TREES_MAX = 16;

// Builds and uploads one creation record from a process and its ancestors (slot 0 the
// process, slot 1 its parent; further slots are not written). 0, or -1 on any failure.
int upload_task_create_event(const void *items, int count, int mode);
// The same for a program run through the dynamic loader: "loader_path" names the loader's
// file behind "process_path" (null: none).
int upload_task_create_event(const void *items, int count, int mode, const char *loader_path);

// Index 0: takes the upload header, writes the message header keys and the slot-0 keys into
// message, then hands message to envelope with the envelope keys (from then on the envelope
// owns it; a failure at index 0 deletes it). Index 1: the parent keys. Others: nothing.
int format_upload_info(int index, cJSON *message, cJSON *envelope, const process_st *item);

// The complete exit envelope (the caller prints, uploads and deletes it), or null.
cJSON *upload_exit_info_build(const fork_info_st *fork_info);
// The exit record as text, the bytes upload_exit_info_build's tree prints, into out (cleared
// first); false, out empty, when there is nothing to describe.
bool upload_exit_text(const fork_info_st *fork_info, std::string &out);
// Uploads a record upload_exit_text built (empty: its failure) and counts the result. 0 or -1.
int upload_exit_text_send(const std::string &text);
// Build and send in one: the exit-upload hook of the fork tree.
int upload_exit_info(const fork_info_st *fork_info);

int format_tree_info(cJSON *array, const process_st *item);
// format_proc_tree (include/qxkiv/process_query.h) adds `proc_trees` from the calling thread's
// query results.
static_assert(PROC_TREE_POP == PROC_TREE_MODE_POP && PROC_TREE_PICK == PROC_TREE_MODE_PICK);

// Exec hook (after exec_event_handle): reports the creation held in the flow context.
int task_create_upload_handle(char *msg, kiv_msg_ctx *ctx);
