// Numeric configuration keys with an accepted range, read the same way by every module.
#pragma once
#include "qxkiv/ini.h"

// What a value outside the range becomes.
enum class ini_oor { use_default, use_bound };

struct ini_long_key {
    const char *key;
    long def;  // must lie in [min, max]
    long min;
    long max;
    ini_oor below = ini_oor::use_default;
    ini_oor above = ini_oor::use_bound;
    const char *cap_name = nullptr;  // the name a value above max is logged under; key if null
    const char *oor_line = nullptr;  // logged instead of both lines below when set
};

// ini_file_get_long with the key's default (an absent or malformed value gives the default
// and that function's log line), then the range, each at level 1: a value below min logs
// "get <key> error: <value>", one above max "<cap_name> exceed max cnt: <max>".
long ini_get_long_in_range(ini_file_t *ini, const char *section, const ini_long_key &k);

// Loads a module's configuration file from its "@" path: the path is expanded and the file
// loaded, each failure logged at level 0 ("trans %s failed", "read config:%s failed"); null
// then. The caller frees the handle with ini_file_free.
ini_file_t *ini_conf_load(const char *at_path);

// The path the handle was loaded from, or "(buffer)" for the buffer loaders.
const char *ini_file_name(ini_file_t *ini);

// A configuration problem as a checker hears it: file, section, key and value as written
// ("" where none applies) and what the sensor uses instead; fatal when start-up fails on it.
struct ini_problem {
    const char *file, *section, *key, *value, *used;
    bool fatal;
};
using ini_problem_fn = void (*)(const ini_problem &problem, void *arg);

// Readers note each problem beside its log line; only a listener on the same thread (a
// configuration check) hears them. Null stops listening.
void ini_problem_listen(ini_problem_fn fn, void *arg);
void ini_problem_note(const char *file, const char *section, const char *key, const char *value,
                      bool fatal, const char *used_fmt, ...) __attribute__((format(printf, 6, 7)));
