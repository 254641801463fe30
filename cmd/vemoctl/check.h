// The configuration test of a watch list: every line judged as the daemon will treat it, in
// "FILE:LINE: error|warning: text" form so that editors can jump to each line.
#ifndef VEMO_CHECK_H
#define VEMO_CHECK_H

#include "paths.h"

#include <string>
#include <vector>

#include "hoststatus.h"

struct Finding {
    int line = 0;  // 0: about the file as a whole
    bool error = false;
    std::string text;
};

struct CheckContext {
    LookupContext lookup;  // the PATH and directory programs are looked up with
    std::string run_dir = VEMO_RUN_DIR;
};

// Judges the list in file order; findings about the file as a whole come first.
std::vector<Finding> check_list(const std::string& file, const CheckContext& ctx);

// "FILE:LINE: error: text", or "FILE: warning: text" for the file as a whole.
std::string format_finding(const std::string& file, const Finding& finding);

#endif
