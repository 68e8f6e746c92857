// The agent's two looks at the sensor from outside: the statistics file in the Prometheus
// text format, read back by Debian's parser of that format, and --check-config.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "base/mem.h"
#include "check_config.h"
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

}  // namespace

// The built agent's file after a run: the parser takes its layout and escapes, and every
// counter of the library is there once, the memory ones as one labelled gauge.
TEST(KivhostMetrics, FileReadsBackThroughThePrometheusParser) {
    Tree t;
    std::string out, err, why;
    const std::string prom = (t.root / "logs/kivhost.prom").string();
    ASSERT_EQ(
        t.run("--seconds 1 --output /dev/null --stats-format openmetrics --stats-file " + prom,
              &out, &err),
        0)
        << err;
    cJSON *doc = parsed_metrics(prom, &why);
    if (!doc) GTEST_SKIP() << why;
    cJSON *mem = cJSON_GetObjectItem(doc, "qxkiv_memory_bytes");
    ASSERT_TRUE(mem);
    EXPECT_STREQ(cJSON_GetObjectItem(mem, "type")->valuestring, "gauge");
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(mem, "samples")), kMemoryCounters - 1);
    int counters = 0;
    for (cJSON *f = doc->child; f; f = f->next)
        counters += strncmp(f->string, "qxkiv_", 6) == 0 &&
                    strcmp(cJSON_GetObjectItem(f, "type")->valuestring, "counter") == 0;
    EXPECT_EQ(counters, (int)USENSOR_STAT_MAX - kMemoryCounters);
    EXPECT_TRUE(cJSON_GetObjectItem(doc, "kivhost_uptime_seconds"));
    cJSON_Delete(doc);
}

TEST(KivhostCheckConfig, EachProblemWithWhatIsUsedAndTheStatus) {
    Tree t;
    std::string out, err;
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
