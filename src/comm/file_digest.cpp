// Whole-file MD5 and SHA-256 as digest text.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "comm/digest_internal.h"
#include "comm/timer.h"
#include "base/mem.h"
#include "qxkiv/digest.h"

namespace {

constexpr uint32_t kMd5ReadSize = 1024;
constexpr uint32_t kSha256ReadSize = 4096;
// 1 KiB reads beyond this count sleep to the next clock second: about 5 MB/s, because MD5
// runs on the collector threads while kernel events queue up.
constexpr uint32_t kMd5BlocksPerSecond = 5000;
// Large files are read 64 KiB per call instead of stdio's 4 KiB: a sixteenth of the calls.
constexpr size_t kStdioBufSize = 64 * 1024;

void real_sleep(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
std::atomic<void (*)(uint32_t)> s_sleep_fn{real_sleep};

// An "rb" stream whose descriptor is non-blocking from the open on: fopen followed by
// fcntl would already have waited in open() for the writer of a named pipe.
struct nb_file {
    FILE *fp = nullptr;
    char *buf = nullptr;

    explicit nb_file(const char *path) {
        int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        fp = fdopen(fd, "rb");
        if (fp == nullptr) {
            close(fd);
            return;
        }
        buf = static_cast<char *>(kiv_malloc(kStdioBufSize, MALLOC_FOR_TMP));
        if (buf != nullptr) setvbuf(fp, buf, _IOFBF, kStdioBufSize);  // else stdio's own
    }
    ~nb_file() {
        if (fp != nullptr) fclose(fp);
        kiv_free(buf);
    }
    nb_file(const nb_file &) = delete;
    nb_file &operator=(const nb_file &) = delete;
};

}  // namespace

void digest_set_sleep_fn(void (*fn)(uint32_t ms)) {
    s_sleep_fn.store(fn != nullptr ? fn : real_sleep, std::memory_order_relaxed);
}

void digest_hex(const uint8_t *digest, size_t n, char *out) {
    static constexpr char xdigits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; i++) {
        out[2 * i] = xdigits[digest[i] >> 4];
        out[2 * i + 1] = xdigits[digest[i] & 15];
    }
    out[2 * n] = '\0';
}

int _file_md5(const char *path, uint8_t digest[16], bool throttle) {
    nb_file f(path);
    if (f.fp == nullptr) return -1;
    nql_md5_ctx ctx;
    nql_md5_init(&ctx);
    uint8_t block[kMd5ReadSize];
    uint32_t blocks = 0;
    size_t n;
    // A read error (EAGAIN on an idle pipe, a file cut short) ends the file like EOF does.
    while ((n = fread(block, 1, sizeof(block), f.fp)) > 0) {
        nql_md5_update(&ctx, block, static_cast<uint32_t>(n));
        if (!throttle) continue;
        if (blocks > kMd5BlocksPerSecond) {
            s_sleep_fn.load(std::memory_order_relaxed)(1000 - kiv_now_ms() % 1000);
            blocks = 0;
        } else {
            blocks++;
        }
    }
    nql_md5_final(&ctx, digest);
    return 0;
}

int _file_sha256(const char *path, uint8_t digest[32]) {
    nb_file f(path);
    if (f.fp == nullptr) return -1;
    sha256_ctx ctx;
    sha256_init(&ctx);
    uint8_t block[kSha256ReadSize];
    size_t n;
    while ((n = fread(block, 1, sizeof(block), f.fp)) > 0) sha256_update(&ctx, block, n);
    sha256_final(&ctx, digest);
    return 0;
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
