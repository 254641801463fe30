#include "connections.h"

#include "clock.h"
#include "http.h"
#include "page.h"
#include "passes.h"
#include "server.h"
#include "text.h"

#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

const unsigned kMaxHeaders = 100;
const char* const kText = "text/plain; charset=utf-8";
// The page has no script and loads nothing: the browser is told to run and fetch nothing else.
std::string page_headers() {
    return std::string("Content-Security-Policy: ") + kPageContentSecurityPolicy +
           "\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n";
}

enum ConnState { READING, IGNORING, WAITING, WRITING };

struct Conn {
    int fd = -1;
    ConnState state = READING;
    double opened = 0;
    double deadline = 0;
    std::string peer;
    std::string in;
    HttpRequest req;
    // The answer: head, then the shared body (the text or its gzip stream), then tail.
    std::string head;
    std::shared_ptr<PassText> body;
    bool body_gzip = false;
    std::string tail;
    size_t sent = 0;
    bool close_after = false;
};

struct Loop {
    const MonitorConfig* config = nullptr;
    std::string watchdog_pid_file;
    int epoll_fd = -1;
    int listen_fd = -1;
    bool accepting = true;
    std::vector<std::unique_ptr<Conn>> by_fd;
    unsigned count = 0;
    std::map<std::string, unsigned> per_ip;
    double next_deadline = 0;  // no connection's deadline is earlier; 0: none
    double trim_due = 0;       // when the last connection closed: give memory back then
    unsigned long long requests = 0;
    std::vector<int> pipelined;  // kept-alive connections with the next request already in
};

Loop g;

std::string own_metrics(unsigned long long requests) {
    return "# HELP vemo_monitor_requests_total HTTP requests this monitor answered since it "
           "started, this one included.\n"
           "# TYPE vemo_monitor_requests_total counter\n"
           "vemo_monitor_requests_total " +
           std::to_string(requests) +
           "\n# HELP vemo_monitor_start_time_seconds When this monitor started, in seconds since "
           "the epoch.\n"
           "# TYPE vemo_monitor_start_time_seconds gauge\n"
           "vemo_monitor_start_time_seconds " +
           std::to_string(static_cast<long long>(monitor_started_at())) + "\n";
}

void set_events(Conn* c, uint32_t events) {
    struct epoll_event ev = {};
    ev.events = events;
    ev.data.fd = c->fd;
    (void)epoll_ctl(g.epoll_fd, EPOLL_CTL_MOD, c->fd, &ev);
}

void note_deadline(double when) {
    if (g.next_deadline == 0 || when < g.next_deadline) g.next_deadline = when;
}

void close_conn(Conn* c, double now) {
    if (c->state == WAITING) pass_forget(c);
    (void)epoll_ctl(g.epoll_fd, EPOLL_CTL_DEL, c->fd, nullptr);
    close(c->fd);
    auto ip = g.per_ip.find(c->peer);
    if (ip != g.per_ip.end() && --ip->second == 0) g.per_ip.erase(ip);
    g.by_fd[static_cast<size_t>(c->fd)].reset();
    // With the last connection gone no deadline is left: one kept armed would wake an idle
    // monitor for nothing.
    if (--g.count == 0) {
        g.trim_due = now + 0.5;
        g.next_deadline = 0;
    }
    if (!g.accepting) {
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.fd = g.listen_fd;
        g.accepting = epoll_ctl(g.epoll_fd, EPOLL_CTL_ADD, g.listen_fd, &ev) == 0;
    }
}

void write_some(Conn* c, double now);

// A whole answer in head (a short text, or none for HEAD).
void answer_text(Conn* c, unsigned code, const std::string& text, const char* extra, double now) {
    bool keep = c->req.keep_alive && !c->close_after && code < 400;
    c->close_after = !keep;
    c->head = response_head(code, kText, text.size(), false, keep, extra);
    if (c->req.method != "HEAD") c->head += text;
    c->body.reset();
    c->tail.clear();
    write_some(c, now);
}

