// The collector around the per-file reader: log_collector.conf, the watched files (wildcards
// re-expanded at every rescan), logcollector.state, the round-robin turns with their quotas,
// the "APP_LOG" record and the thread's loop.
#include "log_collector/log_collector.h"

#include <cjson/cJSON.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

#include "base/log.h"
#include "base/mem.h"
#include "comm/dirutils.h"
#include "comm/ini_key.h"
#include "comm/json_add.h"
#include "framework/hook.h"
#include "framework/mod_manager.h"
#include "framework/task.h"
#include "qxkiv/qxkiv.h"

namespace {

constexpr const char *LOG_COLLECTOR_CONF_PATH = "@/../config/log_collector.conf";
constexpr const char *STATE_NAME = "logcollector.state";
// Beside the state file, whose text stays as it is: one line a saved entry,
// "<inode> <length> <MD5 of the file's first length bytes> <path>".
constexpr const char *IDENT_NAME = "logcollector.ident";
// Counts in the configuration beyond these are typing errors, not lists.
constexpr long KEY_WORD_GROUP_MAX = 1024;
constexpr long KEY_WORD_MAX = 1024;

std::string s_conf_path = LOG_COLLECTOR_CONF_PATH;
std::string s_state_path, s_ident_path;
int s_max_open = LOG_COLLECTOR_MAX_OPEN;

// <installation>/var/data, the installation being the parent of the directory that holds the
// configuration file; "@/../var/data" for the shipped layout.
std::string state_dir() {
    std::string dir = kiv_data_dir_of(s_conf_path.c_str());
    if (dir.empty()) KIV_LOG(0, "trans %s failed\n", s_conf_path.c_str());
    return dir;
}

void free_key_words(list_head *list) {
    while (list->next != list) {
        list_head *g = list->next;
        list_del(g);
        key_word_group *grp = list_entry(g, key_word_group, list);
        while (grp->words.next != &grp->words) {
            list_head *w = grp->words.next;
            list_del(w);
            kiv_free(list_entry(w, key_word, list));
        }
        kiv_free(grp);
    }
}

void free_logsets(log_collector_ctx *ctx) {
    while (ctx->logsets.next != &ctx->logsets) {
        list_head *p = ctx->logsets.next;
        list_del(p);
        kiv_free(list_entry(p, log_set, list));
    }
}

void free_logs(log_collector_ctx *ctx) {
    while (ctx->logs.next != &ctx->logs) {
        list_head *p = ctx->logs.next;
        list_del(p);
        watch_log *log = list_entry(p, watch_log, list);
        file_poll_close(log);
        kiv_free(log);
    }
    ctx->cur_log = nullptr;
    ctx->log_cnt = 0;
}

void free_ctx(log_collector_ctx *ctx) {
    free_logs(ctx);
    free_logsets(ctx);
    if (ctx->line) kiv_free(ctx->line);
    if (ctx->report_text) cJSON_free(ctx->report_text);
    ctx->line = nullptr;
    ctx->report_text = nullptr;
    ctx->line_len = 0;
    free_key_words(&ctx->black_list);
    free_key_words(&ctx->white_list);
}

bool parse_u64(const char *s, uint64_t *out) {
    if (!s || *s < '0' || *s > '9') return false;
    char *end;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *out = v;
    return true;
}

// A file missing at two rescans in a row lets go of its streams once they are read to the
// end, so a deleted log does not keep its disk space; its path stays watched.
void release_missing_logs(log_collector_ctx *ctx) {
    for (list_head *p = ctx->logs.next; p != &ctx->logs; p = p->next) {
        watch_log *log = list_entry(p, watch_log, list);
        struct stat st;
        if (lstat(log->path, &st) == 0 || errno != ENOENT) {
            log->missing_scans = 0;
            continue;
        }
        if (++log->missing_scans < 2 || (!log->fp && !log->old_fp)) continue;
        if (ctx->cur_log == log && ctx->line_len) continue;
        auto at_end = [](FILE *f) {
            if (!f) return true;
            off_t pos = ftello(f);
            struct stat fst;
            return pos >= 0 && fstat(fileno(f), &fst) == 0 && pos >= fst.st_size;
        };
        if (!at_end(log->fp) || !at_end(log->old_fp)) continue;
        KIV_LOG(2, "log %s is gone, streams closed\n", log->path);
        file_poll_close(log);
        log->stat_valid = 0;
        log->offset = 0;
        log->old_ino = log->old_offset = 0;
    }
}

void write_entry(FILE *f, FILE *ident, int n, const watch_log *log, uint64_t ino, uint64_t offset) {
    fprintf(f, "path%d=%s\nino%d=%" PRIu64 "\noffset%d=%" PRIu64 "\n", n, log->path, n, ino, n,
            offset);
    KIV_LOG(2, "save state: path %s, ino %lu, offset %lu\n", log->path, (unsigned long)ino,
            (unsigned long)offset);
    char fp[LOG_FINGERPRINT_LEN];
    int len = ident ? file_poll_fingerprint(log, fp) : 0;
    if (len > 0) fprintf(ident, "%" PRIu64 " %d %s %s\n", ino, len, fp, log->path);
}

// Written beside the old file and renamed over it: a crash or a full disk leaves either the
// old text or the new one, never half a file.
FILE *open_tmp(const std::string &path) {
    std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f) KIV_LOG(0, "fopen() %s for write failed\n", tmp.c_str());
    return f;
}

