// The agent's two looks at the sensor from outside: the statistics file in the Prometheus
// text format, read back by Debian's parser of that format, and --check-config.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <filesystem>
#include <string>

#include "base/mem.h"
#include "check_config.h"
#include "host_core.h"
#include "kivhost_tree.h"
#include "metrics.h"
#include "test_io.h"

namespace fs = std::filesystem;
using namespace kivhost;

namespace {

// A private copy of the staged tree whose agent runs on the kernel stand-in.
struct Tree {
    TempDir tmp;
    fs::path root = tmp.path;
    Tree() { EXPECT_EQ(system(stage_agent(tmp.path).c_str()), 0); }
    // Replaces the line of key in a configuration file, or adds it under its first section.
    void set(const std::string &file, const std::string &key, const std::string &value) {
        std::string text = slurp(root / "config" / file), line = key + " = " + value + "\n";
        size_t at = text.find("\n" + key + " =");
        if (at == std::string::npos) at = text.find("\n" + key + "=");
        if (at == std::string::npos)
            text.insert(text.find('\n') + 1, line);
        else
            text.replace(at + 1, text.find('\n', at + 1) - at, line);
        write_file(root / "config" / file, text);
    }
    // The agent with args; its status, standard output and standard error.
    int run(const std::string &args, std::string *out, std::string *err = nullptr) {
        const std::string o = root / "out", e = root / "err";
        const std::string cmd = "QXKIV_RESOLV_CONF=" + (root / "resolv.conf").string() + " " +
                                (root / "bin/kivhost").string() + " " + args + " >" + o + " 2>" + e;
        int st = system(cmd.c_str());
        *out = slurp(o);
        if (err) *err = slurp(e);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
};

// The file as Debian's parser reads it, or null (the test skips without the parser). The
// system interpreter, where Debian installs the parser, whatever python3 PATH finds first.
cJSON *parsed_metrics(const std::string &path, std::string *why) {
    std::string cmd =
        "/usr/bin/python3 " KIV_SOURCE_DIR "tests/tools/read_metrics.py " + path + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    for (int c; (c = fgetc(p)) != EOF;) out += char(c);
    int st = pclose(p);
    *why = out;
    if (WIFEXITED(st) && WEXITSTATUS(st) == 77) return nullptr;
    EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, 0) << out;
    cJSON *doc = cJSON_Parse(out.c_str());
    EXPECT_NE(doc, nullptr) << out;
    return doc;
}

cJSON *family(cJSON *doc, const char *name, const char *type) {
    cJSON *f = cJSON_GetObjectItemCaseSensitive(doc, name);
    EXPECT_TRUE(f != nullptr) << name;
    if (f) EXPECT_STREQ(cJSON_GetObjectItem(f, "type")->valuestring, type) << name;
    return f ? cJSON_GetObjectItem(f, "samples") : nullptr;
}

double value_of(cJSON *samples, int i) {
    return cJSON_GetArrayItem(cJSON_GetArrayItem(samples, i), 2)->valuedouble;
}

const char *label_of(cJSON *samples, int i, const char *label) {
    cJSON *l = cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetArrayItem(samples, i), 1), label);
    return l ? l->valuestring : "";
}

// The library's walk contract, with what a parser must survive: text that needs escaping in
// a label and in HELP, a name that is not a metric name, a line of another shape, a counter
// that never formats, and an explanation holding parentheses.
int walk_odd(char *buf, int len, int *index) {
    const int i = *index;
    if (i > 48) return 0;
    if (i == 47) return -1;  // never fits
    std::string line = i == 0   ? "MALLOC_IN_USE_TIMES(live \\ blocks\nnow): 7\n"
                       : i == 1 ? "A\"b\\c(memory for odd names): 9\n"
                       : i == 2 ? "no value here\n"
                       : i < 46 ? "CAT_" + std::to_string(i) + "(memory for " + std::to_string(i) +
                                      "): " + std::to_string(i * 100) + "\n"
                       : i == 46 ? "9-BAD.NAME(odd name): 5\n"
                                 : "HOLD_MEM_OVERLIMIT(msg faile to hold(merge or rely)): 3\n";
    if (int(line.size()) >= len) return -1;
    memcpy(buf, line.c_str(), line.size() + 1);
    return ++*index, int(line.size());
}

}  // namespace

