// What the watchdog supervises, seen read-only through the same truth it uses: the pid-file
// locks. Shared by vemoctl and vemo-monitor, so the command line and HTTP give one answer.
#ifndef VEMO_STATUS_H
#define VEMO_STATUS_H

#include <sys/types.h>

#include <string>
#include <vector>

// Where to look: the tree's bin directory (for bin/vemo-monitor), the watch list, the run directory.
struct StatusSource {
    std::string bin_dir;
    std::string list_file;
    std::string run_dir = "/var/run/vemo_monitor";
};

// One pass over the watchdog, the monitor and every watch-list entry (fields: vemoctl owns them).
struct HostStatus;

// The tree of the program started as argv0 (resolved through /proc/self/exe when it can be).
StatusSource source_from_self(const char* argv0);

// Probes everything once; never creates a file, takes a lock or signals anyone.
// false when the status cannot be determined at all (errno says why).
bool collect_status(const StatusSource& source, HostStatus* out);

// LSB status: 0 all as wanted, 3 something is not, 4 cannot be determined.
int status_exit_code(const HostStatus& status);
bool watchdog_holds_lock(const HostStatus& status);

std::string render_table(const HostStatus& status, bool colour);
std::string render_json(const HostStatus& status);
std::string render_prometheus(const HostStatus& status);

#endif
