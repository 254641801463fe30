#include "check.h"

#include "commands.h"
#include "fileio.h"
#include "paths.h"
#include "text.h"
#include "watchlist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string absolute(const std::string& path, const std::string& cwd) {
    return path.empty() || path[0] == '/' ? path : cwd + "/" + path;
}

// One name per file: the directory resolved when it exists (so /var/run and /run agree).
std::string canonical_file(const std::string& path, const std::string& cwd) {
    std::string abs = absolute(path, cwd);
    char dir[PATH_MAX];
    if (realpath(dir_name(abs).c_str(), dir) == nullptr) return abs;
    std::string d = dir;
    return (d == "/" ? "" : d) + "/" + base_name(abs);
}

// Group or others may write: anyone who can runs programs as root or squats a lock.
bool loosely_writable(const std::string& path, std::string* what) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    if ((st.st_mode & S_IWOTH) != 0) {
        *what = "others";
    } else if ((st.st_mode & S_IWGRP) != 0) {
        *what = "its group";
    } else {
        return false;
    }
    return true;
}

const char* field_name(size_t i) {
    static const char* const names[] = {"flag", "pid file", "program"};
    return i < 3 ? names[i] : nullptr;
}

struct LineChecker {
    const CheckContext& ctx;
    std::vector<Finding>* out;
    std::map<std::string, int> pid_files;  // canonical name -> first line using it
    std::string own_pid_file;
    std::string monitor_pid_file;
    int entries = 0;

    void add(int line, bool error, const std::string& text) const {
        Finding f;
        f.line = line;
        f.error = error;
        f.text = text;
        out->push_back(f);
    }

    std::string cwd_note() const {
        return ctx.lookup.from_watchdog ? "the watchdog's working directory " + ctx.lookup.cwd
                                        : "the working directory " + ctx.lookup.cwd +
                                              " (vemoctl's; " + ctx.lookup.note + ")";
    }

    void blanks(int n, const std::vector<std::string>& fields, size_t used) const {
        for (size_t i = 0; i < used; ++i) {
            const std::string& f = fields[i];
            if (f.empty()) continue;
            std::string name =
                field_name(i) != nullptr ? field_name(i) : "argument " + std::to_string(i - 2);
            char last = f[f.size() - 1];
            if (last == '\r') {
                add(n, false,
                    name + " " + quoted(f) +
                        " ends with a carriage return (a DOS line end?); it stays part of it");
            } else if (last == ' ' || last == '\t') {
                add(n, false, name + " " + quoted(f) + " ends with a blank; it stays part of it");
            }
            if (f[0] == ' ' || f[0] == '\t' || f[0] == '\r') {
                add(n, false, name + " " + quoted(f) + " starts with a blank; it stays part of it");
            }
        }
    }

    void flag(int n, const std::string& text, bool enabled) const {
        size_t b = text.find_first_not_of(" \t\r");
        size_t e = text.find_last_not_of(" \t\r");
        std::string core = b == std::string::npos ? "" : text.substr(b, e - b + 1);
        if (core != "0" && core != "1") {
            add(n, true,
                "flag " + quoted(text) + " is neither 0 nor 1: the watchdog reads it as " +
                    (enabled ? "enabled" : "disabled"));
        }
    }

    void pid_file(int n, const std::string& path) {
        if (path.empty()) {
            add(n, true, "empty pid file: the watchdog skips this entry at every pass");
            return;
        }
        if (path[0] != '/') {
            add(n, false, "relative pid file " + quoted(path) + " resolves against " + cwd_note());
        }
        std::string canon = canonical_file(path, ctx.lookup.cwd);
        if (canon == own_pid_file) {
            add(n, true,
                "pid file " + quoted(path) +
                    " is the watchdog's own lock: the entry can never run");
        } else if (canon == monitor_pid_file) {
            add(n, true,
                "pid file " + quoted(path) +
                    " is the monitor's: the entry and the monitor exclude each other");
        }
        auto seen = pid_files.emplace(canon, n);
        if (!seen.second) {
            add(n, true,
                "pid file " + quoted(path) + " is also used by line " +
                    std::to_string(seen.first->second) + ": only one of the two can ever run");
        }
        std::string kernel = kernel_file_system(absolute(path, ctx.lookup.cwd));
        if (!kernel.empty()) {
            add(n, true,
                "pid file " + quoted(path) + " is under " + kernel +
                    ": no lock there says whether the program runs (vemoctl does not read it)");
            return;
        }
        struct stat own;
        if (stat(absolute(path, ctx.lookup.cwd).c_str(), &own) == 0 && !S_ISREG(own.st_mode)) {
            add(n, true,
                "pid file " + quoted(path) +
                    " is not a regular file: its lock cannot tell whether the program runs");
        }
        if (path.find('/') != std::string::npos) pid_file_directory(n, path);
    }

