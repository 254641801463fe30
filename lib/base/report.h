// One message, several places: standard error (prefixed "PROG: ") and the system log, so the
// copies cannot drift. log_warn adds ": " and errno's text; log_warnx adds nothing.
#ifndef VEMO_REPORT_H
#define VEMO_REPORT_H

#include <cstdarg>
#include <string>

// Where reports go: prog names the stderr prefix (nullptr: no stderr copy); syslog is used
// when to_syslog is true (openlog is the caller's).
void report_to(const char* prog, bool to_syslog);

// Text added to the log's copy only, such as what the message is about, which a person at the
// terminal already knows but a log reader does not ("" for none).
void report_log_context(const std::string& context);

// What writes the log's copy, printf-style: syslog(3) by default; a program that must never wait
// on a full log passes its own.
void report_log_with(void (*log)(int priority, const char* fmt, ...));

// Messages longer than kReportMax bytes are cut there.
constexpr unsigned kReportMax = 8192;

void log_warn(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void log_warnx(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// log_warnx for a caller's own printf-style front end.
void log_vwarnx(int priority, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));

#endif
