#include "hoststatus.h"

#include "clock.h"
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
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <utility>

namespace {

const char* const kStateKey = "\"last-request-at\"";
// The liveness probe's bound: a request at most this old counts as fresh.
const long kFreshSeconds = 3599;

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

// Why a pid file that is no regular file cannot be probed.
int errno_of_type(mode_t mode) {
    return S_ISDIR(mode) ? EISDIR : EINVAL;
}

}  // namespace

// ---------------------------------------------------------------- probes

const char* state_name(EntryState state) {
    switch (state) {
        case STATE_RUNNING:
            return "running";
        case STATE_DOWN:
            return "down";
        case STATE_STOPPING:
            return "stopping";
        case STATE_STOPPED:
            return "stopped";
        case STATE_LOCKED_UNKNOWN:
            return "locked";
        case STATE_ERROR:
            return "error";
    }
    return "error";
}

LockProbe probe_pid_file(const std::string& path) {
    LockProbe p;
    // Non-blocking, so a FIFO never stalls us; no terminal becomes ours.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            p.missing = true;
            return p;
        }
        p.held_state = STATE_ERROR;
        p.err = errno;
        p.error = errno_text(errno);
        return p;
    }
    struct flock query;
    memset(&query, 0, sizeof query);
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &query) != 0) {
        p.held_state = STATE_ERROR;
        p.err = errno;
        p.error = errno_text(p.err);
        close(fd);
        return p;
    }
    if (query.l_type != F_UNLCK && query.l_pid > 0) {
        // Held by a named process: the daemon's probe sees it running whatever the file is.
        // Three calls for a running entry keep a thousand entries cheap.
        p.holder = query.l_pid;
        p.held_state = STATE_RUNNING;
        close(fd);
        return p;
    }
    if (query.l_type != F_UNLCK) p.held_state = STATE_LOCKED_UNKNOWN;
    // Free: the daemon's own open would fail on a directory, and only a regular file says
    // anything about its last holder.
    struct stat st;
    int type_err = fstat(fd, &st) != 0   ? errno
                   : S_ISREG(st.st_mode) ? 0
                                         : errno_of_type(st.st_mode);
    if (type_err != 0) {
        p.held_state = STATE_ERROR;
        p.err = type_err;
        p.error = type_err == EINVAL ? "not a regular file" : errno_text(type_err);
        close(fd);
        return p;
    }
    p.written_at = seconds_of(st.st_mtim);
    // What the last holder wrote, the same 15 bytes the daemon's lock would read.
    char text[16];
    ssize_t n;
    do {
        n = pread(fd, text, sizeof text - 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        std::string first(text, static_cast<size_t>(n));
        first.resize(std::min(first.size(), first.find('\n')));
        p.pid_text = printable(first);
    }
    close(fd);
    return p;
}

ProcessInfo read_process(pid_t pid) {
    ProcessInfo info;
    if (pid <= 0) return info;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    // One open, one read: the line is far shorter than the buffer.
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return info;
    char buf[1024];
    ssize_t n;
    do {
        n = read(fd, buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0) return info;
    std::string text(buf, static_cast<size_t>(n));
    // The name may hold anything, parentheses included: fields resume after the last ')'.
    size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos) return info;
    const char* p = text.c_str() + close_paren + 1;
    // Field 22 (starttime) is the 20th after the name.
    for (int field = 0; field < 19 && *p != '\0'; ++field) {
        while (*p == ' ')
            ++p;
        while (*p != ' ' && *p != '\0')
            ++p;
    }
    char* end = nullptr;
    unsigned long long ticks = strtoull(p, &end, 10);
    if (end == p) return info;
    long hz = sysconf(_SC_CLK_TCK);
    info.known = true;
    info.started_at =
        boot_time() + static_cast<double>(ticks) / static_cast<double>(hz > 0 ? hz : 100);
    return info;
}

// The executable of a process, without the " (deleted)" of a replaced file; "" when unknown.
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

namespace {

std::string own_cwd() {
    char* cwd = get_current_dir_name();
    if (cwd == nullptr) return "/";
    std::string out = cwd;
    free(cwd);
    return out;
}

}  // namespace

