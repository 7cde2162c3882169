// The one-entry ZIP archive appended to every built executable. Only writing
// is needed; offsets are absolute positions in the output stream, so the
// archive reads in place behind the stub.
#pragma once

#include "compiler/ParallelDeflate.h"
#include "core/Exceptions.h"
#include "core/Streams.h"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pakforge {

inline constexpr const char* kZipWriteError = "Error writing zip file";

struct TZipHeader {
    std::uint16_t MadeByVersion = 0;
    std::uint16_t RequiredVersion = 0;
    std::uint16_t Flag = 0;
    std::uint16_t CompressionMethod = 0;
    std::uint32_t ModifiedDateTime = 0;
    std::uint32_t CRC32 = 0;
    std::uint32_t CompressedSize = 0;
    std::uint32_t UncompressedSize = 0;
    std::uint16_t FileNameLength = 0;
    std::uint16_t ExtraFieldLength = 0;
    std::uint16_t FileCommentLength = 0;
    std::uint16_t DiskNumberStart = 0;
    std::uint16_t InternalAttributes = 0;
    std::uint32_t ExternalAttributes = 0;
    std::uint32_t LocalHeaderOffset = 0;
    std::string FileName; // UTF-8 bytes
    std::vector<std::uint8_t> ExtraField;
    std::string FileComment;

    // The 42 bytes after the central directory signature.
    std::vector<std::uint8_t> centralFixedPart() const;
    // The 26 bytes after the local header signature.
    std::vector<std::uint8_t> localFixedPart() const;
};

// MS-DOS date (high 16 bits) and time (low 16 bits) of a broken-down local
// time; 0 outside 1980..2107. Seconds are rounded down to an even number.
std::uint32_t dosDateTime(const std::tm& local);
// The file's last-write time in local time, in MS-DOS form.
std::uint32_t fileDosDateTime(const std::filesystem::path& path);

// The entry name the archive uses for a path: what follows the last
// backslash, colon or slash.
std::u16string archiveNameOf(const std::filesystem::path& path);

class TZipFile {
  public:
    enum class Mode { Closed, Write };
    // Bytes of the package compressed so far, and its size.
    using ProgressEvent = std::function<void(std::uint64_t done, std::uint64_t total)>;

    TZipFile() = default;
    TZipFile(const TZipFile&) = delete;
    TZipFile& operator=(const TZipFile&) = delete;
    ~TZipFile();

    // Borrows the stream; the archive starts at its current position.
    void open(Stream& stream);
    // Adds one file; an empty name takes the path's own file name. Only
    // method 8 (deflate) is written.
    void addFile(const std::filesystem::path& path, const std::u16string& nameInArchive = {},
                 std::uint16_t compression = 8);
    // Writes the central directory and end record when open; always ends
    // closed with the stream forgotten.
    void close();

    Mode mode() const { return mode_; }
    const std::vector<TZipHeader>& entries() const { return entries_; }
    ProgressEvent onProgress;
    // How the entries are deflated; the default keeps one zlib stream.
    DeflateOptions deflateOptions;
    // How an added file is held while it is read.
    FileStream::Share sourceShare = FileStream::Share::Exclusive;
    // Seconds since 1970-01-01 UTC to store as every entry's time, in UTC,
    // instead of the file's local modification time: the same bytes on
    // every machine and checkout.
    std::optional<std::int64_t> fixedTime;

  private:
    void writeChecked(const void* data, std::size_t count);
    void writeEntry(Stream& source, std::uint64_t sourceSize, TZipHeader& header);
    std::uint32_t deflateOneStream(Stream& source, std::uint64_t total);

    Stream* stream_ = nullptr;
    Mode mode_ = Mode::Closed;
    std::int64_t endOfData_ = 0;
    std::vector<TZipHeader> entries_;
};

} // namespace pakforge