TEST(KivhostMetrics, FileReadsBackThroughThePrometheusParser) {
    TempDir t;
    Delivery sink;
    OutputConfig oc;
    oc.name = "a\"b";  // a label value that needs its escape
    sink.add(std::make_unique<Output>(oc, make_file_sink({})));
    sink.upload("{}", 2, UPLOAD_PROC_EXEC);
    sink.upload("{}", 2, 99);  // outside the table
    sink.upload(nullptr, 0, UPLOAD_APP_LOG);
    ASSERT_EQ(replace_file(t.path + "/odd.prom", metrics_text(sink, 2.5, "1.1.0_\"x\"", walk_odd)),
              0);
    std::string why;
    cJSON *doc = parsed_metrics(t.path + "/odd.prom", &why);
    if (!doc) GTEST_SKIP() << why;

    EXPECT_STREQ(label_of(family(doc, "kivhost_info", "gauge"), 0, "library"), "1.1.0_\"x\"");
    EXPECT_EQ(value_of(family(doc, "kivhost_uptime_seconds", "gauge"), 0), 2.5);
    cJSON *docs = family(doc, "kivhost_documents", "counter");
    ASSERT_EQ(cJSON_GetArraySize(docs), kSlots);
    EXPECT_STREQ(label_of(docs, kSlots - 1, "type"), "UNKNOWN");
    EXPECT_EQ(value_of(docs, kSlots - 1), 1);
    // Each output's families, labelled with its name; drops by reason.
    EXPECT_STREQ(label_of(family(doc, "kivhost_output_up", "gauge"), 0, "output"), "a\"b");
    cJSON *dropped = family(doc, "kivhost_output_dropped", "counter");
    ASSERT_EQ(cJSON_GetArraySize(dropped), 4);
    EXPECT_STREQ(label_of(dropped, 3, "reason"), "refused");

    cJSON *blocks = cJSON_GetObjectItem(doc, "qxkiv_memory_blocks");
    ASSERT_TRUE(blocks);
    EXPECT_STREQ(cJSON_GetObjectItem(blocks, "help")->valuestring, "live \\ blocks\nnow");
    // Categories 1..45 but the line of another shape, the odd name as it was.
    cJSON *mem = family(doc, "qxkiv_memory_bytes", "gauge");
    ASSERT_EQ(cJSON_GetArraySize(mem), 44);
    EXPECT_STREQ(label_of(mem, 0, "category"), "A\"b\\c");
    EXPECT_STREQ(label_of(mem, 43, "category"), "CAT_45");
    EXPECT_EQ(value_of(mem, 43), 4500);
    EXPECT_EQ(value_of(family(doc, "qxkiv_9_bad_name", "counter"), 0), 5);
    // Counter 47 never formatted and is left out; 48 keeps the parentheses of its text.
    cJSON *hold = cJSON_GetObjectItem(doc, "qxkiv_hold_mem_overlimit");
    ASSERT_TRUE(hold);
    EXPECT_STREQ(cJSON_GetObjectItem(hold, "help")->valuestring,
                 "msg faile to hold(merge or rely)");
    EXPECT_EQ(cJSON_GetArraySize(doc), 19);  // nothing else came through
    cJSON_Delete(doc);
}

TEST(KivhostCheckConfig, EachProblemWithWhatIsUsedAndTheStatus) {
    Tree t;
    std::string out, err;
    // The shipped configuration: nothing to say, and nothing started.
    EXPECT_EQ(t.run("--check-config", &out, &err), 0) << out << err;
    EXPECT_EQ(out, "");
    EXPECT_TRUE(has(err, "kivhost: 0 configuration problems\n")) << err;
    EXPECT_TRUE(fs::is_empty(t.root / "logs") && fs::is_empty(t.root / "var/data"));

    // Values the sensor replaces: each named with its file, key, value and replacement.
    // The paths as the library expands "@" (the directory of the agent).
    const std::string c = (t.root / "bin//../config/").string();
    t.set("sensor.conf", "log_level", "9");
    t.set("net.conf", "port_list", "21,22,70000,25,80,110,135,139,143,443,445,3389");
    t.set("file.conf", "monitor_filter_cnt", "0");  // read twice at start-up
    t.set("task.conf", "ioctl_timeout", "0x10");    // hexadecimal is a number
    EXPECT_EQ(t.run("--check-config", &out, &err), 1) << out << err;
    for (const std::string &line : {
             c + "sensor.conf: [base] log_level = 9: using 2 (range 0..4)",
             c + "net.conf: [netscan] port_list = 70000: using 4464 (not a port 1..65535)",
             c + "file.conf: [base] monitor_filter_cnt = 0: using 256 (range 1..65536)",
         })
        EXPECT_TRUE(has(out, line + "\n")) << line << "\n" << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
    EXPECT_TRUE(has(err, "kivhost: 3 configuration problems\n")) << err;
    EXPECT_FALSE(has(out, "start-up fails"));

    // What start-up fails on says so; a file that is not there is one problem of its own.
    t.set("sensor.conf", "kernel_mode", "userspce");
    t.set("file.conf", "cnt", "99999");  // file_suffix, the first list of the file
    fs::remove(t.root / "config/net.conf");
    EXPECT_EQ(t.run("--check-config", &out, &err), 1) << out << err;
    for (const std::string &line : {
             "start-up fails: " + c + "sensor.conf: [base] kernel_mode = userspce: using nothing",
             "start-up fails: " + c + "file.conf: [file_suffix] cnt = 99999: using nothing",
             "start-up fails: " + c + "net.conf: using nothing: the file cannot be read (No such",
         })
        EXPECT_TRUE(has(out, line)) << line << "\n" << out;
    EXPECT_TRUE(fs::is_empty(t.root / "logs") && fs::is_empty(t.root / "var/data"));

    // A library without the check is an error, not a clean bill.
    EXPECT_EQ(check_config((t.root / "none.so").string()), 1);
    EXPECT_EQ(kiv_check_config(nullptr, nullptr), -1);
}
