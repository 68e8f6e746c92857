#include "health.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <cctype>
#include <cstring>
#include <ctime>

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

std::vector<LossCounter> read_losses(StatsLineFn walk, RingStatsFn ring_stats, Delivery &delivery) {
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
    out.push_back({"UPLOADS_REFUSED", delivery.refused(), false});
    for (const auto &o : delivery.outputs()) {
        const OutputStats s = o->stats();
        std::string name;
        for (char c : s.name)
            name += static_cast<char>(isalnum(static_cast<unsigned char>(c)) ? toupper(c) : '_');
        out.push_back({name + "_DROPPED_QUEUE_FULL", s.dropped_queue_full, false});
        out.push_back({name + "_DROPPED_SPOOL_FULL", s.dropped_spool_full, false});
        out.push_back({name + "_DROPPED_DAMAGED", s.dropped_damaged, false});
        out.push_back({name + "_REFUSED", s.refused, false});
    }
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
    if (n == 0 && !dropped) {
        cJSON_Delete(counters), cJSON_Delete(totals);
        return {};
    }
    cJSON *body = cJSON_CreateObject();
    cJSON_AddNumberToObject(body, "interval", std::round(elapsed * 10) / 10);  // tenths
    cJSON_AddItemToObject(body, "counters", counters);
    cJSON_AddItemToObject(body, "totals", totals);
    if (dropped) cJSON_AddItemToObject(body, "limits", dropped);
    return health_document(nullptr, body);
}

std::string health_document(const char *key, cJSON *body) {
    struct upload_header h {};
    if (kivhost_host_state(&h) != 0) {
        cJSON_Delete(body);
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
    if (key == nullptr) {
        // The body's members stand in the message itself.
        while (cJSON *item = body->child) {
            cJSON_DetachItemViaPointer(body, item);
            cJSON_AddItemToObject(msg, item->string, item);
        }
        cJSON_Delete(body);
    } else {
        cJSON_AddItemToObject(msg, key, body);
    }
    cJSON_AddItemToObject(doc, "message", msg);
    char *text = cJSON_PrintUnformatted(doc);
    std::string out = text ? text : "";
    cJSON_free(text);
    cJSON_Delete(doc);
    return out;
}

namespace {
std::string iso_time(int64_t ms) {
    time_t sec = static_cast<time_t>(ms / 1000);
    struct tm tm;
    localtime_r(&sec, &tm);
    char buf[40];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &tm);
    return buf;
}
}  // namespace

std::string output_event(const OutputStats &now, const OutputStats &before, int64_t now_ms) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "name", now.name.c_str());
    cJSON_AddStringToObject(o, "state", now.up ? "up" : "down");
    if (!now.up) {
        cJSON_AddStringToObject(o, "since", iso_time(now.down_since_ms).c_str());
        cJSON_AddStringToObject(o, "error", now.last_err ? strerror(now.last_err) : "");
    } else {
        const double down_s = before.down_since_ms ? (now_ms - before.down_since_ms) / 1000.0 : 0;
        cJSON_AddNumberToObject(o, "down_seconds", std::round(down_s * 10) / 10);
        cJSON_AddStringToObject(o, "error", before.last_err ? strerror(before.last_err) : "");
        cJSON_AddNumberToObject(o, "delayed", double(now.delayed - before.delayed));
        cJSON *dropped = cJSON_AddObjectToObject(o, "dropped");
        cJSON_AddNumberToObject(dropped, "queue_full",
                                double(now.dropped_queue_full - before.dropped_queue_full));
        cJSON_AddNumberToObject(dropped, "spool_full",
                                double(now.dropped_spool_full - before.dropped_spool_full));
        cJSON_AddNumberToObject(dropped, "damaged",
                                double(now.dropped_damaged - before.dropped_damaged));
        cJSON_AddNumberToObject(dropped, "refused", double(now.refused - before.refused));
    }
    cJSON_AddNumberToObject(o, "queued", double(now.queued));
    cJSON_AddNumberToObject(o, "spooled", double(now.spooled));
    return health_document("output", o);
}

std::vector<std::string> OutputWatch::check(Delivery &delivery, int64_t now_ms) {
    std::vector<std::string> docs;
    auto &outs = delivery.outputs();
    if (last_.size() != outs.size()) {
        last_.clear(), at_down_.clear();
        for (auto &o : outs) last_.push_back(o->stats()), at_down_.push_back(last_.back());
        return docs;
    }
    for (size_t i = 0; i < outs.size(); ++i) {
        OutputStats s = outs[i]->stats();
        if (s.transitions != last_[i].transitions) {
            // Down and back between two looks: both are said.
            if (s.up && last_[i].up) {
                OutputStats down = s;
                down.up = false, down.down_since_ms = now_ms;
                docs.push_back(output_event(down, last_[i], now_ms));
                at_down_[i] = last_[i];
                at_down_[i].down_since_ms = now_ms;
            }
            if (!s.up)
                at_down_[i] = last_[i], at_down_[i].down_since_ms = s.down_since_ms,
                at_down_[i].last_err = s.last_err;
            std::string d = output_event(s, at_down_[i], now_ms);
            if (!d.empty()) docs.push_back(std::move(d));
        }
        last_[i] = std::move(s);
    }
    return docs;
}

}  // namespace kivhost
