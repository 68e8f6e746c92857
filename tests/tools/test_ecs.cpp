// The ECS form of every upload type, checked against ECS's own field definitions (the
// @elastic/ecs package of the npm registry, versions 8 and 9): each field exists in ECS or is
// our own under qxkiv, its value has the field's type, event.kind, category and type hold
// allowed values in allowed pairs. The documents come from a table of every type, from a
// live run of the agent and from block reports the kernel stand-in delivers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cjson/cJSON.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "block_bytes.h"
#include "e2e_host.h"
#include "ecs.h"
#include "delivery.h"
#include "health.h"
#include "host_core.h"
#include "live_agent.h"
#include "live_workload.h"
#include "loopback_net.h"
#include "mock_kafka.h"
#include "staged_tree.h"
#include "test_io.h"
#include "view.h"

using namespace kivhost;

namespace {

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

struct Field {
    std::string type;
    bool array = false;
    std::set<std::string> allowed;
    std::map<std::string, std::set<std::string>> expected;  // category -> its event types
};
using Fields = std::map<std::string, Field>;

// Both major versions the documents claim: a field must be in each.
const std::vector<const char *> kEcsVersions = {"8.11.5", "9.4.0"};

// ECS's definitions of one version, fetched once into the build tree; an empty map (and the
// reason in *why) when the registry could not be reached.
const Fields &ecs_fields(const char *version, std::string *why) {
    static std::map<std::string, Fields> loaded;
    static std::map<std::string, std::string> failed;
    if (loaded.count(version)) return loaded[version];
    if (!failed.count(version)) {
        std::string cmd =
            std::string(KIV_SOURCE_DIR "tests/tools/ecs_fields.sh " KIV_ECS_CACHE " ") + version +
            " 2>&1";
        std::string said;
        if (FILE *p = popen(cmd.c_str(), "r")) {
            char buf[512];
            while (fgets(buf, sizeof buf, p)) said += buf;
            if (pclose(p) != 0) failed[version] = said;
        }
        while (!said.empty() && said.back() == '\n') said.pop_back();
        Json j(failed.count(version) ? nullptr : cJSON_Parse(slurp(said).c_str()), cJSON_Delete);
        if (!j && !failed.count(version)) failed[version] = "unreadable " + said;
        const cJSON *f;
        cJSON_ArrayForEach(f, j.get()) {
            Field &d = loaded[version][f->string];
            d.type = cJSON_GetObjectItem(f, "type")->valuestring;
            d.array = cJSON_IsTrue(cJSON_GetObjectItem(f, "array"));
            const cJSON *v;
            cJSON_ArrayForEach(v, cJSON_GetObjectItem(f, "allowed"))
                d.allowed.insert(v->valuestring);
            const cJSON *cat;
            cJSON_ArrayForEach(cat, cJSON_GetObjectItem(f, "expected")) {
                cJSON_ArrayForEach(v, cat) d.expected[cat->string].insert(v->valuestring);
            }
        }
    }
    *why = failed.count(version) ? failed[version] : "";
    return loaded[version];
}

bool integral(const cJSON *v) {
    return cJSON_IsNumber(v) && std::isfinite(v->valuedouble) &&
           v->valuedouble == std::trunc(v->valuedouble);
}

// Whether a scalar value has the field's type.
bool typed(const Field &f, const cJSON *v) {
    static const std::regex date(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{1,9})?(Z|[+-]\d\d:\d\d))");
    const std::string &t = f.type;
    if (t == "keyword" || t == "constant_keyword" || t == "wildcard" || t == "match_only_text" ||
        t == "text")
        return cJSON_IsString(v);
    if (t == "long" || t == "integer" || t == "short" || t == "byte") return integral(v);
    if (t == "float" || t == "scaled_float" || t == "double") return cJSON_IsNumber(v);
    if (t == "boolean") return cJSON_IsBool(v);
    if (t == "date") return cJSON_IsString(v) && std::regex_match(v->valuestring, date);
    if (t == "ip") {
        unsigned char b[16];
        return cJSON_IsString(v) && (inet_pton(AF_INET, v->valuestring, b) == 1 ||
                                     inet_pton(AF_INET6, v->valuestring, b) == 1);
    }
    return false;  // object, flattened, nested: never a scalar
}

