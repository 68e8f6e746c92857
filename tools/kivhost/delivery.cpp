#include "delivery.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>

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

uint64_t steady_ms() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

int64_t wall_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Documents handed to a sink in one call, and bytes read from a spool in one go.
constexpr size_t kBatchDocs = 512;
constexpr size_t kBatchBytes = 1 << 20;
// Documents an asynchronous sink may hold unconfirmed, and their bytes.
constexpr size_t kWindowDocs = 10000;
constexpr uint64_t kWindowBytes = 8 << 20;
// A spool that failed is tried again after this long.
constexpr uint64_t kSpoolRetryMs = 1000;

size_t doc_cost(const DocPtr &d) {
    return d->text.size() + sizeof(Document) + 32;
}

}  // namespace

int type_slot(int32_t type) {
    return type >= 0 && type < UPLOAD_TYPE_MAX_ ? type
           : type == kHealthType                ? kHealthSlot
                                                : kUnknownSlot;
}

const char *slot_name(int slot) {
    return slot >= 0 && slot < UPLOAD_TYPE_MAX_ ? kTypeNames[slot]
           : slot == kHealthSlot                ? "SENSOR_HEALTH"
                                                : "UNKNOWN";
}

const char *upload_type_name(int32_t type) {
    return slot_name(type_slot(type));
}

// --- Output ---------------------------------------------------------------------------------

Output::Output(OutputConfig cfg, std::unique_ptr<Sink> sink, std::function<uint64_t()> now_ms)
    : cfg_(std::move(cfg)), sink_(std::move(sink)), now_(now_ms ? std::move(now_ms) : steady_ms) {}

Output::~Output() {
    if (thread_.joinable()) stop(0);
}

int Output::open(std::string *why, std::string *warn) {
    if (int e = sink_->open(why)) return e;
    if (cfg_.spool_dir.empty() || cfg_.spool_max_bytes == 0) {
        if (cfg_.write_ahead) {
            *why = "it needs its spool (documents stay there until the far end confirms them)";
            return EINVAL;
        }
        return 0;
    }
    auto spool = std::make_unique<Spool>(
        Spool::Config{cfg_.spool_dir, cfg_.spool_max_bytes, cfg_.spool_sync_ms});
    std::string sw;
    if (int e = spool->open(&sw)) {
        if (cfg_.write_ahead) {
            *why = "spool: " + sw;
            return e;
        }
        *warn = "spool: " + sw + "; documents wait in memory only";
        return 0;
    }
    spool_ = std::move(spool);
    // What an earlier run left goes first, at the replay rate.
    replaying_ = spool_->unread();
    return 0;
}

void Output::start() {
    thread_ = std::thread([this] { run(); });
}

