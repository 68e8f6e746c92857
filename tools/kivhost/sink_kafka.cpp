#include <errno.h>
#include <librdkafka/rdkafka.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "host_core.h"
#include "sinks.h"

namespace kivhost {

bool kafka_brokers_ok(const std::string &list, std::string *why) {
    if (list.empty()) {
        *why = "--kafka-brokers needs host:port[,host:port...]";
        return false;
    }
    size_t pos = 0;
    do {
        size_t comma = list.find(',', pos);
        std::string item = list.substr(pos, comma == std::string::npos ? comma : comma - pos);
        pos = comma == std::string::npos ? list.size() + 1 : comma + 1;
        while (!item.empty() && item.front() == ' ') item.erase(0, 1);
        while (!item.empty() && item.back() == ' ') item.pop_back();
        auto bad = [&](const char *what) {
            *why = "--kafka-brokers: '" + item + "' " + what;
            return false;
        };
        size_t scheme = item.find("://");
        if (scheme != std::string::npos) {
            for (size_t i = 0; i < scheme; ++i)
                if (!isalpha(static_cast<unsigned char>(item[i])) && item[i] != '_')
                    return bad("has a scheme that is not a word");
            item.erase(0, scheme + 3);
        }
        size_t colon = item.rfind(':');
        if (item.empty() || colon == std::string::npos || colon == 0 || colon + 1 == item.size())
            return bad("is not host:port");
        std::string host = item.substr(0, colon), port = item.substr(colon + 1);
        if (host.front() == '[' ? host.back() != ']' : host.find(':') != std::string::npos)
            return bad("has an IPv6 address without brackets");
        for (char c : host)
            if (c <= ' ' || c == '/' || c == '@' || static_cast<unsigned char>(c) >= 0x7F)
                return bad("has a host name with a character no host name has");
        unsigned long p = 0;
        for (char c : port) {
            if (c < '0' || c > '9' || (p = p * 10 + static_cast<unsigned>(c - '0')) > 65535)
                return bad("has no port from 1 to 65535");
        }
        if (p == 0) return bad("has no port from 1 to 65535");
    } while (pos <= list.size());
    return true;
}

bool kafka_topic_for(const std::string &pattern, int32_t type, std::string *topic,
                     std::string *why) {
    topic->clear();
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%' || i + 1 == pattern.size()) {
            *topic += pattern[i];
        } else if (pattern[++i] == 't') {
            for (const char *n = upload_type_name(type); *n; ++n)
                *topic += static_cast<char>(tolower(static_cast<unsigned char>(*n)));
        } else if (pattern[i] == '%') {
            *topic += '%';
        } else {
            *why = "--kafka-topic: %" + std::string(1, pattern[i]) + " is not %t or %%";
            return false;
        }
    }
    // Kafka's own rule for topic names.
    bool legal = !topic->empty() && topic->size() <= 249 && *topic != "." && *topic != "..";
    for (char c : *topic)
        legal = legal && (isalnum(static_cast<unsigned char>(c)) || strchr("._-", c));
    if (!legal)
        *why =
            "--kafka-topic: '" + *topic + "' is not a Kafka topic name ([a-zA-Z0-9._-], 1 to 249)";
    return legal;
}

