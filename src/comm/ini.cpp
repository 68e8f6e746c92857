// INI reader: a section table (xhash) whose data are key tables (xhash) of value copies.
#include "qxkiv/ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "comm/dirutils.h"
#include "comm/hash.h"
#include "comm/ini_key.h"
#include "comm/xhash.h"
#include "base/mem.h"
#include "base/log.h"

struct ini_file {
    xhash_t *sections;
    char *name;  // the loaded path, for log lines; null for buffers
};

namespace {

constexpr int kFileLineBuf = 8191;  // fgets reads at most 8190 characters of a line
constexpr int kBufferRowLen = 8192;

void ini_keyval_data_destroy(void *data, const void *) {
    kiv_free(data);
}

void ini_sess_data_destroy(void *data, const void *) {
    xhash_destroy(static_cast<xhash_t *>(data));
}

struct ini_parser {
    ini_file *ini;
    xhash_t *cur;  // key table of the open section, null before the first one
    int line_no;   // physical line being read, for log lines
};

const char *name_of(const ini_file *ini) {
    return ini && ini->name ? ini->name : "(buffer)";
}

// The rest of an over-long line is not a line of its own: a long comment's tail would
// otherwise become a key.
void log_long_line(const ini_parser &p, size_t limit) {
    KIV_LOG(1, "%s: line %d longer than %zu bytes, rest ignored\n", name_of(p.ini), p.line_no,
            limit);
}

std::string_view trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && isspace(static_cast<unsigned char>(s[b]))) b++;
    while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) e--;
    return s.substr(b, e - b);
}

bool open_section(ini_parser &p, std::string_view name) {
    p.cur = nullptr;
    xhash_t *keys = xhash_create_in(0, ini_keyval_data_destroy, nullptr, MALLOC_FOR_INI_PARSER);
    if (!keys) return false;
    // Replacing an existing section runs ini_sess_data_destroy on the earlier one.
    if (xhash_insert(p.ini->sections, name.data(), (uint32_t)name.size(), keys) != 0) {
        xhash_destroy(keys);
        return false;
    }
    p.cur = keys;
    return true;
}

bool store_value(ini_parser &p, std::string_view key, std::string_view value) {
    size_t size = kiv_alloc_size(value.size(), 1, 1);
    char *copy = size ? static_cast<char *>(kiv_malloc(size, MALLOC_FOR_INI_PARSER)) : nullptr;
    if (!copy) return false;
    memcpy(copy, value.data(), value.size());
    copy[value.size()] = '\0';
    if (xhash_insert(p.cur, key.data(), (uint32_t)key.size(), copy) != 0) {
        kiv_free(copy);
        return false;
    }
    return true;
}

// False only when memory ran out; malformed lines are skipped.
bool parse_line(ini_parser &p, std::string_view line) {
    line = line.substr(0, line.find('\0'));  // lines are C text
    if (line.empty()) return true;
    char c = line[0];
    if (c == '\'' || c == ';' || c == '#') return true;
    if (c == '[') {
        size_t end = line.find(']');
        if (end == std::string_view::npos) return true;
        return open_section(p, line.substr(1, end - 1));
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos || !p.cur) return true;
    std::string_view key = trim(line.substr(0, eq));
    std::string_view value = trim(line.substr(eq + 1));
    if (key.empty() || value.empty()) return true;
    return store_value(p, key, value);
}

ini_file *ini_new(const char *name) {
    auto *ini = static_cast<ini_file *>(kiv_zalloc(sizeof(ini_file), MALLOC_FOR_INI_PARSER));
    if (!ini) return nullptr;
    ini->sections = xhash_create_in(0, ini_sess_data_destroy, nullptr, MALLOC_FOR_INI_PARSER);
    if (name) {
        size_t n = strlen(name) + 1;
        if ((ini->name = static_cast<char *>(kiv_malloc(n, MALLOC_FOR_INI_PARSER))))
            memcpy(ini->name, name, n);
    }
    if (!ini->sections || (name && !ini->name)) {
        ini_file_free(ini);
        return nullptr;
    }
    return ini;
}

