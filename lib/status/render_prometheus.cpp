// The Prometheus text exposition: one family per figure, one sample per shown entry.
#include "hoststatus.h"
#include "render_common.h"

#include <algorithm>
#include <tuple>

namespace {

// An entry and its labels, written once for all its samples.
struct Row {
    const EntryStatus* e;
    std::string labels;
};
using Rows = std::vector<Row>;

// name="value" with the exposition format's escapes: backslash, double quote and line feed.
void add_label(std::string* out, const char* name, const std::string& v) {
    *out += name;
    *out += "=\"";
    for (char c : v) {
        if (c == '\\') {
            *out += "\\\\";
        } else if (c == '"') {
            *out += "\\\"";
        } else if (c == '\n') {
            *out += "\\n";
        } else {
            *out += c;
        }
    }
    *out += '"';
}

std::string labels(const EntryStatus& e) {
    std::string l = "{line=\"" + std::to_string(e.line) + "\",";
    add_label(&l, "program", e.program);
    add_label(&(l += ','), "pid_file", e.pid_file);
    if (e.lockrun.is_lockrun) {
        add_label(&(l += ','), "wraps", e.lockrun.wraps);
        add_label(&(l += ','), "name", e.lockrun.name);
    }
    return l += '}';
}

void family(std::string* out, const char* name, const char* type, const char* help) {
    *out += "# HELP ";
    *out += name;
    *out += ' ';
    *out += help;
    *out += "\n# TYPE ";
    *out += name;
    *out += ' ';
    *out += type;
    *out += '\n';
}

void sample(std::string* out, const char* name, const Row& r, const std::string& value) {
    *out += name;
    *out += r.labels;
    *out += ' ';
    *out += value;
    *out += '\n';
}

// Any holder counts as up, the one the kernel cannot name included.
bool lock_held(const EntryStatus& e) {
    return entry_live(e) || e.state == STATE_LOCKED_HOLDER_UNKNOWN;
}

void add_program_up(std::string* o, const Rows& rows) {
    family(o, "vemo_program_up", "gauge", "Whether a supervised program holds its pid-file lock.");
    for (const Row& r : rows)
        sample(o, "vemo_program_up", r, lock_held(*r.e) ? "1" : "0");
}

void add_program_enabled(std::string* o, const Rows& rows) {
    family(o, "vemo_program_enabled", "gauge", "Whether the watch-list entry is enabled.");
    for (const Row& r : rows)
        sample(o, "vemo_program_enabled", r, r.e->enabled ? "1" : "0");
}

void add_start_times(std::string* o, const Rows& rows) {
    family(o, "vemo_program_start_time_seconds", "gauge",
           "Start time of the running program since the Unix epoch, in seconds.");
    for (const Row& r : rows) {
        if (entry_live(*r.e) && r.e->process.known)
            sample(o, "vemo_program_start_time_seconds", r, fixed_number(r.e->process.started_at));
    }
}

// Known only while it runs and its command line can be read.
void add_changed(std::string* o, const Rows& rows) {
    family(o, "vemo_program_changed", "gauge",
           "Whether the running program was started from an older form of its line.");
    for (const Row& r : rows) {
        if (r.e->cmdline != CMDLINE_UNKNOWN)
            sample(o, "vemo_program_changed", r, r.e->cmdline == CMDLINE_CHANGED ? "1" : "0");
    }
}

void add_lockrun_figures(std::string* o, const Rows& rows) {
    family(o, "vemo_program_restarts_total", "counter",
           "Restarts of the program wrapped by vemo-lockrun --restart.");
    for (const Row& r : rows) {
        if (r.e->lockrun.state_read)
            sample(o, "vemo_program_restarts_total", r, std::to_string(r.e->lockrun.restarts));
    }
    family(o, "vemo_program_last_exit_code", "gauge",
           "Exit status of the wrapped program's last run (128+signal when killed).");
    for (const Row& r : rows) {
        if (r.e->lockrun.state_read && r.e->lockrun.last_exit_code >= 0)
            sample(o, "vemo_program_last_exit_code", r,
                   std::to_string(r.e->lockrun.last_exit_code));
    }
    family(
        o, "vemo_program_log_dropped_total", "counter",
        "Output lines of the program wrapped by vemo-lockrun --log the system log did not take.");
    for (const Row& r : rows) {
        if (r.e->lockrun.state_read && r.e->lockrun.dropped_lines >= 0)
            sample(o, "vemo_program_log_dropped_total", r,
                   std::to_string(r.e->lockrun.dropped_lines));
    }
    family(o, "vemo_program_healthy", "gauge",
           "Whether the wrapped program passes its health checks (0 while failing or unchecked).");
    for (const Row& r : rows) {
        if (r.e->lockrun.state_read && !r.e->lockrun.health.empty())
            sample(o, "vemo_program_healthy", r, r.e->lockrun.health == "healthy" ? "1" : "0");
    }
    family(o, "vemo_program_check_failures_total", "counter",
           "Failed health checks of the wrapped program.");
    for (const Row& r : rows) {
        if (r.e->lockrun.state_read && !r.e->lockrun.health.empty())
            sample(o, "vemo_program_check_failures_total", r,
                   std::to_string(r.e->lockrun.check_failures_total));
    }
}

}  // namespace

