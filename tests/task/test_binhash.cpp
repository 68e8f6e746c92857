#include "task/binhash.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "comm/dirutils.h"
#include "comm/timer.h"
#include "qxkiv/digest.h"

namespace {

std::atomic<uint64_t> g_ms{5000000000ull};

// First word printed by a shell command: the digest tools' answer.
std::string tool(const std::string &cmd, const std::string &path) {
    setenv("KIV_DIGEST_PATH", path.c_str(), 1);  // no shell quoting of odd names
    FILE *p = popen((cmd + " -- \"$KIV_DIGEST_PATH\"").c_str(), "r");
    char buf[128] = {};
    if (p == nullptr || fscanf(p, "%127s", buf) != 1) buf[0] = '\0';
    if (p) pclose(p);
    return buf;
}

struct BinhashTest : ::testing::Test {
    std::string dir;
    void SetUp() override {
        char tmpl[] = "/tmp/kivbinhash.XXXXXX";
        dir = mkdtemp(tmpl);
        binhash_set_db_dir((dir + "/data").c_str());
        kiv_timer_set_source([] { return g_ms.load(); });
    }
    void TearDown() override {
        binhash_resource_exit();
        binhash_set_db_dir(nullptr);
        kiv_timer_set_source(nullptr);
        dirutils_rmdir(dir.c_str());
    }
    std::string file(const std::string &name, const std::string &body, time_t mtime = 1000) {
        std::string p = dir + "/" + name;
        std::ofstream(p, std::ios::binary) << body;
        timeval tv[2] = {{mtime, 0}, {mtime, 0}};
        utimes(p.c_str(), tv);
        return p;
    }
    static std::string lookup(const std::string &p, int *too_big = nullptr) {
        char md5[33], sha[65];
        int r = get_binhash_info(p.c_str(), md5, sizeof(md5), sha, sizeof(sha), too_big);
        return r == 0 ? std::string(md5) + ":" + sha : "";
    }
    static std::string expect_of(const std::string &p) {
        return tool("md5sum", p) + ":" + tool("sha256sum", p);
    }
    void sql(const std::string &text) {
        ASSERT_EQ(sqlite3_exec(g_binhash_info.db, text.c_str(), nullptr, nullptr, nullptr), 0);
    }
};

TEST_F(BinhashTest, DigestsMatchSystemToolsAndLevelsServeInOrder) {
    ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
    std::string tricky = file("it's \"q\"'); DROP TABLE PATH_HASH;--\xc3\xa9\xff", "quoted\n");
    for (std::string p : {std::string("/bin/ls"), std::string("/etc/passwd"), file("e", ""),
                          file("big", std::string(100000, 'x')), tricky}) {
        SCOPED_TRACE(p);
        EXPECT_EQ(lookup(p), expect_of(p));
    }
    EXPECT_EQ(g_binhash_info.db_info.row_count, 5);
    // Memory hit: a planted digest proves neither the database nor the file was read.
    binhash_info *hit = nullptr;
    uint32_t key = mordek_crc32(tricky.c_str(), tricky.size());
    ASSERT_EQ(fhash_search(g_binhash_info.binhash_hash, &key, 4, (void **)&hit), 0);
    hit->md5[0] = 0xAB;
    EXPECT_EQ(lookup(tricky).substr(0, 2), "ab");
    // Database hit, upper-case hex accepted; the quoted path selects its own row only.
    fhash_clear(g_binhash_info.binhash_hash);
    sql("UPDATE PATH_HASH SET MD5 = 'ABCDEF0123456789ABCDEF0123456789' WHERE PATH LIKE "
        "'%DROP TABLE%';");
    EXPECT_EQ(lookup(tricky).substr(0, 32), "abcdef0123456789abcdef0123456789");
    // A non-numeric MTIME or a damaged digest text forces a rehash.
    for (const char *set : {"MTIME = 'abc'", "SHA256 = 'zz'", "MD5 = 'g0'"}) {
        fhash_clear(g_binhash_info.binhash_hash);
        sql(std::string("UPDATE PATH_HASH SET ") + set + ";");
        EXPECT_EQ(lookup(tricky), expect_of(tricky)) << set;
    }
    // A new modification time rehashes and updates both levels.
    std::string p = file("f", "one", 1000);
    lookup(p);
    file("f", "two", 2000);
    EXPECT_EQ(lookup(p), expect_of(p));
    binhash_info rec{};
    search_sqlite_from_db(&g_binhash_info.db, p.c_str(), p.size(), &rec, &g_binhash_info.db_info);
    EXPECT_EQ(rec.mtime, 2000u);
}

TEST_F(BinhashTest, SizeLimitAndBadArguments) {
    ASSERT_EQ(binhash_resource_init(16, 100, 100), 0);
    int too_big = 0;
    std::string a = file("a", std::string(100, 'a'));
    EXPECT_EQ(lookup(a, &too_big), expect_of(a));
    EXPECT_EQ(too_big, 0);
    EXPECT_EQ(lookup(file("b", std::string(101, 'b')), &too_big), "");
    EXPECT_EQ(too_big, 1);
    uint8_t d[32];
    char m[33], s[65];
    EXPECT_EQ(get_binhash_info_digest((dir + "/none").c_str(), d, 16, d, 32, nullptr), -9);
    EXPECT_EQ(get_binhash_info_digest("/bin/ls", d, 16, d, 0, nullptr), -2);
    EXPECT_EQ(get_binhash_info("/bin/ls", m, 33, s, 64, nullptr), -2);  // SHA text needs 65
}

TEST_F(BinhashTest, CorruptDatabaseMovedAsideAtStart) {
    mkdir((dir + "/data").c_str(), 0755);
    std::string db = dir + "/data/binary_hash_db.db";
    std::ofstream(db) << std::string(4096, 'G');
    ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
    std::ifstream bak(db + ".bak");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(bak)), {}), std::string(4096, 'G'));
    EXPECT_EQ(lookup("/bin/ls"), expect_of("/bin/ls"));
    EXPECT_EQ(g_binhash_info.db_info.row_count, 1);
    // The rows survive a restart and the count is read back.
    binhash_resource_exit();
    ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
    EXPECT_EQ(g_binhash_info.db_info.row_count, 1);
}

