// Executable digest cache: a bounded memory table keyed by the file's identity (device,
// inode, size, modification and change times), so every name of one file shares an entry, in
// front of a SQLite table by path that survives restarts and holds while the same identity
// stands behind the path. Files missing from both are hashed by the hashing threads when the
// caller is on the event path.
#pragma once
#include <pthread.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>

#include "comm/fhash.h"
#include "qxkiv/digest_cache.h"
#include "task/process.h"

struct sqlite3;
struct sqlite3_stmt;

constexpr int MD5_DIGEST_LEN = 16;
constexpr int SHA256_DIGEST_LENGTH = 32;
constexpr int BINHASH_DB_PATH_LEN = 260;

struct binhash_info {
    uint64_t mtime;     // modification time (s) the digests belong to
    uint64_t ident;     // binhash_ident_fingerprint of the same file; 0: none, never matches
    uint32_t last_use;  // cached clock (s) of the last hit or store
    uint32_t key;       // low half of ident: the memory table's key is the whole of ident
    uint8_t md5[MD5_DIGEST_LEN];
    uint8_t sha256[SHA256_DIGEST_LENGTH];
    uint8_t found;  // the database returned a row
};
static_assert(sizeof(binhash_info) == 80);

// What must be unchanged for a cached digest to hold: a replacement with the same
// whole-second mtime (same second, cp -p, touch -r) differs in inode, size or a time, and
// restoring the mtime after a rewrite moves the change time. The database keeps the part
// that survives a reboot (no device, no mtime nanoseconds).
struct binhash_ident {
    uint64_t size;
    uint64_t ino;
    int64_t ctime_sec;
    int64_t ctime_nsec;
    uint64_t dev = 0;
    int64_t mtime_sec = 0;
    int64_t mtime_nsec = 0;
};
binhash_ident binhash_ident_of(const struct stat &st);
// Never 0, and keyed per process: no replacement can be made to land on a known value.
uint64_t binhash_ident_fingerprint(const binhash_ident &id);
// The persistent part only, as a database row can confirm it.
uint64_t binhash_row_fingerprint(const binhash_ident &id);
// The file st describes is still the one exe names: same inode and change time (renaming
// another file over it, a link, a new mode or a restored mtime all move the latter). A device
// number alone may differ: stat reports a btrfs subvolume's or an overlay's own, the kernel
// the superblock's.
bool binhash_is_exe(const struct stat &st, const exe_ident &exe);

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

// Locks, database, memory table, hashing threads, in that order; a failure undoes the earlier
// steps. 0 or -1.
int binhash_resource_init(uint32_t binhash_size, uint32_t binhash_database_size,
                          uint64_t max_file_size);
void binhash_resource_exit();
// Directory of the database ("@/../var/data" when null); tests point it elsewhere.
void binhash_set_db_dir(const char *dir);

// 0 with up to md5_len (<= 16) and sha256_len (<= 32) digest bytes copied; -2 bad arguments,
// -9 stat failed, -1 too big (*too_big = 1 when given) or hashing failed. Hashes on the
// calling thread.
int get_binhash_info_digest(const char *path, uint8_t *md5, int md5_len, uint8_t *sha256,
                            int sha256_len, int *too_big);

// Where a file missing from the cache is hashed.
enum binhash_mode : int {
    BINHASH_SYNC,          // on the calling thread
    // On the event path: here when small and within the user's inline share, else by the
    // hashing threads.
    BINHASH_EVENT,
};
constexpr int BINHASH_PENDING = 1;  // queued or being hashed: ask again