void check_value(const Fields &fs, const std::string &path, const cJSON *v,
                 std::vector<std::string> &bad) {
    if (path == "qxkiv" || path.rfind("qxkiv.", 0) == 0) return;  // our own
    auto it = fs.find(path);
    if (cJSON_IsObject(v) &&
        (it == fs.end() || it->second.type == "object" || it->second.type == "nested")) {
        if (it != fs.end() && it->second.type != "object" && it->second.type != "nested") return;
        const cJSON *c;
        cJSON_ArrayForEach(c, v) check_value(fs, path + "." + c->string, c, bad);
        return;
    }
    if (it == fs.end()) return bad.push_back(path + ": not an ECS field");
    const Field &f = it->second;
    if (f.type == "flattened" || (f.type == "object" && !f.array)) {
        if (!cJSON_IsObject(v)) bad.push_back(path + ": not an object");
        return;
    }
    if (f.array != cJSON_IsArray(v))
        return bad.push_back(path + ": array expected to be " + (f.array ? "one" : "none"));
    std::vector<const cJSON *> values;
    if (cJSON_IsArray(v)) {
        const cJSON *e;
        cJSON_ArrayForEach(e, v) values.push_back(e);
    } else {
        values.push_back(v);
    }
    for (const cJSON *e : values) {
        if (cJSON_IsObject(e)) {  // an array of objects: a nested field
            const cJSON *c;
            cJSON_ArrayForEach(c, e) check_value(fs, path + "." + c->string, c, bad);
        } else if (!typed(f, e)) {
            char *t = cJSON_PrintUnformatted(e);
            bad.push_back(path + ": " + t + " is no " + f.type);
            cJSON_free(t);
        } else if (!f.allowed.empty() && !f.allowed.count(e->valuestring)) {
            bad.push_back(path + ": " + e->valuestring + " is not an allowed value");
        }
    }
}

std::vector<std::string> strings_at(const cJSON *o, const char *a, const char *b) {
    std::vector<std::string> out;
    const cJSON *e;
    cJSON_ArrayForEach(e, cJSON_GetObjectItem(cJSON_GetObjectItem(o, a), b)) {
        if (cJSON_IsString(e)) out.push_back(e->valuestring);
    }
    return out;
}

// What is wrong with an ECS document for ECS of fs; empty when nothing.
std::vector<std::string> ecs_problems(const std::string &text, const Fields &fs) {
    std::vector<std::string> bad;
    Json j(cJSON_Parse(text.c_str()), cJSON_Delete);
    if (!cJSON_IsObject(j.get())) return {"not a JSON object"};
    if (text.find('\n') != std::string::npos) bad.push_back("a line break");
    const cJSON *c;
    cJSON_ArrayForEach(c, j.get()) check_value(fs, c->string, c, bad);
    for (const char *need : {"@timestamp", "ecs", "event"})
        if (!cJSON_GetObjectItem(j.get(), need)) bad.push_back(std::string("no ") + need);
    // Every type is one a category given expects, and every category has one of its types.
    const Field &cat = fs.at("event.category");
    std::vector<std::string> cats = strings_at(j.get(), "event", "category"),
                             types = strings_at(j.get(), "event", "type");
    for (const std::string &t : types) {
        bool fits = false;
        for (const std::string &c2 : cats)
            fits = fits || (cat.expected.count(c2) && cat.expected.at(c2).count(t));
        if (!fits) bad.push_back("event.type " + t + " is expected by none of its categories");
    }
    for (const std::string &c2 : cats) {
        bool has = false;
        for (const std::string &t : types)
            has = has || (cat.expected.count(c2) && cat.expected.at(c2).count(t));
        if (!types.empty() && !has)
            bad.push_back("event.category " + c2 + " has none of its types");
    }
    return bad;
}

