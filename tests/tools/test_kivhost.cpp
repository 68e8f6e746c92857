#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "host_core.h"

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
    EXPECT_TRUE(o.seconds == 3 && o.mask == 15 && o.output == "/o" && o.lib == "/l");
    EXPECT_EQ(parse({"--mask", "0", "-h", "--bogus"}), Parse::kHelp);
    const std::vector<std::vector<const char *>> bad = {
        {"--seconds"},      {"--seconds", "-1"}, {"--seconds=2s"}, {"--seconds", "4294967296"},
        {"--mask", "0x10"}, {"--mask", "0x"},    {"--mask", " 1"}, {"--output="},
        {"--libx=/a"},      {"extra"},
    };
    for (const auto &b : bad) EXPECT_TRUE(parse(b) == Parse::kError && !err.empty()) << b.back();
}

// The built agent in a private copy of the staged tree (kernel stand-in, own logs). Rows:
// arguments, a text the output holds, exit status.
TEST(KivhostBinary, ExitCodesAndUsage) {
    const std::tuple<const char *, const char *, int> runs[] = {
        {"$K --help", "--seconds", 0},
        {"$K -h", "after exit_mod_manager, init_mod_manager returns 0 and starts\nnothing", 0},
        {"$K --mask 0x1F", "--mask needs", 2},
        {"$K --output /dev/null & sleep 1; kill $!; wait $!", " uploads refused\n", 0},  // SIGTERM
        // The reason a start failed reaches the agent's own message.
        {"sed -i 's/^kernel_mode *=.*/kernel_mode = userspce/' $T/config/sensor.conf; $K",
         "the sensor did not start: ", 1},
        {"sed -i 's/^kernel_mode *=.*/kernel_mode = userspce/' $T/config/sensor.conf; $K",
         "unknown kernel_mode = userspce", 1},
        // A second agent on the same installation names the running one.
        {"$K --output /dev/null --seconds 30 & for i in $(seq 300); do [ -s "
         "$T/var/data/qxkiv.lock ] && break; sleep 0.1; done; $K --seconds 1; r=$?; kill $!; "
         "wait $!; exit $r",
         "another sensor (pid ", 1},
    };
    const std::string setup =
        "exec 2>&1; T=$(mktemp -d); trap 'rm -rf $T' EXIT; cd " KIV_STAGE_DIR
        "; cp -r bin lib config $T; mkdir -p $T/logs $T/var/data; sed -i 's/^kernel_mode *=.*/"
        "kernel_mode = emulated/' $T/config/sensor.conf; K=$T/bin/kivhost; "
        "echo 'nameserver 127.0.0.1' >$T/resolv.conf; export QXKIV_RESOLV_CONF=$T/resolv.conf; ";
    for (auto &[args, says, status] : runs) {
        std::string out;
        FILE *p = popen((setup + args).c_str(), "r");
        for (int c; (c = fgetc(p)) != EOF;) out += char(c);
        int st = pclose(p);
        EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, status) << args << "\n" << out;
        EXPECT_NE(out.find(says), std::string::npos) << says;
    }
}