int commit_tmp(FILE *f, const std::string &path) {
    std::string tmp = path + ".tmp";
    int err = 0;
    if (fflush(f) != 0 || ferror(f)) err = errno ? errno : EIO;
    if (!err && fsync(fileno(f)) != 0) err = errno;
    if (fclose(f) != 0 && !err) err = errno;
    if (!err && rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err) {
        KIV_LOG(0, "write state %s failed: %s\n", path.c_str(), strerror(err));
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

// Fingerprints of the saved entries. Without them (an older installation, a lost or damaged
// file) an entry is trusted by its inode alone, as the state file gives it.
void load_ident(log_collector_ctx *ctx, const char *path) {
    FILE *f = fopen(path, "r");
    if (!f) {
        KIV_LOG(1, "no fingerprints in %s (%s): saved positions checked by inode alone\n", path,
                strerror(errno));
        return;
    }
    char line[LOG_PATH_LEN + 128];
    for (int n = 1; fgets(line, sizeof line, f); n++) {
        size_t len = strlen(line);
        if (len && line[len - 1] == '\n') line[--len] = '\0';
        unsigned long long ino = 0;
        int fp_len = 0, at = 0;
        char fp[LOG_FINGERPRINT_LEN] = "";
        bool ok = sscanf(line, "%llu %d %32[0-9a-f] %n", &ino, &fp_len, fp, &at) == 3 && at > 0 &&
                  fp_len > 0 && fp_len <= LOG_HEAD_LEN && strlen(fp) == 32 && line[at];
        if (!ok) {
            KIV_LOG(1, "fingerprint line %d of %s invalid, ignored\n", n, path);
            continue;
        }
        for (list_head *l = ctx->logs.next; l != &ctx->logs; l = l->next) {
            watch_log *log = list_entry(l, watch_log, list);
            if (strcmp(log->path, line + at) != 0 || log->state_ino != ino) continue;
            log->state_fp_len = fp_len;
            memcpy(log->state_fp, fp, sizeof fp);
        }
    }
    fclose(f);
}

}  // namespace

void log_collector_set_conf_path(const char *path) {
    s_conf_path = path ? path : LOG_COLLECTOR_CONF_PATH;
}

const char *log_collector_state_path() {
    std::string dir = state_dir();
    s_state_path = dir.empty() ? "" : dir + "/" + STATE_NAME;
    return s_state_path.c_str();
}

const char *log_collector_ident_path() {
    std::string dir = state_dir();
    s_ident_path = dir.empty() ? "" : dir + "/" + IDENT_NAME;
    return s_ident_path.c_str();
}

void log_collector_set_max_open(int n) {
    s_max_open = n > 0 ? n : LOG_COLLECTOR_MAX_OPEN;
}

int log_collector_max_open() {
    return s_max_open;
}

int check_config(log_collector_ctx *ctx, ini_file_t *ini) {
    // Values past their bounds are held to them; a configuration check hears which.
    auto clamp = [ini](int *v, const char *key, int lo, int hi) {
        const int was = *v;
        *v = std::clamp(*v, lo, hi);
        if (*v != was)
            ini_problem_note(ini_file_name(ini), "global", key,
                             ini_file_get(ini, "global", key), false, "%d (range %d..%d)", *v,
                             lo, hi);
    };
    clamp(&ctx->max_old_log_size, "max_old_log_size", 0, INT_MAX);
    clamp(&ctx->max_line_size, "max_line_size", 1024, 32768);
    clamp(&ctx->quota_per_log, "quota_per_log", ctx->max_line_size, 4194304);
    clamp(&ctx->monitor_timeout, "monitor_timeout", 1000, 600000);
    clamp(&ctx->collect_timeout, "collect_timeout", 20, 60000);
    clamp(&ctx->collect_num_per_sec, "collect_num_per_sec", 1, 4096);
    clamp(&ctx->safe_open, "log_collector_safe_open", 0, 1);
    clamp(&ctx->even_share, "collect_even_share", 0, 1);
    file_poll_safe_open(ctx->safe_open != 0);
    return 0;
}

void load_key_word_cfg(ini_file_t *ini, list_head *list, int white) {
    const char *section = white ? "white_list_config" : "black_list_config";
    const char *prefix = white ? "white_sec" : "black_sec";
    long count = ini_file_get_long(ini, section, "count", 0);
    if (count > KEY_WORD_GROUP_MAX) {
        KIV_LOG(1, "%s count %ld too large, using %ld\n", section, count, KEY_WORD_GROUP_MAX);
        ini_problem_note(ini_file_name(ini), section, "count", ini_file_get(ini, section, "count"),
                         false, "%ld (the most groups)", KEY_WORD_GROUP_MAX);
        count = KEY_WORD_GROUP_MAX;
    }
    char key[64];
    for (long i = 0; i < count; i++) {
        snprintf(key, sizeof key, "%s%ld", prefix, i);
        const char *name = ini_file_get(ini, section, key);
        if (!name) {
            KIV_LOG(1, "ini_file_get %s %s failed\n", section, key);
            ini_problem_note(ini_file_name(ini), section, key, "", false,
                             "nothing: missing, the group is left out");
            continue;
        }
        auto *grp =
            static_cast<key_word_group *>(kiv_zalloc(sizeof(key_word_group), MALLOC_FOR_CONFIG));
        if (!grp) {
            KIV_LOG(1, "malloc failed\n");
            continue;
        }
        snprintf(grp->name, sizeof grp->name, "%s", name);
        INIT_LIST_HEAD(&grp->words);
        list_add(&grp->list, list);
        long words = ini_file_get_long(ini, grp->name, "count", 0);
        if (words > KEY_WORD_MAX) {
            KIV_LOG(1, "%s count %ld too large, using %ld\n", grp->name, words, KEY_WORD_MAX);
            ini_problem_note(ini_file_name(ini), grp->name, "count",
                             ini_file_get(ini, grp->name, "count"), false, "%ld (the most words)",
                             KEY_WORD_MAX);
            words = KEY_WORD_MAX;
        }
        for (long j = 0; j < words; j++) {
            snprintf(key, sizeof key, "key_word%ld", j);
            const char *word = ini_file_get(ini, grp->name, key);
            if (!word) {
                KIV_LOG(1, "ini_file_get %s %s failed\n", grp->name, key);
                ini_problem_note(ini_file_name(ini), grp->name, key, "", false,
                                 "nothing: missing, the word is left out");
                continue;
            }
            auto *kw = static_cast<key_word *>(kiv_zalloc(sizeof(key_word), MALLOC_FOR_CONFIG));
            if (!kw) {
                KIV_LOG(1, "malloc failed\n");
                continue;
            }
            snprintf(kw->word, sizeof kw->word, "%s", word);
            list_add(&kw->list, &grp->words);
        }
    }
}

int load_cfg(log_collector_ctx *ctx) {
    char *path = kiv_get_trans_path(s_conf_path.c_str());
    if (!path) {
        KIV_LOG(0, "trans %s failed\n", s_conf_path.c_str());
        return -1;
    }
    ini_file_t *ini = ini_file_load(path);
    if (!ini) {
        KIV_LOG(0, "load config failed\n");
        ini_problem_note(path, "", "", "", true, "nothing: log collection does not start");
        kiv_free(path);
        return -1;
    }
    kiv_free(path);
    ctx->max_old_log_size = (int)ini_file_get_long(ini, "global", "max_old_log_size", 10240);
    ctx->quota_per_log = (int)ini_file_get_long(ini, "global", "quota_per_log", 32768);
    ctx->max_line_size = (int)ini_file_get_long(ini, "global", "max_line_size", 10240);
    ctx->monitor_timeout = (int)ini_file_get_long(ini, "global", "monitor_timeout", 300000);
    ctx->collect_timeout = (int)ini_file_get_long(ini, "global", "collect_timeout", 1000);
    ctx->collect_num_per_sec = (int)ini_file_get_long(ini, "global", "collect_num_per_sec", 10);
    ctx->white_list_mode = (int)ini_file_get_long(ini, "global", "white_list_mode", 10);
    ctx->safe_open = (int)ini_file_get_long(ini, "global", "log_collector_safe_open", 0);
    ctx->even_share = (int)ini_file_get_long(ini, "global", "collect_even_share", 0);
    ctx->report_log_path = ini_file_get_long(ini, "global", "report_log_path", 0) == 1;
    load_key_word_cfg(ini, &ctx->black_list, 0);
    load_key_word_cfg(ini, &ctx->white_list, 1);

    int rc = 0;
    long cnt = ini_file_get_long(ini, "file_path", "cnt", 0);
    char key[32];
    for (long i = 0; i < cnt && rc == 0; i++) {
        snprintf(key, sizeof key, "appname%ld", i);
        const char *name = ini_file_get(ini, "file_path", key);
        snprintf(key, sizeof key, "path%ld", i);
        const char *p = ini_file_get(ini, "file_path", key);
        const char *bad = !name ? "appname" : !p ? "path" : nullptr;
        if (bad) {
            KIV_LOG(0, "invalid config\n");
            rc = -1;
        } else if (strlen(name) >= LOGSET_NAME_LEN) {
            KIV_LOG(0, "log name %s is too long\n", name);
            bad = "appname";
            rc = -1;
        } else if (strlen(p) >= LOG_PATH_LEN) {
            KIV_LOG(0, "path too long\n");
            bad = "path";
            rc = -1;
        }
        if (bad) {
            char k[32];
            snprintf(k, sizeof k, "%s%ld", bad, i);
            const char *v = ini_file_get(ini, "file_path", k);
            ini_problem_note(ini_file_name(ini), "file_path", k, v, true,
                             v ? "nothing: too long, log collection does not start"
                               : "nothing: missing, log collection does not start");
        }
        if (rc != 0) break;
        log_set *set = nullptr;
        for (list_head *s = ctx->logsets.next; s != &ctx->logsets; s = s->next) {
            log_set *x = list_entry(s, log_set, list);
            if (strcmp(x->name, name) == 0) set = x;
        }
        if (!set) {
            set = static_cast<log_set *>(kiv_zalloc(sizeof(log_set), MALLOC_FOR_CONFIG));
            if (!set) {
                KIV_LOG(0, "kiv_zalloc() logset failed\n");
                rc = -1;
                break;
            }
            snprintf(set->name, sizeof set->name, "%s", name);
            list_add_tail(&set->list, &ctx->logsets);
        }
        if (set->path_cnt >= LOGSET_PATH_MAX) {
            KIV_LOG(0, "too many paths\n");
            rc = -1;
            break;
        }
        snprintf(set->paths[set->path_cnt++], LOG_PATH_LEN, "%s", p);
        KIV_LOG(2, "parse logset, name %s, path %s\n", name, p);
    }
    if (rc == 0) check_config(ctx, ini);
    ini_file_free(ini);
    return rc;
}

int log_collector_cfg_check() {
    log_collector_ctx ctx{};
    INIT_LIST_HEAD(&ctx.logsets);
    INIT_LIST_HEAD(&ctx.logs);
    INIT_LIST_HEAD(&ctx.black_list);
    INIT_LIST_HEAD(&ctx.white_list);
    int rc = load_cfg(&ctx);
    free_ctx(&ctx);
    return rc;
}

int add_log(log_collector_ctx *ctx, log_set *set, const char *path) {
    if (strlen(path) >= LOG_PATH_LEN) {
        KIV_LOG(0, "path %s is too long\n", path);
        return -1;
    }
    // The state file is line-based text; such a name could forge entries in it.
    for (const char *c = path; *c; c++) {
        if (*c == '\n' || *c == '\r') {
            KIV_LOG(1, "path %s has a line break, not watched\n", path);
            return -1;
        }
    }
    for (list_head *p = ctx->logs.next; p != &ctx->logs; p = p->next)
        if (strcmp(list_entry(p, watch_log, list)->path, path) == 0) return 0;
    auto *log = static_cast<watch_log *>(kiv_zalloc(sizeof(watch_log), MALLOC_FOR_TMP));
    if (!log) {
        KIV_LOG(0, "kiv_zalloc memory for log %s\n", path);
        return -1;
    }
    snprintf(log->path, sizeof log->path, "%s", path);
    log->logset = set;
    log->seq = ctx->log_cnt++;
    list_add(&log->list, &ctx->logs);
    KIV_LOG(2, "add log %s\n", path);
    return 0;
}

int parse_asterisk_path(log_collector_ctx *ctx, log_set *set, const char *pattern) {
    list_head found;
    INIT_LIST_HEAD(&found);
    int rc = asterisk_path_expand(pattern, &found);
    if (rc >= 0) {
        for (list_head *p = found.next; p != &found; p = p->next)
            add_log(ctx, set, list_entry(p, as_path, list)->path);
    }
    free_as_path(&found);
    return rc < 0 ? -1 : 0;
}

void parse_logset(log_collector_ctx *ctx) {
    for (list_head *s = ctx->logsets.next; s != &ctx->logsets; s = s->next) {
        log_set *set = list_entry(s, log_set, list);
        for (int i = 0; i < set->path_cnt; i++) {
            const char *p = set->paths[i];
            if (strchr(p, '*')) {
                if (parse_asterisk_path(ctx, set, p) != 0) KIV_LOG(0, "parse path[%s] fail\n", p);
            } else {
                add_log(ctx, set, p);
            }
        }
    }
}

void filter_befo_install_log(log_collector_ctx *ctx) {
    KIV_LOG(2, "First install, Filtering logs before installation\n");
    for (list_head *p = ctx->logs.next; p != &ctx->logs; p = p->next) {
        watch_log *log = list_entry(p, watch_log, list);
        struct stat st;
        int ret = lstat(log->path, &st);
        if (ret != 0) {
            KIV_LOG(1, "path %s stat fail. ret %d\n", log->path, ret);
            continue;
        }
        // Only a file is a log; what else stands there is refused when examined.
        if (!S_ISREG(st.st_mode)) continue;
        log->owner_known = 1;
        log->owner_uid = st.st_uid;
        log->stat_valid = 1;
        log->ino = log->state_ino = st.st_ino;
        log->size = log->state_offset = log->offset = st.st_size;
        KIV_LOG(2, "file %s ino %lu offset %llu\n", log->path, (unsigned long)log->ino,
                (unsigned long long)log->offset);
    }
}

void load_state(log_collector_ctx *ctx) {
    const char *path = log_collector_state_path();
    if (!*path) return;
    struct stat st;
    if (stat(path, &st) != 0 && errno == ENOENT) {
        KIV_LOG(1, "load state failed\n");
        filter_befo_install_log(ctx);
        save_state(ctx);
        return;
    }
    ini_file_t *ini = ini_file_load(path);
    if (!ini) {
        KIV_LOG(1, "load state failed\n");
        return;
    }
    int loaded = 0;
    const char *cnt_text = ini_file_get(ini, "global", "cnt");
    long cnt = cnt_text ? strtol(cnt_text, nullptr, 10) : 0;
    char key[32];
    for (long i = 0; i < cnt; i++) {
        snprintf(key, sizeof key, "path%ld", i);
        const char *p = ini_file_get(ini, "global", key);
        snprintf(key, sizeof key, "ino%ld", i);
        const char *ino_text = ini_file_get(ini, "global", key);
        snprintf(key, sizeof key, "offset%ld", i);
        const char *off_text = ini_file_get(ini, "global", key);
        uint64_t ino = 0, offset = 0;
        if (!p || strlen(p) >= LOG_PATH_LEN || !parse_u64(ino_text, &ino) ||
            !parse_u64(off_text, &offset) || offset == 0) {
            KIV_LOG(0, "invalid config\n");
            break;
        }
        watch_log *log = nullptr;
        for (list_head *l = ctx->logs.next; l != &ctx->logs; l = l->next) {
            watch_log *x = list_entry(l, watch_log, list);
            if (strcmp(x->path, p) == 0) log = x;
        }
        if (!log) {
            KIV_LOG(1, "state: log %s not found\n", p);
            continue;
        }
        log->state_ino = ino;
        log->state_offset = offset;
        loaded++;
        KIV_LOG(2, "state: path: %s, ino %lu, offset %lu\n", p, (unsigned long)ino,
                (unsigned long)offset);
    }
    ini_file_free(ini);
    if (loaded) load_ident(ctx, log_collector_ident_path());
}

int save_state(log_collector_ctx *ctx) {
    std::string dir = state_dir();
    if (dir.empty()) return -1;
    std::string path = dir + "/" + STATE_NAME;
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        KIV_LOG(1, "folder not exist, create folder %s\n", dir.c_str());
        if (dirutils_mkdir(dir.c_str(), 0755) != 0) {
            KIV_LOG(0, "mkdir failed: %s\n\n", strerror(errno));
            return -1;
        }
    }
    FILE *f = open_tmp(path);
    if (!f) return -1;
    // Without it the positions are still saved; a restart then trusts their inodes alone.
    std::string ident_path = dir + "/" + IDENT_NAME;
    FILE *ident = open_tmp(ident_path);
    fputs("[global]\n", f);
    int n = 0;
    for (list_head *p = ctx->logs.next; p != &ctx->logs; p = p->next) {
        watch_log *log = list_entry(p, watch_log, list);
        // In the middle of a rotation the rotated file is what a restart must finish first.
        if (log->old_fp && log->old_offset) {
            write_entry(f, ident, n++, log, log->old_ino, log->old_offset);
        } else if (log->stat_valid && log->offset) {
            write_entry(f, ident, n++, log, log->ino, log->offset);
        }
    }
    fprintf(f, "cnt=%d\n", n);
    // Fingerprints first: a stop between the two renames leaves older positions with newer
    // fingerprints of the same files, which still match them.
    if (ident) commit_tmp(ident, ident_path);
    return commit_tmp(f, path);
}

