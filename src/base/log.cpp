#include "base/log.h"

thread_local constinit uint32_t g_cur_mod = 0xFFFFFFF;
thread_local constinit int g_cur_task_no = 0;
std::atomic<int> g_in_master_thread{0};
