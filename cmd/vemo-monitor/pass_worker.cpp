// The worker's side of a pass: it reads the request, collects the status and renders the texts
// asked for.
#include "passes.h"

#include "fileio.h"
#include "page.h"
#include "text.h"

#include <malloc.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

bool known_filter(const std::string& filter) {
    static const EntryState kStates[] = {
        STATE_RUNNING, STATE_DOWN, STATE_STOPPING, STATE_STOPPED, STATE_LOCKED_HOLDER_UNKNOWN,
        STATE_ERROR};
    return std::any_of(std::begin(kStates), std::end(kStates),
                       [&](EntryState s) { return filter == state_name(s); });
}

// The texts a pass was asked for, from the status it found.
std::vector<std::string> render_asked(const HostStatus& status, unsigned char kinds,
                                      const std::vector<std::string>& filters, bool same_metrics) {
    std::vector<std::string> texts;
    if ((kinds & KIND_METRICS) != 0)
        texts.push_back(same_metrics ? std::string() : render_prometheus(status));
    if ((kinds & KIND_STATUS) != 0) texts.push_back(render_json(status));
    std::transform(
        filters.begin(), filters.end(), std::back_inserter(texts),
        [&](const std::string& f) { return render_page(status, known_filter(f) ? f : ""); });
    return texts;
}

// The request: the kinds, the number of page filters, then each filter as its length and bytes.
bool read_pass_request(int fd, unsigned char* kinds, std::vector<std::string>* filters) {
    unsigned char head[2];
    if (!read_all(fd, head, 2)) return false;
    *kinds = head[0];
    for (unsigned i = 0; i < head[1]; ++i) {
        unsigned char len = 0;
        if (!read_all(fd, &len, 1)) return false;
        std::string filter(len, '\0');
        if (len != 0 && !read_all(fd, &filter[0], len)) return false;
        if (filters->size() < kMaxPages) filters->push_back(filter);
    }
    return true;
}

// What the worker's last Prometheus text was rendered from, once the server has that text. Only
// this text can be reused: the JSON and the page give ages, which change with the clock.
struct LastMetrics {
    bool sent = false;
    HostStatus status;
};

LastMetrics& last_metrics() {
    static LastMetrics last;
    return last;
}

}  // namespace

int serve_pass(int fd, const StatusSource& source) {
    unsigned char kinds = 0;
    std::vector<std::string> filters;
    if (!read_pass_request(fd, &kinds, &filters)) return errno == 0 ? 0 : -1;
    HostStatus status;
    // A list that cannot be read still leaves a status: the watchdog, the monitor, and why.
    bool ok = collect_status(source, &status) || !status.list_error.empty();
    ReplyHeader header = {ok ? 1U : 0U, 0, 0, 0};
    std::vector<std::string> texts;
    if (!ok) texts.push_back(errno_text(errno));
    if (ok && status.watchdog.lock == LOCK_HELD && !watchdog_taken_as_running(status))
        header.rejected_holder = static_cast<int32_t>(status.watchdog.holder);
    bool metrics = ok && (kinds & KIND_METRICS) != 0;
    LastMetrics& last = last_metrics();
    if (metrics && last.sent && same_prometheus_facts(status, last.status)) header.same = 1;
    if (ok) texts = render_asked(status, kinds, filters, header.same != 0);
    header.count = static_cast<uint32_t>(texts.size());
    std::vector<uint64_t> lengths;
    lengths.reserve(texts.size());
    std::transform(texts.begin(), texts.end(), std::back_inserter(lengths),
                   [](const std::string& t) { return static_cast<uint64_t>(t.size()); });
    bool sent = write_all(fd, &header, sizeof header) &&
                write_all(fd, lengths.data(), lengths.size() * sizeof(uint64_t)) &&
                std::all_of(texts.begin(), texts.end(), [fd](const std::string& t) {
                    return write_all(fd, t.data(), t.size());
                });
    if (metrics) {
        last.sent = sent;
        last.status = std::move(status);
    }
    // A pass over a long list leaves a heap of small freed pieces: give them back, or an idle
    // worker keeps the memory of its largest pass.
    status = HostStatus();
    std::vector<std::string>().swap(texts);
    (void)malloc_trim(0);
    return sent ? 1 : -1;
}
