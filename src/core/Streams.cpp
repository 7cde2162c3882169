#include "core/Streams.h"

#include "core/Exceptions.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace pakforge {

void Stream::readBuffer(void* buffer, std::size_t count) {
    if (count != 0 && read(buffer, count) != count) throw EReadError(kStreamReadError);
}

void Stream::writeBuffer(const void* buffer, std::size_t count) {
    if (count != 0 && write(buffer, count) != count) throw EWriteError(kStreamWriteError);
}

std::int64_t Stream::copyFrom(Stream& source, std::int64_t count) {
    if (count == 0) {
        source.setPosition(0);
        count = source.size();
    }
    if (count < 0) throw EReadError(kStreamReadError);
    constexpr std::size_t kChunk = 1 << 16;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::int64_t>(count, kChunk)));
    std::int64_t left = count;
    while (left > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::int64_t>(left, kChunk));
        source.readBuffer(buffer.data(), n);
        writeBuffer(buffer.data(), n);
        left -= static_cast<std::int64_t>(n);
    }
    return count;
}

// ---------------------------------------------------------------------------

std::size_t MemoryStream::read(void* buffer, std::size_t count) {
    if (position_ >= data_.size()) return 0;
    const std::size_t n = std::min(count, data_.size() - position_);
    std::memcpy(buffer, data_.data() + position_, n);
    position_ += n;
    return n;
}

std::size_t MemoryStream::write(const void* buffer, std::size_t count) {
    if (count == 0) return 0;
    if (count > std::numeric_limits<std::size_t>::max() - position_) throw EOutOfMemory("Out of memory");
    const std::size_t end = position_ + count;
    try {
        if (end > data_.size()) {
            if (end > data_.capacity()) data_.reserve(std::max(end, data_.capacity() * 3 / 2));
            data_.resize(end);
        }
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory("Out of memory");
    }
    std::memcpy(data_.data() + position_, buffer, count);
    position_ = end;
    return count;
}

std::int64_t MemoryStream::seek(std::int64_t offset, SeekOrigin origin) {
    std::int64_t base = 0;
    switch (origin) {
    case SeekOrigin::Begin:
        base = 0;
        break;
    case SeekOrigin::Current:
        base = static_cast<std::int64_t>(position_);
        break;
    case SeekOrigin::End:
        base = static_cast<std::int64_t>(data_.size());
        break;
    }
    const std::int64_t target = base + offset;
    position_ = target < 0 ? 0 : static_cast<std::size_t>(target);
    return static_cast<std::int64_t>(position_);
}

void MemoryStream::setSize(std::int64_t newSize) {
    if (newSize < 0) throw ERangeError(kRangeCheckError);
    try {
        data_.resize(static_cast<std::size_t>(newSize));
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory("Out of memory");
    } catch (const std::length_error&) {
        throw EOutOfMemory("Out of memory");
    }
    position_ = std::min(position_, data_.size());
}

void MemoryStream::clear() {
    data_.clear();
    data_.shrink_to_fit();
    position_ = 0;
}

std::vector<std::uint8_t> MemoryStream::release() {
    position_ = 0;
    return std::exchange(data_, {});
}

void MemoryStream::loadFromFile(const std::filesystem::path& path) {
    FileStream file(path, FileStream::Mode::OpenRead, FileStream::Share::DenyWrite);
    loadFromStream(file);
}

