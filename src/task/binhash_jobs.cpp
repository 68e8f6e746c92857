// Hashing threads of the digest cache. A file missing from the cache is hashed here rather
// than on a collector, so a large file costs its own record a wait, not everyone's records.
// Users are served fairly: one running file per user at a time, the user who has hashed the
// least in the current window first, and a share per window beyond which a user's files are
// not hashed at all until the window turns.
#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/log.h"
#include "base/mem.h"
#include "comm/timer.h"
#include "task/binhash.h"

namespace {

enum job_state : uint8_t { JOB_FREE, JOB_QUEUED, JOB_RUNNING, JOB_DONE, JOB_FAILED };

struct job {
    job_state state;
    uint64_t seq;      // submission order
    uint64_t done_ms;  // cached clock when it finished
    binhash_job_file f;
    binhash_info rec;
};

constexpr uint32_t kUsers = 32;

struct user_use {
    uint32_t uid;
    bool used;
    uint64_t window_ms;  // start of the window the bytes belong to
    uint64_t bytes;      // charged in that window
    uint64_t inline_bytes;  // of which hashed on the event path
    uint64_t logged_ms;  // window of the last refusal line
};

struct jobs_state {
    std::mutex lock;
    std::condition_variable cv;
    job *jobs = nullptr;
    user_use users[kUsers] = {};
    std::thread threads[BINHASH_THREADS];
    unsigned nthreads = 0;
    std::atomic<bool> stop{false};
    uint64_t seq = 0;
};

jobs_state s_jobs;


uint64_t now_ms() {
    return kiv_now_ms();
}

bool window_over(uint64_t start, uint64_t now) {
    return now < start || now - start >= BINHASH_WINDOW_MS;
}

// Under the lock. The user's slot, its window turned when due; a new user takes a free slot
// or the one idle longest.
user_use &user_of(uint32_t uid, uint64_t now) {
    user_use *pick = nullptr;
    for (user_use &u : s_jobs.users) {
        if (u.used && u.uid == uid) {
            pick = &u;
            break;
        }
        if (pick == nullptr || !u.used || (pick->used && u.window_ms < pick->window_ms))
            pick = &u;
    }
    if (!pick->used || pick->uid != uid) *pick = user_use{uid, true, now, 0, 0, UINT64_MAX};
    if (window_over(pick->window_ms, now)) {
        pick->window_ms = now;
        pick->bytes = pick->inline_bytes = 0;
    }
    return *pick;
}

// Under the lock: with a fixed cached clock (tests) finished jobs stay until room is needed.
void release(job &j) {
    if (j.f.fd >= 0) close(j.f.fd);
    j.f.fd = -1;
    j.state = JOB_FREE;
}

void refuse_log(user_use &u, const binhash_job_file &f, const char *why) {
    kiv_stat_inc(TASK_BINHASH_REFUSED_CNT);
    if (u.logged_ms == u.window_ms) return;  // once per window and user
    u.logged_ms = u.window_ms;
    KIV_LOG(2, "%s of uid %u: %s not hashed, reported without digests\n", why, u.uid, f.path);
}

// Under the lock: the next queued job whose user has none running, the user with the least
// hashed in its window first, then in order of submission.
job *pick_job(uint64_t now) {
    job *best = nullptr;
    uint64_t best_bytes = 0;
    for (uint32_t i = 0; i < BINHASH_JOBS_MAX; i++) {
        job &j = s_jobs.jobs[i];
        if (j.state != JOB_QUEUED) continue;
        bool busy = false;
        for (uint32_t k = 0; k < BINHASH_JOBS_MAX && !busy; k++)
            busy = s_jobs.jobs[k].state == JOB_RUNNING && s_jobs.jobs[k].f.uid == j.f.uid;
        if (busy) continue;
        uint64_t bytes = user_of(j.f.uid, now).bytes;
        if (best == nullptr || bytes < best_bytes || (bytes == best_bytes && j.seq < best->seq)) {
            best = &j;
            best_bytes = bytes;
        }
    }
    return best;
}

void worker(unsigned no) {
    char name[16];
    snprintf(name, sizeof(name), "KivDigest%u", no);
    pthread_setname_np(pthread_self(), name);
    log_mod_set(1);  // the process module's lines
    std::unique_lock<std::mutex> lk(s_jobs.lock);
    for (;;) {
        job *j = nullptr;
        s_jobs.cv.wait(lk, [&] {
            return s_jobs.stop.load(std::memory_order_relaxed) || (j = pick_job(now_ms()));
        });
        if (s_jobs.stop.load(std::memory_order_relaxed)) return;
        j->state = JOB_RUNNING;
        lk.unlock();
        binhash_info rec{};
        int r = binhash_job_hash(j->f, &rec, &s_jobs.stop);
        lk.lock();
        j->rec = rec;
        j->state = r == 0 ? JOB_DONE : JOB_FAILED;
        j->done_ms = now_ms();
        if (j->f.fd >= 0) close(j->f.fd);
        j->f.fd = -1;
        // The user may have another file waiting for a free thread.
        s_jobs.cv.notify_all();
    }
}

}  // namespace

