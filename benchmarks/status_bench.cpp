// vemoctl status over N entries whose programs all run: the library pass alone, and the whole
// command as an operator runs it (fork, exec, probe, render), both in wall-clock time.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "holders.h"
#include "hoststatus.h"

namespace {

std::string g_dir;

// A list of n running entries; returns the source to collect it from.
StatusSource make_list(int n, std::vector<std::string>* files) {
    StatusSource src;
    src.bin_dir = g_dir;
    src.run_dir = g_dir;
    src.list_file = g_dir + "/watching-list.conf";
    FILE* f = fopen(src.list_file.c_str(), "w");
    for (int i = 0; f != nullptr && i < n; ++i) {
        char pid_file[96];
        snprintf(pid_file, sizeof pid_file, "%s/prog%05d.pid", g_dir.c_str(), i);
        files->push_back(pid_file);
        fprintf(f, "1:%s:/bin/sleep:%d\n", pid_file, i);
    }
    if (f != nullptr) fclose(f);
    return src;
}

double wall_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void BM_StatusLibrary(benchmark::State& state) {
    std::vector<std::string> files;
    StatusSource src = make_list(static_cast<int>(state.range(0)), &files);
    Holders holders;
    if (!holders.start(files)) {
        state.SkipWithError("the holder did not take every lock");
        return;
    }
    size_t running = 0;
    for (auto _ : state) {
        double t0 = wall_s();
        HostStatus s;
        collect_status(src, &s);
        std::string text = render_table(s, false);
        benchmark::DoNotOptimize(text);
        state.SetIterationTime(wall_s() - t0);
        running = 0;
        for (const EntryStatus& e : s.entries)
            running += e.state == STATE_RUNNING ? 1 : 0;
    }
    if (running != files.size()) state.SkipWithError("not every entry showed as running");
    for (const std::string& f : files)
        unlink(f.c_str());
}
BENCHMARK(BM_StatusLibrary)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond);

// The command itself: `vemoctl --list LIST status` with its output discarded.
void BM_StatusCommand(benchmark::State& state) {
    std::vector<std::string> files;
    StatusSource src = make_list(static_cast<int>(state.range(0)), &files);
    Holders holders;
    if (!holders.start(files)) {
        state.SkipWithError("the holder did not take every lock");
        return;
    }
    for (auto _ : state) {
        double t0 = wall_s();
        pid_t pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(VEMOCTL_PATH, "vemoctl", "--list", src.list_file.c_str(), "status",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        state.SetIterationTime(wall_s() - t0);
        // 3: the watchdog itself is not running here; 127: not executed at all.
        if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) {
            state.SkipWithError("vemoctl did not run");
            break;
        }
    }
    for (const std::string& f : files)
        unlink(f.c_str());
}
BENCHMARK(BM_StatusCommand)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond);

int remove_one(const char* p, const struct stat*, int, struct FTW*) {
    return remove(p);
}

}  // namespace

int main(int argc, char** argv) {
    char pattern[] = "/tmp/vemo-status-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    g_dir = pattern;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    nftw(g_dir.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