bool Output::push(const DocPtr &d) {
    bool wake;
    {
        std::lock_guard<std::mutex> lk(mu_);
        const size_t cost = doc_cost(d);
        if (stopping_ || queue_bytes_ + cost > cfg_.queue_max_bytes) {
            dropped_queue_.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        queue_.push_back(d);
        queue_bytes_ += cost;
        wake = waiting_;
    }
    if (wake) cv_.notify_one();
    return true;
}

std::deque<DocPtr> Output::take_queue(size_t max_bytes) {
    std::deque<DocPtr> out;
    std::lock_guard<std::mutex> lk(mu_);
    size_t bytes = 0;
    while (!queue_.empty() && (out.empty() || bytes < max_bytes)) {
        const size_t cost = doc_cost(queue_.front());
        bytes += cost;
        queue_bytes_ -= cost;
        out.push_back(std::move(queue_.front()));
        queue_.pop_front();
    }
    return out;
}

void Output::put_back(std::deque<DocPtr> *batch) {
    std::lock_guard<std::mutex> lk(mu_);
    for (auto it = batch->rbegin(); it != batch->rend(); ++it) {
        queue_bytes_ += doc_cost(*it);
        queue_.push_front(std::move(*it));
    }
    batch->clear();
}

void Output::set_state(OutState s, int err) {
    if (s == state_) return;
    state_ = s;
    transitions_.fetch_add(1, std::memory_order_relaxed);
    if (s == OutState::kDown) {
        down_since_ms_.store(wall_ms());
        up_.store(false);
    } else {
        backoff_ms_ = 0;
        up_.store(true);
        // What waited in the spool goes first, at the replay rate.
        replaying_ = spool_ && spool_->unread();
    }
    if (err != 0) last_err_.store(err);
}

void Output::failed(int err, uint64_t now) {
    retried_.fetch_add(1, std::memory_order_relaxed);
    last_err_.store(err);
    backoff_ms_ = backoff_ms_ == 0 ? 1000 : std::min<uint64_t>(backoff_ms_ * 2, 30000);
    backoff_ms_ = std::min<uint64_t>(backoff_ms_, sink_->backoff_max_ms());
    retry_at_ = now + backoff_ms_;
    set_state(OutState::kDown, err);
}

bool Output::spool_usable(uint64_t now) const {
    return spool_ != nullptr && now >= spool_retry_at_;
}

bool Output::to_spool(std::deque<DocPtr> *batch, uint64_t now) {
    std::vector<SpoolItem> items;
    items.reserve(batch->size());
    for (const DocPtr &d : *batch) {
        SpoolItem it;
        it.seq = d->seq, it.type = d->type, it.text = d->text;
        items.push_back(std::move(it));
    }
    int e = spool_->append(items);
    if (e != 0) {
        // Full disk or worse: the documents wait in the queue, the spool is tried again later.
        spool_retry_at_ = now + kSpoolRetryMs;
        {
            std::lock_guard<std::mutex> lk(mu_);
            spool_error_ = strerror(e);
        }
        put_back(batch);
        return false;
    }
    if (!spool_error_.empty()) {
        std::lock_guard<std::mutex> lk(mu_);
        spool_error_.clear();
    }
    // Written ahead, a document waits only while the far end is away.
    if (!cfg_.write_ahead || state_ == OutState::kDown)
        delayed_.fetch_add(items.size(), std::memory_order_relaxed);
    batch->clear();
    return true;
}

void Output::deliver_queue(std::deque<DocPtr> *batch, uint64_t now) {
    std::vector<DocPtr> v;
    while (!batch->empty()) {
        v.assign(batch->begin(),
                 batch->begin() + static_cast<long>(std::min(batch->size(), kBatchDocs)));
        WriteResult r = sink_->write(v.data(), nullptr, v.size());
        for (size_t i = 0; i < r.done; ++i) {
            delivered_.fetch_add(1, std::memory_order_relaxed);
            delivered_bytes_.fetch_add(v[i]->text.size(), std::memory_order_relaxed);
            batch->pop_front();
        }
        if (r.err == 0) {
            set_state(OutState::kUp, 0);
            continue;
        }
        if (r.fatal) {
            fatal_.store(true);
            last_err_.store(r.err);
            set_state(OutState::kDown, r.err);
            put_back(batch);
            return;
        }
        if (r.permanent) {
            refused_.fetch_add(1, std::memory_order_relaxed);
            batch->pop_front();
            continue;
        }
        failed(r.err, now);
        if (!(spool_usable(now) && to_spool(batch, now))) put_back(batch);
        return;
    }
}

size_t Output::take_tokens(uint64_t now, size_t want) {
    if (cfg_.replay_rate == 0 || !replaying_) return want;
    const double burst = std::max(1.0, cfg_.replay_rate / 10.0);
    if (tokens_at_ == 0)
        tokens_ = burst;
    else
        tokens_ = std::min(burst, tokens_ + (now - tokens_at_) * cfg_.replay_rate / 1000.0);
    tokens_at_ = now;
    const size_t n = std::min(want, static_cast<size_t>(tokens_));
    tokens_ -= static_cast<double>(n);
    return n;
}

void Output::replay_sync(uint64_t now) {
    // While down, one document tries the far end; once it took it, the rest follow capped.
    const size_t n = state_ == OutState::kDown ? 1 : take_tokens(now, kBatchDocs);
    if (n == 0) return;
    std::vector<SpoolItem> items;
    spool_->read(n, kBatchBytes, &items);
    std::vector<DocPtr> v;
    v.reserve(items.size());
    for (SpoolItem &it : items) {
        auto d = std::make_shared<Document>();
        d->seq = it.seq, d->type = it.type, d->text = std::move(it.text);
        v.push_back(std::move(d));
    }
    size_t at = 0;
    while (at < v.size()) {
        WriteResult r = sink_->write(v.data() + at, nullptr, v.size() - at);
        for (size_t i = 0; i < r.done; ++i) {
            delivered_.fetch_add(1, std::memory_order_relaxed);
            delivered_bytes_.fetch_add(v[at + i]->text.size(), std::memory_order_relaxed);
        }
        at += r.done;
        if (r.done > 0) spool_->commit(items[at - 1].next, r.done);
        if (r.err == 0) break;
        if (r.permanent) {
            refused_.fetch_add(1, std::memory_order_relaxed);
            spool_->commit(items[at].next, 1);
            ++at;
            continue;
        }
        spool_->rewind(items[at].at);
        if (r.fatal) {
            fatal_.store(true);
            set_state(OutState::kDown, r.err);
        } else {
            failed(r.err, now);
        }
        return;
    }
    set_state(OutState::kUp, 0);
    if (!spool_->unread()) replaying_ = false;
}

void Output::reports(int timeout_ms, uint64_t now) {
    std::vector<Report> reps;
    sink_->poll(timeout_ms, &reps);
    bool ok = false;
    for (const Report &r : reps) {
        if (r.id < window_first_id_ || r.id - window_first_id_ >= window_.size()) continue;
        Flight &f = window_[r.id - window_first_id_];
        if (f.st != Flight::kPending) continue;
        if (r.err == 0) {
            f.st = Flight::kOk;
            ok = true;
        } else if (r.permanent) {
            f.st = Flight::kRefused;
        } else {
            f.st = Flight::kFailed;
            failed(r.err, now);
        }
    }
    if (ok && state_ == OutState::kDown) set_state(OutState::kUp, 0);
    while (!window_.empty() &&
           (window_.front().st == Flight::kOk || window_.front().st == Flight::kRefused)) {
        const Flight &f = window_.front();
        if (f.st == Flight::kOk) {
            delivered_.fetch_add(1, std::memory_order_relaxed);
            delivered_bytes_.fetch_add(f.doc->text.size(), std::memory_order_relaxed);
        } else {
            refused_.fetch_add(1, std::memory_order_relaxed);
        }
        // A record whose segment a full spool gave up was counted there already.
        if (spool_->commit_pos() < f.next) spool_->commit(f.next, 1);
        window_bytes_ -= f.doc->text.size();
        window_.pop_front();
        ++window_first_id_;
    }
}

void Output::produce_async(uint64_t now) {
    bool pending = false;
    for (Flight &f : window_) pending = pending || f.st == Flight::kPending;
    // Failed ones go again first, in order.
    for (size_t i = 0; i < window_.size(); ++i) {
        Flight &f = window_[i];
        if (f.st != Flight::kFailed) continue;
        const uint64_t id = window_first_id_ + i;
        WriteResult r = sink_->write(&f.doc, &id, 1);
        if (r.done == 1) {
            f.st = Flight::kPending;
            pending = true;
            continue;
        }
        if (r.permanent) {
            f.st = Flight::kRefused;
            continue;
        }
        if (r.err != EAGAIN) failed(r.err, now);
        return;
    }
    // While down, one probe at a time: the next record, when nothing else is on its way.
    size_t room = window_.size() < kWindowDocs && window_bytes_ < kWindowBytes
                      ? kWindowDocs - window_.size()
                      : 0;
    if (state_ == OutState::kDown) room = pending ? 0 : std::min<size_t>(room, 1);
    room = std::min(room, kBatchDocs);
    const size_t n = take_tokens(now, room);
    if (n == 0) return;
    std::vector<SpoolItem> items;
    spool_->read(n, kBatchBytes, &items);
    if (items.empty()) {
        replaying_ = false;
        return;
    }
    std::vector<DocPtr> v;
    std::vector<uint64_t> ids;
    const size_t base = window_.size();
    for (SpoolItem &it : items) {
        auto d = std::make_shared<Document>();
        d->seq = it.seq, d->type = it.type, d->text = std::move(it.text);
        ids.push_back(window_first_id_ + window_.size());
        window_bytes_ += d->text.size();
        window_.push_back({it.at, it.next, d, Flight::kPending});
        v.push_back(std::move(d));
    }
    size_t at = 0;
    while (at < v.size()) {
        WriteResult r = sink_->write(v.data() + at, ids.data() + at, v.size() - at);
        at += r.done;
        if (r.err == 0) break;
        if (r.permanent) {
            window_[base + at].st = Flight::kRefused;
            ++at;
            continue;
        }
        // Not taken: read again later, from this record on.
        spool_->rewind(items[at].at);
        while (window_.size() > base + at) {
            window_bytes_ -= window_.back().doc->text.size();
            window_.pop_back();
        }
        if (r.err != EAGAIN) failed(r.err, now);
        break;
    }
    if (!spool_->unread()) replaying_ = false;
}

uint64_t Output::step() {
    const uint64_t now = now_();
    if (reopen_.exchange(false)) sink_->reopen();
    const bool async = sink_->async();
    if (async) {
        reports(0, now);
        if (sink_->far_end_down() && state_ == OutState::kUp) {
            // Nothing failed yet, but nothing new is handed over until it answers again.
            backoff_ms_ = 1000;
            retry_at_ = now + backoff_ms_;
            set_state(OutState::kDown, ENOTCONN);
        }
    }
    const bool can_try = state_ == OutState::kUp || now >= retry_at_;

    bool over;
    {
        std::lock_guard<std::mutex> lk(mu_);
        over = queue_bytes_ > cfg_.queue_max_bytes / 4;
    }
    std::deque<DocPtr> batch = take_queue(kBatchBytes * 4);
    if (!batch.empty()) {
        const bool backlog = spool_ && spool_->unread();
        if (cfg_.write_ahead) {
            if (spool_usable(now))
                to_spool(&batch, now);
            else
                put_back(&batch);
        } else if ((backlog || state_ == OutState::kDown || over) && spool_usable(now)) {
            to_spool(&batch, now);
        } else if (can_try && !backlog) {
            deliver_queue(&batch, now);
        } else {
            put_back(&batch);
        }
    }
    if (spool_ && (state_ == OutState::kUp || now >= retry_at_) &&
        (spool_->unread() || (async && !window_.empty()))) {
        if (async)
            produce_async(now);
        else if (spool_->unread())
            replay_sync(now);
    }
    if (spool_) spool_->sync(now, false);

    // When to look again.
    uint64_t wait = 1000;
    if (spool_ && cfg_.spool_sync_ms > 0) wait = std::min<uint64_t>(wait, cfg_.spool_sync_ms);
    if (state_ == OutState::kDown) wait = std::min(wait, retry_at_ > now ? retry_at_ - now : 0);
    if (async && !window_.empty()) wait = std::min<uint64_t>(wait, 20);
    bool queued;
    {
        std::lock_guard<std::mutex> lk(mu_);
        queued = !queue_.empty();
    }
    const bool spool_ok = spool_usable(now_());
    if (queued && (cfg_.write_ahead ? spool_ok : state_ == OutState::kUp || spool_ok)) wait = 0;
    if (spool_ && spool_->unread() && state_ == OutState::kUp) {
        if (!replaying_ || cfg_.replay_rate == 0)
            wait = async && window_.size() >= kWindowDocs ? std::min<uint64_t>(wait, 20) : 0;
        else
            wait = std::min<uint64_t>(wait, tokens_ >= 1 ? 0 : 1 + 1000 / cfg_.replay_rate);
    }
    if (!spool_ok && spool_)
        wait = std::min(wait, spool_retry_at_ - std::min(spool_retry_at_, now));
    return wait;
}

void Output::run() {
    for (;;) {
        const uint64_t wait = step();
        std::unique_lock<std::mutex> lk(mu_);
        if (stopping_) break;
        if (wait == 0) continue;
        waiting_ = true;
        // A new document wakes the sender only when it can do something with it.
        const bool wake_on_doc = state_ == OutState::kUp || spool_ != nullptr;
        cv_.wait_for(lk, std::chrono::milliseconds(wait),
                     [&] { return stopping_ || (wake_on_doc && !queue_.empty()); });
        waiting_ = false;
        if (stopping_) break;
    }
}

void Output::stop(int wait_ms) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    // The rest, on this thread now.
    const uint64_t start = now_();
    std::deque<DocPtr> batch = take_queue(SIZE_MAX);
    if (!batch.empty()) {
        const bool backlog = spool_ && spool_->unread();
        if (cfg_.write_ahead || backlog || state_ == OutState::kDown) {
            if (!(spool_ && to_spool(&batch, start)) && !cfg_.write_ahead &&
                state_ == OutState::kUp)
                deliver_queue(&batch, start);
        } else {
            deliver_queue(&batch, start);
        }
        std::deque<DocPtr> lost = take_queue(SIZE_MAX);
        dropped_queue_.fetch_add(lost.size(), std::memory_order_relaxed);
    }
    if (!sink_->async() && spool_ && spool_->unread()) {
        // One more try whatever the back-off, then what it takes, uncapped, until the deadline.
        retry_at_ = 0;
        replaying_ = false;
        while (spool_->unread() && now_() - start < static_cast<uint64_t>(wait_ms)) {
            replay_sync(now_());
            replaying_ = false;
            if (state_ == OutState::kDown) break;
        }
    }
    if (sink_->async() && spool_) {
        // Whatever the far end confirms in time leaves the spool; the rest waits for the next
        // start there.
        while (now_() - start < static_cast<uint64_t>(wait_ms)) {
            if (state_ == OutState::kUp && spool_->unread() && window_.size() < kWindowDocs) {
                const bool was = replaying_;
                replaying_ = false;  // no rate cap on the way out
                produce_async(now_());
                replaying_ = was;
            }
            reports(20, now_());
            // Down with nothing on its way: nothing will come back before the deadline.
            if (window_.empty() && !(state_ == OutState::kUp && spool_->unread())) break;
        }
    }
    if (spool_) spool_->sync(now_(), true);
}

