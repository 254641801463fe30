// Collection: the watch list read as the daemon reads it, every entry probed once, and the
// selectors that narrow the answer.
#include "hoststatus.h"

#include "clock.h"
#include "fileio.h"
#include "kept_probe.h"
#include "text.h"
#include "watchlist.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <utility>

namespace {

// A program lookup; entries naming the same program share one.
struct Resolution {
    bool ok = false;
    std::string path;
    std::string error;
};

using ResolutionCache = std::map<std::string, Resolution>;

// Kept from pass to pass by a reader that makes many (StatusSource::own_lookup).
StartTimes g_start_times;

std::string absolute(const std::string& path, const std::string& cwd) {
    return path[0] == '/' ? path : cwd + "/" + path;
}

// The holder's start time while a named process holds the lock.
void read_holder(EntryStatus* e, const LookupContext& ctx) {
    e->state = entry_state(e->enabled, e->probe.lock);
    if (e->probe.lock != LOCK_HELD) return;
    e->process = ctx.inherited ? read_process_cached(e->probe.holder, &g_start_times)
                               : read_process(e->probe.holder);
}

// A reader making many passes keeps what it can between them (kept_probe.h).
bool keeps_probes(const LookupContext& ctx, bool guarded) {
    return ctx.inherited && guarded;
}

// The lock, and the holder's start time; what was kept of the holder, if anything.
const HolderView* probe_entry_lock(EntryStatus* e, const LookupContext& ctx, bool guarded) {
    std::string path = absolute(e->pid_file, ctx.cwd);
    if (keeps_probes(ctx, guarded)) {
        const HolderView* kept = probe_kept(path, e);
        if (kept != nullptr || e->probe.lock != LOCK_HELD) return kept;
    } else {
        e->probe = probe_pid_file(path, guarded);
    }
    read_holder(e, ctx);
    return nullptr;
}

Resolution look_up(const std::string& program, const LookupContext& ctx) {
    Resolution r;
    std::string found;
    r.ok = exec_lookup(program.c_str(), ctx.path_set ? ctx.path_env.c_str() : nullptr,
                       ctx.cwd.c_str(), &found);
    if (r.ok) {
        r.path = printable(found);
    } else {
        r.error = errno_text(errno);
    }
    return r;
}

// Where the daemon would find the entry's program.
void resolve_entry_program(EntryStatus* e, const LookupContext& ctx, ResolutionCache* cache) {
    auto hit = cache->find(e->program);
    if (hit == cache->end()) hit = cache->emplace(e->program, look_up(e->program, ctx)).first;
    e->resolved = hit->second.ok;
    e->resolved_path = hit->second.path;
    e->resolve_error = hit->second.error;
}

// A vemo-lockrun line's arguments, and its wrapper's record when it names a pid file.
// A record is the wrapper's word only while it holds the lock: one SIGKILLed leaves it behind.
void read_entry_lockrun(EntryStatus* e, const LookupContext& ctx) {
    if (!is_lockrun_program(e->program)) return;
    e->lockrun = parse_lockrun_args(e->args);
    if (!e->lockrun.pid_file.empty()) read_lockrun_state(ctx.cwd, &e->lockrun);
    e->lockrun.wrapper_ended =
        e->lockrun.state_read && e->probe.lock != LOCK_HELD && e->probe.lock != LOCK_HELD_UNNAMED;
}

// What follows the probe: the program looked up, a wrapper's record, the command line.
void examine_rest(EntryStatus* e, const LookupContext& ctx, ResolutionCache* cache,
                  const HolderView* holder) {
    resolve_entry_program(e, ctx, cache);
    read_entry_lockrun(e, ctx);
    if (holder != nullptr) {
        judge_command_line(e, *holder);
    } else {
        compare_command_line(e);
    }
}

void examine_entry(EntryStatus* e, const LookupContext& ctx, bool guarded, ResolutionCache* cache) {
    examine_rest(e, ctx, cache, probe_entry_lock(e, ctx, guarded));
}

// Every list entry; a reader keeping its probes looks at all of them first.
void examine_entries(HostStatus* out, ResolutionCache* cache) {
    const LookupContext& ctx = out->lookup;
    if (!keeps_probes(ctx, out->source.guarded_probe)) {
        for (EntryStatus& e : out->entries)
            examine_entry(&e, ctx, out->source.guarded_probe, cache);
        return;
    }
    std::vector<std::string> paths(out->entries.size());
    std::transform(out->entries.begin(), out->entries.end(), paths.begin(),
                   [&ctx](const EntryStatus& e) { return absolute(e.pid_file, ctx.cwd); });
    std::vector<const HolderView*> holders;
    probe_all_kept(paths, &out->entries, &holders);
    for (size_t i = 0; i < out->entries.size(); ++i) {
        EntryStatus* e = &out->entries[i];
        if (holders[i] == nullptr) read_holder(e, ctx);
        examine_rest(e, ctx, cache, holders[i]);
    }
    kept_pass_done();
}

// The list as a stream; nullptr with out->list_error and errno set. A directory is refused
// like any other file that is not a regular one (errno EINVAL).
FILE* open_list(const std::string& file, HostStatus* out) {
    int fd = open_regular_file(file.c_str());
    if (fd < 0 && (errno == EISDIR || errno == EINVAL)) {
        out->list_error = "not a regular file";
        errno = EINVAL;
        return nullptr;
    }
    FILE* f = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (f != nullptr) return f;
    int err = errno;
    if (fd >= 0) close(fd);
    out->list_error = errno_text(err);
    errno = err;
    return nullptr;
}

EntryStatus entry_of(const WatchLine& line) {
    EntryStatus e;
    e.line = line.number;
    e.enabled = line.enabled;
    e.pid_file = line.fields[1];
    e.program = line.fields[2];
    for (size_t i = kMinFields; i < line.fields.size() && e.args.size() < kMaxArgs; ++i)
        e.args.push_back(line.fields[i]);
    return e;
}

// The list as a reader making many passes last read it, taken again while stat(2) finds the
// same file unchanged: device, inode, size, modification and change times. The file's times
// come from the kernel's coarse clock, so two writes within one tick may leave them equal: a
// list is kept only when its change time is older than the moment its reading began, so any
// write after that moment changes it.
struct ListSeen {
    bool kept = false;
    struct stat st;
    std::vector<EntryStatus> entries;
    std::vector<int> invalid_lines;
};

ListSeen g_list;

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_file_unchanged(const struct stat& a, const struct stat& b) {
    return S_ISREG(a.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
           a.st_size == b.st_size && same_time(a.st_mtim, b.st_mtim) &&
           same_time(a.st_ctim, b.st_ctim);
}

bool before(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The kept list, when the file at path is still the one it was read from.
bool take_kept_list(const std::string& file, HostStatus* out) {
    struct stat st;
    if (!g_list.kept || stat(file.c_str(), &st) != 0 || !same_file_unchanged(st, g_list.st))
        return false;
    out->entries = g_list.entries;
    out->invalid_lines = g_list.invalid_lines;
    out->list_read = true;
    return true;
}

// Keeps what was just read from f, if its change time is before began.
void keep_list(FILE* f, const struct timespec& began, const HostStatus& read) {
    g_list.kept = fstat(fileno(f), &g_list.st) == 0 && before(g_list.st.st_ctim, began);
    if (!g_list.kept) return;
    g_list.entries = read.entries;
    g_list.invalid_lines = read.invalid_lines;
}

// Reads the entries and the invalid lines' numbers; false with errno when the list cannot be
// read (out->list_error says why). keep: a reader making many passes keeps what it read.
bool read_list(const std::string& file, HostStatus* out, bool keep) {
    if (keep && take_kept_list(file, out)) return true;
    struct timespec began = {0, 0};
    if (keep && clock_gettime(CLOCK_REALTIME_COARSE, &began) != 0) keep = false;
    g_list = ListSeen();
    FILE* f = open_list(file, out);
    if (f == nullptr) return false;
    // A long list in a few reads, and its entries without growing the vector step by step.
    (void)setvbuf(f, nullptr, _IOFBF, 1 << 16);
    static size_t last_count = 0;
    out->entries.reserve(last_count);
    WatchLine line;
    while (read_watch_line(f, &line)) {
        if (line.kind == LINE_ENTRY) {
            out->entries.push_back(entry_of(line));
        } else if (line.kind != LINE_COMMENT) {
            out->invalid_lines.push_back(line.number);
        }
    }
    bool failed = ferror(f) != 0;
    int err = errno;
    if (keep && !failed) keep_list(f, began, *out);
    fclose(f);
    if (failed) {
        out->list_error = errno_text(err);
        errno = err;
        return false;
    }
    out->list_read = true;
    last_count = out->entries.size();
    return true;
}

// The watchdog's lock, and whether its holder is the watchdog.
void probe_watchdog(HostStatus* out) {
    out->watchdog_pid_file = watchdog_pid_file(out->source.run_dir);
    out->watchdog = probe_pid_file(out->watchdog_pid_file, out->source.guarded_probe);
    if (out->watchdog.lock != LOCK_HELD) return;
    out->watchdog_process = read_process(out->watchdog.holder);
    if (out->source.guarded_probe) {
        // The monitor reads no pid file's text, and another user's executable only with
        // CAP_SYS_PTRACE, which it does not keep: the holder's process name must do.
        out->watchdog_verified =
            holder_is_watchdog(out->watchdog.holder, &out->watchdog_process.exe) ||
            holder_named_watchdog(out->watchdog.holder);
        out->watchdog_identity = out->watchdog_verified ? WATCHDOG_VERIFIED : WATCHDOG_FOREIGN;
        return;
    }
    out->watchdog_identity = judge_watchdog(out->watchdog.holder, out->watchdog_pid_file,
                                            &out->watchdog_process.exe, &out->watchdog_note);
    out->watchdog_verified = out->watchdog_identity == WATCHDOG_VERIFIED;
}

// The monitor, which the daemon keeps without a list line, and its state file.
void examine_monitor(HostStatus* out, ResolutionCache* cache) {
    const StatusSource& source = out->source;
    out->monitor.line = 0;
    out->monitor.enabled = true;
    out->monitor.program = source.bin_dir + "/vemo-monitor";
    out->monitor.pid_file = source.run_dir + "/vemo_monitor.pid";
    examine_entry(&out->monitor, out->lookup, source.guarded_probe, cache);
    out->monitor_state = judge_monitor_state(source.run_dir + "/state.log", out->now);
}

}  // namespace

StatusSource source_from_self(const char* argv0) {
    StatusSource src;
    std::string exe = read_exe(getpid());
    if (exe.empty() && argv0 != nullptr && argv0[0] != '\0') {
        std::string cwd = current_dir();
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
    probe_watchdog(out);
    bool named = out->watchdog.lock == LOCK_HELD && out->watchdog_identity != WATCHDOG_FOREIGN;
    out->lookup = source.own_lookup ? inherited_lookup_context()
                                    : lookup_context(named ? out->watchdog.holder : 0);
    ResolutionCache cache;
    examine_monitor(out, &cache);
    bool list_ok =
        read_list(source.list_file, out, keeps_probes(out->lookup, source.guarded_probe));
    int err = errno;
    examine_entries(out, &cache);
    if (out->lookup.inherited) start_times_pass_done(&g_start_times);
    if (!list_ok) errno = err;
    return list_ok;
}

namespace {

// Whether sel names the entry: by line number, or by pid file, program (path or name), the
// resolved path, or the program a vemo-lockrun line wraps (path, base name or --name).
bool selector_matches(const std::string& sel, const EntryStatus& e) {
    bool digits = !sel.empty() && sel.find_first_not_of("0123456789") == std::string::npos;
    if (digits) return sel.size() < 10 && strtol(sel.c_str(), nullptr, 10) == e.line;
    return sel == e.pid_file || sel == e.program || sel == base_name(e.program) ||
           (e.resolved && sel == e.resolved_path) ||
           (e.lockrun.is_lockrun && !e.lockrun.wraps.empty() &&
            (sel == e.lockrun.wraps || sel == base_name(e.lockrun.wraps) || sel == e.lockrun.name));
}

// Marks what sel names in *keep and *monitor; false when it names nothing.
bool mark_selected(const std::string& sel, const HostStatus& status, std::vector<bool>* keep,
                   bool* monitor) {
    bool any = false;
    if (selector_matches(sel, status.monitor)) {
        *monitor = true;
        any = true;
    }
    for (size_t i = 0; i < status.entries.size(); ++i) {
        if (selector_matches(sel, status.entries[i])) {
            (*keep)[i] = true;
            any = true;
        }
    }
    return any;
}

}  // namespace

bool select_entries(HostStatus* status, const std::vector<std::string>& selectors,
                    std::string* unmatched) {
    if (selectors.empty()) return true;
    std::vector<bool> keep(status->entries.size(), false);
    bool monitor = false;
    auto miss = std::find_if(selectors.begin(), selectors.end(), [&](const std::string& sel) {
        return !mark_selected(sel, *status, &keep, &monitor);
    });
    if (miss != selectors.end()) {
        *unmatched = *miss;
        return false;
    }
    std::vector<EntryStatus> kept;
    for (size_t i = 0; i < status->entries.size(); ++i) {
        if (keep[i]) kept.push_back(std::move(status->entries[i]));
    }
    status->entries = std::move(kept);
    status->monitor_selected = monitor;
    return true;
}
