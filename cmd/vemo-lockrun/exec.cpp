// The default form: vemo-lockrun becomes the program, which inherits the lock through exec.
// Also what the --restart child shares with it (the signal reset, the exit status of a failed
// exec), and the path lookup execvp makes, which --restart does before its first start.
#include "lockrun.h"
#include "output.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Closing ANY descriptor of the locked file drops the process's lock, so every one of them
// must survive exec, not only the one CLockFile opened. 1: kept; 0: not an open descriptor of
// the pid file; -1: failed.
int keep_if_pid_file(int fd, const struct stat& pid_file) {
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != pid_file.st_dev || st.st_ino != pid_file.st_ino)
        return 0;
    int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) == 0 ? 1 : -1;
}

// How many descriptors of the pid file were kept open across exec, and whether one failed.
struct KeptTally {
    int kept = 0;
    bool failed = false;
    void add(int rc) {
        kept += rc > 0;
        failed |= rc < 0;
    }
};

// Goes through the descriptors /proc/self/fd lists; false when it cannot be opened.
bool keep_listed_descriptors(const struct stat& pid_file, KeptTally* tally) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return false;
    int own = dirfd(dir);
    while (struct dirent* e = readdir(dir)) {
        char* end = nullptr;
        long fd = strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd == own) continue;
        tally->add(keep_if_pid_file(static_cast<int>(fd), pid_file));
    }
    closedir(dir);
    return true;
}

// Without /proc: every descriptor number below the open-files limit, at most 2^20 of them.
void keep_numbered_descriptors(const struct stat& pid_file, KeptTally* tally) {
    struct rlimit lim;
    rlim_t top = getrlimit(RLIMIT_NOFILE, &lim) == 0 ? lim.rlim_cur : 1024;
    if (top == RLIM_INFINITY || top > (1 << 20)) top = 1 << 20;
    for (rlim_t fd = 0; fd < top; ++fd)
        tally->add(keep_if_pid_file(static_cast<int>(fd), pid_file));
}

// True when every descriptor of the pid file, and at least one, will stay open across exec.
bool keep_lock_across_exec(const struct stat& pid_file) {
    KeptTally tally;
    if (!keep_listed_descriptors(pid_file, &tally)) keep_numbered_descriptors(pid_file, &tally);
    return tally.kept > 0 && !tally.failed;
}

// PATH prefixed with the current directory when relative, built in OUT itself so that no
// second path-sized buffer lies on the stack. 0, or -1 with errno set.
int make_absolute(const char* path, char* out, size_t out_size) {
    size_t len = 0;
    if (path[0] != '/') {
        if (getcwd(out, out_size) == nullptr) return -1;
        len = strlen(out);
    }
    int n = snprintf(out + len, out_size - len, "%s%s", len > 0 ? "/" : "", path);
    if (n < 0 || static_cast<size_t>(n) >= out_size - len) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

// Leads a process group of its own, so that whatever the program leaves behind stays together
// under its pid. Not when it leads one already, nor when its group is the terminal's foreground:
// leaving that would stop a program that reads the terminal and keep the keyboard's signals
// from it. A group led from outside our pid namespace reads as 0, and so may the foreground:
// such a group is not taken for the foreground. 0, or -1 with errno set.
int lead_own_group() {
    if (getpgrp() == getpid()) return 0;
    int tty = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (tty >= 0) {
        pid_t fg = tcgetpgrp(tty);
        bool foreground = fg > 0 && fg == getpgrp();
        (void)close(tty);
        if (foreground) return 0;
    }
    return setpgid(0, 0);
}

}  // namespace

int exec_failure_status(int err) {
    return err == ENOENT || err == ENOTDIR ? kExitNotFound : kExitCannotExecute;
}

void reset_signals_for_exec() {
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    // The C library refuses its own reserved signals and the kernel SIGKILL and SIGSTOP with
    // EINVAL: those are at their defaults already, so the failures are expected.
    for (int sig = 1; sig < NSIG; ++sig)
        (void)sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);
}

int resolve_program(const char* program, char* out, size_t out_size) {
    if (strchr(program, '/') != nullptr) return make_absolute(program, out, out_size);
    // As execvp: an empty PATH entry is the current directory, and without PATH it searches
    // the C library's default.
    const char* path = getenv("PATH");
    if (path == nullptr) path = "/bin:/usr/bin";
    bool denied = false;
    for (const char* dir = path;; ++dir) {
        const char* end = strchrnul(dir, ':');
        int len = static_cast<int>(end - dir);
        char candidate[4096];
        int n = len == 0 ? snprintf(candidate, sizeof candidate, "%s", program)
                         : snprintf(candidate, sizeof candidate, "%.*s/%s", len, dir, program);
        struct stat st;
        if (n > 0 && static_cast<size_t>(n) < sizeof candidate && stat(candidate, &st) == 0 &&
            S_ISREG(st.st_mode)) {
            if (access(candidate, X_OK) == 0) return make_absolute(candidate, out, out_size);
            denied = true;
        }
        dir = end;
        if (*dir == '\0') break;
    }
    errno = denied ? EACCES : ENOENT;
    return -1;
}

int become_program(const LockrunOptions& opts) {
    // Checked by name: a lock on a file since replaced at that path would guard nothing.
    struct stat st;
    if (stat(opts.pid_file, &st) != 0 || !keep_lock_across_exec(st)) {
        report_failuref(opts, "cannot keep the lock on %s across exec", opts.pid_file);
        return kExitFailure;
    }
    if (lead_own_group() != 0) {
        report_failuref(opts, "cannot start a process group: %s", error_text(errno));
        return kExitFailure;
    }
    if (start_output_reader(opts) != 0) {
        report_failuref(opts, "cannot carry the output of %s: %s", opts.name, error_text(errno));
        return kExitFailure;
    }
    execvp(opts.program, opts.program_argv);
    int err = errno;
    report_failuref(opts, "cannot execute %s: %s", opts.program, error_text(err));
    return exec_failure_status(err);
}
