// File type identification by content and the type filter.
#include "file/file_type.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/log.h"
#include "comm/digest_internal.h"
#include "comm/safe_open.h"

namespace {

struct type_map_st {
    int id;
    const char *name;
};

constexpr type_map_st type_map[] = {
    {0, "php"}, {1, "jsp"},  {2, "js"},  {3, "aspx"}, {4, "aspx"},
    {5, "asp"}, {6, "jspx"}, {7, "png"}, {8, "jpg"},  {9, "binary"},
};

constexpr int kSigLen = 16;

pthread_mutex_t s_own_identify_mutex = PTHREAD_MUTEX_INITIALIZER;
file_type_env s_env = {nullptr, nullptr};

// The path opened as it stands, for reading: a FIFO blocks the reader until a writer comes.
FILE *open_plain(const char *path, bool nonblock) {
    FILE *f = path ? fopen(path, "rb") : nullptr;
    if (!f) {
        KIV_LOG(3, "open file:%s failed. error: %s\n", path ? path : "(null)", strerror(errno));
        return nullptr;
    }
    int fl = nonblock ? fcntl(fileno(f), F_GETFL) : 0;
    if (nonblock && (fl < 0 || fcntl(fileno(f), F_SETFL, fl | O_NONBLOCK) != 0)) {
        KIV_LOG(3, "set nonblock failed path: %s\n", path);
        fclose(f);
        return nullptr;
    }
    return f;
}

const char *refusal(int err) {
    switch (err) {
        case DIGEST_ERR_NOT_REGULAR:
            return "not a regular file";
        case DIGEST_ERR_CHANGED:
            return "replaced while it was opened";
        default:
            return strerror(errno);
    }
}

// Typing runs as root on files anyone may have written: only a regular file is ever opened
// (a device or a FIFO swapped in under the name is refused before any open that could block
// or wake a driver), a link in the last component is not followed when the event said which
// file it meant, and that file must still have the event's type and owner.
FILE *open_for_check(const char *path, const file_type_ident *ident) {
    if (!path) {
        KIV_LOG(3, "open file:%s failed. error: %s\n", "(null)", strerror(EINVAL));
        return nullptr;
    }
    if (ident && ident->absent) {
        KIV_LOG(3, "open file:%s skipped: the event found no file\n", path);
        return nullptr;
    }
    if (ident && (ident->mode & S_IFMT) != 0 && (ident->mode & S_IFMT) != S_IFREG) {
        KIV_LOG(3, "open file:%s failed. error: %s\n", path, "the event names no regular file");
        return nullptr;
    }
    struct stat st;
    int fd = open_regular_fd(path, nullptr, ident != nullptr, &st);
    if (fd < 0) {
        KIV_LOG(3, "open file:%s failed. error: %s\n", path, refusal(fd));
        return nullptr;
    }
    if (ident && (st.st_uid != ident->uid || st.st_gid != ident->gid)) {
        KIV_LOG(3, "open file:%s failed. error: owner %u:%u is not the event's %u:%u\n", path,
                (unsigned)st.st_uid, (unsigned)st.st_gid, ident->uid, ident->gid);
        close(fd);
        return nullptr;
    }
    FILE *f = fdopen(fd, "rb");
    if (!f) {
        KIV_LOG(3, "open file:%s failed. error: %s\n", path, strerror(errno));
        close(fd);
    }
    return f;
}

uint64_t mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

// At most FILE_TYPE_MAX_LINES pieces of a line's length are read, and no more once the
// time budget is spent (a slow disk or remote filesystem is not waited on line after line).
int check_opened(FILE *f, const char *path) {
    int type = check_file_header(f);
    if (type != -1) return type;
    uint32_t times[FILE_TYPE_SCRIPT_ROWS];
    reset_match_times(times, FILE_TYPE_SCRIPT_ROWS);
    char line[FILE_TYPE_LINE_LEN];
    const bool budget = s_env.safe_open;
    const uint64_t deadline = budget ? mono_ms() + FILE_TYPE_TIME_MS : 0;
    for (int n = 0; n < FILE_TYPE_MAX_LINES && fgets(line, sizeof(line), f); n++) {
        if (budget && mono_ms() > deadline) {
            KIV_LOG(3, "typing %s stopped after %d lines: over %d ms\n", path, n,
                    FILE_TYPE_TIME_MS);
            break;
        }
        // A NUL ends the line's text, as it ends what fgets hands over.
        size_t len = strlen(line);
        for (int r = 0; r < FILE_TYPE_SCRIPT_ROWS; r++) {
            const file_type_script_st &row = s_file_type_script[r];
            if (!row.ctrl) continue;
            uint32_t state = 0;
            if (mstr_search(row.ctrl, &state, line, len, (void *)(uintptr_t)times[r], found))
                return row.type;
        }
    }
    return -1;
}

int check_path(const char *path, const file_type_ident *ident, bool nonblock = false) {
    FILE *f = s_env.safe_open ? open_for_check(path, ident) : open_plain(path, nonblock);
    if (!f) return -1;
    int type = check_opened(f, path);
    fclose(f);
    return type;
}

void copy_field(char *dst, const char *src, size_t n) {
    size_t len = n < (size_t)FILE_TYPE_NAME_LEN - 1 ? n : (size_t)FILE_TYPE_NAME_LEN - 1;
    memcpy(dst, src, len);
    dst[len] = '\0';
}

struct filter_walk_arg {
    const char *path;
    size_t path_len;
    const char *name;
    char entry[256];  // the matching entry, logged once the filter lock is released
};

int visit_type_filter_entry(const char *t, void *argp) {
    auto *arg = (filter_walk_arg *)argp;
    if (!t) return 0;
    bool negated = t[0] == '!';
    const char *s = negated ? t + 1 : t;
    bool suffix_form = s[0] == '.';
    if (negated != suffix_form) return 0;
    bool match;
    if (suffix_form) {
        size_t slen = strlen(s);
        if (slen > arg->path_len || memcmp(arg->path + arg->path_len - slen, s, slen) != 0)
            return 0;
        // The name says one thing, the content another (or nothing).
        match = strstr(s, arg->name) == nullptr;
    } else {
        match = strstr(t, arg->name) != nullptr;
    }
    if (!match) return 0;
    snprintf(arg->entry, sizeof(arg->entry), "%s", t);
    return 1;
}

}  // namespace

