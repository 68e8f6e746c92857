// Process records: the kernel's process and exit records, the working record built for each
// event, the per-image and per-process records of the fork tree, and the fixed-size
// upload-ready description of one process, with the conversions between them.
#pragma once
#include <cstddef>
#include <cstdint>

// ---- Flex task info: eight packed strings behind a 9-byte header of length fields ----------

enum flex_task_info_type : int {
    FLEX_CMD_LINE = 0,
    FLEX_CUR_PATH = 1,
    FLEX_PATH = 2,
    FLEX_FD0 = 3,
    FLEX_FD1 = 4,
    FLEX_APP_TYPE = 5,
    FLEX_USER_NAME = 6,
    FLEX_GROUP_NAME = 7,
    FLEX_TYPE_MAX = 8,
};

constexpr uint32_t FLEX_HDR_SIZE = 9;
// A user-space copy is sized 12 + the string lengths (3 bytes of slack behind the header).
constexpr uint32_t FLEX_SIZE_EXTRA = 12;
constexpr uint32_t FLEX_TASK_INFO_MAX_SIZE = 12 + 5 * 1023 + 128 + 32 + 32;  // 5319

// Kernel layout; byte-addressed, so it may sit at any alignment.
struct flex_task_info {
    unsigned char len_info[FLEX_HDR_SIZE];
    char data[];
};
static_assert(sizeof(flex_task_info) == FLEX_HDR_SIZE);

struct flex_str {
    const char *ptr;  // not NUL-terminated
    uint32_t len;
};

int flex_task_info_init(flex_task_info *block);
int get_flex_task_info_str_size(const flex_task_info *block, int type);
int get_flex_task_info_str_max_size(int type);
int get_flex_task_info_max_size();
int get_flex_task_info_cur_size(const flex_task_info *block);
int get_flex_task_info_str(const flex_task_info *block, flex_str *out, int type);
// 0; -2 null/empty input or bad type; -4 when the strings would not fit capacity data bytes.
int set_flex_task_info_str(flex_task_info *block, uint32_t capacity, const flex_str *in,
                           int type);
int set_flex_task_info_str_size(flex_task_info *block, int type, uint32_t len);
const char *get_flex_task_info_str_name(int type);
// Sum of the eight lengths, or -1 (logged) when one exceeds its type's maximum.
int flex_task_info_str_total(const flex_task_info *block);

// ---- Kernel records ---------------------------------------------------------------------------

// Body of a fork or exec message and one slot of a process query answer.
struct raw_process_info {
    uint64_t create_time;
    uint64_t parent_create_time;
    uint32_t pid;
    uint32_t ppid;
    uint32_t sessionid;
    uint32_t uid[4];  // real, effective, saved, file-system
    uint32_t gid[4];
    uint32_t owner_id;
    uint32_t mode_event;  // bits 0-11 mode, bits 12-27 task_event_id
    flex_task_info flex;
};
static_assert(offsetof(raw_process_info, parent_create_time) == 8);
static_assert(offsetof(raw_process_info, pid) == 16);
static_assert(offsetof(raw_process_info, ppid) == 20);
static_assert(offsetof(raw_process_info, sessionid) == 24);
static_assert(offsetof(raw_process_info, uid) == 28);
static_assert(offsetof(raw_process_info, gid) == 44);
static_assert(offsetof(raw_process_info, owner_id) == 60);
static_assert(offsetof(raw_process_info, mode_event) == 64);
static_assert(offsetof(raw_process_info, flex) == 68);
static_assert(sizeof(raw_process_info) == 80);

constexpr uint32_t RAW_PROCESS_FIXED_SIZE = 68;
constexpr uint32_t RAW_PROCESS_MIN_SIZE = RAW_PROCESS_FIXED_SIZE + FLEX_HDR_SIZE;
// One record of a kernel query answer.
constexpr uint32_t RAW_PROCESS_SLOT_SIZE = sizeof(raw_process_info) + FLEX_TASK_INFO_MAX_SIZE;

inline uint32_t raw_process_mode(const raw_process_info *r) {
    return r->mode_event & 0xfffu;
}
inline uint16_t raw_process_task_event_id(const raw_process_info *r) {
    return static_cast<uint16_t>((r->mode_event >> 12) & 0xffffu);
}

// Aligned room for any decoded process record.
union raw_process_buf {
    raw_process_info info;
    unsigned char bytes[RAW_PROCESS_SLOT_SIZE];
};

