#include "task/task_record.h"

#include <cjson/cJSON.h>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "comm/json_add.h"
#include "framework/hook.h"
#include "framework/mod_manager.h"
#include "base/mem.h"
#include "base/log.h"
#include "qxkiv/process_query.h"
#include "qxkiv/qxkiv.h"
#include "task/query.h"
#include "task/task.h"
#include "task/task_filter.h"

namespace {

// A process outside any container runs on the host.
const char *container_text(const char *id) {
    return id[0] ? id : "host";
}

struct id_key {
    int idx;
    const char *key;
};

constexpr id_key s_child_uids[] = {
    {0, "process_ruid"}, {1, "process_euid"}, {2, "process_suid"}, {3, "process_fuid"},
    {4, "process_rgid"}, {5, "process_egid"}, {6, "process_sgid"}, {7, "process_gfuid"},
};
constexpr id_key s_parent_uids[] = {
    {0, "parent_pruid"}, {1, "parent_peuid"}, {2, "parent_psuid"}, {3, "parent_pfuid"},
    {4, "parent_prgid"}, {5, "parent_pegid"}, {6, "parent_psgid"}, {7, "pparent_pgfuid"},
};

bool add_ids(cJSON *obj, const process_st *item, const id_key (&keys)[8]) {
    for (const id_key &k : keys)
        if (!add_signed(obj, k.key, item->ids[k.idx])) return false;
    return true;
}

bool format_header_info(cJSON *message, const upload_header *hdr, const char *event_id,
                        const char *event_name) {
    return add_strn(message, "record_time", hdr->send_time) &&
           add_u64(message, "record_timestamp", hdr->send_timestamp) &&
           add_str(message, "event_id", event_id) && add_str(message, "event_name", event_name);
}

bool format_child_info(cJSON *m, const process_st *p) {
    return add_signed(m, "process_id", static_cast<uint32_t>(p->pid)) &&
           add_str(m, "process_guid", p->guid) && add_str(m, "process_path", p->path) &&
           add_str(m, "process_md5", p->md5) && add_str(m, "process_sha256", p->sha256) &&
           add_u64(m, "process_createtime", p->createtime) &&
           add_str(m, "process_cmd_line", p->cmd_line) &&
           add_str(m, "process_user_name", p->user_name) &&
           add_str(m, "current_dir", p->current_dir) &&
           add_str(m, "process_group_name", p->group_name) && add_str(m, "process_fd0", p->fd0) &&
           add_str(m, "process_fd1", p->fd1) &&
           add_signed(m, "process_xdg_session_id", static_cast<uint32_t>(p->xdg_session_id)) &&
           add_ids(m, p, s_child_uids) && add_str(m, "process_path_permit", p->path_permit) &&
           add_signed(m, "process_owner_id", p->ids[8]) &&
           add_str(m, "container_id", container_text(p->container_id));
}

bool format_parent_info(cJSON *m, const process_st *p) {
    return add_signed(m, "parent_pid", static_cast<uint32_t>(p->pid)) &&
           add_str(m, "parent_pguid", p->guid) && add_str(m, "parent_ppath", p->path) &&
           add_str(m, "parent_pmd5", p->md5) && add_str(m, "parent_psha256", p->sha256) &&
           add_u64(m, "parent_createtime", p->createtime) &&
           add_str(m, "parent_pcmd_line", p->cmd_line) &&
           add_str(m, "parent_puser_name", p->user_name) &&
           add_str(m, "parent_papp_type", p->app_type) &&
           add_str(m, "parent_pgroup_name", p->group_name) && add_ids(m, p, s_parent_uids) &&
           add_str(m, "parent_ppath_permit", p->path_permit) &&
           add_signed(m, "parent_powner_id", p->ids[8]);
}

const process_st *upload_item(const void *items, int i, int mode) {
    if (mode == UPLOAD_ITEMS_ARRAY) return &static_cast<const process_st *>(items)[i];
    return static_cast<const process_st *const *>(items)[i];
}

// The guid and the terminated path an exit record names.
void exit_names(const fork_info_st *fork_info, char (&guid)[PROC_GUID_LEN], char (&path_text)[1024],
                char (&container)[PROC_CONTAINER_LEN]) {
    process_container_text(fork_info->exec_info, container);
    const flex_task_info *flex = fork_info->exec_info->flex;
    flex_str cmd{}, path{};
    get_flex_task_info_str(flex, &cmd, FLEX_CMD_LINE);
    get_flex_task_info_str(flex, &path, FLEX_PATH);
    process_guid_build(guid, fork_info->pid, fork_info->create_time, cmd.ptr, cmd.len);
    uint32_t n = path.len < sizeof path_text - 1 ? path.len : sizeof path_text - 1;
    if (n) memcpy(path_text, path.ptr, n);
    path_text[n] = '\0';
}

void ids_text(json_text_obj &m, const process_st *p, const id_key (&keys)[8]) {
    for (const id_key &k : keys) m.id(k.key, p->ids[k.idx]);
}

void child_text(json_text_obj &m, const process_st *p, const char *loader_path) {
    m.id("process_id", static_cast<uint32_t>(p->pid))
        .str("process_guid", p->guid)
        .str("process_path", p->path);
    if (loader_path) m.str("loader_path", loader_path);
    m.str("process_md5", p->md5)
        .str("process_sha256", p->sha256)
        .num("process_createtime", p->createtime)
        .str("process_cmd_line", p->cmd_line)
        .str("process_user_name", p->user_name)
        .str("current_dir", p->current_dir)
        .str("process_group_name", p->group_name)
        .str("process_fd0", p->fd0)
        .str("process_fd1", p->fd1)
        .id("process_xdg_session_id", static_cast<uint32_t>(p->xdg_session_id));
    ids_text(m, p, s_child_uids);
    m.str("process_path_permit", p->path_permit)
        .id("process_owner_id", p->ids[8])
        .str("container_id", container_text(p->container_id));
}

void parent_text(json_text_obj &m, const process_st *p) {
    m.id("parent_pid", static_cast<uint32_t>(p->pid))
        .str("parent_pguid", p->guid)
        .str("parent_ppath", p->path)
        .str("parent_pmd5", p->md5)
        .str("parent_psha256", p->sha256)
        .num("parent_createtime", p->createtime)
        .str("parent_pcmd_line", p->cmd_line)
        .str("parent_puser_name", p->user_name)
        .str("parent_papp_type", p->app_type)
        .str("parent_pgroup_name", p->group_name);
    ids_text(m, p, s_parent_uids);
    m.str("parent_ppath_permit", p->path_permit).id("parent_powner_id", p->ids[8]);
}

int upload_text(const std::string &text, int32_t type, const char *what) {
    KIV_LOG(type == UPLOAD_PROC_EXEC ? 3 : 4, "%s: %s\n", what, text.c_str());
    if (mod_manager_upload(text.data(), static_cast<uint32_t>(text.size()), type, 0) != 0) {
        KIV_LOG(3, "upload error!\n");
        return -1;
    }
    return 0;
}

}  // namespace

