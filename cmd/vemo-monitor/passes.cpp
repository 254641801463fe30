#include "passes.h"

#include "fileio.h"
#include "rhythm.h"
#include "text.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

// Far above any real watch list's status text; only a broken worker sends more.
const uint64_t kMaxReply = 256ULL << 20;
// Reserved for a reply at once; a larger one (a broken worker's) grows as it comes.
const uint64_t kReserveAtMost = 64ULL << 20;

struct Slot {
    bool busy = false;
    double began = 0;
    double deadline = 0;
    unsigned char kinds = 0;
    std::vector<std::string> filters;
    std::string in;       // the reply so far
    std::string failure;  // why the worker could not be asked: failed at the next deadline check
};

struct Waiter {
    void* client;
    unsigned char kind;
    std::string filter;
    double arrived;
};

struct Passes {
    std::vector<Worker>* workers = nullptr;
    std::vector<Slot> slots;
    std::vector<Waiter> waiting;
    std::map<std::string, std::shared_ptr<PassText>> texts;  // the newest of each kind
    double max_age = 1;
    double pass_timeout = 25;
    const StatusSource* source = nullptr;
    const Account* account = nullptr;
    int epoll_fd = -1;
    PassDone done = nullptr;
    pid_t rejected_holder = 0;
    bool failed = false;
    // Texts to renew before they are too old: under steady load no request waits for a pass.
    unsigned char ahead_kinds = 0;
    std::vector<std::string> ahead_filters;
    // Each worker's last Prometheus text, which it may name again instead of sending it.
    std::vector<std::shared_ptr<PassText>> last_metrics;
};

Passes g;

std::string key_of(unsigned char kind, const std::string& filter) {
    return std::string(1, static_cast<char>(kind)) + (kind == KIND_PAGE ? filter : "");
}

// Whether the pass running in s will answer w: it began late enough and renders what w wants.
bool covers(const Slot& s, const Waiter& w) {
    if (!s.busy || s.began < w.arrived - g.max_age || (s.kinds & w.kind) == 0) return false;
    return w.kind != KIND_PAGE ||
           std::find(s.filters.begin(), s.filters.end(), w.filter) != s.filters.end();
}

// The text that answers a request of kind arrived at arrived, or nullptr.
std::shared_ptr<PassText> fresh_text(unsigned char kind, const std::string& filter,
                                     double arrived) {
    auto it = g.texts.find(key_of(kind, filter));
    if (it == g.texts.end() || it->second->began < arrived - g.max_age) return nullptr;
    return it->second;
}

// Answers, and forgets, every waiter pick says how to answer (code 0: not yet).
template <typename Pick>
void answer_waiting(Pick pick) {
    std::vector<Waiter> still;
    std::vector<std::pair<void*, PassAnswer>> answers;
    for (Waiter& w : g.waiting) {
        PassAnswer a = pick(w);
        if (a.code == 0) {
            still.push_back(std::move(w));
        } else {
            answers.emplace_back(w.client, std::move(a));
        }
    }
    g.waiting.swap(still);
    for (auto& a : answers)
        g.done(a.first, a.second);
}

bool watch_worker(int fd, int op) {
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           epoll_ctl(g.epoll_fd, op, fd, &ev) == 0;
}

// SIGKILL, then a bounded wait: a process stuck in the kernel may take longer to die, and is
// then left to the kernel's reaping of orphans once the monitor ends.
void kill_and_reap(pid_t pid) {
    (void)kill(pid, SIGKILL);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) != 0) return;
        struct timespec pause = {0, 10L * 1000 * 1000};
        (void)nanosleep(&pause, nullptr);
    }
    syslog(LOG_ERR, "status worker %d did not end within a second of SIGKILL",
           static_cast<int>(pid));
}

