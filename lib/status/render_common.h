// What the table, JSON and Prometheus renderers share, so a figure reads the same in each.
#ifndef VEMO_RENDER_COMMON_H
#define VEMO_RENDER_COMMON_H

#include "hoststatus.h"

#include <string>
#include <vector>

// "42s", "3m 5s", "2h 10m", "4d 1h": at most two units, the rest cut off; negative is 0.
std::string duration(double seconds);

// Three decimals ("%.3f"); what is not finite is written 0.000.
std::string fixed_number(double v);

// Running or stopping: a named process holds the entry's lock.
bool entry_live(const EntryStatus& e);

// The monitor (unless selectors left it out), then the list's entries in file order.
std::vector<const EntryStatus*> shown_entries(const HostStatus& s);

#endif
