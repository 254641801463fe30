// What /proc tells about a process: one reader of /proc/PID/stat for every caller.
#ifndef VEMO_PROC_INFO_H
#define VEMO_PROC_INFO_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// What /proc says about one process; known false when it vanished or cannot be read.
struct ProcessInfo {
    bool known = false;
    double started_at = 0;  // epoch seconds
    std::string exe;        // the target of /proc/PID/exe, when readable
};

// The fields of /proc/PID/stat that we use.
struct ProcStat {
    std::string name;                    // the command name between the parentheses
    char state = '\0';                   // 'R', 'S', 'Z', ...; '\0' when the line holds none
    bool has_start_time = false;         // start_ticks could be read
    unsigned long long start_ticks = 0;  // clock ticks after boot
};

// Reads /proc/PID/stat; false when it cannot be read or nothing follows the name.
bool read_proc_stat(pid_t pid, ProcStat* out);

// The start time of a process (known false when it is gone or unreadable); exe is left empty.
ProcessInfo read_process(pid_t pid);

// Start times already read, for a reader that makes pass after pass (the monitor's workers). A
// process is known again by its pid and the inode number of its /proc directory: the kernel
// numbers that inode afresh for each process, so a new one with an old pid is read anew.
struct StartTimes {
    struct Seen {
        ino_t dir_inode;
        ProcessInfo info;
    };
    std::vector<std::pair<pid_t, Seen>> last, current;  // by pid
};

// read_process, once for each process while it lives: one stat(2) of /proc/PID instead of
// reading /proc/PID/stat, which the kernel takes several times as long to write.
ProcessInfo read_process_cached(pid_t pid, StartTimes* cache);

// A pass is over: the processes it did not see are forgotten.
void start_times_pass_done(StartTimes* cache);

// The arguments of a process from /proc/PID/cmdline; false with errno when they cannot be read,
// or with errno ENODATA when it has none (a kernel thread, a zombie).
bool read_cmdline(pid_t pid, std::vector<std::string>* argv);

// The executable of a process, without the " (deleted)" of a replaced file; "" when unknown
// (errno says why).
std::string read_exe(pid_t pid);

#endif
