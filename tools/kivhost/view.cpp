#include "view.h"

#include <cjson/cJSON.h>
#include <strings.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "host_core.h"

namespace kivhost {

bool parse_only(std::string_view list, uint32_t *mask, std::string *err) {
    static_assert(kSlots <= 32, "one bit per slot");
    uint32_t m = 0;
    std::string bad;
    size_t pos = 0;
    do {
        size_t comma = list.find(',', pos);
        std::string_view name =
            list.substr(pos, comma == std::string_view::npos ? comma : comma - pos);
        pos = comma == std::string_view::npos ? list.size() + 1 : comma + 1;
        while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        int found = -1;
        for (int slot = 0; slot < kUnknownSlot && found < 0 && !name.empty(); ++slot) {
            const char *n = slot_name(slot);
            if (name.size() == strlen(n) && strncasecmp(name.data(), n, name.size()) == 0)
                found = slot;
        }
        if (found < 0) {
            bad = name.empty() ? "an empty name" : "unknown type '" + std::string(name) + "'";
            break;
        }
        m |= 1u << found;
    } while (pos <= list.size());
    if (!bad.empty()) {
        *err = "--only: " + bad + "; the types are";
        for (int slot = 0; slot < kUnknownSlot; ++slot)
            *err += std::string(slot == 0 ? " " : ", ") + slot_name(slot);
        return false;
    }
    *mask = m;
    return true;
}

namespace {

constexpr size_t kMaxText = 240;  // a field cut beyond this keeps one line one screen line

// Characters a terminal shows nothing for but that reorder or hide what follows: bidi
// controls (svc<U+202E>gpj.sh reads as svchs.jpg), zero-width ones, line and paragraph
// separators, tags; every invisible format character, as ranges of code points.
bool invisible(uint32_t cp) {
    static const uint32_t ranges[][2] = {
        {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
        {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
        {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
        {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
        {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
        {0xE0020, 0xE007F},
    };
    for (const auto &r : ranges)
        if (cp >= r[0] && cp <= r[1]) return true;
    return false;
}

// The code point of the well-formed UTF-8 sequence at s[i] and its length; 0 for none.
size_t utf8_at(std::string_view s, size_t i, uint32_t *cp) {
    unsigned c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || len > s.size() - i) return 0;
    *cp = len == 1 ? c : c & (0x7Fu >> len);
    for (size_t k = 1; k < len; ++k) {
        unsigned b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        *cp = (*cp << 6) | (b & 0x3F);
    }
    return len;
}

// Control characters (C0, DEL and C1 in UTF-8) would steer the terminal: they become '?'.
// Invisible format characters are shown by their number, <U+202E>.
void put_text(std::string *out, std::string_view s, size_t max = kMaxText) {
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++n) {
        if (n == max) {
            *out += "...";
            return;
        }
        uint32_t cp = 0;
        size_t len = utf8_at(s, i, &cp);
        if (len == 0) {  // not UTF-8: the byte as it is
            *out += s[i++];
        } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
            *out += '?';
            i += len;
        } else if (invisible(cp)) {
            char b[16];
            snprintf(b, sizeof b, "<U+%04X>", static_cast<unsigned>(cp));
            *out += b;
            i += len;
        } else {
            out->append(s.substr(i, len));
            i += len;
        }
    }
}

struct Doc {
    const cJSON *msg;  // the event: "message", or the document itself for block reports

    std::string_view str(const char *key) const {
        const cJSON *it = cJSON_GetObjectItemCaseSensitive(msg, key);
        return cJSON_IsString(it) && it->valuestring ? it->valuestring : std::string_view();
    }
    bool has(const char *key) const { return cJSON_GetObjectItemCaseSensitive(msg, key); }
    // A number as the integer it holds; "-" when absent or not a number.
    std::string num(const char *key) const {
        const cJSON *it = cJSON_GetObjectItemCaseSensitive(msg, key);
        if (!cJSON_IsNumber(it) || !std::isfinite(it->valuedouble)) return "-";
        char b[32];
        snprintf(b, sizeof b, "%.0f", it->valuedouble);
        return b;
    }
};

std::string_view base_name(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The name a process is shown by: its executable's file name, or the whole path of a program
// run from memory, whose name its author chose ("/memfd:usr/bin/true (deleted)").
std::string_view proc_name(std::string_view path, size_t *max) {
    if (path.rfind("/memfd:", 0) == 0) return *max = kMaxText, path;
    return base_name(path);
}

// "addr:port", IPv6 addresses in brackets.
void endpoint(std::string *out, const Doc &d, const char *ip, const char *port) {
    std::string_view a = d.str(ip);
    bool v6 = a.find(':') != std::string_view::npos;
    if (v6) *out += '[';
    put_text(out, a.empty() ? "?" : a, 64);
    if (v6) *out += ']';
    *out += ':' + d.num(port);
}

void flow(std::string *out, const Doc &d, const char *proto, const char *sip, const char *sport,
          const char *dip, const char *dport) {
    put_text(out, d.str(proto), 16);
    *out += ' ';
    endpoint(out, d, sip, sport);
    *out += " -> ";
    endpoint(out, d, dip, dport);
}

const char *file_kind(std::string_view event_id, bool exists) {
    if (event_id == "FILE_CREATION") return "create";
    if (event_id == "FILE_DELETION") return "delete";
    if (event_id == "FILE_MODIFICATION") return "modify";
    if (event_id == "FILE_RENAMING") return exists ? "rename to" : "rename from";
    return "file";
}

// Members a type without its own line shows, after its event name.
void generic(std::string *out, const cJSON *msg) {
    int shown = 0;
    for (const cJSON *it = msg ? msg->child : nullptr; it && shown < 4; it = it->next) {
        std::string_view k = it->string ? it->string : "";
        if (k.rfind("record_", 0) == 0 || k.rfind("process_", 0) == 0 || k == "event_id" ||
            k == "event_name" || !(cJSON_IsString(it) || cJSON_IsNumber(it)))
            continue;
        *out += shown++ ? "  " : "";
        put_text(out, k, 40);
        *out += '=';
        if (cJSON_IsString(it)) {
            put_text(out, it->valuestring ? it->valuestring : "", 80);
        } else {
            char b[32];
            snprintf(b, sizeof b, "%.15g", it->valuedouble);
            *out += b;
        }
    }
}

void details(std::string *out, const Doc &d, int slot, bool colour) {
    switch (slot) {
        case UPLOAD_PROC_EXEC:
            put_text(out, d.str("process_path"));
            *out += "  ";
            put_text(out, d.str("process_cmd_line"));
            if (d.has("parent_pid")) {
                *out += "  (parent " + d.num("parent_pid") + ' ';
                size_t max = 64;
                std::string_view parent = proc_name(d.str("parent_ppath"), &max);
                put_text(out, parent, max);
                *out += ')';
            }
            return;
        case UPLOAD_PROC_EXIT:
            *out += "exit " + d.num("process_exit_code") + "  ";
            put_text(out, d.str("process_path"));
            return;
        case UPLOAD_FILE_MOD:
        case UPLOAD_FILE_DELETE:
        case UPLOAD_FILE_CRATE:
        case UPLOAD_FILE_MOVE: {
            *out += file_kind(d.str("event_id"), d.num("is_exist") != "0");
            *out += ' ';
            put_text(out, d.str("file_name"));
            std::string_view type = d.str("type");
            if (!type.empty() && type != "-") {
                *out += "  [";
                put_text(out, type, 64);
                *out += ']';
            }
            return;
        }
        case UPLOAD_NET_CONNECT:
            flow(out, d, "protocol", "src_ip", "src_port", "dst_ip", "dst_port");
            if (d.num("direction") == "0") *out += "  (inbound)";
            return;
        case UPLOAD_DNS_QUERY: {
            put_text(out, d.str("query_name"));
            std::string_view r = d.str("query_results");
            *out += r.empty() ? "  (no answer)" : " -> ";
            put_text(out, r);
            return;
        }
        case UPLOAD_NET_SCAN:
            *out += "scan ";
            flow(out, d, "protocol", "src_ip", "src_port", "dst_ip", "dst_port");
            return;
        case UPLOAD_NET_LISTENING:
            put_text(out, d.str("protocol"), 16);
            *out += " listen ";
            endpoint(out, d, "src_ip", "src_port");
            return;
        case UPLOAD_APP_LOG:
            put_text(out, d.str("line"), 1024);
            return;
        case UPLOAD_SELF_PROTECT_BLOCK:
        case UPLOAD_NORMAL_PROTECTION_BLOCK: {
            std::string_view kind = d.str("eventType");
            put_text(out, d.str("action"), 16);
            *out += ' ';
            put_text(out, kind, 16);
            *out += ' ';
            put_text(out, d.str("eventOpr"), 32);
            *out += ' ';
            if (kind == "net") {
                flow(out, d, "protocol", "srcIp", "srcPort", "dstIp", "dstPort");
            } else if (kind == "proc") {
                *out += d.num("pId") + ' ';
                put_text(out, d.str("pName"), 64);
                if (!d.str("pFilePath").empty()) *out += ' ';
                put_text(out, d.str("pFilePath"));
            } else {
                // A rename names the old path as its origin; a link its target.
                bool rename = d.str("eventOpr") == "rename";
                put_text(out, rename ? d.str("originFilePath") : d.str("filePath"));
                std::string_view other = rename ? d.str("filePath") : d.str("originFilePath");
                if (!other.empty()) *out += " -> ";
                put_text(out, other);
            }
            *out += "  (";
            put_text(out, d.str("group"), 32);
            *out += " rule " + d.num("ruleId") + ')';
            return;
        }
        case kHealthSlot: {  // the health report
            const cJSON *c = cJSON_GetObjectItemCaseSensitive(d.msg, "counters");
            if (colour) *out += "\x1b[1;31m";
            const cJSON *iv = cJSON_GetObjectItemCaseSensitive(d.msg, "interval");
            char secs[32];
            snprintf(secs, sizeof secs, "%g", cJSON_IsNumber(iv) ? iv->valuedouble : 0.0);
            const cJSON *lim = cJSON_GetObjectItemCaseSensitive(d.msg, "limits");
            const bool lost = c && c->child;
            *out += std::string(lost ? "lost in " : "in ") + secs + " s:";
            for (const cJSON *it = c ? c->child : nullptr; it; it = it->next) {
                *out += it == c->child ? " " : ", ";
                put_text(out, it->string ? it->string : "?", 64);
                char b[40];
                snprintf(b, sizeof b, " +%.0f", cJSON_IsNumber(it) ? it->valuedouble : 0.0);
                *out += b;
            }
            // The limits' drops: limit, user, what they were of, how many.
            for (const cJSON *it = cJSON_IsArray(lim) ? lim->child : nullptr; it; it = it->next) {
                const Doc l{it};
                *out += it == lim->child ? (lost ? "; limited: " : " limited: ") : ", ";
                put_text(out, l.str("limit"), 64);
                std::string_view who = l.str("user");
                if (!who.empty() || l.has("uid")) *out += ' ';
                if (!who.empty())
                    put_text(out, who, 32);
                else if (l.has("uid"))
                    *out += "uid " + l.num("uid");
                for (const char *k : {"executable", "peer", "destination"})
                    if (l.has(k)) *out += ' ', put_text(out, l.str(k), 64);
                *out += " +" + l.num("dropped");
            }
            if (colour) *out += "\x1b[0m";
            return;
        }
        default: {
            std::string_view name = d.str("event_name");
            put_text(out, name, 64);
            if (!name.empty()) *out += "  ";
            generic(out, d.msg);
        }
    }
}

// One colour per family, so a screen of mixed events sorts itself for the eye.
const char *type_colour(int slot) {
    switch (slot) {
        case UPLOAD_PROC_EXEC:
        case UPLOAD_PROC_EXIT:
            return "\x1b[32m";
        case UPLOAD_FILE_MOD:
        case UPLOAD_FILE_DELETE:
        case UPLOAD_FILE_CRATE:
        case UPLOAD_FILE_MOVE:
            return "\x1b[33m";
        case UPLOAD_NET_CONNECT:
        case UPLOAD_NET_LISTENING:
            return "\x1b[36m";
        case UPLOAD_DNS_QUERY:
            return "\x1b[34m";
        case UPLOAD_NET_SCAN:
        case UPLOAD_SELF_PROTECT_BLOCK:
        case UPLOAD_NORMAL_PROTECTION_BLOCK:
            return "\x1b[1;31m";
        case kHealthSlot:
            return "\x1b[1;35m";
        default:
            return "\x1b[37m";
    }
}

// "HH:MM:SS" of the event: its record time, the envelope's time, or the block report's
// seconds.
std::string clock_of(const cJSON *root, const Doc &d) {
    std::string_view t = d.str("record_time");
    if (t.empty()) t = Doc{root}.str("send_time");
    if (t.size() >= 19 && t[10] == ' ') return std::string(t.substr(11, 8));
    const cJSON *s = cJSON_GetObjectItemCaseSensitive(d.msg, "recordTimestamp");
    if (cJSON_IsNumber(s) && s->valuedouble >= 0 && s->valuedouble < 1e12) {
        time_t sec = static_cast<time_t>(s->valuedouble);
        struct tm tm;
        char b[16];
        if (localtime_r(&sec, &tm) && strftime(b, sizeof b, "%H:%M:%S", &tm) == 8) return b;
    }
    return "--:--:--";
}

void pad(std::string *out, size_t from, size_t width) {
    if (out->size() - from < width) out->append(width - (out->size() - from), ' ');
}

// ---- ECS documents: read back into the members the lines above show ----------------------

const cJSON *at_path(const cJSON *o, std::string_view path) {
    while (o && !path.empty()) {
        size_t dot = path.find('.');
        o = cJSON_GetObjectItemCaseSensitive(o, std::string(path.substr(0, dot)).c_str());
        path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
    }
    return o;
}

// The native member and the ECS field it went to, for the members kept as they were.
constexpr std::pair<const char *, const char *> kEcsMembers[] = {
    {"process_id", "process.pid"},
    {"process_path", "process.executable"},
    {"process_cmd_line", "process.command_line"},
    {"process_exit_code", "process.exit_code"},
    {"parent_pid", "process.parent.pid"},
    {"parent_ppath", "process.parent.executable"},
    {"event_id", "event.code"},
    {"event_name", "event.action"},
    {"type", "qxkiv.file.content_type"},
    {"protocol", "network.transport"},
    {"dst_ip", "destination.ip"},
    {"dst_port", "destination.port"},
    {"query_name", "dns.question.name"},
    {"line", "message"},
    {"app_name", "service.name"},
    {"sPId", "process.pid"},
    {"sPName", "process.name"},
    {"eventOpr", "event.action"},
    {"srcIp", "source.ip"},
    {"srcPort", "source.port"},
    {"dstIp", "destination.ip"},
    {"dstPort", "destination.port"},
    {"filePath", "file.path"},
    {"pId", "qxkiv.target.process.pid"},
    {"pName", "qxkiv.target.process.name"},
    {"pFilePath", "qxkiv.target.process.executable"},
    {"group", "rule.ruleset"},
    {"counters", "qxkiv.health.counters"},
    {"limits", "qxkiv.health.limits"},
};

// The native members an ECS document (ecs_document's) holds, as one flat object, so that one
// set of lines serves both schemas; null when it is not such a document.
cJSON *native_view(const cJSON *ecs) {
    const cJSON *stamp = at_path(ecs, "@timestamp");
    if (!cJSON_IsString(stamp) || !cJSON_IsObject(at_path(ecs, "ecs"))) return nullptr;
    cJSON *v = cJSON_CreateObject();
    auto first = [ecs](std::initializer_list<const char *> paths) -> const cJSON * {
        for (const char *p : paths)
            if (const cJSON *it = at_path(ecs, p)) return it;
        return nullptr;
    };
    auto copy = [v](const char *name, const cJSON *it) {
        if (it) cJSON_AddItemToObject(v, name, cJSON_Duplicate(it, true));
    };
    for (const auto &[name, path] : kEcsMembers) copy(name, at_path(ecs, path));
    copy("src_ip", first({"source.ip", "server.ip"}));
    copy("src_port", first({"source.port", "server.port"}));
    const cJSON *path = at_path(ecs, "file.path");
    copy("file_name", path ? path : at_path(ecs, "qxkiv.file.original.path"));
    if (!path && at_path(ecs, "qxkiv.file.original.path"))
        cJSON_AddNumberToObject(v, "is_exist", 0);
    copy("originFilePath", first({"qxkiv.file.original.path", "file.target_path"}));
    if (const cJSON *dir = at_path(ecs, "network.direction"); cJSON_IsString(dir))
        cJSON_AddNumberToObject(v, "direction", strcmp(dir->valuestring, "ingress") != 0);
    // A lookup's results: its addresses, or (unanswered) the server asked, as natively.
    std::string results;
    const cJSON *ip;
    cJSON_ArrayForEach(ip, at_path(ecs, "dns.resolved_ip")) {
        if (cJSON_IsString(ip))
            results += (results.empty() ? "" : ",") + std::string(ip->valuestring);
    }
    const cJSON *raw = first({"qxkiv.dns.query_results", "destination.ip"});
    if (results.empty() && cJSON_IsString(raw)) results = raw->valuestring;
    if (at_path(ecs, "dns")) cJSON_AddStringToObject(v, "query_results", results.c_str());
    // Block reports: the kind of report, the verdict, the rule.
    if (const cJSON *rule = at_path(ecs, "rule.id"); cJSON_IsString(rule)) {
        cJSON_AddNumberToObject(v, "ruleId", atof(rule->valuestring));
        const cJSON *cat = cJSON_GetArrayItem(at_path(ecs, "event.category"), 0);
        std::string_view c = cJSON_IsString(cat) ? cat->valuestring : "";
        cJSON_AddStringToObject(v, "eventType",
                                c == "process"   ? "proc"
                                : c == "network" ? "net"
                                                 : "file");
        bool denied = false;
        const cJSON *t;
        cJSON_ArrayForEach(t, at_path(ecs, "event.type")) {
            denied = denied || (cJSON_IsString(t) && strcmp(t->valuestring, "denied") == 0);
        }
        cJSON_AddStringToObject(v, "action", denied ? "block" : "audit");
    }
    if (const cJSON *d = at_path(ecs, "event.duration"); cJSON_IsNumber(d))
        cJSON_AddNumberToObject(v, "interval", d->valuedouble / 1e9);
    // The time as the native record_time shows it: local.
    struct tm tm {};
    char local[32] = "";
    if (strptime(stamp->valuestring, "%Y-%m-%dT%H:%M:%S", &tm)) {
        time_t sec = timegm(&tm);
        struct tm lt;
        if (localtime_r(&sec, &lt)) strftime(local, sizeof local, "%Y-%m-%d %H:%M:%S", &lt);
    }
    cJSON_AddStringToObject(v, "record_time", local);
    // What has no ECS field of its own, for the types shown member by member.
    const cJSON *own;
    cJSON_ArrayForEach(own, at_path(ecs, "qxkiv")) {
        if (own->string && !cJSON_IsObject(own) && strcmp(own->string, "app_name") != 0 &&
            !cJSON_GetObjectItemCaseSensitive(v, own->string))
            copy(own->string, own);
    }
    return v;
}

}  // namespace

std::string compact_line(const char *text, size_t len, int32_t type, bool colour) {
    const int slot = type_slot(type);
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_ParseWithLength(text, len),
                                                         cJSON_Delete);
    std::string out;
    const char *reset = colour ? "\x1b[0m" : "";
    if (!cJSON_IsObject(root.get())) {
        out += colour ? "\x1b[2m--:--:--\x1b[0m " : "--:--:-- ";
        out += upload_type_name(type);
        out += "  (not JSON) ";
        put_text(&out, std::string_view(text ? text : "", text ? len : 0), 120);
        return out;
    }
    if (cJSON *native = native_view(root.get())) root.reset(native);
    const cJSON *msg = cJSON_GetObjectItemCaseSensitive(root.get(), "message");
    const Doc d{cJSON_IsObject(msg) ? msg : root.get()};
    const bool block = slot == UPLOAD_SELF_PROTECT_BLOCK || slot == UPLOAD_NORMAL_PROTECTION_BLOCK;

    if (colour) out += "\x1b[2m";
    out += clock_of(root.get(), d);
    out += reset;
    out += ' ';
    if (colour) out += type_colour(slot);
    size_t at = out.size();
    out += upload_type_name(type);
    pad(&out, at, 13);
    out += reset;
    out += ' ';

    std::string pid = block ? d.num("sPId") : d.num("process_id");
    size_t proc_max = 32;
    std::string_view proc = block                    ? d.str("sPName")
                            : slot == UPLOAD_APP_LOG ? Doc{root.get()}.str("app_name")
                            : slot == kHealthSlot    ? std::string_view("kivhost")
                                                     : proc_name(d.str("process_path"), &proc_max);
    if (proc.empty()) proc = "-";
    out += pid.size() < 7 ? std::string(7 - pid.size(), ' ') + pid : pid;
    out += ' ';
    if (colour) out += "\x1b[1m";
    at = out.size();
    put_text(&out, proc, proc_max);
    pad(&out, at, 15);
    out += reset;
    out += ' ';
    details(&out, d, slot, colour);
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace kivhost
