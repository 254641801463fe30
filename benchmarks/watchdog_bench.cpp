// Micro-benchmarks of the watchdog's own work, each also printed as a ratio to the bare
// system calls of one lock probe measured in the same run (the floor).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <ext/stdio_filebuf.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "CLockFile.h"
#include "holders.h"
#include "vemo-watchdog.h"

namespace {

// Scratch directory; tmpfs by default, like the run directory the daemon uses.
std::string g_dir;
std::string g_floor_file;
// Nanoseconds of one floor probe, measured before any benchmark runs.
double g_floor_ns = 0;

// CPU time, not wall time: on a shared machine the time spent preempted is not ours.
int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The floor: the system calls of one probe on a free lock, without a wrapper of any kind.
void probe_floor(const char* path) {
    long fd = syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CREAT, 0644);
    struct flock query = whole_file_write_lock();
    syscall(SYS_fcntl, fd, F_GETLK, &query);
    struct flock lock = whole_file_write_lock();
    syscall(SYS_fcntl, fd, F_SETLK, &lock);
    long flags = syscall(SYS_fcntl, fd, F_GETFD);
    syscall(SYS_fcntl, fd, F_SETFD, flags | FD_CLOEXEC);
    syscall(SYS_close, fd);
}

double measure_floor_ns() {
    const int kBatch = 20000;
    for (int i = 0; i < kBatch; ++i)
        probe_floor(g_floor_file.c_str());
    std::vector<double> batches;
    for (int b = 0; b < 9; ++b) {
        int64_t t0 = now_ns();
        for (int i = 0; i < kBatch; ++i)
            probe_floor(g_floor_file.c_str());
        batches.push_back(static_cast<double>(now_ns() - t0) / kBatch);
    }
    std::sort(batches.begin(), batches.end());
    return batches[batches.size() / 2];
}

void set_ratio(benchmark::State& state, int64_t elapsed_ns) {
    double per_op = static_cast<double>(elapsed_ns) / static_cast<double>(state.iterations());
    state.counters["floor_ns"] = g_floor_ns;
    state.counters["ratio_to_floor"] = per_op / g_floor_ns;
}

std::string numbered(const char* stem, int i, const char* suffix) {
    char name[64];
    snprintf(name, sizeof name, "%s%05d%s", stem, i, suffix);
    return name;
}

// True when every file's lock is held by some other process.
bool all_held(const std::vector<std::string>& files) {
    for (const std::string& file : files) {
        int fd = open(file.c_str(), O_RDWR);
        struct flock query = whole_file_write_lock();
        bool held = fd >= 0 && fcntl(fd, F_GETLK, &query) == 0 && query.l_type != F_UNLCK;
        if (fd >= 0) close(fd);
        if (!held) return false;
    }
    return true;
}

void BM_ProbeFloor(benchmark::State& state) {
    int64_t t0 = now_ns();
    for (auto _ : state)
        probe_floor(g_floor_file.c_str());
    set_ratio(state, now_ns() - t0);
}
BENCHMARK(BM_ProbeFloor);

// Open and Close on one lock file, as a pass probes an entry; returns the last holder seen.
pid_t time_probes(benchmark::State& state, const std::string& path) {
    CLockFile lock(path.c_str());
    pid_t holder = 0;
    int64_t t0 = now_ns();
    for (auto _ : state) {
        int rc = lock.Open(&holder);
        benchmark::DoNotOptimize(rc);
        lock.Close();
    }
    set_ratio(state, now_ns() - t0);
    return holder;
}

void BM_ProbeFree(benchmark::State& state) {
    time_probes(state, g_floor_file);
}
BENCHMARK(BM_ProbeFree);

void BM_ProbeHeld(benchmark::State& state) {
    std::vector<std::string> files{g_dir + "/held.pid"};
    Holders holders;
    if (!holders.start(files) || !all_held(files)) {
        state.SkipWithError("no process holds the lock");
        return;
    }
    if (time_probes(state, files[0]) != holders.pids[0])
        state.SkipWithError("probe did not name the holder");
}
BENCHMARK(BM_ProbeHeld);

// The steady state: N enabled entries, every program running. The floor is measured
// between passes so that both see the same load on a shared machine; the manual time is the
// pass's CPU time alone, while the CPU column counts the floor probes too.
void BM_PassSteady(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<std::string> files;
    std::vector<Supervisee*> entries;
    for (int i = 0; i < n; ++i) {
        files.push_back(g_dir + numbered("/prog", i, ".pid"));
        Supervisee* entry = new Supervisee;
        entry->enabled = true;
        entry->prog_pid_file = files.back();
        // Never started: every lock is checked as held before the first pass.
        entry->prog = numbered("/nonexistent/vemo-bench/prog", i, "");
        entries.push_back(entry);
    }
    Holders holders;
    if (!holders.start(files) || !all_held(files)) {
        state.SkipWithError("the holders did not take every lock");
    } else {
        g_supervisee_vec = entries;
        int64_t pass_ns = 0;
        int64_t floor_ns = 0;
        for (auto _ : state) {
            int64_t t0 = now_ns();
            if (supervise_entries() == PASS_LEAVE_CHILD) _exit(0);
            int64_t t1 = now_ns();
            for (int i = 0; i < n; ++i)
                probe_floor(g_floor_file.c_str());
            int64_t t2 = now_ns();
            pass_ns += t1 - t0;
            floor_ns += t2 - t1;
            state.SetIterationTime(static_cast<double>(t1 - t0) / 1e9);
        }
        double entries_done = static_cast<double>(state.iterations()) * n;
        double per_entry = static_cast<double>(pass_ns) / entries_done;
        double floor_per_probe = static_cast<double>(floor_ns) / entries_done;
        state.counters["entry_ns"] = per_entry;
        state.counters["floor_ns"] = floor_per_probe;
        state.counters["ratio_to_floor"] = per_entry / floor_per_probe;
        g_supervisee_vec.clear();
    }
    holders.stop();
    for (size_t i = 0; i < entries.size(); ++i) {
        delete entries[i];
        unlink(files[i].c_str());
    }
}
BENCHMARK(BM_PassSteady)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->UseManualTime();