int format_upload_info(int index, cJSON *message, cJSON *envelope, const process_st *item) {
    if (!message || !envelope || !item) return -1;
    if (index == 1) return format_parent_info(message, item) ? 0 : -1;
    if (index != 0) return 0;
    upload_header hdr;
    if (get_log_ctm_header(&hdr) != 0) {
        KIV_LOG(1, "get header fail\n");
        cJSON_Delete(message);
        return -1;
    }
    if (!format_header_info(message, &hdr, "PROCESS_CREATION", "Process Creation") ||
        !format_child_info(message, item)) {
        cJSON_Delete(message);
        return -1;
    }
    // The message keys go in first: the envelope prints "message" as its last member.
    return format_upload_header(envelope, message, &hdr) == 0 ? 0 : -1;
}

int upload_task_create_event(const void *items, int count, int mode) {
    return upload_task_create_event(items, count, mode, nullptr);
}

int upload_task_create_event(const void *items, int count, int mode, const char *loader_path) {
    if (mode != UPLOAD_ITEMS_ARRAY && mode != UPLOAD_ITEMS_PTRS) {
        KIV_LOG(1, "unknown type is %d\n", mode);
        return 0;
    }
    if (!items || count < 1 || upload_item(items, 0, mode)->pid == 0) {
        KIV_LOG(1, "no process to upload, items %p count %d\n", items, count);
        kiv_stat_inc(TASK_CREATE_UPLOAD_FAIL_CNT);
        return -1;
    }
    upload_header hdr;
    if (get_log_ctm_header(&hdr) != 0) {
        KIV_LOG(1, "get header fail\n");
        kiv_stat_inc(TASK_CREATE_UPLOAD_FAIL_CNT);
        return -1;
    }
    // The bytes format_upload_info's tree prints, written directly.
    json_text_buffer buf;
    json_text_obj envelope(buf.text());
    upload_header_text(envelope, hdr);
    json_text_obj message = envelope.object("message");
    record_head_text(message, hdr, "PROCESS_CREATION", "Process Creation");
    child_text(message, upload_item(items, 0, mode), loader_path);
    if (count > 1 && upload_item(items, 1, mode)->pid != 0)
        parent_text(message, upload_item(items, 1, mode));
    message.raw("proc_trees", "[]");
    message.close();
    envelope.close();
    int ret = upload_text(buf.text(), UPLOAD_PROC_EXEC, "task create upload");
    kiv_stat_inc(ret == 0 ? TASK_CREATE_UPLOAD_SUC_CNT : TASK_CREATE_UPLOAD_FAIL_CNT);
    return ret;
}

