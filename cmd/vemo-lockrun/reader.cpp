// --log: the pipes that take the program's standard output and error, and who reads them: a
// process of its own in the exec form, the wrapper itself under --restart.
#include "output.h"

#include "clock.h"
#include "fileio.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace {

// Standard output at info, standard error at warning.
struct Output {
    int out[2] = {-1, -1};  // read end, write end
    int err[2] = {-1, -1};
    int signals = -1;  // --restart: a signalfd, readable while one of the taken signals is pending
    bool own_records = false;  // --restart: vemo-lockrun's own records go through sink
    LogSink sink;
};

Output g_output;

// The lines being assembled, apart from Output and zero-initialised, so that their buffers have
// pages resident only as far as the program's lines have reached.
struct Lines {
    LineState out;
    LineState err;
};

Lines g_lines;

void emit_info(void* ctx, const char* text, size_t len) {
    send_line(static_cast<LogSink*>(ctx), LOG_INFO, text, len);
}

void emit_warning(void* ctx, const char* text, size_t len) {
    send_line(static_cast<LogSink*>(ctx), LOG_WARNING, text, len);
}

// One read of FD into its line; what read returned. A small buffer: what lies below it on the
// stack, the record of a line, is resident for the wrapper's life.
ssize_t carry(int fd, LineState* line, EmitText emit) {
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) feed_output(line, buf, static_cast<size_t>(n), emit, &g_output.sink);
    return n;
}

void close_pair(int (&fds)[2]) {
    for (int& fd : fds) {
        if (fd >= 0) (void)close(fd);
        fd = -1;
    }
}

// Both pipes, close-on-exec; the read ends do not block. 0, or -1 with errno set.
int make_pipes(Output* o) {
    if (pipe2(o->out, O_CLOEXEC) != 0) return -1;
    if (pipe2(o->err, O_CLOEXEC) == 0 && fcntl(o->out[0], F_SETFL, O_NONBLOCK) == 0 &&
        fcntl(o->err[0], F_SETFL, O_NONBLOCK) == 0)
        return 0;
    int err = errno;
    close_pair(o->out);
    close_pair(o->err);
    errno = err;
    return -1;
}

// FD as descriptor TARGET, kept across exec (async-signal-safe). 0, or -1 with errno set.
int onto(int fd, int target) {
    if (fd != target) return dup2(fd, target) < 0 ? -1 : 0;
    int flags = fcntl(fd, F_GETFD);
    return flags < 0 || fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) != 0 ? -1 : 0;
}

// Closes every descriptor but A and B.
void keep_only(int a, int b) {
    unsigned lo = static_cast<unsigned>(a < b ? a : b);
    unsigned hi = static_cast<unsigned>(a < b ? b : a);
    if (lo > 0) (void)close_range(0, lo - 1, 0);
    if (hi > lo + 1) (void)close_range(lo + 1, hi - 1, 0);
    (void)close_range(hi + 1, ~0U, 0);
}

// The exec form's reader: out of the program's group and session, so that signals meant for the
// program leave it be; named vemo-log; holding nothing but the pipes and, later, the log socket.
// Ends when every writer has closed both pipes.
[[noreturn]] void run_reader(const char* name, pid_t program) {
    Output& o = g_output;
    (void)setsid();
    (void)prctl(PR_SET_NAME, "vemo-log");
    static const int kIgnored[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE};
    for (int sig : kIgnored)
        (void)signal(sig, SIG_IGN);
    keep_only(o.out[0], o.err[0]);
    o.sink.name = name;
    o.sink.pid = program;
    struct pollfd fds[2] = {{o.out[0], POLLIN, 0}, {o.err[0], POLLIN, 0}};
    LineState* lines[2] = {&g_lines.out, &g_lines.err};
    const EmitText emits[2] = {emit_info, emit_warning};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 2, retry_ms(o.sink)) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = carry(fds[i].fd, lines[i], emits[i]);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) fds[i].fd = -1;
        }
        report_drops(&o.sink);
    }
    flush_output(&g_lines.out, emit_info, &o.sink);
    flush_output(&g_lines.err, emit_warning, &o.sink);
    o.sink.report_at = 0;
    report_drops(&o.sink);
    _exit(0);
}

void drain(int fd, LineState* line, EmitText emit) {
    if (fd < 0) return;
    while (carry(fd, line, emit) > 0) {
    }
    flush_output(line, emit, &g_output.sink);
}

}  // namespace

