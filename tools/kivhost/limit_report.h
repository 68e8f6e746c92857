// The limits' drops in the health document: which limit dropped how many events of which
// user and executable (or peer, or destination) in the interval, as the library counted them.
#ifndef KIVHOST_LIMIT_REPORT_H
#define KIVHOST_LIMIT_REPORT_H

#include <cjson/cJSON.h>

#include "qxkiv/limit_drops.h"

namespace kivhost {

using LimitDropsFn = int (*)(struct kiv_limit_drop *out, int max);

// Takes every drop the library holds: an array of objects {"limit", "uid" and "user" when one
// user is charged, "executable", "peer" or "destination" when named, "dropped"}, or null when
// there is none (or take is null).
cJSON *limit_drops_json(LimitDropsFn take);

}  // namespace kivhost

#endif
