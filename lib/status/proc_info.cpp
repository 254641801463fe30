#include "proc_info.h"

#include "fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

// Boot time in epoch seconds, read once: /proc/PID/stat counts start times from it.
double boot_time() {
    static double cached = -1;
    if (cached >= 0) return cached;
    cached = 0;
    std::string text;
    if (!read_regular_file("/proc/stat", 1 << 20, &text)) return cached;
    size_t at = text.find("\nbtime ");
    if (at != std::string::npos) cached = strtod(text.c_str() + at + 7, nullptr);
    return cached;
}

// One open, one read: the line is far shorter than the buffer. false when there is none.
bool read_stat_line(pid_t pid, std::string* line) {
    if (pid <= 0) return false;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[1024];
    ssize_t n;
    do {
        n = read(fd, buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0) return false;
    line->assign(buf, static_cast<size_t>(n));
    return true;
}

// Field 22 (starttime) is the 20th after the name; p points just past the name's ')'.
bool parse_start_ticks(const char* p, unsigned long long* ticks) {
    for (int field = 0; field < 19 && *p != '\0'; ++field) {
        while (*p == ' ')
            ++p;
        while (*p != ' ' && *p != '\0')
            ++p;
    }
    char* end = nullptr;
    *ticks = strtoull(p, &end, 10);
    return end != p;
}

}  // namespace

bool read_proc_stat(pid_t pid, ProcStat* out) {
    std::string text;
    if (!read_stat_line(pid, &text)) return false;
    // The name may hold anything, parentheses included: fields resume after the last ')'.
    size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos || close_paren + 1 == text.size()) return false;
    *out = ProcStat();
    size_t open_paren = text.find('(');
    if (open_paren != std::string::npos && open_paren < close_paren)
        out->name = text.substr(open_paren + 1, close_paren - open_paren - 1);
    // ") S ...": the state is the first field, one blank after the name.
    if (close_paren + 2 < text.size()) out->state = text[close_paren + 2];
    out->has_start_time = parse_start_ticks(text.c_str() + close_paren + 1, &out->start_ticks);
    return true;
}

ProcessInfo read_process(pid_t pid) {
    ProcessInfo info;
    ProcStat st;
    if (!read_proc_stat(pid, &st) || !st.has_start_time) return info;
    long hz = sysconf(_SC_CLK_TCK);
    info.known = true;
    info.started_at =
        boot_time() + static_cast<double>(st.start_ticks) / static_cast<double>(hz > 0 ? hz : 100);
    return info;
}

namespace {

// The kernel gives a command line whole to one read that has room for it: a short read ending
// in a NUL is its end, so a running entry costs no read that returns nothing, and no fstat (a
// file of /proc is what it is). At most limit bytes; false with errno.
bool read_cmdline_text(const char* path, size_t limit, std::string* text) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[4096];
    for (;;) {
        size_t room = std::min(sizeof buf, limit - text->size());
        ssize_t n = room == 0 ? 0 : read(fd, buf, room);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            close(fd);
            errno = err;
            return false;
        }
        text->append(buf, static_cast<size_t>(n));
        if (n == 0 || (static_cast<size_t>(n) < room && buf[n - 1] == '\0')) break;
    }
    close(fd);
    return true;
}

}  // namespace

namespace {

bool by_pid(const std::pair<pid_t, StartTimes::Seen>& a, pid_t pid) {
    return a.first < pid;
}

}  // namespace

ProcessInfo read_process_cached(pid_t pid, StartTimes* cache) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d", static_cast<int>(pid));
    struct stat st;
    if (pid <= 0 || stat(path, &st) != 0) return read_process(pid);
    auto& last = cache->last;
    auto it = std::lower_bound(last.begin(), last.end(), pid, by_pid);
    ProcessInfo info;
    if (it != last.end() && it->first == pid && it->second.dir_inode == st.st_ino) {
        info = it->second.info;
    } else {
        info = read_process(pid);
        if (!info.known) return info;
    }
    cache->current.push_back({pid, {st.st_ino, info}});
    return info;
}

void start_times_pass_done(StartTimes* cache) {
    std::sort(cache->current.begin(), cache->current.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    cache->last.swap(cache->current);
    cache->current.clear();
}

bool read_cmdline(pid_t pid, std::vector<std::string>* argv) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(pid));
    std::string text;
    if (!read_cmdline_text(path, 1 << 16, &text)) return false;
    argv->clear();
    // A program that rewrote its title may leave padding NULs: they end no argument.
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    if (text.empty()) {
        errno = ENODATA;
        return false;
    }
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find('\0', at);
        if (end == std::string::npos) end = text.size();
        argv->push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return true;
}

std::string read_exe(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(pid));
    char target[PATH_MAX];
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n < 0) return "";
    std::string exe(target, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() &&
        exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
        exe.resize(exe.size() - deleted.size());
    return exe;
}
