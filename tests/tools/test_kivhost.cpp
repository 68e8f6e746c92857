#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "health.h"
#include "kivhost_tree.h"
#include "host_core.h"
#include "qxkiv/qxkiv.h"
#include "test_io.h"
#include "view.h"

using namespace kivhost;

TEST(KivhostOptions, GoodAndBadCommandLines) {
    Options o;
    std::string err;
    auto parse = [&](std::vector<const char *> args) {
        args.insert(args.begin(), "kivhost");
        err.clear();
        return parse_options(static_cast<int>(args.size()), args.data(), &o, &err);
    };
    ASSERT_EQ(parse({"--seconds", "3", "--mask=0XF", "--output=/o", "--lib", "/l"}), Parse::kRun);
    EXPECT_TRUE(o.seconds == 3 && o.mask == 15 && o.outputs == std::vector<std::string>{"/o"} &&
                o.lib == "/l");
    ASSERT_EQ(parse({"--verbose", "--format", "compact", "--only",
                     "proc_exec, DNS_QUERY,SENSOR_HEALTH", "--health-interval", "0"}),
              Parse::kRun)
        << err;
    EXPECT_TRUE(o.verbose && o.compact && o.health_interval == 0 &&
                o.only == (1u << UPLOAD_PROC_EXEC | 1u << UPLOAD_DNS_QUERY | 1u << kHealthSlot));
    EXPECT_EQ(parse({"--mask", "0", "-h", "--bogus"}), Parse::kHelp);
    // --version still wants a good command line (and --lib chooses the library it reports).
    EXPECT_EQ(parse({"--seconds", "1", "--version", "--bogus"}), Parse::kError);

    // Syslog and statistics options at their bounds; a socket path of 107 bytes still fits.
    const std::string path107 = "/" + std::string(106, 's'), path108 = path107 + "s";
    ASSERT_EQ(parse({"--output", "syslog", "--syslog-socket", path107.c_str(), "--syslog-stream=/t",
                     "--syslog-max", "480", "--stats-file", "/x", "--stats-interval=86400"}),
              Parse::kRun)
        << err;
    EXPECT_TRUE(o.outputs[0] == "syslog" && o.syslog_socket == path107 && o.syslog_stream == "/t" &&
                o.syslog_max == 480 && o.stats_file == "/x" && o.stats_interval == 86400);
    ASSERT_EQ(parse({"--output=syslog", "--syslog-max=262144", "--stats-file=/x",
                     "--stats-interval", "1"}),
              Parse::kRun);
    EXPECT_TRUE(o.syslog_max == 262144 && o.stats_interval == 1);
    ASSERT_EQ(parse({"--append", "--output", "./syslog"}), Parse::kRun);  // a file named so
    EXPECT_TRUE(o.append && o.outputs[0] == "./syslog" && !o.stats_openmetrics && !o.check_config);
    EXPECT_EQ(out_kind("./syslog"), OutKind::kFile);
    // Several outputs at once; Kafka options are handed on as given, "=" in a value too.
    ASSERT_EQ(parse({"--output", "-", "--output=/f", "--output", "kafka", "--output", "syslog",
                     "--kafka-brokers", "SASL_SSL://k1:9093, [::1]:9092", "--kafka-topic=q-%t",
                     "--kafka-option", "sasl.password=a=b", "--kafka-option=acks=1"}),
              Parse::kRun)
        << err;
    EXPECT_TRUE(o.outputs == (std::vector<std::string>{"-", "/f", "kafka", "syslog"}) &&
                o.kafka_topic == "q-%t");
    EXPECT_TRUE(o.kafka_options == (std::vector<std::pair<std::string, std::string>>{
                                       {"sasl.password", "a=b"}, {"acks", "1"}}));
    ASSERT_EQ(parse({"--schema=ecs", "--community-id-seed", "65535"}), Parse::kRun) << err;
    EXPECT_TRUE(o.ecs && o.community_id_seed == 65535);
    // Secrets from a file only its owner's group may read; comments and blanks are skipped.
    TempDir d;
    const std::string secret = d.path + "/kafka", open_to_all = d.path + "/kafka-o";
    write_file(secret, "# credentials\n\n  sasl.username=sensor\r\nsasl.password= p=w \n");
    write_file(open_to_all, "a=b\n");
    chmod(secret.c_str(), 0640), chmod(open_to_all.c_str(), 0644);
    ASSERT_EQ(parse({"--output", "kafka", "--kafka-brokers", "k:1", "--kafka-option", "acks=1",
                     "--kafka-options-file", secret.c_str()}),
              Parse::kRun)
        << err;
    EXPECT_TRUE(o.kafka_options ==
                (std::vector<std::pair<std::string, std::string>>{
                    {"acks", "1"}, {"sasl.username", "sensor"}, {"sasl.password", " p=w"}}));
    EXPECT_EQ(parse({"--output", "kafka", "--kafka-brokers", "k:1", "--kafka-options-file",
                     open_to_all.c_str()}),
              Parse::kError);
    EXPECT_NE(err.find("every user can read it"), std::string::npos) << err;
    write_file(secret, "sasl.username\n");
    EXPECT_EQ(parse({"--output", "kafka", "--kafka-brokers", "k:1", "--kafka-options-file",
                     secret.c_str()}),
              Parse::kError);
    EXPECT_NE(err.find("line 1: not KEY=VALUE"), std::string::npos) << err;
    ASSERT_EQ(parse({"--stats-file=/x", "--stats-format", "openmetrics", "--check-config"}),
              Parse::kRun);
    EXPECT_TRUE(o.stats_openmetrics && o.check_config);

    // Each row: the command line and a word the message must hold.
    const std::vector<std::pair<std::vector<const char *>, const char *>> bad = {
        {{"--seconds"}, "--seconds"},
        {{"--seconds=2s"}, "--seconds"},
        {{"--mask", "0x"}, "--mask"},
        {{"--output="}, "--output"},
        {{"--output", "/f", "--output=/f"}, "--output /f is given twice"},
        {{"--output", "kafka"}, "--output kafka needs --kafka-brokers"},
        {{"--kafka-brokers", "k:1"}, "need --output kafka"},
        {{"--output", "kafka", "--kafka-brokers", "k"}, "'k' is not host:port"},
        {{"--output", "kafka", "--kafka-brokers", "k:1,k:0"}, "'k:0' has no port"},
        {{"--output", "kafka", "--kafka-brokers", "k:65536"}, "has no port from 1 to 65535"},
        {{"--output", "kafka", "--kafka-brokers", "::1:9092"}, "IPv6 address without brackets"},
        {{"--output", "kafka", "--kafka-brokers", "a b:1"}, "a character no host name has"},
        {{"--output", "kafka", "--kafka-brokers", "k:1", "--kafka-topic", "a/b"},
         "'a/b' is not a Kafka topic name"},
        {{"--output", "kafka", "--kafka-brokers", "k:1", "--kafka-topic", "q%s"},
         "%s is not %t or %%"},
        {{"--output", "kafka", "--kafka-brokers", "k:1", "--kafka-option", "=1"}, "KEY=VALUE"},
        {{"--output", "kafka", "--kafka-brokers", "k:1", "--spool-max-mb", "0"}, "needs its spool"},
        {{"--rotate-mb", "1"}, "need --output FILE"},
        {{"--output", "/f", "--rotate-compress"}, "need --rotate-mb"},
        {{"--rotate-compress=1"}, "takes no value"},
        {{"--spool-dir="}, "--spool-dir needs a file path"},
        {{"--schema", "json"}, "--schema needs native or ecs"},
        {{"--community-id-seed", "1"}, "--community-id-seed needs --schema ecs"},
        {{"--libx=/a"}, "unknown"},
        {{"--output", "syslog", "--syslog-max", "479"}, "--syslog-max"},
        {{"--output", "syslog", "--syslog-max", "262145"}, "--syslog-max"},
        {{"--output", "syslog", "--syslog-socket", path108.c_str()}, "107"},
        // Options that would be ignored silently.
        {{"--syslog-socket", "/s"}, "--output syslog"},
        {{"--stats-interval", "5"}, "--stats-file"},
        {{"--format", "compact", "--output", "syslog"}, "standard output or --output FILE"},
        // An unknown or empty name names every valid one.
        {{"--only", "PROC_EXEC,BOGUS"}, "unknown type 'BOGUS'; the types are APP_LOG, FILE_MOD,"},
        {{"--only", "PROC_EXEC,"}, "an empty name"},
    };
    for (const auto &[b, says] : bad) {
        std::string line;
        for (const char *a : b) line += std::string(a) + " ";
        EXPECT_EQ(parse(b), Parse::kError) << line;
        EXPECT_NE(err.find(says), std::string::npos) << line << "-> " << err;
    }
}

