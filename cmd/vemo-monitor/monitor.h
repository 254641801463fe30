// vemo-monitor's plain parts: its configuration file, the account it runs as, and its state
// file, shared with the tests.
#ifndef VEMO_MONITOR_H
#define VEMO_MONITOR_H

#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// Everything has a default, so the monitor runs with no configuration file at all.
struct MonitorConfig {
    std::string listen_address = "127.0.0.1";
    unsigned port = 9717;
    std::string user;      // empty: vemo-monitor, else nobody
    unsigned workers = 2;  // status workers, each running one pass at a time
    unsigned connection_limit = 512;
    unsigned per_ip_limit = 0;      // 0: none (every local client shares 127.0.0.1)
    unsigned timeout_seconds = 10;  // for a whole request, from its connection or the answer before
    unsigned request_memory = 16384;
    unsigned pass_timeout_seconds = 25;  // a pass running longer has its worker killed
    unsigned max_age_ms = 1000;          // how old a pass may be to answer a request
    // The Host names answered besides the listen address: a page elsewhere reaching us through a
    // name of its own (DNS rebinding) is refused.
    std::vector<std::string> hosts = {"localhost", "127.0.0.1", "[::1]"};
};

struct ConfigError {
    unsigned line;
    std::string text;
};

// Reads key=value lines; on any error *out is left untouched (the defaults stay whole) and
// every error is in *errors. A missing file is no error: returns false with errno ENOENT.
bool read_monitor_config(FILE* f, MonitorConfig* out, std::vector<ConfigError>* errors);

// Parses ADDRESS:PORT (an IPv6 address in brackets) into a socket address; false when invalid.
bool parse_listen(const std::string& value, std::string* address, unsigned* port);

// Reads the configuration file at path: its settings, or the defaults whole when it has any
// error (a user= that does not exist or is root included), each error logged through syslog as
// FILE:LINE: error: text. No file at all is no error.
MonitorConfig load_monitor_config(const std::string& path);

// The user to become.
struct Account {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The configured user (when not empty), else vemo-monitor, else nobody; never root. false when
// none can be used.
bool find_account(const std::string& configured, Account* out);

// What the state file says; the liveness probe reads only last-request-at.
struct StateRecord {
    time_t last_request_at = 0;
    unsigned long long requests = 0;
    time_t started_at = 0;
    pid_t pid = 0;
};

// The state file's whole text: JSON whose first line carries last-request-at, padded with
// blanks to a fixed size.
const size_t kStateTextSize = 160;
std::string state_text(const StateRecord& state);

// Rewrites the file through fd in place: the whole text at offset 0, then truncated to its
// length, so a reader never sees it empty; the size never changes, so nothing of an older text
// is left behind it. false with errno on failure.
bool write_state_file(int fd, const StateRecord& state);

// Opens the state file at path and writes the first record, the start counting as the first
// sign of life. Done before the drop, so the file may be writable by root alone: the server goes
// on writing it through this descriptor. false with errno on failure.
bool start_state_file(const char* path);

// Records request number count (counted from the start) as served now and rewrites the state
// file; only the first failure of a run of them is logged.
void record_request(unsigned long long count);

// When the server started, as start_state_file recorded it.
time_t monitor_started_at();

#endif
