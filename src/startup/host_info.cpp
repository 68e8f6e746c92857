// What a host may read about the library without starting it: its version and the counters.
#include "base/mem.h"
#include "qxkiv/qxkiv.h"
#include "startup/startup.h"

KIV_API const char *kiv_version(void) {
    return app_version;
}

KIV_API int kiv_stats_line(char *buf, int buflen, int *index) {
    // A host's bad arguments must not reach the formatter.
    if (buf == nullptr || index == nullptr || buflen <= 0) return -1;
    return travel_usensor_stats(buf, buflen, index);
}
