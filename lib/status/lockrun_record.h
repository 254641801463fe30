// A vemo-lockrun line: the program it wraps and, with --restart, the <PIDFILE>.lockrun record
// its wrapper keeps of the wrapped program's runs.
#ifndef VEMO_LOCKRUN_RECORD_H
#define VEMO_LOCKRUN_RECORD_H

#include <sys/types.h>

#include <string>
#include <vector>

struct LockrunStatus {
    bool is_lockrun = false;
    bool restart = false;
    std::string pid_file;  // its PIDFILE argument ("" when missing)
    std::string wraps;     // its PROGRAM argument ("" when missing)
    size_t wraps_at = 0;   // PROGRAM's index in the arguments, when there is one
    std::string name;      // --name=NAME, else the base name of PROGRAM
    bool name_given = false;
    bool wrapper_ended = false;  // a record read while no wrapper holds the lock
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
    long dropped_lines = -1;  // --log: the program's lines the log did not take; -1 without --log
    // Health checks: what the line asks for, and what the record says of them.
    std::string check;                       // "port 6379", "exec PATH", "" for none
    std::vector<std::string> option_errors;  // --check-* values the wrapper would refuse
    std::string health;                      // "healthy", "failing", "unchecked"; "" unread
    long check_failures = 0;                 // in a row
    long check_fails = 0;                    // the limit
    long check_failures_total = 0;
    std::string last_check_error;
};

// The program's file name is vemo-lockrun.
bool is_lockrun_program(const std::string& program);

// Parses a vemo-lockrun argument list: options ("--opt=value" or flags) first, "--" ending them,
// then PIDFILE and PROGRAM.
LockrunStatus parse_lockrun_args(const std::vector<std::string>& args);

// The program runs under a live wrapper but fails its health checks.
bool lockrun_failing(const LockrunStatus& lr);

// Reads <lr->pid_file>.lockrun (relative to cwd): key=value lines, unknown keys ignored. An
// absent file is no error; any other failure is kept in lr->state_error.
void read_lockrun_state(const std::string& cwd, LockrunStatus* lr);

#endif
