// supervised-example PIDFILE [SECONDS]: the smallest program that meets vemo-watchdog's contract.
// It holds the lock on PIDFILE while it runs, works until SECONDS have passed (for ever when
// omitted), and ends with status 0 on SIGTERM.
#include <CLockFile.h>

#include <signal.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

volatile sig_atomic_t g_stop = 0;

void on_term(int) {
    g_stop = 1;
}

}  // namespace

int main(int argc, char** argv) {
    long seconds = 0;
    char* end = nullptr;
    if (argc == 3) seconds = strtol(argv[2], &end, 10);
    if (argc < 2 || argc > 3 || (argc == 3 && (*end != '\0' || seconds <= 0))) {
        fprintf(stderr, "usage: supervised-example PIDFILE [SECONDS]\n");
        return 2;
    }

    // No SA_RESTART, so SIGTERM cuts the sleep short.
    struct sigaction term;
    memset(&term, 0, sizeof term);
    term.sa_handler = on_term;
    sigemptyset(&term.sa_mask);
    sigaction(SIGTERM, &term, nullptr);

    // Lock before any work: until it is held the watchdog counts this program as not running.
    CLockFile lock(argv[1]);
    pid_t holder = 0;
    int rc = lock.Get(&holder);
    if (rc == 1) {
        // Another copy holds the lock: running beside it would make two copies of the work.
        if (holder > 0) {
            fprintf(stderr, "supervised-example: %s is locked by process %d\n", argv[1],
                    static_cast<int>(holder));
        } else {
            fprintf(stderr, "supervised-example: %s is locked by another process\n", argv[1]);
        }
        return 1;
    }
    if (rc != 0) {
        fprintf(stderr, "supervised-example: cannot lock %s: %s\n", argv[1], strerror(errno));
        return 1;
    }

    time_t deadline = time(nullptr) + seconds;
    while (g_stop == 0 && (seconds == 0 || time(nullptr) < deadline)) {
        sleep(1);  // the work
    }
    lock.Close();
    return 0;
}
