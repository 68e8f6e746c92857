// Whole-file MD5 and SHA-256 as digest text.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "comm/digest_internal.h"
#include "comm/safe_open.h"
#include "comm/timer.h"
#include "base/mem.h"
#include "qxkiv/digest.h"

namespace {

constexpr uint32_t kMd5ReadSize = 1024;
constexpr uint32_t kSha256ReadSize = 4096;
// 1 KiB reads beyond this count sleep to the next clock second: about 5 MB/s, because MD5
// runs on the collector threads while kernel events queue up.
constexpr uint32_t kMd5BlocksPerSecond = 5000;
// Large files are read 64 KiB per call instead of 1 KiB: a sixty-fourth of the calls.
constexpr size_t kMd5BufSize = 64 * 1024;

void real_sleep(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
std::atomic<void (*)(uint32_t)> s_sleep_fn{real_sleep};
std::atomic<void (*)(const char *)> s_before_open{nullptr};
std::atomic<void (*)(const char *, uint64_t)> s_after_read{nullptr};

bool same_inode(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool same_content_stamp(const struct stat &a, const struct stat &b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

// A read descriptor on a regular file only, decided on descriptors, never on the name: the
// O_PATH handle opens no device driver and waits for no pipe writer, and the read descriptor
// is reopened through it, so both name the inode that was checked whatever the path does
// meanwhile. Without /proc nothing is opened: a second open by name could reach a device
// swapped in between. `name` is what the file is known as (path may be a /proc link to it).
// fd, or a digest_file_err.
static int open_regular_named(const char *path, const char *name, const struct stat *expect,
                              bool nofollow, struct stat *st) {
    if (auto hook = s_before_open.load(std::memory_order_relaxed)) hook(name);
    int pfd = open(path, O_PATH | O_CLOEXEC | (nofollow ? O_NOFOLLOW : 0));
    if (pfd < 0) return DIGEST_ERR_OPEN;
    int ret = DIGEST_ERR_OPEN;
    if (fstat(pfd, st) != 0) {
        ret = DIGEST_ERR_OPEN;
    } else if (!S_ISREG(st->st_mode)) {
        ret = DIGEST_ERR_NOT_REGULAR;
    } else if (expect != nullptr && !same_inode(*st, *expect)) {
        ret = DIGEST_ERR_CHANGED;
    } else {
        char self[48];
        snprintf(self, sizeof(self), "/proc/self/fd/%d", pfd);
        int fd = open(self, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat now;
        if (fd < 0) {
            ret = DIGEST_ERR_OPEN;
        } else if (fstat(fd, &now) != 0 || !S_ISREG(now.st_mode) || !same_inode(now, *st)) {
            close(fd);
            ret = DIGEST_ERR_CHANGED;
        } else {
            *st = now;
            ret = fd;
        }
    }
    close(pfd);
    return ret;
}

int open_regular_fd(const char *path, const struct stat *expect, bool nofollow, struct stat *st) {
    return open_regular_named(path, path, expect, nofollow, st);
}

void digest_set_sleep_fn(void (*fn)(uint32_t ms)) {
    s_sleep_fn.store(fn != nullptr ? fn : real_sleep, std::memory_order_relaxed);
}

void digest_set_race_hooks(void (*before_open)(const char *path),
                           void (*after_read)(const char *path, uint64_t total)) {
    s_before_open.store(before_open, std::memory_order_relaxed);
    s_after_read.store(after_read, std::memory_order_relaxed);
}

void digest_hex(const uint8_t *digest, size_t n, char *out) {
    static constexpr char xdigits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; i++) {
        out[2 * i] = xdigits[digest[i] >> 4];
        out[2 * i + 1] = xdigits[digest[i] & 15];
    }
    out[2 * n] = '\0';
}

int digest_file(const char *path, const digest_file_req &req, digest_file_out *out) {
    if (path == nullptr || out == nullptr) return DIGEST_ERR_OPEN;
    out->changed = false;
    const char *name = req.name != nullptr ? req.name : path;
    int fd = open_regular_named(path, name, req.expect, false, &out->opened);
    if (fd < 0) return fd;
    // The size seen on the descriptor bounds the read: what is appended later is not read,
    // and a file that reports no size (like those of /proc) is not read at all.
    uint64_t limit = static_cast<uint64_t>(out->opened.st_size);
    if (req.max_size != 0 && limit > req.max_size) {
        close(fd);
        return DIGEST_ERR_TOO_BIG;
    }
    size_t piece = req.read_size > 0 ? req.read_size : kSha256ReadSize;
    uint8_t stack_buf[kSha256ReadSize];
    uint8_t *buf = stack_buf;
    if (piece > sizeof(stack_buf)) {
        buf = static_cast<uint8_t *>(kiv_malloc(piece, MALLOC_FOR_TMP));
        if (buf == nullptr) {
            buf = stack_buf;
            piece = sizeof(stack_buf);
        }
    }
    nql_md5_ctx md5;
    sha256_ctx sha;
    nql_md5_init(&md5);
    sha256_init(&sha);
    auto after_read = s_after_read.load(std::memory_order_relaxed);
    uint32_t blocks = 0;
    uint64_t total = 0;
    int ret = 0;
    while (total < limit) {
        if (req.cancel != nullptr && req.cancel->load(std::memory_order_relaxed)) {
            ret = DIGEST_ERR_READ;
            break;
        }
        size_t want = limit - total < piece ? static_cast<size_t>(limit - total) : piece;
        ssize_t n = read(fd, buf, want);
        if (n == 0) break;  // cut short since it was opened: the digest of what was there
        if (n < 0) {
            if (errno == EINTR) continue;
            ret = DIGEST_ERR_READ;
            break;
        }
        total += static_cast<uint64_t>(n);
        if (after_read != nullptr) after_read(name, total);
        if (req.want_sha256) sha256_update(&sha, buf, static_cast<size_t>(n));
        if (!req.want_md5) continue;
        for (size_t off = 0; off < static_cast<size_t>(n); off += kMd5ReadSize) {
            size_t len = static_cast<size_t>(n) - off;
            nql_md5_update(&md5, buf + off,
                           static_cast<uint32_t>(len < kMd5ReadSize ? len : kMd5ReadSize));
            if (!req.throttle_md5) continue;
            if (blocks > kMd5BlocksPerSecond) {
                s_sleep_fn.load(std::memory_order_relaxed)(1000 - kiv_now_ms() % 1000);
                blocks = 0;
            } else {
                blocks++;
            }
        }
    }
    struct stat end;
    if (ret == 0 && (fstat(fd, &end) != 0 || !same_content_stamp(end, out->opened)))
        out->changed = true;
    close(fd);
    if (buf != stack_buf) kiv_free(buf);
    nql_md5_final(&md5, out->md5);
    sha256_final(&sha, out->sha256);
    return ret;
}

int _file_md5(const char *path, uint8_t digest[16], bool throttle) {
    digest_file_req req;
    req.want_md5 = true;
    req.throttle_md5 = throttle;
    req.read_size = kMd5BufSize;
    digest_file_out out;
    int ret = digest_file(path, req, &out);
    if (ret == 0) memcpy(digest, out.md5, sizeof(out.md5));
    return ret;
}

int _file_sha256(const char *path, uint8_t digest[32]) {
    digest_file_req req;
    req.want_sha256 = true;
    req.read_size = kSha256ReadSize;
    digest_file_out out;
    int ret = digest_file(path, req, &out);
    if (ret == 0) memcpy(digest, out.sha256, sizeof(out.sha256));
    return ret;
}

int get_file_md5(const char *path, char *out, size_t out_size) {
    if (path == nullptr || *path == '\0' || out == nullptr || out_size == 0) return -1;
    uint8_t digest[16];
    if (_file_md5(path, digest, true) != 0) return -1;
    char text[33];
    digest_hex(digest, sizeof(digest), text);
    snprintf(out, out_size, "%s", text);  // a short buffer gets a truncated, terminated text
    return 0;
}

int get_file_sha256(const char *path, char *out) {
    if (path == nullptr || *path == '\0' || out == nullptr) return -100;
    uint8_t digest[32];
    if (_file_sha256(path, digest) != 0) return -99;
    digest_hex(digest, sizeof(digest), out);
    return 0;
}
