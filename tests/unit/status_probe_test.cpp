// The read-only probe behind vemoctl status: every odd pid file gives a state, never a hang.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "hoststatus.h"
#include "test_support.h"

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
    ASSERT_EQ(symlink("/proc/version", (tmp / "proc_link").c_str()), 0);
    write_file(tmp / "lying", "1\n");  // names init, but nobody holds the lock
    write_file(tmp / "garbage", std::string("\x1b[31m9\0x", 8));
    const struct {
        const char* name;
        LockState lock;
        bool missing;
        const char* error;
        const char* pid_text;
    } rows[] = {
        {"missing", LOCK_FREE, true, "", ""},
        {"nodir/x.pid", LOCK_FREE, true, "", ""},
        {"dangling", LOCK_FREE, true, "", ""},
        {"dir", LOCK_PROBE_FAILED, false, "Is a directory", ""},
        {"fifo", LOCK_PROBE_FAILED, false, "not a regular file", ""},
        {"lying/x.pid", LOCK_PROBE_FAILED, false, "Not a directory", ""},
        {"lying", LOCK_FREE, false, "", "1"},
        {"garbage", LOCK_FREE, false, "", "?[31m9?x"},
        {"proc_link", LOCK_PROBE_FAILED, false, "under /proc, where no pid file belongs: not read",
         ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LockProbe p = probe_pid_file(tmp / row.name);
        EXPECT_EQ(p.lock, row.lock);
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
    EXPECT_EQ(p.lock, LOCK_HELD);
    EXPECT_EQ(p.holder, child);
    EXPECT_TRUE(info.known);
    EXPECT_GT(info.started_at, 0);
    // Gone now: its /proc entry vanished, and the lock is free again.
    EXPECT_FALSE(read_process(child).known);
    LockProbe after = probe_pid_file(path);
    EXPECT_EQ(after.lock, LOCK_FREE);
    EXPECT_EQ(after.pid_text, "4242");
}

}  // namespace

namespace {

TEST(StatusRenderTest, LockrunArguments) {
    const struct {
        const char* name;
        std::vector<std::string> args;
        const char* pid_file;
        const char* wraps;
        bool restart;
        const char* wrapped_name;
    } rows[] = {
        {"plain", {"/run/a.pid", "/usr/bin/a", "-x"}, "/run/a.pid", "/usr/bin/a", false, "a"},
        {"options_first",
         {"--restart", "--grace=5", "/run/a.pid", "a"},
         "/run/a.pid",
         "a",
         true,
         "a"},
        {"double_dash_ends_options", {"--", "--odd.pid", "a"}, "--odd.pid", "a", false, "a"},
        {"single_dash_is_no_option", {"-x", "a"}, "-x", "a", false, "a"},
        {"program_missing", {"--restart", "/run/a.pid"}, "/run/a.pid", "", true, ""},
        {"nothing", {}, "", "", false, ""},
        {"name_option",
         {"--name=redis", "/run/r.pid", "/usr/bin/setpriv"},
         "/run/r.pid",
         "/usr/bin/setpriv",
         false,
         "redis"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LockrunStatus lr = parse_lockrun_args(row.args);
        EXPECT_EQ(lr.pid_file, row.pid_file);
        EXPECT_EQ(lr.wraps, row.wraps);
        EXPECT_EQ(lr.restart, row.restart);
        EXPECT_EQ(lr.name, row.wrapped_name);
    }
}

// Label values escape backslash, double quote and line feed; nothing else.
TEST(StatusRenderTest, PrometheusLabelEscapes) {
    HostStatus s;
    s.list_read = true;
    s.monitor_selected = false;
    EntryStatus e;
    e.line = 7;
    e.program = "/opt/a\"b\\c\nd";
    e.pid_file = "/run/x:y.pid";
    e.lockrun.is_lockrun = true;
    e.lockrun.wraps = "w\"";
    e.lockrun.state_read = true;
    e.lockrun.restarts = 2;
    e.lockrun.last_exit_code = 137;
    s.entries.push_back(e);
    std::string text = render_prometheus(s);
    const std::string labels =
        "{line=\"7\",program=\"/opt/a\\\"b\\\\c\\nd\",pid_file=\"/run/"
        "x:y.pid\",wraps=\"w\\\"\",name=\"\"}";
    for (const std::string& sample :
         {"vemo_program_up" + labels + " 0\n", "vemo_program_enabled" + labels + " 1\n",
          "vemo_program_restarts_total" + labels + " 2\n",
          "vemo_program_last_exit_code" + labels + " 137\n", std::string("vemo_watchdog_up 0\n"),
          std::string("vemo_watchlist_invalid_lines 0\n")}) {
        EXPECT_NE(text.find(sample), std::string::npos) << sample << "\n" << text;
    }
    EXPECT_EQ(text.find("line=\"0\""), std::string::npos) << "the monitor was left out";
    EXPECT_EQ(text.find("vemo_program_start_time_seconds{"), std::string::npos) << "nothing runs";
}

// The document stays JSON whatever bytes a list line holds.
TEST(StatusRenderTest, JsonStrings) {
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"plain", "\"plain\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {"tab\tesc\x1b", "\"tab\\u0009esc\\u001b\""},
        {"\xc3\xa9\xe2\x82\xac", "\"\xc3\xa9\xe2\x82\xac\""},
        {"\xff\xc3", "\"\\ufffd\\ufffd\""},
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.in);
        HostStatus s;
        EntryStatus e;
        e.program = row.in;
        s.entries.push_back(e);
        EXPECT_NE(render_json(s).find(std::string("\"program\":") + row.out), std::string::npos)
            << render_json(s);
    }
}

}  // namespace