LookupContext lookup_context(pid_t watchdog) {
    LookupContext ctx;
    if (watchdog > 0) {
        char path[64];
        snprintf(path, sizeof path, "/proc/%d/environ", static_cast<int>(watchdog));
        std::string env;
        bool env_ok = read_regular_file(path, 1 << 20, &env);
        int env_err = errno;
        snprintf(path, sizeof path, "/proc/%d/cwd", static_cast<int>(watchdog));
        char cwd[PATH_MAX];
        ssize_t n = readlink(path, cwd, sizeof cwd - 1);
        int cwd_err = errno;
        if (env_ok && n >= 0) {
            ctx.from_watchdog = true;
            ctx.cwd.assign(cwd, static_cast<size_t>(n));
            for (size_t at = 0; at < env.size();) {
                size_t end = env.find('\0', at);
                if (end == std::string::npos) end = env.size();
                if (env.compare(at, 5, "PATH=") == 0) {
                    ctx.path_set = true;
                    ctx.path_env = env.substr(at + 5, end - at - 5);
                }
                at = end + 1;
            }
            return ctx;
        }
        ctx.note = "the watchdog's environment and working directory are not readable (" +
                   errno_text(env_ok ? cwd_err : env_err) + ")";
    } else {
        ctx.note = "the watchdog is not running";
    }
    const char* path_env = getenv("PATH");
    ctx.path_set = path_env != nullptr;
    ctx.path_env = path_env != nullptr ? path_env : "";
    ctx.cwd = own_cwd();
    return ctx;
}

bool is_lockrun_program(const std::string& program) {
    return base_name(program) == "vemo-lockrun";
}

LockrunStatus parse_lockrun_args(const std::vector<std::string>& args) {
    LockrunStatus lr;
    lr.is_lockrun = true;
    size_t i = 0;
    for (; i < args.size() && args[i].compare(0, 2, "--") == 0; ++i) {
        if (args[i] == "--") {
            ++i;
            break;
        }
        if (args[i] == "--restart") lr.restart = true;
    }
    if (i < args.size()) lr.pid_file = args[i++];
    if (i < args.size()) lr.wraps = args[i];
    return lr;
}

namespace {

double number_value(const std::string& text) {
    return strtod(text.c_str(), nullptr);
}

// <PIDFILE>.lockrun: key=value lines, unknown keys ignored; absent is no error.
void read_lockrun_state(const std::string& pid_file, const std::string& cwd, LockrunStatus* lr) {
    std::string path = pid_file + ".lockrun";
    if (path[0] != '/') path = cwd + "/" + path;
    std::string text;
    if (!read_regular_file(path, 8192, &text)) {
        if (errno != ENOENT && errno != ENOTDIR) lr->state_error = errno_text(errno);
        return;
    }
    lr->state_read = true;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string row = text.substr(at, end - at);
        at = end + 1;
        size_t eq = row.find('=');
        if (eq == std::string::npos) continue;
        std::string key = row.substr(0, eq);
        std::string value = row.substr(eq + 1);
        if (key == "program") {
            lr->program = printable(value);
        } else if (key == "child_pid") {
            lr->child_pid = static_cast<pid_t>(strtol(value.c_str(), nullptr, 10));
        } else if (key == "child_started_at") {
            lr->child_started_at = number_value(value);
        } else if (key == "restarts") {
            lr->restarts = strtol(value.c_str(), nullptr, 10);
        } else if (key == "last_exit") {
            lr->last_exit = printable(value);
        } else if (key == "last_exit_code") {
            lr->last_exit_code = static_cast<int>(strtol(value.c_str(), nullptr, 10));
        } else if (key == "last_exit_at") {
            lr->last_exit_at = number_value(value);
        } else if (key == "last_run_seconds") {
            lr->last_run_seconds = number_value(value);
        }
    }
}

// The monitor's state file, read in the same 127-byte pieces as the liveness probe reads it.
MonitorState judge_monitor_state(const std::string& path, double now) {
    MonitorState ms;
    ms.path = path;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
        errno = EINVAL;
    }
    FILE* f = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (f == nullptr) {
        ms.error = errno == EINVAL ? "not a regular file" : errno_text(errno);
        if (fd >= 0) close(fd);
        return ms;
    }
    ms.read = true;
    char piece[128];
    while (fgets(piece, 127, f) != nullptr) {
        const char* key = strstr(piece, kStateKey);
        if (key == nullptr) continue;
        const char* first = key + strlen(kStateKey);
        while (*first != '\0' && (*first < '0' || *first > '9'))
            ++first;
        if (*first != '\0') {
            const char* last = first;
            for (const char* p = first; *p != '\0'; ++p) {
                if (*p >= '0' && *p <= '9') last = p;
            }
            std::string digits(first, static_cast<size_t>(last - first + 1));
            long value = strtol(digits.c_str(), nullptr, 10);
            long current = static_cast<long>(now);
            ms.has_request = true;
            ms.last_request_at = value;
            ms.age_seconds = value > current ? 0 : current - value;
            ms.fresh = value >= current - kFreshSeconds;
        }
        break;
    }
    fclose(f);
    return ms;
}

