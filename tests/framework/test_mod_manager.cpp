#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <thread>
#include <vector>

#include <cjson/cJSON.h>

#include "framework/mem.h"
#include "framework/mod_manager.h"
#include "framework/startup.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"
#include "staged_tree.h"

namespace {

struct tz_scope {
    explicit tz_scope(const char *tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    ~tz_scope() {
        unsetenv("TZ");
        tzset();
    }
};

tm make_tm(int y, int mo, int d, int h, int mi, int s) {
    tm t{};
    t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d;
    t.tm_hour = h, t.tm_min = mi, t.tm_sec = s;
    return t;
}

}  // namespace

// Declared first: the counter and the absence of a host-state callback are process state.
TEST(ModManager, DefaultHeaderSequence) {
    upload_header h[3];
    for (auto &x : h) ASSERT_EQ(get_log_ctm_header(&x), 0);
    EXPECT_EQ(h[1].seq_id, h[0].seq_id + 1);
    EXPECT_EQ(h[2].seq_id, h[0].seq_id + 2);
    EXPECT_STREQ(h[0].host_uuid, "123456");
    EXPECT_STREQ(h[0].host_ip, "0.0.0.0");
    EXPECT_STREQ(h[0].ip_list, "0.0.0.0");
    EXPECT_EQ(h[0].tz_secondes, 0);
    EXPECT_TRUE(std::regex_match(h[0].send_time, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
    uint64_t now_ms = (uint64_t)time(nullptr) * 1000;
    EXPECT_LE(h[0].send_timestamp, now_ms + 1000);
    EXPECT_GE(h[0].send_timestamp + 2000, now_ms);
    EXPECT_EQ(get_log_ctm_header(nullptr), -1);
}

TEST(ModManager, ConcurrentHeadersNeverShareASequenceNumber) {
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<uint64_t> seen[kThreads];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&seen, t] {
            upload_header h;
            for (int i = 0; i < kEach; i++)
                if (get_log_ctm_header(&h) == 0) seen[t].push_back(h.seq_id);
        });
    for (auto &th : threads) th.join();
    std::vector<uint64_t> all;
    for (auto &v : seen) all.insert(all.end(), v.begin(), v.end());
    ASSERT_EQ(all.size(), (size_t)kThreads * kEach);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    EXPECT_EQ(all.back() - all.front(), all.size() - 1);  // no gaps either
}

TEST(ModManager, EnvelopeMemberOrder) {
    upload_header h{};
    h.seq_id = UINT64_MAX;
    // A host may fill all 32 bytes of the time without a terminator.
    memset(h.send_time, '9', sizeof(h.send_time));
    h.host_uuid = "u-1";
    h.host_ip = "10.0.0.1";
    h.ip_list = nullptr;
    h.send_timestamp = 1716987869123ull;
    cJSON *env = cJSON_CreateObject();
    cJSON *msg = cJSON_CreateObject();
    cJSON_AddStringToObject(msg, "k", "v");
    ASSERT_EQ(format_upload_header(env, msg, &h), 0);
    char *text = cJSON_PrintUnformatted(env);
    EXPECT_EQ(std::string(text),
              "{\"send_time\":\"" + std::string(32, '9') +
                  "\",\"send_timestamp\":1716987869123,\"host_uuid\":\"u-1\","
                  "\"host_ip\":\"10.0.0.1\",\"ip_list\":\"\","
                  "\"seq_id\":\"18446744073709551615\",\"app_name\":\"opx-linux\","
                  "\"message\":{\"k\":\"v\"}}");
    cJSON_free(text);
    cJSON_Delete(env);
    // The message is taken over even when it cannot be attached (ASan sees a leak otherwise).
    EXPECT_EQ(format_upload_header(nullptr, cJSON_CreateObject(), &h), -1);
    cJSON *env2 = cJSON_CreateObject();
    EXPECT_EQ(format_upload_header(env2, nullptr, &h), -1);
    cJSON_Delete(env2);
}

TEST(ModManager, ManagerAddress) {
    EXPECT_STREQ(get_mgr_ip(), "255.255.255.255");
    std::string a47(47, 'a'), b48(48, 'b');
    EXPECT_EQ(set_mgr_ip(a47.c_str(), 47), 0);
    EXPECT_EQ(get_mgr_ip(), a47);
    EXPECT_EQ(set_mgr_ip("1.2.3.4xyz", 7), 0);  // len bytes, not the whole text
    for (int len : {48, 0, -1}) EXPECT_EQ(set_mgr_ip(b48.c_str(), len), -1) << len;
    EXPECT_EQ(set_mgr_ip(nullptr, 5), -1);
    EXPECT_STREQ(get_mgr_ip(), "1.2.3.4");
}

TEST(ModManager, TimestampsIgnoreTheZone) {
    for (const char *zone : {"UTC", "Asia/Shanghai", "America/New_York"}) {
        tz_scope tz(zone);
        SCOPED_TRACE(zone);
        tm epoch = make_tm(1970, 1, 1, 0, 0, 0);
        EXPECT_EQ(get_timestamp_4_1970(&epoch), -1);  // not positive
        tm one = make_tm(1970, 1, 1, 0, 0, 1);
        EXPECT_EQ(get_timestamp_4_1970(&one), 1);
        for (tm t : {make_tm(2024, 5, 29, 13, 4, 29), make_tm(2038, 1, 19, 3, 14, 8)}) {
            tm copy = t;
            EXPECT_EQ(get_timestamp_4_1970(&t), (int64_t)timegm(&copy));
        }
        char buf[32];
        uint64_t ms = 0;
        time_t before = time(nullptr);
        ASSERT_EQ(get_cur_timestamp(buf, sizeof(buf), &ms), 0);
        EXPECT_GE(ms / 1000, (uint64_t)before);
        EXPECT_LE(ms / 1000, (uint64_t)before + 2);
    }
    EXPECT_EQ(get_timestamp_4_1970(nullptr), -1);
    EXPECT_EQ(get_cur_timestamp(nullptr, 32, nullptr), -1);
}

namespace {
std::atomic<int> s_upload_calls;
int s_upload_result;
int host_upload(const char *text, uint32_t len, int32_t type, uint32_t value) {
    EXPECT_EQ(strlen(text), len);
    EXPECT_EQ(value, 0u);
    s_upload_calls++;
    return s_upload_result;
}
int host_header(upload_header *h) {
    h->seq_id = 77;
    return 5;
}
}  // namespace

// Declared last: a start cannot be undone (the flag stays set), and the host-state callback
// stays registered.
TEST(ModManager, LifecycleSwitchesAndUpload) {
    staged_tree tree;
    EXPECT_EQ(mod_manager_get_module(0), 1);  // before a start every switch reads on
    EXPECT_EQ(mod_manager_get_module(4), 1);
    EXPECT_EQ(set_module(1), -1);
    EXPECT_EQ(register_upload_callback(nullptr), -1);
    EXPECT_EQ(register_host_state_callback(nullptr), -1);
    ASSERT_EQ(register_upload_callback(host_upload), 0);
    EXPECT_EQ(mod_manager_upload("{}", 2, UPLOAD_APP_LOG, 0), -1);  // not started

    ASSERT_EQ(init_mod_manager(), 0);
    EXPECT_EQ(mod_manager_upload("{}", 2, UPLOAD_APP_LOG, 0), -1);  // start cleared the callback
    EXPECT_EQ(s_upload_calls, 0);
    ASSERT_EQ(register_upload_callback(host_upload), 0);
    EXPECT_EQ(mod_manager_get_module(4), 0);

    struct {
        uint32_t mask;
        int delivery;
        int sw[4];
    } cases[] = {
        {0xF, 1, {1, 1, 1, 1}},  {0, 0, {0, 0, 0, 0}},   {8, 1, {0, 0, 0, 1}},
        {0x10, 1, {0, 0, 0, 0}}, {0x5, 1, {1, 0, 1, 0}}, {0, 0, {0, 0, 0, 0}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.mask);
        EXPECT_EQ(set_module(c.mask), 0);
        EXPECT_EQ(kemu_delivery(), c.delivery);
        uint32_t v = 9;
        EXPECT_EQ(kemu_last_control(KIV_SENSOR_SWITCH_REQ, &v, sizeof(v)), 4);
        EXPECT_EQ(v, (uint32_t)c.delivery);
        for (uint32_t id = 0; id < 4; id++) EXPECT_EQ(mod_manager_get_module(id), c.sw[id]);
    }

    int64_t counted = g_ev_upload_rate_stats[UPLOAD_PROC_EXIT].load();
    s_upload_result = 0;
    EXPECT_EQ(mod_manager_upload("{\"a\":1}", 7, UPLOAD_PROC_EXIT, 0), 0);
    s_upload_result = 3;
    EXPECT_EQ(mod_manager_upload("{}", 2, UPLOAD_PROC_EXIT, 0), -1);
    EXPECT_EQ(g_ev_upload_rate_stats[UPLOAD_PROC_EXIT].load(), counted + 2);
    EXPECT_EQ(s_upload_calls, 2);
    for (int bad : {-1, (int)UPLOAD_TYPE_MAX_}) EXPECT_EQ(mod_manager_upload("{}", 2, bad, 0), -1);
    EXPECT_EQ(s_upload_calls, 2);

    // A second start does nothing and keeps the callbacks.
    ASSERT_EQ(register_host_state_callback(host_header), 0);
    EXPECT_EQ(init_mod_manager(), 0);
    upload_header h{};
    EXPECT_EQ(get_log_ctm_header(&h), 5);  // the host's result, the host's fields
    EXPECT_EQ(h.seq_id, 77u);
    s_upload_result = 0;
    EXPECT_EQ(mod_manager_upload("{}", 2, UPLOAD_APP_LOG, 0), 0);

    exit_mod_manager();
    EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);
    EXPECT_EQ(init_mod_manager(), 0);  // the flag stays: nothing starts again
    EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);
    EXPECT_EQ(set_module(1), 0);  // device closed: logged, not fatal
    exit_mod_manager();
}