// The built agent in a private copy of the staged tree (kernel stand-in, own logs). Rows:
// arguments, a text the output holds, exit status.
TEST(KivhostBinary, ExitCodesAndUsage) {
    const std::tuple<std::string, const char *, int> runs[] = {
        {"$K --help", "--health-interval N", 0},
        {"$K -h", "after exit_mod_manager, init_mod_manager returns 0 and starts\nnothing", 0},
        {"$K --mask 0x1F", "--mask needs", 2},
        {"$K --output /dev/null & sleep 1; kill $!; wait $!", " uploads refused\n", 0},  // SIGTERM
        // The reason a start failed reaches the agent's own message.
        {"sed -i 's/^kernel_mode *=.*/kernel_mode = userspce/' $T/config/sensor.conf; $K",
         "/logs/sensor.log/ and the library's echo in ", 1},
        {"sed -i 's/^kernel_mode *=.*/kernel_mode = userspce/' $T/config/sensor.conf; $K",
         "unknown kernel_mode = userspce", 1},
        // An echo file that cannot be had leaves the echo on the terminal, not the agent stopped.
        {"mkdir -p $T/logs/sensor.log; ln -s $T/elsewhere $T/logs/sensor.log/console.log; $K "
         "--seconds 1 --output /dev/null; r=$?; [ ! -e $T/elsewhere ] && exit $r",
         "console.log (it is a symbolic link): the library's echo stays on the terminal\n", 0},
        {"$K --version", "\nlibqxkiv 1.1.0_", 0},
        {"$K --version --lib $T/none.so", "libqxkiv: cannot load", 1},
        {"$K --output syslog --append", "--append needs --output FILE", 2},
        // No syslog daemon is not a reason to stop: the summary says what was not delivered.
        {"$K --seconds 1 --output syslog --syslog-socket $T/none.sock",
         "  syslog: 0 over the stream", 0},
        // Statistics every second and at the stop; a directory that is not there is said
        // once and the agent runs on.
        {"$K --output /dev/null --seconds 2 --stats-file $T/s --stats-interval 1; r=$?; cat $T/s;"
         " exit $r",
         "\nMALLOC_IN_USE_TIMES(malloc memory times that not free yet): ", 0},
        {"$K --output /dev/null --seconds 1 --stats-file $T/no/s", "cannot write the statistics",
         0},
        {"echo kept >$T/o; $K --seconds 1 --append --output $T/o; r=$?; head -1 $T/o; exit $r",
         "kept\n", 0},
        {"echo gone >$T/o; $K --seconds 1 --output $T/o; r=$?; grep -c gone $T/o; exit $r", "\n0\n",
         0},
        // A Kafka setting librdkafka refuses stops the agent before the sensor starts.
        {"$K --output kafka --kafka-brokers 127.0.0.1:9 --kafka-option no.such.property=1",
         "cannot open output kafka 127.0.0.1:9: --kafka-option no.such.property=...: ", 2},
        // The reader of standard output went away: a stop nobody asked for is not status 0.
        {"{ KIV_STORM_QUIET=1 KIV_STORM_GAP_MS=50 " + storm_agent("$T", 200) +
             "; echo $? >$T/st; } | head -c 1 >/dev/null; exit $(cat $T/st)",
         "kivhost: output stdout cannot work again (Broken pipe), stopping\n", 1},
        // A second agent on the same installation names the running one.
        {"$K --output /dev/null --seconds 30 & for i in $(seq 300); do [ -s "
         "$T/var/data/qxkiv.lock ] && break; sleep 0.1; done; $K --seconds 1; r=$?; kill $!; "
         "wait $!; exit $r",
         "another sensor (pid ", 1},
    };
    const std::string setup =
        "exec 2>&1; T=$(mktemp -d); trap 'rm -rf $T' EXIT; " + stage_agent("$T");
    for (auto &[args, says, status] : runs) {
        std::string out;
        FILE *p = popen((setup + args).c_str(), "r");
        for (int c; (c = fgetc(p)) != EOF;) out += char(c);
        int st = pclose(p);
        EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, status) << args << "\n" << out;
        EXPECT_NE(out.find(says), std::string::npos) << says;
    }
}