EntryState state_for(bool enabled, EntryState held) {
    if (held == STATE_RUNNING) return enabled ? STATE_RUNNING : STATE_STOPPING;
    if (held == STATE_DOWN) return enabled ? STATE_DOWN : STATE_STOPPED;
    return held;
}

struct Resolution {
    bool ok = false;
    std::string path;
    std::string error;
};

// Probes one entry; lookups are shared between entries that name the same program.
void fill_entry(EntryStatus* e, const LookupContext& ctx,
                std::map<std::string, Resolution>* cache) {
    e->probe = probe_pid_file(e->pid_file[0] == '/' ? e->pid_file : ctx.cwd + "/" + e->pid_file);
    e->state = state_for(e->enabled, e->probe.held_state);
    if (e->probe.held_state == STATE_RUNNING) e->process = read_process(e->probe.holder);

    auto hit = cache->find(e->program);
    if (hit == cache->end()) {
        Resolution r;
        std::string found;
        r.ok = exec_lookup(e->program.c_str(), ctx.path_set ? ctx.path_env.c_str() : nullptr,
                           ctx.cwd.c_str(), &found);
        if (r.ok) {
            r.path = printable(found);
        } else {
            r.error = errno_text(errno);
        }
        hit = cache->emplace(e->program, r).first;
    }
    e->resolved = hit->second.ok;
    e->resolved_path = hit->second.path;
    e->resolve_error = hit->second.error;

    if (is_lockrun_program(e->program)) {
        e->lockrun = parse_lockrun_args(e->args);
        if (!e->lockrun.pid_file.empty())
            read_lockrun_state(e->lockrun.pid_file, ctx.cwd, &e->lockrun);
    }
}

bool read_list(const std::string& file, HostStatus* out) {
    int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        out->list_error = errno_text(err);
        errno = err;
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        out->list_error = "not a regular file";
        errno = EINVAL;
        return false;
    }
    FILE* f = fdopen(fd, "r");
    if (f == nullptr) {
        int err = errno;
        close(fd);
        out->list_error = errno_text(err);
        errno = err;
        return false;
    }
    WatchLine line;
    while (read_watch_line(f, &line)) {
        if (line.kind == LINE_COMMENT) continue;
        if (line.kind != LINE_ENTRY) {
            out->invalid_lines.push_back(line.number);
            continue;
        }
        EntryStatus e;
        e.line = line.number;
        e.enabled = line.enabled;
        e.pid_file = line.fields[1];
        e.program = line.fields[2];
        for (size_t i = kMinFields; i < line.fields.size() && e.args.size() < kMaxArgs; ++i)
            e.args.push_back(line.fields[i]);
        out->entries.push_back(std::move(e));
    }
    bool failed = ferror(f) != 0;
    int err = errno;
    fclose(f);
    if (failed) {
        out->list_error = errno_text(err);
        errno = err;
        return false;
    }
    out->list_read = true;
    return true;
}

}  // namespace

StatusSource source_from_self(const char* argv0) {
    StatusSource src;
    std::string exe = read_exe(getpid());
    if (exe.empty() && argv0 != nullptr && argv0[0] != '\0') {
        std::string cwd = own_cwd();
        exe = locate_installation(argv0, cwd.c_str()).wdg_fullname;
    }
    src.bin_dir = dir_name(exe);
    src.list_file = dir_name(src.bin_dir) + "/etc/watching-list.conf";
    if (src.list_file.compare(0, 2, "//") == 0) src.list_file.erase(0, 1);
    return src;
}

bool collect_status(const StatusSource& source, HostStatus* out) {
    *out = HostStatus();
    out->now = epoch_now();
    out->source = source;
    out->watchdog_pid_file = source.run_dir + "/vemo_watchdog.pid";
    out->watchdog = probe_pid_file(out->watchdog_pid_file);
    if (out->watchdog.held_state == STATE_RUNNING) {
        out->watchdog_process = read_process(out->watchdog.holder);
        out->watchdog_process.exe = read_exe(out->watchdog.holder);
        out->watchdog_verified = base_name(out->watchdog_process.exe) == "vemo-watchdog";
    }
    out->lookup = lookup_context(out->watchdog_verified ? out->watchdog.holder : 0);

    std::map<std::string, Resolution> cache;
    out->monitor.line = 0;
    out->monitor.enabled = true;
    out->monitor.program = source.bin_dir + "/vemo-monitor";
    out->monitor.pid_file = source.run_dir + "/vemo_monitor.pid";
    fill_entry(&out->monitor, out->lookup, &cache);
    out->monitor_state = judge_monitor_state(source.run_dir + "/state.log", out->now);

    bool list_ok = read_list(source.list_file, out);
    int err = errno;
    for (EntryStatus& e : out->entries)
        fill_entry(&e, out->lookup, &cache);
    if (!list_ok) errno = err;
    return list_ok;
}