namespace {

// What a failed delivery report means for the output: an errno, and whether any try can help.
int errno_of(rd_kafka_resp_err_t e, bool *permanent) {
    *permanent = false;
    switch (e) {
        case RD_KAFKA_RESP_ERR_MSG_SIZE_TOO_LARGE:
        case RD_KAFKA_RESP_ERR_INVALID_MSG_SIZE:
            *permanent = true;
            return EMSGSIZE;
        case RD_KAFKA_RESP_ERR_INVALID_MSG:
        case RD_KAFKA_RESP_ERR_INVALID_RECORD:
            *permanent = true;
            return EINVAL;
        case RD_KAFKA_RESP_ERR__MSG_TIMED_OUT:
        case RD_KAFKA_RESP_ERR__TIMED_OUT:
        case RD_KAFKA_RESP_ERR_REQUEST_TIMED_OUT:
            return ETIMEDOUT;
        case RD_KAFKA_RESP_ERR__TRANSPORT:
        case RD_KAFKA_RESP_ERR__ALL_BROKERS_DOWN:
            return ECONNREFUSED;
        case RD_KAFKA_RESP_ERR_TOPIC_AUTHORIZATION_FAILED:
        case RD_KAFKA_RESP_ERR_CLUSTER_AUTHORIZATION_FAILED:
        case RD_KAFKA_RESP_ERR__AUTHENTICATION:
            return EACCES;
        case RD_KAFKA_RESP_ERR__UNKNOWN_TOPIC:
        case RD_KAFKA_RESP_ERR_UNKNOWN_TOPIC_OR_PART:
            return ENOENT;
        case RD_KAFKA_RESP_ERR__QUEUE_FULL:
            return EAGAIN;
        default:
            return EIO;
    }
}

class KafkaSink : public Sink {
  public:
    explicit KafkaSink(KafkaConfig c) : cfg_(std::move(c)) {}
    ~KafkaSink() override { destroy(); }

    int open(std::string *why) override {
        if (!kafka_brokers_ok(cfg_.brokers, why)) return EINVAL;
        for (int slot = 0; slot < kSlots; ++slot) {
            std::string topic;
            const int32_t type = slot == kHealthSlot ? kHealthType : slot;
            if (!kafka_topic_for(cfg_.topic, type, &topic, why)) return EINVAL;
            topics_[slot] = topic;
        }
        return create(why);
    }

    bool async() const override { return true; }

    WriteResult write(const DocPtr *docs, const uint64_t *ids, size_t n) override {
        if (rk_ == nullptr) {
            std::string why;
            if (create(&why) != 0) return {0, EIO, false, false};
        }
        for (size_t i = 0; i < n; ++i) {
            const Document &d = *docs[i];
            const std::string &topic = topics_[type_slot(d.type)];
            rd_kafka_resp_err_t e = rd_kafka_producev(
                rk_, RD_KAFKA_V_TOPIC(topic.c_str()),
                RD_KAFKA_V_KEY(cfg_.key.data(), cfg_.key.size()),
                RD_KAFKA_V_VALUE(const_cast<char *>(d.text.data()), d.text.size()),
                RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY),
                RD_KAFKA_V_OPAQUE(reinterpret_cast<void *>(static_cast<uintptr_t>(ids[i]))),
                RD_KAFKA_V_END);
            if (e != RD_KAFKA_RESP_ERR_NO_ERROR) {
                bool permanent = false;
                return {i, errno_of(e, &permanent), permanent, false};
            }
        }
        return {n, 0, false, false};
    }

    void poll(int timeout_ms, std::vector<Report> *out) override {
        if (rk_ == nullptr) return;
        rd_kafka_poll(rk_, timeout_ms);
        char why[256];
        if (rd_kafka_fatal_error(rk_, why, sizeof why) != RD_KAFKA_RESP_ERR_NO_ERROR) {
            // The idempotent producer cannot go on: what it held fails and is tried again
            // through a new one.
            fprintf(term(), "kivhost: kafka: %s; starting a new producer\n", why);
            destroy();
        }
        out->insert(out->end(), reports_.begin(), reports_.end());
        reports_.clear();
    }

    bool far_end_down() override { return down_.exchange(false); }

    void flush(int timeout_ms) override {
        if (rk_ != nullptr) rd_kafka_flush(rk_, timeout_ms);
    }

  private:
    static void on_report(rd_kafka_t *, const rd_kafka_message_t *m, void *opaque) {
        auto *self = static_cast<KafkaSink *>(opaque);
        Report r{static_cast<uint64_t>(reinterpret_cast<uintptr_t>(m->_private)), 0, false};
        if (m->err != RD_KAFKA_RESP_ERR_NO_ERROR) r.err = errno_of(m->err, &r.permanent);
        self->reports_.push_back(r);
    }

