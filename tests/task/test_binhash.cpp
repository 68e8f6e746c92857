#include "task/binhash.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comm/digest_internal.h"
#include "comm/dirutils.h"
#include "comm/pthread_guard.h"
#include "comm/timer.h"
#include "digest_races.h"
#include "qxkiv/digest.h"

namespace {

std::atomic<uint64_t> g_ms{5000000000ull};

void set_clock_sec(uint64_t sec) {
    g_ms = sec * 1000;
    kiv_timer_set_source([] { return g_ms.load(); });  // refreshes the cached clock
}

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
        digest_set_race_hooks(nullptr, nullptr);
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
    std::string db_path() const { return dir + "/data/binary_hash_db.db"; }
    // Rows for path as another connection sees them.
    int rows_of(const std::string &p) const {
        sqlite3 *db = nullptr;
        int n = -1;
        sqlite3_stmt *st = nullptr;
        if (sqlite3_open(db_path().c_str(), &db) == SQLITE_OK &&
            sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM PATH_HASH WHERE PATH = ?;", -1, &st,
                               nullptr) == SQLITE_OK) {
            sqlite3_bind_text(st, 1, p.c_str(), -1, SQLITE_STATIC);
            if (sqlite3_step(st) == SQLITE_ROW) n = sqlite3_column_int(st, 0);
        }
        sqlite3_finalize(st);
        sqlite3_close(db);
        return n;
    }
};

