// Preloaded into the built agent by its tests: once the sensor delivers, a thread feeds exec
// records through the stand-in and, between them, makes the library log at level 1 (which it
// echoes to standard output), then stops the agent with SIGTERM as an operator would.
//
//   KIV_STORM_LIB    path of the library the agent loads (it is found, not loaded again)
//   KIV_STORM_COUNT  exec records to inject (default 300); three level-1 lines follow each
//   KIV_STORM_GAP_MS milliseconds between records (default 0), for documents that flow a while
//   KIV_STORM_QUIET  set: no level-1 lines between records
//   KIV_STORM_WAIT_FILE  the stop waits (up to a minute) until this file exists
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "proc_bytes.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"

namespace {

struct api {
    decltype(&kemu_inject) inject;
    decltype(&kemu_delivery) delivery;
    decltype(&kemu_ring_stats) stats;
    decltype(&set_mgr_ip) mgr_ip;
};

std::vector<unsigned char> process(uint32_t pid) {
    proc_fields f;
    f.pid = pid, f.ppid = 1, f.create_time = 7000 + pid, f.parent_create_time = 0;
    f.s[0] = "/bin/true storm " + std::to_string(pid), f.s[1] = "/", f.s[2] = "/bin/true";
    return build_proc(f);
}

// Exec record: header (magic, len, type 1, pid), 4 unused bytes, the process record.
std::vector<unsigned char> exec_record(uint32_t pid) {
    auto body = process(pid);
    proc_bytes w;
    w.u32(0xFEDCCDEF), w.u16(16 + body.size()), w.u16(1), w.u32(pid), w.u32(0);
    w.b.insert(w.b.end(), body.begin(), body.end());
    return w.b;
}

bool drained(const api &a) {
    struct kemu_ring_stats st;
    return a.stats(KEMU_RING_HIGH, &st) == KEMU_OK && st.r == st.w;
}

// Polls every 10 ms for up to a minute.
template <class F>
bool wait_for(F pred) {
    for (int i = 0; i < 6000; i++, usleep(10000))
        if (pred()) return true;
    return false;
}

void storm(const api &a, int count, int gap_ms, bool quiet) {
    if (!wait_for([&] { return a.delivery() == 1; })) {
        fputs("kivhost_storm: delivery never switched on\n", stderr);
        return;
    }
    for (int i = 0; i < count; i++) {
        auto rec = exec_record(20000 + i);
        if (!wait_for(
                [&] { return a.inject(KEMU_RING_HIGH, rec.data(), rec.size()) != KEMU_FULL; }))
            return;
        for (int k = 0; k < 3 && !quiet; k++) a.mgr_ip(nullptr, 0);  // "set_mgr_ip para invalid"
        if (gap_ms > 0) usleep(gap_ms * 1000);
    }
    wait_for([&] { return drained(a); });
    usleep(200 * 1000);  // the record read last is still being uploaded
    if (const char *f = getenv("KIV_STORM_WAIT_FILE"))
        wait_for([&] { return access(f, F_OK) == 0; });
}

void *run(void *) {
    const char *path = getenv("KIV_STORM_LIB");
    int count = getenv("KIV_STORM_COUNT") ? atoi(getenv("KIV_STORM_COUNT")) : 300;
    void *lib = nullptr;
    wait_for([&] { return path && (lib = dlopen(path, RTLD_NOW | RTLD_NOLOAD)) != nullptr; });
    api a{};
    if (lib && (*(void **)&a.inject = dlsym(lib, "kemu_inject")) &&
        (*(void **)&a.delivery = dlsym(lib, "kemu_delivery")) &&
        (*(void **)&a.stats = dlsym(lib, "kemu_ring_stats")) &&
        (*(void **)&a.mgr_ip = dlsym(lib, "set_mgr_ip")))
        storm(a, count, getenv("KIV_STORM_GAP_MS") ? atoi(getenv("KIV_STORM_GAP_MS")) : 0,
              getenv("KIV_STORM_QUIET") != nullptr);
    else
        fprintf(stderr, "kivhost_storm: library %s not found in the agent\n", path ? path : "");
    kill(getpid(), SIGTERM);
    return nullptr;
}

__attribute__((constructor)) void start_storm() {
    pthread_t t;
    if (pthread_create(&t, nullptr, run, nullptr) == 0) pthread_detach(t);
}

}  // namespace
