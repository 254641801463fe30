// --log: the program's lines as escaped text, split to a record's size, and their records sent to
// /dev/log without ever waiting for the log.
#include "output.h"

#include "clock.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// A new connection to a log that is not there is tried at most this often.
constexpr double kReconnectSeconds = 1.0;

// Own records the log did not take yet, each after its length as a uint16_t. They go before any
// more of the program's lines, which are dropped while one waits here.
struct Pending {
    size_t len = 0;
    char bytes[4096]{};
};
Pending g_pending;

// How often own records waiting are tried again; how long they may hold up the wrapper's exit.
constexpr int kOwnRetryMs = 50;
constexpr double kLastRecordsSeconds = 0.5;

void emit_line(LineState* line, EmitText emit, void* ctx) {
    if (line->len > 0) emit(ctx, line->text, line->len);
    line->len = 0;
}

// Appends one unit (a character, a whole UTF-8 sequence or one escape), which never straddles
// two records: a unit that does not fit ends the record.
void put(LineState* line, const char* unit, size_t n, EmitText emit, void* ctx) {
    if (line->len + n > kMaxLogText) emit_line(line, emit, ctx);
    memcpy(line->text + line->len, unit, n);
    line->len += n;
}

void put_escaped(LineState* line, unsigned char c, EmitText emit, void* ctx) {
    static const char kHex[] = "0123456789abcdef";
    if (c == '\\') {
        put(line, "\\\\", 2, emit, ctx);
        return;
    }
    const char unit[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
    put(line, unit, sizeof unit, emit, ctx);
}

// An unfinished UTF-8 sequence cut short is not UTF-8: its bytes are escaped.
void escape_partial(LineState* line, EmitText emit, void* ctx) {
    for (size_t i = 0; i < line->partial_len; ++i)
        put_escaped(line, line->partial[i], emit, ctx);
    line->partial_len = 0;
    line->partial_need = 0;
}

// The length of the UTF-8 sequence lead byte C begins; 0 when C begins none.
size_t sequence_length(unsigned char c) {
    if (c >= 0xc2 && c <= 0xdf) return 2;
    if (c >= 0xe0 && c <= 0xef) return 3;
    if (c >= 0xf0 && c <= 0xf4) return 4;
    return 0;
}

// Whether C may follow the bytes of LINE's unfinished sequence: a continuation byte, with the
// second byte's range narrowed against overlong forms, surrogates and code points past U+10FFFF.
bool continues(const LineState& line, unsigned char c) {
    if ((c & 0xc0) != 0x80) return false;
    if (line.partial_len != 1) return true;
    switch (line.partial[0]) {
        case 0xe0:
            return c >= 0xa0;
        case 0xed:
            return c <= 0x9f;
        case 0xf0:
            return c >= 0x90;
        case 0xf4:
            return c <= 0x8f;
        default:
            return true;
    }
}

void feed_byte(LineState* line, unsigned char c, EmitText emit, void* ctx) {
    if (line->partial_need > 0) {
        if (continues(*line, c)) {
            line->partial[line->partial_len++] = c;
            if (line->partial_len == line->partial_need) {
                put(line, reinterpret_cast<const char*>(line->partial), line->partial_len, emit,
                    ctx);
                line->partial_len = 0;
                line->partial_need = 0;
            }
            return;
        }
        escape_partial(line, emit, ctx);
    }
    size_t need = sequence_length(c);
    if (c == '\n') {
        emit_line(line, emit, ctx);
    } else if (need > 0) {
        line->partial[0] = c;
        line->partial_len = 1;
        line->partial_need = need;
    } else if (c < 0x20 || c >= 0x7f || c == '\\') {
        put_escaped(line, c, emit, ctx);
    } else {
        const char unit = static_cast<char>(c);
        put(line, &unit, 1, emit, ctx);
    }
}

bool connect_log(LogSink* sink) {
    double now = monotonic_now();
    if (now < sink->retry_at) return false;
    sink->retry_at = now + kReconnectSeconds;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", "/dev/log");
    if (connect(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) != 0) {
        (void)close(fd);
        return false;
    }
    sink->fd = fd;
    return true;
}

// True when the log took the record. Never waits: a full log is a record not taken.
bool deliver(LogSink* sink, const char* record, size_t len) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (sink->fd < 0 && !connect_log(sink)) return false;
        if (send(sink->fd, record, len, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return true;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return false;
        // The log went away, or was restarted: one new connection, then the record is dropped.
        (void)close(sink->fd);
        sink->fd = -1;
        sink->retry_at = 0;
    }
    return false;
}

void count_drop(LogSink* sink) {
    sink->dropped += 1;
    sink->unreported += 1;
    if (sink->state != nullptr) sink->state->dropped_lines = sink->dropped;
}

// Sends the own records waiting, in order; true when none is left.
bool flush_own(LogSink* sink) {
    Pending& p = g_pending;
    if (p.len == 0) return true;  // nothing written: its page stays untouched
    size_t off = 0;
    while (off < p.len) {
        uint16_t size = 0;
        memcpy(&size, p.bytes + off, sizeof size);
        if (!deliver(sink, p.bytes + off + sizeof size, size)) break;
        off += sizeof size + size;
    }
    memmove(p.bytes, p.bytes + off, p.len - off);
    p.len -= off;
    return p.len == 0;
}

}  // namespace

