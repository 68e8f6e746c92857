#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zstd.h>

#include <cstring>
#include <vector>

#include "host_core.h"
#include "sinks.h"
#include "view.h"

namespace kivhost {

int write_fully(int fd, const char *a, size_t alen, const char *b, size_t blen) {
    struct iovec iov[2] = {{const_cast<char *>(a), alen}, {const_cast<char *>(b), blen}};
    struct iovec *cur = iov;
    int left = 2;
    while (left > 0) {
        if (cur->iov_len == 0) {
            ++cur;
            --left;
            continue;
        }
        ssize_t n = writev(fd, cur, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // An inherited non-blocking descriptor: wait until it drains.
                struct pollfd p = {fd, POLLOUT, 0};
                if (poll(&p, 1, -1) < 0 && errno != EINTR) return errno;
                continue;
            }
            return errno;
        }
        size_t done = static_cast<size_t>(n);
        while (left > 0 && done >= cur->iov_len) {
            done -= cur->iov_len;
            ++cur;
            --left;
        }
        if (left > 0) {
            cur->iov_base = static_cast<char *>(cur->iov_base) + done;
            cur->iov_len -= done;
        }
    }
    return 0;
}

int open_output(const std::string &path, bool append, std::string *why) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0640);
    if (fd < 0) {
        *why = errno == ELOOP ? "it is a symbolic link" : strerror(errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        *why = strerror(errno);
    } else if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
        *why = "it is not a regular file";
    } else if (st.st_uid != geteuid()) {
        *why = "it belongs to uid " + std::to_string(st.st_uid) + ", not to this agent's user";
    } else if (S_ISCHR(st.st_mode)) {
        // The agent's own device (/dev/null for a run that keeps nothing) is written as is.
        if (fcntl(fd, F_SETFL, 0) == 0) return fd;
        *why = strerror(errno);
    } else if (st.st_nlink > 1) {
        *why = "it has other hard links";
    } else if (fchmod(fd, 0640) != 0 || (!append && ftruncate(fd, 0) != 0) ||
               fcntl(fd, F_SETFL, O_APPEND) != 0) {
        // Always at the end: a line cut back after a full disk, or a file truncated by
        // someone else, must not leave the next line beyond a hole.
        *why = strerror(errno);
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

int zstd_file(const std::string &src, const std::string &dst) {
    int in = open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) return errno;
    const std::string tmp = dst + ".new";
    int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (out < 0) {
        int e = errno;
        close(in);
        return e;
    }
    ZSTD_CCtx *cx = ZSTD_createCCtx();
    struct stat st {};
    // The frame says how long the text is, so a reader can size its buffer at once.
    if (cx != nullptr && fstat(in, &st) == 0) ZSTD_CCtx_setPledgedSrcSize(cx, st.st_size);
    std::vector<char> ib(ZSTD_CStreamInSize()), ob(ZSTD_CStreamOutSize());
    int rc = cx == nullptr ? ENOMEM : 0;
    for (bool last = false; rc == 0 && !last;) {
        ssize_t n = read(in, ib.data(), ib.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            rc = errno;
            break;
        }
        last = n == 0;
        ZSTD_inBuffer ibuf = {ib.data(), static_cast<size_t>(n), 0};
        for (bool done = false; rc == 0 && !done;) {
            ZSTD_outBuffer obuf = {ob.data(), ob.size(), 0};
            size_t left =
                ZSTD_compressStream2(cx, &obuf, &ibuf, last ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(left))
                rc = EIO;
            else if (obuf.pos > 0)
                rc = write_fully(out, ob.data(), obuf.pos, "", 0);
            done = last ? left == 0 : ibuf.pos == ibuf.size;
        }
    }
    ZSTD_freeCCtx(cx);
    close(in);
    if (rc == 0 && fsync(out) != 0) rc = errno;
    if (close(out) != 0 && rc == 0) rc = errno;
    if (rc == 0 && rename(tmp.c_str(), dst.c_str()) != 0) rc = errno;
    if (rc != 0) unlink(tmp.c_str());
    return rc;
}

namespace {

// Lines written in one call, at most.
constexpr size_t kWriteChunk = 256 << 10;

class FileSink : public Sink {
  public:
    explicit FileSink(FileSinkConfig c) : cfg_(std::move(c)) {}
    ~FileSink() override {
        if (fd_ >= 0 && !cfg_.path.empty()) close(fd_);
    }

    int open(std::string *why) override {
        if (cfg_.path.empty()) {
            fd_ = cfg_.fd;
            return 0;
        }
        fd_ = open_output(cfg_.path, cfg_.append, why);
        return fd_ >= 0 ? 0 : EIO;
    }

    uint32_t backoff_max_ms() const override { return 1000; }  // a full disk: every second

