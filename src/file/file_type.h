// File type identification by content: head and tail signatures, then one keyword
// automaton per web-script language over the first lines, and the type filter that
// decides which close-after-write creations are reported.
#pragma once
#include <pthread.h>

#include <cstdint>
#include <cstdio>

#include "file/matcher.h"
#include "qxkiv/file_type.h"

constexpr int FILE_TYPE_UNKNOWN = -100;  // not identified yet
constexpr int FILE_TYPE_NAME_LEN = 64;
constexpr int FILE_TYPE_SCRIPT_ROWS = 7;
constexpr int FILE_TYPE_LINE_LEN = 1024;  // 1023 characters and the NUL
constexpr int FILE_TYPE_MAX_LINES = 51;
constexpr int FILE_TYPE_TIME_MS = 2000;  // no further line is read after this long

// What a file event says of the file it named: typing reads only a regular file reached
// without a link in its last component, with this owner and, when mode has type bits, a
// regular file's.
struct file_type_ident {
    uint32_t uid, gid;
    uint16_t mode;
    // The event found no file at all (no type, no change time): nothing is opened, since the
    // name could only reach a file made there since, and looking up a name just removed holds
    // its directory against the writer making the next one.
    bool absent = false;
};

// Carried with a close-after-write creation into its record.
struct file_type_info_st {
    int32_t type;                        // FILE_TYPE_UNKNOWN, -1 nothing recognised, else id
    char type_name[FILE_TYPE_NAME_LEN];  // "-" when the id has no name
    char suffix[FILE_TYPE_NAME_LEN];     // "-" when the path has none
};
static_assert(sizeof(file_type_info_st) == 132);

struct file_type_header_st {
    int32_t type;
    int32_t head_len;
    uint8_t head[16];
    int32_t tail_len;
    uint8_t tail[16];
};

struct file_type_script_st {
    int32_t type;
    const char *suffix[8];   // data only: identification never looks at the name
    const char *keyword[8];  // keyword 0 is the language's opening marker
    mstr_ctrl *ctrl;         // read-only once built; search state and counter are the caller's
};

// What the file module lends this unit: the lock that serialises identification and a
// walk over the type filter entries (kind 2 of the filter lists) in order, which must hold
// the read side of qxmon_filter_lock for the whole walk. walk calls visit for each entry
// text until visit returns non-zero and returns that value (0 when the walk ends).
using type_filter_visit_fn = int (*)(const char *entry, void *arg);
using type_filter_walk_fn = int (*)(type_filter_visit_fn visit, void *arg);
struct file_type_env {
    pthread_mutex_t *identify_mutex;       // file_type_identify_mutex; null: a private one
    type_filter_walk_fn walk_type_filter;  // null: an empty filter list
    // Typing opens only a regular file, as the event described it, and reads for at most
    // FILE_TYPE_TIME_MS; false: whatever the path leads to is opened and read.
    bool safe_open = false;
};
// Set before the collectors start and cleared after they stop.
void file_type_set_env(const file_type_env *env);

// Whether typing opens only a regular file (the environment's safe_open).
bool file_type_safe_open();
int init_file_type_check();
void uninit_file_type_check();
int check_file_header(FILE *stream);
// ident null: the file the path leads to (an exported check's caller named it).
void get_file_type(file_type_info_st *info, const char *path, int length,
                   const file_type_ident *ident = nullptr);
int match_type_filter(const char *path, int length, file_type_info_st *info,
                      const file_type_ident *ident = nullptr);
void reset_match_times(uint32_t *times, int count);
int32_t found(void *data, uint32_t offset, void *counter);

extern const file_type_header_st file_header[4];
extern file_type_script_st s_file_type_script[FILE_TYPE_SCRIPT_ROWS];
