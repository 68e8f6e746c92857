// The INI reader on arbitrary text, loaded twice: from a file and from memory (exactly the
// input's bytes, no terminator). Where no line is long enough to be cut, both loaders must
// build the same table; every stored value is non-empty and trimmed.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "qxkiv/ini.h"

namespace {

using table = std::vector<std::pair<std::string, std::string>>;

int collect(const char *, const char *key, const char *value, void *arg) {
    size_t n = strlen(value);
    if (n == 0 || isspace((unsigned char)value[0]) || isspace((unsigned char)value[n - 1]))
        __builtin_trap();
    static_cast<table *>(arg)->emplace_back(key, value);
    return 0;
}

table dump(ini_file_t *ini, const std::set<std::string> &sections) {
    table t;
    for (const auto &s : sections) {
        t.emplace_back("[", s);
        ini_file_section_foreach(ini, s.c_str(), &t, collect);
    }
    std::sort(t.begin(), t.end());
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int fd = memfd_create("fuzz.ini", 0);
    static std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size) return 0;

    // Candidate section names and whether any line is long enough to be read in pieces.
    std::string text(reinterpret_cast<const char *>(data), size);
    std::set<std::string> sections;
    bool long_line = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        long_line |= line.size() >= 8000;
        line = line.substr(0, line.find('\0'));
        if (!line.empty() && line[0] == '[' && line.find(']') != std::string::npos)
            sections.insert(line.substr(1, line.find(']') - 1));
        if (nl == std::string::npos) break;
        pos = nl + 1;
    }

    ini_file_t *from_file = ini_file_load(path.c_str());
    std::vector<char> exact(data, data + size);
    ini_file_t *from_buf = size ? ini_buffer_load(exact.data(), (long)exact.size()) : nullptr;
    if (!from_file) __builtin_trap();
    table a = dump(from_file, sections);
    if (from_buf) {
        table b = dump(from_buf, sections);
        if (!long_line && a != b) __builtin_trap();
    }
    for (const auto &s : sections) {
        ini_file_get_long(from_file, s.c_str(), "cnt", -1);
        ini_file_get_str(from_file, s.c_str(), "", "x");
    }
    ini_file_free(from_file);
    ini_file_free(from_buf);
    return 0;
}
