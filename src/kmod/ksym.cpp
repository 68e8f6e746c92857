// Addresses of the kernel objects the module needs but the kernel does not export, looked up
// in /proc/kallsyms or, failing that, in the kernel's System.map.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/mem.h"
#include "kmod/kmod.h"

namespace {

// Version codes: major * 65536 + minor * 256 + patch.
constexpr int32_t V4_1_255 = 0x0401FF, V4_2_0 = 0x040200, V2_6_33 = 0x020621;

// Bytes 1, '.' or '[' make a signature a regular expression.
const ksym_entry kSymTable[KSYM_NUM] = {
    {"security_ops", "orig_security_ops_addr", " security_ops\n", 0, V4_1_255, 0, nullptr},
    {"security_hook_heads", "security_hook_heads_addr", " security_hook_heads\n", V4_2_0, 0, 0,
     nullptr},
    {"__kmalloc", "kmalloc_addr", " T __kmalloc\n", 0, 0, 0, nullptr},
    {"get_fs_type", "get_fs_type_addr", " T get_fs_type\n", 0, 0, 0, nullptr},
    {"wall_to_monotonic", "wall_to_monotonic_addr", " [AB] wall_to_monotonic\n", 0, V2_6_33, 0,
     nullptr},
    {"inet_dgram_ops", "orig_inet_dgram_ops_addr", " inet_dgram_ops\n", 0, 0, 0, nullptr},
    {"inet_stream_ops", "orig_inet_stream_ops_addr", " inet_stream_ops\n", 0, 0, 0, nullptr},
};

constexpr const char *KALLSYMS = "/proc/kallsyms";

bool is_regex(const char *sig) {
    return strpbrk(sig, ".[\x01") != nullptr;
}

// The two exported functions whose live addresses only serve to measure the randomisation
// offset; without randomisation the module does not need them.
bool offset_probe(const char *name) {
    return strcmp(name, "__kmalloc") == 0 || strcmp(name, "get_fs_type") == 0;
}

bool sig_match(const ksym_entry &e, const char *line) {
    if (e.re) return regexec(e.re, line, 0, nullptr, 0) == 0;
    return strstr(line, e.signature) != nullptr;
}

// 1 to 16 hexadecimal digits, nothing else.
bool parse_hex(const char *s, size_t len, uint64_t *out) {
    if (len == 0 || len > 16) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < len; i++) {
        char c = s[i];
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0) return false;
        v = v << 4 | (uint64_t)d;
    }
    *out = v;
    return true;
}

void free_patterns() {
    for (ksym_entry &e : s_ksym) {
        if (!e.re) continue;
        regfree(e.re);
        kiv_free(e.re);
        e.re = nullptr;
    }
}

void reset_addrs() {
    for (ksym_entry &e : s_ksym) e.addr = 0;
}

int loop_sysmap(const char *path, int needed) {
    int found = 0;
    if (__loop_file(path, __find_from_sysmap, &found) != 0) {
        KIV_LOG(0, "read file failed\n");
        return -1;
    }
    KIV_LOG(2, "read %d (need:%d) from %s\n", found, needed, path);
    return 0;
}

}  // namespace

ksym_entry s_ksym[KSYM_NUM];

int __need_detect_kaslr() {
    char path[KMOD_PATH_SIZE];
    FILE *fp = kmod_host_path("/proc/cmdline", path, sizeof path) ? fopen(path, "re") : nullptr;
    if (!fp) {
        KIV_LOG(2, "open /proc cmdline failed\n");
        return 1;
    }
    char line[2048];
    bool off = fgets(line, sizeof line, fp) && strstr(line, "nokaslr");
    fclose(fp);
    if (off) {
        KIV_LOG(2, "no need kaslr detect\n");
        return 0;
    }
    KIV_LOG(2, "maybe need kaslr detect\n");
    return 1;
}

int __loop_file(const char *path, ksym_line_cb cb, void *ctx) {
    KIV_LOG(3, "LOOP file:%s\n", path);
    FILE *fp = fopen(path, "re");
    if (!fp) {
        KIV_LOG(0, "open path:%s failed.(err:%s)\n", path, strerror(errno));
        return -1;
    }
    // One line at a time into a fixed buffer: a longer line is read to its end and dropped,
    // so its tail never poses as the next line.
    char line[KSYM_LINE_MAX + 1];
    size_t skipped = 0;
    for (;;) {
        size_t n = 0;
        int c = EOF;
        while ((c = getc_unlocked(fp)) != EOF) {
            if (n < KSYM_LINE_MAX) line[n] = (char)c;
            n++;
            if (c == '\n') break;
        }
        if (n == 0) break;
        // The limit counts the newline, also the one a last line is given.
        bool ends = line[n < KSYM_LINE_MAX ? n - 1 : KSYM_LINE_MAX - 1] == '\n';
        if (n > KSYM_LINE_MAX || (!ends && n == KSYM_LINE_MAX) || memchr(line, '\0', n)) {
            skipped++;
            continue;
        }
        if (!ends) line[n++] = '\n';  // last line without its newline
        line[n] = '\0';
        if (cb(line, ctx) == 0) break;
    }
    bool failed = ferror(fp) != 0;
    fclose(fp);
    if (skipped) KIV_LOG(3, "%zu over-long or binary lines of %s skipped\n", skipped, path);
    if (failed) {
        KIV_LOG(0, "read path:%s failed\n", path);
        return -1;
    }
    return 0;
}

