#include "text.h"

#include <cstring>

std::string errno_text(int err) {
    char buf[128];
    // The GNU strerror_r returns its text, which need not be in buf.
    return strerror_r(err, buf, sizeof buf);
}

std::string base_name(const std::string& path) {
    size_t sep = path.find_last_of('/');
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string dir_name(const std::string& path) {
    size_t sep = path.find_last_of('/');
    if (sep == std::string::npos) return ".";
    return sep == 0 ? "/" : path.substr(0, sep);
}

std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    return out;
}
