// The netlink process connector, where eBPF cannot load: one thread reads the connector and
// turns each event into a record at once, so that /proc is read while the process still
// exists; a process that is already gone is recorded with what the connector and the
// stand-in's table know.
#include <fcntl.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "base/log.h"
#include "kernel/capture/common/proc_records.h"

namespace {

constexpr int CAP_NET_ADMIN_BIT = 12;
constexpr int RCVBUF_BYTES = 8 << 20;  // bursts of short-lived processes before an overrun

// proc_event: what u32, cpu u32, timestamp u64, then the event's fields.
constexpr size_t EV_DATA = 16;
constexpr uint32_t EV_FORK = 0x1, EV_EXEC = 0x2, EV_EXIT = 0x80000000u;

// The effective set decides, not the uid: root in a container may lack the capability, and the
// kernel then ignores the listen request without telling.
bool has_net_admin() {
    char buf[4096];
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = 0;
    const char *p = strstr(buf, "\nCapEff:");
    unsigned long long caps = 0;
    return p && sscanf(p + 8, "%llx", &caps) == 1 && (caps >> CAP_NET_ADMIN_BIT) & 1;
}

int send_listen(int fd, proc_cn_mcast_op op) {
    constexpr size_t len = NLMSG_LENGTH(sizeof(cn_msg) + sizeof(uint32_t));
    alignas(nlmsghdr) unsigned char msg[NLMSG_ALIGN(len)] = {};
    auto *nl = (nlmsghdr *)msg;
    nl->nlmsg_len = len;
    nl->nlmsg_type = NLMSG_DONE;
    auto *cn = (cn_msg *)NLMSG_DATA(nl);
    cn->id.idx = CN_IDX_PROC;
    cn->id.val = CN_VAL_PROC;
    cn->len = sizeof(uint32_t);
    kemu_st<uint32_t>(cn->data, (uint32_t)op);
    return send(fd, msg, len, 0) == (ssize_t)len ? 0 : -1;
}

struct connector_source {
    int sock = -1;
    int wake = -1;
    std::thread thread;
    std::atomic<bool> stop{false};
    live_events ev;

    void on_fork(uint32_t child, uint32_t parent) { ev.on_fork(child, parent); }
    void on_exec(uint32_t pid, uint64_t at_ns) { ev.on_exec(pid, at_ns); }
    void on_exit(uint32_t pid, uint32_t status) { ev.on_exit(pid, status); }
    void on_overrun() { ev.on_overrun("process connector", 0); }

    void handle(const unsigned char *buf, int n) {
        for (auto *nl = (const nlmsghdr *)buf; NLMSG_OK(nl, n); nl = NLMSG_NEXT(nl, n)) {
            if (nl->nlmsg_type == NLMSG_ERROR || nl->nlmsg_type == NLMSG_NOOP) continue;
            if (nl->nlmsg_len < NLMSG_LENGTH(sizeof(cn_msg))) continue;
            size_t plen = NLMSG_PAYLOAD(nl, 0);
            auto *cn = (const cn_msg *)NLMSG_DATA(nl);
            if (cn->id.idx != CN_IDX_PROC || cn->id.val != CN_VAL_PROC ||
                cn->len > plen - sizeof(cn_msg))
                continue;
            // Field access by offset, from the connector's fixed layout: the event union is
            // packed differently across kernel headers, and older kernels send shorter exits.
            size_t elen = cn->len;
            const unsigned char *ev = cn->data;
            if (elen < EV_DATA) continue;
            uint32_t what = kemu_ld<uint32_t>(ev);
            const unsigned char *d = ev + EV_DATA;
            auto word = [d](int i) { return kemu_ld<uint32_t>(d + 4 * i); };
            switch (what) {
                case EV_FORK:  // parent pid, parent tgid, child pid, child tgid
                    // A new thread is not a new process.
                    if (elen >= EV_DATA + 16 && word(2) == word(3)) on_fork(word(3), word(1));
                    break;
                case EV_EXEC:  // pid, tgid
                    // The event's timestamp_ns (offset 8) is the kernel's monotonic clock.
                    if (elen >= EV_DATA + 8 && word(0) == word(1))
                        on_exec(word(1), kemu_ld<uint64_t>(ev + 8));
                    break;
                case EV_EXIT:  // pid, tgid, exit code, signal
                    if (elen >= EV_DATA + 16 && word(0) == word(1)) on_exit(word(1), word(2));
                    break;
                default:
                    break;
            }
        }
    }

