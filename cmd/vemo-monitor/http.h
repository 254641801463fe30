// The HTTP side of the server, on libmicrohttpd: /metrics, /status and /healthz.
#ifndef VEMO_MONITOR_HTTP_H
#define VEMO_MONITOR_HTTP_H

#include "monitor.h"

#include <microhttpd.h>

#include <string>

// The listening socket for the configured address; -1 with *why on failure.
int open_listen_socket(const MonitorConfig& config, std::string* why);

// The configured address as a URL shows it: an IPv6 one in brackets.
std::string url_host(const MonitorConfig& config);

// Serves on listen_fd from a thread of libmicrohttpd's own; nullptr when it cannot start.
struct MHD_Daemon* start_http(const MonitorConfig& config, int listen_fd);

#endif