cJSON *upload_exit_info_build(const fork_info_st *fork_info) {
    if (!fork_info || !fork_info->exec_info || !fork_info->exec_info->flex) {
        KIV_LOG(1, "exit record without process info %p\n", (const void *)fork_info);
        return nullptr;
    }
    cJSON *envelope = cJSON_CreateObject();
    if (!envelope) {
        KIV_LOG(1, "create upload json fail\n");
        return nullptr;
    }
    cJSON *message = cJSON_CreateObject();
    if (!message) {
        KIV_LOG(1, "create info json fail\n");
        cJSON_Delete(envelope);
        return nullptr;
    }
    upload_header hdr;
    if (get_log_ctm_header(&hdr) != 0) {
        KIV_LOG(1, "get header fail\n");
        cJSON_Delete(message);
        cJSON_Delete(envelope);
        return nullptr;
    }
    char guid[PROC_GUID_LEN], path_text[1024], container[PROC_CONTAINER_LEN];
    exit_names(fork_info, guid, path_text, container);

    bool ok = format_header_info(message, &hdr, "PROCESS_EXIT", "Process Exit") &&
              add_signed(message, "process_id", fork_info->pid) &&
              add_signed(message, "process_exit_code", fork_info->exit_code) &&
              add_str(message, "process_guid", guid) &&
              add_str(message, "process_path", path_text) &&
              add_u64(message, "process_createtime", fork_info->create_time) &&
              add_str(message, "container_id", container_text(container));
    if (!ok) {
        cJSON_Delete(message);
        cJSON_Delete(envelope);
        return nullptr;
    }
    if (format_upload_header(envelope, message, &hdr) != 0) {
        cJSON_Delete(envelope);
        return nullptr;
    }
    return envelope;
}

bool upload_exit_text(const fork_info_st *fork_info, std::string &out) {
    out.clear();
    if (!fork_info || !fork_info->exec_info || !fork_info->exec_info->flex) {
        KIV_LOG(1, "exit record without process info %p\n", (const void *)fork_info);
        return false;
    }
    upload_header hdr;
    if (get_log_ctm_header(&hdr) != 0) {
        KIV_LOG(1, "get header fail\n");
        return false;
    }
    char guid[PROC_GUID_LEN], path_text[1024], container[PROC_CONTAINER_LEN];
    exit_names(fork_info, guid, path_text, container);
    json_text_obj envelope(out);
    upload_header_text(envelope, hdr);
    json_text_obj message = envelope.object("message");
    record_head_text(message, hdr, "PROCESS_EXIT", "Process Exit");
    message.id("process_id", fork_info->pid)
        .id("process_exit_code", fork_info->exit_code)
        .str("process_guid", guid)
        .str("process_path", path_text)
        .num("process_createtime", fork_info->create_time)
        .str("container_id", container_text(container));
    message.close();
    envelope.close();
    return true;
}

int upload_exit_text_send(const std::string &text) {
    int ret = text.empty() ? -1 : upload_text(text, UPLOAD_PROC_EXIT, "task exit upload");
    kiv_stat_inc(ret == 0 ? TASK_EXIT_UPLOAD_SUC_CNT : TASK_EXIT_UPLOAD_FAIL_CNT);
    return ret;
}

int upload_exit_info(const fork_info_st *fork_info) {
    json_text_buffer buf;
    upload_exit_text(fork_info, buf.text());
    return upload_exit_text_send(buf.text());
}

int format_tree_info(cJSON *array, const process_st *p) {
    cJSON *o = cJSON_CreateObject();
    if (!o) {
        KIV_LOG(1, "create node json fail\n");
        return -1;
    }
    bool ok = add_signed(o, "process_id", static_cast<uint32_t>(p->pid)) &&
              add_str(o, "process_guid", p->guid) && add_str(o, "process_path", p->path) &&
              add_str(o, "process_md5", p->md5) && add_str(o, "process_sha256", p->sha256) &&
              add_str(o, "process_cmd_line", p->cmd_line) &&
              add_str(o, "process_user_name", p->user_name) &&
              add_str(o, "process_app_type", p->app_type) && add_ids(o, p, s_child_uids) &&
              add_str(o, "process_path_permit", p->path_permit) &&
              add_signed(o, "process_owner_id", p->ids[8]) &&
              add_str(o, "process_group_name", p->group_name);
    if (!ok || !cJSON_AddItemToArray(array, o)) {
        KIV_LOG(1, "create node json fail\n");
        cJSON_Delete(o);
        return -1;
    }
    return 0;
}

