// Descriptors inherited from the launcher, marked close-on-exec before a program is started. In a
// file of its own, so that vemo-lockrun, which links no C++ library, can use it too.
#include "paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <climits>

namespace {

void mark_close_on_exec(int fd) {
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) (void)fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// Marks what /proc/self/fd lists, so the cost follows the descriptors open, not the limit;
// false when the list cannot be read to its end.
bool mark_listed_close_on_exec() {
    int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    alignas(struct dirent64) char buf[4096];
    bool complete = false;
    for (;;) {
        ssize_t n = getdents64(dir, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            complete = n == 0;
            break;
        }
        for (ssize_t at = 0; at < n;) {
            const struct dirent64* e = reinterpret_cast<const struct dirent64*>(buf + at);
            at += e->d_reclen;
            long fd = 0;
            const char* c = e->d_name;
            for (; *c >= '0' && *c <= '9' && fd <= INT_MAX; ++c)
                fd = fd * 10 + (*c - '0');
            if (*c == '\0' && c != e->d_name && fd >= 3 && fd <= INT_MAX)
                mark_close_on_exec(static_cast<int>(fd));
        }
    }
    close(dir);
    return complete;
}

}  // namespace

// Whatever the launcher left open must not reach a supervised program either. Marked, not
// closed: the system-log socket must still work if execvp fails. Without close_range (an old
// kernel, a seccomp filter) the open descriptors are listed; trying every number below the
// open-files limit, which may be 2^20 in a container, is the last resort.
void mark_inherited_close_on_exec() {
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    if (mark_listed_close_on_exec()) return;
    long max_fd = sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < (max_fd > 0 ? max_fd : 1024); ++fd)
        mark_close_on_exec(static_cast<int>(fd));
}
