// The server's one thread: an epoll loop over the listening socket, the client connections and
// the status workers, until SIGTERM or SIGINT (let through only while it waits).
#ifndef VEMO_MONITOR_CONNECTIONS_H
#define VEMO_MONITOR_CONNECTIONS_H

#include "monitor.h"
#include "workers.h"

#include <csignal>
#include <vector>

struct LoopSetup {
    const MonitorConfig* config;
    const StatusSource* source;
    const Account* account;
    std::vector<Worker>* workers;
    int listen_fd;
    const sigset_t* wait_mask;
};

// Serves until asked to stop (0) or until a worker fails beyond repair (1); answers what waits
// and closes every connection before it returns.
int serve(const LoopSetup& setup);

#endif