bool entry_as_wanted(const EntryStatus& entry) {
    if (entry.enabled) return entry.state == STATE_RUNNING || entry.state == STATE_LOCKED_UNKNOWN;
    return entry.state == STATE_STOPPED;
}

bool watchdog_taken_as_running(const HostStatus& status) {
    return status.watchdog.held_state == STATE_LOCKED_UNKNOWN ||
           (status.watchdog.held_state == STATE_RUNNING && status.watchdog_verified);
}

int status_exit_code(const HostStatus& status) {
    if (!status.list_read || status.watchdog.held_state == STATE_ERROR) return 4;
    if (!watchdog_taken_as_running(status)) return 3;
    if (status.monitor_selected && !entry_as_wanted(status.monitor)) return 3;
    return std::all_of(status.entries.begin(), status.entries.end(), entry_as_wanted) ? 0 : 3;
}

bool select_entries(HostStatus* status, const std::vector<std::string>& selectors,
                    std::string* unmatched) {
    if (selectors.empty()) return true;
    std::vector<bool> keep(status->entries.size(), false);
    bool monitor = false;
    for (const std::string& sel : selectors) {
        bool digits = !sel.empty() && sel.find_first_not_of("0123456789") == std::string::npos;
        auto matches = [&](const EntryStatus& e) {
            if (digits) return sel.size() < 10 && strtol(sel.c_str(), nullptr, 10) == e.line;
            return sel == e.pid_file || sel == e.program || sel == base_name(e.program) ||
                   (e.resolved && sel == e.resolved_path) ||
                   (e.lockrun.is_lockrun && !e.lockrun.wraps.empty() &&
                    (sel == e.lockrun.wraps || sel == base_name(e.lockrun.wraps)));
        };
        bool any = false;
        if (matches(status->monitor)) {
            monitor = true;
            any = true;
        }
        for (size_t i = 0; i < status->entries.size(); ++i) {
            if (matches(status->entries[i])) {
                keep[i] = true;
                any = true;
            }
        }
        if (!any) {
            *unmatched = sel;
            return false;
        }
    }
    std::vector<EntryStatus> kept;
    for (size_t i = 0; i < status->entries.size(); ++i) {
        if (keep[i]) kept.push_back(std::move(status->entries[i]));
    }
    status->entries = std::move(kept);
    status->monitor_selected = monitor;
    return true;
}

// ---------------------------------------------------------------- renderers

