// vemo-lockrun must hand its lock to the program it becomes, and refuse clearly when it cannot.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "CLockFile.h"
#include "health.h"
#include "lockrun.h"
#include "lockrun_record.h"
#include "output.h"
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
    std::string log;  // the one err-priority syslog record; empty when none
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const ExitRow& row, std::ostream* os) {
    *os << row.name;
}

const std::string kUsage = "usage: vemo-lockrun [OPTIONS] PIDFILE PROGRAM [ARGS...]\n";
const std::string kNoEnt = strerror(ENOENT);
const std::string kAcces = strerror(EACCES);
const std::string kMissing = "usage error: PIDFILE and PROGRAM are required";

// A failure record names what it was about: the pid file and the program's name.
std::string named(const std::string& text, const std::string& program) {
    return text + " (pid file {pid}, program " + program + ")";
}

const ExitRow kExitRows[] = {
    {"no_arguments", {}, 2, kUsage, false, kMissing},
    {"pid_file_without_program", {"{pid}"}, 2, kUsage, false, kMissing},
    {"options_without_program", {"--restart", "{pid}"}, 2, kUsage, false, kMissing},
    {"unknown_option",
     {"--frob", "{pid}", "true"},
     2,
     "vemo-lockrun: unknown option --frob\n" + kUsage,
     false,
     "unknown option --frob"},
    {"restart_option_alone",
     {"--grace=3", "{pid}", "true"},
     2,
     "vemo-lockrun: --grace needs --restart\n" + kUsage,
     false,
     "--grace needs --restart"},
    {"seconds_in_exponent_form",
     {"--restart", "--max-delay=1e3", "{pid}", "true"},
     2,
     "vemo-lockrun: invalid value in --max-delay=1e3\n" + kUsage,
     false,
     "invalid value in --max-delay=1e3"},
    {"negative_count",
     {"--restart", "--give-up=-1", "{pid}", "true"},
     2,
     "vemo-lockrun: invalid value in --give-up=-1\n" + kUsage,
     false,
     "invalid value in --give-up=-1"},
    {"lock_held_names_holder",
     {"{pid}", "true"},
     1,
     "vemo-lockrun: {pid} is locked by process {self}\n",
     true,
     named("{pid} is locked by process {self}", "true")},
    {"restart_lock_held_names_holder",
     {"--restart", "{pid}", "true"},
     1,
     "vemo-lockrun: {pid} is locked by process {self}\n",
     true,
     named("{pid} is locked by process {self}", "true")},
    {"unlockable_pid_file",
     {"{dir}/none/x.pid", "true"},
     1,
     "vemo-lockrun: cannot lock {dir}/none/x.pid: " + kNoEnt + "\n",
     false,
     "cannot lock {dir}/none/x.pid: " + kNoEnt + " (pid file {dir}/none/x.pid, program true)"},
    {"missing_path_is_127",
     {"{pid}", "{dir}/absent"},
     127,
     "vemo-lockrun: cannot execute {dir}/absent: " + kNoEnt + "\n",
     false,
     named("cannot execute {dir}/absent: " + kNoEnt, "absent")},
    {"restart_missing_path_is_127",
     {"--restart", "{pid}", "{dir}/absent"},
     127,
     "vemo-lockrun: cannot execute {dir}/absent: " + kNoEnt + "\n",
     false,
     named("cannot execute {dir}/absent: " + kNoEnt, "absent")},
    {"name_not_on_path_is_127",
     {"{pid}", "vemo-no-such-program"},
     127,
     "vemo-lockrun: cannot execute vemo-no-such-program: " + kNoEnt + "\n",
     false,
     named("cannot execute vemo-no-such-program: " + kNoEnt, "vemo-no-such-program")},
    {"restart_name_not_on_path_is_127",
     {"--restart", "{pid}", "vemo-no-such-program"},
     127,
     "vemo-lockrun: cannot execute vemo-no-such-program: " + kNoEnt + "\n",
     false,
     named("cannot execute vemo-no-such-program: " + kNoEnt, "vemo-no-such-program")},
    {"not_executable_is_126",
     {"{pid}", "{dir}/plain"},
     126,
     "vemo-lockrun: cannot execute {dir}/plain: " + kAcces + "\n",
     false,
     named("cannot execute {dir}/plain: " + kAcces, "plain")},
    {"restart_not_executable_is_126",
     {"--restart", "{pid}", "{dir}/plain"},
     126,
     "vemo-lockrun: cannot execute {dir}/plain: " + kAcces + "\n",
     false,
     named("cannot execute {dir}/plain: " + kAcces, "plain")},
    // The program sees its own pid in the file and its status comes back unchanged.
    {"program_pid_and_status",
     {"{pid}", "sh", "-c", "test \"$(cat \"$0\")\" = $$ && exit 7", "{pid}"},
     7,
     "",
     false,
     ""},
    {"double_dash_ends_options", {"--", "{pid}", "sh", "-c", "exit 5"}, 5, "", false, ""},
    // A program that dies at once, every time: given up on after the limit.
    {"restart_gives_up",
     {"--restart", "--give-up=2", "--max-delay=0.05", "{pid}", "{dir}/exit7"},
     3,
     "vemo-lockrun: giving up on exit7 after 2 quick exits in a row\n",
     false,
     named("giving up on exit7 after 2 quick exits in a row", "exit7")},
    {"name_from_the_option",
     {"--restart", "--name=seven", "--give-up=1", "{pid}", "{dir}/exit7"},
     3,
     "vemo-lockrun: giving up on seven after 1 quick exits in a row\n",
     false,
     named("giving up on seven after 1 quick exits in a row", "seven")},
    {"check_needs_restart",
     {"--check-port=80", "{pid}", "true"},
     2,
     "vemo-lockrun: --check-port=80 needs --restart\n" + kUsage,
     false,
     "--check-port=80 needs --restart"},
    {"check_port_out_of_range",
     {"--restart", "--check-port=65536", "{pid}", "true"},
     2,
     "vemo-lockrun: invalid value in --check-port=65536\n" + kUsage,
     false,
     "invalid value in --check-port=65536"},
    {"check_timing_without_a_check",
     {"--restart", "--check-fails=2", "{pid}", "true"},
     2,
     "vemo-lockrun: --check-interval, -timeout, -fails and -grace need --check-exec or "
     "--check-port\n" +
         kUsage,
     false,
     "--check-interval, -timeout, -fails and -grace need --check-exec or --check-port"},
    {"check_exec_and_port",
     {"--restart", "--check-port=80", "--check-exec=true", "{pid}", "true"},
     2,
     "vemo-lockrun: --check-exec and --check-port exclude each other\n" + kUsage,
     false,
     "--check-exec and --check-port exclude each other"},
    {"check_exec_missing_is_127",
     {"--restart", "--check-exec={dir}/absent", "{pid}", "true"},
     127,
     "vemo-lockrun: cannot execute the check {dir}/absent: " + kNoEnt + "\n",
     false,
     named("cannot execute the check {dir}/absent: " + kNoEnt, "true")},
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

class LockRunExit : public testing::TestWithParam<ExitRow> {
protected:
    void SetUp() override {
        write_file(dir_ / "plain", "#!/bin/sh\n", 0644);
        write_file(dir_ / "exit7", "#!/bin/sh\nexit 7\n", 0755);
        if (GetParam().hold_lock) {
            pid_t holder = 0;
            ASSERT_EQ(lock_.Get(&holder), 0);
        }
        for (const std::string& a : GetParam().args)
            args_.push_back(expand(a, dir_));
    }
    void TearDown() override { lock_.Close(); }

    TempDir dir_;
    CLockFile lock_{(dir_ / "x.pid").c_str()};
    std::vector<std::string> args_;
};

TEST_P(LockRunExit, StatusAndMessage) {
    std::string err;
    EXPECT_EQ(run_lockrun(args_, &err), GetParam().status);
    EXPECT_EQ(err, expand(GetParam().err, dir_));
}

// Under the watchdog standard error is /dev/null: each failure must reach syslog as well. The
// same code runs in a forked copy of this process, whose syslog calls are captured.
TEST_P(LockRunExit, FailureReachesSyslog) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDERR_FILENO);
        captured_syslog().clear();
        captured_syslog_ident().clear();
        std::vector<char*> argv{const_cast<char*>("vemo-lockrun")};
        for (std::string& a : args_)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        int rc = lockrun_main(static_cast<int>(argv.size()) - 1, argv.data());
        std::string out = captured_syslog_ident() + "\n";
        for (const LogRecord& r : captured_syslog()) {
            if (r.priority == LOG_ERR) out += r.text + "\n";
        }
        if (write(fds[1], out.data(), out.size()) < 0) _exit(98);
        _exit(rc);
    }
    close(fds[1]);
    std::string got;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, GetParam().status);
    // A program that was executed replaced the copy before it could report anything.
    std::string want =
        GetParam().log.empty() ? "" : "vemo-lockrun\n" + expand(GetParam().log, dir_) + "\n";
    EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(Rows, LockRunExit, testing::ValuesIn(kExitRows),
                         [](const testing::TestParamInfo<ExitRow>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------- what the program inherits

// Runs vemo-lockrun ARGS from a starter that ignores SIGHUP, SIGPIPE and SIGCHLD and blocks
// SIGUSR2, as a supervisor's children may find them; returns the program's standard output.
std::string run_from_odd_starter(const std::vector<std::string>& args, int* status) {
    int fds[2];
    if (pipe(fds) != 0) return "";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDERR_FILENO);
        for (int sig = 1; sig < NSIG; ++sig)
            signal(sig, SIG_DFL);
        signal(SIGHUP, SIG_IGN);
        signal(SIGPIPE, SIG_IGN);
        signal(SIGCHLD, SIG_IGN);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGUSR2);
        sigprocmask(SIG_SETMASK, &set, nullptr);
        std::vector<char*> argv{const_cast<char*>("vemo-lockrun")};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VEMO_LOCKRUN_PATH, argv.data());
        _exit(99);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    waitpid(pid, status, 0);
    return out;
}