// The worker of slot i failed (why): its waiters get an error, and a fresh worker its place.
void fail_slot(size_t i, const std::string& why) {
    Worker& w = (*g.workers)[i];
    Slot& s = g.slots[i];
    syslog(LOG_ERR, "status worker %d %s: ending it", static_cast<int>(w.pid), why.c_str());
    answer_waiting([&](const Waiter& x) {
        PassAnswer a;
        if (covers(s, x)) {
            a.code = 500;
            a.why = "status unavailable: the status worker " + why + "\n";
        }
        return a;
    });
    (void)epoll_ctl(g.epoll_fd, EPOLL_CTL_DEL, w.fd, nullptr);
    s = Slot();
    g.last_metrics[i] = nullptr;
    // A fresh worker in its place, from the spawner; when none can be had the monitor exits, and
    // the watchdog starts it afresh.
    std::string err;
    if (!replace_worker(&w, &err) || !watch_worker(w.fd, EPOLL_CTL_ADD)) {
        syslog(LOG_ERR, "cannot replace the status worker: %s; stopping, to be started afresh",
               err.empty() ? errno_text(errno).c_str() : err.c_str());
        g.failed = true;
    }
}

// Starts a pass in idle slot i for the waiters no running pass will answer; false if none.
bool start_pass(size_t i, double now) {
    Slot& s = g.slots[i];
    s.kinds = 0;
    s.filters.clear();
    for (const Waiter& w : g.waiting) {
        if (std::any_of(g.slots.begin(), g.slots.end(),
                        [&](const Slot& o) { return covers(o, w); }))
            continue;
        s.kinds = static_cast<unsigned char>(s.kinds | w.kind);
        if (w.kind == KIND_PAGE && s.filters.size() < kMaxPages &&
            std::find(s.filters.begin(), s.filters.end(), w.filter) == s.filters.end())
            s.filters.push_back(w.filter);
    }
    s.kinds = static_cast<unsigned char>(s.kinds | g.ahead_kinds);
    for (const std::string& f : g.ahead_filters)
        if (s.filters.size() < kMaxPages &&
            std::find(s.filters.begin(), s.filters.end(), f) == s.filters.end())
            s.filters.push_back(f);
    g.ahead_kinds = 0;
    g.ahead_filters.clear();
    if (s.kinds == 0) return false;
    std::string request(1, static_cast<char>(s.kinds));
    request.push_back(static_cast<char>(s.filters.size()));
    for (const std::string& f : s.filters)
        request += std::string(1, static_cast<char>(f.size())) + f;
    s.busy = true;
    s.began = now;
    s.deadline = now + g.pass_timeout;
    if (!write_all((*g.workers)[i].fd, request.data(), request.size())) {
        s.failure = "could not be asked (" + errno_text(errno) + ")";
        s.deadline = now;
    }
    return true;
}

void schedule(double now) {
    for (size_t i = 0; i < g.slots.size() && !g.failed; ++i)
        if (!g.slots[i].busy && !start_pass(i, now)) return;
}

// The reply in s.in, once whole: its texts kept, its waiters answered.
void finish_pass(size_t i, const ReplyHeader& h, size_t offset, double now) {
    Slot& s = g.slots[i];
    std::vector<std::string> keys;
    if ((s.kinds & KIND_METRICS) != 0) keys.push_back(key_of(KIND_METRICS, ""));
    if ((s.kinds & KIND_STATUS) != 0) keys.push_back(key_of(KIND_STATUS, ""));
    std::transform(s.filters.begin(), s.filters.end(), std::back_inserter(keys),
                   [](const std::string& f) { return key_of(KIND_PAGE, f); });
    std::string error;
    std::string in;
    in.swap(s.in);
    for (uint32_t k = 0; k < h.count; ++k) {
        uint64_t length = 0;
        memcpy(&length, in.data() + sizeof h + k * sizeof length, sizeof length);
        // The last text takes the reply's own buffer: no copy to allocate for it.
        std::string text = k + 1 < h.count ? in.substr(offset, static_cast<size_t>(length))
                                           : std::move(in.erase(0, offset));
        offset += static_cast<size_t>(length);
        if (h.ok == 0) {
            error = text;
        } else if (k < keys.size()) {
            // The text named again keeps its compressed form too.
            bool again = k == 0 && h.same != 0;
            auto t = again ? g.last_metrics[i] : std::make_shared<PassText>();
            t->began = s.began;
            if (!again) t->text.swap(text);
            g.texts[keys[k]] = t;
            if (k == 0 && (s.kinds & KIND_METRICS) != 0) g.last_metrics[i] = t;
        }
    }
    if (h.ok != 0) g.rejected_holder = h.rejected_holder;
    rhythm_pass_took(now - s.began);
    Slot ran = s;
    s = Slot();
    answer_waiting([&](const Waiter& w) {
        PassAnswer a;
        if (h.ok == 0 && covers(ran, w)) {
            a.code = 500;
            a.why = "status unavailable: " + error + "\n";
        } else if ((a.text = fresh_text(w.kind, w.filter, w.arrived)) != nullptr) {
            a.code = 200;
        }
        return a;
    });
    schedule(now);
}

