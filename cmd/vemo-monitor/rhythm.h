// A client that asks at a steady interval (a Prometheus scrape, the page's own refresh) finds
// its text fresh: after two like intervals between its requests, one pass is begun just before
// the next is due. A request buys at most one such pass, so a client that stops asking costs
// one pass more and then nothing: no pass is ever timed without a request before it.
// Server side only, from its one thread.
#ifndef VEMO_MONITOR_RHYTHM_H
#define VEMO_MONITOR_RHYTHM_H

#include <string>

// A request for kind (and the page's filter) arrived at now; max_age is how old a text may be.
void rhythm_heard(unsigned char kind, const std::string& filter, double now, double max_age);

// A pass took this long: the next ones are begun that much earlier.
void rhythm_pass_took(double seconds);

// Takes the next pass due by now (true, *kind and *filter set); false when none is.
bool rhythm_due(double now, unsigned char* kind, std::string* filter);

// Monotonic time of the next pass due, 0 when none.
double rhythm_next();

#endif
