// The monitor's state file, judged as the liveness probe judges it (without its pauses): is its
// last recorded request fresh?
#ifndef VEMO_MONITOR_LIVENESS_H
#define VEMO_MONITOR_LIVENESS_H

#include <string>

struct MonitorState {
    std::string path;
    bool read = false;
    std::string error;
    bool has_request = false;
    long last_request_at = 0;
    long age_seconds = 0;
    bool fresh = false;
};

// Reads path in the same 127-byte pieces the liveness probe reads it in; now is epoch seconds.
MonitorState judge_monitor_state(const std::string& path, double now);

#endif
