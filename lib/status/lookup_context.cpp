#include "lookup_context.h"

#include "fileio.h"
#include "text.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

// The value of the last PATH= in a NUL-separated environment.
void take_path(const std::string& env, LookupContext* ctx) {
    for (size_t at = 0; at < env.size();) {
        size_t end = env.find('\0', at);
        if (end == std::string::npos) end = env.size();
        if (env.compare(at, 5, "PATH=") == 0) {
            ctx->path_set = true;
            ctx->path_env = env.substr(at + 5, end - at - 5);
        }
        at = end + 1;
    }
}

// Reads the watchdog's environment and working directory; false (with *note) when either
// cannot be read.
bool read_watchdog_view(pid_t watchdog, LookupContext* ctx) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/environ", static_cast<int>(watchdog));
    std::string env;
    bool env_ok = read_regular_file(path, 1 << 20, &env);
    int env_err = errno;
    snprintf(path, sizeof path, "/proc/%d/cwd", static_cast<int>(watchdog));
    char cwd[PATH_MAX];
    ssize_t n = readlink(path, cwd, sizeof cwd - 1);
    int cwd_err = errno;
    if (!env_ok || n < 0) {
        ctx->note = "the watchdog's environment and working directory are not readable (" +
                    errno_text(env_ok ? cwd_err : env_err) + ")";
        return false;
    }
    ctx->from_watchdog = true;
    ctx->cwd.assign(cwd, static_cast<size_t>(n));
    take_path(env, ctx);
    return true;
}

void use_own_view(LookupContext* ctx) {
    const char* path_env = getenv("PATH");
    ctx->path_set = path_env != nullptr;
    ctx->path_env = path_env != nullptr ? path_env : "";
    ctx->cwd = current_dir();
}

}  // namespace

std::string current_dir() {
    char* cwd = get_current_dir_name();
    if (cwd == nullptr) return "/";
    std::string out = cwd;
    free(cwd);
    return out;
}

LookupContext inherited_lookup_context() {
    LookupContext ctx;
    use_own_view(&ctx);
    ctx.inherited = true;
    ctx.note = "the monitor's own, inherited from the watchdog that started it";
    return ctx;
}

LookupContext lookup_context(pid_t watchdog) {
    LookupContext ctx;
    if (watchdog <= 0) {
        ctx.note = "the watchdog is not running";
    } else if (read_watchdog_view(watchdog, &ctx)) {
        return ctx;
    }
    use_own_view(&ctx);
    return ctx;
}
