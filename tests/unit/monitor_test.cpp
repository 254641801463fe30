// vemo-monitor's configuration file and state file, the latter judged by the watchdog's own probe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <thread>

#include "monitor.h"
#include "test_support.h"
#include "vemo-watchdog.h"

namespace {

// ---------------------------------------------------------------- configuration

struct ConfigRow {
    const char* name;
    const char* text;
    bool ok;
    std::vector<unsigned> error_lines;  // when not ok
    const char* address;                // when ok
    unsigned port;
    unsigned workers;
    unsigned timeout;
    const char* user;
};

const ConfigRow kConfigRows[] = {
    {"empty_keeps_defaults", "", true, {}, "127.0.0.1", 9717, 2, 10, ""},
    {"comments_and_blanks",
     "# a comment\n\n   \t\n  # indented\n",
     true,
     {},
     "127.0.0.1",
     9717,
     2,
     10,
     ""},
    {"every_key",
     "listen = 127.0.0.2:8080\nuser=daemon\nworkers=4\nconnection_limit=64\nper_ip_limit=8\n"
     "timeout=30\nrequest_memory=8192\n",
     true,
     {},
     "127.0.0.2",
     8080,
     4,
     30,
     "daemon"},
    {"ipv6_in_brackets", "listen=[::1]:9000\n", true, {}, "::1", 9000, 2, 10, ""},
    {"last_line_without_feed", "listen=127.0.0.1:1", true, {}, "127.0.0.1", 1, 2, 10, ""},
    {"crlf_line_ends", "workers=3\r\ntimeout=5\r\n", true, {}, "127.0.0.1", 9717, 3, 5, ""},
    // One bad line discards the whole file: half a configuration is never applied.
    {"bad_port_keeps_all_defaults",
     "workers=4\nlisten=127.0.0.1:70000\n",
     false,
     {2},
     "",
     0,
     0,
     0,
     ""},
    {"port_zero", "listen=127.0.0.1:0\n", false, {1}, "", 0, 0, 0, ""},
    {"host_name_not_address", "listen=localhost:9717\n", false, {1}, "", 0, 0, 0, ""},
    {"ipv6_without_brackets", "listen=::1:9717\n", false, {1}, "", 0, 0, 0, ""},
    {"missing_port", "listen=127.0.0.1\n", false, {1}, "", 0, 0, 0, ""},
    {"unknown_key", "colour=blue\n", false, {1}, "", 0, 0, 0, ""},
    {"no_equals", "listen 127.0.0.1:9717\n", false, {1}, "", 0, 0, 0, ""},
    {"number_out_of_range", "workers=0\ntimeout=99999\n", false, {1, 2}, "", 0, 0, 0, ""},
    {"number_with_sign_or_text",
     "workers=+2\nconnection_limit=10k\n",
     false,
     {1, 2},
     "",
     0,
     0,
     0,
     ""},
    {"user_that_looks_like_a_path", "user=../root\n", false, {1}, "", 0, 0, 0, ""},
    {"user_option_like", "user=-x\n", false, {1}, "", 0, 0, 0, ""},
    {"errors_counted_past_comments", "# c\n\nbogus\n", false, {3}, "", 0, 0, 0, ""},
};

class ConfigTest : public ::testing::TestWithParam<ConfigRow> {};

TEST_P(ConfigTest, Reads) {
    const ConfigRow& row = GetParam();
    std::string text = row.text;
    FILE* f = fmemopen(&text[0], text.size(), "r");
    if (text.empty()) f = fopen("/dev/null", "re");
    ASSERT_NE(f, nullptr);
    MonitorConfig config;
    config.workers = 2;
    std::vector<ConfigError> errors;
    bool ok = read_monitor_config(f, &config, &errors);
    fclose(f);
    ASSERT_EQ(ok, row.ok);
    if (!row.ok) {
        std::vector<unsigned> lines;
        for (const ConfigError& e : errors) {
            lines.push_back(e.line);
            EXPECT_FALSE(e.text.empty());
        }
        EXPECT_EQ(lines, row.error_lines);
        // Untouched: the caller keeps its defaults.
        EXPECT_EQ(config.listen_address, MonitorConfig().listen_address);
        EXPECT_EQ(config.port, MonitorConfig().port);
        EXPECT_EQ(config.workers, 2U);
        return;
    }
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(config.listen_address, row.address);
    EXPECT_EQ(config.port, row.port);
    EXPECT_EQ(config.workers, row.workers);
    EXPECT_EQ(config.timeout_seconds, row.timeout);
    EXPECT_EQ(config.user, row.user);
}

INSTANTIATE_TEST_SUITE_P(Monitor, ConfigTest, ::testing::ValuesIn(kConfigRows),
                         [](const ::testing::TestParamInfo<ConfigRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(MonitorConfig, DefaultsAreLoopbackOnThePlannedPort) {
    MonitorConfig config;
    EXPECT_EQ(config.listen_address, "127.0.0.1");
    EXPECT_EQ(config.port, 9717U);
    EXPECT_GT(config.connection_limit, 200U) << "200 idle connections must not lock others out";
    EXPECT_EQ(config.per_ip_limit, 0U) << "every local client shares 127.0.0.1";
}

TEST(MonitorConfig, RunawayLineIsAnErrorNotAMemoryHog) {
    std::string text = "listen=" + std::string(1 << 20, '1') + "\nworkers=3\n";
    FILE* f = fmemopen(&text[0], text.size(), "r");
    ASSERT_NE(f, nullptr);
    MonitorConfig config;
    std::vector<ConfigError> errors;
    EXPECT_FALSE(read_monitor_config(f, &config, &errors));
    fclose(f);
    ASSERT_EQ(errors.size(), 1U);
    EXPECT_EQ(errors[0].line, 1U);
}

// A file with an error is logged line by line and ignored whole: the monitor runs on defaults.
struct LoadRow {
    const char* name;
    const char* text;              // nullptr: no file; "/": a directory in its place
    unsigned port;                 // what the monitor will use
    std::vector<std::string> log;  // "@" stands for the file's path
};

const LoadRow kLoadRows[] = {
    {"no_file_is_no_error", nullptr, 9717, {}},
    {"good_file_applies", "listen=127.0.0.1:9800\nuser=nobody\n", 9800, {}},
    {"bad_line_discards_the_good_ones",
     "listen=127.0.0.1:9800\ncolour=blue\n",
     9717,
     {"@:2: error: unknown key 'colour'", "@: ignored, running with the defaults"}},
    {"every_bad_line_reported",
     "listen=nowhere\n# fine\nworkers=99\n",
     9717,
     {"@:1: error: listen wants ADDRESS:PORT (an IPv6 address in brackets), not 'nowhere'",
      "@:3: error: workers wants a whole number from 1 to 16, not '99'",
      "@: ignored, running with the defaults"}},
    {"unknown_user",
     "listen=127.0.0.1:9800\nuser=no-such-user-here\n",
     9717,
     {"@: error: user 'no-such-user-here' does not exist or is root",
      "@: ignored, running with the defaults"}},
    {"root_refused",
     "user=root\n",
     9717,
     {"@: error: user 'root' does not exist or is root", "@: ignored, running with the defaults"}},
    {"directory_in_its_place",
     "/",
     9717,
     {"@:1: error: read failure: Is a directory", "@: ignored, running with the defaults"}},
};

class LoadTest : public ::testing::TestWithParam<LoadRow> {};

TEST_P(LoadTest, LogsAndFallsBack) {
    const LoadRow& row = GetParam();
    TempDir dir;
    std::string path = dir / "vemo-monitor.conf";
    if (row.text != nullptr && std::string(row.text) == "/") {
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    } else if (row.text != nullptr) {
        write_file(path, row.text);
    }
    captured_syslog().clear();
    MonitorConfig config = load_monitor_config(path);
    EXPECT_EQ(config.port, row.port);
    std::vector<LogRecord> want;
    for (std::string text : row.log) {
        size_t at = text.find('@');
        text.replace(at, 1, path);
        want.push_back({LOG_ERR, text});
    }
    EXPECT_EQ(captured_syslog(), want);
}

INSTANTIATE_TEST_SUITE_P(Monitor, LoadTest, ::testing::ValuesIn(kLoadRows),
                         [](const ::testing::TestParamInfo<LoadRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(MonitorAccount, NeverRootAndFallsBackToNobody) {
    Account account;
    ASSERT_TRUE(find_account("", &account));
    EXPECT_NE(account.uid, 0U);
    EXPECT_TRUE(account.name == "vemo-monitor" || account.name == "nobody") << account.name;
    EXPECT_FALSE(find_account("root", &account)) << "a configured root is refused, not replaced";
    EXPECT_FALSE(find_account("no-such-user-here", &account));
}

// ---------------------------------------------------------------- state file

class StateFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        ASSERT_EQ(mkdir((dir / "var").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / "var/run").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / "var/run/vemo_monitor").c_str(), 0755), 0);
        path = dir / "var/run/vemo_monitor/state.log";
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override { close(fd); }

    TempDir dir;
    std::string path;
    int fd = -1;
};

StateRecord state_at(time_t last, unsigned long long requests) {
    StateRecord s;
    s.last_request_at = last;
    s.requests = requests;
    s.started_at = last - 5;
    s.pid = 4242;
    return s;
}

TEST_F(StateFile, KeyLineIsWhatTheProbeCanRead) {
    std::string text = state_text(state_at(1800000000, 18446744073709551615ULL));
    size_t key = text.find("\"last-request-at\":");
    ASSERT_NE(key, std::string::npos);
    size_t end = text.find('\n', key);
    std::string line = text.substr(text.rfind('\n', key) == std::string::npos ? 0 : key, end);
    EXPECT_LT(end, 126U) << "the probe reads at most 126 characters of the line";
    EXPECT_EQ(line.find_first_of("0123456789"), line.find("1800000000"));
    EXPECT_EQ(text.size(), kStateTextSize);
}

TEST_F(StateFile, RequestMakesItAliveForTheProbe) {
    ASSERT_TRUE(write_state_file(fd, state_at(time(nullptr), 1)));
    EXPECT_TRUE(VemoMonitorHelthCheck(dir.path()));
}

TEST_F(StateFile, HourWithoutRequestMakesItStaleForTheProbe) {
    // Written through the monitor's own writer, over a longer text left from an older monitor.
    write_file(path, std::string(400, 'x') + "\n");
    StateRecord old = state_at(time(nullptr) - 3601, 7);
    ASSERT_TRUE(write_state_file(fd, old));
    EXPECT_EQ(read_file(path), state_text(old)) << "nothing of the longer text is left";
    EXPECT_FALSE(VemoMonitorHelthCheck(dir.path()));
}

// A reader racing the writer sees a whole text every time, whatever the numbers' widths.
TEST_F(StateFile, NeverTornOrEmptyForAConcurrentReader) {
    ASSERT_TRUE(write_state_file(fd, state_at(1000000000, 0)));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (unsigned long long i = 0; i < 20000; ++i)
            ASSERT_TRUE(write_state_file(fd, state_at(i % 2 ? 1000000000 : 9, i % 3 ? i : 0)));
        done = true;
    });
    int bad = 0;
    int reads = 0;
    while (!done) {
        std::string text = read_file(path);
        ++reads;
        long value = -1;
        if (text.size() != kStateTextSize ||
            sscanf(text.c_str(), "{\"last-request-at\": %ld,", &value) != 1 ||
            (value != 1000000000 && value != 9))
            ++bad;
    }
    writer.join();
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";
}

