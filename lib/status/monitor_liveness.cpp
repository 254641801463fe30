#include "monitor_liveness.h"

#include "fileio.h"
#include "statefile.h"
#include "text.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The state file opened as a stream; nullptr with *error set. A directory is refused like any
// other file that is not a regular one.
FILE* open_state_file(const std::string& path, std::string* error) {
    int fd = open_regular_file(path.c_str());
    FILE* f = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (f != nullptr) return f;
    int err = errno;
    if (fd >= 0) close(fd);
    *error = err == EISDIR || err == EINVAL ? "not a regular file" : errno_text(err);
    return nullptr;
}

// The request time in a piece that holds the key; false without a digit.
bool request_time(const char* piece, long* value) {
    std::string digits = request_time_digits(strstr(piece, kStateKey) + strlen(kStateKey));
    if (digits.empty()) return false;
    *value = strtol(digits.c_str(), nullptr, 10);
    return true;
}

void judge_request(long value, double now, MonitorState* ms) {
    long current = static_cast<long>(now);
    ms->has_request = true;
    ms->last_request_at = value;
    ms->age_seconds = value > current ? 0 : current - value;
    ms->fresh = value >= current - kMaxRequestAgeSeconds;
}

}  // namespace

MonitorState judge_monitor_state(const std::string& path, double now) {
    MonitorState ms;
    ms.path = path;
    FILE* f = open_state_file(path, &ms.error);
    if (f == nullptr) return ms;
    ms.read = true;
    char piece[128];
    // Only the first piece holding the key counts, with a time in it or not.
    while (fgets(piece, 127, f) != nullptr) {
        if (strstr(piece, kStateKey) == nullptr) continue;
        long value = 0;
        if (request_time(piece, &value)) judge_request(value, now, &ms);
        break;
    }
    fclose(f);
    return ms;
}
