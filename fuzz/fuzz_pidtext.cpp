// The pid text of a lock file is written by whoever holds it: any 15 bytes must parse safely,
// and only a leading number may be taken for a pid.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "CLockFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Open reads at most 15 bytes into a 16-byte buffer and terminates it.
    char text[16];
    size_t len = size < sizeof text - 1 ? size : sizeof text - 1;
    memcpy(text, data, len);
    text[len] = '\0';

    pid_t pid = parse_holder_pid(text);
    if (pid != 0) {
        const char* p = text;
        while (isspace(static_cast<unsigned char>(*p)))
            ++p;
        if (*p == '+' || *p == '-') ++p;
        if (!isdigit(static_cast<unsigned char>(*p))) abort();
    }
    return 0;
}
