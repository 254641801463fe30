#include "kept_probe.h"

#include "dir_watch.h"
#include "hoststatus.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <unordered_map>

namespace {

// Descriptors left for everything else a pass opens, and for the probes that keep nothing.
const rlim_t kSpareDescriptors = 64;

// The lock holder as last read. Its /proc/PID/comm stays open: a read fails once that process
// is gone (its pid reused or not), and gives another name once it executed another program.
struct Holder {
    pid_t pid = 0;
    int comm_fd = -1;
    std::string comm;  // as read, with its newline
    ProcessInfo process;
    HolderView view;
};

struct Kept {
    KeptPidFile file;
    Holder holder;
    unsigned long pass = 0;
    // The directories above its path are watched (dir_watch.h): while no change is reported
    // there, the path still names the kept file, without a stat(2).
    bool watched = false;
};

struct KeptProbes {
    std::unordered_map<std::string, Kept> by_path;
    unsigned long pass = 1;
    size_t open = 0;    // descriptors kept
    size_t budget = 0;  // at most this many
    bool budget_set = false;
    unsigned long changes_read = 0;  // the pass that last read what changed in the directories
};

KeptProbes g_kept;

size_t descriptor_budget() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur == RLIM_INFINITY) return static_cast<size_t>(-1);
    return limit.rlim_cur > kSpareDescriptors ? limit.rlim_cur - kSpareDescriptors : 0;
}

void close_kept(int* fd) {
    if (*fd < 0) return;
    close(*fd);
    *fd = -1;
    --g_kept.open;
}

void drop_holder(Holder* h) {
    close_kept(&h->comm_fd);
    *h = Holder();
}

void drop(Kept* k, const std::string& path) {
    close_kept(&k->file.fd);
    drop_holder(&k->holder);
    if (k->watched) dir_watch_remove(path);
    k->watched = false;
}

// Once a pass, before its first look: what may have changed under a watched directory is let
// go, to be probed afresh.
void read_changes() {
    if (g_kept.changes_read == g_kept.pass) return;
    g_kept.changes_read = g_kept.pass;
    DirChanges changes;
    dir_watch_changes(&changes);
    if (!changes.all && changes.dirs.empty() && changes.names.empty()) return;
    for (auto& [path, k] : g_kept.by_path)
        if (k.watched && dir_changed(changes, path)) drop(&k, path);
}

// Watches path's directories for a kept file just opened; a stat(2) made after the watches are
// in place proves the path still names it.
bool watch_kept(const KeptPidFile& file, const std::string& path) {
    if (!dir_watch_add(path)) return false;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_dev == file.dev && st.st_ino == file.ino) return true;
    dir_watch_remove(path);
    return false;
}

// The kept descriptor still names the file at path, and a named process (*holder) holds its
// lock.
bool still_held(const Kept& k, const std::string& path, pid_t* holder) {
    if (k.file.fd < 0) return false;
    struct stat st;
    if (!k.watched && (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
                       st.st_dev != k.file.dev || st.st_ino != k.file.ino))
        return false;
    LockState lock = LOCK_FREE;
    return query_lock(k.file.fd, &lock, holder) && lock == LOCK_HELD;
}

