#include "ecs.h"

#include "host_core.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <sys/utsname.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "comm/community_id.h"
#include "host_core.h"
#include "qxkiv/qxkiv.h"

namespace kivhost {

namespace {

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// ---- reading the native document -----------------------------------------------------------

// The members of each object read during one mapping, sorted by name: the rules ask for some
// fifty names of a process record, and a scan of its members for each costs more than the
// rest of the mapping. Forgotten when a mapping begins and ends, so no object outlives its
// entry; the storage stays for the next document.
struct Members {
    const cJSON *of = nullptr;
    std::vector<std::pair<std::string_view, const cJSON *>> by_name;
};
thread_local std::vector<Members> t_members;
thread_local size_t t_members_used = 0;

const cJSON *item(const cJSON *o, const char *key) {
    if (o == nullptr) return nullptr;
    Members *m = nullptr;
    for (size_t i = 0; i < t_members_used && m == nullptr; ++i)
        if (t_members[i].of == o) m = &t_members[i];
    if (m == nullptr) {
        if (t_members_used == t_members.size()) t_members.emplace_back();
        m = &t_members[t_members_used++];
        m->of = o;
        m->by_name.clear();
        for (const cJSON *c = o->child; c != nullptr; c = c->next)
            if (c->string != nullptr) m->by_name.emplace_back(c->string, c);
        // Stable: of two members of one name, the first is found, as cJSON finds it.
        std::stable_sort(m->by_name.begin(), m->by_name.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
    }
    const std::string_view k(key);
    auto it = std::lower_bound(m->by_name.begin(), m->by_name.end(), k,
                               [](const auto &e, std::string_view v) { return e.first < v; });
    return it != m->by_name.end() && it->first == k ? it->second : nullptr;
}

std::string_view text(const cJSON *o, const char *key) {
    const cJSON *it = item(o, key);
    return cJSON_IsString(it) && it->valuestring ? it->valuestring : std::string_view();
}
bool number(const cJSON *o, const char *key, double *v) {
    const cJSON *it = item(o, key);
    if (!cJSON_IsNumber(it) || !std::isfinite(it->valuedouble)) return false;
    *v = it->valuedouble;
    return true;
}
// A number, or a string holding one ("seq_id", "tz_secondes").
bool integer(const cJSON *o, const char *key, int64_t *v) {
    double d;
    if (number(o, key, &d)) return d >= -9.2e18 && d <= 9.2e18 && (*v = int64_t(d), true);
    std::string_view s = text(o, key);
    if (s.empty() || s.size() > 20) return false;
    std::string t(s);
    char *end = nullptr;
    errno = 0;
    long long n = strtoll(t.c_str(), &end, 10);
    return *end == '\0' && errno == 0 && (*v = n, true);
}

bool is_ip(std::string_view s) {
    unsigned char buf[16];
    std::string t(s);
    return !t.empty() &&
           (inet_pton(AF_INET, t.c_str(), buf) == 1 || inet_pton(AF_INET6, t.c_str(), buf) == 1);
}

std::string_view base_name(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// "2026-01-02T03:04:05.123Z"; empty for a time before 1970 or past 9999.
std::string iso_time(int64_t ms) {
    if (ms <= 0 || ms >= 253402300800000LL) return {};
    time_t sec = static_cast<time_t>(ms / 1000);
    struct tm tm;
    char b[40];
    if (!gmtime_r(&sec, &tm)) return {};
    size_t n = strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &tm);
    snprintf(b + n, sizeof b - n, ".%03dZ", int(ms % 1000));
    return b;
}

// "rwsr-xr-x" (as file records print it) to "4755"; empty when it is not such a text.
std::string octal_mode(std::string_view perm) {
    if (perm.size() != 9) return {};
    unsigned mode = 0;
    for (size_t i = 0; i < 9; i++) {
        const char c = perm[i], plain = "rwxrwxrwx"[i];
        const bool special = i % 3 == 2 && (c == "sst"[i / 3] || c == "SST"[i / 3]);
        if (c != plain && c != '-' && !special) return {};
        if (c == plain || c == "sst"[i / 3]) mode |= 1u << (8 - i);
        if (special) mode |= 1u << (11 - i / 3);
    }
    char b[8];
    snprintf(b, sizeof b, "%04o", mode);
    return b;
}

// ---- writing the ECS document ----------------------------------------------------------------

class Doc {
  public:
    Doc() : root_(cJSON_CreateObject(), cJSON_Delete) {}
    cJSON *root() const { return root_.get(); }

    // Puts v at the dotted path, making the objects on the way; a path already set (or one
    // running through a value that is not an object) keeps what it has.
    void put(std::string_view path, cJSON *v) {
        cJSON *at = root_.get();
        while (v) {
            size_t dot = path.find('.');
            std::string key(path.substr(0, dot));
            cJSON *next = cJSON_GetObjectItemCaseSensitive(at, key.c_str());
            if (dot == std::string_view::npos) {
                if (!next) return (void)cJSON_AddItemToObject(at, key.c_str(), v);
                break;
            }
            if (!next) next = cJSON_AddObjectToObject(at, key.c_str());
            if (!cJSON_IsObject(next)) break;
            at = next, path.remove_prefix(dot + 1);
        }
        cJSON_Delete(v);
    }
    void str(std::string_view path, std::string_view s) {
        if (!s.empty()) put(path, cJSON_CreateString(std::string(s).c_str()));
    }
    void num(std::string_view path, double v) { put(path, cJSON_CreateNumber(v)); }
    void date(std::string_view path, int64_t ms) { str(path, iso_time(ms)); }
    void strings(std::string_view path, const std::vector<std::string> &v) {
        if (v.empty()) return;
        cJSON *a = cJSON_CreateArray();
        for (const std::string &s : v) cJSON_AddItemToArray(a, cJSON_CreateString(s.c_str()));
        put(path, a);
    }
    // related.*: every address, user and digest the event names, once each.
    void related(const char *kind, std::string_view v) {
        if (!v.empty()) related_[kind].insert(std::string(v));
    }
    void finish() {
        for (auto &[kind, set] : related_)
            strings(std::string("related.") + kind, {set.begin(), set.end()});
    }

  private:
    Json root_;
    std::map<std::string, std::set<std::string>> related_;
};

// ---- the acting process and its ancestry ---------------------------------------------------

enum Conv {
    kText,    // a non-empty string
    kLong,    // a number
    kId,      // a user or group id as ECS keeps them (text); unset (-1) left out
    kExe,     // an executable: its name too
    kCmd,     // a command line: its arguments too (split at blanks)
    kCreate,  // a create time: raw under qxkiv, and the start when boot time is known
};

// A native key, where it goes (below the process's place; "~" for our own names, which go
// below qxkiv.<place>) and how.
struct Rule {
    const char *native, *path;
    Conv conv;
};

constexpr Rule kProcessRules[] = {
    {"process_id", "pid", kLong},
    {"process_guid", "entity_id", kText},
    {"process_path", "executable", kExe},
    {"process_md5", "hash.md5", kText},
    {"process_sha256", "hash.sha256", kText},
    {"process_createtime", "start", kCreate},
    {"process_cmd_line", "command_line", kCmd},
    {"process_user_name", "user.name", kText},
    {"process_group_name", "group.name", kText},
    {"current_dir", "working_directory", kText},
    {"process_exit_code", "exit_code", kLong},
    {"process_ruid", "real_user.id", kId},
    {"process_euid", "user.id", kId},
    {"process_suid", "saved_user.id", kId},
    {"process_rgid", "real_group.id", kId},
    {"process_egid", "group.id", kId},
    {"process_sgid", "saved_group.id", kId},
    {"process_fuid", "~fsuid", kId},
    {"process_gfuid", "~fsgid", kId},
    {"process_fd0", "~fd0", kText},
    {"process_fd1", "~fd1", kText},
    {"process_xdg_session_id", "~xdg_session_id", kLong},
    {"process_path_permit", "~path_permit", kText},
    {"process_owner_id", "~owner_id", kLong},
    {"process_app_type", "~app_type", kText},
};

constexpr Rule kParentRules[] = {
    {"parent_pid", "pid", kLong},
    {"parent_pguid", "entity_id", kText},
    {"parent_ppath", "executable", kExe},
    {"parent_pmd5", "hash.md5", kText},
    {"parent_psha256", "hash.sha256", kText},
    {"parent_createtime", "start", kCreate},
    {"parent_pcmd_line", "command_line", kCmd},
    {"parent_puser_name", "user.name", kText},
    {"parent_pgroup_name", "group.name", kText},
    {"parent_pruid", "real_user.id", kId},
    {"parent_peuid", "user.id", kId},
    {"parent_psuid", "saved_user.id", kId},
    {"parent_prgid", "real_group.id", kId},
    {"parent_pegid", "group.id", kId},
    {"parent_psgid", "saved_group.id", kId},
    {"parent_pfuid", "~fsuid", kId},
    {"pparent_pgfuid", "~fsgid", kId},
    {"parent_papp_type", "~app_type", kText},
    {"parent_ppath_permit", "~path_permit", kText},
    {"parent_powner_id", "~owner_id", kLong},
};

// Writes what rules find in src below place ("process", "process.parent"), our own names
// below qxkiv.<place>; with place empty (an ancestor: all of it our own) every name goes
// below custom. Each native key it used goes into used.
template <size_t N>
void map_rules(Doc &d, const cJSON *src, const Rule (&rules)[N], const std::string &place,
               const std::string &custom, const EcsOptions &o, std::set<std::string> *used) {
    for (const Rule &r : rules) {
        const cJSON *v = item(src, r.native);
        if (!v) continue;
        if (used) used->insert(r.native);
        const bool own = r.path[0] == '~';
        const std::string rel = own ? r.path + 1 : r.path;
        std::string path = (own || place.empty() ? custom : place) + "." + rel;
        // ECS 8 has no process.group: the actor's effective group is its user's, as Auditbeat
        // writes it (its parent's has a place of its own).
        if (place == "process" && rel.rfind("group.", 0) == 0) path = "user." + rel;
        std::string_view s = text(src, r.native);
        double n = 0;
        const bool isnum = number(src, r.native, &n);
        switch (r.conv) {
            case kText:
                // A digest of zeros is one that was never taken.
                if (rel.rfind("hash.", 0) == 0 &&
                    s.find_first_not_of('0') == std::string_view::npos)
                    break;
                d.str(path, s);
                if (rel.rfind("hash.", 0) == 0) d.related("hash", s);
                if (rel == "user.name") d.related("user", s);
                break;
            case kLong:
                if (isnum) d.num(path, std::trunc(n));
                break;
            case kId:
                if (isnum && n >= 0 && n <= 4294967295.0)
                    d.str(path, std::to_string(static_cast<uint64_t>(n)));
                break;
            case kExe:
                d.str(path, s);
                d.str((place.empty() ? custom : place) + ".name", base_name(s));
                break;
            case kCmd: {
                d.str(path, s);
                if (place.empty()) break;
                std::vector<std::string> args;
                for (size_t at = 0; at < s.size();) {
                    size_t blank = std::min(s.find(' ', at), s.size());
                    if (blank > at) args.emplace_back(s.substr(at, blank - at));
                    at = blank + 1;
                }
                d.strings(place + ".args", args);
                if (!args.empty()) d.num(place + ".args_count", double(args.size()));
                break;
            }
            case kCreate:
                if (!isnum) break;
                d.num(custom + ".createtime", n);
                if (o.boot_time_ms > 0 && !place.empty())
                    d.date(path, o.boot_time_ms + static_cast<int64_t>(n / 1e6));
                break;
        }
    }
}

// The ancestry: the nearest process that is not the actor itself is the parent (unless the
// document named one), the rest go, nearest first, to qxkiv.process.ancestors.
void map_tree(Doc &d, const cJSON *msg, const EcsOptions &o, bool have_parent) {
    const cJSON *tree = item(msg, "proc_trees");
    cJSON *ancestors = cJSON_CreateArray();
    const cJSON *node;
    cJSON_ArrayForEach(node, tree) {
        if (!cJSON_IsObject(node)) continue;
        if (text(node, "process_guid") == text(msg, "process_guid") &&
            !text(msg, "process_guid").empty())
            continue;  // the actor itself
        if (!have_parent) {
            map_rules(d, node, kProcessRules, "process.parent", "qxkiv.process.parent", o, nullptr);
            have_parent = true;
            continue;
        }
        Doc one;
        map_rules(one, node, kProcessRules, "", "a", o, nullptr);
        cJSON *a = cJSON_DetachItemFromObjectCaseSensitive(one.root(), "a");
        if (a) cJSON_AddItemToArray(ancestors, a);
    }
    if (cJSON_GetArraySize(ancestors) > 0)
        d.put("qxkiv.process.ancestors", ancestors);
    else
        cJSON_Delete(ancestors);
}

// ---- what each upload type is ----------------------------------------------------------------

struct Kind {
    int32_t type;
    const char *action, *kind;
    const char *categories[2], *types[2];
};

constexpr Kind kKinds[] = {
    {UPLOAD_APP_LOG, "log-line", "event", {}, {}},
    {UPLOAD_FILE_MOD, "file-modified", "event", {"file"}, {"change"}},
    {UPLOAD_PROC_EXEC, "process-started", "event", {"process"}, {"start"}},
    {UPLOAD_NET_SCAN, "port-scan", "alert", {"network", "intrusion_detection"}, {"info"}},
    {UPLOAD_NET_LISTENING, "socket-listening", "event", {"network"}, {"start"}},
    {UPLOAD_NET_CONNECT, "network-connection", "event", {"network"}, {"connection", "start"}},
    {UPLOAD_DNS_QUERY, "dns-query", "event", {"network"}, {"protocol"}},
    {UPLOAD_FILE_DELETE, "file-deleted", "event", {"file"}, {"deletion"}},
    {UPLOAD_FILE_CRATE, "file-created", "event", {"file"}, {"creation"}},
    {UPLOAD_FILE_MOVE, "file-renamed", "event", {"file"}, {"change"}},
    {UPLOAD_PROC_EXIT, "process-exited", "event", {"process"}, {"end"}},
    {kHealthType, "sensor-health", "metric", {"host"}, {"info"}},
};

void event_kind(Doc &d, const char *kind, std::vector<std::string> cats,
                std::vector<std::string> types) {
    d.str("event.kind", kind);
    d.strings("event.category", cats);
    d.strings("event.type", types);
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}

// ---- network --------------------------------------------------------------------------------

// An endpoint, its address in related.ip.
void endpoint(Doc &d, const char *place, std::string_view ip, const cJSON *src, const char *port) {
    if (is_ip(ip)) d.str(std::string(place) + ".ip", ip), d.related("ip", ip);
    double p;
    if (number(src, port, &p) && p >= 0 && p <= 65535) d.num(std::string(place) + ".port", p);
}

// network.transport, type and iana_number, and the Community ID of the flow when both ends
// are known; otherwise the one the document carries.
void flow(Doc &d, const cJSON *src, std::string_view proto, const char *sip, const char *sport,
          const char *dip, const char *dport, const EcsOptions &o) {
    const std::string transport = lower(proto);
    d.str("network.transport", transport);
    std::string_view s = text(src, sip), dst = text(src, dip);
    if (is_ip(s)) d.str("network.type", s.find(':') != std::string_view::npos ? "ipv6" : "ipv4");
    const uint8_t number_of = community_proto_number(transport.c_str());
    if (number_of) d.str("network.iana_number", std::to_string(number_of));
    double sp = 0, dp = 0;
    char id[COMMUNITY_ID_LEN];
    if (number_of && number(src, sport, &sp) && number(src, dport, &dp) &&
        community_id_v1(std::string(s).c_str(), uint16_t(sp), std::string(dst).c_str(),
                        uint16_t(dp), number_of, o.community_id_seed, id))
        d.str("network.community_id", id);
    else
        d.str("network.community_id", text(src, "community_id"));
}

void map_dns(Doc &d, const cJSON *m) {
    d.str("dns.question.name", text(m, "query_name"));
    d.str("network.protocol", "dns");
    std::string_view results = text(m, "query_results"), server = text(m, "dst_ip");
    // Unanswered, the results name the server asked; without it known the text stays whole.
    if (server.empty()) return d.str("qxkiv.dns.query_results", results);
    std::vector<std::string> ips;
    for (size_t at = 0; results != server && at < results.size();) {
        size_t comma = std::min(results.find(',', at), results.size());
        if (is_ip(results.substr(at, comma - at))) ips.emplace_back(results.substr(at, comma - at));
        at = comma + 1;
    }
    d.str("dns.type", ips.empty() ? "query" : "answer");
    d.strings("dns.resolved_ip", ips);
    cJSON *answers = cJSON_CreateArray();
    std::set<std::string> types;
    for (const std::string &ip : ips) {
        const char *t = ip.find(':') != std::string::npos ? "AAAA" : "A";
        types.insert(t);
        cJSON *a = cJSON_CreateObject();
        cJSON_AddStringToObject(a, "data", ip.c_str());
        cJSON_AddStringToObject(a, "type", t);
        cJSON_AddItemToArray(answers, a);
        d.related("ip", ip);
    }
    if (types.size() == 1) d.str("dns.question.type", *types.begin());
    if (ips.empty()) return cJSON_Delete(answers);
    d.put("dns.answers", answers);
}

// ---- files ------------------------------------------------------------------------------------

void file_path(Doc &d, const std::string &place, std::string_view path) {
    if (path.empty()) return;
    d.str(place + ".path", path);
    std::string_view name = base_name(path);
    d.str(place + ".name", name);
    size_t slash = path.rfind('/');
    if (slash != std::string_view::npos)
        d.str(place + ".directory", slash ? path.substr(0, slash) : "/");
    size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0 && dot + 1 < name.size())
        d.str(place + ".extension", name.substr(dot + 1));
}

void map_file(Doc &d, const cJSON *m, std::set<std::string> &used) {
    for (const char *k :
         {"file_name", "is_exist", "file_atime", "file_mtime", "file_ctime", "file_user_name",
          "file_group_name", "file_permissions", "type", "file_suffix"})
        used.insert(k);
    // The second record of a rename names the old path, as other agents' file.Ext.original.
    double exists = 1;
    if (number(m, "is_exist", &exists) && exists == 0) {
        file_path(d, "qxkiv.file.original", text(m, "file_name"));
    } else {
        file_path(d, "file", text(m, "file_name"));
    }
    // Times of 0: the file could not be examined (gone), and its owner and mode are unknown.
    double ctime = 0;
    if (number(m, "file_ctime", &ctime) && ctime > 0) {
        double t;
        if (number(m, "file_atime", &t) && t > 0) d.date("file.accessed", int64_t(t) * 1000);
        if (number(m, "file_mtime", &t) && t > 0) d.date("file.mtime", int64_t(t) * 1000);
        d.date("file.ctime", int64_t(ctime) * 1000);
        d.str("file.owner", text(m, "file_user_name"));
        d.str("file.group", text(m, "file_group_name"));
        d.str("file.mode", octal_mode(text(m, "file_permissions")));
    }
    for (const char *k : {"type", "file_suffix"}) {
        std::string_view v = text(m, k);
        if (v == "-") continue;
        d.str(std::string("qxkiv.file.") + (k[0] == 't' ? "content_type" : "suffix"), v);
        if (k[0] == 't' && !v.empty()) d.str("file.type", "file");  // only files are typed
    }
}

// ---- block reports ---------------------------------------------------------------------------

struct BlockOp {
    const char *kind, *op, *category, *type;
};
constexpr BlockOp kBlockOps[] = {
    {"file", "create", "file", "creation"},      {"file", "delete", "file", "deletion"},
    {"file", "access", "file", "access"},        {"file", "rename", "file", "change"},
    {"file", "modify", "file", "change"},        {"file", "mkdir", "file", "creation"},
    {"file", "rmdir", "file", "deletion"},       {"file", "symlink", "file", "creation"},
    {"file", "chmod", "file", "change"},         {"file", "link", "file", "creation"},
    {"proc", "create", "process", "start"},      {"proc", "execute", "process", "start"},
    {"proc", "exit", "process", "end"},          {"proc", "kill", "process", "end"},
    {"proc", "ptrace", "process", "access"},     {"proc", "clone", "process", "start"},
    {"net", "inbound", "network", "connection"}, {"net", "outbound", "network", "connection"},
};

void map_block(Doc &d, const cJSON *b, const EcsOptions &o) {
    std::string_view kind = text(b, "eventType"), op = text(b, "eventOpr");
    const bool blocked = text(b, "action") != "audit";
    const char *category = kind == "proc" ? "process" : kind == "net" ? "network" : "file";
    std::vector<std::string> types;
    for (const BlockOp &r : kBlockOps)
        if (kind == r.kind && op == r.op) types.push_back(r.type);
    types.push_back(blocked ? "denied" : "allowed");
    event_kind(d, blocked ? "alert" : "event", {category, "intrusion_detection"}, types);
    d.str("event.action", op);
    d.str("event.outcome", blocked ? "failure" : "success");
    d.str("rule.ruleset", text(b, "group"));
    double n;
    if (number(b, "ruleId", &n)) d.str("rule.id", std::to_string(int64_t(n)));
    if (number(b, "v", &n)) d.num("qxkiv.block.version", n);
    if (number(b, "uploadTimestamp", &n) && n > 0) d.date("event.created", int64_t(n) * 1000);

    // The acting process as the report and /proc named it.
    if (number(b, "sPId", &n)) d.num("process.pid", n);
    if (number(b, "sPpId", &n)) d.num("process.parent.pid", n);
    const struct {
        const char *native, *path;
    } texts[] = {{"sPName", "process.name"},
                 {"sPUser", "process.user.name"},
                 {"sPCommand", "process.command_line"},
                 {"sPFilePath", "process.executable"},
                 {"sPpName", "process.parent.name"},
                 {"sPpUser", "process.parent.user.name"},
                 {"sPpCommand", "process.parent.command_line"},
                 {"sPpFilePath", "process.parent.executable"}};
    for (const auto &t : texts) d.str(t.path, text(b, t.native));
    d.related("user", text(b, "sPUser"));
    if (number(b, "sPStartTime", &n) && n > 0) d.date("process.start", int64_t(n) * 1000);
    if (number(b, "sPpStartTime", &n) && n > 0) d.date("process.parent.start", int64_t(n) * 1000);

    if (kind == "file") {
        const bool rename = op == "rename";
        file_path(d, "file", text(b, "filePath"));
        // A rename's old name, as other agents' file.Ext.original; a link's target.
        if (rename) file_path(d, "qxkiv.file.original", text(b, "originFilePath"));
        if (op == "symlink") d.str("file.target_path", text(b, "originFilePath"));
        if (number(b, "fileCtime", &n) && n > 0) {
            d.date("file.ctime", int64_t(n) * 1000);
            if (number(b, "fileAtime", &n) && n > 0) d.date("file.accessed", int64_t(n) * 1000);
            if (number(b, "fileSize", &n)) d.num("file.size", n);
        }
        d.str("file.mode", octal_mode(text(b, "filePermission")));
        d.str("file.group", text(b, "fileGrp"));
        if (text(b, "fileHash") != "-") d.str("file.hash.md5", text(b, "fileHash"));
        d.str("qxkiv.file.type_name", text(b, "fileType"));
        d.str("qxkiv.file.cluster", text(b, "fileCluster"));
    } else if (kind == "proc") {
        // The process acted upon: ECS has no place for a second process.
        const char *t = "qxkiv.target.process.";
        const struct {
            const char *native, *rel;
        } nums[] = {{"pId", "pid"},    {"ppId", "parent.pid"}, {"pNamespace", "namespace"},
                    {"pPort", "port"}, {"pUid", "user.id"},    {"pEuid", "effective_user.id"}};
        for (const auto &k : nums)
            if (number(b, k.native, &n)) d.num(std::string(t) + k.rel, n);
        d.str(std::string(t) + "name", text(b, "pName"));
        d.str(std::string(t) + "parent.name", text(b, "ppName"));
        d.str(std::string(t) + "user.name", text(b, "pUser"));
        d.str(std::string(t) + "executable", text(b, "pFilePath"));
        d.str(std::string(t) + "cluster", text(b, "pCluster"));
        if (number(b, "pStartTime", &n) && n > 0)
            d.date(std::string(t) + "start", int64_t(n) * 1000);
    } else if (kind == "net") {
        d.str("network.direction", op == "inbound" ? "ingress" : op == "outbound" ? "egress" : "");
        endpoint(d, "source", text(b, "srcIp"), b, "srcPort");
        endpoint(d, "destination", text(b, "dstIp"), b, "dstPort");
        flow(d, b, text(b, "protocol"), "srcIp", "srcPort", "dstIp", "dstPort", o);
    }
}

// ---- the envelope and the event ------------------------------------------------------------

void map_host(Doc &d, const cJSON *env, const EcsOptions &o) {
    std::string_view id = text(env, "host_uuid");
    d.str("host.id", id.empty() ? std::string_view(o.host_id) : id);
    std::vector<std::string> ips;
    auto add = [&ips](std::string_view ip) {
        if (is_ip(ip) && std::find(ips.begin(), ips.end(), ip) == ips.end()) ips.emplace_back(ip);
    };
    add(text(env, "host_ip"));
    std::string_view list = text(env, "ip_list");
    for (size_t at = 0; at < list.size();) {
        size_t comma = std::min(list.find(',', at), list.size());
        add(list.substr(at, comma - at));
        at = comma + 1;
    }
    if (ips.empty())
        for (const std::string &ip : o.host_ips) add(ip);
    d.strings("host.ip", ips);
    d.str("host.name", o.host_name);
    d.str("host.hostname", o.host_name);
    d.str("host.architecture", o.architecture);
    const struct {
        const char *path;
        const std::string &v;
    } os[] = {{"host.os.type", o.os_type},     {"host.os.family", o.os_family},
              {"host.os.name", o.os_name},     {"host.os.version", o.os_version},
              {"host.os.kernel", o.os_kernel}, {"host.os.platform", o.os_platform},
              {"host.os.full", o.os_full}};
    for (const auto &f : os) d.str(f.path, f.v);
}

// @timestamp: the record's milliseconds, the envelope's, a block report's seconds, or a log
// line's local time text with its zone offset. 0 when the document holds none.
int64_t event_time_ms(const cJSON *env, const cJSON *msg, std::string *zone) {
    int64_t v;
    if (integer(msg, "record_timestamp", &v) && v > 0) return v;
    if (integer(env, "send_timestamp", &v) && v > 0) return v;
    if (integer(msg, "recordTimestamp", &v) && v > 0) return v * 1000;
    std::string_view t = text(env, "send_time");
    struct tm tm {};
    if (t.size() < 19 || !strptime(std::string(t.substr(0, 19)).c_str(), "%Y-%m-%d %H:%M:%S", &tm))
        return 0;
    int64_t tz = 0;
    if (integer(env, "tz_secondes", &tz) && tz > -86400 && tz < 86400) {
        char offset[8];
        snprintf(offset, sizeof offset, "%c%02d:%02d", tz < 0 ? '-' : '+',
                 int(std::llabs(tz) / 3600), int(std::llabs(tz) % 3600 / 60));
        *zone = offset;
    } else {
        tz = 0;
    }
    return (int64_t(timegm(&tm)) - tz) * 1000;
}

// Keys of the envelope and message that are mapped, or said again by what is (the local time
// texts, the event's display name).
const std::set<std::string> &mapped_keys() {
    static const std::set<std::string> keys = [] {
        std::set<std::string> k = {
            "send_time",        "send_timestamp", "host_uuid",   "host_ip",    "ip_list",
            "seq_id",           "app_name",       "tz_secondes", "message",    "record_time",
            "record_timestamp", "event_id",       "event_name",  "proc_trees", "container_id"};
        for (const Rule &r : kProcessRules) k.insert(r.native);
        for (const Rule &r : kParentRules) k.insert(r.native);
        return k;
    }();
    return keys;
}

// The members of a block report, every one mapped above (and a sequence number, should the
// agent give the report one).
const std::set<std::string> &block_keys() {
    static const std::set<std::string> keys = {
        "v",          "recordTimestamp", "uploadTimestamp", "group",
        "ruleId",     "eventType",       "action",          "eventOpr",
        "sPId",       "sPName",          "sPUser",          "sPCommand",
        "sPFilePath", "sPStartTime",     "sPpId",           "sPpName",
        "sPpUser",    "sPpCommand",      "sPpFilePath",     "sPpStartTime",
        "fileType",   "fileCluster",     "filePath",        "fileCtime",
        "fileAtime",  "filePermission",  "fileGrp",         "fileSize",
        "fileHash",   "originFilePath",  "pFilePath",       "pId",
        "ppId",       "pName",           "ppName",          "pUser",
        "pUid",       "pNamespace",      "pEuid",           "pPort",
        "pStartTime", "pCluster",        "protocol",        "srcIp",
        "srcPort",    "dstIp",           "dstPort",         "seq_id"};
    return keys;
}

}  // namespace

void probe_ecs_host(EcsOptions *o, const char *os_release) {
    struct utsname u;
    if (uname(&u) == 0) {
        o->host_name = u.nodename, o->architecture = u.machine, o->os_kernel = u.release;
        o->os_type = lower(u.sysname);
    }
    std::ifstream in(os_release);
    for (std::string line; std::getline(in, line);) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), v = line.substr(eq + 1);
        if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
            v = v.substr(1, v.size() - 2);
        if (key == "NAME") o->os_name = v;
        if (key == "VERSION_ID") o->os_version = v;
        if (key == "ID") o->os_platform = v, o->os_family = o->os_family.empty() ? v : o->os_family;
        if (key == "ID_LIKE") o->os_family = v.substr(0, v.find(' '));
        if (key == "PRETTY_NAME") o->os_full = v;
    }
    struct timespec real, boot;
    if (clock_gettime(CLOCK_REALTIME, &real) == 0 && clock_gettime(CLOCK_BOOTTIME, &boot) == 0)
        o->boot_time_ms = (int64_t(real.tv_sec) - boot.tv_sec) * 1000 +
                          (int64_t(real.tv_nsec) - boot.tv_nsec) / 1000000;
}

