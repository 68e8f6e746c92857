// The kernel symbol lookup on an arbitrary symbol file: the same bytes serve as
// /proc/kallsyms (the first choice) or, when that is absent, as the System.map of the
// running release, for a kernel version and a boot line the input chooses. Whatever the file
// holds, every address taken is non-zero, and the module parameters built from them fit.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_tmpdir.h"
#include "kmod/kmod.h"

namespace {

std::string s_root;
int s_code;

bool setup() {
    s_root = fuzz_private_dir("kiv_fuzz_ksym");
    if (s_root.empty()) return false;
    return mkdir((s_root + "/proc").c_str(), 0755) == 0 &&
           mkdir((s_root + "/boot").c_str(), 0755) == 0;
}

void put(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (size) fwrite(data, 1, size, f);
    fclose(f);
}

}  // namespace

// The module's identity and root, as start-up would have set them.
const char *kmod_kernel_release() {
    return "6.1.0-fuzz";
}
int kmod_kernel_code() {
    return s_code;
}
const char *kmod_host_path(const char *abs, char *out, size_t size) {
    int n = snprintf(out, size, "%s%s", s_root.c_str(), abs);
    return n >= 0 && (size_t)n < size ? out : nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = setup();
    if (!ready) abort();
    if (size < 2) return 0;
    // Kernel 2.6.x, 4.1 or 6.1: the table's version bounds fall on either side.
    static const int kCodes[] = {0x020620, 0x04010A, 0x060100};
    s_code = kCodes[data[0] % 3];
    bool as_kallsyms = data[0] & 4;
    const char *cmdline = data[0] & 8 ? "BOOT_IMAGE=/vmlinuz nokaslr\n" : "BOOT_IMAGE=/vmlinuz\n";
    put(s_root + "/proc/cmdline", (const uint8_t *)cmdline, strlen(cmdline));
    std::string kallsyms = s_root + "/proc/kallsyms",
                sysmap = s_root + "/boot/System.map-6.1.0-fuzz";
    unlink(kallsyms.c_str());
    unlink(sysmap.c_str());
    put(as_kallsyms ? kallsyms : sysmap, data + 1, size - 1);

    __ksym_init();
    for (const ksym_entry &e : s_ksym)
        if (!e.name && e.addr) __builtin_trap();
    char params[1024];
    if (__get_mod_param(params, sizeof params) != 0) __builtin_trap();
    char tiny[24];
    __get_mod_param(tiny, sizeof tiny);
    if (!memchr(tiny, 0, sizeof tiny)) __builtin_trap();
    return 0;
}
