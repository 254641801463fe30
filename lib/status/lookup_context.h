// Whose PATH and working directory a program name is looked up with: the watchdog's own when
// they can be read, since it is the watchdog that starts the programs; else ours.
#ifndef VEMO_LOOKUP_CONTEXT_H
#define VEMO_LOOKUP_CONTEXT_H

#include <sys/types.h>

#include <string>

struct LookupContext {
    bool from_watchdog = false;
    std::string path_env;
    bool path_set = false;
    std::string cwd;
    std::string note;        // why our own were used, when they were
    bool inherited = false;  // our own, taken as the watchdog's (see inherited_lookup_context)
};

// The watchdog's PATH and working directory when readable (watchdog > 0), else ours, with a
// note why.
LookupContext lookup_context(pid_t watchdog);

// Ours, for a process the watchdog started: it inherited the watchdog's PATH and directory.
LookupContext inherited_lookup_context();

// Our working directory; "/" when it cannot be named.
std::string current_dir();

#endif
