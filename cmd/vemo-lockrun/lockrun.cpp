// vemo-lockrun's start-up: read the command line, take the pid file's lock, then become the
// program or supervise it.
#include "lockrun.h"

#include "CLockFile.h"
#include "text.h"

#include <syslog.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace {

const char kUsage[] = "usage: vemo-lockrun [OPTIONS] PIDFILE PROGRAM [ARGS...]\n";

const char kHelp[] =
    "Holds the lock on PIDFILE for PROGRAM, which takes none.\n"
    "\n"
    "  --restart          run PROGRAM as a child and start it again when it ends\n"
    "  --keep-signals     pass on the inherited signal dispositions and mask\n"
    "  --name=NAME        what the log calls the program (default its base name)\n"
    "  --log              the program's output to the system log, as NAME\n"
    "  --grace=SECONDS    --restart: wait after SIGTERM before SIGKILL (default 10)\n"
    "  --max-delay=SECONDS  --restart: cap of the restart back-off (default 5)\n"
    "  --give-up=N        --restart: exit after N quick deaths in a row, 0 never (default 10)\n"
    "  --keep-group       --restart: leave what the program leaves in its process group\n"
    "  --                 ends the options\n"
    "\n"
    "See vemo-lockrun(8).\n";

// A command line that cannot be run: its fault (or, with none named, the missing operands) to
// syslog, the fault and the usage line to standard error.
int refuse_command_line(const LockrunOptions& opts, const char* error) {
    if (error[0] != '\0') {
        report_failure(opts, error);
    } else {
        syslog(LOG_ERR, "usage error: PIDFILE and PROGRAM are required");
    }
    (void)fputs(kUsage, stderr);
    return kExitUsage;
}

int print_help() {
    (void)fputs(kUsage, stdout);
    (void)fputs(kHelp, stdout);
    return 0;
}

// Takes LOCK, which writes our pid into the pid file; false once a failure is reported.
bool take_lock(const LockrunOptions& opts, CLockFile* lock) {
    pid_t holder = 0;
    int rc = lock->Get(&holder);
    if (rc == 0) return true;
    if (rc == 1 && holder > 0) {
        report_failuref(opts, "%s is locked by process %d", opts.pid_file,
                        static_cast<int>(holder));
    } else if (rc == 1) {
        report_failuref(opts, "%s is locked by another process (its pid cannot be read)",
                        opts.pid_file);
    } else {
        report_failuref(opts, "cannot lock %s: %s", opts.pid_file, errno_text(errno).c_str());
    }
    return false;
}

}  // namespace

// Not lib/base's report: its two copies are one text, and this syslog copy names more.
void report_failure(const LockrunOptions& opts, const char* text) {
    fprintf(stderr, "vemo-lockrun: %s\n", text);
    if (opts.pid_file != nullptr && opts.name != nullptr) {
        syslog(LOG_ERR, "%s (pid file %s, program %s)", text, opts.pid_file, opts.name);
    } else {
        syslog(LOG_ERR, "%s", text);
    }
}

// A printf-style list, so the compiler checks each format against its arguments.
void report_failuref(const LockrunOptions& opts, const char* fmt, ...) {  // NOLINT(cert-dcl50-cpp)
    char text[8192];
    va_list ap;
    va_start(ap, fmt);
    (void)vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    report_failure(opts, text);
}

int lockrun_main(int argc, char** argv) {
    openlog("vemo-lockrun", LOG_PID, LOG_USER);
    LockrunOptions opts;
    char error[512];
    if (parse_options(argc, argv, &opts, error, sizeof error) != 0)
        return refuse_command_line(opts, error);
    if (opts.help) return print_help();

    // Before the lock, so that holding it without being the program lasts no longer than it must:
    // the lock's holder counts as the running program from the moment it is taken.
    if (!opts.restart && !opts.keep_signals) reset_signals_for_exec();

    // Exec keeps the process, so in the default form the pid written is the program's; with
    // --restart it is ours, the lock's holder. The lock outlives LOCK: it ends with the process.
    CLockFile lock(opts.pid_file);
    if (!take_lock(opts, &lock)) return kExitFailure;
    return opts.restart ? run_restart(opts) : become_program(opts);
}