namespace {

std::string duration(double seconds) {
    long s = seconds < 0 ? 0 : static_cast<long>(seconds);
    char buf[48];
    if (s < 60) {
        snprintf(buf, sizeof buf, "%lds", s);
    } else if (s < 3600) {
        snprintf(buf, sizeof buf, "%ldm %lds", s / 60, s % 60);
    } else if (s < 86400) {
        snprintf(buf, sizeof buf, "%ldh %ldm", s / 3600, s % 3600 / 60);
    } else {
        snprintf(buf, sizeof buf, "%ldd %ldh", s / 86400, s % 86400 / 3600);
    }
    return buf;
}

const char* state_colour(EntryState state) {
    switch (state) {
        case STATE_RUNNING:
            return "\033[32m";
        case STATE_DOWN:
        case STATE_ERROR:
            return "\033[31m";
        case STATE_STOPPING:
        case STATE_LOCKED_UNKNOWN:
            return "\033[33m";
        case STATE_STOPPED:
            return "\033[2m";
    }
    return "";
}

std::string state_text(EntryState state) {
    return state == STATE_LOCKED_UNKNOWN ? "locked, holder unknown" : state_name(state);
}

std::string pad(const std::string& s, size_t width) {
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

// The notes printed under an entry's row: what its state alone does not tell.
std::vector<std::string> entry_notes(const EntryStatus& e, double now) {
    std::vector<std::string> notes;
    if (e.state == STATE_ERROR) notes.push_back("pid file: " + e.probe.error);
    if ((e.state == STATE_DOWN || e.state == STATE_STOPPED) && !e.probe.missing) {
        std::string pid = e.probe.pid_text.empty() ? "no pid written" : "pid " + e.probe.pid_text;
        notes.push_back("last started " + duration(now - e.probe.written_at) + " ago, " + pid +
                        ", not running");
    }
    if ((e.state == STATE_DOWN || e.state == STATE_STOPPED) && e.probe.missing)
        notes.push_back("no pid file yet");
    if (!e.resolved) notes.push_back("program not found: " + e.resolve_error);
    const LockrunStatus& lr = e.lockrun;
    if (lr.is_lockrun) {
        std::string text =
            lr.wraps.empty() ? "vemo-lockrun without a program" : "wraps " + printable(lr.wraps);
        if (lr.state_read) {
            if (lr.child_pid > 0) {
                text += "; program pid " + std::to_string(lr.child_pid) + ", up " +
                        duration(now - lr.child_started_at);
            } else {
                text += "; program not running";
            }
            text += "; " + std::to_string(lr.restarts) + " restarts; last exit: " + lr.last_exit;
            if (lr.last_exit_at > 0) text += " " + duration(now - lr.last_exit_at) + " ago";
        } else if (!lr.state_error.empty()) {
            text += "; restart state unreadable: " + lr.state_error;
        }
        notes.push_back(text);
    }
    return notes;
}

std::string watchdog_line(const HostStatus& s) {
    const LockProbe& w = s.watchdog;
    if (w.held_state == STATE_ERROR) return "unknown: " + s.watchdog_pid_file + ": " + w.error;
    if (w.held_state == STATE_LOCKED_UNKNOWN)
        return "running, pid unknown (lock held from elsewhere)";
    if (w.held_state == STATE_DOWN) return "not running";
    if (!s.watchdog_verified) {
        return "not running: its lock is held by pid " + std::to_string(w.holder) + " (" +
               (s.watchdog_process.exe.empty() ? std::string("executable unreadable")
                                               : printable(s.watchdog_process.exe)) +
               "), which is not vemo-watchdog";
    }
    std::string text = "running, pid " + std::to_string(w.holder);
    if (s.watchdog_process.known) text += ", up " + duration(s.now - s.watchdog_process.started_at);
    return text;
}

std::string monitor_line(const HostStatus& s) {
    std::string text = state_text(s.monitor.state);
    if (s.monitor.state == STATE_RUNNING) {
        text += ", pid " + std::to_string(s.monitor.probe.holder);
        if (s.monitor.process.known)
            text += ", up " + duration(s.now - s.monitor.process.started_at);
    }
    const MonitorState& ms = s.monitor_state;
    if (!ms.read) {
        text += "; state file " + ms.path + ": " + ms.error;
    } else if (!ms.has_request) {
        text += "; no request recorded";
    } else {
        text += "; last request " + duration(static_cast<double>(ms.age_seconds)) + " ago (" +
                (ms.fresh ? "fresh" : "stale") + ")";
    }
    return text;
}

}  // namespace

namespace {

// The monitor (unless selectors left it out), then the list's entries in file order.
std::vector<const EntryStatus*> shown_entries(const HostStatus& s) {
    std::vector<const EntryStatus*> rows;
    if (s.monitor_selected) rows.push_back(&s.monitor);
    std::transform(s.entries.begin(), s.entries.end(), std::back_inserter(rows),
                   [](const EntryStatus& e) { return &e; });
    return rows;
}

}  // namespace

std::string render_table(const HostStatus& s, bool colour) {
    const char* reset = colour ? "\033[0m" : "";
    std::string out;
    out += "watchdog  " + watchdog_line(s) + "\n";
    out += "monitor   " + monitor_line(s) + "\n";
    out += "list      " + printable(s.source.list_file);
    if (!s.list_read) {
        out += ": " + s.list_error + "\n";
    } else {
        out += ": " + std::to_string(s.entries.size()) +
               (s.entries.size() == 1 ? " entry" : " entries");
        if (!s.invalid_lines.empty()) {
            out += ", invalid lines:";
            for (int n : s.invalid_lines)
                out += " " + std::to_string(n);
        }
        out += "\n";
    }
    out += "lookup    ";
    out += s.lookup.from_watchdog
               ? "the watchdog's PATH and working directory (" + printable(s.lookup.cwd) + ")"
               : "vemoctl's own PATH and working directory: " + s.lookup.note;
    out += "\n\n";

    std::vector<const EntryStatus*> rows = shown_entries(s);
    const char* heads[] = {"LINE",   "ENABLED", "STATE",    "PID",
                           "UPTIME", "PROGRAM", "PID FILE", "RESOLVES TO"};
    std::vector<std::vector<std::string>> cells;
    for (const EntryStatus* e : rows) {
        bool live = e->state == STATE_RUNNING || e->state == STATE_STOPPING;
        cells.push_back({std::to_string(e->line), e->enabled ? "yes" : "no", state_text(e->state),
                         live ? std::to_string(e->probe.holder) : "-",
                         live && e->process.known ? duration(s.now - e->process.started_at) : "-",
                         printable(e->program), printable(e->pid_file),
                         e->resolved ? e->resolved_path : "(not found)"});
    }
    size_t width[8];
    for (size_t c = 0; c < 8; ++c) {
        width[c] = strlen(heads[c]);
        for (const auto& row : cells)
            width[c] = std::max(width[c], row[c].size());
    }
    for (size_t c = 0; c < 8; ++c)
        out += c + 1 < 8 ? pad(heads[c], width[c] + 2) : std::string(heads[c]) + "\n";
    for (size_t r = 0; r < rows.size(); ++r) {
        for (size_t c = 0; c < 8; ++c) {
            if (c + 1 == 8) {
                out += cells[r][c] + "\n";
            } else if (c == 2 && colour) {
                out += state_colour(rows[r]->state) + cells[r][c] + reset +
                       std::string(width[c] + 2 - cells[r][c].size(), ' ');
            } else {
                out += pad(cells[r][c], width[c] + 2);
            }
        }
        for (const std::string& note : entry_notes(*rows[r], s.now))
            out += "      " + note + "\n";
    }
    return out;
}

namespace {

// Length of the well-formed UTF-8 sequence at s[i], 0 when it is not one.
size_t utf8_length(const std::string& s, size_t i) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t n = c >= 0xf0 && c <= 0xf4  ? 4
               : c >= 0xe0 && c < 0xf0 ? 3
               : c >= 0xc2 && c < 0xe0 ? 2
                                       : 0;
    if (n == 0 || i + n > s.size()) return 0;
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    auto second = static_cast<unsigned char>(s[i + 1]);
    if ((c == 0xe0 && second < 0xa0) || (c == 0xed && second >= 0xa0) ||
        (c == 0xf0 && second < 0x90) || (c == 0xf4 && second >= 0x90))
        return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80) return 0;
    }
    return n;
}

