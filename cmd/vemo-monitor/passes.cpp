#include "passes.h"

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <iterator>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

namespace {

struct PassQueue {
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<Request*> waiting;
    bool stopping = false;
};

PassQueue g_queue;
std::atomic<bool> g_worker_lost{false};

// The texts of one pass, shared by every request it answers.
struct PassTexts {
    std::shared_ptr<const std::string> metrics;
    std::shared_ptr<const std::string> json;
};

void answer_from_pass(Request* p, const PassReply& reply, bool asked, bool stopping,
                      const PassTexts& texts) {
    if (stopping) {
        p->code = MHD_HTTP_SERVICE_UNAVAILABLE;
        p->body = std::make_shared<const std::string>("stopping\n");
    } else if (p->want == WANT_HEALTH) {
        bool up = asked && reply.ok && reply.watchdog_up;
        p->code = up ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE;
        p->body = std::make_shared<const std::string>(up ? "ok\n"
                                                         : "the watchdog does not hold its lock\n");
    } else if (!asked || !reply.ok) {
        p->code = MHD_HTTP_INTERNAL_SERVER_ERROR;
        p->body = std::make_shared<const std::string>(
            "status unavailable: " + (asked ? reply.error : std::string("no status worker")) +
            "\n");
    } else {
        p->code = MHD_HTTP_OK;
        p->body = p->want == WANT_METRICS ? texts.metrics : texts.json;
    }
    p->answered = true;
    // The connection may be gone as soon as it runs again: p is not ours any more.
    MHD_resume_connection(p->connection);
}

// Waits for requests (or the stop) and takes every one waiting; *stopping says whether the
// monitor stops. An empty batch: the monitor stops and nothing waits any more.
std::vector<Request*> take_waiting(bool* stopping) {
    std::vector<Request*> batch;
    std::unique_lock<std::mutex> hold(g_queue.mutex);
    g_queue.wake.wait(hold, [] { return g_queue.stopping || !g_queue.waiting.empty(); });
    *stopping = g_queue.stopping;
    batch.swap(g_queue.waiting);
    return batch;
}

unsigned char wants_of(const std::vector<Request*>& batch) {
    return static_cast<unsigned char>(std::accumulate(
        batch.begin(), batch.end(), 0U, [](unsigned w, const Request* p) { return w | p->want; }));
}

// A failed worker makes the monitor stop (the watchdog then starts it afresh): the main loop
// takes this signal.
void report_lost_worker() {
    g_worker_lost = true;
    (void)kill(getpid(), SIGTERM);
}

void wait_for_stop() {
    std::unique_lock<std::mutex> hold(g_queue.mutex);
    g_queue.wake.wait(hold, [] { return g_queue.stopping; });
}

// One dispatcher per worker. Every request waiting when a pass begins is answered by it, so each
// answer comes from a pass begun after its request arrived, and a burst of clients costs a pass
// or two, not one each.
void dispatch(const Worker* worker) {
    bool usable = true;
    for (;;) {
        bool stopping = false;
        std::vector<Request*> batch = take_waiting(&stopping);
        if (stopping && batch.empty()) return;
        PassReply reply;
        bool asked = usable && !stopping && ask_worker(*worker, wants_of(batch), &reply);
        if (usable && !stopping && !asked) {
            usable = false;
            report_lost_worker();
        }
        PassTexts texts = {std::make_shared<const std::string>(std::move(reply.metrics)),
                           std::make_shared<const std::string>(std::move(reply.json))};
        for (Request* p : batch)
            answer_from_pass(p, reply, asked, stopping, texts);
        // Its worker is gone: leave the waiting requests to the others, or to the stop.
        if (!usable) wait_for_stop();
    }
}

}  // namespace

bool queue_for_pass(Request* p, struct MHD_Connection* connection) {
    std::lock_guard<std::mutex> hold(g_queue.mutex);
    if (g_queue.stopping) return false;
    p->connection = connection;
    p->queued = true;
    g_queue.waiting.push_back(p);
    MHD_suspend_connection(connection);
    g_queue.wake.notify_one();
    return true;
}

std::vector<std::thread> start_dispatchers(const std::vector<Worker>& workers) {
    std::vector<std::thread> dispatchers;
    dispatchers.reserve(workers.size());
    std::transform(workers.begin(), workers.end(), std::back_inserter(dispatchers),
                   [](const Worker& worker) { return std::thread(dispatch, &worker); });
    return dispatchers;
}

void stop_dispatchers(std::vector<std::thread>* dispatchers) {
    {
        std::lock_guard<std::mutex> hold(g_queue.mutex);
        g_queue.stopping = true;
    }
    g_queue.wake.notify_all();
    for (std::thread& t : *dispatchers)
        t.join();
    dispatchers->clear();
}

bool worker_lost() {
    return g_worker_lost;
}
