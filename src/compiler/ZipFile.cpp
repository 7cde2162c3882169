#include "compiler/ZipFile.h"

#include "core/ByteIO.h"
#include "core/Utf16.h"
#include "os/System.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <exception>
#include <memory>

namespace pakforge {

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::size_t kReadBlock = 61440;
constexpr std::size_t kOutBlock = 65536;
constexpr std::uint64_t kMax32 = 0xFFFFFFFFu;

std::string tooLargeMessage(const std::filesystem::path& path, std::uint64_t size) {
    return "The package \"" + pathToUtf8(path) + "\" is too large (" + std::to_string(size) +
           " bytes): the archive appended to the executable holds packages under 4 GiB only";
}

std::string pastLimitMessage(const std::filesystem::path& path) {
    return "The executable would pass 4 GiB with the package \"" + pathToUtf8(path) +
           "\" appended, more than its archive can address; use a smaller package";
}

// zlib's stream with guaranteed deflateEnd.
class Deflater {
  public:
    Deflater() {
        const int rc = deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        if (rc != Z_OK) fail(rc);
        ready_ = true;
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    ~Deflater() {
        if (ready_) deflateEnd(&z_);
    }
    z_stream& stream() { return z_; }
    [[noreturn]] void fail(int rc) const { throw EZCompressionError(z_.msg ? z_.msg : zError(rc)); }

  private:
    z_stream z_{};
    bool ready_ = false;
};

} // namespace

std::vector<std::uint8_t> TZipHeader::centralFixedPart() const {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.u16(MadeByVersion);
    w.u16(RequiredVersion);
    w.u16(Flag);
    w.u16(CompressionMethod);
    w.u32(ModifiedDateTime);
    w.u32(CRC32);
    w.u32(CompressedSize);
    w.u32(UncompressedSize);
    w.u16(FileNameLength);
    w.u16(ExtraFieldLength);
    w.u16(FileCommentLength);
    w.u16(DiskNumberStart);
    w.u16(InternalAttributes);
    w.u32(ExternalAttributes);
    w.u32(LocalHeaderOffset);
    return out;
}

std::vector<std::uint8_t> TZipHeader::localFixedPart() const {
    auto central = centralFixedPart();
    // The local header's fixed part is the central one's bytes 2..27.
    return {central.begin() + 2, central.begin() + 28};
}

std::uint32_t dosDateTime(const std::tm& local) {
    const int year = local.tm_year + 1900;
    if (year < 1980 || year > 2107) return 0;
    // A leap second (60) would be stored as 30, which readers take for an
    // invalid time; Windows never reports a 60th second, so it counts as 59.
    const int seconds = std::min(local.tm_sec, 59);
    const auto time = static_cast<std::uint32_t>(seconds / 2 + local.tm_min * 32 + local.tm_hour * 2048);
    const auto date =
        static_cast<std::uint32_t>(local.tm_mday + (local.tm_mon + 1) * 32 + (year - 1980) * 512);
    return (date << 16) | (time & 0xFFFF);
}

std::uint32_t fileDosDateTime(const std::filesystem::path& path) {
    os::LocalTime time;
    if (const auto error = os::fileModifiedTime(path, time)) raiseOSError(error);
    std::tm local{};
    local.tm_year = time.year - 1900;
    local.tm_mon = time.month - 1;
    local.tm_mday = time.day;
    local.tm_hour = time.hour;
    local.tm_min = time.minute;
    local.tm_sec = time.second;
    return dosDateTime(local);
}

// The UTC calendar of a count of seconds since 1970 (days to civil date
// after Howard Hinnant's algorithm), with no time-zone library involved.
std::uint32_t utcDosDateTime(std::int64_t seconds) {
    const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const std::int64_t secondOfDay = seconds - days * 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    std::tm utc{};
    utc.tm_mday = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    utc.tm_mon = static_cast<int>(monthIndex < 10 ? monthIndex + 2 : monthIndex - 10);
    const std::int64_t year = yearOfEra + era * 400 + (utc.tm_mon <= 1 ? 1 : 0);
    if (year < 1980 || year > 2107) return 0;
    utc.tm_year = static_cast<int>(year - 1900);
    utc.tm_hour = static_cast<int>(secondOfDay / 3600);
    utc.tm_min = static_cast<int>(secondOfDay / 60 % 60);
    utc.tm_sec = static_cast<int>(secondOfDay % 60);
    return dosDateTime(utc);
}

std::u16string archiveNameOf(const std::filesystem::path& path) {
    std::u16string name = pathToUtf16(path.filename());
    const auto cut = name.find_last_of(u"\\:/");
    if (cut != std::u16string::npos) name.erase(0, cut + 1);
    return name;
}

TZipFile::~TZipFile() {
    try {
        close();
    } catch (...) {
        // A destructor must not throw; callers that care close() themselves.
    }
}

void TZipFile::open(Stream& stream) {
    stream_ = &stream;
    endOfData_ = stream.position();
    mode_ = Mode::Write;
}

void TZipFile::writeChecked(const void* data, std::size_t count) {
    if (count == 0) return;
    std::size_t written = 0;
    try {
        written = stream_->write(data, count);
    } catch (const Exception&) {
        // The stream's reason (a full disk) stays reachable behind ours.
        std::throw_with_nested(EZipException(kZipWriteError));
    }
    if (written != count) throw EZipException(kZipWriteError);
}

void TZipFile::addFile(const std::filesystem::path& path, const std::u16string& nameInArchive,
                       std::uint16_t compression) {
    if (mode_ != Mode::Write || !stream_) throw EZipException("The zip file is not open for writing");
    if (compression != 8) throw EZipException("Unsupported compression method");

    TZipHeader header;
    FileStream source(path, FileStream::Mode::OpenRead, sourceShare);
    header.CompressionMethod = compression;
    header.ModifiedDateTime = fixedTime ? utcDosDateTime(*fixedTime) : fileDosDateTime(path);
    const auto size = static_cast<std::uint64_t>(source.size());

    const std::u16string name = nameInArchive.empty() ? archiveNameOf(path) : nameInArchive;
    header.Flag = 0x0800;
    header.FileName = utf16ToUtf8(name);
    if (header.FileName.size() > 0xFFFF) throw EZipException("The file name is too long for a zip entry");

    // No ZIP64 records: refuse before anything of the entry is written when a
    // size or an offset could pass 32 bits.
    std::uint64_t bound = chunkedDeflateBound(size);
    if (!deflateOptions.chunked) {
        z_stream probe{};
        deflateInit2(&probe, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        bound = deflateBound(&probe, static_cast<uLong>(size));
        deflateEnd(&probe);
    }
    const auto start = static_cast<std::uint64_t>(endOfData_);
    if (size > kMax32) throw EZipException(tooLargeMessage(path, size));
    if (start + 30 + header.FileName.size() + bound > kMax32) throw EZipException(pastLimitMessage(path));
    header.UncompressedSize = static_cast<std::uint32_t>(size);

    writeEntry(source, size, header);
}

void TZipFile::writeEntry(Stream& source, std::uint64_t sourceSize, TZipHeader& header) {
    Stream& out = *stream_;
    out.setPosition(endOfData_);
    header.LocalHeaderOffset = static_cast<std::uint32_t>(endOfData_);
    header.MadeByVersion = std::max<std::uint16_t>(header.MadeByVersion, 20);
    header.RequiredVersion = std::max<std::uint16_t>(header.RequiredVersion, 20);
    header.FileNameLength = static_cast<std::uint16_t>(header.FileName.size());
    header.ExtraFieldLength = static_cast<std::uint16_t>(header.ExtraField.size());
    header.FileCommentLength = static_cast<std::uint16_t>(header.FileComment.size());

    std::array<std::uint8_t, 4> sig{};
    storeLE32(sig.data(), kLocalSignature);
    writeChecked(sig.data(), sig.size());
    const auto fixed = header.localFixedPart();
    writeChecked(fixed.data(), fixed.size());
    writeChecked(header.FileName.data(), header.FileName.size());
    writeChecked(header.ExtraField.data(), header.ExtraField.size());

    const std::int64_t dataStart = out.position();
    const std::int64_t sourceStart = source.position();
    const std::uint64_t total = sourceSize - static_cast<std::uint64_t>(sourceStart);

    std::uint32_t crc = 0;
    if (deflateOptions.chunked) {
        crc = chunkedDeflate(source, total, out, deflateOptions, [&](std::uint64_t done) {
            if (onProgress) onProgress(done, total);
        });
    } else {
        crc = deflateOneStream(source, total);
    }

    const std::int64_t dataEnd = out.position();
    const auto compressed = static_cast<std::uint64_t>(dataEnd - dataStart);
    if (static_cast<std::uint64_t>(dataEnd) > kMax32 || compressed > kMax32)
        throw EZipException("The executable would pass 4 GiB, more than its archive can address");
    header.CRC32 = crc;
    header.CompressedSize = static_cast<std::uint32_t>(compressed);
    header.UncompressedSize = static_cast<std::uint32_t>(total);

    // The fixed part again, now with CRC and compressed size; a short write
    // here would leave a wrong header, so it is checked too.
    out.setPosition(static_cast<std::int64_t>(header.LocalHeaderOffset) + 4);
    const auto finalFixed = header.localFixedPart();
    writeChecked(finalFixed.data(), finalFixed.size());
    endOfData_ = dataEnd;
    out.setPosition(endOfData_);
    entries_.push_back(std::move(header));
}

std::uint32_t TZipFile::deflateOneStream(Stream& source, std::uint64_t total) {
    // One pass over the package: CRC-32 and deflate from the same blocks.
    Stream& out = *stream_;
    Deflater deflater;
    z_stream& z = deflater.stream();
    auto inBuf = std::make_unique<std::uint8_t[]>(kReadBlock);
    auto outBuf = std::make_unique<std::uint8_t[]>(kOutBlock);
    uLong crc = crc32(0, nullptr, 0);
    std::uint64_t done = 0;
    z.next_out = outBuf.get();
    z.avail_out = kOutBlock;
    const auto drain = [&](int flush) {
        for (;;) {
            const int rc = deflate(&z, flush);
            if (rc == Z_STREAM_ERROR) deflater.fail(rc);
            if (z.avail_out == 0) {
                out.writeBuffer(outBuf.get(), kOutBlock);
                z.next_out = outBuf.get();
                z.avail_out = kOutBlock;
                continue;
            }
            if (flush == Z_FINISH ? rc == Z_STREAM_END : z.avail_in == 0) return;
            if (rc != Z_OK && rc != Z_BUF_ERROR) deflater.fail(rc);
        }
    };
    while (done < total) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kReadBlock, total - done));
        source.readBuffer(inBuf.get(), want);
        crc = crc32(crc, inBuf.get(), static_cast<uInt>(want));
        z.next_in = inBuf.get();
        z.avail_in = static_cast<uInt>(want);
        drain(Z_NO_FLUSH);
        done += want;
        if (onProgress) onProgress(done, total);
    }
    z.next_in = nullptr;
    z.avail_in = 0;
    drain(Z_FINISH);
    if (z.avail_out < kOutBlock) out.writeBuffer(outBuf.get(), kOutBlock - z.avail_out);

    return static_cast<std::uint32_t>(crc);
}

