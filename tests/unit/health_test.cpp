// One test per row, so ctest runs the ~9 s failing verdicts in parallel.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <chrono>
#include <ctime>

#include "test_support.h"
#include "vemo-watchdog.h"

namespace {

enum Logged { NOTHING, DEAD, OPEN_FAILURE };

struct HealthRow {
    const char* name;
    std::string (*state)(long now);  // nullptr: no state file at all
    bool alive;
    Logged logged;
    long dead_time;  // DEAD rows: the time the file carries, as an offset from now
};

std::string stamp(long t) {
    return "{\"last-request-at\":" + std::to_string(t) + "}\n";
}

const HealthRow kRows[] = {
    {"fresh", [](long now) { return stamp(now - 10); }, true, NOTHING, 0},
    {"age_3599_alive", [](long now) { return stamp(now - 3599); }, true, NOTHING, 0},
    {"age_3600_dead", [](long now) { return stamp(now - 3600); }, false, DEAD, -3600},
    {"future_alive", [](long now) { return stamp(now + 100000); }, true, NOTHING, 0},
    {"beyond_long_saturates_alive",
     [](long) { return "{\"last-request-at\":" + std::string(30, '9') + "}\n"; }, true, NOTHING, 0},
    {"number_before_key_ignored",
     [](long now) { return "{\"count\":5,\"last-request-at\":" + std::to_string(now) + "}\n"; },
     true, NOTHING, 0},
    {"number_after_time_ignored",
     [](long now) { return "{\"last-request-at\":" + std::to_string(now) + ",\"n\":7}\n"; }, true,
     NOTHING, 0},
    {"key_on_later_line_found", [](long now) { return "{\"state\":1}\n" + stamp(now); }, true,
     NOTHING, 0},
    {"key_without_digits", [](long) { return std::string("{\"last-request-at\":\"never\"}\n"); },
     false, NOTHING, 0},
    {"no_key", [](long) { return std::string("{\"state\":\"idle\"}\n"); }, false, NOTHING, 0},
    {"empty_file", [](long) { return std::string(); }, false, NOTHING, 0},
    {"unquoted_key", [](long now) { return "{last-request-at:" + std::to_string(now) + "}\n"; },
     false, NOTHING, 0},
    // The file is read in 126-character pieces; a key cut by a piece boundary is never seen.
    {"key_cut_by_piece_boundary",
     [](long now) { return "{\"pad\":\"" + std::string(105, 'x') + "\"," + stamp(now).substr(1); },
     false, NOTHING, 0},
    {"missing_file", nullptr, false, OPEN_FAILURE, 0},
};

class HealthTest : public ::testing::TestWithParam<HealthRow> {};

TEST_P(HealthTest, Verdict) {
    const HealthRow& row = GetParam();
    TempDir root;
    std::string dir = root.path();
    for (const char* part : {"/var", "/run", "/vemo_monitor"})
        mkdir((dir += part).c_str(), 0755);
    std::string path = dir + "/state.log";
    captured_syslog().clear();

    // Starting right after a tick leaves the boundary rows a whole second before the clock moves.
    long start = static_cast<long>(time(nullptr));
    while (static_cast<long>(time(nullptr)) == start)
        usleep(1000);
    start = static_cast<long>(time(nullptr));
    if (row.state != nullptr) write_file(path, row.state(start));

    auto t0 = std::chrono::steady_clock::now();
    bool alive = VemoMonitorHelthCheck(root.path());
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    long end = static_cast<long>(time(nullptr));

    EXPECT_EQ(alive, row.alive);
    if (row.alive) {
        EXPECT_LT(elapsed, 1.0);
    } else {
        EXPECT_GT(elapsed, 8.5);  // three attempts, three seconds apart
        EXPECT_LT(elapsed, 11.0);
    }

    std::vector<LogRecord>& log = captured_syslog();
    if (row.logged == NOTHING) {
        EXPECT_TRUE(log.empty()) << log.size() << " records, first: " << log[0];
        return;
    }
    ASSERT_EQ(log.size(), 3u);
    for (const LogRecord& rec : log) {
        EXPECT_EQ(rec.priority, LOG_WARNING);
        if (row.logged == OPEN_FAILURE) {
            EXPECT_EQ(rec.text, "open " + path + " failure.");
            continue;
        }
        long value = start + row.dead_time;
        bool matched = false;
        for (long now = start; now <= end; ++now) {
            matched |= rec.text == "healthy checking failure: vemo-monitor dead for " +
                                       std::to_string(now - value) + " seconds, last request tm " +
                                       std::to_string(value) + ", current " + std::to_string(now) +
                                       "\n";
        }
        EXPECT_TRUE(matched) << rec.text;
    }
}

// Printing the row's name lets ctest list each instance by it.
void PrintTo(const HealthRow& row, std::ostream* os) {
    *os << row.name;
}

INSTANTIATE_TEST_SUITE_P(Rows, HealthTest, ::testing::ValuesIn(kRows));

}  // namespace
