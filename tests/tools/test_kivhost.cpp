// The reference host agent: options, the NDJSON sink under concurrent uploads, the header
// callback, and the built binary's exit codes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "host_core.h"

using namespace kivhost;

namespace {

Parse parse(std::vector<const char *> args, Options *o, std::string *err) {
    args.insert(args.begin(), "kivhost");
    return parse_options(static_cast<int>(args.size()), args.data(), o, err);
}

// Runs sh with $K naming a private copy of the staged tree (kernel stand-in, own logs) and
// `script` after it; returns the exit status, with stdout+stderr in *out.
int run_agent(const std::string &script, std::string *out) {
    std::string cmd = std::string("exec 2>&1; S=") + KIV_STAGE_DIR +
                      "; T=$(mktemp -d); trap 'rm -rf $T' EXIT; mkdir -p $T/bin $T/lib $T/logs "
                      "$T/var/data; cp $S/bin/kivhost $T/bin; cp $S/lib/libqxkiv.so $T/lib; "
                      "cp -r $S/config $T/; sed -i 's/^kernel_mode *=.*/kernel_mode = emulated/' "
                      "$T/config/sensor.conf; K=$T/bin/kivhost; " +
                      script;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

TEST(KivhostOptions, NumbersAreStrict) {
    auto num = [](const char *text, bool hex, uint64_t max) {
        uint64_t v = 0;
        return parse_number(text, hex, max, &v) ? std::to_string(v) : std::string("bad");
    };
    for (const char *t : {"16", "0x10", "", "0x", "-1", "+1", " 1", "1 ", "1.5", "0x-1"})
        EXPECT_EQ(num(t, true, 15), "bad") << t;
    EXPECT_EQ(num("0", false, 10) + num("15", true, 15) + num("0xF", true, 15), "01515");
    EXPECT_EQ(num("0X0f", true, 15) + num("0x10", false, 99), "15bad");
    EXPECT_EQ(num("4294967295", false, UINT32_MAX), "4294967295");
    EXPECT_EQ(num("4294967296", false, UINT32_MAX), "bad");
    EXPECT_EQ(num("18446744073709551615", false, UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(num("18446744073709551616", false, UINT64_MAX), "bad");
    EXPECT_EQ(num("0xFFFFFFFFFFFFFFFF", true, UINT64_MAX), "18446744073709551615");
}

TEST(KivhostOptions, GoodAndBadCommandLines) {
    Options o;
    std::string err;
    ASSERT_EQ(parse({}, &o, &err), Parse::kRun);
    EXPECT_TRUE(o.mask == 0xF && o.seconds == 0 && o.output.empty() && o.lib.empty());
    ASSERT_EQ(
        parse({"--seconds", "3", "--mask=0x8", "--output=/tmp/x", "--lib", "/l.so"}, &o, &err),
        Parse::kRun);
    EXPECT_TRUE(o.seconds == 3 && o.mask == 8 && o.output == "/tmp/x" && o.lib == "/l.so");
    EXPECT_EQ(parse({"--mask", "0", "-h", "--bogus"}, &o, &err), Parse::kHelp);

    std::vector<std::vector<const char *>> bad = {
        {"--seconds"},      {"--seconds", "-1"}, {"--seconds=2s"}, {"--seconds="},
        {"--mask", "0x10"}, {"--mask", "x"},     {"--output"},     {"--output="},
        {"--lib"},          {"--libx=/a"},       {"extra"},        {"--SECONDS", "1"},
    };
    for (const auto &b : bad) {
        err.clear();
        EXPECT_TRUE(parse(b, &o, &err) == Parse::kError && !err.empty()) << b[0];
    }
}

TEST(KivhostBinary, ExitCodesAndUsage) {
    struct Run {
        const char *args;
        int status;
        std::vector<const char *> says;
    };
    // clang-format off
    const Run runs[] = {
        {"$K --help", 0, {"--seconds", "--output", "--mask", "--lib", "--help"}},
        {"$K --mask 0x1F", 2, {"--mask needs", "Usage:"}},
        {"$K --seconds 1 --lib /nonexistent/libqxkiv.so", 1, {"/nonexistent/libqxkiv.so"}},
        // A whole life cycle: start, SIGTERM, clean stop with the summary.
        {"$K --seconds 60 --output /dev/null & sleep 1; kill -TERM $!; wait $!", 0,
         {"kivhost: sensor started (mask 0xF)", "stopping", " uploads refused\n"}},
    };
    // clang-format on
    for (const auto &r : runs) {
        std::string out;
        EXPECT_EQ(run_agent(r.args, &out), r.status) << r.args << "\n" << out;
        for (const char *text : r.says) EXPECT_NE(out.find(text), std::string::npos) << text;
    }
}

TEST(KivhostSink, ConcurrentUploadsKeepWholeLines) {
    // A non-blocking pipe drained slowly forces short writes and EAGAIN.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    std::string got;
    std::thread reader([&] {
        fcntl(fds[0], F_SETFL, 0);
        char buf[1000];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, n);
    });
    NdjsonSink sink(fds[1]);
    bind_callbacks(&sink, nullptr);
    constexpr int kThreads = 6, kDocs = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kDocs; ++i) {
                // Sizes up to 100 KB exceed the pipe's buffer, so single writes come up short.
                std::string doc = "{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) +
                                  ",\"pad\":\"" + std::string((i % 7) * 15000, 'a' + t) + "\"}";
                EXPECT_EQ(kivhost_upload(doc.data(), doc.size(), t, 0), 0);
            }
        });
    for (auto &w : writers) w.join();
    close(fds[1]);
    reader.join();
    close(fds[0]);
    bind_callbacks(nullptr, nullptr);

