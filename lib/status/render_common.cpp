#include "render_common.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

std::string duration(double seconds) {
    long s = seconds < 0 ? 0 : static_cast<long>(seconds);
    char buf[48];
    if (s < 60) {
        snprintf(buf, sizeof buf, "%lds", s);
    } else if (s < 3600) {
        snprintf(buf, sizeof buf, "%ldm %lds", s / 60, s % 60);
    } else if (s < 86400) {
        snprintf(buf, sizeof buf, "%ldh %ldm", s / 3600, s % 3600 / 60);
    } else {
        snprintf(buf, sizeof buf, "%ldd %ldh", s / 86400, s % 86400 / 3600);
    }
    return buf;
}

std::string fixed_number(double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.3f", std::isfinite(v) ? v : 0.0);
    return buf;
}

bool entry_live(const EntryStatus& e) {
    return e.state == STATE_RUNNING || e.state == STATE_STOPPING;
}

std::vector<const EntryStatus*> shown_entries(const HostStatus& s) {
    std::vector<const EntryStatus*> rows;
    if (s.monitor_selected) rows.push_back(&s.monitor);
    std::transform(s.entries.begin(), s.entries.end(), std::back_inserter(rows),
                   [](const EntryStatus& e) { return &e; });
    return rows;
}