// The agent on a pipe while records flow and the library logs at level 1 from another thread
// (it echoes such lines to standard output through buffered stdio): standard output carries
// the documents and nothing else, one whole JSON document per line.
TEST(KivhostBinary, DocumentsStayOneJsonPerLineWhileTheLibraryLogs) {
    char tmpl[] = "/tmp/kivstorm.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string t = tmpl;
    constexpr int kRecords = 300;
    // A pipe, as for an NDJSON reader; the agent's status comes back through a file.
    const std::string cmd =
        "cd " KIV_STAGE_DIR "; cp -r bin lib config " + t + "; mkdir -p " + t + "/logs " + t +
        "/var/data; sed -i 's/^kernel_mode *=.*/kernel_mode = emulated/' " + t +
        "/config/sensor.conf; echo 'nameserver 127.0.0.1' >" + t + "/resolv.conf; { "
        "QXKIV_RESOLV_CONF=" + t + "/resolv.conf KIV_STORM_LIB=" + t +
        "/lib/libqxkiv.so KIV_STORM_COUNT=" + std::to_string(kRecords) +
        " ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0 " +
        "LD_PRELOAD=" KIV_STORM_PRELOAD " " + t + "/bin/kivhost --mask 1 --seconds 300 2>" + t +
        "/err; echo $? >" + t + "/status; } | cat >" + t + "/out";
    ASSERT_EQ(system(cmd.c_str()), 0);
    auto slurp = [&](const char *name) {
        std::ifstream in(t + "/" + name);
        return std::string{std::istreambuf_iterator<char>(in), {}};
    };
    const std::string out = slurp("out"), err = slurp("err");
    EXPECT_EQ(slurp("status"), "0\n") << err;

    size_t lines = 0, bad = 0, logged = 0;
    for (size_t pos = 0, nl; (nl = out.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        std::string line = out.substr(pos, nl - pos);
        cJSON *doc = cJSON_ParseWithOpts(line.c_str(), nullptr, 1);
        if (!cJSON_IsObject(doc) && bad++ < 3) ADD_FAILURE() << "not a document: " << line;
        cJSON_Delete(doc);
        lines++;
    }
    EXPECT_EQ(bad, 0u);
    EXPECT_TRUE(out.empty() || out.back() == '\n') << "a partial last line";
    for (size_t at = 0; (at = err.find("set_mgr_ip para invalid", at)) != std::string::npos; at++)
        logged++;
    EXPECT_GE(logged, size_t(kRecords)) << "the library's lines belong on standard error";
    // Every document the agent counted is a line, and the records did arrive.
    unsigned long long docs = 0;
    size_t at = err.find(" s, ");
    ASSERT_TRUE(at != std::string::npos &&
                sscanf(err.c_str() + at, " s, %llu documents", &docs) == 1)
        << err.substr(err.size() > 2000 ? err.size() - 2000 : 0);
    EXPECT_EQ(docs, lines);
    EXPECT_GE(lines, size_t(kRecords / 2));
    EXPECT_EQ(system(("rm -rf " + t).c_str()), 0);
}

TEST(KivhostSink, ConcurrentUploadsKeepWholeLines) {
    // A non-blocking pipe drained slowly forces short writes and EAGAIN.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    std::string got;
    std::thread reader([&] {
        fcntl(fds[0], F_SETFL, 0);
        char buf[1000];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, n);
    });
    NdjsonSink sink(fds[1]);
    bind_callbacks(&sink, nullptr);
    constexpr int kThreads = 6, kDocs = 200;
    auto doc = [](int t, int i) {  // up to 90 KB, beyond the pipe's buffer
        return "{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) + ",\"pad\":\"" +
               std::string((i % 7) * 15000, 'a' + t) + "\"}";
    };
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t, doc] {
            for (int i = 0; i < kDocs; ++i)
                EXPECT_EQ(kivhost_upload(doc(t, i).data(), doc(t, i).size(), t, 0), 0);
        });
    for (auto &w : writers) w.join();
    bind_callbacks(nullptr, nullptr), close(fds[1]), reader.join(), close(fds[0]);
    std::set<std::pair<int, int>> seen;
    for (size_t pos = 0, nl; (nl = got.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        std::string line = got.substr(pos, nl - pos);
        int t = -1, i;
        ASSERT_TRUE(sscanf(line.c_str(), "{\"t\":%d,\"i\":%d", &t, &i) == 2 && t >= 0 &&
                    t < kThreads && line == doc(t, i))
            << line.substr(0, 80);
        seen.emplace(t, i);
    }
    EXPECT_EQ(seen.size(), size_t(kThreads * kDocs));
    EXPECT_EQ(sink.bytes(), got.size() - seen.size());  // also: no bytes after the last line
}

TEST(KivhostSink, FlatteningSummaryAndFailedWrites) {
    FILE *f = tmpfile();
    NdjsonSink sink(fileno(f));
    EXPECT_EQ(sink.write_document("{\"b\":\n2}", 8, UPLOAD_PROC_EXEC), 0);
    EXPECT_EQ(sink.write_document("{}", 2, UPLOAD_NORMAL_PROTECTION_BLOCK), 0);
    EXPECT_EQ(sink.write_document("{}", 2, UPLOAD_TYPE_MAX_), 0);
    EXPECT_EQ(sink.write_document(nullptr, 3, UPLOAD_APP_LOG), -1);
    EXPECT_EQ(sink.summary(2.04),
              "kivhost: 2.0 s, 3 documents, 12 bytes, 1 uploads refused\n"
              "  PROC_EXEC                1\n"
              "  NORMAL_PROTECTION_BLOCK  1\n"
              "  UNKNOWN                  1\n");
    char buf[64] = {};
    ASSERT_EQ(pread(fileno(f), buf, sizeof buf - 1, 0), 15);
    EXPECT_STREQ(buf, "{\"b\": 2}\n{}\n{}\n");
    fclose(f);
    // A failed write refuses this and every later document and tells the agent to stop.
    int full = open("/dev/full", O_WRONLY);
    NdjsonSink dead(full);
    for (int i = 0; i < 2; i++) EXPECT_EQ(dead.write_document("{}", 2, UPLOAD_APP_LOG), -1);
    EXPECT_TRUE(dead.failed() && dead.failed_errno() == ENOSPC && dead.refused() == 2);
    close(full);
}
