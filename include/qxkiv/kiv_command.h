/* Running a shell command with a time limit and capturing its standard output. */
#ifndef QXKIV_KIV_COMMAND_H
#define QXKIV_KIV_COMMAND_H

#include <stddef.h>

#include "qxkiv/kiv_export.h"

/* Results of execute_plus besides the child's exit code. */
#define KIV_EXEC_ERR_FAILED (-1)    /* pipe, read or wait failed */
#define KIV_EXEC_ERR_OUTFULL (-100) /* output did not fit the buffer */
#define KIV_EXEC_ERR_FORK (-102)    /* child could not be created */
#define KIV_EXEC_ERR_ARG (-103)     /* command or buffer missing */
#define KIV_EXEC_ERR_TIMEOUT (-104) /* time limit passed */

KIV_BEGIN_DECLS

/* Runs `/bin/sh -c command` with LC_ALL=C in its own process group and collects its standard
 * output into out (always terminated). Returns the exit code (128 + signal number when the
 * shell was killed by a signal) or one of the negative codes above. On -100, -104 and -1
 * after the start the whole process group is killed and the child reaped. `reserved` is
 * unused. */
KIV_API int execute_plus(const char *command, char *out, size_t out_size, int timeout_sec,
                         void *reserved);

KIV_END_DECLS

#endif
