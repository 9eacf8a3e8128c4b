// The command lines of the demo and the benchmarks: `--name VALUE` options
// and `--name` switches, read in order. Each program keeps its own messages
// and exit codes: parse says only what it found, and where.
#ifndef VARNEX_SUPPORT_ARGUMENTS_H
#define VARNEX_SUPPORT_ARGUMENTS_H

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace arguments {

struct Option {
    std::string name;
    // Takes the value (nullptr for a switch); false rejects it.
    std::function<bool(const char* value)> take;
    bool is_switch = false;
};

enum class Outcome { kRun, kHelp, kUnknown, kNoValue, kBadValue };

struct Parsed {
    Outcome outcome = Outcome::kRun;
    std::string option;  // the one that stopped the reading
    std::string value;   // its value, for kBadValue
};

// Stops at the first of `help_names`, or at the first option that is
// unknown, lacks its value or has its value rejected. A value may begin
// with "--": it is whatever follows its option.
inline Parsed parse(int argc, char** argv, const std::vector<Option>& options,
                    const std::vector<std::string>& help_names = {})
{
    for (int index = 1; index < argc; ++index) {
        const std::string name = argv[index];
        if (std::find(help_names.begin(), help_names.end(), name) != help_names.end()) {
            return {Outcome::kHelp, name, ""};
        }
        const auto option =
            std::find_if(options.begin(), options.end(), [&](const Option& known) { return known.name == name; });
        if (option == options.end()) {
            return {Outcome::kUnknown, name, ""};
        }
        if (option->is_switch) {
            option->take(nullptr);
            continue;
        }
        if (index + 1 >= argc) {
            return {Outcome::kNoValue, name, ""};
        }
        const char* value = argv[++index];
        if (!option->take(value)) {
            return {Outcome::kBadValue, name, value};
        }
    }
    return {};
}

// After a --help or --version text: the exit status, 0 once the text is out,
// or 1 with a message when it could not be written (a full disk, a closed
// pipe), so that whatever saves the text never takes the failure for it.
inline int exit_status_after_help(const char* program)
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return 0;
    }
    std::fprintf(stderr, "%s: cannot write to standard output\n", program);
    return 1;
}

}  // namespace arguments

#endif
