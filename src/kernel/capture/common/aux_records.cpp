#include "kernel/capture/common/aux_records.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>

#include "base/log.h"
#include "kernel/aux_layout.h"
#include "kernel/capture/bpf/live_proc_ev.h"
#include "kernel/capture/common/proc_records.h"

namespace {

void header(std::vector<unsigned char> &out, uint16_t type, uint32_t pid, size_t len) {
    out.assign(len, 0);
    kemu_st<uint32_t>(out.data(), KIV_MSG_MAGIC);
    kemu_st<uint16_t>(out.data() + 4, static_cast<uint16_t>(len));
    kemu_st<uint16_t>(out.data() + 6, type);
    kemu_st<uint32_t>(out.data() + 8, pid);
}

// The create time the process records of pid carry: the stand-in's table when it tracks the
// process, else the start time as /proc gives it.
uint64_t create_time_of(uint32_t pid, uint64_t start_ns) {
    uint64_t ct = 0;
    if (standin_process_create_time(pid, &ct) && ct) return ct;
    return live_proc_ticks_ns(start_ns);
}

}  // namespace

void live_aux_path_record(uint16_t type, uint32_t pid, uint64_t create_time, const char *path,
                          size_t path_len, std::vector<unsigned char> &out) {
    // The record's length is 16 bits: long paths are cut, still NUL-terminated.
    size_t room = UINT16_MAX - AUX_PATH_OFFSET - 1;
    if (path_len > room) path_len = room;
    header(out, type, pid, AUX_PATH_OFFSET + path_len + 1);
    kemu_st<uint64_t>(out.data() + 16, create_time);
    kemu_st<uint32_t>(out.data() + 24, pid);
    kemu_st<uint32_t>(out.data() + 28, static_cast<uint32_t>(path_len + 1));
    memcpy(out.data() + AUX_PATH_OFFSET, path, path_len);
}

void live_aux_kill_record(uint32_t pid, uint64_t create_time, uint32_t killed_pid,
                          uint64_t killed_create_time, int32_t sig,
                          std::vector<unsigned char> &out) {
    header(out, 4, pid, KILL_RECORD_LEN);
    kemu_st<uint64_t>(out.data() + 16, create_time);
    kemu_st<uint64_t>(out.data() + 24, killed_create_time);
    kemu_st<uint32_t>(out.data() + 32, pid);
    kemu_st<uint32_t>(out.data() + 36, killed_pid);
    kemu_st<int32_t>(out.data() + 40, sig);
}

bool live_aux_resolve(uint32_t pid, int dfd, const std::string &path, std::string &out) {
    if (!path.empty() && path[0] == '/') {
        out = path;
        return true;
    }
    std::string link = "/proc/" + std::to_string(pid) +
                       (dfd == AT_FDCWD ? std::string("/cwd") : "/fd/" + std::to_string(dfd));
    char dir[PATH_MAX];
    ssize_t n = readlink(link.c_str(), dir, sizeof dir - 1);
    if (n <= 0) return false;
    dir[n] = 0;
    out = dir;
    if (out != "/") out += '/';
    out += path;
    return true;
}

bool live_aux_put(const live_aux_ev &e, const char *dir, std::vector<unsigned char> &buf,
                  standin_producer &out) {
    // The sensor's own opens (it reads the files it reports) are not the host's activity.
    static const uint32_t self = static_cast<uint32_t>(getpid());
    if (e.pid == self) return false;
    size_t len = e.len < sizeof e.str ? e.len : sizeof e.str - 1;
    std::string path(e.str, strnlen(e.str, len));
    uint64_t ct = create_time_of(e.pid, e.start_ns);
    switch (e.type) {
        case LIVE_EV_KILL_:
            live_aux_kill_record(e.pid, ct, e.killed_pid,
                                 create_time_of(e.killed_pid, e.killed_start_ns), e.sig, buf);
            break;
        case LIVE_EV_PIPE_CREATE_:
        case LIVE_EV_PIPE_CONNECT_:
        case LIVE_EV_DL_LOAD_: {
            if (path.empty()) return false;
            std::string full;
            if ((e.flags & LIVE_AUX_USER_PATH) && path[0] != '/' && dir && e.dir_len > 0) {
                size_t dl = e.dir_len <= LIVE_STR_MAX ? e.dir_len : LIVE_STR_MAX;
                full.assign(dir, strnlen(dir, dl));
                if (full != "/") full += '/';
                full += path;
            } else if (e.flags & LIVE_AUX_USER_PATH) {
                if (!live_aux_resolve(e.pid, e.dfd, path, full)) return false;
            } else {
                full = path;
            }
            live_aux_path_record(static_cast<uint16_t>(e.type), e.pid, ct, full.data(), full.size(),
                                 buf);
            break;
        }
        default:
            return false;
    }
    // The high ring, beside the process records these depend on: the mid one fills with file
    // activity first.
    return out.put(RING_HIGH, buf.data(), static_cast<uint32_t>(buf.size())) == 0;
}