struct binhash_source {
    const char *path = nullptr;  // as the record names it, in the sensor's mount namespace
    uint32_t pid = 0;            // runs the file: read through /proc/<pid>/exe while it lives
    uint64_t create_time = 0;    // of that process, as its record gives it; 0: not checked
    const exe_ident *exe = nullptr;  // what was executed; null: whatever the path names
    uint32_t uid = 0;            // whose hashing budget pays
    binhash_mode mode = BINHASH_SYNC;
    int fd = -1;  // an O_PATH descriptor on the very inode to hash, when the caller has one
};
// Start time of the process behind a /proc/<pid> directory descriptor, in ns as create_time
// has it; 0 when it cannot be read.
uint64_t proc_dir_start_ns(int proc_dir);
// get_binhash_info_digest for the file a process executed. With src.exe given, only that
// inode's digests are returned: read through /proc/<pid>/exe while the identity holds, else
// through the path when it still names that inode; a path that names another file is logged
// and gets no digests (-9). BINHASH_PENDING when the hashing threads have the file.
int binhash_get(const binhash_source &src, uint8_t *md5, int md5_len, uint8_t *sha256,
                int sha256_len, int *too_big);

// Memory table by the record's ident (the path is for the log); 0 on a hit.
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

// ---- hashing threads (binhash_jobs.cpp) ----

constexpr unsigned BINHASH_THREADS = 2;
constexpr uint32_t BINHASH_JOBS_MAX = 128;       // queued, running and recently finished
constexpr uint32_t BINHASH_USER_JOBS = 8;        // queued or running for one user
constexpr uint64_t BINHASH_WINDOW_MS = 10000;    // budget window
constexpr uint64_t BINHASH_USER_WINDOW_BYTES = 512ull << 20;  // one user's share of a window
// Largest file hashed on the event path (shells, interpreters, most tools: a few ms), and
// how much of its window share a user may spend there.
constexpr uint64_t BINHASH_INLINE_MAX = 2u << 20;
constexpr uint64_t BINHASH_USER_INLINE_BYTES = 32u << 20;
constexpr uint64_t BINHASH_RESULT_KEEP_MS = 10000;  // a finished job answers its waiters

// A file for the hashing threads: an O_PATH descriptor on the inode to hash (the job owns it).
struct binhash_job_file {
    int fd = -1;
    struct stat st {};
    uint64_t ident = 0;  // fingerprint of st
    bool path_same = false;  // path names this inode: the result goes to the database too
    char path[1024] = {};
    uint32_t uid = 0;
    exe_ident exe{};  // the record's, for its later asks once the process is gone
    bool has_exe = false;
};

int binhash_jobs_start(unsigned threads);
// Stops in bounded time: a thread in the middle of a file gives it up.
void binhash_jobs_stop();
constexpr int BINHASH_JOB_FAILED = -3;
// A job for the same file: by ident, or when exe is given by the inode executed. 0 with the
// digests in *out (finished), BINHASH_PENDING, BINHASH_JOB_FAILED (finished without digests),
// -1 unknown.
int binhash_job_find(uint64_t ident, const exe_ident *exe, binhash_info *out);
// Queues f (its descriptor is taken over, also on refusal): BINHASH_PENDING, or -1 when the
// user has BINHASH_USER_JOBS waiting, has spent the window's share, or the table is full.
int binhash_job_submit(binhash_job_file &f);
// Charges bytes to uid's window share, and to its inline share when hashed on the event path;
// false (nothing charged) when that would go over either.
bool binhash_budget_take(uint32_t uid, uint64_t bytes, bool on_event_path);
// Stores a computed file in both levels (the database only when its path names it).
void binhash_store_computed(const binhash_job_file &f, binhash_info *rec);
// A hashing thread's work on one file: 0 with rec filled and stored, -1 (logged) when it could
// not be read, was given up on cancel, or changed since it was queued.
int binhash_job_hash(binhash_job_file &f, binhash_info *rec, const std::atomic<bool> *cancel);

// The statistics counters TASK_BINHASH_*.
struct binhash_counters {
    uint64_t hashed;     // files hashed (any thread)
    uint64_t refused;    // jobs refused by a user's limit or a full table
    uint64_t not_ready;  // records sent on without digests still being computed
    uint64_t not_exe;    // the path named another file than the one executed
};
binhash_counters binhash_counters_get();
void binhash_count_not_ready();
void binhash_count_hashed();
void binhash_count_not_exe();
