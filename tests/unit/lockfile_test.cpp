// The lock is the watchdog's only sign of life, so it is tested on the real kernel against a rival.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <memory>

#include "CLockFile.h"
#include "test_support.h"
#include "vemo-watchdog.h"

namespace {

// A child process holding the whole-file write lock until the object goes away.
class Holder {
public:
    explicit Holder(const std::string& path) {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
            struct flock lock = {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            if (fd < 0 || fcntl(fd, F_SETLK, &lock) != 0) _exit(1);
            if (write(ready[1], "r", 1) != 1) _exit(1);
            for (;;)
                pause();
        }
        close(ready[1]);
        char c;
        locked_ = pid_ > 0 && read(ready[0], &c, 1) == 1;
        close(ready[0]);
    }
    ~Holder() { end(); }
    // Kills the holder and returns its wait status: a SIGTERM sent earlier shows as its cause.
    int end() {
        int status = 0;
        if (pid_ <= 0) return status;
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    pid_t pid() const { return pid_; }
    bool locked() const { return locked_; }

private:
    pid_t pid_ = -1;
    bool locked_ = false;
};

// What Open returns for the path in another process: the lock as the rest of the system sees it.
int open_elsewhere(const std::string& path) {
    pid_t pid = fork();
    if (pid == 0) {
        CLockFile lock(path.c_str());
        pid_t holder;
        _exit(lock.Open(&holder) + 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) - 1 : -2;
}

std::vector<int> open_fds() {
    std::vector<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(dir)) fds.push_back(atoi(e->d_name));
    }
    closedir(dir);
    return fds;
}

int fd_of(const std::string& path) {
    for (int fd : open_fds()) {
        char target[PATH_MAX] = {};
        std::string link = "/proc/self/fd/" + std::to_string(fd);
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && path == target) return fd;
    }
    return -1;
}

// Both entry points must fail the same way, reporting no holder.
void expect_refused(CLockFile* lock, int err) {
    for (bool get : {false, true}) {
        pid_t holder = -5;
        errno = 0;
        EXPECT_EQ(get ? lock->Get(&holder) : lock->Open(&holder), -1) << (get ? "Get" : "Open");
        EXPECT_EQ(errno, err) << (get ? "Get" : "Open");
        EXPECT_EQ(holder, 0) << (get ? "Get" : "Open");
    }
}

class LockFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[PATH_MAX];
        ASSERT_NE(realpath(tmp_.path().c_str(), buf), nullptr);
        path_ = std::string(buf) + "/x.pid";
    }
    TempDir tmp_;
    std::string path_;
};

