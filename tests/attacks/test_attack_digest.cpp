// An unprivileged user against the executable digests: files swapped under a running
// implant, a private mount namespace, the dynamic loader running it, and a large file hashed
// over and over.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <string>

#include "live_agent.h"
#include "task/loader_exec.h"
#include "test_io.h"

namespace {

std::string md5_field(const std::string &doc) {
    const std::string key = "\"process_md5\":\"";
    size_t at = doc.find(key);
    return at == std::string::npos ? "" : doc.substr(at + key.size(), 32);
}

// Root runs a copy of /bin/true of its own (grown to size bytes when given) with a tag:
// reported with the copy's digest.
void root_execs_and_is_reported(live_agent &a, const std::string &tag,
                                const std::string &size = "") {
    const std::string dir = a.root + "/rootbin", prog = dir + "/" + tag;
    std::string grow = size.empty() ? "" : " && truncate -s " + size + " '" + prog + "'";
    ASSERT_EQ(system(("mkdir -p '" + dir + "' && cp /bin/true '" + prog + "' && printf '" + tag +
                      "' >> '" + prog + "'" + grow + " && '" + prog + "' " + tag)
                         .c_str()),
              0);
    std::string doc = a.wait_line({"\"process_path\":\"" + prog + "\""}, 60);
    ASSERT_FALSE(doc.empty());
    EXPECT_EQ(md5_field(doc), md5sum_of(prog)) << doc;
}

// The real path of the loader a program asks for.
std::string loader_of(const char *program) {
    int fd = open(program, O_RDONLY | O_CLOEXEC);
    elf_facts f;
    bool ok = fd >= 0 && elf_read_facts(fd, &f);
    if (fd >= 0) close(fd);
    char real[PATH_MAX];
    return ok && realpath(f.interp.c_str(), real) ? real : "";
}

}  // namespace

