// The status page: list text escaped, rows needing attention first, the state filter, its size.
#include <gtest/gtest.h>

#include "page.h"

namespace {

EntryStatus entry(int line, EntryState state, const std::string& program,
                  std::vector<std::string> args = {}) {
    EntryStatus e;
    e.line = line;
    e.state = state;
    e.program = program;
    e.pid_file = "/run/x/" + std::to_string(line) + ".pid";
    e.args = std::move(args);
    e.resolved = true;
    return e;
}

HostStatus host(int extra_running) {
    HostStatus s;
    s.monitor = entry(0, STATE_RUNNING, "/opt/bin/vemo-monitor");
    s.list_read = true;
    s.entries = {entry(1, STATE_RUNNING, "/x/<img src=x onerror=alert(1)>", {"<script>", "a'b\"&"}),
                 entry(2, STATE_STOPPED, "/bin/sleep"), entry(3, STATE_DOWN, "bar"),
                 entry(4, STATE_ERROR, "baz")};
    for (int i = 0; i < extra_running; ++i)
        s.entries.push_back(entry(5 + i, STATE_RUNNING, "/usr/sbin/daemon", {"--foreground"}));
    return s;
}

struct PageRow {
    const char* name;
    std::string filter;
    std::vector<std::string> in_order;  // each found after the one before
    std::vector<std::string> absent;
};

const PageRow kPageRows[] = {
    {"list_text_is_escaped",
     "",
     {"&lt;img src=x onerror=alert(1)&gt;", "&lt;script&gt; a&#39;b&quot;&amp;"},
     {"<img", "<script"}},
    {"attention_first",
     "",
     {"<tr class=\"down\"", "<tr class=\"error\"", "<tr class=\"running\"", "0 (monitor)",
      "<tr class=\"running\"", "<tr class=\"stopped\""},
     {}},
    {"filter_keeps_one_state",
     "down",
     {"down (1)", "<tr class=\"down\""},
     {"<tr class=\"running\""}},
    {"unknown_filter_shown_escaped", "<b>", {"No line is &lt;b&gt;."}, {"<tr class", "<b>"}},
};

void PrintTo(const PageRow& row, std::ostream* os) {
    *os << row.name;
}

class Page : public testing::TestWithParam<PageRow> {};

TEST_P(Page, Renders) {
    std::string html = render_page(host(0), GetParam().filter);
    size_t at = 0;
    for (const std::string& want : GetParam().in_order) {
        at = html.find(want, at);
        ASSERT_NE(at, std::string::npos) << want << " in order in\n" << html;
        ++at;
    }
    for (const std::string& not_there : GetParam().absent)
        EXPECT_EQ(html.find(not_there), std::string::npos) << not_there << " in\n" << html;
}

INSTANTIATE_TEST_SUITE_P(Rows, Page, testing::ValuesIn(kPageRows),
                         [](const testing::TestParamInfo<PageRow>& i) { return i.param.name; });

TEST(Page, SmallAtTenEntries) {
    EXPECT_LT(render_page(host(6), "").size(), 20000u);
}

}  // namespace
