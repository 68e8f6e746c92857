/* The file module's repeat filter and its periodic upkeep. The module runs them itself from its
 * hook and timers; a host that drives its own schedule may call them too. */
#ifndef QXKIV_FILE_MONITOR_H
#define QXKIV_FILE_MONITOR_H

#include <stdint.h>

#include "qxkiv/kiv_export.h"

struct tm;
/* One executable's entry of the repeat table (opaque). */
struct file_redo_entry;

KIV_BEGIN_DECLS

/* Runs one event of `kind` (0 create .. 5 attribute change) on `path` by the executable whose
 * MD5 text is `process_md5` through the hourly and ten-minute repeat filters, counting it when
 * it passes (in the budget all users share). An entry matches only the same MD5 text and a
 * repeat only the same path, never another with the same CRC-32. body (the record, may be null) is not read. 0 passes, 1 filtered, -1 bad argument,
 * no memory or the file module not running. Takes the module's lock. */
KIV_API int upload_event_redo_filter(const unsigned char *body, const char *process_md5, int kind,
                                     const char *path);

/* The ten-minute filter on one entry: 1 when the same path and kind went by less than ten
 * minutes before `now` (seconds of the cached clock), 0 to pass, -1 no memory. The caller holds
 * the module's lock; entries come only from the repeat table. */
KIV_API int file_type_redo(const char *path, struct file_redo_entry *entry, int kind,
                           uint32_t now);

/* Appends (file_key, kind, now) at the newest end of the entry's list; full lists count and add
 * nothing. A node given only its CRC is no path's repeat. 0 or -1 (no memory). Same locking as file_type_redo. */
KIV_API int file_type_node_insert(struct file_redo_entry *entry, uint32_t file_key, int kind,
                                  uint32_t now);

/* Deletes every expired entry of the repeat table. */
KIV_API void upload_event_redo_hash_clear(void);

/* Zeroes the daily count once between 23:50 and 23:59 of `tm` (local time); null is ignored. */
KIV_API void upload_event_cnt_clear(const struct tm *tm);

/* The five-minute upkeep: the nightly reset, and every hour the repeat table's sweep. */
KIV_API void file_event_timer_func(void *arg);

/* Reads /proc/mounts through, so the kernel refreshes its mount table. */
KIV_API void trigger_vfsmnt_update(void);

KIV_END_DECLS

#endif
