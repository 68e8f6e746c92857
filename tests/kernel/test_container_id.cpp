// Container ids from cgroup names: the names the runtimes give, names that only look like
// them, /proc/<pid>/cgroup texts of unified and hybrid hosts, and the cgroup record the exec
// program sends, assembled by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kernel/capture/common/container_id.h"
#include "kernel/capture/ebpf_process.h"

namespace {

const std::string kId = "4f1c3e2d" + std::string(48, 'a') + "0123456b";  // 64 hex digits

std::string of_path(const std::string &path) {
    char out[CONTAINER_ID_LEN + 1];
    return container_id_of_path(path, out) ? out : "-";
}

TEST(ContainerId, RuntimeNamesAndLookAlikes) {
    const struct {
        std::string path, want;
    } cases[] = {
        {"/system.slice/docker-" + kId + ".scope", kId},
        {"/docker/" + kId, kId},
        {"/system.slice/cri-containerd-" + kId + ".scope", kId},
        {"/machine.slice/crio-" + kId + ".scope", kId},
        {"/machine.slice/libpod-" + kId + ".scope", kId},
        {"/kubepods/besteffort/pod0c5e2b6a-1d2f-4e1a-9b3c-7d8e9f0a1b2c/" + kId, kId},
        {"/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod1.slice/"
         "cri-containerd-" +
             kId + ".scope",
         kId},
        // Three cgroups below the container's (systemd in a container) still name it.
        {"/docker-" + kId + ".scope/system.slice/cron.service/x", kId},
        {"/docker-" + kId + ".scope/a/b/c/d", "-"},  // four: past the depth
        {"", "-"},
        {"/user.slice/user-0.slice/session-3.scope", "-"},
        {"/docker-" + kId.substr(1) + ".scope", "-"},   // 63 digits
        {"/docker-" + kId + "0.scope", "-"},            // 65
        {"/docker-" + kId.substr(1) + "g.scope", "-"},  // not hex
        {"/docker-" + kId.substr(1) + "A.scope", "-"},  // upper case
        {"/docker-" + kId + ".slice", "-"},             // wrong suffix
        {"/docker-" + kId, "-"},                        // no suffix
        {"/podman-" + kId + ".scope", "-"},             // no such runtime
        {"/crio-conmon-" + kId + ".scope", "-"},        // CRI-O's monitor, not its container
        {"/system.slice/" + kId, "-"},                  // a bare id under no runtime
        {"/process_api/ef430bb1297a4e387c5c4e6279b00a01", "-"},  // 32 digits
    };
    for (const auto &c : cases) EXPECT_EQ(of_path(c.path), c.want) << c.path;
}

TEST(ContainerId, ProcCgroupTextUnifiedFirstThenV1) {
    char out[CONTAINER_ID_LEN + 1];
    const std::string other = std::string(64, 'b');
    std::string hybrid =
        "12:memory:/docker/" + other + "\n1:name=systemd:/\n0::/docker-" + kId + ".scope\n";
    ASSERT_TRUE(container_id_of_proc(hybrid, out));
    EXPECT_EQ(std::string(out), kId);
    std::string v1 = "4:memory:/docker/" + kId + "\n3:cpu:/docker/" + other + "\n0::/\n";
    ASSERT_TRUE(container_id_of_proc(v1, out));
    EXPECT_EQ(std::string(out), kId);
    EXPECT_FALSE(container_id_of_proc("0::/init.scope\n4:memory:/\n", out));
    EXPECT_FALSE(container_id_of_proc("garbage\n::\n0:/docker/" + kId, out));  // no path field
    EXPECT_FALSE(container_id_of_proc("", out));
    // This test's own process, whatever host runs it, reads without harm.
    container_id_of_pid((unsigned)getpid(), out);
    EXPECT_FALSE(container_id_of_pid(0x7ffffffe, out));
}

// The exec program's cgroup record: names nearest first per hierarchy, each list ended by an
// empty name.
TEST(ContainerId, CgroupRecordAsTheProgramSendsIt) {
    static live_cgroup_ev e;
    auto send = [](const std::string &names) {
        memset(&e, 0, sizeof e);
        e.type = LIVE_EV_CGROUP_;
        memcpy(e.names, names.data(), names.size());
        e.len = (uint32_t)names.size();
        return LIVE_CGROUP_HEAD + names.size();
    };
    char out[CONTAINER_ID_LEN + 1];
    using namespace std::string_literals;
    size_t n = send("docker-"s + kId + ".scope\0system.slice\0\0"s + "x\0\0"s);
    ASSERT_TRUE(live_bpf_container(e, n, out));
    EXPECT_EQ(std::string(out), kId);
    // Unified hierarchy says nothing; the v1 one does.
    n = send("session-1.scope\0user.slice\0\0"s + kId + "\0docker\0\0"s);
    ASSERT_TRUE(live_bpf_container(e, n, out));
    EXPECT_EQ(std::string(out), kId);
    // Root cgroups in both: two empty lists.
    EXPECT_FALSE(live_bpf_container(e, send("\0\0"s), out));
    // Names that pass the record, a length beyond it, a last name without its end.
    n = send("docker-"s + kId + ".scope\0\0"s);
    EXPECT_FALSE(live_bpf_container(e, n - 1, out));
    EXPECT_FALSE(live_bpf_container(e, LIVE_CGROUP_HEAD - 1, out));
    e.len = sizeof e.names + 1;
    EXPECT_FALSE(live_bpf_container(e, sizeof e, out));
    n = send("docker-"s + kId + ".scope"s);
    EXPECT_FALSE(live_bpf_container(e, n, out));
}

}  // namespace
