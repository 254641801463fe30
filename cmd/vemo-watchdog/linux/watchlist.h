// The rules of one watch-list line, in one place: the daemon's loader and vemoctl both read
// the list through read_watch_line, so the two can never disagree.
#ifndef VEMO_WATCHLIST_H
#define VEMO_WATCHLIST_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// A longer line is invalid and skipped whole; an over-long comment stays a comment.
constexpr size_t kMaxLineChars = 508;
// Arguments after the program; fields past them are ignored.
constexpr size_t kMaxArgs = 14;
// Flag, pid file and program.
constexpr size_t kMinFields = 3;

enum WatchLineKind {
    LINE_ENTRY,     // at least kMinFields fields
    LINE_COMMENT,   // the first character other than blanks is '#'
    LINE_SHORT,     // fewer than kMinFields fields, the empty line included
    LINE_OVERLONG,  // more than kMaxLineChars characters
    LINE_NUL,       // a NUL byte within the line: zero-filled blocks are damage, not an entry
};

struct WatchLine {
    WatchLineKind kind = LINE_SHORT;
    int number = 0;                   // 1-based; each read counts on from the previous one
    std::string text;                 // as read, without its line feed, at most kMaxLineChars
    std::vector<std::string> fields;  // LINE_ENTRY: every field, split at each ':', verbatim
    bool enabled = false;             // LINE_ENTRY: the flag reads as the number 1
    size_t ignored_fields = 0;        // LINE_ENTRY: fields past the last argument
};

// Reads the next line of f into *line and classifies it; false at end of file or on a read
// error. Pass the same record again to keep the line count.
bool read_watch_line(FILE* f, WatchLine* line);

#endif
