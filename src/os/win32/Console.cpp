// Entry and standard streams of the command-line programs on Windows: the
// UTF-16 command line becomes UTF-8 for the shared body; text to a console
// goes out as UTF-16 through WriteConsoleW, to a file or a pipe as the UTF-8
// bytes with bare line feeds, as on Linux.
#include "os/System.h"
#include "os/SystemConsole.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <iostream>
#include <streambuf>

namespace pakforge::os {

namespace {

std::FILE* fileOf(StdStream stream) {
    return stream == StdStream::Out ? stdout : stderr;
}

HANDLE handleOf(StdStream stream) {
    return GetStdHandle(stream == StdStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool isConsole(StdStream stream) {
    DWORD mode = 0;
    return GetConsoleMode(handleOf(stream), &mode) != 0;
}

std::string toUtf8(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.pop_back();
    return out;
}

// Bytes of text that end on a whole UTF-8 sequence; a character cut at a
// buffer's end waits for its rest.
std::size_t wholeSequences(std::string_view text) {
    std::size_t end = text.size();
    std::size_t back = 0;
    while (back < 4 && back < end && (static_cast<unsigned char>(text[end - 1 - back]) & 0xC0) == 0x80)
        ++back;
    if (back == end) return end;
    const auto lead = static_cast<unsigned char>(text[end - 1 - back]);
    std::size_t length = 1;
    if ((lead & 0xE0) == 0xC0)
        length = 2;
    else if ((lead & 0xF0) == 0xE0)
        length = 3;
    else if ((lead & 0xF8) == 0xF0)
        length = 4;
    return length > back + 1 ? end - 1 - back : end;
}

bool writeConsole(StdStream stream, std::string_view text) {
    if (text.empty()) return true;
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return false;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    const HANDLE console = handleOf(stream);
    std::size_t done = 0;
    while (done < wide.size()) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 8192));
        if (!WriteConsoleW(console, wide.data() + done, chunk, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

// What std::cout and std::cerr write through.
class StandardBuffer : public std::streambuf {
  public:
    explicit StandardBuffer(StdStream stream) : stream_(stream) {}

  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        pending_.push_back(traits_type::to_char_type(c));
        if (pending_.size() >= 4096 && sync() != 0) return traits_type::eof();
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        pending_.append(s, static_cast<std::size_t>(n));
        if (pending_.size() >= 4096 && sync() != 0) return 0;
        return n;
    }
    int sync() override {
        const bool console = isConsole(stream_);
        const std::size_t n = console ? wholeSequences(pending_) : pending_.size();
        const bool ok = writeText(stream_, std::string_view(pending_).substr(0, n));
        pending_.erase(0, n);
        return ok ? 0 : -1;
    }

  private:
    StdStream stream_;
    std::string pending_;
};

std::atomic<void (*)()> interruptHandler{nullptr};

BOOL WINAPI onConsoleEvent(DWORD event) {
    const auto handler = interruptHandler.load();
    if (!handler) return FALSE;
    handler();
    // Closing the console ends the process when this returns: give the build
    // the time to stop and remove its temporary file first.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) Sleep(4000);
    return TRUE;
}

} // namespace

int runMain(int argc, wchar_t** argv, MainBody body) {
    // Line feeds stay line feeds in files and pipes, as on Linux.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(toUtf8(argv[i]));

    StandardBuffer out(StdStream::Out);
    StandardBuffer err(StdStream::Err);
    struct Restore {
        std::streambuf* out;
        std::streambuf* err;
        ~Restore() {
            std::cout.flush();
            std::cerr.flush();
            std::cout.rdbuf(out);
            std::cerr.rdbuf(err);
        }
    } restore{std::cout.rdbuf(&out), std::cerr.rdbuf(&err)};
    return body(args);
}

bool isTerminal(StdStream stream) {
    return isConsole(stream);
}

bool writeBytes(StdStream stream, const void* data, std::size_t count) {
    std::FILE* file = fileOf(stream);
    return std::fwrite(data, 1, count, file) == count && std::fflush(file) == 0;
}

bool writeText(StdStream stream, std::string_view text) {
    if (!isConsole(stream)) return writeBytes(stream, text.data(), text.size());
    std::fflush(fileOf(stream));
    return writeConsole(stream, text);
}

// Windows removes nothing from a console handler: the files are open in the
// main thread, which stops between steps and removes them itself.
void removeOnInterrupt(const std::filesystem::path&) {}
void keepOnInterrupt(const std::filesystem::path&) {}

void catchInterrupts(void (*onInterrupt)()) {
    interruptHandler = onInterrupt;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

} // namespace pakforge::os
