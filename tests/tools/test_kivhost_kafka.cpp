// The Kafka output of the built agent against librdkafka's mock cluster (the Kafka protocol on
// loopback, brokers that can be taken down and brought back), read back with a consumer.
#include <gtest/gtest.h>
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <map>
#include <set>
#include <thread>
#include <vector>

#include "kivhost_tree.h"

namespace {

struct Message {
    int32_t partition;
    std::string key, value;
};

class MockKafka {
  public:
    explicit MockKafka(int partitions) {
        char err[256];
        rd_kafka_conf_t *conf = rd_kafka_conf_new();
        rd_kafka_conf_set(conf, "log_level", "2", err, sizeof err);
        rk_ = rd_kafka_new(RD_KAFKA_PRODUCER, conf, err, sizeof err);
        mc_ = rk_ ? rd_kafka_mock_cluster_new(rk_, 1) : nullptr;
        if (mc_ != nullptr) {
            bootstraps_ = rd_kafka_mock_cluster_bootstraps(mc_);
            rd_kafka_mock_topic_create(mc_, "qxkiv", partitions, 1);
        }
    }
    ~MockKafka() {
        if (mc_) rd_kafka_mock_cluster_destroy(mc_);
        if (rk_) rd_kafka_destroy(rk_);
    }
    const std::string &bootstraps() const { return bootstraps_; }
    void down() { rd_kafka_mock_broker_set_down(mc_, 1); }
    void up() { rd_kafka_mock_broker_set_up(mc_, 1); }

    // Every message of the topic, in order within each partition.
    std::vector<Message> consume(const std::string &topic) {
        std::vector<Message> out;
        char err[256];
        rd_kafka_conf_t *conf = rd_kafka_conf_new();
        rd_kafka_conf_set(conf, "bootstrap.servers", bootstraps_.c_str(), err, sizeof err);
        rd_kafka_conf_set(conf, "group.id", "test", err, sizeof err);
        rd_kafka_conf_set(conf, "enable.partition.eof", "true", err, sizeof err);
        rd_kafka_conf_set(conf, "log_level", "2", err, sizeof err);
        rd_kafka_t *c = rd_kafka_new(RD_KAFKA_CONSUMER, conf, err, sizeof err);
        if (c == nullptr) {
            ADD_FAILURE() << err;
            return out;
        }
        rd_kafka_topic_t *t = rd_kafka_topic_new(c, topic.c_str(), nullptr);
        const rd_kafka_metadata_t *md = nullptr;
        int parts = 0;
        if (rd_kafka_metadata(c, 0, t, &md, 10000) == RD_KAFKA_RESP_ERR_NO_ERROR &&
            md->topic_cnt == 1)
            parts = md->topics[0].partition_cnt;
        if (md) rd_kafka_metadata_destroy(md);
        rd_kafka_topic_destroy(t);
        rd_kafka_topic_partition_list_t *l = rd_kafka_topic_partition_list_new(parts);
        for (int p = 0; p < parts; ++p)
            rd_kafka_topic_partition_list_add(l, topic.c_str(), p)->offset =
                RD_KAFKA_OFFSET_BEGINNING;
        rd_kafka_assign(c, l);
        rd_kafka_topic_partition_list_destroy(l);
        int eof = 0;
        for (int idle = 0; eof < parts && idle < 60;) {
            rd_kafka_message_t *m = rd_kafka_consumer_poll(c, 500);
            if (m == nullptr) {
                ++idle;
                continue;
            }
            if (m->err == RD_KAFKA_RESP_ERR__PARTITION_EOF)
                ++eof;
            else if (m->err == RD_KAFKA_RESP_ERR_NO_ERROR)
                out.push_back({m->partition, std::string(static_cast<char *>(m->key), m->key_len),
                               std::string(static_cast<char *>(m->payload), m->len)});
            rd_kafka_message_destroy(m);
        }
        EXPECT_EQ(eof, parts) << "the topic was not read to its end";
        rd_kafka_consumer_close(c);
        rd_kafka_destroy(c);
        return out;
    }

  private:
    rd_kafka_t *rk_ = nullptr;
    rd_kafka_mock_cluster_t *mc_ = nullptr;
    std::string bootstraps_;
};

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
        size_t at = st.find("  output kafka: ");
        return at != std::string::npos &&
               sscanf(st.c_str() + at,
                      "  output kafka: %*s %*u delivered, %*u queued, %llu spooled",
                      &spooled) == 1 &&
               spooled >= 100;
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
