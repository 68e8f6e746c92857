// Opening files named by other people's paths.
#pragma once
#include <sys/stat.h>

// A non-blocking read descriptor on a regular file, or a digest_file_err (negative). Decided
// on an O_PATH handle, so a device is never opened and a FIFO never waited on; with expect,
// the file must be that inode (device and inode number); with nofollow, a link in the last
// component is refused rather than followed. *st is the fstat of the descriptor returned.
int open_regular_fd(const char *path, const struct stat *expect, bool nofollow, struct stat *st);
