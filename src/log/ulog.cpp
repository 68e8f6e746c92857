// Diagnostic lines. Any thread formats a line once and queues it in one or two in-memory
// rings; only the logger thread touches the log files. Before the rings exist (and after
// they are gone) lines reach the standard streams only.
#include "log/ulog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "comm/command.h"
#include "comm/dirutils.h"
#include "comm/json_add.h"
#include "comm/timer.h"
#include "framework/hook.h"
#include "base/mem.h"
#include "framework/ring.h"
#include "framework/stats.h"
#include "framework/task.h"
#include "kernel/kernel_if.h"
#include "qxkiv/qxkiv.h"

// Levels 0..2 and every level. Each pointer is read and written only under its mutex, so
// ulog_exit cannot pull a ring away from a writer.
kiv_ring *__kiv_ring_logger_high;
kiv_ring *__kiv_ring_logger_low;
std::mutex __kiv_lock_logger_high;
std::mutex __kiv_lock_logger_low;

namespace {

constexpr uint32_t kLogRingSize = 32768;
constexpr uint16_t kLogRecordType = 23;
constexpr int kMaxLineText = 4095;
constexpr uint32_t kHdrLen = sizeof(kiv_msg_hdr);
constexpr uint32_t kReadBufLen = kHdrLen + kMaxLineText + 1;  // 4108
constexpr uint32_t kSaveAtFree = kLogRingSize / 2;            // past half full: save at once
constexpr off_t kFileCap = 20 * 1024 * 1024;                  // rotation must shrink it first
constexpr uint64_t kStatAfterS = 1801;                        // more than 30 minutes
constexpr uint64_t kRotatePeriodS = 600;
constexpr size_t kLsOutLen = 1024;
constexpr unsigned kLoggerPeriodUs = 100 * 1000;
constexpr char kFallbackLog[] = "/tmp/.wlq_sensor_log.log";
constexpr const char *kLogFiles[] = {"sensor.log", "sensor_all.log", "sensor_kern.log",
                                     "sensor_kern_all.log"};

struct logger_ring {
    kiv_ring *&ring;
    std::mutex &lock;
};
logger_ring s_high{__kiv_ring_logger_high, __kiv_lock_logger_high};
logger_ring s_low{__kiv_ring_logger_low, __kiv_lock_logger_low};

std::atomic<char *> s_ring_block{nullptr};

// Set while this thread holds a logger-ring mutex: a line logged from inside (an assertion
// in the ring code) must not try to take the same mutex again.
thread_local bool s_in_ring = false;

// One drain, copy or rotation at a time: the configuration watch flushes from the framework
// thread while the logger thread runs, and two drains of one ring into one file would
// reorder its lines. Taken before a ring mutex, never inside one.
std::mutex s_save_lock;
// Seconds of the cached clock, and the paths whose last archiving failed (logged once);
// all under s_save_lock.
uint64_t s_last_usave, s_last_ksave, s_last_ustat, s_last_kstat, s_last_rotate;
bool s_rotated;
std::set<std::string> s_rotate_failed;

// The first level-0 line of the host thread's latest start-up or shut-down, for a host that
// wants to say why init_mod_manager failed.
std::mutex s_error_lock;
char s_first_error[kMaxLineText + 1];

void note_error(const char *text, size_t n) {
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) n--;
    std::lock_guard<std::mutex> g(s_error_lock);
    if (s_first_error[0] != '\0' || n == 0) return;
    memcpy(s_first_error, text, n);
    s_first_error[n] = '\0';
}

uint64_t now_s() {
    return kiv_now_ms() / 1000;
}

// A clock that went backwards counts as due rather than stalling the logs.
bool due(uint64_t last, int64_t period_s) {
    uint64_t now = now_s();
    return now < last || (int64_t)(now - last) >= period_s;
}

bool write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= (size_t)k;
    }
    return true;
}

void local_stamp(char *out, size_t size) {
    time_t t = time(nullptr);
    struct tm tm;
    if (!localtime_r(&t, &tm) || strftime(out, size, "%Y%m%d%H%M%S", &tm) == 0) out[0] = '\0';
}