std::string render_prometheus(const HostStatus& s) {
    Rows rows;
    size_t size = 1024;
    for (const EntryStatus* e : shown_entries(s)) {
        rows.push_back({e, labels(*e)});
        size += 6 * (rows.back().labels.size() + 40);
    }
    // At most six samples an entry: one allocation for the text, not a dozen as it grows.
    std::string o;
    o.reserve(size);
    family(&o, "vemo_watchdog_up", "gauge", "Whether vemo-watchdog holds its own pid-file lock.");
    o += "vemo_watchdog_up " + std::string(watchdog_taken_as_running(s) ? "1" : "0") + "\n";
    add_program_up(&o, rows);
    add_program_enabled(&o, rows);
    add_start_times(&o, rows);
    add_changed(&o, rows);
    add_lockrun_figures(&o, rows);
    family(&o, "vemo_watchlist_invalid_lines", "gauge",
           "Watch-list lines the watchdog skips as invalid.");
    o += "vemo_watchlist_invalid_lines " + std::to_string(s.invalid_lines.size()) + "\n";
    family(&o, "vemo_watchlist_readable", "gauge", "Whether the watch list could be read.");
    o += "vemo_watchlist_readable " + std::string(s.list_read ? "1" : "0") + "\n";
    return o;
}

namespace {

// Every field of an entry render_prometheus reads, through labels() and the add_ functions.
auto prometheus_facts(const EntryStatus& e) {
    const LockrunStatus& l = e.lockrun;
    return std::tie(e.line, e.program, e.pid_file, e.enabled, e.state, e.process.known,
                    e.process.started_at, e.cmdline, l.is_lockrun, l.wraps, l.name, l.state_read,
                    l.restarts, l.last_exit_code, l.dropped_lines, l.health,
                    l.check_failures_total);
}

bool same_entry_facts(const EntryStatus& a, const EntryStatus& b) {
    return prometheus_facts(a) == prometheus_facts(b);
}

}  // namespace

bool same_prometheus_facts(const HostStatus& a, const HostStatus& b) {
    return watchdog_taken_as_running(a) == watchdog_taken_as_running(b) &&
           a.monitor_selected == b.monitor_selected && a.list_read == b.list_read &&
           a.invalid_lines.size() == b.invalid_lines.size() &&
           same_entry_facts(a.monitor, b.monitor) && a.entries.size() == b.entries.size() &&
           std::equal(a.entries.begin(), a.entries.end(), b.entries.begin(), same_entry_facts);
}
