// The status page: list text escaped, the state filter, its size (the order: e2e.page_in_chromium).
#include <gtest/gtest.h>

#include "page.h"

namespace {

HostStatus host(size_t lines) {
    HostStatus s;
    s.entries.resize(lines);
    for (EntryStatus& e : s.entries) {
        e.state = STATE_RUNNING;
        e.program = "/usr/sbin/a-daemon-with-a-name";
        e.args = {"--foreground", "--config=/etc/a-daemon/a-daemon.conf"};
    }
    s.entries[0].program = "/x/<img src=x onerror=alert(1)>";
    s.entries[0].args = {"<script>", "a'b\"&"};
    s.entries[0].cmdline = CMDLINE_CHANGED;
    return s;
}

// name, state filter, text wanted, text absent
const char* const kPageRows[][4] = {
    {"program_escaped", "", "&lt;img src=x onerror=alert(1)&gt;", "<img"},
    {"arguments_escaped", "", "&lt;script&gt; a&#39;b&quot;&amp;", "<script"},
    {"changed_line_marked", "", "<span class=\"st changed\">changed</span>", "<img"},
    {"filter_leaves_out_other_states", "stopped", "No line is stopped.", "<tr class"},
    {"unknown_filter_escaped", "<b>", "No line is &lt;b&gt;.", "<b>"},
};

TEST(Page, Rows) {
    for (const auto& row : kPageRows) {
        std::string html = render_page(host(1), row[1]);
        EXPECT_NE(html.find(row[2]), std::string::npos) << row[0] << "\n" << html;
        EXPECT_EQ(html.find(row[3]), std::string::npos) << row[0] << "\n" << html;
    }
}

TEST(Page, SmallAtTenLines) {
    EXPECT_LT(render_page(host(10), "").size(), 20000u);
}

}  // namespace