void put_line(logger_ring &lr, const char *rec, uint32_t len) {
    bool ok = false;
    if (!s_in_ring) {
        std::lock_guard<std::mutex> g(lr.lock);
        s_in_ring = true;
        if (kiv_ring *ring = lr.ring) {
            if (!kiv_is_valid_hdr(reinterpret_cast<const kiv_msg_hdr *>(rec)))
                ring->invalid_cnt++;
            else if (__check_ring(ring, kLogRingSize) == 0)
                ok = __put_to_ring(ring, rec, len) == 0;
        }
        s_in_ring = false;
    }
    if (!ok) kiv_stat_inc(LOG_WRITE_FAIL);
}

// The host's start-up and shut-down lines also survive a sensor that never gets its rings.
// /tmp is shared: never follow a planted link.
void append_fallback(const char *text, size_t n) {
    int fd = open(kFallbackLog, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    (void)write_all(fd, text, n);
    close(fd);
}

// Names, command lines, DNS names and log text in a line are other people's bytes: control
// characters (a line break, a terminal's escape sequence) and invalid UTF-8 are written as
// "\xHH", as documents write the latter, so that one line is one line the sensor wrote. The
// line break that ends the line is its own. Returns the new length, at most kMaxLineText.
int escape_line(char *text, int n) {
    int body = n;
    while (body > 0 && text[body - 1] == '\n') body--;
    bool plain = true;
    for (int i = 0; i < body && plain; i++) {
        auto c = static_cast<unsigned char>(text[i]);
        plain = (c >= 0x20 || c == '\t') && c < 0x7f && c != '\\';
    }
    if (plain) return n;
    thread_local std::string esc;
    esc.clear();
    const size_t tail = static_cast<size_t>(n - body);
    text_escape_append(esc, text, static_cast<size_t>(body), true, kMaxLineText - tail);
    memmove(text + esc.size(), text + body, tail);
    memcpy(text, esc.data(), esc.size());
    return static_cast<int>(esc.size() + tail);
}

bool rings_ready() {
    return s_ring_block.load(std::memory_order_acquire) != nullptr;
}

uint32_t ring_free(logger_ring &lr) {
    std::lock_guard<std::mutex> g(lr.lock);
    return lr.ring ? __kiv_ring_free(lr.ring) : kLogRingSize;
}

// Expanded log directory; empty when "@" cannot be resolved.
std::string log_dir() {
    char *dir = kiv_get_trans_path(g_framework_config.log_path);
    if (!dir) {
        KIV_LOG(1, "get path:%s failed\n", g_framework_config.log_path);
        return {};
    }
    std::string s(dir);
    kiv_free(dir);
    return s;
}

// A file at the size cap is left alone until rotation shrinks it. -1 when not opened.
int open_log_append(const std::string &path, bool *existed) {
    struct stat st;
    *existed = false;
    if (stat(path.c_str(), &st) == 0) {
        *existed = true;
        if (st.st_size >= kFileCap) return -1;
    } else {
        KIV_LOG(4, "stat %s failed(%s)\n", path.c_str(), strerror(errno));
    }
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) KIV_LOG(3, "open %s failed(%s)\n", path.c_str(), strerror(errno));
    return fd;
}

void write_marker(int fd) {
    char stamp[32], line[64];
    local_stamp(stamp, sizeof(stamp));
    int n = snprintf(line, sizeof(line), "%lld===%s\n", (long long)now_s(), stamp);
    if (n > 0) (void)write_all(fd, line, (size_t)n);
}

void drain(logger_ring &lr, int fd) {
    alignas(8) char buf[kReadBufLen];
    for (;;) {
        int len = -1;
        {
            std::lock_guard<std::mutex> g(lr.lock);
            s_in_ring = true;
            // A repaired header never reaches the reader's out-of-range complaint.
            if (lr.ring && __check_ring(lr.ring, kLogRingSize) == 0)
                len = __read_from_ring(lr.ring, buf, sizeof(buf));
            s_in_ring = false;
        }
        if (len < (int)kHdrLen) return;
        size_t n = std::min<size_t>((size_t)len, sizeof(buf)) - kHdrLen;
        if (!write_all(fd, buf + kHdrLen, n)) return;
    }
}

