// One running sensor per installation. Two would report every event twice and share the
// log files and the digest database, so the second start is refused.
#include "startup/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/log.h"
#include "base/mem.h"
#include "comm/dirutils.h"
#include "framework/config.h"

namespace {

int s_lock_fd = -1;

// <installation>/var/data/qxkiv.lock, the installation being the parent of the directory
// that holds sensor.conf.
std::string lock_path() {
    return kiv_data_dir_of(kiv_sensor_conf_path());
}

pid_t holder_pid(int fd) {
    char buf[32] = {};
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    return n > 0 ? static_cast<pid_t>(strtol(buf, nullptr, 10)) : 0;
}

}  // namespace

int instance_lock_take() {
    std::string dir = lock_path();
    if (dir.empty()) {
        KIV_LOG(0, "instance lock: cannot find the installation of %s\n", kiv_sensor_conf_path());
        return -1;
    }
    // The state directory holds the digest store: not for every user, whatever the umask.
    bool made = access(dir.c_str(), F_OK) != 0;
    if (dirutils_mkdir(dir.c_str(), 0750) != 0) {
        KIV_LOG(0, "instance lock: create dir %s failed(%s)\n", dir.c_str(), strerror(errno));
        return -1;
    }
    if (made) chmod(dir.c_str(), 0750);
    std::string path = dir + "/" + INSTANCE_LOCK_NAME;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        KIV_LOG(0, "instance lock: open %s failed(%s)\n", path.c_str(), strerror(errno));
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        pid_t pid = holder_pid(fd);
        close(fd);
        if (err == EWOULDBLOCK)
            KIV_LOG(0,
                    "another sensor (pid %d) runs on this installation and holds %s; stop it "
                    "before starting this one\n",
                    (int)pid, path.c_str());
        else
            KIV_LOG(0, "instance lock: lock %s failed(%s)\n", path.c_str(), strerror(err));
        return -1;
    }
    char pid[24];
    int n = snprintf(pid, sizeof pid, "%d\n", (int)getpid());
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, (size_t)n, 0) != n)
        KIV_LOG(1, "instance lock: write pid to %s failed(%s)\n", path.c_str(), strerror(errno));
    s_lock_fd = fd;
    KIV_LOG(2, "instance lock %s taken\n", path.c_str());
    return 0;
}

void instance_lock_release() {
    if (s_lock_fd < 0) return;
    // The file stays: removing it could let a third start lock a different file.
    close(s_lock_fd);
    s_lock_fd = -1;
}
