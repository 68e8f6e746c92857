// Cached clock and the timer list. Only the framework thread runs timer callbacks.
#include "comm/timer.h"

#include <sys/times.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "comm/list.h"
#include "base/mem.h"
#include "base/log.h"


struct kiv_timer {
    list_head link;
    uint64_t expire;
    uint64_t interval;
    void *arg;
    int32_t periodic;
    kiv_timer_cb cb;
};

namespace {

int64_t s_clock_persec;
list_head s_timer_head = {&s_timer_head, &s_timer_head};
std::mutex s_timer_lock;
uint64_t s_last_loop;
std::atomic<uint64_t (*)()> s_time_source{nullptr};

std::atomic<uint64_t> tick_per_ms{0};
std::once_flag s_tick_once;

// A record whose links point at itself is not armed.
bool armed(kiv_timer *t) { return !list_empty(&t->link); }

// Sorted by expiry; equal expiries keep the order in which they were armed.
void insert_sorted(kiv_timer *t) {
    list_head *pos = s_timer_head.prev;
    while (pos != &s_timer_head && list_entry(pos, kiv_timer, link)->expire > t->expire)
        pos = pos->prev;
    list_add(&t->link, pos);
}

kiv_timer *first_timer(list_head *head) { return list_entry(head->next, kiv_timer, link); }

void __set_time_base() {
    if (auto src = s_time_source.load(std::memory_order_acquire)) {
        s_cur_time_ms.store(src(), std::memory_order_relaxed);
        return;
    }
    struct tms t;
    clock_t ticks = times(&t);
    if (ticks == (clock_t)-1) {
        KIV_LOG(4, "get time failed:%s\n", strerror(errno));
        return;
    }
    int64_t hz = s_clock_persec > 0 ? s_clock_persec : sysconf(_SC_CLK_TCK);
    uint64_t u = (uint64_t)ticks;
    s_cur_time_ms.store(u / hz * 1000 + (u % hz) * 1000 / hz, std::memory_order_relaxed);
}

kiv_timer *new_timer(uint64_t interval_ms, kiv_timer_cb cb, void *arg, int periodic) {
    auto *t = static_cast<kiv_timer *>(kiv_zalloc(sizeof(kiv_timer), MALLOC_FOR_TIMER));
    if (!t) return nullptr;
    INIT_LIST_HEAD(&t->link);
    t->interval = interval_ms;
    t->cb = cb;
    t->arg = arg;
    t->periodic = periodic;
    std::lock_guard<std::mutex> g(s_timer_lock);
    t->expire = kiv_now_ms() + interval_ms;
    insert_sorted(t);
    return t;
}

}  // namespace

void kiv_timer_set_source(uint64_t (*source_ms)()) {
    s_time_source.store(source_ms, std::memory_order_release);
    __set_time_base();
}

int kiv_timer_init() {
    s_clock_persec = sysconf(_SC_CLK_TCK);
    if (s_clock_persec <= 0) {
        KIV_LOG(0, "get clock unit failed\n");
        return -1;
    }
    __set_time_base();
    s_last_loop = 0;
    KIV_LOG(2, "timer init ok\n");
    return 0;
}

void kiv_timer_exit() {
    {
        std::lock_guard<std::mutex> g(s_timer_lock);
        KIV_ASSERT(list_empty(&s_timer_head));
    }
    KIV_LOG(2, "timer destroy\n");
}

kiv_timer *add_timer(uint64_t interval_ms, kiv_timer_cb cb, void *arg) {
    return new_timer(interval_ms, cb, arg, 1);
}

kiv_timer *add_timer_once(uint64_t interval_ms, kiv_timer_cb cb, void *arg) {
    return new_timer(interval_ms, cb, arg, 0);
}

void stop_timer(kiv_timer *timer) {
    if (!timer) return;
    std::lock_guard<std::mutex> g(s_timer_lock);
    if (armed(timer)) list_del_init(&timer->link);
}

void del_timer(kiv_timer *timer) {
    if (!timer) return;
    stop_timer(timer);
    kiv_free(timer);
}

void kiv_timer_loop() {
    __set_time_base();
    uint64_t now = kiv_now_ms();
    // Timers run at most once per 100 ms however often the loop is called.
    if (s_last_loop != 0 && now - s_last_loop <= 99) return;
    {
        std::lock_guard<std::mutex> g(s_timer_lock);
        // Detach the due prefix first: a re-armed timer fires at most once per pass even
        // with a zero interval.
        list_head due;
        INIT_LIST_HEAD(&due);
        while (!list_empty(&s_timer_head) && first_timer(&s_timer_head)->expire <= now)
            list_move_tail(s_timer_head.next, &due);
        while (!list_empty(&due)) {
            kiv_timer *t = first_timer(&due);
            list_del_init(&t->link);
            KIV_LOG(4, "run timer func:%p\n", (void *)t->cb);
            t->cb(t->arg);
            if (t->periodic) {
                t->expire = now + t->interval;
                insert_sorted(t);
            }
        }
    }
    s_last_loop = now;
}

uint64_t timer_get_ticks() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
#endif
}

void timer_init() {
    std::call_once(s_tick_once, [] {
        if (const char *env = getenv("TICKSPERMS")) {
            char *end = nullptr;
            unsigned long long v = strtoull(env, &end, 10);
            // A zero or malformed value would stop every time limit: calibrate instead.
            if (v > 0 && end != env && *end == '\0') {
                tick_per_ms.store(v, std::memory_order_relaxed);
                return;
            }
            KIV_LOG(1, "TICKSPERMS=%s is not a positive number, calibrating\n", env);
        }
        uint64_t sum = 0;
        for (int i = 0; i < 5; i++) {
            uint64_t a = timer_get_ticks();
            usleep(50 * 1000);
            sum += timer_get_ticks() - a;
        }
        tick_per_ms.store((sum / 2) / 125, std::memory_order_relaxed);
    });
}

uint64_t timer_ticks2ms(uint64_t ticks) {
    timer_init();
    uint64_t per = tick_per_ms.load(std::memory_order_relaxed);
    return per ? ticks / per : 0;
}

void get_uptime_sec(uint32_t *out) {
    if (out) *out = (uint32_t)timer_ticks2ms(timer_get_ticks()) / 1000;
}
