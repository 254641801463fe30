// The directories above kept pid files, watched by inotify, and the mount table, so a reader that
// keeps a pid file open between passes learns that its path may name another file without a
// stat(2) of every path each pass. The events are read only when asked, at a pass: an idle reader
// is never woken by them.
#ifndef VEMO_DIR_WATCH_H
#define VEMO_DIR_WATCH_H

#include <string>
#include <unordered_set>

// Watches every directory in which resolving path (absolute, on local file systems) looks up a
// name, through symbolic links as the kernel follows them. true when, from now on, any change
// that could make path name another file is reported by dir_watch_changes: an entry created,
// deleted or renamed in one of those directories, one of them renamed or deleted, or the mount
// table changed. false when that cannot be promised (then
// nothing is left watched for path).
bool dir_watch_add(const std::string& path);

// path's watches are no longer needed by it.
void dir_watch_remove(const std::string& path);

// What changed since the last call: everything (all), the watched directories themselves
// (dirs), and the entries made, removed or changed in them (names, as directory/name).
struct DirChanges {
    bool all = false;
    std::unordered_set<std::string> dirs;
    std::unordered_set<std::string> names;
};
void dir_watch_changes(DirChanges* out);

// Whether a change in c may make a watched path name another file (true for a path not watched).
bool dir_changed(const DirChanges& c, const std::string& path);

#endif
