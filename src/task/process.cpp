#include "task/process.h"
#include "task/query.h"

#include <bit>
#include <cstdio>
#include <cstring>

#include "base/mem.h"
#include "base/log.h"
#include "base/sensor_config.h"
#include "qxkiv/usr_grp.h"
#include "task/binhash.h"

static_assert(std::endian::native == std::endian::little, "kernel records are little-endian");

namespace {

template <class T>
inline T ld_le(const unsigned char *p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

// Where each length lives in the header, read as one 72-bit little-endian word.
struct flex_field {
    uint8_t bit;
    uint8_t width;
    uint16_t max;
    const char *name;
};
constexpr flex_field s_flex_fields[FLEX_TYPE_MAX] = {
    {0, 10, 1023, "cmd_line"},     {10, 10, 1023, "cur_path"},    {32, 10, 1023, "path"},
    {42, 10, 1023, "process_fd0"}, {52, 10, 1023, "process_fd1"}, {64, 8, 128, "papp_type"},
    {20, 6, 32, "user_name"},      {26, 6, 32, "group_name"},
};

inline bool flex_type_ok(int type) {
    return type >= 0 && type < FLEX_TYPE_MAX;
}

inline uint32_t flex_len(const unsigned char *hdr, int type) {
    const flex_field &f = s_flex_fields[type];
    if (f.bit >= 64) return hdr[8];
    return static_cast<uint32_t>(ld_le<uint64_t>(hdr) >> f.bit) & ((1u << f.width) - 1);
}

inline void flex_lens(const unsigned char *hdr, uint32_t lens[FLEX_TYPE_MAX]) {
    uint64_t lo = ld_le<uint64_t>(hdr);
    for (int t = 0; t < FLEX_TYPE_MAX; t++) {
        const flex_field &f = s_flex_fields[t];
        lens[t] = f.bit >= 64 ? hdr[8] : static_cast<uint32_t>(lo >> f.bit) & ((1u << f.width) - 1);
    }
}

// Copies at most dst_size - 1 bytes and terminates.
inline void copy_cut(char *dst, size_t dst_size, const char *src, size_t len) {
    if (len > dst_size - 1) len = dst_size - 1;
    if (len) memcpy(dst, src, len);
    dst[len] = '\0';
}

template <size_t N>
inline void copy_flex(char (&dst)[N], const flex_task_info *block, int type, size_t cut) {
    flex_str s{};
    get_flex_task_info_str(block, &s, type);
    copy_cut(dst, cut + 1 < N ? cut + 1 : N, s.ptr, s.len);
}

inline void copy_ids(uint32_t ids[9], const raw_process_info *raw) {
    memcpy(ids, raw->uid, sizeof raw->uid);
    memcpy(ids + 4, raw->gid, sizeof raw->gid);
    ids[8] = raw->owner_id;
}

// Fields every conversion shares; the flex block supplies types 0, 1, 2, 6 and 7.
void fill_common_fields(process_st *out, uint64_t create_time, uint32_t pid, uint32_t ppid,
                        uint32_t sessionid, const uint32_t ids[9], uint32_t mode,
                        const flex_task_info *flex) {
    out->createtime = create_time;
    out->pid = static_cast<int32_t>(pid);
    out->ppid = static_cast<int32_t>(ppid);
    out->xdg_session_id = static_cast<int32_t>(sessionid);
    memcpy(out->ids, ids, sizeof out->ids);
    get_file_permissions_and_owner(mode, out->path_permit, 10);
    copy_flex(out->cmd_line, flex, FLEX_CMD_LINE, 1024);
    copy_flex(out->current_dir, flex, FLEX_CUR_PATH, 1024);
    copy_flex(out->path, flex, FLEX_PATH, 1024);
    copy_flex(out->user_name, flex, FLEX_USER_NAME, 32);
    copy_flex(out->group_name, flex, FLEX_GROUP_NAME, 32);
    process_guid_build(out->guid, pid, create_time, out->cmd_line, strlen(out->cmd_line));
}

}  // namespace

// ---- Flex task info ----------------------------------------------------------------------------

#define FLEX_ARG_CHECK(block, type, ret)                                                          \
    do {                                                                                          \
        if (!(block) || !flex_type_ok(type)) {                                                    \
            KIV_LOG(3, "bad flex arguments: block %p, type %d\n", (const void *)(block), (type)); \
            return (ret);                                                                         \
        }                                                                                         \
    } while (0)

int flex_task_info_init(flex_task_info *block) {
    if (!block) return -2;
    memset(block->len_info, 0, FLEX_HDR_SIZE);
    return 0;
}

int get_flex_task_info_str_size(const flex_task_info *block, int type) {
    FLEX_ARG_CHECK(block, type, -2);
    return static_cast<int>(flex_len(block->len_info, type));
}

int get_flex_task_info_str_max_size(int type) {
    if (!flex_type_ok(type)) {
        KIV_LOG(3, "bad flex type %d\n", type);
        return -2;
    }
    return s_flex_fields[type].max;
}

int get_flex_task_info_max_size() {
    return FLEX_TASK_INFO_MAX_SIZE;
}

int get_flex_task_info_cur_size(const flex_task_info *block) {
    if (!block) {
        KIV_LOG(3, "info is NULL\n");
        return 0;
    }
    uint32_t lens[FLEX_TYPE_MAX];
    flex_lens(block->len_info, lens);
    uint32_t sum = FLEX_SIZE_EXTRA;
    for (uint32_t l : lens) sum += l;
    return static_cast<int>(sum);
}

int flex_task_info_str_total(const flex_task_info *block) {
    uint32_t lens[FLEX_TYPE_MAX];
    flex_lens(block->len_info, lens);
    int sum = 0;
    for (int t = 0; t < FLEX_TYPE_MAX; t++) {
        if (lens[t] > s_flex_fields[t].max) {
            KIV_LOG(1, "flex %s length %u over max %u\n", s_flex_fields[t].name, lens[t],
                    s_flex_fields[t].max);
            return -1;
        }
        sum += static_cast<int>(lens[t]);
    }
    return sum;
}

int get_flex_task_info_str(const flex_task_info *block, flex_str *out, int type) {
    FLEX_ARG_CHECK(block, type, -2);
    if (!out) return -2;
    uint32_t lens[FLEX_TYPE_MAX];
    flex_lens(block->len_info, lens);
    uint32_t off = 0;
    for (int t = 0; t < type; t++) off += lens[t];
    out->ptr = block->data + off;
    out->len = lens[type];
    return static_cast<int>(lens[type]);
}

int set_flex_task_info_str_size(flex_task_info *block, int type, uint32_t len) {
    FLEX_ARG_CHECK(block, type, -2);
    const flex_field &f = s_flex_fields[type];
    uint32_t mask = (1u << f.width) - 1;
    if (f.bit >= 64) {
        block->len_info[8] = static_cast<unsigned char>(len & mask);
        return 0;
    }
    uint64_t lo = ld_le<uint64_t>(block->len_info);
    lo = (lo & ~(static_cast<uint64_t>(mask) << f.bit)) |
         (static_cast<uint64_t>(len & mask) << f.bit);
    memcpy(block->len_info, &lo, sizeof lo);
    return 0;
}

int set_flex_task_info_str(flex_task_info *block, uint32_t capacity, const flex_str *in, int type) {
    FLEX_ARG_CHECK(block, type, -2);
    if (!in || !in->ptr || in->len < 1) return -2;
    uint32_t n = in->len > s_flex_fields[type].max ? s_flex_fields[type].max : in->len;
    uint32_t lens[FLEX_TYPE_MAX];
    flex_lens(block->len_info, lens);
    uint32_t total = 0, off = 0, tail = 0;
    for (int t = 0; t < FLEX_TYPE_MAX; t++) {
        total += lens[t];
        if (t < type) off += lens[t];
        if (t > type) tail += lens[t];
    }
    if (total - lens[type] + n > capacity) return -4;
    memmove(block->data + off + n, block->data + off + lens[type], tail);
    memcpy(block->data + off, in->ptr, n);
    return set_flex_task_info_str_size(block, type, n);
}

const char *get_flex_task_info_str_name(int type) {
    return flex_type_ok(type) ? s_flex_fields[type].name : "unknown";
}

// ---- Kernel records ----------------------------------------------------------------------------

int raw_process_info_check(const void *bytes, size_t len) {
    if (!bytes || len < RAW_PROCESS_MIN_SIZE) {
        KIV_LOG(1, "process record too short: %zu\n", len);
        return -1;
    }
    auto *hdr = reinterpret_cast<const flex_task_info *>(static_cast<const unsigned char *>(bytes) +
                                                         RAW_PROCESS_FIXED_SIZE);
    int strings = flex_task_info_str_total(hdr);
    if (strings < 0) return -1;
    size_t need = RAW_PROCESS_MIN_SIZE + static_cast<size_t>(strings);
    if (need > len) {
        KIV_LOG(1, "process record flex block runs past its end: %zu > %zu\n", need, len);
        return -1;
    }
    return static_cast<int>(need);
}

int raw_process_info_decode(const void *bytes, size_t len, raw_process_info *out, size_t out_size) {
    int need = raw_process_info_check(bytes, len);
    if (need < 0) return -1;
    if (!out || out_size < static_cast<size_t>(need)) {
        KIV_LOG(1, "process record of %d bytes does not fit %zu\n", need, out_size);
        return -1;
    }
    auto *p = static_cast<const unsigned char *>(bytes);
    out->create_time = ld_le<uint64_t>(p);
    out->parent_create_time = ld_le<uint64_t>(p + 8);
    out->pid = ld_le<uint32_t>(p + 16);
    out->ppid = ld_le<uint32_t>(p + 20);
    out->sessionid = ld_le<uint32_t>(p + 24);
    for (int i = 0; i < 4; i++) {
        out->uid[i] = ld_le<uint32_t>(p + 28 + 4 * i);
        out->gid[i] = ld_le<uint32_t>(p + 44 + 4 * i);
    }
    out->owner_id = ld_le<uint32_t>(p + 60);
    out->mode_event = ld_le<uint32_t>(p + 64);
    memcpy(&out->flex, p + RAW_PROCESS_FIXED_SIZE, need - RAW_PROCESS_FIXED_SIZE);
    return 0;
}

int raw_exit_info_decode(const void *bytes, size_t len, raw_exit_info *out) {
    if (!bytes || !out || len < RAW_EXIT_INFO_SIZE) {
        KIV_LOG(1, "exit record too short: %zu\n", len);
        return -1;
    }
    auto *p = static_cast<const unsigned char *>(bytes);
    out->create_time = ld_le<uint64_t>(p);
    out->pid = ld_le<uint32_t>(p + 8);
    out->task_event_id = ld_le<uint16_t>(p + 12);
    out->exit_code = p[14];
    return 0;
}

namespace {

// Where the strings of a record end: its trailers begin there. 0 when malformed.
size_t strings_end(const unsigned char *p, size_t len) {
    if (len < RAW_PROCESS_MIN_SIZE) return 0;
    uint32_t lens[FLEX_TYPE_MAX];
    flex_lens(p + RAW_PROCESS_FIXED_SIZE, lens);
    size_t at = RAW_PROCESS_MIN_SIZE;
    for (int t = 0; t < FLEX_TYPE_MAX; t++) {
        if (lens[t] > s_flex_fields[t].max) return 0;
        at += lens[t];
    }
    return len < at ? 0 : at;
}

}  // namespace

bool raw_process_container_id(const void *bytes, size_t len, char out[CONTAINER_ID_TEXT]) {
    if (!bytes || !out) return false;
    auto *p = static_cast<const unsigned char *>(bytes);
    size_t at = strings_end(p, len);
    if (at == 0) return false;
    if (len - at >= RAW_EXE_IDENT_SIZE && ld_le<uint32_t>(p + at) == RAW_EXE_IDENT_MAGIC)
        at += RAW_EXE_IDENT_SIZE;
    if (len - at < RAW_CONTAINER_SIZE || ld_le<uint32_t>(p + at) != RAW_CONTAINER_MAGIC)
        return false;
    const unsigned char *id = p + at + 4;
    for (size_t i = 0; i < CONTAINER_ID_TEXT - 1; i++)
        if (!((id[i] >= '0' && id[i] <= '9') || (id[i] >= 'a' && id[i] <= 'f'))) {
            KIV_LOG(1, "process record of pid %u with a malformed container id\n",
                    ld_le<uint32_t>(p + 16));
            return false;
        }
    memcpy(out, id, CONTAINER_ID_TEXT - 1);
    out[CONTAINER_ID_TEXT - 1] = '\0';
    return true;
}

bool raw_process_exe_ident(const void *bytes, size_t len, exe_ident *out) {
    if (!bytes || !out) return false;
    auto *p = static_cast<const unsigned char *>(bytes);
    size_t at = strings_end(p, len);
    if (at == 0 || len - at < RAW_EXE_IDENT_SIZE) return false;
    p += at;
    if (ld_le<uint32_t>(p) != RAW_EXE_IDENT_MAGIC) return false;
    out->ctime_nsec = ld_le<uint32_t>(p + 4);
    out->dev = ld_le<uint64_t>(p + 8);
    out->ino = ld_le<uint64_t>(p + 16);
    out->ctime_sec = ld_le<int64_t>(p + 24);
    return out->ctime_nsec < 1000000000u;
}

// ---- Working record ----------------------------------------------------------------------------

int process_info_init(process_info_st *info, const raw_process_info *raw, int exec, int complete,
                      const process_digest_req *req) {
    if (!info || !raw) return -2;
    info->raw = raw;
    info->container_id[0] = '\0';
    info->flags =
        static_cast<uint8_t>((exec ? PROC_INFO_EXEC : 0) | (complete ? PROC_INFO_COMPLETE : 0));
    memset(info->md5, 0, sizeof info->md5);
    memset(info->sha256, 0, sizeof info->sha256);
    info->user_name[0] = info->group_name[0] = info->app_type[0] = '\0';
    return get_extra_info(info, req);
}

int get_user_and_grp_name(uint32_t uid, uint32_t gid, process_info_st *info) {
    if (!info) {
        KIV_LOG(1, "param illegal\n");
        return -2;
    }
    KIV_LOG(4, "uid %d gid %d\n", uid, gid);
    if (uid == 0) {
        strcpy(info->user_name, "root");
    } else if (int ret = get_username_by_uid(uid, info->user_name, sizeof info->user_name)) {
        KIV_LOG(1, "%s fail, ACTION_RETURN, ret: %d\n", "get_username_by_uid", ret);
        return ret;
    } else {
        KIV_LOG(4, "%s success. ret: %d\n", "get_username_by_uid", ret);
    }
    if (gid == 0) {
        strcpy(info->group_name, "root");
    } else if (int ret = get_grpname_by_gid(gid, info->group_name, sizeof info->group_name)) {
        KIV_LOG(1, "%s fail, ACTION_RETURN, ret: %d\n", "get_username_by_gid", ret);
        return ret;
    } else {
        KIV_LOG(4, "%s success. ret: %d\n", "get_username_by_gid", ret);
    }
    return 0;
}

int get_extra_info(process_info_st *info, const process_digest_req *req) {
    if (!info || !info->raw) return -2;
    const raw_process_info *raw = info->raw;
    flex_str path{};
    get_flex_task_info_str(&raw->flex, &path, FLEX_PATH);
    info->flags &= static_cast<uint8_t>(~PROC_INFO_DIGEST_PENDING);
    // Only an absolute path names the file: not a kernel thread's "[name]", nor a path whose
    // leading components were cut ("..." and the rest), which would name a relative file.
    if (path.len > 0 && path.ptr[0] == '/') {
        char buf[1024];
        copy_cut(buf, sizeof buf, path.ptr, path.len);
        binhash_source src;
        src.path = buf;
        src.pid = raw->pid;
        src.create_time = raw->create_time;
        src.exe = req ? req->exe : nullptr;
        src.fd = req ? req->fd : -1;
        src.uid = raw->uid[0];
        src.mode = BINHASH_EVENT;
        int too_big = 0;
        int r = binhash_get(src, info->md5, 16, info->sha256, 32, &too_big);
        if (r == BINHASH_PENDING) {
            if (req && req->may_wait) {
                info->flags |= PROC_INFO_DIGEST_PENDING;
                return 0;
            }
            KIV_LOG(2, "digests of %s (pid %u) not ready, reported without them\n", buf, raw->pid);
            binhash_count_not_ready();
        } else if (r != 0) {
            KIV_LOG(3, "get_binhash_info_digest failed\n");
        }
        exec_cap_process_cb(buf, too_big, 0);
    }
    if (get_user_and_grp_name(info->raw->uid[1], info->raw->gid[1], info) != 0)
        KIV_LOG(3, "get_user_and_grp_name failed\n");
    return 0;
}

void process_info_container(process_info_st *info, const void *bytes, size_t len) {
    if (!g_framework_config.container_id ||
        !raw_process_container_id(bytes, len, info->container_id))
        info->container_id[0] = '\0';
}

// ---- Common record -----------------------------------------------------------------------------

int init_common_proc_info(const process_info_st *info, common_proc_info *out) {
    if (!info || !out || !info->raw) {
        KIV_LOG(1, "in_info is %p, out_info is %p\n", (const void *)info, (void *)out);
        return -2;
    }
    const raw_process_info *raw = info->raw;
    out->ref_cnt = 0;
    memcpy(out->md5, info->md5, sizeof out->md5);
    memcpy(out->sha256, info->sha256, sizeof out->sha256);
    copy_ids(out->ids, raw);
    out->mode = raw_process_mode(raw);
    out->container = nullptr;
    if (info->container_id[0] != '\0') {
        auto *id = static_cast<uint8_t *>(kiv_malloc(32, MALLOC_FOR_TASK_FTREE_FLEX_INFO_INIT));
        if (id && sha256_str2sha256_digest(id, 32, info->container_id, CONTAINER_ID_TEXT - 1) == 0)
            out->container = id;
        else
            kiv_free(id);
    }

    flex_str s[3];
    for (int t = 0; t < 3; t++) get_flex_task_info_str(&raw->flex, &s[t], t);
    flex_str names[3] = {{info->user_name, (uint32_t)strlen(info->user_name)},
                         {info->group_name, (uint32_t)strlen(info->group_name)},
                         {info->app_type, (uint32_t)strlen(info->app_type)}};
    uint32_t size = s[0].len + s[1].len + s[2].len + names[0].len + names[1].len + names[2].len;
    out->flex = static_cast<flex_task_info *>(
        kiv_malloc(size + FLEX_SIZE_EXTRA, MALLOC_FOR_TASK_FTREE_FLEX_INFO_INIT));
    if (!out->flex) {
        KIV_LOG(1, "malloc out_info->flex_info failed\n");
        kiv_free(out->container);
        out->container = nullptr;
        return -3;
    }
    flex_task_info_init(out->flex);
    for (int t = 0; t < 3; t++) set_flex_task_info_str(out->flex, size, &s[t], t);
    set_flex_task_info_str(out->flex, size, &names[0], FLEX_USER_NAME);
    set_flex_task_info_str(out->flex, size, &names[1], FLEX_GROUP_NAME);
    set_flex_task_info_str(out->flex, size, &names[2], FLEX_APP_TYPE);
    return 0;
}

void free_common_proc_info(common_proc_info *c) {
    kiv_free(c->flex);
    kiv_free(c->container);
    c->flex = nullptr;
    c->container = nullptr;
}

int set_common_info_flex_info(common_proc_info *common, int type, const char *text, uint32_t len) {
    if (!common || !common->flex || !text || len == 0 || !flex_type_ok(type)) return -1;
    uint32_t cur = static_cast<uint32_t>(get_flex_task_info_cur_size(common->flex));
    uint32_t old = flex_len(common->flex->len_info, type);
    uint32_t n = len > s_flex_fields[type].max ? s_flex_fields[type].max : len;
    uint32_t room = cur;
    if (old < n) {
        room = n - old + cur;
        auto *grown =
            static_cast<flex_task_info *>(kiv_malloc(room, MALLOC_FOR_TASK_SET_COMMON_INFO));
        if (!grown) {
            KIV_LOG(1, "malloc new flex_info failed\n");
            return -1;
        }
        memcpy(grown, common->flex, cur);
        kiv_free(common->flex);
        common->flex = grown;
    }
    flex_str in{text, n};
    return set_flex_task_info_str(common->flex, room - FLEX_HDR_SIZE, &in, type);
}

// ---- process_st --------------------------------------------------------------------------------

void process_st_init(process_st *record) {
    memset(record, 0, sizeof *record);
    record->pid = -1;
    record->ppid = -1;
    memset(record->ids, 0xff, sizeof record->ids);
    record->xdg_session_id = -1;
}

void process_guid_build(char guid[PROC_GUID_LEN], uint32_t pid, uint64_t create_time,
                        const char *cmd_line, size_t cmd_len) {
    // "0%04x%08x" by hand: every record of every process builds one.
    static const char hex[] = "0123456789abcdef";
    char head[24];
    size_t h = 0;
    head[h++] = '0';
    int pid_digits = 4;
    while (pid_digits < 8 && (pid >> (4 * pid_digits)) != 0) pid_digits++;
    for (int d = pid_digits - 1; d >= 0; d--) head[h++] = hex[(pid >> (4 * d)) & 15];
    auto low = static_cast<uint32_t>(create_time);
    for (int d = 7; d >= 0; d--) head[h++] = hex[(low >> (4 * d)) & 15];
    size_t keep = h < PROC_GUID_LEN - 1 ? h : PROC_GUID_LEN - 1;
    memcpy(guid, head, keep);
    guid[keep] = '\0';
    size_t n = cmd_len < 16 ? cmd_len : 16;
    memcpy(guid + 13, cmd_line, n);
    memset(guid + 13 + n, 0, 17 - n);  // pads to and including position 29
}

int get_file_permissions_and_owner(uint32_t mode, char *out, int out_len) {
    if (!out || out_len < 10) {
        KIV_LOG(1, "permision is %p, permit_len is %d\n", (void *)out, out_len);
        return -1;
    }
    memcpy(out, "rwxrwxrwx", 10);
    for (int i = 0; i < 9; i++)
        if (!(mode & (1u << i))) out[8 - i] = '-';
    if (mode & 01000) out[8] = out[8] == '-' ? 'T' : 't';
    if (mode & 02000) out[5] = out[5] == '-' ? 'S' : 's';
    if (mode & 04000) out[2] = out[2] == '-' ? 'S' : 's';
    return 0;
}

int adpt_cpy_str(char **slot, const char *bytes, uint32_t len) {
    if (!slot || (!bytes && len)) return -2;
    if (!*slot || strlen(*slot) < static_cast<size_t>(len) + 1) {
        char *buf = static_cast<char *>(
            kiv_malloc(static_cast<size_t>(len) + 1, MALLOC_FOR_TASK_INFO_ADPT));
        if (!buf) {
            KIV_LOG(1, "adpt_cpy malloc failed\n");
            return -3;
        }
        kiv_free(*slot);
        *slot = buf;
    }
    if (len) memcpy(*slot, bytes, len);
    (*slot)[len] = '\0';
    return 0;
}

int process_info_st2process_st(const process_info_st *info, process_st *out) {
    if (!info || !info->raw || !out) return -2;
    const raw_process_info *raw = info->raw;
    uint32_t ids[9];
    copy_ids(ids, raw);
    fill_common_fields(out, raw->create_time, raw->pid, raw->ppid, raw->sessionid, ids,
                       raw_process_mode(raw), &raw->flex);
    md5_digest2md5_str(info->md5, 16, out->md5, sizeof out->md5);
    sha256_digest2sha256_str(info->sha256, 32, out->sha256, sizeof out->sha256);
    copy_cut(out->user_name, sizeof out->user_name, info->user_name, strlen(info->user_name));
    copy_cut(out->group_name, sizeof out->group_name, info->group_name, strlen(info->group_name));
    copy_cut(out->app_type, sizeof out->app_type, info->app_type, strlen(info->app_type));
    memcpy(out->container_id, info->container_id, sizeof out->container_id);
    out->fd0[0] = out->fd1[0] = '\0';
    out->flags &= static_cast<uint8_t>(~PROCESS_ST_EXITED);
    return 0;
}

void process_container_text(const common_proc_info *c, char out[PROC_CONTAINER_LEN]) {
    if (!c->container || sha256_digest2sha256_str(c->container, 32, out, PROC_CONTAINER_LEN) < 0)
        out[0] = '\0';
}

int fork_info_st2process_st(const fork_info_st *fork_info, process_st *out) {
    if (!fork_info || !out || !fork_info->exec_info || !fork_info->exec_info->flex) return -2;
    const common_proc_info *c = fork_info->exec_info;
    fill_common_fields(out, fork_info->create_time, fork_info->pid, fork_info->ppid,
                       fork_info->sessionid, c->ids, c->mode, c->flex);
    copy_flex(out->app_type, c->flex, FLEX_APP_TYPE, 32);
    md5_digest2md5_str(c->md5, 16, out->md5, sizeof out->md5);
    sha256_digest2sha256_str(c->sha256, 32, out->sha256, sizeof out->sha256);
    process_container_text(c, out->container_id);
    const char *fd0 = fork_info->fd0 ? fork_info->fd0 : "";
    const char *fd1 = fork_info->fd1 ? fork_info->fd1 : "";
    copy_cut(out->fd0, sizeof out->fd0, fd0, strlen(fd0));
    copy_cut(out->fd1, sizeof out->fd1, fd1, strlen(fd1));
    if (fork_info->flags & FORK_INFO_EXITED)
        out->flags |= PROCESS_ST_EXITED;
    else
        out->flags &= static_cast<uint8_t>(~PROCESS_ST_EXITED);
    return 0;
}