// A status text: shared, compressed once for every client that takes gzip.
void answer_pass(Conn* c, const std::shared_ptr<PassText>& text, unsigned char kind, double now) {
    std::string tail = kind == KIND_METRICS ? own_metrics(g.requests) : "";
    PassText& t = *text;
    bool gzip = c->req.gzip && (t.gzip_tried || t.text.size() + tail.size() > 1024);
    if (gzip && !t.gzip_tried) {
        t.gzip_tried = true;
        t.gzip_ok = gzip_open(t.text, &t.gzip);
    }
    gzip = gzip && t.gzip_ok;
    c->body = text;
    c->body_gzip = gzip;
    c->tail = gzip ? gzip_close(t.gzip, tail) : tail;
    size_t length = (gzip ? t.gzip.open_stream.size() : t.text.size()) + c->tail.size();
    const char* type = kind == KIND_METRICS  ? "text/plain; version=0.0.4; charset=utf-8"
                       : kind == KIND_STATUS ? "application/json"
                                             : kPageContentType;
    c->close_after = !c->req.keep_alive;
    c->head = response_head(200, type, length, gzip, c->req.keep_alive,
                            (kind == KIND_PAGE ? page_headers() : std::string()).c_str());
    if (c->req.method == "HEAD") {
        c->body.reset();
        c->tail.clear();
    }
    write_some(c, now);
}

// What a pass answered to a request that waited.
void pass_done(void* client, const PassAnswer& a) {
    auto* c = static_cast<Conn*>(client);
    double now = monotonic_now();
    c->state = WRITING;
    c->deadline = now + g.config->timeout_seconds;
    note_deadline(c->deadline);
    unsigned char kind = c->req.path == "/metrics"  ? KIND_METRICS
                         : c->req.path == "/status" ? KIND_STATUS
                                                    : KIND_PAGE;
    if (a.code == 200) {
        answer_pass(c, a.text, kind, now);
    } else {
        answer_text(c, a.code, a.why, "", now);
    }
}

// The watchdog holds its lock: an F_GETLK probe of its pid file, the one fact /healthz needs.
// false with *why when it does not, or when the file cannot be probed.
bool watchdog_holds_lock(std::string* why) {
    *why = "the watchdog does not hold its lock";
    int fd = open(g.watchdog_pid_file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) *why = g.watchdog_pid_file + ": " + errno_text(errno);
        return false;
    }
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    int rc = fcntl(fd, F_GETLK, &probe);
    if (rc != 0) *why = g.watchdog_pid_file + ": " + errno_text(errno);
    close(fd);
    // A holder the last pass found to be no watchdog is none; one in another namespace is.
    return rc == 0 && probe.l_type != F_UNLCK &&
           (probe.l_pid == 0 || probe.l_pid != pass_rejected_holder());
}

// The page's one parameter: nothing, or state=NAME of a known state; false otherwise.
bool page_filter(const std::string& query, std::string* filter) {
    if (query.empty()) return true;
    if (query.compare(0, 6, "state=") != 0) return false;
    *filter = query.substr(6);
    const char* const kNames[] = {"running", "down", "stopping", "stopped", "locked", "error"};
    return std::find(std::begin(kNames), std::end(kNames), *filter) != std::end(kNames);
}

// A whole request in c->req: counted, recorded, and answered or queued for a pass.
void route(Conn* c, double now) {
    if (!c->req.has_host ? c->req.http11 : !host_allowed(*g.config, c->req.host)) {
        c->close_after = true;
        answer_text(c, 421, "this host name is not served: see hosts= in vemo-monitor.conf\n", "",
                    now);
        return;
    }
    record_request(++g.requests);
    const HttpRequest& r = c->req;
    if (r.method != "GET" && r.method != "HEAD") {
        c->close_after = true;
        answer_text(c, 405, "only GET and HEAD\n", "Allow: GET, HEAD\r\n", now);
        return;
    }
    std::string why;
    if (r.path == "/healthz") {
        bool up = watchdog_holds_lock(&why);
        answer_text(c, up ? 200 : 503, up ? "ok\n" : why + "\n", "", now);
        return;
    }
    std::string filter;
    unsigned char kind = r.path == "/metrics"  ? KIND_METRICS
                         : r.path == "/status" ? KIND_STATUS
                         : r.path == "/"       ? KIND_PAGE
                                               : 0;
    if (kind == 0) {
        answer_text(c, 404, "not found: try /, /metrics, /status, /healthz\n", "", now);
        return;
    }
    if (kind == KIND_PAGE && !page_filter(r.query, &filter)) {
        answer_text(c, 400,
                    "the page takes only state=running|down|stopping|stopped|locked|error\n", "",
                    now);
        return;
    }
    PassAnswer a;
    c->state = WAITING;
    set_events(c, 0);
    if (pass_request(c, kind, filter, now, &a)) pass_done(c, a);
}

void parse_input(Conn* c, double now);

