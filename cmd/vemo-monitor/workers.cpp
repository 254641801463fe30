#include "workers.h"

#include "fileio.h"
#include "privileges.h"
#include "text.h"

#include <linux/close_range.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>

namespace {

// How long the server waits for a worker's ready byte, and for each read of a reply. A worker
// silent this long counts as failed and the server stops (or does not start). It then waits in
// stop_workers for that worker to end, which a stuck worker does only once its pass is over:
// it blocks every signal.
const int kWorkerTimeoutSeconds = 30;
// Far above any real watch list's status text; only a broken worker sends more.
const uint64_t kMaxReply = 256ULL << 20;
// The byte a worker sends once it has dropped root and waits for requests.
const unsigned char kWorkerReady = 'R';

// Sent before the texts: ok 0 means the status could not be determined, and the first text is
// then why; else the first text is the Prometheus text and the second the /status text.
struct ReplyHeader {
    uint32_t ok;
    uint32_t watchdog_up;
    uint64_t metrics_or_error_length;
    uint64_t json_length;
};

// Every signal blocked: the worker ends when the server closes its end, or by SIGKILL when the
// server dies (checked once more after asking for it, in case the server died first). Besides
// 0, 1 and 2, only the socket to the server stays open, as descriptor 3.
void settle_worker(int* fd) {
    sigset_t all;
    sigfillset(&all);
    (void)sigprocmask(SIG_BLOCK, &all, nullptr);
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL, 0L, 0L, 0L);
    if (getppid() == 1) _exit(1);
    if (dup2(*fd, 3) < 0) _exit(1);
    (void)syscall(SYS_close_range, 4U, ~0U, 0U);
    *fd = 3;
}

// One pass and its reply; false when the reply could not be sent.
bool run_pass(int fd, const StatusSource& source, unsigned char want) {
    HostStatus status;
    ReplyHeader header = {0, 0, 0, 0};
    std::string first;  // the Prometheus text, or why the status could not be determined
    std::string json;
    if (!collect_status(source, &status)) {
        first = errno_text(errno);
    } else {
        header.ok = 1;
        header.watchdog_up = watchdog_taken_as_running(status) ? 1 : 0;
        if ((want & WANT_METRICS) != 0) first = render_prometheus(status);
        if ((want & WANT_STATUS) != 0) json = render_json(status);
    }
    header.metrics_or_error_length = first.size();
    header.json_length = json.size();
    if (!write_all(fd, &header, sizeof header) || !write_all(fd, first.data(), first.size()) ||
        !write_all(fd, json.data(), json.size()))
        return false;
    // A pass over a long list leaves a heap of small freed pieces: give them back, or an idle
    // monitor keeps the memory of its largest pass.
    status = HostStatus();
    std::string().swap(first);
    std::string().swap(json);
    (void)malloc_trim(0);
    return true;
}

// The worker's life: one status pass per request byte, until the server closes its end.
[[noreturn]] void worker_main(int fd, const StatusSource& source, const Account& account) {
    settle_worker(&fd);
    openlog("vemo-monitor", LOG_PID | LOG_NDELAY, LOG_USER);
    const char* step = "";
    if (!drop_root(account, true, &step)) {
        syslog(LOG_ERR, "status worker: %s failure (%s)", step, errno_text(errno).c_str());
        _exit(1);
    }
    if (!write_all(fd, &kWorkerReady, 1)) _exit(1);
    for (;;) {
        unsigned char want = 0;
        ssize_t n = read(fd, &want, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(0);
        if (!run_pass(fd, source, want)) _exit(1);
    }
}

// Puts the time limit on the server's reads from the worker, then reads its ready byte.
bool await_ready(const Worker& worker) {
    struct timeval limit = {kWorkerTimeoutSeconds, 0};
    unsigned char ready = 0;
    return setsockopt(worker.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
           read_all(worker.fd, &ready, 1) && ready == kWorkerReady;
}

}  // namespace

bool start_workers(unsigned count, const StatusSource& source, const Account& account,
                   std::vector<Worker>* workers, std::string* why) {
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
        workers->push_back(w);
        if (!await_ready(w)) {
            *why = "a status worker did not start (see its message)";
            return false;
        }
    }
    return true;
}

void stop_workers(std::vector<Worker>* workers) {
    for (const Worker& w : *workers) {
        close(w.fd);
        int status;
        while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    workers->clear();
}

bool ask_worker(const Worker& worker, unsigned char want, PassReply* reply) {
    ReplyHeader header = {0, 0, 0, 0};
    if (!write_all(worker.fd, &want, 1) || !read_all(worker.fd, &header, sizeof header) ||
        header.metrics_or_error_length > kMaxReply || header.json_length > kMaxReply)
        return false;
    std::string first(static_cast<size_t>(header.metrics_or_error_length), '\0');
    reply->json.resize(static_cast<size_t>(header.json_length));
    if (!read_all(worker.fd, &first[0], first.size()) ||
        !read_all(worker.fd, &reply->json[0], reply->json.size()))
        return false;
    reply->ok = header.ok != 0;
    reply->watchdog_up = header.watchdog_up != 0;
    (reply->ok ? reply->metrics : reply->error).swap(first);
    return true;
}
