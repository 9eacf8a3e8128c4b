#ifndef VARNEX_SUPPORT_PROGRAM_COMMAND_H
#define VARNEX_SUPPORT_PROGRAM_COMMAND_H

#include <algorithm>
#include <string>
#include <vector>

// The words that start `program`, a program of this build: on a build whose
// programs run under qemu's user-mode emulation, the emulator's command first
// (VARNEX_EMULATOR, from the build). An emulated process cannot exec a program
// of its own architecture: without binfmt_misc the kernel does not know how.
inline std::vector<std::string> program_command(const std::string& program)
{
    std::vector<std::string> words;
#ifdef VARNEX_EMULATOR
    const std::string emulator = VARNEX_EMULATOR;
    for (size_t start = 0; start < emulator.size();) {
        const size_t end = std::min(emulator.find(' ', start), emulator.size());
        words.push_back(emulator.substr(start, end - start));
        start = end + 1;
    }
#endif
    words.push_back(program);
    return words;
}

#endif
