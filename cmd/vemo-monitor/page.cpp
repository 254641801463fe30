#include "page.h"

std::string render_page(const HostStatus& status, const std::string& state_filter) {
    (void)status;
    (void)state_filter;
    return "<!DOCTYPE html>\n<title>vemo-watchdog</title>\n";
}
