#include "privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>

namespace {

// Keeps only CAP_DAC_READ_SEARCH, to read every pid file whatever its directory's mode, and
// CAP_SYS_PTRACE, to read the /proc entries of other users' processes (the watchdog's
// executable, environment and directory). The latter also allows tracing those processes: the
// pass only reads, but the capability itself is wider than reading.
bool keep_status_capabilities() {
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    data[0].effective = data[0].permitted = (1U << CAP_DAC_READ_SEARCH) | (1U << CAP_SYS_PTRACE);
    return syscall(SYS_capset, &header, data) == 0;
}

// Never to be undone: check it cannot be, then forbid gaining any privilege back through exec.
bool seal_drop(const Account& account, const char** step) {
    if (setuid(0) == 0 || getegid() != account.gid) {
        *step = "checking the drop";
        errno = EPERM;
        return false;
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1L, 0L, 0L, 0L) != 0) {
        *step = "prctl(PR_SET_NO_NEW_PRIVS)";
        return false;
    }
#if defined(__SANITIZE_ADDRESS__)
    // Test builds only: the leak check at exit traces the process, which the drop forbade.
    (void)prctl(PR_SET_DUMPABLE, 1L, 0L, 0L, 0L);
#endif
    return true;
}

}  // namespace

bool drop_root(const Account& account, bool keep_status_caps, const char** step) {
    if (geteuid() != 0) return true;
    if (keep_status_caps && prctl(PR_SET_KEEPCAPS, 1L, 0L, 0L, 0L) != 0) {
        *step = "prctl(PR_SET_KEEPCAPS)";
        return false;
    }
    if (setgroups(1, &account.gid) != 0) {
        *step = "setgroups";
        return false;
    }
    if (setgid(account.gid) != 0) {
        *step = "setgid";
        return false;
    }
    if (setuid(account.uid) != 0) {
        *step = "setuid";
        return false;
    }
    if (keep_status_caps && !keep_status_capabilities()) {
        *step = "capset";
        return false;
    }
    return seal_drop(account, step);
}
