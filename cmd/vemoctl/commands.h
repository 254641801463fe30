// vemoctl's commands and what they share: the parsed command line, the usage errors, and the
// one answer to "does the watchdog hold its lock?".
#ifndef VEMO_VEMOCTL_COMMANDS_H
#define VEMO_VEMOCTL_COMMANDS_H

#include "check.h"
#include "hoststatus.h"

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

// Exit statuses beyond LSB status's 0, 3 and 4.
const int kExitFailure = 1;
const int kExitUsage = 2;
const int kExitNotRunning = 7;
// LSB's "insufficient privilege": reload and stop as a user who may not signal the watchdog.
const int kExitPrivilege = 4;

extern const char* const kUsage;

struct Args {
    std::string command;
    std::map<std::string, std::string> options;  // "--name" -> value ("" without one)
    std::vector<std::string> operands;
};

// Options may come before or after the command; "--" ends them. false with *error set.
bool parse_args(int argc, char** argv, Args* out, std::string* error);
// Whether every option given is --list or one of allowed; *bad names the first that is not.
bool only_options(const Args& args, const std::vector<std::string>& allowed, std::string* bad);
// "vemoctl: TEXT" and the usage to stderr; kExitUsage.
int usage_error(const std::string& text);

// Colour on a terminal, unless NO_COLOR is set and not empty.
bool colour_wanted(int fd);

// The holder of the watchdog's own lock. 1: a vemo-watchdog holds it (*pid); 0: nobody;
// -1: another process holds it or it cannot be probed (*why says which); -2: it looks like the
// watchdog, but only root can verify it (*pid, *why).
int watchdog_holder(const std::string& run_dir, pid_t* pid, std::string* why);
// What reload or stop say when watchdog_holder answered held (< 0): kExitPrivilege for -2,
// else kExitFailure.
int refuse_signal(const char* command, int held, const std::string& why);
// What they say when the signal failed (errno): EPERM means they need root.
int signal_failed(const char* command, pid_t pid);

// Prints the findings; returns the number of errors (*warnings the number of warnings).
int report_findings(const std::string& file, const std::vector<Finding>& findings, int* warnings);
// The list's check as the watchdog would see it: its PATH and directory when it runs.
CheckContext check_context(const StatusSource& src);

// Running entries whose holder runs an older command line than their line gives.
bool entry_changed(const EntryStatus& e);
// "line N: pid P runs an older command line ..." for each, to stderr.
void name_changed_lines(const HostStatus& s);
// Stops the holders of changed lines and waits (bounded) for their locks to be released;
// false (reported) when one could not be signalled or did not let go.
bool apply_changed_lines(const StatusSource& src);

int cmd_status(const Args& args, const StatusSource& src);
int cmd_selectors(const StatusSource& src);
int cmd_check(const Args& args, const StatusSource& src);
int cmd_reload(const Args& args, const StatusSource& src);
int cmd_start(const Args& args, const StatusSource& src);
int cmd_stop(const Args& args, const StatusSource& src);

#endif