    // The directory of a pid file given with one: the watchdog creates only its last component,
    // and whoever may write it may squat the lock.
    void pid_file_directory(int n, const std::string& path) const {
        std::string dir = dir_name(absolute(path, ctx.lookup.cwd));
        struct stat st;
        if (stat(dir.c_str(), &st) != 0) {
            std::string up = dir_name(dir);
            struct stat up_st;
            if (errno == ENOENT && stat(up.c_str(), &up_st) != 0) {
                add(n, true,
                    "pid-file directory " + quoted(dir) + " is missing and so is " + quoted(up) +
                        ": the watchdog creates only the last component");
            }
            return;
        }
        if (!S_ISDIR(st.st_mode)) {
            add(n, true, "pid-file directory " + quoted(dir) + " is not a directory");
            return;
        }
        std::string who;
        if (loosely_writable(dir, &who)) {
            add(n, false,
                "pid-file directory " + quoted(dir) + " is writable by " + who +
                    ": anyone who can write it can squat the lock");
        }
    }

    // A program of the line, or (what = "wrapped program") the one vemo-lockrun runs: it
    // inherits the watchdog's PATH and directory and looks it up as execvp does, like the daemon.
    void program(int n, const std::string& prog, bool enabled,
                 const std::string& what = "program") const {
        if (prog.empty()) {
            add(n, true, "empty program: the watchdog skips this entry at every pass");
            return;
        }
        if (prog[0] == '.') {
            add(n, false,
                "relative " + what + " " + quoted(prog) + " resolves against " + cwd_note());
        } else if (prog[0] != '/' && prog.find('/') != std::string::npos) {
            add(n, false,
                what + " " + quoted(prog) +
                    " is looked up under each PATH directory, not the working directory");
        }
        std::string found;
        const LookupContext& lk = ctx.lookup;
        if (exec_lookup(prog.c_str(), lk.path_set ? lk.path_env.c_str() : nullptr, lk.cwd.c_str(),
                        &found)) {
            std::string who;
            std::string abs = absolute(found, lk.cwd);
            if (loosely_writable(abs, &who)) {
                add(n, false,
                    "program " + quoted(found) + " is writable by " + who +
                        ": anyone who can write it runs code as root");
            }
            return;
        }
        int err = errno;
        std::string why = err == EACCES   ? "is not executable"
                          : err == EISDIR ? "is a directory"
                                          : "is not found";
        std::string where =
            prog[0] == '/' || prog[0] == '.'
                ? std::string()
                : " in PATH " + (lk.path_set ? quoted(lk.path_env) : std::string("(unset)")) +
                      (lk.from_watchdog ? " (the watchdog's)" : " (vemoctl's; " + lk.note + ")");
        // A disabled line is never started: a program still to be installed is no error yet.
        add(n, enabled,
            what + " " + quoted(prog) + " " + why + where +
                (enabled ? "" : "; the line is disabled"));
    }

    void lockrun(int n, const std::string& line_pid_file, const std::vector<std::string>& args,
                 bool enabled) const {
        LockrunStatus lr = parse_lockrun_args(args);
        if (lr.pid_file.empty() || lr.wraps.empty()) {
            add(n, true, "vemo-lockrun needs PIDFILE and PROGRAM arguments");
            return;
        }
        if (lr.name_given && (lr.name.empty() || lr.name.find(':') != std::string::npos))
            add(n, true, "vemo-lockrun --name=" + quoted(lr.name) + " must be a name without ':'");
        for (const std::string& why : lr.option_errors)
            add(n, true, "vemo-lockrun: " + why);
        program(n, lr.wraps, enabled, "wrapped program");
        if (canonical_file(lr.pid_file, ctx.lookup.cwd) !=
            canonical_file(line_pid_file, ctx.lookup.cwd)) {
            add(n, true,
                "vemo-lockrun locks " + quoted(lr.pid_file) + " but the line watches " +
                    quoted(line_pid_file) + ": the watchdog starts it again every cycle");
        }
    }

    void entry(const WatchLine& line) {
        ++entries;
        int n = line.number;
        const std::vector<std::string>& f = line.fields;
        size_t used = f.size() - line.ignored_fields;
        blanks(n, f, used);
        flag(n, f[0], line.enabled);
        pid_file(n, f[1]);
        program(n, f[2], line.enabled);
        if (line.ignored_fields > 0) {
            add(n, false,
                std::to_string(line.ignored_fields) + " field(s) past the " +
                    std::to_string(kMaxArgs) + "th argument, ignored by the watchdog");
        }
        if (is_lockrun_program(f[2])) {
            std::vector<std::string> args(f.begin() + kMinFields,
                                          f.begin() + static_cast<long>(used));
            lockrun(n, f[1], args, line.enabled);
        }
    }

