// vemo-monitor: the companion the watchdog always supervises. It holds its pid-file lock, serves
// the host's supervision status over HTTP (libmicrohttpd) and records the time of the last request
// it served in the state file, which is how the liveness probe tells it is alive.
//
// Two kinds of process: the server (the lock holder; accepts HTTP, writes the state file) and
// status workers forked before any thread exists. A status pass runs in a worker because a
// process cannot see its own fcntl lock, and closing any descriptor of its pid file would drop it.
#include "CLockFile.h"
#include "hoststatus.h"
#include "monitor.h"

#include "paths.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <malloc.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const kRunDir = VEMO_RUN_DIR;
const char* const kPidFile = VEMO_RUN_DIR "/vemo_monitor.pid";
const char* const kStateFile = VEMO_RUN_DIR "/state.log";
// A status pass that takes longer than this is stuck: the monitor ends and is started again.
const int kWorkerTimeoutSeconds = 30;
// Bytes handed to the HTTP thread at a time when it sends a status text.
const size_t kStreamBlock = 64 * 1024UL;
// Allocations from this size on get pages of their own, returned when freed.
const int kMapApart = 64 * 1024;
// Far above any real watch list's status text; only a broken worker sends more.
const uint64_t kMaxReply = 256ULL << 20;

// The only state the signal handler shares with the main loop.
volatile sig_atomic_t g_stop = 0;

void on_stop(int sig) {
    (void)sig;
    g_stop = 1;
}

std::string errno_text(int err) {
    char buf[128];
    return strerror_r(err, buf, sizeof buf);
}

// ---------------------------------------------------------------- descriptors

