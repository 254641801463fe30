// vemo-lockrun's start-up: read the command line, take the pid file's lock, then become the
// program or supervise it.
#include "lockrun.h"

#include "CLockFile.h"

#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

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
        own_log(LOG_ERR, "usage error: PIDFILE and PROGRAM are required");
    }
    (void)fputs(kUsage, stderr);
    return kExitUsage;
}

int print_help() {
    (void)fputs(kUsage, stdout);
    (void)fputs(kHelp, stdout);
    return 0;
}

// Takes the pid file's lock, which writes our pid into it; false once a failure is reported.
// The lock outlives the CLockFile, since only its Close would give it up: it ends with the
// process. The object holds a path-sized buffer: on the heap, whose pages are used again, rather
// than deepening the stack for good.
bool take_lock(const LockrunOptions& opts) {
    void* storage = malloc(sizeof(CLockFile));
    if (storage == nullptr) {
        report_failuref(opts, "cannot lock %s: %s", opts.pid_file, error_text(ENOMEM));
        return false;
    }
    auto* lock = new (storage) CLockFile(opts.pid_file);
    pid_t holder = 0;
    int rc = lock->Get(&holder);
    free(storage);
    if (rc == 0) return true;
    if (rc == 1 && holder > 0) {
        report_failuref(opts, "%s is locked by process %d", opts.pid_file,
                        static_cast<int>(holder));
    } else if (rc == 1) {
        report_failuref(opts, "%s is locked by another process (its pid cannot be read)",
                        opts.pid_file);
    } else {
        report_failuref(opts, "cannot lock %s: %s", opts.pid_file, error_text(errno));
    }
    return false;
}

}  // namespace

void report_failure(const LockrunOptions& opts, const char* text) {
    report_failuref(opts, "%s", text);
}

void report_failuref(const LockrunOptions& opts, const char* fmt, ...) {  // NOLINT(cert-dcl50-cpp)
    int err = errno;
    // Static, not on the stack: only a failure writes it, and only as far as its text reaches.
    static char text[8192];
    va_list ap;
    va_start(ap, fmt);
    (void)vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    char prefix[] = "vemo-lockrun: ";
    char newline[] = "\n";
    struct iovec parts[] = {
        {prefix, sizeof prefix - 1}, {text, strlen(text)}, {newline, sizeof newline - 1}};
    // One write; one that fails has nowhere else to be told. Under the watchdog standard error
    // leads nowhere anyway: the log's copy says what it is about. Under --log own_log never
    // waits on a full log, as syslog(3) may.
    ssize_t written = writev(STDERR_FILENO, parts, 3);
    (void)written;
    if (opts.pid_file != nullptr && opts.name != nullptr) {
        own_log(LOG_ERR, "%s (pid file %s, program %s)", text, opts.pid_file, opts.name);
    } else {
        own_log(LOG_ERR, "%s", text);
    }
    errno = err;
}

const char* error_text(int err) {
    static char buf[128];
    // The GNU strerror_r returns its text, which need not be in buf.
    return strerror_r(err, buf, sizeof buf);
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
    // --restart it is ours, the lock's holder.
    if (!take_lock(opts)) return kExitFailure;
    return opts.restart ? run_restart(opts) : become_program(opts);
}
