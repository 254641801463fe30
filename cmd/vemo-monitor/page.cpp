// The status page: one HTML document, no script, refreshed by the browser every few seconds.
// Every text that comes from the watch list, the file system or a record is escaped.
#include "page.h"

#include "render_common.h"
#include "text.h"

#include <algorithm>
#include <ctime>

namespace {

// Colour always comes with the state's word; at 40em and below each row becomes a card of
// label/value lines, its labels in a margin, so long paths wrap instead of widening the page.
// The short columns (state to restarts) never wrap and take no more than their text: the paths
// get the rest.
const char kStyle[] =
    "body{font:15px/1.45 system-ui,sans-serif;margin:1em;color:#1b1b1b;background:#fff}"
    "h1{font-size:1.3em;margin:0 0 .2em}"
    ".meta{color:#555;margin:0 0 .8em}"
    "dl{display:grid;grid-template-columns:auto 1fr;gap:.25em 1em;margin:0 0 1em}"
    "dt{font-weight:600}dd{margin:0;overflow-wrap:anywhere}"
    "nav{margin:0 0 .8em}nav a{margin-right:.8em;white-space:nowrap}"
    "nav a[aria-current]{font-weight:700;color:inherit;text-decoration:none}"
    "table{border-collapse:collapse;width:100%}"
    "th,td{text-align:left;vertical-align:top;padding:.35em .6em;border-bottom:1px solid #ddd}"
    "th{background:#f3f3f3;white-space:nowrap}td:nth-child(-n+5){white-space:nowrap;width:1%}"
    "tbody tr{border-left:4px solid #bbb}"
    "tr.down,tr.error{border-left-color:#c62828}tr.running{border-left-color:#2e7d32}"
    "tr.stopping,tr.locked{border-left-color:#e8a200}"
    ".st{display:inline-block;padding:0 .45em;border-radius:3px;font-weight:600;"
    "white-space:nowrap}"
    ".st.running{background:#dcf2dc;color:#1b5e20}"
    ".st.down,.st.error{background:#fde0e0;color:#b71c1c}"
    ".st.stopping,.st.locked,.st.changed{background:#fff0c2;color:#6d4c00}"
    ".st.stopped{background:#eee;color:#444}"
    ".path{font-family:ui-monospace,monospace;font-size:.93em;overflow-wrap:break-word}"
    ".args,.note{display:block;color:#555}.note{font-family:system-ui,sans-serif}"
    "@media (max-width:40em){body{margin:.5em}thead{display:none}"
    "table,tbody,tr,td{display:block}td.none{display:none}"
    "tbody tr{border:1px solid #ddd;border-left-width:4px;margin:0 0 .7em}"
    "td{position:relative;border:0;padding:.15em .5em .15em 7em}"
    "td::before{content:attr(data-label);position:absolute;left:.5em;"
    "font:600 .9em/1.6 system-ui,sans-serif;color:#555}}";

const EntryState kAttentionOrder[] = {STATE_DOWN,     STATE_ERROR,
                                      STATE_STOPPING, STATE_LOCKED_HOLDER_UNKNOWN,
                                      STATE_RUNNING,  STATE_STOPPED};

size_t attention_rank(EntryState state) {
    const EntryState* end = std::end(kAttentionOrder);
    return static_cast<size_t>(std::find(std::begin(kAttentionOrder), end, state) -
                               std::begin(kAttentionOrder));
}

// The table's words for a state (the holder-unknown one says so), escaped already.
std::string state_words(EntryState state) {
    return state == STATE_LOCKED_HOLDER_UNKNOWN ? "locked, holder unknown" : state_name(state);
}

// A state in colour and in words; css_class is one of state_name()'s names.
std::string badge(const std::string& css_class, const std::string& words) {
    return "<span class=\"st " + css_class + "\">" + words + "</span>";
}

// A cell that holds only "-" is left out of the narrow layout's cards.
std::string cell(const char* label, const std::string& html, const char* css_class = nullptr) {
    if (html == "-") css_class = "none";
    std::string out = "<td data-label=\"";
    out += label;
    out += css_class != nullptr ? std::string("\" class=\"") + css_class : "";
    return out + "\">" + html + "</td>";
}

// A path escaped, with a line-break opportunity after each '/' so a narrow column breaks it
// between components rather than inside a name.
std::string html_path(const std::string& text) {
    std::string out;
    for (char c : html_escape(text))
        out += c == '/' ? std::string("/<wbr>") : std::string(1, c);
    return out;
}

std::string note(const std::string& text) {
    return "<span class=\"note\">" + html_escape(text) + "</span>";
}

std::string watchdog_summary(const HostStatus& s) {
    const LockProbe& w = s.watchdog;
    if (w.lock == LOCK_PROBE_FAILED)
        return badge("error", "unknown") + " " + html_escape(s.watchdog_pid_file + ": " + w.error);
    if (w.lock == LOCK_FREE) return badge("down", "not running");
    if (w.lock == LOCK_HELD_UNNAMED) return badge("locked", "running") + " pid unknown";
    if (!s.watchdog_verified) {
        return badge("error", "not vemo-watchdog") + " its lock is held by pid " +
               std::to_string(w.holder) + " (" + html_escape(s.watchdog_process.exe) + ")";
    }
    std::string text = badge("running", "running") + " pid " + std::to_string(w.holder);
    if (s.watchdog_process.known) text += ", up " + duration(s.now - s.watchdog_process.started_at);
    return text;
}

std::string monitor_summary(const HostStatus& s) {
    std::string text = badge(state_name(s.monitor.state), state_words(s.monitor.state));
    if (s.monitor.state == STATE_RUNNING) text += " pid " + std::to_string(s.monitor.probe.holder);
    const MonitorState& ms = s.monitor_state;
    if (!ms.read) return text + "; " + html_escape(ms.path + ": " + ms.error);
    if (!ms.has_request) return text + "; no request recorded";
    return text + "; last request " + duration(static_cast<double>(ms.age_seconds)) + " ago (" +
           (ms.fresh ? "fresh" : "stale") + ")";
}

std::string list_summary(const HostStatus& s) {
    std::string text = html_escape(s.source.list_file);
    if (!s.list_read) return text + ": " + html_escape(s.list_error);
    text +=
        ": " + std::to_string(s.entries.size()) + (s.entries.size() == 1 ? " entry" : " entries");
    if (!s.invalid_lines.empty()) {
        text += ", invalid lines:";
        for (int n : s.invalid_lines)
            text += " " + std::to_string(n);
    }
    return text;
}

std::string utc_time(double now) {
    time_t t = static_cast<time_t>(now);
    struct tm tm {};
    char buf[64];
    if (gmtime_r(&t, &tm) == nullptr ||
        strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0)
        return "";
    return buf;
}

// What the state alone does not tell. The pid file's text is never shown: only the number the
// kernel names, and the file's time.
// The health check's state as vemoctl's table words it.
std::string health_words(const LockrunStatus& lr) {
    if (lr.health == "healthy") return "check: healthy";
    if (lr.health != "failing") return "check: not checked";
    std::string text = "check: failing (" + std::to_string(lr.check_failures) + " of " +
                       std::to_string(lr.check_fails) + ")";
    return lr.last_check_error.empty() ? text : text + ": " + lr.last_check_error;
}

std::string entry_notes(const EntryStatus& e, double now) {
    std::string out;
    bool lock_free = e.state == STATE_DOWN || e.state == STATE_STOPPED;
    if (!e.enabled && !lock_free && e.state != STATE_STOPPING) out += note("disabled");
    if (e.state == STATE_ERROR) out += note("pid file: " + e.probe.error);
    if (lock_free && !e.probe.missing)
        out += note("last started " + duration(now - e.probe.written_at) + " ago, not running");
    if (lock_free && e.probe.missing) out += note("no pid file yet");
    if (e.cmdline == CMDLINE_CHANGED) out += note("old command line: restart to apply");
    if (!e.resolved) out += note("program not found: " + e.resolve_error);
    const LockrunStatus& lr = e.lockrun;
    if (lr.is_lockrun) out += note(lr.wraps.empty() ? "wraps no program" : "wraps " + lr.wraps);
    if (lr.state_read && lr.child_pid > 0) {
        out += note("program pid " + std::to_string(lr.child_pid) + ", up " +
                    duration(now - lr.child_started_at));
    }
    if (lr.state_read && !lr.health.empty()) out += note(health_words(lr));
    if (!lr.state_error.empty()) out += note("restart record unreadable: " + lr.state_error);
    return out;
}

std::string program_cell(const EntryStatus& e, double now) {
    std::string html = html_path(e.program);
    if (!e.args.empty()) {
        std::string args;
        for (const std::string& a : e.args)
            args += (args.empty() ? "" : " ") + a;
        html += "<span class=\"args\">" + html_path(args) + "</span>";
    }
    return cell("Program", html + entry_notes(e, now), "path");
}

std::string entry_row(const EntryStatus& e, double now) {
    bool live = entry_live(e);
    const LockrunStatus& lr = e.lockrun;
    bool restarts = lr.is_lockrun && lr.restart && lr.state_read;
    std::string last_exit = "-";
    if (restarts) {
        last_exit = html_escape(lr.last_exit);
        if (lr.last_exit_at > 0) last_exit += ", " + duration(now - lr.last_exit_at) + " ago";
    }
    std::string row = "<tr class=\"" + std::string(state_name(e.state)) + "\">";
    bool changed = e.cmdline == CMDLINE_CHANGED;
    row += cell("State", badge(state_name(e.state), state_words(e.state)) +
                             (changed ? " " + badge("changed", "changed") : ""));
    row += cell("Line", e.line == 0 ? "0 (monitor)" : std::to_string(e.line));
    row += cell("PID", live ? std::to_string(e.probe.holder) : "-");
    row += cell("Uptime", live && e.process.known ? duration(now - e.process.started_at) : "-");
    row += cell("Restarts", restarts ? std::to_string(lr.restarts) : "-");
    row += cell("Last exit", last_exit);
    row += program_cell(e, now);
    return row + cell("Pid file", html_path(e.pid_file), "path") + "</tr>\n";
}

// Links to the page filtered by each state some row is in; the current one is marked.
std::string filter_nav(const std::vector<const EntryStatus*>& rows, const std::string& filter) {
    std::string nav = "<nav aria-label=\"Filter by state\">Show: <a href=\"./\"";
    nav += filter.empty() ? " aria-current=\"page\"" : "";
    nav += ">all (" + std::to_string(rows.size()) + ")</a> ";
    for (EntryState state : kAttentionOrder) {
        std::string name = state_name(state);
        auto n = std::count_if(rows.begin(), rows.end(),
                               [state](const EntryStatus* e) { return e->state == state; });
        if (n == 0 && name != filter) continue;
        nav += "<a href=\"?state=" + name + "\"";
        nav += name == filter ? " aria-current=\"page\"" : "";
        nav += ">" + name + " (" + std::to_string(n) + ")</a> ";
    }
    return nav + "</nav>\n";
}

std::string entry_table(const HostStatus& s, std::vector<const EntryStatus*> rows,
                        const std::string& filter) {
    // In each state, lines that run an older command line than their line gives come first.
    std::stable_sort(rows.begin(), rows.end(), [](const EntryStatus* a, const EntryStatus* b) {
        size_t ra = attention_rank(a->state);
        size_t rb = attention_rank(b->state);
        return ra != rb ? ra < rb : a->cmdline == CMDLINE_CHANGED && b->cmdline != CMDLINE_CHANGED;
    });
    std::string out =
        "<table>\n<thead><tr><th>State</th><th>Line</th><th>PID</th><th>Uptime</th>"
        "<th>Restarts</th><th>Last exit</th><th>Program</th><th>Pid file</th></tr></thead>\n"
        "<tbody>\n";
    size_t shown = 0;
    for (const EntryStatus* e : rows) {
        if (!filter.empty() && filter != state_name(e->state)) continue;
        out += entry_row(*e, s.now);
        ++shown;
    }
    if (shown == 0) {
        out += "<tr><td colspan=\"8\">No line is " +
               (filter.empty() ? std::string("shown") : html_escape(filter)) + ".</td></tr>\n";
    }
    return out + "</tbody>\n</table>\n";
}

}  // namespace

std::string html_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : printable(text)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string render_page(const HostStatus& status, const std::string& state_filter) {
    std::vector<const EntryStatus*> rows = shown_entries(status);
    auto attention = std::count_if(rows.begin(), rows.end(),
                                   [](const EntryStatus* e) { return !entry_as_wanted(*e); });
    std::string headline = attention == 0   ? std::string("all as wanted")
                           : attention == 1 ? std::string("1 line needs attention")
                                            : std::to_string(attention) + " lines need attention";
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"refresh\" content=\"5\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>vemo-watchdog: " +
        headline + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
    out += "<h1>vemo-watchdog: " + headline + "</h1>\n";
    out += "<p class=\"meta\">" + utc_time(status.now) + ", refreshed every 5 s</p>\n";
    out += "<dl>\n<dt>Watchdog</dt><dd>" + watchdog_summary(status) + "</dd>\n";
    out += "<dt>Monitor</dt><dd>" + monitor_summary(status) + "</dd>\n";
    out += "<dt>List</dt><dd>" + list_summary(status) + "</dd>\n</dl>\n";
    out += filter_nav(rows, state_filter);
    return out + entry_table(status, rows, state_filter) + "</body>\n</html>\n";
}