const file_type_header_st file_header[4] = {
    {8, 2, {0xFF, 0xD8}, 2, {0xFF, 0xD9}},
    {7, 8, {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}, 0, {}},
    {9, 2, {0x4D, 0x5A}, 0, {}},
    {9, 4, {0x7F, 0x45, 0x4C, 0x46}, 0, {}},
};

file_type_script_st s_file_type_script[FILE_TYPE_SCRIPT_ROWS] = {
    {0,
     {"php", "php2", "php3", "php5", "php7", "", "", ""},
     {"<?", "<?php", "$", "function ", "array", "isset", "eval", "?>"},
     nullptr},
    {1,
     {"jsp", "", "", "", "", "", "", ""},
     {"<%@", "page", "java", "public", "private", "import", "string", "%>"},
     nullptr},
    {2,
     {"js", "", "", "", "", "", "", ""},
     {"<script", "javascript", "function ", "var ", "document.", "</script>", "jsp", ""},
     nullptr},
    {3,
     {"aspx", "", "", "", "", "", "", ""},
     {"<%@", "namespace", "system.", "<asp:", "response", "@{", "@renderPage", "</asp:"},
     nullptr},
    {4,
     {"", "", "", "", "", "", "", ""},
     {"<%", "c#", "system.", "response", "jscript", "namespace", "import", "%>"},
     nullptr},
    {5,
     {"asp", "", "", "", "", "", "", ""},
     {"<%", "vbscript", "option", "explicit", "dim", "sub", "end", "response"},
     nullptr},
    {6,
     {"jspx", "", "", "", "", "", "", ""},
     {"<jsp", "xmlns", "directive", "scriptlet", "</jsp", "", "", ""},
     nullptr},
};

void file_type_set_env(const file_type_env *env) {
    s_env = env ? *env : file_type_env{nullptr, nullptr};
}

bool file_type_safe_open() {
    return s_env.safe_open;
}

const char *file_type_id2name(int id) {
    for (const auto &m : type_map) {
        if (m.id == id) return m.name;
    }
    return nullptr;
}

