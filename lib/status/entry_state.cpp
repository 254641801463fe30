// The judgements on top of the probes: each entry's state, whether it is as wanted, and the
// exit status that sums them up.
#include "hoststatus.h"

#include <algorithm>

const char* state_name(EntryState state) {
    switch (state) {
        case STATE_RUNNING:
            return "running";
        case STATE_DOWN:
            return "down";
        case STATE_STOPPING:
            return "stopping";
        case STATE_STOPPED:
            return "stopped";
        case STATE_LOCKED_HOLDER_UNKNOWN:
            return "locked";
        case STATE_ERROR:
            return "error";
    }
    return "error";
}

EntryState entry_state(bool enabled, LockState lock) {
    switch (lock) {
        case LOCK_FREE:
            return enabled ? STATE_DOWN : STATE_STOPPED;
        case LOCK_HELD:
            return enabled ? STATE_RUNNING : STATE_STOPPING;
        case LOCK_HELD_UNNAMED:
            return STATE_LOCKED_HOLDER_UNKNOWN;
        case LOCK_PROBE_FAILED:
            return STATE_ERROR;
    }
    return STATE_ERROR;
}

bool entry_as_wanted(const EntryStatus& entry) {
    // Running and locked, but failing its health checks: not what was asked for.
    if (entry.enabled && lockrun_failing(entry.lockrun)) return false;
    if (entry.enabled) {
        return (entry.state == STATE_RUNNING && entry.cmdline != CMDLINE_CHANGED) ||
               entry.state == STATE_LOCKED_HOLDER_UNKNOWN;
    }
    return entry.state == STATE_STOPPED;
}

bool watchdog_taken_as_running(const HostStatus& status) {
    return status.watchdog.lock == LOCK_HELD_UNNAMED ||
           (status.watchdog.lock == LOCK_HELD && status.watchdog_identity != WATCHDOG_FOREIGN);
}

int status_exit_code(const HostStatus& status) {
    if (!status.list_read || status.watchdog.lock == LOCK_PROBE_FAILED) return 4;
    if (!watchdog_taken_as_running(status)) return 3;
    if (status.monitor_selected && !entry_as_wanted(status.monitor)) return 3;
    return std::all_of(status.entries.begin(), status.entries.end(), entry_as_wanted) ? 0 : 3;
}
