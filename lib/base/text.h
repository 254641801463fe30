// Small text helpers with one meaning each, shared by the companions.
#ifndef VEMO_TEXT_H
#define VEMO_TEXT_H

#include <string>

// strerror's text for err, thread-safe.
std::string errno_text(int err);

// The part after the last '/': "b" for "/a/b", "" for "/a/", the path itself without a '/'.
std::string base_name(const std::string& path);

// The part before the last '/': "/a" for "/a/b", "/" for "/b", "." without a '/'.
std::string dir_name(const std::string& path);

// Control characters (below 0x20, and DEL) become '?', so list text never drives a terminal.
std::string printable(const std::string& text);

#endif
