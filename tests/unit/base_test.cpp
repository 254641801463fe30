// lib/base: the path names and the file primitives every companion builds on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>

#include "fileio.h"
#include "test_support.h"
#include "text.h"

namespace {

TEST(BaseText, PathNames) {
    // path, base_name, dir_name
    const char* rows[][3] = {{"/a/b", "b", "/a"}, {"a/b", "b", "a"}, {"/a/", "", "/a"},
                             {"/", "", "/"},      {"/b", "b", "/"},  {"b", "b", "."}};
    for (const auto& r : rows) {
        EXPECT_EQ(base_name(r[0]), r[1]) << r[0];
        EXPECT_EQ(dir_name(r[0]), r[2]) << r[0];
    }
}

TEST(BaseFiles, OpenReadAndReplace) {
    TempDir dir;
    write_file(dir / "file", "abc", 0600);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    // path, errno (0: opened)
    const std::pair<std::string, int> opens[] = {{dir / "file", 0},
                                                 {dir.path(), EISDIR},
                                                 {dir / "fifo", EINVAL},
                                                 {"/dev/null", EINVAL},
                                                 {dir / "none", ENOENT}};
    alarm(10);  // a FIFO opened without O_NONBLOCK waits for a writer: this ends the wait
    for (const auto& r : opens) {
        errno = 0;
        int fd = open_regular_file(r.first.c_str());
        EXPECT_EQ(fd < 0 ? errno : 0, r.second) << r.first;
        if (fd < 0) continue;
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        char buf[3];
        EXPECT_TRUE(read_all(fd, buf, sizeof buf));
        EXPECT_EQ(std::string(buf, sizeof buf), "abc");
        errno = EIO;
        EXPECT_FALSE(read_all(fd, buf, 1));
        EXPECT_EQ(errno, 0) << "end of file is no error";
        close(fd);
    }
    alarm(0);

    const struct {
        std::string path;
        const char* text;
        bool as_string;  // the std::string form
        int err;         // 0: written
    } writes[] = {{dir / "s.lockrun", "a=1\n", false, 0},
                  {dir / "s.lockrun", "b=2\n", true, 0},
                  {dir / "file", "x", false, 0},
                  {"rel", "r", false, 0},  // no directory: the current one, dir
                  {dir / "none/x", "c", false, ENOENT}};
    std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    for (const auto& w : writes) {
        errno = 0;
        bool ok = w.as_string ? write_file_atomically(w.path, std::string(w.text))
                              : write_file_atomically(w.path.c_str(), w.text, strlen(w.text)) == 0;
        EXPECT_EQ(ok ? 0 : errno, w.err) << w.path;
        if (!ok) continue;
        EXPECT_EQ(read_file(w.path), w.text);
        struct stat st;
        ASSERT_EQ(stat(w.path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644U) << w.path;
    }
    std::filesystem::current_path(cwd);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 4)
        << "a temporary file was left behind";
}

}  // namespace
