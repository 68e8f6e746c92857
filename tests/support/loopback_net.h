// Loopback network helpers for tests that must not send anything off this machine: a free
// port, a TCP listener that accepts and closes, and Debian's dnsmasq on a loopback port.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

inline sockaddr_in loopback_addr(uint16_t port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET, a.sin_port = htons(port), a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A loopback port free for both UDP and TCP when probed: a closed connection's wait can hold
// a TCP port whose UDP twin is free.
inline uint16_t free_port() {
    for (int attempt = 0; attempt < 50; attempt++) {
        int u = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int t = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback_addr();
        socklen_t l = sizeof a;
        bool ok = bind(u, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                  getsockname(u, reinterpret_cast<sockaddr *>(&a), &l) == 0 &&
                  bind(t, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(u), close(t);
        if (ok) return ntohs(a.sin_port);
    }
    return 0;
}

// A loopback TCP listener that accepts and closes in the background.
struct loopback_listener {
    int fd = -1;
    uint16_t port = 0;
    std::thread t;
    std::atomic<bool> stop{false};
    loopback_listener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback_addr();
        socklen_t l = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) || listen(fd, 64)) return;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &l);
        port = ntohs(a.sin_port);
        t = std::thread([this] {
            while (!stop) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 50) > 0) {
                    int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c >= 0) close(c);
                }
            }
        });
    }
    ~loopback_listener() {
        stop = true;
        if (t.joinable()) t.join();
        close(fd);
    }
};

// Whether a query for "ready.test" to 127.0.0.1:port gets any reply within 200 ms.
inline bool loopback_dns_answers(uint16_t port) {
    static const unsigned char q[] = {0x12, 0x34, 1,   0,   0, 1,   0,   0,   0,   0, 0, 0, 5, 'r',
                                      'e',  'a',  'd', 'y', 4, 't', 'e', 's', 't', 0, 0, 1, 0, 1};
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = loopback_addr(port);
    bool ok = false;
    if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 &&
        send(fd, q, sizeof q, 0) > 0) {
        pollfd p{fd, POLLIN, 0};
        unsigned char r[512];
        ok = poll(&p, 1, 200) == 1 && recv(fd, r, sizeof r, 0) >= 12;
    }
    close(fd);
    return ok;
}

// Debian's dnsmasq (dnsmasq-base) on 127.0.0.1:<free port>, forwarding nothing: names given
// with --address=/name/ip are answered, every other name is refused. start() returns once it
// answers; error holds dnsmasq's own words when it would not start.
struct loopback_dnsmasq {
    uint16_t port = 0;
    std::string dir, error;
    pid_t pid = -1;

    static const char *path() {
        for (const char *p : {"/usr/sbin/dnsmasq", "/usr/bin/dnsmasq", "/sbin/dnsmasq"})
            if (access(p, X_OK) == 0) return p;
        return nullptr;
    }
    bool start(const std::vector<std::string> &extra = {}) {
        const char *exe = path();
        char tmpl[] = "/tmp/kivdns.XXXXXX";
        if (!exe || !mkdtemp(tmpl)) return false;
        dir = tmpl;
        for (int attempt = 0; attempt < 5; attempt++) {
            port = free_port();
            std::vector<std::string> args = {exe,
                                             "--keep-in-foreground",
                                             "--conf-file=/dev/null",
                                             "--no-resolv",
                                             "--no-hosts",
                                             "--listen-address=127.0.0.1",
                                             "--bind-interfaces",
                                             "--port=" + std::to_string(port),
                                             "--user=root",
                                             "--pid-file=" + dir + "/pid",
                                             "--log-facility=" + dir + "/log"};
            args.insert(args.end(), extra.begin(), extra.end());
            std::vector<char *> argv;
            for (auto &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            std::string out = dir + "/out";
            pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);  // dies with the test even if not cleaned up
                int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
                if (fd >= 0) dup2(fd, 1), dup2(fd, 2);
                execv(exe, argv.data());
                _exit(127);
            }
            if (pid < 0) return false;
            for (int i = 0; i < 100; i++) {
                if (waitpid(pid, nullptr, WNOHANG) == pid) {
                    pid = -1;  // the port was taken meanwhile: try another
                    break;
                }
                if (loopback_dns_answers(port)) return true;
                usleep(100 * 1000);  // refused until it has bound its socket
            }
            stop();
        }
        std::ifstream in(dir + "/out");
        error.assign(std::istreambuf_iterator<char>(in), {});
        return false;
    }
    void stop() {
        if (pid > 0) kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
        pid = -1;
    }
    ~loopback_dnsmasq() {
        stop();
        if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
    }
};