int binhash_jobs_start(unsigned threads) {
    std::lock_guard<std::mutex> lk(s_jobs.lock);
    if (s_jobs.jobs != nullptr) return 0;
    auto *jobs = static_cast<job *>(
        kiv_zalloc(sizeof(job) * BINHASH_JOBS_MAX, MALLOC_FOR_TASK_BINHASH_INFO));
    if (jobs == nullptr) {
        KIV_LOG(0, "malloc hashing jobs failed\n");
        return -1;
    }
    for (uint32_t i = 0; i < BINHASH_JOBS_MAX; i++) jobs[i].f.fd = -1;
    s_jobs.jobs = jobs;
    for (user_use &u : s_jobs.users) u = user_use{};
    s_jobs.stop.store(false);
    s_jobs.nthreads = 0;
    if (threads > BINHASH_THREADS) threads = BINHASH_THREADS;
    for (unsigned i = 0; i < threads; i++) {
        try {
            s_jobs.threads[i] = std::thread(worker, i);
        } catch (const std::system_error &e) {
            KIV_LOG(1, "hashing thread %u not started: %s\n", i, e.what());
            break;
        }
        s_jobs.nthreads++;
    }
    if (s_jobs.nthreads == 0) {
        kiv_free(s_jobs.jobs);
        s_jobs.jobs = nullptr;
        return -1;
    }
    return 0;
}

void binhash_jobs_stop() {
    {
        std::lock_guard<std::mutex> lk(s_jobs.lock);
        if (s_jobs.jobs == nullptr) return;
        s_jobs.stop.store(true);
    }
    s_jobs.cv.notify_all();
    for (unsigned i = 0; i < s_jobs.nthreads; i++) s_jobs.threads[i].join();
    std::lock_guard<std::mutex> lk(s_jobs.lock);
    for (uint32_t i = 0; i < BINHASH_JOBS_MAX; i++) release(s_jobs.jobs[i]);
    kiv_free(s_jobs.jobs);
    s_jobs.jobs = nullptr;
    s_jobs.nthreads = 0;
}

