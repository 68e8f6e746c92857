#include "health.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <cstring>

namespace kivhost {

namespace {

// Library counters that count what never reached the host.
constexpr const char *kLibraryLosses[] = {
    "LIVE_RING_GIVE_UP",          // live records given up: a ring stayed full
    "LIVE_FANOTIFY_OVERFLOW",     // the kernel's fanotify queue overflowed
    "LIVE_BPF_RING_LOST",         // eBPF ring buffers full
    "LIVE_DNS_TCP_LOST",          // DNS messages over TCP not put together
    "LIVE_PROC_OVERRUN",          // the process source overran
    "HOLD_MEM_OVERLIMIT",         // no memory left to park a record
    "DROP_FOR_CACHE_FAILED",      // parked records that could not be kept
    "TASK_FTREE_FULL_CNT",        // the process tree was full
    "NET_TCP_CONNECT_HASH_FULL",  // connections dropped: table full
    "NET_DNSQ_HASH_FULL",         // DNS queries dropped: table full
    "NET_TOTAL_HASH_FULL",        // new destinations dropped: table full
};

constexpr const char *kRingNames[] = {"RING_UCTRL_FULL", "RING_LOW_FULL", "RING_MID_FULL",
                                      "RING_HIGH_FULL"};

uint64_t moved(const LossCounter &before, const LossCounter &now) {
    if (now.wraps32) return static_cast<uint32_t>(now.value - before.value);
    // A counter below its baseline started again: all it holds is new.
    return now.value >= before.value ? now.value - before.value : now.value;
}

}  // namespace

std::vector<LossCounter> read_losses(StatsLineFn walk, RingStatsFn ring_stats, const Sink &sink) {
    std::vector<LossCounter> out;
    walk_stats(walk, [&out](int, std::string_view line) {
        std::string_view name, text;
        long long value = 0;
        if (!split_stats_line(line, &name, &text, &value) || value < 0) return;
        for (const char *loss : kLibraryLosses)
            if (name == loss) out.push_back({std::string(name), uint64_t(value), false});
    });
    for (int ring = KEMU_RING_UCTRL; ring_stats && ring <= KEMU_RING_HIGH; ++ring) {
        struct kemu_ring_stats st {};
        if (ring_stats(ring, &st) == KEMU_OK) out.push_back({kRingNames[ring], st.full_cnt, true});
    }
    out.push_back({"UPLOADS_REFUSED", sink.refused(), false});
    return out;
}

std::string Health::check(const std::vector<LossCounter> &now, double now_s, bool at_stop,
                          const std::function<cJSON *()> &limits) {
    if (interval_s_ == 0) return {};
    if (!have_base_) {
        have_base_ = true, base_s_ = now_s, base_ = now;
        return {};
    }
    if (!at_stop && now_s - base_s_ < interval_s_) return {};
    cJSON *counters = cJSON_CreateObject(), *totals = cJSON_CreateObject();
    int n = 0;
    for (const LossCounter &c : now) {
        const LossCounter *before = nullptr;
        for (const LossCounter &b : base_)
            if (b.name == c.name) before = &b;
        const uint64_t d = before ? moved(*before, c) : 0;
        if (d == 0) continue;
        cJSON_AddNumberToObject(counters, c.name.c_str(), double(d));
        cJSON_AddNumberToObject(totals, c.name.c_str(), double(c.value));
        n++;
    }
    // Counters new since the baseline keep their first value as theirs.
    std::vector<LossCounter> next = now;
    for (const LossCounter &b : base_) {
        bool kept = false;
        for (const LossCounter &c : next) kept = kept || c.name == b.name;
        if (!kept) next.push_back(b);
    }
    const double elapsed = now_s - base_s_;
    base_ = std::move(next), base_s_ = now_s;
    cJSON *dropped = limits ? limits() : nullptr;
    struct upload_header h {};
    if ((n == 0 && !dropped) || kivhost_host_state(&h) != 0) {
        cJSON_Delete(counters), cJSON_Delete(totals), cJSON_Delete(dropped);
        return {};
    }
    cJSON *doc = cJSON_CreateObject(), *msg = cJSON_CreateObject();
    cJSON_AddStringToObject(doc, "send_time", h.send_time);
    cJSON_AddNumberToObject(doc, "send_timestamp", double(h.send_timestamp));
    cJSON_AddStringToObject(doc, "host_uuid", h.host_uuid);
    cJSON_AddStringToObject(doc, "host_ip", h.host_ip);
    cJSON_AddStringToObject(doc, "ip_list", h.ip_list);
    cJSON_AddStringToObject(doc, "seq_id", std::to_string(h.seq_id).c_str());
    cJSON_AddStringToObject(doc, "app_name", "opx-linux");
    cJSON_AddStringToObject(msg, "record_time", h.send_time);
    cJSON_AddNumberToObject(msg, "record_timestamp", double(h.send_timestamp));
    cJSON_AddStringToObject(msg, "event_id", "SENSOR_HEALTH");
    cJSON_AddStringToObject(msg, "event_name", "Sensor Health");
    cJSON_AddNumberToObject(msg, "interval", std::round(elapsed * 10) / 10);  // tenths
    cJSON_AddItemToObject(msg, "counters", counters);
    cJSON_AddItemToObject(msg, "totals", totals);
    if (dropped) cJSON_AddItemToObject(msg, "limits", dropped);
    cJSON_AddItemToObject(doc, "message", msg);
    char *text = cJSON_PrintUnformatted(doc);
    std::string out = text ? text : "";
    cJSON_free(text);
    cJSON_Delete(doc);
    return out;
}

}  // namespace kivhost
