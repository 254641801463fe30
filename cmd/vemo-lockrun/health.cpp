// Health checks of the --restart form: their options, when they run, and what their results
// mean for the program.
#include "health.h"

#include "clock.h"

#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace {

struct Health {
    const LockrunOptions* opts = nullptr;
    RestartState* state = nullptr;
    const char* state_path = nullptr;
    bool enabled = false;
    char** envp = nullptr;  // environ with HealthText's two variables in front
    pid_t program = 0;      // being checked; 0: none
    double next_at = -1;    // monotonic start of the next check
    CheckRun run;
    double run_started = 0;
    double run_deadline = -1;
    bool run_dropped = false;  // its verdict no longer counts (timed out, or the program ended)
    bool passed = false;       // a check passed since the program started
    bool restart_due = false;
};

Health g_health;

// The check's long texts, apart from Health and zero-initialised, so that a wrapper without a
// check never has their pages resident.
struct HealthText {
    char path[4096];     // --check-exec, resolved
    char label[4200];    // how records name the check
    char env_pid[32];    // VEMO_PID=...
    char env_name[160];  // VEMO_NAME=...
};

HealthText g_text;

double interval(const LockrunOptions& o) {
    return o.check_interval;
}

void publish(Health* h) {
    write_state(h->state_path, *h->state);
}

// Sets the state's health word and count; published by the caller.
void set_health(Health* h, const char* word, long failures) {
    snprintf(h->state->health, sizeof h->state->health, "%s", word);
    h->state->check_failures = failures;
}

// TEXT as one line of the record: what the log's escapes make of a control byte or backslash.
void keep_error(Health* h, const char* text) {
    char* out = h->state->last_check_error;
    size_t cap = sizeof h->state->last_check_error;
    size_t n = 0;
    for (const char* p = text; *p != '\0' && n + 5 < cap; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f || c == '\\') {
            n += static_cast<size_t>(snprintf(out + n, cap - n, c == '\\' ? "\\\\" : "\\x%02x", c));
        } else {
            out[n++] = static_cast<char>(c);
        }
    }
    out[n] = '\0';
}

// A failed check, WHY: counted, published and, at the limit, the restart made due.
void failed(Health* h, const char* why) {
    const LockrunOptions& o = *h->opts;
    long k = h->state->check_failures + 1;
    h->state->check_failures_total += 1;
    keep_error(h, why);
    set_health(h, "failing", k);
    publish(h);
    if (k < o.check_fails) return;
    own_log(LOG_ERR, "%s (%d) failed %s %ld time%s in a row: %s; restarting it", o.name,
            static_cast<int>(h->program), g_text.label, k, k == 1 ? "" : "s",
            h->state->last_check_error);
    h->restart_due = true;
    h->program = 0;
    h->next_at = -1;
}

void passed(Health* h) {
    if (h->state->check_failures > 0)
        own_log(LOG_INFO, "%s (%d) passes %s again after %ld failures", h->opts->name,
                static_cast<int>(h->program), g_text.label, h->state->check_failures);
    h->passed = true;
    bool changed = strcmp(h->state->health, "healthy") != 0;
    set_health(h, "healthy", 0);
    if (changed) publish(h);
}

// The verdict of a check that ended with wait STATUS, its first line of output in LINE.
void judge(Health* h, int status, const char* line) {
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        passed(h);
        return;
    }
    char why[600];
    const char* sep = line[0] != '\0' ? ": " : "";
    if (WIFSIGNALED(status)) {
        char name[32];
        signal_name(WTERMSIG(status), name, sizeof name);
        snprintf(why, sizeof why, "killed by %s%s%s", name, sep, line);
    } else if (h->opts->check_port > 0 && line[0] != '\0') {
        snprintf(why, sizeof why, "%s", line);  // the probe says what failed
    } else {
        snprintf(why, sizeof why, "exit status %d%s%s", WEXITSTATUS(status), sep, line);
    }
    failed(h, why);
}

// Ends the running check: killed with its group, reaped later and ignored.
void abandon_check(Health* h) {
    if (h->run.pid <= 0) return;
    h->run_dropped = true;
    finish_check(&h->run);
    h->run_deadline = -1;
}

void begin_check(Health* h, double now) {
    const LockrunOptions& o = *h->opts;
    snprintf(g_text.env_pid, sizeof g_text.env_pid, "VEMO_PID=%d", static_cast<int>(h->program));
    h->run = CheckRun();
    if (start_check(&h->run, o.check_exec != nullptr ? g_text.path : nullptr, h->envp,
                    o.check_port) != 0) {
        char why[128];
        snprintf(why, sizeof why, "cannot start the check: %s", error_text(errno));
        h->run = CheckRun();
        failed(h, why);
        if (h->program > 0) h->next_at = now + interval(o);
        return;
    }
    h->run_started = now;
    h->run_deadline = now + o.check_timeout;
    h->run_dropped = false;
    // The next one starts an interval after this one did, or when it ends, if that is later.
    h->next_at = now + interval(o);
}

void time_out(Health* h, double now) {
    char why[400];
    read_check_output(&h->run);
    snprintf(why, sizeof why, "timed out after %.3f s%s%s", now - h->run_started,
             h->run.line[0] != '\0' ? ": " : "", h->run.line);
    abandon_check(h);
    failed(h, why);
}

}  // namespace

