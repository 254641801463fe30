#include "kept_probe.h"

#include "hoststatus.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

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
};

struct KeptProbes {
    std::unordered_map<std::string, Kept> by_path;
    unsigned long pass = 1;
    size_t open = 0;       // descriptors kept
    size_t budget = 0;     // at most this many
    bool budget_set = false;
};

KeptProbes g_kept;

size_t descriptor_budget() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
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

void drop(Kept* k) {
    close_kept(&k->file.fd);
    drop_holder(&k->holder);
}

// The kept descriptor still names the file at path, and a named process holds its lock.
bool still_held(const Kept& k, const std::string& path, LockProbe* p) {
    struct stat st;
    if (k.file.fd < 0 || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_dev != k.file.dev || st.st_ino != k.file.ino)
        return false;
    LockState lock = LOCK_FREE;
    pid_t holder = 0;
    if (!query_lock(k.file.fd, &lock, &holder) || lock != LOCK_HELD) return false;
    *p = LockProbe();
    p->lock = LOCK_HELD;
    p->holder = holder;
    return true;
}

bool read_comm(int fd, std::string* comm) {
    char buf[64];
    ssize_t n;
    do {
        n = pread(fd, buf, sizeof buf, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    comm->assign(buf, static_cast<size_t>(n));
    return true;
}

// The same process as last time, running the same program.
bool same_holder(const Holder& h, pid_t pid) {
    std::string comm;
    return h.pid == pid && h.comm_fd >= 0 && read_comm(h.comm_fd, &comm) && comm == h.comm;
}

// Reads the holder afresh: its name first, so what follows is of the process that name is kept
// for.
void learn_holder(Holder* h, pid_t pid) {
    drop_holder(h);
    h->pid = pid;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && read_comm(fd, &h->comm)) {
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

}  // namespace

const HolderView* probe_kept(const std::string& path, EntryStatus* e) {
    if (!g_kept.budget_set) {
        g_kept.budget = descriptor_budget();
        g_kept.budget_set = true;
    }
    Kept& k = g_kept.by_path[path];
    k.pass = g_kept.pass;
    if (!still_held(k, path, &e->probe)) {
        close_kept(&k.file.fd);
        // The holder's name needs a descriptor too; without room for both, today's reads.
        bool room = g_kept.open + 2 <= g_kept.budget;
        e->probe = probe_pid_file_keeping(path, true, room ? &k.file : nullptr);
        if (k.file.fd >= 0) ++g_kept.open;
    }
    e->state = entry_state(e->enabled, e->probe.lock);
    if (k.file.fd < 0 || e->probe.lock != LOCK_HELD) {
        drop(&k);
        return nullptr;
    }
    if (!same_holder(k.holder, e->probe.holder)) learn_holder(&k.holder, e->probe.holder);
    e->process = k.holder.process;
    return &k.holder.view;
}

void kept_pass_done() {
    for (auto it = g_kept.by_path.begin(); it != g_kept.by_path.end();) {
        if (it->second.pass == g_kept.pass) {
            ++it;
            continue;
        }
        drop(&it->second);
        it = g_kept.by_path.erase(it);
    }
    ++g_kept.pass;
}
