#include "http.h"

#include "text.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// The characters of a method or header name (RFC 9110 "tchar").
bool is_tchar(unsigned char c) {
    return isalnum(c) != 0 || (c < 0x80 && strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != 0);
}

bool all_tchar(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return is_tchar(static_cast<unsigned char>(c));
    });
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return s;
}

std::string trim_ows(const std::string& s) {
    size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

ParseResult reject(HttpRequest* out, unsigned code) {
    out->error = code;
    return PARSE_REJECT;
}

// Where the header ends (after its empty line) and where the request line ends; npos while
// either is not in yet. Every line must end in CR LF, and no NUL may appear.
struct HeaderScan {
    size_t end = std::string::npos;
    size_t line_end = std::string::npos;
    unsigned error = 0;
};

HeaderScan scan_header(const char* data, size_t from, size_t size, unsigned max_headers) {
    HeaderScan scan;
    size_t line_start = from;
    unsigned lines = 0;
    for (size_t i = from; i < size && scan.end == std::string::npos && scan.error == 0; ++i) {
        char c = data[i];
        bool bare_cr = c == '\r' && i + 1 < size && data[i + 1] != '\n';
        if (c == '\0' || bare_cr || (c == '\n' && (i == from || data[i - 1] != '\r'))) {
            scan.error = 400;
        } else if (c == '\n' && scan.line_end == std::string::npos) {
            scan.line_end = i - 1;
            line_start = i + 1;
        } else if (c == '\n' && i - 1 == line_start) {
            scan.end = i + 1;
        } else if (c == '\n') {
            if (++lines > max_headers) scan.error = 431;
            line_start = i + 1;
        }
    }
    return scan;
}

// METHOD SP TARGET SP HTTP/x.y; a line without any space is no HTTP.
ParseResult parse_request_line(const std::string& line, HttpRequest* out) {
    size_t sp1 = line.find(' ');
    if (sp1 == std::string::npos) return PARSE_DROP;
    size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos)
        return reject(out, 400);
    out->method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string version = line.substr(sp2 + 1);
    bool visible = std::all_of(target.begin(), target.end(), [](char c) {
        return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7f;
    });
    if (!all_tchar(out->method) || target.empty() || target[0] != '/' || !visible)
        return reject(out, 400);
    size_t q = target.find('?');
    out->path = target.substr(0, q);
    if (q != std::string::npos) out->query = target.substr(q + 1);
    if (version == "HTTP/1.1" || version == "HTTP/1.0") {
        out->http11 = version == "HTTP/1.1";
        return PARSE_DONE;
    }
    bool numbered = version.size() == 8 && version.compare(0, 5, "HTTP/") == 0 &&
                    isdigit(static_cast<unsigned char>(version[5])) != 0 && version[6] == '.' &&
                    isdigit(static_cast<unsigned char>(version[7])) != 0;
    return reject(out, numbered ? 505 : 400);
}

// The comma-separated tokens of a header value, each without its parameters, in lower case;
// a token whose q is 0 is left out.
bool has_token(const std::string& value, const char* token) {
    size_t at = 0;
    while (at <= value.size()) {
        size_t comma = std::min(value.find(',', at), value.size());
        std::string item = lower(trim_ows(value.substr(at, comma - at)));
        size_t semi = item.find(';');
        std::string params = semi == std::string::npos ? "" : item.substr(semi);
        params.erase(std::remove(params.begin(), params.end(), ' '), params.end());
        bool refused = params.find("q=0") != std::string::npos &&
                       params.find_first_of("123456789") == std::string::npos;
        if (trim_ows(item.substr(0, semi)) == token && !refused) return true;
        at = comma + 1;
    }
    return false;
}

// What the framing headers said, to judge together at the end.
struct Framing {
    bool length_seen = false;
    unsigned long long length = 0;
    bool transfer_encoding = false;
    bool close = false;
    bool keep_alive = false;
};

// The host without its port, in lower case.
std::string host_name(const std::string& value) {
    std::string host = lower(value);
    size_t colon = host.rfind(':');
    bool port = colon != std::string::npos && colon + 1 < host.size() &&
                host.find_first_not_of("0123456789", colon + 1) == std::string::npos &&
                (host[0] != '[' || host[colon - 1] == ']');
    return port ? host.substr(0, colon) : host;
}

