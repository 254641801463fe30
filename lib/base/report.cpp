#include "report.h"

#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const char* g_prog = nullptr;
bool g_syslog = true;

void emit(int priority, const char* text) {
    if (g_prog != nullptr) fprintf(stderr, "%s: %s\n", g_prog, text);
    if (g_syslog) syslog(priority, "%s", text);
}

}  // namespace

void report_to(const char* prog, bool to_syslog) {
    g_prog = prog;
    g_syslog = to_syslog;
}

// A printf-style list, so the compiler checks each format against its arguments.
void log_warn(int priority, const char* fmt, ...) {  // NOLINT(cert-dcl50-cpp)
    int err = errno;
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    (void)vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    char buf[128];
    char line[1200];
    snprintf(line, sizeof line, "%s: %s", text, strerror_r(err, buf, sizeof buf));
    emit(priority, line);
    errno = err;
}

void log_warnx(int priority, const char* fmt, ...) {  // NOLINT(cert-dcl50-cpp)
    int err = errno;
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    (void)vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    emit(priority, text);
    errno = err;
}
