// The log collector driven turn by turn on real files in a temporary installation: rotation,
// truncation, cut and partial lines, black lists, the quota, wildcards, the state file and the
// record text.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "comm/dirutils.h"
#include "e2e_host.h"
#include "framework/mod_manager.h"
#include "log_collector/log_collector.h"
#include "qxkiv/qxkiv.h"
#include "staged_tree.h"
#include "test_io.h"

namespace {

using lines_t = std::vector<std::string>;

void append(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::app) << text;
}

std::string numbered(int from, int to, const char *tag = "l") {
    std::string s;
    for (int i = from; i < to; i++) s += std::string(tag) + std::to_string(i) + "\n";
    return s;
}

lines_t sorted(lines_t v) {
    std::sort(v.begin(), v.end());
    return v;
}

lines_t expect_lines(int from, int to, const char *tag = "l") {
    lines_t v;
    for (int i = from; i < to; i++) v.push_back(std::string(tag) + std::to_string(i));
    return v;
}

struct LogCollector : ::testing::Test {
    std::string root;
    log_collector_ctx ctx{};
    bool running = false;
    // Small lines and generous quotas unless a test says otherwise.
    std::string globals =
        "max_line_size = 1024\nquota_per_log = 4194304\ncollect_num_per_sec = 4096\n";

    void SetUp() override {
        char tmpl[] = "/tmp/kivlogcol.XXXXXX";
        root = mkdtemp(tmpl);
        for (const char *d : {"/config", "/logs"}) mkdir((root + d).c_str(), 0700);
        log_collector_set_conf_path((root + "/config/log_collector.conf").c_str());
        g_init_done = 1;
        register_upload_callback(capture);
        register_host_state_callback(fixed_header);
        clear_uploads();
    }
    void TearDown() override {
        if (running) log_collector_exit(&ctx);
        log_collector_set_conf_path(nullptr);
        mod_manager_reset_callbacks();
        g_init_done = 0;
        dirutils_rmdir(root.c_str());
    }
    std::string log(const std::string &name) const { return root + "/logs/" + name; }
    std::string state() const { return root + "/var/data/logcollector.state"; }
    std::string ino(const char *name) const {
        struct stat st {};
        stat(log(name).c_str(), &st);
        return std::to_string(st.st_ino);
    }
    // entries: {appname, path} in configuration order.
    void conf(const std::vector<std::pair<std::string, std::string>> &entries,
              const std::string &extra = "") {
        std::ofstream f(root + "/config/log_collector.conf");
        f << "[global]\n" << globals << "[file_path]\ncnt = " << entries.size() << "\n";
        for (size_t i = 0; i < entries.size(); i++)
            f << "appname" << i << " = " << entries[i].first << "\npath" << i << " = "
              << entries[i].second << "\n";
        f << extra;
    }
    void start() {
        ASSERT_EQ(log_collector_init(&ctx), 0);
        running = true;
    }
    void stop() {
        log_collector_exit(&ctx);
        running = false;
    }
    // What the thread does on one collection deadline.
    void turn(int n = 1) {
        for (int i = 0; i < n; i++)
            if (report(&ctx) == 0) collect_log(&ctx);
    }
    // Lines uploaded since the last call, in order.
    lines_t take() {
        std::lock_guard g(s_up_lock);
        lines_t v;
        for (auto &[type, doc] : s_uploads) {
            EXPECT_EQ(type, UPLOAD_APP_LOG);
            cJSON *j = cJSON_Parse(doc.c_str());
            cJSON *line = cJSON_GetObjectItem(cJSON_GetObjectItem(j, "message"), "line");
            v.push_back(cJSON_IsString(line) ? line->valuestring : "?");
            cJSON_Delete(j);
        }
        s_uploads.clear();
        return v;
    }
    // A state file that exists but names nothing: not a first installation.
    void empty_state() {
        mkdir((root + "/var").c_str(), 0700);
        mkdir((root + "/var/data").c_str(), 0700);
        std::ofstream(state()) << "[global]\ncnt=0\n";
    }
};

