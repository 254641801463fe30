#include "lockrun_record.h"

#include "fileio.h"
#include "pid_probe.h"
#include "text.h"

#include <cerrno>
#include <cstdlib>

namespace {

double number_value(const std::string& text) {
    return strtod(text.c_str(), nullptr);
}

long integer_value(const std::string& text) {
    return strtol(text.c_str(), nullptr, 10);
}

// One key=value line of the record; keys we do not know are left alone.
void take_field(const std::string& key, const std::string& value, LockrunStatus* lr) {
    if (key == "program") {
        lr->program = printable(value);
    } else if (key == "child_pid") {
        lr->child_pid = static_cast<pid_t>(integer_value(value));
    } else if (key == "child_started_at") {
        lr->child_started_at = number_value(value);
    } else if (key == "restarts") {
        lr->restarts = integer_value(value);
    } else if (key == "last_exit") {
        lr->last_exit = printable(value);
    } else if (key == "last_exit_code") {
        lr->last_exit_code = static_cast<int>(integer_value(value));
    } else if (key == "last_exit_at") {
        lr->last_exit_at = number_value(value);
    } else if (key == "last_run_seconds") {
        lr->last_run_seconds = number_value(value);
    } else if (key == "dropped_lines") {
        lr->dropped_lines = integer_value(value);
    } else if (key == "health") {
        lr->health = printable(value);
    } else if (key == "check_failures") {
        lr->check_failures = integer_value(value);
    } else if (key == "check_fails") {
        lr->check_fails = integer_value(value);
    } else if (key == "check_failures_total") {
        lr->check_failures_total = integer_value(value);
    } else if (key == "last_check_error") {
        lr->last_check_error = printable(value);
    }
}

// A plain decimal within [LOW, HIGH]; seconds allow one point.
bool number_within(const std::string& v, double low, double high, bool seconds) {
    if (v.empty() ||
        v.find_first_not_of(seconds ? "0123456789." : "0123456789") != std::string::npos ||
        v.find('.') != v.rfind('.') || v == ".")
        return false;
    double x = strtod(v.c_str(), nullptr);
    return x >= low && x <= high;
}

// A --check-* option (ARG) as the wrapper reads it: noted, or an error kept.
void take_check_option(const std::string& arg, LockrunStatus* lr) {
    size_t eq = arg.find('=');
    std::string key = arg.substr(0, eq);
    std::string v = eq == std::string::npos ? std::string() : arg.substr(eq + 1);
    bool ok = eq != std::string::npos;
    if (key == "--check-exec") {
        ok = ok && !v.empty();
        lr->check = "exec " + v;
    } else if (key == "--check-port") {
        ok = ok && number_within(v, 1, 65535, false);
        lr->check = "port " + v;
    } else if (key == "--check-interval" || key == "--check-timeout") {
        ok = ok && number_within(v, 0, 86400, true) && strtod(v.c_str(), nullptr) > 0;
    } else if (key == "--check-grace") {
        ok = ok && number_within(v, 0, 86400, true);
    } else if (key == "--check-fails") {
        ok = ok && number_within(v, 1, 1000000, false);
    } else {
        lr->option_errors.push_back("unknown option " + arg);
        return;
    }
    if (!ok) lr->option_errors.push_back("invalid value in " + arg);
}

}  // namespace

bool is_lockrun_program(const std::string& program) {
    return base_name(program) == "vemo-lockrun";
}

LockrunStatus parse_lockrun_args(const std::vector<std::string>& args) {
    LockrunStatus lr;
    lr.is_lockrun = true;
    int checks = 0;  // --check-* options
    int kinds = 0;   // of them, --check-exec and --check-port
    size_t i = 0;
    for (; i < args.size() && args[i].compare(0, 2, "--") == 0; ++i) {
        if (args[i] == "--") {
            ++i;
            break;
        }
        if (args[i] == "--restart") lr.restart = true;
        if (args[i].compare(0, 8, "--check-") == 0) {
            ++checks;
            if (args[i].compare(0, 13, "--check-exec=") == 0 ||
                args[i].compare(0, 13, "--check-port=") == 0)
                ++kinds;
            take_check_option(args[i], &lr);
        }
        if (args[i].compare(0, 7, "--name=") == 0) {
            lr.name = args[i].substr(7);
            lr.name_given = true;
        }
    }
    if (i < args.size()) lr.pid_file = args[i++];
    if (i < args.size()) {
        lr.wraps = args[i];
        lr.wraps_at = i;
    }
    if (!lr.name_given) lr.name = base_name(lr.wraps);
    if (checks > 0 && !lr.restart) lr.option_errors.push_back("--check-* needs --restart");
    if (checks > 0 && lr.check.empty())
        lr.option_errors.push_back("--check-* timing needs --check-exec or --check-port");
    if (kinds > 1) lr.option_errors.push_back("--check-exec and --check-port exclude each other");
    return lr;
}

bool lockrun_failing(const LockrunStatus& lr) {
    return lr.state_read && !lr.wrapper_ended && lr.child_pid > 0 && lr.health == "failing";
}

void read_lockrun_state(const std::string& cwd, LockrunStatus* lr) {
    std::string path = lr->pid_file + ".lockrun";
    if (path[0] != '/') path = cwd + "/" + path;
    std::string kernel = kernel_file_system(path);
    if (!kernel.empty()) {
        lr->state_error = "under " + kernel + ": not read";
        return;
    }
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
        if (eq != std::string::npos) take_field(row.substr(0, eq), row.substr(eq + 1), lr);
    }
}