TEST_F(StateFile, WriteFailureIsReported) {
    int ro = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(ro, 0);
    errno = 0;
    EXPECT_FALSE(write_state_file(ro, state_at(time(nullptr), 1)));
    EXPECT_EQ(errno, EBADF);
    close(ro);
}

}  // namespace

// ---------------------------------------------------------------- status workers

#include <sys/wait.h>
#include <chrono>
#include <csignal>

#include "workers.h"

namespace {

// Workers stopped as if stuck on a hung path: one is replaced by a fresh worker that answers,
// and the stop waits a bounded time for the other, then kills and reaps it.
TEST(StatusWorkers, StuckWorkerIsReplacedAndNeverWaitedOnForEver) {
    TempDir dir;
    write_file(dir / "list.conf", "");
    StatusSource source;
    source.bin_dir = dir.path();
    source.list_file = dir / "list.conf";
    source.run_dir = dir.path();
    Account account;
    if (geteuid() == 0) {
        ASSERT_TRUE(find_account("", &account));
    }
    std::vector<Worker> workers;
    std::string why;
    ASSERT_TRUE(start_workers(2, source, account, &workers, &why)) << why;
    const pid_t stuck[2] = {workers[0].pid, workers[1].pid};
    for (pid_t pid : stuck)
        kill(pid, SIGSTOP);

    EXPECT_TRUE(replace_worker(&workers[0], &why)) << why;
    EXPECT_NE(workers[0].pid, stuck[0]);
    EXPECT_TRUE(waitpid(stuck[0], nullptr, WNOHANG) < 0 && errno == ECHILD) << "reaped";
    EXPECT_EQ(kill(workers[0].pid, 0), 0) << "the fresh worker runs";

    auto t0 = std::chrono::steady_clock::now();
    stop_workers(&workers);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(6));
    EXPECT_TRUE(waitpid(stuck[1], nullptr, WNOHANG) < 0 && errno == ECHILD) << "reaped";
}

}  // namespace