namespace {
// An output of d named name writing to fd, its queue bounded to queue bytes; opened when
// fd is one.
Output *file_output(Delivery &d, const std::string &name, int fd, uint64_t queue) {
    FileSinkConfig fc;
    fc.fd = fd;
    OutputConfig oc;
    oc.name = name, oc.queue_max_bytes = queue;
    d.add(std::make_unique<Output>(oc, make_file_sink(fc)));
    std::string why, warn;
    if (fd >= 0) EXPECT_EQ(d.outputs().back()->open(&why, &warn), 0) << why;
    return d.outputs().back().get();
}
}  // namespace

// Collector threads upload at once into an output on a pipe drained slowly (short writes,
// EAGAIN): every line is one whole document, numbered in the order the lines stand, each
// number once, from the first one given.
TEST(KivhostDelivery, ConcurrentUploadsArriveWholeInNumberOrder) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    std::string got;
    std::thread reader([&] {
        fcntl(fds[0], F_SETFL, 0);
        char buf[1000];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, n);
    });
    Delivery d;
    file_output(d, "stdout", fds[1], 1ull << 30)->start();
    d.set_seq(1000, nullptr);
    bind_callbacks(&d, nullptr);
    constexpr int kThreads = 6, kDocs = 200;
    auto doc = [](int t, int i) {  // up to 90 KB, beyond the pipe's buffer
        return "{\"host_uuid\":\"h\",\"seq_id\":\"7\",\"t\":" + std::to_string(t) +
               ",\"i\":" + std::to_string(i) + ",\"pad\":\"" +
               std::string((i % 7) * 15000, 'a' + t) + "\"}";
    };
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t, doc] {
            for (int i = 0; i < kDocs; ++i)
                EXPECT_EQ(kivhost_upload(doc(t, i).data(), doc(t, i).size(), t, 0), 0);
        });
    for (auto &w : writers) w.join();
    bind_callbacks(nullptr, nullptr);
    d.stop(0);
    close(fds[1]), reader.join(), close(fds[0]);
    std::set<std::pair<int, int>> seen;
    unsigned long long want_seq = 1000;
    for (size_t pos = 0, nl; (nl = got.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        std::string line = got.substr(pos, nl - pos);
        int t = -1, i;
        unsigned long long seq = 0;
        ASSERT_TRUE(sscanf(line.c_str(),
                           "{\"host_uuid\":\"h\",\"seq_id\":\"%llu\",\"t\":%d,\"i\":%d", &seq, &t,
                           &i) == 3 &&
                    t >= 0 && t < kThreads)
            << line.substr(0, 80);
        std::string want = doc(t, i);
        want.replace(want.find("\"7\""), 3, "\"" + std::to_string(seq) + "\"");
        EXPECT_EQ(line, want);
        EXPECT_EQ(seq, want_seq++);
        seen.emplace(t, i);
    }
    EXPECT_EQ(seen.size(), size_t(kThreads * kDocs));
    EXPECT_EQ(d.next_seq(), 1000u + kThreads * kDocs);
    EXPECT_EQ(d.outputs()[0]->stats().delivered, uint64_t(kThreads * kDocs));
}

