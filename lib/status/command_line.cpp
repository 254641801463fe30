// Whether a running entry runs its line as it reads now: a line edited since its program
// started is applied only once that program is restarted, since its lock stays held.
#include "hoststatus.h"
#include "text.h"

#include <cerrno>

namespace {

// What the lock holder's /proc/PID/cmdline shows when it runs the line as it reads now. The
// daemon executes the resolved path and vemo-lockrun the program as written, so argv[0] is
// compared by its base name only.
std::vector<std::string> expected_argv(const EntryStatus& e) {
    const LockrunStatus& lr = e.lockrun;
    std::vector<std::string> argv;
    if (lr.is_lockrun && !lr.restart && !lr.wraps.empty()) {
        argv.assign(e.args.begin() + static_cast<long>(lr.wraps_at), e.args.end());
    } else {
        argv.push_back(e.program);
        argv.insert(argv.end(), e.args.begin(), e.args.end());
    }
    // cmdline cannot tell trailing empty arguments from padding.
    while (argv.size() > 1 && argv.back().empty())
        argv.pop_back();
    return argv;
}

bool same_argv(const std::vector<std::string>& want, const std::vector<std::string>& got) {
    if (want.size() != got.size() || base_name(want[0]) != base_name(got[0])) return false;
    for (size_t i = 1; i < want.size(); ++i) {
        if (want[i] != got[i]) return false;
    }
    return true;
}

}  // namespace

void judge_command_line(EntryStatus* e, const HolderView& holder) {
    e->cmdline = CMDLINE_UNKNOWN;
    if (e->probe.lock != LOCK_HELD || !e->enabled) return;
    // A --restart line is held by its wrapper, whatever the program does to its own title.
    if (e->lockrun.restart && holder.name_read && holder.name != "vemo-lockrun") {
        e->cmdline = CMDLINE_CHANGED;
        return;
    }
    if (!holder.argv_read) {
        e->cmdline_note = "its command line cannot be read: " + errno_text(holder.argv_errno);
        return;
    }
    const std::vector<std::string>& argv = holder.argv;
    std::vector<std::string> want = expected_argv(*e);
    if (same_argv(want, argv)) {
        e->cmdline = CMDLINE_SAME;
    } else if (argv.size() == 1 && argv[0].find(' ') != std::string::npos) {
        // nginx, Redis and others write a title over their arguments.
        e->cmdline_note = "it rewrote its command line";
    } else {
        e->cmdline = CMDLINE_CHANGED;
    }
}

void compare_command_line(EntryStatus* e) {
    HolderView holder;
    if (e->probe.lock == LOCK_HELD && e->enabled) {
        ProcStat st;
        if (e->lockrun.restart && read_proc_stat(e->probe.holder, &st)) {
            holder.name_read = true;
            holder.name = st.name;
        }
        holder.argv_read = read_cmdline(e->probe.holder, &holder.argv);
        holder.argv_errno = holder.argv_read ? 0 : errno;
    }
    judge_command_line(e, holder);
}