void dump_stats(int fd) {
    char line[512];
    int idx = 0;
    for (;;) {
        int n = travel_usensor_stats(line, sizeof(line), &idx);
        if (n <= 0 || !write_all(fd, line, (size_t)n)) return;
    }
}

// Appends one of the module's /proc files byte for byte, optionally after a header line.
void copy_proc(const char *rel, const std::string &dst, const char *header) {
    char src[1024];
    if (!kernel_proc_path(rel, src, sizeof(src))) {
        KIV_LOG(3, "open %s failed(%s)\n", rel, strerror(ENAMETOOLONG));
        return;
    }
    struct stat st;
    if (stat(dst.c_str(), &st) == 0 && st.st_size >= kFileCap) return;
    int in = open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        KIV_LOG(3, "open %s failed(%s)\n", src, strerror(errno));
        return;
    }
    int out = open(dst.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (out < 0) {
        KIV_LOG(3, "open %s failed(%s)\n", dst.c_str(), strerror(errno));
        close(in);
        return;
    }
    char buf[4096];
    bool ok = !header || write_all(out, header, strlen(header));
    while (ok) {
        ssize_t n = read(in, buf, sizeof(buf));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            KIV_LOG(3, "read %s failed(%s)\n", src, strerror(errno));
            break;
        }
        ok = write_all(out, buf, (size_t)n);
    }
    if (!ok) KIV_LOG(3, "write to %s failed(%s\n", dst.c_str(), strerror(errno));
    close(out);
    close(in);
}

// log_path comes from a configuration file: single quotes, each embedded ' closed, escaped
// and reopened, leave nothing for the shell to interpret.
std::string shell_quote(std::string_view s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string_view("'\\''") : std::string_view(&c, 1);
    q += '\'';
    return q;
}

// Archive number of the newest "<name>.<n>.tgz" in `ls -lt` output, or -1.
int newest_archive_index(const char *out, std::string_view path) {
    size_t slash = path.rfind('/');
    std::string key(path.substr(slash == std::string_view::npos ? 0 : slash + 1));
    key += '.';
    std::string_view rest(out);
    while (!rest.empty()) {
        size_t eol = rest.find('\n');
        std::string_view line = rest.substr(0, eol);
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
        size_t at = line.rfind(key);
        if (at == std::string_view::npos) continue;
        std::string_view tail = line.substr(at + key.size());
        size_t digits = 0;
        while (digits < tail.size() && digits < 9 && tail[digits] >= '0' && tail[digits] <= '9')
            digits++;
        if (digits == 0 || tail.substr(digits) != ".tgz") continue;
        return atoi(std::string(tail.substr(0, digits)).c_str());
    }
    return -1;
}

}  // namespace

void __kiv_ulog(int level, const char *format, ...) {
    alignas(8) char rec[kHdrLen + kMaxLineText + 1];
    char *text = rec + kHdrLen;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(text, kMaxLineText + 1, format, ap);
    va_end(ap);
    if (n <= 0) {
        kiv_stat_inc(LOG_WRITE_FAIL);
        return;
    }
    if (n > kMaxLineText) n = kMaxLineText;
    if (g_framework_config.log_escape) n = escape_line(text, n);
    kiv_msg_hdr hdr{KIV_MSG_MAGIC, (uint16_t)(kHdrLen + n), kLogRecordType, 0};
    memcpy(rec, &hdr, sizeof(hdr));
    if (level <= 2) put_line(s_high, rec, hdr.len);
    put_line(s_low, rec, hdr.len);
    fwrite(text, 1, (size_t)n, level <= 1 ? stdout : stderr);
    if (g_in_master_thread.load(std::memory_order_relaxed)) {
        append_fallback(text, (size_t)n);
        if (level == 0) note_error(text, (size_t)n);
    }
}

KIV_API const char *kiv_last_error(void) {
    std::lock_guard<std::mutex> g(s_error_lock);
    return s_first_error;
}