// Checks an ECS text against every version.
void checked(const std::string &out) {
    for (const char *version : kEcsVersions) {
        std::string why;
        const Fields &fs = ecs_fields(version, &why);
        if (!why.empty()) {
            ADD_FAILURE() << "ECS " << version << " field definitions: " << why;
            continue;
        }
        for (const std::string &p : ecs_problems(out, fs))
            ADD_FAILURE() << "ECS " << version << ": " << p << "\n" << out;
    }
}

// Maps native and checks the result against every version; the ECS text.
std::string mapped_and_checked(const std::string &native, int32_t type, const EcsOptions &o) {
    std::string out;
    EXPECT_TRUE(ecs_document(native, type, o, &out)) << out << "\n" << native;
    checked(out);
    return out;
}

// The value at a dotted path as JSON text; "" when absent.
std::string at(const std::string &doc, const std::string &path) {
    Json j(cJSON_Parse(doc.c_str()), cJSON_Delete);
    const cJSON *v = j.get();
    for (size_t pos = 0; v && pos <= path.size();) {
        size_t dot = path.find('.', pos);
        if (dot == std::string::npos) dot = path.size();
        // "@timestamp" and the ECS names hold no dots of their own.
        v = cJSON_GetObjectItemCaseSensitive(v, path.substr(pos, dot - pos).c_str());
        pos = dot + 1;
    }
    if (!v) return "";
    char *t = cJSON_PrintUnformatted(v);
    std::string s = t;
    cJSON_free(t);
    return s;
}

const std::string kEnv =
    R"({"send_time":"2026-12-08 07:37:20","send_timestamp":1796715440123,"host_uuid":"h-1",)"
    R"("host_ip":"192.0.2.2","ip_list":"192.0.2.2,198.51.100.7,not-an-ip","seq_id":"42",)"
    R"("app_name":"opx-linux","message":{"record_time":"2026-12-08 07:37:20",)"
    R"("record_timestamp":1796715440123,)";
std::string env(const std::string &msg) {
    return kEnv + msg + "}}";
}
const std::string kBlock =
    R"({"v":100,"recordTimestamp":1796715440,"uploadTimestamp":1796715441,"group":"FILE_PROTECT",)"
    R"("ruleId":12,"eventType":)";
const std::string kSubject =
    R"(,"sPId":31,"sPName":"evil","sPStartTime":1796715000,"sPpId":30,"sPpStartTime":0})";

struct Row {
    int32_t type;
    std::string native;
    // "path=JSON text|...": what the ECS form holds at each path, nothing after "=" for absent.
    std::string want;
    uint16_t seed = 0;
};

}  // namespace