TEST_F(BinhashTest, DatabaseRowLimitRefusesEvenReplacement) {
    ASSERT_EQ(binhash_resource_init(16, 2, 0), 0);
    std::string a = file("a", "a"), b = file("b", "b"), c = file("c", "c");
    for (const std::string &p : {a, b, c}) lookup(p);
    EXPECT_EQ(g_binhash_info.db_info.row_count, 2);
    binhash_info rec{};
    auto &g = g_binhash_info;
    EXPECT_NE(search_sqlite_from_db(&g.db, c.c_str(), c.size(), &rec, &g.db_info), 0);
    EXPECT_EQ(insert_sqlite_into_db(&g.db, a.c_str(), a.size(), &rec, &g.db_info, 2), -1);
}

TEST_F(BinhashTest, FullTableSweepsStaleRecordsAtMostEvery5s) {
    ASSERT_EQ(binhash_resource_init(2, 100, 0), 0);
    fhash *t = g_binhash_info.binhash_hash;
    binhash_info rec{};
    uint64_t t0 = g_ms / 1000;
    ASSERT_EQ(insert_binhash_into_table(t, "/x1", &rec), 0);
    ASSERT_EQ(insert_binhash_into_table(t, "/x2", &rec), 0);
    // Seconds after t0. 0: sweeps, nothing stale; 4: too soon to sweep; 600: sweeps, 600 s
    // is not stale yet; 603: too soon after that sweep; 605: both records stale, room made.
    for (auto [at, rc] :
         {std::pair<uint64_t, int>{0, -1}, {4, -1}, {600, -1}, {603, -1}, {605, 0}}) {
        g_ms = (t0 + at) * 1000;
        kiv_timer_set_source([] { return g_ms.load(); });
        EXPECT_EQ(insert_binhash_into_table(t, "/x3", &rec), rc) << at;
    }
    EXPECT_EQ(t->count, 1u);
}

TEST(BinhashText, Conversions) {
    uint8_t d[32];
    const char *ok = "000102030405060708090a0b0c0d0e0F";
    for (auto [len, rc] : {std::pair{32, 0}, {33, 0}, {31, -2}, {34, -2}})
        EXPECT_EQ(md5_str2md5_digest(d, 16, ok, len), rc) << len;
    EXPECT_EQ(md5_str2md5_digest(d, 16, "0001020304050607080g0a0b0c0d0e0f", 32), -2);
    std::string sha = std::string(62, 'a') + "Ff";
    EXPECT_EQ(sha256_str2sha256_digest(d, 32, sha.c_str(), 64), 0);
    EXPECT_EQ(d[31], 0xFF);
    EXPECT_EQ(sha256_str2sha256_digest(d, 32, (std::string(63, 'a') + "x").c_str(), 64), -2);
    char text[65];
    EXPECT_EQ(md5_digest2md5_str(d, 16, text, 9), 32);
    EXPECT_STREQ(text, "aaaaaaaa");
    EXPECT_EQ(sha256_digest2sha256_str(d, 32, text, 64), -2);
    EXPECT_EQ(sha256_digest2sha256_str(d, 32, text, 65), 64);
    EXPECT_EQ(text, sha.substr(0, 62) + "ff");
}

TEST_F(BinhashTest, ConcurrentLookupsAgree) {
    ASSERT_EQ(binhash_resource_init(4, 100, 0), 0);
    std::vector<std::string> files, want;  // twice the table size: stores contend too
    for (int i = 0; i < 8; i++)
        want.push_back(expect_of(files.emplace_back(file(std::to_string(i), std::string(i, 'a')))));
    std::vector<std::thread> th;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; t++)
        th.emplace_back([&, t] {
            for (int i = t; i < 200 + t; i++) bad += lookup(files[i % 8]) != want[i % 8];
        });
    for (auto &x : th) x.join();
    EXPECT_EQ(bad, 0);
}

}  // namespace
