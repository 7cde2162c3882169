// The program's arguments, split from its command line as the window has
// always split them: runs of characters 1 to 32 separate; a double quote
// opens a section that runs to the next one (or the end), the quotes
// dropped; pieces that touch form one argument; a pair of quotes where an
// argument would begin is skipped; a backslash is an ordinary character.
// Splitting stops at the first argument that comes out empty.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pakforge::ui {

// Every argument, the program's own path first.
std::vector<std::u16string> splitCommandLine(std::u16string_view commandLine);

} // namespace pakforge::ui
