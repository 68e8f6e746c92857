// The lock that keeps a second sensor off an installation.
#pragma once

constexpr const char *INSTANCE_LOCK_NAME = "qxkiv.lock";

// Locks <installation>/var/data/qxkiv.lock and writes our pid into it. -1 (logged with the
// pid of the running sensor) when another process holds it.
int instance_lock_take();
void instance_lock_release();
