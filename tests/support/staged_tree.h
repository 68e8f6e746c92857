// A temporary installation tree for start-up tests: config/sensor.conf, the shipped
// config/task.conf, file.conf, net.conf, log_collector.conf, block_logger.conf and a log
// directory, with the library pointed at them instead of the build tree.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>

#include "block_logger/block_logger.h"
#include "comm/dirutils.h"
#include "framework/config.h"
#include "file/file.h"
#include "log_collector/log_collector.h"
#include "net/net.h"
#include "task/task.h"

struct staged_tree {
    // The shipped module files and how each module is pointed at its copy.
    static constexpr std::pair<const char *, void (*)(const char *)> kShipped[] = {
        {"task.conf", task_set_conf_path},
        {"file.conf", file_set_conf_path},
        {"net.conf", net_set_conf_path},
        {"block_logger.conf", block_logger_set_conf_path},
        {"log_collector.conf", log_collector_set_conf_path}};
    std::string root;
    framework_config saved = g_framework_config;

    // `base` is the text of section "base"; the log directory is always set.
    explicit staged_tree(const std::string &base = "kernel_mode = emulated\n") {
        char tmpl[] = "/tmp/kivstage.XXXXXX";
        root = mkdtemp(tmpl);
        for (const char *d : {"/config", "/logs"}) mkdir((root + d).c_str(), 0700);
        write_conf(base);
        kiv_set_sensor_conf_path(conf().c_str());
        // The modules read the shipped files from the same directory. A run of the described
        // behaviour (tests/keys/keys_off.sh) names a tree of its own whose config/ holds the
        // shipped files with every extension off.
        const char *other = getenv("KIV_TEST_SHIPPED_TREE");
        std::string src = other ? std::string(other) + "/" : std::string(KIV_SOURCE_DIR);
        for (auto [name, set_path] : kShipped) {
            std::ifstream shipped(src + "config/" + name);
            std::ofstream(root + "/config/" + name) << shipped.rdbuf();
            set_path((root + "/config/" + name).c_str());
        }
        // The network module's DNS probe asks loopback only, never this host's resolvers.
        std::ofstream(root + "/resolv.conf") << "nameserver 127.0.0.1\n";
        setenv("QXKIV_RESOLV_CONF", (root + "/resolv.conf").c_str(), 1);
        // Lines flushed before the configuration is read land here too.
        snprintf(g_framework_config.log_path, sizeof(g_framework_config.log_path), "%s",
                 logs().c_str());
    }
    ~staged_tree() {
        kiv_set_sensor_conf_path(nullptr);
        for (auto [name, set_path] : kShipped) set_path(nullptr);
        unsetenv("QXKIV_RESOLV_CONF");
        g_framework_config = saved;
        dirutils_rmdir(root.c_str());
    }
    std::string conf() const { return root + "/config/sensor.conf"; }
    std::string logs() const { return root + "/logs"; }
    std::string task_conf() const { return root + "/config/task.conf"; }
    std::string file_conf() const { return root + "/config/file.conf"; }
    std::string net_conf() const { return root + "/config/net.conf"; }
    std::string block_logger_conf() const { return root + "/config/block_logger.conf"; }
    void write_conf(const std::string &base) const {
        std::ofstream(conf()) << "[base]\nlog_path = " << logs() << "\n" << base;
    }
    // Each "key = value" line of keys replaces the line of that key in the file at path.
    static void set_keys(const std::string &path, const std::string &keys) {
        std::ifstream in(path);
        std::string text{std::istreambuf_iterator<char>(in), {}};
        for (size_t at = 0, nl; (nl = keys.find('\n', at)) != std::string::npos; at = nl + 1) {
            std::string line = keys.substr(at, nl - at);
            size_t found = text.find("\n" + line.substr(0, line.find(" =") + 2));
            if (found == std::string::npos) {
                ADD_FAILURE() << path << " has no line for " << line;
                continue;
            }
            size_t pos = found + 1;
            text.replace(pos, text.find('\n', pos) - pos, line);
        }
        std::ofstream(path) << text;
    }
    // No watched files or paths: file events would only compete for the collector with the
    // records a live test counts.
    void no_file_watch() const {
        std::string conf = read("config/file.conf");
        for (const char *section : {"[file_filter]\ncnt = ", "[path_filter]\ncnt = "}) {
            size_t at = conf.find(section) + strlen(section);
            conf.replace(at, conf.find('\n', at) - at, "0");
        }
        std::ofstream(file_conf()) << conf;
    }
    std::string read(const std::string &rel) const {
        std::ifstream in(root + "/" + rel);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};
