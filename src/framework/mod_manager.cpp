// The host's side of the library: start and stop, callbacks, delivery switches, and the one
// upload path every sensor hands its finished documents to.
#include "framework/mod_manager.h"

#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <cjson/cJSON.h>

#include "base/mem.h"
#include "base/log.h"
#include "comm/json_add.h"
#include "qxkiv/qxkiv.h"

std::atomic<uint32_t> g_init_done{0};
std::atomic<uint32_t> g_mod_switch[MOD_SWITCH_NUM];

namespace {

static_assert(UPLOAD_TYPE_MAX_ == UPLOAD_TYPE_MAX);

std::atomic<kiv_upload_fn> g_upload_func{nullptr};
std::atomic<kiv_host_state_fn> g_host_state_func{nullptr};
char g_mgr_ip[MGR_IP_LEN] = "255.255.255.255";

constexpr const char *kDefaultUuid = "123456";
constexpr const char *kDefaultIp = "0.0.0.0";
constexpr const char *kDefaultIpList = "0.0.0.0";
// Shared by every uploading thread; fetch_add keeps concurrent headers apart.
std::atomic<uint64_t> s_seq_id{0};

}  // namespace

thread_local constinit int t_in_host_callback = 0;

bool mod_manager_started() {
    return g_init_done.load(std::memory_order_acquire) != 0;
}

void mod_manager_reset_callbacks() {
    g_upload_func.store(nullptr);
    g_host_state_func.store(nullptr);
}

KIV_API int register_upload_callback(kiv_upload_fn fn) {
    if (!fn) return -1;
    g_upload_func.store(fn);
    return 0;
}

KIV_API int register_host_state_callback(kiv_host_state_fn fn) {
    if (!fn) return -1;
    g_host_state_func.store(fn);
    return 0;
}

KIV_API int mod_manager_get_module(uint32_t id) {
    if (!mod_manager_started()) return 1;
    return id < (uint32_t)MOD_SWITCH_NUM ? (int)g_mod_switch[id].load() : 0;
}

KIV_API int set_mgr_ip(const char *ip, int len) {
    if (!ip || len < 1 || len > MGR_IP_LEN - 1) {
        KIV_LOG(1, "set_mgr_ip para invalid, mgr_ip:%p,len:%d\n", (const void *)ip, len);
        return -1;
    }
    memcpy(g_mgr_ip, ip, (size_t)len);
    g_mgr_ip[len] = '\0';
    return 0;
}

KIV_API const char *get_mgr_ip(void) {
    return g_mgr_ip;
}

KIV_API int64_t get_timestamp_4_1970(struct tm *tm) {
    if (!tm) return -1;
    // Both sides as local time, so the zone offset cancels.
    struct tm t = *tm;
    struct tm epoch = {};
    epoch.tm_year = 70;
    epoch.tm_mday = 1;
    epoch.tm_isdst = t.tm_isdst;
    time_t a = mktime(&t), b = mktime(&epoch);
    if (a == (time_t)-1 || b == (time_t)-1) return -1;
    int64_t secs = (int64_t)a - (int64_t)b;
    return secs > 0 ? secs : -1;
}

// Runs for every upload: one clock read serves both fields. The seconds are those of the
// UTC breakdown converted back with the zone cancelled, which is the clock's own value, so
// the mktime pair (and its tzset with a stat of the zone file) is left out of this path.
KIV_API int get_cur_timestamp(char *buf, int len, uint64_t *ms) {
    if (!buf || len < 1) return -1;
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) {
        KIV_LOG(1, "get time error[%d]\n", errno);
        return -1;
    }
    time_t now = tv.tv_sec;
    // The text changes once a second; every upload of that second copies it.
    static thread_local time_t text_sec = -1;
    static thread_local char text[32];
    if (now != text_sec) {
        struct tm local;
        if (!localtime_r(&now, &local)) {
            KIV_LOG(1, "gmtime_r error[%d]\n", errno);
            return -1;
        }
        if (strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) text[0] = '\0';
        text_sec = now;
    }
    if (ms) *ms = (uint64_t)now * 1000 + (uint64_t)tv.tv_usec / 1000;
    size_t n = std::min(strlen(text), (size_t)len - 1);
    memcpy(buf, text, n);
    buf[n] = '\0';
    return 0;
}

