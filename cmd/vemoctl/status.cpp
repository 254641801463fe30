// vemoctl status, and the selectors bash completion offers for it.
#include "commands.h"
#include "fileio.h"
#include "text.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

enum StatusFormat { FORMAT_TABLE, FORMAT_JSON, FORMAT_PROMETHEUS };

// The format and output file asked for; a usage error's exit status, or 0.
int parse_status_options(const Args& args, StatusFormat* format, const std::string** output) {
    std::string bad;
    if (!only_options(args, {"--json", "--prometheus", "--output"}, &bad))
        return usage_error("status: unknown option " + bad);
    bool json = args.options.count("--json") != 0;
    bool prom = args.options.count("--prometheus") != 0;
    if (json && prom) return usage_error("status: --json and --prometheus exclude each other");
    auto out_opt = args.options.find("--output");
    if (out_opt != args.options.end() && out_opt->second.empty())
        return usage_error("status: --output needs a file");
    *format = json ? FORMAT_JSON : prom ? FORMAT_PROMETHEUS : FORMAT_TABLE;
    *output = out_opt != args.options.end() ? &out_opt->second : nullptr;
    return 0;
}

// The answer to stdout, or replacing the output file whole; false when it cannot be written.
bool write_answer(const std::string& text, const std::string* output) {
    if (output == nullptr) return fputs(text.c_str(), stdout) >= 0 && fflush(stdout) == 0;
    if (write_file_atomically(*output, text)) return true;
    fprintf(stderr, "vemoctl: cannot write %s: %s\n", output->c_str(), errno_text(errno).c_str());
    return false;
}

}  // namespace

bool colour_wanted(int fd) {
    const char* no = getenv("NO_COLOR");
    return isatty(fd) != 0 && (no == nullptr || no[0] == '\0');
}

int cmd_status(const Args& args, const StatusSource& src) {
    StatusFormat format = FORMAT_TABLE;
    const std::string* output = nullptr;
    int usage = parse_status_options(args, &format, &output);
    if (usage != 0) return usage;
    HostStatus s;
    if (!collect_status(src, &s))
        fprintf(stderr, "vemoctl: cannot read %s: %s\n", src.list_file.c_str(),
                s.list_error.c_str());
    std::string unmatched;
    if (!select_entries(&s, args.operands, &unmatched)) {
        fprintf(stderr, "vemoctl: no entry matches \"%s\"\n", unmatched.c_str());
        return 4;
    }
    std::string text = format == FORMAT_JSON ? render_json(s)
                       : format == FORMAT_PROMETHEUS
                           ? render_prometheus(s)
                           : render_table(s, output == nullptr && colour_wanted(1));
    if (!write_answer(text, output)) return 4;
    return status_exit_code(s);
}

// For bash completion: every selector the list offers, one a line.
int cmd_selectors(const StatusSource& src) {
    HostStatus s;
    (void)collect_status(src, &s);
    for (const EntryStatus& e : s.entries) {
        printf("%d\n%s\n%s\n", e.line, base_name(e.program).c_str(), e.pid_file.c_str());
    }
    return 0;
}