// ---- configuration ------------------------------------------------------------------------

TEST_F(LogCollector, SettingsAreClampedInOrder) {
    struct Row {
        const char *keys;
        int old_size, quota, line, monitor, collect, num, log_path = 0;
    };
    const Row rows[] = {
        {"max_old_log_size = -5\nquota_per_log = 100\nmax_line_size = 2048\n"
         "report_log_path = 1\n",
         0, 2048, 2048, 300000, 1000, 10, 1},
        {"report_log_path = 2\n", 10240, 32768, 10240, 300000, 1000, 10, 0},
        {"max_line_size = 1023\nquota_per_log = 99999999\nmonitor_timeout = 999\n"
         "collect_timeout = 19\ncollect_num_per_sec = 0\n",
         10240, 4194304, 1024, 1000, 20, 1},
        {"max_line_size = 32769\nquota_per_log = 0\nmonitor_timeout = 600001\n"
         "collect_timeout = 60001\ncollect_num_per_sec = 4097\n",
         10240, 32768, 32768, 600000, 60000, 4096},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.keys);
        globals = r.keys;
        conf({});
        start();
        EXPECT_EQ(ctx.max_old_log_size, r.old_size);
        EXPECT_EQ(ctx.quota_per_log, r.quota);
        EXPECT_EQ(ctx.max_line_size, r.line);
        EXPECT_EQ(ctx.monitor_timeout, r.monitor);
        EXPECT_EQ(ctx.collect_timeout, r.collect);
        EXPECT_EQ(ctx.collect_num_per_sec, r.num);
        EXPECT_EQ(ctx.report_log_path, r.log_path);
        stop();
    }
}

TEST_F(LogCollector, BrokenConfigurationStopsTheCollector) {
    // Paths of one name form one application wherever they stand in the list.
    std::vector<std::pair<std::string, std::string>> same(33, {"app", log("a")});
    same.insert(same.begin() + 1, {"db", log("b")});
    struct Row {
        const char *what;
        std::vector<std::pair<std::string, std::string>> entries;
        const char *extra;
        int rc;
    };
    const Row rows[] = {
        {"32 paths of one name", {same.begin(), same.begin() + 33}, "", 0},
        {"33rd path", same, "", -1},
        {"63-character name", {{std::string(63, 'n'), log("a")}}, "", 0},
        {"64-character name", {{std::string(64, 'n'), log("a")}}, "", -1},
        {"259-character path", {{"a", "/" + std::string(258, 'p')}}, "", 0},
        {"260-character path", {{"a", "/" + std::string(259, 'p')}}, "", -1},
        {"missing entry", {}, "cnt = 1\n", -1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        conf(r.entries);
        if (*r.extra) staged_tree::set_keys(root + "/config/log_collector.conf", r.extra);
        EXPECT_EQ(log_collector_init(&ctx), r.rc);
        if (r.rc == 0) log_collector_exit(&ctx);
    }
    // No configuration at all.
    unlink((root + "/config/log_collector.conf").c_str());
    EXPECT_EQ(log_collector_init(&ctx), -1);
}

// ---- rotation, truncation, cut and partial lines -----------------------------------------

// A service that empties its own log at start and writes the same first lines each time,
// with an older rotated file beside it that looks newer: nothing of the old file comes back.
TEST_F(LogCollector, TruncationAdoptsOnlyACopyMadeSinceTheContentsBegan) {
    append(log("app.log.1"), "banner\nready\nold1\nold2\n");
    timespec later[2] = {{time(nullptr) + 3600, 0}, {time(nullptr) + 3600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, log("app.log.1").c_str(), later, 0), 0);
    append(log("app.log"), "");
    conf({{"app", log("app.log")}});
    start();
    append(log("app.log"), "banner\nready\n");
    turn();
    EXPECT_EQ(take(), (lines_t{"banner", "ready"}));
    truncate(log("app.log").c_str(), 0);
    append(log("app.log"), "banner\n");
    turn();
    EXPECT_EQ(take(), lines_t{"banner"});
}

TEST_F(LogCollector, LongAndPartialLines) {
    append(log("a"), "");
    conf({{"app", log("a")}});
    start();
    // 1023 bytes fit the 1024-byte buffer with its terminator; 2500 come in three pieces.
    append(log("a"), std::string(1023, 'a') + "\n" + std::string(2500, 'b') + "\n");
    turn();
    EXPECT_EQ(take(), (lines_t{std::string(1023, 'a'), std::string(1023, 'b'),
                               std::string(1023, 'b'), std::string(454, 'b')}));
    // A last line without its newline is sent as it stands; the rest later on its own.
    append(log("a"), "half");
    turn();
    EXPECT_EQ(take(), lines_t{"half"});
    append(log("a"), "-done\nnext\n");
    turn();
    EXPECT_EQ(take(), (lines_t{"-done", "next"}));
    // Binary data with NULs inside lines: cut at the NUL, never mistaken for a rewrite of
    // the file (which would send everything again).
    std::string bin;
    for (int i = 0; i < 5000; i++) bin += (char)((i * 7919) % 256);
    append(log("a"), bin + "\nafter\n");
    turn(3);
    lines_t got = take();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), "after");
    EXPECT_EQ(std::count(got.begin(), got.end(), "after"), 1);
    append(log("a"), "z\n");
    turn();
    EXPECT_EQ(take(), lines_t{"z"});
}

