#include "ui/CommandLine.h"

namespace pakforge::ui {

std::vector<std::u16string> splitCommandLine(std::u16string_view line) {
    const auto at = [&line](std::size_t i) -> char16_t { return i < line.size() ? line[i] : u'\0'; };
    std::vector<std::u16string> arguments;
    std::size_t i = 0;
    for (;;) {
        for (;;) {
            while (at(i) != u'\0' && at(i) <= u' ') ++i;
            if (at(i) != u'"' || at(i + 1) != u'"') break;
            i += 2;
        }
        std::u16string argument;
        while (at(i) > u' ') {
            if (at(i) != u'"') {
                argument += line[i++];
                continue;
            }
            ++i;
            while (at(i) != u'\0' && at(i) != u'"') argument += line[i++];
            if (at(i) != u'\0') ++i;
        }
        if (argument.empty()) return arguments;
        arguments.push_back(std::move(argument));
    }
}

} // namespace pakforge::ui
