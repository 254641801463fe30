#include "pid_probe.h"

#include "clock.h"
#include "text.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

LockProbe failed_probe(int err, const std::string& error) {
    LockProbe p;
    p.lock = LOCK_PROBE_FAILED;
    p.err = err;
    p.error = error;
    return p;
}

}  // namespace

bool query_lock(int fd, LockState* state, pid_t* holder) {
    struct flock query;
    memset(&query, 0, sizeof query);
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &query) != 0) return false;
    *state = query.l_type == F_UNLCK ? LOCK_FREE : query.l_pid > 0 ? LOCK_HELD : LOCK_HELD_UNNAMED;
    *holder = *state == LOCK_HELD ? query.l_pid : 0;
    return true;
}

namespace {

// 0 for a regular file (*st filled), else why it cannot be judged: fstat's errno, EISDIR for
// a directory, EINVAL for anything else.
int regular_file_error(int fd, struct stat* st) {
    if (fstat(fd, st) != 0) return errno;
    if (S_ISREG(st->st_mode)) return 0;
    return S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
}

// What the last holder wrote: the same 15 bytes the daemon's lock would read, up to a newline.
std::string read_pid_text(int fd) {
    char text[16];
    ssize_t n;
    do {
        n = pread(fd, text, sizeof text - 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return "";
    std::string first(text, static_cast<size_t>(n));
    first.resize(std::min(first.size(), first.find('\n')));
    return printable(first);
}

// A free (or unnamed-held) lock: only a regular file says anything about its last holder, and
// the daemon's own open would fail on a directory.
void read_last_holder(int fd, bool read_text, LockProbe* p) {
    struct stat st;
    int type_err = regular_file_error(fd, &st);
    if (type_err != 0) {
        *p = failed_probe(type_err,
                          type_err == EINVAL ? "not a regular file" : errno_text(type_err));
        return;
    }
    p->written_at = seconds_of(st.st_mtim);
    p->text_skipped = !read_text;
    if (read_text) p->pid_text = read_pid_text(fd);
}

bool under(const std::string& path, const char* dir) {
    size_t n = strlen(dir);
    return path.compare(0, n, dir) == 0 && (path.size() == n || path[n] == '/');
}

std::string kernel_prefix(const std::string& path) {
    static const char* const kDirs[] = {"/proc", "/sys", "/dev"};
    auto hit = std::find_if(std::begin(kDirs), std::end(kDirs),
                            [&path](const char* dir) { return under(path, dir); });
    return hit != std::end(kDirs) ? *hit : "";
}

std::string kernel_magic(long type) {
    return type == PROC_SUPER_MAGIC ? "/proc" : type == SYSFS_MAGIC ? "/sys" : "";
}

LockProbe kernel_file_probe(const std::string& where) {
    return failed_probe(EINVAL, "under " + where + ", where no pid file belongs: not read");
}

// The kernel file system of what fd opened: its real path, then the file system's type
// (procfs or sysfs mounted elsewhere; devtmpfs cannot be told from any tmpfs this way).
std::string kernel_file_system_of(int fd) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char real[PATH_MAX];
    ssize_t n = readlink(link, real, sizeof real - 1);
    std::string where = n > 0 ? kernel_prefix(std::string(real, static_cast<size_t>(n))) : "";
    struct statfs fs;
    if (where.empty() && fstatfs(fd, &fs) == 0) where = kernel_magic(static_cast<long>(fs.f_type));
    return where;
}

// Looks at the file through an O_PATH descriptor, which opens nothing, and opens it for the
// lock query only when it is a regular file outside the kernel's own file systems: -1 with
// errno (EINVAL: not a regular file; EPERM: a kernel file) when it is not.
int open_guarded(const std::string& path) {
    int at = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (at < 0) return -1;
    struct stat st;
    int err = fstat(at, &st) != 0                  ? errno
              : !S_ISREG(st.st_mode)               ? EINVAL
              : !kernel_file_system_of(at).empty() ? EPERM
                                                   : 0;
    // Reopened through our own descriptor: the same file, whatever the path names meanwhile.
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", at);
    int fd = err == 0 ? open(self, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
    if (fd < 0 && err == 0) err = errno;
    close(at);
    errno = err;
    return fd;
}

const char* guard_error(int err) {
    return err == EINVAL ? "not a regular file" : "under /proc, /sys or /dev: not opened";
}

}  // namespace

std::string kernel_file_system(const std::string& path) {
    char real[PATH_MAX];
    std::string resolved = path;
    if (realpath(path.c_str(), real) != nullptr) {
        resolved = real;
    } else if (realpath(dir_name(path).c_str(), real) != nullptr) {
        resolved = std::string(real) + "/" + base_name(path);
    }
    std::string where = kernel_prefix(resolved);
    struct statfs fs;
    if (where.empty() && statfs(resolved.c_str(), &fs) == 0)
        where = kernel_magic(static_cast<long>(fs.f_type));
    return where;
}

LockProbe probe_pid_file(const std::string& path, bool guarded) {
    return probe_pid_file_keeping(path, guarded, nullptr);
}

LockProbe probe_pid_file_keeping(const std::string& path, bool guarded, KeptPidFile* keep) {
    if (keep != nullptr) keep->fd = -1;
    // No open at all where the path says so: a device may act on being opened.
    std::string kernel = kernel_prefix(path);
    if (!kernel.empty()) return kernel_file_probe(kernel);
    // Non-blocking, so a FIFO never stalls us; no terminal becomes ours.
    int fd = guarded ? open_guarded(path)
                     : open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && guarded && (errno == EINVAL || errno == EPERM))
        return failed_probe(errno, guard_error(errno));
    if (fd < 0) {
        int err = errno;
        if (err != ENOENT) return failed_probe(err, errno_text(err));
        LockProbe p;
        p.missing = true;
        return p;
    }
    LockProbe p;
    if (!query_lock(fd, &p.lock, &p.holder)) {
        int err = errno;
        close(fd);
        return failed_probe(err, errno_text(err));
    }
    // Held by a named process: the daemon's probe sees it running whatever the file is.
    // Three calls for a running entry keep a thousand entries cheap.
    if (p.lock != LOCK_HELD) {
        kernel = guarded ? "" : kernel_file_system_of(fd);
        if (kernel.empty()) {
            read_last_holder(fd, !guarded, &p);
        } else {
            p = kernel_file_probe(kernel);
        }
    }
    struct stat st;
    if (keep != nullptr && p.lock == LOCK_HELD && fstat(fd, &st) == 0) {
        keep->fd = fd;
        keep->dev = st.st_dev;
        keep->ino = st.st_ino;
        return p;
    }
    close(fd);
    return p;
}
