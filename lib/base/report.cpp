#include "report.h"

#include "text.h"

#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace {

const char* g_prog = nullptr;
bool g_syslog = true;
std::string g_context;
void (*g_log)(int priority, const char* fmt, ...) = syslog;

void emit(int priority, const std::string& text) {
    if (g_prog != nullptr) fprintf(stderr, "%s: %s\n", g_prog, text.c_str());
    if (g_syslog) g_log(priority, "%s%s", text.c_str(), g_context.c_str());
}

std::string format_text(const char* fmt, va_list ap) {
    char text[kReportMax];
    (void)vsnprintf(text, sizeof text, fmt, ap);
    return text;
}

}  // namespace

void report_to(const char* prog, bool to_syslog) {
    g_prog = prog;
    g_syslog = to_syslog;
}

void report_log_with(void (*log)(int priority, const char* fmt, ...)) {
    g_log = log;
}

void report_log_context(const std::string& context) {
    g_context = context;
}

// A printf-style list, so the compiler checks each format against its arguments.
void log_warn(int priority, const char* fmt, ...) {  // NOLINT(cert-dcl50-cpp)
    int err = errno;
    va_list ap;
    va_start(ap, fmt);
    std::string text = format_text(fmt, ap);
    va_end(ap);
    emit(priority, text + ": " + errno_text(err));
    errno = err;
}

void log_warnx(int priority, const char* fmt, ...) {  // NOLINT(cert-dcl50-cpp)
    int err = errno;
    va_list ap;
    va_start(ap, fmt);
    std::string text = format_text(fmt, ap);
    va_end(ap);
    emit(priority, text);
    errno = err;
}

void log_vwarnx(int priority, const char* fmt, va_list ap) {
    int err = errno;
    emit(priority, format_text(fmt, ap));
    errno = err;
}
