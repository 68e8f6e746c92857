#include "spool.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>

namespace kivhost {

namespace {

void put32(char *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}
void put64(char *p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<char>(v >> (8 * i));
}
uint32_t get32(const char *p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(p[i]);
    return v;
}
uint64_t get64(const char *p) {
    return get32(p) | static_cast<uint64_t>(get32(p + 4)) << 32;
}

uint32_t record_crc(const char *head, const char *payload, size_t len) {
    uLong c = crc32(0L, reinterpret_cast<const Bytef *>(head + 4), 16);
    // zlib takes lengths as uInt: a record is at most 16 MiB.
    return static_cast<uint32_t>(
        crc32(c, reinterpret_cast<const Bytef *>(payload), static_cast<uInt>(len)));
}

// A record at the start of buf (avail bytes of it there): its payload length when whole and
// good, -1 when damaged, -2 when it may be good but needs bytes beyond avail.
long long check_record(const char *buf, size_t avail) {
    if (avail < kSpoolHead) return -2;
    if (get32(buf) != kSpoolMagic) return -1;
    const uint32_t len = get32(buf + 4);
    if (len > kSpoolMaxRecord) return -1;
    if (avail < kSpoolHead + len) return -2;
    return record_crc(buf, buf + kSpoolHead, len) == get32(buf + 20) ? static_cast<long long>(len)
                                                                     : -1;
}

ssize_t pread_fully(int fd, char *buf, size_t len, uint64_t off) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = pread(fd, buf + done, len - done, static_cast<off_t>(off + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

constexpr const char *kSegSuffix = ".spool";
constexpr const char *kCursorHead = "qxkiv spool cursor 1\n";
// Bytes read from a segment at a time.
constexpr size_t kChunk = 256 << 10;

// Bytes of one segment file through a buffer, so records are parsed without a read each.
class ChunkReader {
  public:
    explicit ChunkReader(int fd) : fd_(fd) {}
    // [off, off + len) of the file, or null when the file ends before.
    const char *at(uint64_t off, size_t len) {
        if (off >= base_ && off + len <= base_ + buf_.size()) return buf_.data() + (off - base_);
        buf_.resize(std::max(len, kChunk));
        ssize_t n = pread_fully(fd_, buf_.data(), buf_.size(), off);
        buf_.resize(n > 0 ? static_cast<size_t>(n) : 0);
        base_ = off;
        return buf_.size() >= len ? buf_.data() : nullptr;
    }

  private:
    int fd_;
    uint64_t base_ = 0;
    std::string buf_;
};

// Walks the records of [from, size): good(at, next, record, payload length) for each good one
// (at most max_records, stopping once max_bytes of payload were passed), damaged(from, to) for
// each run of bytes that holds none. Returns where it stopped.
template <typename Good, typename Damaged>
uint64_t walk_records(ChunkReader &r, uint64_t from, uint64_t size, size_t max_records,
                      size_t max_bytes, Good good, Damaged damaged) {
    uint64_t off = from, bad_from = UINT64_MAX;
    size_t records = 0, bytes = 0;
    while (off < size && records < max_records && bytes < max_bytes) {
        const char *rec = nullptr;
        uint32_t len = 0;
        if (off + kSpoolHead <= size) {
            const char *h = r.at(off, kSpoolHead);
            if (h != nullptr && get32(h) == kSpoolMagic &&
                (len = get32(h + 4)) <= kSpoolMaxRecord && off + kSpoolHead + len <= size) {
                rec = r.at(off, kSpoolHead + len);
                if (rec != nullptr && check_record(rec, kSpoolHead + len) < 0) rec = nullptr;
            }
        }
        if (rec == nullptr) {
            // Damaged here: the next good record starts somewhere after.
            if (bad_from == UINT64_MAX) bad_from = off;
            ++off;
            continue;
        }
        if (bad_from != UINT64_MAX) damaged(bad_from, off), bad_from = UINT64_MAX;
        good(off, off + kSpoolHead + len, rec, len);
        off += kSpoolHead + len;
        ++records;
        bytes += len;
    }
    if (bad_from != UINT64_MAX) damaged(bad_from, off);
    return off;
}

}  // namespace

std::string spool_record(uint64_t seq, int32_t type, std::string_view text) {
    std::string r(kSpoolHead + text.size(), '\0');
    put32(r.data(), kSpoolMagic);
    put32(r.data() + 4, static_cast<uint32_t>(text.size()));
    put64(r.data() + 8, seq);
    put32(r.data() + 16, static_cast<uint32_t>(type));
    memcpy(r.data() + kSpoolHead, text.data(), text.size());
    put32(r.data() + 20, record_crc(r.data(), r.data() + kSpoolHead, text.size()));
    return r;
}

Spool::Spool(Config c) : cfg_(std::move(c)) {
    // Eight segments or so: dropping the oldest gives up an eighth of the spool.
    seg_max_ = std::clamp<uint64_t>(cfg_.max_bytes / 8, 64 << 10, 32 << 20);
}

Spool::~Spool() {
    if (append_fd_ >= 0) sync(0, true);
    // Nothing pending: the directory is left empty.
    if (pending() == 0 && !cfg_.dir.empty()) {
        if (append_fd_ >= 0) close(append_fd_);
        append_fd_ = -1;
        while (!segs_.empty()) remove_segment(0);
        unlink((cfg_.dir + "/cursor").c_str());
    }
    if (append_fd_ >= 0) close(append_fd_);
    if (read_fd_ >= 0) close(read_fd_);
}

std::string Spool::seg_path(uint64_t id) const {
    char name[40];
    snprintf(name, sizeof name, "/%020" PRIu64 "%s", id, kSegSuffix);
    return cfg_.dir + name;
}

Spool::Segment *Spool::find(uint64_t id) {
    for (Segment &s : segs_)
        if (s.id == id) return &s;
    return nullptr;
}

SpoolPos Spool::end_pos() const {
    return segs_.empty() ? SpoolPos{} : SpoolPos{segs_.back().id, segs_.back().size};
}

uint64_t Spool::scan(uint64_t id, uint64_t from, uint64_t size, uint64_t *records) const {
    *records = 0;
    int fd = ::open(seg_path(id).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return from;
    ChunkReader r(fd);
    uint64_t good_end = from;
    walk_records(
        r, from, size, SIZE_MAX, SIZE_MAX,
        [&](uint64_t, uint64_t next, const char *, size_t) {
            ++*records;
            good_end = next;
        },
        [](uint64_t, uint64_t) {});
    close(fd);
    return good_end;
}

int Spool::open(std::string *why) {
    for (size_t at = 1; (at = cfg_.dir.find('/', at)) != std::string::npos; ++at)
        mkdir(cfg_.dir.substr(0, at).c_str(), 0750);
    if (mkdir(cfg_.dir.c_str(), 0700) != 0 && errno != EEXIST) {
        int e = errno;
        *why = "cannot make " + cfg_.dir + ": " + strerror(e);
        return e;
    }
    struct stat st {};
    if (lstat(cfg_.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *why = cfg_.dir + " is not a directory";
        return ENOTDIR;
    }
    if (st.st_uid != geteuid()) {
        *why = cfg_.dir + " belongs to uid " + std::to_string(st.st_uid) + ", not to this agent";
        return EPERM;
    }
    DIR *d = opendir(cfg_.dir.c_str());
    if (d == nullptr) {
        int e = errno;
        *why = "cannot read " + cfg_.dir + ": " + strerror(e);
        return e;
    }
    std::vector<uint64_t> ids;
    while (struct dirent *e = readdir(d)) {
        const char *n = e->d_name;
        size_t len = strlen(n);
        if (len != 20 + strlen(kSegSuffix) || strcmp(n + 20, kSegSuffix) != 0) continue;
        uint64_t id = 0;
        bool digits = true;
        for (int i = 0; i < 20; ++i) {
            digits = digits && n[i] >= '0' && n[i] <= '9';
            id = id * 10 + static_cast<uint64_t>(n[i] - '0');
        }
        if (digits && id != 0) ids.push_back(id);
        next_id_ = std::max(next_id_, id + 1);
    }
    closedir(d);
    std::sort(ids.begin(), ids.end());

    uint64_t total = 0;
    for (uint64_t id : ids) {
        struct stat ss {};
        if (stat(seg_path(id).c_str(), &ss) != 0) continue;
        segs_.push_back({id, static_cast<uint64_t>(ss.st_size), 0});
        total += static_cast<uint64_t>(ss.st_size);
    }

    // Where delivery stopped; without a readable cursor, everything is sent again.
    SpoolPos cur = segs_.empty() ? SpoolPos{} : SpoolPos{segs_.front().id, 0};
    {
        char buf[128] = {};
        int fd = ::open((cfg_.dir + "/cursor").c_str(), O_RDONLY | O_CLOEXEC);
        ssize_t n = fd >= 0 ? ::read(fd, buf, sizeof buf - 1) : -1;
        if (fd >= 0) close(fd);
        uint64_t seg = 0, off = 0;
        const size_t head = strlen(kCursorHead);
        if (n > static_cast<ssize_t>(head) && memcmp(buf, kCursorHead, head) == 0 &&
            sscanf(buf + head, "%" SCNu64 " %" SCNu64, &seg, &off) == 2) {
            // Segment numbers only grow, also over a cursor whose segments are gone.
            next_id_ = std::max(next_id_, seg + 1);
        } else {
            seg = 0;
        }
        if (seg != 0 && !segs_.empty()) {
            if (seg < segs_.front().id)
                cur = {segs_.front().id, 0};
            else if (seg > segs_.back().id)
                cur = end_pos();
            else if (const Segment *s = find(seg))
                cur = {seg, std::min(off, s->size)};
            else  // the cursor's segment is gone: the next one starts
                for (const Segment &s : segs_)
                    if (s.id > seg) {
                        cur = {s.id, 0};
                        break;
                    }
        }
    }
    // Segments wholly before the cursor were delivered.
    while (!segs_.empty() && segs_.front().id < cur.seg) remove_segment(0);

    // Count what is pending; cut a torn tail off the last segment.
    uint64_t pending = 0;
    for (size_t i = 0; i < segs_.size(); ++i) {
        Segment &s = segs_[i];
        uint64_t before = 0;
        if (s.id == cur.seg && cur.off > 0) scan(s.id, 0, cur.off, &before);
        uint64_t recs = 0;
        const uint64_t from = s.id == cur.seg ? cur.off : 0;
        const uint64_t good_end = scan(s.id, from, s.size, &recs);
        s.records = before + recs;
        pending += recs;
        if (i + 1 == segs_.size() && good_end < s.size) {
            if (truncate(seg_path(s.id).c_str(), static_cast<off_t>(good_end)) == 0) {
                damaged_.fetch_add(1, std::memory_order_relaxed);
                total -= s.size - good_end;
                s.size = good_end;
            }
        }
    }
    commit_ = read_ = damage_counted_ = cur;
    pending_.store(pending, std::memory_order_relaxed);
    bytes_.store(total, std::memory_order_relaxed);
    // The file says what this run starts from before anything is appended.
    int e = write_cursor();
    if (e != 0) {
        *why = "cannot write " + cfg_.dir + "/cursor: " + strerror(e);
        return e;
    }
    cursor_written_ = commit_;
    return 0;
}

int Spool::open_append() {
    if (append_fd_ >= 0) return 0;
    if (segs_.empty()) return new_segment();
    append_fd_ =
        ::open(seg_path(segs_.back().id).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    return append_fd_ >= 0 ? 0 : errno;
}

int Spool::new_segment() {
    const uint64_t id = next_id_;
    int fd = ::open(seg_path(id).c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return errno;
    if (append_fd_ >= 0) {
        // The segment being left goes to disk now: its data is older than anything after.
        if (dirty_) fdatasync(append_fd_);
        close(append_fd_);
    }
    append_fd_ = fd;
    dirty_ = false;
    dir_dirty_ = true;
    segs_.push_back({id, 0, 0});
    ++next_id_;
    if (segs_.size() == 1) commit_ = read_ = damage_counted_ = {id, 0};
    return 0;
}

void Spool::remove_segment(size_t index) {
    const Segment s = segs_[index];
    if (read_fd_ >= 0 && read_fd_seg_ == s.id) {
        close(read_fd_);
        read_fd_ = -1;
    }
    unlink(seg_path(s.id).c_str());
    bytes_.fetch_sub(std::min(s.size, bytes()), std::memory_order_relaxed);
    segs_.erase(segs_.begin() + static_cast<long>(index));
    dir_dirty_ = true;
}

void Spool::drop_oldest() {
    const Segment &s = segs_.front();
    // Records of it at or after the commit point were never delivered.
    uint64_t before = 0;
    if (s.id == commit_.seg && commit_.off > 0) scan(s.id, 0, commit_.off, &before);
    const uint64_t lost = s.id < commit_.seg ? 0 : s.records - std::min(before, s.records);
    dropped_full_.fetch_add(lost, std::memory_order_relaxed);
    pending_.fetch_sub(std::min(lost, pending()), std::memory_order_relaxed);
    const uint64_t id = s.id;
    remove_segment(0);
    const SpoolPos next = segs_.empty() ? SpoolPos{id + 1, 0} : SpoolPos{segs_.front().id, 0};
    if (commit_ < next) commit_ = next;
    if (read_ < next) read_ = next;
    if (damage_counted_ < next) damage_counted_ = next;
}

int Spool::append(const std::vector<SpoolItem> &items) {
    if (items.empty()) return 0;
    std::string buf;
    for (const SpoolItem &it : items) {
        if (it.text.size() > kSpoolMaxRecord) return EMSGSIZE;
        buf += spool_record(it.seq, it.type, it.text);
    }
    if (buf.size() > cfg_.max_bytes) return ENOSPC;
    if (int e = open_append()) return e;
    if (segs_.back().size > 0 && segs_.back().size + buf.size() > seg_max_)
        if (int e = new_segment()) return e;
    // Room first: the oldest segments give way, never the one written now.
    while (bytes() + buf.size() > cfg_.max_bytes && segs_.size() > 1) drop_oldest();
    if (bytes() + buf.size() > cfg_.max_bytes) {
        if (int e = new_segment()) return e;
        while (segs_.size() > 1) drop_oldest();
    }
    Segment &s = segs_.back();
    size_t done = 0;
    int err = 0;
    while (done < buf.size()) {
        ssize_t n = write(append_fd_, buf.data() + done, buf.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (err != 0) {
        // Nothing of a failed batch stays: a later append must not follow a torn record.
        if (done > 0 && ftruncate(append_fd_, static_cast<off_t>(s.size)) != 0) {
            close(append_fd_);
            append_fd_ = -1;
            int e = new_segment();  // the torn bytes stay behind and are skipped when read
            (void)e;
        }
        return err;
    }
    s.size += buf.size();
    s.records += items.size();
    bytes_.fetch_add(buf.size(), std::memory_order_relaxed);
    pending_.fetch_add(items.size(), std::memory_order_relaxed);
    dirty_ = true;
    if (cfg_.sync_ms == 0) sync(0, true);
    return 0;
}

size_t Spool::read(size_t max_records, size_t max_bytes, std::vector<SpoolItem> *out) {
    size_t got = 0, bytes = 0;
    while (got < max_records && bytes < max_bytes && !segs_.empty()) {
        const Segment *s = find(read_.seg);
        if (s == nullptr) {
            // Dropped or never there: the first segment after it.
            const Segment *next = nullptr;
            for (const Segment &c : segs_)
                if (c.id > read_.seg) {
                    next = &c;
                    break;
                }
            if (next == nullptr) break;
            read_ = {next->id, 0};
            continue;
        }
        if (read_.off >= s->size) {
            if (s->id == segs_.back().id) break;
            read_ = {s->id + 1, 0};
            continue;
        }
        if (read_fd_ < 0 || read_fd_seg_ != s->id) {
            if (read_fd_ >= 0) close(read_fd_);
            read_fd_ = ::open(seg_path(s->id).c_str(), O_RDONLY | O_CLOEXEC);
            read_fd_seg_ = s->id;
            if (read_fd_ < 0) {
                read_ = {s->id, s->size};  // unreadable: counted as damaged once
                damaged_.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
        }
        ChunkReader r(read_fd_);
        const uint64_t seg = s->id;
        read_.off = walk_records(
            r, read_.off, s->size, max_records - got, max_bytes - bytes,
            [&](uint64_t at, uint64_t next, const char *rec, size_t len) {
                SpoolItem it;
                it.at = {seg, at};
                it.next = {seg, next};
                it.seq = get64(rec + 8);
                it.type = static_cast<int32_t>(get32(rec + 16));
                it.text.assign(rec + kSpoolHead, len);
                out->push_back(std::move(it));
                ++got;
                bytes += len;
            },
            [&](uint64_t from, uint64_t to) {
                // Damage is counted once, also when a failed delivery reads it again.
                if (damage_counted_ <= SpoolPos{seg, from}) {
                    damaged_.fetch_add(1, std::memory_order_relaxed);
                    damage_counted_ = {seg, to};
                }
            });
    }
    return got;
}

void Spool::rewind(SpoolPos at) {
    if (at < commit_) at = commit_;
    read_ = at;
}

void Spool::commit(SpoolPos next, uint64_t n) {
    pending_.fetch_sub(std::min(n, pending()), std::memory_order_relaxed);
    if (next <= commit_) return;
    commit_ = next;
    if (read_ < commit_) read_ = commit_;
    // Whole segments before the commit point are delivered.
    while (segs_.size() > 1 && segs_.front().id < commit_.seg) remove_segment(0);
}

int Spool::write_cursor() {
    char text[96];
    int len = snprintf(text, sizeof text, "%s%" PRIu64 " %" PRIu64 "\n", kCursorHead, commit_.seg,
                       commit_.off);
    const std::string path = cfg_.dir + "/cursor", tmp = path + ".new";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return errno;
    int rc = write(fd, text, static_cast<size_t>(len)) == len ? 0 : (errno ? errno : EIO);
    if (close(fd) != 0 && rc == 0) rc = errno;
    if (rc == 0 && rename(tmp.c_str(), path.c_str()) != 0) rc = errno;
    if (rc != 0) unlink(tmp.c_str());
    return rc;
}

int Spool::sync(uint64_t now_ms, bool force) {
    if (!force && now_ms - last_sync_ms_ < cfg_.sync_ms) return 0;
    last_sync_ms_ = now_ms;
    int rc = 0;
    if (dirty_ && append_fd_ >= 0 && fdatasync(append_fd_) != 0) rc = errno;
    dirty_ = false;
    if (dir_dirty_) {
        int dfd = ::open(cfg_.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) fsync(dfd), close(dfd);
        dir_dirty_ = false;
    }
    if (!(commit_ == cursor_written_)) {
        int e = write_cursor();
        if (e == 0) cursor_written_ = commit_;
        if (rc == 0) rc = e;
    }
    return rc;
}

}  // namespace kivhost
