// The watchdog's records and free functions, shared with its tests and benchmarks.
#ifndef VEMO_WATCHDOG_H
#define VEMO_WATCHDOG_H

#include <string>
#include <vector>

#include "paths.h"
#include "watchlist.h"

// One supervised program. Never copied: args points into its own items.
struct Supervisee {
    Supervisee() = default;
    Supervisee(const Supervisee&) = delete;
    Supervisee& operator=(const Supervisee&) = delete;

    std::vector<std::string> items;
    bool enabled = false;
    std::string prog;
    std::string prog_pid_file;
    char* args[kMaxArgs + 2] = {};  // argv: the program, its arguments, the closing null
};

// Entry 0 is always the built-in monitor entry; the rest are owned here.
extern std::vector<Supervisee*> g_supervisee_vec;

void fill_monitor_entry(Supervisee* monitor, const std::string& bin_dir);

// Appends the list's entries to the table; false when the list cannot be read. At a reload
// (reset_to: the builtin entry) the table is first reset to reset_to, or, when the list cannot be
// read, kept as it was, with an error naming the path and the reason.
bool load_supervisees(const std::string& config, Supervisee* reset_to = nullptr);
void reset_supervisees(Supervisee* builtin);

// What the pass tells the main routine: go on cycling, or (in a child whose
// execvp failed) leave the main routine with status 0.
enum PassOutcome { PASS_DONE, PASS_LEAVE_CHILD };
PassOutcome supervise_entries();

bool VemoMonitorHelthCheck(const std::string& running_root);

#endif
