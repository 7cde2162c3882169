// The operating system as the core sees it: files, renames, error texts, the
// program's own path, text comparison and local time. One implementation per
// system (posix/, win32/). Results come back with the OS error code (errno on
// POSIX, GetLastError on Windows), never as exceptions, so that the callers
// word the failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace pakforge::os {

// 0 means success.
using ErrorCode = int;

// Failures the core names itself, as this system's error code.
enum class Error { NotFound, AccessDenied, IsDirectory, AlreadyExists };
ErrorCode errorCode(Error error);
// The code of the last failed call on this thread.
ErrorCode lastError();
// The system's own text for a code, without a trailing line break.
std::string errorText(ErrorCode code);

// --- Files --------------------------------------------------------------

using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

enum class OpenMode {
    Create,        // create or truncate, read and write
    OpenRead,      // existing file, read only
    OpenWrite,     // existing file, write only
    OpenReadWrite, // existing file
};
// What other openers may do while the file is open. Windows enforces it;
// POSIX keeps it with advisory locks among cooperating openers.
enum class Share { DenyNone, DenyWrite, Exclusive };

struct OpenResult {
    FileHandle file = kNoFile;
    ErrorCode error = 0;
};
OpenResult openFile(const std::filesystem::path& path, OpenMode mode, Share share);
void closeFile(FileHandle file);

// Move up to count bytes; done tells how many moved, also on failure.
ErrorCode readFile(FileHandle file, void* buffer, std::size_t count, std::size_t& done);
ErrorCode writeFile(FileHandle file, const void* buffer, std::size_t count, std::size_t& done);
enum class Whence { Begin, Current, End };
ErrorCode seekFile(FileHandle file, std::int64_t offset, Whence whence, std::int64_t& position);
ErrorCode fileSize(FileHandle file, std::int64_t& size);
// Cuts or extends the file; the position is left where it was.
ErrorCode setFileSize(FileHandle file, std::int64_t size);
// Down to the disk.
ErrorCode flushFile(FileHandle file);

// Creates a new empty file, failing with Error::AlreadyExists when one is
// there.
ErrorCode createNewFile(const std::filesystem::path& path);
ErrorCode removeFile(const std::filesystem::path& path);
// Renames from over to, replacing what is there in one step. POSIX keeps the
// permission bits an existing target had.
ErrorCode replaceFile(const std::filesystem::path& from, const std::filesystem::path& to);
// Whether this process may write the existing file.
ErrorCode checkWritable(const std::filesystem::path& path);

// What a name leads to, links followed. Two names are one file when their
// volume and index agree (device and inode; volume serial number and file
// index), whatever links, dots or letter case lie between.
enum class FileKind { Regular, Directory, Other }; // Other: FIFOs, devices, sockets
struct FileInfo {
    FileKind kind = FileKind::Other;
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool sameFile(const FileInfo& other) const { return volume == other.volume && index == other.index; }
};
// Never blocks on a FIFO nor opens a device.
ErrorCode fileInfo(const std::filesystem::path& path, FileInfo& info);

// Temporary files that a signal ending the process removes on its way out
// (see catchInterrupts). A handful at a time; a path that does not fit is not
// kept, and then only the process's own clean-up removes it.
void removeOnInterrupt(const std::filesystem::path& path);
void keepOnInterrupt(const std::filesystem::path& path);

struct LocalTime {
    int year = 0;  // e.g. 2026
    int month = 0; // 1..12
    int day = 0;   // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0; // 0..59
};
// The file's last-write time in the local time of that date (its own
// daylight saving rule, not today's).
ErrorCode fileModifiedTime(const std::filesystem::path& path, LocalTime& local);

// --- Process ------------------------------------------------------------

// The running program's own executable.
ErrorCode programPath(std::filesystem::path& path);
// The platform's full-path rule: relative paths resolve against the current
// folder, dots are folded; an absolute path keeps its meaning.
ErrorCode fullPath(const std::filesystem::path& path, std::filesystem::path& full);
// An environment variable as UTF-8; none when unset.
std::optional<std::string> environmentVariable(const char* name);

// --- Text and time ------------------------------------------------------

// Names compared as the user's locale does, ignoring case: negative, zero or
// positive. Text that differs in more than case never compares equal.
int compareTextIgnoreCase(std::u16string_view a, std::u16string_view b);
// The upper case of one code point (simple mapping).
char32_t upperCase(char32_t codePoint);
// The time of day in the user's long time format, as UTF-8.
std::string localTimeText();

} // namespace pakforge::os