void TZipFile::close() {
    if (mode_ != Mode::Write) return;
    struct Reset {
        TZipFile& zip;
        ~Reset() {
            zip.mode_ = Mode::Closed;
            zip.entries_.clear();
            zip.stream_ = nullptr;
        }
    } reset{*this};

    Stream& out = *stream_;
    out.setPosition(endOfData_);
    std::array<std::uint8_t, 4> sig{};
    for (const auto& header : entries_) {
        storeLE32(sig.data(), kCentralSignature);
        writeChecked(sig.data(), sig.size());
        const auto fixed = header.centralFixedPart();
        writeChecked(fixed.data(), fixed.size());
        writeChecked(header.FileName.data(), header.FileNameLength);
        writeChecked(header.ExtraField.data(), header.ExtraFieldLength);
        writeChecked(header.FileComment.data(), header.FileCommentLength);
    }
    const std::int64_t directoryEnd = out.position();
    std::vector<std::uint8_t> end;
    ByteWriter w(end);
    w.u32(kEndSignature);
    w.u16(0);
    w.u16(0);
    w.u16(static_cast<std::uint16_t>(entries_.size()));
    w.u16(static_cast<std::uint16_t>(entries_.size()));
    w.u32(static_cast<std::uint32_t>(directoryEnd - endOfData_));
    w.u32(static_cast<std::uint32_t>(endOfData_));
    w.u16(0);
    writeChecked(end.data(), end.size());
}

} // namespace pakforge
