#include "workers.h"

#include "fileio.h"
#include "passes.h"
#include "privileges.h"
#include "text.h"

#include <linux/close_range.h>
#include <malloc.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

// How long a new worker may take to settle and say it is ready.
const int kReadyLimitSeconds = 10;
// The byte a worker sends once it is settled and waits for requests.
const unsigned char kWorkerReady = 'R';
// How long a process asked to end (its socket closed, or SIGKILL) may take before the server
// stops waiting for it; a process stuck in the kernel does not end even on SIGKILL.
const int kEndMilliseconds = 2000;

// The spawner: forked by the server while still root and alone, it drops root keeping
// CAP_DAC_READ_SEARCH, then makes each worker on request as the server's own child, so the
// server can kill and reap it. Its socket carries a request byte one way, and the worker's pid
// with the server's end of the worker's socket the other.
struct Spawner {
    int fd = -1;
    pid_t pid = 0;
    std::mutex mutex;  // one request at a time: dispatchers replace workers concurrently
};

Spawner g_spawner;

// Every signal blocked: a spawner or worker ends when the server closes its end, or by SIGKILL
// when the server dies (checked once more after asking for it, against the parent recorded
// before the fork, in case the server died first: the server may itself be pid 1). Besides 0,
// 1 and 2, only the socket to the server stays open, as descriptor 3.
void settle(int* fd, pid_t server) {
    sigset_t all;
    sigfillset(&all);
    (void)sigprocmask(SIG_BLOCK, &all, nullptr);
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL, 0L, 0L, 0L);
    if (getppid() != server) _exit(1);
    if (dup2(*fd, 3) < 0) _exit(1);
    (void)syscall(SYS_close_range, 4U, ~0U, 0U);
    *fd = 3;
}

// The worker's life: one status pass per request byte, until the server closes its end.
[[noreturn]] void worker_main(int fd, const StatusSource& source, pid_t server) {
    settle(&fd, server);
    // Made by the spawner, it would carry the spawner's name.
    (void)prctl(PR_SET_NAME, "vemo-monitor", 0L, 0L, 0L);
    // A worker keeps a running entry's pid file open between passes (kept_probe.h): as many
    // descriptors as it may have. Should this fail, it keeps fewer and reads the rest afresh.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &files);
    }
    if (!write_all(fd, &kWorkerReady, 1)) _exit(1);
    // One pass per request (passes.cpp), until the server closes its end.
    for (;;) {
        int rc = serve_pass(fd, source);
        if (rc <= 0) _exit(rc == 0 ? 0 : 1);
    }
}

