// Files on Windows: handles with real share modes, rename with write-through.
#include "os/System.h"

#include <windows.h>

#include <limits>

namespace pakforge::os {

namespace {

HANDLE handleOf(FileHandle file) {
    return reinterpret_cast<HANDLE>(file);
}

// One call moves at most this much: ReadFile and WriteFile count in DWORDs.
constexpr std::size_t kMaxChunk = 1u << 30;

} // namespace

OpenResult openFile(const std::filesystem::path& path, OpenMode mode, Share share) {
    DWORD access = 0;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
    case OpenMode::Create:
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        break;
    case OpenMode::OpenRead:
        access = GENERIC_READ;
        break;
    case OpenMode::OpenWrite:
        access = GENERIC_WRITE;
        break;
    case OpenMode::OpenReadWrite:
        access = GENERIC_READ | GENERIC_WRITE;
        break;
    }
    DWORD sharing = 0;
    if (share == Share::DenyNone) sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
    if (share == Share::DenyWrite) sharing = FILE_SHARE_READ;
    const HANDLE file = CreateFileW(path.wstring().c_str(), access, sharing, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {kNoFile, static_cast<ErrorCode>(GetLastError())};
    return {reinterpret_cast<FileHandle>(file), 0};
}

void closeFile(FileHandle file) {
    if (file != kNoFile) CloseHandle(handleOf(file));
}

ErrorCode readFile(FileHandle file, void* buffer, std::size_t count, std::size_t& done) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    done = 0;
    while (done < count) {
        DWORD n = 0;
        const auto want = static_cast<DWORD>(std::min(count - done, kMaxChunk));
        if (!ReadFile(handleOf(file), out + done, want, &n, nullptr)) {
            const DWORD error = GetLastError();
            // The writing end of a pipe closed: that is its end.
            if (error == ERROR_BROKEN_PIPE) break;
            return static_cast<ErrorCode>(error);
        }
        if (n == 0) break;
        done += n;
    }
    return 0;
}

ErrorCode writeFile(FileHandle file, const void* buffer, std::size_t count, std::size_t& done) {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    done = 0;
    while (done < count) {
        DWORD n = 0;
        const auto want = static_cast<DWORD>(std::min(count - done, kMaxChunk));
        if (!WriteFile(handleOf(file), in + done, want, &n, nullptr))
            return static_cast<ErrorCode>(GetLastError());
        if (n == 0) return ERROR_WRITE_FAULT;
        done += n;
    }
    return 0;
}

ErrorCode seekFile(FileHandle file, std::int64_t offset, Whence whence, std::int64_t& position) {
    DWORD method = FILE_BEGIN;
    if (whence == Whence::Current) method = FILE_CURRENT;
    if (whence == Whence::End) method = FILE_END;
    LARGE_INTEGER distance{};
    distance.QuadPart = offset;
    LARGE_INTEGER result{};
    if (!SetFilePointerEx(handleOf(file), distance, &result, method))
        return static_cast<ErrorCode>(GetLastError());
    position = result.QuadPart;
    return 0;
}

ErrorCode fileSize(FileHandle file, std::int64_t& size) {
    LARGE_INTEGER result{};
    if (!GetFileSizeEx(handleOf(file), &result)) return static_cast<ErrorCode>(GetLastError());
    size = result.QuadPart;
    return 0;
}

ErrorCode setFileSize(FileHandle file, std::int64_t size) {
    std::int64_t position = 0;
    std::int64_t ignored = 0;
    if (const ErrorCode error = seekFile(file, 0, Whence::Current, position)) return error;
    if (const ErrorCode error = seekFile(file, size, Whence::Begin, ignored)) return error;
    const ErrorCode error = SetEndOfFile(handleOf(file)) ? 0 : static_cast<ErrorCode>(GetLastError());
    seekFile(file, position, Whence::Begin, ignored);
    return error;
}

ErrorCode flushFile(FileHandle file) {
    if (FlushFileBuffers(handleOf(file))) return 0;
    const DWORD error = GetLastError();
    // A console or pipe has nothing to write through.
    return error == ERROR_INVALID_HANDLE || error == ERROR_INVALID_FUNCTION ? 0
                                                                            : static_cast<ErrorCode>(error);
}

ErrorCode createNewFile(const std::filesystem::path& path) {
    const HANDLE file = CreateFileW(path.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return static_cast<ErrorCode>(GetLastError());
    CloseHandle(file);
    return 0;
}

ErrorCode removeFile(const std::filesystem::path& path) {
    return DeleteFileW(path.wstring().c_str()) ? 0 : static_cast<ErrorCode>(GetLastError());
}

ErrorCode replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (MoveFileExW(from.wstring().c_str(), to.wstring().c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    return static_cast<ErrorCode>(GetLastError());
}

ErrorCode checkWritable(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.wstring().c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return static_cast<ErrorCode>(GetLastError());
    return (attributes & FILE_ATTRIBUTE_READONLY) ? ERROR_ACCESS_DENIED : 0;
}

ErrorCode fileInfo(const std::filesystem::path& path, FileInfo& info) {
    // No access asked for: enough for the identity, and a folder opens too.
    const HANDLE file =
        CreateFileW(path.wstring().c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return static_cast<ErrorCode>(GetLastError());
    BY_HANDLE_FILE_INFORMATION data{};
    const bool disk = GetFileType(file) == FILE_TYPE_DISK;
    const bool ok = disk && GetFileInformationByHandle(file, &data);
    const DWORD error = GetLastError();
    CloseHandle(file);
    info = {};
    if (!disk) return 0; // a device or a pipe: kind Other, no identity
    if (!ok) return static_cast<ErrorCode>(error);
    info.kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::Directory : FileKind::Regular;
    info.volume = data.dwVolumeSerialNumber;
    info.index = (static_cast<std::uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
    return 0;
}

ErrorCode fileModifiedTime(const std::filesystem::path& path, LocalTime& local) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.wstring().c_str(), GetFileExInfoStandard, &data))
        return static_cast<ErrorCode>(GetLastError());
    // The rule of that date, as localtime has it: FileTimeToLocalFileTime
    // would apply today's daylight saving bias to a date in the other season.
    SYSTEMTIME utc{};
    SYSTEMTIME zoned{};
    local = {};
    if (!FileTimeToSystemTime(&data.ftLastWriteTime, &utc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &zoned))
        return 0; // year 0: no date to store
    local.year = zoned.wYear;
    local.month = zoned.wMonth;
    local.day = zoned.wDay;
    local.hour = zoned.wHour;
    local.minute = zoned.wMinute;
    local.second = zoned.wSecond;
    return 0;
}

} // namespace pakforge::os
