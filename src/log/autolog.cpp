// Private module log: messages routed through error_output land in dated files of the
// module's own directory, with a per-level flood limit and a bounded number of files.
#include "qxkiv/autolog.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "comm/dirutils.h"
#include "comm/error_output.h"
#include "log/autolog_internal.h"
#include "qxkiv/ini.h"

struct module_conf_update g_module_conf_update = {PTHREAD_MUTEX_INITIALIZER, 0, {}};

namespace {

constexpr const char *kModuleName = "HIPS";
constexpr const char *kModuleKey = "hips";
constexpr uint32_t kMaxFileBytes = 10 * 1024 * 1024;
constexpr int kLevels = 5;
const char *const kTags[kLevels] = {"ERROR ", "WARN  ", "INFO  ", "DEBUG ", "RTLOG "};

struct module_log {
    bool active = false;
    bool handler_registered = false;
    char cur_path[1024] = {};
    FILE *fp = nullptr;
    std::string log_dir;
    std::string conf_path;
    std::string filter_white, filter_black;
    bool has_filter = false;
    const char *name = kModuleName;
    const char *key = kModuleKey;
    int log_num = 3;
    bool console = false;
    int log_level = 2;
    int output_limit = 10;
    int update_idx = -1;
    uint32_t written = 0;
    // Flood window per level.
    int64_t win_start[kLevels] = {};
    int win_count[kLevels] = {};
    int suppressed[kLevels] = {};
    time_t last_check = 0;
};

thread_local module_log t_log;
module_log s_pmodule_log;
std::mutex s_pmodule_lock;
time_t (*s_clock)() = nullptr;
std::string s_conf_root;  // tests point the configuration elsewhere

time_t now_sec() { return s_clock ? s_clock() : time(nullptr); }

const char *tag_of(int level) { return level >= 0 && level < kLevels ? kTags[level] : "Unknown"; }

// Level names compare without case, up to the first blank; unknown names mean INFO.
int level_by_name(const char *name) {
    if (!name) return 2;
    size_t n = strcspn(name, " \t");
    for (int i = 0; i < kLevels; i++) {
        const char *t = kTags[i];
        size_t tn = strcspn(t, " ");
        if (n == tn && strncasecmp(name, t, n) == 0) return i;
    }
    return 2;
}

void local_stamp(struct tm *tm) {
    time_t t = now_sec();
    if (t == (time_t)-1 || !localtime_r(&t, tm)) {
        memset(tm, 0, sizeof(*tm));
        tm->tm_year = 70;
        tm->tm_mday = 1;
    }
}

std::string file_name_at(const module_log &m, const struct tm &tm, bool midnight) {
    char buf[1200];
    snprintf(buf, sizeof(buf), "%s/%d%02d%02d-%02d%02d%02d.log", m.log_dir.c_str(),
             tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, midnight ? 0 : tm.tm_hour,
             midnight ? 0 : tm.tm_min, midnight ? 0 : tm.tm_sec);
    return buf;
}

std::vector<std::string> log_files(const module_log &m) {
    std::vector<std::string> names;
    DIR *d = opendir(m.log_dir.c_str());
    if (!d) return names;
    while (dirent *e = readdir(d)) {
        size_t n = strlen(e->d_name);
        if (n > 4 && strcmp(e->d_name + n - 4, ".log") == 0) names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Keeps log_num - 1 old files so the file about to be opened makes log_num.
void check_log_dir(module_log &m) {
    std::vector<std::string> names = log_files(m);
    size_t keep = m.log_num > 1 ? (size_t)m.log_num - 1 : 0;
    for (size_t i = 0; i + keep < names.size(); i++) {
        std::string p = m.log_dir + "/" + names[i];
        if (m.fp && p == m.cur_path) continue;
        unlink(p.c_str());
    }
}

void open_file(module_log &m, const std::string &path, bool count_existing) {
    FILE *fp = fopen(path.c_str(), "a");
    if (!fp) return;
    setvbuf(fp, nullptr, _IONBF, 0);
    if (m.fp) fclose(m.fp);
    m.fp = fp;
    snprintf(m.cur_path, sizeof(m.cur_path), "%s", path.c_str());
    m.written = 0;
    if (count_existing) {
        fseek(fp, 0, SEEK_END);
        long size = ftell(fp);
        m.written = size > 0 ? (uint32_t)size : 0;
    }
}

void restore_last_fd(module_log &m) {
    std::vector<std::string> names = log_files(m);
    if (names.empty()) return;
    struct tm tm;
    local_stamp(&tm);
    std::string newest = m.log_dir + "/" + names.back();
    if (newest > file_name_at(m, tm, true)) open_file(m, newest, true);
}

void privatelog_active_new(module_log &m) {
    struct tm tm;
    local_stamp(&tm);
    if (m.fp && m.written <= kMaxFileBytes && std::string(m.cur_path) > file_name_at(m, tm, true))
        return;
    check_log_dir(m);
    std::string path = file_name_at(m, tm, false);
    if (m.fp && path == m.cur_path) return;  // same second: keep appending
    open_file(m, path, false);
}

void load_conf(module_log &m) {
    if (access(m.conf_path.c_str(), F_OK) != 0) return;
    auto *ini = ini_file_load(m.conf_path.c_str());
    if (!ini) return;
    m.log_level = level_by_name(ini_file_get_str(ini, "log", "log_level", "INFO"));
    const char *black = ini_file_get(ini, "log", "filter_black");
    const char *white = ini_file_get(ini, "log", "filter_white");
    m.filter_black = black ? black : "";
    m.filter_white = white ? white : "";
    m.has_filter = black || white;
    long num = ini_file_get_long(ini, "log", "log_num", m.log_num);
    m.log_num = num > 10 ? 10 : (int)num;
    m.output_limit = (int)ini_file_get_long(ini, "log", "output_limit", m.output_limit);
    ini_file_free(ini);
}

int board_register(const char *key) {
    pthread_mutex_lock(&g_module_conf_update.lock);
    int found = -1;
    for (int i = 0; i < g_module_conf_update.count && found < 0; i++)
        if (strcmp(g_module_conf_update.slots[i].key, key) == 0) found = i;
    if (found < 0 && g_module_conf_update.count < AUTOLOG_UPDATE_SLOTS) {
        found = g_module_conf_update.count++;
        autolog_update_slot &slot = g_module_conf_update.slots[found];
        snprintf(slot.key, sizeof(slot.key), "%s", key);
    }
    pthread_mutex_unlock(&g_module_conf_update.lock);
    return found;
}

void write_line(module_log &m, int level, const char *text) {
    size_t len = strlen(text);
    if (len == 0) return;
    if (m.output_limit != 0 && level >= 0 && level < kLevels) {
        time_t sec = now_sec();
        if (sec != m.win_start[level]) {
            int over = m.win_count[level] - m.output_limit;
            if (over > 0) m.suppressed[level] = over;
            m.win_count[level] = 0;
            m.win_start[level] = sec;
        }
        if (++m.win_count[level] > m.output_limit) return;
    }
    time_t sec = now_sec();
    if (sec - m.last_check > 10) {
        m.last_check = sec;
        privatelog_active_new(m);
    }
    FILE *out = m.fp ? m.fp : stderr;
    struct tm tm;
    local_stamp(&tm);
    char stamp[64];
    int sn = snprintf(stamp, sizeof(stamp), "[%04d-%02d-%02d %02d:%02d:%02d] [%d] ",
                      tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                      tm.tm_sec, (int)syscall(SYS_gettid));
    const char *nl = text[len - 1] == '\n' ? "" : "\n";
    if (level >= 0 && level < kLevels && m.suppressed[level] > 0) {
        int n = fprintf(out, "%s%s%d messages suppressed.\n", stamp, tag_of(level),
                        m.suppressed[level]);
        if (n > 0 && m.fp) m.written += (uint32_t)n;
        m.suppressed[level] = 0;
    }
    int n = fprintf(out, "%s%s%s%s", stamp, tag_of(level), text, nl);
    if (n > 0 && m.fp) m.written += (uint32_t)n;
    if (m.console && m.fp && level != 4) fprintf(stderr, "%.*s%s%s%s", sn, stamp, tag_of(level), text, nl);
}

void output(module_log &m, int level, const char *text) {
    if (!m.active || level > m.log_level) return;
    write_line(m, level, text);
}

void autolog_output(int level, const char *text, void *ctx) {
    output(*static_cast<module_log *>(ctx), level, text);
}

void global_autolog_output(int level, const char *text, void *ctx) {
    std::lock_guard<std::mutex> g(s_pmodule_lock);
    output(*static_cast<module_log *>(ctx), level, text);
}

int setup(module_log &m, const char *log_dir, int log_num) {
    if (m.active) return 0;
    if (!log_dir || !*log_dir) return -1;
    bool registered = m.handler_registered;
    m = module_log();
    m.handler_registered = registered;
    const char *console = getenv("LOG_CONSOLE");
    m.console = console && console[0] == '1';
    m.log_dir = log_dir;
    m.log_num = log_num > 10 ? 10 : log_num;
    char base[1024];
    dirutils_path_transform(s_conf_root.empty() ? "@/../config/log/" : s_conf_root.c_str(), base,
                            sizeof(base));
    std::string conf_dir = std::string(base) + m.name + "/";
    dirutils_mkdir(conf_dir.c_str(), 0755);
    m.conf_path = conf_dir + m.key + ".ini";
    load_conf(m);
    if (dirutils_mkdir(m.log_dir.c_str(), 0755) != 0) {
        fprintf(stderr, "autolog: cannot create log directory %s: %s\n", m.log_dir.c_str(),
                strerror(errno));
    }
    check_log_dir(m);
    restore_last_fd(m);
    m.last_check = now_sec();
    privatelog_active_new(m);
    m.update_idx = board_register(m.key);
    m.active = true;
    return 0;
}

void teardown(module_log &m) {
    if (m.fp) fclose(m.fp);
    m.fp = nullptr;
    m.cur_path[0] = '\0';
    m.active = false;
}

void apply_board(module_log &m) {
    if (!m.active || m.update_idx < 0) return;
    autolog_update_slot &slot = g_module_conf_update.slots[m.update_idx];
    if (slot.update_pending) {
        if (autolog_conf_values *v = slot.values) {
            if (v->log_level) m.log_level = level_by_name(v->log_level);
            if (v->filter_black) m.filter_black = v->filter_black;
            if (v->filter_white) m.filter_white = v->filter_white;
            m.has_filter = m.has_filter || v->filter_black || v->filter_white;
            if (v->log_num != -1) m.log_num = v->log_num > 10 ? 10 : v->log_num;
            if (v->output_limit != -1) m.output_limit = v->output_limit;
            free(v->filter_black);
            free(v->filter_white);
            free(v->log_level);
            free(v);
        }
        slot.values = nullptr;
        slot.update_pending = 0;
    }
    if (slot.reload_pending) {
        load_conf(m);
        slot.reload_pending = 0;
    }
}

}  // namespace

int autolog_init_global(const char *log_dir, int log_num) {
    std::lock_guard<std::mutex> g(s_pmodule_lock);
    if (setup(s_pmodule_log, log_dir, log_num) != 0) return -1;
    if (!s_pmodule_log.handler_registered &&
        global_output_register(global_autolog_output, &s_pmodule_log) == 0)
        s_pmodule_log.handler_registered = true;
    return 0;
}

int autolog_init(const char *log_dir, int log_num) {
    if (setup(t_log, log_dir, log_num) != 0) return -1;
    if (!t_log.handler_registered && error_output_register(autolog_output, &t_log) == 0)
        t_log.handler_registered = true;
    return 0;
}

int autolog_init2(const char *log_dir, int log_num, int output_limit) {
    int rc = autolog_init(log_dir, log_num);
    if (rc == 0) t_log.output_limit = output_limit;
    return rc;
}

void autolog_deinit(void) { teardown(t_log); }

void autolog_deinit_global(void) {
    std::lock_guard<std::mutex> g(s_pmodule_lock);
    teardown(s_pmodule_log);
}

void reload_log_conf(void) {
    apply_board(t_log);
    std::lock_guard<std::mutex> g(s_pmodule_lock);
    apply_board(s_pmodule_log);
}

void autolog_set_clock(time_t (*clock)()) { s_clock = clock; }

void autolog_set_conf_root(const char *dir) { s_conf_root = dir ? dir : ""; }

const char *autolog_current_path() { return t_log.fp ? t_log.cur_path : nullptr; }
