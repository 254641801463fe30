// The status page for people: server-rendered HTML, complete without scripts.
#ifndef VEMO_MONITOR_PAGE_H
#define VEMO_MONITOR_PAGE_H

#include "hoststatus.h"

#include <string>

// The page for status; state_filter "" keeps every row, else only rows in that state.
std::string render_page(const HostStatus& status, const std::string& state_filter);

#endif
