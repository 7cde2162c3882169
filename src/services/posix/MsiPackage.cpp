#include "services/MsiPackage.h"

#include "core/ByteIO.h"
#include "core/Exceptions.h"
#include "core/Utf16.h"

#include <libmsi.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <poll.h>
#include <span>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace pakforge::services {

namespace {

struct GObjectUnref {
    void operator()(void* object) const {
        if (object) g_object_unref(object);
    }
};
template <typename T> using GPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
    void operator()(GError* error) const {
        if (error) g_error_free(error);
    }
};

// Reads the whole Property table; false when the file is no package. Runs
// in the child process made by readPropertyTable.
bool readPropertyTableHere(const std::filesystem::path& path, std::map<std::string, std::string>& out) {
    GError* rawError = nullptr;
    GPtr<LibmsiDatabase> db(libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, &rawError));
    std::unique_ptr<GError, GErrorFree> error(rawError);
    if (!db) return false;

    rawError = nullptr;
    GPtr<LibmsiQuery> query(
        libmsi_query_new(db.get(), "SELECT `Property`, `Value` FROM `Property`", &rawError));
    error.reset(rawError);
    if (!query) return false;
    rawError = nullptr;
    if (!libmsi_query_execute(query.get(), nullptr, &rawError)) {
        error.reset(rawError);
        return false;
    }
    for (;;) {
        rawError = nullptr;
        GPtr<LibmsiRecord> record(libmsi_query_fetch(query.get(), &rawError));
        error.reset(rawError);
        if (!record) break;
        std::unique_ptr<gchar, decltype(&g_free)> name(libmsi_record_get_string(record.get(), 1), g_free);
        std::unique_ptr<gchar, decltype(&g_free)> value(libmsi_record_get_string(record.get(), 2), g_free);
        if (!name) continue;
        out[name.get()] = value ? value.get() : "";
    }
    libmsi_query_close(query.get(), nullptr);
    return true;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

constexpr std::size_t kMaxTableBytes = 64u << 20;
constexpr std::uint32_t kMaxRows = 1u << 20;
constexpr int kChildTimeoutMs = 20000;

// The child's side: reads the table and writes its rows to `fd` as counted
// UTF-8 strings; never returns.
[[noreturn]] void serveTable(const std::filesystem::path& path, int fd, pid_t parent) {
    // A crash here is an answer, not the program's crash: no handler of
    // the parent's (crash reporters, sanitizers) should treat it as one.
    for (const int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::signal(sig, SIG_DFL);
    // Nor may it run the parent's interrupt handler, and it ends with the
    // parent, wherever that is interrupted.
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, SIG_DFL);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    // libmsi and libgsf complain on stderr about every damaged file.
    const int devNull = ::open("/dev/null", O_WRONLY);
    if (devNull >= 0) ::dup2(devNull, STDERR_FILENO);
    std::map<std::string, std::string> table;
    if (!readPropertyTableHere(path, table)) ::_exit(1);
    std::vector<std::uint8_t> bytes;
    ByteWriter w(bytes);
    w.u32(static_cast<std::uint32_t>(table.size()));
    for (const auto& [name, value] : table) {
        w.u32(static_cast<std::uint32_t>(name.size()));
        w.bytes(std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
        w.u32(static_cast<std::uint32_t>(value.size()));
        w.bytes(std::span(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
    }
    ::_exit(writeAll(fd, bytes.data(), bytes.size()) ? 0 : 1);
}

// Everything the child writes until it closes the pipe; false when it takes
// too long or writes too much.
bool readAnswer(int fd, std::vector<std::uint8_t>& bytes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kChildTimeoutMs);
    std::array<std::uint8_t, 65536> buffer{};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (bytes.size() + static_cast<std::size_t>(n) > kMaxTableBytes) return false;
        bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + n);
    }
}

// Waits for the child, ending it first when its answer is not complete;
// true when it ended well.
bool reapChild(pid_t pid, bool complete) {
    if (!complete) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return complete && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool decodeTable(std::span<const std::uint8_t> bytes, std::map<std::u16string, std::u16string>& out) {
    try {
        ByteReader r(bytes);
        const std::uint32_t rows = r.u32();
        if (rows > kMaxRows) return false;
        for (std::uint32_t i = 0; i < rows; ++i) {
            const auto name = r.bytes(r.u32());
            const auto value = r.bytes(r.u32());
            out[utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(name.data()), name.size()))] =
                utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(value.data()), value.size()));
        }
    } catch (const Exception&) {
        return false;
    }
    return true;
}

// libmsi trusts the file it reads and can crash or spin on a damaged one, so
// the table is read in a child process: a crash there only means "no
// package". The rows come back through a pipe.
bool readPropertyTable(const std::filesystem::path& path, std::map<std::u16string, std::u16string>& out) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (pid == 0) {
        ::close(fds[0]);
        serveTable(path, fds[1], parent);
    }
    ::close(fds[1]);
    std::vector<std::uint8_t> bytes;
    const bool complete = readAnswer(fds[0], bytes);
    ::close(fds[0]);
    return reapChild(pid, complete) && decodeTable(bytes, out);
}

} // namespace

std::optional<std::vector<std::u16string>> ReadPackageProperties(const std::u16string& path,
                                                                 std::span<const std::u16string> names) {
    if (path.empty()) return std::nullopt;
    const auto file = pathFromUtf16(path);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return std::nullopt;
    std::map<std::u16string, std::u16string> table;
    if (!readPropertyTable(file, table)) return std::nullopt;
    std::vector<std::u16string> values;
    for (const auto& name : names) {
        const auto found = table.find(name);
        values.push_back(found == table.end() ? std::u16string() : found->second);
    }
    return values;
}

} // namespace pakforge::services