void MemoryStream::loadFromStream(Stream& source) {
    source.setPosition(0);
    const std::int64_t n = source.size();
    if (n < 0 || static_cast<std::uint64_t>(n) > std::numeric_limits<std::size_t>::max())
        throw EOutOfMemory("Out of memory");
    std::vector<std::uint8_t> bytes;
    try {
        bytes.resize(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory("Out of memory");
    }
    source.readBuffer(bytes.data(), bytes.size());
    data_ = std::move(bytes);
    position_ = 0;
}

void MemoryStream::saveToFile(const std::filesystem::path& path) const {
    FileStream file(path, FileStream::Mode::Create);
    saveToStream(file);
}

void MemoryStream::saveToStream(Stream& destination) const {
    destination.writeBuffer(data_.data(), data_.size());
}

// ---------------------------------------------------------------------------

FileStream::FileStream(const std::filesystem::path& path, Mode mode, Share share,
                       const std::filesystem::path& shownAs)
    : path_(path) {
    int flags = O_CLOEXEC;
    switch (mode) {
    case Mode::Create:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    case Mode::OpenRead:
        flags |= O_RDONLY;
        break;
    case Mode::OpenWrite:
        flags |= O_WRONLY;
        break;
    case Mode::OpenReadWrite:
        flags |= O_RDWR;
        break;
    }
    const bool creating = mode == Mode::Create;
    const auto& name = shownAs.empty() ? path : shownAs;
    const auto fail = [&](int error) {
        if (creating) raiseCreateError(name, error);
        raiseOpenError(name, error);
    };

    std::error_code ec;
    if (!creating && std::filesystem::is_directory(path, ec)) fail(EISDIR);
    do {
        fd_ = ::open(path.c_str(), flags, 0666);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) fail(errno);

    if (share != Share::DenyNone) {
        const bool exclusive = share == Share::Exclusive || mode != Mode::OpenRead;
        if (::flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
            const int error = errno == EWOULDBLOCK ? EBUSY : errno;
            ::close(fd_);
            fd_ = -1;
            fail(error);
        }
    }
}

FileStream::~FileStream() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t FileStream::read(void* buffer, std::size_t count) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd_, out + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::size_t FileStream::write(const void* buffer, std::size_t count) {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, in + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::int64_t FileStream::seek(std::int64_t offset, SeekOrigin origin) {
    int whence = SEEK_SET;
    if (origin == SeekOrigin::Current) whence = SEEK_CUR;
    if (origin == SeekOrigin::End) whence = SEEK_END;
    const off_t result = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (result < 0) raiseLastOSError();
    return result;
}

std::int64_t FileStream::size() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) raiseLastOSError();
    return st.st_size;
}

void FileStream::setSize(std::int64_t newSize) {
    if (::ftruncate(fd_, static_cast<off_t>(newSize)) != 0) raiseLastOSError();
    if (position() > newSize) setPosition(newSize);
}

void FileStream::flush() {
    if (::fsync(fd_) != 0 && errno != EINVAL) raiseLastOSError();
}

// ---------------------------------------------------------------------------

std::vector<std::uint8_t> readWholeFile(const std::filesystem::path& path) {
    MemoryStream stream;
    stream.loadFromFile(path);
    return stream.release();
}

void writeWholeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    FileStream file(path, FileStream::Mode::Create);
    file.writeBuffer(bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------

PendingFile::PendingFile(std::filesystem::path target, std::filesystem::path shownAs)
    : target_(std::move(target)), shownAs_(shownAs.empty() ? target_ : std::move(shownAs)) {
    std::random_device random;
    const auto folder = target_.has_parent_path() ? target_.parent_path() : std::filesystem::path(".");
    for (int attempt = 0;; ++attempt) {
        const auto candidate = folder / ("." + target_.filename().string() + "." +
                                         std::to_string(random() % 1000000000u) + ".tmp");
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            temp_ = candidate;
            return;
        }
        if (errno != EEXIST || attempt > 100) raiseCreateError(shownAs_, errno);
    }
}

std::unique_ptr<FileStream> PendingFile::open(FileStream::Mode mode, FileStream::Share share) const {
    return std::make_unique<FileStream>(temp_, mode, share, shownAs_);
}

PendingFile::~PendingFile() {
    if (!committed_) ::unlink(temp_.c_str());
}

void PendingFile::commit() {
    // Keep the mode an existing target had; a new file keeps the mode the
    // temporary file was created with, which the umask already shaped.
    struct stat st {};
    if (::stat(target_.c_str(), &st) == 0) ::chmod(temp_.c_str(), st.st_mode & 07777);
    if (::rename(temp_.c_str(), target_.c_str()) != 0) raiseCreateError(shownAs_, errno);
    committed_ = true;
}

} // namespace pakforge
