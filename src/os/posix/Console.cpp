// Entry and standard streams of the command-line programs on POSIX: the
// arguments and the output are UTF-8 bytes already.
#include "os/System.h"
#include "os/SystemConsole.h"

#include <atomic>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
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
bool errorsOnTerminal = false;

// Paths the signal handler removes: fixed storage, so that the handler reads
// them without allocating. A slot is free (0), being filled (1) or set (2).
struct PendingRemoval {
    std::atomic<int> state{0};
    char path[4096];
};
PendingRemoval pendingRemovals[8];

void writeErr(const char* text, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(STDERR_FILENO, text, count);
        if (n <= 0) return;
        text += n;
        count -= static_cast<std::size_t>(n);
    }
}

// Only async-signal-safe calls from here on.
void onSignal(int) {
    if (const auto handler = interruptHandler.load()) handler();
    for (auto& removal : pendingRemovals)
        if (removal.state.load() == 2) ::unlink(removal.path);
    // Over a progress line, if one is showing.
    static constexpr char kClearLine[] = "\r                                  \r";
    static constexpr char kText[] = "Interrupted\n";
    if (errorsOnTerminal) writeErr(kClearLine, sizeof kClearLine - 1);
    writeErr(kText, sizeof kText - 1);
    ::_exit(kInterruptedStatus);
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

void removeOnInterrupt(const std::filesystem::path& path) {
    const std::string& name = path.native();
    for (auto& removal : pendingRemovals) {
        if (name.size() >= sizeof removal.path) return;
        int expected = 0;
        if (!removal.state.compare_exchange_strong(expected, 1)) continue;
        std::memcpy(removal.path, name.c_str(), name.size() + 1);
        removal.state.store(2);
        return;
    }
}

void keepOnInterrupt(const std::filesystem::path& path) {
    for (auto& removal : pendingRemovals) {
        if (removal.state.load() == 2 && path.native() == removal.path) {
            removal.state.store(0);
            return;
        }
    }
}

void catchInterrupts(void (*onInterrupt)()) {
    interruptHandler = onInterrupt;
    errorsOnTerminal = ::isatty(STDERR_FILENO) != 0;
    struct sigaction action {};
    action.sa_handler = onSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

} // namespace pakforge::os
