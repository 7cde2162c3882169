// Files on POSIX: descriptors, advisory locks for the share modes, rename.
#include "os/System.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pakforge::os {

OpenResult openFile(const std::filesystem::path& path, OpenMode mode, Share share) {
    int flags = O_CLOEXEC;
    switch (mode) {
    case OpenMode::Create:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    case OpenMode::OpenRead:
        flags |= O_RDONLY;
        break;
    case OpenMode::OpenWrite:
        flags |= O_WRONLY;
        break;
    case OpenMode::OpenReadWrite:
        flags |= O_RDWR;
        break;
    }
    int fd = -1;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return {kNoFile, errno};

    if (share != Share::DenyNone) {
        // A writer keeps others out entirely: flock has no "others may read
        // but not write" for the one who writes.
        const bool exclusive = share == Share::Exclusive || mode != OpenMode::OpenRead;
        if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
            const int error = errno == EWOULDBLOCK ? EBUSY : errno;
            ::close(fd);
            return {kNoFile, error};
        }
    }
    return {fd, 0};
}

void closeFile(FileHandle file) {
    if (file != kNoFile) ::close(static_cast<int>(file));
}

ErrorCode readFile(FileHandle file, void* buffer, std::size_t count, std::size_t& done) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    done = 0;
    while (done < count) {
        const ssize_t n = ::read(static_cast<int>(file), out + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

ErrorCode writeFile(FileHandle file, const void* buffer, std::size_t count, std::size_t& done) {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    done = 0;
    while (done < count) {
        const ssize_t n = ::write(static_cast<int>(file), in + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

ErrorCode seekFile(FileHandle file, std::int64_t offset, Whence whence, std::int64_t& position) {
    int how = SEEK_SET;
    if (whence == Whence::Current) how = SEEK_CUR;
    if (whence == Whence::End) how = SEEK_END;
    const off_t result = ::lseek(static_cast<int>(file), static_cast<off_t>(offset), how);
    if (result < 0) return errno;
    position = result;
    return 0;
}

ErrorCode fileSize(FileHandle file, std::int64_t& size) {
    struct stat st {};
    if (::fstat(static_cast<int>(file), &st) != 0) return errno;
    size = st.st_size;
    return 0;
}

ErrorCode setFileSize(FileHandle file, std::int64_t size) {
    return ::ftruncate(static_cast<int>(file), static_cast<off_t>(size)) == 0 ? 0 : errno;
}

ErrorCode flushFile(FileHandle file) {
    // Pipes and special files cannot be synced; nothing is lost there.
    if (::fsync(static_cast<int>(file)) != 0 && errno != EINVAL) return errno;
    return 0;
}

ErrorCode createNewFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

ErrorCode removeFile(const std::filesystem::path& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

ErrorCode replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    // A new file keeps the mode it was created with, which the umask shaped.
    struct stat st {};
    if (::stat(to.c_str(), &st) == 0) ::chmod(from.c_str(), st.st_mode & 07777);
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

ErrorCode checkWritable(const std::filesystem::path& path) {
    return ::access(path.c_str(), W_OK) == 0 ? 0 : errno;
}

ErrorCode fileInfo(const std::filesystem::path& path, FileInfo& info) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return errno;
    info.kind = S_ISREG(st.st_mode)   ? FileKind::Regular
                : S_ISDIR(st.st_mode) ? FileKind::Directory
                                      : FileKind::Other;
    info.volume = static_cast<std::uint64_t>(st.st_dev);
    info.index = static_cast<std::uint64_t>(st.st_ino);
    return 0;
}

ErrorCode fileModifiedTime(const std::filesystem::path& path, LocalTime& local) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return errno;
    const std::time_t seconds = st.st_mtim.tv_sec;
    std::tm tm{};
    local = {};
    if (!::localtime_r(&seconds, &tm)) return 0; // year 0: no date to store

    local.year = tm.tm_year + 1900;
    local.month = tm.tm_mon + 1;
    local.day = tm.tm_mday;
    local.hour = tm.tm_hour;
    local.minute = tm.tm_min;
    // A leap second counts as the 59th, as Windows reports it.
    local.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
    return 0;
}

} // namespace pakforge::os