// List fields are bytes: a byte that is not UTF-8 becomes U+FFFD, so the document stays JSON.
std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += s[i];
        } else if (c < 0x20 || c == 0x7f) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else if (c < 0x80) {
            out += s[i];
        } else if (size_t n = utf8_length(s, i)) {
            out.append(s, i, n);
            i += n - 1;
        } else {
            out += "\\ufffd";
        }
    }
    return out + "\"";
}

std::string json_number(double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.3f", std::isfinite(v) ? v : 0.0);
    return buf;
}

std::string json_text_or_null(const std::string& s) {
    return s.empty() ? "null" : json_string(s);
}

std::string json_entry(const EntryStatus& e, double now) {
    bool live = e.state == STATE_RUNNING || e.state == STATE_STOPPING;
    std::string o = "{\"line\":" + std::to_string(e.line);
    o += ",\"enabled\":" + std::string(e.enabled ? "true" : "false");
    o += ",\"program\":" + json_string(e.program);
    o += ",\"pid_file\":" + json_string(e.pid_file);
    o += ",\"args\":[";
    for (size_t i = 0; i < e.args.size(); ++i)
        o += (i != 0 ? "," : "") + json_string(e.args[i]);
    o += "],\"state\":" + json_string(state_name(e.state));
    o += ",\"wanted\":" + json_string(e.enabled ? "running" : "stopped");
    o += ",\"as_wanted\":" + std::string(entry_as_wanted(e) ? "true" : "false");
    o += ",\"pid\":" + (live ? std::to_string(e.probe.holder) : std::string("null"));
    o +=
        ",\"started_at\":" + (live && e.process.known ? json_number(e.process.started_at) : "null");
    o += ",\"uptime_seconds\":" +
         (live && e.process.known ? json_number(now - e.process.started_at) : "null");
    o += ",\"error\":" + json_text_or_null(e.state == STATE_ERROR ? e.probe.error : "");
    if (!live && e.state != STATE_ERROR && !e.probe.missing) {
        o += ",\"last_holder\":{\"pid_text\":" + json_string(e.probe.pid_text) +
             ",\"written_at\":" + json_number(e.probe.written_at) +
             ",\"age_seconds\":" + json_number(now - e.probe.written_at) + "}";
    } else {
        o += ",\"last_holder\":null";
    }
    o += ",\"resolves\":{\"ok\":" + std::string(e.resolved ? "true" : "false") +
         ",\"path\":" + json_text_or_null(e.resolved_path) +
         ",\"error\":" + json_text_or_null(e.resolve_error) + "}";
    const LockrunStatus& lr = e.lockrun;
    if (lr.is_lockrun) {
        o += ",\"lockrun\":{\"pid_file\":" + json_text_or_null(lr.pid_file);
        o += ",\"wraps\":" + json_text_or_null(lr.wraps);
        o += ",\"restart\":" + std::string(lr.restart ? "true" : "false");
        o += ",\"state_error\":" + json_text_or_null(lr.state_error);
        if (lr.state_read) {
            o += ",\"state\":{\"program\":" + json_string(lr.program);
            o +=
                ",\"wrapper_pid\":" + (live ? std::to_string(e.probe.holder) : std::string("null"));
            o += ",\"child_pid\":" +
                 (lr.child_pid > 0 ? std::to_string(lr.child_pid) : std::string("null"));
            o += ",\"child_started_at\":" +
                 (lr.child_pid > 0 ? json_number(lr.child_started_at) : std::string("null"));
            o += ",\"restarts\":" + std::to_string(lr.restarts);
            o += ",\"last_exit\":" + json_string(lr.last_exit);
            o += ",\"last_exit_code\":" +
                 (lr.last_exit_code >= 0 ? std::to_string(lr.last_exit_code) : std::string("null"));
            o += ",\"last_exit_at\":" +
                 (lr.last_exit_at > 0 ? json_number(lr.last_exit_at) : "null");
            o += ",\"last_run_seconds\":" + json_number(lr.last_run_seconds) + "}";
        } else {
            o += ",\"state\":null";
        }
        o += "}";
    } else {
        o += ",\"lockrun\":null";
    }
    return o + "}";
}

}  // namespace

