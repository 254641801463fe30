// vemo-lockrun must hand its lock to the program it becomes, and refuse clearly when it cannot.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "CLockFile.h"
#include "test_support.h"

#ifndef VEMO_LOCKRUN_PATH
#error "VEMO_LOCKRUN_PATH must name the vemo-lockrun binary (set in the top-level CMakeLists.txt)"
#endif

namespace {

// Starts vemo-lockrun with ARGS, its standard error into *err_fd's pipe when err_fd is given.
pid_t spawn_lockrun(const std::vector<std::string>& args, int* err_fd) {
    int pipe_fds[2] = {-1, -1};
    if (err_fd != nullptr && pipe(pipe_fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        if (err_fd != nullptr) dup2(pipe_fds[1], STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>("vemo-lockrun")};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VEMO_LOCKRUN_PATH, argv.data());
        _exit(99);
    }
    if (err_fd != nullptr) {
        close(pipe_fds[1]);
        *err_fd = pipe_fds[0];
    }
    return pid;
}

// Runs vemo-lockrun to its end: its exit status (-1 when killed) and its standard error.
int run_lockrun(const std::vector<std::string>& args, std::string* err) {
    int fd = -1;
    pid_t pid = spawn_lockrun(args, &fd);
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        err->append(buf, static_cast<size_t>(n));
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The pid the kernel names as holding a lock on the file, 0 when none.
pid_t lock_holder(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) return -1;
    struct flock q;
    memset(&q, 0, sizeof q);
    q.l_type = F_WRLCK;
    q.l_whence = SEEK_SET;
    int rc = fcntl(fd, F_GETLK, &q);
    close(fd);
    return rc != 0 ? -1 : q.l_type == F_UNLCK ? 0 : q.l_pid;
}

TEST(LockRun, ProgramHoldsTheLockUnderItsOwnPid) {
    TempDir dir;
    const std::string pid_file = dir / "sleep.pid";
    pid_t child = spawn_lockrun({pid_file, "sleep", "30"}, nullptr);
    ASSERT_GT(child, 0);
    // Wait for the exec itself: the lock must be seen to survive it, not only to precede it.
    for (int i = 0; i < 100 && read_file("/proc/" + std::to_string(child) + "/comm") != "sleep\n";
         ++i)
        usleep(50 * 1000);

    EXPECT_EQ(read_file("/proc/" + std::to_string(child) + "/comm"), "sleep\n");
    EXPECT_EQ(lock_holder(pid_file), child);
    EXPECT_EQ(read_file(pid_file), std::to_string(child) + "\n");

    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(lock_holder(pid_file), 0) << "the lock must end with the program";
}

struct ExitRow {
    const char* name;
    std::vector<std::string> args;  // "{pid}" is the pid file, "{dir}" the scratch directory
    int status;
    std::string err;  // the whole standard error; empty when the program's own
    bool hold_lock;   // the test process holds the pid file's lock meanwhile
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const ExitRow& row, std::ostream* os) {
    *os << row.name;
}

const std::string kUsage = "usage: vemo-lockrun PIDFILE PROGRAM [ARGS...]\n";
const std::string kNoEnt = strerror(ENOENT);

const ExitRow kExitRows[] = {
    {"no_arguments", {}, 2, kUsage, false},
    {"pid_file_without_program", {"{pid}"}, 2, kUsage, false},
    {"lock_held_names_holder",
     {"{pid}", "true"},
     1,
     "vemo-lockrun: {pid} is locked by process {self}\n",
     true},
    {"unlockable_pid_file",
     {"{dir}/none/x.pid", "true"},
     1,
     "vemo-lockrun: cannot lock {dir}/none/x.pid: " + kNoEnt + "\n",
     false},
    {"missing_path_is_127",
     {"{pid}", "{dir}/absent"},
     127,
     "vemo-lockrun: cannot execute {dir}/absent: " + kNoEnt + "\n",
     false},
    {"name_not_on_path_is_127",
     {"{pid}", "vemo-no-such-program"},
     127,
     "vemo-lockrun: cannot execute vemo-no-such-program: " + kNoEnt + "\n",
     false},
    {"not_executable_is_126",
     {"{pid}", "{dir}/plain"},
     126,
     "vemo-lockrun: cannot execute {dir}/plain: " + std::string(strerror(EACCES)) + "\n",
     false},
    // The program sees its own pid in the file and its status comes back unchanged.
    {"program_pid_and_status",
     {"{pid}", "sh", "-c", "test \"$(cat \"$0\")\" = $$ && exit 7", "{pid}"},
     7,
     "",
     false},
};

std::string expand(std::string s, const TempDir& dir) {
    const std::pair<std::string, std::string> subs[] = {
        {"{pid}", dir / "x.pid"}, {"{dir}", dir.path()}, {"{self}", std::to_string(getpid())}};
    for (const auto& sub : subs) {
        for (size_t at; (at = s.find(sub.first)) != std::string::npos;)
            s.replace(at, sub.first.size(), sub.second);
    }
    return s;
}

class LockRunExit : public testing::TestWithParam<ExitRow> {};

TEST_P(LockRunExit, StatusAndMessage) {
    const ExitRow& row = GetParam();
    TempDir dir;
    write_file(dir / "plain", "#!/bin/sh\n", 0644);
    CLockFile lock((dir / "x.pid").c_str());
    pid_t holder = 0;
    if (row.hold_lock) {
        ASSERT_EQ(lock.Get(&holder), 0);
    }

    std::vector<std::string> args;
    for (const std::string& a : row.args)
        args.push_back(expand(a, dir));
    std::string err;
    EXPECT_EQ(run_lockrun(args, &err), row.status);
    EXPECT_EQ(err, expand(row.err, dir));
    lock.Close();
}

INSTANTIATE_TEST_SUITE_P(Rows, LockRunExit, testing::ValuesIn(kExitRows),
                         [](const testing::TestParamInfo<ExitRow>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
