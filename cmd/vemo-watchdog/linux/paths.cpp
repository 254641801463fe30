#include "paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

Installation locate_installation(const char* argv0, const char* cwd) {
    Installation inst;
    inst.wdg_fullname = argv0[0] == '/' ? std::string(argv0) : std::string(cwd) + "/" + argv0;
    size_t sep = inst.wdg_fullname.find_last_of("/\\");
    if (sep == std::string::npos) {
        inst.bin_dir = "";
        inst.watchdog_prog = inst.wdg_fullname;
    } else {
        inst.bin_dir = inst.wdg_fullname.substr(0, sep);
        inst.watchdog_prog = inst.wdg_fullname.substr(sep + 1);
    }
    inst.root_dir = inst.bin_dir + "/..";
    inst.watching_list_config_file = inst.root_dir + "/etc/watching-list.conf";
    return inst;
}

std::string BaseDir(const std::string& file) {
    size_t sep = file.find_last_of("/\\");
    return sep == std::string::npos ? file : file.substr(0, sep);
}

int exec_ok(const char* filename) {
    struct stat st;
    if (stat(filename, &st) != 0) {
        errno = ENOENT;
        return 0;
    }
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return 0;
    }
    if ((st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0) return 1;
    errno = EACCES;
    return 0;
}

namespace {

// The PATH search's bounds, kept from the daemon's first lookup: a candidate longer than
// kMaxCandidate is skipped, elements past kMaxDirs are never tried.
constexpr size_t kMaxCandidate = 8192;
constexpr size_t kMaxDirs = 4095;

bool lookup_named(const char* filename, const char* cwd, std::string* out) {
    std::string target = filename;
    // Relative to another process's directory: joined as the kernel would resolve it there.
    if (cwd != nullptr && filename[0] != '/') target = std::string(cwd) + "/" + filename;
    if (exec_ok(target.c_str()) == 0) return false;
    char resolved[PATH_MAX];
    if (realpath(target.c_str(), resolved) == nullptr) return false;
    *out = resolved;
    return true;
}

}  // namespace

bool exec_lookup(const char* filename, const char* path_env, const char* cwd, std::string* out) {
    if (filename == nullptr) {
        errno = ENOENT;
        return false;
    }
    if (filename[0] == '.' || filename[0] == '/') return lookup_named(filename, cwd, out);
    if (path_env == nullptr) {
        errno = ENOENT;
        return false;
    }

    bool tested = false;
    int err = ENOENT;
    size_t name_len = strlen(filename);
    size_t ndirs = 0;
    // Empty elements are skipped: an empty one never means the current directory.
    for (const char* p = path_env; *p != '\0' && ndirs < kMaxDirs;) {
        const char* colon = strchr(p, ':');
        size_t len = colon == nullptr ? strlen(p) : static_cast<size_t>(colon - p);
        if (len > 0) {
            ++ndirs;
            if (len + name_len + 2 <= kMaxCandidate) {
                std::string candidate(p, len);
                candidate += '/';
                candidate += filename;
                // A relative PATH element is relative to the looking process's directory.
                std::string probe = cwd != nullptr && candidate[0] != '/'
                                        ? std::string(cwd) + "/" + candidate
                                        : candidate;
                tested = true;
                if (exec_ok(probe.c_str()) != 0) {
                    *out = candidate;
                    return true;
                }
                err = errno;
            }
        }
        if (colon == nullptr) break;
        p = colon + 1;
    }
    errno = tested ? err : ENOENT;
    return false;
}

char* exec_abspath(const char* filename) {
    static char abspath[kMaxCandidate];
    std::string found;
    if (!exec_lookup(filename, getenv("PATH"), nullptr, &found)) return nullptr;
    // Both kinds of result fit: realpath's at most PATH_MAX, a PATH candidate was bounded above.
    memcpy(abspath, found.c_str(), found.size() + 1);
    return abspath;
}
