#include "workers.h"

#include "fileio.h"
#include "passes.h"
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
// The byte a worker sends once it has dropped root and waits for requests.
const unsigned char kWorkerReady = 'R';

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
    // One pass per request (passes.cpp), until the server closes its end.
    for (;;) {
        int rc = serve_pass(fd, source);
        if (rc <= 0) _exit(rc == 0 ? 0 : 1);
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
