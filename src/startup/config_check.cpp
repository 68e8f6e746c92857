// Reading every configuration file as start-up would, for a host that wants to know what is
// wrong with them before it starts the sensor.
#include <mutex>
#include <set>
#include <string>

#include "base/log.h"
#include "base/mem.h"
#include "block_logger/block_logger.h"
#include "comm/ini_key.h"
#include "file/file.h"
#include "framework/config.h"
#include "framework/mod_manager.h"
#include "log_collector/log_collector.h"
#include "net/net.h"
#include "qxkiv/config_check.h"
#include "startup/startup.h"
#include "task/task.h"

namespace {

struct check_ctx {
    kiv_config_problem_fn fn;
    void *arg;
    int count;
    // Some keys are read twice at start-up (by a module and by its filter lists): said once.
    std::set<std::string> said;
};

void hand_on(const ini_problem &p, void *arg) {
    auto *ctx = static_cast<check_ctx *>(arg);
    std::string id = std::string(p.file) + '\n' + p.section + '\n' + p.key + '\n' + p.value;
    if (!ctx->said.insert(id).second) return;
    kiv_config_problem out{p.file, p.section, p.key, p.value, p.used, p.fatal ? 1 : 0};
    ctx->count++;
    ctx->fn(&out, ctx->arg);
}

int read_net() {
    net_user_cfg user{};
    kernel_cfg *cfg = nullptr;
    int rc = net_load_config(&user, &cfg);
    kiv_free(cfg);
    return rc;
}

int read_block_logger() {
    block_logger_info info{};
    return blogger_cfg_load(&info);
}

}  // namespace

KIV_API int kiv_check_config(kiv_config_problem_fn fn, void *arg) {
    if (!fn) return -1;
    std::lock_guard<std::mutex> g(sensor_control_lock());
    // The readers fill the modules' own records: only before the one start of a process.
    if (mod_manager_started()) return -1;
    check_ctx ctx{fn, arg, 0, {}};
    // The problems come through the listener; the log lines they also make stay unwritten.
    const int32_t level = g_framework_config.log_level;
    g_framework_config.log_level = -1;
    ini_problem_listen(hand_on, &ctx);
    framework_config scratch;
    framework_cfg_read(&scratch);
    task_cfg_check();
    file_cfg_check();
    read_net();
    read_block_logger();
    log_collector_cfg_check();
    ini_problem_listen(nullptr, nullptr);
    g_framework_config.log_level = level;
    return ctx.count;
}
