// The status page for people: server-rendered HTML, complete without scripts.
#ifndef VEMO_MONITOR_PAGE_H
#define VEMO_MONITOR_PAGE_H

#include "hoststatus.h"

#include <string>

// The headers the page is served with. It loads nothing and runs nothing: its one style sheet
// is the inline <style> element, and its links only navigate.
constexpr const char* kPageContentType = "text/html; charset=utf-8";
constexpr const char* kPageContentSecurityPolicy =
    "default-src 'none'; style-src 'unsafe-inline'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

// The page for status; state_filter "" keeps every row, else only rows whose state_name() is
// state_filter. Rows needing attention come first: down, error, stopping, locked, then
// running (those with a changed command line first) and stopped, each in line order.
std::string render_page(const HostStatus& status, const std::string& state_filter);

// Text made safe between tags and inside quoted attributes: & < > " ' become entities, and
// control characters become '?'.
std::string html_escape(const std::string& text);

#endif
