// The Kafka output of the built agent against librdkafka's mock cluster (the Kafka protocol on
// loopback, brokers that can be taken down and brought back), read back with a consumer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <map>
#include <set>
#include <thread>
#include <vector>

#include "kivhost_tree.h"
#include "mock_kafka.h"

namespace {

struct Seen {
    std::map<long long, std::string> by_seq;  // first body of each number
    std::vector<long long> order;
    size_t repeats = 0, health_down = 0, health_up = 0, unclean = 0;
    std::set<int> exec_pids;
    std::set<int32_t> partitions;
    std::set<std::string> keys;
};

Seen look(const std::vector<Message> &msgs) {
    Seen s;
    for (const Message &m : msgs) {
        s.partitions.insert(m.partition);
        s.keys.insert(m.key);
        each_document(m.value + "\n", [&](cJSON *doc) {
            const long long seq = seq_of(doc);
            auto [it, fresh] = s.by_seq.emplace(seq, m.value);
            if (!fresh) {
                ++s.repeats;
                EXPECT_EQ(it->second, m.value) << "a repeated number with another body";
            }
            s.order.push_back(seq);
            cJSON *msg = cJSON_GetObjectItem(doc, "message");
            cJSON *pid = cJSON_GetObjectItem(msg, "process_id");
            if (cJSON_IsNumber(pid)) s.exec_pids.insert(pid->valueint);
            cJSON *state = cJSON_GetObjectItem(cJSON_GetObjectItem(msg, "output"), "state");
            if (cJSON_IsString(state))
                (strcmp(state->valuestring, "up") ? s.health_down : s.health_up)++;
            cJSON *last = cJSON_GetObjectItem(cJSON_GetObjectItem(msg, "start"), "last_stop");
            if (cJSON_IsString(last) && strcmp(last->valuestring, "unclean") == 0) ++s.unclean;
        });
    }
    return s;
}

std::string machine_id() {
    std::string id = slurp("/etc/machine-id");
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id.empty() ? "unknown" : id;
}

}  // namespace

// The brokers go away for ten seconds while documents flow, then come back: every document is
// delivered once, in order, all of the host's in one partition under its uuid, and the
// output said when it went down and when it was back.
TEST(KivhostKafka, BrokersDownTenSecondsWhileDocumentsFlowEveryDocumentOnceInOrder) {
    MockKafka k(3);
    ASSERT_FALSE(k.bootstraps().empty());
    TempDir d;
    const std::string t = d.path + "/tree";
    const std::string cmd = stage_agent(t) + "KIV_STORM_QUIET=1 KIV_STORM_GAP_MS=40 " +
                            "KIV_STORM_WAIT_FILE=" + d.path + "/go " + storm_agent(t, 400) +
                            "--output kafka --kafka-brokers " + k.bootstraps() + " --stats-file " +
                            t + "/stats --stats-interval 1 >/dev/null 2>" + t + "/err";
    int status = -1;
    std::thread agent([&] { status = system(cmd.c_str()); });
    auto state = [&](const char *s) {
        return wait_until(
            [&] { return has(slurp(t + "/stats"), std::string("  output kafka: ") + s); });
    };
    EXPECT_TRUE(state("up"));
    sleep(2);
    k.down();
    EXPECT_TRUE(state("down"));
    sleep(10);
    k.up();
    // librdkafka's reconnect waits grow while a broker is away: up to 10 s by default.
    EXPECT_TRUE(state("up"));
    write_file(d.path + "/go", "");
    agent.join();
    const std::string err = slurp(t + "/err");
    EXPECT_EQ(status, 0) << err;
    const unsigned long long docs = summary_documents(err);
    EXPECT_NE(
        err.find("  output kafka: up, " + std::to_string(docs) + " delivered, 0 queued, 0 spooled"),
        std::string::npos)
        << err;

    const Seen s = look(k.consume("qxkiv"));
    EXPECT_EQ(s.order.size(), docs);
    EXPECT_EQ(s.repeats, 0u);
    for (size_t i = 1; i < s.order.size(); ++i)
        ASSERT_EQ(s.order[i], s.order[i - 1] + 1) << "out of order or a gap at " << i;
    EXPECT_EQ(s.partitions.size(), 1u);
    EXPECT_EQ(s.keys, std::set<std::string>{machine_id()});
    EXPECT_GE(s.exec_pids.size(), 350u);
    EXPECT_TRUE(s.health_down >= 1 && s.health_up >= 1) << err;
}

// The agent is killed while its spool holds documents the brokers never took; started again
// with the brokers back, it sends them first: every document at least once, a repeat only
// under the same number with the same body, and the new run's numbers after what the killed
// one had reserved, said in a health document.
TEST(KivhostKafka, KilledWithAFullSpoolThenRestartedDeliversEverythingAtLeastOnce) {
    MockKafka k(1);
    ASSERT_FALSE(k.bootstraps().empty());
    k.down();
    TempDir d;
    const std::string t = d.path + "/tree",
                      kafka = " --output kafka --kafka-brokers " + k.bootstraps();
    const std::string cmd = stage_agent(t) + "KIV_STORM_QUIET=1 KIV_STORM_WAIT_FILE=" + d.path +
                            "/never " + storm_agent(t, 100) + kafka + " --stats-file " + t +
                            "/stats --stats-interval 1 >/dev/null 2>" + t + "/err";
    int status = -1;
    std::thread agent([&] { status = system(cmd.c_str()); });
    unsigned long long spooled = 0;
    EXPECT_TRUE(wait_until([&] {
        std::string st = slurp(t + "/stats");
        size_t at = st.find(" queued, ", st.find("  output kafka: "));
        return at != std::string::npos &&
               sscanf(st.c_str() + at, " queued, %llu spooled", &spooled) == 1 && spooled >= 100;
    })) << slurp(t + "/err");
    const pid_t pid = agent_pid(t);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    agent.join();
    EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0)) << status;

    k.up();
    const std::string again =
        stage_agent(t) + "$K --seconds 6" + kafka + " >/dev/null 2>" + t + "/err2";
    EXPECT_EQ(system(again.c_str()), 0) << slurp(t + "/err2");
    const std::string err2 = slurp(t + "/err2");
    EXPECT_NE(err2.find("documents an earlier run kept in " + t + "/var/spool/kafka go first"),
              std::string::npos)
        << err2;

    const Seen s = look(k.consume("qxkiv"));
    for (int pid = 20000; pid < 20100; ++pid) EXPECT_TRUE(s.exec_pids.count(pid)) << pid;
    EXPECT_EQ(s.unclean, 1u);
    // The killed run's numbers first, without a gap; the new run's after its reservation.
    long long last_old = -1;
    for (const auto &[seq, body] : s.by_seq)
        if (seq < 65536) {
            EXPECT_EQ(seq, last_old + 1);
            last_old = seq;
        }
    EXPECT_GE(last_old, 99);
    EXPECT_TRUE(s.by_seq.rbegin()->first >= 65536) << s.by_seq.rbegin()->first;
}