// What the dispatcher takes and what it refuses, as a table of uploads and their lines.
TEST(KivhostDelivery, FlatteningNumberingRefusalsAndSummary) {
    FILE *f = tmpfile();
    Delivery d;
    file_output(d, "stdout", fileno(f), 4096);
    std::string why;
    uint32_t only = 0;
    ASSERT_TRUE(parse_only("PROC_EXEC,NORMAL_PROTECTION_BLOCK,FILE_MOD", &only, &why));
    only |= 1u << kUnknownSlot;
    d.set_only(only);
    const std::string big(5000, 'x');  // beyond the queue: refused, and its number given again
    const std::tuple<const char *, int32_t, int> uploads[] = {
        {"{\"b\":\n2,\r\"seq_id\":\"5\"}", UPLOAD_PROC_EXEC, 0},  // raw breaks, a seq_id after
        {",\"seq_id\":\"\",\"x\":1}", UPLOAD_NORMAL_PROTECTION_BLOCK, 0},  // no digits yet
        {",\"seq_id\":\"12x\"}", UPLOAD_FILE_MOD, 0},  // not a number: left as it is
        {"{}", UPLOAD_TYPE_MAX_, 0},
        {"{}", UPLOAD_DNS_QUERY, 0},  // left out by --only
        {nullptr, UPLOAD_PROC_EXEC, -1},
        {"", UPLOAD_PROC_EXEC, -1},
        {big.c_str(), UPLOAD_PROC_EXEC, -1},
        {"{,\"seq_id\":\"9\"}", UPLOAD_PROC_EXEC, 0},
    };
    d.set_seq(41, nullptr);
    for (const auto &[text, type, rc] : uploads)
        EXPECT_EQ(d.upload(text, text ? strlen(text) : 0, type), rc) << (text ? text : "null");
    EXPECT_EQ(d.next_seq(), 46u);
    while (d.outputs()[0]->stats().queued != 0) d.outputs()[0]->step();
    char buf[256] = {};
    ASSERT_GT(pread(fileno(f), buf, sizeof buf - 1, 0), 0);
    EXPECT_STREQ(buf,
                 "{\"b\": 2, \"seq_id\":\"5\"}\n,\"seq_id\":\"42\",\"x\":1}\n"
                 ",\"seq_id\":\"12x\"}\n{}\n{,\"seq_id\":\"45\"}\n");
    EXPECT_TRUE(has(d.summary(2), "  UNKNOWN                  1\n  left out by --only: 1\n"));
    d.stop(0);
    fclose(f);
}