std::string render_json(const HostStatus& s) {
    std::string o = "{\"schema\":1,\"time\":" + json_number(s.now);
    o += ",\"exit_status\":" + std::to_string(status_exit_code(s));
    const LockProbe& w = s.watchdog;
    bool up = w.held_state == STATE_RUNNING || w.held_state == STATE_LOCKED_UNKNOWN;
    o += ",\"watchdog\":{\"pid_file\":" + json_string(s.watchdog_pid_file);
    o += ",\"running\":" + std::string(watchdog_taken_as_running(s) ? "true" : "false");
    o += ",\"state\":" + json_string(w.held_state == STATE_DOWN ? "not running"
                                     : w.held_state == STATE_RUNNING && !s.watchdog_verified
                                         ? "foreign"
                                         : state_name(w.held_state));
    o += ",\"pid\":" +
         (w.held_state == STATE_RUNNING ? std::to_string(w.holder) : std::string("null"));
    o += ",\"executable\":" + json_text_or_null(s.watchdog_process.exe);
    o += ",\"verified\":" + std::string(s.watchdog_verified ? "true" : "false");
    o += ",\"started_at\":" +
         (up && s.watchdog_process.known ? json_number(s.watchdog_process.started_at) : "null");
    o += ",\"uptime_seconds\":" + (up && s.watchdog_process.known
                                       ? json_number(s.now - s.watchdog_process.started_at)
                                       : "null");
    o += ",\"error\":" + json_text_or_null(w.error) + "}";

    const MonitorState& ms = s.monitor_state;
    std::string monitor = json_entry(s.monitor, s.now);
    monitor.pop_back();
    monitor += ",\"state_file\":{\"path\":" + json_string(ms.path);
    monitor += ",\"readable\":" + std::string(ms.read ? "true" : "false");
    monitor += ",\"error\":" + json_text_or_null(ms.error);
    monitor +=
        ",\"last_request_at\":" + (ms.has_request ? std::to_string(ms.last_request_at) : "null");
    monitor += ",\"age_seconds\":" + (ms.has_request ? std::to_string(ms.age_seconds) : "null");
    monitor += ",\"fresh\":" + std::string(ms.fresh ? "true" : "false") + "}}";
    o += ",\"monitor\":" + (s.monitor_selected ? monitor : std::string("null"));

    o += ",\"list\":{\"path\":" + json_string(s.source.list_file);
    o += ",\"readable\":" + std::string(s.list_read ? "true" : "false");
    o += ",\"error\":" + json_text_or_null(s.list_error);
    o += ",\"invalid_lines\":[";
    for (size_t i = 0; i < s.invalid_lines.size(); ++i)
        o += (i != 0 ? "," : "") + std::to_string(s.invalid_lines[i]);
    o += "]}";
    o += ",\"lookup\":{\"source\":" + json_string(s.lookup.from_watchdog ? "watchdog" : "vemoctl");
    o += ",\"path\":" + (s.lookup.path_set ? json_string(s.lookup.path_env) : std::string("null"));
    o += ",\"cwd\":" + json_string(s.lookup.cwd);
    o += ",\"note\":" + json_text_or_null(s.lookup.note) + "}";
    o += ",\"entries\":[";
    for (size_t i = 0; i < s.entries.size(); ++i)
        o += (i != 0 ? ",\n" : "\n") + json_entry(s.entries[i], s.now);
    o += "]}\n";
    return o;
}

