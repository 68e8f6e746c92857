#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "host_core.h"
#include "sinks.h"

namespace kivhost {

std::string syslog_header(int32_t type, int64_t sec, long usec, long gmtoff_s,
                          const std::string &host, long pid) {
    const long off_min = gmtoff_s / 60;  // RFC 3339 offsets have no seconds
    time_t shown = static_cast<time_t>(sec + off_min * 60);
    struct tm tm;
    gmtime_r(&shown, &tm);
    const long abs_min = off_min < 0 ? -off_min : off_min;
    char head[96];
    snprintf(head, sizeof head, "<14>1 %04d-%02d-%02dT%02d:%02d:%02d.%06ld%c%02ld:%02ld ",
             tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, usec,
             off_min < 0 ? '-' : '+', abs_min / 60, abs_min % 60);
    std::string h = head;
    // HOSTNAME is 1 to 255 printable ASCII characters, or "-".
    std::string name = host.substr(0, 255);
    for (char &c : name)
        if (c < 33 || c > 126) c = '_';
    h += name.empty() ? "-" : name;
    h += " qxkiv " + std::to_string(pid) + " " + upload_type_name(type) + " - ";
    return h;
}

std::string octet_frame(const std::string &msg) {
    return std::to_string(msg.size()) + " " + msg;
}

namespace {

// A connected unix socket of the given type with send time-out, or -errno.
int connect_unix(const std::string &path, int type, int timeout_ms) {
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) {
        close(fd);
        return -ENAMETOOLONG;
    }
    memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    return fd;
}

// The whole of data on a stream socket; a closed peer is EPIPE, not a signal. 0 or an errno.
int send_fully(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;  // EAGAIN here is the send time-out: a stalled daemon
        done += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

SyslogSink::SyslogSink(SyslogConfig cfg) : cfg_(std::move(cfg)) {
    if (cfg_.host.empty()) {
        char name[256] = {};
        if (gethostname(name, sizeof name - 1) == 0) cfg_.host = name;
    }
}

SyslogSink::~SyslogSink() {
    if (dgram_fd_ >= 0) close(dgram_fd_);
    if (stream_fd_ >= 0) close(stream_fd_);
}

void SyslogSink::complain(int err, const char *what, uint64_t size) {
    if (err == 0) {
        if (complaining_.exchange(false)) fprintf(term(), "kivhost: syslog: delivering again\n");
        return;
    }
    unreachable_.fetch_add(1, std::memory_order_relaxed);
    // Once per outage: a daemon that is away must not flood standard error.
    if (!complaining_.exchange(true))
        fprintf(term(),
                "kivhost: syslog: %s: %s (a %llu-byte message); documents wait in the spool "
                "until it answers\n",
                what, strerror(err), static_cast<unsigned long long>(size));
}

namespace {
// Connects fd when it is not: 0, or the errno of the failure with fd left at -1.
int ensure_connected(int &fd, const std::string &path, int type, int timeout_ms) {
    if (fd >= 0) return 0;
    int r = connect_unix(path, type, timeout_ms);
    if (r < 0) return -r;
    fd = r;
    return 0;
}
}  // namespace

int SyslogSink::send_dgram(const std::string &msg) {
    std::lock_guard<std::mutex> lock(dgram_mu_);
    // A restarted daemon has a new socket: one reconnect per document.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (int e = ensure_connected(dgram_fd_, cfg_.dgram_path, SOCK_DGRAM, cfg_.timeout_ms))
            return e;
        ssize_t n;
        do {
            n = send(dgram_fd_, msg.data(), msg.size(), MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n >= 0) return static_cast<size_t>(n) == msg.size() ? 0 : EMSGSIZE;
        int e = errno;
        if (e == EMSGSIZE || e == EAGAIN || e == ENOBUFS) return e;
        close(dgram_fd_);
        dgram_fd_ = -1;
        if (attempt == 1) return e;
    }
    return EIO;
}

int SyslogSink::send_stream(const std::string &frame) {
    std::lock_guard<std::mutex> lock(stream_mu_);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (int e = ensure_connected(stream_fd_, cfg_.stream_path, SOCK_STREAM, cfg_.timeout_ms))
            return e;
        int e = send_fully(stream_fd_, frame);
        if (e == 0) return 0;
        // Part of a frame may have gone out: the connection's framing is lost, so it is
        // dropped and the whole frame goes again on a new one.
        close(stream_fd_);
        stream_fd_ = -1;
        if (attempt == 1) return e;
    }
    return EIO;
}

WriteResult SyslogSink::write(const DocPtr *docs, const uint64_t *, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        int rc = send_one(*docs[i]);
        // Too long for a datagram with no stream to take it: no try can ever deliver it.
        if (rc != 0) return {i, rc, rc == EMSGSIZE, false};
    }
    return {n, 0, false, false};
}

int SyslogSink::send_one(const Document &d) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm local;
    localtime_r(&ts.tv_sec, &local);
    std::string msg = syslog_header(d.type, ts.tv_sec, ts.tv_nsec / 1000, local.tm_gmtoff,
                                    cfg_.host, static_cast<long>(getpid()));
    msg += d.text;
    int rc = msg.size() <= cfg_.dgram_max ? send_dgram(msg) : EMSGSIZE;
    if (rc == 0) {
        complain(0, nullptr, 0);
        return 0;
    }
    if (rc != EMSGSIZE) {
        complain(rc, cfg_.dgram_path.c_str(), msg.size());
        return rc;
    }
    if (cfg_.stream_path.empty()) {
        too_long_.fetch_add(1, std::memory_order_relaxed);
        if (!told_too_long_.exchange(true))
            fprintf(term(),
                    "kivhost: syslog: a %zu-byte message is longer than --syslog-max %u and no "
                    "--syslog-stream is set: refused and counted (also later ones)\n",
                    msg.size(), cfg_.dgram_max);
        return EMSGSIZE;
    }
    rc = send_stream(octet_frame(msg));
    complain(rc, cfg_.stream_path.c_str(), msg.size());
    if (rc == 0) streamed_.fetch_add(1, std::memory_order_relaxed);
    return rc == EMSGSIZE ? EIO : rc;
}

std::string SyslogSink::summary_extra() const {
    char line[200];
    snprintf(line, sizeof line,
             "  syslog: %llu over the stream socket, %llu too long for a datagram (refused), "
             "%llu tries failed (socket away or stalled)\n",
             static_cast<unsigned long long>(streamed()),
             static_cast<unsigned long long>(too_long()),
             static_cast<unsigned long long>(unreachable()));
    return line;
}

}  // namespace kivhost
