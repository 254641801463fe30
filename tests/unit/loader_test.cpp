// The watch list is hand-edited: every odd line must load one known way or be reported.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "test_support.h"
#include "vemo-watchdog.h"

namespace {

struct Want {
    bool enabled;
    std::string pid_file;
    std::string prog;
    std::vector<std::string> args;
};

struct LoaderRow {
    const char* name;
    std::string text;
    std::vector<Want> entries;
    std::vector<std::string> invalid;  // texts quoted by "Invalid line" records, in order
};

std::string fields(int first, int last) {
    std::string out;
    for (int i = first; i <= last; ++i)
        out += ":f" + std::to_string(i);
    return out;
}

std::vector<std::string> names(int first, int last) {
    std::vector<std::string> out;
    for (int i = first; i <= last; ++i)
        out.push_back("f" + std::to_string(i));
    return out;
}

std::string padded(const std::string& head, size_t len) {
    return head + std::string(len - head.size(), 'x');
}

// A literal with its NUL bytes kept.
template <size_t N>
std::string bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

const std::string kLine508 = padded("1:/a.pid:/bin/", 508);
const std::string kLine509 = padded("1:/a.pid:/bin/", 509);
// Its tail would be a valid entry of its own if the loader resumed mid-line.
const std::string kLongLine = padded("1:/l.pid:/bin/l:", 520) + ":1:/t.pid:/bin/t";

const LoaderRow kRows[] = {
    {"comment_after_blanks_skipped",
     " \t# 1:/c.pid:/bin/c\n1:/a.pid:/bin/a\n",
     {{true, "/a.pid", "/bin/a", {}}},
     {}},
    {"empty_line_reported_empty", "\n", {}, {""}},
    {"two_fields_reported", "1:/a.pid\n", {}, {"1:/a.pid"}},
    {"empty_prog_accepted", "1:/a.pid:\n", {{true, "/a.pid", "", {}}}, {}},
    {"flag_other_than_one_disables",
     "2:/a.pid:/bin/a\n0:/b.pid:/bin/b\n",
     {{false, "/a.pid", "/bin/a", {}}, {false, "/b.pid", "/bin/b", {}}},
     {}},
    {"leading_blanks_skipped", " \t1:/a.pid:/bin/a\n", {{true, "/a.pid", "/bin/a", {}}}, {}},
    {"bad_line_quoted_with_its_blanks", "  1:/a.pid\n", {}, {"  1:/a.pid"}},
    {"blank_after_flag_still_enables", "1 :/a.pid:/bin/a\n", {{true, "/a.pid", "/bin/a", {}}}, {}},
    {"blank_inside_prog_kept", "1:/a.pid: /bin/a\n", {{true, "/a.pid", " /bin/a", {}}}, {}},
    {"last_line_without_lf_read_whole",
     "1:/a.pid:/bin/a\n1:/b.pid:/bin/b:x",
     {{true, "/a.pid", "/bin/a", {}}, {true, "/b.pid", "/bin/b", {"x"}}},
     {}},
    {"crlf_leaves_cr_on_last_field",
     "1:/a.pid:/bin/a\r\n1:/b.pid:/bin/b:x\r\n",
     {{true, "/a.pid", "/bin/a\r", {}}, {true, "/b.pid", "/bin/b", {"x\r"}}},
     {}},
    {"arguments_capped_at_fourteen",
     "1:/a.pid:/bin/a" + fields(4, 20) + "\n",
     {{true, "/a.pid", "/bin/a", names(4, 17)}},
     {}},
    {"out_of_range_flags_do_not_wrap_to_one",
     "4294967297:/a:/b\n99999999999999999999:/a:/b\n18446744073709551617:/a:/b\n",
     {{false, "/a", "/b", {}}, {false, "/a", "/b", {}}, {false, "/a", "/b", {}}},
     {}},
    {"line_of_508_parsed_whole",
     kLine508 + "\n1:/b.pid:/bin/b\n",
     {{true, "/a.pid", kLine508.substr(9), {}}, {true, "/b.pid", "/bin/b", {}}},
     {}},
    {"line_of_508_without_lf_parsed_whole",
     kLine508,
     {{true, "/a.pid", kLine508.substr(9), {}}},
     {}},
    {"line_of_509_reported_cut",
     kLine509 + "\n1:/b.pid:/bin/b\n",
     {{true, "/b.pid", "/bin/b", {}}},
     {kLine509.substr(0, 508)}},
    {"long_line_tail_never_an_entry",
     kLongLine + "\n1:/b.pid:/bin/b\n",
     {{true, "/b.pid", "/bin/b", {}}},
     {kLongLine.substr(0, 508)}},
    {"nul_line_reported_once_and_skipped_whole",
     bytes("1:/a.pid:/bin/a\0:1:/t.pid:/bin/t\n1:/b.pid:/bin/b\n"),
     {{true, "/b.pid", "/bin/b", {}}},
     {"1:/a.pid:/bin/a"}},
    {"nul_hiding_an_overlong_line_reported_once",
     bytes("1:/a.pid:/bin/a\0") + kLongLine + "\n1:/b.pid:/bin/b\n",
     {{true, "/b.pid", "/bin/b", {}}},
     {"1:/a.pid:/bin/a"}},
    {"comment_holding_nul_stays_comment",
     bytes("# x\0y\n1:/b.pid:/bin/b\n"),
     {{true, "/b.pid", "/bin/b", {}}},
     {}},
    {"long_comment_skipped_whole",
     "  #" + kLongLine + "\n1:/b.pid:/bin/b\n",
     {{true, "/b.pid", "/bin/b", {}}},
     {}},
};

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        fill_monitor_entry(&builtin_, "/b");
        reset_supervisees(&builtin_);
        captured_syslog().clear();
        config_ = tmp_ / "watching-list.conf";
    }
    void TearDown() override {
        reset_supervisees(&builtin_);
        g_supervisee_vec.clear();
    }
    LogRecord invalid(const std::string& text) const {
        return {LOG_ERR, "Invalid line [" + text + "] in config file " + config_ + "."};
    }

    TempDir tmp_;
    Supervisee builtin_;
    std::string config_;
};