void proc_trees_text(json_text_obj &m, int mode) {
    if (mode != PROC_TREE_POP && mode != PROC_TREE_PICK) KIV_ASSERT(0);
    m.array("proc_trees", [mode](std::string &out) {
        for (int i = 0; i < PROC_TREES_MAX; i++) {
            const process_st *p = mode == PROC_TREE_POP ? _pop_process_info() : _pick_process_info(i);
            if (!p) break;
            if (i) out += ',';
            json_text_obj o(out);
            o.id("process_id", static_cast<uint32_t>(p->pid))
                .str("process_guid", p->guid)
                .str("process_path", p->path)
                .str("process_md5", p->md5)
                .str("process_sha256", p->sha256)
                .str("process_cmd_line", p->cmd_line)
                .str("process_user_name", p->user_name)
                .str("process_app_type", p->app_type);
            ids_text(o, p, s_child_uids);
            o.str("process_path_permit", p->path_permit)
                .id("process_owner_id", p->ids[8])
                .str("process_group_name", p->group_name);
            o.close();
        }
    });
}

KIV_API int format_proc_tree(cJSON *object, int mode) {
    if (mode != PROC_TREE_POP && mode != PROC_TREE_PICK) KIV_ASSERT(0);
    cJSON *array = cJSON_CreateArray();
    if (!array) {
        KIV_LOG(1, "cJSON_CreateArray tree fail\n");
        return -1;
    }
    for (int i = 0; i < PROC_TREES_MAX; i++) {
        const process_st *p = mode == PROC_TREE_POP ? _pop_process_info() : _pick_process_info(i);
        if (!p || format_tree_info(array, p) != 0) break;
    }
    if (!cJSON_AddItemToObject(object, "proc_trees", array)) {
        KIV_LOG(1, "cJSON_CreateArray tree fail\n");
        cJSON_Delete(array);
        return -1;
    }
    return 0;
}

int task_create_upload_handle(char *msg, kiv_msg_ctx *ctx) {
    (void)msg;
    auto *tree = ctx ? static_cast<proc_tree *>(ctx->priv[0]) : nullptr;
    if (!tree) {
        KIV_LOG(1, "proc_tree is NULL\n");
        return MSG_HOOK_DROP;
    }
    ctx->priv[0] = nullptr;
    const process_st *self = &tree->items[0];
    ftree_key key{self->createtime, static_cast<uint32_t>(self->pid)};
    KIV_LOG(4, "task_create_upload_handle: pid is %d\n", self->pid);

    fork_node *node = nullptr;
    int found;
    bool reported, new_image = false;
    {
        // The flag only changes under the write lock, so reading it needs no more than this.
        rwlock_read_guard g(&g_task_info.ftree_lock);
        found = ftree_search(g_task_info.ftree, &key, &node);
        reported = found == 0 && (node->fork_info.flags & FORK_INFO_CREATE_REPORTED);
        // An earlier image of the process was reported, not this exec's. An exec older than
        // the reported image (overtaken while it waited for its digests) would come after it,
        // out of order, and is not reported.
        new_image = reported && g_task_info.report_every_exec &&
                    task_event_id_cmp(tree->exec_event_id, node->fork_info.reported_event_id) > 0;
    }
    if (reported && !new_image) {
        task_exec_tree_put(tree);
        return MSG_HOOK_ACCEPT;
    }
    if (found != 0) KIV_LOG(3, "can't find pid %d\n", self->pid);

    // The process is marked as reported already when a later image of it goes.
    if (new_image || proc_need_upload(&key)) {
        int ret =
            upload_task_create_event(tree->items, static_cast<int>(tree->count), UPLOAD_ITEMS_ARRAY,
                                     tree->loader_path[0] ? tree->loader_path : nullptr);
        if (ret != 0) {
            KIV_LOG(1, "upload_task_create_event failed, ret is %d\n", ret);
            task_exec_tree_put(tree);
            return MSG_HOOK_DROP;
        }
    }

    bool queue_exit = false;
    {
        rwlock_write_guard g(&g_task_info.ftree_lock);
        if (ftree_search(g_task_info.ftree, &key, &node) == 0) {
            fork_info_st *fi = &node->fork_info;
            fi->flags |= FORK_INFO_CREATE_REPORTED;
            fi->reported_event_id = tree->exec_event_id;
            // The exit came first and waited for the creation to be reported.
            if ((fi->flags & FORK_INFO_EXITED) &&
                fork_info_exit_upload_state(fi) == EXIT_UPLOAD_NONE) {
                fork_info_set_exit_upload_state(fi, EXIT_UPLOAD_QUEUED);
                queue_exit = true;
            }
        }
    }
    if (queue_exit) add_upload_exit_event(key.pid, key.create_time);
    task_exec_tree_put(tree);
    return MSG_HOOK_ACCEPT;
}
