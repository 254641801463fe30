// Months of cycles must cost no descriptors and no heap: thousands of passes and reloads, measured.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CLockFile.h"
#include "test_support.h"
#include "vemo-watchdog.h"

#if defined(__SANITIZE_ADDRESS__)
#define VEMO_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEMO_ASAN 1
#endif
#endif
#ifdef VEMO_ASAN
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

size_t open_fds() {
    size_t n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return 0;
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n;
}

// ASan serves malloc itself, so glibc's arena figures would stay flat whatever leaked.
size_t heap_in_use() {
#ifdef VEMO_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// Holds both locks and shrugs off the SIGTERM every pass sends for the disabled one.
pid_t spawn_holder(const std::string& a, const std::string& b) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGTERM, SIG_IGN);
        CLockFile la(a.c_str()), lb(b.c_str());
        pid_t holder;
        char ok = la.Get(&holder) == 0 && lb.Get(&holder) == 0 ? '1' : '0';
        if (write(ready[1], &ok, 1) != 1) _exit(1);
        for (;;)
            pause();
    }
    char ok = '0';
    close(ready[1]);
    if (pid > 0 && read(ready[0], &ok, 1) != 1) ok = '0';
    close(ready[0]);
    return ok == '1' ? pid : -1;
}

TEST(SoakTest, PassesAndReloadsKeepDescriptorsAndHeapFlat) {
    TempDir tmp;
    pid_t holder = spawn_holder(tmp / "run.pid", tmp / "held.pid");
    ASSERT_GT(holder, 0);
    // Every program is missing, so no pass ever forks: running, stopped, disabled and invalid rows.
    write_file(tmp / "list.conf",
               "1:" + tmp / "run.pid" + ":/nonexistent/run:-a\n" + "1:" + tmp / "stop.pid" +
                   ":/nonexistent/stop\n" + "0:" + tmp / "held.pid" + ":/nonexistent/held\n" +
                   "0:" + tmp / "free.pid" + ":/nonexistent/free\n" +
                   "1::/nonexistent/nopid\n1:" + tmp / "noprog.pid" + ":\n# comment\nbad:line\n");
    Supervisee builtin;
    builtin.enabled = true;
    builtin.prog_pid_file = tmp / "monitor.pid";
    builtin.prog = "/nonexistent/vemo-monitor";

    fflush(stdout);
    fflush(stderr);
    int saved_out = dup(STDOUT_FILENO), saved_err = dup(STDERR_FILENO);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    close(null_fd);

    size_t fds_before = 0, heap_before = 0, table = 0;
    const int kWarmUp = 200, kPasses = 10000;
    for (int pass = 0; pass < kWarmUp + kPasses; ++pass) {
        if (pass == kWarmUp) {
            fds_before = open_fds();
            heap_before = heap_in_use();
        }
        // The capture only grows; one pass's worth is kept, at both measurements alike.
        captured_syslog().clear();
        if (pass % 10 == 0) {
            reset_supervisees(&builtin);
            load_supervisees(tmp / "list.conf");
            table = g_supervisee_vec.size();
        }
        if (supervise_entries() == PASS_LEAVE_CHILD) _exit(0);
    }
    size_t fds_after = open_fds(), heap_after = heap_in_use();
    std::string last_pass;
    for (const LogRecord& r : captured_syslog())
        last_pass += r.text;

    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, STDOUT_FILENO);
    dup2(saved_err, STDERR_FILENO);
    close(saved_out);
    close(saved_err);
    reset_supervisees(&builtin);
    g_supervisee_vec.clear();
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);

    EXPECT_EQ(table, 7u);
    // Each kind of row took its own path on the last pass too.
    EXPECT_NE(last_pass.find("Sending SIGTERM to (" + std::to_string(holder)), std::string::npos);
    EXPECT_NE(last_pass.find("/nonexistent/stop not found"), std::string::npos);
    EXPECT_NE(last_pass.find("free was disabled"), std::string::npos);
    EXPECT_NE(last_pass.find("invalid value in g_supervisee_vec[6]"), std::string::npos);
    EXPECT_EQ(last_pass.find("/nonexistent/run is not running"), std::string::npos);
    EXPECT_EQ(fds_after, fds_before);
    // One leaked allocation per reload alone would add tens of kilobytes.
    EXPECT_LE(heap_after, heap_before + 1024) << "heap grew from " << heap_before;
}

}  // namespace