OutputStats Output::stats() const {
    OutputStats s;
    s.name = cfg_.name;
    s.up = up_.load();
    s.down_since_ms = s.up ? 0 : down_since_ms_.load();
    s.last_err = last_err_.load();
    {
        std::lock_guard<std::mutex> lk(mu_);
        s.queued = queue_.size();
        s.queued_bytes = queue_bytes_;
        s.spool_error = spool_error_;
    }
    if (spool_) {
        s.spooled = spool_->pending();
        s.spooled_bytes = spool_->bytes();
        s.dropped_spool_full = spool_->dropped_full();
        s.dropped_damaged = spool_->damaged();
    }
    s.delivered = delivered_.load(), s.delivered_bytes = delivered_bytes_.load();
    s.retried = retried_.load(), s.delayed = delayed_.load();
    s.dropped_queue_full = dropped_queue_.load(), s.refused = refused_.load();
    s.transitions = transitions_.load();
    return s;
}

// --- SeqStore -------------------------------------------------------------------------------

namespace {
constexpr const char *kSeqHead = "qxkiv seq 1";
}

int SeqStore::load(const std::string &host, uint64_t *start, uint64_t *skipped_from) {
    host_ = host;
    *start = *skipped_from = 0;
    char buf[512] = {};
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t n = read(fd, buf, sizeof buf - 1);
        ::close(fd);
        char uuid[256] = {};
        uint64_t next = 0, reserved = 0;
        int clean = 0;
        if (n > 0 && strncmp(buf, kSeqHead, strlen(kSeqHead)) == 0 &&
            sscanf(buf + strlen(kSeqHead), " %255s %" SCNu64 " %" SCNu64 " %d", uuid, &next,
                   &reserved, &clean) == 4 &&
            host == uuid && next <= reserved) {
            *skipped_from = next;
            *start = clean ? next : reserved;
            if (clean) *skipped_from = *start;
        }
    } else if (errno != ENOENT) {
        return errno;
    }
    reserved_.store(*start);
    return reserve(*start);
}

