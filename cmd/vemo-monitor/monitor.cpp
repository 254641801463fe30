// The configuration file, the account and the state file of vemo-monitor.
#include "monitor.h"

#include "text.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace {

std::string trim(const std::string& s) {
    size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    size_t last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

// A decimal number in [low, high], nothing else.
bool parse_number(const std::string& text, unsigned low, unsigned high, unsigned* out) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long value = strtoul(text.c_str(), nullptr, 10);
    if (value < low || value > high) return false;
    *out = static_cast<unsigned>(value);
    return true;
}

struct NumberKey {
    const char* name;
    unsigned MonitorConfig::*field;
    unsigned low;
    unsigned high;
};

const NumberKey kNumberKeys[] = {
    {"workers", &MonitorConfig::workers, 1, 16},
    {"connection_limit", &MonitorConfig::connection_limit, 1, 10000},
    {"per_ip_limit", &MonitorConfig::per_ip_limit, 0, 10000},
    {"timeout", &MonitorConfig::timeout_seconds, 1, 3600},
    {"request_memory", &MonitorConfig::request_memory, 4096, 1048576},
    {"pass_timeout", &MonitorConfig::pass_timeout_seconds, 1, 3600},
    {"max_age_ms", &MonitorConfig::max_age_ms, 0, 60000},
};

// Host names as a Host header carries them, lower case: a name, an IPv4 address or an IPv6
// one in brackets, separated by commas or blanks.
bool parse_hosts(const std::string& value, std::vector<std::string>* out) {
    std::vector<std::string> names;
    size_t at = 0;
    while ((at = value.find_first_not_of(", \t", at)) != std::string::npos) {
        size_t end = std::min(value.find_first_of(", \t", at), value.size());
        std::string name = value.substr(at, end - at);
        if (name.size() > 255 ||
            name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-[]:") !=
                std::string::npos)
            return false;
        names.push_back(name);
        at = end;
    }
    out->swap(names);
    return true;
}

// A user name as adduser accepts it: no path, no option, nothing the shell would read.
bool plain_user_name(const std::string& name) {
    if (name.empty() || name.size() > 32 || name[0] == '-') return false;
    return name.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-") ==
           std::string::npos;
}

// Applies one key=value line to *config; the error text when it is invalid.
std::string apply_line(const std::string& line, MonitorConfig* config) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) return "expected key=value";
    std::string key = trim(line.substr(0, eq));
    std::string value = trim(line.substr(eq + 1));
    if (key == "listen") {
        if (!parse_listen(value, &config->listen_address, &config->port))
            return "listen wants ADDRESS:PORT (an IPv6 address in brackets), not '" + value + "'";
        return "";
    }
    if (key == "hosts") {
        if (!parse_hosts(value, &config->hosts))
            return "hosts wants lower-case host names, not '" + value + "'";
        return "";
    }
    if (key == "user") {
        if (!plain_user_name(value)) return "user wants a user name, not '" + value + "'";
        config->user = value;
        return "";
    }
    for (const NumberKey& k : kNumberKeys) {
        if (key != k.name) continue;
        if (!parse_number(value, k.low, k.high, &(config->*k.field))) {
            std::string error = key;
            error += " wants a whole number from " + std::to_string(k.low);
            error += " to " + std::to_string(k.high);
            error += ", not '" + value;
            return error + "'";
        }
        return "";
    }
    return "unknown key '" + key + "'";
}

}  // namespace

bool parse_listen(const std::string& value, std::string* address, unsigned* port) {
    size_t colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string host = value.substr(0, colon);
    unsigned number = 0;
    if (!parse_number(value.substr(colon + 1), 1, 65535, &number)) return false;
    unsigned char buf[sizeof(struct in6_addr)];
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        host = host.substr(1, host.size() - 2);
        if (inet_pton(AF_INET6, host.c_str(), buf) != 1) return false;
    } else if (inet_pton(AF_INET, host.c_str(), buf) != 1) {
        return false;
    }
    *address = host;
    *port = number;
    return true;
}

bool read_monitor_config(FILE* f, MonitorConfig* out, std::vector<ConfigError>* errors) {
    MonitorConfig config = *out;
    std::string line;
    unsigned number = 0;
    bool done = false;
    while (!done) {
        int c = fgetc(f);
        if (c == EOF) {
            if (ferror(f) != 0) {
                errors->push_back({number + 1, "read failure: " + errno_text(errno)});
                return false;
            }
            if (line.empty()) break;
            done = true;
        } else if (c != '\n') {
            // A runaway line is an error, not a reason to read the whole file into memory.
            if (line.size() < 4096) line.push_back(static_cast<char>(c));
            continue;
        }
        ++number;
        std::string text = trim(line);
        line.clear();
        if (text.empty() || text[0] == '#') continue;
        if (text.find('\0') != std::string::npos) {
            errors->push_back({number, "NUL byte in the line"});
            continue;
        }
        std::string error = apply_line(text, &config);
        if (!error.empty()) errors->push_back({number, error});
    }
    if (!errors->empty()) return false;
    *out = config;
    return true;
}