TEST_F(LogCollector, BlackListedWordsPerApplication) {
    append(log("a"), "");
    append(log("b"), "");
    conf({{"web", log("a")}, {"db", log("b")}},
         "[black_list_config]\ncount = 3\nblack_sec0 = web\nblack_sec2 = nosuch\n"
         "[web]\ncount = 3\nkey_word0 = secret\nkey_word2 = health\n");
    start();
    append(log("a"), "GET /health\nuser secret\nGET /index\n");
    append(log("b"), "secret table\n");
    turn();
    lines_t got = take();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (lines_t{"GET /index", "secret table"}));
}

// ---- turns ------------------------------------------------------------------------------

// With collect_even_share each log gets its share of a turn's lines; without, logs are read
// in list order and the turn stops in the log being read once its lines are read.
TEST_F(LogCollector, TurnsAcrossThreeLogsWithAndWithoutTheEvenShare) {
    struct Row {
        const char *what;
        int even, quota, num;
        std::vector<lines_t> turns;
    };
    // Newer entries are at the front of the list: c, b, a.
    const int all = 4 << 20;
    const Row rows[] = {
        // A quota below one line: one line per log and turn, either order.
        {"even, small quota", 1, 100, 4096, {{"c0", "b0", "a0"}, {"c1", "b1", "a1"}, {}}},
        // Fewer lines than logs: the next turn begins with the first log left out; in list
        // order the log being read keeps its turn.
        {"even, 2 a turn", 1, all, 2, {{"c0", "b0"}, {"a0", "c1"}, {"b1", "a1"}, {}}},
        {"listed, 2 a turn", 0, all, 2, {{"c0", "c1"}, {"b0", "b1"}, {"a0", "a1"}, {}}},
        // Each log gets its share, and what one leaves goes to the others; in list order
        // each is read to its end.
        {"even, 5 a turn", 1, all, 5, {{"c0", "b0", "a0", "c1", "b1"}, {"a1"}, {}}},
        {"listed, 5 a turn", 0, all, 5, {{"c0", "c1", "b0", "b1", "a0"}, {"a1"}, {}}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        for (const char *n : {"a", "b", "c"}) {
            unlink(log(n).c_str());
            append(log(n), "");
        }
        unlink(state().c_str());
        globals = "max_line_size = 1024\nquota_per_log = " + std::to_string(r.quota) +
                  "\ncollect_num_per_sec = " + std::to_string(r.num) +
                  "\ncollect_even_share = " + std::to_string(r.even) + "\n";
        conf({{"a", log("a")}, {"b", log("b")}, {"c", log("c")}});
        start();
        for (const char *n : {"a", "b", "c"}) append(log(n), numbered(0, 2, n));
        for (const lines_t &want : r.turns) {
            turn();
            EXPECT_EQ(take(), want);
        }
        stop();
    }
}

// A log whose first line leaves less than one maximum line of quota yields the turn; the
// next log's lines go out before its own second line.
TEST_F(LogCollector, QuotaShortOfOneLineYieldsTheTurn) {
    globals = "max_line_size = 1024\nquota_per_log = 1500\ncollect_num_per_sec = 4096\n";
    append(log("a"), "");
    append(log("b"), "");
    conf({{"a", log("a")}, {"b", log("b")}});
    start();
    append(log("a"), std::string(600, 'a') + "\nsmall\n");
    append(log("b"), std::string(400, 'b') + "\nsmall\n");
    turn();
    EXPECT_EQ(take(), (lines_t{std::string(400, 'b'), "small", std::string(600, 'a')}));
}

TEST_F(LogCollector, HeaderFailureKeepsTheLinePendingUploadFailureDoesNot) {
    append(log("a"), "");
    conf({{"app", log("a")}});
    start();
    append(log("a"), numbered(0, 3));
    register_host_state_callback([](upload_header *) { return -1; });
    turn(3);
    EXPECT_TRUE(take().empty());
    register_host_state_callback(fixed_header);
    turn();
    EXPECT_EQ(take(), expect_lines(0, 3));
    // A refused upload is not retried; the position moves on.
    register_upload_callback([](const char *, uint32_t, int32_t, uint32_t) { return 1; });
    append(log("a"), numbered(3, 4));
    turn();
    register_upload_callback(capture);
    append(log("a"), numbered(4, 5));
    turn();
    EXPECT_EQ(take(), expect_lines(4, 5));
}

// ---- watched files --------------------------------------------------------------------------

TEST_F(LogCollector, WildcardGainsAndLosesFilesAndMissingFilesAppear) {
    mkdir(log("d").c_str(), 0700);
    append(log("d/one.log"), "");
    empty_state();
    conf({{"wild", log("d/*.log")}, {"later", log("late")}});
    start();
    EXPECT_EQ(ctx.log_cnt, 2);
    append(log("d/one.log"), "1a\n");
    append(log("d/two.log"), "2a\n");  // not yet expanded
    turn();
    EXPECT_EQ(take(), lines_t{"1a"});
    parse_logset(&ctx);
    EXPECT_EQ(ctx.log_cnt, 3);
    turn();
    EXPECT_EQ(take(), lines_t{"2a"});
    // A vanished match stays watched and comes back from its start.
    unlink(log("d/one.log").c_str());
    parse_logset(&ctx);
    turn();
    append(log("d/one.log"), "1b\n");
    append(log("late"), "first\n");
    turn();
    lines_t got = take();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (lines_t{"1b", "first"}));
    EXPECT_EQ(ctx.log_cnt, 3);
}

