#include "server.h"

#include "connections.h"
#include "http.h"
#include "paths.h"
#include "privileges.h"
#include "text.h"

#include <malloc.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <string>

namespace {

const char* const kRunDir = VEMO_RUN_DIR;
const char* const kPidFile = VEMO_RUN_DIR "/vemo_monitor.pid";
const char* const kStateFile = VEMO_RUN_DIR "/state.log";
const int kMapApart = 64 * 1024;

// The only state the signal handler shares with the main loop.
volatile sig_atomic_t g_stop = 0;

void on_stop(int sig) {
    (void)sig;
    g_stop = 1;
}

// Logs why the monitor cannot start; false, for the step to return.
bool fail_start(const std::string& why) {
    syslog(LOG_ERR, "cannot start: %s", why.c_str());
    return false;
}

}  // namespace

int print_usage() {
    fprintf(stderr, "usage: vemo-monitor (it takes no arguments; see vemo-monitor(8))\n");
    return 2;
}

void install_signals(Server* server) {
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
    (void)sigprocmask(SIG_BLOCK, &stops, &server->wait_mask);
    sigdelset(&server->wait_mask, SIGTERM);
    sigdelset(&server->wait_mask, SIGINT);
}

void map_large_allocations_apart() {
    (void)mallopt(M_MMAP_THRESHOLD, kMapApart);
}

int lock_pid_file(Server* server) {
    if (access(kRunDir, F_OK) != 0 && mkdir(kRunDir, 0755) != 0 && errno != EEXIST) {
        fail_start(std::string(kRunDir) + ": " + errno_text(errno));
        return 1;
    }
    server->lock.SetCLockFileName(kPidFile);
    pid_t holder = 0;
    int rc = server->lock.Get(&holder);
    if (rc == 1) {
        syslog(LOG_ERR, "%s is locked by process %d: another monitor runs", kPidFile,
               static_cast<int>(holder));
        return 3;
    }
    if (rc != 0) {
        fail_start(std::string(kPidFile) + ": " + errno_text(errno));
        return 1;
    }
    return 0;
}

bool write_first_state() {
    if (start_state_file(kStateFile)) return true;
    return fail_start(std::string(kStateFile) + ": " + errno_text(errno));
}

bool open_listener(const MonitorConfig& config, Server* server) {
    std::string why;
    server->listen_fd = open_listen_socket(config, &why);
    if (server->listen_fd >= 0) return true;
    return fail_start(config.listen_address + " port " + std::to_string(config.port) + ": " + why);
}

bool start_status_workers(const MonitorConfig& config, const StatusSource& source, Server* server) {
    if (geteuid() == 0 && !find_account(config.user, &server->account))
        return fail_start("neither user vemo-monitor nor nobody exists");
    std::string why;
    if (start_workers(config.workers, source, server->account, &server->workers, &why)) return true;
    stop_workers(&server->workers);
    return fail_start(why);
}

bool drop_server_root(Server* server) {
    const char* step = "";
    if (drop_root(server->account, false, &step)) return true;
    std::string err = errno_text(errno);
    stop_workers(&server->workers);
    return fail_start(std::string(step) + ": " + err);
}

int serve_http(const MonitorConfig& config, const StatusSource& source, Server* server) {
    const Account& account = server->account;
    syslog(LOG_INFO, "started: serving http://%s:%u/ as user %s", url_host(config).c_str(),
           config.port,
           account.name.empty() ? "(unchanged, not started as root)" : account.name.c_str());
    LoopSetup setup = {&config,          &source,           &account,
                       &server->workers, server->listen_fd, &server->wait_mask};
    return serve(setup);
}

bool stop_requested() {
    return g_stop != 0;
}

int stop_server(Server* server, int rc) {
    close(server->listen_fd);
    stop_workers(&server->workers);
    if (rc != 0) {
        syslog(LOG_ERR, "a status worker failed: stopping, to be started afresh");
    } else {
        syslog(LOG_INFO, "stopped");
    }
    server->lock.Close();
    closelog();
    return rc;
}
