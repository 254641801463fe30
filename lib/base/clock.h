// The two clocks the companions read: the wall clock for what is shown and published, the
// monotonic clock for every deadline and duration, so a clock step never shortens a wait.
#ifndef VEMO_CLOCK_H
#define VEMO_CLOCK_H

#include <ctime>

double seconds_of(const struct timespec& ts);
double epoch_now();      // CLOCK_REALTIME, seconds since the epoch
double monotonic_now();  // CLOCK_MONOTONIC, seconds

#endif