// Built as text in the order and bytes cJSON would print the record's tree: a line costs one
// pass over its bytes and one allocation, not a tree of thirteen nodes.
char *format_log(const upload_header *header, const char *app_name, const char *line,
                 const char *log_path) {
    if (!header || !app_name || !line) return nullptr;
    auto text = [](const char *s) { return s ? s : ""; };
    char send_time[sizeof header->send_time + 1];
    // The host fills the header; its time text need not be terminated.
    memcpy(send_time, header->send_time, sizeof header->send_time);
    send_time[sizeof header->send_time] = '\0';
    static thread_local std::string out;
    out.clear();
    auto field = [](const char *key, const char *v) {
        out += '"';
        out += key;
        out += "\":";
        json_append_text(out, v);
    };
    auto number = [](auto v) {
        static thread_local char num[24];
        *std::to_chars(num, num + sizeof num - 1, v).ptr = '\0';
        return num;
    };
    out += '{';
    field("send_time", send_time);
    out += ',', field("tz_secondes", number(header->tz_secondes));
    out += ',', field("host_uuid", text(header->host_uuid));
    out += ',', field("host_ip", text(header->host_ip));
    out += ',', field("ip_list", text(header->ip_list));
    out += ',', field("seq_id", number(header->seq_id));
    out += ',', field("app_name", app_name);
    out += ",\"message\":{";
    field("line", line);
    out +=
        ",\"container_id\":\"host\",\"is_container_init\":0,\"login_name\":\"\","
        "\"ssh_login_ip\":\"\"";
    if (log_path) out += ',', field("log_path", log_path);
    out += "}}";
    auto *copy = static_cast<char *>(cJSON_malloc(out.size() + 1));
    if (copy) memcpy(copy, out.c_str(), out.size() + 1);
    // A long line once must not keep its buffer for good.
    if (out.capacity() > 65536) std::string().swap(out);
    return copy;
}

