// One host workload in a tight loop for a fixed time; prints the operations per second.
// Usage: load WORKLOAD SECONDS [DIR]
//   getppid  pipe  exec  open (a file in DIR)  churn (in DIR)  tcp  udp
//   storm: SECONDS is a count of execs of DIR/true, each with its own argument; prints nothing
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_s(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + t.tv_nsec / 1e9;
}

static void die(const char *what) {
    perror(what);
    exit(2);
}

static void run_exec(const char *path, const char *arg) {
    pid_t p = fork();
    if (p < 0) die("fork");
    if (p == 0) {
        char *argv[] = {(char *)path, (char *)arg, NULL};
        execv(path, argv);
        _exit(127);
    }
    int st;
    if (waitpid(p, &st, 0) != p) die("waitpid");
}

static int listener(int type, struct sockaddr_in *addr) {
    int fd = socket(AF_INET, type, 0);
    if (fd < 0) die("socket");
    memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof *addr;
    if (bind(fd, (struct sockaddr *)addr, len) != 0) die("bind");
    if (getsockname(fd, (struct sockaddr *)addr, &len) != 0) die("getsockname");
    if (type == SOCK_STREAM && listen(fd, 128) != 0) die("listen");
    return fd;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: load WORKLOAD SECONDS [DIR]\n");
        return 2;
    }
    const char *w = argv[1];
    const double secs = atof(argv[2]);
    const char *dir = argc > 3 ? argv[3] : "/tmp";
    char a[4096], b[4096];
    char buf[64] = {0};
    if (strcmp(w, "storm") == 0) {  // secs is the count here
        snprintf(a, sizeof a, "%s/true", dir);
        // Each its own command line, so that none is a repeat of another.
        for (long i = 0; i < (long)secs; i++) {
            snprintf(b, sizeof b, "storm-%ld", i);
            run_exec(a, b);
        }
        return 0;
    }
    int fds[2] = {-1, -1}, s = -1;
    struct sockaddr_in addr;
    if (strcmp(w, "pipe") == 0 && pipe(fds) != 0) die("pipe");
    if (strcmp(w, "open") == 0) {
        snprintf(a, sizeof a, "%s/existing", dir);
        int fd = open(a, O_CREAT | O_WRONLY | O_TRUNC, 0644);
        if (fd < 0 || write(fd, buf, sizeof buf) != sizeof buf) die("open existing");
        close(fd);
    }
    if (strcmp(w, "tcp") == 0) s = listener(SOCK_STREAM, &addr);
    if (strcmp(w, "udp") == 0) {
        fds[0] = listener(SOCK_DGRAM, &addr);
        s = socket(AF_INET, SOCK_DGRAM, 0);
        if (s < 0) die("socket");
    }
    long n = 0;
    // The clock is read once a batch so that it costs nothing beside the operations.
    const int batch = strcmp(w, "exec") == 0 ? 4 : 64;
    const double t0 = now_s();
    double t = t0;
    while (t - t0 < secs) {
        for (int k = 0; k < batch; k++, n++) {
            if (strcmp(w, "getppid") == 0) {
                syscall(SYS_getppid);
            } else if (strcmp(w, "pipe") == 0) {
                if (write(fds[1], buf, sizeof buf) != sizeof buf ||
                    read(fds[0], buf, sizeof buf) != sizeof buf)
                    die("pipe io");
            } else if (strcmp(w, "exec") == 0) {
                run_exec("/bin/true", NULL);
            } else if (strcmp(w, "open") == 0) {
                int fd = open(a, O_RDONLY);
                if (fd < 0 || read(fd, buf, sizeof buf) < 0) die("open");
                close(fd);
            } else if (strcmp(w, "churn") == 0) {
                snprintf(a, sizeof a, "%s/f%ld", dir, n & 1023);
                snprintf(b, sizeof b, "%s/g%ld", dir, n & 1023);
                int fd = open(a, O_CREAT | O_WRONLY | O_TRUNC, 0644);
                if (fd < 0 || write(fd, buf, sizeof buf) != sizeof buf) die("churn write");
                close(fd);
                if (rename(a, b) != 0 || unlink(b) != 0) die("churn rename");
            } else if (strcmp(w, "tcp") == 0) {
                int c = socket(AF_INET, SOCK_STREAM, 0);
                if (c < 0 || connect(c, (struct sockaddr *)&addr, sizeof addr) != 0) die("connect");
                int d = accept(s, NULL, NULL);
                if (d < 0) die("accept");
                close(c);
                close(d);
            } else if (strcmp(w, "udp") == 0) {
                if (sendto(s, buf, sizeof buf, 0, (struct sockaddr *)&addr, sizeof addr) < 0)
                    die("sendto");
                // Drained now and then so the receiver's buffer never refuses.
                if ((n & 63) == 63)
                    while (recv(fds[0], b, sizeof b, MSG_DONTWAIT) > 0) {
                    }
            } else {
                fprintf(stderr, "load: unknown workload %s\n", w);
                return 2;
            }
        }
        t = now_s();
    }
    printf("%.1f\n", n / (t - t0));
    return 0;
}