// One "name: value" line; the status of a rejection, else 0.
unsigned take_header(const std::string& line, HttpRequest* out, Framing* f) {
    size_t colon = line.find(':');
    if (colon == std::string::npos || !all_tchar(line.substr(0, colon))) return 400;
    std::string name = lower(line.substr(0, colon));
    std::string value = trim_ows(line.substr(colon + 1));
    if (std::any_of(value.begin(), value.end(), [](char c) {
            return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
        }))
        return 400;
    if (name == "host") {
        if (out->has_host) return 400;
        out->has_host = true;
        out->host = host_name(value);
    } else if (name == "content-length") {
        if (value.empty() || value.size() > 15 ||
            value.find_first_not_of("0123456789") != std::string::npos)
            return 400;
        unsigned long long n = strtoull(value.c_str(), nullptr, 10);
        if (f->length_seen && n != f->length) return 400;
        f->length_seen = true;
        f->length = n;
    } else if (name == "transfer-encoding") {
        f->transfer_encoding = true;
    } else if (name == "connection") {
        f->close = f->close || has_token(value, "close");
        f->keep_alive = f->keep_alive || has_token(value, "keep-alive");
    } else if (name == "accept-encoding") {
        out->gzip = out->gzip || has_token(value, "gzip");
    }
    return 0;
}

}  // namespace

ParseResult parse_request(const char* data, size_t size, size_t limit, unsigned max_headers,
                          HttpRequest* out) {
    *out = HttpRequest();
    size_t pos = 0;
    // Empty lines before a request are allowed; a first byte no request begins with is binary.
    while (pos + 1 < size && data[pos] == '\r' && data[pos + 1] == '\n')
        pos += 2;
    if (pos >= size) return size > limit ? reject(out, 400) : PARSE_MORE;
    auto first = static_cast<unsigned char>(data[pos]);
    if ((first < 0x20 && first != '\r') || first == 0x7f) return PARSE_IGNORE;
    HeaderScan scan = scan_header(data, pos, std::min(size, limit), max_headers);
    if (scan.error != 0) return reject(out, scan.error);
    if (scan.end == std::string::npos) {
        if (size < limit) return PARSE_MORE;
        return reject(out, scan.line_end == std::string::npos ? 414 : 431);
    }
    ParseResult rc = parse_request_line(std::string(data + pos, scan.line_end - pos), out);
    if (rc != PARSE_DONE) return rc;
    Framing f;
    size_t at = scan.line_end + 2;
    while (at + 2 < scan.end) {
        size_t eol = static_cast<size_t>(
            static_cast<const char*>(memchr(data + at, '\r', scan.end - at)) - data);
        unsigned code = take_header(std::string(data + at, eol - at), out, &f);
        if (code != 0) return reject(out, code);
        at = eol + 2;
    }
    // Ambiguous framing is how requests get smuggled past a proxy: refused, never guessed.
    if (f.transfer_encoding) return reject(out, f.length_seen ? 400 : 501);
    if (out->http11 && !out->has_host) return reject(out, 400);
    if (f.length > limit || scan.end + f.length > limit) return reject(out, 413);
    if (size < scan.end + f.length) return PARSE_MORE;
    out->consumed = scan.end + static_cast<size_t>(f.length);
    out->keep_alive = out->http11 ? !f.close : f.keep_alive;
    return PARSE_DONE;
}

bool host_allowed(const MonitorConfig& config, const std::string& host) {
    if (host == lower(url_host(config))) return true;
    return std::find(config.hosts.begin(), config.hosts.end(), host) != config.hosts.end();
}

const char* reason_phrase(unsigned code) {
    switch (code) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 413:
            return "Content Too Large";
        case 414:
            return "URI Too Long";
        case 421:
            return "Misdirected Request";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Error";
    }
}

