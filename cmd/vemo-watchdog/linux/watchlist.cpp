#include "watchlist.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Exactly 1 enables; anything else, out-of-range numbers included, disables.
bool parse_enabled(const std::string& field) {
    errno = 0;
    long value = strtol(field.c_str(), nullptr, 10);
    return errno != ERANGE && value == 1;
}

void split_fields(const std::string& text, size_t from, std::vector<std::string>* fields) {
    for (;;) {
        size_t colon = text.find(':', from);
        if (colon == std::string::npos) {
            fields->emplace_back(text, from);
            return;
        }
        fields->emplace_back(text, from, colon - from);
        from = colon + 1;
    }
}

}  // namespace

bool read_watch_line(FILE* f, WatchLine* line) {
    int c = getc_unlocked(f);
    if (c == EOF) return false;

    char buf[kMaxLineChars];
    size_t len = 0;
    bool overlong = false;
    // Measured by what was read, not up to a NUL: a line's tail never becomes a line of its own.
    for (; c != EOF && c != '\n'; c = getc_unlocked(f)) {
        if (len < sizeof buf) {
            buf[len++] = static_cast<char>(c);
        } else {
            overlong = true;
        }
    }

    line->number += 1;
    line->text.assign(buf, len);
    line->fields.clear();
    line->enabled = false;
    line->ignored_fields = 0;

    size_t start = line->text.find_first_not_of(" \t");
    if (start != std::string::npos && line->text[start] == '#') {
        line->kind = LINE_COMMENT;
    } else if (overlong) {
        line->kind = LINE_OVERLONG;
    } else if (memchr(buf, '\0', len) != nullptr) {
        line->kind = LINE_NUL;
    } else {
        split_fields(line->text, start == std::string::npos ? len : start, &line->fields);
        if (line->fields.size() < kMinFields) {
            line->kind = LINE_SHORT;
            line->fields.clear();
        } else {
            line->kind = LINE_ENTRY;
            line->enabled = parse_enabled(line->fields[0]);
            size_t used = kMinFields + kMaxArgs;
            line->ignored_fields = line->fields.size() > used ? line->fields.size() - used : 0;
        }
    }
    return true;
}
