// The stub's checker of the arguments it passes to msiexec. Property: what
// it accepts it writes again so that splitting the new command line gives
// the same arguments, which the checker accepts again unchanged.
#include "Arguments.h"
#include "HostText.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<std::wstring> split(const wchar_t* line) {
    std::vector<std::wstring> arguments;
    stub::HostText arg;
    for (const wchar_t* p = line; stub::nextArgument(p, arg);) arguments.push_back(arg.str());
    return arguments;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // UTF-16 code units, as Windows hands the command line over.
    std::wstring line;
    for (size_t i = 0; i + 1 < size && line.size() < 4096; i += 2) {
        const wchar_t unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0) break;
        line.push_back(unit);
    }
    stub::HostText forMsiexec;
    stub::HostText refused;
    if (stub::checkPassedArguments(line.c_str(), forMsiexec, refused)) return 0;
    if (split(forMsiexec.c_str()) != split(line.c_str())) __builtin_trap();
    stub::HostText again;
    if (stub::checkPassedArguments(forMsiexec.c_str(), again, refused) || again.str() != forMsiexec.str())
        __builtin_trap();
    return 0;
}
