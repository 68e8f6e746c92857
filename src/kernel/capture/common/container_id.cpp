#include "kernel/capture/common/container_id.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

using sv = std::string_view;

bool is_id(sv s) {
    if (s.size() != CONTAINER_ID_LEN) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// "<runtime>-<id>.scope", the systemd unit a runtime makes per container.
bool scope_id(sv name, sv *id) {
    static constexpr sv kPrefixes[] = {"docker-", "cri-containerd-", "crio-", "libpod-"};
    static constexpr sv kSuffix = ".scope";
    if (!name.ends_with(kSuffix)) return false;
    for (sv p : kPrefixes) {
        if (!name.starts_with(p)) continue;
        *id = name.substr(p.size(), name.size() - p.size() - kSuffix.size());
        return is_id(*id);
    }
    return false;
}

// A bare id is a container's only below a runtime's directory: Docker's "docker", a pod's
// "pod<uid>" (cgroupfs driver) or a kubepods slice.
bool runtime_dir(sv parent) {
    return parent == "docker" || parent.starts_with("pod") || parent.starts_with("kubepods");
}

}  // namespace

bool container_id_of_names(const sv *names, size_t n, char out[CONTAINER_ID_LEN + 1]) {
    for (size_t i = 0; i < n && i < CONTAINER_CGROUP_DEPTH; i++) {
        sv id;
        if (!scope_id(names[i], &id)) {
            if (i + 1 >= n || !is_id(names[i]) || !runtime_dir(names[i + 1])) continue;
            id = names[i];
        }
        memcpy(out, id.data(), CONTAINER_ID_LEN);
        out[CONTAINER_ID_LEN] = '\0';
        return true;
    }
    return false;
}

bool container_id_of_path(sv path, char out[CONTAINER_ID_LEN + 1]) {
    sv names[CONTAINER_CGROUP_NAMES];
    size_t n = 0;
    while (!path.empty() && n < CONTAINER_CGROUP_NAMES) {
        size_t slash = path.rfind('/');
        sv name = slash == sv::npos ? path : path.substr(slash + 1);
        if (!name.empty()) names[n++] = name;
        path = slash == sv::npos ? sv() : path.substr(0, slash);
    }
    return container_id_of_names(names, n, out);
}

bool container_id_of_proc(sv text, char out[CONTAINER_ID_LEN + 1]) {
    // Lines "<hierarchy id>:<controllers>:<path>"; the unified one is "0::<path>".
    bool v1_found = false;
    char v1[CONTAINER_ID_LEN + 1];
    while (!text.empty()) {
        size_t nl = text.find('\n');
        sv line = text.substr(0, nl);
        text = nl == sv::npos ? sv() : text.substr(nl + 1);
        size_t c1 = line.find(':');
        size_t c2 = c1 == sv::npos ? sv::npos : line.find(':', c1 + 1);
        if (c2 == sv::npos) continue;
        sv path = line.substr(c2 + 1);
        if (line.substr(0, c2 + 1) == "0::") {
            if (container_id_of_path(path, out)) return true;
        } else if (!v1_found && container_id_of_path(path, v1)) {
            v1_found = true;
        }
    }
    if (v1_found) memcpy(out, v1, sizeof v1);
    return v1_found;
}

bool container_id_of_pid(unsigned pid, char out[CONTAINER_ID_LEN + 1]) {
    char path[40], buf[8192];
    snprintf(path, sizeof path, "/proc/%u/cgroup", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    return n > 0 && container_id_of_proc(sv(buf, (size_t)n), out);
}