bool write_all(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// false on end of file too (errno 0 then).
bool read_all(int fd, void* data, size_t len) {
    char* p = static_cast<char*>(data);
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = 0;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// ---------------------------------------------------------------- privileges

// Only reading: every pid file whatever its directory's mode, and the /proc entries of
// processes of other users (the watchdog's executable, environment and directory).
bool keep_only_read_capabilities() {
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    data[0].effective = data[0].permitted = (1U << CAP_DAC_READ_SEARCH) | (1U << CAP_SYS_PTRACE);
    return syscall(SYS_capset, &header, data) == 0;
}

// Becomes the account for good; on failure *step names what failed (errno says why).
bool drop_root(const Account& account, bool keep_read, const char** step) {
    if (geteuid() != 0) return true;
    if (keep_read && prctl(PR_SET_KEEPCAPS, 1L, 0L, 0L, 0L) != 0) {
        *step = "prctl(PR_SET_KEEPCAPS)";
        return false;
    }
    if (setgroups(1, &account.gid) != 0) {
        *step = "setgroups";
        return false;
    }
    if (setgid(account.gid) != 0) {
        *step = "setgid";
        return false;
    }
    if (setuid(account.uid) != 0) {
        *step = "setuid";
        return false;
    }
    if (keep_read && !keep_only_read_capabilities()) {
        *step = "capset";
        return false;
    }
    // Never to be undone: check it cannot be.
    if (setuid(0) == 0 || getegid() != account.gid) {
        *step = "checking the drop";
        errno = EPERM;
        return false;
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1L, 0L, 0L, 0L) != 0) {
        *step = "prctl(PR_SET_NO_NEW_PRIVS)";
        return false;
    }
#if defined(__SANITIZE_ADDRESS__)
    // Test builds only: the leak check at exit traces the process, which the drop forbade.
    (void)prctl(PR_SET_DUMPABLE, 1L, 0L, 0L, 0L);
#endif
    return true;
}

// ---------------------------------------------------------------- status workers

// What a request asks a worker for: a bit per answer, all from one status pass.
enum : unsigned char { WANT_METRICS = 1, WANT_STATUS = 2, WANT_HEALTH = 4, WORKER_READY = 'R' };

struct ReplyHeader {
    uint32_t ok;  // 0: the status could not be determined; the metrics text says why
    uint32_t watchdog_up;
    uint64_t metrics_length;
    uint64_t status_length;
};

struct Worker {
    int fd = -1;
    pid_t pid = 0;
};

std::vector<Worker> g_workers;
std::atomic<bool> g_worker_lost{false};

// The worker's life: one status pass per request byte, until the server closes its end.
[[noreturn]] void worker_main(int fd, const StatusSource& source, const Account& account) {
    // Only the server decides when to end; it dying kills us (checked again after the setting).
    sigset_t all;
    sigfillset(&all);
    (void)sigprocmask(SIG_BLOCK, &all, nullptr);
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL, 0L, 0L, 0L);
    if (getppid() == 1) _exit(1);
    if (dup2(fd, 3) < 0) _exit(1);
    (void)syscall(SYS_close_range, 4U, ~0U, 0U);
    fd = 3;
    openlog("vemo-monitor", LOG_PID | LOG_NDELAY, LOG_USER);
    const char* step = "";
    if (!drop_root(account, true, &step)) {
        syslog(LOG_ERR, "status worker: %s failure (%s)", step, errno_text(errno).c_str());
        _exit(1);
    }
    unsigned char ready = WORKER_READY;
    if (!write_all(fd, &ready, 1)) _exit(1);
    for (;;) {
        unsigned char want = 0;
        ssize_t n = read(fd, &want, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(0);
        HostStatus status;
        ReplyHeader header = {0, 0, 0, 0};
        std::string metrics;
        std::string json;
        if (!collect_status(source, &status)) {
            metrics = errno_text(errno);
        } else {
            header.ok = 1;
            header.watchdog_up = watchdog_taken_as_running(status) ? 1 : 0;
            if ((want & WANT_METRICS) != 0) metrics = render_prometheus(status);
            if ((want & WANT_STATUS) != 0) json = render_json(status);
        }
        header.metrics_length = metrics.size();
        header.status_length = json.size();
        if (!write_all(fd, &header, sizeof header) ||
            !write_all(fd, metrics.data(), metrics.size()) ||
            !write_all(fd, json.data(), json.size()))
            _exit(1);
        // A pass over a long list leaves a heap of small freed pieces: give them back, or an
        // idle monitor keeps the memory of its largest pass.
        status = HostStatus();
        std::string().swap(metrics);
        std::string().swap(json);
        (void)malloc_trim(0);
    }
}

// Forks the workers while the server is still single-threaded; false with *why on failure.
bool start_workers(unsigned count, const StatusSource& source, const Account& account,
                   std::string* why) {
    for (unsigned i = 0; i < count; ++i) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            *why = "socketpair: " + errno_text(errno);
            return false;
        }
        fflush(nullptr);
        pid_t pid = fork();
        if (pid < 0) {
            *why = "fork: " + errno_text(errno);
            close(pair[0]);
            close(pair[1]);
            return false;
        }
        if (pid == 0) worker_main(pair[1], source, account);
        close(pair[1]);
        Worker w;
        w.fd = pair[0];
        w.pid = pid;
        g_workers.push_back(w);
        struct timeval limit = {kWorkerTimeoutSeconds, 0};
        unsigned char ready = 0;
        if (setsockopt(w.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
            !read_all(w.fd, &ready, 1) || ready != WORKER_READY) {
            *why = "a status worker did not start (see its message)";
            return false;
        }
    }
    return true;
}

