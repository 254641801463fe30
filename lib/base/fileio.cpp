#include "fileio.h"

#include "text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

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

bool read_regular_file(const std::string& path, size_t limit, std::string* out) {
    int fd = open_regular_file(path.c_str());
    if (fd < 0) return false;
    out->clear();
    char buf[4096];
    while (out->size() < limit) {
        ssize_t n = read(fd, buf, std::min(sizeof buf, limit - out->size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            close(fd);
            errno = err;
            return false;
        }
        if (n == 0) break;
        out->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

namespace {

// After the rename, the directory entry itself must reach the disk for the new text to stay.
int sync_directory(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

}  // namespace

int write_file_atomically(const char* path, const char* text, size_t len) {
    std::string target(path);
    std::string dir = dir_name(target);
    std::string tmp = dir + "/." + base_name(target) + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    int err = fill_temporary(fd, text, len);
    if (err == 0 && rename(name.data(), path) != 0) err = errno;
    if (err != 0) {
        (void)unlink(name.data());
        errno = err;
        return -1;
    }
    return sync_directory(dir);
}

bool write_file_atomically(const std::string& path, const std::string& text) {
    return write_file_atomically(path.c_str(), text.data(), text.size()) == 0;
}
