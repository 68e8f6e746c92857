/* File type checks by content and the multi-pattern keyword matcher behind them. */
#ifndef QXKIV_FILE_TYPE_H
#define QXKIV_FILE_TYPE_H

#include <stddef.h>
#include <stdint.h>

#include "qxkiv/kiv_export.h"

KIV_BEGIN_DECLS

/* Type ids: 0 php, 1 jsp, 2 js, 3 and 4 aspx, 5 asp, 6 jspx, 7 png, 8 jpg, 9 binary.
 * The type id of the file at path, or -1 when nothing is recognised or the file cannot be
 * opened. Only a regular file is opened (never a device, FIFO or socket), without blocking.
 * Not to be run concurrently with the file module's own identification. */
KIV_API int check_file_type(const char *path);
/* The same (kept for callers of the non-blocking variant). */
KIV_API int check_file_type_webshell(const char *path);
/* Name of a type id, or NULL for an id without one. */
KIV_API const char *file_type_id2name(int id);

/* Keyword automaton: create, add every pattern, compile, then search any number of times
 * (concurrently, each caller with its own state); destroy at the end. */
typedef struct mstr_ctrl mstr_ctrl;

#define MSTR_NOCASE 0x1u    /* fold ASCII A-Z to a-z in patterns and text */
#define MSTR_NO_EXTEND 0x2u /* trie with failure links instead of a full transition table */

/* Callback of a search: data of the pattern found, offset of its first byte in the piece
 * searched (wraps below zero for a match begun in an earlier piece), the caller's context.
 * Non-zero ends the search with that result. */
typedef int32_t (*mstr_callback)(void *data, uint32_t offset, void *context);

/* NULL when memory runs out. */
KIV_API mstr_ctrl *mstr_ctrl_create(uint32_t flags);
/* 0; -1 when compiled already or an argument is bad (NULL, longer than 256 bytes);
 * -2 when the same pattern (after folding) was added before; -3 when memory runs out. */
KIV_API int mstr_ctrl_add_pattern(mstr_ctrl *ctrl, const void *pattern, uint32_t length,
                                  void *data);
/* 0 (also when compiled before); -1 for NULL. */
KIV_API int mstr_ctrl_compile(mstr_ctrl *ctrl);
/* 0 when the text ends without a match (state holds the position reached), else the first
 * non-zero callback result (1 without a callback); state may be NULL, callback may be NULL. */
KIV_API int32_t mstr_search(const mstr_ctrl *ctrl, uint32_t *state, const void *text, size_t length,
                            void *context, mstr_callback callback);
KIV_API void mstr_state_reset(uint32_t *state);
KIV_API void mstr_ctrl_destroy(mstr_ctrl *ctrl);
/* Prints every node and its transitions to standard output. */
KIV_API void mstr_ctrl_debug(const mstr_ctrl *ctrl);

KIV_END_DECLS

#endif
