/* Private module log ("HIPS"): dated files with flood limits, run-time settings. */
#ifndef QXKIV_AUTOLOG_H
#define QXKIV_AUTOLOG_H

#include <pthread.h>

#include "qxkiv/kiv_export.h"

KIV_BEGIN_DECLS

/* New values posted by the host. The block and its strings are allocated with malloc by the
 * poster and released by the library with free once applied. Null strings and -1 numbers
 * leave a setting unchanged. */
struct autolog_conf_values {
    char *filter_black;
    char *filter_white;
    char *log_level; /* "ERROR", "WARN", "INFO", "DEBUG", "RTLOG" */
    int log_num;
    int output_limit;
};

#define AUTOLOG_UPDATE_SLOTS 16
#define AUTOLOG_MODULE_KEY_MAX 16

struct autolog_update_slot {
    char key[AUTOLOG_MODULE_KEY_MAX + 1];
    int update_pending;
    struct autolog_conf_values *values;
    int reload_pending;
};

struct module_conf_update {
    pthread_mutex_t lock;
    int count;
    struct autolog_update_slot slots[AUTOLOG_UPDATE_SLOTS];
};

/* The update board shared with the host: set a slot's flags, then call reload_log_conf(). */
KIV_API extern struct module_conf_update g_module_conf_update;

KIV_API int autolog_init_global(const char *log_dir, int log_num);
KIV_API int autolog_init(const char *log_dir, int log_num);
KIV_API int autolog_init2(const char *log_dir, int log_num, int output_limit);
KIV_API void autolog_deinit(void);
KIV_API void autolog_deinit_global(void);
KIV_API void reload_log_conf(void);

KIV_END_DECLS

#endif
