#include "limit_report.h"

#include <pwd.h>

#include <string>
#include <vector>

namespace kivhost {

namespace {

// The account name of uid, or empty.
std::string user_name(uint32_t uid) {
    struct passwd pw, *out = nullptr;
    std::vector<char> buf(4096);
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &out) != 0 || out == nullptr) return "";
    return out->pw_name;
}

}  // namespace

cJSON *limit_drops_json(LimitDropsFn take) {
    if (take == nullptr) return nullptr;
    cJSON *arr = nullptr;
    kiv_limit_drop d[64];
    for (int n; (n = take(d, 64)) > 0;) {
        for (int i = 0; i < n; i++) {
            if (!arr) arr = cJSON_CreateArray();
            cJSON *o = cJSON_CreateObject();
            d[i].limit[sizeof d[i].limit - 1] = '\0';
            d[i].subject[sizeof d[i].subject - 1] = '\0';
            cJSON_AddStringToObject(o, "limit", d[i].limit);
            if (d[i].uid != KIV_LIMIT_ANY_USER) {
                cJSON_AddNumberToObject(o, "uid", d[i].uid);
                std::string name = user_name(d[i].uid);
                if (!name.empty()) cJSON_AddStringToObject(o, "user", name.c_str());
            }
            static const char *const keys[] = {"executable", "peer", "destination"};
            if (d[i].subject[0] && d[i].subject_kind >= 0 && d[i].subject_kind < 3)
                cJSON_AddStringToObject(o, keys[d[i].subject_kind], d[i].subject);
            cJSON_AddNumberToObject(o, "dropped", double(d[i].dropped));
            cJSON_AddItemToArray(arr, o);
        }
        if (n < 64) break;
    }
    return arr;
}

}  // namespace kivhost
