/* Checking the configuration files without starting the sensor. */
#ifndef QXKIV_CONFIG_CHECK_H
#define QXKIV_CONFIG_CHECK_H

#include "qxkiv/kiv_export.h"

KIV_BEGIN_DECLS

/* One problem: where it is, what was written and what the sensor uses instead. The texts
 * are valid during the callback only; section, key and value are "" where they do not apply
 * (a file that cannot be read). fatal: start-up would fail on it. */
struct kiv_config_problem {
    const char *file;
    const char *section;
    const char *key;
    const char *value;
    const char *used;
    int fatal;
};
typedef void (*kiv_config_problem_fn)(const struct kiv_config_problem *problem, void *arg);

/* Reads every configuration file under "@/../config/" as start-up would (sensor.conf,
 * task.conf, file.conf, net.conf, log_collector.conf, block_logger.conf) and calls fn for each
 * problem, on the caller's thread. Nothing is started and nothing is logged. Returns the number
 * of problems, or -1 while the sensor runs or has run in this process (its settings are in
 * use), or for a null fn. */
KIV_API int kiv_check_config(kiv_config_problem_fn fn, void *arg);

KIV_END_DECLS

#endif
