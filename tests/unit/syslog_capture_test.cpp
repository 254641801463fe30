// <syslog.h> stays out: under fortification it defines syslog inline, clashing with these.
#include <cstdarg>
#include <cstdio>

#include "test_support.h"

std::vector<LogRecord>& captured_syslog() {
    static std::vector<LogRecord> records;
    return records;
}

std::string& captured_syslog_ident() {
    static std::string ident;
    return ident;
}

namespace {

void capture(int priority, const char* format, va_list ap) {
    char text[2048];
    vsnprintf(text, sizeof text, format, ap);
    captured_syslog().push_back({priority, text});
}

}  // namespace

extern "C" {

void openlog(const char* ident, int, int) {
    captured_syslog_ident() = ident != nullptr ? ident : "";
}

void vsyslog(int priority, const char* format, va_list ap) {
    capture(priority, format, ap);
}

void __vsyslog_chk(int priority, int, const char* format, va_list ap) {
    capture(priority, format, ap);
}

void syslog(int priority, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    capture(priority, format, ap);
    va_end(ap);
}

void __syslog_chk(int priority, int, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    capture(priority, format, ap);
    va_end(ap);
}
}
