/* INI files and INI text held in memory, read into a section -> key -> value table.
 *
 * Grammar per line: "'", ";" or "#" in the first column starts a comment; "[name]" opens a
 * section (a repeated section replaces the earlier one); "key = value" is trimmed and stored
 * when a section is open and neither side is empty (a repeated key replaces the earlier
 * value); anything else is ignored. A handle is used by one thread at a time. */
#ifndef QXKIV_INI_H
#define QXKIV_INI_H

#include "qxkiv/kiv_export.h"

KIV_BEGIN_DECLS

typedef struct ini_file ini_file_t;

typedef int (*ini_section_cb)(const char *section, const char *key, const char *value, void *arg);

/* Null when the file cannot be opened. Physical lines longer than 8190 characters are read
 * in pieces, each parsed as a line of its own. */
KIV_API ini_file_t *ini_file_load(const char *path);
/* Null for a null buffer, length <= 0 or memory exhausted. A line longer than 8191 bytes is
 * cut there, the byte after the cut is dropped and the rest parsed as the next line. */
KIV_API ini_file_t *ini_buffer_load(const char *buffer, long length);
/* As ini_buffer_load, cutting lines at row_len - 1 bytes; null for row_len <= 0. */
KIV_API ini_file_t *ini_buffer_load_with_rowlen(const char *buffer, long length, int row_len);

/* The stored value (owned by the handle until ini_file_free), or null. */
KIV_API const char *ini_file_get(ini_file_t *ini, const char *section, const char *key);
KIV_API const char *ini_file_get_str(ini_file_t *ini, const char *section, const char *key,
                                     const char *def);
/* strtol with base 0 over the whole value; def (and a log line) when the key is absent, the
 * value overflows, has no digits or has anything after the number. */
KIV_API long ini_file_get_long(ini_file_t *ini, const char *section, const char *key, long def);
/* Calls cb for every key of the section; a non-zero cb result stops the walk and returns 1,
 * otherwise 0 (also for a missing section or null arguments). */
KIV_API int ini_file_section_foreach(ini_file_t *ini, const char *section, void *arg,
                                     ini_section_cb cb);
KIV_API void ini_file_free(ini_file_t *ini);

KIV_END_DECLS

#endif
