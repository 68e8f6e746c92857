#include "check_config.h"

#include <dlfcn.h>

#include <cstdio>

#include "host_core.h"

namespace kivhost {

std::string problem_line(const kiv_config_problem &p) {
    std::string line = p.fatal ? "start-up fails: " : "";
    line += p.file;
    line += ": ";
    if (*p.section != '\0') line += std::string("[") + p.section + "] ";
    if (*p.key != '\0')
        line += std::string(p.key) + " = " + (*p.value ? p.value : "(missing)") + ": ";
    return line + "using " + p.used;
}

namespace {

void print_problem(const kiv_config_problem *p, void *) {
    printf("%s\n", problem_line(*p).c_str());
}

}  // namespace

int check_config(const std::string &lib_path) {
    void *lib = dlopen(lib_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        fprintf(term(), "kivhost: cannot load the sensor library: %s\n", dlerror());
        return 1;
    }
    auto check = reinterpret_cast<decltype(&kiv_check_config)>(dlsym(lib, "kiv_check_config"));
    int n = check != nullptr ? check(print_problem, nullptr) : -1;
    fflush(stdout);
    if (check == nullptr)
        fprintf(term(), "kivhost: %s has no configuration check (kiv_check_config)\n",
                lib_path.c_str());
    else if (n < 0)
        fprintf(term(), "kivhost: the configuration check could not run\n");
    else
        fprintf(term(), "kivhost: %d configuration problem%s\n", n, n == 1 ? "" : "s");
    dlclose(lib);
    return n == 0 ? 0 : 1;
}

}  // namespace kivhost