// Bytes a well-formed record occupies (fixed part, header and strings), or -1 with a log line
// when the bytes are too short or a length field exceeds its type's maximum or the record.
int raw_process_info_check(const void *bytes, size_t len);
// Decodes a kernel record at any alignment into out (room for out_size bytes). 0, or -1 when
// the record is malformed or does not fit.
int raw_process_info_decode(const void *bytes, size_t len, raw_process_info *out,
                            size_t out_size);

// Body of an exit message.
struct raw_exit_info {
    uint64_t create_time;
    uint32_t pid;
    uint16_t task_event_id;
    uint8_t exit_code;
};
static_assert(offsetof(raw_exit_info, pid) == 8);
static_assert(offsetof(raw_exit_info, task_event_id) == 12);
static_assert(offsetof(raw_exit_info, exit_code) == 14);
constexpr uint32_t RAW_EXIT_INFO_SIZE = 15;

// 0, or -1 (logged) when fewer than 15 bytes are given.
int raw_exit_info_decode(const void *bytes, size_t len, raw_exit_info *out);

// The file an exec ran, as the kernel saw it: the live sources append it to the record behind
// its strings (a record without it is laid out as before), so that digests can be taken of
// that inode and not of whatever the path names later. dev as stat(2) gives it.
struct exe_ident {
    uint64_t dev;
    uint64_t ino;
    int64_t ctime_sec;
    uint32_t ctime_nsec;
};
// Trailer bytes: magic u32, ctime_nsec u32, dev u64, ino u64, ctime_sec s64.
constexpr uint32_t RAW_EXE_IDENT_MAGIC = 0x64697865;  // "exid"
constexpr uint32_t RAW_EXE_IDENT_SIZE = 32;
// True with *out filled when the record of len bytes carries the trailer right behind its
// strings; false for a malformed record or none.
bool raw_process_exe_ident(const void *bytes, size_t len, exe_ident *out);
// The container the process runs in, behind the strings and the executed file's trailer when
// there is one: magic u32, then 64 lower-case hex digits.
constexpr uint32_t RAW_CONTAINER_MAGIC = 0x64697463;  // "ctid"
constexpr uint32_t RAW_CONTAINER_SIZE = 68;
constexpr size_t CONTAINER_ID_TEXT = 65;  // 64 digits and the terminator
// True with the terminated id in out when the record carries a well-formed one.
bool raw_process_container_id(const void *bytes, size_t len, char out[CONTAINER_ID_TEXT]);

// ---- User-space records -----------------------------------------------------------------------

enum : uint8_t {
    PROC_INFO_COMPLETE = 1u << 0,  // describes an image (exec or kernel query), not a fork alone
    PROC_INFO_EXEC = 1u << 1,      // gets a common record of its own in the fork tree
    PROC_INFO_DIGEST_PENDING = 1u << 2,  // the hashing threads have the file: ask again later
    PROC_INFO_STALE = 1u << 3,           // set by ftree_insert: the node holds a later exec's image
};

// How the executable's digests may be found for a working record.
struct process_digest_req {
    const exe_ident *exe = nullptr;  // what was executed, when the record tells
    int fd = -1;           // O_PATH on the file to hash in its place (the program a loader runs)
    bool exec = false;     // an exec event: a missing digest is hashed off this thread
    bool may_wait = false;  // the caller comes back later: set PROC_INFO_DIGEST_PENDING
};

struct process_info_st {
    const raw_process_info *raw;
    uint8_t md5[16];
    uint8_t sha256[32];
    char user_name[33];
    char group_name[33];
    char app_type[129];
    char container_id[CONTAINER_ID_TEXT];  // empty: none
    uint8_t flags;
};

struct common_proc_info {
    uint8_t md5[16];
    uint8_t sha256[32];
    uint32_t ids[9];  // ruid, euid, suid, fsuid, rgid, egid, sgid, fsgid, owner_id
    uint32_t mode : 12;
    uint32_t ref_cnt : 20;  // fork records pointing here; wider than the hash can ever hold
    flex_task_info *flex;
    // The container's id as 32 bytes, null outside one: only images in containers pay for it.
    uint8_t *container;
};

