// What the watchdog supervises, seen read-only through the same truth it uses: the pid-file
// locks. Shared by vemoctl and vemo-monitor, so the command line and HTTP give one answer.
// The one header users include: it brings the smaller ones of this library with it.
#ifndef VEMO_HOSTSTATUS_H
#define VEMO_HOSTSTATUS_H

#include "lockrun_record.h"
#include "lookup_context.h"
#include "monitor_liveness.h"
#include "paths.h"
#include "pid_probe.h"
#include "proc_info.h"
#include "watchdog_lock.h"

#include <sys/types.h>

#include <string>
#include <vector>

// Where to look: the tree's bin directory (for bin/vemo-monitor), the watch list, the run
// directory.
struct StatusSource {
    std::string bin_dir;
    std::string list_file;
    std::string run_dir = VEMO_RUN_DIR;
    // For a reader without CAP_SYS_PTRACE that the watchdog started (the monitor's workers):
    // programs are looked up with its own PATH and working directory, which it inherited from
    // the watchdog, and a lock holder whose executable it cannot read is judged by its name.
    bool own_lookup = false;
    // For an answer published over HTTP: a pid file's text is never read, and a pid file that
    // is not a regular file, or lies under /proc, /sys or /dev, is not opened for reading.
    bool guarded_probe = false;
};

enum EntryState {
    STATE_RUNNING,   // enabled, the lock is held and the kernel names its holder
    STATE_DOWN,      // enabled, lock free: started at the next pass
    STATE_STOPPING,  // disabled, lock held: sent SIGTERM each pass
    STATE_STOPPED,   // disabled, lock free
    // Held by a process the kernel cannot name to us, enabled or not. One state shown two
    // ways: "locked" in JSON, "locked, holder unknown" in the table.
    STATE_LOCKED_HOLDER_UNKNOWN,
    STATE_ERROR,  // the probe failed; probe.error says why
};

// Whether the lock holder runs the command line its list line now gives.
enum CommandLineMatch {
    CMDLINE_UNKNOWN,  // not running, or its command line cannot be read or was rewritten
    CMDLINE_SAME,
    CMDLINE_CHANGED,  // the line was edited since it started: restart it to apply
};

struct EntryStatus {
    int line = 0;  // 0: the monitor, which the daemon keeps without a list line
    bool enabled = true;
    std::string program;  // as written
    std::string pid_file;
    std::vector<std::string> args;  // the arguments the daemon passes (at most 14)
    EntryState state = STATE_DOWN;
    LockProbe probe;
    ProcessInfo process;  // of probe.holder while running or stopping
    bool resolved = false;
    std::string resolved_path;
    std::string resolve_error;
    LockrunStatus lockrun;
    CommandLineMatch cmdline = CMDLINE_UNKNOWN;
    std::string cmdline_note;  // why it is unknown, while running
};

struct HostStatus {
    double now = 0;
    StatusSource source;
    std::string watchdog_pid_file;
    LockProbe watchdog;
    ProcessInfo watchdog_process;
    bool watchdog_verified = false;  // the holder's executable is named vemo-watchdog
    WatchdogIdentity watchdog_identity = WATCHDOG_FOREIGN;
    std::string watchdog_note;  // what was not verified, when WATCHDOG_UNVERIFIED
    EntryStatus monitor;
    MonitorState monitor_state;
    bool list_read = false;
    std::string list_error;
    std::vector<int> invalid_lines;
    std::vector<EntryStatus> entries;
    LookupContext lookup;
    bool monitor_selected = true;  // false when selectors left the monitor out
};

// The tree of the program started as argv0 (resolved through /proc/self/exe when it can be).
StatusSource source_from_self(const char* argv0);

// Probes everything once; never creates a file, takes a lock or signals anyone.
// false when the status cannot be determined at all (errno says why).
bool collect_status(const StatusSource& source, HostStatus* out);

// LSB status: 0 all as wanted, 3 something is not, 4 cannot be determined.
int status_exit_code(const HostStatus& status);
// The lock is held by a vemo-watchdog, verified or as far as this user can see, or by a holder
// the kernel cannot name to us (then it is taken to be the watchdog): false when it is free or
// held by another program.
bool watchdog_taken_as_running(const HostStatus& status);

std::string render_table(const HostStatus& s, bool colour);
std::string render_json(const HostStatus& s);
std::string render_prometheus(const HostStatus& s);
// Whether render_prometheus gives a and b the same text: every fact it reads is equal (it
// reads no clock).
bool same_prometheus_facts(const HostStatus& a, const HostStatus& b);

// ---- the pieces, for vemoctl's other commands

// The state's name in JSON: "running", "down", "stopping", "stopped", "locked", "error".
const char* state_name(EntryState state);
// What an entry's lock means for it: the one place a LockState becomes an EntryState.
EntryState entry_state(bool enabled, LockState lock);
// Enabled entries run their line's current command line (or one we cannot read); disabled ones
// are stopped.
bool entry_as_wanted(const EntryStatus& entry);
// Compares the lock holder's command line with what the entry's line now starts (for a
// vemo-lockrun --restart line, the wrapper's own): sets e->cmdline and cmdline_note.
void compare_command_line(EntryStatus* e);
// What compare_command_line reads of the lock holder, for a reader that keeps it between passes.
struct HolderView {
    bool name_read = false;  // name holds its command name (/proc/PID/stat or comm)
    std::string name;
    bool argv_read = false;  // argv holds /proc/PID/cmdline; else argv_errno says why not
    int argv_errno = 0;
    std::vector<std::string> argv;
};
// compare_command_line from what was read of the holder.
void judge_command_line(EntryStatus* e, const HolderView& holder);
// Keeps the entries a selector names: a line number, a pid-file path, a program name or path.
// false when a selector matches nothing (*unmatched names it).
bool select_entries(HostStatus* status, const std::vector<std::string>& selectors,
                    std::string* unmatched);

#endif