// Only a regular file is a configuration file: a directory would read as empty and a FIFO
// could block the caller. errno tells the caller why on null.
FILE *open_regular(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        KIV_LOG(1, "%s is not a regular file\n", path);
        close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return nullptr;
    }
    FILE *fp = fdopen(fd, "r");
    if (!fp) close(fd);
    return fp;
}

}  // namespace

ini_file_t *ini_file_load(const char *path) {
    if (!path) return nullptr;
    FILE *fp = open_regular(path);
    if (!fp) return nullptr;
    ini_file *ini = ini_new(path);
    if (!ini) {
        KIV_LOG(1, "no memory to load %s\n", path);
        fclose(fp);
        return nullptr;
    }
    // Lenient: a section or key that cannot be stored is left out.
    ini_parser p{ini, nullptr, 0};
    char line[kFileLineBuf];
    constexpr size_t last = sizeof(line) - 1;
    // fgets puts its terminator at line[last] only when it filled the buffer (NUL-proof).
    for (line[last] = 'x'; fgets(line, sizeof(line), fp); line[last] = 'x') {
        p.line_no++;
        if (line[last] == '\0' && line[last - 1] != '\n') {
            // A line of exactly the limit still ends here; a longer one loses its rest.
            int c = getc(fp);
            if (c != '\n' && c != EOF) {
                log_long_line(p, last);
                while ((c = getc(fp)) != '\n' && c != EOF) {
                }
            }
        }
        parse_line(p, line);
    }
    // A read error leaves an unknown part of the file unread: no half configuration.
    int err = ferror(fp) ? errno : 0;
    fclose(fp);
    if (err) {
        KIV_LOG(1, "read %s failed(%s)\n", path, strerror(err));
        ini_file_free(ini);
        errno = err;
        return nullptr;
    }
    return ini;
}

ini_file_t *ini_buffer_load_with_rowlen(const char *buffer, long length, int row_len) {
    if (!buffer || length <= 0 || row_len <= 0) return nullptr;
    ini_file *ini = ini_new(nullptr);
    if (!ini) return nullptr;
    // Strict: the first allocation failure fails the whole load.
    ini_parser p{ini, nullptr, 0};
    const size_t cut = static_cast<size_t>(row_len) - 1;
    const size_t len = static_cast<size_t>(length);
    size_t pos = 0;
    while (pos < len) {
        size_t avail = len - pos < cut ? len - pos : cut;
        const char *nl = static_cast<const char *>(memchr(buffer + pos, '\n', avail));
        size_t n = nl ? static_cast<size_t>(nl - (buffer + pos)) : avail;
        p.line_no++;
        if (!parse_line(p, std::string_view(buffer + pos, n))) {
            ini_file_free(ini);
            return nullptr;
        }
        size_t next = pos + n + 1;  // past the newline, or the byte after a cut
        if (!nl && n == cut && next <= len && buffer[pos + n] != '\n') {
            log_long_line(p, cut);
            const char *end =
                static_cast<const char *>(memchr(buffer + pos + n, '\n', len - pos - n));
            next = end ? static_cast<size_t>(end - buffer) + 1 : len;
        }
        pos = next;
    }
    return ini;
}

ini_file_t *ini_buffer_load(const char *buffer, long length) {
    return ini_buffer_load_with_rowlen(buffer, length, kBufferRowLen);
}

const char *ini_file_get(ini_file_t *ini, const char *section, const char *key) {
    if (!ini || !section || !key) return nullptr;
    void *keys = nullptr;
    if (xhash_search(ini->sections, section, (uint32_t)strlen(section), &keys) != 0) return nullptr;
    void *value = nullptr;
    if (xhash_search(static_cast<xhash_t *>(keys), key, (uint32_t)strlen(key), &value) != 0)
        return nullptr;
    return static_cast<const char *>(value);
}

const char *ini_file_get_str(ini_file_t *ini, const char *section, const char *key,
                             const char *def) {
    const char *v = ini_file_get(ini, section, key);
    return v ? v : def;
}