int report(log_collector_ctx *ctx) {
    if (ctx->line_len == 0) return 0;
    if (!ctx->report_text) {
        upload_header h{};
        int ret = get_log_ctm_header(&h);
        if (ret != 0) {
            KIV_LOG(1, "get common header failed, ret %d\n", ret);
            return 1;
        }
        KIV_LOG(4, "seq %lu, time %.32s, uuid %s, host ip %s, ip list: %s\n",
                (unsigned long)h.seq_id, h.send_time, h.host_uuid ? h.host_uuid : "",
                h.host_ip ? h.host_ip : "", h.ip_list ? h.ip_list : "");
        const char *app = ctx->cur_log && ctx->cur_log->logset ? ctx->cur_log->logset->name : "";
        const char *path = ctx->report_log_path && ctx->cur_log ? ctx->cur_log->path : nullptr;
        ctx->report_text = format_log(&h, app, ctx->line, path);
        if (!ctx->report_text) {
            KIV_LOG(1, "format log failed\n");
            return 1;
        }
    }
    KIV_LOG(4, "report: %s\n", ctx->report_text);
    if (mod_manager_upload(ctx->report_text, (uint32_t)strlen(ctx->report_text), UPLOAD_APP_LOG,
                           0) != 0)
        KIV_LOG(3, "upload error!\n");
    ctx->line_len = 0;
    if (ctx->cur_log) {
        if (ctx->line_end_offset) ctx->cur_log->offset = ctx->line_end_offset;
        if (ctx->old_line_end) ctx->cur_log->old_offset = ctx->old_line_end;
    }
    cJSON_free(ctx->report_text);
    ctx->report_text = nullptr;
    return 0;
}