// A signal-set line of /proc/PID/status ("SigIgn", "SigBlk") as a bit mask.
unsigned long long status_mask(const std::string& status, const std::string& key) {
    size_t at = status.find("\n" + key + ":\t");
    return at == std::string::npos ? ~0ULL
                                   : strtoull(status.c_str() + at + key.size() + 3, nullptr, 16);
}

unsigned long long bit(int sig) {
    return 1ULL << (sig - 1);
}

struct SignalRow {
    const char* name;
    std::vector<std::string> options;
    bool kept;  // the starter's dispositions and mask reach the program
    int status;
};

const SignalRow kSignalRows[] = {
    {"becomes_program_defaults", {}, false, 0},
    {"becomes_program_kept", {"--keep-signals"}, true, 0},
    {"restart_child_defaults", {"--restart", "--give-up=1"}, false, 3},
    {"restart_child_kept", {"--restart", "--give-up=1", "--keep-signals"}, true, 3},
};

class LockRunSignals : public testing::TestWithParam<SignalRow> {};

TEST_P(LockRunSignals, WhatTheProgramInherits) {
    TempDir dir;
    std::vector<std::string> args = GetParam().options;
    for (const char* a : {"x.pid", "cat", "/proc/self/status"})
        args.push_back(a == std::string("x.pid") ? dir / a : a);
    int status = 0;
    std::string out = run_from_odd_starter(args, &status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), GetParam().status);
    unsigned long long ignored = bit(SIGHUP) | bit(SIGPIPE) | bit(SIGCHLD);
    EXPECT_EQ(status_mask(out, "SigIgn"), GetParam().kept ? ignored : 0) << out;
    EXPECT_EQ(status_mask(out, "SigBlk"), GetParam().kept ? bit(SIGUSR2) : 0) << out;
}