void stop_workers() {
    for (const Worker& w : g_workers) {
        close(w.fd);
        int status;
        while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    g_workers.clear();
}

struct PassReply {
    bool ok = false;
    bool watchdog_up = false;
    std::string metrics;  // or why the status could not be determined
    std::string status;
};

// One status pass by a worker; false when the worker failed (it is of no use any more).
bool ask_worker(const Worker& worker, unsigned char want, PassReply* reply) {
    ReplyHeader header = {0, 0, 0, 0};
    if (!write_all(worker.fd, &want, 1) || !read_all(worker.fd, &header, sizeof header) ||
        header.metrics_length > kMaxReply || header.status_length > kMaxReply)
        return false;
    reply->metrics.resize(static_cast<size_t>(header.metrics_length));
    reply->status.resize(static_cast<size_t>(header.status_length));
    if (!read_all(worker.fd, &reply->metrics[0], reply->metrics.size()) ||
        !read_all(worker.fd, &reply->status[0], reply->status.size()))
        return false;
    reply->ok = header.ok != 0;
    reply->watchdog_up = header.watchdog_up != 0;
    return true;
}

// ---------------------------------------------------------------- requests waiting for a pass

// A status request, suspended while it waits: the HTTP thread never blocks on a pass.
struct Pending {
    unsigned char want = 0;  // 0: not a status request
    bool queued = false;
    bool answered = false;
    unsigned code = 0;
    std::shared_ptr<const std::string> body;
    struct MHD_Connection* connection = nullptr;
};

struct PassQueue {
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<Pending*> waiting;
    bool stopping = false;
};

PassQueue g_queue;

void answer_pending(Pending* p, const PassReply& reply, bool asked, bool stopping,
                    const std::shared_ptr<const std::string>& metrics,
                    const std::shared_ptr<const std::string>& status) {
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
            "status unavailable: " + (asked ? *metrics : std::string("no status worker")) + "\n");
    } else {
        p->code = MHD_HTTP_OK;
        p->body = p->want == WANT_METRICS ? metrics : status;
    }
    p->answered = true;
    // The connection may be gone as soon as it runs again: p is not ours any more.
    MHD_resume_connection(p->connection);
}

// One dispatcher per worker. Every request waiting when a pass begins is answered by it, so each
// answer comes from a pass begun after its request arrived, and a burst of clients costs a pass
// or two, not one each.
void dispatch(const Worker* worker) {
    bool usable = true;
    for (;;) {
        std::vector<Pending*> batch;
        bool stopping;
        {
            std::unique_lock<std::mutex> hold(g_queue.mutex);
            g_queue.wake.wait(hold, [] { return g_queue.stopping || !g_queue.waiting.empty(); });
            stopping = g_queue.stopping;
            if (stopping && g_queue.waiting.empty()) return;
            batch.swap(g_queue.waiting);
        }
        auto want = static_cast<unsigned char>(
            std::accumulate(batch.begin(), batch.end(), 0U,
                            [](unsigned w, const Pending* p) { return w | p->want; }));
        PassReply reply;
        bool asked = usable && !stopping && ask_worker(*worker, want, &reply);
        if (usable && !stopping && !asked) {
            usable = false;
            g_worker_lost = true;
            (void)kill(getpid(), SIGTERM);
        }
        auto metrics = std::make_shared<const std::string>(std::move(reply.metrics));
        auto status = std::make_shared<const std::string>(std::move(reply.status));
        for (Pending* p : batch)
            answer_pending(p, reply, asked, stopping, metrics, status);
        if (!usable) {
            // Its worker is gone: leave the waiting requests to the others, or to the stop.
            std::unique_lock<std::mutex> hold(g_queue.mutex);
            g_queue.wake.wait(hold, [] { return g_queue.stopping; });
        }
    }
}

// ---------------------------------------------------------------- state file

std::mutex g_state_mutex;
StateRecord g_state;
int g_state_fd = -1;
bool g_state_failing = false;
std::atomic<unsigned long long> g_requests{0};

// Writes the file under the lock; reports the first failure of a run of them.
void save_state_locked() {
    if (write_state_file(g_state_fd, g_state)) {
        g_state_failing = false;
        return;
    }
    if (!g_state_failing)
        syslog(LOG_ERR, "%s: write failure (%s)", kStateFile, errno_text(errno).c_str());
    g_state_failing = true;
}

void record_request(unsigned long long count) {
    std::lock_guard<std::mutex> hold(g_state_mutex);
    g_state.last_request_at = time(nullptr);
    if (count > g_state.requests) g_state.requests = count;
    save_state_locked();
}

