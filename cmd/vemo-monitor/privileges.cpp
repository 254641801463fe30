#include "privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>

namespace {

// Keeps only CAP_DAC_READ_SEARCH, to read every pid file and watch list whatever the modes of
// their directories. Nothing that reads other users' /proc entries is kept: the watchdog's
// environment and directory are the monitor's own, inherited, and its name is public.
bool keep_only_read_search() {
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    data[0].effective = data[0].permitted = 1U << CAP_DAC_READ_SEARCH;
    return syscall(SYS_capset, &header, data) == 0;
}

// No capability can come back, not even through a program run later. Dropping one needs
// CAP_SETPCAP, so it is done while still root, and only for those still in the set (a service
// manager may have taken CAP_SETPCAP away with others). The first capability the kernel does
// not know ends the walk (EINVAL).
bool empty_bounding_set() {
    for (unsigned long cap = 0; cap < 64; ++cap) {
        int in = prctl(PR_CAPBSET_READ, cap, 0L, 0L, 0L);
        if (in < 0) return errno == EINVAL && cap > 0;
        if (in == 1 && prctl(PR_CAPBSET_DROP, cap, 0L, 0L, 0L) != 0) return false;
    }
    return true;
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

bool drop_root(const Account& account, bool keep_read_search, const char** step) {
    if (geteuid() != 0) return true;
    if (!empty_bounding_set()) {
        *step = "prctl(PR_CAPBSET_DROP)";
        return false;
    }
    if (keep_read_search && prctl(PR_SET_KEEPCAPS, 1L, 0L, 0L, 0L) != 0) {
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
    if (keep_read_search && !keep_only_read_search()) {
        *step = "capset";
        return false;
    }
    return seal_drop(account, step);
}
