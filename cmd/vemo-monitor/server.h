// The server process: its start-up steps, in the order main takes them, and its stop. A step
// that fails logs why and returns false (or an exit status); one failing once workers run
// stops them first.
#ifndef VEMO_MONITOR_SERVER_H
#define VEMO_MONITOR_SERVER_H

#include "CLockFile.h"
#include "hoststatus.h"
#include "monitor.h"
#include "workers.h"

#include <csignal>
#include <vector>

struct Server {
    sigset_t wait_mask;  // the mask of the main loop's wait: the stop signals let through
    CLockFile lock;
    int listen_fd = -1;
    Account account;  // empty when not started as root
    std::vector<Worker> workers;
};

// Prints how to call it; the exit status for a wrong call.
int print_usage();

// SIGTERM and SIGINT ask for the stop, and stay blocked but in the event loop's wait.
void install_signals(Server* server);

// Status texts are large and short-lived: allocations from 64 KiB on get pages of their own,
// unmapped when freed, instead of growing a heap that stays grown.
void map_large_allocations_apart();

// Makes the run directory and takes the pid-file lock: 0, else the exit status (3: another
// monitor holds it).
int lock_pid_file(Server* server);

// Opens the state file and writes its first record (see start_state_file).
bool write_first_state();
// Binds the configured address, before the drop.
bool open_listener(const MonitorConfig& config, Server* server);
// Finds the account (when root) and forks the status workers, which drop root to it.
bool start_status_workers(const MonitorConfig& config, const StatusSource& source, Server* server);
// When root, becomes the account for good, keeping no capability.
bool drop_server_root(Server* server);
// Logs that it serves, and serves until asked to stop; the exit status (1 when a worker failed
// beyond repair). Every connection is closed when it returns.
int serve_http(const MonitorConfig& config, const StatusSource& source, Server* server);

// Whether SIGTERM or SIGINT came.
bool stop_requested();

// Stops the workers and gives up the lock; returns rc, the exit status.
int stop_server(Server* server, int rc);

#endif
