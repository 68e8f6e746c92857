/* Events the sensor's limits dropped, by limit, user and subject, for the host to report
 * (kivhost names them in its health document). */
#ifndef QXKIV_LIMIT_DROPS_H
#define QXKIV_LIMIT_DROPS_H

#include <stdint.h>

#include "qxkiv/kiv_export.h"

KIV_BEGIN_DECLS

/* The limit counts for every user, or the user is not known. */
#define KIV_LIMIT_ANY_USER 0xFFFFFFFFu

/* What subject names: the executable that acted, the remote peer of a scan, or the
 * destination of connections. */
enum kiv_limit_subject { KIV_LIMIT_EXECUTABLE = 0, KIV_LIMIT_PEER = 1, KIV_LIMIT_DESTINATION = 2 };

struct kiv_limit_drop {
    char limit[48]; /* the statistics counter of the limit, e.g. "FILE_EVENT_LIMIT_HOUR" */
    uint32_t uid;   /* the user charged, or KIV_LIMIT_ANY_USER */
    int32_t subject_kind;
    char subject[256]; /* empty when the limit counts for every subject, or past the table */
    uint64_t dropped;
};

/* Fills out with up to max entries of the drops counted since the previous call, one per
 * limit, user and subject, and forgets those; entries beyond max wait for the next call.
 * Past 512 distinct entries further drops are counted per limit only. Returns the number
 * written, or -1 when out is null or max is not positive. May be called at any time. */
KIV_API int kiv_limit_drops_take(struct kiv_limit_drop *out, int max);

KIV_END_DECLS

#endif