TEST_F(LockFileTest, FreeLockIsTakenAndFileCreatedUnderUmask) {
    for (mode_t mask : {022, 077}) {
        SCOPED_TRACE(mask);
        unlink(path_.c_str());
        mode_t old = umask(mask);
        CLockFile lock(path_.c_str());
        pid_t holder = -5;
        EXPECT_EQ(lock.Open(&holder), 0);
        umask(old);
        EXPECT_EQ(holder, 0);
        struct stat st;
        ASSERT_EQ(stat(path_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);
        EXPECT_EQ(st.st_size, 0);
        EXPECT_EQ(open_elsewhere(path_), 1);
        lock.Close();
        EXPECT_EQ(open_elsewhere(path_), 0);
    }
}

TEST_F(LockFileTest, HeldElsewhereReportsTheKernelsHolderWhateverTheFileSays) {
    for (const char* text : {"", "junk", "999\n", "1\n"}) {
        SCOPED_TRACE(text);
        write_file(path_, text);
        Holder other(path_);
        ASSERT_TRUE(other.locked());
        std::vector<int> fds = open_fds();
        CLockFile lock(path_.c_str());
        pid_t holder = 0;
        EXPECT_EQ(lock.Open(&holder), 1);
        EXPECT_EQ(holder, other.pid());
        holder = 0;
        EXPECT_EQ(lock.Get(&holder), 1);
        EXPECT_EQ(holder, other.pid());
        EXPECT_EQ(read_file(path_), text);  // a loser never touches the holder's text
        EXPECT_EQ(open_fds(), fds);
    }
}

TEST_F(LockFileTest, GetLeavesExactlyOwnPid) {
    std::string own = std::to_string(getpid()) + "\n";
    write_file(path_, "12345678901234567890\nolder and longer text\n");
    CLockFile lock(path_.c_str());
    pid_t holder;
    ASSERT_EQ(lock.Get(&holder), 0);
    EXPECT_EQ(read_file(path_), own);

    // Renewal after someone removed the file must bring it back.
    unlink(path_.c_str());
    lock.Close();
    ASSERT_EQ(lock.Get(&holder), 0);
    EXPECT_EQ(read_file(path_), own);
    lock.Close();
}

TEST_F(LockFileTest, ShortWriteReportsEioNotAStaleError) {
    // A file-size limit of one byte cuts the pid text short without any error of its own.
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit one = {1, 1};
        signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &one) != 0) _exit(10);
        size_t fds = open_fds().size();
        CLockFile lock(path_.c_str());
        pid_t holder;
        errno = EPERM;
        int rc = lock.Get(&holder);
        _exit(rc == -1 && errno == EIO && open_fds().size() == fds ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(LockFileTest, DirectoryAtThePathFailsWithoutLeakingADescriptor) {
    std::vector<int> fds = open_fds();
    CLockFile lock(tmp_.path().c_str());
    expect_refused(&lock, EISDIR);
    EXPECT_EQ(open_fds(), fds);
}

TEST_F(LockFileTest, SecondCloseLeavesAReusedDescriptorAlone) {
    CLockFile lock(path_.c_str());
    pid_t holder;
    ASSERT_EQ(lock.Get(&holder), 0);
    lock.Close();
    int other = open("/dev/null", O_RDONLY);
    lock.Close();
    EXPECT_NE(fcntl(other, F_GETFD), -1);
    close(other);
    EXPECT_EQ(open_elsewhere(path_), 0);
}

TEST_F(LockFileTest, HeldDescriptorIsCloseOnExec) {
    for (bool get : {false, true}) {
        SCOPED_TRACE(get ? "Get" : "Open");
        CLockFile lock(path_.c_str());
        pid_t holder;
        ASSERT_EQ(get ? lock.Get(&holder) : lock.Open(&holder), 0);
        int fd = fd_of(path_);
        ASSERT_NE(fd, -1);
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        lock.Close();
        EXPECT_EQ(fd_of(path_), -1);
    }
}

TEST_F(LockFileTest, NamesThatDoNotFitAreRefused) {
    // "./" steps keep a 4095-character name a real, reachable path.
    std::string fit = tmp_.path() + "/";
    while (fit.size() < 4095 - 8)
        fit += "./";
    fit += std::string(4095 - fit.size(), 'f');
    ASSERT_EQ(fit.size(), 4095u);

    for (size_t extra : {1, 900}) {
        SCOPED_TRACE(extra);
        std::string name = fit + std::string(extra, 'g');
        CLockFile lock(name.c_str());
        EXPECT_STREQ(lock.GetCLockFileName(), "");
        expect_refused(&lock, ENAMETOOLONG);
        EXPECT_NE(access(fit.c_str(), F_OK), 0) << "a cut name was opened";
    }

    CLockFile lock(fit.c_str());
    EXPECT_EQ(lock.GetCLockFileName(), fit);
    pid_t holder;
    EXPECT_EQ(lock.Get(&holder), 0) << strerror(errno);
    EXPECT_EQ(read_file(fit), std::to_string(getpid()) + "\n");
    lock.Close();
}

// The name last set is the file locked, whole: no tail of an earlier, longer or refused name.
TEST_F(LockFileTest, TheNameLastSetIsTheFileLocked) {
    const std::string too_long(5000, 'z');
    const struct {
        const char* name;
        std::vector<std::string> names;  // the constructor's, then each SetCLockFileName
    } rows[] = {
        {"constructor", {"a.pid"}},
        {"shorter after longer", {"longer-name.pid", "b.pid"}},
        {"fitting after refused", {too_long, "c.pid"}},
        {"unnamed, then named", {"", "d.pid"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string last = tmp_ / row.names.back();
        std::unique_ptr<CLockFile> made =
            row.names.front().empty()
                ? std::make_unique<CLockFile>()
                : std::make_unique<CLockFile>((tmp_ / row.names.front()).c_str());
        CLockFile& lock = *made;
        for (size_t i = 1; i < row.names.size(); ++i)
            lock.SetCLockFileName((tmp_ / row.names[i]).c_str());
        EXPECT_EQ(lock.GetCLockFileName(), last);
        pid_t holder;
        ASSERT_EQ(lock.Get(&holder), 0) << strerror(errno);
        EXPECT_EQ(open_elsewhere(last), 1);
        EXPECT_EQ(read_file(last), std::to_string(getpid()) + "\n");
        lock.Close();
    }
    std::vector<std::string> files;
    for (const char* n : {"a.pid", "b.pid", "c.pid", "d.pid", "longer-name.pid"})
        if (access((tmp_ / n).c_str(), F_OK) == 0) files.push_back(n);
    EXPECT_EQ(files, (std::vector<std::string>{"a.pid", "b.pid", "c.pid", "d.pid"}));
}

// Open's result in a child where the kernel will not answer the lock query, so a held lock
// sends it to the pid text: rc, holder, errno.
struct OpenResult {
    int rc = -2;
    int holder = -2;
    int err = 0;
};

OpenResult open_without_lock_query(const std::string& path, bool fail_read) {
    int out[2];
    if (pipe(out) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        alarm(5);  // a probe that blocks must fail the test, not hang it
        OpenResult r;
        if (fail_syscall(SYS_fcntl, F_GETLK, ENOLCK) &&
            (!fail_read || fail_syscall(SYS_read, -1, EIO))) {
            CLockFile lock(path.c_str());
            pid_t holder = -2;
            r.rc = lock.Open(&holder);
            r.err = r.rc == -1 ? errno : 0;
            r.holder = holder;
        }
        _exit(write(out[1], &r, sizeof r) == sizeof r ? 0 : 1);
    }
    close(out[1]);
    OpenResult r;
    bool got = read(out[0], &r, sizeof r) == sizeof r;
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(got && WIFEXITED(status)) << "the probe ended with status " << status;
    return r;
}

TEST_F(LockFileTest, PidTextDecidesWhenTheKernelWillNotNameTheHolder) {
    const struct {
        const char* name;
        bool fifo;
        const char* text;
        bool fail_read;
        int rc, holder, err;
    } rows[] = {
        {"text names a pid", false, "4321\n", false, 1, 4321, 0},
        {"text names no pid", false, "junk\n", false, 1, 0, 0},
        {"empty file", false, "", false, 1, 0, 0},
        {"read fails", false, "4321\n", true, -1, 0, EIO},
        {"a FIFO never blocks", true, "", false, -1, 0, EAGAIN},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        unlink(path_.c_str());
        if (row.fifo) {
            ASSERT_EQ(mkfifo(path_.c_str(), 0644), 0);
        } else {
            write_file(path_, row.text);
        }
        Holder other(path_);
        ASSERT_TRUE(other.locked());
        OpenResult got = open_without_lock_query(path_, row.fail_read);
        EXPECT_EQ(got.rc, row.rc);
        EXPECT_EQ(got.holder, row.holder);
        EXPECT_EQ(got.err, row.err) << strerror(got.err);
    }
}

// A disabled entry's SIGTERM goes to the pid its text names when the kernel will not name the
// holder, never to the watchdog itself (pid 1 is left to the sandboxed end-to-end cases).
TEST_F(LockFileTest, DisabledEntrySignalsThePidTextNames) {
    const struct {
        const char* name;
        const char* text;  // nullptr: the holder's pid; "self": the watchdog's own
        bool sent;
    } rows[] = {
        {"the holder", nullptr, true},
        {"the watchdog itself", "self", false},
        {"no number", "junk\n", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Holder other(path_);
        ASSERT_TRUE(other.locked());
        bool self = row.text != nullptr && strcmp(row.text, "self") == 0;
        if (!self) write_file(path_, row.text ? row.text : std::to_string(other.pid()) + "\n");
        pid_t pid = fork();
        if (pid == 0) {
            alarm(5);
            if (self) write_file(path_, std::to_string(getpid()) + "\n");
            if (!fail_syscall(SYS_fcntl, F_GETLK, ENOLCK)) _exit(10);
            Supervisee entry;
            entry.prog = "/opt/disabled";
            entry.prog_pid_file = path_;
            g_supervisee_vec.assign(1, &entry);
            captured_syslog().clear();
            if (supervise_entries() != PASS_DONE) _exit(11);
            bool said = false;
            for (const LogRecord& r : captured_syslog())
                said = said || r.text.rfind("Sending SIGTERM to (", 0) == 0;
            _exit(said ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) < 2) << status;
        EXPECT_EQ(WEXITSTATUS(status), row.sent ? 1 : 0) << "the SIGTERM record";
        int end = other.end();
        EXPECT_EQ(WTERMSIG(end), row.sent ? SIGTERM : SIGKILL)
            << "the signal that ended the holder";
    }
    g_supervisee_vec.clear();
}

// Every renewal of a held lock rewrites the pid file; a reader must never find it empty.
TEST_F(LockFileTest, RenewalNeverLeavesTheFileEmpty) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        CLockFile lock(path_.c_str());
        pid_t holder;
        bool ok = lock.Get(&holder) == 0;
        if (write(ready[1], "r", 1) != 1 || !ok) _exit(1);
        for (int i = 0; i < 20000; ++i) {
            lock.Close();
            if (lock.Get(&holder) != 0) _exit(2);
        }
        _exit(0);
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    const std::string want = std::to_string(pid) + "\n";
    int reads = 0;
    int wrong = 0;
    std::string seen;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        std::string text = read_file(path_);
        ++reads;
        if (text != want) {
            ++wrong;
            seen = text;
        }
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(wrong, 0) << "of " << reads << " reads, last wrong text '" << seen << "'";
    EXPECT_GT(reads, 100);
}

TEST(LockFilePidTextTest, ParseHolderPid) {
    const struct {
        const char* text;
        pid_t pid;
    } rows[] = {
        {"123\n", 123},    {"  42", 42},      {"-7", -7},         {"", 0},
        {"abc", 0},        {"12abc", 12},     {"99999999999", 0}, {"2147483647", INT_MAX},
        {"2147483648", 0}, {"4294967297", 0}, {"-2147483649", 0}, {"99999999999999999999", 0},
    };
    for (const auto& row : rows)
        EXPECT_EQ(parse_holder_pid(row.text), row.pid) << row.text;
}

}  // namespace
