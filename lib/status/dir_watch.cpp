#include "dir_watch.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

// A directory's own renaming and deletion, and every entry made, removed or renamed in it;
// IN_Q_OVERFLOW, IN_IGNORED and IN_UNMOUNT come unasked. No event that happens to an entry
// itself (IN_ATTRIB among them): asking for one makes the kernel mark every entry of the
// directory, each time a watch is added or removed.
const uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                       IN_MOVE_SELF | IN_ONLYDIR;

struct Watched {
    int wd = -1;
    size_t users = 0;
};

// One name looked up while resolving a path: the directory, and the path it gave.
struct Lookup {
    std::string dir;
    std::string named;
    bool operator==(const Lookup& o) const { return dir == o.dir && named == o.named; }
};
using Lookups = std::vector<Lookup>;

struct Watches {
    bool tried = false;
    int fd = -1;         // the inotify instance
    int mounts_fd = -1;  // /proc/self/mountinfo: POLLPRI once the mount table changed
    std::unordered_map<std::string, Watched> dirs;
    std::unordered_map<int, std::vector<std::string>> by_wd;  // one inode may have several paths
    std::unordered_map<std::string, Lookups> by_path;         // what each watched path looked up
    std::unordered_map<std::string, std::vector<std::string>> held_dirs;  // and watches
};

Watches g_watch;

bool started() {
    if (g_watch.tried) return g_watch.fd >= 0;
    g_watch.tried = true;
    g_watch.mounts_fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    g_watch.fd = g_watch.mounts_fd >= 0 ? inotify_init1(IN_NONBLOCK | IN_CLOEXEC) : -1;
    if (g_watch.fd < 0 && g_watch.mounts_fd >= 0) {
        close(g_watch.mounts_fd);
        g_watch.mounts_fd = -1;
    }
    return g_watch.fd >= 0;
}

// File systems whose every change passes through this kernel, so inotify reports it.
bool local_file_system(const char* path) {
    struct statfs fs;
    if (statfs(path, &fs) != 0) return false;
    switch (fs.f_type) {
        case TMPFS_MAGIC:
        case EXT4_SUPER_MAGIC:  // ext2 and ext3 too
        case XFS_SUPER_MAGIC:
        case BTRFS_SUPER_MAGIC:
        case F2FS_SUPER_MAGIC:
            return true;
        default:
            return false;
    }
}