// With log_collector_safe_open pseudo files, FIFOs and directories are never read, each refusal
// said once, and the others go on; a file again is read from its start. Links and files of
// another owner are the attack suite's.
TEST_F(LogCollector, OnlyRegularFilesAreRead) {
    globals += "log_collector_safe_open = 1\n";
    for (const char *n : {"a", "b"}) append(log(n), "");
    mkfifo(log("fifo").c_str(), 0600);
    conf({{"a", log("a")}, {"b", log("b")}, {"fifo", log("fifo")}, {"proc", "/proc/self/status"}});
    const int64_t refused = kiv_stat_get(LOG_COLLECTOR_REFUSED);
    std::string said = output_of([&] { start(); });
    unlink(log("a").c_str());
    ASSERT_EQ(mkdir(log("a").c_str(), 0700), 0);
    append(log("b"), "b1\n");
    said += output_of([&] { turn(3); });
    EXPECT_EQ(take(), lines_t{"b1"});
    rmdir(log("a").c_str());
    append(log("a"), "a1\n");
    said += output_of([&] { turn(); });
    EXPECT_EQ(take(), lines_t{"a1"});
    for (const std::string &why :
         {log("fifo") + " is not a regular file", std::string("/proc/self/status is a pseudo file"),
          log("a") + " is not a regular"}) {
        size_t n = 0;
        for (size_t at = said.find(why); at != std::string::npos; at = said.find(why, at + 1)) n++;
        EXPECT_EQ(n, 1u) << why;
    }
    EXPECT_EQ(kiv_stat_get(LOG_COLLECTOR_REFUSED) - refused, 3);
}

