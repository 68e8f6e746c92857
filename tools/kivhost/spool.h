// An output's disk spool: documents its output could not take yet, kept in append-only segment
// files in one directory and read back in order. Each record carries its length and a
// checksum, so a record torn by a crash or damaged later is found, skipped and counted, never
// sent. Bounded in bytes: a full spool gives up its oldest segment, counting what it held.
// What was delivered is kept as a cursor file beside the segments, so a restart sends what
// is left, at least once. One thread uses a spool; the counters may be read from any.
#ifndef KIVHOST_SPOOL_H
#define KIVHOST_SPOOL_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace kivhost {

// Record layout, little-endian: magic, payload length, seq, upload type, then the CRC-32
// (zlib's) of bytes 4..19 and the payload, then the payload.
constexpr uint32_t kSpoolMagic = 0x31535851;  // "QXS1"
constexpr size_t kSpoolHead = 24;
// A document longer than this is never spooled (the library's are a few hundred KiB at most).
constexpr uint32_t kSpoolMaxRecord = 16u << 20;

// The bytes of one record.
std::string spool_record(uint64_t seq, int32_t type, std::string_view text);

struct SpoolPos {
    uint64_t seg = 0;  // segment number
    uint64_t off = 0;  // byte offset in it
    bool operator==(const SpoolPos &) const = default;
    auto operator<=>(const SpoolPos &) const = default;
};

struct SpoolItem {
    SpoolPos at, next;  // where the record starts, where the next one does
    uint64_t seq = 0;
    int32_t type = 0;
    std::string text;
};

class Spool {
  public:
    struct Config {
        std::string dir;
        uint64_t max_bytes = 256ull << 20;
        uint32_t sync_ms = 1000;  // 0: every append is synced
    };
    explicit Spool(Config c);
    ~Spool();  // syncs and keeps the cursor
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;

    // Makes the directory (0700) and takes over what an earlier run left: records after the
    // cursor are pending, a torn tail of the last segment is cut off (counted as damaged).
    // 0, or an errno with *why.
    int open(std::string *why);

    // Appends records in order, all or none: after a failed write the segment is cut back.
    // A full spool first drops its oldest segments (their pending records counted). 0 or an
    // errno.
    int append(const std::vector<SpoolItem> &items);

    // Up to max_records (and about max_bytes) records from the read cursor onwards, which then
    // moves past them. Damaged bytes are skipped to the next good record and counted once.
    size_t read(size_t max_records, size_t max_bytes, std::vector<SpoolItem> *out);
    // Reading starts again at at (a record's start at or after the commit point).
    void rewind(SpoolPos at);

    // Records before next, n of them, were delivered: whole segments before it are removed.
    void commit(SpoolPos next, uint64_t n);

    // Data and cursor to disk when sync_ms passed since the last sync (force: now). 0 or errno.
    int sync(uint64_t now_ms, bool force);

    SpoolPos commit_pos() const { return commit_; }
    SpoolPos read_pos() const { return read_; }
    SpoolPos end_pos() const;
    bool unread() const { return read_ < end_pos(); }

    // Pending: appended and neither delivered, dropped nor found damaged.
    uint64_t pending() const { return pending_.load(std::memory_order_relaxed); }
    uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    uint64_t dropped_full() const { return dropped_full_.load(std::memory_order_relaxed); }
    uint64_t damaged() const { return damaged_.load(std::memory_order_relaxed); }
    const std::string &dir() const { return cfg_.dir; }

  private:
    struct Segment {
        uint64_t id;
        uint64_t size;     // bytes in the file
        uint64_t records;  // good records in it
    };
    std::string seg_path(uint64_t id) const;
    int open_append();
    int new_segment();
    void drop_oldest();
    void remove_segment(size_t index);
    int write_cursor();
    Segment *find(uint64_t id);
    // Scans [from, size) of a segment: good records counted, the end of the last good one.
    uint64_t scan(uint64_t id, uint64_t from, uint64_t size, uint64_t *records) const;
    void count_pending();

    Config cfg_;
    uint64_t seg_max_;
    std::deque<Segment> segs_;
    int append_fd_ = -1;
    int read_fd_ = -1;
    uint64_t read_fd_seg_ = 0;
    uint64_t next_id_ = 1;
    SpoolPos commit_, read_, cursor_written_;
    SpoolPos damage_counted_;  // damage before this was counted already
    bool dirty_ = false, dir_dirty_ = false;
    uint64_t last_sync_ms_ = 0;
    std::atomic<uint64_t> pending_{0}, bytes_{0}, dropped_full_{0}, damaged_{0};
};

}  // namespace kivhost

#endif
