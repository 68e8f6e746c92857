// The bounded scanner on arbitrary text with the fixed formats the sensor reads /proc and
// configuration lines with. Every %s destination is terminated within its size, no %c or %s
// writes past its size (each destination is an exact-size heap block), %n stays within the
// text, and fscanf_n over a stream gives what sscanf_n gives for its first line.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "qxkiv/kiv_string.h"

namespace {

struct field {
    std::unique_ptr<char[]> p;
    size_t size;
    explicit field(size_t n) : p(new char[n]), size(n) { memset(p.get(), 0x7f, n); }
    void terminated() const {
        if (!memchr(p.get(), 0, size)) __builtin_trap();
    }
};

int scan(int which, const char *src, bool stop, field &a, field &b, long long *v, int *at) {
    unsigned long long u = 0, x = 0;
    unsigned int d = 0;
    unsigned short h = 0;
    unsigned char c = 0;
    size_t z = 0;
    int i = 0;
    auto sc = stop ? sscanf_ns : sscanf_n;
    switch (which) {
        case 0:  // /proc/<pid>/stat head
            return sc(src, "%d %s %c %d%n", &i, a.p.get(), a.size, b.p.get(), (size_t)1, &d, at);
        case 1:  // /proc/<pid>/maps line
            return sc(src, "%llx-%llx %4c %llx %x:%x %lu %s", &u, &x, a.p.get(), a.size, &u, &d, &d,
                      (unsigned long *)&x, b.p.get(), b.size);
        case 2:  // status line
            return sc(src, "%s %u %u %u %u", a.p.get(), a.size, &d, &d, &d, &d);
        case 3:  // numbers of every width and base
            return sc(src, "%hhu %hu %zu %i %o %X %lld%n", &c, &h, &z, &i, &d, &d, v, at);
        case 4:  // fixed-width fields
            return sc(src, "%3c%5s%2d%%%4i", a.p.get(), a.size, b.p.get(), b.size, &i, &i);
        default:  // key = value
            return sc(src, "%s = %s", a.p.get(), a.size, b.p.get(), b.size);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    int which = data[0] % 6;
    size_t room = 1 + data[1] % 40;
    std::string text(reinterpret_cast<const char *>(data + 2), size - 2);
    const char *src = text.c_str();
    size_t src_len = strlen(src);
    for (bool stop : {false, true}) {
        field a(room), b(room);
        long long v = 0;
        int at = -1;
        int n = scan(which, src, stop, a, b, &v, &at);
        if (n < 0 || n > 8) __builtin_trap();
        if (at != -1 && (at < 0 || (size_t)at > src_len)) __builtin_trap();
        if ((which == 2 || which == 5) && n >= 1) a.terminated();
        if (which == 5 && n >= 2) b.terminated();
    }
    // The same first line through a stream (which hands it over with its newline).
    size_t nl = text.find('\n');
    std::string line = nl == std::string::npos ? text : text.substr(0, nl + 1);
    FILE *f = fmemopen(text.data(), text.size(), "r");
    if (!f) return 0;
    field a1(room), b1(room), a2(room), b2(room);
    int from_stream = fscanf_n(f, "%s = %s", a1.p.get(), a1.size, b1.p.get(), b1.size);
    fclose(f);
    int from_line = sscanf_n(line.c_str(), "%s = %s", a2.p.get(), a2.size, b2.p.get(), b2.size);
    if (text.find('\0') == std::string::npos && from_stream != from_line) __builtin_trap();
    return 0;
}