int SeqStore::write(uint64_t next, uint64_t reserved, bool clean) {
    char text[512];
    int len = snprintf(text, sizeof text, "%s %s %" PRIu64 " %" PRIu64 " %d\n", kSeqHead,
                       host_.c_str(), next, reserved, clean ? 1 : 0);
    if (len <= 0 || len >= static_cast<int>(sizeof text)) return ENAMETOOLONG;
    const std::string tmp = path_ + ".new";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return errno;
    int rc = ::write(fd, text, static_cast<size_t>(len)) == len ? 0 : (errno ? errno : EIO);
    // The reservation must be on disk before a number from it is given out.
    if (rc == 0 && fsync(fd) != 0) rc = errno;
    if (::close(fd) != 0 && rc == 0) rc = errno;
    if (rc == 0 && rename(tmp.c_str(), path_.c_str()) != 0) rc = errno;
    if (rc != 0) unlink(tmp.c_str());
    return rc;
}

int SeqStore::reserve(uint64_t next) {
    if (next + kAhead / 2 <= reserved()) return 0;
    const uint64_t until = next + kAhead;
    int rc = write(next, until, false);
    // Unwritten, the numbers are still given: a repeat after a crash is visible by seq_id.
    reserved_.store(until);
    return rc;
}

int SeqStore::close(uint64_t next) {
    reserved_.store(next);
    return write(next, next, true);
}