// A printf-style list, so the compiler checks each format against its arguments.
void own_log(int priority, const char* fmt, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list ap;
    va_start(ap, fmt);
    LogSink* sink = own_records_sink();
    if (sink == nullptr) {
        vsyslog(priority, fmt, ap);
        va_end(ap);
        return;
    }
    // Formatted in place after the header, which an empty text leaves in RECORD.
    char record[kMaxLogText + 256];
    int r = format_record(record, sizeof record, priority, time(nullptr), "vemo-lockrun", getpid(),
                          "", 0);
    if (r >= 0) {
        size_t room = kMaxLogText;
        int n = vsnprintf(record + r, room, fmt, ap);
        r = n < 0 ? -1 : r + static_cast<int>(static_cast<size_t>(n) < room ? n : room - 1);
    }
    va_end(ap);
    if (r < 0) return;
    if (flush_own(sink) && deliver(sink, record, static_cast<size_t>(r))) return;
    Pending& p = g_pending;
    uint16_t size = static_cast<uint16_t>(r);
    if (p.len + sizeof size + size > sizeof p.bytes) {
        count_drop(sink);
        return;
    }
    memcpy(p.bytes + p.len, &size, sizeof size);
    memcpy(p.bytes + p.len + sizeof size, record, size);
    p.len += sizeof size + size;
}

int retry_ms(const LogSink& sink) {
    if (g_pending.len > 0) return kOwnRetryMs;
    return sink.unreported > 0 ? 1000 : -1;
}

void finish_own_records(LogSink* sink) {
    double until = monotonic_now() + kLastRecordsSeconds;
    while (!flush_own(sink) && sink->fd >= 0) {
        double left = until - monotonic_now();
        if (left <= 0) break;
        struct pollfd fd = {sink->fd, POLLOUT, 0};
        if (poll(&fd, 1, static_cast<int>(left * 1000) + 1) < 0 && errno != EINTR) break;
    }
}

void report_drops(LogSink* sink) {
    double now = monotonic_now();
    if (!flush_own(sink) || sink->unreported == 0 || now < sink->report_at) return;
    char text[256];
    int n = snprintf(text, sizeof text, "%lu lines of %s dropped: the system log did not take them",
                     sink->unreported, sink->name);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    char record[512];
    int r = format_record(record, sizeof record, LOG_WARNING, time(nullptr), "vemo-lockrun",
                          getpid(), text, len);
    if (r < 0 || !deliver(sink, record, static_cast<size_t>(r))) return;
    sink->unreported = 0;
    sink->report_at = now + kDropReportSeconds;
    sink->state_due = sink->state != nullptr;
}

void publish_drops(LogSink* sink) {
    if (!sink->state_due) return;
    sink->state_due = false;
    write_state(sink->state_path, *sink->state);
}

void feed_output(LineState* line, const char* data, size_t n, EmitText emit, void* ctx) {
    for (size_t i = 0; i < n; ++i)
        feed_byte(line, static_cast<unsigned char>(data[i]), emit, ctx);
}

void flush_output(LineState* line, EmitText emit, void* ctx) {
    escape_partial(line, emit, ctx);
    emit_line(line, emit, ctx);
}

int format_record(char* out, size_t out_size, int priority, time_t when, const char* name,
                  pid_t pid, const char* text, size_t len) {
    static const char kMonths[][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm tm;
    if (localtime_r(&when, &tm) == nullptr) memset(&tm, 0, sizeof tm);
    int n = snprintf(out, out_size, "<%d>%s %2d %02d:%02d:%02d %s[%d]: ", LOG_USER | priority,
                     kMonths[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, name,
                     static_cast<int>(pid));
    if (n < 0 || static_cast<size_t>(n) + len > out_size) return -1;
    memcpy(out + n, text, len);
    return n + static_cast<int>(len);
}

void send_line(LogSink* sink, int priority, const char* text, size_t len) {
    report_drops(sink);
    char record[kMaxLogText + 256];
    int n = format_record(record, sizeof record, priority, time(nullptr), sink->name, sink->pid,
                          text, len);
    if (n >= 0 && g_pending.len == 0 && deliver(sink, record, static_cast<size_t>(n))) return;
    count_drop(sink);
}
