// vemoctl: shows what the watchdog supervises, checks a watch list, and reloads, starts or
// stops the watchdog, judging everything by the pid-file locks as the daemon does.
#include "commands.h"

#include <cstdio>

namespace {

const char* const kVersion = "1.0.2.6";

int run_command(const Args& args, const StatusSource& src) {
    if (args.command.empty()) return usage_error("no command");
    if (args.command == "status") return cmd_status(args, src);
    if (args.command == "check") return cmd_check(args, src);
    if (args.command == "reload") return cmd_reload(args, src);
    if (args.command == "start") return cmd_start(args, src);
    if (args.command == "stop") return cmd_stop(args, src);
    if (args.command == "selectors") return cmd_selectors(src);
    return usage_error("unknown command " + args.command);
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    std::string error;
    if (!parse_args(argc, argv, &args, &error)) return usage_error(error);
    if (args.options.count("--help") != 0 || args.command == "help") {
        printf("%s", kUsage);
        return 0;
    }
    if (args.options.count("--version") != 0) {
        printf("vemoctl %s\n", kVersion);
        return 0;
    }
    StatusSource src = source_from_self(argc > 0 ? argv[0] : nullptr);
    auto list = args.options.find("--list");
    if (list != args.options.end()) {
        if (list->second.empty()) return usage_error("--list needs a file");
        src.list_file = list->second;
    }
    return run_command(args, src);
}
