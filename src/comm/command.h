// Shell commands run for the sensor itself (module loading, archive handling, probes).
// The time-limited runner for the host is execute_plus in qxkiv/kiv_command.h.
#pragma once
#include <cstddef>

#include "qxkiv/kiv_command.h"

// Runs command through popen, collecting up to out_size - 1 bytes of its output when out is
// given. 0 when it ran with exit code 0, else -1 (logged).
int kiv_execute_cmd(const char *command, char *out, size_t out_size);
