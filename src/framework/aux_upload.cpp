#include "framework/aux_upload.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <string>

#include "base/log.h"
#include "base/mem.h"
#include "comm/json_add.h"
#include "qxkiv/qxkiv.h"

bool aux_add_process_block(cJSON *m, const process_st_public *p, const char *prefix) {
    char key[64];
    auto k = [&](const char *name) {
        snprintf(key, sizeof key, "%s%s", prefix, name);
        return key;
    };
    return add_int(m, k("process_id"), p->pid) && add_str(m, k("process_guid"), p->guid) &&
           add_str(m, k("process_path"), p->path) && add_str(m, k("process_md5"), p->md5) &&
           add_str(m, k("process_sha256"), p->sha256) &&
           add_u64(m, k("process_createtime"), p->createtime) &&
           add_str(m, k("process_cmd_line"), p->cmd_line) &&
           add_str(m, k("process_user_name"), p->user_name) &&
           add_str(m, k("process_group_name"), p->group_name);
}

namespace {

int format_upload_message(cJSON *m, const upload_header &h, const aux_event_desc &desc,
                          const process_st_public *p, aux_fill_fn fill, const void *arg) {
    bool ok = add_strn(m, "record_time", h.send_time) &&
              add_u64(m, "record_timestamp", h.send_timestamp) &&
              add_str(m, "event_id", desc.event_id) && add_str(m, "event_name", desc.event_name) &&
              (!fill || fill(m, arg)) && aux_add_process_block(m, p, "");
    if (!ok) return -1;
    if (format_proc_tree(m, PROC_TREE_MODE_POP) != 0) {
        KIV_LOG(1, "format_proc_tree fail.\n\n");
        return -1;
    }
    return 0;
}

int build_and_log(const process_st_public *p, const aux_event_desc &desc, aux_fill_fn fill,
                  const void *arg) {
    upload_header h;
    if (get_log_ctm_header(&h) != 0) {
        KIV_LOG(1, "get_log_ctm_header fail.\n");
        return -1;
    }
    cJSON *root = cJSON_CreateObject();
    if (!root) {
        KIV_LOG(1, "create upload info json fail\n");
        return -1;
    }
    cJSON *m = cJSON_CreateObject();
    if (!m) {
        KIV_LOG(1, "create message info json fail\n");
        cJSON_Delete(root);
        return -1;
    }
    if (format_upload_message(m, h, desc, p, fill, arg) != 0) {
        KIV_LOG(1, "format_upload_message fail\n");
        cJSON_Delete(m);
        cJSON_Delete(root);
        return -1;
    }
    if (format_upload_header(root, m, &h) != 0) {
        KIV_LOG(1, "format_upload_header fail\n");
        cJSON_Delete(root);
        return -1;
    }
    char *text = cJSON_PrintUnformatted(root);
    cJSON_Delete(root);
    if (!text) {
        KIV_LOG(1, "cJSON_PrintUnformatted fail\n");
        return -1;
    }
    KIV_LOG(3, "%s upload: %s\n", desc.log_label, text);
    cJSON_free(text);
    return 0;
}

}  // namespace

int aux_upload_event(uint32_t pid, uint64_t create_time, const aux_event_desc &desc,
                     aux_fill_fn fill, const void *arg) {
    int ret = query_tgid_info(static_cast<int>(pid), create_time, PROC_QUERY_MAX_DEPTH);
    if (ret < 0) {
        KIV_LOG(3, "query_process_info fail. ret: %d\n\n", ret);
        kiv_stat_inc(desc.fail_stat);
        return -1;
    }
    const auto *p = reinterpret_cast<const process_st_public *>(_pop_process_info());
    if (!p) {
        KIV_LOG(1, "pop_process_info fail\n");
        kiv_stat_inc(desc.fail_stat);
        return -1;
    }
    ret = build_and_log(p, desc, fill, arg);
    kiv_stat_inc(ret == 0 ? desc.suc_stat : desc.fail_stat);
    return ret;
}
