/* User and group names by id, from a cache of the system account database. */
#ifndef QXKIV_USR_GRP_H
#define QXKIV_USR_GRP_H

#include <stdint.h>

#include "qxkiv/kiv_export.h"

KIV_BEGIN_DECLS

/* Copies the name, cut to out_len - 1 characters and terminated. 0, or -1 when out is
 * null, out_len is not positive or the id is unknown (an unknown id reloads the table, at
 * most once every 10 seconds). */
KIV_API int get_username_by_uid(uint32_t uid, char *out, int out_len);
KIV_API int get_grpname_by_gid(uint32_t gid, char *out, int out_len);
/* Reloads the user (which 0) or group (which 1) table now, as when an account file changed.
 * 0, or -1 when the reload failed or the cache is not running. */
KIV_API int kiv_usr_grp_rehash(int which);

KIV_END_DECLS

#endif
