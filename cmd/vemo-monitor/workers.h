// The status workers: processes forked by the server before it starts any thread, each running
// one status pass at a time on request, over a socket pair.
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

// Closes the server's end of every worker and waits for each to end.
void stop_workers(std::vector<Worker>* workers);

#endif