// load_supervisees alone is timed; emptying the table between loads is not.
void BM_LoadWatchList(benchmark::State& state) {
    const int n = 10000;
    std::string config = g_dir + "/watching-list.conf";
    FILE* f = fopen(config.c_str(), "w");
    if (f == nullptr) {
        state.SkipWithError("cannot write the watch list");
        return;
    }
    for (int i = 0; i < n; ++i) {
        fprintf(f, "%d:/var/run/vemo_monitor/prog%05d.pid:/opt/vemo/bin/prog%05d:-c:%05d.conf\n",
                i % 7 == 0 ? 0 : 1, i, i, i);
    }
    fclose(f);

    Supervisee builtin;
    reset_supervisees(&builtin);
    size_t heap_before = mallinfo2().uordblks;
    size_t heap_after = heap_before;
    size_t loaded = 0;
    int64_t elapsed = 0;
    for (auto _ : state) {
        int64_t t0 = now_ns();
        load_supervisees(config);
        elapsed += now_ns() - t0;
        state.PauseTiming();
        loaded = g_supervisee_vec.size() - 1;
        heap_after = mallinfo2().uordblks;
        reset_supervisees(&builtin);
        state.ResumeTiming();
    }
    g_supervisee_vec.clear();
    unlink(config.c_str());
    if (loaded != static_cast<size_t>(n)) {
        state.SkipWithError("the watch list did not load in full");
        return;
    }
    set_ratio(state, elapsed);
    state.counters["line_ns"] = static_cast<double>(elapsed) / (state.iterations() * n);
    state.counters["heap_B_per_entry"] = static_cast<double>(heap_after - heap_before) / n;
}
BENCHMARK(BM_LoadWatchList)->Unit(benchmark::kMillisecond);

void BM_ExecAbspath(benchmark::State& state) {
    std::string path;
    for (int i = 0; i < 10; ++i) {
        std::string dir = g_dir + numbered("/path", i, "");
        mkdir(dir.c_str(), 0755);
        path += (i == 0 ? "" : ":") + dir;
    }
    std::string prog = g_dir + numbered("/path", 9, "/vemo-bench-prog");
    int fd = open(prog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
    if (fd >= 0) close(fd);
    const char* old = getenv("PATH");
    std::string saved = old != nullptr ? old : "";
    setenv("PATH", path.c_str(), 1);

    char* found = nullptr;
    int64_t t0 = now_ns();
    for (auto _ : state) {
        found = exec_abspath("vemo-bench-prog");
        benchmark::DoNotOptimize(found);
    }
    int64_t elapsed = now_ns() - t0;
    bool ok = found != nullptr && prog == found;
    if (old != nullptr) {
        setenv("PATH", saved.c_str(), 1);
    } else {
        unsetenv("PATH");
    }
    if (!ok) state.SkipWithError("the program was not found in the last directory");
    set_ratio(state, elapsed);
}
BENCHMARK(BM_ExecAbspath);

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

}  // namespace

int main(int argc, char** argv) {
    // The daemon's stdout is /dev/null after daemon(), fully buffered: the pass must write
    // there too, so the report gets a descriptor of its own before stdio first looks at fd 1.
    int report_fd = dup(STDOUT_FILENO);
    int null_fd = open("/dev/null", O_WRONLY);
    if (report_fd < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) {
        perror("watchdog_bench: redirecting stdout");
        return 1;
    }
    close(null_fd);
    __gnu_cxx::stdio_filebuf<char> report_buf(report_fd, std::ios::out);
    std::ostream report(&report_buf);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    const char* base = getenv("VEMO_BENCH_DIR");
    std::string templ = std::string(base != nullptr ? base : "/dev/shm") + "/vemo-bench-XXXXXX";
    if (mkdtemp(&templ[0]) == nullptr) {
        perror("watchdog_bench: scratch directory");
        return 1;
    }
    g_dir = templ;
    g_floor_file = g_dir + "/floor.pid";
    g_floor_ns = measure_floor_ns();
    benchmark::AddCustomContext("scratch_dir", g_dir);
    benchmark::AddCustomContext("floor_ns_at_start", std::to_string(g_floor_ns));

    benchmark::BenchmarkReporter* reporter = benchmark::CreateDefaultDisplayReporter();
    reporter->SetOutputStream(&report);
    reporter->SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(reporter);
    benchmark::Shutdown();
    report.flush();

    nftw(g_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
