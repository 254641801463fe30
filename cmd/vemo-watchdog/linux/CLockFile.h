// Pid-file lock: a whole-file fcntl write lock is the sign that a program runs.
#ifndef VEMO_CLOCKFILE_H
#define VEMO_CLOCKFILE_H

#include <sys/types.h>

class CLockFile {
public:
    CLockFile();
    explicit CLockFile(const char* name);
    // The lock outlives the object on purpose: only Close gives it up.
    ~CLockFile() = default;
    // A copy would share the descriptor: closing either one would drop the other's lock.
    CLockFile(const CLockFile&) = delete;
    CLockFile& operator=(const CLockFile&) = delete;

    void SetCLockFileName(const char* name);
    const char* GetCLockFileName();

    // 0: lock obtained and held; 1: held by another process (*holding_pid
    // its pid, 0 or less when unknown); -1: failure, errno says why.
    int Open(pid_t* holding_pid);
    // As Open, then replaces the file's text with our pid and a line feed, written over the
    // old text before the file is cut to length, so it never reads empty.
    int Get(pid_t* holding_pid);
    // Releases the lock; safe to call when nothing is held.
    void Close();

private:
    char fname[4096];
    int fd;
};

// Parses the holder pid from a pid file's text; 0 when no number in pid_t range leads it.
pid_t parse_holder_pid(const char* text);

#endif