// Opened as root before the drop; the file stays root's, only this descriptor writes it.
int open_state_file() {
    int fd = open(kStateFile, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// ---------------------------------------------------------------- HTTP

std::string own_metrics(unsigned long long requests, time_t started) {
    return "# HELP vemo_monitor_requests_total HTTP requests this monitor answered since it "
           "started, this one included.\n"
           "# TYPE vemo_monitor_requests_total counter\n"
           "vemo_monitor_requests_total " +
           std::to_string(requests) +
           "\n# HELP vemo_monitor_start_time_seconds When this monitor started, in seconds since "
           "the epoch.\n"
           "# TYPE vemo_monitor_start_time_seconds gauge\n"
           "vemo_monitor_start_time_seconds " +
           std::to_string(static_cast<long long>(started)) + "\n";
}

struct MHD_Response* text_response(const std::string& body) {
    return MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                           MHD_RESPMEM_MUST_COPY);
}

// A status text shared by every request of its pass, plus this request's own lines: served
// from where it lies, without a copy per client.
struct Stream {
    std::shared_ptr<const std::string> body;
    std::string tail;
};

ssize_t read_stream(void* cls, uint64_t pos, char* buf, size_t max) {
    const auto* s = static_cast<const Stream*>(cls);
    size_t done = 0;
    while (done < max) {
        size_t at = static_cast<size_t>(pos) + done;
        const std::string& part = at < s->body->size() ? *s->body : s->tail;
        size_t offset = at < s->body->size() ? at : at - s->body->size();
        if (offset >= part.size()) break;
        done += part.copy(buf + done, max - done, offset);
    }
    if (done == 0) return MHD_CONTENT_READER_END_OF_STREAM;
    return static_cast<ssize_t>(done);
}

void free_stream(void* cls) {
    delete static_cast<Stream*>(cls);
}

enum MHD_Result send(struct MHD_Connection* connection, unsigned code,
                     struct MHD_Response* response, const char* type) {
    if (response == nullptr) return MHD_NO;
    (void)MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    (void)MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (code == MHD_HTTP_METHOD_NOT_ALLOWED)
        (void)MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    enum MHD_Result rc = MHD_queue_response(connection, code, response);
    MHD_destroy_response(response);
    return rc;
}

const char* const kText = "text/plain; charset=utf-8";

// The answer to a status request whose pass is done.
enum MHD_Result send_answer(struct MHD_Connection* connection, const Pending& p,
                            unsigned long long count) {
    if (p.code != MHD_HTTP_OK || p.want == WANT_HEALTH)
        return send(connection, p.code, text_response(*p.body), kText);
    auto* stream = new Stream{p.body, ""};
    if (p.want == WANT_METRICS) stream->tail = own_metrics(count, g_state.started_at);
    struct MHD_Response* response = MHD_create_response_from_callback(
        stream->body->size() + stream->tail.size(), kStreamBlock, read_stream, stream, free_stream);
    if (response == nullptr) {
        delete stream;
        return MHD_NO;
    }
    return send(
        connection, MHD_HTTP_OK, response,
        p.want == WANT_METRICS ? "text/plain; version=0.0.4; charset=utf-8" : "application/json");
}

// Queues a status request for the next pass and suspends it; false when the monitor stops.
bool queue_for_pass(Pending* p, struct MHD_Connection* connection) {
    std::lock_guard<std::mutex> hold(g_queue.mutex);
    if (g_queue.stopping) return false;
    p->connection = connection;
    p->queued = true;
    g_queue.waiting.push_back(p);
    MHD_suspend_connection(connection);
    g_queue.wake.notify_one();
    return true;
}

// A GET or HEAD is taken at the first call and answered once the request is wholly in, so the
// connection can be kept alive; a status request waits suspended for its pass. Any other
// method is answered at once (its body is never read).
enum MHD_Result answer(void* cls, struct MHD_Connection* connection, const char* url,
                       const char* method, const char* version, const char* upload_data,
                       size_t* upload_data_size, void** con_cls) {
    (void)cls;
    (void)version;
    (void)upload_data;
    bool readable =
        strcmp(method, MHD_HTTP_METHOD_GET) == 0 || strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (readable && *con_cls == nullptr) {
        auto* p = new Pending;
        if (strcmp(url, "/metrics") == 0) p->want = WANT_METRICS;
        if (strcmp(url, "/status") == 0) p->want = WANT_STATUS;
        if (strcmp(url, "/healthz") == 0) p->want = WANT_HEALTH;
        *con_cls = p;
        return MHD_YES;
    }
    // A body sent with a GET is read and dropped.
    if (readable && *upload_data_size != 0) {
        *upload_data_size = 0;
        return MHD_YES;
    }
    auto* p = static_cast<Pending*>(*con_cls);
    if (readable && p->want != 0 && !p->queued && queue_for_pass(p, connection)) return MHD_YES;
    unsigned long long count = ++g_requests;
    enum MHD_Result rc;
    if (!readable) {
        rc = send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, text_response("only GET and HEAD\n"),
                  kText);
    } else if (p->answered) {
        rc = send_answer(connection, *p, count);
    } else if (p->want != 0) {
        rc = send(connection, MHD_HTTP_SERVICE_UNAVAILABLE, text_response("stopping\n"), kText);
    } else {
        rc = send(connection, MHD_HTTP_NOT_FOUND,
                  text_response("not found: try /metrics, /status, /healthz\n"), kText);
    }
    record_request(count);
    return rc;
}

