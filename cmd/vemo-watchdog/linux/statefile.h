// The monitor's state file as every program reads it: the key of the last request's time, and
// how old that time may be for the monitor to count as alive.
#ifndef VEMO_STATEFILE_H
#define VEMO_STATEFILE_H

#include <string>

constexpr const char* kStateKey = "\"last-request-at\"";
// A monitor whose last request is older than this many seconds counts as dead.
constexpr long kMaxRequestAgeSeconds = 3599;

// The request time's digits after the key: from the first digit after it to the last digit
// anywhere after that, so stray characters between digits are skipped; "" without a digit.
inline std::string request_time_digits(const char* after_key) {
    const char* first = after_key;
    while (*first != '\0' && (*first < '0' || *first > '9'))
        ++first;
    if (*first == '\0') return "";
    const char* last = first;
    for (const char* p = first; *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') last = p;
    }
    return std::string(first, static_cast<size_t>(last - first + 1));
}

#endif