TEST_F(LoaderTest, Lines) {
    for (const LoaderRow& row : kRows) {
        SCOPED_TRACE(row.name);
        reset_supervisees(&builtin_);
        captured_syslog().clear();
        write_file(config_, row.text);

        load_supervisees(config_);

        // EXPECT, not ASSERT: one failing row must not hide the others.
        EXPECT_EQ(g_supervisee_vec.size(), row.entries.size() + 1);
        EXPECT_EQ(g_supervisee_vec[0], &builtin_);
        if (g_supervisee_vec.size() != row.entries.size() + 1) continue;
        for (size_t i = 0; i < row.entries.size(); ++i) {
            const Want& want = row.entries[i];
            const Supervisee& got = *g_supervisee_vec[i + 1];
            EXPECT_EQ(got.enabled, want.enabled) << i;
            EXPECT_EQ(got.prog_pid_file, want.pid_file) << i;
            EXPECT_EQ(got.prog, want.prog) << i;
            size_t n = want.args.size();
            for (size_t a = 0; a < n; ++a) {
                EXPECT_NE(got.args[a + 1], nullptr) << i << " arg " << a + 1;
                if (got.args[a + 1] != nullptr) {
                    EXPECT_EQ(std::string(got.args[a + 1]), want.args[a]) << i;
                }
            }
            EXPECT_EQ(got.args[n + 1], nullptr) << i;
        }
        std::vector<LogRecord> want_log;
        for (const std::string& text : row.invalid)
            want_log.push_back(invalid(text));
        EXPECT_EQ(captured_syslog(), want_log);
    }
}

TEST_F(LoaderTest, MissingFileChangesNothing) {
    load_supervisees(tmp_ / "absent.conf");
    ASSERT_EQ(g_supervisee_vec.size(), 1u);
    EXPECT_EQ(g_supervisee_vec[0], &builtin_);
    EXPECT_TRUE(captured_syslog().empty());
}

TEST_F(LoaderTest, ResetKeepsOnlyTheBuiltinAndReloadKeepsFileOrder) {
    write_file(config_, "1:/a.pid:/bin/a\n0:/b.pid:/bin/b\n1:/c.pid:/bin/c\n");
    load_supervisees(config_);
    load_supervisees(config_);
    ASSERT_EQ(g_supervisee_vec.size(), 7u);

    reset_supervisees(&builtin_);
    ASSERT_EQ(g_supervisee_vec.size(), 1u);
    EXPECT_EQ(g_supervisee_vec[0], &builtin_);
    EXPECT_EQ(builtin_.prog, "/b/vemo-monitor");

    load_supervisees(config_);
    ASSERT_EQ(g_supervisee_vec.size(), 4u);
    EXPECT_EQ(g_supervisee_vec[1]->prog, "/bin/a");
    EXPECT_EQ(g_supervisee_vec[2]->prog, "/bin/b");
    EXPECT_EQ(g_supervisee_vec[3]->prog, "/bin/c");
}

// A reload that cannot read the list keeps what is supervised and says why; start-up stays
// silent. A FIFO must neither block the watchdog nor count as a list.
TEST_F(LoaderTest, UnreadableListKeepsTheTableAtReload) {
    const struct {
        const char* name;
        int (*make)(const char* path);
        const char* why;
    } rows[] = {
        {"missing", [](const char*) { return 0; }, "No such file or directory"},
        {"fifo", [](const char* p) { return mkfifo(p, 0644); }, "not a regular file"},
        {"directory", [](const char* p) { return mkdir(p, 0755); }, "not a regular file"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        reset_supervisees(&builtin_);
        write_file(config_, "1:/a.pid:/bin/a\n0:/b.pid:/bin/b\n");
        ASSERT_TRUE(load_supervisees(config_, &builtin_));
        ASSERT_EQ(remove(config_.c_str()), 0);
        ASSERT_EQ(row.make(config_.c_str()), 0);
        captured_syslog().clear();

        EXPECT_FALSE(load_supervisees(config_, &builtin_));
        ASSERT_EQ(g_supervisee_vec.size(), 3u);
        EXPECT_EQ(g_supervisee_vec[1]->prog, "/bin/a");
        const std::vector<LogRecord> want = {{LOG_ERR, "Reload failure: cannot read config file " +
                                                           config_ + " (" + row.why +
                                                           "), keeping its 2 entries.\n"}};
        EXPECT_EQ(captured_syslog(), want);

        reset_supervisees(&builtin_);
        captured_syslog().clear();
        load_supervisees(config_);
        EXPECT_EQ(g_supervisee_vec.size(), 1u);
        EXPECT_TRUE(captured_syslog().empty());
        (void)remove(config_.c_str());
    }
}

}  // namespace