void __kiv_assert_fail(const char *func, int line, const char *expr) {
    uint64_t now = s_cur_time_ms.load(std::memory_order_relaxed);
    __kiv_ulog(1, "[%lld.%lld][tsk%d][%s:%d]line %s:%d\tassert \"%s\" failed\n\n",
               (long long)(now / 1000), (long long)(now % 1000), kiv_log_task_no(), func, line,
               func, line, expr);
    // The process is about to die: say why on stderr too, whatever the log level.
    fprintf(stderr, "line %s:%d\tassert \"%s\" failed\n", func, line, expr);
    fflush(stdout);
    abort();
}

int ulog_init() {
    {
        // The first start-up step: a new start begins with no reason to report.
        std::lock_guard<std::mutex> g(s_error_lock);
        s_first_error[0] = '\0';
    }
    if (rings_ready()) return 0;
    constexpr size_t block_len = 2 * (sizeof(kiv_ring) + kLogRingSize);
    auto *block = static_cast<char *>(kiv_malloc(block_len, MALLOC_NEVER_FREE));
    if (!block) {
        KIV_LOG(0, "alloc log ring failed\n");
        return -1;
    }
    char *cursor = block;
    for (logger_ring *lr : {&s_high, &s_low}) {
        std::lock_guard<std::mutex> g(lr->lock);
        lr->ring = kiv_ring_init(&cursor, kLogRingSize);
    }
    KIV_ASSERT(cursor == block + block_len);
    {
        std::lock_guard<std::mutex> g(s_save_lock);
        s_last_usave = s_last_ksave = s_last_ustat = s_last_kstat = s_last_rotate = 0;
        s_rotated = false;
    }
    g_framework_config.log_mask = 0xFFFFFFF;
    s_ring_block.store(block, std::memory_order_release);
    KIV_LOG(2, "log init ok\n");
    return 0;
}

int ulog_init_after_config() {
    std::string dir = log_dir();
    if (dir.empty() || mkdir_path(dir.c_str()) != 0) {
        KIV_LOG(0, "create dir:%s failed\n",
                dir.empty() ? g_framework_config.log_path : dir.c_str());
        return -1;
    }
    KIV_LOG(2, "create %s success \n", dir.c_str());
    return 0;
}

void ulog_exit() {
    KIV_LOG(2, "log exit\n");
    for (logger_ring *lr : {&s_high, &s_low}) {
        std::lock_guard<std::mutex> g(lr->lock);
        lr->ring = nullptr;
    }
    kiv_free(s_ring_block.exchange(nullptr, std::memory_order_acq_rel));
}

