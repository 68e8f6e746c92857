// The built agent as an operator runs it, for attack tests: a private copy of the staged tree
// (bin, lib, shipped config) in userspace mode with its own logs, state and a loopback-only
// resolver, plus helpers that act as an unprivileged user.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_io.h"

extern char **environ;

namespace live_agent_detail {

inline pid_t spawn(const std::vector<std::string> &args, const std::vector<std::string> &env,
                   const std::string &out_path = "") {
    std::vector<char *> argv, envp;
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (!out_path.empty()) {
        posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
    }
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

inline std::vector<std::string> environment() {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++) env.emplace_back(*e);
    return env;
}

inline std::mutex &dirs_lock() {
    static std::mutex m;
    return m;
}
inline std::vector<std::string> &dirs() {
    static std::vector<std::string> d;
    return d;
}
inline void remove_dirs() {
    std::lock_guard<std::mutex> g(dirs_lock());
    for (auto &d : dirs()) (void)!system(("rm -rf '" + d + "'").c_str());
    dirs().clear();
}

}  // namespace live_agent_detail

// Runs /bin/sh -c cmd as uid and gid 65534 with no supplementary groups; its exit status, or
// -1 when it could not run.
inline pid_t spawn_as_nobody(const std::string &cmd) {
    return live_agent_detail::spawn({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                     "--clear-groups", "/bin/sh", "-c", cmd},
                                    live_agent_detail::environment());
}
inline int as_nobody(const std::string &cmd) {
    pid_t pid = spawn_as_nobody(cmd);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A fresh directory every user may write in (as /tmp is), removed when the test program ends.
inline std::string attack_dir(const std::string &tag) {
    std::string tmpl = "/tmp/kivatk-" + tag + ".XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) return "";
    chmod(tmpl.c_str(), 0777);
    std::lock_guard<std::mutex> g(live_agent_detail::dirs_lock());
    if (live_agent_detail::dirs().empty()) atexit(live_agent_detail::remove_dirs);
    live_agent_detail::dirs().push_back(tmpl);
    return tmpl;
}

struct live_agent {
    std::string root, docs_path, err_path;
    pid_t pid = -1;

    explicit live_agent(const std::string &tag) {
        std::string tmpl = "/tmp/kivagent-" + tag + ".XXXXXX";
        root = mkdtemp(tmpl.data()) ? tmpl : "";
        docs_path = root + "/documents.ndjson";
        err_path = root + "/kivhost.err";
        std::string cmd = "cd " KIV_STAGE_DIR " && cp -a bin lib config '" + root + "' && mkdir -p '" +
                          root + "/logs' '" + root + "/var/data' '" + root + "/asan'";
        if (root.empty() || system(cmd.c_str()) != 0) root.clear();
        set_key("sensor.conf", "base", "kernel_mode", "userspace");
        set_key("sensor.conf", "base", "log_path", root + "/logs");
        // Lines reach the files within a second, so a test can read what the sensor said.
        set_key("sensor.conf", "base", "log_refresh_interval", "1");
        std::ofstream(root + "/resolv.conf") << "nameserver 127.0.0.1\n";
    }
    live_agent(const live_agent &) = delete;
    live_agent &operator=(const live_agent &) = delete;
    ~live_agent() {
        if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        // A failed test keeps the tree (documents, the agent's output, logs) for a look.
        if (!root.empty() && testing::Test::HasFailure())
            fprintf(stderr, "the agent's tree is kept in %s\n", root.c_str());
        else if (!root.empty() && getenv("KIV_KEEP_AGENT") == nullptr)
            (void)!system(("rm -rf '" + root + "'").c_str());
    }

    // Sets key = value in [section] of config/<file>, adding the key or the section if absent.
    void set_key(const std::string &file, const std::string &section, const std::string &key,
                 const std::string &value) const {
        std::string path = root + "/config/" + file;
        std::istringstream in(slurp(path));
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        std::string cur;
        long start = -1;
        bool done = false;
        for (size_t i = 0; i < lines.size() && !done; i++) {
            std::string s = lines[i];
            s.erase(0, s.find_first_not_of(" \t"));
            if (!s.empty() && s[0] == '[') {
                cur = s.substr(1, s.find(']') - 1);
                if (cur == section) start = static_cast<long>(i);
                continue;
            }
            if (cur == section && s.compare(0, key.size(), key) == 0 &&
                s.find_first_not_of(" \t", key.size()) == s.find('=')) {
                lines[i] = key + " = " + value;
                done = true;
            }
        }
        if (!done && start < 0) lines.push_back("[" + section + "]"), start = lines.size() - 1;
        if (!done) lines.insert(lines.begin() + start + 1, key + " = " + value);
        std::ofstream out(path);
        for (auto &l : lines) out << l << "\n";
    }

    // Starts bin/kivhost (with extra options after the usual ones) and waits until delivery is on; false (with its output in err_path)
    // when it exits or does not get there within timeout_s.
    bool start(int timeout_s = 120, const std::vector<std::string> &extra = {}) {
        if (root.empty()) return false;
        auto env = live_agent_detail::environment();
        env.push_back("QXKIV_RESOLV_CONF=" + root + "/resolv.conf");
        const char *asan = getenv("ASAN_OPTIONS");
        env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":log_path=" + root +
                      "/asan/asan");
        env.push_back("UBSAN_OPTIONS=print_stacktrace=1:log_path=" + root + "/asan/ubsan");
        std::vector<std::string> args = {root + "/bin/kivhost", "--seconds", "0", "--output",
                                         docs_path};
        args.insert(args.end(), extra.begin(), extra.end());
        // A second start must not take the first run's "sensor started" for its own.
        std::ofstream(err_path, std::ios::trunc);
        pid = live_agent_detail::spawn(args, env, err_path);
        if (pid < 0) return false;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
        while (std::chrono::steady_clock::now() < end) {
            if (err().find("sensor started") != std::string::npos) return true;
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // SIGTERM; the exit status, or -1 (after SIGKILL) when the agent did not stop within bound_s.
    int stop(int bound_s = 30) {
        if (pid <= 0) return -1;
        kill(pid, SIGTERM);
        int status = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(bound_s);
        while (std::chrono::steady_clock::now() < end) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        pid = -1;
        return -1;
    }

    std::string err() const { return slurp(err_path); }
    std::string log_all() const { return slurp(root + "/logs/sensor_all.log"); }
    // AddressSanitizer and UBSan reports the agent wrote, empty when none.
    std::string sanitizer_reports() const {
        std::string all;
        std::string cmd = "cat '" + root + "'/asan/* 2>/dev/null";
        if (FILE *p = popen(cmd.c_str(), "r")) {
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, p)) > 0) all.append(buf, n);
            pclose(p);
        }
        return all;
    }

    // Whole document lines written so far (a line still being written is left out).
    std::vector<std::string> docs() const {
        std::string text = slurp(docs_path);
        std::vector<std::string> out;
        for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
            out.push_back(text.substr(at, nl - at));
        return out;
    }

    // Waits up to timeout_s for a document holding every needle; the line, or "".
    std::string wait_line(const std::vector<std::string> &needles, int timeout_s) const {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
        do {
            for (auto &line : docs()) {
                bool all = true;
                for (auto &n : needles) all = all && line.find(n) != std::string::npos;
                if (all) return line;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        } while (std::chrono::steady_clock::now() < end);
        return "";
    }

    bool wait_doc(const std::vector<std::string> &needles, int timeout_s) const {
        return !wait_line(needles, timeout_s).empty();
    }

    // Every line is one JSON object in valid UTF-8.
    bool docs_valid(std::string *bad = nullptr) const {
        for (auto &line : docs()) {
            cJSON *j = cJSON_Parse(line.c_str());
            bool ok = j != nullptr && cJSON_IsObject(j) && valid_utf8(line);
            cJSON_Delete(j);
            if (!ok) {
                if (bad) *bad = line;
                return false;
            }
        }
        return true;
    }
};

// The MD5 of a file as md5sum gives it; empty when it cannot be read.
inline std::string md5sum_of(const std::string &path) {
    std::string out;
    if (FILE *p = popen(("md5sum '" + path + "'").c_str(), "r")) {
        char buf[33] = {};
        if (fscanf(p, "%32s", buf) == 1) out = buf;
        pclose(p);
    }
    return out;
}

// Stops the agent on SIGTERM; every document was valid and it reported no memory error.
inline void stop_clean(live_agent &a) {
    EXPECT_EQ(a.stop(30), 0);
    std::string bad;
    EXPECT_TRUE(a.docs_valid(&bad)) << bad;
    EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
}
