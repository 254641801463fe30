// vemoctl check over bad lists: every finding the daemon's own reading would explain.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "check.h"
#include "paths.h"
#include "test_support.h"

namespace {

struct Expect {
    int line;
    bool error;
    const char* text;  // a part of the finding's text
};

struct CheckRow {
    const char* name;
    std::string list;  // "@" stands for the scratch directory
    std::vector<Expect> expect;
};

const std::string kLong(600, 'x');

// Programs: @/bin/prog (executable), @/bin/noexec (not), @/bin/loose (group-writable),
// @/bin/vemo-lockrun. Pid files live in @/run/<name>/, @/run is the watchdog's run directory.
const CheckRow kRows[] = {
    {"valid_entries_say_nothing",
     "# comment\n1:@/run/a/a.pid:@/bin/prog:--x\n0:@/run/b.pid:prog\n1:@/run/c.pid:./bin/prog\n",
     {{4, false,
       "relative program \"./bin/prog\" resolves against the watchdog's working directory @"}}},
    {"short_empty_overlong_nul",
     "1:@/run/a.pid\n\n1:@/run/b.pid:@/bin/prog:" + kLong + "\n1:@/run/c" + std::string(1, '\0') +
         ".pid:@/bin/prog\n",
     {{1, true, "2 fields: an entry needs at least 3"},
      {2, true, "empty line"},
      {3, true, "longer than 508 characters"},
      {4, true, "NUL byte"},
      {0, false, "no entries"}}},
    {"flags_other_than_0_or_1",
     "2:@/run/a.pid:@/bin/prog\n01:@/run/b.pid:@/bin/prog\n1 :@/run/c.pid:@/bin/prog\n",
     {{1, true, "flag \"2\" is neither 0 nor 1: the watchdog reads it as disabled"},
      {2, true, "flag \"01\" is neither 0 nor 1: the watchdog reads it as enabled"},
      {3, false, "flag \"1 \" ends with a blank"}}},
    {"programs_that_do_not_resolve",
     "1:@/run/a.pid:@/bin/missing\n1:@/run/b.pid:@/bin/noexec\n1:@/run/c.pid:nowhere\n"
     "0:@/run/d.pid:@/bin/missing\n1:@/run/e.pid:@/bin\n",
     {{1, true, "\"@/bin/missing\" is not found"},
      {2, true, "\"@/bin/noexec\" is not executable"},
      {3, true, "\"nowhere\" is not found in PATH \"@/bin\" (the watchdog's)"},
      {4, false, "is not found; the line is disabled"},
      {5, true, "\"@/bin\" is a directory"}}},
    {"pid_files_shared_or_reserved",
     "1:@/run/a.pid:@/bin/prog\n1:@/run/./a.pid:@/bin/prog\n1:@/run/vemo_watchdog.pid:@/bin/prog\n"
     "1:@/run/vemo_monitor.pid:@/bin/prog\n1:@/run/gone/deeper/x.pid:@/bin/prog\n1:@/run/dir:@/bin/"
     "prog\n",
     {{2, true, "is also used by line 1"},
      {3, true, "is the watchdog's own lock"},
      {4, true, "is the monitor's"},
      {5, true, "\"@/run/gone/deeper\" is missing and so is \"@/run/gone\""},
      {6, true, "\"@/run/dir\" is not a regular file"}}},
    {"lockrun_pid_file_argument",
     "1:@/run/a.pid:@/bin/vemo-lockrun:--restart:@/run/a.pid:@/bin/prog\n"
     "1:@/run/b.pid:@/bin/vemo-lockrun:@/run/other.pid:@/bin/prog\n"
     "1:@/run/c.pid:@/bin/vemo-lockrun:--restart\n",
     {{2, true, "vemo-lockrun locks \"@/run/other.pid\" but the line watches \"@/run/b.pid\""},
      {3, true, "vemo-lockrun needs PIDFILE and PROGRAM"}}},
    {"lockrun_wrapped_program",
     "1:@/run/a.pid:@/bin/vemo-lockrun:@/run/a.pid:ghostd\n"
     "1:@/run/b.pid:@/bin/vemo-lockrun:--restart:--grace=1:--:@/run/b.pid:@/bin/noexec:-x\n"
     "1:@/run/c.pid:@/bin/vemo-lockrun:--name=:@/run/c.pid:prog\n",
     {{1, true, "wrapped program \"ghostd\" is not found in PATH \"@/bin\" (the watchdog's)"},
      {2, true, "wrapped program \"@/bin/noexec\" is not executable"},
      {3, true, "--name=\"\" must be a name without ':'"}}},
    {"warnings",
     "1:@/run/a.pid:@/bin/prog:1:2:3:4:5:6:7:8:9:10:11:12:13:14:15:16\n"
     "1:@/run/b.pid:@/bin/prog:last\r\n1:rel.pid:@/bin/prog\n1:@/run/c.pid:@/bin/loose\n"
     "1:@/run/open/d.pid:@/bin/prog\n",
     {{1, false, "2 field(s) past the 14th argument"},
      {2, false, "argument 1 \"last\\x0d\" ends with a carriage return"},
      {3, false,
       "relative pid file \"rel.pid\" resolves against the watchdog's working directory @"},
      {4, false, "program \"@/bin/loose\" is writable by its group"},
      {5, false, "pid-file directory \"@/run/open\" is writable by others"}}},
};

std::string expand(const std::string& text, const std::string& dir) {
    std::string out;
    for (char c : text) {
        if (c == '@') {
            out += dir;
        } else {
            out += c;
        }
    }
    return out;
}

TEST(CheckTest, BadLists) {
    TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    for (const char* d : {"bin", "run", "run/a", "run/dir", "run/open", "etc"})
        ASSERT_EQ(mkdir((tmp / d).c_str(), 0755), 0) << d;
    ASSERT_EQ(chmod((tmp / "run/open").c_str(), 0777), 0);
    write_file(tmp / "bin/prog", "#!/bin/sh\n", 0755);
    write_file(tmp / "bin/vemo-lockrun", "#!/bin/sh\n", 0755);
    write_file(tmp / "bin/noexec", "#!/bin/sh\n", 0644);
    write_file(tmp / "bin/loose", "#!/bin/sh\n", 0775);
    write_file(tmp / "run/dir/x", "");

    CheckContext ctx;
    ctx.run_dir = tmp / "run";
    ctx.lookup.from_watchdog = true;
    ctx.lookup.path_set = true;
    ctx.lookup.path_env = tmp / "bin";
    ctx.lookup.cwd = tmp.path();
    const std::string list = tmp / "etc/watching-list.conf";

    for (const CheckRow& row : kRows) {
        SCOPED_TRACE(row.name);
        write_file(list, expand(row.list, tmp.path()));
        std::vector<Finding> got = check_list(list, ctx);
        std::string all;
        for (const Finding& f : got)
            all += format_finding(list, f) + "\n";
        ASSERT_EQ(got.size(), row.expect.size()) << all;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].line, row.expect[i].line) << all;
            EXPECT_EQ(got[i].error, row.expect[i].error) << all;
            EXPECT_NE(got[i].text.find(expand(row.expect[i].text, tmp.path())), std::string::npos)
                << all;
        }
    }
}

