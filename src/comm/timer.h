// Cached millisecond clock and software timers, run by the framework thread.
#pragma once
#include <cstdint>

#include "base/clock.h"

typedef void (*kiv_timer_cb)(void *arg);
struct kiv_timer;

int kiv_timer_init();
void kiv_timer_exit();
kiv_timer *add_timer(uint64_t interval_ms, kiv_timer_cb cb, void *arg);
kiv_timer *add_timer_once(uint64_t interval_ms, kiv_timer_cb cb, void *arg);
void stop_timer(kiv_timer *timer);
void del_timer(kiv_timer *timer);
void kiv_timer_loop();

// Tests drive the clock through this: the source replaces times() until reset with null.
void kiv_timer_set_source(uint64_t (*source_ms)());

// Time-stamp-tick base, used only by the command runner.
uint64_t timer_get_ticks();
void timer_init();
uint64_t timer_ticks2ms(uint64_t ticks);
void get_uptime_sec(uint32_t *out);
