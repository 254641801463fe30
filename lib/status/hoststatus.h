// What the watchdog supervises, seen read-only through the same truth it uses: the pid-file
// locks. Shared by vemoctl and vemo-monitor, so the command line and HTTP give one answer.
#ifndef VEMO_HOSTSTATUS_H
#define VEMO_HOSTSTATUS_H

#include "paths.h"

#include <sys/types.h>

#include <string>
#include <vector>

// Where to look: the tree's bin directory (for bin/vemo-monitor), the watch list, the run
// directory.
struct StatusSource {
    std::string bin_dir;
    std::string list_file;
    std::string run_dir = VEMO_RUN_DIR;
};

enum EntryState {
    STATE_RUNNING,         // the lock is held and the kernel names its holder
    STATE_DOWN,            // enabled, lock free: started at the next pass
    STATE_STOPPING,        // disabled, lock held: sent SIGTERM each pass
    STATE_STOPPED,         // disabled, lock free
    STATE_LOCKED_UNKNOWN,  // held by a process the kernel cannot name to us
    STATE_ERROR,           // the probe failed; err says why
};

// What /proc says about one process; known false when it vanished or cannot be read.
struct ProcessInfo {
    bool known = false;
    double started_at = 0;  // epoch seconds
    std::string exe;        // the target of /proc/PID/exe, when readable
};

// One probe of a pid file, as the daemon's probe would see it but without creating anything.
struct LockProbe {
    EntryState held_state = STATE_DOWN;  // RUNNING, DOWN (free or missing), LOCKED_UNKNOWN, ERROR
    bool missing = false;                // the file or a directory above it does not exist
    pid_t holder = 0;
    int err = 0;
    std::string error;      // e.g. "Permission denied"; "" without an error
    std::string pid_text;   // the file's first line (at most 15 bytes, printable)
    double written_at = 0;  // its modification time, when it exists
};

// A vemo-lockrun line: the wrapped program and, with --restart, its <PIDFILE>.lockrun record.
struct LockrunStatus {
    bool is_lockrun = false;
    bool restart = false;
    std::string pid_file;  // its PIDFILE argument ("" when missing)
    std::string wraps;     // its PROGRAM argument ("" when missing)
    bool state_read = false;
    std::string state_error;  // why the .lockrun file could not be read ("" when absent or read)
    std::string program;      // resolved path of the wrapped program, from the record
    pid_t child_pid = 0;
    double child_started_at = 0;
    long restarts = 0;
    std::string last_exit = "none";
    int last_exit_code = -1;
    double last_exit_at = 0;
    double last_run_seconds = 0;
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
};

// The monitor's state file, judged as the liveness probe judges it (without its pauses).
struct MonitorState {
    std::string path;
    bool read = false;
    std::string error;
    bool has_request = false;
    long last_request_at = 0;
    long age_seconds = 0;
    bool fresh = false;
};

// Whose PATH and working directory resolved the programs.
struct LookupContext {
    bool from_watchdog = false;
    std::string path_env;
    bool path_set = false;
    std::string cwd;
    std::string note;  // why our own were used, when they were
};

struct HostStatus {
    double now = 0;
    StatusSource source;
    std::string watchdog_pid_file;
    LockProbe watchdog;
    ProcessInfo watchdog_process;
    bool watchdog_verified = false;  // the holder's executable is named vemo-watchdog
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
// The lock is held by a verified vemo-watchdog, or by a holder the kernel cannot name to us
// (then it is taken to be the watchdog): false when it is free or held by another program.
bool watchdog_taken_as_running(const HostStatus& status);

std::string render_table(const HostStatus& s, bool colour);
std::string render_json(const HostStatus& s);
std::string render_prometheus(const HostStatus& s);

// ---- the pieces, for vemoctl's other commands

const char* state_name(EntryState state);
bool entry_as_wanted(const EntryStatus& entry);
// Read-only probe: O_RDONLY|O_NONBLOCK|O_CLOEXEC and F_GETLK; only regular files are opened.
LockProbe probe_pid_file(const std::string& path);
ProcessInfo read_process(pid_t pid);
// The watchdog's PATH and working directory when readable, else ours (with a note why).
LookupContext lookup_context(pid_t watchdog);
// Parses a vemo-lockrun argument list: options ("--...") first, then PIDFILE and PROGRAM.
LockrunStatus parse_lockrun_args(const std::vector<std::string>& args);
bool is_lockrun_program(const std::string& program);
// Keeps the entries a selector names: a line number, a pid-file path, a program name or path.
// false when a selector matches nothing (*unmatched names it).
bool select_entries(HostStatus* status, const std::vector<std::string>& selectors,
                    std::string* unmatched);

// The executable of a process, as /proc names it; "" when it cannot be read.
std::string read_exe(pid_t pid);

#endif