// The message that hands a worker from the spawner to the server: its pid, and the server's end
// of its socket as the one descriptor.
struct WorkerMessage {
    pid_t pid = 0;
    struct iovec part = {};
    alignas(struct cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr msg = {};
};

void frame(WorkerMessage* m) {
    m->part = {&m->pid, sizeof m->pid};
    m->msg.msg_iov = &m->part;
    m->msg.msg_iovlen = 1;
    m->msg.msg_control = m->space;
    m->msg.msg_controllen = sizeof m->space;
}

// Sends the worker's pid and the server's end of its socket.
bool send_worker(int fd, pid_t pid, int worker_fd) {
    WorkerMessage m;
    m.pid = pid;
    frame(&m);
    struct cmsghdr* c = CMSG_FIRSTHDR(&m.msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &worker_fd, sizeof worker_fd);
    ssize_t n;
    do {
        n = sendmsg(fd, &m.msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof pid);
}

// Makes one worker as a sibling, the server's child (CLONE_PARENT; the spawner is never pid 1,
// which may not use it). The spawner is single-threaded, so the bare system call is as safe as
// fork. On failure the server gets pid 0 and no descriptor.
bool spawn_one(int fd, const StatusSource& source, pid_t server) {
    int pair[2];
    pid_t pid = 0;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
        pid = static_cast<pid_t>(syscall(SYS_clone, CLONE_PARENT | SIGCHLD, 0L, 0L, 0L, 0L));
        if (pid == 0) worker_main(pair[1], source, server);
        close(pair[1]);
        if (pid < 0)
            syslog(LOG_ERR, "status worker: clone failure (%s)", errno_text(errno).c_str());
    } else {
        syslog(LOG_ERR, "status worker: socketpair failure (%s)", errno_text(errno).c_str());
        pair[0] = -1;
    }
    if (pid <= 0) return write_all(fd, &pid, sizeof pid);
    bool sent = send_worker(fd, pid, pair[0]);
    close(pair[0]);
    return sent;
}

[[noreturn]] void spawner_main(int fd, const StatusSource& source, const Account& account,
                               pid_t server) {
    settle(&fd, server);
    // Its own name, so ps and the tests tell it from the workers it makes.
    (void)prctl(PR_SET_NAME, "vemo-spawner", 0L, 0L, 0L);
    openlog("vemo-monitor", LOG_PID | LOG_NDELAY, LOG_USER);
    const char* step = "";
    if (!drop_root(account, true, &step)) {
        syslog(LOG_ERR, "status worker: %s failure (%s)", step, errno_text(errno).c_str());
        _exit(1);
    }
    for (;;) {
        unsigned char request = 0;
        ssize_t n = read(fd, &request, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(0);
        if (!spawn_one(fd, source, server)) _exit(1);
    }
}

// Receives a worker's pid and descriptor; false when the spawner could not make one.
bool receive_worker(int fd, Worker* out) {
    WorkerMessage m;
    frame(&m);
    ssize_t n;
    do {
        n = recvmsg(fd, &m.msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    struct cmsghdr* c = n == static_cast<ssize_t>(sizeof m.pid) ? CMSG_FIRSTHDR(&m.msg) : nullptr;
    if (c == nullptr || c->cmsg_type != SCM_RIGHTS || m.pid <= 0) return false;
    memcpy(&out->fd, CMSG_DATA(c), sizeof out->fd);
    out->pid = m.pid;
    return true;
}

// Reads the worker's ready byte, bounded: a worker that cannot settle must not hang the server.
bool await_ready(const Worker& worker) {
    struct timeval limit = {kReadyLimitSeconds, 0};
    unsigned char ready = 0;
    return setsockopt(worker.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
           read_all(worker.fd, &ready, 1) && ready == kWorkerReady;
}

// Asks the spawner for a worker and waits until it is ready; false with *why.
bool new_worker(Worker* out, std::string* why) {
    std::lock_guard<std::mutex> hold(g_spawner.mutex);
    const unsigned char request = 1;
    Worker w;
    if (g_spawner.fd < 0 || !write_all(g_spawner.fd, &request, 1) ||
        !receive_worker(g_spawner.fd, &w)) {
        *why = "a status worker could not be made (see its message)";
        return false;
    }
    *out = w;
    if (await_ready(w)) return true;
    *why = "a status worker did not start";
    return false;
}

// Waits for each pid in turn until the shared deadline; those not reaped by then stay in *pids.
void reap_until(std::vector<pid_t>* pids, const struct timespec& deadline) {
    const struct timespec tick = {0, 5000000L};
    while (!pids->empty()) {
        pid_t got = waitpid(pids->back(), nullptr, WNOHANG);
        if (got != 0 && !(got < 0 && errno == EINTR)) {
            pids->pop_back();  // reaped, or not ours to wait for (ECHILD)
            continue;
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > deadline.tv_sec ||
            (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
            return;
        (void)nanosleep(&tick, nullptr);
    }
}

struct timespec deadline_in(int ms) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    long ns = t.tv_nsec + (ms % 1000) * 1000000L;
    t.tv_sec += ms / 1000 + ns / 1000000000L;
    t.tv_nsec = ns % 1000000000L;
    return t;
}

// SIGKILL to every pid, then a bounded wait; the pids not reaped stay in *pids.
void kill_and_reap(std::vector<pid_t>* pids) {
    for (pid_t pid : *pids)
        (void)kill(pid, SIGKILL);
    reap_until(pids, deadline_in(kEndMilliseconds));
}

}  // namespace

bool start_workers(unsigned count, const StatusSource& source, const Account& account,
                   std::vector<Worker>* workers, std::string* why) {
    // The workers lack CAP_SYS_PTRACE, and their answers go out over HTTP.
    StatusSource seen = source;
    seen.own_lookup = true;
    seen.guarded_probe = true;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        *why = "socketpair: " + errno_text(errno);
        return false;
    }
    const pid_t server = getpid();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) spawner_main(pair[1], seen, account, server);
    int err = errno;
    close(pair[1]);
    if (pid < 0) {
        close(pair[0]);
        *why = "fork: " + errno_text(err);
        return false;
    }
    g_spawner.fd = pair[0];
    g_spawner.pid = pid;
    // A spawner that stops answering must not hang the server: asking for a worker fails.
    struct timeval limit = {kReadyLimitSeconds, 0};
    if (setsockopt(pair[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        *why = "setsockopt: " + errno_text(errno);
        return false;
    }
    for (unsigned i = 0; i < count; ++i) {
        Worker w;
        bool ok = new_worker(&w, why);
        if (w.pid > 0) workers->push_back(w);
        if (!ok) return false;
    }
    return true;
}

void stop_workers(std::vector<Worker>* workers) {
    std::vector<pid_t> pids;
    for (const Worker& w : *workers) {
        close(w.fd);
        pids.push_back(w.pid);
    }
    workers->clear();
    if (g_spawner.pid > 0) {
        close(g_spawner.fd);
        pids.push_back(g_spawner.pid);
        g_spawner.fd = -1;
        g_spawner.pid = 0;
    }
    // A worker ends once its pass is over; one that takes longer gets SIGKILL.
    reap_until(&pids, deadline_in(kEndMilliseconds));
    if (!pids.empty()) kill_and_reap(&pids);
    for (pid_t pid : pids)
        syslog(LOG_ERR, "status worker %d did not end after SIGKILL", static_cast<int>(pid));
}
bool replace_worker(Worker* worker, std::string* why) {
    close(worker->fd);
    std::vector<pid_t> pids(1, worker->pid);
    *worker = Worker();
    kill_and_reap(&pids);
    if (!pids.empty()) {
        *why = "status worker " + std::to_string(pids[0]) + " did not end after SIGKILL";
        return false;
    }
    return new_worker(worker, why);
}
