// The live file source's view of the filter lists: payloads as the library sends them
// (replace, add, delete), and which paths and event kinds they let through.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/standin/live_file.h"

namespace {

// One 0x7307 payload: total, operation, kind, then group, mask and text with its NUL each.
std::vector<unsigned char> payload(int op, int kind,
                                   const std::vector<std::pair<std::string, uint8_t>> &items) {
    std::vector<unsigned char> b(6, 0);
    for (auto &[text, mask] : items) {
        b.push_back(99), b.push_back(mask);
        b.insert(b.end(), text.begin(), text.end());
        b.push_back(0);
    }
    uint32_t total = (uint32_t)b.size() - 6;
    for (int i = 0; i < 4; i++) b[i] = (unsigned char)(total >> (8 * i));
    b[4] = (unsigned char)op, b[5] = (unsigned char)kind;
    return b;
}
void send(int op, int kind, const std::vector<std::pair<std::string, uint8_t>> &items) {
    auto b = payload(op, kind, items);
    live_file_filter(b.data(), b.size());
}

TEST(LiveFileLists, WatchedExcludedAndReplaced) {
    live_file_reset();
    constexpr uint8_t ALL = LIVE_FILE_MASK_ALL;
    send(0, 1, {{"/srv/www", ALL}, {"/etc", 1u << 3}});  // path list; /etc: modify only
    send(0, 0, {{"/root/.bashrc", ALL}});                // file list
    send(0, 5, {{"/srv/www/cache", ALL}});               // path exclude
    struct Row {
        const char *path;
        int kind;
        bool watched;
    };
    for (const Row &r :
         {Row{"/srv/www/index.php", 0, true}, Row{"/srv/www", 1, true},
          Row{"/srv/wwwx/a", 0, false},  // a prefix, not a parent
          Row{"/srv/www/cache/x", 0, false}, Row{"/etc/passwd", 3, true},
          Row{"/etc/passwd", 1, false}, Row{"/root/.bashrc", 2, true},
          Row{"/root/.bashrc.bak", 2, false}, Row{"/tmp/x", 0, false}, Row{"/srv/www/a", 9, false}})
        EXPECT_EQ(live_file_watched(r.path, r.kind), r.watched) << r.path << " " << r.kind;
    send(1, 1, {{"/tmp", ALL}});      // add
    send(2, 1, {{"/srv/www", ALL}});  // delete
    EXPECT_TRUE(live_file_watched("/tmp/x", 0));
    EXPECT_FALSE(live_file_watched("/srv/www/index.php", 0));
    EXPECT_TRUE(live_file_watched("/etc/group", 3));
    send(0, 1, {});  // an empty replacement clears the kind
    EXPECT_FALSE(live_file_watched("/tmp/x", 0));
    // A payload whose text runs past its stated total changes nothing.
    auto bad = payload(1, 1, {{"/var", ALL}});
    bad[0] = (unsigned char)(bad[0] - 1);
    live_file_filter(bad.data(), bad.size());
    EXPECT_FALSE(live_file_watched("/var/x", 0));
    live_file_filter(bad.data(), 3);  // shorter than the head
    live_file_reset();
}

}  // namespace

// ---- live activity through the whole library ----------------------------------------------

#include <cjson/cJSON.h>
#include <limits.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "framework/mod_manager.h"
#include "live_workload.h"
#include "qxkiv/qxkiv.h"
#include "staged_tree.h"
#include "startup/startup.h"

