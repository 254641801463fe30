// The status workers: processes that run one status pass at a time on request, over a socket
// pair. They are the server's children, made by a spawner process the server forks before it
// drops root or starts any thread, so that a worker can be replaced at any time.
#ifndef VEMO_MONITOR_WORKERS_H
#define VEMO_MONITOR_WORKERS_H

#include "hoststatus.h"
#include "monitor.h"

#include <sys/types.h>

#include <string>
#include <vector>

// The server's end of one worker.
struct Worker {
    int fd = -1;
    pid_t pid = 0;
};

// Forks count workers, each of which drops root to account, and waits for each to say it is
// ready. false with *why on failure; the workers started so far are in *workers either way.
bool start_workers(unsigned count, const StatusSource& source, const Account& account,
                   std::vector<Worker>* workers, std::string* why);

// Closes the server's end of every worker and of the spawner and waits, bounded, for each to
// end; one that does not end in time gets SIGKILL.
void stop_workers(std::vector<Worker>* workers);

// Ends *worker with SIGKILL (the caller logs why first), reaps it within a short bound, and puts a
// fresh, ready worker in its place. Safe to call from several threads at once, for different
// workers. false with *why when the old one could not be reaped or no new one started: the monitor
// should then exit, and the watchdog starts it afresh.
bool replace_worker(Worker* worker, std::string* why);

#endif