// The name in /proc/PID/comm (at most 16 bytes with its newline) into buf; its length, or -1.
ssize_t read_comm(int fd, char* buf, size_t size) {
    ssize_t n;
    do {
        n = pread(fd, buf, size, 0);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? n : -1;
}

// The same process as last time, running the same program. Allocates nothing: it runs on the
// helper thread too.
bool same_holder(const Holder& h, pid_t pid) {
    char comm[64];
    ssize_t n = h.pid == pid && h.comm_fd >= 0 ? read_comm(h.comm_fd, comm, sizeof comm) : -1;
    return n > 0 && h.comm.compare(0, std::string::npos, comm, static_cast<size_t>(n)) == 0;
}

// What one look at a kept entry found: its file still held, by whom, the same holder as before.
struct Quick {
    bool held = false;
    pid_t holder = 0;
    bool same = false;
};

void quick_look(const Kept& k, const std::string& path, Quick* q) {
    q->held = still_held(k, path, &q->holder);
    q->same = q->held && same_holder(k.holder, q->holder);
}

// Reads the holder afresh: its name first, so what follows is of the process that name is kept
// for.
void learn_holder(Holder* h, pid_t pid) {
    drop_holder(h);
    h->pid = pid;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    char comm[64];
    ssize_t n = fd >= 0 ? read_comm(fd, comm, sizeof comm) : -1;
    if (n > 0) {
        h->comm.assign(comm, static_cast<size_t>(n));
        h->comm_fd = fd;
        ++g_kept.open;
        h->view.name_read = true;
        h->view.name = h->comm.substr(0, h->comm.size() - (h->comm.back() == '\n' ? 1 : 0));
    } else if (fd >= 0) {
        close(fd);
    }
    h->process = read_process(pid);
    h->view.argv_read = read_cmdline(pid, &h->view.argv);
    h->view.argv_errno = h->view.argv_read ? 0 : errno;
}

// Entry e at path, from a quick look at what was kept for it: the same holder costs nothing
// more; anything else is probed and read afresh.
const HolderView* settle(Kept* k, const std::string& path, const Quick& q, EntryStatus* e) {
    if (!g_kept.budget_set) {
        g_kept.budget = descriptor_budget();
        g_kept.budget_set = true;
    }
    k->pass = g_kept.pass;
    if (q.held) {
        e->probe = LockProbe();
        e->probe.lock = LOCK_HELD;
        e->probe.holder = q.holder;
    } else {
        close_kept(&k->file.fd);
        // The holder's name needs a descriptor too: without room for both, nothing is kept and
        // the holder is read afresh, as by any other reader.
        bool room = g_kept.open + 2 <= g_kept.budget;
        e->probe = probe_pid_file_keeping(path, true, room ? &k->file : nullptr);
        if (k->file.fd >= 0) ++g_kept.open;
    }
    e->state = entry_state(e->enabled, e->probe.lock);
    if (k->file.fd < 0 || e->probe.lock != LOCK_HELD) {
        drop(k, path);
        return nullptr;
    }
    if (!k->watched) k->watched = watch_kept(k->file, path);
    if (!(q.held ? q.same : same_holder(k->holder, e->probe.holder)))
        learn_holder(&k->holder, e->probe.holder);
    e->process = k->holder.process;
    return &k->holder.view;
}

// Entries below this many are looked at on one thread: a thread costs more than it saves.
const size_t kSplitAt = 256;

// Entries a thread takes at a time: a helper thread that is not run soon leaves the rest to
// the first, which then waits for at most one share.
const size_t kShare = 32;

struct Looks {
    const std::vector<Kept*>* slots;
    const std::vector<std::string>* paths;
    std::vector<Quick>* quick;
    std::atomic<size_t> next{0};
};

void* take_shares(void* arg) {
    Looks* l = static_cast<Looks*>(arg);
    size_t n = l->slots->size();
    for (size_t from = l->next.fetch_add(kShare); from < n; from = l->next.fetch_add(kShare)) {
        for (size_t i = from; i < std::min(n, from + kShare); ++i)
            quick_look(*(*l->slots)[i], (*l->paths)[i], &(*l->quick)[i]);
    }
    return nullptr;
}

// More than one processor to run on.
bool may_split() {
    cpu_set_t cpus;
    return sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 1;
}

// The quick looks, shared with a helper thread when there are many (each is a few system calls
// on its own entry's descriptors: nothing shared is written but the share counter).
void look_all(const std::vector<Kept*>& slots, const std::vector<std::string>& paths,
              std::vector<Quick>* quick) {
    Looks looks;
    looks.slots = &slots;
    looks.paths = &paths;
    looks.quick = quick;
    pthread_t helper;
    bool split = slots.size() >= kSplitAt && may_split() &&
                 pthread_create(&helper, nullptr, take_shares, &looks) == 0;
    take_shares(&looks);
    if (split) (void)pthread_join(helper, nullptr);
}

}  // namespace

const HolderView* probe_kept(const std::string& path, EntryStatus* e) {
    read_changes();
    Kept* k = &g_kept.by_path[path];
    Quick q;
    quick_look(*k, path, &q);
    return settle(k, path, q, e);
}

void probe_all_kept(const std::vector<std::string>& paths, std::vector<EntryStatus>* entries,
                    std::vector<const HolderView*>* holders) {
    read_changes();
    std::vector<Kept*> slots(paths.size());
    std::transform(paths.begin(), paths.end(), slots.begin(),
                   [](const std::string& path) { return &g_kept.by_path[path]; });
    std::vector<Quick> quick(paths.size());
    look_all(slots, paths, &quick);
    holders->resize(paths.size());
    for (size_t i = 0; i < paths.size(); ++i)
        (*holders)[i] = settle(slots[i], paths[i], quick[i], &(*entries)[i]);
}

void kept_pass_done() {
    for (auto it = g_kept.by_path.begin(); it != g_kept.by_path.end();) {
        if (it->second.pass == g_kept.pass) {
            ++it;
            continue;
        }
        drop(&it->second, it->first);
        it = g_kept.by_path.erase(it);
    }
    ++g_kept.pass;
}
