// The command line of vemo-lockrun: options first, then PIDFILE and PROGRAM [ARGS...].
#include "health.h"
#include "lockrun.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// A duration option: a plain non-negative decimal number of seconds, at most a day.
bool parse_seconds(const char* text, double* out) {
    if (*text == '\0' || *text == '-' || *text == '+' || *text == ' ') return false;
    char* end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0 || v > 86400) return false;
    // strtod also reads hexadecimal and exponents; only digits and one point are documented.
    if (strspn(text, "0123456789.") != strlen(text)) return false;
    *out = v;
    return true;
}

// A count option: decimal digits, at most a million.
bool parse_count(const char* text, long* out) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > 1000000) return false;
    *out = v;
    return true;
}

namespace {

// A --name value: printable, one field of a watch line and one line of the state file.
bool valid_name(const char* text) {
    size_t len = strlen(text);
    if (len == 0 || len > kMaxNameLength) return false;
    for (size_t i = 0; i < len; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

// What follows the last '/' of PROGRAM; PROGRAM itself when nothing does.
const char* base_name_of(const char* program) {
    const char* slash = strrchr(program, '/');
    return slash != nullptr && slash[1] != '\0' ? slash + 1 : program;
}

// One option (not "--") into OPTS; *restart_only becomes its name when it needs --restart.
// 0, or kExitUsage with *error set.
int parse_option(const char* arg, LockrunOptions* opts, const char** restart_only, char* error,
                 size_t error_size) {
    bool ok = true;
    if (strcmp(arg, "--restart") == 0) {
        opts->restart = true;
    } else if (strcmp(arg, "--log") == 0) {
        opts->log = true;
    } else if (strcmp(arg, "--keep-signals") == 0) {
        opts->keep_signals = true;
    } else if (strcmp(arg, "--keep-group") == 0) {
        opts->keep_group = true;
        *restart_only = "--keep-group";
    } else if (strncmp(arg, "--name=", 7) == 0) {
        opts->name = arg + 7;
        ok = valid_name(opts->name);
    } else if (strcmp(arg, "--help") == 0) {
        opts->help = true;
    } else if (strncmp(arg, "--grace=", 8) == 0) {
        ok = parse_seconds(arg + 8, &opts->grace);
        *restart_only = "--grace";
    } else if (strncmp(arg, "--max-delay=", 12) == 0) {
        ok = parse_seconds(arg + 12, &opts->max_delay);
        *restart_only = "--max-delay";
    } else if (strncmp(arg, "--give-up=", 10) == 0) {
        ok = parse_count(arg + 10, &opts->give_up);
        *restart_only = "--give-up";
    } else if (strncmp(arg, "--check-", 8) == 0) {
        if (!parse_check_option(arg, opts, &ok)) {
            snprintf(error, error_size, "unknown option %s", arg);
            return kExitUsage;
        }
        *restart_only = arg;
    } else {
        snprintf(error, error_size, "unknown option %s", arg);
        return kExitUsage;
    }
    if (!ok) {
        snprintf(error, error_size, "invalid value in %s", arg);
        return kExitUsage;
    }
    return 0;
}

}  // namespace

int parse_options(int argc, char** argv, LockrunOptions* opts, char* error, size_t error_size) {
    error[0] = '\0';
    const char* restart_only = nullptr;
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        }
        if (parse_option(argv[i], opts, &restart_only, error, error_size) != 0) return kExitUsage;
        // --help answers at once, whatever follows it.
        if (opts->help) return 0;
    }
    if (restart_only != nullptr && !opts->restart) {
        snprintf(error, error_size, "%s needs --restart", restart_only);
        return kExitUsage;
    }
    if (check_options_error(*opts, error, error_size)) return kExitUsage;
    if (argc - i < 2) return kExitUsage;
    opts->pid_file = argv[i];
    opts->program = argv[i + 1];
    opts->program_argv = argv + i + 1;
    if (opts->name == nullptr) opts->name = base_name_of(opts->program);
    return 0;
}