// A second connection, as a second instance or an administrator's sqlite3 shell would hold.
struct other_connection {
    sqlite3 *db = nullptr;
    explicit other_connection(const std::string &path) {
        EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    }
    int exec(const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
    ~other_connection() { sqlite3_close(db); }
};

// Multi-block and empty files, and a name that is no SQL text and no UTF-8, each in a row of
// its own (a database hit: RowWithoutIdentityNeverMatches; upper-case hex: BinhashText).
TEST_F(BinhashTest, DigestsMatchSystemToolsAndDamagedRowsAreRehashed) {
    ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
    std::string tricky = file("it's \"q\"'); DROP TABLE PATH_HASH;--\xc3\xa9\xff", "quoted\n");
    for (std::string p : {file("e", ""), file("big", std::string(100000, 'x')), tricky}) {
        SCOPED_TRACE(p);
        EXPECT_EQ(lookup(p), expect_of(p));
    }
    EXPECT_EQ(g_binhash_info.db_info.row_count, 3);
    // A non-numeric MTIME or a damaged digest text forces a rehash.
    for (const char *set : {"MTIME = 'abc'", "SHA256 = 'zz'", "MD5 = 'g0'"}) {
        fhash_clear(g_binhash_info.binhash_hash);
        sql(std::string("UPDATE PATH_HASH SET ") + set + ";");
        EXPECT_EQ(lookup(tricky), expect_of(tricky)) << set;
    }
    // Bad arguments (the size limit's edges: FileGrowingWhileHashed).
    uint8_t d[32];
    char m[33], s[65];
    EXPECT_EQ(get_binhash_info_digest((dir + "/none").c_str(), d, 16, d, 32, nullptr), -9);
    EXPECT_EQ(get_binhash_info_digest("/bin/ls", d, 16, d, 0, nullptr), -2);
    EXPECT_EQ(get_binhash_info("/bin/ls", m, 33, s, 64, nullptr), -2);  // SHA text needs 65
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
    rec.ident = 1;
    ASSERT_EQ(insert_binhash_into_table(t, "/x1", &rec), 0);
    rec.ident = 2;
    ASSERT_EQ(insert_binhash_into_table(t, "/x2", &rec), 0);
    rec.ident = 3;
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

// Lookups on several threads agree, also while the database is closed by errors and
// reopened by whichever lookup comes first after the gap.
TEST_F(BinhashTest, ConcurrentLookupsAgree) {
    for (bool db_errors : {false, true}) {
        SCOPED_TRACE(db_errors ? "with database errors" : "plain");
        set_clock_sec(9000000);
        ASSERT_EQ(binhash_resource_init(4, 100, 0), 0);
        auto &g = g_binhash_info;
        std::vector<std::string> files, want;  // twice the table size: stores contend too
        for (int i = 0; i < 8; i++)
            want.push_back(
                expect_of(files.emplace_back(file(std::to_string(i), std::string(i, 'a')))));
        std::vector<std::thread> th;
        std::atomic<int> bad{0}, running{4};
        for (int t = 0; t < 4; t++)
            th.emplace_back([&, t] {
                for (int i = t; i < 200 + t; i++) bad += lookup(files[i % 8]) != want[i % 8];
                running--;
            });
        for (uint64_t sec = 9000000; db_errors && running > 0; sec += BINHASH_DB_REOPEN_GAP_SEC) {
            {
                mutex_guard m(&g.binhash_db_mutex);
                if (g.db != nullptr) sqlite_err_handling(&g.db, SQLITE_FULL, &g.db_info);
            }
            set_clock_sec(sec);
            std::this_thread::yield();
        }
        for (auto &x : th) x.join();
        EXPECT_EQ(bad, 0);
        binhash_resource_exit();
    }
}

// ---- what is hashed ----

// The lookup holds the inode the path named before it looks at it: a link turned elsewhere
// while it is read changes nothing, and the next lookup sees what the link names then.
TEST_F(BinhashTest, LinkSwappedWhileHashingCannotChangeWhatIsRead) {
    ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
    std::string a = file("a", "first"), b = file("b", "other");
    g_swap_link = dir + "/exe";
    digest_set_race_hooks(swap_link_once, nullptr);
    for (const std::string &to : {b, std::string("/dev/zero")}) {
        SCOPED_TRACE(to);
        unlink(g_swap_link.c_str());
        ASSERT_EQ(symlink(a.c_str(), g_swap_link.c_str()), 0);
        g_swap_to = to;
        fhash_clear(g_binhash_info.binhash_hash);
        sql("DELETE FROM PATH_HASH;");
        EXPECT_EQ(lookup(g_swap_link), expect_of(a));
        EXPECT_TRUE(g_swap_to.empty());  // the swap did happen
        EXPECT_EQ(lookup(g_swap_link), to == b ? expect_of(b) : "");
        EXPECT_EQ(g_binhash_info.binhash_hash->count, to == b ? 2u : 1u);  // refusals not kept
    }
}

// A writer appending while the file is hashed cannot keep the collector reading: the read
// stops at the size the file had when opened, and digests of a moving file are not cached.
TEST_F(BinhashTest, FileGrowingWhileHashedIsBoundedAndNotCached) {
    constexpr uint64_t kLimit = 64 * 1024;
    ASSERT_EQ(binhash_resource_init(16, 100, kLimit), 0);
    std::string body(20000, 'b');
    std::string copy = file("copy", body);  // what the first lookup must report
    struct Case {
        bool before_open;
        size_t by;
        const char *first, *second;  // "orig", "grown" or "big"
    };
    for (const Case &c : std::vector<Case>{{false, kLimit - body.size(), "orig", "grown"},
                                           {false, kLimit - body.size() + 1, "orig", "big"},
                                           {true, 1 << 20, "big", "big"}}) {
        SCOPED_TRACE(std::to_string(c.before_open) + " " + std::to_string(c.by));
        fhash_clear(g_binhash_info.binhash_hash);
        sql("DELETE FROM PATH_HASH;");
        g_grow_path = file("g", body);
        g_grow_by = c.by;
        digest_set_race_hooks(c.before_open ? grow_before_open : nullptr,
                              c.before_open ? nullptr : grow_once);
        auto want = [&](const std::string &what) {
            return what == std::string("orig")    ? expect_of(copy)
                   : what == std::string("grown") ? expect_of(g_grow_path)
                                                  : std::string();
        };
        int too_big = 0;
        std::string first = lookup(g_grow_path, &too_big);
        EXPECT_EQ(g_grow_by, 0u);
        digest_set_race_hooks(nullptr, nullptr);
        EXPECT_EQ(first, want(c.first));
        EXPECT_EQ(too_big, std::string(c.first) == "big");
        if (std::string(c.first) == "orig") {
            EXPECT_EQ(g_binhash_info.binhash_hash->count, 0u);
            EXPECT_EQ(rows_of(g_grow_path), 0);
        }
        too_big = 0;
        EXPECT_EQ(lookup(g_grow_path, &too_big), want(c.second));
        EXPECT_EQ(too_big, std::string(c.second) == "big");
    }
}

// ---- what a cached digest is trusted for ----

// A file rewritten in place within the same second (same inode, size and whole-second
// mtime) while the sensor is stopped: only the change time tells, and the database's row is
// not served. (In memory the key is the same fingerprint of the identity; a new inode or size
// changes the change time too.)
TEST_F(BinhashTest, ReplacedBinaryWithSameMtimeIsRehashed) {
    ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
    std::string p = file("r", "GOOD");
    std::string good = expect_of(p);
    ASSERT_EQ(lookup(p), good);
    struct stat old;
    ASSERT_EQ(stat(p.c_str(), &old), 0);
    binhash_resource_exit();
    // Rewrite until the clock behind the change time has moved.
    struct stat now = old;
    for (int i = 0; i < 5000 && now.st_ctim.tv_sec == old.st_ctim.tv_sec &&
                    now.st_ctim.tv_nsec == old.st_ctim.tv_nsec;
         i++) {
        usleep(i == 0 ? 0 : 1000);
        std::ofstream(p, std::ios::binary | std::ios::trunc) << "EVIL";
        timespec ts[2] = {old.st_atim, {old.st_mtim.tv_sec, old.st_mtim.tv_nsec + 1}};
        if (ts[1].tv_nsec >= 1000000000) ts[1] = {old.st_mtim.tv_sec, 0};
        ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), ts, 0), 0);
        ASSERT_EQ(stat(p.c_str(), &now), 0);
    }
    ASSERT_EQ(now.st_ino, old.st_ino);
    ASSERT_EQ(now.st_size, old.st_size);
    ASSERT_EQ(now.st_mtime, old.st_mtime);
    ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
    std::string evil = expect_of(p);
    ASSERT_NE(evil, good);
    EXPECT_EQ(lookup(p), evil);
    // The database now holds the new file: a restart serves it from there.
    binhash_resource_exit();
    ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
    EXPECT_EQ(lookup(p), evil);
}

