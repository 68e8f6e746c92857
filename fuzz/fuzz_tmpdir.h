// A private directory for a target that needs files, removed when libFuzzer leaves (it
// leaves through exit()). Empty when it cannot be made.
#pragma once
#include <stdlib.h>

#include <filesystem>
#include <string>

inline std::string fuzz_private_dir(const char *name) {
    static std::string s_dir;
    std::string tmpl = std::string("/tmp/") + name + "XXXXXX";
    if (!mkdtemp(tmpl.data())) return "";
    s_dir = tmpl;
    atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(s_dir, ec);
    });
    return s_dir;
}
