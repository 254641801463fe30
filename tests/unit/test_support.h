// Shared by the unit tests: scratch directories, whole-file helpers, captured syslog records.
#ifndef VEMO_TEST_SUPPORT_H
#define VEMO_TEST_SUPPORT_H

#include <ftw.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstddef>
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

// Makes the system call nr fail with err in this process from now on (only when its second
// argument is arg1, unless arg1 is -1): the kernel's own filter, for paths no test can reach
// otherwise. Call it in a forked child; false when the filter cannot be installed.
inline bool fail_syscall(long nr, long arg1, int err) {
#if defined(__x86_64__)
    const unsigned int arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    const unsigned int arch = AUDIT_ARCH_AARCH64;
#else
#error "no seccomp architecture for this target"
#endif
    const unsigned char n = arg1 == -1 ? 0 : 2;  // instructions of the argument test
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 0, static_cast<unsigned char>(3 + n)),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned int>(nr), 0,
                 static_cast<unsigned char>(1 + n)),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned int>(arg1), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned int>(err) & 0xffff)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    if (n == 0) {  // no argument test: drop its two instructions
        code[4] = code[6];
        code[5] = code[7];
    }
    struct sock_fprog prog = {static_cast<unsigned short>(6 + n), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

#endif