int binhash_job_find(uint64_t ident, const exe_ident *exe, binhash_info *out) {
    std::lock_guard<std::mutex> lk(s_jobs.lock);
    if (s_jobs.jobs == nullptr) return -1;
    uint64_t now = now_ms();
    for (uint32_t i = 0; i < BINHASH_JOBS_MAX; i++) {
        job &j = s_jobs.jobs[i];
        if (j.state == JOB_FREE) continue;
        if ((j.state == JOB_DONE || j.state == JOB_FAILED) &&
            (now < j.done_ms || now - j.done_ms > BINHASH_RESULT_KEEP_MS)) {
            release(j);
            continue;
        }
        bool match = (ident != 0 && j.f.ident == ident) ||
                     (exe != nullptr && j.f.has_exe && j.f.exe.ino == exe->ino &&
                      j.f.exe.dev == exe->dev && j.f.exe.ctime_sec == exe->ctime_sec &&
                      j.f.exe.ctime_nsec == exe->ctime_nsec);
        if (!match) continue;
        if (j.state == JOB_DONE) {
            *out = j.rec;
            return 0;
        }
        return j.state == JOB_FAILED ? BINHASH_JOB_FAILED : BINHASH_PENDING;
    }
    return -1;
}

int binhash_job_submit(binhash_job_file &f) {
    std::lock_guard<std::mutex> lk(s_jobs.lock);
    auto give_up = [&f](int r) {
        if (f.fd >= 0) close(f.fd);
        f.fd = -1;
        return r;
    };
    if (s_jobs.jobs == nullptr) return give_up(-1);
    uint64_t now = now_ms();
    user_use &u = user_of(f.uid, now);
    uint32_t mine = 0;
    job *slot = nullptr;
    for (uint32_t i = 0; i < BINHASH_JOBS_MAX; i++) {
        job &j = s_jobs.jobs[i];
        bool active = j.state == JOB_QUEUED || j.state == JOB_RUNNING;
        if (active && j.f.ident == f.ident) return give_up(BINHASH_PENDING);
        if (active && j.f.uid == f.uid) mine++;
        if (j.state == JOB_FREE) {
            if (slot == nullptr || slot->state != JOB_FREE) slot = &j;
        } else if (!active && (slot == nullptr || (slot->state != JOB_FREE &&
                                                   j.done_ms < slot->done_ms))) {
            slot = &j;  // the oldest finished one gives way
        }
    }
    uint64_t size = static_cast<uint64_t>(f.st.st_size);
    if (mine >= BINHASH_USER_JOBS) {
        refuse_log(u, f, "hashing queue full");
        return give_up(-1);
    }
    if (u.bytes + size > BINHASH_USER_WINDOW_BYTES) {
        refuse_log(u, f, "hashing share spent");
        return give_up(-1);
    }
    if (slot == nullptr) {
        refuse_log(u, f, "hashing table full");
        return give_up(-1);
    }
    release(*slot);
    u.bytes += size;
    slot->f = f;
    f.fd = -1;
    slot->seq = ++s_jobs.seq;
    slot->done_ms = 0;
    slot->rec = binhash_info{};
    slot->state = JOB_QUEUED;
    s_jobs.cv.notify_one();
    return BINHASH_PENDING;
}

bool binhash_budget_take(uint32_t uid, uint64_t bytes, bool on_event_path) {
    std::lock_guard<std::mutex> lk(s_jobs.lock);
    user_use &u = user_of(uid, now_ms());
    if (u.bytes + bytes > BINHASH_USER_WINDOW_BYTES) return false;
    if (on_event_path && u.inline_bytes + bytes > BINHASH_USER_INLINE_BYTES) return false;
    u.bytes += bytes;
    if (on_event_path) u.inline_bytes += bytes;
    return true;
}

binhash_counters binhash_counters_get() {
    auto get = [](uint32_t t) { return static_cast<uint64_t>(kiv_stat_get(t)); };
    return {get(TASK_BINHASH_CALC_CNT), get(TASK_BINHASH_REFUSED_CNT),
            get(TASK_BINHASH_NOT_READY_CNT), get(TASK_BINHASH_NOT_EXE_CNT)};
}

void binhash_count_not_ready() {
    kiv_stat_inc(TASK_BINHASH_NOT_READY_CNT);
}

void binhash_count_hashed() {
    kiv_stat_inc(TASK_BINHASH_CALC_CNT);
}

void binhash_count_not_exe() {
    kiv_stat_inc(TASK_BINHASH_NOT_EXE_CNT);
}