// ---------------------------------------------------------------- HTTP requests

#include "http.h"

#include <zlib.h>

namespace {

struct ParseRow {
    const char* name;
    std::string data;
    ParseResult result;
    unsigned error;  // with PARSE_REJECT
};

const ParseRow kParseRows[] = {
    {"whole_get", "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9717\r\n\r\n", PARSE_DONE, 0},
    {"header_not_yet_ended", "GET /metrics HTTP/1.1\r\nHost: a\r\n", PARSE_MORE, 0},
    {"tls_hello", std::string("\x16\x03\x01\x02\x00", 5), PARSE_IGNORE, 0},
    {"lone_word", "HELLO\r\n\r\n", PARSE_DROP, 0},
    {"no_host_in_1_1", "GET / HTTP/1.1\r\n\r\n", PARSE_REJECT, 400},
    {"two_lengths", "GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab",
     PARSE_REJECT, 400},
    {"length_and_chunked",
     "GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n0",
     PARSE_REJECT, 400},
    {"nul_in_path", std::string("GET /a\0b HTTP/1.1\r\nHost: a\r\n\r\n", 30), PARSE_REJECT, 400},
    {"bare_line_feed", "GET / HTTP/1.1\nHost: a\n\n", PARSE_REJECT, 400},
    {"folded_header", "GET / HTTP/1.1\r\nHost: a\r\n b\r\n\r\n", PARSE_REJECT, 400},
    {"space_before_colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", PARSE_REJECT, 400},
    {"two_hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", PARSE_REJECT, 400},
    {"future_version", "GET / HTTP/2.0\r\n\r\n", PARSE_REJECT, 505},
    {"url_past_limit", "GET /" + std::string(5000, 'm'), PARSE_REJECT, 414},
    {"header_past_limit", "GET / HTTP/1.1\r\nX: " + std::string(5000, 'a'), PARSE_REJECT, 431},
};

class ParseTest : public ::testing::TestWithParam<ParseRow> {};

TEST_P(ParseTest, ReadsStrictly) {
    const ParseRow& row = GetParam();
    HttpRequest req;
    EXPECT_EQ(parse_request(row.data.data(), row.data.size(), 4096, 100, &req), row.result);
    if (row.result == PARSE_REJECT) {
        EXPECT_EQ(req.error, row.error);
    }
}

INSTANTIATE_TEST_SUITE_P(Monitor, ParseTest, ::testing::ValuesIn(kParseRows),
                         [](const ::testing::TestParamInfo<ParseRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(HttpGzip, OneCompressedTextTakesEachAnswersTail) {
    GzipBody body;
    std::string text(100000, 'x');
    ASSERT_TRUE(gzip_open(text, &body));
    std::string whole = body.open_stream + gzip_close(body, "tail\n");
    z_stream z = {};
    ASSERT_EQ(inflateInit2(&z, 31), Z_OK);
    std::string out(200000, '\0');
    z.next_in = reinterpret_cast<Bytef*>(&whole[0]);
    z.avail_in = static_cast<uInt>(whole.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);  // the trailer's CRC and length checked too
    out.resize(z.total_out);
    (void)inflateEnd(&z);
    EXPECT_EQ(out, text + "tail\n");
}

}  // namespace
