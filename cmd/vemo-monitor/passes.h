// Status requests waiting for a pass, and the dispatcher threads (one per worker) that run the
// passes and answer them, so the HTTP thread never blocks on a pass.
#ifndef VEMO_MONITOR_PASSES_H
#define VEMO_MONITOR_PASSES_H

#include "workers.h"

#include <microhttpd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

// One GET or HEAD request; a status request is suspended while it waits for its pass.
struct Request {
    unsigned char want = 0;  // 0: not a status request
    bool queued = false;
    bool answered = false;  // by its pass: code and body are set
    unsigned code = 0;
    std::shared_ptr<const std::string> body;  // a status text is shared by the whole pass
    struct MHD_Connection* connection = nullptr;
};

// Queues a status request for the next pass and suspends it; false when the monitor stops.
bool queue_for_pass(Request* p, struct MHD_Connection* connection);

// Starts one dispatcher per worker; the workers must outlive them.
std::vector<std::thread> start_dispatchers(const std::vector<Worker>& workers);

// Answers every request still waiting (from its pass, or "stopping") and ends the dispatchers:
// the HTTP server may not stop with any request left suspended.
void stop_dispatchers(std::vector<std::thread>* dispatchers);

// Whether a worker failed, which made the monitor stop.
bool worker_lost();

#endif
