#include "watchdog_lock.h"

#include "fileio.h"
#include "proc_info.h"
#include "text.h"

#include <cerrno>
#include <cstdlib>

std::string watchdog_pid_file(const std::string& run_dir) {
    return run_dir + "/vemo_watchdog.pid";
}

bool holder_is_watchdog(pid_t holder, std::string* exe) {
    *exe = read_exe(holder);
    return base_name(*exe) == "vemo-watchdog";
}

WatchdogIdentity judge_watchdog(pid_t holder, const std::string& pid_file, std::string* exe,
                                std::string* note) {
    *exe = read_exe(holder);
    int err = errno;
    if (base_name(*exe) == "vemo-watchdog") return WATCHDOG_VERIFIED;
    if (!exe->empty() || (err != EACCES && err != EPERM)) return WATCHDOG_FOREIGN;
    ProcStat st;
    std::string text;
    if (!read_proc_stat(holder, &st) || st.name != "vemo-watchdog" ||
        !read_regular_file(pid_file, 32, &text) ||
        strtol(text.c_str(), nullptr, 10) != static_cast<long>(holder))
        return WATCHDOG_FOREIGN;
    *note =
        "not verified: its executable is not readable by this user; its name and pid file "
        "say vemo-watchdog";
    return WATCHDOG_UNVERIFIED;
}
