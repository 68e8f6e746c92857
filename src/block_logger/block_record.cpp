// Decoding of the three block reports and their flat JSON records.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/clock.h"
#include "base/log.h"
#include "block_logger/block_logger.h"
#include "comm/error_output.h"
#include "comm/json_add.h"
#include "comm/pthread_guard.h"
#include "framework/ring.h"
#include "qxkiv/digest.h"
#include "qxkiv/qxkiv.h"
#include "qxkiv/usr_grp.h"

// Formatting failures go to the module's private log. errno is cleared first: these are
// not system errors and must not carry a stale errmsg.
#define BLOG_ERROR(level, fmt, ...)                                         \
    do {                                                                    \
        errno = 0;                                                          \
        error_output((level), __FILE_NAME__, __LINE__, fmt, ##__VA_ARGS__); \
    } while (0)

namespace {

constexpr int kNameLen = 64;    // user and group names: at most 63 characters
constexpr int kPathLen = 1025;  // /proc texts: at most 1024 characters

const char *const kFileOpr[] = {"create", "delete", "access",  "rename", "modify",
                                "mkdir",  "rmdir",  "symlink", "chmod",  "link"};
const char *const kProcOpr[] = {"create", "execute", "exit", "kill", "ptrace", "clone"};
constexpr uint32_t FILE_OPR_RENAME = 4, FILE_OPR_SYMLINK = 8;
constexpr uint32_t PROC_OPR_EXECUTE = 2, PROC_OPR_KILL = 4;

// Names of the IP protocols 0..255, read once: each lookup opens /etc/protocols.
char s_proto_names[256][32];
std::once_flag s_proto_once;

const char *protocol_name(uint16_t proto) {
    std::call_once(s_proto_once, [] {
        for (int p = 0; p < 256; p++) {
            struct protoent pe, *res = nullptr;
            char buf[1024];
            if (getprotobynumber_r(p, &pe, buf, sizeof buf, &res) == 0 && res && res->p_name)
                snprintf(s_proto_names[p], sizeof s_proto_names[p], "%s", res->p_name);
        }
    });
    if (proto < 256) return s_proto_names[proto];
    // Above 255 only the kernel's own numbers exist: rare enough to look up each time.
    static thread_local char name[32];
    struct protoent pe, *res = nullptr;
    char buf[1024];
    name[0] = '\0';
    if (getprotobynumber_r(proto, &pe, buf, sizeof buf, &res) == 0 && res && res->p_name)
        snprintf(name, sizeof name, "%s", res->p_name);
    return name;
}

// A small memo, one per collector thread: a blocked process usually retries the same
// operation on the same target, and hashing it reads the whole file. Two ways per set, the
// most recent first.
template <class Key, class Val, size_t N>
struct memo {
    struct slot {
        bool used;
        Key key;
        Val val;
    };
    slot slots[N];
    static size_t set_of(uint64_t h) {
        return (size_t)((h * 0x9E3779B97F4A7C15ull) >> 40) % (N / 2) * 2;
    }
    const Val *find(const Key &k, uint64_t h) const {
        const slot *s = &slots[set_of(h)];
        for (int i = 0; i < 2; i++)
            if (s[i].used && s[i].key == k) return &s[i].val;
        return nullptr;
    }
    void put(const Key &k, uint64_t h, const Val &v) {
        slot *s = &slots[set_of(h)];
        s[1] = s[0];
        s[0] = slot{true, k, v};
    }
};

// Content stamp of a file: an unchanged stamp means an unchanged content (a write moves the
// modification time, and anything that resets it moves the change time).
struct file_stamp {
    dev_t dev;
    ino_t ino;
    off_t size;
    int64_t mtime_s, mtime_ns, ctime_s, ctime_ns;
    bool operator==(const file_stamp &) const = default;
};
file_stamp stamp_of(const struct stat &st) {
    return {st.st_dev,          st.st_ino,         st.st_size,        st.st_mtim.tv_sec,
            st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}
struct md5_text {
    char text[33];
};
thread_local memo<file_stamp, md5_text, 256> t_md5;

// MD5 text of the file stat() described, "-" when it cannot be computed.
void target_md5(const char *path, const struct stat &st, char out[33]) {
    file_stamp k = stamp_of(st);
    uint64_t h = (uint64_t)st.st_ino ^ ((uint64_t)st.st_dev << 40);
    if (const md5_text *v = t_md5.find(k, h)) {
        memcpy(out, v->text, sizeof v->text);
        return;
    }
    if (get_file_md5(path, out, 33) != 0) {
        snprintf(out, 33, "-");
        return;
    }
    // Kept only when the file still has the stamp it was hashed under, and that stamp is
    // old enough: file times move in clock ticks, so two writes within one tick could leave
    // the same stamp on different contents.
    struct stat again;
    time_t now = time(nullptr);
    if (stat(path, &again) == 0 && stamp_of(again) == k && now - again.st_mtime >= 2 &&
        now - again.st_ctime >= 2) {
        md5_text v;
        memcpy(v.text, out, sizeof v.text);
        t_md5.put(k, h, v);
    }
}

void name_of_uid(uint32_t uid, char *out) {
    fetch_username_by_uid(uid, out, kNameLen);
}

}  // namespace

const char *group_to_string(uint32_t group) {
    static const char *const kGroups[] = {
        "SELF_PROTECT",       "ENFORCE",      "NORMAL",
        "WEB_ANTI_TAMPERING", "FILE_PROTECT", "FILE_BAIT",
        "BUILDIN_VULNERABLE", "CUSTOM",       "APPLICATION_PROTECT"};
    return group >= 2 && group <= 10 ? kGroups[group - 2] : "UNKNOWN";
}

// ---- what user space knows ---------------------------------------------------------------

void fetch_commond_by_pid(int pid, char *out, size_t out_len) {
    if (!out || out_len == 0) return;
    out[0] = '\0';
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/cmdline", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    size_t cap = out_len - 1 < 1024 ? out_len - 1 : 1024;
    ssize_t n = cap ? read(fd, out, cap) : 0;
    close(fd);
    if (n <= 0) return;
    // Arguments are NUL-separated; the last byte read keeps its value.
    for (ssize_t i = 0; i + 1 < n; i++)
        if (out[i] == '\0') out[i] = ' ';
    out[n] = '\0';
}

void fetch_path_by_pid(int pid, char *out, size_t out_len) {
    if (!out || out_len == 0) return;
    out[0] = '\0';
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/exe", pid);
    size_t cap = out_len - 1 < 1024 ? out_len - 1 : 1024;
    ssize_t n = readlink(path, out, cap);
    out[n > 0 ? n : 0] = '\0';
}

uint64_t fetch_proc_start_time(uint32_t pid) {
    char path[32], line[1025];
    snprintf(path, sizeof path, "/proc/%u/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t n = read(fd, line, sizeof line - 1);
    close(fd);
    if (n <= 0) return 0;
    line[n] = '\0';
    if (char *nl = strchr(line, '\n')) *nl = '\0';
    // The name (field 2) may hold spaces and parentheses: count fields after its last ')'.
    const char *p = strrchr(line, ')');
    if (!p) return 0;
    p++;
    for (int field = 3; field < 22; field++) {
        p = strchr(p + 1, ' ');
        if (!p) return 0;
    }
    p++;
    char *end;
    if (*p < '0' || *p > '9') return 0;
    errno = 0;
    unsigned long long v = strtoull(p, &end, 10);
    if (errno != 0 || (*end != ' ' && *end != '\0')) return 0;
    uint32_t ticks = (uint32_t)v;
    struct sysinfo si;
    long hz = sysconf(_SC_CLK_TCK);
    if (sysinfo(&si) != 0 || hz <= 0) return 0;
    int64_t t = (int64_t)time(nullptr) - si.uptime + ticks / hz;
    return t > 0 ? (uint64_t)t : 0;
}

void fetch_username_by_uid(uint32_t uid, char *out, size_t out_len) {
    if (!out || out_len == 0) return;
    if (get_username_by_uid(uid, out, out_len > INT32_MAX ? INT32_MAX : (int)out_len) != 0)
        out[0] = '\0';
}

void fetch_group_by_gid(uint32_t gid, char *out, size_t out_len) {
    if (!out || out_len == 0) return;
    if (get_grpname_by_gid(gid, out, out_len > INT32_MAX ? INT32_MAX : (int)out_len) != 0)
        out[0] = '\0';
}

void get_file_permission(mode_t mode, char *out, int out_len) {
    if (!out || out_len < 10) {
        BLOG_ERROR(1, "permision is %p, permit_len is %d", (void *)out, out_len);
        if (out && out_len > 0) out[0] = '\0';
        return;
    }
    const char *rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; i++) out[i] = (mode & (0400 >> i)) ? rwx[i] : '-';
    out[9] = '\0';
    if (mode & S_ISVTX) out[8] = (mode & S_IXOTH) ? 't' : 'T';
    if (mode & S_ISGID) out[5] = (mode & S_IXGRP) ? 's' : 'S';
    if (mode & S_ISUID) out[2] = (mode & S_IXUSR) ? 's' : 'S';
}

// ---- record members ------------------------------------------------------------------------

void format_common_header(cJSON *obj, const char *event_type, const block_report *r) {
    time_t now = kiv_wall_now();
    add_int(obj, "v", 100);
    add_int(obj, "recordTimestamp", (int64_t)now);
    add_int(obj, "uploadTimestamp", (int64_t)now);
    add_str(obj, "group", group_to_string(r->group));
    add_int(obj, "ruleId", (uint32_t)r->rule_id);
    add_str(obj, "eventType", event_type);
    add_str(obj, "action", r->action == 0 ? "audit" : "block");
}

void format_file_attribute(const char *path, cJSON *obj) {
    struct stat st;
    bool ok = path && *path && stat(path, &st) == 0;
    char perm[12] = "", grp[kNameLen] = "", md5[33] = "-";
    if (ok) {
        get_file_permission(st.st_mode, perm, sizeof perm);
        fetch_group_by_gid(st.st_gid, grp, sizeof grp);
        if (st.st_size <= BLOG_MD5_MAX_SIZE) target_md5(path, st, md5);
    }
    add_int(obj, "fileCtime", ok ? (int64_t)st.st_ctime : 0);
    add_int(obj, "fileAtime", ok ? (int64_t)st.st_atime : 0);
    add_str(obj, "filePermission", perm);
    add_str(obj, "fileGrp", grp);
    add_int(obj, "fileSize", ok ? (int64_t)st.st_size : 0);
    add_str(obj, "fileHash", md5);
}

int format_file_body(const block_report *r, cJSON *obj) {
    if (r->file_opr < 1 || r->file_opr > 10) {
        BLOG_ERROR(1, "invalid file opr: %u", r->file_opr);
        return -1;
    }
    add_str(obj, "fileType", "");
    add_str(obj, "fileCluster", "");
    // A rename names the new path after the operation; the attributes are the old name's.
    if (r->file_opr != FILE_OPR_RENAME) add_str(obj, "filePath", r->text[1]);
    format_file_attribute(r->text[1], obj);
    add_str(obj, "eventOpr", kFileOpr[r->file_opr - 1]);
    if (r->file_opr == FILE_OPR_RENAME) {
        add_str(obj, "filePath", r->text[2]);
        add_str(obj, "originFilePath", r->text[1]);
    } else if (r->file_opr == FILE_OPR_SYMLINK) {
        add_str(obj, "originFilePath", r->text[2]);
    }
    return 0;
}

int format_proc_body(const block_report *r, cJSON *obj) {
    if (r->proc_opr < 1 || r->proc_opr > 6) {
        BLOG_ERROR(1, "invalid proc opr: %u", r->proc_opr);
        return -1;
    }
    add_str(obj, "eventOpr", kProcOpr[r->proc_opr - 1]);
    if (r->proc_opr == PROC_OPR_EXECUTE) add_str(obj, "pFilePath", r->text[2]);
    if (r->proc_opr == PROC_OPR_KILL) add_str(obj, "pFilePath", r->text[1]);
    char user[kNameLen];
    name_of_uid(r->t_uid, user);
    add_int(obj, "pId", r->t_pid);
    add_int(obj, "ppId", r->t_ppid);
    add_str(obj, "pName", r->t_name);
    add_str(obj, "ppName", r->t_pname);
    add_str(obj, "pUser", user);
    add_int(obj, "pUid", r->t_uid);
    add_int(obj, "pNamespace", r->t_ns);
    add_int(obj, "pEuid", r->t_euid);
    add_int(obj, "pPort", r->t_port);
    add_int(obj, "pStartTime", fetch_proc_start_time(r->t_pid));
    add_str(obj, "pCluster", "");
    return 0;
}

int format_net_body(const block_report *r, cJSON *obj) {
    if (r->direction != 1 && r->direction != 2) {
        BLOG_ERROR(1, "invalid net opr: %u", r->direction);
        return -1;
    }
    int af = r->family == AF_INET ? AF_INET : AF_INET6;
    char sip[INET6_ADDRSTRLEN] = "", dip[INET6_ADDRSTRLEN] = "";
    inet_ntop(af, r->saddr, sip, sizeof sip);
    inet_ntop(af, r->daddr, dip, sizeof dip);
    add_str(obj, "eventOpr", r->direction == 1 ? "inbound" : "outbound");
    add_str(obj, "protocol", protocol_name(r->protocol));
    add_str(obj, "srcIp", sip);
    add_int(obj, "srcPort", r->sport);
    add_str(obj, "dstIp", dip);
    add_int(obj, "dstPort", r->dport);
    return 0;
}

void format_subject_process(const block_report *r, const char *exe_path, cJSON *obj) {
    char user[kNameLen];
    name_of_uid(r->uid, user);
    // /proc only: the process query service would report a creation the process filters held
    // back. A process already gone leaves empty texts and zero times.
    static thread_local char cmd[kPathLen], pcmd[kPathLen], ppath[kPathLen];
    fetch_commond_by_pid((int)r->pid, cmd, sizeof cmd);
    fetch_commond_by_pid((int)r->ppid, pcmd, sizeof pcmd);
    fetch_path_by_pid((int)r->ppid, ppath, sizeof ppath);
    add_int(obj, "sPId", r->pid);
    add_str(obj, "sPName", r->name);
    add_str(obj, "sPUser", user);
    add_str(obj, "sPCommand", cmd);
    add_str(obj, "sPFilePath", exe_path ? exe_path : "");
    add_int(obj, "sPStartTime", fetch_proc_start_time(r->pid));
    add_int(obj, "sPpId", r->ppid);
    add_str(obj, "sPpName", r->pname);
    add_str(obj, "sPpUser", user);
    add_str(obj, "sPpCommand", pcmd);
    add_str(obj, "sPpFilePath", ppath);
    add_int(obj, "sPpStartTime", fetch_proc_start_time(r->ppid));
}

// ---- upload ----------------------------------------------------------------------------------

namespace {

struct upload_kind {
    const char *event_type;
    int (*body)(const block_report *, cJSON *);
    const char *create_failed, *body_failed, *print_failed;
};

const upload_kind kFileKind{"file", format_file_body, "create hips file message body failed",
                            "format hips file message body failed",
                            "file cJSON_PrintUnformatted failed"};
const upload_kind kProcKind{"proc", format_proc_body, "create hips proc message body failed",
                            "format hips proc message body failed",
                            "proc cJSON_PrintUnformatted failed"};
const upload_kind kNetKind{"net", format_net_body, "create hips net message body failed",
                           "format hips net message body failed",
                           "net cJSON_PrintUnformatted failed"};

int upload_block_event(char *msg, const upload_kind &kind) {
    block_report r;
    if (block_report_decode(msg, kiv_msg_hdr_get(msg).len, &r) != 0) return MSG_HOOK_DROP;
    cJSON *obj = cJSON_CreateObject();
    if (!obj) {
        KIV_LOG(0, "%s\n", kind.create_failed);
        return MSG_HOOK_ACCEPT;
    }
    format_common_header(obj, kind.event_type, &r);
    if (kind.body(&r, obj) != 0) {
        KIV_LOG(0, "%s\n", kind.body_failed);
        cJSON_Delete(obj);
        return MSG_HOOK_ACCEPT;
    }
    format_subject_process(&r, r.text[0], obj);
    char *text = cJSON_PrintUnformatted(obj);
    cJSON_Delete(obj);
    if (!text) {
        KIV_LOG(0, "%s\n", kind.print_failed);
        return MSG_HOOK_ACCEPT;
    }
    if (mod_manager_upload(text, (uint32_t)strlen(text), UPLOAD_SELF_PROTECT_BLOCK, 0) != 0)
        KIV_LOG(3, "upload self protect block event error\n");
    {
        rwlock_write_guard g(&g_block_logger_info.event_cnt_lock);
        g_block_logger_info.event_cnt++;
    }
    cJSON_free(text);
    return MSG_HOOK_ACCEPT;
}

}  // namespace

int upload_file_event(char *msg, kiv_msg_ctx *) {
    return upload_block_event(msg, kFileKind);
}

int upload_proc_event(char *msg, kiv_msg_ctx *) {
    return upload_block_event(msg, kProcKind);
}

int upload_net_event(char *msg, kiv_msg_ctx *) {
    return upload_block_event(msg, kNetKind);
}
