// The descriptor-level half of fileio.h, free of std::string so that a program linking only this
// half carries no C++ library (vemo-lockrun stays resident beside every program it wraps).
#include "fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool write_all(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool read_all(int fd, void* data, size_t len) {
    char* p = static_cast<char*>(data);
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = 0;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

int open_regular_file(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    int err = fstat(fd, &st) != 0   ? errno
              : S_ISREG(st.st_mode) ? 0
              : S_ISDIR(st.st_mode) ? EISDIR
                                    : EINVAL;
    if (err == 0) return fd;
    close(fd);
    errno = err;
    return -1;
}

namespace {

// After the rename, the directory entry itself must reach the disk for the new text to stay.
int sync_directory(const char* dir) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = fsync(fd);
    int err = errno;
    close(fd);
    errno = err;
    return rc;
}

// Writes, syncs and closes the temporary file; 0, or the errno of the first failure.
int fill_temporary(int fd, const char* text, size_t len) {
    int err = 0;
    if (fchmod(fd, 0644) != 0 || !write_all(fd, text, len) || fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && err == 0) err = errno;
    return err;
}

// PATH's directory as dir_name (text.h) gives it, then after its NUL the temporary file's name
// "DIR/.BASE.XXXXXX" (*tmp), in one allocation the caller frees. Null with errno set.
char* temporary_names(const char* path, char** tmp) {
    const char* slash = strrchr(path, '/');
    const char* base = slash != nullptr ? slash + 1 : path;
    // "/" for a file right under the root, "." for one without a directory.
    size_t dir_len = slash == nullptr || slash == path ? 1 : static_cast<size_t>(slash - path);
    size_t size = 2 * (dir_len + 1) + strlen(base) + sizeof "/..XXXXXX";
    char* names = static_cast<char*>(malloc(size));
    if (names == nullptr) return nullptr;
    const char* dir = slash == nullptr ? "." : path;
    int dir_n = static_cast<int>(dir_len);
    (void)snprintf(names, dir_len + 1, "%.*s", dir_n, dir);
    *tmp = names + dir_len + 1;
    (void)snprintf(*tmp, size - dir_len - 1, "%.*s/.%s.XXXXXX", dir_n, dir, base);
    return names;
}

}  // namespace

int write_file_atomically(const char* path, const char* text, size_t len) {
    char* tmp = nullptr;
    char* dir = temporary_names(path, &tmp);
    if (dir == nullptr) return -1;
    int err = 0;
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0) {
        err = errno;
    } else {
        err = fill_temporary(fd, text, len);
        if (err == 0 && rename(tmp, path) != 0) err = errno;
        if (err != 0) (void)unlink(tmp);
    }
    if (err == 0 && sync_directory(dir) != 0) err = errno;
    free(dir);
    errno = err;
    return err == 0 ? 0 : -1;
}