// What a valid ECS document cannot show: which field a native key lands in, and the
// conversions (ids as text, digests of zeros, the permission text as an octal mode, times,
// the Community ID, the ancestry) that a wrong table or a wrong branch would get wrong.
TEST(EcsMapping, EveryUploadTypeFillsTheFieldsItMeans) {
    const std::vector<Row> rows = {
        {UPLOAD_PROC_EXEC,
         env(R"("process_sha256":"000000","process_euid":0,"process_fuid":-1,)"
             R"("process_createtime":1202880000000,"process_cmd_line":"mv  /a /b"})"),
         R"(@timestamp="2026-12-08T07:37:20.123Z"|event.sequence=42|process.args=["mv","/a","/b"]|)"
         R"(process.hash.sha256=|process.start="2026-12-08T07:20:39.880Z"|process.user.id="0"|)"
         R"(qxkiv.process.fsuid=|host.ip=["192.0.2.2","198.51.100.7"])"},
        {UPLOAD_FILE_CRATE,
         env(R"("event_id":"FILE_CREATION","file_ctime":1796715002,"file_permissions":"rwsr-xr-T",)"
             R"("file_suffix":"php","file_name":"/var/www/up.load.php","proc_trees":[)"
             R"({"process_id":4000,"process_guid":"g-4000","process_euid":1000},)"
             R"({"process_id":1,"process_guid":"g-1","process_path":"/sbin/init"}]})"),
         R"(file.directory="/var/www"|file.mode="5754"|process.parent.user.id="1000"|)"
         R"(qxkiv.process.ancestors=[{"pid":1,"entity_id":"g-1","executable":"/sbin/init",)"
         R"("name":"init"}])"},
        {UPLOAD_NET_CONNECT,  // accepted over IPv6: the peer is the source
         env(R"("event_id":"NETWORK_CONNECTION","src_ip":"2607:f8b0:400c:c03::1a","src_port":25,)"
             R"("dst_ip":"2001:470:e5bf:dead:4957:2174:e82c:4887","dst_port":63943,)"
             R"("protocol":"tcp","connect":1,"direction":0,"community_id":"1:stale"})"),
         R"(network.direction="ingress"|)"
         R"(network.community_id="1:eJYTW6AOzFLlSUoESovMjnu7rMw=")",
         1},
        {UPLOAD_APP_LOG,
         R"({"send_time":"2026-12-08 07:40:01","tz_secondes":"3600","host_uuid":"h-1",)"
         R"("host_ip":"","ip_list":"","seq_id":"18446744073709551615","app_name":"nginx",)"
         R"("message":{"line":"GET / 200"}})",
         R"(@timestamp="2026-12-08T06:40:01.000Z"|event.timezone="+01:00"|)"
         R"(event.sequence=|host.ip=["192.0.2.9"])"},
        {UPLOAD_SELF_PROTECT_BLOCK,
         kBlock + R"("file","action":"block","eventOpr":"rename","filePath":"/opt/new")" + kSubject,
         R"(@timestamp="2026-12-08T07:37:20.000Z"|event.created="2026-12-08T07:37:21.000Z"|)"
         R"(event.type=["change","denied"]|rule.id="12"|)"
         R"(process.start="2026-12-08T07:30:00.000Z"|process.parent.start=)"},
        {UPLOAD_SELF_PROTECT_BLOCK,
         kBlock +
             R"("net","action":"block","eventOpr":"outbound","protocol":"udp",)"
             R"("srcIp":"8.8.8.8","srcPort":53,"dstIp":"192.168.1.52","dstPort":54585)" +
             kSubject,
         R"(network.direction="egress"|network.community_id="1:d/FP5EW3wiY1vCndhwleRRKHowQ=")"},
        {kHealthType, env(R"("event_id":"SENSOR_HEALTH","interval":60.5,"counters":{}})"),
         R"(event.kind="metric"|event.duration=60500000000)"},
        {99, R"({"recordTimestamp":1796715440,"x":"y"})",
         R"(event.dataset="qxkiv.unknown"|qxkiv.x="y")"},
    };
    EcsOptions o;
    o.host_id = "opt-host", o.host_ips = {"192.0.2.9"}, o.boot_time_ms = 1796713237000;
    setenv("TZ", "Asia/Tokyo", 1), tzset();  // local time must not leak into UTC times
    for (const Row &r : rows) {
        SCOPED_TRACE(r.native);
        o.community_id_seed = r.seed;
        std::string doc = mapped_and_checked(r.native, r.type, o);
        for (size_t from = 0, bar; from < r.want.size(); from = bar + 1) {
            bar = std::min(r.want.find('|', from), r.want.size());
            const std::string one = r.want.substr(from, bar - from);
            const size_t eq = one.find('=');
            EXPECT_EQ(at(doc, one.substr(0, eq)), one.substr(eq + 1)) << one << "\n" << doc;
        }
    }
    unsetenv("TZ"), tzset();

    // What cannot be an event says why, and leaves nothing else behind.
    for (const char *bad : {"{\"message\":", "[1,2]", "", "{\"message\":{\"event_id\":\"X\"}}"}) {
        std::string out = "stale";
        EXPECT_FALSE(ecs_document(bad, UPLOAD_PROC_EXEC, o, &out)) << bad;
        EXPECT_TRUE(out == "not a JSON object" || out == "no time in the document") << out;
    }
}