// Rows written before the identity was kept (or whose identity row is gone) are rehashed;
// a database hit still needs no hashing when everything matches.
TEST_F(BinhashTest, RowWithoutIdentityNeverMatches) {
    ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
    std::string p = file("p", "payload");
    std::string real = expect_of(p);
    ASSERT_EQ(lookup(p), real);
    const char *fake = "UPDATE PATH_HASH SET MD5 = '00000000000000000000000000000000';";
    sql(fake);
    fhash_clear(g_binhash_info.binhash_hash);
    EXPECT_EQ(lookup(p).substr(0, 8), "00000000");  // identity matched: the row was used
    sql(fake);
    sql("DELETE FROM PATH_IDENT;");
    fhash_clear(g_binhash_info.binhash_hash);
    EXPECT_EQ(lookup(p), real);
    sql(fake);
    sql("UPDATE PATH_IDENT SET INODE = 'x';");
    fhash_clear(g_binhash_info.binhash_hash);
    EXPECT_EQ(lookup(p), real);
}

// ---- the database under errors ----

// A second instance holding the store locked: the connection closes, lookups go on from
// memory and hashing, and the store is reopened once the gap has passed on the cached clock.
// (A full disk's error: ConcurrentLookupsAgree.)
TEST_F(BinhashTest, FailedDatabaseIsReopenedAfterTheGap) {
    uint64_t t0 = 7000000;
    set_clock_sec(t0);
    std::string a = file("a", "a"), b = file("b", "b"), c = file("c", "c");
    auto &g = g_binhash_info;
    // Creates the tables so that the lock below covers a real database.
    ASSERT_EQ(binhash_resource_init(16, 1000, 0), 0);
    other_connection other(db_path());
    ASSERT_EQ(other.exec("BEGIN EXCLUSIVE;"), SQLITE_OK);
    ASSERT_EQ(g.binhash_hash->count, 0u);
    EXPECT_EQ(lookup(a), expect_of(a));
    EXPECT_EQ(g.db, nullptr);
    EXPECT_EQ(lookup(a), expect_of(a));  // from memory
    EXPECT_EQ(g.binhash_hash->count, 1u);
    ASSERT_EQ(other.exec("COMMIT;"), SQLITE_OK);
    // Released, but the gap has not passed: no attempt yet.
    set_clock_sec(t0 + BINHASH_DB_REOPEN_GAP_SEC - 1);
    EXPECT_EQ(lookup(b), expect_of(b));
    EXPECT_EQ(g.db, nullptr);
    EXPECT_EQ(rows_of(b), 0);
    set_clock_sec(t0 + BINHASH_DB_REOPEN_GAP_SEC);
    EXPECT_EQ(lookup(c), expect_of(c));
    EXPECT_NE(g.db, nullptr);
    EXPECT_EQ(rows_of(c), 1);
}

