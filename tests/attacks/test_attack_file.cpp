// An unprivileged user against the file source and file typing: special files swapped in for
// written scripts, directories and scripts moved in from places nobody watches.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <chrono>
#include <string>
#include <thread>

#include "live_agent.h"
#include "test_io.h"

namespace {

// Descriptors of pid that lead to a terminal device.
std::string terminals_open(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd", found;
    DIR *d = opendir(dir.c_str());
    if (!d) return "";
    while (dirent *e = readdir(d)) {
        char target[256];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (has(target, "/dev/ptmx") || has(target, "/dev/pts/")) found += std::string(target) + " ";
    }
    closedir(d);
    return found;
}

std::string named(const std::string &path) {
    return "\"file_name\":\"" + path + "\"";
}

// Root writes a script and runs a process with a distinct command line: both are reported.
void root_acts(const live_agent &a, const std::string &script, const std::string &tag) {
    write_file(script, "<?php echo 'root';");
    ASSERT_EQ(system(("/bin/sh -c 'exit 0' " + tag).c_str()), 0);
    EXPECT_TRUE(a.wait_doc({named(script), "\"type\":\"php\""}, 60));
    EXPECT_TRUE(a.wait_doc({tag}, 60));
}

// Every document is valid and the agent reported no memory error.
void nothing_leaked(const live_agent &a) {
    std::string bad;
    EXPECT_TRUE(a.docs_valid(&bad)) << bad;
    EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
}

}  // namespace

// Written scripts replaced at once by FIFOs that a writer holds open with data in them and by
// links to /dev/ptmx: typing opens neither, root's file and process are still reported, and
// the agent stops on SIGTERM.
TEST(AttackFile, SwappedFifoAndDeviceLinkStallNeitherTypingNorTheStop) {
    const std::string d = attack_dir("ftype");
    live_agent a("ftype");
    ASSERT_TRUE(a.start()) << a.err();
    pid_t holder = spawn_as_nobody("cd " + d +
                                   " && mkfifo f1 f2 f3 && exec 3<>f1 4<>f2 5<>f3 && "
                                   "printf '<?php held' | tee /dev/fd/3 /dev/fd/4 >&5 && "
                                   "touch held && exec sleep 300");
    ASSERT_GT(holder, 0);
    for (int i = 0; i < 500 && access((d + "/held").c_str(), F_OK) != 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(access((d + "/held").c_str(), F_OK), 0);
    ASSERT_EQ(as_nobody("cd " + d +
                        " && for i in 1 2 3; do printf '<?php echo 1;' > x$i.php && mv -f f$i "
                        "x$i.php; printf '<?php echo 2;' > y$i.php && ln -sf /dev/ptmx y$i.php; "
                        "done"),
              0);
    root_acts(a, d + "/root-ftype.php", "kivatk-ftype-root");
    EXPECT_EQ(terminals_open(a.pid), "");
    EXPECT_EQ(a.stop(30), 0);
    // Nobody read the pipes.
    for (int i = 1; i <= 3; i++) {
        int fd = open((d + "/x" + std::to_string(i) + ".php").c_str(), O_RDONLY | O_NONBLOCK);
        char buf[32] = {};
        EXPECT_EQ(fd >= 0 ? read(fd, buf, sizeof buf) : -1, 10) << i;
        if (fd >= 0) close(fd);
    }
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    nothing_leaked(a);
}

// Only <d>/in is watched. A directory the source has seen in the unwatched <d>/out is moved
// in and then a script written in it; a script written in <d>/out is renamed in. Both are reported
// under their real paths, the renamed one with its type.
TEST(AttackFile, MovedInDirectoryAndRenamedInScriptAreReportedWhereTheyAre) {
    const std::string d = attack_dir("fmove"), in = d + "/in", out = d + "/out";
    live_agent a("fmove");
    a.set_key("file.conf", "path_filter", "path_2", in);  // in place of /tmp
    ASSERT_EQ(as_nobody("mkdir " + in + " " + out), 0);
    ASSERT_TRUE(a.start()) << a.err();
    // Once in/seen.txt is reported, the source has read the event in out/sub before it and
    // knows that directory by its old path.
    ASSERT_EQ(as_nobody("cd " + d +
                        " && mkdir out/sub && printf seen > out/sub/seen.txt && printf seen > "
                        "in/seen.txt && printf '<?php system($_GET[1]);' > out/w.txt"),
              0);
    ASSERT_TRUE(a.wait_doc({named(in + "/seen.txt")}, 60));
    ASSERT_EQ(as_nobody("cd " + d +
                        " && mv out/sub in/sub && printf '<?php eval($_POST[1]);' > "
                        "in/sub/shell.php && mv out/w.txt in/w.php"),
              0);
    root_acts(a, in + "/root-fmove.php", "kivatk-fmove-root");
    EXPECT_TRUE(a.wait_doc({named(in + "/sub/shell.php"), "\"type\":\"php\""}, 30));
    EXPECT_TRUE(a.wait_doc({named(in + "/w.php"), "File Renameing", "\"type\":\"php\""}, 30));
    EXPECT_EQ(a.stop(30), 0);
    for (auto &line : a.docs()) EXPECT_FALSE(has(line, out + "/sub/shell.php")) << line;
    nothing_leaked(a);
}

// Scripts written by a shell that then executes another program at once: each is reported as
// the shell's doing (its image and command line), never as the program that replaced it.
TEST(AttackFile, WrittenThenExecutedIsTheWritersDoing) {
    const std::string d = attack_dir("wexec");
    live_agent a("wexec");
    a.set_key("file.conf", "path_filter", "path_2", d);  // in place of /tmp
    ASSERT_TRUE(a.start()) << a.err();
    constexpr int N = 12;
    std::string cmd = "cd " + d;
    for (int i = 0; i < N; i++)
        cmd += " && /bin/sh -c 'printf \"<?php system(1);\" > w" + std::to_string(i) +
               ".php && exec /bin/sleep 0.2' kivatk-wexec-" + std::to_string(i);
    ASSERT_EQ(as_nobody(cmd), 0);
    char sh[PATH_MAX];
    ASSERT_TRUE(realpath("/bin/sh", sh));
    for (int i = 0; i < N; i++) {
        const std::string file = d + "/w" + std::to_string(i) + ".php";
        std::string line = a.wait_line({named(file), "\"type\":\"php\""}, 60);
        ASSERT_FALSE(line.empty()) << file;
        EXPECT_TRUE(has(line, "\"process_path\":\"" + std::string(sh) + "\"")) << line;
        EXPECT_TRUE(has(line, "kivatk-wexec-" + std::to_string(i) + "\"")) << line;
    }
    root_acts(a, d + "/root-wexec.php", "kivatk-wexec-root");
    EXPECT_EQ(a.stop(30), 0);
    nothing_leaked(a);
}
