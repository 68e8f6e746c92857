/* A host linked with -lqxkiv and nothing else: the library's exported cJSON functions are all
 * it needs to read and write documents. Exits 0 when the round trip holds. */
#include <cjson/cJSON.h>
#include <stdio.h>
#include <string.h>

#include "qxkiv/qxkiv.h"

int main(void) {
    const char *text = "{\"seq_id\":\"7\",\"message\":{\"process_id\":42,\"tags\":[\"a\",null]}}";
    cJSON *doc = cJSON_Parse(text);
    if (!doc) return fprintf(stderr, "cJSON_Parse failed near %s\n", cJSON_GetErrorPtr()), 1;
    const cJSON *msg = cJSON_GetObjectItemCaseSensitive(doc, "message");
    const cJSON *pid = cJSON_GetObjectItemCaseSensitive(msg, "process_id");
    int ok = cJSON_IsNumber(pid) && pid->valueint == 42 &&
             cJSON_GetArraySize(cJSON_GetObjectItem(msg, "tags")) == 2;
    cJSON_AddStringToObject(doc, "app_name", "opx-linux");
    char *out = cJSON_PrintUnformatted(doc);
    ok = ok && out && strstr(out, ",\"app_name\":\"opx-linux\"}") != NULL;
    cJSON_free(out);
    cJSON_Delete(doc);
    /* And a call into the library proper, so it is a host and not only a cJSON user. */
    ok = ok && strcmp(get_mgr_ip(), "255.255.255.255") == 0;
    if (!ok) fprintf(stderr, "kiv_json_host: round trip failed\n");
    return ok ? 0 : 1;
}
