#include "core/Streams.h"

#include "core/Exceptions.h"
#include "core/Utf16.h"
#include "os/System.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
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

// The stream's names for modes and origins are the platform's, in its order.
static_assert(static_cast<int>(FileStream::Mode::OpenReadWrite) ==
              static_cast<int>(os::OpenMode::OpenReadWrite));
static_assert(static_cast<int>(FileStream::Share::Exclusive) == static_cast<int>(os::Share::Exclusive));
static_assert(static_cast<int>(SeekOrigin::End) == static_cast<int>(os::Whence::End));
static_assert(os::kNoFile == -1);

FileStream::FileStream(const std::filesystem::path& path, Mode mode, Share share,
                       const std::filesystem::path& shownAs)
    : path_(path) {
    const bool creating = mode == Mode::Create;
    const auto& name = shownAs.empty() ? path : shownAs;
    const auto fail = [&](int error) {
        if (creating) raiseCreateError(name, error);
        raiseOpenError(name, error);
    };

    std::error_code ec;
    if (!creating && std::filesystem::is_directory(path, ec)) fail(os::errorCode(os::Error::IsDirectory));
    const auto opened = os::openFile(path, static_cast<os::OpenMode>(mode), static_cast<os::Share>(share));
    if (opened.error != 0) fail(opened.error);
    file_ = opened.file;
}

FileStream::~FileStream() {
    os::closeFile(file_);
}

std::size_t FileStream::read(void* buffer, std::size_t count) {
    std::size_t done = 0;
    os::readFile(file_, buffer, count, done); // a short count is the failure
    return done;
}

std::size_t FileStream::write(const void* buffer, std::size_t count) {
    std::size_t done = 0;
    // The system's reason travels with the error, so that a full disk can be
    // told from other failures.
    if (const auto error = os::writeFile(file_, buffer, count, done))
        throw EWriteError(kStreamWriteError, error);
    return done;
}

std::int64_t FileStream::seek(std::int64_t offset, SeekOrigin origin) {
    std::int64_t position = 0;
    if (const auto error = os::seekFile(file_, offset, static_cast<os::Whence>(origin), position))
        raiseOSError(error);
    return position;
}

std::int64_t FileStream::size() {
    std::int64_t size = 0;
    if (const auto error = os::fileSize(file_, size)) raiseOSError(error);
    return size;
}

void FileStream::setSize(std::int64_t newSize) {
    if (const auto error = os::setFileSize(file_, newSize)) raiseOSError(error);
    if (position() > newSize) setPosition(newSize);
}

void FileStream::flush() {
    if (const auto error = os::flushFile(file_)) raiseOSError(error);
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
    const std::string leaf = pathToUtf8(target_.filename());
    for (int attempt = 0;; ++attempt) {
        const auto candidate =
            folder / pathFromUtf8("." + leaf + "." + std::to_string(random() % 1000000000u) + ".tmp");
        // Known to the signal handler before it exists, so no moment is left
        // in which an interrupt would leave it behind.
        os::removeOnInterrupt(candidate);
        const auto error = os::createNewFile(candidate);
        if (error == 0) {
            temp_ = candidate;
            return;
        }
        os::keepOnInterrupt(candidate);
        if (error != os::errorCode(os::Error::AlreadyExists) || attempt > 100)
            raiseCreateError(shownAs_, error);
    }
}

std::unique_ptr<FileStream> PendingFile::open(FileStream::Mode mode, FileStream::Share share) const {
    return std::make_unique<FileStream>(temp_, mode, share, shownAs_);
}

PendingFile::~PendingFile() {
    if (!committed_) os::removeFile(temp_);
    os::keepOnInterrupt(temp_);
}

void PendingFile::commit() {
    if (const auto error = os::replaceFile(temp_, target_)) raiseCreateError(shownAs_, error);
    committed_ = true;
    os::keepOnInterrupt(temp_);
}

void refuseOutputOverInput(const std::filesystem::path& output, const std::filesystem::path& input,
                           const std::string& role) {
    os::FileInfo in;
    os::FileInfo out;
    if (os::fileInfo(input, in) != 0 || os::fileInfo(output, out) != 0) return; // no file, nothing to lose
    if (in.kind == os::FileKind::Regular && in.sameFile(out))
        throw Exception("The output \"" + pathToUtf8(output) + "\" is the " + role + " \"" +
                        pathToUtf8(input) + "\" itself: choose another output path.");
}

} // namespace pakforge
