// Running a capture table: which process source runs, and the log line that says why.
#include <cstring>
#include <string>

#include "base/log.h"
#include "kernel/standin/standin.h"

namespace {

int try_start(const capture_source &s, uint32_t options, std::string *why) {
    why->clear();
    if (!s.usable(why)) return -1;
    return s.start(reinterpret_cast<const unsigned char *>(&options), sizeof options, why);
}

// The next process source after the first, to name in advice; null when there is none.
const capture_source *other_process(const capture_table &t, const capture_source *not_this) {
    for (size_t i = 0; i < t.count; i++)
        if (t.rows[i]->kind == CAPTURE_PROCESS && t.rows[i] != not_this) return t.rows[i];
    return nullptr;
}

}  // namespace

const capture_source *standin_choose_process(const capture_table &t) {
    const capture_source *first = nullptr, *failed = nullptr;
    std::string why, failed_why;
    for (size_t i = 0; i < t.count; i++) {
        const capture_source &s = *t.rows[i];
        if (s.kind != CAPTURE_PROCESS) continue;
        if (!first) first = &s;
        if (t.prefer && strcmp(t.prefer, s.name) != 0) continue;
        if (try_start(s, t.options, &why) == 0) {
            if (failed)
                KIV_LOG(1, "kemu: process source: %s, %s unavailable: %s; %s\n", s.label,
                        failed->title, failed_why.c_str(), s.caveat ? s.caveat : "");
            else if (t.prefer && &s != first)
                KIV_LOG(2, "kemu: process source: %s (as configured)\n", s.label);
            else
                KIV_LOG(2, "kemu: process source: %s\n", s.label);
            return &s;
        }
        if (t.prefer) {
            // Asked for by name: no quiet fallback.
            const capture_source *alt = other_process(t, &s);
            if (&s == first && alt)
                KIV_LOG(0,
                        "kemu: process source %s could not start: %s; set userspace_source = "
                        "auto or %s in section base of sensor.conf to use the %s\n",
                        s.title, why.c_str(), alt->name, alt->title);
            else
                KIV_LOG(0, "kemu: process source %s could not start: %s\n", s.title, why.c_str());
            return nullptr;
        }
        if (!failed) {
            failed = &s, failed_why = why;
        } else {
            // The later one has logged its own failure.
            KIV_LOG(0, "kemu: no process source: %s unavailable (%s) and the %s failed\n",
                    failed->title, failed_why.c_str(), s.title);
        }
    }
    if (t.prefer)
        KIV_LOG(0, "kemu: no process source is named %s\n", t.prefer);
    else if (failed && other_process(t, failed) == nullptr)
        KIV_LOG(0, "kemu: no process source: %s unavailable (%s)\n", failed->title,
                failed_why.c_str());
    return nullptr;
}