namespace {

// The exposition format's label escapes: backslash, double quote and line feed.
std::string label_value(const std::string& v) {
    std::string out;
    for (char c : v) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string labels(const EntryStatus& e) {
    std::string l = "{line=\"" + std::to_string(e.line) + "\",program=\"" + label_value(e.program) +
                    "\",pid_file=\"" + label_value(e.pid_file) + "\"";
    if (e.lockrun.is_lockrun) l += ",wraps=\"" + label_value(e.lockrun.wraps) + "\"";
    return l + "}";
}

std::string prom_number(double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.3f", std::isfinite(v) ? v : 0.0);
    return buf;
}

void family(std::string* out, const char* name, const char* type, const char* help) {
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

std::string render_prometheus(const HostStatus& s) {
    std::vector<const EntryStatus*> rows = shown_entries(s);
    std::string o;
    family(&o, "vemo_watchdog_up", "gauge", "Whether vemo-watchdog holds its own pid-file lock.");
    o += "vemo_watchdog_up " + std::string(watchdog_taken_as_running(s) ? "1" : "0") + "\n";
    family(&o, "vemo_program_up", "gauge", "Whether a supervised program holds its pid-file lock.");
    for (const EntryStatus* e : rows) {
        bool up = e->state == STATE_RUNNING || e->state == STATE_STOPPING ||
                  e->state == STATE_LOCKED_UNKNOWN;
        o += "vemo_program_up" + labels(*e) + (up ? " 1\n" : " 0\n");
    }
    family(&o, "vemo_program_enabled", "gauge", "Whether the watch-list entry is enabled.");
    for (const EntryStatus* e : rows)
        o += "vemo_program_enabled" + labels(*e) + (e->enabled ? " 1\n" : " 0\n");
    family(&o, "vemo_program_start_time_seconds", "gauge",
           "Start time of the running program since the Unix epoch, in seconds.");
    for (const EntryStatus* e : rows) {
        bool live = e->state == STATE_RUNNING || e->state == STATE_STOPPING;
        if (live && e->process.known)
            o += "vemo_program_start_time_seconds" + labels(*e) + " " +
                 prom_number(e->process.started_at) + "\n";
    }
    family(&o, "vemo_program_restarts_total", "counter",
           "Restarts of the program wrapped by vemo-lockrun --restart.");
    for (const EntryStatus* e : rows) {
        if (e->lockrun.state_read)
            o += "vemo_program_restarts_total" + labels(*e) + " " +
                 std::to_string(e->lockrun.restarts) + "\n";
    }
    family(&o, "vemo_program_last_exit_code", "gauge",
           "Exit status of the wrapped program's last run (128+signal when killed).");
    for (const EntryStatus* e : rows) {
        if (e->lockrun.state_read && e->lockrun.last_exit_code >= 0)
            o += "vemo_program_last_exit_code" + labels(*e) + " " +
                 std::to_string(e->lockrun.last_exit_code) + "\n";
    }
    family(&o, "vemo_watchlist_invalid_lines", "gauge",
           "Watch-list lines the watchdog skips as invalid.");
    o += "vemo_watchlist_invalid_lines " + std::to_string(s.invalid_lines.size()) + "\n";
    family(&o, "vemo_watchlist_readable", "gauge", "Whether the watch list could be read.");
    o += "vemo_watchlist_readable " + std::string(s.list_read ? "1" : "0") + "\n";
    return o;
}
