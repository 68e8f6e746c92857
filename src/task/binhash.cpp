// Executable digest cache: memory table, SQLite store, and the file hashing behind both.
#include "task/binhash.h"

#include "comm/pthread_guard.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <initializer_list>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>

#include "comm/digest_internal.h"
#include "comm/dirutils.h"
#include "comm/entry_gate.h"
#include "comm/timer.h"
#include "base/mem.h"
#include "base/log.h"
#include "qxkiv/digest.h"

binhash_cache_info g_binhash_info = {
    PTHREAD_RWLOCK_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, nullptr, nullptr, {}, 0, 0, 0, 0, 0};

namespace {

constexpr const char *kDefaultDbDir = "@/../var/data";
constexpr const char *kDbName = "binary_hash_db.db";
constexpr uint32_t kReadSize = 4096;
constexpr uint64_t kSweepGapSec = 5;
constexpr uint64_t kStaleSec = 600;

constexpr const char *kCreateSql =
    "CREATE TABLE IF NOT EXISTS PATH_HASH(PATH VARCHAR(1025) PRIMARY KEY     NOT NULL,"
    "MD5           VARCHAR(33)    NOT NULL,SHA256\t\tVARCHAR(65)    NOT NULL,"
    "MTIME \t\tINTEGER \t   NOT NULL);";
// Beside PATH_HASH, whose statement stays as older databases have it: the rest of the
// file's identity, written in the same transaction. A row without one never matches.
constexpr const char *kCreateIdentSql =
    "CREATE TABLE IF NOT EXISTS PATH_IDENT(PATH VARCHAR(1025) PRIMARY KEY NOT NULL,"
    "SIZE INTEGER NOT NULL,INODE INTEGER NOT NULL,CTIME INTEGER NOT NULL,"
    "CTIME_NS INTEGER NOT NULL);";
// The path is always a bound parameter: quotes in file names cannot reach the SQL text.
constexpr const char *kStmtSql[BINHASH_STMT_COUNT] = {
    "SELECT H.MD5, H.SHA256, H.MTIME, I.SIZE, I.INODE, I.CTIME, I.CTIME_NS FROM PATH_HASH H "
    "LEFT JOIN PATH_IDENT I ON I.PATH = H.PATH WHERE H.PATH = ?;",
    "REPLACE INTO PATH_HASH (PATH, MD5, SHA256, MTIME) VALUES(?,?,?,?);",
    "REPLACE INTO PATH_IDENT (PATH, SIZE, INODE, CTIME, CTIME_NS) VALUES(?,?,?,?,?);",
    "DELETE FROM PATH_IDENT WHERE PATH = ?;",
    "BEGIN;",
    "COMMIT;",
};

char s_db_dir[BINHASH_DB_PATH_LEN] = "@/../var/data";

enum : uint32_t { DONE_LOCK = 1, DONE_MUTEX = 2, DONE_DB = 4, DONE_HASH = 8, DONE_JOBS = 16 };
// The store lists what ran on the host, /root paths included: not for every user, whatever
// the umask.
constexpr mode_t kDbDirMode = 0750;
constexpr mode_t kDbFileMode = 0640;

inline uint64_t now_sec() {
    return kiv_now_ms() / 1000;
}

int binhash_key_cmp_func(const void *key, void *data) {
    uint64_t k;
    memcpy(&k, key, sizeof(k));
    return static_cast<binhash_info *>(data)->ident == k ? 0 : 1;
}

void binhash_data_del_func(void *data) {
    kiv_free(data);
}

// Statements die with their connection.
void db_close(sqlite3 **handle, sqlite_db_info *desc) {
    if (desc) {
        for (sqlite3_stmt *&st : desc->stmt) {
            sqlite3_finalize(st);
            st = nullptr;
        }
    }
    if (*handle) sqlite3_close(*handle);
    *handle = nullptr;
}

// Closed after an error: a lookup reopens it once the gap has passed on the cached clock,
// so a disk that stays full costs one attempt per gap, not one per exec.
void db_close_for_now(sqlite3 **handle, sqlite_db_info *desc) {
    db_close(handle, desc);
    desc->reopen_at = now_sec() + BINHASH_DB_REOPEN_GAP_SEC;
}

// One backup generation: whatever holds the backup name gives way, also when a directory
// (which rename cannot put over a file or a non-empty directory) is being moved aside.
void move_aside(const sqlite_db_info *desc) {
    if (rename(desc->db_path, desc->bak_path) == 0 || errno == ENOENT) return;
    struct stat st;
    if (lstat(desc->bak_path, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            dirutils_rmdir(desc->bak_path);
        else
            unlink(desc->bak_path);
    }
    if (rename(desc->db_path, desc->bak_path) != 0)
        KIV_LOG(1, "rename %s to %s failed: %s\n", desc->db_path, desc->bak_path, strerror(errno));
}

// Created here before SQLite would create it with 0644 less the umask; an existing one (its
// journal takes the same mode) is narrowed. A link in its place is left to the open to refuse.
void restrict_db_file(const char *path) {
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, kDbFileMode);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) != kDbFileMode &&
        fchmod(fd, kDbFileMode) != 0)
        KIV_LOG(1, "chmod %s failed: %s\n", path, strerror(errno));
    close(fd);
}

// The columns of a table as we create it, the first one its primary key. SQLITE_OK,
// SQLITE_ERROR when the table is someone else's, or the code that stopped the check.
int check_columns(sqlite3 *db, const char *table, std::initializer_list<const char *> cols) {
    char sql[64];
    snprintf(sql, sizeof(sql), "PRAGMA table_info(%s);", table);
    sqlite3_stmt *st = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    if (rc != SQLITE_OK) return rc;
    size_t i = 0;
    bool ours = true;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        const char *name = reinterpret_cast<const char *>(sqlite3_column_text(st, 1));
        bool pk = sqlite3_column_int(st, 5) != 0;
        if (i >= cols.size() || name == nullptr || strcasecmp(name, cols.begin()[i]) != 0 ||
            pk != (i == 0))
            ours = false;
        i++;
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) return rc;
    if (!ours || i != cols.size()) {
        KIV_LOG(1, "table %s has a foreign layout\n", table);
        return SQLITE_ERROR;
    }
    return SQLITE_OK;
}

