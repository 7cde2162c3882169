// Picture resources: bitmaps and DIBs, icon and cursor images, and the icon
// and cursor groups that name their images by numeric id. A group fills
// itself from an .ico/.cur file (LoadFromIconFile) and keeps groups and
// images consistent when either is deleted.
#pragma once

#include "resources/unitExIcon.h"
#include "resources/unitResourceDetails.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace pakforge {

// A typecast to a class the object is not of ("Invalid class typecast").
class EInvalidCast : public Exception {
  public:
    using Exception::Exception;
};

inline constexpr const char* kInvalidClassTypecast = "Invalid class typecast";

// Layout of a group directory (resource types 14 and 12).
inline constexpr std::size_t kGroupHeaderSize = 6;
inline constexpr std::size_t kGroupEntrySize = 14;

// Defaults of new blank images and bitmaps.
inline constexpr std::int32_t kBlankImageWidth = 32;
inline constexpr std::int32_t kBlankImageHeight = 32;
inline constexpr TPixelFormat kBlankImageFormat = TPixelFormat::pf4bit;
inline constexpr std::int32_t kBlankBitmapWidth = 128;
inline constexpr std::int32_t kBlankBitmapHeight = 96;
inline constexpr TPixelFormat kBlankBitmapFormat = TPixelFormat::pf24bit;

class TGraphicsResourceDetails : public TResourceDetails {
  public:
    using TResourceDetails::TResourceDetails;
    // The picture's size and pixel format as its bytes state them; 0 and
    // pfDevice when the bytes hold no readable header.
    virtual std::int32_t GetHeight() const { return 0; }
    virtual TPixelFormat GetPixelFormat() const { return TPixelFormat::pfDevice; }
    virtual std::int32_t GetWidth() const { return 0; }
};

class TBitmapResourceDetails : public TGraphicsResourceDetails {
    PAKFORGE_DETAILS_CLASS(TBitmapResourceDetails)
  public:
    using TGraphicsResourceDetails::TGraphicsResourceDetails;
    static std::u16string ClassResourceType() { return u"2"; }
    void InitializeEmpty() override;
    std::int32_t GetHeight() const override;
    TPixelFormat GetPixelFormat() const override;
    std::int32_t GetWidth() const override;
    // The resource as a bitmap file: a 14-byte file header before Data.
    std::vector<std::uint8_t> BitmapFileBytes() const;

  protected:
    // Where the bitmap info header starts in Data.
    virtual std::size_t headerOffset() const { return 0; }
};

// A whole bitmap file (file header first) stored as a resource.
class TDIBResourceDetails : public TBitmapResourceDetails {
    PAKFORGE_DETAILS_CLASS(TDIBResourceDetails)
  public:
    using TBitmapResourceDetails::TBitmapResourceDetails;
    static std::u16string ClassResourceType() { return u"DIB"; }
    // At least 18 bytes, "BM", zero reserved fields, a 40/108/124-byte header.
    static bool AcceptsData(std::size_t size, const std::uint8_t* data);
    void InitializeEmpty() override;

  protected:
    std::size_t headerOffset() const override { return 14; }
};

class TIconCursorResourceDetails;

class TIconCursorGroupResourceDetails : public TResourceDetails {
  public:
    using TResourceDetails::TResourceDetails;

    void InitializeEmpty() override;
    void PrepareDelete() override;

    // The image entry index names: the first icon/cursor image object of the
    // module with the image type and that numeric name; null if none.
    TIconCursorResourceDetails* GetResourceDetails(int index) const;
    TIconCursorResourceDetails* ResourceDetails(int index) const { return GetResourceDetails(index); }
    int EntryCount() const;
    bool ContainsImage(const TIconCursorResourceDetails& image) const;
    void RemoveImageEntry(const TIconCursorResourceDetails& image);
    // Replaces the group's images by those of an .ico (icon group) or .cur
    // file. Codec errors end it with the directory empty.
    void LoadFromIconFile(const std::filesystem::path& fileName);

    // The image id of entry index (0 when out of range).
    std::uint16_t EntryImageId(int index) const;
    bool IsCursorGroup() const;
    // 3 for an icon group, 1 for a cursor group.
    int ImageTypeNumber() const;

    bool Deleting = false;

  private:
    void removeEntryAt(int index);
};

class TIconGroupResourceDetails : public TIconCursorGroupResourceDetails {
    PAKFORGE_DETAILS_CLASS(TIconGroupResourceDetails)
  public:
    using TIconCursorGroupResourceDetails::TIconCursorGroupResourceDetails;
    static std::u16string ClassResourceType() { return u"14"; }
};

class TCursorGroupResourceDetails : public TIconCursorGroupResourceDetails {
    PAKFORGE_DETAILS_CLASS(TCursorGroupResourceDetails)
  public:
    using TIconCursorGroupResourceDetails::TIconCursorGroupResourceDetails;
    static std::u16string ClassResourceType() { return u"12"; }
};

class TIconCursorResourceDetails : public TGraphicsResourceDetails {
  public:
    using TGraphicsResourceDetails::TGraphicsResourceDetails;

    void InitializeEmpty() override;
    void PrepareDelete() override;
    std::int32_t GetHeight() const override;
    TPixelFormat GetPixelFormat() const override;
    std::int32_t GetWidth() const override;

    // A one-image picture of this image (an icon file built in memory and
    // read by the codec); an empty Data leaves the picture unchanged.
    void GetPicture(TExIconCursor& picture) const;
    // Copies the data of the picture's current image into Data.
    void SetPicture(const TExIconCursor& picture);

    bool IsCursor() const;
    // The image as stored after the hot spot of a cursor image.
    std::span<const std::uint8_t> ImageBytes() const;
};

class TIconResourceDetails : public TIconCursorResourceDetails {
    PAKFORGE_DETAILS_CLASS(TIconResourceDetails)
  public:
    using TIconCursorResourceDetails::TIconCursorResourceDetails;
    static std::u16string ClassResourceType() { return u"3"; }
};

class TCursorResourceDetails : public TIconCursorResourceDetails {
    PAKFORGE_DETAILS_CLASS(TCursorResourceDetails)
  public:
    using TIconCursorResourceDetails::TIconCursorResourceDetails;
    static std::u16string ClassResourceType() { return u"1"; }
};

// The bytes of a new blank image (32 x 32, 4 bits: 744 bytes for an icon,
// 748 with the hot spot of a cursor).
std::vector<std::uint8_t> BlankIconCursorImage(bool cursor, std::int32_t width = kBlankImageWidth,
                                               std::int32_t height = kBlankImageHeight,
                                               TPixelFormat format = kBlankImageFormat);

// Registers the six classes of this unit (bitmap, DIB, icon group, cursor
// group, icon, cursor) once, in that order; they are unregistered in reverse
// order at shut-down. Programs call it (or InitResourceVersionInfo) at start.
void InitResourceGraphics();

} // namespace pakforge
