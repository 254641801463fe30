// Files read and written the way every companion needs: whole buffers, never blocking on a FIFO
// or device someone put in a file's place, and replacements that survive a crash whole.
#ifndef VEMO_FILEIO_H
#define VEMO_FILEIO_H

#include <cstddef>
#include <string>

// Writes all of data, retrying after EINTR; false with errno on failure (EIO for a zero write).
bool write_all(int fd, const void* data, size_t len);

// Reads exactly len bytes; false with errno on failure, and with errno 0 at end of file.
bool read_all(int fd, void* data, size_t len);

// Opens path read-only, non-blocking and close-on-exec, and refuses what is not a regular file:
// -1 with errno EISDIR for a directory, EINVAL for anything else (a FIFO, socket or device).
int open_regular_file(const char* path);

// Reads at most limit bytes of a regular file (opened as above); false with errno on failure.
bool read_regular_file(const std::string& path, size_t limit, std::string* out);

// Replaces path's content atomically: a hidden temporary file in the same directory, mode 0644
// (readers need not be root), written, fsync'ed, renamed over path, then the directory fsync'ed,
// so a crash leaves the old text or the new one, never a torn one. 0, or -1 with errno set.
int write_file_atomically(const char* path, const char* text, size_t len);
bool write_file_atomically(const std::string& path, const std::string& text);

#endif
