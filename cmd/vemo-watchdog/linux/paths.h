// Where the watchdog is installed and how it finds a program to start: shared by the daemon and
// vemoctl, so a companion's answer to "would the daemon find it?" is the daemon's own.
#ifndef VEMO_PATHS_H
#define VEMO_PATHS_H

#include <string>

// Where the watchdog and the monitor keep their pid files and state: one name for every program.
#define VEMO_RUN_DIR "/var/run/vemo_monitor"

// Where the watchdog is installed, as derived from argv[0] and the current directory.
struct Installation {
    std::string wdg_fullname;
    std::string bin_dir;
    std::string root_dir;
    std::string watchdog_prog;
    std::string watching_list_config_file;
};

Installation locate_installation(const char* argv0, const char* cwd);

std::string BaseDir(const std::string& file);
int exec_ok(const char* filename);
// The daemon's lookup in this process: getenv("PATH") and the current directory. The result
// lives in a static buffer, valid until the next call.
char* exec_abspath(const char* filename);

// The same lookup for another process's view: path_env is its PATH (nullptr: unset), cwd its
// working directory (nullptr: ours). false with errno set when the program is not found.
bool exec_lookup(const char* filename, const char* path_env, const char* cwd, std::string* out);

// Before an exec (in a new child, or in vemo-lockrun before it execs or forks): marks every
// descriptor from 3 up close-on-exec, by close_range, else by the list in /proc/self/fd, else by
// trying each number below the open-files limit.
void mark_inherited_close_on_exec();

#endif