// Without log_collector_safe_open the path is read as it stands: a link at it is followed, a
// pseudo file collected, and a file of another owner read.
TEST_F(LogCollector, WithoutSafeOpensThePathIsReadAsItStands) {
    append(log("secret"), "");
    ASSERT_EQ(symlink(log("secret").c_str(), log("link").c_str()), 0);
    append(log("owner"), "");
    conf({{"link", log("link")}, {"owner", log("owner")}, {"proc", "/proc/self/status"}});
    start();
    turn();
    lines_t first = take();
    EXPECT_TRUE(std::any_of(first.begin(), first.end(),
                            [](const std::string &l) { return l.rfind("Name:", 0) == 0; }));
    append(log("secret"), "s1\n");
    ASSERT_EQ(rename(log("owner").c_str(), log("owner.1").c_str()), 0);
    write_file(log("owner"), "forged\n");
    ASSERT_EQ(chown(log("owner").c_str(), 65534, 65534), 0);
    turn();
    lines_t got = take();
    got.erase(std::remove_if(got.begin(), got.end(),
                             [](const std::string &l) { return l.find(':') != std::string::npos; }),
              got.end());
    EXPECT_EQ(sorted(got), (lines_t{"forged", "s1"}));
}

// ---- state file ---------------------------------------------------------------------------

TEST_F(LogCollector, StateFileTextAndCorruptStates) {
    for (const char *n : {"a", "b", "c"}) append(log(n), "");
    empty_state();
    conf({{"a", log("a")}, {"b", log("b")}, {"c", log("c")}});
    start();
    append(log("a"), "12345\n");
    append(log("c"), "1\n22\n");
    turn();
    EXPECT_EQ(take(), (lines_t{"1", "22", "12345"}));
    ASSERT_EQ(save_state(&ctx), 0);
    // List order (newest entry first); b has delivered nothing and is left out.
    EXPECT_EQ(slurp(state()), "[global]\npath0=" + log("c") + "\nino0=" + ino("c") +
                                  "\noffset0=5\npath1=" + log("a") + "\nino1=" + ino("a") +
                                  "\noffset1=6\ncnt=2\n");
    EXPECT_NE(access((state() + ".tmp").c_str(), F_OK), 0);

    struct Row {
        const char *what;
        std::string text;
        lines_t want;         // after "n1" and "n2" are appended to a and c
        const char *ident{};  // the fingerprint file's text instead of the saved one
    };
    const std::string A = log("a"), C = log("c");
    const std::string valid = "[global]\npath0=" + C + "\nino0=" + ino("c") +
                              "\noffset0=5\npath1=" + A + "\nino1=" + ino("a") +
                              "\noffset1=6\ncnt=2\n";
    const lines_t from_start{"1", "22", "n2", "12345", "n1"};
    const Row rows[] = {
        // Without fingerprints the inodes alone decide, as before they existed.
        {"no fingerprints", valid, {"n2", "n1"}, ""},
        {"damaged fingerprints",
         valid,
         {"n2", "n1"},
         "\xff\n1 2\n"
         "99 0 0123456789abcdef0123456789abcdef /x\n1 300 zz /y\n"},
        {"offset 0 ends the list",
         "[global]\npath0=" + A + "\nino0=" + ino("a") + "\noffset0=0\npath1=" + C +
             "\nino1=" + ino("c") + "\noffset1=5\ncnt=2\n",
         from_start},
        {"malformed numbers", "[global]\npath0=" + A + "\nino0=x\noffset0=-6\ncnt=1\n", from_start},
        {"unknown path, huge count",
         "[global]\npath0=/nowhere\nino0=1\noffset0=9\npath1=" + A + "\nino1=" + ino("a") +
             "\noffset1=6\ncnt=99999999999\n",
         {"1", "22", "n2", "n1"}},
    };
    stop();
    append(log("a"), "n1\n");
    append(log("c"), "n2\n");
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        std::ofstream(state(), std::ios::binary) << r.text;
        if (r.ident && !*r.ident) unlink(log_collector_ident_path());
        if (r.ident && *r.ident) write_file(log_collector_ident_path(), r.ident);
        start();
        turn();
        lines_t got = take();
        EXPECT_EQ(got, r.want);
        stop();
    }
}

