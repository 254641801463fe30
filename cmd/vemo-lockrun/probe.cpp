// Running one health check: a process in a group of its own whose output comes back through a
// pipe read without waiting, and the port check that process makes.
#include "health.h"

#include "fileio.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

// The kernel's answer about one TCP socket: found or not, its state and its socket inode (0 while
// no process holds it: queued for accept, or orphaned after its close).
struct DiagSocket {
    bool found = false;
    unsigned state = 0;
    unsigned inode = 0;
};

// Asks sock_diag about the one TCP socket of FAMILY (AF_INET6: v4-mapped addresses) whose local
// end is 127.0.0.1:LOCAL and remote end 127.0.0.1:REMOTE: an exact lookup, which costs the kernel
// one hash probe where a read of /proc/net/tcp walks the whole connection table. 0 with *OUT
// filled (not found: the kernel answered ENOENT), or -1 with errno set.
int diag_lookup(int nl, int family, long local, long remote, DiagSocket* out) {
    struct {
        struct nlmsghdr head;
        struct inet_diag_req_v2 req;
    } ask;
    memset(&ask, 0, sizeof ask);
    static unsigned seq = 0;
    ask.head.nlmsg_len = sizeof ask;
    ask.head.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.head.nlmsg_flags = NLM_F_REQUEST;
    ask.head.nlmsg_seq = ++seq;
    ask.req.sdiag_family = static_cast<uint8_t>(family);
    ask.req.sdiag_protocol = IPPROTO_TCP;
    ask.req.idiag_states = ~0U;
    ask.req.id.idiag_sport = htons(static_cast<uint16_t>(local));
    ask.req.id.idiag_dport = htons(static_cast<uint16_t>(remote));
    int at = family == AF_INET6 ? 3 : 0;
    if (family == AF_INET6) ask.req.id.idiag_src[2] = ask.req.id.idiag_dst[2] = htonl(0xffff);
    ask.req.id.idiag_src[at] = ask.req.id.idiag_dst[at] = htonl(INADDR_LOOPBACK);
    ask.req.id.idiag_cookie[0] = ask.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    ssize_t n;
    do
        n = send(nl, &ask, sizeof ask, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    alignas(struct nlmsghdr) char buf[8192];
    for (;;) {
        n = recv(nl, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        int len = static_cast<int>(n);
        for (auto* h = reinterpret_cast<struct nlmsghdr*>(buf); NLMSG_OK(h, len);
             h = NLMSG_NEXT(h, len)) {
            if (h->nlmsg_seq != seq) continue;  // left over from a request whose wait failed
            if (h->nlmsg_type == NLMSG_ERROR &&
                h->nlmsg_len >= NLMSG_LENGTH(sizeof(struct nlmsgerr))) {
                int err = -static_cast<struct nlmsgerr*>(NLMSG_DATA(h))->error;
                if (err != ENOENT) errno = err != 0 ? err : EPROTO;
                *out = DiagSocket{};
                return err == ENOENT ? 0 : -1;
            }
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                h->nlmsg_len < NLMSG_LENGTH(sizeof(struct inet_diag_msg)))
                continue;
            const auto* msg = static_cast<const struct inet_diag_msg*>(NLMSG_DATA(h));
            out->found = true;
            out->state = msg->idiag_state;
            out->inode = msg->idiag_inode;
            return 0;
        }
    }
}

// Whether the program's end of the connection from FROM to PORT has left the listen queue, by
// sock_diag: 1 yes (or it is gone: accepted and closed), 0 not yet, -1 the kernel did not answer.
// The rule is the table rule: queued is open or half-closed by us with no socket inode. (Once
// that end is gone, the kernel's lookup may answer with the listener: not queued either.)
int diag_accepted(int nl, long port, long from) {
    DiagSocket s;
    if (diag_lookup(nl, AF_INET, port, from, &s) != 0) return -1;
    // A listener on [::] holds its end of a connection to 127.0.0.1 as an IPv6 socket with
    // v4-mapped addresses: asked for as such before it counts as gone (Linux 6.18 already finds
    // it by the IPv4 ones).
    if (!s.found && diag_lookup(nl, AF_INET6, port, from, &s) != 0) return -1;
    bool queued_state = s.state == TCP_ESTABLISHED || s.state == TCP_CLOSE_WAIT;
    return !s.found || !queued_state || s.inode != 0 ? 1 : 0;
}

// The same verdict from the kernel's TCP tables: 1 accepted, 0 not yet, -1 they cannot be read.
int table_accepted(long port, long from) {
    char* tables = read_tables();
    if (tables == nullptr) return -1;
    int accepted = connection_accepted(tables, port, from) ? 1 : 0;
    free(tables);
    return accepted;
}

// A sock_diag socket when the kernel answers it here, else -1. ENOENT is also what a kernel
// without TCP's diag handler answers, so it must find the check's own end, which surely exists.
int open_diag(long port, long from) {
    int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) return -1;
    DiagSocket own;
    if (diag_lookup(nl, AF_INET, from, port, &own) != 0 || !own.found) {
        (void)close(nl);
        return -1;
    }
    return nl;
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
    long from_port = ntohs(from.sin_port);
    int nl = open_diag(port, from_port);
    bool told = false;
    for (;;) {
        int accepted = nl >= 0 ? diag_accepted(nl, port, from_port) : -1;
        if (accepted < 0) accepted = table_accepted(port, from_port);
        // Accepted, or no way left to tell: the connection itself succeeded.
        if (accepted != 0) _exit(0);
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