// The reply's size once its lengths are in, else 0 (also when they are not believable).
uint64_t reply_size(const std::string& in) {
    ReplyHeader h;
    if (in.size() < sizeof h) return 0;
    memcpy(&h, in.data(), sizeof h);
    uint64_t total = sizeof h + h.count * sizeof(uint64_t);
    if (h.count > 2 + kMaxPages || in.size() < total) return 0;
    for (uint32_t k = 0; k < h.count; ++k) {
        uint64_t len = 0;
        memcpy(&len, in.data() + sizeof h + k * sizeof len, sizeof len);
        if (len > kMaxReply) return 0;
        total += len;
    }
    return total;
}

// Whether the reply is whole (*total its size); false with *bad set when it is malformed.
bool reply_whole(const std::string& in, ReplyHeader* h, size_t* offset, bool* bad) {
    if (in.size() < sizeof *h) return false;
    memcpy(h, in.data(), sizeof *h);
    if (h->count > 2 + kMaxPages) {
        *bad = true;
        return false;
    }
    *offset = sizeof *h + h->count * sizeof(uint64_t);
    if (in.size() < *offset) return false;
    uint64_t total = reply_size(in);  // 0: a length past kMaxReply
    if (total == 0) {
        *bad = true;
        return false;
    }
    if (in.size() > total) *bad = true;
    return in.size() == total;
}

}  // namespace

void passes_start(std::vector<Worker>* workers, const MonitorConfig& config,
                  const StatusSource& source, const Account& account, int epoll_fd, PassDone done) {
    g.workers = workers;
    g.slots.assign(workers->size(), Slot());
    g.last_metrics.assign(workers->size(), nullptr);
    g.max_age = config.max_age_ms / 1000.0;
    g.pass_timeout = config.pass_timeout_seconds;
    g.source = &source;
    g.account = &account;
    g.epoll_fd = epoll_fd;
    g.done = done;
    for (const Worker& w : *workers)
        if (!watch_worker(w.fd, EPOLL_CTL_ADD)) g.failed = true;
}

namespace {

// A pass for kind begun now, unless one running already renders it.
void pass_ahead(unsigned char kind, const std::string& filter, double now) {
    Waiter w = {nullptr, kind, filter, now};
    if (std::any_of(g.slots.begin(), g.slots.end(), [&](const Slot& o) { return covers(o, w); }))
        return;
    g.ahead_kinds = static_cast<unsigned char>(g.ahead_kinds | kind);
    if (kind == KIND_PAGE &&
        std::find(g.ahead_filters.begin(), g.ahead_filters.end(), filter) == g.ahead_filters.end())
        g.ahead_filters.push_back(filter);
    schedule(now);
}

}  // namespace

bool pass_request(void* client, unsigned char kind, const std::string& filter, double now,
                  PassAnswer* out) {
    rhythm_heard(kind, filter, now, g.max_age);
    out->text = fresh_text(kind, filter, now);
    if (out->text != nullptr) {
        out->code = 200;
        // Past half its useful age, it is renewed now: under steady load no request waits.
        if (out->text->began < now - g.max_age / 2) pass_ahead(kind, filter, now);
        return true;
    }
    g.waiting.push_back({client, kind, filter, now});
    schedule(now);
    return false;
}

