// File documents: an ordered, unfiltered file event with its owner, permissions, type and the
// acting process with its tree, inside the upload envelope. A rename sends a second document
// for its old name.
#include <cjson/cJSON.h>

#include <cstring>

#include "base/log.h"
#include "base/mem.h"
#include "comm/json_add.h"
#include "file/file.h"
#include "framework/mod_manager.h"
#include "qxkiv/process_query.h"
#include "qxkiv/qxkiv.h"
#include "qxkiv/usr_grp.h"

namespace {

struct file_status {
    char permissions[10];
    char user_name[33];
    char group_name[33];
};

struct event_name {
    const char *id, *name;
};
constexpr event_name kEventNames[FILE_KIND_NUM] = {
    {"FILE_CREATION", "File Creation"},   {"FILE_DELETION", "File Deletion"},
    {"FILE_RENAMING", "File Renameing"},  {"FILE_MODIFICATION", "File Modification"},
    {"FILE_ACCESSING", "File Accessing"}, {"FILE_ATTRIBING", "File Attribing"},
};

// Upload types of the uploaded kinds; -1 for the two that are only built.
constexpr int kUploadTypes[FILE_KIND_NUM] = {
    UPLOAD_FILE_CRATE, UPLOAD_FILE_DELETE, UPLOAD_FILE_MOVE, UPLOAD_FILE_MOD, -1, -1};

int owner_names(uint32_t uid, uint32_t gid, char *user, char *group) {
    if (uid == 0) {
        strcpy(user, "root");
    } else if (get_username_by_uid(uid, user, 33) != 0) {
        KIV_LOG(1, "get_username_by_uid failed\n");
        return -1;
    }
    if (gid == 0) {
        strcpy(group, "root");
    } else if (get_grpname_by_gid(gid, group, 33) != 0) {
        KIV_LOG(1, "get_grpname_by_gid failed\n");
        return -1;
    }
    return 0;
}

int get_file_stat(const file_event_view &v, file_status *st) {
    file_permission_text(v.mode, st->permissions);
    return owner_names(v.uid, v.gid, st->user_name, st->group_name);
}

bool typed(const file_type_info_st *t) {
    return t && t->type != FILE_TYPE_UNKNOWN;
}

int format_file_private_message(cJSON *m, const file_event_view &v, int kind) {
    if (!add_str(m, "file_name", v.name)) return -1;
    if (kind != FILE_ATTRIB) return 0;
    char user[33], group[33], perm[10];
    if (owner_names(v.new_uid, v.new_gid, user, group) != 0) return -1;
    file_permission_text(v.new_mode, perm);
    return add_str(m, "new_file_user_name", user) && add_str(m, "new_file_group_name", group) &&
                   add_str(m, "new_file_permissions", perm)
               ? 0
               : -1;
}

// The query results as the public layout, which static_asserts tie to the library's own.
using proc_view = process_st_public;

// What the event itself says of a process the query could not describe.
const proc_view *unknown_owner(const file_event_view &v) {
    thread_local proc_view unknown;
    _memset_process_info(reinterpret_cast<process_st *>(&unknown));
    unknown.pid = static_cast<int32_t>(v.tgid);
    unknown.createtime = v.create_time;
    return &unknown;
}

int format_upload_message(cJSON *m, const proc_view *p, const upload_header &h,
                          const file_event_view &v, const file_status &st,
                          const file_type_info_st *type, int kind) {
    const event_name &n = kEventNames[kind];
    bool ok = add_strn(m, "record_time", h.send_time) &&
              cJSON_AddNumberToObject(m, "record_timestamp", (double)h.send_timestamp) &&
              add_str(m, "event_id", n.id) && add_str(m, "event_name", n.name) &&
              add_int(m, "process_id", p->pid) && add_str(m, "process_guid", p->guid) &&
              add_str(m, "process_path", p->path) && add_str(m, "process_md5", p->md5) &&
              add_str(m, "process_sha256", p->sha256) &&
              add_u64(m, "process_createtime", p->createtime) &&
              add_str(m, "process_cmd_line", p->cmd_line) &&
              add_str(m, "process_user_name", p->user_name) &&
              add_str(m, "process_group_name", p->group_name) && add_int(m, "is_exist", 1) &&
              add_u64(m, "file_atime", v.atime) && add_u64(m, "file_mtime", v.mtime) &&
              add_u64(m, "file_ctime", v.ctime) && add_str(m, "file_user_name", st.user_name) &&
              add_str(m, "file_group_name", st.group_name) &&
              add_str(m, "file_permissions", st.permissions) &&
              add_str(m, "type", typed(type) ? type->type_name : "-") &&
              add_str(m, "file_suffix", typed(type) ? type->suffix : "-");
    if (!ok) return -1;
    if (format_file_private_message(m, v, kind) != 0) {
        KIV_LOG(3, "format_file_private_message failed\n");
        return -1;
    }
    if (!add_str(m, "container_id", p->container_id[0] ? p->container_id : "host")) return -1;
    if (format_proc_tree(m, PROC_TREE_MODE_POP) != 0) {
        KIV_LOG(1, "format_proc_tree fail.\n\n");
        return -1;
    }
    return 0;
}

// Prints and logs the document, then uploads it when its kind has an upload type: access and
// attribute changes reach the diagnostic log only.
void send(cJSON *root, int kind) {
    json_printed printed;
    json_print_local(root, &printed);
    const char *text = printed.text;
    const size_t len = printed.len;
    if (!text) {
        KIV_LOG(1, "cJSON_PrintUnformatted fail\n");
        return;
    }
    KIV_LOG(3, "file upload: %s\n", text);
    int upload_type = kUploadTypes[kind];
    if (upload_type < 0) {
        KIV_LOG(1, "unsupport upload type: %d\n", kind);
    } else if (mod_manager_upload(text, (uint32_t)len, upload_type, 0) != 0) {
        kiv_stat_inc(FILE_UPLOAD_EVENT_FAIL);
        KIV_LOG(3, "upload error!\n\n");
    } else {
        kiv_stat_inc(FILE_UPLOAD_EVENT_SUC);
    }
}

}  // namespace

