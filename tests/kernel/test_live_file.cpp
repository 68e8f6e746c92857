// The live file source: its memory bounds under a watched path list as the library sends it,
// and a child's file operations through the whole library.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "e2e_host.h"
#include "framework/mod_manager.h"
#include "kernel/capture/fanotify_files.h"
#include "live_workload.h"
#include "staged_tree.h"
#include "startup/startup.h"

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

// Links with long paths that are never closed after writing, in directories of long names:
// the source's recent creations and directory paths stay within their byte bounds however
// many come, and what they hold is accounted memory.
TEST(LiveFileMemory, LongPathsStayWithinTheirBytesAndAreAccounted) {
    const live_file_bounds small{64u << 10, 256u << 10, 16u << 20};
    live_file_set_bounds(&small);
    std::string why;
    if (live_file_start(&why) != 0) {
        live_file_set_bounds(nullptr);
        GTEST_SKIP() << why;
    }
    char tmpl[] = "/tmp/kivlivemem.XXXXXX";
    std::string top = mkdtemp(tmpl), deep = top;
    for (int i = 0; i < 12; i++) deep += "/" + std::string(240, (char)('a' + i));
    ASSERT_EQ(system(("mkdir -p '" + deep + "'").c_str()), 0);
    live_file_reset();
    send(0, 1, {{top, LIVE_FILE_MASK_ALL}});
    // Made by a child: the source passes over its own process's activity.
    auto links = [&](const std::string &dir, int from, int to) {
        std::vector<std::string> names;
        for (int i = from; i < to; i++) names.push_back(dir + "/l" + std::to_string(i));
        pid_t child = fork();
        if (child == 0) {
            for (auto &n : names)
                if (symlink("/nowhere", n.c_str()) != 0) _exit(1);
            _exit(0);
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_EQ(status, 0);
    };
    const int64_t before = kiv_stat_get(MALLOC_FOR_HASH);
    const size_t path_len = deep.size() + 4;
    links(deep, 0, 40);  // about half the bound
    ASSERT_TRUE(wait_for([&] { return live_file_usage().created >= 40 * path_len; }, 15));
    EXPECT_GE(kiv_stat_get(MALLOC_FOR_HASH) - before, (int64_t)(40 * path_len));
    // Ten times the bound of creations, and directories beyond theirs.
    for (int d = 0; d < 40; d++) {
        std::string sub = deep.substr(0, deep.rfind('/')) + "/d" + std::to_string(d);
        ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);  // the test's own: not seen
        links(sub, 0, 1);
        links(deep, 40 + d * 20, 60 + d * 20);
        live_file_bounds used = live_file_usage();
        ASSERT_LE(used.created, small.created);
        ASSERT_LE(used.dirs, small.dirs);
    }
    for (int i = 0; i < 100; i++, usleep(10000)) {
        live_file_bounds used = live_file_usage();
        ASSERT_LE(used.created, small.created);
        ASSERT_LE(used.dirs, small.dirs);
        // The maps' nodes and buckets on top of the counted bytes stay small.
        ASSERT_LE(kiv_stat_get(MALLOC_FOR_HASH) - before,
                  (int64_t)(small.created + small.dirs + (64u << 10)));
    }
    live_file_stop();
    live_file_set_bounds(nullptr);
    live_file_reset();
    EXPECT_EQ(live_file_usage().created, 0u);
    EXPECT_EQ(system(("rm -rf '" + top + "'").c_str()), 0);
}

// ---- live activity through the whole library ----------------------------------------------

// ---- live activity through the whole library ----------------------------------------------

// The documents about files under dir.
std::vector<parsed_doc> file_docs(const std::string &dir) {
    std::vector<parsed_doc> out;
    for (auto &d : parsed_docs(0, 1 << 30, dir))
        if (d.str("file_name").rfind(dir, 0) == 0) out.push_back(d);
    return out;
}

