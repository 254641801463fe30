// A started program gets nothing but its standard streams, however the child has to mark the
// rest: by close_range, by the list in /proc/self/fd, or by counting up to the open-files limit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "test_support.h"
#include "vemo-watchdog.h"

namespace {

// Descriptors whose close-on-exec flag the child reports; 900 lies above the lowered limit.
const int kProbed[] = {0, 1, 2, 9, 900};
const rlim_t kLoweredLimit = 64;

// 1 when close-on-exec, 0 when not, -1 when closed, per kProbed; all -2 when the child failed.
struct Marks {
    int flag[5] = {-2, -2, -2, -2, -2};
};

Marks marks_in_child(bool block_close_range, bool hide_proc) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        int null_fd = open("/dev/null", O_RDONLY);
        bool ready = null_fd >= 0 && dup2(null_fd, 9) == 9 && dup2(null_fd, 900) == 900;
        struct rlimit lim;
        ready = ready && getrlimit(RLIMIT_NOFILE, &lim) == 0;
        lim.rlim_cur = kLoweredLimit;
        ready = ready && setrlimit(RLIMIT_NOFILE, &lim) == 0;
        // A private mount namespace keeps the empty /proc from everyone else.
        ready = ready &&
                (!hide_proc || (unshare(CLONE_NEWNS) == 0 &&
                                mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                                mount("tmpfs", "/proc", "tmpfs", 0, nullptr) == 0));
        ready = ready && (!block_close_range || fail_syscall(SYS_close_range, -1, ENOSYS));
        Marks m;
        if (ready) {
            mark_inherited_close_on_exec();
            for (size_t i = 0; i < sizeof kProbed / sizeof kProbed[0]; ++i) {
                int flags = fcntl(kProbed[i], F_GETFD);
                m.flag[i] = flags < 0 ? -1 : (flags & FD_CLOEXEC) != 0;
            }
        }
        _exit(write(out[1], &m, sizeof m) == sizeof m ? 0 : 1);
    }
    close(out[1]);
    Marks m;
    bool got = read(out[0], &m, sizeof m) == sizeof m;
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(got && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return m;
}

TEST(CloseOnExecTest, EveryWayMarksAllButTheStandardStreams) {
    const struct {
        const char* name;
        bool block_close_range;
        bool hide_proc;
        int fd900;  // the counted loop stops at the limit: its known blind spot
    } rows[] = {
        {"close_range", false, false, 1},
        {"no close_range: the listed descriptors", true, false, 1},
        {"no close_range, no /proc: counted up to the limit", true, true, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Marks m = marks_in_child(row.block_close_range, row.hide_proc);
        EXPECT_EQ(m.flag[0], 0);
        EXPECT_EQ(m.flag[1], 0);
        EXPECT_EQ(m.flag[2], 0);
        EXPECT_EQ(m.flag[3], 1) << "descriptor 9";
        EXPECT_EQ(m.flag[4], row.fd900) << "descriptor 900";
    }
}

}  // namespace