// Something other than our database at its name (garbage, a directory, a foreign schema) is
// moved to the backup name, over an older backup, and a working one takes its place.
TEST_F(BinhashTest, ForeignOrMisplacedDatabaseIsMovedAside) {
    const std::string garbage(4096, 'G');
    struct Case {
        const char *name;
        const char *sql;  // a database of these tables at the name; null: see db_dir
        bool db_dir;      // a directory at the name; else, without sql, a file of garbage
        int old_bak;      // 1: an older backup file, 2: an older backup directory
    };
    const Case cases[] = {
        {"garbage over an older backup directory", nullptr, false, 2},
        {"a directory over an older backup file", nullptr, true, 1},
        {"a foreign layout", "CREATE TABLE PATH_HASH(A TEXT, B TEXT);", false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string data = dir + "/data", db = db_path(), bak = db + ".bak";
        dirutils_rmdir(data.c_str());
        ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
        if (c.old_bak == 1) std::ofstream(bak) << "old";
        if (c.old_bak == 2) {
            ASSERT_EQ(mkdir(bak.c_str(), 0755), 0);
            std::ofstream(bak + "/old") << "x";
        }
        if (c.db_dir) {
            ASSERT_EQ(mkdir(db.c_str(), 0755), 0);
            std::ofstream(db + "/inside") << "x";
        } else if (c.sql) {
            other_connection o(db);
            ASSERT_EQ(o.exec(c.sql), SQLITE_OK);
        } else {
            std::ofstream(db) << garbage;
        }
        ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
        ASSERT_NE(g_binhash_info.db, nullptr) << "no working database";
        struct stat st;
        ASSERT_EQ(stat(bak.c_str(), &st), 0);
        EXPECT_EQ(S_ISDIR(st.st_mode), c.db_dir);
        if (c.db_dir) EXPECT_TRUE(std::ifstream(bak + "/inside").good());
        std::ifstream moved(bak);
        if (!c.db_dir && !c.sql)
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(moved), {}), garbage);
        EXPECT_EQ(lookup("/bin/ls"), expect_of("/bin/ls"));
        EXPECT_EQ(g_binhash_info.db_info.row_count, 1);
        binhash_resource_exit();
    }
}

}  // namespace

// ---- the file that ran, and who pays for hashing ----

