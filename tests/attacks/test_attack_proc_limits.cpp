// An unprivileged user against the process repeat filter and the creation limits: a primed
// command-line prefix and a flood of creations must not hide root's processes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "live_agent.h"
#include "test_io.h"

namespace {

// A shell that runs each line it reads in a child shell: the same parent command line for
// whoever feeds it.
const std::string kParent =
    "/bin/sh -c 'while read l; do /bin/sh -c \"$l\"; done' kivatk-redo-parent";

std::string feed(const std::string &line) {
    return "printf '%s\\n' '" + line + "' | " + kParent;
}

}  // namespace

// Nobody runs a harmless command behind a 200-byte prefix; root then runs its own command
// behind the same prefix from the same parent command line: root's is reported.
TEST(AttackProcLimits, PrimedPrefixHidesNoLaterCommand) {
    live_agent a("redo");
    ASSERT_TRUE(a.start()) << a.err();
    const std::string prefix = ": " + std::string(200, 'A') + "; ";
    ASSERT_EQ(as_nobody(feed(prefix + "echo kivatk-redo-benign >/dev/null")), 0);
    ASSERT_TRUE(a.wait_doc({"kivatk-redo-benign", "\"Process Creation\""}, 60));
    ASSERT_EQ(system(feed(prefix + "echo kivatk-redo-root >/dev/null").c_str()), 0);
    EXPECT_TRUE(a.wait_doc({"kivatk-redo-root", "\"Process Creation\""}, 60));
    ASSERT_EQ(as_nobody(feed(prefix + "echo kivatk-redo-again >/dev/null")), 0);
    EXPECT_TRUE(a.wait_doc({"kivatk-redo-again", "\"Process Creation\""}, 60));
    EXPECT_EQ(a.stop(30), 0);
    EXPECT_TRUE(a.docs_valid());
    EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
}

// Nobody floods process creations past the per-second limit (lowered here so the flood is
// short, in bursts no busy host slows below it); root's process during the flood is
// reported, and the limit says whose creations it dropped. Root's own activity elsewhere on
// the host shares root's window, so root's process may take a few seconds' tries.
TEST(AttackProcLimits, CreationFloodSpendsOnlyItsUsersLimit) {
    live_agent a("climit");
    a.set_key("task.conf", "task", "task_create_cnt_second", "50");
    ASSERT_TRUE(a.start()) << a.err();
    pid_t flood = spawn_as_nobody(
        "for r in 1 2 3 4 5 6; do for i in $(seq 150); do /bin/true kivatk-flood-$r-$i & done; "
        "wait; done");
    ASSERT_GT(flood, 0);
    ASSERT_TRUE(a.wait_doc({"kivatk-flood-"}, 60));
    bool seen = false;
    for (int i = 0; i < 10 && !seen; i++) {
        const std::string tag = "kivatk-climit-root-" + std::to_string(i);
        ASSERT_EQ(system(("/bin/true " + tag).c_str()), 0);
        seen = a.wait_doc({tag, "\"Process Creation\""}, 2);
    }
    int status = 0;
    waitpid(flood, &status, 0);
    EXPECT_TRUE(seen);
    EXPECT_EQ(a.stop(30), 0);
    EXPECT_TRUE(has(a.log_all(), "process creations of uid 65534 over the per-second limit"))
        << "no limit line";
}
