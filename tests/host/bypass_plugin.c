/* Bypass plug-in for the start-up tests: the verdict is fixed at build time. */
#include <string.h>

__attribute__((visibility("default"))) int qx_check_module_bypass(const char *name) {
    return strcmp(name, "qxkiv") == 0 ? BYPASS_VERDICT : 0;
}