uint64_t mix64(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

uint64_t ident_key() {
    static const uint64_t key = [] {
        uint64_t k = 0;
        if (getrandom(&k, sizeof(k), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(k))) {
            timespec ts{};
            clock_gettime(CLOCK_MONOTONIC, &ts);
            k = mix64(static_cast<uint64_t>(ts.tv_nsec) ^ reinterpret_cast<uintptr_t>(&k) ^
                      (static_cast<uint64_t>(getpid()) << 32));
        }
        return k;
    }();
    return key;
}

bool is_damaged(int code, const char *msg) {
    static const char *const kMsgs[] = {
        "database disk image is malformed", "attempt to write a readonly database",
        "database schema has changed", "SQL logic error or missing database"};
    if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB || code == SQLITE_READONLY) return true;
    for (const char *m : kMsgs)
        if (strcmp(msg, m) == 0) return true;
    return false;
}

// Whole text is a base-10 integer.
bool parse_long(const char *s, long long *out) {
    if (s == nullptr || *s == '\0') return false;
    char *end;
    errno = 0;
    long long v = strtoll(s, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *out = v;
    return true;
}

}  // namespace

void binhash_set_db_dir(const char *dir) {
    snprintf(s_db_dir, sizeof(s_db_dir), "%s", dir ? dir : kDefaultDbDir);
}