    std::set<std::pair<int, int>> seen;
    uint64_t bytes = 0;
    for (size_t pos = 0, nl; pos < got.size(); pos = nl + 1) {
        nl = got.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        std::string line = got.substr(pos, nl - pos);
        int t = -1, i = -1, off = 0;
        sscanf(line.c_str(), "{\"t\":%d,\"i\":%d,\"pad\":\"%n", &t, &i, &off);
        // The pad is exactly this writer's letter, then the closing quote and brace.
        ASSERT_TRUE(off > 0 && line.substr(off) == std::string((i % 7) * 15000, 'a' + t) + "\"}")
            << line.substr(0, 80);
        seen.emplace(t, i);
        bytes += line.size();
    }
    EXPECT_EQ(seen.size(), size_t(kThreads * kDocs));
    EXPECT_EQ(sink.bytes(), bytes);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(sink.documents(t), uint64_t(kDocs));
    EXPECT_EQ(sink.refused(), 0u);
}

TEST(KivhostSink, RefusalsFlatteningAndSummary) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    int fd = fileno(f);
    NdjsonSink sink(fd);
    EXPECT_EQ(sink.write_document("{\"a\":1}", 7, UPLOAD_PROC_EXEC), 0);
    EXPECT_EQ(sink.write_document("{\"b\":\n2}", 8, UPLOAD_PROC_EXEC), 0);
    EXPECT_EQ(sink.write_document("{}", 2, UPLOAD_NORMAL_PROTECTION_BLOCK), 0);
    EXPECT_EQ(sink.write_document("{}", 2, UPLOAD_TYPE_MAX_), 0);
    EXPECT_EQ(sink.write_document("{}", 2, -1), 0);
    EXPECT_EQ(sink.write_document(nullptr, 3, UPLOAD_APP_LOG), -1);
    EXPECT_EQ(sink.summary(2.04),
              "kivhost: 2.0 s, 5 documents, 21 bytes, 1 uploads refused\n"
              "  PROC_EXEC                2\n"
              "  NORMAL_PROTECTION_BLOCK  1\n"
              "  UNKNOWN                  2\n");
    char buf[64] = {};
    ASSERT_EQ(pread(fd, buf, sizeof buf - 1, 0), 26);
    EXPECT_STREQ(buf, "{\"a\":1}\n{\"b\": 2}\n{}\n{}\n{}\n");
    fclose(f);

    // A failed write refuses this and every later document and tells the agent to stop.
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    NdjsonSink dead(full);
    EXPECT_EQ(dead.write_document("{}", 2, UPLOAD_APP_LOG), -1);
    EXPECT_EQ(dead.write_document("{}", 2, UPLOAD_APP_LOG), -1);
    EXPECT_TRUE(dead.failed() && dead.failed_errno() == ENOSPC);
    EXPECT_TRUE(dead.refused() == 2 && dead.documents(UPLOAD_APP_LOG) == 0);
    close(full);
}

TEST(KivhostHeader, IdentityAndEveryField) {
    FILE *f = tmpfile();
    ASSERT_EQ(fputs("  0123abcd\n\n", f) >= 0 && fflush(f) == 0, true);
    HostIdentity id = probe_identity(("/proc/self/fd/" + std::to_string(fileno(f))).c_str());
    fclose(f);
    EXPECT_EQ(id.uuid, "0123abcd");
    EXPECT_EQ(probe_identity("/nonexistent/machine-id").uuid, "unknown");
    struct in_addr a;
    EXPECT_EQ(inet_pton(AF_INET, id.ip.c_str(), &a), 1) << id.ip;
    EXPECT_NE(("," + id.ip_list + ",").find("," + id.ip + ","), std::string::npos) << id.ip_list;

    bind_callbacks(nullptr, &id);
    upload_header h1, h2;
    memset(&h1, 0xAB, sizeof h1);
    ASSERT_EQ(kivhost_host_state(&h1), 0);
    ASSERT_EQ(kivhost_host_state(&h2), 0);
    EXPECT_EQ(kivhost_host_state(nullptr), -1);
    bind_callbacks(nullptr, nullptr);
    EXPECT_EQ(h2.seq_id, h1.seq_id + 1);
    // Every byte of send_time was 0xAB: the text must be terminated and zero-padded.
    EXPECT_TRUE(std::regex_match(h1.send_time, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
    EXPECT_EQ(h1.send_time[31], '\0');
    EXPECT_STREQ(h1.host_uuid, "0123abcd");
    EXPECT_TRUE(h1.host_ip == id.ip.c_str() && h1.ip_list == id.ip_list.c_str());
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    EXPECT_EQ(h1.tz_secondes, local.tm_gmtoff);
    EXPECT_TRUE(h1.send_timestamp / 1000 <= uint64_t(now) &&
                h1.send_timestamp / 1000 + 2 >= uint64_t(now));
    EXPECT_LE(h1.send_timestamp, h2.send_timestamp);
}