// --- Delivery -------------------------------------------------------------------------------

bool shape_native(std::string_view text, int32_t, Delivery::Shaped *out) {
    out->text.assign(text.data(), text.size());
    // Unformatted JSON has no raw line breaks; should one slip in, it must not split the line.
    for (char &c : out->text)
        if (c == '\n' || c == '\r') c = ' ';
    // The envelope's seq_id comes before the event, and only the agent's own texts stand
    // before it, so its first occurrence is the envelope's.
    static constexpr std::string_view kKey = ",\"seq_id\":\"";
    size_t at = out->text.find(kKey);
    if (at == std::string::npos) return true;
    at += kKey.size();
    size_t end = at;
    while (end < out->text.size() && out->text[end] >= '0' && out->text[end] <= '9') ++end;
    if (end >= out->text.size() || out->text[end] != '"') return true;
    out->text.erase(at, end - at);
    out->seq_at = at;
    return true;
}

int Delivery::upload(const char *text, uint32_t len, int32_t type) {
    if (text == nullptr || len == 0 || len > kSpoolMaxRecord) {
        refused_.fetch_add(1, std::memory_order_relaxed);
        return -1;
    }
    const int slot = type_slot(type);
    if (only_ != 0 && (only_ & (1u << slot)) == 0) {
        left_out_.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    Shaped s;
    if (!(shape_ ? shape_(std::string_view(text, len), type, &s)
                 : shape_native(std::string_view(text, len), type, &s))) {
        refused_.fetch_add(1, std::memory_order_relaxed);
        return -1;
    }
    size_t taken = 0;
    {
        std::lock_guard<std::mutex> lk(mu_);
        const uint64_t seq = seq_.load(std::memory_order_relaxed);
        if (store_ != nullptr && seq + SeqStore::kAhead / 4 >= store_->reserved())
            store_->reserve(seq);  // the main loop fell behind: on this thread, rarely
        auto doc = std::make_shared<Document>();
        doc->seq = seq, doc->type = type;
        if (s.seq_at == std::string::npos) {
            doc->text = std::move(s.text);
        } else {
            char digits[24];
            int n = snprintf(digits, sizeof digits, "%" PRIu64, seq);
            doc->text.reserve(s.text.size() + static_cast<size_t>(n));
            doc->text.append(s.text, 0, s.seq_at).append(digits, static_cast<size_t>(n));
            doc->text.append(s.text, s.seq_at, std::string::npos);
        }
        DocPtr shared = std::move(doc);
        for (auto &o : outputs_) taken += o->push(shared) ? 1 : 0;
        // A number nobody took is given again: the gap would say a document was lost.
        if (taken > 0) seq_.store(seq + 1, std::memory_order_relaxed);
    }
    if (taken == 0) {
        refused_.fetch_add(1, std::memory_order_relaxed);
        return -1;
    }
    docs_[slot].fetch_add(1, std::memory_order_relaxed);
    bytes_.fetch_add(len, std::memory_order_relaxed);
    return 0;
}

void Delivery::tick() {
    if (store_ != nullptr) store_->reserve(seq_.load(std::memory_order_relaxed));
}

void Delivery::stop(int wait_ms) {
    for (auto &o : outputs_) o->stop(wait_ms);
    if (store_ != nullptr) store_->close(seq_.load());
}

bool Delivery::fatal() const {
    for (const auto &o : outputs_)
        if (o->fatal()) return true;
    return false;
}

std::string output_line(const OutputStats &s) {
    char line[600], state[96] = "up";
    if (!s.up) {
        // "down since 2026-12-08T17:53:15+0000 (Connection refused)"
        time_t sec = static_cast<time_t>(s.down_since_ms / 1000);
        struct tm tm;
        localtime_r(&sec, &tm);
        char when[40];
        strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S%z", &tm);
        snprintf(state, sizeof state, "down since %s (%s)", when,
                 s.last_err ? strerror(s.last_err) : "?");
    }
    snprintf(line, sizeof line,
             "  output %s: %s, %" PRIu64 " delivered, %" PRIu64 " queued, %" PRIu64
             " spooled (%" PRIu64 " bytes), %" PRIu64 " went through the spool, %" PRIu64
             " retried, dropped %" PRIu64 " (queue full %" PRIu64 ", spool full %" PRIu64
             ", damaged %" PRIu64 ", refused %" PRIu64 ")\n",
             s.name.c_str(), state, s.delivered, s.queued, s.spooled, s.spooled_bytes, s.delayed,
             s.retried, s.dropped_queue_full + s.dropped_spool_full + s.dropped_damaged + s.refused,
             s.dropped_queue_full, s.dropped_spool_full, s.dropped_damaged, s.refused);
    return line;
}

std::string Delivery::summary(double elapsed_s) const {
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
        snprintf(line, sizeof line, "  %-24s %llu\n", slot_name(i),
                 static_cast<unsigned long long>(documents(i)));
        s += line;
    }
    if (left_out() != 0) s += "  left out by --only: " + std::to_string(left_out()) + "\n";
    for (const auto &o : outputs_) s += output_line(o->stats()) + o->sink()->summary_extra();
    return s;
}

}  // namespace kivhost
