#include "kernel/capture/common/kernel_access.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "kernel/standin/producer.h"

uint64_t live_effective_caps() {
    FILE *f = fopen("/proc/self/status", "re");
    if (!f) return 0;
    char line[256];
    unsigned long long caps = 0;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "CapEff: %llx", &caps) == 1) break;
    fclose(f);
    return caps;
}

#if KIV_HAVE_BPF

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/bpf.h>

namespace {

thread_local std::string *t_libbpf_last;

int libbpf_log(enum libbpf_print_level level, const char *fmt, va_list ap) {
    if (level == LIBBPF_DEBUG) return 0;
    char buf[512];
    vsnprintf(buf, sizeof buf, fmt, ap);
    size_t n = strlen(buf);
    while (n && buf[n - 1] == '\n') buf[--n] = 0;
    if (t_libbpf_last && n) *t_libbpf_last = buf;
    KIV_LOG(3, "libbpf: %s\n", buf);
    return 0;
}

}  // namespace

bool live_bpf_usable(uint64_t extra_caps, const char *needs, std::string *why) {
    uint64_t caps = live_effective_caps();
    uint64_t want = (1ull << LIVE_CAP_BPF) | (1ull << LIVE_CAP_PERFMON) | extra_caps;
    if ((caps & want) != want && !((caps >> LIVE_CAP_SYS_ADMIN) & 1)) {
        *why = std::string("not root (needs ") + needs + ", or CAP_SYS_ADMIN)";
        return false;
    }
    if (access("/sys/kernel/btf/vmlinux", R_OK) != 0) {
        *why = "the kernel has no BTF (/sys/kernel/btf/vmlinux missing)";
        return false;
    }
    return true;
}

void live_bpf_keep_warning(std::string *last) {
    libbpf_set_print(libbpf_log);
    t_libbpf_last = last;
}

int live_bpf_enable_stats() {
    return bpf_enable_stats(BPF_STATS_RUN_TIME);
}

bool live_bpf_add_run_stats(const bpf_program *prog, capture_counters *out) {
    bpf_prog_info info{};
    uint32_t len = sizeof info;
    if (bpf_obj_get_info_by_fd(bpf_program__fd(prog), &info, &len) != 0) return false;
    out->run_ns += info.run_time_ns;
    out->run_cnt += info.run_cnt;
    return true;
}

#else  // built without the BPF tool chain

bool live_bpf_usable(uint64_t, const char *, std::string *why) {
    *why = "this build has no eBPF support (clang, bpftool or libbpf missing at build time)";
    return false;
}
void live_bpf_keep_warning(std::string *) {}
int live_bpf_enable_stats() {
    return -1;
}
bool live_bpf_add_run_stats(const bpf_program *, capture_counters *) {
    return false;
}

#endif
