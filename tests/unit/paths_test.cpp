// Where the watchdog believes it is installed decides which monitor and which list it runs.
#include <gtest/gtest.h>

#include "vemo-watchdog.h"

namespace {

struct InstallRow {
    const char* name;
    const char* argv0;
    const char* cwd;
    const char* fullname;
    const char* bin_dir;
    const char* prog;
};

const InstallRow kInstallRows[] = {
    {"absolute_argv0_ignores_cwd", "/srv/app/bin/vemo-watchdog", "/elsewhere",
     "/srv/app/bin/vemo-watchdog", "/srv/app/bin", "vemo-watchdog"},
    {"relative_argv0_joined_to_cwd_unnormalised", "./bin/vemo-watchdog", "/srv/app",
     "/srv/app/./bin/vemo-watchdog", "/srv/app/./bin", "vemo-watchdog"},
    {"bare_argv0_lives_in_cwd", "vemo-watchdog", "/opt/x", "/opt/x/vemo-watchdog", "/opt/x",
     "vemo-watchdog"},
    {"backslash_separates_too", "/srv/app\\bin\\vemo-watchdog", "/", "/srv/app\\bin\\vemo-watchdog",
     "/srv/app\\bin", "vemo-watchdog"},
};

TEST(PathsTest, LocateInstallation) {
    for (const InstallRow& row : kInstallRows) {
        SCOPED_TRACE(row.name);
        Installation inst = locate_installation(row.argv0, row.cwd);
        EXPECT_EQ(inst.wdg_fullname, row.fullname);
        EXPECT_EQ(inst.bin_dir, row.bin_dir);
        EXPECT_EQ(inst.watchdog_prog, row.prog);
        EXPECT_EQ(inst.root_dir, std::string(row.bin_dir) + "/..");
        EXPECT_EQ(inst.watching_list_config_file,
                  std::string(row.bin_dir) + "/../etc/watching-list.conf");
    }
}

TEST(PathsTest, MonitorEntrySitsBesideTheWatchdog) {
    Supervisee monitor;
    char stale[] = "stale";  // an argument left from before must not survive
    monitor.args[1] = stale;
    fill_monitor_entry(&monitor, "/srv/app/bin");
    EXPECT_TRUE(monitor.enabled);
    EXPECT_EQ(monitor.prog, "/srv/app/bin/vemo-monitor");
    EXPECT_EQ(monitor.prog_pid_file, "/var/run/vemo_monitor/vemo_monitor.pid");
    EXPECT_EQ(monitor.args[1], nullptr);
}

}  // namespace
