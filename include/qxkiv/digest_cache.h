/* Cached MD5 and SHA-256 of executables, keyed by path and trusted while the file's
 * modification time, size, inode and change time are unchanged. */
#ifndef QXKIV_DIGEST_CACHE_H
#define QXKIV_DIGEST_CACHE_H

#include "qxkiv/kiv_export.h"

KIV_BEGIN_DECLS

/* Digests of the file at path as lowercase hexadecimal text: md5_str gets up to
 * md5_str_len - 1 characters of the 32 (33 bytes hold it all), sha256_str needs 65 bytes.
 * 0; -1 when the file is missing, too big, unreadable or not a regular file (a device or
 * pipe is never read) (*too_big, when given, is set to 1
 * for a file above the size limit); -2 for bad arguments. */
KIV_API int get_binhash_info(const char *path, char *md5_str, int md5_str_len, char *sha256_str,
                             int sha256_str_len, int *too_big);

KIV_END_DECLS

#endif
