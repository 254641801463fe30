// The JSON document for programs: one object, the entries one a line.
#include "hoststatus.h"
#include "render_common.h"

#include <cstdio>

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

std::string json_text_or_null(const std::string& s) {
    return s.empty() ? "null" : json_string(s);
}

std::string json_bool(bool b) {
    return b ? "true" : "false";
}

std::string json_int_or_null(bool present, long long v) {
    return present ? std::to_string(v) : "null";
}

std::string json_number_or_null(bool present, double v) {
    return present ? fixed_number(v) : "null";
}

// The pid file's last holder, while no named process holds it and the file could be read.
std::string json_last_holder(const EntryStatus& e, double now) {
    if (entry_live(e) || e.state == STATE_ERROR || e.probe.missing) return "null";
    std::string text = e.probe.text_skipped ? "null" : json_string(e.probe.pid_text);
    return "{\"pid_text\":" + text + ",\"written_at\":" + fixed_number(e.probe.written_at) +
           ",\"age_seconds\":" + fixed_number(now - e.probe.written_at) + "}";
}

// The wrapper's record of a vemo-lockrun line; wrapper_pid is the lock's holder while live.
std::string json_lockrun_state(const LockrunStatus& lr, const EntryStatus& e) {
    if (!lr.state_read) return "null";
    bool child = lr.child_pid > 0 && !lr.wrapper_ended;
    std::string o = "{\"program\":" + json_string(lr.program);
    o += ",\"wrapper_pid\":" + json_int_or_null(entry_live(e), e.probe.holder);
    o += ",\"wrapper_ended\":" + json_bool(lr.wrapper_ended);
    o += ",\"child_pid\":" + json_int_or_null(child, lr.child_pid);
    o += ",\"child_started_at\":" + json_number_or_null(child, lr.child_started_at);
    o += ",\"restarts\":" + std::to_string(lr.restarts);
    o += ",\"last_exit\":" + json_string(lr.last_exit);
    o += ",\"last_exit_code\":" + json_int_or_null(lr.last_exit_code >= 0, lr.last_exit_code);
    o += ",\"last_exit_at\":" + json_number_or_null(lr.last_exit_at > 0, lr.last_exit_at);
    o += ",\"dropped_lines\":" + json_int_or_null(lr.dropped_lines >= 0, lr.dropped_lines);
    o += ",\"last_run_seconds\":" + fixed_number(lr.last_run_seconds);
    o += ",\"health\":" + json_text_or_null(lr.health);
    o += ",\"check_failures\":" + json_int_or_null(!lr.health.empty(), lr.check_failures);
    o += ",\"check_fails\":" + json_int_or_null(!lr.health.empty(), lr.check_fails);
    o += ",\"check_failures_total\":" +
         json_int_or_null(!lr.health.empty(), lr.check_failures_total);
    return o + ",\"last_check_error\":" + json_text_or_null(lr.last_check_error) + "}";
}

std::string json_lockrun(const EntryStatus& e) {
    const LockrunStatus& lr = e.lockrun;
    if (!lr.is_lockrun) return "null";
    std::string o = "{\"pid_file\":" + json_text_or_null(lr.pid_file);
    o += ",\"wraps\":" + json_text_or_null(lr.wraps);
    o += ",\"name\":" + json_text_or_null(lr.name);
    o += ",\"restart\":" + json_bool(lr.restart);
    o += ",\"state_error\":" + json_text_or_null(lr.state_error);
    return o + ",\"state\":" + json_lockrun_state(lr, e) + "}";
}

std::string json_args(const std::vector<std::string>& args) {
    std::string o = "[";
    for (size_t i = 0; i < args.size(); ++i)
        o += (i != 0 ? "," : "") + json_string(args[i]);
    return o + "]";
}

std::string json_entry(const EntryStatus& e, double now) {
    bool started = entry_live(e) && e.process.known;
    std::string o = "{\"line\":" + std::to_string(e.line);
    o += ",\"enabled\":" + json_bool(e.enabled);
    o += ",\"program\":" + json_string(e.program);
    o += ",\"pid_file\":" + json_string(e.pid_file);
    o += ",\"args\":" + json_args(e.args);
    o += ",\"state\":" + json_string(state_name(e.state));
    o += ",\"wanted\":" + json_string(e.enabled ? "running" : "stopped");
    o += ",\"as_wanted\":" + json_bool(entry_as_wanted(e));
    o += ",\"changed\":" +
         (e.cmdline == CMDLINE_UNKNOWN ? "null" : json_bool(e.cmdline == CMDLINE_CHANGED));
    o += ",\"changed_note\":" + json_text_or_null(e.cmdline_note);
    o += ",\"pid\":" + json_int_or_null(entry_live(e), e.probe.holder);
    o += ",\"started_at\":" + json_number_or_null(started, e.process.started_at);
    o += ",\"uptime_seconds\":" + json_number_or_null(started, now - e.process.started_at);
    o += ",\"error\":" + json_text_or_null(e.state == STATE_ERROR ? e.probe.error : "");
    o += ",\"last_holder\":" + json_last_holder(e, now);
    o += ",\"resolves\":{\"ok\":" + json_bool(e.resolved) +
         ",\"path\":" + json_text_or_null(e.resolved_path) +
         ",\"error\":" + json_text_or_null(e.resolve_error) + "}";
    return o + ",\"lockrun\":" + json_lockrun(e) + "}";
}

