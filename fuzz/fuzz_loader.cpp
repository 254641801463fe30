// Feeds arbitrary watch lists to the loader: every entry must come out well formed, and a reset
// must give back all it took.
#include <fcntl.h>
#include <unistd.h>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vemo-watchdog.h"

// Formats every record, so a bad argument still trips the sanitizers, and never waits on a socket.
extern "C" void vsyslog(int, const char* format, va_list ap) {
    char text[1024];
    vsnprintf(text, sizeof text, format, ap);
}

extern "C" void syslog(int priority, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}

namespace {

std::string g_list_path;

void remove_list() {
    unlink(g_list_path.c_str());
}

bool write_list(const uint8_t* data, size_t size) {
    if (g_list_path.empty()) {
        const char* dir = getenv("TMPDIR");
        std::string pattern = std::string(dir != nullptr ? dir : "/tmp") + "/vemo-fuzz-XXXXXX";
        int fd = mkstemp(&pattern[0]);
        if (fd < 0) return false;
        close(fd);
        g_list_path = pattern;
        atexit(remove_list);
    }
    int fd = open(g_list_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = size == 0 || write(fd, data, size) == static_cast<ssize_t>(size);
    close(fd);
    return ok;
}

// Argument slots point into the entry's own fields, in order, and end within the array.
bool well_formed(const Supervisee& e) {
    if (e.items.size() < 3 || e.prog_pid_file != e.items[1] || e.prog != e.items[2]) return false;
    size_t slot = 1;
    for (; slot < 16 && e.args[slot] != nullptr; ++slot) {
        if (slot + 2 >= e.items.size() || e.args[slot] != e.items[slot + 2].c_str()) return false;
    }
    return slot < 16 && (slot == e.items.size() - 2 || slot == 15);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Supervisee builtin;
    if (!write_list(data, size)) abort();
    reset_supervisees(&builtin);
    load_supervisees(g_list_path);
    if (g_supervisee_vec.empty() || g_supervisee_vec[0] != &builtin) abort();
    for (size_t i = 1; i < g_supervisee_vec.size(); ++i) {
        if (!well_formed(*g_supervisee_vec[i])) abort();
    }
    reset_supervisees(&builtin);
    return 0;
}
