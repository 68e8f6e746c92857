// librdkafka's mock cluster (the Kafka protocol on loopback, brokers that can be taken down
// and brought back) with one topic "qxkiv", and a consumer that reads a topic to its end.
#pragma once
#include <gtest/gtest.h>
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>

#include <string>
#include <vector>

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
