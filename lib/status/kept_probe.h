// What a reader making pass after pass (the monitor's workers) keeps of each running entry
// between passes: the pid file's descriptor while a named process holds its lock, and what was
// read of that holder, so an entry whose holder did not change costs a stat(2), F_GETLK and one
// read of the holder's name.
#ifndef VEMO_KEPT_PROBE_H
#define VEMO_KEPT_PROBE_H

#include <string>
#include <vector>

struct EntryStatus;
struct HolderView;

// Probes e's pid file at path as probe_pid_file(path, true) would, filling e->probe, e->state
// and, while a named process holds it, e->process. Returns what compare_command_line needs of
// the holder, or nullptr when the entry is not held or nothing could be kept for it (then the
// caller reads the holder as before).
const HolderView* probe_kept(const std::string& path, EntryStatus* e);

// probe_kept for every entry (paths[i] is entries[i]'s pid file), *holders set in order. The
// kept entries are looked at first, on two threads when there are many.
void probe_all_kept(const std::vector<std::string>& paths, std::vector<EntryStatus>* entries,
                    std::vector<const HolderView*>* holders);

// The pass is over: pid files it did not look at are let go.
void kept_pass_done();

#endif