namespace {

// The upload type of a document of the agent's output file, which does not carry it.
int32_t type_of(const std::string &doc) {
    static const std::vector<std::pair<const char *, int32_t>> ids = {
        {"PROCESS_CREATION", UPLOAD_PROC_EXEC},
        {"PROCESS_EXIT", UPLOAD_PROC_EXIT},
        {"FILE_CREATION", UPLOAD_FILE_CRATE},
        {"FILE_DELETION", UPLOAD_FILE_DELETE},
        {"FILE_RENAMING", UPLOAD_FILE_MOVE},
        {"FILE_MODIFICATION", UPLOAD_FILE_MOD},
        {"NETWORK_CONNECTION", UPLOAD_NET_CONNECT},
        {"DNS_QUERY", UPLOAD_DNS_QUERY},
        {"LISTENING", UPLOAD_NET_LISTENING},
        {"NET_SCAN", UPLOAD_NET_SCAN},
        {"SENSOR_HEALTH", kHealthType}};
    for (const auto &[id, type] : ids)
        if (doc.find("\"event_id\":\"" + std::string(id) + "\"") != std::string::npos) return type;
    return doc.find("\"tz_secondes\":") != std::string::npos ? UPLOAD_APP_LOG : -1;
}

// What the child does that the sensor reports: a file written, appended to, renamed and
// removed, a listener and a connection to it, a DNS lookup, a probe of a closed scan port.
const char *kWorkload = R"PY(
import os, socket, struct, sys
d, dns = sys.argv[1], int(sys.argv[2])
open(d + "/ecs.txt", "w").write("one\n")
with open(d + "/ecs.txt", "a") as f:
    f.write("two\n")
os.rename(d + "/ecs.txt", d + "/ecs.sh")
os.unlink(d + "/ecs.sh")
srv = socket.socket()
srv.bind(("127.0.0.1", 0))
srv.listen(4)
c = socket.create_connection(("127.0.0.1", srv.getsockname()[1]))
a, _ = srv.accept()
q = struct.pack(">HHHHHH", 0x4b1d, 0x0100, 1, 0, 0, 0)
for l in "ecs.kivnet.test".split("."):
    q += bytes([len(l)]) + l.encode()
q += b"\0" + struct.pack(">HH", 1, 1)
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.settimeout(5)
u.sendto(q, ("127.0.0.1", dns))
u.recvfrom(4096)
try:
    socket.create_connection(("127.0.0.1", 23), timeout=2)
except OSError:
    pass
)PY";

}  // namespace

