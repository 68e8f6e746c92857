#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <regex>
#include <thread>
#include <vector>

#include <cjson/cJSON.h>

#include "framework/mod_manager.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"
#include "staged_tree.h"

// Declared first: the absence of a host-state callback is process state. Consecutive numbers
// are ConcurrentHeadersNeverShareASequenceNumber's.
TEST(ModManager, DefaultHeaderTimes) {
    upload_header h;
    ASSERT_EQ(get_log_ctm_header(&h), 0);
    EXPECT_TRUE(std::regex_match(h.send_time, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
    EXPECT_LE(h.send_timestamp / 1000 - (uint64_t)time(nullptr) + 2, 3u);  // within ±2 s
}

TEST(ModManager, ConcurrentHeadersNeverShareASequenceNumber) {
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<uint64_t> seen[kThreads], all;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&seen, t] {
            upload_header h;
            for (int i = 0; i < kEach; i++)
                if (get_log_ctm_header(&h) == 0) seen[t].push_back(h.seq_id);
        });
    for (int t = 0; t < kThreads; t++)
        threads[t].join(), all.insert(all.end(), seen[t].begin(), seen[t].end());
    ASSERT_EQ(all.size(), (size_t)kThreads * kEach);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    EXPECT_EQ(all.back() - all.front(), all.size() - 1);  // no gaps either
}

TEST(ModManager, EnvelopeMemberOrder) {
    upload_header h{};
    h.seq_id = UINT64_MAX;
    memset(h.send_time, '9', sizeof(h.send_time));  // all 32 bytes, no terminator
    h.host_uuid = "u-1";
    h.host_ip = "10.0.0.1";
    h.send_timestamp = 1716987869123ull;
    cJSON *env = cJSON_CreateObject(), *msg = cJSON_CreateObject();
    cJSON_AddStringToObject(msg, "k", "v");
    ASSERT_EQ(format_upload_header(env, msg, &h), 0);
    char *text = cJSON_PrintUnformatted(env);
    EXPECT_EQ(std::string(text), "{\"send_time\":\"" + std::string(32, '9') +
                                     "\",\"send_timestamp\":1716987869123,\"host_uuid\":\"u-1\","
                                     "\"host_ip\":\"10.0.0.1\",\"ip_list\":\"\","
                                     "\"seq_id\":\"18446744073709551615\",\"app_name\":"
                                     "\"opx-linux\",\"message\":{\"k\":\"v\"}}");
    cJSON_free(text);
    cJSON_Delete(env);
    // The message is taken over even when it cannot be attached (ASan sees a leak otherwise).
    EXPECT_EQ(format_upload_header(nullptr, cJSON_CreateObject(), &h), -1);
}

TEST(ModManager, ManagerAddressAndTimestamps) {
    EXPECT_EQ(set_mgr_ip(std::string(47, 'a').c_str(), 47), 0);
    EXPECT_EQ(set_mgr_ip("1.2.3.4xyz", 7), 0);  // len bytes, not the whole text
    for (int len : {48, 0}) EXPECT_EQ(set_mgr_ip(std::string(48, 'b').c_str(), len), -1);
    EXPECT_STREQ(get_mgr_ip(), "1.2.3.4");
    // The zone must not shift the count.
    setenv("TZ", "Asia/Shanghai", 1), tzset();
    tm t{0, 14, 3, 19, 0, 138}, epoch{0, 0, 0, 1, 0, 70};  // 2038-01-19 03:14:00, 1970-01-01
    EXPECT_EQ(get_timestamp_4_1970(&t), 2147483640);
    EXPECT_EQ(get_timestamp_4_1970(&epoch), -1);  // not positive
    unsetenv("TZ"), tzset();
}

namespace {
int s_upload_calls, s_upload_result;
int host_upload(const char *text, uint32_t len, int32_t, uint32_t) {
    EXPECT_EQ(strlen(text), len);
    s_upload_calls++;
    return s_upload_result;
}
}  // namespace

// Declared last: a start cannot be undone (the flag stays set).
TEST(ModManager, LifecycleSwitchesAndUpload) {
    staged_tree tree;
    EXPECT_EQ(mod_manager_get_module(4), 1);  // before a start every switch reads on
    EXPECT_EQ(set_module(1), -1);
    ASSERT_EQ(register_upload_callback(host_upload), 0);
    ASSERT_EQ(init_mod_manager(), 0);
    EXPECT_EQ(mod_manager_upload("{}", 2, UPLOAD_APP_LOG, 0), -1);  // start cleared the callback
    ASSERT_EQ(register_upload_callback(host_upload), 0);
    EXPECT_EQ(mod_manager_get_module(4), 0);
    // Bit n switches module n; any bit at all turns delivery on.
    for (uint32_t mask : {0xFu, 8u, 0x10u, 5u, 0u}) {
        EXPECT_EQ(set_module(mask), 0);
        EXPECT_EQ(kemu_delivery(), mask ? 1 : 0) << mask;
        for (uint32_t id = 0; id < 4; id++)
            EXPECT_EQ(mod_manager_get_module(id), int(mask >> id & 1)) << mask << " " << id;
    }
    s_upload_result = 3;
    EXPECT_EQ(mod_manager_upload("{}", 2, UPLOAD_PROC_EXIT, 0), -1);
    EXPECT_EQ(mod_manager_upload("{}", 2, UPLOAD_TYPE_MAX_, 0), -1);
    EXPECT_EQ(s_upload_calls, 1);
    exit_mod_manager();
    EXPECT_EQ(init_mod_manager(), 0);  // the flag stays: nothing starts again
    EXPECT_EQ(kemu_delivery(), KEMU_INACTIVE);
    exit_mod_manager();
}
