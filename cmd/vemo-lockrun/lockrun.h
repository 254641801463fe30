// vemo-lockrun: holds the pid-file lock for a program that takes none, either by becoming the
// program (the default) or, with --restart, by running it as a child and restarting it.
#ifndef VEMO_LOCKRUN_H
#define VEMO_LOCKRUN_H

#include <signal.h>
#include <sys/types.h>
#include <cstddef>

// Restart policy defaults, documented in vemo-lockrun(8).
constexpr double kDefaultGraceSeconds = 10.0;
constexpr double kDefaultMaxDelaySeconds = 5.0;
constexpr long kDefaultGiveUp = 10;
// A child that ran at least this long ends the quick-death streak and the back-off.
constexpr double kSettledSeconds = 1.0;
// The delay before the second restart of a streak; each later one doubles it up to the cap.
constexpr double kFirstBackoffSeconds = 0.1;

// Health-check defaults, documented in vemo-lockrun(8).
constexpr double kDefaultCheckInterval = 10.0;
constexpr double kDefaultCheckTimeout = 5.0;
constexpr long kDefaultCheckFails = 3;

// Exit statuses of vemo-lockrun itself (in the default form the program's own status follows
// once it has been executed).
constexpr int kExitStopped = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitGaveUp = 3;
constexpr int kExitCannotExecute = 126;
constexpr int kExitNotFound = 127;

struct LockrunOptions {
    bool restart = false;
    bool keep_signals = false;
    bool keep_group = false;  // --restart: leave what the program leaves in its process group
    bool log = false;         // the program's output to the system log (output.h)
    bool help = false;
    double grace = kDefaultGraceSeconds;
    double max_delay = kDefaultMaxDelaySeconds;
    long give_up = kDefaultGiveUp;  // 0: never give up
    const char* pid_file = nullptr;
    const char* program = nullptr;
    const char* name = nullptr;     // what the log calls the program: --name, else its base name
    char** program_argv = nullptr;  // program first, null-terminated
    // Health checks (health.h): at most one of check_exec and check_port.
    const char* check_exec = nullptr;
    long check_port = 0;  // 0: none
    double check_interval = kDefaultCheckInterval;
    double check_timeout = kDefaultCheckTimeout;
    long check_fails = kDefaultCheckFails;
    double check_grace = -1;  // -1: one interval
};

// ---- lockrun.cpp: the start-up

// The whole program; main only calls it.
int lockrun_main(int argc, char** argv);

// Writes "vemo-lockrun: TEXT" to standard error and logs TEXT through syslog at err, followed
// by the pid file and the program's name when both are known, since under the watchdog standard
// error leads to /dev/null.
void report_failure(const LockrunOptions& opts, const char* text);
// The same with TEXT formatted by printf rules (at most 8191 bytes).
void report_failuref(const LockrunOptions& opts, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// strerror's text for ERR, in a buffer the next call reuses.
const char* error_text(int err);

// ---- output.cpp: vemo-lockrun's own records

// As syslog(3); under --restart --log through the program's socket instead, which never waits: a
// record the log does not take is dropped and counted with the program's lines. Text past 2047
// bytes is cut there.
void own_log(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// ---- options.cpp: the command line

// Parses the command line. 0 on success (with opts->help set, the rest is not read); kExitUsage
// with *error describing the fault (empty when only the usage line is due).
int parse_options(int argc, char** argv, LockrunOptions* opts, char* error, size_t error_size);

// A duration option's value: a plain non-negative decimal number of seconds, at most a day.
bool parse_seconds(const char* text, double* out);
// A count option's value: decimal digits, at most a million.
bool parse_count(const char* text, long* out);

// The longest --name accepted.
constexpr size_t kMaxNameLength = 128;

// ---- exec.cpp: executing the program

// The default form, once the lock is held: keeps every descriptor of the pid file open across
// exec and executes the program. Returns only on failure, with vemo-lockrun's exit status.
int become_program(const LockrunOptions& opts);

// What a program started by hand gets: every signal at its default action, none blocked.
void reset_signals_for_exec();

// The absolute path execvp would run for PROGRAM: PROGRAM itself when it holds a '/', else the
// first executable regular file along PATH; a relative one is joined to the current directory.
// 0, or -1 with errno set (ENOENT, EACCES, ENAMETOOLONG, or why getcwd failed).
int resolve_program(const char* program, char* out, size_t out_size);

// 127 when the program is not there, 126 when it cannot be executed.
int exec_failure_status(int err);

// ---- restart.cpp: the --restart supervisor

// Runs the --restart form once the lock is held; returns vemo-lockrun's exit status.
int run_restart(const LockrunOptions& opts);

// Quick-death accounting: the delay before the next start after a child ran RAN seconds, or -1
// when the streak reached the give-up limit. *streak counts quick deaths in a row.
double next_restart_delay(long* streak, double ran, const LockrunOptions& opts);

// ---- state.cpp: the state record

// The published state of a --restart wrapper (the .lockrun file beside the pid file).
struct RestartState {
    char name[kMaxNameLength + 1] = "";
    pid_t child_pid = 0;
    double child_started_at = 0;  // epoch seconds
    unsigned long restarts = 0;
    char last_exit[64] = "none";  // "none", "exited N" or "killed SIGNAME"
    int last_exit_code = -1;      // N, or 128 + signal
    double last_exit_at = 0;      // epoch seconds
    double last_run_seconds = 0;
    bool log_output = false;          // --log: dropped_lines is published
    unsigned long dropped_lines = 0;  // the program's lines the log did not take
    // With a health check (health.h): its state and failures, published.
    bool checked = false;
    char health[16] = "unchecked";  // "healthy", "failing" or "unchecked"
    long check_failures = 0;        // in a row
    long check_fails = 0;           // the limit, --check-fails
    unsigned long check_failures_total = 0;
    char last_check_error[512] = "";  // one line, escaped as the log's records are
    char program[4096] = "";          // last: only its first bytes are ever written
};

// "SIGKILL" for a signal number; "SIG<n>" for one without a name.
void signal_name(int sig, char* out, size_t out_size);

// Records a wait status in STATE's last-exit fields, and that no child runs.
void note_exit(RestartState* state, int wait_status, double at, double ran);

// The state file's text; its length, or -1 when OUT is too small.
int format_state(const RestartState& state, char* out, size_t out_size);

// Replaces the file at PATH with STATE's text; a failure is logged as a warning and otherwise
// ignored, since the child runs on without it.
void write_state(const char* path, const RestartState& state);

#endif
