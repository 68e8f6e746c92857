// Module manager state shared with the sensors: the start flag and the four switches.
#pragma once
#include <atomic>
#include <cstdint>

constexpr int MOD_SWITCH_NUM = 4;
constexpr int MOD_SWITCH_LOG_COLLECTOR = 3;  // the log collector runs only while this is on
constexpr int MGR_IP_LEN = 48;

extern std::atomic<uint32_t> g_init_done;
extern std::atomic<uint32_t> g_mod_switch[MOD_SWITCH_NUM];

// Non-zero while this thread runs one of the host's callbacks.
extern thread_local constinit int t_in_host_callback;
// Whether init_mod_manager has succeeded once (the flag is never cleared).
bool mod_manager_started();
// init_mod_manager clears the host's callbacks before each start.
void mod_manager_reset_callbacks();

struct upload_header;
class json_text_obj;
// The envelope members before "message", as format_upload_header adds them.
void upload_header_text(json_text_obj &envelope, const upload_header &header);
// The four members every message opens with: record time and timestamp, event id and name.
void record_head_text(json_text_obj &message, const upload_header &header, const char *event_id,
                      const char *event_name);
// "proc_trees" as text, the bytes format_proc_tree's member prints (mode as there). The
// process sensor, which owns the node's keys, defines it.
void proc_trees_text(json_text_obj &message, int mode);
