#include "watchdog_lock.h"

#include "fileio.h"
#include "proc_info.h"
#include "text.h"

#include <cstdio>

std::string watchdog_pid_file(const std::string& run_dir) {
    return run_dir + "/vemo_watchdog.pid";
}

bool holder_named_watchdog(pid_t holder) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(holder));
    std::string name;
    return read_regular_file(path, 64, &name) && name == "vemo-watchdog\n";
}

bool holder_is_watchdog(pid_t holder, std::string* exe) {
    *exe = read_exe(holder);
    return base_name(*exe) == "vemo-watchdog";
}