namespace {

enum { TURN_WAITING, TURN_MORE, TURN_DONE };  // a log's place in the current turn

// Up to `share` lines of one log, while its quota and the turn's lines last. False when the
// turn stops with a line pending.
bool collect_share(log_collector_ctx *ctx, watch_log *log, int share, int &lines) {
    ctx->cur_log = log;
    ctx->quota_left = log->turn_quota;
    if (log->turn_state == TURN_WAITING)
        file_poll_check(ctx, log);
    else if (log->parked)
        file_poll_open(ctx, log);
    log->turn_state = TURN_MORE;
    for (int n = 0; n < share && lines > 0 && ctx->quota_left >= ctx->max_line_size; n++) {
        int r = file_poll_read(ctx, log);
        if (r == 0) {
            log->at_end = 1;
            break;
        }
        lines--;
        // With even shares a skipped line costs the bytes it took, so blank lines cannot hold
        // a turn for free.
        if (r < 0) {
            if (ctx->even_share) ctx->quota_left -= ctx->read_bytes;
            continue;
        }
        KIV_LOG(4, "read a log: path %s, offset %lu, log: %s\n", log->path,
                (unsigned long)ctx->line_end_offset, ctx->line);
        ctx->quota_left -= r;
        if (report(ctx) != 0) return false;
    }
    log->turn_quota = ctx->quota_left;
    if (log->at_end || ctx->quota_left < ctx->max_line_size) log->turn_state = TURN_DONE;
    if (!log->at_end) log->unread = file_poll_unread(log);
    if (log->seq >= s_max_open) file_poll_park(log);
    return true;
}

// A log that ends its turn before its end is behind: counted every such turn, said when it
// falls behind and then once a minute while it stays so, and said again when it catches up.
void note_backlog(log_collector_ctx *ctx) {
    uint64_t now = kiv_now_ms();
    for (list_head *p = ctx->logs.next; p != &ctx->logs; p = p->next) {
        watch_log *log = list_entry(p, watch_log, list);
        if (log->turn_state == TURN_WAITING) continue;
        if (log->at_end || log->unread == 0) {
            if (log->behind) KIV_LOG(2, "log %s caught up\n", log->path);
            log->behind = 0;
            continue;
        }
        kiv_stat_inc(LOG_COLLECTOR_BEHIND);
        if (!log->behind || now - log->behind_said_ms >= 60000) {
            KIV_LOG(1, "log %s is behind: %llu bytes not read yet\n", log->path,
                    (unsigned long long)log->unread);
            log->behind_said_ms = now;
        }
        log->behind = 1;
    }
}

}  // namespace

