// vemo-monitor: the companion the watchdog always supervises. It holds its pid-file lock, serves
// the host's supervision status over HTTP (a small server of its own) and records the time of the
// last request it served in the state file, which is how the liveness probe tells it is alive.
//
// Two kinds of process: the server (the lock holder; accepts HTTP, writes the state file) and
// status workers forked before any thread exists. A status pass runs in a worker because a
// process cannot see its own fcntl lock, and closing any descriptor of its pid file would drop it.
//
// server.cpp: the start-up steps and the stop; connections.cpp: the event loop and its
// connections; http.cpp: reading requests, writing answers; passes.cpp: the passes, their
// texts and the requests waiting for one; workers.cpp: the worker processes; privileges.cpp:
// dropping root; monitor.cpp: the configuration, the account and the state file.
#include "server.h"

#include <syslog.h>

int main(int argc, char** argv) {
    openlog("vemo-monitor", LOG_PID | LOG_NDELAY, LOG_USER);
    if (argc > 1 || argv == nullptr || argv[0] == nullptr) return print_usage();
    Server server;
    install_signals(&server);
    map_large_allocations_apart();
    const StatusSource source = source_from_self(argv[0]);
    const MonitorConfig config = load_monitor_config(source.bin_dir + "/../etc/vemo-monitor.conf");
    int rc = lock_pid_file(&server);
    if (rc != 0) return rc;
    if (!write_first_state() || !open_listener(config, &server) ||
        !start_status_workers(config, source, &server) || !drop_server_root(&server))
        return 1;
    return stop_server(&server, serve_http(config, source, &server));
}