TEST_F(LogCollector, UnwritableStateKeepsCollectingAndKeepsTheOldFile) {
    append(log("a"), "");
    conf({{"a", log("a")}});
    start();
    std::string before = slurp(state());
    append(log("a"), "x\n");
    turn();
    // A full disk: every write past a few bytes fails.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit tiny{8, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &tiny);
    int rc = save_state(&ctx);
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(slurp(state()), before);
    EXPECT_NE(access((state() + ".tmp").c_str(), F_OK), 0);
    // var/data is not a directory at all.
    dirutils_rmdir((root + "/var").c_str());
    std::ofstream(root + "/var") << "";
    EXPECT_EQ(save_state(&ctx), -1);
    append(log("a"), "y\n");
    turn();
    EXPECT_EQ(take(), (lines_t{"x", "y"}));
}

// Where a file seen for the first time is read from: the old part skipped to a line start,
// or a saved position of the same file.
TEST_F(LogCollector, StartPositionOfAFileFirstSeen) {
    // Lines of 10 bytes ("x0000000n\n"); 2000 of them make 20000 bytes.
    std::string body;
    for (int i = 0; i < 2000; i++) {
        char l[16];
        snprintf(l, sizeof l, "x%07dn\n", i);
        body += l;
    }
    struct Row {
        const char *what;
        int max_old;
        const char *state_offset;  // null: no entry
        bool same_ino;
        int first;  // number of the first line delivered
    };
    const Row rows[] = {
        {"skip lands on a line start", 10240, nullptr, true, 976},  // 20000-10240 = 9760
        {"skip inside a line", 10235, nullptr, true, 977},          // 9765
        {"saved before skip", 10240, "5000", true, 976},
        {"saved after skip", 10240, "15000", true, 1500},
        {"saved beyond the file", 10240, "30000", true, 976},
        {"saved for another inode", 10240, "15000", false, 976},
        {"skip disabled", 0, nullptr, true, 0},
    };
    const std::string base = globals;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        unlink(log("a").c_str());
        append(log("a"), body);
        struct stat st;
        stat(log("a").c_str(), &st);
        empty_state();
        if (r.state_offset)
            std::ofstream(state()) << "[global]\npath0=" << log("a")
                                   << "\nino0=" << (r.same_ino ? st.st_ino : st.st_ino + 1)
                                   << "\noffset0=" << r.state_offset << "\ncnt=1\n";
        globals = base + "max_old_log_size = " + std::to_string(r.max_old) + "\n";
        conf({{"app", log("a")}});
        start();
        turn();
        lines_t got = take();
        ASSERT_FALSE(got.empty());
        char first[16];
        snprintf(first, sizeof first, "x%07dn", r.first);
        EXPECT_EQ(got.front(), first);
        EXPECT_EQ(got.size(), 2000u - r.first);
        stop();
    }
}

TEST_F(LogCollector, CrashRepeatsFromTheLastSaveCleanStopDoesNot) {
    append(log("a"), "");
    conf({{"a", log("a")}});
    start();
    append(log("a"), numbered(0, 3));
    turn();
    ASSERT_EQ(save_state(&ctx), 0);  // the periodic save
    std::string periodic = slurp(state());
    append(log("a"), numbered(3, 5));
    turn();
    EXPECT_EQ(take(), expect_lines(0, 5));
    // A killed collector leaves the periodic save behind: repeats, nothing lost.
    stop();
    std::ofstream(state()) << periodic;
    append(log("a"), numbered(5, 6));
    start();
    turn();
    EXPECT_EQ(take(), expect_lines(3, 6));
    // After a clean stop nothing comes twice.
    stop();
    EXPECT_NE(slurp(state()), periodic);
    append(log("a"), numbered(6, 7));
    start();
    turn();
    EXPECT_EQ(take(), expect_lines(6, 7));
}

