/* The kernel's file-monitor filter lists, changed one entry at a time by the host. */
#ifndef QXKIV_FILE_FILTER_H
#define QXKIV_FILE_FILTER_H

#include "qxkiv/kiv_export.h"

/* Filter kinds: the list index sent to the kernel. */
#define QXMON_FILE_FILTER 0
#define QXMON_PATH_FILTER 1
#define QXMON_TYPE_FILTER 2
#define QXMON_EXE_FILTER 3
#define QXMON_FILE_EXCLUDE 4
#define QXMON_PATH_EXCLUDE 5
#define QXMON_TYPE_EXCLUDE 6
#define QXMON_EXE_EXCLUDE 7

KIV_BEGIN_DECLS

/* Adds (add != 0) or removes one entry of list `kind` (0..7) in the sensor and the kernel.
 * For the file and path lists a path under a bind mount changes its source path too.
 * 0 done, 1 nothing to do (already there when adding, absent when removing), -1 failure
 * (bad argument, text of 1024 characters or more, list full, kernel refusal, or the file
 * module not running). */
KIV_API int modify_qxmon_filter(const char *text, int kind, int add);

/* modify_qxmon_filter on the path list (is_dir != 0) or the file list. */
KIV_API int set_sensitive_dir(const char *path, int is_dir, int add);

KIV_END_DECLS

#endif