    void invalid(const WatchLine& line) const {
        int n = line.number;
        if (line.kind == LINE_OVERLONG) {
            add(n, true,
                "line longer than " + std::to_string(kMaxLineChars) +
                    " characters: the watchdog skips it whole");
        } else if (line.kind == LINE_NUL) {
            add(n, true, "NUL byte in the line: the watchdog skips it");
        } else if (line.text.find_first_not_of(" \t\r") == std::string::npos) {
            add(n, true,
                "empty line: the watchdog reports it as invalid (a line of just # is a comment)");
        } else {
            size_t fields =
                1 + static_cast<size_t>(std::count(line.text.begin(), line.text.end(), ':'));
            add(n, true,
                std::to_string(fields) + (fields == 1 ? " field" : " fields") +
                    ": an entry needs at least 3 (flag:pid file:program)");
        }
    }
};

}  // namespace

namespace {

// The list opened for reading (*st filled); -1 (reported) when it cannot be, or is no regular
// file: a FIFO or device never stalls the check.
int open_list(const std::string& file, const LineChecker& checker, struct stat* st) {
    int fd = open_regular_file(file.c_str());
    if (fd < 0 && errno != EISDIR && errno != EINVAL) {
        checker.add(0, true, "cannot open: " + errno_text(errno));
        return -1;
    }
    if (fd < 0 || fstat(fd, st) != 0) {
        if (fd >= 0) close(fd);
        checker.add(0, true, "not a regular file");
        return -1;
    }
    return fd;
}

// Who besides root may write the list or replace it.
void check_list_access(const std::string& file, const struct stat& st, const LineChecker& checker) {
    if ((st.st_mode & S_IWOTH) != 0 || (st.st_mode & S_IWGRP) != 0) {
        checker.add(0, false,
                    std::string("the list is writable by ") +
                        ((st.st_mode & S_IWOTH) != 0 ? "others" : "its group") +
                        ": anyone who can write it runs programs as root");
    }
    std::string who;
    std::string dir = dir_name(file);
    if (loosely_writable(dir, &who)) {
        checker.add(0, false,
                    "the list's directory " + quoted(dir) + " is writable by " + who +
                        ": anyone who can write it can replace the list");
    }
}

void check_lines(FILE* f, LineChecker* checker) {
    WatchLine line;
    while (read_watch_line(f, &line)) {
        if (line.kind == LINE_ENTRY) {
            checker->entry(line);
        } else if (line.kind != LINE_COMMENT) {
            checker->invalid(line);
        }
    }
    if (ferror(f) != 0) checker->add(0, true, "read error: " + errno_text(errno));
}

}  // namespace

std::vector<Finding> check_list(const std::string& file, const CheckContext& ctx) {
    std::vector<Finding> out;
    LineChecker checker{ctx, &out, {}, {}, {}, 0};
    checker.own_pid_file = canonical_file(watchdog_pid_file(ctx.run_dir), "/");
    checker.monitor_pid_file = canonical_file(ctx.run_dir + "/vemo_monitor.pid", "/");
    struct stat st;
    int fd = open_list(file, checker, &st);
    if (fd < 0) return out;
    check_list_access(file, st, checker);
    FILE* f = fdopen(fd, "r");
    if (f == nullptr) {
        checker.add(0, true, "cannot read: " + errno_text(errno));
        close(fd);
        return out;
    }
    check_lines(f, &checker);
    fclose(f);
    if (checker.entries == 0)
        checker.add(0, false, "no entries: the watchdog supervises only the monitor");
    return out;
}

std::string format_finding(const std::string& file, const Finding& finding) {
    std::string out = file;
    if (finding.line > 0) out += ":" + std::to_string(finding.line);
    out += finding.error ? ": error: " : ": warning: ";
    return out + finding.text;
}

// ---------------------------------------------------------------- vemoctl check

CheckContext check_context(const StatusSource& src) {
    CheckContext ctx;
    ctx.run_dir = src.run_dir;
    pid_t pid = 0;
    std::string why;
    ctx.lookup = lookup_context(watchdog_holder(src.run_dir, &pid, &why) == 1 ? pid : 0);
    return ctx;
}

int report_findings(const std::string& file, const std::vector<Finding>& findings, int* warnings) {
    int errors = 0;
    *warnings = 0;
    for (const Finding& f : findings) {
        fprintf(stderr, "%s\n", format_finding(file, f).c_str());
        errors += f.error ? 1 : 0;
        *warnings += f.error ? 0 : 1;
    }
    return errors;
}

int cmd_check(const Args& args, const StatusSource& src) {
    std::string bad;
    if (!only_options(args, {"--strict"}, &bad)) return usage_error("check: unknown option " + bad);
    if (args.operands.size() > 1) return usage_error("check: one FILE at most");
    std::string file = args.operands.empty() ? src.list_file : args.operands[0];
    int warnings = 0;
    int errors = report_findings(file, check_list(file, check_context(src)), &warnings);
    if (errors > 0 || (warnings > 0 && args.options.count("--strict") != 0)) return kExitFailure;
    return 0;
}
