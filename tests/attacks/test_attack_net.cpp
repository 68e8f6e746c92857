// An unprivileged user against the live network source: a private network namespace that
// takes the port of a host listener.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "live_agent.h"
#include "loopback_net.h"
#include "test_io.h"

namespace {

// The message of every document whose event_id is given.
std::vector<cJSON *> messages(const live_agent &a, const std::string &event_id) {
    std::vector<cJSON *> out;
    for (auto &line : a.docs()) {
        if (!has(line, "\"" + event_id + "\"")) continue;
        cJSON *doc = cJSON_Parse(line.c_str());
        cJSON *msg = cJSON_GetObjectItem(doc, "message");
        if (!msg) msg = doc;
        const char *id = cJSON_GetStringValue(cJSON_GetObjectItem(msg, "event_id"));
        if (id && event_id == id) out.push_back(cJSON_Duplicate(msg, 1));
        cJSON_Delete(doc);
    }
    return out;
}

std::string text_of(const cJSON *msg, const char *key) {
    const char *v = cJSON_GetStringValue(cJSON_GetObjectItem(msg, key));
    return v ? v : "";
}

void free_all(std::vector<cJSON *> &v) {
    for (cJSON *m : v) cJSON_Delete(m);
    v.clear();
}

// A python script in the attack directory, so that what it sends is not on its command line.
std::string script(const std::string &dir, const std::string &name, const std::string &text) {
    std::string path = dir + "/" + name;
    write_file(path, text);
    chmod(path.c_str(), 0755);
    return path;
}

}  // namespace

// Inside a namespace of their own a user listens on the port of root's loopback listener,
// connects to it there and closes it: root's listener still gets its inbound connections
// reported, and nothing of the private namespace is reported as the host's.
TEST(AttackNet, PrivateNamespaceTakesNothingFromTheHostsListener) {
    if (as_nobody("/usr/bin/unshare -rn /bin/true") != 0)
        GTEST_SKIP() << "unprivileged user namespaces are off here";
    const std::string d = attack_dir("netns");
    live_agent a("netns");
    ASSERT_TRUE(a.start()) << a.err();
    const uint16_t port = free_port(), udp_port = free_port();
    ASSERT_NE(port, 0);
    const std::string done = d + "/done";
    const std::string listener = script(d, "listen.py", R"PY(
import os, socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(8)
s.settimeout(0.1)
end = time.time() + 300
while time.time() < end and not os.path.exists(sys.argv[2]):
    try:
        s.accept()[0].close()
    except socket.timeout:
        pass
)PY");
    // Root's listener, started after the agent so that its listening socket is seen.
    pid_t root_listener = live_agent_detail::spawn(
        {"/usr/bin/python3", listener, std::to_string(port), done, "kivatk-netns-root"},
        live_agent_detail::environment());
    ASSERT_GT(root_listener, 0);
    EXPECT_TRUE(a.wait_doc(
        {"\"LISTENING\"", "kivatk-netns-root", "\"src_port\":" + std::to_string(port)}, 60));

    const std::string inner = script(d, "inner.py", R"PY(
import socket, sys
port, udp = int(sys.argv[1]), int(sys.argv[2])
s = socket.socket()
s.bind(("127.0.0.1", port))
s.listen(1)
c = socket.create_connection(("127.0.0.1", port))
a, _ = s.accept()
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.sendto(b"kivatk", ("127.0.0.1", udp))
for x in (a, c, s, u):
    x.close()
)PY");
    ASSERT_EQ(as_nobody("/usr/bin/unshare -rn /bin/sh -c '/usr/sbin/ip link set lo up && "
                        "/usr/bin/python3 " +
                        inner + " " + std::to_string(port) + " " + std::to_string(udp_port) +
                        " kivatk-netns-user'"),
              0);

    // Root acts: a connection to its listener on the host.
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = loopback_addr(port);
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    EXPECT_TRUE(a.wait_doc({"\"NETWORK_CONNECTION\"", "kivatk-netns-root",
                            "\"dst_port\":" + std::to_string(port), "\"direction\":0"},
                           60));
    close(c);
    write_file(done, "");
    waitpid(root_listener, nullptr, 0);

    for (const char *id : {"NETWORK_CONNECTION", "LISTENING", "DNS_QUERY"}) {
        auto msgs = messages(a, id);
        for (cJSON *m : msgs)
            EXPECT_FALSE(has(text_of(m, "process_cmd_line"), "kivatk-netns-user"))
                << cJSON_PrintUnformatted(m);
        free_all(msgs);
    }
    std::string bad;
    EXPECT_TRUE(a.docs_valid(&bad)) << bad;
    EXPECT_EQ(a.stop(60), 0);
    EXPECT_TRUE(a.sanitizer_reports().empty()) << a.sanitizer_reports();
}
