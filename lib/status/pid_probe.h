// A read-only look at one pid-file lock, as the daemon's probe would see it but without
// creating anything, taking the lock or signalling anyone.
#ifndef VEMO_PID_PROBE_H
#define VEMO_PID_PROBE_H

#include <sys/types.h>

#include <string>

// What the lock says; entry_state() turns it into an entry's state.
enum LockState {
    LOCK_FREE,          // nobody holds it, or the file (or a directory above it) is missing
    LOCK_HELD,          // held, and the kernel names the holder
    LOCK_HELD_UNNAMED,  // held by a process the kernel cannot name to us (another namespace)
    LOCK_PROBE_FAILED,  // the file could not be probed; err says why
};

struct LockProbe {
    LockState lock = LOCK_FREE;
    bool missing = false;  // the file or a directory above it does not exist
    pid_t holder = 0;      // with LOCK_HELD
    int err = 0;
    std::string error;          // e.g. "Permission denied"; "" without an error
    std::string pid_text;       // the file's first line (at most 15 bytes, printable)
    double written_at = 0;      // its modification time, when it exists
    bool text_skipped = false;  // guarded: pid_text was not read
};

// "/proc", "/sys" or "/dev" when path (symbolic links resolved) lies in one of the kernel's
// own file systems, where a pid file means nothing and reading one may take data from others
// (/proc/kmsg); "" otherwise.
std::string kernel_file_system(const std::string& path);

// Opens the file O_RDONLY|O_NONBLOCK|O_NOCTTY|O_CLOEXEC and asks F_GETLK. A lock held by a
// named process answers alone, whatever the file is; otherwise only a regular file is read.
// A file of the kernel's own (kernel_file_system) is neither opened nor read: LOCK_PROBE_FAILED.
// guarded: the text is never read, and only a regular file outside /proc, /sys and /dev is
// opened at all (else LOCK_PROBE_FAILED).
LockProbe probe_pid_file(const std::string& path, bool guarded = false);

// The descriptor a probe leaves open, and the file it names.
struct KeptPidFile {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};

// probe_pid_file, leaving the descriptor open in *keep while a named process holds the lock
// (keep->fd -1 otherwise), so the next look costs a stat(2) and F_GETLK.
LockProbe probe_pid_file_keeping(const std::string& path, bool guarded, KeptPidFile* keep);

// F_GETLK on fd: LOCK_FREE, LOCK_HELD (*holder set) or LOCK_HELD_UNNAMED; false with errno.
bool query_lock(int fd, LockState* state, pid_t* holder);

#endif
