// Entry and standard streams of the command-line programs on POSIX: the
// arguments and the output are UTF-8 bytes already.
#include "platform/SystemConsole.h"

#include <atomic>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace pakforge::os {

int runMain(int argc, char** argv, MainBody body) {
    // The log's time of day in the user's format.
    std::setlocale(LC_TIME, "");
    return body(std::vector<std::string>(argv + 1, argv + argc));
}

namespace {

std::FILE* fileOf(StdStream stream) {
    return stream == StdStream::Out ? stdout : stderr;
}

std::atomic<void (*)()> interruptHandler{nullptr};

void onSignal(int) {
    if (const auto handler = interruptHandler.load()) handler();
}

} // namespace

bool isTerminal(StdStream stream) {
    return ::isatty(stream == StdStream::Out ? STDOUT_FILENO : STDERR_FILENO) != 0;
}

bool writeBytes(StdStream stream, const void* data, std::size_t count) {
    std::FILE* file = fileOf(stream);
    return std::fwrite(data, 1, count, file) == count && std::fflush(file) == 0;
}

bool writeText(StdStream stream, std::string_view text) {
    return writeBytes(stream, text.data(), text.size());
}

void catchInterrupts(void (*onInterrupt)()) {
    interruptHandler = onInterrupt;
    struct sigaction action {};
    action.sa_handler = onSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

} // namespace pakforge::os
