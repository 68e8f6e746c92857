// Documents as a SIEM reads them: one native document of any upload type turned into one
// Elastic Common Schema (8 and 9) event. Pure: what it needs of the host comes in EcsOptions,
// filled once at start.
#ifndef KIVHOST_ECS_H
#define KIVHOST_ECS_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "delivery.h"

namespace kivhost {

// The ECS version the documents declare in ecs.version: every field they use is in it and in 9.
constexpr const char *kEcsVersion = "8.11.0";

struct EcsOptions {
    uint16_t community_id_seed = 0;  // network.community_id's seed
    // This host, for host.*; a document's envelope (host_uuid, host_ip, ip_list) comes first,
    // these are for documents without one (block reports). Empty texts are left out.
    std::string host_id, host_name, architecture;
    std::vector<std::string> host_ips;
    std::string os_type, os_family, os_name, os_version, os_kernel, os_platform, os_full;
    // Wall-clock time of boot in milliseconds: process create times count from it. 0 leaves
    // process.start out of process documents (kept raw in qxkiv.process.createtime).
    int64_t boot_time_ms = 0;
    std::string agent_version;  // agent.version; empty: left out
};

// Fills host name, architecture, OS and boot time from uname, /etc/os-release (os_release)
// and the clocks; what cannot be read stays empty.
void probe_ecs_host(EcsOptions *o, const char *os_release = "/etc/os-release");

// The ECS form of native (the library's or the agent's JSON text of upload type `type`):
// true with *out the document on one line, or false with *out saying why it could not be
// mapped (not a JSON object, no time). Safe from many threads.
bool ecs_document(std::string_view native, int32_t type, const EcsOptions &o, std::string *out);

// The dispatcher's shaping for --schema ecs: the envelope's seq_id becomes event.sequence,
// whose digits the dispatcher puts in. A document with no ECS form is refused (said once).
Delivery::ShapeFn ecs_shape(std::shared_ptr<const EcsOptions> o);

}  // namespace kivhost

#endif
