#include "watchdog_lock.h"

#include "proc_info.h"
#include "text.h"

std::string watchdog_pid_file(const std::string& run_dir) {
    return run_dir + "/vemo_watchdog.pid";
}

bool holder_is_watchdog(pid_t holder, std::string* exe) {
    *exe = read_exe(holder);
    return base_name(*exe) == "vemo-watchdog";
}