void request_done(void* cls, struct MHD_Connection* connection, void** con_cls,
                  enum MHD_RequestTerminationCode code) {
    (void)cls;
    (void)connection;
    (void)code;
    delete static_cast<Pending*>(*con_cls);
    *con_cls = nullptr;
}

// Bound as root before the drop, so the address may also be a privileged port.
int open_listen_socket(const MonitorConfig& config, std::string* why) {
    struct sockaddr_storage addr = {};
    socklen_t len;
    bool v6 = config.listen_address.find(':') != std::string::npos;
    if (v6) {
        auto* a = reinterpret_cast<struct sockaddr_in6*>(&addr);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(config.port));
        (void)inet_pton(AF_INET6, config.listen_address.c_str(), &a->sin6_addr);
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<struct sockaddr_in*>(&addr);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(config.port));
        (void)inet_pton(AF_INET, config.listen_address.c_str(), &a->sin_addr);
        len = sizeof *a;
    }
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *why = "socket: " + errno_text(errno);
        return -1;
    }
    int on = 1;
    // A monitor started again right after a kill must not wait for the old connections to age.
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        (v6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0)) {
        *why = "setsockopt: " + errno_text(errno);
        close(fd);
        return -1;
    }
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) != 0) {
        *why = "bind: " + errno_text(errno);
        close(fd);
        return -1;
    }
    if (listen(fd, 511) != 0) {
        *why = "listen: " + errno_text(errno);
        close(fd);
        return -1;
    }
    return fd;
}

struct MHD_Daemon* start_http(const MonitorConfig& config, int listen_fd) {
    std::vector<struct MHD_OptionItem> options = {
        {MHD_OPTION_LISTEN_SOCKET, listen_fd, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, config.connection_limit, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, config.timeout_seconds, nullptr},
        // The whole request header must fit here: it caps header size and count together.
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(config.request_memory), nullptr},
    };
    if (config.per_ip_limit > 0)
        options.push_back({MHD_OPTION_PER_IP_CONNECTION_LIMIT, config.per_ip_limit, nullptr});
    options.push_back({MHD_OPTION_END, 0, nullptr});
    // One thread polls every connection; nothing in it waits for a status pass.
    return MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr,
        nullptr, &answer, nullptr, MHD_OPTION_NOTIFY_COMPLETED, &request_done, nullptr,
        MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
}

// ---------------------------------------------------------------- start-up

// Logs why the monitor cannot start and gives its exit status.
int fail_start(const std::string& why) {
    syslog(LOG_ERR, "cannot start: %s", why.c_str());
    return 1;
}

void install_signals(sigset_t* wait_mask) {
    struct sigaction action = {};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    (void)sigaction(SIGTERM, &action, nullptr);
    (void)sigaction(SIGINT, &action, nullptr);
    action.sa_handler = SIG_IGN;
    (void)sigaction(SIGPIPE, &action, nullptr);
    (void)sigaction(SIGHUP, &action, nullptr);
    // The watchdog starts us with SIGCHLD ignored; the workers are waited for at the end.
    action.sa_handler = SIG_DFL;
    (void)sigaction(SIGCHLD, &action, nullptr);
    // Blocked everywhere but in the main loop's wait, so every thread created later has it
    // blocked and no stop request slips in between the check and the wait.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    (void)sigprocmask(SIG_BLOCK, &stops, wait_mask);
    sigdelset(wait_mask, SIGTERM);
    sigdelset(wait_mask, SIGINT);
}

}  // namespace