void collect_log(log_collector_ctx *ctx) {
    if (ctx->logs.next == &ctx->logs) return;
    auto next_of = [ctx](watch_log *log) {
        list_head *n = log->list.next;
        if (n == &ctx->logs) n = n->next;
        return list_entry(n, watch_log, list);
    };
    if (!ctx->cur_log) {
        ctx->cur_log = list_entry(ctx->logs.next, watch_log, list);
        ctx->quota_kept = 0;
    }
    for (list_head *p = ctx->logs.next; p != &ctx->logs; p = p->next) {
        watch_log *log = list_entry(p, watch_log, list);
        log->turn_state = TURN_WAITING;
        if (!(ctx->quota_kept && log == ctx->cur_log)) log->turn_quota = ctx->quota_per_log;
        log->at_end = 0;
    }
    ctx->quota_kept = 0;
    if (!ctx->even_share) {
        // In list order, each log until its end or quota; once the turn's lines are read the
        // turn stops, and the log being read goes on with what quota it has left next turn.
        watch_log *start = ctx->cur_log, *log = start;
        int lines = ctx->collect_num_per_sec;
        do {
            if (!collect_share(ctx, log, lines, lines)) return;
            if (lines == 0 && log->turn_state != TURN_DONE) {
                ctx->quota_kept = 1;
                note_backlog(ctx);
                return;
            }
            log = next_of(log);
        } while (log != start);
        ctx->cur_log = start;
        note_backlog(ctx);
        return;
    }
    // Every log gets an even share of the turn's lines; what one leaves goes to those that
    // have more, so a busy log gets the whole turn only while the others are idle.
    watch_log *start = ctx->cur_log, *resume = nullptr;
    int lines = ctx->collect_num_per_sec, active = ctx->log_cnt;
    while (lines > 0 && active > 0) {
        int share = std::max(1, lines / active);
        watch_log *log = start;
        do {
            if (log->turn_state != TURN_DONE) {
                if (!collect_share(ctx, log, share, lines)) return;
                if (log->turn_state == TURN_DONE) active--;
            }
            log = next_of(log);
        } while (log != start && lines > 0);
        // More logs than lines: the next turn begins with the first log left out.
        if (lines == 0 && log != start && log->turn_state == TURN_WAITING) resume = log;
    }
    ctx->cur_log = resume ? resume : start;
    note_backlog(ctx);
}