enum : uint8_t {
    FORK_INFO_COMPLETE = 1u << 0,
    FORK_INFO_EXITED = 1u << 1,
    FORK_INFO_CREATE_REPORTED = 1u << 2,
};
constexpr int FORK_INFO_EXIT_UPLOAD_SHIFT = 3;
constexpr uint8_t FORK_INFO_EXIT_UPLOAD_MASK = 3u << FORK_INFO_EXIT_UPLOAD_SHIFT;
enum : uint8_t {
    EXIT_UPLOAD_NONE = 0,
    EXIT_UPLOAD_QUEUED = 1,
    EXIT_UPLOAD_DONE = 2,
};

struct fork_info_st {
    uint64_t create_time;
    uint64_t parent_create_time;
    common_proc_info *exec_info;
    char *fd0;
    char *fd1;
    uint32_t pid;
    uint32_t ppid;
    uint32_t sessionid;
    uint32_t exit_code;
    uint32_t expire_time;
    uint16_t task_event_id;
    uint16_t reported_event_id;  // the exec whose creation was reported last
    uint8_t flags;
};

inline uint8_t fork_info_exit_upload_state(const fork_info_st *f) {
    return (f->flags & FORK_INFO_EXIT_UPLOAD_MASK) >> FORK_INFO_EXIT_UPLOAD_SHIFT;
}
inline void fork_info_set_exit_upload_state(fork_info_st *f, uint8_t state) {
    f->flags = static_cast<uint8_t>((f->flags & ~FORK_INFO_EXIT_UPLOAD_MASK) |
                                    ((state << FORK_INFO_EXIT_UPLOAD_SHIFT) &
                                     FORK_INFO_EXIT_UPLOAD_MASK));
}

constexpr int PROC_STR_LEN = 1025;
constexpr int PROC_NAME_LEN = 33;
constexpr int PROC_GUID_LEN = 32;
constexpr int PROC_PERMIT_LEN = 12;
constexpr int PROC_CONTAINER_LEN = 65;

enum : uint8_t { PROCESS_ST_EXITED = 1u << 0 };

struct process_st {
    char guid[PROC_GUID_LEN];
    uint64_t createtime;
    int32_t pid;
    int32_t ppid;
    char current_dir[PROC_STR_LEN];
    char path[PROC_STR_LEN];
    char md5[33];
    char sha256[65];
    char cmd_line[PROC_STR_LEN];
    char user_name[PROC_NAME_LEN];
    char app_type[PROC_NAME_LEN];
    uint32_t ids[9];
    char path_permit[PROC_PERMIT_LEN];
    int32_t xdg_session_id;
    char group_name[PROC_NAME_LEN];
    char fd0[PROC_STR_LEN];
    char fd1[PROC_STR_LEN];
    uint8_t flags;
    char container_id[PROC_CONTAINER_LEN];  // empty: none
};

int process_info_init(process_info_st *info, const raw_process_info *raw, int exec, int complete,
                      const process_digest_req *req = nullptr);
// Enrichment run by process_info_init: executable digests and user/group names. When the
// digests are pending for a caller that may wait, nothing else is done yet.
int get_extra_info(process_info_st *info, const process_digest_req *req = nullptr);
int get_user_and_grp_name(uint32_t uid, uint32_t gid, process_info_st *info);
// The container named by the record of len bytes that info was built from, when container_id
// is on in sensor.conf; none otherwise.
void process_info_container(process_info_st *info, const void *bytes, size_t len);

int init_common_proc_info(const process_info_st *info, common_proc_info *out);
// Frees what init_common_proc_info allocated.
void free_common_proc_info(common_proc_info *c);
int set_common_info_flex_info(common_proc_info *common, int type, const char *text,
                              uint32_t len);
void process_st_init(process_st *record);
int process_info_st2process_st(const process_info_st *info, process_st *out);
int fork_info_st2process_st(const fork_info_st *fork_info, process_st *out);
// The image's container id as text, empty for none.
void process_container_text(const common_proc_info *c, char out[PROC_CONTAINER_LEN]);
int get_file_permissions_and_owner(uint32_t mode, char *out, int out_len);
int adpt_cpy_str(char **slot, const char *bytes, uint32_t len);
// "0%04x%08x" of pid and the low 32 bits of create_time, then from position 13 at most 16
// bytes of the command line; 29 characters at most.
void process_guid_build(char guid[PROC_GUID_LEN], uint32_t pid, uint64_t create_time,
                        const char *cmd_line, size_t cmd_len);