    static void on_error(rd_kafka_t *, int err, const char *reason, void *opaque) {
        auto *self = static_cast<KafkaSink *>(opaque);
        if (err == RD_KAFKA_RESP_ERR__ALL_BROKERS_DOWN) self->down_.store(true);
        self->say(reason);
    }

    static void on_log(const rd_kafka_t *rk, int level, const char *fac, const char *buf) {
        auto *self = static_cast<KafkaSink *>(rd_kafka_opaque(rk));
        if (level <= 4 && self != nullptr) self->say(buf);
    }

    // librdkafka repeats itself while a broker is away: one line a minute at most.
    void say(const char *what) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        std::lock_guard<std::mutex> lk(say_mu_);
        if (said_at_ != 0 && ts.tv_sec - said_at_ < 60) {
            ++unsaid_;
            return;
        }
        fprintf(term(), "kivhost: kafka: %s%s\n", what,
                unsaid_ ? (" (and " + std::to_string(unsaid_) + " more since)").c_str() : "");
        said_at_ = ts.tv_sec;
        unsaid_ = 0;
    }

    int create(std::string *why) {
        char err[512] = {};
        rd_kafka_conf_t *conf = rd_kafka_conf_new();
        // Ours first, so the operator's options win.
        const std::pair<std::string, std::string> ours[] = {
            {"bootstrap.servers", cfg_.brokers}, {"enable.idempotence", "true"}, {"acks", "all"},
            {"compression.type", "zstd"},        {"client.id", "kivhost"},
        };
        auto set = [&](const std::string &k, const std::string &v, bool operator_given) {
            if (rd_kafka_conf_set(conf, k.c_str(), v.c_str(), err, sizeof err) == RD_KAFKA_CONF_OK)
                return true;
            *why = (operator_given ? "--kafka-option " + k + "=...: " : k + ": ") + err;
            return false;
        };
        for (const auto &[k, v] : ours)
            if (!set(k, v, false)) return rd_kafka_conf_destroy(conf), EINVAL;
        for (const auto &[k, v] : cfg_.options)
            if (!set(k, v, true)) return rd_kafka_conf_destroy(conf), EINVAL;
        rd_kafka_conf_set_opaque(conf, this);
        rd_kafka_conf_set_dr_msg_cb(conf, on_report);
        rd_kafka_conf_set_error_cb(conf, on_error);
        rd_kafka_conf_set_log_cb(conf, on_log);
        rk_ = rd_kafka_new(RD_KAFKA_PRODUCER, conf, err, sizeof err);
        if (rk_ == nullptr) {
            rd_kafka_conf_destroy(conf);
            *why = std::string("the Kafka producer: ") + err;
            return EINVAL;
        }
        return 0;
    }

    void destroy() {
        if (rk_ == nullptr) return;
        // Unconfirmed documents stay in the spool: their reports say so, and they go again.
        rd_kafka_purge(rk_, RD_KAFKA_PURGE_F_QUEUE | RD_KAFKA_PURGE_F_INFLIGHT);
        rd_kafka_poll(rk_, 0);
        rd_kafka_destroy(rk_);
        rk_ = nullptr;
    }

    KafkaConfig cfg_;
    std::string topics_[kSlots];
    rd_kafka_t *rk_ = nullptr;
    std::vector<Report> reports_;  // filled by callbacks on the polling thread
    std::atomic<bool> down_{false};
    std::mutex say_mu_;
    long said_at_ = 0;
    unsigned long unsaid_ = 0;
};

}  // namespace

std::unique_ptr<Sink> make_kafka_sink(KafkaConfig c) {
    return std::make_unique<KafkaSink>(std::move(c));
}

}  // namespace kivhost
