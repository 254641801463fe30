// Running one health check: a process in a group of its own whose output comes back through a
// pipe read without waiting, and the port check that process makes.
#include "health.h"

#include "fileio.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// The port of an "ADDRESS:PORT" field of the kernel's TCP tables (hexadecimal), or -1.
long field_port(const char* field, size_t len) {
    const char* colon = static_cast<const char*>(memchr(field, ':', len));
    if (colon == nullptr) return -1;
    char hex[8];
    size_t n = len - static_cast<size_t>(colon + 1 - field);
    if (n == 0 || n >= sizeof hex) return -1;
    memcpy(hex, colon + 1, n);
    hex[n] = '\0';
    char* end = nullptr;
    long v = strtol(hex, &end, 16);
    return *end == '\0' ? v : -1;
}

// Splits one table row into at most MAX blank-separated fields.
size_t split_row(const char* row, const char* row_end, const char** at, size_t* len, size_t max) {
    size_t n = 0;
    const char* p = row;
    while (p < row_end && n < max) {
        while (p < row_end && *p == ' ')
            ++p;
        if (p >= row_end) break;
        at[n] = p;
        while (p < row_end && *p != ' ')
            ++p;
        len[n] = static_cast<size_t>(p - at[n]);
        ++n;
    }
    return n;
}

// One table read to its end, at most kTableLimit bytes of it, appended to *OUT (LEN bytes used
// of CAP, grown as needed). False with *len unchanged when it cannot be read.
constexpr size_t kTableLimit = 1 << 22;
bool append_table(const char* path, char** out, size_t* len, size_t* cap) {
    int fd = open_regular_file(path);
    if (fd < 0) return false;
    size_t got = 0;
    bool ok = true;
    while (ok && got < kTableLimit) {
        if (*cap - *len - got < 4096 + 1) {
            char* grown = static_cast<char*>(realloc(*out, *cap * 2));
            if (grown == nullptr) break;
            *out = grown;
            *cap *= 2;
        }
        size_t room = *cap - *len - got - 1;
        ssize_t n =
            read(fd, *out + *len + got, room < kTableLimit - got ? room : kTableLimit - got);
        if (n < 0 && errno == EINTR) continue;
        ok = n >= 0;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    (void)close(fd);
    if (ok) *len += got;
    return ok;
}

// The kernel's TCP tables (IPv4, then IPv6), NUL-terminated in a buffer the caller frees; null
// when neither can be read.
char* read_tables() {
    size_t cap = 1 << 16;
    size_t len = 0;
    char* out = static_cast<char*>(malloc(cap));
    if (out == nullptr) return nullptr;
    bool any = append_table("/proc/net/tcp", &out, &len, &cap);
    any = append_table("/proc/net/tcp6", &out, &len, &cap) || any;
    if (!any) {
        free(out);
        return nullptr;
    }
    out[len] = '\0';
    return out;
}

// The child of fork: the check's standard output and error to OUT, in its own group.
void prepare_child(int out) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || setpgid(0, 0) != 0) _exit(125);
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
        dup2(out, STDERR_FILENO) < 0)
        _exit(125);
    reset_signals_for_exec();
}

}  // namespace

bool connection_accepted(const char* tables, long port, long from) {
    const char* p = tables;
    while (*p != '\0') {
        const char* end = strchr(p, '\n');
        if (end == nullptr) end = p + strlen(p);
        const char* at[10];
        size_t len[10];
        // sl, local, remote, state, queues, timer, retransmits, uid, timeout, inode
        if (split_row(p, end, at, len, 10) == 10 && field_port(at[1], len[1]) == port &&
            field_port(at[2], len[2]) == from) {
            bool queued_state = strncmp(at[3], "01", 2) == 0 || strncmp(at[3], "08", 2) == 0;
            return !(queued_state && len[9] == 1 && at[9][0] == '0');
        }
        p = *end == '\0' ? end : end + 1;
    }
    // No such connection on the program's side: accepted and closed already.
    return true;
}

void probe_port(long port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr*>(&to), sizeof to) != 0) {
        dprintf(STDOUT_FILENO, "connect to 127.0.0.1:%ld: %s\n", port, strerror(errno));
        _exit(1);
    }
    struct sockaddr_in from;
    socklen_t from_len = sizeof from;
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&from), &from_len) != 0) _exit(0);
    bool told = false;
    for (;;) {
        char* tables = read_tables();
        if (tables == nullptr || connection_accepted(tables, port, ntohs(from.sin_port))) _exit(0);
        free(tables);
        if (!told) {
            dprintf(STDOUT_FILENO,
                    "127.0.0.1:%ld took the connection but the program did not accept it\n", port);
            told = true;
        }
        const struct timespec pause = {0, 20L * 1000 * 1000};
        (void)nanosleep(&pause, nullptr);
    }
}

int start_check(CheckRun* run, const char* path, char* const* envp, long port) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    // Output wakes the wrapper by a signal, so the pipe never fills and never blocks the check.
    if (fcntl(fds[0], F_SETOWN, getpid()) != 0 ||
        fcntl(fds[0], F_SETFL, O_NONBLOCK | O_ASYNC) != 0) {
        int err = errno;
        (void)close(fds[0]);
        (void)close(fds[1]);
        errno = err;
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        prepare_child(fds[1]);
        if (path == nullptr) probe_port(port);
        char* argv[] = {const_cast<char*>(path), nullptr};
        execve(path, argv, envp);
        dprintf(STDOUT_FILENO, "cannot execute %s: %s\n", path, strerror(errno));
        _exit(127);
    }
    int err = errno;
    (void)close(fds[1]);
    if (pid < 0) {
        (void)close(fds[0]);
        errno = err;
        return -1;
    }
    // Also here, so that a kill of the group cannot come before the child's own setpgid.
    (void)setpgid(pid, pid);
    run->pid = pid;
    run->out_fd = fds[0];
    return 0;
}

void read_check_output(CheckRun* run) {
    char buf[4096];
    while (run->out_fd >= 0) {
        ssize_t n = read(run->out_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (ssize_t i = 0; i < n && !run->line_done; ++i) {
            if (buf[i] == '\n') {
                run->line_done = run->line_len > 0;
            } else if (run->line_len < kCheckLineMax) {
                run->line[run->line_len++] = buf[i];
            }
        }
        run->line[run->line_len] = '\0';
    }
}

void finish_check(CheckRun* run) {
    read_check_output(run);
    if (run->pid > 0) (void)kill(-run->pid, SIGKILL);
    if (run->out_fd >= 0) (void)close(run->out_fd);
    run->out_fd = -1;
}