namespace {

// binhash_get's result; md5, when given, gets the MD5 text ("" without digests).
int ask(const std::string &p, uint32_t uid, binhash_mode mode = BINHASH_EVENT, uint32_t pid = 0,
        const exe_ident *exe = nullptr, std::string *md5 = nullptr) {
    binhash_source s;
    s.path = p.c_str(), s.uid = uid, s.mode = mode, s.pid = pid, s.exe = exe;
    uint8_t m[16], h[32];
    char text[33] = {};
    int rc = binhash_get(s, m, 16, h, 32, nullptr);
    if (rc == 0) md5_digest2md5_str(m, 16, text, sizeof text);
    if (md5) *md5 = text;
    return rc;
}

exe_ident ident_of(const std::string &p) {
    struct stat st {};
    EXPECT_EQ(stat(p.c_str(), &st), 0);
    return {st.st_dev, st.st_ino, st.st_ctim.tv_sec, (uint32_t)st.st_ctim.tv_nsec};
}

template <class F>
bool eventually(F pred) {
    for (int i = 0; i < 6000; i++) {
        if (pred()) return true;
        usleep(5000);
    }
    return false;
}

}  // namespace

// Digests taken of an executed file stay known by its exec identity: the same exec again gets
// them without reading anything, after the file was replaced too; the same inode and change
// time on another device is another file.
TEST_F(BinhashTest, ExecutedFileIsKnownByItsIdentity) {
    ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
    std::string prog = file("prog", std::string(5000, 'p'));
    std::string ran = expect_of(prog);
    exe_ident exe = ident_of(prog);
    auto get = [&](const exe_ident &id) {
        std::string md5;
        ask(prog, 0, BINHASH_SYNC, 0, &id, &md5);
        return md5;
    };
    ASSERT_EQ(get(exe), ran.substr(0, 32));
    ASSERT_EQ(rename(file("benign", "benign body").c_str(), prog.c_str()), 0);
    uint64_t hashed = binhash_counters_get().hashed, not_exe = binhash_counters_get().not_exe;
    EXPECT_EQ(get(exe), ran.substr(0, 32));
    exe_ident elsewhere = exe;
    elsewhere.dev ^= 1;
    EXPECT_EQ(get(elsewhere), "");
    EXPECT_EQ(binhash_counters_get().not_exe, not_exe + 1);
    EXPECT_EQ(get(ident_of(prog)), expect_of(prog).substr(0, 32));
    EXPECT_EQ(binhash_counters_get().hashed, hashed + 1);  // only the new file was read
}

// One user's files take one hashing thread at a time and a bounded queue; another user's file
// is hashed meanwhile on the other thread.
TEST_F(BinhashTest, HashingThreadsServeEveryUserAndBoundEach) {
    ASSERT_EQ(binhash_resource_init(64, 100, 0), 0);
    hold_release release;
    g_hold_seen = 0;
    digest_set_race_hooks(nullptr, hold_read);
    // Above what the event path hashes itself.
    auto big = [&](const std::string &name, char c) {
        std::string p = file(name, std::string(1, c));
        EXPECT_EQ(truncate(p.c_str(), BINHASH_INLINE_MAX + 1), 0);
        return p;
    };
    std::vector<std::string> held;
    for (uint32_t i = 0; i <= BINHASH_USER_JOBS; i++)
        held.push_back(big("hold" + std::to_string(i), 'a' + i));
    uint64_t refused = binhash_counters_get().refused;
    for (uint32_t i = 0; i < BINHASH_USER_JOBS; i++)
        EXPECT_EQ(ask(held[i], 1000), BINHASH_PENDING) << i;
    EXPECT_EQ(ask(held[0], 1000), BINHASH_PENDING);  // asked again: the same job
    EXPECT_EQ(ask(held[BINHASH_USER_JOBS], 1000), -1);
    EXPECT_EQ(binhash_counters_get().refused, refused + 1);
    ASSERT_TRUE(eventually([] { return g_hold_seen.load() > 0; }));
    std::string other = big("other", 'z');
    EXPECT_EQ(ask(other, 0), BINHASH_PENDING);
    ASSERT_TRUE(eventually([&] { return ask(other, 0) == 0; }));
    EXPECT_EQ(lookup(other), expect_of(other));
    EXPECT_EQ(g_hold_seen.load(), 1);  // still on the first of them
    g_hold = false;
    for (uint32_t i = 0; i < BINHASH_USER_JOBS; i++)
        EXPECT_TRUE(eventually([&] { return ask(held[i], 1000) == 0; })) << i;
    EXPECT_EQ(lookup(held[3]), expect_of(held[3]));
}

