// "@" paths, directory creation, listing, removal and walking, and a line search by regex.
#include "comm/dirutils.h"

#include <dirent.h>
#include <ftw.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/mem.h"
#include "base/log.h"

namespace {

constexpr size_t kExeLinkMax = 1024;

thread_local char s_execpath[DIRUTILS_PATH_MAX];

// Directory of the running executable into buf; false when the link is unusable.
bool read_exe_dir(char *buf, size_t size) {
    ssize_t n = readlink("/proc/self/exe", buf, size - 1);
    if (n <= 0) return false;
    buf[n] = '\0';
    char *slash = strrchr(buf, '/');
    if (!slash) return false;
    *slash = '\0';
    return true;
}

const char *cached_exe_dir() {
    if (!s_execpath[0]) {
        if (!read_exe_dir(s_execpath, sizeof(s_execpath)) || !s_execpath[0]) {
            strcpy(s_execpath, "/");
        }
    }
    return s_execpath;
}

bool is_directory(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// dir "/" name, without doubling a trailing "/"; false when it does not fit.
bool join_path(char *buf, size_t size, const char *dir, const char *name) {
    size_t dlen = strlen(dir);
    const char *sep = (dlen && dir[dlen - 1] == '/') ? "" : "/";
    int n = snprintf(buf, size, "%s%s%s", dir, sep, name);
    return n >= 0 && (size_t)n < size;
}

inline bool is_dot_entry(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

char *kiv_get_trans_path(const char *path) {
    if (!path) return nullptr;
    if (path[0] != '@') return kiv_strdup(path, MALLOC_FOR_TMP);
    char exe[kExeLinkMax];
    if (!read_exe_dir(exe, sizeof(exe))) return nullptr;
    size_t need = strlen(exe) + 1 + strlen(path + 1) + 1;
    char *out = static_cast<char *>(kiv_malloc(need, MALLOC_FOR_TMP));
    if (!out) return nullptr;
    snprintf(out, need, "%s/%s", exe, path + 1);
    return out;
}

int dirutils_path_transform(const char *dir, char *out, size_t outsize) {
    KIV_ASSERT(dir && out && outsize);
    int n = dir[0] == '@' ? snprintf(out, outsize, "%s%s", cached_exe_dir(), dir + 1)
                          : snprintf(out, outsize, "%s", dir);
    return (n >= 0 && (size_t)n < outsize) ? 0 : -1;
}

int mkdir_path(const char *path) {
    if (!path || !*path) return -1;
    char buf[4096];
    size_t len = strlen(path);
    if (len + 2 > sizeof(buf)) return -1;
    memcpy(buf, path, len + 1);
    if (buf[len - 1] != '/') {
        buf[len] = '/';
        buf[len + 1] = '\0';
    }
    for (char *p = buf + 1; *p; p++) {
        if (*p != '/') continue;
        *p = '\0';
        struct stat st;
        if (stat(buf, &st) != 0) {
            if (mkdir(buf, 0700) != 0 && errno != EEXIST) return -1;
        } else if (!S_ISDIR(st.st_mode)) {
            return -1;
        }
        *p = '/';
    }
    return 0;
}

int dirutils_mkdir(const char *path, uint32_t mode) {
    if (!path || !*path) return -1;
    if (mkdir(path, mode) == 0) return 0;
    if (errno == EEXIST) return is_directory(path) ? 0 : -1;
    if (errno != ENOENT) return -1;

    char prefix[DIRUTILS_PATH_MAX];
    for (size_t i = 1; path[i] && i < sizeof(prefix); i++) {
        if (path[i] != '/' && path[i] != '\\') continue;
        memcpy(prefix, path, i);
        prefix[i] = '\0';
        mkdir(prefix, mode);  // existing prefixes fail harmlessly; the last mkdir decides
    }
    if (mkdir(path, mode) == 0) return 0;
    return (errno == EEXIST && is_directory(path)) ? 0 : -1;
}

int dirutils_listdir(const char *dir, void *arg, dirutils_listdir_cb cb) {
    if (!dir || !cb) return -1;
    DIR *d = opendir(dir);
    if (!d) return -1;
    char path[DIRUTILS_PATH_MAX];
    int rc = 0;
    while (struct dirent *ent = readdir(d)) {
        if (is_dot_entry(ent->d_name)) continue;
        if (!join_path(path, sizeof(path), dir, ent->d_name)) {
            KIV_LOG(2, "path too long, skipped: %s/%s\n", dir, ent->d_name);
            continue;
        }
        struct stat st;
        if (lstat(path, &st) != 0) continue;
        rc = cb(S_ISDIR(st.st_mode) ? 1 : 0, path, arg);
        if (rc != 0) break;
    }
    closedir(d);
    return rc;
}

static int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path) == 0 ? 0 : -1;
}

int dirutils_rmdir(const char *path) {
    if (!path || !*path) return -1;
    // Depth first, never following links nor entering other mounted file systems.
    return nftw(path, remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) == 0 ? 0 : -1;
}

struct dirwalk_frame {
    dirwalk_frame *below;
    char *path;
    DIR *dir;
    uint32_t link_hops;
    uint32_t depth;
};

struct dirwalk {
    uint32_t recursive;
    uint32_t max_link_hops;
    uint32_t max_depth;
    dirwalk_frame *top;
    char last[DIRUTILS_PATH_MAX];
};

static bool dirwalk_push(dirwalk *w, const char *path, uint32_t hops, uint32_t depth) {
    DIR *d = opendir(path);
    if (!d) return false;
    auto *f = static_cast<dirwalk_frame *>(kiv_malloc(sizeof(dirwalk_frame), MALLOC_FOR_TMP));
    char *copy = kiv_strdup(path, MALLOC_FOR_TMP);
    if (!f || !copy) {
        kiv_free(f);
        kiv_free(copy);
        closedir(d);
        return false;
    }
    *f = {w->top, copy, d, hops, depth};
    w->top = f;
    return true;
}

static void dirwalk_pop(dirwalk *w) {
    dirwalk_frame *f = w->top;
    w->top = f->below;
    closedir(f->dir);
    kiv_free(f->path);
    kiv_free(f);
}

dirwalk *dirwalk_create(const char *dir, int recursive, uint32_t max_link_hops) {
    return dirwalk_create2(dir, recursive, max_link_hops, 0);
}

dirwalk *dirwalk_create2(const char *dir, int recursive, uint32_t max_link_hops,
                         uint32_t max_depth) {
    if (!dir) return nullptr;
    auto *w = static_cast<dirwalk *>(kiv_zalloc(sizeof(dirwalk), MALLOC_FOR_TMP));
    if (!w) return nullptr;
    w->recursive = recursive ? 1 : 0;
    w->max_link_hops = max_link_hops;
    w->max_depth = max_depth;
    if (!dirwalk_push(w, dir, 0, 1)) {
        kiv_free(w);
        return nullptr;
    }
    return w;
}

const char *dirwalk_read(dirwalk *w, int *is_dir_out) {
    if (!w) return nullptr;
    while (dirwalk_frame *f = w->top) {
        struct dirent *ent = readdir(f->dir);
        if (!ent) {
            dirwalk_pop(w);
            continue;
        }
        if (is_dot_entry(ent->d_name)) continue;
        if (!join_path(w->last, sizeof(w->last), f->path, ent->d_name)) {
            KIV_LOG(2, "path too long, skipped: %s/%s\n", f->path, ent->d_name);
            continue;
        }
        int is_dir = 0;
        uint32_t hops = f->link_hops;
        struct stat st;
        if (lstat(w->last, &st) == 0) {
            if (S_ISDIR(st.st_mode)) {
                is_dir = 1;
            } else if (S_ISLNK(st.st_mode) && is_directory(w->last)) {
                is_dir = 1;
                hops++;
            }
        }
        // A link loop ends once the hop budget is spent; depth bounds everything else.
        bool descend = is_dir && w->recursive && hops <= w->max_link_hops &&
                       (w->max_depth == 0 || f->depth < w->max_depth);
        if (descend) dirwalk_push(w, w->last, hops, f->depth + 1);
        if (is_dir_out) *is_dir_out = is_dir;
        return w->last;
    }
    return nullptr;
}

void dirwalk_destroy(dirwalk *w) {
    if (!w) return;
    while (w->top) dirwalk_pop(w);
    kiv_free(w);
}

FILE *utf8_fopen(const char *path, const char *mode) {
    return fopen(path, mode);
}

int utf8_unlink(const char *path) {
    return unlink(path);
}

char *kiv_file_search(const char *path, const char *pattern) {
    if (!path || !pattern) return nullptr;
    KIV_LOG(3, "LOOP file:%s,pattern:%s \n\n", path, pattern);
    regex_t re;
    if (regcomp(&re, pattern, REG_NEWLINE) != 0) {
        KIV_LOG(0, "compile error\n\n");
        return nullptr;
    }
    FILE *fp = fopen(path, "r");
    if (!fp) {
        KIV_LOG(0, "open path:%s failed.(err:%s)\n", path, strerror(errno));
        regfree(&re);
        return nullptr;
    }
    char *found = nullptr;
    char line[512];
    regmatch_t m;
    while (fgets(line, sizeof(line), fp)) {
        if (regexec(&re, line, 1, &m, 0) != 0) continue;
        size_t len = (size_t)(m.rm_eo - m.rm_so);
        found = static_cast<char *>(kiv_malloc(len + 1, MALLOC_FOR_TMP));
        if (!found) {
            KIV_LOG(0, "malloc mem failed\n\n");
            break;
        }
        memcpy(found, line + m.rm_so, len);
        found[len] = '\0';
        break;
    }
    fclose(fp);
    regfree(&re);
    return found;
}

std::string kiv_data_dir_of(const char *conf_path) {
    char *conf = kiv_get_trans_path(conf_path);
    if (!conf) return {};
    std::string p = conf;
    kiv_free(conf);
    for (int up = 0; up < 2; up++) {
        size_t slash = p.rfind('/');
        if (slash == std::string::npos) return {};
        p.resize(slash);
    }
    return p + "/var/data";
}
