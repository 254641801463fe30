#include "http.h"

#include "passes.h"
#include "text.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Bytes handed to the HTTP thread at a time when it sends a status text.
const size_t kStreamBlock = 64 * 1024UL;
const char* const kText = "text/plain; charset=utf-8";

std::atomic<unsigned long long> g_requests{0};

std::string own_metrics(unsigned long long requests, time_t started) {
    return "# HELP vemo_monitor_requests_total HTTP requests this monitor answered since it "
           "started, this one included.\n"
           "# TYPE vemo_monitor_requests_total counter\n"
           "vemo_monitor_requests_total " +
           std::to_string(requests) +
           "\n# HELP vemo_monitor_start_time_seconds When this monitor started, in seconds since "
           "the epoch.\n"
           "# TYPE vemo_monitor_start_time_seconds gauge\n"
           "vemo_monitor_start_time_seconds " +
           std::to_string(static_cast<long long>(started)) + "\n";
}

struct MHD_Response* text_response(const std::string& body) {
    return MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                           MHD_RESPMEM_MUST_COPY);
}

// A status text shared by every request of its pass, plus this request's own lines: served
// from where it lies, without a copy per client.
struct Stream {
    std::shared_ptr<const std::string> body;
    std::string tail;
};

ssize_t read_stream(void* cls, uint64_t pos, char* buf, size_t max) {
    const auto* s = static_cast<const Stream*>(cls);
    size_t done = 0;
    while (done < max) {
        size_t at = static_cast<size_t>(pos) + done;
        const std::string& part = at < s->body->size() ? *s->body : s->tail;
        size_t offset = at < s->body->size() ? at : at - s->body->size();
        if (offset >= part.size()) break;
        done += part.copy(buf + done, max - done, offset);
    }
    if (done == 0) return MHD_CONTENT_READER_END_OF_STREAM;
    return static_cast<ssize_t>(done);
}

void free_stream(void* cls) {
    delete static_cast<Stream*>(cls);
}

// Queues the response with the headers every answer carries, and gives the response up.
enum MHD_Result queue_response(struct MHD_Connection* connection, unsigned code,
                               struct MHD_Response* response, const char* type) {
    if (response == nullptr) return MHD_NO;
    (void)MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    (void)MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (code == MHD_HTTP_METHOD_NOT_ALLOWED)
        (void)MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    enum MHD_Result rc = MHD_queue_response(connection, code, response);
    MHD_destroy_response(response);
    return rc;
}

// The answer to a status request whose pass is done.
enum MHD_Result send_answer(struct MHD_Connection* connection, const Request& p,
                            unsigned long long count) {
    if (p.code != MHD_HTTP_OK || p.want == WANT_HEALTH)
        return queue_response(connection, p.code, text_response(*p.body), kText);
    auto* stream = new Stream{p.body, ""};
    if (p.want == WANT_METRICS) stream->tail = own_metrics(count, monitor_started_at());
    struct MHD_Response* response = MHD_create_response_from_callback(
        stream->body->size() + stream->tail.size(), kStreamBlock, read_stream, stream, free_stream);
    if (response == nullptr) {
        delete stream;
        return MHD_NO;
    }
    return queue_response(
        connection, MHD_HTTP_OK, response,
        p.want == WANT_METRICS ? "text/plain; version=0.0.4; charset=utf-8" : "application/json");
}

// Takes a GET or HEAD at its first call: what it asks for, by its path.
Request* take_request(const char* url) {
    auto* p = new Request;
    if (strcmp(url, "/metrics") == 0) p->want = WANT_METRICS;
    if (strcmp(url, "/status") == 0) p->want = WANT_STATUS;
    if (strcmp(url, "/healthz") == 0) p->want = WANT_HEALTH;
    return p;
}

// The answer to a request wholly in (p is nullptr for a method other than GET or HEAD).
enum MHD_Result respond(struct MHD_Connection* connection, const Request* p,
                        unsigned long long count) {
    if (p == nullptr)
        return queue_response(connection, MHD_HTTP_METHOD_NOT_ALLOWED,
                              text_response("only GET and HEAD\n"), kText);
    if (p->answered) return send_answer(connection, *p, count);
    if (p->want != 0)
        return queue_response(connection, MHD_HTTP_SERVICE_UNAVAILABLE, text_response("stopping\n"),
                              kText);
    return queue_response(connection, MHD_HTTP_NOT_FOUND,
                          text_response("not found: try /metrics, /status, /healthz\n"), kText);
}

// A GET or HEAD is taken at the first call and answered once the request is wholly in, so the
// connection can be kept alive; a status request waits suspended for its pass. Any other
// method is answered at once (its body is never read).
enum MHD_Result answer(void* cls, struct MHD_Connection* connection, const char* url,
                       const char* method, const char* version, const char* upload_data,
                       size_t* upload_data_size, void** con_cls) {
    (void)cls;
    (void)version;
    (void)upload_data;
    bool get_or_head =
        strcmp(method, MHD_HTTP_METHOD_GET) == 0 || strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (get_or_head && *con_cls == nullptr) {
        *con_cls = take_request(url);
        return MHD_YES;
    }
    // A body sent with a GET is read and dropped.
    if (get_or_head && *upload_data_size != 0) {
        *upload_data_size = 0;
        return MHD_YES;
    }
    auto* p = static_cast<Request*>(*con_cls);
    if (get_or_head && p->want != 0 && !p->queued && queue_for_pass(p, connection)) return MHD_YES;
    unsigned long long count = ++g_requests;
    enum MHD_Result rc = respond(connection, get_or_head ? p : nullptr, count);
    record_request(count);
    return rc;
}

void request_done(void* cls, struct MHD_Connection* connection, void** con_cls,
                  enum MHD_RequestTerminationCode code) {
    (void)cls;
    (void)connection;
    (void)code;
    delete static_cast<Request*>(*con_cls);
    *con_cls = nullptr;
}

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

struct MHD_Daemon* start_http(const MonitorConfig& config, int listen_fd) {
    std::vector<struct MHD_OptionItem> options = {
        {MHD_OPTION_LISTEN_SOCKET, listen_fd, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, config.connection_limit, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, config.timeout_seconds, nullptr},
        // The whole request header must fit here: it caps header size and count together.
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(config.request_memory), nullptr},
    };
    if (config.per_ip_limit > 0)
        options.push_back({MHD_OPTION_PER_IP_CONNECTION_LIMIT, config.per_ip_limit, nullptr});
    options.push_back({MHD_OPTION_END, 0, nullptr});
    // One thread polls every connection; nothing in it waits for a status pass.
    return MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr,
        nullptr, &answer, nullptr, MHD_OPTION_NOTIFY_COMPLETED, &request_done, nullptr,
        MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
}
