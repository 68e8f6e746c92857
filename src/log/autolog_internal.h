// Test hooks of the private module log.
#pragma once
#include <ctime>

// Replaces time() for flood windows and file names; null restores it.
void autolog_set_clock(time_t (*clock)());
// Path of the calling thread's current file, or null.
const char *autolog_current_path();
// Directory holding <module>/<key>.ini instead of "@/../config/log/"; null restores it.
void autolog_set_conf_root(const char *dir);
