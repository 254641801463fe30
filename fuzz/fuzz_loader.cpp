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

// The line rule itself, judged from the raw bytes: an entry is only ever a whole physical line of
// at most 508 characters without a NUL, never the tail of a longer one.
bool from_whole_short_line(const Supervisee& e, const std::string& data) {
    std::string joined = e.items[0];
    for (size_t i = 1; i < e.items.size(); ++i)
        joined += ":" + e.items[i];
    size_t start = 0;
    while (start <= data.size()) {
        size_t end = data.find('\n', start);
        if (end == std::string::npos) end = data.size();
        std::string line = data.substr(start, end - start);
        size_t lead = line.find_first_not_of(" \t");
        if (line.size() <= 508 && line.find('\0') == std::string::npos &&
            lead != std::string::npos && line.compare(lead, std::string::npos, joined) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Supervisee builtin;
    if (!write_list(data, size)) abort();
    const std::string text(reinterpret_cast<const char*>(data), size);
    reset_supervisees(&builtin);
    load_supervisees(g_list_path);
    if (g_supervisee_vec.empty() || g_supervisee_vec[0] != &builtin) abort();
    for (size_t i = 1; i < g_supervisee_vec.size(); ++i) {
        if (!well_formed(*g_supervisee_vec[i])) abort();
        if (!from_whole_short_line(*g_supervisee_vec[i], text)) abort();
    }
    reset_supervisees(&builtin);
    return 0;
}