// The saved inode now belongs to another file (inodes are reused): nothing is resumed in it.
TEST_F(LogCollector, RestartConfirmsTheSavedFileByItsFirstBytes) {
    for (bool same_path : {true, false}) {
        SCOPED_TRACE(same_path ? "reused under the path" : "reused beside the path");
        for (const char *n : {"a", "b"}) unlink(log(n).c_str());
        append(log("a"), "a0\na1\n");
        append(log("b"), "b0\nb1\nb2\n");
        empty_state();
        conf({{"app", log("a")}});
        start();
        turn();
        EXPECT_EQ(take(), (lines_t{"a0", "a1"}));
        stop();
        // What the files would say had the old file been deleted and b been given its inode.
        auto swap = [](const std::string &f, const std::string &from, const std::string &to,
                       bool at_start) {
            std::string text = slurp(f);
            size_t at = text.find(from);
            ASSERT_TRUE(at != std::string::npos && (!at_start || at == 0)) << f << ": " << text;
            write_file(f, text.replace(at, from.size(), to));
        };
        swap(state(), "ino0=" + ino("a") + "\n", "ino0=" + ino("b") + "\n", false);
        swap(log_collector_ident_path(), ino("a") + " ", ino("b") + " ", true);
        if (same_path) ASSERT_EQ(rename(log("b").c_str(), log("a").c_str()), 0);
        start();
        turn();
        EXPECT_EQ(take(), same_path ? (lines_t{"b0", "b1", "b2"}) : (lines_t{"a0", "a1"}));
        stop();
    }
}

TEST_F(LogCollector, StopInTheMiddleOfARotationResumesTheRotatedFile) {
    append(log("a"), "");
    conf({{"a", log("a")}});
    start();
    append(log("a"), numbered(0, 2));
    turn();
    EXPECT_EQ(take(), expect_lines(0, 2));
    // Rotated with lines left in the old file, and only one read before the stop.
    append(log("a"), numbered(2, 5));
    ASSERT_EQ(rename(log("a").c_str(), log("a.1").c_str()), 0);
    append(log("a"), numbered(100, 102));
    ctx.collect_num_per_sec = 1;
    turn();
    EXPECT_EQ(take(), expect_lines(2, 3));
    stop();
    append(log("a.1"), numbered(5, 6));
    start();
    turn();
    lines_t want = expect_lines(3, 6);
    for (auto &l : expect_lines(100, 102)) want.push_back(l);
    EXPECT_EQ(take(), want);
}

// ---- record -------------------------------------------------------------------------------

TEST_F(LogCollector, RecordTextIsExact) {
    upload_header h{18446744073709551615ull,
                    "2026-01-02 03:04:05",
                    "uuid-1",
                    "10.0.0.1",
                    "10.0.0.1,10.0.0.2",
                    -3600,
                    1767323045123ull};
    char *t = format_log(&h, "nginx", "GET \"/\" \\ \t\x01 ok");
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(
        t,
        "{\"send_time\":\"2026-01-02 03:04:05\",\"tz_secondes\":\"-3600\","
        "\"host_uuid\":\"uuid-1\",\"host_ip\":\"10.0.0.1\",\"ip_list\":\"10.0.0.1,10.0.0.2\","
        "\"seq_id\":\"18446744073709551615\",\"app_name\":\"nginx\",\"message\":{"
        "\"line\":\"GET \\\"/\\\" \\\\ \\t\\u0001 ok\",\"container_id\":\"host\","
        "\"is_container_init\":0,\"login_name\":\"\",\"ssh_login_ip\":\"\"}}");
    cJSON_free(t);
    EXPECT_EQ(format_log(nullptr, "a", "l"), nullptr);
}

}  // namespace
