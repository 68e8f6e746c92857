// Container ids from the names of cgroups, as the container runtimes name the cgroups they
// make: Docker ("docker-<id>.scope", ".../docker/<id>"), containerd and CRI
// ("cri-containerd-<id>.scope"), CRI-O ("crio-<id>.scope"), Podman ("libpod-<id>.scope") and
// Kubernetes pods (".../kubepods.../pod<uid>/<id>"), <id> being 64 lower-case hex digits.
#pragma once
#include <cstddef>
#include <string_view>

constexpr size_t CONTAINER_ID_LEN = 64;
// How many cgroups, from a process's own up, may name its container: a runtime's cgroup, or
// one below it that a program in the container made (systemd in a container, Podman's
// "container" leaf).
constexpr size_t CONTAINER_CGROUP_DEPTH = 4;
// The names that decide: one more, the parent of the deepest.
constexpr size_t CONTAINER_CGROUP_NAMES = CONTAINER_CGROUP_DEPTH + 1;

// names: a cgroup's name and its ancestors' nearest first, n of them. The id of the nearest
// of the first CONTAINER_CGROUP_DEPTH that names a container, terminated, into out; false
// when none does.
bool container_id_of_names(const std::string_view *names, size_t n, char out[CONTAINER_ID_LEN + 1]);
// A cgroup path as /proc/<pid>/cgroup gives it ("/system.slice/docker-<id>.scope").
bool container_id_of_path(std::string_view path, char out[CONTAINER_ID_LEN + 1]);
// The text of /proc/<pid>/cgroup: the unified hierarchy's line ("0::") decides when it names
// a container, else the first v1 hierarchy that does (hybrid hosts).
bool container_id_of_proc(std::string_view text, char out[CONTAINER_ID_LEN + 1]);
// The container of a running process from /proc; false for none (or no such process).
bool container_id_of_pid(unsigned pid, char out[CONTAINER_ID_LEN + 1]);
