// HTTP/1.1 of our own, as small as the monitor needs: GET and HEAD, read strictly, answered with
// a length (never chunked), kept alive. No library: the one Debian ships maps TLS libraries that
// cost more memory than the whole rest of the monitor (see the README, "Performance").
#ifndef VEMO_MONITOR_HTTP_H
#define VEMO_MONITOR_HTTP_H

#include "monitor.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

// The listening socket for the configured address; -1 with *why on failure.
int open_listen_socket(const MonitorConfig& config, std::string* why);

// The configured address as a URL shows it: an IPv6 one in brackets.
std::string url_host(const MonitorConfig& config);

enum ParseResult {
    PARSE_MORE,    // not yet a whole request
    PARSE_DONE,    // *out is a whole request
    PARSE_REJECT,  // answer out->error, then close
    PARSE_DROP,    // close without an answer: not HTTP at all
    PARSE_IGNORE,  // binary from its first byte (a TLS hello): read nothing more, let it time out
};

struct HttpRequest {
    std::string method;
    std::string path;
    std::string query;  // after '?', without it
    std::string host;   // lower case, without its port; "" when absent
    bool has_host = false;
    bool http11 = false;
    bool keep_alive = false;
    bool gzip = false;    // the client takes gzip
    size_t consumed = 0;  // bytes of this request, its body included
    unsigned error = 0;   // with PARSE_REJECT
};

// Reads one request from the start of data. limit caps the header (request line included);
// max_headers caps their count. A body (Content-Length only) must fit within limit too.
ParseResult parse_request(const char* data, size_t size, size_t limit, unsigned max_headers,
                          HttpRequest* out);

// Whether host (as parsed) may be answered: the listen address, or one of the configured names.
bool host_allowed(const MonitorConfig& config, const std::string& host);

// The reason phrase of a status code the monitor sends.
const char* reason_phrase(unsigned code);

// The status line and headers of an answer: length is the body's (sent or not, for HEAD).
std::string response_head(unsigned code, const char* type, size_t length, bool gzip,
                          bool keep_alive, const char* extra);

// A text compressed once and shared, to which each answer may append a short tail of its own:
// the deflate stream is flushed to a byte boundary and left open, so a tail closes it as one
// stored block, with the gzip trailer computed from both parts.
struct GzipBody {
    std::string open_stream;  // gzip header and the flushed deflate stream of text
    uint32_t crc = 0;
    size_t length = 0;  // of text
};

// false when zlib fails (then the answer goes uncompressed).
bool gzip_open(const std::string& text, GzipBody* out);

// The bytes that end body, with tail appended to what it decompresses to.
std::string gzip_close(const GzipBody& body, const std::string& tail);

#endif
