#include "resources/unitExIcon.h"

#include "core/ByteIO.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace pakforge {

namespace {

constexpr std::size_t kFileHeaderSize = 6;
constexpr std::size_t kDirEntrySize = 16;
// Images may share bytes, but a directory naming the same bytes thousands of
// times would let a small file fill memory: all images together may hold at
// most this many times the file's bytes.
constexpr std::uint64_t kImageBytesPerFileByte = 4;

[[noreturn]] void invalidIconOrCursor() {
    throw EInvalidGraphic(kInvalidIconOrCursor);
}
[[noreturn]] void rangeCheck() {
    throw ERangeError(kRangeCheckError);
}

std::uint32_t loadBE32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

std::uint32_t crc32Of(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// Entries of the colour table that follows a bitmap info header.
std::uint64_t colourTableBytes(std::uint32_t headerSize, int bitCount, std::uint32_t compression,
                               std::uint32_t coloursUsed) {
    if (bitCount <= 8) {
        const std::uint32_t full = 1u << bitCount;
        const std::uint32_t n = (coloursUsed == 0 || coloursUsed > full) ? full : coloursUsed;
        return 4ull * n;
    }
    // BI_BITFIELDS with a plain info header: three masks follow it.
    if (compression == 3 && headerSize == kBitmapInfoHeaderSize) return 12;
    return 0;
}

// Reads exactly count bytes at offset (from base) of the stream; the stream
// must hold them all, else "Stream read error" before anything is allocated.
std::vector<std::uint8_t> readAt(Stream& stream, std::int64_t base, std::int64_t streamSize,
                                 std::uint32_t offset, std::uint32_t count) {
    const std::uint64_t end = static_cast<std::uint64_t>(base) + offset + count;
    if (end > static_cast<std::uint64_t>(streamSize)) throw EReadError(kStreamReadError);
    std::vector<std::uint8_t> bytes(count);
    stream.setPosition(base + static_cast<std::int64_t>(offset));
    if (count) stream.readBuffer(bytes.data(), count);
    return bytes;
}

// Counts the bytes the images of one file hold and refuses a directory that
// names far more than the file has.
class ImageBudget {
  public:
    ImageBudget(std::int64_t base, std::int64_t streamSize)
        : limit_(kImageBytesPerFileByte *
                 static_cast<std::uint64_t>(streamSize > base ? streamSize - base : 0)) {}
    void take(std::size_t bytes) {
        used_ += bytes;
        if (used_ > limit_) invalidIconOrCursor();
    }

  private:
    std::uint64_t limit_;
    std::uint64_t used_ = 0;
};

std::unique_ptr<MemoryStream> streamOf(std::vector<std::uint8_t> bytes) {
    return std::make_unique<MemoryStream>(std::move(bytes));
}

// Restores the current image however a save ends.
class CurrentImageGuard {
  public:
    CurrentImageGuard(int& current) : current_(current), saved_(current) {}
    ~CurrentImageGuard() { current_ = saved_; }
    CurrentImageGuard(const CurrentImageGuard&) = delete;
    CurrentImageGuard& operator=(const CurrentImageGuard&) = delete;

  private:
    int& current_;
    int saved_;
};

} // namespace

int BitCountOf(TPixelFormat format) {
    switch (static_cast<TPixelFormat>(static_cast<std::uint8_t>(format) & 0x7F)) {
    case TPixelFormat::pf1bit:
        return 1;
    case TPixelFormat::pf4bit:
        return 4;
    case TPixelFormat::pf8bit:
        return 8;
    case TPixelFormat::pf15bit:
    case TPixelFormat::pf16bit:
        return 16;
    case TPixelFormat::pf24bit:
        return 24;
    case TPixelFormat::pf32bit:
        return 32;
    default:
        return 0;
    }
}

int ColorCountOf(TPixelFormat format) {
    switch (format) {
    case TPixelFormat::pf1bit:
        return 2;
    case TPixelFormat::pf4bit:
        return 16;
    case TPixelFormat::pf8bit:
        return 256;
    default:
        return 0;
    }
}

TPixelFormat PixelFormatOfHeader(std::span<const std::uint8_t> header) {
    if (header.size() < kBitmapInfoHeaderSize) invalidIconOrCursor();
    const std::uint16_t bitCount = loadLE16(header.data() + 14);
    const std::uint32_t compression = loadLE32(header.data() + 16);
    switch (bitCount) {
    case 1:
        return TPixelFormat::pf1bit;
    case 4:
        return TPixelFormat::pf4bit;
    case 8:
        return TPixelFormat::pf8bit;
    case 16:
        if (compression == 0) return TPixelFormat::pf15bit;
        if (compression == 3) return TPixelFormat::pf16bit;
        break;
    case 24:
        return TPixelFormat::pf24bit;
    case 32:
        return TPixelFormat::pf32bit;
    default:
        break;
    }
    throw EInvalidGraphic(kPixelFormatNotValid);
}

TPixelFormat PixelFormatOfPngBits(int bits) {
    switch (bits) {
    case 1:
        return TPixelFormat::pf1bit;
    case 4:
        return TPixelFormat::pf4bit;
    case 8:
        return TPixelFormat::pf8bit;
    case 15:
    case 16:
        return TPixelFormat::pf16bit;
    case 24:
        return TPixelFormat::pf24bit;
    case 32:
        return TPixelFormat::pf32bit;
    default:
        return TPixelFormat::pfDevice;
    }
}

const std::array<TRGBQuad, 2>& Palette2() {
    static const std::array<TRGBQuad, 2> palette = {TRGBQuad{0, 0, 0, 0}, TRGBQuad{0xFF, 0xFF, 0xFF, 0}};
    return palette;
}

const std::array<TRGBQuad, 16>& SystemPalette16() {
    // The classic VGA colours, in colour table order (blue, green, red).
    static const std::array<TRGBQuad, 16> palette = {
        TRGBQuad{0x00, 0x00, 0x00, 0}, TRGBQuad{0x00, 0x00, 0x80, 0}, TRGBQuad{0x00, 0x80, 0x00, 0},
        TRGBQuad{0x00, 0x80, 0x80, 0}, TRGBQuad{0x80, 0x00, 0x00, 0}, TRGBQuad{0x80, 0x00, 0x80, 0},
        TRGBQuad{0x80, 0x80, 0x00, 0}, TRGBQuad{0xC0, 0xC0, 0xC0, 0}, TRGBQuad{0x80, 0x80, 0x80, 0},
        TRGBQuad{0x00, 0x00, 0xFF, 0}, TRGBQuad{0x00, 0xFF, 0x00, 0}, TRGBQuad{0x00, 0xFF, 0xFF, 0},
        TRGBQuad{0xFF, 0x00, 0x00, 0}, TRGBQuad{0xFF, 0x00, 0xFF, 0}, TRGBQuad{0xFF, 0xFF, 0x00, 0},
        TRGBQuad{0xFF, 0xFF, 0xFF, 0},
    };
    return palette;
}

const std::array<TRGBQuad, 256>& Palette256() {
    static const std::array<TRGBQuad, 256> palette = [] {
        std::array<TRGBQuad, 256> p{};
        std::size_t i = 0;
        for (const auto& c : SystemPalette16()) p[i++] = c;
        for (int grey = 10; grey <= 240; grey += 10) {
            const auto g = static_cast<std::uint8_t>(grey);
            p[i++] = TRGBQuad{g, g, g, 0};
        }
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    p[i++] = TRGBQuad{static_cast<std::uint8_t>(b * 51), static_cast<std::uint8_t>(g * 51),
                                      static_cast<std::uint8_t>(r * 51), 0};
        return p;
    }();
    return palette;
}

bool HasPngSignature(std::span<const std::uint8_t> data) {
    if (data.size() < kPngSignature.size()) return false;
    for (std::size_t i = 0; i < kPngSignature.size(); ++i)
        if (data[i] != kPngSignature[i]) return false;
    return true;
}

TPngInfo ReadPngInfo(std::span<const std::uint8_t> data) {
    // Signature, then the IHDR chunk: length 13, type, 13 data bytes, CRC.
    constexpr std::size_t kIhdrEnd = 8 + 8 + 13 + 4;
    if (!HasPngSignature(data) || data.size() < kIhdrEnd) throw EInvalidGraphic(kInvalidPngImage);
    const std::uint8_t* p = data.data();
    if (loadBE32(p + 8) != 13 || p[12] != 'I' || p[13] != 'H' || p[14] != 'D' || p[15] != 'R')
        throw EInvalidGraphic(kInvalidPngImage);
    if (loadBE32(p + 29) != crc32Of(data.subspan(12, 17))) throw EInvalidGraphic(kInvalidPngImage);
    TPngInfo info;
    info.Width = loadBE32(p + 16);
    info.Height = loadBE32(p + 20);
    info.BitDepth = p[24];
    info.ColorType = p[25];
    constexpr std::uint32_t kMaxDimension = 0x7FFFFFFFu;
    if (info.Width == 0 || info.Height == 0 || info.Width > kMaxDimension || info.Height > kMaxDimension)
        throw EInvalidGraphic(kInvalidPngImage);
    bool depthOk = false;
    const int d = info.BitDepth;
    switch (info.ColorType) {
    case 0:
        depthOk = d == 1 || d == 2 || d == 4 || d == 8 || d == 16;
        break;
    case 3:
        depthOk = d == 1 || d == 2 || d == 4 || d == 8;
        break;
    case 2:
    case 4:
    case 6:
        depthOk = d == 8 || d == 16;
        break;
    default:
        break;
    }
    if (!depthOk || p[26] != 0 || p[27] != 0 || p[28] > 1) throw EInvalidGraphic(kInvalidPngImage);
    return info;
}

void ValidateBitmapImage(std::span<const std::uint8_t> image, bool halfHeight) {
    if (image.size() < kBitmapInfoHeaderSize) invalidIconOrCursor();
    const std::uint8_t* p = image.data();
    const std::uint32_t headerSize = loadLE32(p);
    if (headerSize < kBitmapInfoHeaderSize || headerSize > image.size()) invalidIconOrCursor();
    const TPixelFormat format = PixelFormatOfHeader(image);
    const auto width = static_cast<std::int32_t>(loadLE32(p + 4));
    const auto height = static_cast<std::int32_t>(loadLE32(p + 8));
    // Icons are bottom-up; a zero, negative (INT_MIN included) or rowless
    // size cannot be drawn.
    if (width <= 0 || height <= 0) invalidIconOrCursor();
    const std::uint64_t rows = halfHeight ? static_cast<std::uint64_t>(height) / 2 : height;
    if (rows == 0) invalidIconOrCursor();

    const int bitCount = BitCountOf(format);
    const std::uint32_t compression = loadLE32(p + 16);
    const std::uint64_t table = colourTableBytes(headerSize, bitCount, compression, loadLE32(p + 32));
    // Every term stays far below 2^64: width < 2^31, bitCount <= 32, the
    // stride is checked against the size before it is multiplied.
    std::uint64_t need = static_cast<std::uint64_t>(headerSize) + table;
    if (compression == 0 || compression == 3) {
        const std::uint64_t stride = (static_cast<std::uint64_t>(width) * bitCount + 31) / 32 * 4;
        if (stride > image.size()) invalidIconOrCursor();
        need += stride * rows;
    }
    if (need > image.size()) invalidIconOrCursor();
}

// ---------------------------------------------------------------------------

std::span<const std::uint8_t> TExIconImage::imageBytes() const {
    if (!Data) return {};
    const auto all = std::as_const(*Data).bytes();
    if (IsIcon) return all;
    return all.size() >= 4 ? all.subspan(4) : std::span<const std::uint8_t>{};
}

std::uint32_t TExIconImage::hotSpot() const {
    if (IsIcon || !Data || Data->size() < 4) return 0;
    return loadLE32(Data->memory());
}

TExIconCursor::TExIconCursor(bool isIcon) {
    auto image = std::make_shared<TExIconImage>();
    image->IsIcon = isIcon;
    Images.push_back(std::move(image));
}

TExIcon::TExIcon() : TExIconCursor(true) {
    Images[0]->Width = 32;
    Images[0]->Height = 32;
    Images[0]->PixelFormat = TPixelFormat::pf4bit;
}

TExCursor::TExCursor() : TExIconCursor(false) {
    Images[0]->Width = 32;
    Images[0]->Height = 32;
    Images[0]->PixelFormat = TPixelFormat::pf1bit;
}

std::shared_ptr<TExIconImage> TExIconCursor::GetImage(int index) const {
    if (index < 0 || index >= ImageCount()) rangeCheck();
    return Images[static_cast<std::size_t>(index)];
}

void TExIconCursor::SetCurrentImage(int index) {
    if (index < 0 || index >= ImageCount()) rangeCheck();
    CurrentImage_ = index;
}

bool TExIconCursor::GetEmpty() const {
    if (CurrentImage_ < 0 || CurrentImage_ >= ImageCount()) return true;
    return !Images[static_cast<std::size_t>(CurrentImage_)]->Data;
}

std::int32_t TExIconCursor::GetWidth() const {
    if (CurrentImage_ < 0 || CurrentImage_ >= ImageCount()) return 0;
    return Images[static_cast<std::size_t>(CurrentImage_)]->Width;
}

std::int32_t TExIconCursor::GetHeight() const {
    if (CurrentImage_ < 0 || CurrentImage_ >= ImageCount()) return 0;
    return Images[static_cast<std::size_t>(CurrentImage_)]->Height;
}

TPixelFormat TExIconCursor::GetPixelFormat() const {
    if (CurrentImage_ < 0 || CurrentImage_ >= ImageCount()) return TPixelFormat::pfDevice;
    return Images[static_cast<std::size_t>(CurrentImage_)]->PixelFormat;
}

const std::vector<TPaletteEntry>& TExIconCursor::GetPalette() {
    static const std::vector<TPaletteEntry> none;
    if (CurrentImage_ < 0 || CurrentImage_ >= ImageCount()) return none;
    TExIconImage& image = *Images[static_cast<std::size_t>(CurrentImage_)];
    if (image.PaletteReady) return image.PaletteHandle;
    image.PaletteReady = true;
    const auto bits = image.imageBytes();
    const int bitCount = BitCountOf(image.PixelFormat);
    if (image.IsPng || bitCount == 0 || bitCount > 8 || bits.size() < kBitmapInfoHeaderSize)
        return image.PaletteHandle;
    ByteReader reader(bits);
    const std::uint32_t headerSize = reader.u32();
    const std::uint64_t table = colourTableBytes(headerSize, bitCount, 0, loadLE32(bits.data() + 32));
    if (headerSize > bits.size() || table > bits.size() - headerSize) return image.PaletteHandle;
    reader.seek(headerSize);
    for (std::uint64_t i = 0; i < table / 4; ++i) {
        const auto q = reader.bytes(4);
        image.PaletteHandle.push_back(TPaletteEntry{q[2], q[1], q[0]});
    }
    return image.PaletteHandle;
}

void TExIconCursor::Assign(const TExIconCursor& source) {
    if (&source == this) return;
    Images = source.Images;
    CurrentImage_ = source.CurrentImage_;
    TransparentColor = source.TransparentColor;
}

void TExIconCursor::AssignEmpty() {
    if (CurrentImage_ < 0 || CurrentImage_ >= ImageCount()) return;
    auto& slot = Images[static_cast<std::size_t>(CurrentImage_)];
    auto empty = std::make_shared<TExIconImage>();
    empty->IsIcon = slot->IsIcon;
    empty->Width = slot->Width;
    empty->Height = slot->Height;
    empty->PixelFormat = slot->PixelFormat;
    slot = std::move(empty);
}

void TExIconCursor::LoadFromFile(const std::filesystem::path& path) {
    FileStream file(path, FileStream::Mode::OpenRead, FileStream::Share::DenyWrite);
    LoadFromStream(file);
}

void TExIconCursor::SaveToFile(const std::filesystem::path& path) {
    // Laid out in memory first: a picture that cannot be written leaves an
    // existing file as it was.
    MemoryStream buffer;
    SaveToStream(buffer);
    FileStream file(path, FileStream::Mode::Create);
    file.writeBuffer(buffer.memory(), static_cast<std::size_t>(buffer.size()));
}

void TExIconCursor::LoadFromStream(Stream& stream) {
    readFile(stream, false);
}

void TExIconCursor::SaveToStream(Stream& stream) {
    writeFile(stream, false);
}

void TExCursor::LoadFromStream(Stream& stream) {
    readFile(stream, true);
}

void TExCursor::SaveToStream(Stream& stream) {
    writeFile(stream, true);
}

void TExIconCursor::readFile(Stream& stream, bool cursorFile) {
    const std::int64_t base = stream.position();
    const std::int64_t streamSize = stream.size();
    std::uint8_t header[kFileHeaderSize];
    if (stream.read(header, sizeof header) != sizeof header || loadLE16(header + 2) != (cursorFile ? 2 : 1)) {
        if (cursorFile) throw EInvalidGraphic(kInvalidCursor);
        invalidIconOrCursor();
    }
    const std::uint16_t count = loadLE16(header + 4);
    std::vector<std::uint8_t> directory(kDirEntrySize * count);
    if (count) stream.readBuffer(directory.data(), directory.size());

    // Built aside and swapped in at the end, so a failed load leaves the
    // picture as it was.
    std::vector<std::shared_ptr<TExIconImage>> images;
    images.reserve(count);
    ImageBudget budget(base, streamSize);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = directory.data() + i * kDirEntrySize;
        auto image = std::make_shared<TExIconImage>();
        image->IsIcon = !cursorFile;
        image->Width = entry[0];
        image->Height = entry[1];
        // Icons keep planes and bit count here, cursors the hot spot.
        const std::uint16_t field4 = loadLE16(entry + 4);
        const std::uint16_t field6 = loadLE16(entry + 6);
        if (cursorFile && field6 >= 0x8000) rangeCheck();
        auto bytes = readAt(stream, base, streamSize, loadLE32(entry + 12), loadLE32(entry + 8));
        budget.take(bytes.size());
        if (!cursorFile && HasPngSignature(bytes)) {
            const TPngInfo info = ReadPngInfo(bytes);
            // The decoder speaks first; the bit count must then fit the byte it is kept in.
            if (field6 > 255) rangeCheck();
            image->IsPng = true;
            image->Png = info;
            image->Width = static_cast<std::int32_t>(info.Width);
            image->Height = static_cast<std::int32_t>(info.Height);
            image->PngBitCount = static_cast<std::uint8_t>(field6);
            image->PixelFormat = PixelFormatOfPngBits(field6);
        } else {
            ValidateBitmapImage(bytes, true);
            storeLE32(bytes.data() + 20, 0);
            image->PixelFormat = PixelFormatOfHeader(bytes);
            if (cursorFile) {
                // A cursor image resource starts with its hot spot.
                std::vector<std::uint8_t> data(4 + bytes.size());
                storeLE16(data.data(), field4);
                storeLE16(data.data() + 2, field6);
                std::copy(bytes.begin(), bytes.end(), data.begin() + 4);
                bytes = std::move(data);
            }
        }
        image->Data = streamOf(std::move(bytes));
        images.push_back(std::move(image));
    }
    Images = std::move(images);
    CurrentImage_ = 0;
}

