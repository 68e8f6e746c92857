// What the end-to-end tests play as the host: a driven clock, an upload callback that keeps
// every document with its type, and a bounded wait for what the sensor's threads do.
#pragma once
#include <cjson/cJSON.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "comm/timer.h"
#include "framework/mod_manager.h"
#include "proc_bytes.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"
#include "startup/startup.h"

inline std::atomic<uint64_t> s_now_ms{1'000'000};
inline uint64_t fake_clock() {
    return s_now_ms.load();
}

inline std::mutex s_up_lock;
inline std::vector<std::pair<int, std::string>> s_uploads;
inline int capture(const char *text, uint32_t len, int32_t type, uint32_t) {
    std::lock_guard g(s_up_lock);
    s_uploads.emplace_back(type, std::string(text, len));
    return 0;
}

// The captured documents of one upload type, in arrival order.
inline std::vector<std::string> docs(int type) {
    std::lock_guard g(s_up_lock);
    std::vector<std::string> out;
    for (auto &[t, text] : s_uploads)
        if (t == type) out.push_back(text);
    return out;
}

// A captured document with its "message" object; freed with its last copy.
struct parsed_doc {
    int type = 0;
    std::shared_ptr<cJSON> root;
    cJSON *m = nullptr;
    std::string str(const char *k) const {
        cJSON *v = cJSON_GetObjectItem(m, k);
        return cJSON_IsString(v) ? v->valuestring : "";
    }
    double num(const char *k) const {
        cJSON *v = cJSON_GetObjectItem(m, k);
        return cJSON_IsNumber(v) ? v->valuedouble : -1;
    }
    std::string text() const {
        char *t = cJSON_PrintUnformatted(m);
        std::string s = t ? t : "";
        cJSON_free(t);
        return s;
    }
};

// The captured documents that carry a message, of upload types [lo, hi], and whose text holds
// `needle` when one is given: a live sensor sees the whole host's activity, and parsing all of
// it on every poll of a wait makes the wait quadratic and starves the upload thread.
inline std::vector<parsed_doc> parsed_docs(int lo = 0, int hi = 1 << 30,
                                           const std::string &needle = {}) {
    std::lock_guard g(s_up_lock);
    std::vector<parsed_doc> out;
    for (auto &[type, text] : s_uploads) {
        if (type < lo || type > hi) continue;
        if (!needle.empty() && text.find(needle) == std::string::npos) continue;
        std::shared_ptr<cJSON> root(cJSON_Parse(text.c_str()), cJSON_Delete);
        if (cJSON *m = cJSON_GetObjectItem(root.get(), "message")) out.push_back({type, root, m});
    }
    return out;
}

inline void clear_uploads() {
    std::lock_guard g(s_up_lock);
    s_uploads.clear();
}

// Up to `seconds` of real time, however long each look at pred takes.
template <class F>
bool wait_for(F pred, int seconds = 5) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

// Moves the driven clock on by step and waits until the library's cached clock shows it (the
// timer service's next pass), then settle_ms more for the threads that act on it: on a loaded
// host a fixed nap alone can end before anyone has seen the step.
inline bool clock_step(uint64_t step, int settle_ms) {
    s_now_ms += step;
    bool seen = wait_for([] { return kiv_now_ms() == s_now_ms.load(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(settle_ms));
    return seen;
}

// The header every end-to-end document carries.
inline int fixed_header(upload_header *h) {
    *h = upload_header{7, "2026-01-02 03:04:05", "uuid-1", "10.0.0.1", "10.0.0.1",
                       0, 1767323045123ull};
    return 0;
}

// A host that fills every byte of the time text, leaving no terminator.
inline int full_time_header(upload_header *h) {
    fixed_header(h);
    memset(h->send_time, '9', sizeof h->send_time);
    return 0;
}

// Starts the sensor as the host does: callbacks registered, delivery on. False when start-up
// failed.
inline bool host_start(kiv_upload_fn upload, kiv_host_state_fn state = nullptr) {
    if (sensor_init() != 0) return false;
    g_init_done = 1;
    register_upload_callback(upload);
    if (state) register_host_state_callback(state);
    sensor_switch(1);
    return true;
}

// Stops the sensor started by host_start and forgets its documents and the driven clock.
inline void host_stop() {
    sensor_exit();
    g_init_done = 0;
    kiv_timer_set_source(nullptr);
    clear_uploads();
}

// Makes a root-owned process, child of init, known to the process module through its exec.
inline int inject_root_process(uint32_t pid, uint64_t create_time, const char *cmd,
                               const char *path) {
    proc_fields f;
    f.pid = pid, f.ppid = 1, f.create_time = create_time, f.parent_create_time = 0;
    f.uid[1] = f.gid[1] = 0;
    f.s[0] = cmd, f.s[1] = "/", f.s[2] = path;
    std::vector<unsigned char> rec = process_record(f);
    return kemu_inject(KEMU_RING_HIGH, rec.data(), (uint32_t)rec.size());
}