bool ecs_document(std::string_view native, int32_t type, const EcsOptions &o, std::string *out) {
    struct Forget {
        Forget() { t_members_used = 0; }
        ~Forget() { t_members_used = 0; }
    } forget;
    Json parsed(cJSON_ParseWithLength(native.data(), native.size()), cJSON_Delete);
    const cJSON *env = parsed.get();
    if (!cJSON_IsObject(env)) return *out = "not a JSON object", false;
    const cJSON *msg = item(env, "message");
    const bool block = type == UPLOAD_SELF_PROTECT_BLOCK || type == UPLOAD_NORMAL_PROTECTION_BLOCK;
    if (!cJSON_IsObject(msg) || block) msg = env;

    Doc d;
    std::string zone;
    const int64_t when = event_time_ms(env, msg, &zone);
    if (when <= 0) return *out = "no time in the document", false;
    d.date("@timestamp", when);
    d.str("event.timezone", zone);
    d.str("ecs.version", kEcsVersion);
    d.str("agent.type", "kivhost");
    d.str("agent.version", o.agent_version);
    d.str("event.module", "qxkiv");
    d.str("event.dataset", "qxkiv." + lower(upload_type_name(type)));
    int64_t v;
    if (integer(env, "seq_id", &v) && v >= 0) d.num("event.sequence", double(v));
    if (integer(env, "send_timestamp", &v) && v > 0) d.date("event.created", v);
    d.str("event.code", text(msg, "event_id"));
    map_host(d, env, o);

    std::set<std::string> used;
    if (block) {
        map_block(d, msg, o);
        for (const cJSON *it = msg->child; it; it = it->next)
            if (it->string && !block_keys().count(it->string))
                d.put(std::string("qxkiv.block.") + it->string, cJSON_Duplicate(it, true));
    } else {
        const Kind *k = nullptr;
        for (const Kind &c : kKinds) k = c.type == type ? &c : k;
        const Kind &known = k ? *k : kKinds[0];  // the log line's: no category
        std::vector<std::string> cats, types;
        for (const char *c : known.categories)
            if (c) cats.emplace_back(c);
        for (const char *t : known.types)
            if (t) types.emplace_back(t);
        event_kind(d, known.kind, cats, types);
        double exists = 1;
        const bool old_name =
            type == UPLOAD_FILE_MOVE && number(msg, "is_exist", &exists) && exists == 0;
        d.str("event.action", old_name ? "file-renamed-from"
                              : k      ? k->action
                                       : lower(text(msg, "event_id")));
        if (type == UPLOAD_FILE_MOD || type == UPLOAD_FILE_DELETE || type == UPLOAD_FILE_CRATE ||
            type == UPLOAD_FILE_MOVE)
            map_file(d, msg, used);
        map_rules(d, msg, kProcessRules, "process", "qxkiv.process", o, &used);
        map_rules(d, msg, kParentRules, "process.parent", "qxkiv.process.parent", o, &used);
        map_tree(d, msg, o, item(msg, "parent_pid") != nullptr);
        std::string_view container = text(msg, "container_id");
        if (container != "host") d.str("container.id", container);
        if (type == UPLOAD_APP_LOG) {
            d.str("message", text(msg, "line"));
            d.str("log.file.path", text(msg, "log_path"));
            d.str("service.name", text(env, "app_name"));
            for (const char *k2 : {"line", "log_path"}) used.insert(k2);
            for (const char *k2 : {"is_container_init", "login_name", "ssh_login_ip"}) {
                used.insert(k2);
                if (text(msg, k2).empty() && !cJSON_IsNumber(item(msg, k2))) continue;
                d.put(std::string("qxkiv.log.") + k2, cJSON_Duplicate(item(msg, k2), true));
            }
        } else {
            d.str("qxkiv.app_name", text(env, "app_name"));
        }
        const bool flow_doc =
            type == UPLOAD_NET_CONNECT || type == UPLOAD_DNS_QUERY || type == UPLOAD_NET_SCAN;
        if (flow_doc || type == UPLOAD_NET_LISTENING) {
            for (const char *k2 :
                 {"protocol", "src_ip", "src_port", "dst_ip", "dst_port", "connect", "direction",
                  "community_id", "query_name", "query_results", "query_status"})
                used.insert(k2);
            const bool listen = type == UPLOAD_NET_LISTENING;
            endpoint(d, listen ? "server" : "source", text(msg, "src_ip"), msg, "src_port");
            endpoint(d, "destination", text(msg, "dst_ip"), msg, "dst_port");
            std::string_view proto = text(msg, "protocol");
            flow(d, msg, proto, "src_ip", "src_port", "dst_ip", "dst_port", o);
            double n;
            if (number(msg, "connect", &n)) d.num("qxkiv.network.connect", n);
            if (number(msg, "direction", &n) && type == UPLOAD_NET_CONNECT)
                d.str("network.direction", n == 0 ? "ingress" : "egress");
            else if (number(msg, "direction", &n))
                d.num("qxkiv.network.direction", n);
            if (type == UPLOAD_DNS_QUERY) {
                d.str("network.direction", "egress");
                map_dns(d, msg);
                if (number(msg, "query_status", &n)) d.num("qxkiv.dns.query_status", n);
            }
            if (type == UPLOAD_NET_CONNECT && proto == "tcp" && number(msg, "connect", &n))
                d.str("event.outcome", n != 0 ? "success" : "failure");
        }
        if (type == kHealthType) {
            double secs;
            if (number(msg, "interval", &secs) && secs >= 0)
                d.num("event.duration", std::round(secs * 1e9));
            used.insert("interval");
            for (const char *k2 : {"counters", "totals"}) {
                used.insert(k2);
                if (cJSON_IsObject(item(msg, k2)))
                    d.put(std::string("qxkiv.health.") + k2, cJSON_Duplicate(item(msg, k2), true));
            }
        }
        // Whatever else the document holds keeps its own name below qxkiv (a health
        // report's, such as an output's state, below qxkiv.health).
        for (const cJSON *obj : {env, msg}) {
            const cJSON *it;
            cJSON_ArrayForEach(it, obj) {
                if (!it->string || mapped_keys().count(it->string) || used.count(it->string))
                    continue;
                d.put(std::string(type == kHealthType && obj == msg ? "qxkiv.health." : "qxkiv.") +
                          it->string,
                      cJSON_Duplicate(it, true));
            }
        }
    }
    d.finish();
    char *printed = cJSON_PrintUnformatted(d.root());
    if (!printed) return *out = "out of memory", false;
    *out = printed;
    cJSON_free(printed);
    return true;
}

}  // namespace kivhost

namespace kivhost {

Delivery::ShapeFn ecs_shape(std::shared_ptr<const EcsOptions> o) {
    return [o](std::string_view text, int32_t type, Delivery::Shaped *out) {
        // The number is given only later, in the order documents enter the queues: a stand-in
        // goes through the mapping and is cut out again.
        static constexpr std::string_view kStandIn = "987654321987654";
        Delivery::Shaped native;
        shape_native(text, type, &native);
        if (native.seq_at != std::string::npos) native.text.insert(native.seq_at, kStandIn);
        if (!ecs_document(native.text, type, *o, &out->text)) {
            static std::atomic<bool> said{false};
            if (!said.exchange(true))
                fprintf(term(),
                        "kivhost: a %s document has no ECS form (%s): refused and counted, also "
                        "later ones\n",
                        upload_type_name(type), out->text.c_str());
            return false;
        }
        const std::string key = "\"sequence\":" + std::string(kStandIn);
        size_t at = out->text.find(key);
        if (at != std::string::npos) {
            out->seq_at = at + key.size() - kStandIn.size();
            out->text.erase(out->seq_at, kStandIn.size());
        }
        return true;
    };
}

}  // namespace kivhost
