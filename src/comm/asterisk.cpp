// Expansion of one "*" inside a single path component ("/var/log/app*/out.log").
#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <mutex>

#include "comm/dirutils.h"
#include "base/mem.h"
#include "base/log.h"

namespace {

std::mutex s_asterisk_lock;

bool append_path(list_head *list, char *path) {
    auto *node = static_cast<as_path *>(kiv_malloc(sizeof(as_path), MALLOC_FOR_TMP));
    if (!node) return false;
    node->path = path;
    list_add_tail(&node->list, list);
    return true;
}

}  // namespace

int asterisk_path_expand(const char *pattern, list_head *list) {
    if (!pattern || !list) return -1;
    std::lock_guard<std::mutex> guard(s_asterisk_lock);

    const char *star = nullptr;
    const char *slash = nullptr;  // last "/" before the "*"
    for (const char *p = pattern; *p; p++) {
        if (*p == '*') {
            if (star) {
                KIV_LOG(2, "1\n");
                return -1;
            }
            star = p;
        } else if (*p == '/' && !star) {
            slash = p;
        }
    }
    if (!star) {
        char *copy = kiv_strdup(pattern, MALLOC_FOR_TMP);
        if (!copy) return -1;
        if (!append_path(list, copy)) {
            kiv_free(copy);
            return -1;
        }
        return 1;
    }
    if (!slash) return -1;  // configured patterns are absolute

    const char *rest = strchr(star, '/');
    if (!rest) rest = star + strlen(star);
    size_t dir_len = (size_t)(slash - pattern);
    size_t prefix_len = (size_t)(star - slash - 1);
    size_t suffix_len = (size_t)(rest - star - 1);
    size_t rest_len = strlen(rest);

    char dir[4096];
    if (dir_len >= sizeof(dir)) return -1;
    if (dir_len == 0) {
        strcpy(dir, "/");
    } else {
        memcpy(dir, pattern, dir_len);
        dir[dir_len] = '\0';
    }
    DIR *d = opendir(dir);
    if (!d) return -1;

    int rc = 0;
    while (struct dirent *ent = readdir(d)) {
        const char *name = ent->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        size_t name_len = strlen(name);
        if (name_len < prefix_len + suffix_len) continue;
        if (memcmp(name, slash + 1, prefix_len) != 0) continue;
        if (memcmp(name + name_len - suffix_len, star + 1, suffix_len) != 0) continue;

        size_t len = dir_len + 1 + name_len + rest_len;
        char *path = static_cast<char *>(kiv_malloc(len + 1, MALLOC_FOR_TMP));
        if (!path) {
            rc = -1;
            break;
        }
        memcpy(path, pattern, dir_len);
        path[dir_len] = '/';
        memcpy(path + dir_len + 1, name, name_len);
        memcpy(path + dir_len + 1 + name_len, rest, rest_len + 1);

        struct stat st;
        if (rest_len && stat(path, &st) != 0) {
            kiv_free(path);
            continue;
        }
        if (!append_path(list, path)) {
            kiv_free(path);
            rc = -1;
            break;
        }
    }
    closedir(d);
    return rc;
}

void free_as_path(list_head *list) {
    if (!list) return;
    list_head *pos, *n;
    list_for_each_safe(pos, n, list) {
        as_path *node = list_entry(pos, as_path, list);
        list_del(pos);
        kiv_free(node->path);
        kiv_free(node);
    }
}
