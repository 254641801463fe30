// --log: what the program writes to its standard output and error, carried line by line into
// the system log under its name and pid. Records are formatted here and sent to /dev/log without
// waiting: a record the log does not take at once is dropped and counted, never waited for.
#ifndef VEMO_LOCKRUN_OUTPUT_H
#define VEMO_LOCKRUN_OUTPUT_H

#include "lockrun.h"

#include <signal.h>
#include <sys/types.h>
#include <cstddef>
#include <ctime>

// The longest text of one record, escapes included; a longer line goes on in the next record.
constexpr size_t kMaxLogText = 2048;

// ---- output.cpp: lines, escapes and records

// One stream's line being assembled: its escaped text so far and an unfinished UTF-8 sequence.
struct LineState {
    char text[kMaxLogText]{};
    size_t len = 0;
    unsigned char partial[4] = {0, 0, 0, 0};
    size_t partial_len = 0;
    size_t partial_need = 0;  // the length of the sequence partial[] begins
};

// Receives one record's text, escaped, never empty, at most kMaxLogText bytes.
using EmitText = void (*)(void* ctx, const char* text, size_t len);

// Feeds N bytes read from a stream. A byte below 0x20, 0x7f, a backslash and a byte that is not
// part of valid UTF-8 are written as \xNN (a backslash as \\), so no record ends early or holds a
// forged one. Each finished line is emitted; an empty one is not.
void feed_output(LineState* line, const char* data, size_t n, EmitText emit, void* ctx);

// At the end of the stream: what is left of an unfinished line.
void flush_output(LineState* line, EmitText emit, void* ctx);

// "<PRI>Mmm dd hh:mm:ss NAME[PID]: TEXT" at facility user; its length, or -1 when OUT is short.
int format_record(char* out, size_t out_size, int priority, time_t when, const char* name,
                  pid_t pid, const char* text, size_t len);

// Where records go and what could not go there.
struct LogSink {
    const char* name = "";          // the program's, from --name
    pid_t pid = 0;                  // the program's
    int fd = -1;                    // connected to /dev/log, or -1
    double retry_at = 0;            // monotonic: no new connection before
    unsigned long dropped = 0;      // in all
    unsigned long unreported = 0;   // not yet told in a record of our own
    double report_at = 0;           // monotonic: no report of drops before
    RestartState* state = nullptr;  // --restart: where the count is published
    const char* state_path = nullptr;
    bool state_due = false;  // drops reported, not yet in the state file
};

// Sends one record at PRIORITY without waiting; a record not taken is counted in SINK. Drops not
// yet reported are reported first (see report_drops).
void send_line(LogSink* sink, int priority, const char* text, size_t len);

// How long a wait for output may last before SINK's waiting records or drops are tried again, in
// ms; -1 for no limit.
int retry_ms(const LogSink& sink);

// Before the wrapper exits: own records still waiting get at most half a second.
void finish_own_records(LogSink* sink);

// Drops not yet reported, as vemo-lockrun's own warning, once the log takes it and at most once
// per kDropReportSeconds, so that an overloaded log is not filled with reports.
void report_drops(LogSink* sink);
constexpr double kDropReportSeconds = 1.0;

// Writes the state file once drops were reported. Not from report_drops itself, which runs deep
// in the carrying of a line: the state file's buffer would lie below that on the stack.
void publish_drops(LogSink* sink);

// ---- reader.cpp: the pipes and who reads them

// Exec form, just before the exec: the program's standard output and error become pipes read by
// a process of their own ("vemo-log") that ends when the last writer closes them. 0, or -1 with
// errno set.
int start_output_reader(const LockrunOptions& opts);

// --restart: the pipes every child writes to, kept open by the wrapper for all its children, and
// the state record the dropped count goes to. 0, or -1 with errno set.
int open_output(const LockrunOptions& opts, RestartState* state, const char* state_path);

// --restart --log: the sink own_log (lockrun.h) sends vemo-lockrun's own records through, else
// null. A record the log does not take waits in a small queue, ahead of the program's lines, and
// is tried again.
LogSink* own_records_sink();

// In the child between fork and exec (async-signal-safe): standard output and error to the
// pipes. 0, or -1 with errno set.
int attach_output();

// In the child after a failed exec (async-signal-safe): why, on standard error, which the log
// carries under the program's name.
void tell_exec_failure(const char* program, int err);

// --restart's wait: sigtimedwait on SET for at most TIMEOUT (null: no limit), carrying output
// meanwhile. As sigtimedwait: a signal, or -1 with errno set.
int wait_signal_or_output(const sigset_t* set, const struct timespec* timeout);

// --restart: the records that follow name the child PID.
void output_names(pid_t pid);

// Before the wrapper exits: what is still in the pipes.
void drain_output();

#endif