int start_output_reader(const LockrunOptions& opts) {
    if (!opts.log) return 0;
    Output& o = g_output;
    if (make_pipes(&o) != 0) return -1;
    pid_t program = getpid();
    // Forked twice, so that the reader is no child of the program, which might reap it.
    pid_t middle = fork();
    if (middle == 0) {
        pid_t reader = fork();
        if (reader != 0) _exit(reader < 0 ? 1 : 0);
        run_reader(opts.name, program);
    }
    int err = errno;
    int status = 0;
    while (middle > 0 && waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    bool forked = middle > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (middle > 0 && !forked) err = EAGAIN;  // the second fork failed
    (void)close(o.out[0]);
    (void)close(o.err[0]);
    if (forked && (onto(o.out[1], STDOUT_FILENO) != 0 || onto(o.err[1], STDERR_FILENO) != 0)) {
        forked = false;
        err = errno;
    }
    if (o.out[1] != STDOUT_FILENO) (void)close(o.out[1]);
    if (o.err[1] != STDERR_FILENO) (void)close(o.err[1]);
    errno = err;
    return forked ? 0 : -1;
}

int open_output(const LockrunOptions& opts, RestartState* state, const char* state_path) {
    if (!opts.log) return 0;
    g_output.sink.name = opts.name;
    g_output.sink.state = state;
    g_output.sink.state_path = state_path;
    state->log_output = true;
    g_output.own_records = true;
    return make_pipes(&g_output);
}

int attach_output() {
    if (g_output.out[1] < 0) return 0;
    return onto(g_output.out[1], STDOUT_FILENO) != 0 || onto(g_output.err[1], STDERR_FILENO) != 0
               ? -1
               : 0;
}

void tell_exec_failure(const char* program, int err) {
    if (g_output.out[1] < 0) return;
    const char* why = strerrordesc_np(err);
    if (why == nullptr) why = "unknown error";
    const char* parts[] = {"vemo-lockrun: cannot execute ", program, ": ", why, "\n"};
    for (const char* part : parts) {
        if (!write_all(STDERR_FILENO, part, strlen(part))) return;
    }
}

int wait_signal_or_output(const sigset_t* set, const struct timespec* timeout) {
    Output& o = g_output;
    siginfo_t info;
    if (o.out[0] < 0) return sigtimedwait(set, &info, timeout);
    if (o.signals < 0) o.signals = signalfd(-1, set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (o.signals < 0) return -1;
    double deadline = -1;
    if (timeout != nullptr)
        deadline = monotonic_now() + static_cast<double>(timeout->tv_sec) +
                   static_cast<double>(timeout->tv_nsec) / 1e9;
    for (;;) {
        const struct timespec now = {0, 0};
        int sig = sigtimedwait(set, &info, &now);
        if (sig > 0 || (errno != EAGAIN && errno != EINTR)) return sig;
        int ms = -1;
        if (deadline >= 0) {
            double left = deadline - monotonic_now();
            if (left <= 0) {
                errno = EAGAIN;
                return -1;
            }
            // Rounded up, as ceil would, without the maths library.
            ms = static_cast<int>(left * 1000);
            if (ms < left * 1000) ++ms;
        }
        int retry = retry_ms(o.sink);
        if (retry >= 0 && (ms < 0 || ms > retry)) ms = retry;
        struct pollfd fds[3] = {
            {o.signals, POLLIN, 0}, {o.out[0], POLLIN, 0}, {o.err[0], POLLIN, 0}};
        if (poll(fds, 3, ms) < 0 && errno != EINTR) return -1;
        if (fds[1].revents != 0) (void)carry(o.out[0], &g_lines.out, emit_info);
        if (fds[2].revents != 0) (void)carry(o.err[0], &g_lines.err, emit_warning);
        report_drops(&o.sink);
        publish_drops(&o.sink);
    }
}

LogSink* own_records_sink() {
    return g_output.own_records ? &g_output.sink : nullptr;
}

void output_names(pid_t pid) {
    g_output.sink.pid = pid;
}

void drain_output() {
    drain(g_output.out[0], &g_lines.out, emit_info);
    drain(g_output.err[0], &g_lines.err, emit_warning);
    finish_own_records(&g_output.sink);
    g_output.sink.report_at = 0;
    report_drops(&g_output.sink);
    publish_drops(&g_output.sink);
}
