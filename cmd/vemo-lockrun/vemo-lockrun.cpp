// vemo-lockrun PIDFILE PROGRAM [ARGS...]: holds the pid-file lock for a program that takes
// none, by locking and then becoming the program in the same process.
#include "CLockFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Closing ANY descriptor of the locked file drops the process's lock, so every one of them
// must survive exec, not only the one CLockFile opened. 1: kept; 0: another file; -1: failed.
int keep_if_pid_file(int fd, const struct stat& pid_file) {
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != pid_file.st_dev || st.st_ino != pid_file.st_ino)
        return 0;
    int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) == 0 ? 1 : -1;
}

// True when every descriptor of the pid file, and at least one, will stay open across exec.
bool keep_lock_across_exec(const struct stat& pid_file) {
    int kept = 0;
    bool failed = false;
    DIR* dir = opendir("/proc/self/fd");
    if (dir != nullptr) {
        int own = dirfd(dir);
        while (struct dirent* e = readdir(dir)) {
            char* end = nullptr;
            long fd = strtol(e->d_name, &end, 10);
            if (end == e->d_name || *end != '\0' || fd == own) continue;
            int rc = keep_if_pid_file(static_cast<int>(fd), pid_file);
            kept += rc > 0;
            failed |= rc < 0;
        }
        closedir(dir);
    } else {
        // Without /proc, try every descriptor number the limit allows.
        struct rlimit lim;
        rlim_t top = getrlimit(RLIMIT_NOFILE, &lim) == 0 ? lim.rlim_cur : 1024;
        if (top == RLIM_INFINITY || top > (1 << 20)) top = 1 << 20;
        for (rlim_t fd = 0; fd < top; ++fd) {
            int rc = keep_if_pid_file(static_cast<int>(fd), pid_file);
            kept += rc > 0;
            failed |= rc < 0;
        }
    }
    return kept > 0 && !failed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: vemo-lockrun PIDFILE PROGRAM [ARGS...]\n");
        return 2;
    }
    const char* pid_file = argv[1];
    const char* program = argv[2];

    // Exec keeps the process, so the pid Get writes is the program's.
    CLockFile lock(pid_file);
    pid_t holder = 0;
    int rc = lock.Get(&holder);
    if (rc == 1 && holder > 0) {
        fprintf(stderr, "vemo-lockrun: %s is locked by process %d\n", pid_file,
                static_cast<int>(holder));
        return 1;
    }
    if (rc == 1) {
        fprintf(stderr, "vemo-lockrun: %s is locked by another process (its pid cannot be read)\n",
                pid_file);
        return 1;
    }
    if (rc != 0) {
        fprintf(stderr, "vemo-lockrun: cannot lock %s: %s\n", pid_file, strerror(errno));
        return 1;
    }
    // Checked by name: a lock on a file since replaced at that path would guard nothing.
    struct stat st;
    if (stat(pid_file, &st) != 0 || !keep_lock_across_exec(st)) {
        fprintf(stderr, "vemo-lockrun: cannot keep the lock on %s across exec\n", pid_file);
        return 1;
    }

    execvp(program, argv + 2);
    int err = errno;
    fprintf(stderr, "vemo-lockrun: cannot execute %s: %s\n", program, strerror(err));
    return err == ENOENT || err == ENOTDIR ? 127 : 126;
}