// Reads what is there and acts on a whole request.
void take_input(Conn* c, double now) {
    size_t limit = g.config->request_memory;
    char buf[16384];
    bool fresh_line = false;
    for (;;) {
        size_t room =
            c->state == IGNORING ? sizeof buf : std::min(sizeof buf, limit + 1 - c->in.size());
        ssize_t n = room == 0 ? 0 : read(c->fd, buf, room);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0 && room != 0) return close_conn(c, now);
        if (c->state == IGNORING) continue;
        if (room == 0) break;
        bool first = c->in.empty();
        c->in.append(buf, static_cast<size_t>(n));
        fresh_line = fresh_line || first || memchr(buf, '\n', static_cast<size_t>(n)) != nullptr ||
                     memchr(buf, '\0', static_cast<size_t>(n)) != nullptr;
    }
    if (c->state == READING && (fresh_line || c->in.size() > limit)) parse_input(c, now);
}

void parse_input(Conn* c, double now) {
    size_t limit = g.config->request_memory;
    ParseResult rc = parse_request(c->in.data(), c->in.size(), limit, kMaxHeaders, &c->req);
    if (rc == PARSE_DROP) return close_conn(c, now);
    if (rc == PARSE_IGNORE) {
        c->state = IGNORING;
        std::string().swap(c->in);
    } else if (rc == PARSE_REJECT) {
        c->close_after = true;
        answer_text(c, c->req.error, std::string(reason_phrase(c->req.error)) + "\n", "", now);
    } else if (rc == PARSE_DONE) {
        route(c, now);
    }
}

// The answer's bytes from c->sent on, in up to three pieces.
int answer_pieces(const Conn* c, struct iovec* iov) {
    const std::string* parts[3] = {&c->head, nullptr, &c->tail};
    if (c->body != nullptr) parts[1] = c->body_gzip ? &c->body->gzip.open_stream : &c->body->text;
    size_t skip = c->sent;
    int n = 0;
    for (const std::string* p : parts) {
        if (p == nullptr || skip >= p->size()) {
            skip -= p == nullptr ? 0 : p->size();
            continue;
        }
        iov[n].iov_base = const_cast<char*>(p->data() + skip);
        iov[n].iov_len = p->size() - skip;
        skip = 0;
        ++n;
    }
    return n;
}

void next_request(Conn* c, double now);

void write_some(Conn* c, double now) {
    c->state = WRITING;
    for (;;) {
        struct iovec iov[3];
        int n = answer_pieces(c, iov);
        if (n == 0) break;
        ssize_t done = writev(c->fd, iov, n);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0 && errno == EAGAIN) {
            set_events(c, EPOLLOUT);
            return;
        }
        if (done < 0) return close_conn(c, now);
        c->sent += static_cast<size_t>(done);
    }
    if (c->close_after) return close_conn(c, now);
    next_request(c, now);
}

// Kept alive: the next request has the whole timeout again, and may already be in.
void next_request(Conn* c, double now) {
    c->in.erase(0, c->req.consumed);
    c->head.clear();
    c->body.reset();
    c->tail.clear();
    c->sent = 0;
    c->req = HttpRequest();
    c->state = READING;
    c->deadline = now + g.config->timeout_seconds;
    note_deadline(c->deadline);
    set_events(c, EPOLLIN);
    // Taken after this round of events, not from here: a long pipeline must not nest deeper.
    if (!c->in.empty()) g.pipelined.push_back(c->fd);
}

// At the limit, the oldest connection still sending its request makes room: a slow client
// never keeps out a new one.
bool make_room(double now) {
    Conn* oldest = nullptr;
    for (auto& c : g.by_fd)
        if (c && (c->state == READING || c->state == IGNORING) &&
            (oldest == nullptr || c->opened < oldest->opened))
            oldest = c.get();
    if (oldest == nullptr) return false;
    close_conn(oldest, now);
    return true;
}

