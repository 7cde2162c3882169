// Icon (.ico) and cursor (.cur) file codec. A file is held as an ordered list
// of images, each kept as the very bytes it has in the file (a bitmap with its
// mask, or a whole PNG stream) plus its width, height and pixel format. The
// drawing and clipboard side belongs to the GUI; this part is plain C++.
#pragma once

#include "core/Exceptions.h"
#include "core/Streams.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace pakforge {

enum class TPixelFormat : std::uint8_t {
    pfDevice = 0,
    pf1bit,
    pf4bit,
    pf8bit,
    pf15bit,
    pf16bit,
    pf24bit,
    pf32bit,
    pfCustom,
};

inline constexpr const char* kInvalidIconOrCursor = "Invalid Icon or Cursor";
inline constexpr const char* kInvalidCursor = "Invalid cursor";
inline constexpr const char* kPixelFormatNotValid = "Pixel Format Not Valid for Icons or Cursors";
inline constexpr const char* kInvalidPngImage = "The PNG image is corrupt (bad IHDR chunk)";

inline constexpr std::size_t kBitmapInfoHeaderSize = 40;
inline constexpr std::array<std::uint8_t, 8> kPngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

int BitCountOf(TPixelFormat format);
int ColorCountOf(TPixelFormat format);
// From a bitmap info header (at least 40 bytes): its bit count and compression.
TPixelFormat PixelFormatOfHeader(std::span<const std::uint8_t> header);
TPixelFormat PixelFormatOfPngBits(int bits);

// One palette entry as a colour table stores it (blue, green, red, 0).
struct TRGBQuad {
    std::uint8_t Blue = 0, Green = 0, Red = 0, Reserved = 0;
    bool operator==(const TRGBQuad&) const = default;
};
// A palette entry in red, green, blue order.
struct TPaletteEntry {
    std::uint8_t Red = 0, Green = 0, Blue = 0;
    bool operator==(const TPaletteEntry&) const = default;
};

// The shared palettes new blank images are made with.
const std::array<TRGBQuad, 2>& Palette2();
const std::array<TRGBQuad, 16>& SystemPalette16();
const std::array<TRGBQuad, 256>& Palette256();

// What the icon reader needs of a PNG stream: its validated header chunk.
struct TPngInfo {
    std::uint32_t Width = 0;
    std::uint32_t Height = 0;
    std::uint8_t BitDepth = 0;
    std::uint8_t ColorType = 0;
};
bool HasPngSignature(std::span<const std::uint8_t> data);
// Raises EInvalidGraphic when the stream has no well-formed IHDR chunk first.
TPngInfo ReadPngInfo(std::span<const std::uint8_t> data);

// Checks that a bitmap image (info header, colour table, colour rows) fits in
// its bytes; raises EInvalidGraphic "Invalid Icon or Cursor" or the pixel
// format message. halfHeight: the stored height counts colour and mask rows.
void ValidateBitmapImage(std::span<const std::uint8_t> image, bool halfHeight);

// One image, shared by every picture holding it.
class TExIconImage {
  public:
    bool IsIcon = true;
    // The image bytes; a cursor image starts with its 4-byte hot spot.
    // Absent until the image has bytes.
    std::unique_ptr<MemoryStream> Data;
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    TPixelFormat PixelFormat = TPixelFormat::pfDevice;
    bool IsPng = false;
    // The directory entry's bit count of a PNG image, written back as it came.
    std::uint8_t PngBitCount = 0;
    std::optional<TPngInfo> Png;

    // The bitmap part of Data (after the hot spot of a cursor image).
    std::span<const std::uint8_t> imageBytes() const;
    std::uint32_t hotSpot() const; // x low 16 bits, y high 16 bits; 0 for icons

  private:
    friend class TExIconCursor;
    bool PaletteReady = false;
    std::vector<TPaletteEntry> PaletteHandle;
};

class TExIconCursor {
  public:
    TExIconCursor(const TExIconCursor&) = delete;
    TExIconCursor& operator=(const TExIconCursor&) = delete;
    virtual ~TExIconCursor() = default;

    virtual void LoadFromStream(Stream& stream);
    virtual void SaveToStream(Stream& stream);
    virtual void LoadFromFile(const std::filesystem::path& path);
    virtual void SaveToFile(const std::filesystem::path& path);

    // Raises ERangeError "Range check error" for a bad index.
    std::shared_ptr<TExIconImage> GetImage(int index) const;
    int ImageCount() const { return static_cast<int>(Images.size()); }

    int CurrentImage() const { return CurrentImage_; }
    void SetCurrentImage(int index);

    // The current image's properties; an empty picture answers 0 / true.
    bool GetEmpty() const;
    std::int32_t GetWidth() const;
    std::int32_t GetHeight() const;
    TPixelFormat GetPixelFormat() const;
    // The current image's palette, for 1, 4 and 8-bit bitmap images (made on
    // first request from the colour table); empty otherwise.
    const std::vector<TPaletteEntry>& GetPalette();

    // Shares all images of another picture (no copy).
    void Assign(const TExIconCursor& source);
    // Replaces the current image by an empty one of the same size and format.
    void AssignEmpty();

    TPaletteEntry TransparentColor{0xFE, 0xE6, 0xF8};

  protected:
    explicit TExIconCursor(bool isIcon);
    void readFile(Stream& stream, bool cursorFile);
    void writeFile(Stream& stream, bool cursorFile);

    std::vector<std::shared_ptr<TExIconImage>> Images;
    int CurrentImage_ = 0;
};

class TExIcon : public TExIconCursor {
  public:
    TExIcon();
};

// Cursor pictures read and write cursor files (type 2, hot spots in the
// directory) through files and streams alike.
class TExCursor : public TExIconCursor {
  public:
    TExCursor();
    void LoadFromStream(Stream& stream) override;
    void SaveToStream(Stream& stream) override;
};

} // namespace pakforge
