#include "rhythm.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace {

// The kinds and filters followed at once; one heard anew replaces the one heard longest ago.
const size_t kMaxBeats = 8;

struct Beat {
    unsigned char kind = 0;
    std::string filter;
    double last = 0;      // when it was last asked for
    double interval = 0;  // between its last two requests; 0 when they came closer than max_age
    double due = 0;       // when to begin its pass; 0 when none is planned
};

struct Rhythm {
    std::vector<Beat> beats;
    double pass_seconds = 0.05;  // what the last pass took
};

Rhythm g;

Beat* beat_of(unsigned char kind, const std::string& filter, double now) {
    auto it = std::find_if(g.beats.begin(), g.beats.end(),
                           [&](const Beat& b) { return b.kind == kind && b.filter == filter; });
    if (it != g.beats.end()) return &*it;
    if (g.beats.size() >= kMaxBeats)
        g.beats.erase(
            std::min_element(g.beats.begin(), g.beats.end(),
                             [](const Beat& a, const Beat& b) { return a.last < b.last; }));
    Beat b;
    b.kind = kind;
    b.filter = filter;
    b.last = now;
    g.beats.push_back(b);
    return nullptr;
}

}  // namespace

void rhythm_heard(unsigned char kind, const std::string& filter, double now, double max_age) {
    Beat* b = beat_of(kind, filter, now);
    if (b == nullptr) return;
    double gap = now - b->last;
    b->last = now;
    // Closer requests share passes already; a rhythm is two intervals alike within the jitter
    // a text's age allows.
    bool steady = gap > max_age && b->interval > 0 && std::fabs(gap - b->interval) < max_age / 2;
    b->interval = gap > max_age ? gap : 0;
    // Done a quarter of max_age before the request is due, its text answers it until about
    // three quarters of max_age after.
    double begin = now + gap - g.pass_seconds - max_age / 4;
    b->due = steady && begin > now ? begin : 0;
}

void rhythm_pass_took(double seconds) {
    g.pass_seconds = std::max(0.001, seconds);
}

bool rhythm_due(double now, unsigned char* kind, std::string* filter) {
    auto it = std::find_if(g.beats.begin(), g.beats.end(),
                           [now](const Beat& b) { return b.due != 0 && b.due <= now; });
    if (it == g.beats.end()) return false;
    it->due = 0;
    *kind = it->kind;
    *filter = it->filter;
    return true;
}

double rhythm_next() {
    return std::accumulate(g.beats.begin(), g.beats.end(), 0.0, [](double next, const Beat& b) {
        return b.due != 0 && (next == 0 || b.due < next) ? b.due : next;
    });
}