void TExIconCursor::writeFile(Stream& stream, bool cursorFile) {
    if (Images.size() > 0xFFFF) rangeCheck();
    const auto count = static_cast<std::uint16_t>(Images.size());
    // The whole file is laid out in memory first: nothing is written when an
    // image is refused.
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.u16(0);
    w.u16(cursorFile ? 2 : 1);
    w.u16(count);
    std::uint64_t offset = kFileHeaderSize + kDirEntrySize * static_cast<std::uint64_t>(count);

    CurrentImageGuard guard(CurrentImage_);
    std::vector<std::span<const std::uint8_t>> payloads;
    for (std::size_t i = 0; i < Images.size(); ++i) {
        CurrentImage_ = static_cast<int>(i);
        const TExIconImage& image = *Images[i];
        if (!image.Data) invalidIconOrCursor();
        const auto bytes = image.imageBytes();
        if (!image.IsIcon && image.Data->size() < 4) invalidIconOrCursor();
        if (image.IsPng && !cursorFile) {
            w.u8(0);
            w.u8(0);
            w.u8(0);
            w.u8(0);
            w.u16(1);
            w.u16(image.PngBitCount);
        } else {
            if (image.Width < 0 || image.Width > 255 || image.Height < 0 || image.Height > 255) rangeCheck();
            std::uint8_t colours = 0;
            std::uint16_t bitCount = 0;
            switch (image.PixelFormat) {
            case TPixelFormat::pf1bit:
                colours = 2;
                break;
            case TPixelFormat::pf4bit:
                colours = 16;
                break;
            case TPixelFormat::pf8bit:
                bitCount = 8;
                break;
            case TPixelFormat::pf15bit:
            case TPixelFormat::pf16bit:
                bitCount = 16;
                break;
            case TPixelFormat::pf24bit:
                bitCount = 24;
                break;
            case TPixelFormat::pf32bit:
                bitCount = 32;
                break;
            default:
                invalidIconOrCursor();
            }
            w.u8(static_cast<std::uint8_t>(image.Width));
            w.u8(static_cast<std::uint8_t>(image.Height));
            w.u8(colours);
            w.u8(0);
            if (cursorFile) {
                const std::uint32_t hot = image.hotSpot();
                w.u16(static_cast<std::uint16_t>(hot));
                w.u16(static_cast<std::uint16_t>(hot >> 16));
            } else {
                w.u16(1);
                w.u16(bitCount);
            }
        }
        if (bytes.size() > std::numeric_limits<std::uint32_t>::max() ||
            offset > std::numeric_limits<std::uint32_t>::max())
            rangeCheck();
        w.u32(static_cast<std::uint32_t>(bytes.size()));
        w.u32(static_cast<std::uint32_t>(offset));
        offset += bytes.size();
        payloads.push_back(bytes);
    }
    for (const auto& payload : payloads) w.bytes(payload);
    stream.writeBuffer(out.data(), out.size());
}

} // namespace pakforge