bool parse_check_option(const char* arg, LockrunOptions* opts, bool* ok) {
    const char* v = strchr(arg, '=');
    if (v == nullptr) return false;
    size_t key = static_cast<size_t>(v - arg);
    ++v;
    auto is = [arg, key](const char* name) {
        return strlen(name) == key && strncmp(arg, name, key) == 0;
    };
    if (is("--check-exec")) {
        opts->check_exec = v;
        *ok = *v != '\0';
    } else if (is("--check-port")) {
        *ok =
            parse_count(v, &opts->check_port) && opts->check_port >= 1 && opts->check_port <= 65535;
    } else if (is("--check-interval")) {
        *ok = parse_seconds(v, &opts->check_interval) && opts->check_interval > 0;
    } else if (is("--check-timeout")) {
        *ok = parse_seconds(v, &opts->check_timeout) && opts->check_timeout > 0;
    } else if (is("--check-fails")) {
        *ok = parse_count(v, &opts->check_fails) && opts->check_fails >= 1;
    } else if (is("--check-grace")) {
        *ok = parse_seconds(v, &opts->check_grace);
    } else {
        return false;
    }
    return true;
}

bool check_options_error(const LockrunOptions& opts, char* error, size_t error_size) {
    if (opts.check_exec != nullptr && opts.check_port > 0) {
        snprintf(error, error_size, "--check-exec and --check-port exclude each other");
        return true;
    }
    bool timing = opts.check_interval != kDefaultCheckInterval ||
                  opts.check_timeout != kDefaultCheckTimeout ||
                  opts.check_fails != kDefaultCheckFails || opts.check_grace >= 0;
    if (timing && opts.check_exec == nullptr && opts.check_port == 0) {
        snprintf(error, error_size,
                 "--check-interval, -timeout, -fails and -grace need "
                 "--check-exec or --check-port");
        return true;
    }
    return false;
}

int health_setup(const LockrunOptions& opts, RestartState* state, const char* state_path) {
    // Without a check nothing here is written, so its page stays untouched.
    if (opts.check_exec == nullptr && opts.check_port == 0) return 0;
    Health* h = &g_health;
    h->opts = &opts;
    h->state = state;
    h->state_path = state_path;
    h->enabled = true;
    if (opts.check_exec != nullptr) {
        // Resolved once, and refused at once when it cannot run at all, not at every check.
        if (resolve_program(opts.check_exec, g_text.path, sizeof g_text.path) != 0 ||
            access(g_text.path, X_OK) != 0) {
            int err = errno;
            report_failuref(opts, "cannot execute the check %s: %s", opts.check_exec,
                            error_text(err));
            return exec_failure_status(err);
        }
        snprintf(g_text.label, sizeof g_text.label, "its check %.4095s", g_text.path);
    } else {
        snprintf(g_text.label, sizeof g_text.label, "its check of port %ld", opts.check_port);
    }
    size_t n = 0;
    while (environ != nullptr && environ[n] != nullptr)
        ++n;
    // Built once: the child of fork only executes it.
    static char* built[4096];
    if (n + 3 > sizeof built / sizeof built[0]) n = sizeof built / sizeof built[0] - 3;
    size_t k = 0;
    built[k++] = g_text.env_pid;
    built[k++] = g_text.env_name;
    for (size_t i = 0; i < n; ++i) {
        if (strncmp(environ[i], "VEMO_PID=", 9) != 0 && strncmp(environ[i], "VEMO_NAME=", 10) != 0)
            built[k++] = environ[i];
    }
    built[k] = nullptr;
    h->envp = built;
    snprintf(g_text.env_name, sizeof g_text.env_name, "VEMO_NAME=%s", opts.name);
    state->checked = true;
    state->check_fails = opts.check_fails;
    return 0;
}

bool health_enabled() {
    return g_health.enabled;
}

void health_program_started(pid_t pid) {
    Health* h = &g_health;
    if (!h->enabled) return;
    const LockrunOptions& o = *h->opts;
    h->program = pid;
    h->passed = false;
    h->restart_due = false;
    h->next_at = monotonic_now() + (o.check_grace >= 0 ? o.check_grace : interval(o));
    set_health(h, "unchecked", 0);  // published with the start
}

void health_program_ended() {
    Health* h = &g_health;
    if (!h->enabled) return;
    abandon_check(h);
    h->program = 0;
    h->next_at = -1;
    set_health(h, "unchecked", 0);  // published with the exit
}

double health_deadline() {
    const Health& h = g_health;
    if (!h.enabled) return -1;
    if (h.restart_due) return 0;
    if (h.run.pid > 0) return h.run_dropped ? -1 : h.run_deadline;
    return h.program > 0 ? h.next_at : -1;
}

bool health_tick(double now) {
    Health* h = &g_health;
    if (!h->enabled) return false;
    if (h->run.pid > 0 && !h->run_dropped && now >= h->run_deadline) time_out(h, now);
    // A check still unreaped holds back the next, so two never overlap.
    if (h->run.pid == 0 && h->program > 0 && h->next_at >= 0 && now >= h->next_at)
        begin_check(h, now);
    if (!h->restart_due) return false;
    h->restart_due = false;
    return true;
}

bool health_reaped(pid_t pid, int status) {
    Health* h = &g_health;
    if (!h->enabled || pid != h->run.pid) return false;
    char line[kCheckLineMax + 1];
    read_check_output(&h->run);
    memcpy(line, h->run.line, sizeof line);
    bool dropped = h->run_dropped;
    if (!dropped) finish_check(&h->run);
    h->run = CheckRun();
    if (!dropped && h->program > 0) {
        double now = monotonic_now();
        if (h->next_at < now) h->next_at = now;
        judge(h, status, line);
    }
    return true;
}

void health_output() {
    if (g_health.run.pid > 0 && g_health.run.out_fd >= 0) read_check_output(&g_health.run);
}

bool health_never_passed() {
    return g_health.enabled && !g_health.passed;
}