namespace {

std::mutex s_up_lock;
std::vector<std::string> s_docs;
int capture(const char *text, uint32_t len, int32_t type, uint32_t) {
    std::lock_guard g(s_up_lock);
    s_docs.emplace_back(text, len);
    return 0;
}

struct file_doc {
    std::string event, name, exe, cmd, user, perm, type;
    int exist = -1;
};
std::vector<file_doc> file_docs(const std::string &dir) {
    std::lock_guard g(s_up_lock);
    std::vector<file_doc> out;
    for (auto &text : s_docs) {
        cJSON *root = cJSON_Parse(text.c_str());
        cJSON *m = cJSON_GetObjectItem(root, "message");
        auto str = [m](const char *k) {
            cJSON *v = cJSON_GetObjectItem(m, k);
            return cJSON_IsString(v) ? std::string(v->valuestring) : std::string();
        };
        if (m && str("file_name").rfind(dir, 0) == 0) {
            cJSON *e = cJSON_GetObjectItem(m, "is_exist");
            out.push_back({str("event_name"), str("file_name"), str("process_path"),
                           str("process_cmd_line"), str("file_user_name"), str("file_permissions"),
                           str("type"), cJSON_IsNumber(e) ? (int)e->valuedouble : -1});
        }
        cJSON_Delete(root);
    }
    return out;
}

bool has(const std::vector<file_doc> &docs, const std::string &event, const std::string &name,
         const std::string &type = "") {
    for (auto &d : docs)
        if (d.event == event && d.name == name && (type.empty() || d.type == type)) return true;
    return false;
}

// A child with a known command line writes a PNG and a PHP file, renames, re-permits and
// deletes in a watched directory; each document names the file(s), the acting process, the
// owner and permissions, and the type of the written files.
TEST(LiveFileActivity, ChildFileOperationsReported) {
    staged_tree tree{"kernel_mode = userspace\ncollector_task_num = 1\n"};
    char tmpl[] = "/tmp/kivlivefile.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    {
        std::ifstream in(tree.file_conf());
        std::string text{std::istreambuf_iterator<char>(in), {}};
        // Written images are typed and reported too, here.
        text.replace(text.find("[type_filter]\ncnt = 11"), 22, "[type_filter]\ncnt = 12");
        text.replace(text.find("type_10 = !.ico\n"), 16, "type_10 = !.ico\ntype_11 = png\n");
        std::ofstream(tree.file_conf()) << text;
    }
    if (sensor_init() != 0) GTEST_SKIP() << "sensor did not start in userspace mode (needs root)";
    if (!live_file_running()) {
        sensor_exit();
        GTEST_SKIP() << "fanotify with names unavailable here; the sensor log says why";
    }
    g_init_done = 1;
    register_upload_callback(capture);
    sensor_switch(1);
    // Files are typed by their content when the sensor handles the event, so the renames and
    // the deletion come once the written files were reported.
    const std::string write =
        "cd \"$1\" && printf '\\211PNG\\r\\n\\032\\n0123456789abcdefghijklmnop' > pic.dat && "
        "printf '<?php echo 1; ?>\\n' > page.php";
    const std::string change =
        "cd \"$1\" && mv page.php page2.php && chmod 640 page2.php && rm pic.dat";
    auto run = [&](const std::string &script) {
        pid_t child = live_spawn({"/bin/sh", "-c", script, "kivfileop", dir});
        int status = -1;
        if (child > 0) waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    const std::string png = dir + "/pic.dat", php = dir + "/page.php", php2 = dir + "/page2.php";
    auto wait_docs = [&](auto pred) {
        for (int i = 0; i < 500; i++) {
            if (pred(file_docs(dir))) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    };
    ASSERT_TRUE(run(write));
    bool written = wait_docs([&](const std::vector<file_doc> &d) {
        return has(d, "File Creation", png, "png") && has(d, "File Creation", php, "php");
    });
    ASSERT_TRUE(run(change));
    bool changed = wait_docs([&](const std::vector<file_doc> &d) {
        return has(d, "File Renameing", php2) && has(d, "File Renameing", php) &&
               has(d, "File Deletion", png);
    });
    bool all = written && changed;
    sensor_exit();
    g_init_done = 0;
    auto docs = file_docs(dir);
    rmdir((dir + "/page2.php").c_str());
    unlink(php2.c_str());
    rmdir(dir.c_str());
    std::string seen;
    for (auto &d : docs) seen += d.event + " " + d.name + " " + d.type + "\n";
    ASSERT_TRUE(all) << seen;
    // The writes are the shell's own (printf is built in); mv and rm are processes of their
    // own, each with its command line.
    char sh[PATH_MAX], mv[PATH_MAX], rm[PATH_MAX];
    ASSERT_TRUE(realpath("/bin/sh", sh) && realpath("/bin/mv", mv) && realpath("/bin/rm", rm));
    for (auto &d : docs) {
        SCOPED_TRACE(d.event + " " + d.name);
        if (d.event == "File Creation") {
            EXPECT_EQ(d.exe, sh);
            EXPECT_EQ(d.cmd, "/bin/sh -c " + write + " kivfileop " + dir);
        } else if (d.event == "File Renameing") {
            EXPECT_EQ(d.exe, mv);
            EXPECT_EQ(d.cmd, "mv page.php page2.php");
        } else if (d.event == "File Deletion") {
            EXPECT_EQ(d.exe, rm);
            EXPECT_EQ(d.cmd, "rm pic.dat");
        }
        EXPECT_EQ(d.user, "root");
        if (d.event == "File Renameing") EXPECT_EQ(d.exist, d.name == php2 ? 1 : 0);
        if (d.event == "File Creation" && d.type != "-") EXPECT_EQ(d.perm, "rw-r--r--");
    }
}

}  // namespace