int main(int argc, char** argv) {
    openlog("vemo-monitor", LOG_PID | LOG_NDELAY, LOG_USER);
    if (argc > 1 || argv == nullptr || argv[0] == nullptr) {
        fprintf(stderr, "usage: vemo-monitor (it takes no arguments; see vemo-monitor(8))\n");
        return 2;
    }
    sigset_t wait_mask;
    install_signals(&wait_mask);
    // Status texts are large and short-lived: mapped apart, they are unmapped when freed
    // instead of growing a heap that stays grown.
    (void)mallopt(M_MMAP_THRESHOLD, kMapApart);

    const StatusSource source = source_from_self(argv[0]);
    const std::string config_path = source.bin_dir + "/../etc/vemo-monitor.conf";
    const MonitorConfig config = load_monitor_config(config_path);

    if (access(kRunDir, F_OK) != 0 && mkdir(kRunDir, 0755) != 0 && errno != EEXIST)
        return fail_start(std::string(kRunDir) + ": " + errno_text(errno));
    CLockFile lock(kPidFile);
    pid_t holder = 0;
    int rc = lock.Get(&holder);
    if (rc == 1) {
        syslog(LOG_ERR, "%s is locked by process %d: another monitor runs", kPidFile,
               static_cast<int>(holder));
        return 3;
    }
    if (rc != 0) return fail_start(std::string(kPidFile) + ": " + errno_text(errno));

    g_state.pid = getpid();
    g_state.started_at = time(nullptr);
    // Starting counts as the first sign of life: an hour without a request makes it stale.
    g_state.last_request_at = g_state.started_at;
    g_state_fd = open_state_file();
    if (g_state_fd < 0 || !write_state_file(g_state_fd, g_state))
        return fail_start(std::string(kStateFile) + ": " + errno_text(errno));

    std::string why;
    int listen_fd = open_listen_socket(config, &why);
    if (listen_fd < 0)
        return fail_start(config.listen_address + " port " + std::to_string(config.port) + ": " +
                          why);

    Account account;
    if (geteuid() == 0 && !find_account(config.user, &account))
        return fail_start("neither user vemo-monitor nor nobody exists");
    if (!start_workers(config.workers, source, account, &why)) {
        stop_workers();
        return fail_start(why);
    }
    const char* step = "";
    if (!drop_root(account, false, &step)) {
        std::string err = errno_text(errno);
        stop_workers();
        return fail_start(std::string(step) + ": " + err);
    }

    struct MHD_Daemon* http = start_http(config, listen_fd);
    if (http == nullptr) {
        stop_workers();
        return fail_start("the HTTP server did not start");
    }
    bool v6 = config.listen_address.find(':') != std::string::npos;
    std::string where = v6 ? "[" + config.listen_address + "]" : config.listen_address;
    syslog(LOG_INFO, "started: serving http://%s:%u/ as user %s", where.c_str(), config.port,
           account.name.empty() ? "(unchanged, not started as root)" : account.name.c_str());

    std::vector<std::thread> dispatchers;
    dispatchers.reserve(g_workers.size());
    for (size_t i = 0; i < g_workers.size(); ++i)
        dispatchers.emplace_back(dispatch, &g_workers[i]);

    while (g_stop == 0)
        sigsuspend(&wait_mask);

    // Every suspended request is answered (from its pass, or "stopping") before the server
    // stops: it may not stop with any left suspended.
    {
        std::lock_guard<std::mutex> hold(g_queue.mutex);
        g_queue.stopping = true;
    }
    g_queue.wake.notify_all();
    for (std::thread& t : dispatchers)
        t.join();
    MHD_stop_daemon(http);
    close(listen_fd);
    stop_workers();
    bool lost = g_worker_lost;
    if (lost) {
        syslog(LOG_ERR, "a status worker failed: stopping, to be started afresh");
    } else {
        syslog(LOG_INFO, "stopped");
    }
    lock.Close();
    closelog();
    return lost ? 1 : 0;
}