std::string state_text(const StateRecord& state) {
    char text[kStateTextSize + 1];
    // The probe reads the first 126 characters of the key's line: the key and its number come
    // first.
    int len = snprintf(text, sizeof text,
                       "{\"last-request-at\": %lld,\n \"requests-served\": %llu,\n"
                       " \"started-at\": %lld,\n \"pid\": %d}",
                       static_cast<long long>(state.last_request_at), state.requests,
                       static_cast<long long>(state.started_at), static_cast<int>(state.pid));
    std::string out(text, len > 0 ? static_cast<size_t>(len) : 0);
    // Always the same length: a rewrite in place then covers every byte of the one before.
    out.resize(kStateTextSize - 1, ' ');
    out.push_back('\n');
    return out;
}

bool write_state_file(int fd, const StateRecord& state) {
    std::string text = state_text(state);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    int rc;
    do {
        rc = ftruncate(fd, static_cast<off_t>(text.size()));
    } while (rc < 0 && errno == EINTR);
    return rc == 0;
}

// The configured user, else vemo-monitor, else nobody; false when none can be used.
bool find_account(const std::string& configured, Account* out) {
    const char* const kDefaultUser = "vemo-monitor";
    const char* const kFallbackUser = "nobody";
    const char* names[] = {configured.c_str(), kDefaultUser, kFallbackUser};
    for (const char* name : names) {
        if (name[0] == '\0') continue;
        struct passwd entry;
        struct passwd* pw = nullptr;
        char buf[4096];
        if (getpwnam_r(name, &entry, buf, sizeof buf, &pw) == 0 && pw != nullptr &&
            pw->pw_uid != 0) {
            out->name = name;
            out->uid = pw->pw_uid;
            out->gid = pw->pw_gid;
            return true;
        }
        // A configured user was checked with the file; only the defaults fall through.
        if (name == configured.c_str()) break;
    }
    return false;
}

// The file's settings, or the defaults whole when it has any error; every error is logged.
MonitorConfig load_monitor_config(const std::string& path) {
    MonitorConfig config;
    FILE* f = fopen(path.c_str(), "re");
    if (f == nullptr) {
        if (errno != ENOENT)
            syslog(LOG_ERR, "%s: error: %s; running with the defaults", path.c_str(),
                   errno_text(errno).c_str());
        return config;
    }
    std::vector<ConfigError> errors;
    bool ok = read_monitor_config(f, &config, &errors);
    fclose(f);
    Account account;
    if (ok && !config.user.empty() && !find_account(config.user, &account)) {
        errors.push_back({0, "user '" + config.user + "' does not exist or is root"});
        ok = false;
    }
    if (ok) return config;
    for (const ConfigError& e : errors) {
        if (e.line == 0)
            syslog(LOG_ERR, "%s: error: %s", path.c_str(), e.text.c_str());
        else
            syslog(LOG_ERR, "%s:%u: error: %s", path.c_str(), e.line, e.text.c_str());
    }
    syslog(LOG_ERR, "%s: ignored, running with the defaults", path.c_str());
    return MonitorConfig();
}

// ---------------------------------------------------------------- the server's state file

namespace {

// Written from the HTTP thread; the lock keeps the record and the file in step.
std::mutex g_state_mutex;
StateRecord g_state;
const char* g_state_path = "";
int g_state_fd = -1;
bool g_state_failing = false;

// Writes the file under the lock; reports the first failure of a run of them.
void save_state_locked() {
    if (write_state_file(g_state_fd, g_state)) {
        g_state_failing = false;
        return;
    }
    if (!g_state_failing)
        syslog(LOG_ERR, "%s: write failure (%s)", g_state_path, errno_text(errno).c_str());
    g_state_failing = true;
}

// Opened read-write, never through a symbolic link, and only a regular file.
int open_state_file(const char* path) {
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

}  // namespace

bool start_state_file(const char* path) {
    g_state_path = path;
    g_state.pid = getpid();
    g_state.started_at = time(nullptr);
    g_state.last_request_at = g_state.started_at;
    g_state_fd = open_state_file(path);
    return g_state_fd >= 0 && write_state_file(g_state_fd, g_state);
}

void record_request(unsigned long long count) {
    std::lock_guard<std::mutex> hold(g_state_mutex);
    g_state.last_request_at = time(nullptr);
    if (count > g_state.requests) g_state.requests = count;
    save_state_locked();
}

time_t monitor_started_at() {
    return g_state.started_at;
}
