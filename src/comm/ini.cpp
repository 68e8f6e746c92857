// INI reader: a section table (xhash) whose data are key tables (xhash) of value copies.
#include "qxkiv/ini.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "comm/hash.h"
#include "comm/xhash.h"
#include "base/mem.h"
#include "base/log.h"

struct ini_file {
    xhash_t *sections;
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
};

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

ini_file *ini_new() {
    auto *ini = static_cast<ini_file *>(kiv_zalloc(sizeof(ini_file), MALLOC_FOR_INI_PARSER));
    if (!ini) return nullptr;
    ini->sections = xhash_create_in(0, ini_sess_data_destroy, nullptr, MALLOC_FOR_INI_PARSER);
    if (!ini->sections) {
        kiv_free(ini);
        return nullptr;
    }
    return ini;
}

}  // namespace

ini_file_t *ini_file_load(const char *path) {
    if (!path) return nullptr;
    FILE *fp = fopen(path, "r");
    if (!fp) return nullptr;
    ini_file *ini = ini_new();
    if (!ini) {
        KIV_LOG(1, "no memory to load %s\n", path);
        fclose(fp);
        return nullptr;
    }
    // Lenient: a section or key that cannot be stored is left out.
    ini_parser p{ini, nullptr};
    char line[kFileLineBuf];
    while (fgets(line, sizeof(line), fp)) parse_line(p, line);
    fclose(fp);
    return ini;
}

ini_file_t *ini_buffer_load_with_rowlen(const char *buffer, long length, int row_len) {
    if (!buffer || length <= 0 || row_len <= 0) return nullptr;
    ini_file *ini = ini_new();
    if (!ini) return nullptr;
    // Strict: the first allocation failure fails the whole load.
    ini_parser p{ini, nullptr};
    const size_t cut = static_cast<size_t>(row_len) - 1;
    const size_t len = static_cast<size_t>(length);
    size_t pos = 0;
    while (pos < len) {
        size_t avail = len - pos < cut ? len - pos : cut;
        const char *nl = static_cast<const char *>(memchr(buffer + pos, '\n', avail));
        size_t n = nl ? static_cast<size_t>(nl - (buffer + pos)) : avail;
        if (!parse_line(p, std::string_view(buffer + pos, n))) {
            ini_file_free(ini);
            return nullptr;
        }
        pos += n + 1;  // the newline, or the byte after a cut
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
    kiv_free(ini);
}
