// The read-only probe behind vemoctl status: every odd pid file gives a state, never a hang.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "test_support.h"
#include "vemostatus.h"

namespace {

// A child holding the write lock on path until killed; its pid.
pid_t hold_lock(const std::string& path) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
        struct flock lock;
        memset(&lock, 0, sizeof lock);
        lock.l_type = F_WRLCK;
        char ok = fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0 ? 1 : 0;
        if (write(ready[1], &ok, 1) != 1) _exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char ok = 0;
    if (read(ready[0], &ok, 1) != 1 || ok != 1) pid = -1;
    close(ready[0]);
    return pid;
}

TEST(StatusProbeTest, OddPidFiles) {
    TempDir tmp;
    ASSERT_EQ(mkdir((tmp / "dir").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink((tmp / "nowhere").c_str(), (tmp / "dangling").c_str()), 0);
    write_file(tmp / "lying", "1\n");  // names init, but nobody holds the lock
    write_file(tmp / "garbage", std::string("\x1b[31m9\0x", 8));
    const struct {
        const char* name;
        EntryState state;
        bool missing;
        const char* error;
        const char* pid_text;
    } rows[] = {
        {"missing", STATE_DOWN, true, "", ""},
        {"nodir/x.pid", STATE_DOWN, true, "", ""},
        {"dangling", STATE_DOWN, true, "", ""},
        {"dir", STATE_ERROR, false, "Is a directory", ""},
        {"fifo", STATE_ERROR, false, "not a regular file", ""},
        {"lying/x.pid", STATE_ERROR, false, "Not a directory", ""},
        {"lying", STATE_DOWN, false, "", "1"},
        {"garbage", STATE_DOWN, false, "", "?[31m9?x"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LockProbe p = probe_pid_file(tmp / row.name);
        EXPECT_EQ(p.held_state, row.state);
        EXPECT_EQ(p.missing, row.missing);
        EXPECT_EQ(p.error, row.error);
        EXPECT_EQ(p.pid_text, row.pid_text);
        EXPECT_EQ(p.holder, 0);
    }
    struct stat st;
    EXPECT_NE(stat((tmp / "missing").c_str(), &st), 0) << "the probe never creates a file";
    EXPECT_NE(stat((tmp / "nodir").c_str(), &st), 0) << "nor a directory";
}

TEST(StatusProbeTest, HeldByAnotherProcess) {
    TempDir tmp;
    std::string path = tmp / "held.pid";
    write_file(path, "4242\n");  // the text lies; the kernel names the holder
    pid_t child = hold_lock(path);
    ASSERT_GT(child, 0);
    LockProbe p = probe_pid_file(path);
    ProcessInfo info = read_process(p.holder);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(p.held_state, STATE_RUNNING);
    EXPECT_EQ(p.holder, child);
    EXPECT_TRUE(info.known);
    EXPECT_GT(info.started_at, 0);
    // Gone now: its /proc entry vanished, and the lock is free again.
    EXPECT_FALSE(read_process(child).known);
    LockProbe after = probe_pid_file(path);
    EXPECT_EQ(after.held_state, STATE_DOWN);
    EXPECT_EQ(after.pid_text, "4242");
}

}  // namespace