bool has(const std::vector<parsed_doc> &docs, const std::string &event, const std::string &name,
         const std::string &type = "") {
    for (auto &d : docs)
        if (d.str("event_name") == event && d.str("file_name") == name &&
            (type.empty() || d.str("type") == type))
            return true;
    return false;
}

// Starts the sensor, documents captured; the reason when it cannot watch files here.
std::string start_with_files() {
    clear_uploads();
    if (!host_start(capture)) return "sensor did not start in userspace mode (needs root)";
    if (!live_file_running()) {
        sensor_exit();
        g_init_done = 0;
        return "fanotify with names unavailable here; the sensor log says why";
    }
    return "";
}

// Runs a shell script in a child, $1 the argument; true when it exits 0.
bool run_sh(const std::string &script, const std::string &arg) {
    pid_t child = live_spawn({"/bin/sh", "-c", script, "kivfileop", arg});
    int status = -1;
    if (child > 0) waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
        // Only this test's directory in place of /tmp: the whole suite's churn there would
        // spend the per-program budgets (rm, mv) before this test's own events come.
        text.replace(text.find("path_2 = /tmp\n"), 14, "path_2 = " + dir + "\n");
        std::ofstream(tree.file_conf()) << text;
    }
    if (std::string why = start_with_files(); !why.empty()) GTEST_SKIP() << why;
    // Files are typed by their content when the sensor handles the event, so the renames and
    // the deletion come once the written files were reported.
    const std::string write =
        "cd \"$1\" && printf '\\211PNG\\r\\n\\032\\n0123456789abcdefghijklmnop' > pic.dat && "
        "printf '<?php echo 1; ?>\\n' > page.php";
    const std::string change =
        "cd \"$1\" && mv page.php page2.php && chmod 640 page2.php && rm pic.dat";
    const std::string png = dir + "/pic.dat", php = dir + "/page.php", php2 = dir + "/page2.php";
    auto wait_docs = [&](auto pred) { return wait_for([&] { return pred(file_docs(dir)); }, 10); };
    ASSERT_TRUE(run_sh(write, dir));
    bool written = wait_docs([&](const std::vector<parsed_doc> &d) {
        return has(d, "File Creation", png, "png") && has(d, "File Creation", php, "php");
    });
    ASSERT_TRUE(run_sh(change, dir));
    bool changed = wait_docs([&](const std::vector<parsed_doc> &d) {
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
    for (auto &d : docs) seen += d.text() + "\n";
    ASSERT_TRUE(all) << seen;
    // The writes are the shell's own (printf is built in); mv and rm are processes of their
    // own, each with its command line.
    char sh[PATH_MAX], mv[PATH_MAX], rm[PATH_MAX];
    ASSERT_TRUE(realpath("/bin/sh", sh) && realpath("/bin/mv", mv) && realpath("/bin/rm", rm));
    for (auto &d : docs) {
        const std::string event = d.str("event_name"), name = d.str("file_name");
        SCOPED_TRACE(event + " " + name);
        if (event == "File Creation") {
            EXPECT_EQ(d.str("process_path"), sh);
            EXPECT_EQ(d.str("process_cmd_line"), "/bin/sh -c " + write + " kivfileop " + dir);
            if (d.str("type") != "-") EXPECT_EQ(d.str("file_permissions"), "rw-r--r--");
        } else if (event == "File Renameing") {
            EXPECT_EQ(d.str("process_path"), mv);
            EXPECT_EQ(d.str("process_cmd_line"), "mv page.php page2.php");
            EXPECT_EQ(d.num("is_exist"), name == php2 ? 1 : 0);
        } else if (event == "File Deletion") {
            EXPECT_EQ(d.str("process_path"), rm);
            EXPECT_EQ(d.str("process_cmd_line"), "rm pic.dat");
        }
        EXPECT_EQ(d.str("file_user_name"), "root");
    }
}

}  // namespace
