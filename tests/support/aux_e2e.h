// End-to-end harness for the sensors that only write to the sensor log (library loads,
// signals, named pipes): records assembled by hand from their byte layout, a started sensor
// on the stand-in with a driven clock, and the records read back from the log file.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/mem.h"
#include "comm/timer.h"
#include "e2e_host.h"
#include "framework/mod_manager.h"
#include "log/ulog.h"
#include "proc_bytes.h"
#include "qxkiv/kemu.h"
#include "qxkiv/qxkiv.h"
#include "staged_tree.h"
#include "startup/startup.h"

using aux_bytes = std::vector<unsigned char>;

// Header (magic, len, type, pid), four unused bytes; len is the true size unless given.
inline void aux_header(proc_bytes &w, unsigned type, uint32_t pid) {
    w.u32(0xFEDCCDEF), w.u16(0), w.u16(type), w.u32(pid), w.u32(0);
}
inline void aux_set_len(aux_bytes &b, int len = -1) {
    uint16_t n = len < 0 ? (uint16_t)b.size() : (uint16_t)len;
    b[4] = (unsigned char)n, b[5] = (unsigned char)(n >> 8);
}

// Library load (3) or pipe (19, 20): create_time 16, pid 24, path length 28, path 32.
// path_len < 0 states the path with its NUL; nul false leaves the terminator off.
inline aux_bytes aux_path_rec(unsigned type, uint32_t pid, uint64_t create_time,
                              const std::string &path, long path_len = -1, bool nul = true) {
    proc_bytes w;
    aux_header(w, type, pid);
    w.u64(create_time), w.u32(pid);
    w.u32(path_len < 0 ? (uint32_t)path.size() + 1 : (uint32_t)path_len);
    w.b.insert(w.b.end(), path.begin(), path.end());
    if (nul) w.u8(0);
    aux_set_len(w.b);
    return w.b;
}

// Signal (4): sender create_time 16, target create_time 24, sender pid 32, target pid 36,
// signal 40.
inline aux_bytes kill_rec(uint32_t pid, uint64_t create_time, uint32_t killed_pid,
                          uint64_t killed_create_time, int32_t sig) {
    proc_bytes w;
    aux_header(w, 4, pid);
    w.u64(create_time), w.u64(killed_create_time), w.u32(pid), w.u32(killed_pid);
    w.u32((uint32_t)sig);
    aux_set_len(w.b);
    return w.b;
}

inline proc_fields aux_proc(uint32_t pid, const std::string &path, const std::string &cmd) {
    proc_fields f;
    f.pid = pid, f.ppid = 1, f.create_time = 5000 + pid, f.parent_create_time = 0;
    f.uid[1] = f.gid[1] = 0;
    f.s[0] = cmd, f.s[1] = "/", f.s[2] = path;
    return f;
}

struct AuxE2E : ::testing::Test {
    staged_tree tree{"kernel_mode = emulated\ncollector_task_num = 1\nlog_level = 3\n"};
    size_t log_seen = 0;  // bytes of the log already handed out by new_lines

    void start(const std::string &task_keys = "", const std::string &file_keys = "") {
        staged_tree::set_keys(tree.task_conf(), task_keys);
        staged_tree::set_keys(tree.file_conf(), file_keys);
        kiv_timer_set_source(fake_clock);
        ASSERT_TRUE(host_start(capture, fixed_header));
        // The acting process, reported by the process module.
        exec(aux_proc(300, "/nonexistent/actor", "/usr/bin/actor -x"));
        new_lines("");  // start-up lines are not the tests' business
    }
    void TearDown() override { host_stop(); }
    // Injects an exec and waits for its creation to be reported.
    void exec(const proc_fields &f) {
        size_t before = creations();
        aux_bytes rec = process_record(f);
        ASSERT_EQ(kemu_inject(KEMU_RING_HIGH, rec.data(), (uint32_t)rec.size()), KEMU_OK);
        ASSERT_TRUE(wait_for([&] { return creations() > before; }));
    }
    static size_t creations() {
        std::lock_guard g(s_up_lock);
        size_t n = 0;
        for (auto &[t, text] : s_uploads) n += t == UPLOAD_PROC_EXEC;
        return n;
    }
    static void inject(const aux_bytes &m, int ring = KEMU_RING_MID) {
        ASSERT_EQ(kemu_inject(ring, m.data(), (uint32_t)m.size()), KEMU_OK);
    }
    // Lets the clock run so that the framework thread and the collectors see each step.
    static void advance(uint64_t ms, uint64_t step = 500) {
        for (uint64_t done = 0; done < ms; done += step) EXPECT_TRUE(clock_step(step, 20));
    }
    // Every level's lines; sensor.log keeps levels 0 to 2 only.
    std::string full_log() {
        ulog_save_once();
        return tree.read("logs/sensor_all.log");
    }
    // Text after "<marker>" of each log line written since the last call that contains it.
    std::vector<std::string> new_lines(const std::string &marker) {
        std::string log = full_log();
        std::vector<std::string> out;
        size_t at = log_seen;
        for (size_t nl; (nl = log.find('\n', at)) != std::string::npos; at = nl + 1) {
            std::string line = log.substr(at, nl - at);
            size_t m = marker.empty() ? std::string::npos : line.find(marker);
            if (m != std::string::npos) out.push_back(line.substr(m + marker.size()));
        }
        log_seen = at;
        return out;
    }
    // The envelope and message keys up to "event_name", as the host state above makes them.
    static std::string head(const std::string &id, const std::string &name) {
        return "{\"send_time\":\"2026-01-02 03:04:05\",\"send_timestamp\":1767323045123,"
               "\"host_uuid\":\"uuid-1\",\"host_ip\":\"10.0.0.1\",\"ip_list\":\"10.0.0.1\","
               "\"seq_id\":\"7\",\"app_name\":\"opx-linux\",\"message\":{\"record_time\":"
               "\"2026-01-02 03:04:05\",\"record_timestamp\":1767323045123,\"event_id\":\"" +
               id + "\",\"event_name\":\"" + name + "\",";
    }
    static std::string value_of(const std::string &doc, const std::string &key) {
        size_t at = doc.find("\"" + key + "\":\"");
        if (at == std::string::npos) return "";
        at += key.size() + 4;
        return doc.substr(at, doc.find('"', at) - at);
    }
    // The nine process keys of the actor (pid 300), prefixed.
    static std::string actor_block(const std::string &doc, const std::string &prefix = "") {
        std::string p = "\"" + prefix;
        return p + "process_id\":300," + p + "process_guid\":\"" +
               value_of(doc, prefix + "process_guid") + "\"," + p +
               "process_path\":\"/nonexistent/actor\"," + p + "process_md5\":\"" +
               std::string(32, '0') + "\"," + p + "process_sha256\":\"" + std::string(64, '0') +
               "\"," + p + "process_createtime\":5300," + p +
               "process_cmd_line\":\"/usr/bin/actor -x\"," + p + "process_user_name\":\"root\"," +
               p + "process_group_name\":\"root\"";
    }
};
