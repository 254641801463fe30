// Giving up root for good, in the server and in the status workers.
#ifndef VEMO_MONITOR_PRIVILEGES_H
#define VEMO_MONITOR_PRIVILEGES_H

#include "monitor.h"

// Becomes the account for good when running as root (else does nothing and succeeds), with an
// empty capability bounding set. With keep_read_search, keeps CAP_DAC_READ_SEARCH, the one
// capability a status pass needs (see privileges.cpp). On failure *step names what failed and
// errno says why.
bool drop_root(const Account& account, bool keep_read_search, const char** step);

#endif
