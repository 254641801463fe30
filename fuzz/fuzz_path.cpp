// PATH comes from whoever started the daemon: any value must be split safely, and a name found
// must be an executable candidate built from one of its elements.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vemo-watchdog.h"

namespace {

// Anything found must still pass the check that admitted it, and end in the name looked up.
void check_found(const char* name) {
    char* found = exec_abspath(name);
    if (found == nullptr) return;
    if (strlen(found) >= 8192 || exec_ok(found) != 1) abort();
    if (name[0] == '.' || name[0] == '/') return;
    size_t n = strlen(name), f = strlen(found);
    if (f < n + 1 || found[f - n - 1] != '/' || strcmp(found + f - n, name) != 0) abort();
}

}  // namespace

// Input: a program name, a line feed, then the PATH value; NULs are dropped from both.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string name, path;
    bool in_name = memchr(data, '\n', size) != nullptr;
    for (size_t i = 0; i < size; ++i) {
        char c = static_cast<char>(data[i]);
        if (in_name && c == '\n') {
            in_name = false;
        } else if (c != '\0') {
            (in_name ? name : path) += c;
        }
    }
    if (setenv("PATH", path.c_str(), 1) != 0) return 0;
    check_found("sh");
    check_found(name.c_str());
    return 0;
}
