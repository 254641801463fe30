#include "clock.h"

double seconds_of(const struct timespec& ts) {
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

namespace {

double clock_seconds(clockid_t id) {
    struct timespec ts;
    clock_gettime(id, &ts);
    return seconds_of(ts);
}

}  // namespace

double epoch_now() {
    return clock_seconds(CLOCK_REALTIME);
}

double monotonic_now() {
    return clock_seconds(CLOCK_MONOTONIC);
}
