// The watchdog's own lock, and the tests of whether its holder is the watchdog.
#ifndef VEMO_WATCHDOG_LOCK_H
#define VEMO_WATCHDOG_LOCK_H

#include <sys/types.h>

#include <string>

// The watchdog's pid file in run_dir.
std::string watchdog_pid_file(const std::string& run_dir);

// Whether the process holding the watchdog's lock is a vemo-watchdog, judged by the file name
// of its executable; *exe gets that executable ("" when unreadable, which is no watchdog). The
// strict test, made before any signal.
bool holder_is_watchdog(pid_t holder, std::string* exe);

enum WatchdogIdentity {
    WATCHDOG_VERIFIED,    // its executable is named vemo-watchdog
    WATCHDOG_UNVERIFIED,  // its executable cannot be read by us, all we can see says vemo-watchdog
    WATCHDOG_FOREIGN,     // another program, or nothing we can see says vemo-watchdog
};

// What a reader without root can tell of the holder: the strict test when the executable can be
// read; else the name in /proc/PID/stat and the pid the watchdog wrote into pid_file must both
// agree (*note then says what was not verified).
WatchdogIdentity judge_watchdog(pid_t holder, const std::string& pid_file, std::string* exe,
                                std::string* note);

#endif
