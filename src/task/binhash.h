// Executable digest cache: a bounded memory table keyed by the CRC-32 of the path in front
// of a SQLite table that survives restarts. A cached digest holds while the file's
// modification time is unchanged and so are its size, inode and change time.
#pragma once
#include <pthread.h>
#include <sys/stat.h>

#include <cstdint>

#include "comm/fhash.h"
#include "qxkiv/digest_cache.h"

struct sqlite3;
struct sqlite3_stmt;

constexpr int MD5_DIGEST_LEN = 16;
constexpr int SHA256_DIGEST_LENGTH = 32;
constexpr int BINHASH_DB_PATH_LEN = 260;

struct binhash_info {
    uint64_t mtime;     // modification time (s) the digests belong to
    uint64_t ident;     // binhash_ident_fingerprint of the same file; 0: none, never matches
    uint32_t last_use;  // cached clock (s) of the last hit or store
    uint32_t key;       // mordek_crc32 of the path
    uint8_t md5[MD5_DIGEST_LEN];
    uint8_t sha256[SHA256_DIGEST_LENGTH];
    uint8_t found;  // the database returned a row
};
static_assert(sizeof(binhash_info) == 80);

// What else must be unchanged for a cached digest to hold: a replacement with the same
// whole-second mtime (same second, cp -p, touch -r) differs in inode, size or change time.
struct binhash_ident {
    uint64_t size;
    uint64_t ino;
    int64_t ctime_sec;
    int64_t ctime_nsec;
};
binhash_ident binhash_ident_of(const struct stat &st);
// Never 0, and keyed per process: no replacement can be made to land on a known value.
uint64_t binhash_ident_fingerprint(const binhash_ident &id);

enum binhash_stmt : int {
    BINHASH_STMT_SELECT,
    BINHASH_STMT_REPLACE,
    BINHASH_STMT_REPLACE_IDENT,
    BINHASH_STMT_DELETE_IDENT,
    BINHASH_STMT_BEGIN,
    BINHASH_STMT_COMMIT,
    BINHASH_STMT_COUNT
};

struct sqlite_db_info {
    char db_path[BINHASH_DB_PATH_LEN];
    char bak_path[BINHASH_DB_PATH_LEN];
    int32_t row_count;
    // Prepared once per connection; finalized whenever the connection is closed.
    sqlite3_stmt *stmt[BINHASH_STMT_COUNT];
    // Cached clock (s) before which a closed connection is not reopened.
    uint64_t reopen_at;
};

// The cache's state; the process module creates and destroys it with its own resources.
struct binhash_cache_info {
    pthread_rwlock_t binhash_lock;     // memory table and last_sweep
    pthread_mutex_t binhash_db_mutex;  // every SQLite call
    fhash *binhash_hash;
    sqlite3 *db;
    sqlite_db_info db_info;
    uint32_t binhash_size;
    uint32_t binhash_database_size;
    uint64_t max_file_size;
    uint64_t last_sweep;  // cached clock (s) of the last sweep of a full table
    uint32_t done;        // resources created, for unwinding
};

extern binhash_cache_info g_binhash_info;

constexpr uint32_t BINHASH_SIZE_DEFAULT = 1024;
constexpr uint32_t BINHASH_DATABASE_SIZE_DEFAULT = 102400;
constexpr uint64_t BINHASH_MAX_FILE_SIZE_DEFAULT = 52428800;

// Locks, database, memory table, in that order; a failure undoes the earlier steps. 0 or -1.
int binhash_resource_init(uint32_t binhash_size, uint32_t binhash_database_size,
                          uint64_t max_file_size);
void binhash_resource_exit();
// Directory of the database ("@/../var/data" when null); tests point it elsewhere.
void binhash_set_db_dir(const char *dir);

// 0 with up to md5_len (<= 16) and sha256_len (<= 32) digest bytes copied; -2 bad arguments,
// -9 stat failed, -1 too big (*too_big = 1 when given) or hashing failed.
int get_binhash_info_digest(const char *path, uint8_t *md5, int md5_len, uint8_t *sha256,
                            int sha256_len, int *too_big);

int search_hash_from_table(fhash *table, const char *path, binhash_info *record);
int insert_binhash_into_table(fhash *table, const char *path, binhash_info *record);
struct binhash_sweep_arg {
    fhash *table;
    uint64_t now;
};
// fhash_walk callback (arg: binhash_sweep_arg) dropping records unused for over 600 s.
int del_old_binhash_info_node(void *record, void *arg);
// Both digests of a regular file no larger than the size limit, with its mtime and identity:
// 0, -2 bad arguments, -9 cannot be opened or not a regular file, -1 too big or unreadable.
int get_file_hash_val(const char *path, binhash_info *record);

// Seconds a closed database stays closed before a lookup tries to reopen it.
constexpr uint64_t BINHASH_DB_REOPEN_GAP_SEC = 10;
// Milliseconds a statement waits for another connection's lock.
constexpr int BINHASH_DB_BUSY_TIMEOUT_MS = 100;

// 0; -1 when the paths cannot be made; otherwise the SQLite code, the connection closed and
// a reopen due after BINHASH_DB_REOPEN_GAP_SEC. A damaged or foreign database, or anything
// but a regular file at its name, is moved to the backup name and recreated.
int sqlite_db_create(sqlite3 **handle, bool may_recover, sqlite_db_info *desc);
void sqlite_db_destroy(sqlite3 **handle, sqlite_db_info *desc);
int search_sqlite_from_db(sqlite3 **handle, const char *path, uint32_t path_len,
                          binhash_info *record, sqlite_db_info *desc);
// Without an identity the row is stored unmatchable: it is rehashed at its next lookup.
int insert_sqlite_into_db(sqlite3 **handle, const char *path, uint32_t path_len,
                          binhash_info *record, sqlite_db_info *desc, uint32_t max_rows,
                          const binhash_ident *ident = nullptr);
// A damaged database is moved aside and recreated; any other error closes the connection
// until its reopen is due.
int sqlite_err_handling(sqlite3 **handle, int code, sqlite_db_info *desc);
int sqlite_db_callback(void *arg, int ncol, char **vals, char **names);
int sqlite_get_row_callback(void *arg, int ncol, char **vals, char **names);

int hex2char(char high, char low, uint8_t *out);
int md5_digest2md5_str(const uint8_t *digest, int digest_len, char *text, int text_len);
int sha256_digest2sha256_str(const uint8_t *digest, int digest_len, char *text, int text_len);
int md5_str2md5_digest(uint8_t *digest, int digest_len, const char *text, int text_len);
int sha256_str2sha256_digest(uint8_t *digest, int digest_len, const char *text, int text_len);
