// --restart health checks: a program that still runs but no longer answers is ended and started
// again. A check runs as a process of its own in a group of its own, never two at once; its
// output is read into a small buffer (the first line kept) and it is killed at its timeout.
#ifndef VEMO_LOCKRUN_HEALTH_H
#define VEMO_LOCKRUN_HEALTH_H

#include "lockrun.h"

#include <sys/types.h>
#include <cstddef>

// The signal a check's output arrives by: vemo-lockrun takes it with the others it waits for.
constexpr int kCheckOutputSignal = SIGIO;
// The first line of a check's output kept for the record; the rest is read and dropped.
constexpr size_t kCheckLineMax = 200;

// ---- health.cpp: options, schedule and judgement

// One --check-* option into OPTS: false when ARG is no such option, else *ok tells whether its
// value is valid.
bool parse_check_option(const char* arg, LockrunOptions* opts, bool* ok);

// Options that are valid one by one but not together; true with *error set.
bool check_options_error(const LockrunOptions& opts, char* error, size_t error_size);

// Once the program's path is known: the check's own path, looked up like the program, and the
// state record's health fields. 0, or vemo-lockrun's exit status once the failure is reported.
int health_setup(const LockrunOptions& opts, RestartState* state, const char* state_path);

// A check is configured.
bool health_enabled();

// The program PID has started: checks begin after --check-grace.
void health_program_started(pid_t pid);

// The program has ended: a running check is killed and its verdict dropped.
void health_program_ended();

// The next time (monotonic) health_tick has something to do; -1 for none.
double health_deadline();

// Starts a check that is due, kills one past its timeout. True once --check-fails failures in a
// row have been reached: the caller ends the program; checks stop until it starts again.
bool health_tick(double now);

// True when PID was a check, reaped here with STATUS and judged.
bool health_reaped(pid_t pid, int status);

// kCheckOutputSignal was taken: what the running check wrote is read.
void health_output();

// The program ended for failed checks without ever passing one since it started: its run
// counts as a quick death, so a program that never becomes healthy backs off and gives up.
bool health_never_passed();

// ---- probe.cpp: running one check

// A check being run: its process (and group), and its output's read end.
struct CheckRun {
    pid_t pid = 0;
    int out_fd = -1;
    char line[kCheckLineMax + 1] = "";
    size_t line_len = 0;
    bool line_done = false;  // the first line ended: what follows is dropped
};

// Starts the check: --check-exec's PATH with ENVP, else a connection to 127.0.0.1:PORT made by a
// fork of this process. 0, or -1 with errno set.
int start_check(CheckRun* run, const char* path, char* const* envp, long port);

// Reads what the check wrote so far without waiting, keeping the first line.
void read_check_output(CheckRun* run);

// The check ended (or is abandoned): the last output read, its group killed, the pipe closed.
void finish_check(CheckRun* run);

// The port check itself, in the forked process: 0 when 127.0.0.1:PORT takes a connection and
// the program behind it accepts it, else 1 with why on standard output. A connection the kernel
// queued but the program never accepts (a stopped or wedged server) never ends: the timeout
// kills it.
[[noreturn]] void probe_port(long port);

// Whether the connection from local port FROM to PORT on this host has been accepted, as the
// kernel's TCP tables (/proc/net/tcp and tcp6) TABLES tell: their text, concatenated. A
// connection still queued shows there with no socket inode.
bool connection_accepted(const char* tables, long port, long from);

#endif