std::string response_head(unsigned code, const char* type, size_t length, bool gzip,
                          bool keep_alive, const char* extra) {
    // The date changes once a second: formatted then, not per answer.
    static time_t last = 0;
    static char date[64] = "";
    time_t now = time(nullptr);
    if (now != last) {
        struct tm tm = {};
        (void)gmtime_r(&now, &tm);
        (void)strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &tm);
        last = now;
    }
    std::string head = "HTTP/1.1 " + std::to_string(code) + " " + reason_phrase(code);
    head += "\r\nDate: ";
    head += date;
    head += "\r\nContent-Type: ";
    head += type;
    head += "\r\nContent-Length: " + std::to_string(length);
    head += "\r\nCache-Control: no-store\r\nVary: Accept-Encoding\r\n";
    if (gzip) head += "Content-Encoding: gzip\r\n";
    if (!keep_alive) head += "Connection: close\r\n";
    head += extra;
    head += "\r\n";
    return head;
}

bool gzip_open(const std::string& text, GzipBody* out) {
    z_stream z = {};
    // Raw deflate: the gzip header and trailer are ours, so a tail can be added per answer.
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    out->open_stream.assign("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
    out->open_stream.resize(10 + deflateBound(&z, text.size()) + 16);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(&out->open_stream[10]);
    z.avail_out = static_cast<uInt>(out->open_stream.size() - 10);
    int rc = deflate(&z, Z_SYNC_FLUSH);
    out->open_stream.resize(out->open_stream.size() - z.avail_out);
    (void)deflateEnd(&z);
    if (rc != Z_OK || z.avail_in != 0) return false;
    out->open_stream.shrink_to_fit();
    out->crc = static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
    out->length = text.size();
    return true;
}

std::string gzip_close(const GzipBody& body, const std::string& tail) {
    std::string out;
    size_t at = 0;
    // Stored blocks: a byte of header (the last one final), the length and its complement.
    do {
        size_t n = std::min<size_t>(tail.size() - at, 65535);
        bool last = at + n == tail.size();
        out.push_back(last ? '\x01' : '\x00');
        out.push_back(static_cast<char>(n & 0xff));
        out.push_back(static_cast<char>(n >> 8));
        out.push_back(static_cast<char>(~n & 0xff));
        out.push_back(static_cast<char>((~n >> 8) & 0xff));
        out.append(tail, at, n);
        at += n;
    } while (at < tail.size());
    uLong crc = crc32_combine(
        body.crc,
        crc32(0L, reinterpret_cast<const Bytef*>(tail.data()), static_cast<uInt>(tail.size())),
        static_cast<z_off_t>(tail.size()));
    auto size = static_cast<uint32_t>(body.length + tail.size());
    for (uint32_t word : {static_cast<uint32_t>(crc), size})
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<char>((word >> shift) & 0xff));
    return out;
}

namespace {

// parse_listen took only valid addresses: an IPv6 one is the one with a colon.
bool is_v6(const MonitorConfig& config) {
    return config.listen_address.find(':') != std::string::npos;
}

// Fills *addr with the configured address and port; returns its size.
socklen_t listen_address(const MonitorConfig& config, struct sockaddr_storage* addr) {
    if (is_v6(config)) {
        auto* a = reinterpret_cast<struct sockaddr_in6*>(addr);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(config.port));
        (void)inet_pton(AF_INET6, config.listen_address.c_str(), &a->sin6_addr);
        return sizeof *a;
    }
    auto* a = reinterpret_cast<struct sockaddr_in*>(addr);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(config.port));
    (void)inet_pton(AF_INET, config.listen_address.c_str(), &a->sin_addr);
    return sizeof *a;
}

// -1 with *why "CALL: errno text", the socket closed.
int fail_socket(int fd, const char* call, std::string* why) {
    *why = std::string(call) + ": " + errno_text(errno);
    close(fd);
    return -1;
}

}  // namespace

std::string url_host(const MonitorConfig& config) {
    return is_v6(config) ? "[" + config.listen_address + "]" : config.listen_address;
}

// Bound before the drop, so the port may be a privileged one when started as root.
int open_listen_socket(const MonitorConfig& config, std::string* why) {
    struct sockaddr_storage addr = {};
    socklen_t len = listen_address(config, &addr);
    bool v6 = is_v6(config);
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *why = "socket: " + errno_text(errno);
        return -1;
    }
    int on = 1;
    // A monitor started again right after a kill must not wait for the old connections to age.
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        (v6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0))
        return fail_socket(fd, "setsockopt", why);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) != 0)
        return fail_socket(fd, "bind", why);
    if (listen(fd, 511) != 0) return fail_socket(fd, "listen", why);
    return fd;
}
