// What exec_abspath resolves is exactly what the watchdog hands to execvp.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "test_support.h"
#include "vemo-watchdog.h"

namespace {

struct LookupRow {
    const char* name;
    const char* path;      // nullptr: PATH unset
    const char* cwd;       // nullptr: stay where we are
    const char* filename;  // nullptr passed as is
    const char* expect;    // nullptr: not found; "=X": realpath of X
    int err;               // errno when not found
};

// "@" stands for the scratch directory, "LONG" for a directory name no candidate can fit beside.
const LookupRow kRows[] = {
    {"absolute_resolves_to_canonical_path", "/usr/bin", nullptr, "/bin/sh", "=/bin/sh", 0},
    {"dot_slash_resolves_against_cwd", "/nonexistent", "@/cwd", "./tool", "@/cwd/tool", 0},
    {"dotdot_prefix_is_a_path_not_a_name", "/nonexistent", "@/cwd", "../up", "@/up", 0},
    {"bare_name_found_in_second_dir_as_written", "@/d1:@/d2/.", nullptr, "tool", "@/d2/./tool", 0},
    {"non_executable_candidate_skipped", "@/d3:@/d2", nullptr, "tool", "@/d2/tool", 0},
    {"empty_path_elements_are_not_cwd", "::/usr/bin::", "@/cwd", "env", "/usr/bin/env", 0},
    {"slashed_name_searched_under_path_dirs", "@/p", "@/cwd", "sub/tool", "@/p/sub/tool", 0},
    {"slashed_name_never_taken_from_cwd", "@/d1", "@/cwd", "sub/tool", nullptr, ENOENT},
    {"directory_refused", "/usr/bin", nullptr, "@/d1", nullptr, EISDIR},
    {"no_execute_bit_refused", "/usr/bin", nullptr, "@/rw", nullptr, EACCES},
    {"any_execute_bit_accepted", "/usr/bin", nullptr, "@/x1", "@/x1", 0},
    {"path_unset", nullptr, nullptr, "sh", nullptr, ENOENT},
    {"path_empty", "", nullptr, "sh", nullptr, ENOENT},
    {"every_candidate_too_long", "LONG:LONG", nullptr, "sh", nullptr, ENOENT},
    {"missing_path", "/usr/bin", nullptr, "@/missing", nullptr, ENOENT},
    {"null_filename", "/usr/bin", nullptr, nullptr, nullptr, ENOENT},
};

std::string expand(const std::string& text, const std::string& root) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '@') {
            out += root;
        } else if (text.compare(i, 4, "LONG") == 0) {
            out += "/" + std::string(8189, 'a');
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string canonical(const char* path) {
    char buf[PATH_MAX];
    return realpath(path, buf) != nullptr ? buf : "";
}

class LookupTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = canonical(tmp_.path().c_str());
        for (const char* dir : {"cwd", "cwd/sub", "d1", "d2", "d3", "p", "p/sub"})
            mkdir((root_ + "/" + dir).c_str(), 0755);
        for (const char* exe :
             {"cwd/tool", "cwd/sub/tool", "cwd/env", "d2/tool", "p/sub/tool", "up"})
            write_file(root_ + "/" + exe, "#!/bin/sh\n", 0755);
        write_file(root_ + "/d3/tool", "#!/bin/sh\n", 0644);
        write_file(root_ + "/rw", "", 0644);
        write_file(root_ + "/x1", "", 0001);
        const char* path = getenv("PATH");
        had_path_ = path != nullptr;
        if (had_path_) saved_path_ = path;
        saved_cwd_ = canonical(".");
    }
    void TearDown() override {
        if (had_path_) {
            setenv("PATH", saved_path_.c_str(), 1);
        } else {
            unsetenv("PATH");
        }
        ASSERT_EQ(chdir(saved_cwd_.c_str()), 0);
    }

    TempDir tmp_;
    std::string root_, saved_path_, saved_cwd_;
    bool had_path_ = false;
};

TEST_F(LookupTest, ExecAbspath) {
    for (const LookupRow& row : kRows) {
        SCOPED_TRACE(row.name);
        if (row.path == nullptr) {
            unsetenv("PATH");
        } else {
            setenv("PATH", expand(row.path, root_).c_str(), 1);
        }
        ASSERT_EQ(chdir(row.cwd != nullptr ? expand(row.cwd, root_).c_str() : saved_cwd_.c_str()),
                  0);
        std::string filename = row.filename != nullptr ? expand(row.filename, root_) : "";

        errno = EPERM;  // a stale errno must never leak out as the reason
        const char* got = exec_abspath(row.filename != nullptr ? filename.c_str() : nullptr);
        int err = errno;

        if (row.expect == nullptr) {
            EXPECT_EQ(got, nullptr) << got;
            EXPECT_EQ(err, row.err) << strerror(err);
        } else {
            std::string want =
                row.expect[0] == '=' ? canonical(row.expect + 1) : expand(row.expect, root_);
            ASSERT_NE(got, nullptr) << strerror(err);
            EXPECT_EQ(got, want);
        }
        if (row.filename != nullptr && (row.filename[0] == '/' || row.filename[0] == '@')) {
            EXPECT_EQ(exec_ok(filename.c_str()), row.expect != nullptr ? 1 : 0);
        }
    }
}

}  // namespace
