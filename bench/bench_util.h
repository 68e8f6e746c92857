// Helpers shared by the benchmarks.
#pragma once
#include <sys/resource.h>

#include <cstdio>
#include <string>

// First word of a system tool's output for one file: md5sum and sha256sum print the digest.
inline std::string run_tool(const char *tool, const std::string &path) {
    std::string cmd = std::string(tool) + " -- '" + path + "'";
    FILE *p = popen(cmd.c_str(), "r");
    char line[256] = "";
    if (p == nullptr || fgets(line, sizeof(line), p) == nullptr) line[0] = '\0';
    if (p != nullptr) pclose(p);
    std::string s(line);
    return s.substr(0, s.find(' '));
}

// User + system CPU in milliseconds of this process (RUSAGE_SELF) or of its reaped children
// (RUSAGE_CHILDREN).
inline double cpu_ms(int who) {
    rusage ru{};
    getrusage(who, &ru);
    auto ms = [](const timeval &t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(ru.ru_utime) + ms(ru.ru_stime);
}
