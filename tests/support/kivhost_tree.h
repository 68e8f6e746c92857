// The built agent in a private copy of the staged tree (emulated kernel, own logs, spool and
// state), fed exec records by the preloaded storm; helpers to read what it said.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "test_io.h"

struct TempDir {
    std::string path;
    TempDir() {
        char t[] = "/tmp/kivsys.XXXXXX";
        path = mkdtemp(t) ? t : "";
    }
    ~TempDir() { EXPECT_EQ(system(("rm -rf " + path).c_str()), 0); }
};

// Shell commands that copy the staged installation to t (emulated kernel, a resolver on
// loopback only) and set K to its agent.
inline std::string stage_agent(const std::string &t) {
    return "cd " KIV_STAGE_DIR "; mkdir -p " + t + "; cp -r bin lib config " + t + "; mkdir -p " +
           t + "/logs " + t + "/var/data; sed -i 's/^kernel_mode *=.*/" +
           "kernel_mode = emulated/' " + t + "/config/sensor.conf; echo 'nameserver 127.0.0.1' >" +
           t + "/resolv.conf; export QXKIV_RESOLV_CONF=" + t + "/resolv.conf; K=" + t +
           "/bin/kivhost; ";
}

#ifdef KIV_STORM_PRELOAD
// The agent of the tree at t with the storm preloaded: n exec records, then a stop.
inline std::string storm_agent(const std::string &t, int n) {
    return "KIV_STORM_LIB=" + t + "/lib/libqxkiv.so KIV_STORM_COUNT=" + std::to_string(n) +
           " ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0 LD_PRELOAD=" KIV_STORM_PRELOAD
           " $K --mask 1 --seconds 300 ";
}
#endif

// The running agent of the tree at t (its instance lock names it), or -1.
inline pid_t agent_pid(const std::string &t) {
    return static_cast<pid_t>(atol(slurp(t + "/var/data/qxkiv.lock").c_str()) ?: -1);
}

// Polls every 50 ms for up to a minute.
inline bool wait_until(const std::function<bool()> &pred) {
    for (int i = 0; i < 1200; ++i, usleep(50 * 1000))
        if (pred()) return true;
    return false;
}

// "N documents" of the agent's summary; 0 when it is not there.
inline unsigned long long summary_documents(const std::string &err) {
    unsigned long long docs = 0;
    size_t at = err.find(" s, ");
    if (at == std::string::npos || sscanf(err.c_str() + at, " s, %llu documents", &docs) != 1)
        return 0;
    return docs;
}

// Each NDJSON line parsed; a line that is no JSON object is a failure.
inline void each_document(const std::string &text, const std::function<void(cJSON *)> &fn) {
    for (size_t pos = 0, nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        std::string line = text.substr(pos, nl - pos);
        cJSON *doc = cJSON_ParseWithOpts(line.c_str(), nullptr, 1);
        if (!cJSON_IsObject(doc))
            ADD_FAILURE() << "not a document: " << line.substr(0, 200);
        else
            fn(doc);
        cJSON_Delete(doc);
    }
    if (!text.empty() && text.back() != '\n') ADD_FAILURE() << "a cut last line";
}

// The seq_id of a document, -1 without one.
inline long long seq_of(cJSON *doc) {
    cJSON *s = cJSON_GetObjectItem(doc, "seq_id");
    return cJSON_IsString(s) ? strtoll(s->valuestring, nullptr, 10) : -1;
}
