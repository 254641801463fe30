// Giving up root for good, in the server and in each status worker.
#ifndef VEMO_MONITOR_PRIVILEGES_H
#define VEMO_MONITOR_PRIVILEGES_H

#include "monitor.h"

// Becomes the account for good when running as root (else does nothing and succeeds). With
// keep_status_caps, keeps the two capabilities a status pass needs (see privileges.cpp). On
// failure *step names what failed and errno says why.
bool drop_root(const Account& account, bool keep_status_caps, const char** step);

#endif
