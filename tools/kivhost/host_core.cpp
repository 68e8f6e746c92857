#include "host_core.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>
#include <vector>

namespace kivhost {

namespace {

constexpr const char *kTypeNames[UPLOAD_TYPE_MAX_] = {
    "APP_LOG",
    "FILE_MOD",
    "PROC_EXEC",
    "NET_SCAN",
    "NET_LISTENING",
    "NET_CONNECT",
    "DNS_QUERY",
    "CAP_FLUX",
    "ETW",
    "ETW_EVENT",
    "FILE_DELETE",
    "FILE_CRATE",
    "FILE_MOVE",
    "PROC_EXIT",
    "SYSCALL_SOCKET",
    "SYSCALL_PTRACE",
    "SYSCALL_USERFAULTFD",
    "SYSCALL_CORE_PATTERN",
    "SYSCALL_CONNECT",
    "SELF_PROTECT_BLOCK",
    "NORMAL_PROTECTION_BLOCK",
};

// Value of an option: "--opt=value" or the next argument.
bool take_value(std::string_view arg, std::string_view name, int argc, const char *const *argv,
                int *i, const char **value) {
    if (arg == name) {
        if (*i + 1 >= argc) return false;
        *value = argv[++*i];
        return true;
    }
    *value = argv[*i] + name.size() + 1;
    return true;
}

bool matches(std::string_view arg, std::string_view name) {
    return arg == name || (arg.size() > name.size() && arg.substr(0, name.size()) == name &&
                           arg[name.size()] == '=');
}

}  // namespace

bool parse_number(const char *text, bool allow_hex, uint64_t max, uint64_t *out) {
    if (text == nullptr || *text == '\0') return false;
    unsigned base = 10;
    if (allow_hex && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
        if (*text == '\0') return false;
    }
    uint64_t v = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        unsigned d;
        if (*p >= '0' && *p <= '9') {
            d = *p - '0';
        } else if (base == 16 && *p >= 'a' && *p <= 'f') {
            d = *p - 'a' + 10;
        } else if (base == 16 && *p >= 'A' && *p <= 'F') {
            d = *p - 'A' + 10;
        } else {
            return false;
        }
        if (v > (max - d) / base) return false;
        v = v * base + d;
    }
    *out = v;
    return true;
}

Parse parse_options(int argc, const char *const *argv, Options *opt, std::string *err) {
    *opt = Options{};
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        const char *value = nullptr;
        uint64_t n = 0;
        if (arg == "--help" || arg == "-h") return Parse::kHelp;
        if (matches(arg, "--seconds")) {
            if (!take_value(arg, "--seconds", argc, argv, &i, &value) ||
                !parse_number(value, false, UINT32_MAX, &n)) {
                *err = "--seconds needs a whole number of seconds (0 = until a signal)";
                return Parse::kError;
            }
            opt->seconds = static_cast<uint32_t>(n);
        } else if (matches(arg, "--mask")) {
            // Only four switches exist; a wider mask is a typo, not a request.
            if (!take_value(arg, "--mask", argc, argv, &i, &value) ||
                !parse_number(value, true, 0xF, &n)) {
                *err = "--mask needs a number from 0 to 0xF (decimal or 0x hex)";
                return Parse::kError;
            }
            opt->mask = static_cast<uint32_t>(n);
        } else if (matches(arg, "--output") || matches(arg, "--lib")) {
            std::string_view name = arg.substr(0, arg.find('='));
            if (!take_value(arg, name, argc, argv, &i, &value) || *value == '\0') {
                *err = std::string(name) + " needs a file path";
                return Parse::kError;
            }
            (name == "--output" ? opt->output : opt->lib) = value;
        } else {
            *err = "unknown option '" + std::string(arg) + "'";
            return Parse::kError;
        }
    }
    return Parse::kRun;
}

std::string usage_text(const char *prog) {
    std::string u = "Usage: ";
    u += prog;
    u += " [OPTIONS]\n"
         "Loads libqxkiv.so, starts the sensor and writes every uploaded document as one line\n"
         "of JSON (NDJSON). Stops after --seconds or on SIGINT/SIGTERM, then prints a summary\n"
         "(documents per upload type, bytes, uploads refused) to standard error.\n"
         "\n"
         "  --seconds N     run N seconds, then stop (default 0: until SIGINT/SIGTERM)\n"
         "  --output FILE   write the documents to FILE (truncated) instead of standard output\n"
         "  --mask M        delivery switches for set_module, decimal or 0x hex, 0..0xF\n"
         "                  (default 0xF; bit 3 runs the log collector)\n"
         "  --lib PATH      library to load (default: <dir of kivhost>/../lib/libqxkiv.so)\n"
         "  -h, --help      show this help and exit\n"
         "\n"
         "Without --output, standard output carries the documents and nothing else: the\n"
         "library's own echo of its log lines goes to standard error.\n"
         "\n"
         "A second SIGINT during shut-down ends the agent at once. The sensor starts once\n"
         "per process: after exit_mod_manager, init_mod_manager returns 0 and starts\n"
         "nothing, so restarting means running kivhost again. The sensor reads its\n"
         "configuration from <dir of kivhost>/../config/ and logs to the directory set there.\n"
         "Exit status: 0 clean stop, 1 the library could not be loaded or started, 2 bad\n"
         "options.\n";
    return u;
}

const char *upload_type_name(int32_t type) {
    return type >= 0 && type < UPLOAD_TYPE_MAX_ ? kTypeNames[type] : "UNKNOWN";
}

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