void file_permission_text(uint32_t mode, char out[10]) {
    static const char kRwx[] = "rwxrwxrwx";
    for (int i = 0; i < 9; i++) out[i] = (mode & (0400u >> i)) ? kRwx[i] : '-';
    // set-user-id, set-group-id and sticky take the execute places; capitals without execute.
    if (mode & 04000) out[2] = (mode & 0100) ? 's' : 'S';
    if (mode & 02000) out[5] = (mode & 0010) ? 's' : 'S';
    if (mode & 01000) out[8] = (mode & 0001) ? 't' : 'T';
    out[9] = '\0';
}

void upload_file_event(const unsigned char *body, size_t body_len, const file_type_info_st *type,
                       int kind, uint32_t exec_mark) {
    if (kind < 0 || kind >= FILE_KIND_NUM) {
        KIV_LOG(1, "unknown qxmon_type: %d\n", kind);
        return;
    }
    file_event_view v;
    if (file_event_parse(body, body_len, kind, &v) != 0) return;
    file_status st;
    if (get_file_stat(v, &st) != 0) {
        KIV_LOG(1, "get_file_stat failed\n");
        return;
    }
    // As for the filters; an owner nobody can describe is reported by its pid when unknown
    // processes are reported, else the record ends.
    const proc_view *p = nullptr;
    int ret = file_query_owner(v, 16, exec_mark);
    if (ret < 0)
        KIV_LOG(3, "query_process_info fail. ret: %d\n\n", ret);
    else if (!(p = reinterpret_cast<const proc_view *>(_pop_process_info())))
        KIV_LOG(1, "pop_process_info fail\n");
    if (!p && !g_file_info.file_report_unknown_process) return;
    if (!p) p = unknown_owner(v);
    upload_header h;
    if (get_log_ctm_header(&h) != 0) {
        KIV_LOG(1, "get_log_ctm_header fail.\n");
        return;
    }
    cJSON *root = cJSON_CreateObject();
    if (!root) {
        KIV_LOG(1, "create upload info json fail\n");
        return;
    }
    cJSON *m = cJSON_CreateObject();
    if (!m) {
        KIV_LOG(1, "create message info json fail\n");
        cJSON_Delete(root);
        return;
    }
    if (format_upload_message(m, p, h, v, st, type, kind) != 0) {
        KIV_LOG(1, "format_upload_message fail\n");
        cJSON_Delete(m);
        cJSON_Delete(root);
        return;
    }
    // The envelope owns the message from here on, also when it could not be attached.
    if (format_upload_header(root, m, &h) != 0) {
        KIV_LOG(1, "format_upload_header fail\n");
        cJSON_Delete(root);
        return;
    }
    send(root, kind);
    // The old name of a rename goes in a second document; its two keys move to the end.
    if (kind == FILE_RENAME && v.name2 && v.name2_len > 0) {
        cJSON_DeleteItemFromObjectCaseSensitive(m, "file_name");
        cJSON_DeleteItemFromObjectCaseSensitive(m, "is_exist");
        if (add_str(m, "file_name", v.name2) && add_int(m, "is_exist", 0)) send(root, kind);
    }
    cJSON_Delete(root);
}
