/* CRC-32, MD5 and SHA-256, and whole-file digests as lowercase hexadecimal text. */
#ifndef QXKIV_DIGEST_H
#define QXKIV_DIGEST_H

#include <stddef.h>
#include <stdint.h>

#include "qxkiv/kiv_export.h"

KIV_BEGIN_DECLS

/* MD5 running state: bit count low word first; the buffer holds the partial block. */
typedef struct nql_md5_ctx {
    uint32_t state[4];
    uint32_t count[2];
    uint8_t buffer[64];
} nql_md5_ctx;

typedef struct sha256_ctx {
    uint8_t data[64];
    uint32_t datalen; /* bytes held in data */
    uint64_t bitlen;  /* bits fed so far */
    uint32_t state[8];
} sha256_ctx;

/* CRC-32/ISO-HDLC (zlib, Ethernet). */
KIV_API uint32_t mordek_crc32(const void *data, size_t length);

KIV_API void nql_md5_init(nql_md5_ctx *ctx);
KIV_API void nql_md5_update(nql_md5_ctx *ctx, const void *data, uint32_t length);
/* Writes 16 bytes and wipes the context. */
KIV_API void nql_md5_final(nql_md5_ctx *ctx, uint8_t digest[16]);

KIV_API void sha256_init(sha256_ctx *ctx);
KIV_API void sha256_update(sha256_ctx *ctx, const void *data, size_t length);
/* Writes 32 bytes. */
KIV_API void sha256_final(sha256_ctx *ctx, uint8_t digest[32]);
/* Runs one 64-byte block into the state, nothing else. */
KIV_API void sha256_transform(sha256_ctx *ctx, const uint8_t block[64]);

/* Whole-file digests cover regular files only (a device, pipe or socket is refused without
 * being opened for reading, links are followed) and at most the bytes the file held when
 * it was opened.
 * get_file_md5: 0 with up to out_size - 1 characters of the 32-character digest text (33
 * bytes hold it all); -1 for a missing argument or a file that cannot be opened, is not a
 * regular file or cannot be read. Large files are read at about 5 MB per second. */
KIV_API int get_file_md5(const char *path, char *out, size_t out_size);
/* 0 with the 64-character text and a terminator in out (65 bytes); -100 bad argument,
 * -99 file cannot be opened, is not a regular file or cannot be read. */
KIV_API int get_file_sha256(const char *path, char *out);

KIV_END_DECLS

#endif