// "not running", "foreign" (held by another program), else the lock's entry-state name.
std::string watchdog_state(const HostStatus& s) {
    LockState lock = s.watchdog.lock;
    if (lock == LOCK_FREE) return "not running";
    if (lock == LOCK_HELD && s.watchdog_identity == WATCHDOG_FOREIGN) return "foreign";
    return state_name(entry_state(true, lock));
}

std::string json_watchdog(const HostStatus& s) {
    const LockProbe& w = s.watchdog;
    bool up = w.lock == LOCK_HELD || w.lock == LOCK_HELD_UNNAMED;
    bool started = up && s.watchdog_process.known;
    std::string o = "{\"pid_file\":" + json_string(s.watchdog_pid_file);
    o += ",\"running\":" + json_bool(watchdog_taken_as_running(s));
    o += ",\"state\":" + json_string(watchdog_state(s));
    o += ",\"pid\":" + json_int_or_null(w.lock == LOCK_HELD, w.holder);
    o += ",\"executable\":" + json_text_or_null(s.watchdog_process.exe);
    o += ",\"verified\":" + json_bool(s.watchdog_verified);
    o += ",\"note\":" + json_text_or_null(s.watchdog_note);
    o += ",\"started_at\":" + json_number_or_null(started, s.watchdog_process.started_at);
    o += ",\"uptime_seconds\":" +
         json_number_or_null(started, s.now - s.watchdog_process.started_at);
    return o + ",\"error\":" + json_text_or_null(w.error) + "}";
}

// The monitor's entry with its state file added as one more member.
std::string json_monitor(const HostStatus& s) {
    if (!s.monitor_selected) return "null";
    const MonitorState& ms = s.monitor_state;
    std::string o = json_entry(s.monitor, s.now);
    o.pop_back();
    o += ",\"state_file\":{\"path\":" + json_string(ms.path);
    o += ",\"readable\":" + json_bool(ms.read);
    o += ",\"error\":" + json_text_or_null(ms.error);
    o += ",\"last_request_at\":" + json_int_or_null(ms.has_request, ms.last_request_at);
    o += ",\"age_seconds\":" + json_int_or_null(ms.has_request, ms.age_seconds);
    return o + ",\"fresh\":" + json_bool(ms.fresh) + "}}";
}

std::string json_list(const HostStatus& s) {
    std::string o = "{\"path\":" + json_string(s.source.list_file);
    o += ",\"readable\":" + json_bool(s.list_read);
    o += ",\"error\":" + json_text_or_null(s.list_error);
    o += ",\"invalid_lines\":[";
    for (size_t i = 0; i < s.invalid_lines.size(); ++i)
        o += (i != 0 ? "," : "") + std::to_string(s.invalid_lines[i]);
    return o + "]}";
}

std::string json_lookup(const LookupContext& lookup) {
    const char* source = lookup.from_watchdog ? "watchdog"
                         : lookup.inherited   ? "monitor"
                                              : "vemoctl";
    std::string o = "{\"source\":" + json_string(source);
    o += ",\"path\":" + (lookup.path_set ? json_string(lookup.path_env) : std::string("null"));
    o += ",\"cwd\":" + json_string(lookup.cwd);
    return o + ",\"note\":" + json_text_or_null(lookup.note) + "}";
}

}  // namespace

std::string render_json(const HostStatus& s) {
    std::string o = "{\"schema\":1,\"time\":" + fixed_number(s.now);
    o += ",\"exit_status\":" + std::to_string(status_exit_code(s));
    o += ",\"watchdog\":" + json_watchdog(s);
    o += ",\"monitor\":" + json_monitor(s);
    o += ",\"list\":" + json_list(s);
    o += ",\"lookup\":" + json_lookup(s.lookup);
    o += ",\"entries\":[";
    for (size_t i = 0; i < s.entries.size(); ++i)
        o += (i != 0 ? ",\n" : "\n") + json_entry(s.entries[i], s.now);
    return o + "]}\n";
}
