// What an intruder leaves or runs on a host, against the built agent with the shipped
// configuration: a set-user-id copy of a shell as a way back to root, and an implant that
// removes its own file before it calls home.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "live_agent.h"
#include "loopback_net.h"
#include "test_io.h"

namespace {

std::string real(const char *path) {
    char buf[PATH_MAX];
    return realpath(path, buf) ? buf : "";
}

}  // namespace

// Root copies bash into a directory everyone may write and makes it set-user-id; later an
// unprivileged user runs it with -p to be root again. The copy is reported as a binary
// written there, and its run as a process of that path, with bash's digest and the s in its
// permissions.
TEST(IntruderScenario, SetUidShellCopyInTmpIsWrittenAndRun) {
    const std::string d = attack_dir("suid");
    live_agent a("suid");
    a.set_key("file.conf", "path_filter", "path_2", d);  // in place of /tmp
    ASSERT_TRUE(a.start()) << a.err();
    const std::string copy = d + "/.cache-sh";
    ASSERT_EQ(system(("cp /bin/bash '" + copy + "' && chmod 4755 '" + copy + "'").c_str()), 0);
    ASSERT_EQ(as_nobody("'" + copy + "' -p -c 'exit 0' kivscn-suid"), 0);

    std::string written = a.wait_line({"\"file_name\":\"" + copy + "\"", "\"binary\""}, 60);
    EXPECT_FALSE(written.empty()) << "the copy's file document";
    std::string run = a.wait_line({"\"process_path\":\"" + copy + "\"", "kivscn-suid"}, 60);
    ASSERT_FALSE(run.empty()) << "the copy's run";
    EXPECT_TRUE(has(run, "\"process_md5\":\"" + md5sum_of(real("/bin/bash")) + "\"")) << run;
    EXPECT_TRUE(has(run, "\"process_path_permit\":\"rwsr-xr-x\"")) << run;
    // Root by the file's owner, the user's own real ids.
    EXPECT_TRUE(has(run, "\"process_ruid\":65534,\"process_euid\":0,")) << run;
    stop_clean(a);
}

// An implant copied into /tmp deletes its file as it starts, then opens a connection out
// (a shell's /dev/tcp), and stays in the shell (a program exec'd after the connect would be
// named instead): the connection names its process by the path it was run from.
TEST(IntruderScenario, SelfDeletingImplantConnectsOut) {
    const std::string d = attack_dir("gone");
    live_agent a("gone");
    ASSERT_TRUE(a.start()) << a.err();
    loopback_listener home;
    ASSERT_NE(home.port, 0);
    const std::string implant = d + "/kworker";
    ASSERT_EQ(system(("cp /bin/bash '" + implant + "'").c_str()), 0);
    chmod(implant.c_str(), 0755);
    ASSERT_EQ(as_nobody("'" + implant + "' -c 'rm -f \"$0\"; exec 3<>/dev/tcp/127.0.0.1/" +
                        std::to_string(home.port) + "; read -t 2 -u 3; exit 0' '" + implant +
                        "' kivscn-gone"),
              0);
    EXPECT_NE(access(implant.c_str(), F_OK), 0);
    std::string conn = a.wait_line(
        {"\"NETWORK_CONNECTION\"", "kivscn-gone", "\"dst_port\":" + std::to_string(home.port)}, 60);
    ASSERT_FALSE(conn.empty()) << "the implant's connection";
    EXPECT_TRUE(has(conn, "\"process_path\":\"" + implant)) << conn;
    EXPECT_TRUE(has(conn, "\"direction\":1")) << conn;
    stop_clean(a);
}
