// Entry and standard streams of the command-line programs. Arguments reach
// the shared body as UTF-8 on every system (Windows hands them over as
// UTF-16); text goes out as UTF-8 bytes to files and pipes, so redirected
// output is the same bytes everywhere, and as the console's own characters
// to a console.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pakforge::os {

// The arguments after the program's own name.
using MainBody = int (*)(const std::vector<std::string>& args);

#ifdef _WIN32
int runMain(int argc, wchar_t** argv, MainBody body);
#define PAKFORGE_MAIN(body)                                                                                  \
    int wmain(int argc, wchar_t** argv) {                                                                    \
        return ::pakforge::os::runMain(argc, argv, body);                                                    \
    }
#else
int runMain(int argc, char** argv, MainBody body);
#define PAKFORGE_MAIN(body)                                                                                  \
    int main(int argc, char** argv) {                                                                        \
        return ::pakforge::os::runMain(argc, argv, body);                                                    \
    }
#endif

enum class StdStream { Out, Err };
bool isTerminal(StdStream stream);
// UTF-8 text; false when it could not all be written (a full disk, a closed
// pipe). std::cout and std::cerr go the same way.
bool writeText(StdStream stream, std::string_view text);
// Bytes as they are, for binary output.
bool writeBytes(StdStream stream, const void* data, std::size_t count);

// Ctrl-C, termination and hang-up end the process at once with status 130,
// wherever it is, after removing the files given to removeOnInterrupt and
// writing "Interrupted" on stderr (POSIX). Windows instead calls onInterrupt
// (on another thread: it may only set a flag) and lets the program stop
// between steps. A reader that goes away no longer ends the process either.
inline constexpr int kInterruptedStatus = 130;
void catchInterrupts(void (*onInterrupt)());

} // namespace pakforge::os