int NdjsonSink::write_document(const char *text, uint32_t len, int32_t type) {
    if (text == nullptr) {
        refused_.fetch_add(1, std::memory_order_relaxed);
        return -1;
    }
    // Unformatted JSON has no raw line breaks; should one slip in, it must not split the line.
    std::string flat;
    const char *out = text;
    if (memchr(text, '\n', len) != nullptr || memchr(text, '\r', len) != nullptr) {
        flat.assign(text, len);
        for (char &c : flat)
            if (c == '\n' || c == '\r') c = ' ';
        out = flat.data();
    }
    int rc;
    {
        std::lock_guard<std::mutex> lock(write_mu_);
        rc = failed() ? EPIPE : write_fully(fd_, out, len, "\n", 1);
    }
    if (rc != 0) {
        if (!failed_.exchange(true)) failed_errno_.store(rc);
        refused_.fetch_add(1, std::memory_order_relaxed);
        return -1;
    }
    int slot = type >= 0 && type < UPLOAD_TYPE_MAX_ ? type : kSlots - 1;
    docs_[slot].fetch_add(1, std::memory_order_relaxed);
    bytes_.fetch_add(len, std::memory_order_relaxed);
    return 0;
}

std::string NdjsonSink::summary(double elapsed_s) const {
    uint64_t total = 0;
    for (int i = 0; i < kSlots; ++i) total += documents(i);
    char line[160];
    snprintf(line, sizeof line,
             "kivhost: %.1f s, %llu documents, %llu bytes, %llu uploads refused\n", elapsed_s,
             static_cast<unsigned long long>(total), static_cast<unsigned long long>(bytes()),
             static_cast<unsigned long long>(refused()));
    std::string s = line;
    for (int i = 0; i < kSlots; ++i) {
        if (documents(i) == 0) continue;
        snprintf(line, sizeof line, "  %-24s %llu\n",
                 upload_type_name(i < UPLOAD_TYPE_MAX_ ? i : -1),
                 static_cast<unsigned long long>(documents(i)));
        s += line;
    }
    return s;
}

HostIdentity probe_identity(const char *machine_id_path) {
    HostIdentity id;
    std::ifstream f(machine_id_path);
    std::getline(f, id.uuid);
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!id.uuid.empty() && blank(id.uuid.back())) id.uuid.pop_back();
    size_t lead = 0;
    while (lead < id.uuid.size() && blank(id.uuid[lead])) ++lead;
    id.uuid.erase(0, lead);
    if (id.uuid.empty()) id.uuid = "unknown";

    // Connecting a UDP socket only picks the route: no packet leaves the host.
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        struct sockaddr_in dst = {};
        dst.sin_family = AF_INET;
        dst.sin_port = htons(53);
        dst.sin_addr.s_addr = htonl(0x08080808);
        struct sockaddr_in src = {};
        socklen_t sl = sizeof src;
        char buf[INET_ADDRSTRLEN];
        if (connect(s, reinterpret_cast<sockaddr *>(&dst), sizeof dst) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr *>(&src), &sl) == 0 &&
            src.sin_addr.s_addr != 0 && inet_ntop(AF_INET, &src.sin_addr, buf, sizeof buf))
            id.ip = buf;
        close(s);
    }

    std::vector<std::string> addrs;
    struct ifaddrs *ifs = nullptr;
    if (getifaddrs(&ifs) == 0) {
        for (struct ifaddrs *it = ifs; it != nullptr; it = it->ifa_next) {
            if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
            auto *in = reinterpret_cast<sockaddr_in *>(it->ifa_addr);
            if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
            char buf[INET_ADDRSTRLEN];
            if (inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf) == nullptr) continue;
            bool seen = false;
            for (const auto &a : addrs) seen = seen || a == buf;
            if (!seen) addrs.emplace_back(buf);
        }
        freeifaddrs(ifs);
    }
    for (const auto &a : addrs) id.ip_list += (id.ip_list.empty() ? "" : ",") + a;
    if (id.ip.empty()) id.ip = addrs.empty() ? "127.0.0.1" : addrs.front();
    if (id.ip_list.empty()) id.ip_list = id.ip;
    return id;
}

int fill_header(struct upload_header *h, const HostIdentity &id, std::atomic<uint64_t> *seq) {
    if (h == nullptr) return -1;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm local;
    localtime_r(&ts.tv_sec, &local);
    h->seq_id = seq->fetch_add(1, std::memory_order_relaxed);
    memset(h->send_time, 0, sizeof h->send_time);
    strftime(h->send_time, sizeof h->send_time, "%Y-%m-%d %H:%M:%S", &local);
    h->host_uuid = id.uuid.c_str();
    h->host_ip = id.ip.c_str();
    h->ip_list = id.ip_list.c_str();
    h->tz_secondes = local.tm_gmtoff;
    h->send_timestamp = static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    return 0;
}

namespace {
NdjsonSink *s_sink = nullptr;
const HostIdentity *s_identity = nullptr;
std::atomic<uint64_t> s_seq{0};
}  // namespace

void bind_callbacks(NdjsonSink *sink, const HostIdentity *id) {
    s_sink = sink;
    s_identity = id;
}

extern "C" int kivhost_upload(const char *text, uint32_t len, int32_t type, uint32_t value) {
    return s_sink != nullptr ? s_sink->write_document(text, len, type) : -1;
}

extern "C" int kivhost_host_state(struct upload_header *h) {
    return s_identity != nullptr ? fill_header(h, *s_identity, &s_seq) : -1;
}

}  // namespace kivhost