long ini_file_get_long(ini_file_t *ini, const char *section, const char *key, long def) {
    if (const char *v = ini_file_get(ini, section, key)) {
        char *end = nullptr;
        errno = 0;
        long n = strtol(v, &end, 0);
        if (errno == 0 && end != v && *end == '\0') return n;
        ini_problem_note(name_of(ini), section, key, v, false, "%ld (not a number)", def);
    }
    KIV_LOG(1, "read [%s]%s failed, set default:%ld\n", section ? section : "", key ? key : "",
            def);
    return def;
}

namespace {

struct foreach_ctx {
    const char *section;
    ini_section_cb cb;
    void *arg;
};

int foreach_key(const void *key, uint32_t, void *value, void *arg) {
    auto *ctx = static_cast<foreach_ctx *>(arg);
    // Stored keys carry a hidden terminator (comm/xhash.h).
    return ctx->cb(ctx->section, static_cast<const char *>(key), static_cast<const char *>(value),
                   ctx->arg);
}

}  // namespace

int ini_file_section_foreach(ini_file_t *ini, const char *section, void *arg, ini_section_cb cb) {
    if (!ini || !section || !cb) return 0;
    void *keys = nullptr;
    if (xhash_search(ini->sections, section, (uint32_t)strlen(section), &keys) != 0) return 0;
    foreach_ctx ctx{section, cb, arg};
    return xhash_walk(static_cast<xhash_t *>(keys), &ctx, foreach_key) == 1 ? 1 : 0;
}

void ini_file_free(ini_file_t *ini) {
    if (!ini) return;
    xhash_destroy(ini->sections);
    kiv_free(ini->name);
    kiv_free(ini);
}

const char *ini_file_name(ini_file_t *ini) {
    return name_of(ini);
}

long ini_get_long_in_range(ini_file_t *ini, const char *section, const ini_long_key &k) {
    KIV_ASSERT(k.min <= k.def && k.def <= k.max);
    long v = ini_file_get_long(ini, section, k.key, k.def);
    if (v >= k.min && v <= k.max) return v;
    ini_oor rule = v < k.min ? k.below : k.above;
    long use = rule == ini_oor::use_default ? k.def : v < k.min ? k.min : k.max;
    if (k.oor_line)
        KIV_LOG(1, "%s\n", k.oor_line);
    else if (v < k.min)
        KIV_LOG(1, "get %s error: %ld\n", k.key, v);
    else
        KIV_LOG(1, "%s exceed max cnt: %ld\n", k.cap_name ? k.cap_name : k.key, k.max);
    ini_problem_note(name_of(ini), section, k.key, ini_file_get(ini, section, k.key), false,
                     "%ld (range %ld..%ld)", use, k.min, k.max);
    return use;
}

ini_file_t *ini_conf_load(const char *at_path) {
    char *path = kiv_get_trans_path(at_path);
    if (!path) {
        KIV_LOG(0, "trans %s failed\n", at_path);
        return nullptr;
    }
    ini_file_t *ini = ini_file_load(path);
    if (!ini) {
        int err = errno;
        KIV_LOG(0, "read config:%s failed\n", path);
        ini_problem_note(path, "", "", "", true, "nothing: the file cannot be read (%s)",
                         strerror(err));
    }
    kiv_free(path);
    return ini;
}

namespace {
thread_local ini_problem_fn t_problem_fn;
thread_local void *t_problem_arg;
}  // namespace

void ini_problem_listen(ini_problem_fn fn, void *arg) {
    t_problem_fn = fn;
    t_problem_arg = arg;
}

void ini_problem_note(const char *file, const char *section, const char *key, const char *value,
                      bool fatal, const char *used_fmt, ...) {
    if (!t_problem_fn) return;
    char used[256];
    va_list ap;
    va_start(ap, used_fmt);
    vsnprintf(used, sizeof used, used_fmt, ap);
    va_end(ap);
    auto text = [](const char *s) { return s ? s : ""; };
    t_problem_fn({text(file), text(section), text(key), text(value), used, fatal}, t_problem_arg);
}
