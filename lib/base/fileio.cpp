// The std::string half of fileio.h; the descriptor-level one is in fileio_fd.cpp.
#include "fileio.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

bool write_file_atomically(const std::string& path, const std::string& text) {
    return write_file_atomically(path.c_str(), text.data(), text.size()) == 0;
}
