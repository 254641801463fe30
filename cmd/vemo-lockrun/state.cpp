// The state record of a --restart wrapper: the .lockrun file beside the pid file, rewritten
// whole at each start and exit of the child.
#include "lockrun.h"

#include "fileio.h"

#include <sys/wait.h>
#include <syslog.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Seconds with three decimals; "0" for none (zero or less), as the state file's readers expect.
void format_seconds(double v, char (&out)[32]) {
    if (v <= 0) {
        snprintf(out, sizeof out, "0");
    } else {
        snprintf(out, sizeof out, "%.3f", v);
    }
}

}  // namespace

void signal_name(int sig, char* out, size_t out_size) {
    const char* abbrev = sigabbrev_np(sig);
    if (abbrev != nullptr) {
        snprintf(out, out_size, "SIG%s", abbrev);
    } else {
        snprintf(out, out_size, "SIG%d", sig);
    }
}

void note_exit(RestartState* state, int wait_status, double at, double ran) {
    if (WIFSIGNALED(wait_status)) {
        char name[32];
        signal_name(WTERMSIG(wait_status), name, sizeof name);
        snprintf(state->last_exit, sizeof state->last_exit, "killed %s", name);
        state->last_exit_code = 128 + WTERMSIG(wait_status);
    } else {
        snprintf(state->last_exit, sizeof state->last_exit, "exited %d", WEXITSTATUS(wait_status));
        state->last_exit_code = WEXITSTATUS(wait_status);
    }
    state->last_exit_at = at;
    state->last_run_seconds = ran;
    state->child_pid = 0;
    state->child_started_at = 0;
}

int format_state(const RestartState& state, char* out, size_t out_size) {
    char started[32];
    char exit_at[32];
    char ran[32];
    format_seconds(state.child_started_at, started);
    format_seconds(state.last_exit_at, exit_at);
    format_seconds(state.last_run_seconds, ran);
    int n = snprintf(out, out_size,
                     "program=%s\nname=%s\nchild_pid=%d\nchild_started_at=%s\nrestarts=%lu\n"
                     "last_exit=%s\nlast_exit_code=%d\nlast_exit_at=%s\nlast_run_seconds=%s\n",
                     state.program, state.name, static_cast<int>(state.child_pid), started,
                     state.restarts, state.last_exit, state.last_exit_code, exit_at, ran);
    if (n >= 0 && state.log_output && static_cast<size_t>(n) < out_size) {
        int m = snprintf(out + n, out_size - static_cast<size_t>(n), "dropped_lines=%lu\n",
                         state.dropped_lines);
        n = m < 0 ? -1 : n + m;
    }
    if (n >= 0 && state.checked && static_cast<size_t>(n) < out_size) {
        int m = snprintf(out + n, out_size - static_cast<size_t>(n),
                         "health=%s\ncheck_failures=%ld\ncheck_fails=%ld\n"
                         "check_failures_total=%lu\nlast_check_error=%s\n",
                         state.health, state.check_failures, state.check_fails,
                         state.check_failures_total, state.last_check_error);
        n = m < 0 ? -1 : n + m;
    }
    return n < 0 || static_cast<size_t>(n) >= out_size ? -1 : n;
}

void write_state(const char* path, const RestartState& state) {
    // The usual text fits the stack's small buffer; a long program path takes the heap's.
    char small[1024];
    constexpr size_t kLargest = sizeof state.program + 1024;
    char* text = small;
    int len = format_state(state, small, sizeof small);
    if (len < 0) {
        text = static_cast<char*>(malloc(kLargest));
        if (text != nullptr) len = format_state(state, text, kLargest);
    }
    if (text == nullptr) {
        own_log(LOG_WARNING, "cannot write %s: %s", path, error_text(ENOMEM));
    } else if (len < 0) {
        own_log(LOG_WARNING, "cannot write %s: state too long", path);
    } else if (write_file_atomically(path, text, static_cast<size_t>(len)) != 0) {
        own_log(LOG_WARNING, "cannot write %s: %s", path, error_text(errno));
    }
    if (text != small) free(text);
}
