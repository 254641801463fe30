// Shared by the unit tests: scratch directories, whole-file helpers, captured syslog records.
#ifndef VEMO_TEST_SUPPORT_H
#define VEMO_TEST_SUPPORT_H

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct LogRecord {
    int priority;
    std::string text;
    bool operator==(const LogRecord& o) const { return priority == o.priority && text == o.text; }
};

// Every syslog call the code under test makes lands here (see syslog_capture_test.cpp).
std::vector<LogRecord>& captured_syslog();
// The identity the code under test last gave openlog.
std::string& captured_syslog_ident();

inline std::ostream& operator<<(std::ostream& os, const LogRecord& r) {
    return os << "{" << r.priority << ", \"" << r.text << "\"}";
}

// A fresh directory removed with all it holds when the test ends.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/vemo-unit-XXXXXX";
        path_ = mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~TempDir() {
        if (!path_.empty()) nftw(path_.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    static int remove_one(const char* p, const struct stat*, int, struct FTW*) { return remove(p); }
    std::string path_;
};

inline void write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    chmod(path.c_str(), mode);
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

#endif