void pass_forget(void* client) {
    g.waiting.erase(std::remove_if(g.waiting.begin(), g.waiting.end(),
                                   [client](const Waiter& w) { return w.client == client; }),
                    g.waiting.end());
}

bool pass_event(int fd, double now) {
    auto at = std::find_if(g.workers->begin(), g.workers->end(),
                           [fd](const Worker& w) { return w.fd == fd; });
    if (at == g.workers->end()) return false;
    auto i = static_cast<size_t>(at - g.workers->begin());
    Slot& s = g.slots[i];
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0 && s.busy) {
            bool sized = s.in.size() >= sizeof(ReplyHeader) + (2 + kMaxPages) * sizeof(uint64_t);
            s.in.append(buf, static_cast<size_t>(n));
            // Room for the whole reply as soon as its size is known, not grown step by step.
            if (!sized) s.in.reserve(std::min<uint64_t>(reply_size(s.in), kReserveAtMost));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        fail_slot(i, n == 0  ? "ended"
                     : n > 0 ? "spoke unasked"
                             : "failed (" + errno_text(errno) + ")");
        schedule(now);
        return true;
    }
    ReplyHeader h = {};
    size_t offset = 0;
    bool bad = false;
    bool whole = reply_whole(s.in, &h, &offset, &bad);
    // A worker can name again only a Prometheus text it sent.
    if (whole && h.same != 0 &&
        (h.ok == 0 || (s.kinds & KIND_METRICS) == 0 || g.last_metrics[i] == nullptr)) {
        whole = false;
        bad = true;
    }
    if (whole) {
        finish_pass(i, h, offset, now);
    } else if (bad) {
        fail_slot(i, "sent a malformed reply");
        schedule(now);
    }
    return true;
}

void pass_deadlines(double now) {
    for (size_t i = 0; i < g.slots.size() && !g.failed; ++i)
        if (g.slots[i].busy && g.slots[i].deadline <= now)
            fail_slot(i, !g.slots[i].failure.empty()
                             ? g.slots[i].failure
                             : "took longer than " +
                                   std::to_string(static_cast<int>(g.pass_timeout)) +
                                   " s for its pass");
    unsigned char kind = 0;
    std::string filter;
    while (!g.failed && rhythm_due(now, &kind, &filter))
        pass_ahead(kind, filter, now);
    if (!g.failed) schedule(now);
    // A text older than max_age answers nobody any more: its memory goes back now.
    size_t before = g.texts.size();
    for (auto it = g.texts.begin(); it != g.texts.end();)
        it = it->second->began + g.max_age < now ? g.texts.erase(it) : std::next(it);
    if (g.texts.size() < before) (void)malloc_trim(0);
}

bool passes_failed() {
    return g.failed;
}

int pass_wait_ms(double now) {
    std::vector<double> due;
    for (const Slot& s : g.slots)
        if (s.busy) due.push_back(s.deadline);
    std::transform(g.texts.begin(), g.texts.end(), std::back_inserter(due),
                   [](const auto& t) { return t.second->began + g.max_age + 0.001; });
    if (rhythm_next() != 0) due.push_back(rhythm_next());
    if (due.empty()) return -1;
    double next = *std::min_element(due.begin(), due.end());
    return static_cast<int>(std::max(0.0, std::ceil((next - now) * 1000)));
}

void passes_stop() {
    answer_waiting([](const Waiter&) {
        PassAnswer a;
        a.code = 503;
        a.why = "stopping\n";
        return a;
    });
    // A worker in a pass, or every one when a replacement failed (one may be stuck), is killed:
    // the stop must not wait for a pass that may never end.
    for (size_t i = 0; i < g.slots.size(); ++i)
        if (g.slots[i].busy || g.failed) kill_and_reap((*g.workers)[i].pid);
    g.texts.clear();
}

pid_t pass_rejected_holder() {
    return g.rejected_holder;
}
