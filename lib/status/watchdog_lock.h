// The watchdog's own lock, and the one test of whether its holder is the watchdog.
#ifndef VEMO_WATCHDOG_LOCK_H
#define VEMO_WATCHDOG_LOCK_H

#include <sys/types.h>

#include <string>

// The watchdog's pid file in run_dir.
std::string watchdog_pid_file(const std::string& run_dir);

// Whether the process holding the watchdog's lock is a vemo-watchdog, judged by the file name
// of its executable; *exe gets that executable ("" when unreadable, which is no watchdog).
bool holder_is_watchdog(pid_t holder, std::string* exe);

// The same judgement by the holder's process name (/proc/PID/comm), readable without
// CAP_SYS_PTRACE; no stronger and no weaker, since anyone may name a program vemo-watchdog.
bool holder_named_watchdog(pid_t holder);

#endif