namespace {

// A bound (and for streams listening) unix socket whose reads give up after 30 s, so a lost
// message fails the test instead of hanging it.
int unix_server(const std::string &path, int type) {
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        (type == SOCK_STREAM && listen(fd, 8) != 0))
        ADD_FAILURE() << path << ": " << strerror(errno);
    timeval tv = {30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

int accept_one(int listener) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    timeval tv = {30, 0};
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

std::string recv_dgram(int fd) {
    std::string buf(300000, '\0');
    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    buf.resize(n > 0 ? n : 0);
    return buf;
}

// One octet-counted frame: a non-zero-led length, a blank, that many bytes.
bool read_frame(int fd, std::string *msg) {
    std::string len;
    for (char c; recv(fd, &c, 1, 0) == 1 && c != ' ';) {
        if (c < '0' || c > '9' || (len.empty() && c == '0')) return false;
        len += c;
    }
    if (len.empty()) return false;
    msg->assign(std::stoul(len), '\0');
    for (size_t got = 0; got < msg->size();) {
        ssize_t r = recv(fd, msg->data() + got, msg->size() - got, 0);
        if (r <= 0) return false;
        got += r;
    }
    return true;
}

// The MSG of an RFC 5424 message without structured data.
std::string msg_of(const std::string &m) {
    const size_t at = m.find(" - ");
    return at == std::string::npos ? "" : m.substr(at + 3);
}

// The sink's try at one document of type.
WriteResult send_doc(SyslogSink &s, const std::string &text, int32_t type) {
    auto doc = std::make_shared<Document>();
    doc->type = type, doc->text = text;
    DocPtr p = doc;
    return s.write(&p, nullptr, 1);
}

}  // namespace

TEST(KivhostSyslog, HeaderBytes) {
    const std::string h255(255, 'n');
    // type, seconds, microseconds, zone offset, host, pid, the header.
    const std::tuple<int32_t, int64_t, long, long, std::string, long, std::string> rows[] = {
        {UPLOAD_APP_LOG, 0, 0, 0, "h", 1,
         "<14>1 1970-01-01T00:00:00.000000+00:00 h qxkiv 1 APP_LOG - "},
        // West of UTC, half-hour zone, across midnight into the previous year.
        {UPLOAD_DNS_QUERY, 0, 5, -12600, "h", 7,
         "<14>1 1969-12-31T20:30:00.000005-03:30 h qxkiv 7 DNS_QUERY - "},
        // An offset with seconds (old local mean time) is shown and applied in whole minutes.
        {UPLOAD_FILE_MOD, 0, 0, 3659, "h", 7,
         "<14>1 1970-01-01T01:00:00.000000+01:00 h qxkiv 7 FILE_MOD - "},
        {UPLOAD_NORMAL_PROTECTION_BLOCK, 253402300799, 0, 0, "h", 7,
         "<14>1 9999-12-31T23:59:59.000000+00:00 h qxkiv 7 NORMAL_PROTECTION_BLOCK - "},
        // Types outside the table, then host names RFC 5424 does not allow as they are.
        {-1, 0, 0, 0, "", 7, "<14>1 1970-01-01T00:00:00.000000+00:00 - qxkiv 7 UNKNOWN - "},
        {UPLOAD_APP_LOG, 0, 0, 0, "a b\x7f\xc3\xa9", 7,
         "<14>1 1970-01-01T00:00:00.000000+00:00 a_b___ qxkiv 7 APP_LOG - "},
        {UPLOAD_APP_LOG, 0, 0, 0, h255 + "cut", 7,
         "<14>1 1970-01-01T00:00:00.000000+00:00 " + h255 + " qxkiv 7 APP_LOG - "},
    };
    for (const auto &[type, sec, usec, off, host, pid, want] : rows)
        EXPECT_EQ(syslog_header(type, sec, usec, off, host, pid), want);
    // Length counts bytes; the count grows a digit at 10.
    EXPECT_EQ(octet_frame("\xc3\xa9"), "2 \xc3\xa9");
    EXPECT_EQ(octet_frame("1234567890"), "10 1234567890");
}

// A message of exactly --syslog-max bytes is a datagram, one byte more goes to the stream;
// without a stream it is refused for good, not cut; a stream reader gone is found again.
TEST(KivhostSyslog, DatagramStreamBoundaryRefusalAndReconnect) {
    TempDir d;
    const std::string dg_path = d.path + "/dg", st_path = d.path + "/st";
    int dg = unix_server(dg_path, SOCK_DGRAM), st = unix_server(st_path, SOCK_STREAM);
    SyslogConfig c;
    c.dgram_path = dg_path, c.stream_path = st_path, c.dgram_max = 600, c.host = "h";
    SyslogSink sink(c);
    const size_t head = syslog_header(UPLOAD_PROC_EXEC, 0, 0, 0, "h", getpid()).size();
    const std::string fits = "{\"p\":\"" + std::string(600 - head - 8, 'a') + "\"}";
    ASSERT_EQ(head + fits.size(), 600u);
    const std::string over = "{\"p\":\"b" + fits.substr(6);

    ASSERT_EQ(send_doc(sink, fits, UPLOAD_PROC_EXEC).done, 1u);
    std::string m = recv_dgram(dg);
    EXPECT_EQ(m.size(), 600u);
    EXPECT_EQ(msg_of(m), fits);

    ASSERT_EQ(send_doc(sink, over, UPLOAD_DNS_QUERY).done, 1u);
    int conn = accept_one(st);
    ASSERT_GE(conn, 0);
    ASSERT_TRUE(read_frame(conn, &m));
    EXPECT_EQ(m.size(), 601u);
    EXPECT_EQ(msg_of(m), over);
    EXPECT_EQ(recv(dg, &m[0], 1, MSG_DONTWAIT), -1) << "also sent as a datagram";

    // The stream's reader went away: the next frame goes whole over a new connection.
    close(conn);
    ASSERT_EQ(send_doc(sink, over, UPLOAD_PROC_EXEC).done, 1u);
    conn = accept_one(st);
    ASSERT_TRUE(read_frame(conn, &m));
    EXPECT_EQ(msg_of(m), over);
    close(conn);

    EXPECT_TRUE(sink.streamed() == 2 && sink.too_long() == 0);

    // No stream socket: too long is refused for good; nothing is cut into a datagram.
    SyslogConfig nc = c;
    nc.stream_path.clear();
    SyslogSink short_only(nc);
    WriteResult refused = send_doc(short_only, over, UPLOAD_PROC_EXEC);
    EXPECT_TRUE(refused.done == 0 && refused.permanent && short_only.too_long() == 1);
    EXPECT_EQ(send_doc(short_only, fits, UPLOAD_PROC_EXEC).done, 1u);
    EXPECT_EQ(msg_of(recv_dgram(dg)), fits) << "the refused one arrived";
    close(dg), close(st);
}

namespace {
// Fake statistics walkers: the library's contract, and ways of breaking it.
int s_walk_lines;
int walk_long_second(char *buf, int len, int *index) {  // needs more than 512 bytes
    if (*index >= 3) return 0;
    std::string line = *index == 1 ? std::string(2000, 'L') + "\n" : "s\n";
    if (int(line.size()) >= len) return -1;
    memcpy(buf, line.c_str(), line.size() + 1);
    return ++*index, int(line.size());
}
int walk_stuck(char *buf, int len, int *index) {  // claims lines but never advances
    return snprintf(buf, len, "x\n");
}
int walk_forever(char *buf, int len, int *index) {
    ++s_walk_lines;
    return ++*index, snprintf(buf, len, "y\n");
}
}  // namespace

TEST(KivhostStats, FileReplacedWholeDespiteBadWalkers) {
    TempDir d;
    const std::string path = d.path + "/stats";
    const std::tuple<StatsLineFn, std::string> rows[] = {
        {nullptr, "H\n"},
        {walk_long_second, "H\ns\n" + std::string(2000, 'L') + "\ns\n"},
    };
    // A longer file first: each write must replace it, not overwrite its start.
    ASSERT_EQ(write_stats_file(path, std::string(10000, 'o') + "\n", nullptr), 0);
    for (const auto &[walk, want] : rows) {
        EXPECT_EQ(write_stats_file(path, "H\n", walk), 0);
        EXPECT_EQ(slurp(path), want);
    }
    // Walkers that never end stop at a bound instead of hanging the agent.
    EXPECT_EQ(write_stats_file(path, "", walk_stuck), 0);
    EXPECT_EQ(slurp(path).rfind("counter 0: not formatted\ncounter 1: not formatted\n", 0), 0u);
    EXPECT_EQ(write_stats_file(path, "", walk_forever), 0);
    EXPECT_EQ(s_walk_lines, 100000);
}

namespace {
// A document in the upload envelope around message members (without their braces).
std::string envelope(const std::string &members) {
    return "{\"send_time\":\"2026-12-08 07:37:19\",\"send_timestamp\":1796715439419,\"host_uuid\":"
           "\"u\",\"host_ip\":\"192.0.2.2\",\"ip_list\":\"192.0.2.2\",\"seq_id\":\"7\",\"app_"
           "name\":"
           "\"opx-linux\",\"message\":{\"record_time\":\"2026-12-08 07:37:20\","
           "\"record_timestamp\":1796715440000" +
           (members.empty() ? "" : "," + members) + "}}";
}
const std::string kProc =
    "\"process_id\":4242,\"process_guid\":\"g\",\"process_path\":\"/usr/bin/mv\",\"process_md5\":"
    "\"m\",\"process_cmd_line\":\"mv /tmp/a /tmp/b\",\"process_user_name\":\"root\",";
}  // namespace

// One line per document, a row for each way the view lays one out: type, document, line
// (plain).
TEST(KivhostView, CompactLineOfEveryType) {
    const std::string block =
        "{\"v\":100,\"recordTimestamp\":0,\"uploadTimestamp\":0,\"group\":\"SELF_PROTECT\","
        "\"ruleId\":12,\"eventType\":";
    const std::string subject = ",\"sPId\":31,\"sPName\":\"evil\",\"sPUser\":\"bob\"}";
    const std::vector<std::tuple<int32_t, std::string, std::string>> rows = {
        {UPLOAD_APP_LOG,
         "{\"send_time\":\"2026-12-08 07:40:01\",\"tz_secondes\":\"3600\",\"app_name\":\"nginx\","
         "\"message\":{\"line\":\"GET / 200\",\"container_id\":\"host\"}}",
         "07:40:01 APP_LOG             - nginx           GET / 200"},
        {UPLOAD_FILE_MOD,
         envelope("\"event_id\":\"FILE_MODIFICATION\"," + kProc +
                  "\"is_exist\":1,\"type\":\"ELF\",\"file_name\":\"/etc/passwd\""),
         "07:37:20 FILE_MOD         4242 mv              modify /etc/passwd  [ELF]"},
        {UPLOAD_PROC_EXEC,
         envelope("\"event_id\":\"PROCESS_CREATION\"," + kProc +
                  "\"parent_pid\":4000,\"parent_ppath\":\"/usr/bin/bash\""),
         "07:37:20 PROC_EXEC        4242 mv              /usr/bin/mv  mv /tmp/a /tmp/b  (parent "
         "4000 bash)"},
        {UPLOAD_NET_CONNECT,  // accepted: inbound
         envelope("\"event_id\":\"NETWORK_CONNECTION\"," + kProc +
                  "\"protocol\":\"tcp\",\"src_ip\":\"fe80::1\",\"src_port\":22,\"dst_ip\":"
                  "\"fe80::2\",\"dst_port\":5000,\"direction\":0"),
         "07:37:20 NET_CONNECT      4242 mv              tcp [fe80::1]:22 -> [fe80::2]:5000  "
         "(inbound)"},
        {UPLOAD_DNS_QUERY, envelope("\"event_id\":\"DNS_QUERY\",\"query_name\":\"x.test\""),
         "07:37:20 DNS_QUERY           - -               x.test  (no answer)"},
        {UPLOAD_CAP_FLUX, envelope("\"event_id\":\"CAP\",\"event_name\":\"Cap Flux\",\"bytes\":9"),
         "07:37:20 CAP_FLUX            - -               Cap Flux  bytes=9"},
        {UPLOAD_SELF_PROTECT_BLOCK,
         block +
             "\"file\",\"action\":\"block\",\"eventOpr\":\"rename\",\"filePath\":\"/opt/new\","
             "\"originFilePath\":\"/opt/old\"" +
             subject,
         "00:00:00 SELF_PROTECT_BLOCK      31 evil            block file rename /opt/old -> "
         "/opt/new  (SELF_PROTECT rule 12)"},
        {UPLOAD_SELF_PROTECT_BLOCK,
         block +
             "\"proc\",\"action\":\"audit\",\"eventOpr\":\"kill\",\"pFilePath\":\"/usr/bin/x\","
             "\"pId\":77,\"pName\":\"x\"" +
             subject,
         "00:00:00 SELF_PROTECT_BLOCK      31 evil            audit proc kill 77 x /usr/bin/x  "
         "(SELF_PROTECT rule 12)"},
        {UPLOAD_NORMAL_PROTECTION_BLOCK,
         block +
             "\"net\",\"action\":\"block\",\"eventOpr\":\"outbound\",\"protocol\":\"tcp\","
             "\"srcIp\":\"192.0.2.2\",\"srcPort\":1,\"dstIp\":\"192.0.2.9\",\"dstPort\":80" +
             subject,
         "00:00:00 NORMAL_PROTECTION_BLOCK      31 evil            block net outbound tcp "
         "192.0.2.2:1 -> 192.0.2.9:80  (SELF_PROTECT rule 12)"},
        {kHealthType,
         envelope(
             "\"event_id\":\"SENSOR_HEALTH\",\"interval\":60.5,\"counters\":{\"RING_HIGH_FULL\":"
             "3,\"UPLOADS_REFUSED\":1},\"totals\":{},"
             "\"limits\":[{\"limit\":\"FILE_EVENT_LIMIT_HOUR\",\"uid\":0,\"user\":\"root\","
             "\"executable\":\"/usr/bin/tee\",\"dropped\":20},{\"limit\":\"NET_SCAN_SPEED_LIMIT\","
             "\"peer\":\"203.0.113.9\",\"dropped\":5},{\"limit\":\"X\",\"uid\":7,\"dropped\":1}]"),
         "07:37:20 SENSOR_HEALTH       - kivhost         lost in 60.5 s: RING_HIGH_FULL +3, "
         "UPLOADS_REFUSED +1; limited: FILE_EVENT_LIMIT_HOUR root /usr/bin/tee +20, "
         "NET_SCAN_SPEED_LIMIT 203.0.113.9 +5, X uid 7 +1"},
        {UPLOAD_PROC_EXEC, "{\"message\":", "--:--:-- PROC_EXEC  (not JSON) {\"message\":"},
        // Texts that would steer the terminal (C0, DEL, and C1 in UTF-8) as '?'; invisible
        // format characters by number; other UTF-8 stays.
        {UPLOAD_PROC_EXEC,
         envelope(
             "\"process_id\":1,\"process_path\":\"/tmp/svc\\u202egpj.sh\",\"process_cmd_line\":"
             "\"a\\tb\\u007f\\u009bc\\u00e9\\u061cb\\u200bc\\u2066d\\u2029e\\u00adf\\ufeffg\\udb40"
             "\\udc41h\\u2010\""),
         "07:37:20 PROC_EXEC           1 svc<U+202E>gpj.sh /tmp/svc<U+202E>gpj.sh  a?b??c\xc3\xa9"
         "<U+061C>b<U+200B>c<U+2066>d<U+2029>e<U+00AD>f<U+FEFF>g<U+E0041>h\xe2\x80\x90"},
        // A program run from memory by its whole path, which its author names; a long text
        // cut.
        {UPLOAD_PROC_EXEC,
         envelope("\"process_id\":1,\"process_path\":\"/memfd:usr/bin/true\\n (deleted)\","
                  "\"process_cmd_line\":\"" +
                  std::string(300, 'c') +
                  "\",\"parent_pid\":2,\"parent_ppath\":\"/memfd:a/sh (deleted)\""),
         "07:37:20 PROC_EXEC           1 /memfd:usr/bin/true? (deleted) /memfd:usr/bin/true? "
         "(deleted)  " +
             std::string(240, 'c') + "...  (parent 2 /memfd:a/sh (deleted))"},
    };
    // Block reports carry seconds, shown in local time.
    setenv("TZ", "UTC", 1), tzset();
    for (const auto &[type, doc, want] : rows)
        EXPECT_EQ(compact_line(doc.data(), doc.size(), type, false), want) << doc;
    // On a terminal the same line in colours: nothing else differs.
    const std::string &exec = std::get<1>(rows[2]);
    std::string coloured = compact_line(exec.data(), exec.size(), UPLOAD_PROC_EXEC, true), bare;
    EXPECT_EQ(coloured.rfind("\x1b[2m07:37:20\x1b[0m \x1b[32mPROC_EXEC", 0), 0u) << coloured;
    for (size_t i = 0; i < coloured.size(); ++i)
        if (coloured[i] == '\x1b')
            i = coloured.find('m', i);
        else
            bare += coloured[i];
    EXPECT_EQ(bare, std::get<2>(rows[2]));
}

namespace {
int walk_losses(char *buf, int len, int *index) {
    static const char *const lines[] = {
        "LIVE_FANOTIFY_OVERFLOW(fanotify queue overflows): 3\n",
        "RCV_HIGH(msg rcv from high queue): 100\n",  // counts, loses nothing
        "not a counter line\n",
        "NET_DNSQ_HASH_FULL(net dns (query) hash full): 2\n",
        "LIVE_BPF_RING_LOST(events lost): -4\n",  // nonsense is left out
    };
    if (*index >= 5) return 0;
    return snprintf(buf, len, "%s", lines[(*index)++]);
}
int rings_low_and_high(int ring, struct kemu_ring_stats *st) {
    if (ring != KEMU_RING_LOW && ring != KEMU_RING_HIGH) return KEMU_INACTIVE;
    st->full_cnt = ring == KEMU_RING_LOW ? 0xFFFFFFFFu : 6;
    return KEMU_OK;
}
std::string names_and_values(const std::vector<LossCounter> &v) {
    std::string s;
    for (const auto &c : v) s += c.name + "=" + std::to_string(c.value) + (c.wraps32 ? "w " : " ");
    return s;
}
}  // namespace

TEST(KivhostHealth, LossCountersFromTheLibraryTheRingsAndTheSink) {
    Delivery sink;
    file_output(sink, "file2", -1, 10);
    sink.upload(nullptr, 0, UPLOAD_APP_LOG);
    sink.upload("{}", 2, UPLOAD_APP_LOG);  // beyond the queue
    EXPECT_EQ(names_and_values(read_losses(walk_losses, rings_low_and_high, sink)),
              "LIVE_FANOTIFY_OVERFLOW=3 NET_DNSQ_HASH_FULL=2 RING_LOW_FULL=4294967295w "
              "RING_HIGH_FULL=6w UPLOADS_REFUSED=2 FILE2_DROPPED_QUEUE_FULL=1 "
              "FILE2_DROPPED_SPOOL_FULL=0 FILE2_DROPPED_DAMAGED=0 FILE2_REFUSED=0 ");
    sink.outputs().clear();
    // The library's own walk has every loss counter by the name kivhost looks for.
    EXPECT_EQ(names_and_values(read_losses(kiv_stats_line, nullptr, sink)),
              "HOLD_MEM_OVERLIMIT=0 DROP_FOR_CACHE_FAILED=0 NET_TCP_CONNECT_HASH_FULL=0 "
              "NET_DNSQ_HASH_FULL=0 NET_TOTAL_HASH_FULL=0 LIVE_RING_GIVE_UP=0 "
              "LIVE_FANOTIFY_OVERFLOW=0 LIVE_BPF_RING_LOST=0 LIVE_PROC_OVERRUN=0 "
              "TASK_FTREE_FULL_CNT=0 LIVE_DNS_TCP_LOST=0 UPLOADS_REFUSED=2 ");
}

// A run of checks, as a table: when, the counters then, at the stop; the counters the document
// names (empty: no document) and its interval.
TEST(KivhostHealth, OneDocumentPerIntervalWhenALossCounterMoved) {
    HostIdentity id{"uuid-1", "192.0.2.2", "192.0.2.2,198.51.100.4"};
    bind_callbacks(nullptr, &id);
    struct Step {
        double t;
        std::vector<LossCounter> now;
        bool stop;
        const char *counters;
        double interval;
    };
    using C = LossCounter;
    const Step steps[] = {
        {0, {C{"A", 5, false}, C{"R", 0xFFFFFFF0u, true}}, false, "", 0},     // the baseline
        {59.9, {C{"A", 9, false}, C{"R", 0xFFFFFFF0u, true}}, false, "", 0},  // not due
        {60, {C{"A", 9, false}, C{"R", 0xFFFFFFF0u, true}}, false, "{\"A\":4}", 60},
        {130, {C{"A", 9, false}, C{"R", 0xFFFFFFF0u, true}}, false, "", 0},  // nothing moved
        // The ring's 32-bit count wrapped; N appears and is its own baseline.
        {190.4, {C{"A", 9, false}, C{"R", 2, true}, C{"N", 7, false}}, false, "{\"R\":18}", 60.4},
        // The stop reports the part interval; A below its baseline started again; R gone
        // keeps its baseline.
        {211, {C{"A", 3, false}, C{"N", 8, false}}, true, "{\"A\":3,\"N\":1}", 20.6},
        {300, {C{"A", 3, false}, C{"R", 3, true}}, false, "{\"R\":1}", 89},
    };
    Health health(60), off(0);
    int asked = 0;  // the limits' drops are taken only when a document is due
    auto no_drops = [&asked]() -> cJSON * { return asked++, nullptr; };
    for (const Step &s : steps) {
        const std::string doc = health.check(s.now, s.t, s.stop, no_drops);
        EXPECT_EQ(off.check(s.now, s.t, s.stop, no_drops), "");
        SCOPED_TRACE(s.t);
        if (*s.counters == '\0') {
            EXPECT_EQ(doc, "");
            continue;
        }
        cJSON *d = cJSON_Parse(doc.c_str());
        ASSERT_TRUE(cJSON_IsObject(d)) << doc;
        cJSON *m = cJSON_GetObjectItem(d, "message");
        EXPECT_DOUBLE_EQ(cJSON_GetObjectItem(m, "interval")->valuedouble, s.interval);
        char *c = cJSON_PrintUnformatted(cJSON_GetObjectItem(m, "counters"));
        EXPECT_STREQ(c, s.counters);
        cJSON_free(c);
        cJSON_Delete(d);
    }
    EXPECT_EQ(asked, 5);  // the checks at 60, 130, 190.4, 211 and 300
    // Drops of a limit alone make a document, with what the limits report.
    const std::string doc = health.check({C{"A", 3, false}}, 360, false, [] {
        cJSON *limits = cJSON_CreateArray();
        cJSON_AddItemToArray(limits, cJSON_CreateString("dropped"));
        return limits;
    });
    EXPECT_TRUE(has(doc, "\"counters\":{},\"totals\":{},\"limits\":[\"dropped\"]}")) << doc;
    bind_callbacks(nullptr, nullptr);
}
