// vemoctl's command line: options before or after the command, and the usage it answers with.
#include "commands.h"

#include <cstdio>

const char* const kUsage =
    "usage: vemoctl [--list FILE] COMMAND [ARGS]\n"
    "  status [--json | --prometheus] [--output FILE] [SELECTOR...]\n"
    "  check [--strict] [FILE]\n"
    "  reload [--force] [--apply] [--wait[=SECONDS]]\n"
    "  start\n"
    "  stop [--wait]\n"
    "See vemoctl(8).\n";

int usage_error(const std::string& text) {
    fprintf(stderr, "vemoctl: %s\n%s", text.c_str(), kUsage);
    return kExitUsage;
}

namespace {

// "--name" or "--name=value"; --list and --output take a missing value from the next word.
bool parse_option(int argc, char** argv, int* i, Args* out, std::string* error) {
    std::string a = argv[*i];
    size_t eq = a.find('=');
    std::string name = a.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : a.substr(eq + 1);
    if ((name == "--list" || name == "--output") && eq == std::string::npos) {
        if (*i + 1 >= argc) {
            *error = name + " needs a value";
            return false;
        }
        value = argv[++*i];
    }
    out->options[name] = value;
    return true;
}

}  // namespace

bool parse_args(int argc, char** argv, Args* out, std::string* error) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (!options_done && a == "--") {
            options_done = true;
        } else if (!options_done && a.size() > 2 && a.compare(0, 2, "--") == 0) {
            if (!parse_option(argc, argv, &i, out, error)) return false;
        } else if (!options_done && a.size() > 1 && a[0] == '-') {
            *error = "unknown option " + a;
            return false;
        } else if (out->command.empty()) {
            out->command = a;
        } else {
            out->operands.push_back(a);
        }
    }
    return true;
}

bool only_options(const Args& args, const std::vector<std::string>& allowed, std::string* bad) {
    for (const auto& kv : args.options) {
        bool ok = kv.first == "--list";
        for (const std::string& a : allowed)
            ok = ok || kv.first == a;
        if (!ok) {
            *bad = kv.first;
            return false;
        }
    }
    return true;
}