KIV_API int get_log_ctm_header(struct upload_header *header) {
    if (!header) return -1;
    kiv_host_state_fn host = g_host_state_func.load();
    if (host) {
        t_in_host_callback++;
        int ret = host(header);
        t_in_host_callback--;
        return ret;
    }
    if (get_cur_timestamp(header->send_time, sizeof(header->send_time), &header->send_timestamp) !=
        0) {
        KIV_LOG(1, "get_cur_timestamp failed.\n");
        return -1;
    }
    header->seq_id = s_seq_id.fetch_add(1, std::memory_order_relaxed);
    header->host_uuid = kDefaultUuid;
    header->host_ip = kDefaultIp;
    header->ip_list = kDefaultIpList;
    header->tz_secondes = 0;
    return 0;
}

KIV_API int mod_manager_upload(const char *text, uint32_t len, int32_t type, uint32_t value) {
    kiv_upload_fn upload = g_upload_func.load();
    if (!mod_manager_started() || !upload) {
        KIV_LOG(0, "[set_module] mod_manager init isn't done or not register upload func\n");
        return -1;
    }
    if (type < 0 || type >= UPLOAD_TYPE_MAX) {
        KIV_LOG(1, "invalid upload type:%d\n", type);
        return -1;
    }
    g_ev_upload_rate_stats[type].fetch_add(1, std::memory_order_relaxed);
    t_in_host_callback++;
    int ret = upload(text, len, type, value);
    t_in_host_callback--;
    if (ret != 0) {
        KIV_LOG(1, "upload error, ret:%d\n", ret);
        return -1;
    }
    return 0;
}

void upload_header_text(json_text_obj &envelope, const upload_header &header) {
    auto text = [](const char *s) { return s ? s : ""; };
    char send_time[sizeof header.send_time + 1];
    size_t n = strnlen(header.send_time, sizeof header.send_time);
    memcpy(send_time, header.send_time, n);
    send_time[n] = '\0';
    envelope.str("send_time", send_time);
    envelope.num("send_timestamp", header.send_timestamp);
    envelope.str("host_uuid", text(header.host_uuid))
        .str("host_ip", text(header.host_ip))
        .str("ip_list", text(header.ip_list));
    char seq[24];
    *std::to_chars(seq, seq + sizeof seq - 1, header.seq_id).ptr = '\0';
    envelope.str("seq_id", seq).str("app_name", "opx-linux");
}

void record_head_text(json_text_obj &m, const upload_header &hdr, const char *event_id,
                      const char *event_name) {
    char record_time[sizeof hdr.send_time + 1];
    size_t n = strnlen(hdr.send_time, sizeof hdr.send_time);
    memcpy(record_time, hdr.send_time, n);
    record_time[n] = '\0';
    m.str("record_time", record_time)
        .num("record_timestamp", hdr.send_timestamp)
        .str("event_id", event_id)
        .str("event_name", event_name);
}

KIV_API int format_upload_header(struct cJSON *envelope, struct cJSON *message,
                                 const struct upload_header *header) {
    // The message is the envelope's from here on, also when it cannot be attached.
    if (!envelope || !header) {
        KIV_LOG(1, "format_upload_header bad argument\n");
        cJSON_Delete(message);
        return -1;
    }
    auto text = [](const char *s) { return s ? s : ""; };
    char seq[24];
    snprintf(seq, sizeof(seq), "%" PRIu64, header->seq_id);
    bool ok = add_strn(envelope, "send_time", header->send_time) &&
              cJSON_AddNumberToObject(envelope, "send_timestamp", (double)header->send_timestamp) &&
              add_str(envelope, "host_uuid", text(header->host_uuid)) &&
              add_str(envelope, "host_ip", text(header->host_ip)) &&
              add_str(envelope, "ip_list", text(header->ip_list)) &&
              add_str(envelope, "seq_id", seq) && add_str(envelope, "app_name", "opx-linux");
    if (!ok || !message || !cJSON_AddItemToObject(envelope, "message", message)) {
        KIV_LOG(1, "format upload header failed\n");
        cJSON_Delete(message);
        return -1;
    }
    return 0;
}