int log_collector_init(log_collector_ctx *ctx) {
    memset(ctx, 0, sizeof *ctx);
    INIT_LIST_HEAD(&ctx->logsets);
    INIT_LIST_HEAD(&ctx->logs);
    INIT_LIST_HEAD(&ctx->black_list);
    INIT_LIST_HEAD(&ctx->white_list);
    if (load_cfg(ctx) != 0) {
        KIV_LOG(0, "load_cfg failed\n");
        free_ctx(ctx);
        return -1;
    }
    ctx->line = static_cast<char *>(kiv_malloc(ctx->max_line_size, MALLOC_FOR_TMP));
    if (!ctx->line) {
        KIV_LOG(0, "malloc failed\n");
        free_ctx(ctx);
        return -1;
    }
    parse_logset(ctx);
    load_state(ctx);
    return 0;
}

void log_collector_exit(log_collector_ctx *ctx) {
    save_state(ctx);
    free_ctx(ctx);
}

void log_collector_main(kiv_task *task) {
    task_enter(task);
    static log_collector_ctx s_ctx;
    log_collector_ctx *ctx = &s_ctx;
    if (log_collector_init(ctx) != 0) {
        KIV_LOG(0, "log_collector_init failed\n");
        return;
    }
    log_mod_set(KIV_MOD_LOG_COLLECTOR);
    uint64_t rescan_at = 0, collect_at = 0;
    while (task_running(task)) {
        if (!mod_manager_get_module(MOD_SWITCH_LOG_COLLECTOR)) {
            // Three seconds, in steps short enough for a stop request.
            for (int i = 0; i < 60 && task_running(task); i++) usleep(50 * 1000);
            continue;
        }
        uint64_t now = kiv_now_ms();
        if (now >= rescan_at) {
            parse_logset(ctx);
            release_missing_logs(ctx);
            save_state(ctx);
            rescan_at = now + ctx->monitor_timeout;
        }
        if (now >= collect_at) {
            if (report(ctx) == 0 && ctx->logs.next != &ctx->logs) collect_log(ctx);
            collect_at = now + ctx->collect_timeout;
        }
        usleep(10 * 1000);
    }
    KIV_LOG(2, "stopping %s ...\n", task->name);
    log_collector_exit(ctx);
}