// Every document of a live run of the built agent (the whole host's activity while a child
// works, a collected log line among them), the block reports the stand-in delivers to the
// library and a health document of the agent: each maps to valid ECS of both versions, and
// its compact line reads the same in both forms. Together they hold every upload type the
// library and the agent send.
TEST(EcsMapping, LiveRunAndStandInDocumentsAreEcs) {
    if (geteuid() != 0 || access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "needs root and /usr/bin/python3";
    std::vector<std::pair<int, std::string>> natives;

    // The stand-in: block reports of each kind.
    {
        using namespace block_bytes;
        staged_tree tree{"kernel_mode = emulated\ncollector_task_num = 1\n"};
        kiv_timer_set_source(fake_clock);
        ASSERT_TRUE(host_start(capture, fixed_header));
        block_rec rename, link, kill, exec, v4, v6;
        rename.opr = 4, rename.text[1] = "/etc/shadow", rename.text[2] = "/tmp/shadow";
        link.opr = 8, link.action = 0, link.text[1] = "/tmp/l", link.text[2] = "/etc/passwd";
        kill.type = 25, kill.opr = 4, kill.group = 10, kill.text[1] = "/usr/sbin/sshd";
        exec = kill, exec.opr = 2, exec.action = 0, exec.text[2] = "/tmp/x";
        v4.type = 26, v4.group = 3;
        v6 = v4, v6.family = 10, v6.proto = 17, v6.direction = 1, v6.sip = "2001:db8::1";
        v6.dip = "::1";
        for (const block_rec *r : {&rename, &link, &kill, &exec, &v4, &v6}) {
            bytes m = build(*r);
            ASSERT_EQ(kemu_inject(KEMU_RING_LOW, m.data(), (uint32_t)m.size()), KEMU_OK);
        }
        ASSERT_TRUE(wait_for([] { return docs(UPLOAD_SELF_PROTECT_BLOCK).size() == 6; }));
        {
            std::lock_guard g(s_up_lock);
            natives = s_uploads;
        }
        host_stop();
    }

    // The agent's own documents: losses, an output down and back.
    HostIdentity id{"uuid-ecs", "192.0.2.2", "192.0.2.2"};
    bind_callbacks(nullptr, &id);
    Health health(1);
    health.check({{"RING_HIGH_FULL", 1, true}}, 0, false);
    OutputStats down, up;
    down.name = up.name = "kafka", down.up = false, down.down_since_ms = 1796715440123;
    down.last_err = ECONNREFUSED, up.delayed = 7;
    for (const std::string &report :
         {health.check({{"RING_HIGH_FULL", 4, true}}, 2, false),
          output_event(down, up, 1796715440123), output_event(up, down, 1796715450123)}) {
        ASSERT_FALSE(report.empty());
        natives.emplace_back(kHealthType, report);
    }
    bind_callbacks(nullptr, nullptr);

    // The live run.
    loopback_dnsmasq dns;
    ASSERT_TRUE(dns.start({"--address=/ecs.kivnet.test/192.0.2.44"})) << "dnsmasq did not start";
    live_agent agent("ecs");
    ASSERT_FALSE(agent.root.empty());
    const std::string app = agent.root + "/app.log", work = agent.root + "/work";
    mkdir(work.c_str(), 0700);
    std::ofstream(app) << "";
    agent.set_key("log_collector.conf", "file_path", "cnt", "1");
    agent.set_key("log_collector.conf", "file_path", "appname0", "ecsapp");
    agent.set_key("log_collector.conf", "file_path", "path0", app);
    agent.set_key("net.conf", "system", "dns_port", std::to_string(dns.port));
    ASSERT_TRUE(agent.start()) << agent.err();
    std::ofstream(app, std::ios::app) << "a collected line\n";
    std::ofstream(work + "/workload.py") << kWorkload;
    pid_t child =
        live_spawn({"/usr/bin/python3", work + "/workload.py", work, std::to_string(dns.port)});
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    const std::string by_child = "\"process_id\":" + std::to_string(child) + ",";
    const std::vector<std::vector<std::string>> wanted = {
        {"\"event_id\":\"FILE_CREATION\"", work + "/ecs.txt"},
        {"\"event_id\":\"FILE_RENAMING\"", work + "/ecs.sh"},
        {"\"event_id\":\"FILE_DELETION\"", work + "/ecs.sh"},
        {"\"event_id\":\"NETWORK_CONNECTION\"", by_child},
        {"\"event_id\":\"LISTENING\"", by_child},
        {"\"query_name\":\"ecs.kivnet.test\""},
        {"\"event_id\":\"NET_SCAN\"", "\"dst_port\":23"},
        {"\"line\":\"a collected line\"", "\"log_path\":\"" + app + "\""},
        {"\"event_id\":\"PROCESS_EXIT\"", by_child},
    };
    for (const auto &needles : wanted) EXPECT_TRUE(agent.wait_doc(needles, 60)) << needles[0];
    stop_clean(agent);
    for (const std::string &line : agent.docs()) natives.emplace_back(type_of(line), line);

    // The agent's own ECS form, to its file and to Kafka: the same work again, each document
    // valid ECS, the two outputs alike, the sequence without a gap.
    std::vector<std::string> agent_ecs;
    {
        MockKafka k(1);
        ASSERT_TRUE(agent.start(
            120, {"--schema", "ecs", "--output", "kafka", "--kafka-brokers", k.bootstraps()}))
            << agent.err();
        // Another command line: the same one again within the hour is a repeat, not reported.
        pid_t again = live_spawn(
            {"/usr/bin/python3", work + "/workload.py", work, std::to_string(dns.port), "again"});
        ASSERT_GT(again, 0);
        waitpid(again, nullptr, 0);
        // Whatever it reports (on a busy host, root's budgets may be spent by other work), but
        // waited for until there are as many as checked below.
        for (int i = 0; i < 600 && agent.docs().size() <= 5; ++i) usleep(100 * 1000);
        stop_clean(agent);
        const std::vector<std::string> ecs = agent.docs();
        std::vector<std::string> sent;
        for (const Message &m : k.consume("qxkiv")) sent.push_back(m.value);
        EXPECT_EQ(sent, ecs);
        long long last = -1;
        for (const std::string &doc : ecs) {
            SCOPED_TRACE(doc);
            checked(doc);
            const long long seq = atoll(at(doc, "event.sequence").c_str());
            EXPECT_TRUE(last < 0 || seq == last + 1);
            last = seq;
        }
        EXPECT_GT(ecs.size(), 5u);
        agent_ecs = ecs;
    }

    EcsOptions o;
    probe_ecs_host(&o);
    std::set<int> types;
    std::map<int, std::string> sample;  // one ECS document per type, for people to read
    // Every document of both forms, for the check that docs/documents.md describes each key.
    const char *dump_path = getenv("KIV_DOCS_DUMP");
#ifdef KIV_DOCS_DUMP
    if (!dump_path) dump_path = KIV_DOCS_DUMP;
#endif
    std::string dump;
    for (const std::string &doc : agent_ecs) dump += "ecs\t" + doc + "\n";
    for (const auto &[type, native] : natives) {
        SCOPED_TRACE(native);
        ASSERT_GE(type, 0) << "a document of no known type";
        types.insert(type);
        std::string doc = mapped_and_checked(native, type, o);
        dump += "native\t" + native + "\necs\t" + doc + "\n";
        EXPECT_EQ(compact_line(doc.data(), doc.size(), type, false),
                  compact_line(native.data(), native.size(), type, false));
        if (!sample.count(type) || native.find(work) != std::string::npos ||
            native.find(by_child) != std::string::npos)
            sample[type] = doc;
    }
    EXPECT_EQ(types,
              (std::set<int>{UPLOAD_APP_LOG, UPLOAD_FILE_MOD, UPLOAD_PROC_EXEC, UPLOAD_NET_SCAN,
                             UPLOAD_NET_LISTENING, UPLOAD_NET_CONNECT, UPLOAD_DNS_QUERY,
                             UPLOAD_FILE_DELETE, UPLOAD_FILE_CRATE, UPLOAD_FILE_MOVE,
                             UPLOAD_PROC_EXIT, UPLOAD_SELF_PROTECT_BLOCK, kHealthType}));
    if (dump_path) std::ofstream(dump_path) << dump;
    if (const char *path = getenv("KIV_ECS_SAMPLES")) {
        std::ofstream out(path);
        for (const auto &[type, doc] : sample) out << upload_type_name(type) << "\n" << doc << "\n";
    }
}
