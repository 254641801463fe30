// Status passes: the request a worker takes and its reply (both sides), and, in the server,
// which worker runs which pass, the texts of recent passes, and the requests waiting for one.
// Everything server-side runs in the server's one thread, from its event loop.
#ifndef VEMO_MONITOR_PASSES_H
#define VEMO_MONITOR_PASSES_H

#include "http.h"
#include "workers.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What a pass renders: the Prometheus text, the /status JSON, the page (for one filter).
enum : unsigned char { KIND_METRICS = 1, KIND_STATUS = 2, KIND_PAGE = 8 };

// Pages of different filters one pass renders at most; the state names are fewer.
const unsigned kMaxPages = 8;

// Sent before the texts. ok 0: the status could not be determined, and the one text is why.
// Else the texts follow in the order asked: Prometheus, JSON, then one page per filter.
struct ReplyHeader {
    std::uint32_t ok;
    std::int32_t rejected_holder;  // holds the watchdog's lock but is no watchdog; 0 when none
    std::uint32_t count;
    // 1: the Prometheus text (sent empty) is the one this worker sent last, its facts unchanged.
    std::uint32_t same;
};

// One text of one pass, shared by every answer it gives; compressed once, when first asked.
struct PassText {
    double began = 0;  // monotonic time its pass began
    std::string text;
    bool gzip_tried = false;
    bool gzip_ok = false;
    GzipBody gzip;
};

// The answer to a request that waited: code 200 with text, else code and why.
struct PassAnswer {
    unsigned code = 0;
    std::shared_ptr<PassText> text;
    std::string why;
};

using PassDone = void (*)(void* client, const PassAnswer& answer);

// Worker side: reads one pass request from fd, runs the pass, writes its reply. 1 when done,
// 0 when the server closed its end, -1 on failure.
int serve_pass(int fd, const StatusSource& source);

// Server side. Takes the started workers (their ends made non-blocking and added to epoll_fd);
// done is called for every request answered later. source and account make a fresh worker.
void passes_start(std::vector<Worker>* workers, const MonitorConfig& config,
                  const StatusSource& source, const Account& account, int epoll_fd, PassDone done);

// A request for kind (and the page's filter) arriving at now: answered at once (true, *out set)
// from a pass begun at most max_age before, else queued for a pass (false).
bool pass_request(void* client, unsigned char kind, const std::string& filter, double now,
                  PassAnswer* out);

// The client went away: it is never answered.
void pass_forget(void* client);

// Handles readiness of fd when it is a worker's (true).
bool pass_event(int fd, double now);

// Ends passes that overran (their workers killed and replaced), and forgets texts too old to
// answer anyone.
void pass_deadlines(double now);

// Whether a worker failed and could not be replaced: the monitor must then exit.
bool passes_failed();

// Milliseconds until pass_deadlines has something to do, -1 when nothing.
int pass_wait_ms(double now);

// Answers every waiting request "stopping", and kills a worker still in a pass, so the workers
// can be stopped without waiting on one that is stuck.
void passes_stop();

// The holder of the watchdog's lock that the last pass found not to be the watchdog; 0 if none.
pid_t pass_rejected_holder();

#endif