TEST(CheckTest, ListThatCannotBeRead) {
    TempDir tmp;
    std::string fifo = tmp / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string file;
        const char* text;
    } rows[] = {{fifo, "not a regular file"},
                {tmp / "missing", "cannot open"},
                {tmp.path(), "not a regular file"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        std::vector<Finding> got = check_list(row.file, CheckContext());
        ASSERT_EQ(got.size(), 1U);
        EXPECT_TRUE(got[0].error);
        EXPECT_EQ(got[0].line, 0);
        EXPECT_NE(got[0].text.find(row.text), std::string::npos) << got[0].text;
        EXPECT_EQ(format_finding("L", got[0]).compare(0, 10, "L: error: "), 0);
    }
}

// Another process's view: its PATH and directory, never ours.
TEST(CheckTest, LookupWithAnotherProcessView) {
    TempDir tmp;
    ASSERT_EQ(mkdir((tmp / "bin").c_str(), 0755), 0);
    write_file(tmp / "bin/tool", "#!/bin/sh\n", 0755);
    const struct {
        const char* name;
        const char* path;
        const char* file;
        const char* expect;  // nullptr: not found
    } rows[] = {
        {"relative_path_element_joins_its_cwd", "bin", "tool", "bin/tool"},
        {"dot_slash_resolves_in_its_cwd", "/nonexistent", "./bin/tool", "@/bin/tool"},
        {"path_unset", nullptr, "tool", nullptr},
        {"not_in_our_cwd", "/nonexistent", "tool", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string out;
        bool ok = exec_lookup(row.file, row.path, tmp.path().c_str(), &out);
        EXPECT_EQ(ok, row.expect != nullptr);
        if (row.expect != nullptr) {
            char real[4096];
            std::string want = expand(row.expect, tmp.path());
            if (want[0] == '/' && realpath(want.c_str(), real) != nullptr) want = real;
            EXPECT_EQ(out, want);
        }
    }
}

}  // namespace