binhash_ident binhash_ident_of(const struct stat &st) {
    return {static_cast<uint64_t>(st.st_size), static_cast<uint64_t>(st.st_ino),
            static_cast<int64_t>(st.st_ctim.tv_sec), static_cast<int64_t>(st.st_ctim.tv_nsec),
            static_cast<uint64_t>(st.st_dev), static_cast<int64_t>(st.st_mtim.tv_sec),
            static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

uint64_t binhash_row_fingerprint(const binhash_ident &id) {
    // Each step is a bijection of the running value, so identities that differ in one field
    // never share a fingerprint.
    uint64_t h = ident_key();
    for (uint64_t v : {id.size, id.ino, static_cast<uint64_t>(id.ctime_sec),
                       static_cast<uint64_t>(id.ctime_nsec)})
        h = mix64(h ^ v);
    return h != 0 ? h : 1;
}

uint64_t binhash_ident_fingerprint(const binhash_ident &id) {
    uint64_t h = binhash_row_fingerprint(id);
    for (uint64_t v : {id.dev, static_cast<uint64_t>(id.mtime_sec),
                       static_cast<uint64_t>(id.mtime_nsec)})
        h = mix64(h ^ v);
    return h != 0 ? h : 1;
}

bool binhash_is_exe(const struct stat &st, const exe_ident &exe) {
    return static_cast<uint64_t>(st.st_ino) == exe.ino && st.st_ctim.tv_sec == exe.ctime_sec &&
           static_cast<uint64_t>(st.st_ctim.tv_nsec) == exe.ctime_nsec;
}

// ---- conversions ----

int hex2char(char high, char low, uint8_t *out) {
    auto val = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    int h = val(high), l = val(low);
    if (h < 0 || l < 0) return -1;
    *out = static_cast<uint8_t>(h * 16 + l);
    return 0;
}

namespace {
// Index of the first bad character pair, or -1 when all n bytes converted.
int hex_to_digest(uint8_t *digest, int n, const char *text) {
    for (int i = 0; i < n; i++)
        if (hex2char(text[2 * i], text[2 * i + 1], &digest[i]) != 0) return i;
    return -1;
}
}  // namespace

int md5_digest2md5_str(const uint8_t *digest, int digest_len, char *text, int text_len) {
    if (digest_len < MD5_DIGEST_LEN) {
        KIV_LOG(1, "digest_len(%d) < MD5_DIGEST_LEN\n", digest_len);
        return -2;
    }
    if (digest == nullptr || text == nullptr || text_len <= 0) return -2;
    char hex[2 * MD5_DIGEST_LEN + 1];
    digest_hex(digest, MD5_DIGEST_LEN, hex);
    return snprintf(text, static_cast<size_t>(text_len), "%s", hex);
}

int sha256_digest2sha256_str(const uint8_t *digest, int digest_len, char *text, int text_len) {
    if (digest_len < SHA256_DIGEST_LENGTH) {
        KIV_LOG(1, "digest_len(%d) < SHA256_DIGEST_LENGTH\n", digest_len);
        return -2;
    }
    if (digest == nullptr || text == nullptr || text_len < 2 * SHA256_DIGEST_LENGTH + 1) return -2;
    digest_hex(digest, SHA256_DIGEST_LENGTH, text);
    return 2 * SHA256_DIGEST_LENGTH;
}

int md5_str2md5_digest(uint8_t *digest, int digest_len, const char *text, int text_len) {
    if (digest == nullptr || text == nullptr || digest_len < MD5_DIGEST_LEN ||
        (text_len != 32 && text_len != 33)) {
        KIV_LOG(1, "digest_len = %d, str_len is %d\n", digest_len, text_len);
        return -2;
    }
    int bad = hex_to_digest(digest, MD5_DIGEST_LEN, text);
    if (bad >= 0) {
        KIV_LOG(1, "hex2char failed, %s[%d:%d]\n", text, 2 * bad, 2 * bad + 1);
        return -2;
    }
    return 0;
}

int sha256_str2sha256_digest(uint8_t *digest, int digest_len, const char *text, int text_len) {
    if (digest == nullptr || text == nullptr || digest_len < SHA256_DIGEST_LENGTH ||
        (text_len != 64 && text_len != 65)) {
        KIV_LOG(1, "digest_len = %d, str_len is %d\n", digest_len, text_len);
        return -2;
    }
    int bad = hex_to_digest(digest, SHA256_DIGEST_LENGTH, text);
    if (bad >= 0) {
        KIV_LOG(1, "hex2char failed, %c%c\n", text[2 * bad], text[2 * bad + 1]);
        return -2;
    }
    return 0;
}

// ---- memory table ----

int search_hash_from_table(fhash *table, const char *path, binhash_info *record) {
    if (table == nullptr || path == nullptr || record == nullptr) {
        KIV_LOG(1, "param illegal\n");
        return -2;
    }
    uint64_t key = record->ident;
    void *data;
    int ret = fhash_search(table, &key, sizeof(key), &data);
    if (ret != 0) {
        KIV_LOG(4, "%s fail, ACTION_RETURN, ret: %d\n", "xhash_search", ret);
        return ret;
    }
    auto *hit = static_cast<binhash_info *>(data);
    // Readers share the lock; last use is the one field they write.
    __atomic_store_n(&hit->last_use, static_cast<uint32_t>(now_sec()), __ATOMIC_RELAXED);
    record->mtime = hit->mtime;
    record->ident = hit->ident;
    memcpy(record->md5, hit->md5, sizeof(record->md5));
    memcpy(record->sha256, hit->sha256, sizeof(record->sha256));
    KIV_LOG(4, "modified time of %s in hash : %lu\n", path, (unsigned long)hit->mtime);
    return 0;
}

int del_old_binhash_info_node(void *record, void *arg) {
    auto *rec = static_cast<binhash_info *>(record);
    auto *a = static_cast<binhash_sweep_arg *>(arg);
    uint64_t last = rec->last_use;
    if (last > a->now || a->now - last > kStaleSec)
        fhash_delete(a->table, &rec->ident, sizeof(rec->ident));
    return 0;
}

int insert_binhash_into_table(fhash *table, const char *path, binhash_info *record) {
    if (table == nullptr || path == nullptr || record == nullptr) {
        KIV_LOG(1, "param illegal\n");
        return -2;
    }
    uint64_t now = now_sec();
    if (fhash_full(table) == 1) {
        uint64_t last = g_binhash_info.last_sweep;
        if (now >= last && now - last < kSweepGapSec) return -1;
        g_binhash_info.last_sweep = now;
        KIV_LOG(4, "reach max hash node num.\n");
        binhash_sweep_arg a{table, now};
        if (fhash_walk(table, del_old_binhash_info_node, &a) != 0)
            KIV_LOG(1, "fhash_walk failed\n");
        if (fhash_full(table) == 1) {
            KIV_LOG(4, "binhash full, no node over 10 mins\n");
            return -1;
        }
    }
    auto *n =
        static_cast<binhash_info *>(kiv_malloc(sizeof(binhash_info), MALLOC_FOR_TASK_BINHASH_INFO));
    if (n == nullptr) {
        KIV_LOG(1, "%s fail, ACTION_RETURN\n", "malloc");
        return -1;
    }
    *n = binhash_info{};
    n->mtime = record->mtime;
    n->ident = record->ident;
    memcpy(n->md5, record->md5, sizeof(n->md5));
    memcpy(n->sha256, record->sha256, sizeof(n->sha256));
    n->found = record->found;
    n->last_use = static_cast<uint32_t>(now);
    n->key = static_cast<uint32_t>(n->ident);
    if (fhash_insert(table, &n->ident, sizeof(n->ident), n) != 0) {
        KIV_LOG(3, "fhash_insert failed\n");
        kiv_free(n);
        return -1;
    }
    return 0;
}

// ---- hashing ----

namespace {

uint64_t max_file_size() {
    uint64_t m = g_binhash_info.max_file_size;
    return m != 0 ? m : BINHASH_MAX_FILE_SIZE_DEFAULT;
}

// One pass for both digests over the regular file at path (the one stat'ed, when expect is
// given); fills the record's digests, mtime and identity from the descriptor that was read.
int hash_into(const char *path, const struct stat *expect, binhash_info *record,
              digest_file_out *out) {
    digest_file_req req;
    req.expect = expect;
    req.max_size = max_file_size();
    req.want_md5 = req.want_sha256 = true;
    req.read_size = kReadSize;
    int ret = digest_file(path, req, out);
    if (ret != 0) return ret;
    record->mtime = static_cast<uint64_t>(out->opened.st_mtim.tv_sec);
    record->ident = binhash_ident_fingerprint(binhash_ident_of(out->opened));
    binhash_count_hashed();
    memcpy(record->md5, out->md5, sizeof(record->md5));
    memcpy(record->sha256, out->sha256, sizeof(record->sha256));
    return 0;
}

}  // namespace

int get_file_hash_val(const char *path, binhash_info *record) {
    if (path == nullptr || record == nullptr) return -2;
    digest_file_out out;
    switch (hash_into(path, nullptr, record, &out)) {
        case 0:
            return 0;
        case DIGEST_ERR_OPEN:
        case DIGEST_ERR_NOT_REGULAR:
        case DIGEST_ERR_CHANGED:
            return -9;
        default:
            return -1;  // too big, or a partial read that must never be cached
    }
}

// ---- SQLite store ----

int sqlite_get_row_callback(void *arg, int ncol, char **vals, char **) {
    long long v;
    if (ncol < 1 || !parse_long(vals[0], &v) || v < INT32_MIN || v > INT32_MAX) {
        KIV_LOG(3, "sqlite_get_row_callback: %s\n", ncol >= 1 && vals[0] ? vals[0] : "(null)");
        return 0;
    }
    *static_cast<int32_t *>(arg) = static_cast<int32_t>(v);
    return 0;
}

int sqlite_db_callback(void *arg, int ncol, char **vals, char **) {
    if (ncol < 3) return 0;
    auto *rec = static_cast<binhash_info *>(arg);
    const char *md5 = vals[0] ? vals[0] : "";
    const char *sha = vals[1] ? vals[1] : "";
    const char *mt = vals[2] ? vals[2] : "";
    rec->found = 1;
    KIV_LOG(3, "modified time in db:%s, md5 is %s, sha256 is %s\n", mt, md5, sha);
    long long v;
    if (parse_long(mt, &v)) {
        rec->mtime = static_cast<uint64_t>(v);
    } else {
        KIV_LOG(3, "get sqlite modify time error: %s\n", mt);
        rec->mtime = 0;  // never matches a file, so it is rehashed
    }
    if (md5_str2md5_digest(rec->md5, sizeof(rec->md5), md5, (int)strlen(md5)) != 0 ||
        sha256_str2sha256_digest(rec->sha256, sizeof(rec->sha256), sha, (int)strlen(sha)) != 0)
        rec->mtime = 0;  // a damaged digest text is recomputed, never served
    return 0;
}

namespace {

// Moves a damaged or foreign database aside and opens a fresh one without further recovery.
int db_recreate(sqlite3 **handle, sqlite_db_info *desc) {
    KIV_LOG(1, "db damaged!\n");
    db_close(handle, desc);
    move_aside(desc);
    desc->row_count = 0;
    int rc = sqlite_db_create(handle, false, desc);
    if (rc != 0) db_close_for_now(handle, desc);
    return rc;
}

// A statement without parameters or result rows, left ready for its next run.
int step_once(sqlite3_stmt *st) {
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

int step_bound(sqlite3_stmt *st) {
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

}  // namespace

int sqlite_db_create(sqlite3 **handle, bool may_recover, sqlite_db_info *desc) {
    if (handle == nullptr || desc == nullptr) {
        KIV_LOG(1, "param illegal!\n");
        return -1;
    }
    KIV_LOG(2, "sqlite create hash db\n");
    char name[2 * BINHASH_DB_PATH_LEN];
    snprintf(name, sizeof(name), "%s/%s", s_db_dir, kDbName);
    if (dirutils_path_transform(name, desc->db_path, sizeof(desc->db_path)) != 0) {
        KIV_LOG(1, "trans %s failed\n", name);
        return -1;
    }
    snprintf(name, sizeof(name), "%s/%s.bak", s_db_dir, kDbName);
    if (dirutils_path_transform(name, desc->bak_path, sizeof(desc->bak_path)) != 0) {
        KIV_LOG(1, "trans %s failed\n", name);
        return -1;
    }
    char dir[BINHASH_DB_PATH_LEN];
    if (dirutils_path_transform(s_db_dir, dir, sizeof(dir)) != 0) {
        KIV_LOG(1, "trans %s failed\n", s_db_dir);
        return -1;
    }
    if (access(dir, F_OK) != 0) {
        if (dirutils_mkdir(dir, kDbDirMode) != 0) {
            KIV_LOG(1, "%s isn't exist, and mkdir failed\n", dir);
            return -1;
        }
        chmod(dir, kDbDirMode);
    }
    for (sqlite3_stmt *&st : desc->stmt) st = nullptr;
    // A directory or other non-file in the database's place can never be opened.
    struct stat st;
    if (may_recover && stat(desc->db_path, &st) == 0 && !S_ISREG(st.st_mode)) {
        KIV_LOG(1, "%s is not a regular file\n", desc->db_path);
        KIV_LOG(1, "db damaged!\n");
        move_aside(desc);
    }
    restrict_db_file(desc->db_path);
    int rc = sqlite3_open(desc->db_path, handle);
    if (rc != SQLITE_OK) {
        KIV_LOG(1, "open db failed,path=%s\n", desc->db_path);
        db_close_for_now(handle, desc);
        rename(desc->db_path, desc->bak_path);
        return rc;
    }
    // Another connection's short write lock is waited for instead of failing the lookup.
    sqlite3_busy_timeout(*handle, BINHASH_DB_BUSY_TIMEOUT_MS);
    int32_t count = -1;
    const char *steps[] = {"PRAGMA cache_size = 10;", "PRAGMA synchronous = 0;", kCreateSql,
                           kCreateIdentSql};
    for (const char *sql : steps) {
        rc = sqlite3_exec(*handle, sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) break;
    }
    if (rc == SQLITE_OK)
        rc = check_columns(*handle, "PATH_HASH", {"PATH", "MD5", "SHA256", "MTIME"});
    if (rc == SQLITE_OK)
        rc = check_columns(*handle, "PATH_IDENT", {"PATH", "SIZE", "INODE", "CTIME", "CTIME_NS"});
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(*handle, "SELECT COUNT(PATH) FROM PATH_HASH;", sqlite_get_row_callback,
                          &count, nullptr);
    for (int i = 0; rc == SQLITE_OK && i < BINHASH_STMT_COUNT; i++)
        rc = sqlite3_prepare_v2(*handle, kStmtSql[i], -1, &desc->stmt[i], nullptr);
    if (rc == SQLITE_OK) {
        if (count >= 0) {
            KIV_LOG(2, "get db size:%d\n", count);
            desc->row_count = count;
        }
        return 0;
    }
    if (!may_recover) return rc;
    // Our fixed statements fail with a plain SQL error only on tables laid out by someone
    // else: such a database is treated like a damaged one.
    if (rc == SQLITE_ERROR) {
        if (sqlite3_errcode(*handle) != SQLITE_OK)  // else the layout check said why
            KIV_LOG(1, "zErrMsg = %s\n", sqlite3_errmsg(*handle));
        return db_recreate(handle, desc);
    }
    return sqlite_err_handling(handle, rc, desc);
}

void sqlite_db_destroy(sqlite3 **handle, sqlite_db_info *desc) {
    if (handle == nullptr) return;
    db_close(handle, desc);
    KIV_LOG(2, "close sqlite3 db_destroy!\n");
}

int sqlite_err_handling(sqlite3 **handle, int code, sqlite_db_info *desc) {
    const char *msg = *handle ? sqlite3_errmsg(*handle) : "";
    KIV_LOG(1, "zErrMsg = %s\n", msg);
    if (!is_damaged(code, msg)) {
        // Busy, full, I/O: nothing wrong with the file itself, so it is tried again later.
        KIV_LOG(1, "sqlite error code:%d\n", code);
        db_close_for_now(handle, desc);
        return code;
    }
    return db_recreate(handle, desc);
}

int search_sqlite_from_db(sqlite3 **handle, const char *path, uint32_t path_len,
                          binhash_info *record, sqlite_db_info *desc) {
    if (handle == nullptr || *handle == nullptr || path == nullptr || record == nullptr ||
        desc == nullptr || desc->stmt[BINHASH_STMT_SELECT] == nullptr) {
        KIV_LOG(1, "param illegal!\n");
        return -1;
    }
    KIV_LOG(3, "sql sentence %s\n", kStmtSql[BINHASH_STMT_SELECT]);
    KIV_LOG(3, "search %s from db!\n", path);
    sqlite3_stmt *st = desc->stmt[BINHASH_STMT_SELECT];
    record->found = 0;
    record->ident = 0;
    int rc = sqlite3_bind_text(st, 1, path, static_cast<int>(path_len), SQLITE_STATIC);
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            char *vals[3] = {};
            for (int i = 0; i < 3; i++) vals[i] = (char *)sqlite3_column_text(st, i);
            sqlite_db_callback(record, 3, vals, nullptr);
            bool whole = true;
            for (int i = 3; i < 7; i++)
                whole = whole && sqlite3_column_type(st, i) == SQLITE_INTEGER;
            record->ident = 0;  // no identity row: never matches a file
            if (whole && record->mtime != 0) {
                binhash_ident id{static_cast<uint64_t>(sqlite3_column_int64(st, 3)),
                                 static_cast<uint64_t>(sqlite3_column_int64(st, 4)),
                                 sqlite3_column_int64(st, 5), sqlite3_column_int64(st, 6)};
                record->ident = binhash_row_fingerprint(id);
            }
        }
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (rc != SQLITE_DONE && rc != SQLITE_OK) {
        sqlite_err_handling(handle, rc, desc);
        return -1;
    }
    if (!record->found) {
        KIV_LOG(3, "not found in db!\n");
        return -1;
    }
    return 0;
}

int insert_sqlite_into_db(sqlite3 **handle, const char *path, uint32_t path_len,
                          binhash_info *record, sqlite_db_info *desc, uint32_t max_rows,
                          const binhash_ident *ident) {
    if (handle == nullptr || *handle == nullptr || path == nullptr || record == nullptr ||
        desc == nullptr || desc->stmt[BINHASH_STMT_REPLACE] == nullptr) {
        KIV_LOG(1, "param illegal!\n");
        return -1;
    }
    if (static_cast<int64_t>(desc->row_count) >= static_cast<int64_t>(max_rows)) {
        KIV_LOG(1, "data reach the maxsize:%d\n", desc->row_count);
        return -1;
    }
    char md5[2 * MD5_DIGEST_LEN + 1];
    char sha[2 * SHA256_DIGEST_LENGTH + 1];
    md5_digest2md5_str(record->md5, sizeof(record->md5), md5, sizeof(md5));
    sha256_digest2sha256_str(record->sha256, sizeof(record->sha256), sha, sizeof(sha));
    int len = static_cast<int>(path_len);
    // Digests and identity change together or not at all.
    int rc = step_once(desc->stmt[BINHASH_STMT_BEGIN]);
    if (rc == SQLITE_OK) {
        sqlite3_stmt *st = desc->stmt[BINHASH_STMT_REPLACE];
        sqlite3_bind_text(st, 1, path, len, SQLITE_STATIC);
        sqlite3_bind_text(st, 2, md5, -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 3, sha, -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 4, static_cast<sqlite3_int64>(record->mtime));
        rc = step_bound(st);
    }
    if (rc == SQLITE_OK && ident != nullptr) {
        sqlite3_stmt *st = desc->stmt[BINHASH_STMT_REPLACE_IDENT];
        sqlite3_bind_text(st, 1, path, len, SQLITE_STATIC);
        sqlite3_bind_int64(st, 2, static_cast<sqlite3_int64>(ident->size));
        sqlite3_bind_int64(st, 3, static_cast<sqlite3_int64>(ident->ino));
        sqlite3_bind_int64(st, 4, ident->ctime_sec);
        sqlite3_bind_int64(st, 5, ident->ctime_nsec);
        rc = step_bound(st);
    } else if (rc == SQLITE_OK) {
        sqlite3_stmt *st = desc->stmt[BINHASH_STMT_DELETE_IDENT];
        sqlite3_bind_text(st, 1, path, len, SQLITE_STATIC);
        rc = step_bound(st);
    }
    if (rc == SQLITE_OK) rc = step_once(desc->stmt[BINHASH_STMT_COMMIT]);
    if (rc != SQLITE_OK) {
        // Closing the connection, as the error handling does, rolls the transaction back.
        sqlite_err_handling(handle, rc, desc);
        return -1;
    }
    desc->row_count++;  // a replaced row counts too: the count only bounds growth
    KIV_LOG(3, "insert %s into db!\n", path);
    return 0;
}

// ---- lookup ----

namespace {

// Called under binhash_db_mutex. After an error the connection stays closed until its reopen
// is due; the memory table serves meanwhile.
bool db_ready(binhash_cache_info &g) {
    if (g.db != nullptr) return true;
    if (!(g.done & DONE_DB)) return false;
    uint64_t now = now_sec(), at = g.db_info.reopen_at;
    if (now < at && at - now <= BINHASH_DB_REOPEN_GAP_SEC) return false;  // also when set back
    KIV_LOG(2, "reopen the hash db\n");
    if (sqlite_db_create(&g.db, true, &g.db_info) != 0) {
        db_close_for_now(&g.db, &g.db_info);
        return false;
    }
    return true;
}

}  // namespace

namespace {

// The inode to hash and what is known of its names. fd is an O_PATH descriptor.
struct resolved {
    int fd = -1;
    struct stat st {};
    bool path_same = false;  // the path names this inode in our mount namespace
    ~resolved() {
        if (fd >= 0) close(fd);
    }
};

int open_path_fd(const char *path, struct stat *st) {
    int fd = open(path, O_PATH | O_CLOEXEC);
    if (fd >= 0 && fstat(fd, st) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// Start time of the process behind a /proc/<pid> descriptor, in ns as create_time has it.
uint64_t start_ns(int dir) {
    char buf[1024];
    int fd = openat(dir, "stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) return 0;
    buf[n] = '\0';
    const char *p = strrchr(buf, ')');  // the name may hold anything
    for (int field = 2; p != nullptr && field < 22; field++) p = strchr(p + 1, ' ');
    if (p == nullptr) return 0;
    static const uint64_t tick = [] {
        long hz = sysconf(_SC_CLK_TCK);
        return hz > 0 ? 1000000000ull / static_cast<uint64_t>(hz) : 10000000ull;
    }();
    return strtoull(p + 1, nullptr, 10) * tick;
}

// The running image of pid, when it is still the exec exe describes. The inode alone decides:
// from exec to exit no one can write to it (ETXTBSY), while renaming it away or linking it
// moves its change time. The process must be the one the record is of (create_time, 0: not
// checked), or a reused pid could be running a rewritten file of the same inode.
int open_exe_fd(uint32_t pid, uint64_t create_time, const exe_ident &exe, struct stat *st) {
    char dir_path[32];
    snprintf(dir_path, sizeof(dir_path), "/proc/%u", pid);
    int dir = open(dir_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return -1;
    int fd = -1;
    if (create_time == 0 || start_ns(dir) == create_time) {
        fd = openat(dir, "exe", O_PATH | O_CLOEXEC);
        if (fd >= 0 && (fstat(fd, st) != 0 || static_cast<uint64_t>(st->st_ino) != exe.ino)) {
            KIV_LOG(3, "pid %u runs another image than the one executed (inode %llu)\n", pid,
                    (unsigned long long)exe.ino);
            close(fd);
            fd = -1;
        }
    }
    close(dir);
    return fd;
}

bool same_inode(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// 0 with r filled, -9 when nothing to hash can be found (logged).
int resolve(const binhash_source &src, resolved *r) {
    struct stat pst;
    bool path_ok = stat(src.path, &pst) == 0;
    if (src.fd >= 0) {  // the caller has the inode
        r->fd = fcntl(src.fd, F_DUPFD_CLOEXEC, 0);
        if (r->fd < 0 || fstat(r->fd, &r->st) != 0) {
            KIV_LOG(3, "stat %s failed! ret: %d\n", src.path, -1);
            return -9;
        }
        r->path_same = path_ok && same_inode(pst, r->st);
        return 0;
    }
    if (src.exe != nullptr && src.pid != 0)
        r->fd = open_exe_fd(src.pid, src.create_time, *src.exe, &r->st);
    if (r->fd >= 0) {
        r->path_same = path_ok && same_inode(pst, r->st);
        return 0;
    }
    if (!path_ok) {
        KIV_LOG(3, "stat %s failed! ret: %d\n", src.path, -1);
        return -9;
    }
    if (src.exe != nullptr && !binhash_is_exe(pst, *src.exe)) {
        // Renamed over, bind-mounted in another namespace, or changed since: the digests of
        // what the path names now are not those of what ran.
        binhash_count_not_exe();
        KIV_LOG(2, "%s is not the file pid %u executed (inode %llu ctime %lld.%09u, now inode "
                "%llu ctime %lld.%09ld): no digests\n",
                src.path, src.pid, (unsigned long long)src.exe->ino,
                (long long)src.exe->ctime_sec, src.exe->ctime_nsec,
                (unsigned long long)pst.st_ino, (long long)pst.st_ctim.tv_sec,
                (long)pst.st_ctim.tv_nsec);
        return -9;
    }
    r->fd = open_path_fd(src.path, &r->st);
    if (r->fd < 0 || !same_inode(pst, r->st)) {
        KIV_LOG(3, "stat %s failed! ret: %d\n", src.path, -1);
        return -9;
    }
    r->path_same = true;
    return 0;
}

void copy_out(const binhash_info &rec, uint8_t *md5, int md5_len, uint8_t *sha256,
              int sha256_len) {
    memcpy(md5, rec.md5, md5_len < MD5_DIGEST_LEN ? md5_len : MD5_DIGEST_LEN);
    memcpy(sha256, rec.sha256,
           sha256_len < SHA256_DIGEST_LENGTH ? sha256_len : SHA256_DIGEST_LENGTH);
}

void store_memory(const char *path, binhash_info *rec) {
    rwlock_write_guard wr(&g_binhash_info.binhash_lock);
    insert_binhash_into_table(g_binhash_info.binhash_hash, path, rec);
}

// Both digests of the inode behind fd, read through a fresh descriptor on it.
int hash_fd(int fd, const char *name, const struct stat &st, binhash_info *rec,
            digest_file_out *out, const std::atomic<bool> *cancel) {
    char self[40];
    snprintf(self, sizeof(self), "/proc/self/fd/%d", fd);
    digest_file_req req;
    req.expect = &st;
    req.max_size = max_file_size();
    req.want_md5 = req.want_sha256 = true;
    req.read_size = kReadSize;
    req.cancel = cancel;
    req.name = name;
    int ret = digest_file(self, req, out);
    if (ret != 0) return ret;
    binhash_count_hashed();
    rec->mtime = static_cast<uint64_t>(out->opened.st_mtim.tv_sec);
    rec->ident = binhash_ident_fingerprint(binhash_ident_of(out->opened));
    memcpy(rec->md5, out->md5, sizeof(rec->md5));
    memcpy(rec->sha256, out->sha256, sizeof(rec->sha256));
    return 0;
}

}  // namespace

void binhash_store_computed(const binhash_job_file &f, binhash_info *rec) {
    binhash_cache_info &g = g_binhash_info;
    if (f.path_same) {
        binhash_ident id = binhash_ident_of(f.st);
        mutex_guard m(&g.binhash_db_mutex);
        if (db_ready(g))
            insert_sqlite_into_db(&g.db, f.path, static_cast<uint32_t>(strlen(f.path)), rec,
                                  &g.db_info, g.binhash_database_size, &id);
    }
    store_memory(f.path, rec);
}

int binhash_job_hash(binhash_job_file &f, binhash_info *rec, const std::atomic<bool> *cancel) {
    digest_file_out out;
    int r = hash_fd(f.fd, f.path, f.st, rec, &out, cancel);
    if (r != 0) {
        KIV_LOG(1, "calculate file: %s md5/sha256 failed: %d\n", f.path, r);
        return -1;
    }
    if (out.changed || rec->ident != f.ident) {
        // Written since it was looked up or while it was read: these digests belong to no
        // version anyone asked about.
        KIV_LOG(3, "%s changed while it was hashed, not cached\n", f.path);
        return -1;
    }
    KIV_LOG(2, "digest of %s computed: %llu bytes for uid %u\n", f.path,
            (unsigned long long)f.st.st_size, f.uid);
    binhash_store_computed(f, rec);
    return 0;
}

namespace {

// Digests of recently executed files by the identity the kernel gave at the exec, so that
// running the same file again costs no system call. The identity is compared whole, device
// included: another filesystem (a FUSE server reports whatever inode and times it likes)
// cannot lend a known file's numbers. A file cannot change without its change time moving.
struct exe_digest {
    exe_ident id;
    bool used;
    binhash_info rec;  // its digests
};
constexpr size_t kExeDigests = 256;
std::mutex s_exe_digest_lock;
exe_digest s_exe_digests[kExeDigests];

bool same_exe(const exe_ident &a, const exe_ident &b) {
    return a.dev == b.dev && a.ino == b.ino && a.ctime_sec == b.ctime_sec &&
           a.ctime_nsec == b.ctime_nsec;
}

exe_digest &exe_slot(const exe_ident &e) {
    uint64_t h = (e.ino * 0x9E3779B97F4A7C15ull) ^ (e.dev * 0xC2B2AE3D27D4EB4Full) ^
                 ((uint64_t)e.ctime_nsec << 17) ^ (uint64_t)e.ctime_sec;
    return s_exe_digests[(h ^ (h >> 29)) % kExeDigests];
}

bool exe_digest_find(const exe_ident &e, uint8_t *md5, int md5_len, uint8_t *sha256,
                     int sha256_len) {
    std::lock_guard g(s_exe_digest_lock);
    exe_digest &d = exe_slot(e);
    if (!d.used || !same_exe(d.id, e)) return false;
    copy_out(d.rec, md5, md5_len, sha256, sha256_len);
    return true;
}

// Digests of st's file, kept for exe when st is still the version that was executed.
void exe_digest_keep(const binhash_source &src, const struct stat &st, const binhash_info &rec) {
    if (src.exe == nullptr || !binhash_is_exe(st, *src.exe)) return;
    std::lock_guard g(s_exe_digest_lock);
    exe_digest &d = exe_slot(*src.exe);
    d.id = *src.exe;
    d.used = true;
    d.rec = rec;
}

void exe_digests_clear() {
    std::lock_guard g(s_exe_digest_lock);
    for (exe_digest &d : s_exe_digests) d.used = false;
}

}  // namespace

uint64_t proc_dir_start_ns(int proc_dir) {
    return start_ns(proc_dir);
}

int binhash_get(const binhash_source &src, uint8_t *md5, int md5_len, uint8_t *sha256,
                int sha256_len, int *too_big) {
    if (src.path == nullptr || md5 == nullptr || sha256 == nullptr || md5_len <= 0 ||
        sha256_len <= 0) {
        KIV_LOG(1, "get process param illegal\n");
        return -2;
    }
    if (src.exe != nullptr && exe_digest_find(*src.exe, md5, md5_len, sha256, sha256_len))
        return 0;
    binhash_cache_info &g = g_binhash_info;
    const char *path = src.path;
    binhash_info rec{};
    resolved r;
    if (int ret = resolve(src, &r); ret != 0) {
        // A job taken while the process still ran may have the executed inode.
        int j = src.exe != nullptr ? binhash_job_find(0, src.exe, &rec) : -1;
        if (j == 0) copy_out(rec, md5, md5_len, sha256, sha256_len);
        return j == 0 || j == BINHASH_PENDING ? j : ret;
    }
    const struct stat &st = r.st;
    // A device or pipe reports no size; reading one would never end or never begin.
    if (!S_ISREG(st.st_mode)) {
        KIV_LOG(3, "%s is not a regular file\n", path);
        return -1;
    }
    if (static_cast<uint64_t>(st.st_size) > max_file_size()) {
        if (too_big) *too_big = 1;
        KIV_LOG(3, "file is too big, the size is %lu\n", (unsigned long)st.st_size);
        return -1;
    }
    uint64_t mtime = static_cast<uint64_t>(st.st_mtime);
    binhash_ident id = binhash_ident_of(st);
    uint64_t ident = binhash_ident_fingerprint(id);
    KIV_LOG(4, "modified time of %s now is %lu\n", path, (unsigned long)mtime);
    rec.mtime = mtime;
    rec.ident = ident;
    int hit;
    {
        rwlock_read_guard rd(&g.binhash_lock);
        hit = search_hash_from_table(g.binhash_hash, path, &rec);
    }
    if (hit == 0) {
        exe_digest_keep(src, st, rec);
        copy_out(rec, md5, md5_len, sha256, sha256_len);
        return 0;
    }
    uint32_t len = static_cast<uint32_t>(strlen(path));
    if (r.path_same) {
        KIV_LOG(4, "can't find in hash, search from sqlite\n");
        bool found = false;
        {
            mutex_guard m(&g.binhash_db_mutex);
            found = db_ready(g) && search_sqlite_from_db(&g.db, path, len, &rec, &g.db_info) == 0 &&
                    rec.mtime == mtime && rec.ident == binhash_row_fingerprint(id);
        }
        if (found) {
            rec.ident = ident;
            store_memory(path, &rec);
            exe_digest_keep(src, st, rec);
            copy_out(rec, md5, md5_len, sha256, sha256_len);
            return 0;
        }
    }
    int j = binhash_job_find(ident, nullptr, &rec);
    if (j == 0) copy_out(rec, md5, md5_len, sha256, sha256_len);
    if (j == 0 || j == BINHASH_PENDING) return j;
    if (j == BINHASH_JOB_FAILED && src.mode != BINHASH_SYNC) return -1;  // not again so soon
    // A small file costs less here than a parked record's wait.
    uint64_t size = static_cast<uint64_t>(st.st_size);
    bool here = src.mode == BINHASH_SYNC ||
                (size <= BINHASH_INLINE_MAX && binhash_budget_take(src.uid, size, true));
    binhash_job_file f;
    f.st = st;
    f.ident = ident;
    f.path_same = r.path_same;
    f.uid = src.uid;
    if (src.exe != nullptr) f.exe = *src.exe, f.has_exe = true;
    snprintf(f.path, sizeof(f.path), "%s", path);
    if (!here) {
        f.fd = r.fd;
        r.fd = -1;
        return binhash_job_submit(f);
    }
    KIV_LOG(4, "can't find, need to calculate\n");
    rec = binhash_info{};
    digest_file_out out;
    int ret = hash_fd(r.fd, path, st, &rec, &out, nullptr);
    if (ret == DIGEST_ERR_TOO_BIG) {  // grew since the stat
        if (too_big) *too_big = 1;
        KIV_LOG(3, "file is too big, the size is %lu\n", (unsigned long)out.opened.st_size);
        return -1;
    }
    if (ret != 0) {
        KIV_LOG(1, "calculate file: %s md5/sha256 failed: %d\n", path, ret);
        return -1;
    }
    if (out.changed) {
        // Written while it was read: the digests belong to no version of the file.
        KIV_LOG(3, "%s changed while it was hashed, not cached\n", path);
    } else {
        f.st = out.opened;
        binhash_store_computed(f, &rec);
        exe_digest_keep(src, out.opened, rec);
    }
    copy_out(rec, md5, md5_len, sha256, sha256_len);
    return 0;
}

int get_binhash_info_digest(const char *path, uint8_t *md5, int md5_len, uint8_t *sha256,
                            int sha256_len, int *too_big) {
    binhash_source src;
    src.path = path;
    return binhash_get(src, md5, md5_len, sha256, sha256_len, too_big);
}

namespace {
// get_binhash_info is the host's way in; the process module's own lookups run on its
// threads, which are stopped before the cache goes.
kiv_entry_gate s_binhash_gate;
}  // namespace

int get_binhash_info(const char *path, char *md5_str, int md5_str_len, char *sha256_str,
                     int sha256_str_len, int *too_big) {
    if (path == nullptr || md5_str == nullptr || sha256_str == nullptr || md5_str_len <= 0 ||
        sha256_str_len < 2 * SHA256_DIGEST_LENGTH + 1) {
        KIV_LOG(1, "param illegal\n");
        return -2;
    }
    kiv_gate_pass pass(s_binhash_gate);
    if (!pass) {
        KIV_LOG(2, "digest cache is not running\n");
        return -1;
    }
    uint8_t md5[MD5_DIGEST_LEN];
    uint8_t sha[SHA256_DIGEST_LENGTH];
    if (get_binhash_info_digest(path, md5, sizeof(md5), sha, sizeof(sha), too_big) != 0) {
        KIV_LOG(1, "get_binhash_info_digest failed\n");
        return -1;
    }
    md5_digest2md5_str(md5, sizeof(md5), md5_str, md5_str_len);
    sha256_digest2sha256_str(sha, sizeof(sha), sha256_str, sha256_str_len);
    return 0;
}

// ---- lifecycle ----

int binhash_resource_init(uint32_t binhash_size, uint32_t binhash_database_size,
                          uint64_t max_file_size) {
    binhash_cache_info &g = g_binhash_info;
    g.binhash_size = binhash_size ? binhash_size : BINHASH_SIZE_DEFAULT;
    g.binhash_database_size =
        binhash_database_size ? binhash_database_size : BINHASH_DATABASE_SIZE_DEFAULT;
    g.max_file_size = max_file_size ? max_file_size : BINHASH_MAX_FILE_SIZE_DEFAULT;
    g.last_sweep = 0;
    g.done = 0;
    int ret = pthread_rwlock_init(&g.binhash_lock, nullptr);
    if (ret != 0) {
        KIV_LOG(0, "pthread_rwlock_init binhash_lock failed, ret is %d\n", ret);
        return -1;
    }
    g.done |= DONE_LOCK;
    ret = pthread_mutex_init(&g.binhash_db_mutex, nullptr);
    if (ret != 0) {
        KIV_LOG(0, "pthread_mutex_init binhash_db_mutex failed, ret is %d\n", ret);
        binhash_resource_exit();
        return -1;
    }
    g.done |= DONE_MUTEX;
    g.db_info = sqlite_db_info{};
    ret = sqlite_db_create(&g.db, true, &g.db_info);
    if (ret < 0) {
        KIV_LOG(0, "sqlite_db_create failed, ret is %d\n", ret);
        db_close(&g.db, &g.db_info);
        binhash_resource_exit();
        return -1;
    }
    if (ret != 0)  // busy, full, unreadable: start without the store, reopened later
        KIV_LOG(1, "sqlite_db_create failed, ret is %d\n", ret);
    g.done |= DONE_DB;
    g.binhash_hash = fhash_create(g.binhash_size, g.binhash_size, binhash_key_cmp_func, nullptr,
                                  binhash_data_del_func);
    if (g.binhash_hash == nullptr) {
        KIV_LOG(0, "fhash_create binhash_hash failed\n");
        binhash_resource_exit();
        return -1;
    }
    g.done |= DONE_HASH;
    if (binhash_jobs_start(BINHASH_THREADS) != 0) {
        KIV_LOG(0, "start hashing threads failed\n");
        binhash_resource_exit();
        return -1;
    }
    g.done |= DONE_JOBS;
    s_binhash_gate.open();
    return 0;
}

void binhash_resource_exit() {
    binhash_cache_info &g = g_binhash_info;
    // Host lookups already inside finish before the table and the database go.
    s_binhash_gate.close();
    if (g.done & DONE_JOBS) binhash_jobs_stop();
    if (g.done & DONE_HASH) {
        fhash_destroy(g.binhash_hash);
        g.binhash_hash = nullptr;
    }
    if (g.done & DONE_DB) sqlite_db_destroy(&g.db, &g.db_info);
    if (g.done & DONE_MUTEX) pthread_mutex_destroy(&g.binhash_db_mutex);
    if (g.done & DONE_LOCK) pthread_rwlock_destroy(&g.binhash_lock);
    // Reset so that a later start initialises them afresh.
    g.binhash_lock = PTHREAD_RWLOCK_INITIALIZER;
    g.binhash_db_mutex = PTHREAD_MUTEX_INITIALIZER;
    g.done = 0;
    exe_digests_clear();
}