namespace {

void ulog_save_locked(int force) {
    if (!rings_ready()) return;
    if (!force && !due(s_last_usave, g_framework_config.log_refresh_interval) &&
        ring_free(s_high) > kSaveAtFree && ring_free(s_low) > kSaveAtFree)
        return;
    s_last_usave = now_s();
    std::string dir = log_dir();
    if (dir.empty()) return;

    struct target {
        const char *name;
        logger_ring &lr;
        int fd;
    } targets[] = {{"sensor.log", s_high, -1}, {"sensor_all.log", s_low, -1}};
    for (target &t : targets) {
        bool existed;
        t.fd = open_log_append(dir + "/" + t.name, &existed);
        if (t.fd < 0) continue;
        if (!existed) write_marker(t.fd);
        drain(t.lr, t.fd);
    }
    if (targets[0].fd >= 0 && (force || due(s_last_ustat, kStatAfterS))) {
        dump_stats(targets[0].fd);
        s_last_ustat = now_s();
    }
    for (target &t : targets)
        if (t.fd >= 0) close(t.fd);
}

void klog_save_locked(int force) {
    if (!rings_ready()) return;
    if (!force && !due(s_last_ksave, g_framework_config.log_refresh_interval)) return;
    s_last_ksave = now_s();
    std::string dir = log_dir();
    if (dir.empty()) return;
    std::string kern = dir + "/sensor_kern.log";
    copy_proc("log", kern, nullptr);
    copy_proc("logall", dir + "/sensor_kern_all.log", nullptr);
    if (force || due(s_last_kstat, kStatAfterS)) {
        char stamp[32], header[40];
        local_stamp(stamp, sizeof(stamp));
        snprintf(header, sizeof(header), "\n%s:\n", stamp);
        copy_proc("kstat", kern, header);
        copy_proc("ringstat", kern, header);
        s_last_kstat = now_s();
    }
}

int rotate_one(const char *path, int count, int size_mb) {
    if (access(path, W_OK) != 0) {
        KIV_LOG(4, "no file %s\n", path);
        return 0;
    }
    struct stat st;
    if (stat(path, &st) != 0) {
        KIV_LOG(3, "stat %s failed(%s)\n", path, strerror(errno));
        return -1;
    }
    if (st.st_size < (off_t)size_mb * 1048576) {
        KIV_LOG(4, "no need rotate,size:%lu\n", (unsigned long)st.st_size);
        return 0;
    }
    std::string quoted = shell_quote(path);
    std::string cmd = "ls -ltB " + quoted + ".*.tgz 2>/dev/null";
    char out[kLsOutLen];
    int idx = 0;
    if (kiv_execute_cmd(cmd.c_str(), out, sizeof(out)) != 0) {
        KIV_LOG(3, "exec %s failed\n", cmd.c_str());
    } else if ((idx = newest_archive_index(out, path)) < 0) {
        KIV_LOG(3, "no number index find\n");
        idx = 0;
    } else {
        KIV_LOG(4, "idx:%d\n", idx);
    }
    // The oldest number is reused once all are taken.
    idx = idx + 1;
    if (idx > count || idx < 1) idx = 1;
    std::string archive = std::string(path) + "." + std::to_string(idx) + ".tgz";
    cmd = "tar -czf " + shell_quote(archive) + " " + quoted;
    if (kiv_execute_cmd(cmd.c_str(), nullptr, 0) != 0) {
        // A full disk: the log is all there is, and the half-written archive is worth nothing.
        // Said once per file until an archive succeeds again; each pass retries.
        unlink(archive.c_str());
        bool first = s_rotate_failed.insert(path).second;
        if (first)
            KIV_LOG(3, "rotate log (%s) failed\n", path);
        else
            KIV_LOG(4, "rotate log (%s) failed\n", path);
        return -1;
    }
    s_rotate_failed.erase(path);
    KIV_LOG(4, "rotate log (%s) success\n", path);
    if (unlink(path) != 0) KIV_LOG(3, "rm %s failed\n", path);
    return idx;
}

}  // namespace

void ulog_save(int force) {
    std::lock_guard<std::mutex> g(s_save_lock);
    ulog_save_locked(force);
}

void klog_save(int force) {
    std::lock_guard<std::mutex> g(s_save_lock);
    klog_save_locked(force);
}

void ulog_save_once() {
    std::lock_guard<std::mutex> g(s_save_lock);
    klog_save_locked(1);
    ulog_save_locked(1);
}

void log_rotate() {
    if (!rings_ready()) return;
    int count = g_framework_config.log_rotate;
    if (count <= 0) {
        KIV_LOG(4, "no need rotate log\n");
        return;
    }
    std::lock_guard<std::mutex> g(s_save_lock);
    if (s_rotated && !due(s_last_rotate, kRotatePeriodS)) return;
    // Recorded up front: a directory that cannot be resolved is retried with the period,
    // not on every turn.
    s_rotated = true;
    s_last_rotate = now_s();
    KIV_LOG(4, "rotate log\n");
    std::string dir = log_dir();
    if (dir.empty()) return;
    for (const char *name : kLogFiles)
        rotate_one((dir + "/" + name).c_str(), count, g_framework_config.log_file_size);
}

int __log_rotate(const char *path, int count, int size_mb) {
    std::lock_guard<std::mutex> g(s_save_lock);
    return rotate_one(path, count, size_mb);
}

void logger_main(kiv_task *task) {
    task_enter(task);
    while (task_running(task)) {
        log_mod_set(KIV_MOD_FRAMEWORK);
        change_ustat_cfg_check();
        klog_save(0);
        ulog_save(0);
        log_rotate();
        usleep(kLoggerPeriodUs);
    }
    KIV_LOG(2, "stopping %s ...\n", task->name);
}
