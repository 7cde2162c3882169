// Byte streams: an abstract stream with a position, a growable memory stream
// and a file stream. Read/write helpers raise the usual stream errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

namespace pakforge {

enum class SeekOrigin { Begin, Current, End };

class Stream {
  public:
    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    virtual ~Stream() = default;

    // Reads or writes up to count bytes; returns how many were moved.
    virtual std::size_t read(void* buffer, std::size_t count) = 0;
    virtual std::size_t write(const void* buffer, std::size_t count) = 0;
    // Returns the new position. Seeking past the end is allowed.
    virtual std::int64_t seek(std::int64_t offset, SeekOrigin origin) = 0;
    virtual std::int64_t size() = 0;
    virtual void setSize(std::int64_t newSize) = 0;

    std::int64_t position() { return seek(0, SeekOrigin::Current); }
    void setPosition(std::int64_t pos) { seek(pos, SeekOrigin::Begin); }

    // All or nothing: raise EReadError "Stream read error" / EWriteError.
    void readBuffer(void* buffer, std::size_t count);
    void writeBuffer(const void* buffer, std::size_t count);
    void writeBytes(std::span<const std::uint8_t> bytes) { writeBuffer(bytes.data(), bytes.size()); }

    // Copies count bytes from source's position; count 0 copies the whole
    // source from its start. Raises EReadError when the source runs short.
    std::int64_t copyFrom(Stream& source, std::int64_t count);
};

class MemoryStream : public Stream {
  public:
    MemoryStream() = default;
    explicit MemoryStream(std::vector<std::uint8_t> bytes) : data_(std::move(bytes)) {}

    std::size_t read(void* buffer, std::size_t count) override;
    std::size_t write(const void* buffer, std::size_t count) override;
    std::int64_t seek(std::int64_t offset, SeekOrigin origin) override;
    std::int64_t size() override { return static_cast<std::int64_t>(data_.size()); }
    void setSize(std::int64_t newSize) override;

    void clear();
    std::uint8_t* memory() { return data_.data(); }
    const std::uint8_t* memory() const { return data_.data(); }
    std::span<const std::uint8_t> bytes() const { return data_; }
    std::span<std::uint8_t> bytes() { return data_; }
    const std::vector<std::uint8_t>& vector() const { return data_; }
    std::vector<std::uint8_t> release();

    // Replaces the content with the whole file / the rest of a stream; the
    // position ends at 0.
    void loadFromFile(const std::filesystem::path& path);
    void loadFromStream(Stream& source);
    // Writes the whole content, whatever the position.
    void saveToFile(const std::filesystem::path& path) const;
    void saveToStream(Stream& destination) const;

  private:
    std::vector<std::uint8_t> data_;
    std::size_t position_ = 0;
};

class FileStream : public Stream {
  public:
    enum class Mode {
        Create,        // create or truncate, read and write
        OpenRead,      // existing file, read only
        OpenWrite,     // existing file, write only
        OpenReadWrite, // existing file
    };
    // What other openers may do meanwhile. Windows enforces it; POSIX has no
    // mandatory sharing, so there it is kept with advisory locks among
    // cooperating openers.
    enum class Share { DenyNone, DenyWrite, Exclusive };

    // shownAs, when given, is the name errors use instead of path (a
    // temporary file stands in for the output the user named).
    FileStream(const std::filesystem::path& path, Mode mode, Share share = Share::DenyNone,
               const std::filesystem::path& shownAs = {});
    ~FileStream() override;

    std::size_t read(void* buffer, std::size_t count) override;
    std::size_t write(const void* buffer, std::size_t count) override;
    std::int64_t seek(std::int64_t offset, SeekOrigin origin) override;
    std::int64_t size() override;
    void setSize(std::int64_t newSize) override;

    void flush();
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    std::intptr_t file_ = -1; // the OS's handle
};

// Whole-file helpers.
std::vector<std::uint8_t> readWholeFile(const std::filesystem::path& path);
void writeWholeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// A file that appears at its final path only when complete: the work is done
// in a temporary file beside it, which commit() renames over the target and
// the destructor removes when commit() was never reached. Errors name
// shownAs (by default the target), never the temporary file.
class PendingFile {
  public:
    explicit PendingFile(std::filesystem::path target, std::filesystem::path shownAs = {});
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile();

    const std::filesystem::path& tempPath() const { return temp_; }
    const std::filesystem::path& target() const { return target_; }
    const std::filesystem::path& shownAs() const { return shownAs_; }
    // Opens the temporary file; its errors name shownAs().
    std::unique_ptr<FileStream> open(FileStream::Mode mode,
                                     FileStream::Share share = FileStream::Share::DenyNone) const;
    void commit();

  private:
    std::filesystem::path target_;
    std::filesystem::path shownAs_;
    std::filesystem::path temp_;
    bool committed_ = false;
};

// Refuses an output that is one of the inputs under whatever name (links,
// "..", letter case): renaming the finished output over it would lose the
// input. `role` names the input in the message ("package", "container").
void refuseOutputOverInput(const std::filesystem::path& output, const std::filesystem::path& input,
                           const std::string& role);

} // namespace pakforge
