// Benchmark fixture: processes that hold the write lock on many files, as running programs do.
#ifndef VEMO_BENCH_HOLDERS_H
#define VEMO_BENCH_HOLDERS_H

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

inline struct flock whole_file_write_lock() {
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return lock;
}

// Processes holding the write lock on every given file, as running programs do.
// fcntl locks belong to a process, so one process can stand for many programs.
struct Holders {
    std::vector<pid_t> pids;

    ~Holders() { stop(); }

    bool start(const std::vector<std::string>& files) {
        rlimit lim;
        getrlimit(RLIMIT_NOFILE, &lim);
        size_t room = lim.rlim_max == RLIM_INFINITY ? files.size() : lim.rlim_max;
        size_t chunk = std::max<size_t>(1, std::min(files.size(), room > 64 ? room - 64 : 1));
        for (size_t first = 0; first < files.size(); first += chunk) {
            if (!spawn(files, first, std::min(files.size(), first + chunk))) return false;
        }
        return true;
    }

    // Kill, then reap: a holder must never outlive the benchmark.
    void stop() {
        for (pid_t pid : pids) {
            kill(pid, SIGKILL);
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        pids.clear();
    }

private:
    bool spawn(const std::vector<std::string>& files, size_t first, size_t last) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) return false;
        pid_t parent = getpid();
        pid_t pid = fork();
        if (pid < 0) {
            close(ready[0]);
            close(ready[1]);
            return false;
        }
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(1);
            rlimit lim;
            getrlimit(RLIMIT_NOFILE, &lim);
            lim.rlim_cur = lim.rlim_max;
            setrlimit(RLIMIT_NOFILE, &lim);
            char ok = 1;
            char text[16];
            int len = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
            for (size_t i = first; i < last && ok; ++i) {
                int fd = open(files[i].c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
                struct flock lock = whole_file_write_lock();
                if (fd < 0 || fcntl(fd, F_SETLK, &lock) != 0 || ftruncate(fd, 0) != 0 ||
                    write(fd, text, static_cast<size_t>(len)) != len) {
                    ok = 0;
                }
            }
            if (write(ready[1], &ok, 1) != 1) _exit(1);
            for (;;)
                pause();
        }
        close(ready[1]);
        pids.push_back(pid);
        char ok = 0;
        ssize_t n;
        do {
            n = read(ready[0], &ok, 1);
        } while (n < 0 && errno == EINTR);
        close(ready[0]);
        return n == 1 && ok == 1;
    }
};

#endif