std::string joined(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

std::string parent_of(const std::string& dir) {
    size_t slash = dir.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
}

void push_front_parts(const std::string& path, std::deque<std::string>* parts) {
    std::deque<std::string> mine;
    for (size_t from = 0; from <= path.size();) {
        size_t slash = path.find('/', from);
        if (slash == std::string::npos) slash = path.size();
        if (slash > from) mine.push_back(path.substr(from, slash - from));
        from = slash + 1;
    }
    parts->insert(parts->begin(), mine.begin(), mine.end());
}

// Every name the kernel looks up to resolve an absolute path, symbolic links followed as it
// follows them; false when it cannot be resolved.
bool lookups_of(const std::string& path, Lookups* out) {
    std::deque<std::string> parts;
    push_front_parts(path, &parts);
    std::string at = "/";  // resolved so far: no symbolic link in it
    for (int links = 0; !parts.empty();) {
        std::string part = parts.front();
        parts.pop_front();
        if (part == ".") continue;
        if (part == "..") {
            at = parent_of(at);
            continue;
        }
        std::string next = joined(at, part);
        out->push_back({at, next});
        struct stat st;
        if (lstat(next.c_str(), &st) != 0) return false;
        if (!S_ISLNK(st.st_mode)) {
            at = next;
            continue;
        }
        char target[PATH_MAX];
        ssize_t n = readlink(next.c_str(), target, sizeof target);
        if (++links > 40 || n <= 0 || static_cast<size_t>(n) >= sizeof target) return false;
        push_front_parts(std::string(target, static_cast<size_t>(n)), &parts);
        if (target[0] == '/') at = "/";
    }
    return true;
}

void release(const std::string& dir) {
    auto it = g_watch.dirs.find(dir);
    if (it == g_watch.dirs.end() || --it->second.users != 0) return;
    int wd = it->second.wd;
    g_watch.dirs.erase(it);
    std::vector<std::string>& paths = g_watch.by_wd[wd];
    for (size_t i = 0; i < paths.size(); ++i) {
        if (paths[i] == dir) {
            paths.erase(paths.begin() + static_cast<long>(i));
            break;
        }
    }
    if (!paths.empty()) return;
    g_watch.by_wd.erase(wd);
    (void)inotify_rm_watch(g_watch.fd, wd);
}

bool hold(const std::string& dir) {
    auto it = g_watch.dirs.find(dir);
    if (it == g_watch.dirs.end()) {
        if (!local_file_system(dir.c_str())) return false;
        int wd = inotify_add_watch(g_watch.fd, dir.c_str(), kMask);
        if (wd < 0) return false;
        it = g_watch.dirs.emplace(dir, Watched{wd, 0}).first;
        g_watch.by_wd[wd].push_back(dir);
    }
    ++it->second.users;
    return true;
}

// One event: what it may have changed, and a watch the kernel removed forgotten.
void take_event(const struct inotify_event* ev, DirChanges* out) {
    if ((ev->mask & IN_Q_OVERFLOW) != 0) out->all = true;
    auto it = g_watch.by_wd.find(ev->wd);
    if (it == g_watch.by_wd.end()) return;
    for (const std::string& dir : it->second) {
        if (ev->len != 0 && ev->name[0] != '\0') {
            out->names.insert(joined(dir, ev->name));
        } else {
            out->dirs.insert(dir);
        }
    }
    if ((ev->mask & IN_IGNORED) == 0) return;
    for (const std::string& dir : it->second)
        g_watch.dirs.erase(dir);
    g_watch.by_wd.erase(it);
}

}  // namespace

bool dir_watch_add(const std::string& path) {
    if (path.empty() || path[0] != '/' || !started() || !local_file_system(path.c_str()))
        return false;
    Lookups lookups;
    if (!lookups_of(path, &lookups)) return false;
    std::vector<std::string> held;
    bool ok = true;
    for (const Lookup& l : lookups) {
        if (std::find(held.begin(), held.end(), l.dir) != held.end()) continue;
        if (!(ok = hold(l.dir))) break;
        held.push_back(l.dir);
    }
    // Resolved again with the watches in place: a change in between would go unreported.
    Lookups again;
    if (ok && lookups_of(path, &again) && again == lookups) {
        g_watch.by_path[path] = std::move(lookups);
        g_watch.held_dirs[path] = std::move(held);
        return true;
    }
    for (const std::string& d : held)
        release(d);
    return false;
}

void dir_watch_remove(const std::string& path) {
    auto it = g_watch.held_dirs.find(path);
    if (it == g_watch.held_dirs.end()) return;
    for (const std::string& dir : it->second)
        release(dir);
    g_watch.held_dirs.erase(it);
    g_watch.by_path.erase(path);
}

void dir_watch_changes(DirChanges* out) {
    if (g_watch.fd < 0) return;
    struct pollfd mounts = {g_watch.mounts_fd, POLLPRI, 0};
    if (poll(&mounts, 1, 0) != 0) out->all = true;
    alignas(struct inotify_event) char buf[8192];
    for (;;) {
        ssize_t n = read(g_watch.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        if (n <= 0) {
            out->all = true;
            return;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* ev = reinterpret_cast<const struct inotify_event*>(buf + at);
            take_event(ev, out);
            at += static_cast<ssize_t>(sizeof *ev + ev->len);
        }
    }
}

bool dir_changed(const DirChanges& c, const std::string& path) {
    if (c.all) return true;
    auto it = g_watch.by_path.find(path);
    if (it == g_watch.by_path.end()) return true;
    return std::any_of(it->second.begin(), it->second.end(), [&c](const Lookup& l) {
        return c.dirs.count(l.dir) != 0 || c.names.count(l.named) != 0;
    });
}