// A user's shares of a window, the event path's within the whole: to the byte, for that user
// alone, renewed when the window turns (or the clock is set back). A small file past the
// inline share goes to the threads; past the whole share it is not hashed.
TEST_F(BinhashTest, HashingShareIsPerUserAndWindow) {
    ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
    set_clock_sec(7000000);
    std::string p = file("p", std::string(100000, 'p')), q = file("q", std::string(100000, 'q'));
    EXPECT_TRUE(binhash_budget_take(501, BINHASH_USER_INLINE_BYTES - 10, true));
    EXPECT_TRUE(binhash_budget_take(501, 10, true));
    EXPECT_FALSE(binhash_budget_take(501, 1, true));
    EXPECT_EQ(ask(p, 501), BINHASH_PENDING);
    EXPECT_TRUE(eventually([&] { return ask(p, 501) == 0; }));
    EXPECT_TRUE(binhash_budget_take(
        501, BINHASH_USER_WINDOW_BYTES - BINHASH_USER_INLINE_BYTES - 100000, false));
    EXPECT_FALSE(binhash_budget_take(501, 1, false));
    EXPECT_TRUE(binhash_budget_take(502, 1, true));
    EXPECT_EQ(ask(q, 501), -1);
    set_clock_sec(7000000 + BINHASH_WINDOW_MS / 1000 - 1);
    EXPECT_FALSE(binhash_budget_take(501, 1, false));
    set_clock_sec(7000000 + BINHASH_WINDOW_MS / 1000);
    EXPECT_TRUE(binhash_budget_take(501, BINHASH_USER_WINDOW_BYTES, false));
    set_clock_sec(6000000);
    EXPECT_EQ(ask(q, 501), 0);
}

// Stopping does not wait for a large file to be read to its end.
TEST_F(BinhashTest, StopGivesUpTheFileBeingHashed) {
    ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
    std::string p = dir + "/hold-big";
    int fd = open(p.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 40 << 20), 0);  // 10,000 reads, each held a millisecond or more
    close(fd);
    digest_set_race_hooks(nullptr, [](const char *path, uint64_t) {
        if (strstr(path, "/hold") == nullptr) return;
        g_hold_seen++;
        usleep(1000);
    });
    g_hold_seen = 0;
    EXPECT_EQ(ask(p, 7), BINHASH_PENDING);
    ASSERT_TRUE(eventually([] { return g_hold_seen.load() > 0; }));
    uint64_t hashed = binhash_counters_get().hashed;
    binhash_resource_exit();
    EXPECT_EQ(binhash_counters_get().hashed, hashed);
    EXPECT_LT(g_hold_seen.load(), 10240);
}

// The store lists what ran on the host: its directory and file are not for every user,
// whatever the umask, and an older store made readable by all is narrowed.
TEST_F(BinhashTest, StoreIsNotReadableByEveryUser) {
    auto mode = [](const std::string &p) {
        struct stat st;
        return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777u;
    };
    mode_t old = umask(0);
    ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
    EXPECT_EQ(lookup("/bin/ls"), expect_of("/bin/ls"));  // a journal came and went
    EXPECT_EQ(mode(dir + "/data"), 0750u);
    EXPECT_EQ(mode(db_path()), 0640u);
    binhash_resource_exit();
    ASSERT_EQ(chmod(db_path().c_str(), 0666), 0);
    ASSERT_EQ(binhash_resource_init(16, 100, 0), 0);
    EXPECT_EQ(mode(db_path()), 0640u);
    umask(old);
    EXPECT_EQ(mode(std::string(KIV_STAGE_DIR) + "/var/data"), 0750u);
}
