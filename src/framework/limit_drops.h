// The limits' drops by limit, user and subject, waiting for the host to take them
// (include/qxkiv/limit_drops.h). Every limit that drops an event notes it here beside its
// counter, so that a drop is seen where the events are read, with whom it charged.
#pragma once
#include <cstdint>

#include "base/mem.h"
#include "qxkiv/limit_drops.h"

// n drops of the limit counted in `limit`, charged to uid (KIV_LIMIT_ANY_USER: shared or not
// known), about subject (null or "" for none).
void limit_drop_note(usensor_stat_type limit, uint32_t uid, kiv_limit_subject kind,
                     const char *subject, uint64_t n = 1);
// Forgets every waiting drop (tests).
void limit_drops_clear();
