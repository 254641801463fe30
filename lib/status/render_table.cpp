// The table for people: four summary lines, then one row per entry with notes under it.
#include "hoststatus.h"
#include "render_common.h"
#include "text.h"

#include <algorithm>
#include <cstring>

namespace {

const size_t kColumns = 8;
const char* const kHeads[kColumns] = {"LINE",   "ENABLED", "STATE",    "PID",
                                      "UPTIME", "PROGRAM", "PID FILE", "RESOLVES TO"};
const size_t kStateColumn = 2;

const char* state_colour(EntryState state) {
    switch (state) {
        case STATE_RUNNING:
            return "\033[32m";
        case STATE_DOWN:
        case STATE_ERROR:
            return "\033[31m";
        case STATE_STOPPING:
        case STATE_LOCKED_HOLDER_UNKNOWN:
            return "\033[33m";
        case STATE_STOPPED:
            return "\033[2m";
    }
    return "";
}

// The table's words for a state: state_name's, but the holder-unknown one says so.
std::string state_text(EntryState state) {
    return state == STATE_LOCKED_HOLDER_UNKNOWN ? "locked, holder unknown" : state_name(state);
}

// An entry's state, and whether it runs an older command line than its line gives.
std::string entry_state_text(const EntryStatus& e) {
    if (e.state == STATE_RUNNING && e.cmdline == CMDLINE_CHANGED)
        return "running, old command line: restart to apply";
    return state_text(e.state);
}

std::string pad(const std::string& s, size_t width) {
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

// The health checks' state: "healthy", "failing (k of N)" or "not checked", with the last
// failure's text; nothing when the line has no check.
std::string health_note(const LockrunStatus& lr) {
    if (lr.health.empty()) return "";
    std::string text = "; health: ";
    if (lr.health == "healthy") {
        text += "healthy";
    } else if (lr.health == "failing") {
        text += "failing (" + std::to_string(lr.check_failures) + " of " +
                std::to_string(lr.check_fails) + ")";
    } else {
        text += "not checked";
    }
    if (lr.check_failures_total > 0 && !lr.last_check_error.empty())
        text += "; last check failure: " + lr.last_check_error;
    return text;
}

std::string lockrun_note(const LockrunStatus& lr, double now) {
    std::string text =
        lr.wraps.empty() ? "vemo-lockrun without a program" : "wraps " + printable(lr.wraps);
    if (!lr.wraps.empty() && lr.name != base_name(lr.wraps)) text += " as " + printable(lr.name);
    if (lr.state_read) {
        if (lr.wrapper_ended && lr.child_pid > 0) {
            text += "; record left from a wrapper that ended (it named program pid " +
                    std::to_string(lr.child_pid) + ")";
        } else if (lr.child_pid > 0) {
            text += "; program pid " + std::to_string(lr.child_pid) + ", up " +
                    duration(now - lr.child_started_at);
        } else {
            text += "; program not running";
        }
        text += "; " + std::to_string(lr.restarts) + " restarts; last exit: " + lr.last_exit;
        if (lr.last_exit_at > 0) text += " " + duration(now - lr.last_exit_at) + " ago";
        if (lr.dropped_lines > 0)
            text += "; " + std::to_string(lr.dropped_lines) + " output lines dropped by the log";
        text += health_note(lr);
    } else if (!lr.state_error.empty()) {
        text += "; restart state unreadable: " + lr.state_error;
    }
    return text;
}

// The notes printed under an entry's row: what its state alone does not tell.
std::vector<std::string> entry_notes(const EntryStatus& e, double now) {
    std::vector<std::string> notes;
    bool lock_free = e.state == STATE_DOWN || e.state == STATE_STOPPED;
    if (e.state == STATE_ERROR) notes.push_back("pid file: " + e.probe.error);
    if (lock_free && !e.probe.missing) {
        std::string pid = e.probe.pid_text.empty() ? "no pid written" : "pid " + e.probe.pid_text;
        notes.push_back("last started " + duration(now - e.probe.written_at) + " ago, " + pid +
                        ", not running");
    }
    if (lock_free && e.probe.missing) notes.push_back("no pid file yet");
    if (!e.resolved) notes.push_back("program not found: " + e.resolve_error);
    if (e.lockrun.is_lockrun) notes.push_back(lockrun_note(e.lockrun, now));
    return notes;
}

std::string watchdog_line(const HostStatus& s) {
    const LockProbe& w = s.watchdog;
    if (w.lock == LOCK_PROBE_FAILED) return "unknown: " + s.watchdog_pid_file + ": " + w.error;
    if (w.lock == LOCK_HELD_UNNAMED) return "running, pid unknown (lock held from elsewhere)";
    if (w.lock == LOCK_FREE) return "not running";
    if (s.watchdog_identity == WATCHDOG_FOREIGN) {
        return "not running: its lock is held by pid " + std::to_string(w.holder) + " (" +
               (s.watchdog_process.exe.empty() ? std::string("executable unreadable")
                                               : printable(s.watchdog_process.exe)) +
               "), which is not vemo-watchdog";
    }
    std::string text = "running, pid " + std::to_string(w.holder);
    if (s.watchdog_process.known) text += ", up " + duration(s.now - s.watchdog_process.started_at);
    if (s.watchdog_identity == WATCHDOG_UNVERIFIED) text += " (" + s.watchdog_note + ")";
    return text;
}

std::string monitor_line(const HostStatus& s) {
    std::string text = entry_state_text(s.monitor);
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

std::string list_line(const HostStatus& s) {
    std::string text = printable(s.source.list_file);
    if (!s.list_read) return text + ": " + s.list_error;
    text +=
        ": " + std::to_string(s.entries.size()) + (s.entries.size() == 1 ? " entry" : " entries");
    if (!s.invalid_lines.empty()) {
        text += ", invalid lines:";
        for (int n : s.invalid_lines)
            text += " " + std::to_string(n);
    }
    return text;
}

std::string lookup_line(const HostStatus& s) {
    return s.lookup.from_watchdog
               ? "the watchdog's PATH and working directory (" + printable(s.lookup.cwd) + ")"
               : "vemoctl's own PATH and working directory: " + s.lookup.note;
}

using Row = std::vector<std::string>;

Row cells_of(const EntryStatus& e, double now) {
    bool live = entry_live(e);
    return {std::to_string(e.line),
            e.enabled ? "yes" : "no",
            entry_state_text(e),
            live ? std::to_string(e.probe.holder) : "-",
            live && e.process.known ? duration(now - e.process.started_at) : "-",
            printable(e.program),
            printable(e.pid_file),
            e.resolved ? e.resolved_path : "(not found)"};
}

std::vector<size_t> column_widths(const std::vector<Row>& cells) {
    std::vector<size_t> width(kColumns);
    for (size_t c = 0; c < kColumns; ++c) {
        width[c] = strlen(kHeads[c]);
        for (const Row& row : cells)
            width[c] = std::max(width[c], row[c].size());
    }
    return width;
}

// Every column padded to its width and two blanks but the last; the state coloured on request.
std::string table_row(const Row& row, const std::vector<size_t>& width, const char* colour) {
    std::string out;
    for (size_t c = 0; c + 1 < kColumns; ++c) {
        if (c == kStateColumn && colour != nullptr) {
            out += colour + row[c] + "\033[0m" + std::string(width[c] + 2 - row[c].size(), ' ');
        } else {
            out += pad(row[c], width[c] + 2);
        }
    }
    return out + row[kColumns - 1] + "\n";
}

std::string entry_table(const HostStatus& s, bool colour) {
    std::vector<const EntryStatus*> rows = shown_entries(s);
    std::vector<Row> cells(rows.size());
    std::transform(rows.begin(), rows.end(), cells.begin(),
                   [&s](const EntryStatus* e) { return cells_of(*e, s.now); });
    std::vector<size_t> width = column_widths(cells);
    std::string out = table_row(Row(kHeads, kHeads + kColumns), width, nullptr);
    for (size_t r = 0; r < rows.size(); ++r) {
        out += table_row(cells[r], width, colour ? state_colour(rows[r]->state) : nullptr);
        for (const std::string& note : entry_notes(*rows[r], s.now))
            out += "      " + note + "\n";
    }
    return out;
}

}  // namespace

std::string render_table(const HostStatus& s, bool colour) {
    std::string out;
    out += "watchdog  " + watchdog_line(s) + "\n";
    out += "monitor   " + monitor_line(s) + "\n";
    out += "list      " + list_line(s) + "\n";
    out += "lookup    " + lookup_line(s) + "\n\n";
    return out + entry_table(s, colour);
}