    void reopen() override {
        if (cfg_.path.empty()) return;
        if (fd_ >= 0) close(fd_);
        std::string why;
        // logrotate's create mode left a new file (or none) under the name.
        fd_ = open_output(cfg_.path, true, &why);
        reopen_err_ = fd_ < 0 ? why : "";
        if (fd_ < 0)
            fprintf(term(), "kivhost: cannot reopen %s: %s; trying again every second\n",
                    cfg_.path.c_str(), why.c_str());
    }

    WriteResult write(const DocPtr *docs, const uint64_t *, size_t n) override {
        if (fd_ < 0 && !cfg_.path.empty()) {
            std::string why;
            fd_ = open_output(cfg_.path, true, &why);
            if (fd_ < 0) return {0, EIO, false, false};
        }
        std::string buf, line;
        std::vector<size_t> ends;
        size_t i = 0;
        while (i < n) {
            buf.clear();
            ends.clear();
            uint64_t size = current_size();
            size_t j = i;
            while (j < n && buf.size() < kWriteChunk) {
                const Document &d = *docs[j];
                if (cfg_.compact) {
                    line = compact_line(d.text.data(), d.text.size(), d.type, cfg_.colour);
                } else {
                    line = d.text;
                }
                line += '\n';
                if (cfg_.rotate_bytes != 0 && size + buf.size() + line.size() > cfg_.rotate_bytes &&
                    size + buf.size() > 0) {
                    if (!buf.empty()) break;  // what is gathered goes into this file first
                    if (int e = rotate()) return {j, e, false, false};
                    size = 0;
                }
                buf += line;
                ends.push_back(buf.size());
                ++j;
            }
            size_t whole = 0;
            int e = write_whole(buf, ends, size, &whole);
            if (e != 0) return {i + whole, e, false, e == EPIPE && cfg_.path.empty()};
            i = j;
        }
        return {n, 0, false, false};
    }

  private:
    uint64_t current_size() const {
        struct stat st {};
        return fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)
                   ? static_cast<uint64_t>(st.st_size)
                   : 0;
    }

    // Writes buf (lines ending at ends) at the file's end; on failure, cuts what was written
    // back to the last whole line and says how many lines stand.
    int write_whole(const std::string &buf, const std::vector<size_t> &ends, uint64_t at,
                    size_t *whole) {
        size_t done = 0;
        int err = 0;
        while (done < buf.size()) {
            ssize_t w = ::write(fd_, buf.data() + done, buf.size() - done);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                struct pollfd p = {fd_, POLLOUT, 0};
                ::poll(&p, 1, -1);
                continue;
            }
            if (w <= 0) {
                err = w < 0 ? errno : ENOSPC;
                break;
            }
            done += static_cast<size_t>(w);
        }
        *whole = ends.size();
        if (err == 0) return 0;
        size_t keep = 0;
        *whole = 0;
        while (*whole < ends.size() && ends[*whole] <= done) keep = ends[(*whole)++];
        struct stat st {};
        if (keep < done && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode))
            if (ftruncate(fd_, static_cast<off_t>(at + keep)) != 0) {
                // The cut failed: the file goes on after a line break, never mid-line.
                (void)!::write(fd_, "\n", 1);
            }
        return err;
    }

    std::string rotated(uint32_t k, bool zst) const {
        return cfg_.path + "." + std::to_string(k) + (zst ? ".zst" : "");
    }

    // FILE -> FILE.1 -> ... -> FILE.K, the oldest removed; a new FILE. 0 or errno.
    int rotate() {
        if (cfg_.path.empty()) return 0;
        const uint32_t k = cfg_.rotate_keep;
        unlink(rotated(k, false).c_str());
        unlink(rotated(k, true).c_str());
        for (uint32_t i = k - 1; i >= 1; --i)
            for (bool zst : {false, true})
                if (access(rotated(i, zst).c_str(), F_OK) == 0)
                    rename(rotated(i, zst).c_str(), rotated(i + 1, zst).c_str());
        if (rename(cfg_.path.c_str(), rotated(1, false).c_str()) != 0) return errno;
        close(fd_);
        std::string why;
        fd_ = open_output(cfg_.path, false, &why);
        if (fd_ < 0) return EIO;
        if (cfg_.rotate_compress && zstd_file(rotated(1, false), rotated(1, true)) == 0)
            unlink(rotated(1, false).c_str());
        return 0;
    }

    FileSinkConfig cfg_;
    int fd_ = -1;
    std::string reopen_err_;
};

}  // namespace

std::unique_ptr<Sink> make_file_sink(FileSinkConfig c) {
    return std::make_unique<FileSink>(std::move(c));
}

}  // namespace kivhost