// A benign file renamed over the running implant, or bind-mounted in a private namespace, or
// the dynamic loader running it (the host's, or a copy named ls): the records carry the
// implant's digests (or none), never the benign file's or the loader's, and name the loader.
TEST(AttackDigest, SwappedOrMountedBinaryOrTheLoaderLendsNoDigests) {
    const std::string d = attack_dir("dig");
    live_agent a("dig");
    ASSERT_TRUE(a.start()) << a.err();
    const std::string benign_md5 = md5sum_of("/bin/true"),
                      sleep_md5 = md5sum_of("/usr/bin/sleep");
    // Implants: copies made unique, so their digests are their own.
    ASSERT_EQ(as_nobody("cd " + d + " && for f in live short ns; do cp /bin/sleep $f && "
                        "printf implant-$f >> $f; done && cp /bin/true ben1 && cp /bin/true ben2"),
              0);
    const std::string live_md5 = md5sum_of(d + "/live"), short_md5 = md5sum_of(d + "/short"),
                      ns_md5 = md5sum_of(d + "/ns");
    // Renamed over right after exec; the first one keeps running, the second has exited. The
    // odd fractions of a second tell their records apart.
    pid_t runner = spawn_as_nobody(
        "cd " + d + " && ./live 61 0.4243 & p=$!; echo $p > " + d + "/live.pid; "
        "while [ -e /proc/$p ] && [ \"$(readlink /proc/$p/exe)\" != '" + d +
        "/live' ]; do :; done; "
        "mv -f ben1 live; wait");
    ASSERT_GT(runner, 0);
    ASSERT_EQ(as_nobody("cd " + d + " && ./short 0 0.4244; mv -f ben2 short"), 0);
    // Over a system binary, in a user and mount namespace of its own.
    // A process of its own (a further exec of one process is not reported again), its pid
    // written down to be ended.
    pid_t ns = spawn_as_nobody("exec unshare -Urm sh -c 'mount --bind " + d +
                               "/ns /usr/bin/sleep && { /usr/bin/sleep 61 0.4242 & echo $! > " + d +
                               "/ns.pid; wait; }'");
    ASSERT_GT(ns, 0);
    // Through the loader: the host's, and a copy of it named ls.
    const std::string ld = loader_of("/usr/bin/sleep");
    ASSERT_FALSE(ld.empty());
    ASSERT_EQ(as_nobody("cd " + d +
                        " && cp /bin/sleep ldimp && printf implant-ld >> ldimp && "
                        "cp " +
                        ld + " ls"),
              0);
    const std::string ldimp_md5 = md5sum_of(d + "/ldimp"), ld_md5 = md5sum_of(ld);
    pid_t loaded =
        spawn_as_nobody("cd " + d + " && { " + ld + " ./ldimp 61 0.4245 & echo $! > " + d +
                        "/ld1.pid; ./ls ./ldimp 61 0.4246 & echo $! > " + d + "/ld2.pid; wait; }");
    ASSERT_GT(loaded, 0);

    auto cmd = [](const std::string &c) { return "\"process_cmd_line\":\"" + c + "\""; };
    std::string live = a.wait_line({cmd("./live 61 0.4243")}, 60);
    EXPECT_EQ(md5_field(live), live_md5) << live;
    std::string shrt = a.wait_line({cmd("./short 0 0.4244")}, 60);
    EXPECT_TRUE(md5_field(shrt) == short_md5 || md5_field(shrt) == std::string(32, '0')) << shrt;
    std::string mounted = a.wait_line({cmd("/usr/bin/sleep 61 0.4242")}, 60);
    EXPECT_EQ(md5_field(mounted), ns_md5) << mounted;
    std::string by_ld = a.wait_line({cmd(ld + " ./ldimp 61 0.4245")}, 60),
                by_copy = a.wait_line({cmd("./ls ./ldimp 61 0.4246")}, 60);
    for (auto &[doc, loader] : {std::pair{by_ld, ld}, {by_copy, d + "/ls"}}) {
        EXPECT_TRUE(
            has(doc, "\"process_path\":\"" + d + "/ldimp\",\"loader_path\":\"" + loader + "\""))
            << doc;
        EXPECT_EQ(md5_field(doc), ldimp_md5) << doc;
        EXPECT_NE(md5_field(doc), ld_md5) << doc;
    }
    for (const std::string &doc : {live, shrt, mounted}) {
        EXPECT_NE(md5_field(doc), benign_md5) << doc;
        EXPECT_NE(md5_field(doc), sleep_md5) << doc;
    }
    for (const char *f : {"/ns.pid", "/live.pid", "/ld1.pid", "/ld2.pid"}) {
        pid_t p = atoi(slurp(d + f).c_str());
        if (p > 1) kill(p, SIGKILL);
    }
    waitpid(runner, nullptr, 0), waitpid(ns, nullptr, 0), waitpid(loaded, nullptr, 0);

    root_execs_and_is_reported(a, "kivatk-dig-root");
    // The store of what ran is not the user's to read.
    EXPECT_NE(as_nobody("cat " + a.root + "/var/data/binary_hash_db.db > /dev/null"), 0);
    std::string bad;
    EXPECT_TRUE(a.docs_valid(&bad)) << bad;
    EXPECT_EQ(a.stop(60), 0);
    EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
}

// A 50 MB file executed through a hundred names is hashed once; then a flood of new links
// (each a new change time, so each a new file to hash) costs its user, not root's records.
TEST(AttackDigest, LargeFileThroughManyLinksIsHashedOnce) {
    const std::string d = attack_dir("links");
    live_agent a("links");
    ASSERT_TRUE(a.start()) << a.err();
    ASSERT_EQ(as_nobody("cd " + d + " && for f in big flood; do cp /bin/true $f && "
                        "printf $f >> $f && truncate -s 50000000 $f; done && "
                        "for i in $(seq 100); do ln big l$i; done && "
                        "for i in $(seq 100); do ./l$i; done"),
              0);
    const std::string hashed = "digest of " + d + "/l";
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!has(a.log_all(), hashed) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(a.wait_doc({"\"process_path\":\"" + d + "/l100\""}, 60));
    std::string log = a.log_all();
    size_t times = 0;
    for (size_t at = 0; (at = log.find(hashed, at)) != std::string::npos; at++) times++;
    EXPECT_EQ(times, 1u);

    pid_t flood = spawn_as_nobody("cd " + d + " && for i in $(seq 300); do ln flood n$i && "
                                  "./n$i; done");
    ASSERT_GT(flood, 0);
    root_execs_and_is_reported(a, "kivatk-links-root", "3000000");
    waitpid(flood, nullptr, 0);
    EXPECT_TRUE(a.wait_doc({"\"process_path\":\"" + d + "/n300\""}, 60));
    EXPECT_EQ(a.stop(60), 0);
    EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
}