    void run() {
        KIV_LOG(2, "kemu: process connector thread running\n");
        alignas(nlmsghdr) static thread_local unsigned char buf[65536];
        pollfd fds[2] = {{sock, POLLIN, 0}, {wake, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                KIV_LOG(0, "kemu: poll on the process connector failed(%d:%s)\n", errno,
                        strerror(errno));
                return;
            }
            if (fds[1].revents) return;
            sockaddr_nl from = {};
            socklen_t flen = sizeof from;
            ssize_t n = recvfrom(sock, buf, sizeof buf, MSG_DONTWAIT, (sockaddr *)&from, &flen);
            if (n < 0) {
                if (errno == ENOBUFS)
                    on_overrun();
                else if (errno != EAGAIN && errno != EINTR)
                    KIV_LOG(1, "kemu: recv on the process connector failed(%d:%s)\n", errno,
                            strerror(errno));
                continue;
            }
            // Only the kernel speaks on this socket.
            if (from.nl_pid != 0) continue;
            handle(buf, (int)n);
        }
    }
};

connector_source *s_src;  // changed only by start and stop, on the host's thread

void close_source(connector_source *src) {
    if (src->sock >= 0) close(src->sock);
    if (src->wake >= 0) close(src->wake);
    delete src;
}

bool usable(std::string *why) {
    if (has_net_admin()) return true;
    *why = "not root (needs CAP_NET_ADMIN for the netlink process connector)";
    KIV_LOG(0,
            "kemu: kernel_mode userspace needs root or CAP_NET_ADMIN to listen on the "
            "netlink process connector; run as root or set kernel_mode = emulated\n");
    return false;
}

int start(const unsigned char *config, size_t len, std::string *why) {
    uint32_t options = 0;
    if (config && len == sizeof options) memcpy(&options, config, sizeof options);
    live_proc_set_container_ids(options & CAPTURE_CONTAINER_IDS);
    if (s_src) {
        KIV_LOG(0, "kemu: process connector already running\n");
        *why = "already running";
        return -1;
    }
    auto *src = new connector_source;
    src->ev.producer().stop_on(&src->stop);
    src->sock = socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    if (src->sock < 0) {
        KIV_LOG(0,
                "kemu: process connector unavailable: socket(NETLINK_CONNECTOR) failed(%d:%s); "
                "kernel_mode userspace needs a kernel with the process connector in this "
                "network namespace\n",
                errno, strerror(errno));
        *why = std::string("socket(NETLINK_CONNECTOR): ") + strerror(errno);
        close_source(src);
        return -1;
    }
    int rcv = RCVBUF_BYTES;
    if (setsockopt(src->sock, SOL_SOCKET, SO_RCVBUFFORCE, &rcv, sizeof rcv) != 0)
        setsockopt(src->sock, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
    sockaddr_nl addr = {};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = CN_IDX_PROC;
    if (bind(src->sock, (sockaddr *)&addr, sizeof addr) != 0 ||
        send_listen(src->sock, PROC_CN_MCAST_LISTEN) != 0) {
        KIV_LOG(0,
                "kemu: process connector unavailable: bind/listen failed(%d:%s); kernel_mode "
                "userspace needs root or CAP_NET_ADMIN\n",
                errno, strerror(errno));
        *why = std::string("connector bind/listen: ") + strerror(errno);
        close_source(src);
        return -1;
    }
    src->wake = eventfd(0, EFD_CLOEXEC);
    if (src->wake < 0) {
        KIV_LOG(0, "kemu: eventfd failed(%d:%s)\n", errno, strerror(errno));
        *why = std::string("eventfd: ") + strerror(errno);
        close_source(src);
        return -1;
    }
    try {
        src->thread = std::thread([src] { src->run(); });
    } catch (const std::system_error &e) {
        KIV_LOG(0, "kemu: process connector thread not started(%s)\n", e.what());
        *why = std::string("thread: ") + e.what();
        close_source(src);
        return -1;
    }
    s_src = src;
    KIV_LOG(2, "kemu: listening on the process connector\n");
    return 0;
}

void stop() {
    connector_source *src = s_src;
    if (!src) return;
    src->stop.store(true);
    uint64_t one = 1;
    if (write(src->wake, &one, sizeof one) != sizeof one)
        KIV_LOG(1, "kemu: wake of the connector thread failed(%d:%s)\n", errno, strerror(errno));
    src->thread.join();
    send_listen(src->sock, PROC_CN_MCAST_IGNORE);
    s_src = nullptr;
    close_source(src);
    KIV_LOG(2, "kemu: process connector stopped\n");
}

bool running() {
    return s_src != nullptr;
}

}  // namespace

extern const capture_source capture_connector = {
    "connector",
    "connector",
    "netlink connector with /proc",
    "short-lived processes may lack their path and command line",
    CAPTURE_PROCESS,
    usable,
    start,
    stop,
    running,
    nullptr,
    nullptr,
    nullptr};