void reset_match_times(uint32_t *times, int count) {
    for (int i = 0; i < count; i++) times[i] = 0;
}

// Only a language's opening marker recognises it; the other keywords are passed over.
int32_t found(void *data, uint32_t offset, void *counter) {
    return (uintptr_t)data == 0 ? 1 : 0;
}

int init_file_type_check() {
    for (int r = 0; r < FILE_TYPE_SCRIPT_ROWS; r++) {
        file_type_script_st &row = s_file_type_script[r];
        if (row.ctrl) continue;
        row.ctrl = mstr_ctrl_create(0);
        int rc = row.ctrl ? 0 : -1;
        for (uintptr_t k = 0; rc == 0 && k < 8; k++) {
            const char *kw = row.keyword[k];
            if (!kw || !kw[0]) continue;
            rc = mstr_ctrl_add_pattern(row.ctrl, kw, (uint32_t)strlen(kw), (void *)k);
        }
        if (rc == 0) rc = mstr_ctrl_compile(row.ctrl);
        if (rc != 0) {
            KIV_LOG(0, "%d create mstr ctrl failed. error: %s\n", r, strerror(ENOMEM));
            uninit_file_type_check();
            return -1;
        }
    }
    return 0;
}

void uninit_file_type_check() {
    for (auto &row : s_file_type_script) {
        mstr_ctrl_destroy(row.ctrl);
        row.ctrl = nullptr;
    }
}

int check_file_header(FILE *stream) {
    uint8_t head[kSigLen], tail[kSigLen];
    size_t n = fread(head, 1, sizeof(head), stream);
    if (n == 0) {
        KIV_LOG(3, "get header failed\n");
        return -1;
    }
    size_t m = 0;
    if (fseek(stream, -kSigLen, SEEK_END) == 0) m = fread(tail, 1, sizeof(tail), stream);
    bool rewound = fseek(stream, 0, SEEK_SET) == 0;
    if (m == 0 || !rewound) {
        KIV_LOG(3, "get ender failed\n");
        return -1;
    }
    for (const auto &row : file_header) {
        if (row.head_len && ((size_t)row.head_len >= n || memcmp(head, row.head, row.head_len)))
            continue;
        if (!row.tail_len) return row.type;
        if ((size_t)row.tail_len < m &&
            memcmp(tail + m - row.tail_len, row.tail, row.tail_len) == 0)
            return row.type;
    }
    KIV_LOG(3, "get ender failed\n");
    return -1;
}

// With safe opens both read regular files only, which never block: they differ no longer.
int check_file_type(const char *path) {
    return check_path(path, nullptr);
}

int check_file_type_webshell(const char *path) {
    return check_path(path, nullptr, true);
}

void get_file_type(file_type_info_st *info, const char *path, int length,
                   const file_type_ident *ident) {
    if (!info || info->type != FILE_TYPE_UNKNOWN) return;
    pthread_mutex_t *mu = s_env.identify_mutex ? s_env.identify_mutex : &s_own_identify_mutex;
    pthread_mutex_lock(mu);
    int type = check_path(path, ident);
    const char *name = file_type_id2name(type);
    pthread_mutex_unlock(mu);
    info->type = type;
    const char *shown = name ? name : "-";
    copy_field(info->type_name, shown, strlen(shown));

    size_t len = (path && length > 1) ? strnlen(path, (size_t)length - 1) : 0;
    size_t i = len;
    while (i > 0 && path[i - 1] != '.' && path[i - 1] != '/') i--;
    if (i > 0 && path[i - 1] == '.')
        copy_field(info->suffix, path + i, len - i);
    else
        copy_field(info->suffix, "-", 1);
}

int match_type_filter(const char *path, int length, file_type_info_st *info,
                      const file_type_ident *ident) {
    if (!path || !info) return 0;
    get_file_type(info, path, length, ident);
    if (!s_env.walk_type_filter) return 0;
    filter_walk_arg arg{
        path, length > 1 ? strnlen(path, (size_t)length - 1) : 0, info->type_name, {}};
    if (!s_env.walk_type_filter(visit_type_filter_entry, &arg)) return 0;
    KIV_LOG(4, "match filter: %s in %s\n", arg.entry, path);
    return 1;
}