int __find_from_sysmap(const char *line, void *ctx) {
    int *found = static_cast<int *>(ctx);
    bool pending = false;
    for (ksym_entry &e : s_ksym) {
        if (!e.name || e.addr) continue;
        pending = true;
        if (!sig_match(e, line)) {
            KIV_LOG(4, "line:%s not match pattern:%s\n", line, e.signature);
            continue;
        }
        // "<address> <type> <name>": anything else is not a symbol line.
        const char *space = strchr(line, ' ');
        uint64_t addr = 0;
        if (!space || space[1] == ' ' || space[1] == '\n' || space[1] == '\0' || space[2] != ' ' ||
            !parse_hex(line, (size_t)(space - line), &addr)) {
            KIV_LOG(0, "invalid line:%s\n", line);
            break;
        }
        // kallsyms shows every address as 0 to a reader without privilege: no address at all.
        if (addr == 0) {
            KIV_LOG(3, "symbol:%s listed with address 0, not usable\n", e.name);
            break;
        }
        e.addr = addr;
        ++*found;
        KIV_LOG(3, "find symbol:%s(addr:%" PRIx64 ") from Systemmap ok\n", e.name, addr);
        break;
    }
    return pending ? 1 : 0;
}

int __ksym_init() {
    int kaslr = __need_detect_kaslr();
    KIV_LOG(2, "need down symol from user, kaslr:%d\n", kaslr);
    free_patterns();
    for (int i = 0; i < KSYM_NUM; i++) s_ksym[i] = kSymTable[i];
    int code = kmod_kernel_code();
    int needed = 0;
    int rc = 0;
    char path[KMOD_PATH_SIZE];
    for (ksym_entry &e : s_ksym) {
        if ((e.low && code < e.low) || (e.high && code > e.high)) {
            KIV_LOG(3, "symbol:%s ignore\n", e.name);
            e.name = nullptr;
            continue;
        }
        if (!kaslr && offset_probe(e.name)) {
            KIV_LOG(3, "symbol:%s ignore,no need detect kaslr\n", e.name);
            e.name = nullptr;
            continue;
        }
        if (is_regex(e.signature)) {
            e.re = static_cast<regex_t *>(kiv_malloc(sizeof(regex_t), MALLOC_FOR_TMP));
            if (!e.re) {
                KIV_LOG(0, "alloc mem failed\n");
                rc = -1;
                goto out;
            }
            if (regcomp(e.re, e.signature, REG_EXTENDED | REG_NOSUB | REG_NEWLINE) != 0) {
                KIV_LOG(0, "signature:%s compile failed\n", e.signature);
                kiv_free(e.re);
                e.re = nullptr;
                rc = -1;
                goto out;
            }
        }
        needed++;
    }
    {
        int found = 0;
        if (!kmod_host_path(KALLSYMS, path, sizeof path) ||
            __loop_file(path, __find_from_sysmap, &found) != 0) {
            KIV_LOG(2, "read file:/proc/kallsymsfailed\n");
        } else if (found < needed) {
            KIV_LOG(2, "read %d (need:%d) from /proc/kallsyms\n", found, needed);
            reset_addrs();
        } else {
            KIV_LOG(2, "read from /proc/kallsym ok\n");
            // Live addresses: nothing left to measure.
            for (ksym_entry &e : s_ksym) {
                if (e.name && offset_probe(e.name)) {
                    e.name = nullptr;
                    e.addr = 0;
                }
            }
            goto out;
        }
    }
    {
        char rel[KMOD_PATH_SIZE];
        int n = snprintf(rel, sizeof rel, "/boot/System.map-%s", kmod_kernel_release());
        if (n < 0 || (size_t)n >= sizeof rel || !kmod_host_path(rel, path, sizeof path)) {
            KIV_LOG(0, "format sysmap path failed\n");
            rc = -1;
        } else if (access(path, F_OK) != 0) {
            KIV_LOG(0, "%s no exist\n", path);
            rc = -1;
        } else {
            rc = loop_sysmap(path, needed);
        }
    }
out:
    free_patterns();
    return rc;
}

int __get_mod_param(char *buf, size_t size) {
    if (!buf || size == 0) return -1;
    buf[0] = '\0';
    size_t used = 0;
    for (const ksym_entry &e : s_ksym) {
        if (!e.addr) continue;
        int n = snprintf(buf + used, size - used, " %s=%" PRIu64, e.param, e.addr);
        if (n < 0 || (size_t)n >= size - used) {
            KIV_LOG(0, "truc or error\n");
            return -1;
        }
        used += (size_t)n;
    }
    int n = snprintf(buf + used, size - used, " log_level=%d log_mask=%u ",
                     (int)g_framework_config.log_level, (unsigned)g_framework_config.log_mask);
    if (n < 0 || (size_t)n >= size - used) {
        KIV_LOG(0, "trunc or error\n");
        return -1;
    }
    return 0;
}

int strsub(char *buf, size_t size, const char *from, const char *to) {
    if (!buf || !from || !to || !*from) return 0;
    char *at = strstr(buf, from);
    if (!at) return 0;
    size_t len = strlen(buf), flen = strlen(from), tlen = strlen(to);
    if (len - flen + tlen + 1 > size) return 0;
    memmove(at + tlen, at + flen, len - (size_t)(at - buf) - flen + 1);
    memcpy(at, to, tlen);
    return 1;
}
