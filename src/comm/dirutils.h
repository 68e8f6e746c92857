// Paths relative to the host executable ("@"), directory creation, listing and walking,
// wildcard expansion of one path component, and a regex search in a text file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "comm/list.h"

constexpr size_t DIRUTILS_PATH_MAX = 512;  // path buffers of listdir, walker, exe cache

// "@..." becomes <exe dir> "/" <text after "@">; anything else is copied. Result is
// MALLOC_FOR_TMP, freed by the caller; null when /proc/self/exe is unusable or memory is out.
char *kiv_get_trans_path(const char *path);
// <installation>/var/data, the installation being the parent of the directory that holds the
// configuration file at conf_path ("@/../config/x.conf" gives "@/../var/data"); "" when the
// path cannot be translated.
std::string kiv_data_dir_of(const char *conf_path);
// "@..." becomes <exe dir><text after "@"> using a per-thread cache ("/" when the link is
// unusable); anything else is copied. 0, or -1 when the result was truncated.
int dirutils_path_transform(const char *dir, char *out, size_t outsize);

// Creates every missing directory of path with mode 0700. 0 or -1.
int mkdir_path(const char *path);
// Creates path (and missing parents, split at "/" or "\\") with mode. 0 or -1.
int dirutils_mkdir(const char *path, uint32_t mode);

typedef int (*dirutils_listdir_cb)(int is_dir, const char *path, void *arg);
// Calls cb for each entry but "." and ".."; a non-zero result stops and is returned.
// 0 at the end, -1 when dir cannot be opened.
int dirutils_listdir(const char *dir, void *arg, dirutils_listdir_cb cb);
// Removes the tree depth first without following links. 0, or -1 on the first failure.
int dirutils_rmdir(const char *path);

struct dirwalk;
// Depth-first walker. max_link_hops bounds the symbolic links followed on one branch;
// max_depth (0 = unlimited) counts directory levels read, the start directory being level 1.
dirwalk *dirwalk_create(const char *dir, int recursive, uint32_t max_link_hops);
dirwalk *dirwalk_create2(const char *dir, int recursive, uint32_t max_link_hops,
                         uint32_t max_depth);
// Next path (valid until the next call), null when the walk is complete.
const char *dirwalk_read(dirwalk *walker, int *is_dir_out);
void dirwalk_destroy(dirwalk *walker);

FILE *utf8_fopen(const char *path, const char *mode);
int utf8_unlink(const char *path);

// Text matched (POSIX BRE, REG_NEWLINE) in the first matching line of the file, as a
// MALLOC_FOR_TMP string freed by the caller; null when nothing matches or on error.
char *kiv_file_search(const char *path, const char *pattern);

// One expanded path (MALLOC_FOR_TMP).
struct as_path {
    list_head list;
    char *path;
};

// Expands a single "*" within one component, appending as_path nodes to list.
// 1: no wildcard, the pattern itself was appended; 0: expanded (possibly to nothing);
// -1: two wildcards, unreadable directory or no memory (nodes added so far stay in list).
int asterisk_path_expand(const char *pattern, list_head *list);
void free_as_path(list_head *list);