INSTANTIATE_TEST_SUITE_P(Rows, LockRunSignals, testing::ValuesIn(kSignalRows),
                         [](const testing::TestParamInfo<SignalRow>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------- --restart

// KEY's value in a key=value text, "" when absent.
std::string value_of(const std::string& text, const std::string& key) {
    size_t at = text.find(key + "=");
    while (at != std::string::npos && at != 0 && text[at - 1] != '\n')
        at = text.find(key + "=", at + 1);
    if (at == std::string::npos) return "";
    size_t start = at + key.size() + 1;
    return text.substr(start, text.find('\n', start) - start);
}

// Polls PREDICATE every 2 ms for up to SECONDS.
template <typename F>
bool wait_until(F predicate, double seconds) {
    for (int i = 0; i < static_cast<int>(seconds * 500); ++i) {
        if (predicate()) return true;
        usleep(2000);
    }
    return predicate();
}

bool gone(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close_paren = stat.rfind(')');
    return stat.empty() || (close_paren != std::string::npos && stat[close_paren + 2] == 'Z');
}

// Whatever a failed assertion leaves running ends with the test: a SIGKILLed wrapper takes its
// child along, a SIGKILLed pid 1 its whole namespace.
struct KillOnExit {
    pid_t* pid;
    ~KillOnExit() {
        if (*pid > 0 && waitpid(*pid, nullptr, WNOHANG) == 0) {
            kill(*pid, SIGKILL);
            waitpid(*pid, nullptr, 0);
        }
    }
};

TEST(LockRunRestart, WrapperHoldsTheLockAndTheChildFollowsIt) {
    TempDir dir;
    const std::string pid_file = dir / "f.pid";
    const std::string state_file = pid_file + ".lockrun";
    pid_t wrapper = fork();
    KillOnExit guard_wrapper{&wrapper};
    ASSERT_GE(wrapper, 0);
    if (wrapper == 0) {
        // A stray descriptor of the starter must not reach the program.
        dup2(open("/dev/null", O_RDONLY), 9);
        setenv("VEMO_FIXTURE_DIR", dir.path().c_str(), 1);
        execl(VEMO_LOCKRUN_PATH, "vemo-lockrun", "--restart", pid_file.c_str(), VEMO_FIXTURE_PATH,
              "--no-lock", static_cast<char*>(nullptr));
        _exit(99);
    }
    std::string state;
    auto child_running = [&](const std::string& not_this) {
        state = read_file(state_file);
        std::string pid = value_of(state, "child_pid");
        return !pid.empty() && pid != "0" && pid != not_this &&
               !read_file(dir / (pid + ".rec")).empty();
    };
    ASSERT_TRUE(wait_until([&] { return child_running(""); }, 5)) << state;
    const std::string first = value_of(state, "child_pid");
    std::string rec = read_file(dir / (first + ".rec"));

    EXPECT_EQ(lock_holder(pid_file), wrapper);
    EXPECT_EQ(read_file(pid_file), std::to_string(wrapper) + "\n");
    EXPECT_NE(rec.find("\"ppid\":" + std::to_string(wrapper) + ","), std::string::npos) << rec;
    EXPECT_NE(rec.find("\"fds\":[0,1,2],"), std::string::npos) << rec;
    EXPECT_EQ(value_of(state, "program"), VEMO_FIXTURE_PATH);
    EXPECT_EQ(value_of(state, "restarts"), "0");
    EXPECT_EQ(value_of(state, "last_exit"), "none");
    EXPECT_EQ(value_of(state, "last_exit_code"), "-1");

    kill(std::stoi(first), SIGKILL);
    ASSERT_TRUE(wait_until([&] { return child_running(first); }, 5)) << state;
    const std::string second = value_of(state, "child_pid");
    EXPECT_EQ(value_of(state, "restarts"), "1");
    EXPECT_EQ(value_of(state, "last_exit"), "killed SIGKILL");
    EXPECT_EQ(value_of(state, "last_exit_code"), "137");
    EXPECT_EQ(lock_holder(pid_file), wrapper) << "the lock must outlive the child";

    // A SIGKILLed wrapper can do nothing: the kernel must end the child with it.
    kill(wrapper, SIGKILL);
    int status = 0;
    waitpid(wrapper, &status, 0);
    EXPECT_TRUE(wait_until([&] { return gone(std::stoi(second)); }, 5))
        << "the child outlived its wrapper";
    EXPECT_EQ(lock_holder(pid_file), 0);
}

TEST(LockRunRestart, SignalsDuringARestartDelayAreHandled) {
    TempDir dir;
    const std::string pid_file = dir / "d.pid";
    write_file(dir / "exit1", "#!/bin/sh\nexit 1\n", 0755);
    int err_fd = -1;
    pid_t wrapper = spawn_lockrun(
        {"--restart", "--give-up=0", "--max-delay=30", pid_file, dir / "exit1"}, &err_fd);
    KillOnExit guard{&wrapper};
    ASSERT_GT(wrapper, 0);
    close(err_fd);
    // After the sixth quick exit the next start is 1.6 s away.
    std::string state;
    ASSERT_TRUE(wait_until(
        [&] {
            state = read_file(pid_file + ".lockrun");
            return value_of(state, "restarts") == "5" && value_of(state, "child_pid") == "0";
        },
        10))
        << state;
    // A signal to pass on finds no child: dropped, and the wrapper carries on.
    kill(wrapper, SIGHUP);
    usleep(50 * 1000);
    EXPECT_FALSE(gone(wrapper));
    kill(wrapper, SIGTERM);
    int status = 0;
    ASSERT_TRUE(wait_until([&] { return waitpid(wrapper, &status, WNOHANG) == wrapper; }, 1))
        << "SIGTERM in a restart delay must end the wrapper at once";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(value_of(read_file(pid_file + ".lockrun"), "restarts"), "5");
}

// Every signal of the list reaches the program; SIGTERM also ends the wrapper once it has.
TEST(LockRunRestart, PassesSignalsOn) {
    TempDir dir;
    const std::string pid_file = dir / "s.pid";
    const char* script =
        "for s in HUP QUIT USR1 USR2 WINCH TERM; do trap \"echo $s\" $s; done; trap 'echo TERM; "
        "exit 0' TERM; echo ready; while :; do sleep 0.02; done";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t wrapper = fork();
    KillOnExit guard_wrapper{&wrapper};
    ASSERT_GE(wrapper, 0);
    if (wrapper == 0) {
        dup2(out[1], STDOUT_FILENO);
        execl(VEMO_LOCKRUN_PATH, "vemo-lockrun", "--restart", pid_file.c_str(), "sh", "-c", script,
              static_cast<char*>(nullptr));
        _exit(99);
    }
    close(out[1]);
    std::string seen;
    auto read_until = [&](const std::string& line) {
        for (int i = 0; i < 100 && seen.find(line + "\n") == std::string::npos; ++i) {
            char buf[256];
            struct pollfd p = {out[0], POLLIN, 0};
            if (poll(&p, 1, 50) == 1) {
                ssize_t n = read(out[0], buf, sizeof buf);
                if (n <= 0) break;
                seen.append(buf, static_cast<size_t>(n));
            }
        }
        return seen.find(line + "\n") != std::string::npos;
    };
    ASSERT_TRUE(read_until("ready")) << seen;
    const std::pair<int, const char*> forwarded[] = {{SIGHUP, "HUP"},     {SIGQUIT, "QUIT"},
                                                     {SIGUSR1, "USR1"},   {SIGUSR2, "USR2"},
                                                     {SIGWINCH, "WINCH"}, {SIGTERM, "TERM"}};
    for (const auto& sig : forwarded) {
        kill(wrapper, sig.first);
        EXPECT_TRUE(read_until(sig.second)) << sig.second << " not passed on: " << seen;
    }
    close(out[0]);
    int status = 0;
    ASSERT_TRUE(wait_until([&] { return waitpid(wrapper, &status, WNOHANG) == wrapper; }, 5));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(value_of(read_file(pid_file + ".lockrun"), "last_exit"), "exited 0");
}

// As pid 1 of a pid namespace, as in a container: orphans are reaped, and SIGTERM, which the
// kernel drops for a pid 1 that neither handles nor blocks it, still stops it.
TEST(LockRunRestart, RunsAsPidOneOfANamespace) {
    TempDir dir;
    const std::string pid_file = dir / "one.pid";
    int report[2];
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    pid_t outer = fork();
    KillOnExit guard_outer{&outer};
    ASSERT_GE(outer, 0);
    if (outer == 0) {
        if (unshare(CLONE_NEWPID) != 0) {
            int err = errno;
            if (write(report[1], &err, sizeof err) < 0) _exit(98);
            _exit(97);
        }
        close(report[1]);
        pid_t init = fork();
        if (init == 0) {
            // Ends with the guard's SIGKILL of its parent, and the namespace with it.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            // The subshell's sleep is orphaned at once and lands on pid 1; it lives long enough to
            // be seen there on a loaded machine.
            execl(VEMO_LOCKRUN_PATH, "vemo-lockrun", "--restart", pid_file.c_str(), "sh", "-c",
                  "(sleep 2 &); exec sleep 1000", static_cast<char*>(nullptr));
            _exit(99);
        }
        int status = 0;
        waitpid(init, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 96);
    }
    close(report[1]);
    int err = 0;
    ssize_t n = read(report[0], &err, sizeof err);
    close(report[0]);
    ASSERT_EQ(n, 0) << "cannot make a pid namespace (needs root): " << strerror(err);

    pid_t init = 0;
    ASSERT_TRUE(wait_until([&] { return (init = lock_holder(pid_file)) > 0; }, 5));
    // The pid is written just after the lock is taken.
    wait_until([&] { return !read_file(pid_file).empty(); }, 5);
    EXPECT_EQ(read_file(pid_file), "1\n");
    // Children of pid 1 as the host sees them: pid -> command line.
    auto children = [&] {
        std::vector<std::pair<pid_t, std::string>> out;
        std::string list = read_file("/proc/" + std::to_string(init) + "/task/" +
                                     std::to_string(init) + "/children");
        for (size_t at = 0; at < list.size();) {
            size_t end = list.find(' ', at);
            pid_t pid = std::stoi(list.substr(at, end - at));
            std::string cmd = read_file("/proc/" + std::to_string(pid) + "/cmdline");
            out.emplace_back(pid, cmd);
            at = end == std::string::npos ? list.size() : end + 1;
        }
        return out;
    };
    auto orphan_present = [&] {
        for (const auto& c : children()) {
            if (c.second == std::string("sleep\0002\0", 8)) return true;
        }
        return false;
    };
    ASSERT_TRUE(wait_until(orphan_present, 5)) << "the orphan never reached pid 1";
    EXPECT_TRUE(wait_until([&] { return !orphan_present() && children().size() == 1; }, 10))
        << "an ended orphan must be reaped, not left a zombie";

    kill(init, SIGTERM);
    int status = 0;
    ASSERT_TRUE(wait_until([&] { return waitpid(outer, &status, WNOHANG) == outer; }, 5))
        << "SIGTERM must reach pid 1";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// ---------------------------------------------------------------- what the program leaves

struct GroupRow {
    const char* name;
    std::vector<std::string> options;
    const char* orphan;  // the shell command of the orphan the program leaves
    bool stop;           // SIGTERM to the wrapper, not SIGKILL to the program
    bool ended;          // the orphan is gone before the next start or the wrapper's exit
};

const GroupRow kGroupRows[] = {
    {"orphan_ended_before_the_restart", {}, "exec sleep 1000", false, true},
    {"keep_group_leaves_it", {"--keep-group"}, "exec sleep 1000", false, false},
    {"sigkill_once_the_grace_ends", {"--grace=0.2"}, "trap '' TERM; exec sleep 1000", false, true},
    {"orphan_ended_at_the_stop", {"--grace=0.2"}, "trap '' TERM; exec sleep 1000", true, true},
};

class LockRunGroup : public testing::TestWithParam<GroupRow> {};

TEST_P(LockRunGroup, WhatTheProgramLeaves) {
    const GroupRow& row = GetParam();
    TempDir dir;
    const std::string pid_file = dir / "g.pid";
    const std::string orphans = dir / "orphans";
    std::vector<std::string> args{"--restart"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    args.insert(args.end(),
                {pid_file, "sh", "-c",
                 std::string("(") + row.orphan + ") & echo $! >>" + orphans + "; exec sleep 1000"});
    pid_t wrapper = spawn_lockrun(args, nullptr);
    KillOnExit guard{&wrapper};
    auto child = [&] { return value_of(read_file(pid_file + ".lockrun"), "child_pid"); };
    ASSERT_TRUE(wait_until([&] { return child() > "0" && !read_file(orphans).empty(); }, 5));
    const pid_t program = std::stoi(child());
    const pid_t orphan = std::stoi(read_file(orphans));
    EXPECT_EQ(getpgid(orphan), program) << "the program must lead the group its orphan shares";
    if (row.stop) {
        kill(wrapper, SIGTERM);
        int status = 0;
        EXPECT_TRUE(wait_until([&] { return waitpid(wrapper, &status, WNOHANG) == wrapper; }, 3));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    } else {
        kill(program, SIGKILL);
        // The next program started once its orphan is noted too, so that the cleanup finds it.
        EXPECT_TRUE(wait_until(
            [&] {
                return child() != std::to_string(program) && child() > "0" &&
                       read_file(orphans).find('\n') + 1 < read_file(orphans).size();
            },
            5));
    }
    EXPECT_EQ(gone(orphan), row.ended);
    if (!row.stop) {
        kill(wrapper, SIGKILL);
        waitpid(wrapper, nullptr, 0);
        wrapper = 0;
    }
    std::istringstream left(child() + "\n" + read_file(orphans));
    for (pid_t pid = 0; left >> pid;)
        if (pid > 0 && !gone(pid)) kill(pid, SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(Rows, LockRunGroup, testing::ValuesIn(kGroupRows),
                         [](const testing::TestParamInfo<GroupRow>& info) {
                             return std::string(info.param.name);
                         });

// ---------------------------------------------------------------- the restart policy

struct DelayRow {
    const char* name;
    double max_delay;
    long give_up;
    std::vector<double> ran;       // how long each child ran
    std::vector<double> expected;  // the delay after each exit, -1: give up
};

const DelayRow kDelayRows[] = {
    {"defaults_back_off_then_give_up",
     kDefaultMaxDelaySeconds,
     kDefaultGiveUp,
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     {0, 0.1, 0.2, 0.4, 0.8, 1.6, 3.2, 5, 5, -1}},
    {"settled_run_starts_over", 5, 10, {0, 0, 0, 1.0, 0, 0.99}, {0, 0.1, 0.2, 0, 0, 0.1}},
    {"cap_from_the_option", 0.3, 10, {0, 0, 0, 0, 0}, {0, 0.1, 0.2, 0.3, 0.3}},
    {"zero_cap_restarts_at_once", 0, 3, {0, 0, 0}, {0, 0, -1}},
    {"never_give_up", 5, 0, std::vector<double>(40, 0), {}},
    {"give_up_after_one", 5, 1, {0}, {-1}},
};

class RestartDelay : public testing::TestWithParam<DelayRow> {};

TEST_P(RestartDelay, Sequence) {
    const DelayRow& row = GetParam();
    LockrunOptions opts;
    opts.max_delay = row.max_delay;
    opts.give_up = row.give_up;
    long streak = 0;
    for (size_t i = 0; i < row.ran.size(); ++i) {
        double delay = next_restart_delay(&streak, row.ran[i], opts);
        if (i < row.expected.size()) {
            EXPECT_NEAR(delay, row.expected[i], 1e-9) << "exit " << i + 1;
        } else {
            EXPECT_GE(delay, 0) << "exit " << i + 1;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, RestartDelay, testing::ValuesIn(kDelayRows),
                         [](const testing::TestParamInfo<DelayRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(LockRunState, FileText) {
    RestartState state;
    snprintf(state.program, sizeof state.program, "/usr/bin/memcached");
    snprintf(state.name, sizeof state.name, "cache");
    char text[1024];
    ASSERT_GT(format_state(state, text, sizeof text), 0);
    EXPECT_STREQ(
        text,
        "program=/usr/bin/memcached\nname=cache\nchild_pid=0\nchild_started_at=0\nrestarts=0\n"
        "last_exit=none\nlast_exit_code=-1\nlast_exit_at=0\nlast_run_seconds=0\n");

    state.child_pid = 4321;
    state.child_started_at = 1700000000.5;
    state.restarts = 2;
    note_exit(&state, 9, 1700000012.25, 11.75);  // the wait status of a SIGKILLed child
    ASSERT_GT(format_state(state, text, sizeof text), 0);
    EXPECT_STREQ(
        text,
        "program=/usr/bin/memcached\nname=cache\nchild_pid=0\nchild_started_at=0\nrestarts=2\n"
        "last_exit=killed SIGKILL\nlast_exit_code=137\nlast_exit_at=1700000012.250\n"
        "last_run_seconds=11.750\n");
    note_exit(&state, 3 << 8, 1700000013, 0.0005);  // exit status 3
    ASSERT_GT(format_state(state, text, sizeof text), 0);
    EXPECT_NE(strstr(text, "last_exit=exited 3\nlast_exit_code=3\n"), nullptr) << text;
    EXPECT_EQ(format_state(state, text, 40), -1) << "a short buffer must be refused";
}

}  // namespace

// ---------------------------------------------------------------- --log: lines into records

struct OutputRow {
    const char* name;
    std::string input;
    std::vector<std::string> records;  // flushed at the end of the stream too
};

const OutputRow kOutputRows[] = {
    {"lines_become_records", "one\ntwo\n", {"one", "two"}},
    {"empty_lines_send_nothing", "\n\na\n\n", {"a"}},
    {"controls_and_backslash_escaped",
     "a\x1b[31m\tb\rc\x7f\\\n",
     {"a\\x1b[31m\\x09b\\x0dc\\x7f\\\\"}},
    {"nul_kept_escaped", std::string("a\0b\n", 4), {"a\\x00b"}},
    {"utf8_kept",
     "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x90\xa7\n",
     {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x90\xa7"}},
    {"invalid_utf8_escaped",
     "\xff\xc3(\xe0\x80\x80\xed\xa0\x80\n",
     {"\\xff\\xc3(\\xe0\\x80\\x80\\xed\\xa0\\x80"}},
    {"sequence_cut_by_newline", "\xe2\x82\nx\n", {"\\xe2\\x82", "x"}},
    {"unfinished_line_flushed", "a\ntail", {"a", "tail"}},
    {"long_line_split_never_dropped",
     std::string(3000, 'a') + "\n",
     {std::string(kMaxLogText, 'a'), std::string(3000 - kMaxLogText, 'a')}},
    {"escape_never_cut",
     std::string(kMaxLogText - 2, 'a') + "\x01\n",
     {std::string(kMaxLogText - 2, 'a'), "\\x01"}},
    {"utf8_never_cut",
     std::string(kMaxLogText - 1, 'a') + "\xc3\xa9\n",
     {std::string(kMaxLogText - 1, 'a'), "\xc3\xa9"}},
};

void collect_record(void* ctx, const char* text, size_t len) {
    static_cast<std::vector<std::string>*>(ctx)->emplace_back(text, len);
}

class LockRunOutput : public testing::TestWithParam<OutputRow> {};

// Whole, and a byte at a time, as a pipe may hand it over.
TEST_P(LockRunOutput, Records) {
    const OutputRow& row = GetParam();
    for (size_t chunk : {row.input.size(), size_t{1}}) {
        LineState line;
        std::vector<std::string> got;
        for (size_t at = 0; at < row.input.size(); at += chunk)
            feed_output(&line, row.input.data() + at, std::min(chunk, row.input.size() - at),
                        collect_record, &got);
        flush_output(&line, collect_record, &got);
        EXPECT_EQ(got, row.records) << "read " << chunk << " bytes at a time";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, LockRunOutput, testing::ValuesIn(kOutputRows),
                         [](const testing::TestParamInfo<OutputRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(LockRunOutput, RecordFormat) {
    ASSERT_EQ(setenv("TZ", "UTC", 1), 0);
    tzset();
    char out[128];
    int n =
        format_record(out, sizeof out, LOG_WARNING, 1700000000, "nginx", 42, "bind() failed", 13);
    EXPECT_EQ(std::string(out, n > 0 ? static_cast<size_t>(n) : 0),
              "<12>Nov 14 22:13:20 nginx[42]: bind() failed");
    EXPECT_EQ(format_record(out, 20, LOG_INFO, 0, "nginx", 42, "x", 1), -1);
}

// ---------------------------------------------------------------- health checks

// A port check's verdict on the kernel's table rows: port 6379 (0x18EB), from port 40000 (0x9C40).
struct AcceptRow {
    const char* name;
    const char* tables;
    bool accepted;
};

const char* const kTableHead =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n   0: 0100007F:18EB 00000000:0000 0A 00000000:00000000 00:00000000 00000000   0   0 "
    "5501 1 0 100 0 0 10 0\n";

const AcceptRow kAcceptRows[] = {
    {"queued_not_accepted",
     "   1: 0100007F:18EB 0100007F:9C40 01 00000000:00000000 00:00000000 00000000 0 0 0 1 0",
     false},
    {"queued_and_closed_by_us",
     "   1: 0100007F:18EB 0100007F:9C40 08 00000000:00000000 00:00000000 00000000 0 0 0 1 0",
     false},
    {"accepted_has_an_inode",
     "   1: 0100007F:18EB 0100007F:9C40 01 00000000:00000000 00:00000000 00000000 0 0 7702 1 0",
     true},
    {"accepted_and_closed_by_the_program",
     "   1: 0100007F:18EB 0100007F:9C40 04 00000000:00000000 00:00000000 00000000 0 0 0 1 0", true},
    {"gone_from_the_table", "", true},
    {"dual_stack_listener_in_tcp6",
     "   1: 0000000000000000FFFF00000100007F:18EB 0000000000000000FFFF00000100007F:9C40 01 "
     "00000000:00000000 00:00000000 00000000 0 0 0 1 0",
     false},
    {"other_client_port_queued",
     "   1: 0100007F:18EB 0100007F:9C41 01 00000000:00000000 00:00000000 00000000 0 0 0 1 0", true},
};

class PortCheck : public testing::TestWithParam<AcceptRow> {};

TEST_P(PortCheck, Accepted) {
    std::string tables = std::string(kTableHead) + GetParam().tables + "\n";
    EXPECT_EQ(connection_accepted(tables.c_str(), 6379, 40000), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(Rows, PortCheck, testing::ValuesIn(kAcceptRows),
                         [](const testing::TestParamInfo<AcceptRow>& info) {
                             return std::string(info.param.name);
                         });

// The record's health fields as the wrapper writes them and vemoctl reads them back, and what
// vemoctl check refuses of a line's --check-* options.
TEST(LockRunHealth, RecordAndLine) {
    TempDir dir;
    RestartState state;
    state.child_pid = 77;
    state.checked = true;
    snprintf(state.health, sizeof state.health, "failing");
    state.check_failures = 2;
    state.check_fails = 3;
    state.check_failures_total = 9;
    snprintf(state.last_check_error, sizeof state.last_check_error, "exit status 1: a\\x0db");
    char text[2048];
    ASSERT_GT(format_state(state, text, sizeof text), 0);
    write_file(dir / "x.pid.lockrun", text, 0644);
    LockrunStatus lr =
        parse_lockrun_args({"--restart", "--check-exec=/bin/true", dir / "x.pid", "sleep"});
    read_lockrun_state("/", &lr);
    EXPECT_TRUE(lockrun_failing(lr) && lr.option_errors.empty());
    EXPECT_EQ(std::vector<long>({lr.check_failures, lr.check_fails, lr.check_failures_total}),
              std::vector<long>({2, 3, 9}));
    EXPECT_EQ(lr.last_check_error, "exit status 1: a\\x0db");

    const std::vector<std::vector<std::string>> bad = {
        {"--check-port=80", "p", "x"},
        {"--restart", "--check-port=0", "p", "x"},
        {"--restart", "--check-interval=0", "--check-port=80", "p", "x"},
        {"--restart", "--check-timeout=1e2", "--check-port=80", "p", "x"},
        {"--restart", "--check-grace=1", "p", "x"},
        {"--restart", "--check-exec=a", "--check-port=80", "p", "x"},
        {"--restart", "--check-frob=1", "--check-port=80", "p", "x"},
    };
    for (const auto& args : bad)
        EXPECT_EQ(parse_lockrun_args(args).option_errors.size(), 1u) << args[1];
}
