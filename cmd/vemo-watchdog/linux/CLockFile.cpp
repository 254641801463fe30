#include "CLockFile.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

CLockFile::CLockFile() : fd(-1) {
    fname[0] = '\0';
}

CLockFile::CLockFile(const char* name) : fd(-1) {
    SetCLockFileName(name);
}

// A name that does not fit is kept unterminated, so Open can refuse it.
void CLockFile::SetCLockFileName(const char* name) {
    size_t len = strnlen(name, sizeof fname);
    memcpy(fname, name, len);
    if (len < sizeof fname) fname[len] = '\0';
}

const char* CLockFile::GetCLockFileName() {
    return memchr(fname, '\0', sizeof fname) != nullptr ? fname : "";
}

pid_t parse_holder_pid(const char* text) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (end == text || errno == ERANGE || value < INT_MIN || value > INT_MAX) return 0;
    return static_cast<pid_t>(value);
}

static struct flock whole_file_write_lock() {
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

// Reads up to 15 bytes of the holder's pid text from the start of the file.
static int read_pid_text(int fd, char (&buf)[16]) {
    size_t got = 0;
    while (got < sizeof buf - 1) {
        ssize_t n = read(fd, buf + got, sizeof buf - 1 - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    buf[got] = '\0';
    return 0;
}

int CLockFile::Open(pid_t* holding_pid) {
    *holding_pid = 0;
    fd = -1;
    if (memchr(fname, '\0', sizeof fname) == nullptr) {
        errno = ENAMETOOLONG;
        return -1;
    }

    // Non-blocking, whatever the path names: a FIFO or a device there must never stall the probe
    // (the pid-text fallback below would wait on a FIFO for ever). Regular files do not notice.
    do {
        fd = open(fname, O_RDWR | O_CREAT | O_NONBLOCK, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        fd = -1;
        return -1;
    }

    // Our own locks never show here; a failed query is settled by F_SETLK below.
    struct flock query = whole_file_write_lock();
    if (fcntl(fd, F_GETLK, &query) == 0 && query.l_type != F_UNLCK) {
        *holding_pid = query.l_pid;
        Close();
        return 1;
    }

    struct flock lock = whole_file_write_lock();
    int rc;
    do {
        rc = fcntl(fd, F_SETLK, &lock);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        // The holder slipped in after the query, or the kernel would not say: trust the file.
        char text[16];
        if (read_pid_text(fd, text) < 0) {
            int saved = errno;
            Close();
            errno = saved;
            return -1;
        }
        *holding_pid = parse_holder_pid(text);
        Close();
        return 1;
    }

    int flags;
    do {
        flags = fcntl(fd, F_GETFD);
    } while (flags < 0 && errno == EINTR);
    if (flags >= 0) {
        do {
            rc = fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        } while (rc < 0 && errno == EINTR);
    }
    if (flags < 0 || rc < 0) {
        int saved = errno;
        Close();
        errno = saved;
        return -1;
    }
    return 0;
}

int CLockFile::Get(pid_t* holding_pid) {
    *holding_pid = 0;
    fd = -1;
    int rc = Open(holding_pid);
    if (rc != 0) return rc;

    // Written over the old text first, then cut to length: the file never reads empty while
    // its holder runs, so a reader at a renewal still finds the pid.
    char text[16];
    int len = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    ssize_t written;
    do {
        written = pwrite(fd, text, static_cast<size_t>(len), 0);
    } while (written < 0 && errno == EINTR);
    if (written != len) {
        // A short write sets no errno of its own; never let a stale one be quoted.
        int saved = written < 0 ? errno : EIO;
        Close();
        errno = saved;
        return -1;
    }

    do {
        rc = ftruncate(fd, static_cast<off_t>(len));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        int saved = errno;
        Close();
        errno = saved;
        return -1;
    }
    return 0;
}

void CLockFile::Close() {
    if (fd != -1) {
        close(fd);
        fd = -1;
    }
}