void accept_all(double now) {
    for (;;) {
        struct sockaddr_storage addr = {};
        socklen_t len = sizeof addr;
        int fd = accept4(g.listen_fd, reinterpret_cast<struct sockaddr*>(&addr), &len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
        if (fd < 0 && (errno == EMFILE || errno == ENFILE) && make_room(now)) continue;
        if (fd < 0) {
            // Out of descriptors with none to free: stop listening until a connection ends.
            if (errno == EMFILE || errno == ENFILE)
                g.accepting = epoll_ctl(g.epoll_fd, EPOLL_CTL_DEL, g.listen_fd, nullptr) != 0;
            return;
        }
        const auto* in = reinterpret_cast<const struct sockaddr_in*>(&addr);
        const auto* in6 = reinterpret_cast<const struct sockaddr_in6*>(&addr);
        std::string peer = addr.ss_family == AF_INET6
                               ? std::string(reinterpret_cast<const char*>(&in6->sin6_addr), 16)
                               : std::string(reinterpret_cast<const char*>(&in->sin_addr), 4);
        unsigned per_ip = g.config->per_ip_limit;
        bool room = g.count < g.config->connection_limit || make_room(now);
        if (!room || (per_ip > 0 && g.per_ip[peer] >= per_ip) ||
            static_cast<size_t>(fd) > 1 << 20) {
            if (g.per_ip.count(peer) != 0 && g.per_ip[peer] == 0) g.per_ip.erase(peer);
            close(fd);
            continue;
        }
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        c->opened = now;
        c->deadline = now + g.config->timeout_seconds;
        c->peer = peer;
        note_deadline(c->deadline);
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (epoll_ctl(g.epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0) {
            close(fd);
            continue;
        }
        ++g.per_ip[peer];
        ++g.count;
        if (g.by_fd.size() <= static_cast<size_t>(fd)) g.by_fd.resize(static_cast<size_t>(fd) + 1);
        g.by_fd[static_cast<size_t>(fd)] = std::move(c);
    }
}

// Closes the connections past their deadline (one waiting for a pass has the pass's instead).
void expire(double now) {
    if (g.next_deadline == 0 || now < g.next_deadline) return;
    g.next_deadline = 0;
    for (auto& c : g.by_fd) {
        if (!c || c->state == WAITING) continue;
        if (c->deadline <= now) {
            close_conn(c.get(), now);
        } else {
            note_deadline(c->deadline);
        }
    }
}

int wait_ms(double now) {
    double next = g.next_deadline;
    if (g.trim_due != 0 && (next == 0 || g.trim_due < next)) next = g.trim_due;
    int ms = next == 0 ? -1 : static_cast<int>(std::max(0.0, std::ceil((next - now) * 1000)));
    int pass = pass_wait_ms(now);
    return pass >= 0 && (ms < 0 || pass < ms) ? pass : ms;
}

void handle(int fd, uint32_t events, double now) {
    if (fd == g.listen_fd) return accept_all(now);
    if (pass_event(fd, now)) return;
    if (static_cast<size_t>(fd) >= g.by_fd.size() || !g.by_fd[static_cast<size_t>(fd)]) return;
    Conn* c = g.by_fd[static_cast<size_t>(fd)].get();
    if (c->state == WRITING && (events & EPOLLOUT) != 0) return write_some(c, now);
    if (c->state == READING || c->state == IGNORING) take_input(c, now);
}

void take_pipelined(double now) {
    std::vector<int> ready;
    while (!g.pipelined.empty()) {
        ready.swap(g.pipelined);
        for (int fd : ready) {
            Conn* c = g.by_fd[static_cast<size_t>(fd)].get();
            if (c != nullptr && c->state == READING) parse_input(c, now);
        }
        ready.clear();
    }
}

// The end: what waits is answered "stopping", as far as a socket takes it at once.
void close_all(double now) {
    passes_stop();
    for (auto& c : g.by_fd)
        if (c) close_conn(c.get(), now);
}

}  // namespace

int serve(const LoopSetup& setup) {
    g.config = setup.config;
    g.listen_fd = setup.listen_fd;
    g.watchdog_pid_file = watchdog_pid_file(setup.source->run_dir);
    g.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.fd = setup.listen_fd;
    if (g.epoll_fd < 0 || epoll_ctl(g.epoll_fd, EPOLL_CTL_ADD, setup.listen_fd, &ev) != 0) {
        syslog(LOG_ERR, "epoll: %s", errno_text(errno).c_str());
        return 1;
    }
    passes_start(setup.workers, *setup.config, *setup.source, *setup.account, g.epoll_fd,
                 pass_done);
    struct epoll_event events[64];
    while (!stop_requested() && !passes_failed()) {
        int n = epoll_pwait(g.epoll_fd, events, 64, wait_ms(monotonic_now()), setup.wait_mask);
        if (n < 0 && errno != EINTR) {
            syslog(LOG_ERR, "epoll_pwait: %s", errno_text(errno).c_str());
            break;
        }
        double now = monotonic_now();
        for (int i = 0; i < n; ++i)
            handle(events[i].data.fd, events[i].events, now);
        take_pipelined(now);
        expire(now);
        pass_deadlines(now);
        if (g.trim_due != 0 && now >= g.trim_due && g.count == 0) (void)malloc_trim(0);
        if (g.trim_due != 0 && now >= g.trim_due) g.trim_due = 0;
    }
    close_all(monotonic_now());
    close(g.epoll_fd);
    return passes_failed() ? 1 : 0;
}
