#include "resources/unitResourceGraphics.h"

#include "core/ByteIO.h"

#include <limits>
#include <utility>

namespace pakforge {

namespace {

std::u16string decimalText(int value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

// NumericIdOf for comparisons: a digits-only name too large for 32 bits
// matches no 16-bit id rather than ending the walk.
std::int64_t idOf(std::u16string_view text) {
    try {
        return NumericIdOf(text);
    } catch (const EConvertError&) {
        return -1;
    }
}

// A 40-byte bitmap info header.
void writeInfoHeader(ByteWriter& w, std::int32_t width, std::int32_t height, int bitCount,
                     std::uint32_t compression, std::uint32_t imageSize, std::uint32_t colours) {
    w.u32(static_cast<std::uint32_t>(kBitmapInfoHeaderSize));
    w.u32(static_cast<std::uint32_t>(width));
    w.u32(static_cast<std::uint32_t>(height));
    w.u16(1);
    w.u16(static_cast<std::uint16_t>(bitCount));
    w.u32(compression);
    w.u32(imageSize);
    w.u32(0);
    w.u32(0);
    w.u32(colours);
    w.u32(colours);
}

std::vector<std::uint8_t> blankBitmap() {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    const int bits = BitCountOf(kBlankBitmapFormat);
    const std::uint32_t stride = (static_cast<std::uint32_t>(kBlankBitmapWidth * bits) + 31) / 32 * 4;
    const std::uint32_t imageSize = stride * kBlankBitmapHeight;
    writeInfoHeader(w, kBlankBitmapWidth, kBlankBitmapHeight, bits, 0, imageSize, 0);
    w.zeros(imageSize);
    return out;
}

void replaceData(TResourceDetails& details, std::span<const std::uint8_t> bytes) {
    MemoryStream& data = details.Data();
    data.clear();
    if (!bytes.empty()) data.writeBuffer(bytes.data(), bytes.size());
    data.setPosition(0);
}

// The size and format stated by a bitmap info header at offset in bytes.
struct HeaderFacts {
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool present = false;
};

HeaderFacts headerFacts(std::span<const std::uint8_t> bytes, std::size_t offset) {
    HeaderFacts facts;
    if (bytes.size() < offset || bytes.size() - offset < kBitmapInfoHeaderSize) return facts;
    facts.width = static_cast<std::int32_t>(loadLE32(bytes.data() + offset + 4));
    facts.height = static_cast<std::int32_t>(loadLE32(bytes.data() + offset + 8));
    facts.present = true;
    return facts;
}

TPixelFormat pngPixelFormat(const TPngInfo& info) {
    switch (info.ColorType) {
    case 6:
        return info.BitDepth == 8 ? TPixelFormat::pf32bit : TPixelFormat::pfCustom;
    case 2:
        return info.BitDepth == 8 ? TPixelFormat::pf24bit : TPixelFormat::pfCustom;
    case 3:
        if (info.BitDepth == 1) return TPixelFormat::pf1bit;
        if (info.BitDepth == 4) return TPixelFormat::pf4bit;
        if (info.BitDepth == 8) return TPixelFormat::pf8bit;
        return TPixelFormat::pfCustom;
    default:
        return TPixelFormat::pfCustom;
    }
}

} // namespace

// ---- bitmaps --------------------------------------------------------------

void TBitmapResourceDetails::InitializeEmpty() {
    replaceData(*this, blankBitmap());
}

std::int32_t TBitmapResourceDetails::GetWidth() const {
    return headerFacts(Data().bytes(), headerOffset()).width;
}

std::int32_t TBitmapResourceDetails::GetHeight() const {
    return headerFacts(Data().bytes(), headerOffset()).height;
}

TPixelFormat TBitmapResourceDetails::GetPixelFormat() const {
    const auto bytes = Data().bytes();
    if (!headerFacts(bytes, headerOffset()).present) return TPixelFormat::pfDevice;
    return PixelFormatOfHeader(bytes.subspan(headerOffset()));
}

std::vector<std::uint8_t> TBitmapResourceDetails::BitmapFileBytes() const {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    const auto bytes = Data().bytes();
    w.u8('B');
    w.u8('M');
    w.u32(static_cast<std::uint32_t>(bytes.size()));
    w.u16(0);
    w.u16(0);
    w.u32(14);
    w.bytes(bytes);
    return out;
}

bool TDIBResourceDetails::AcceptsData(std::size_t size, const std::uint8_t* data) {
    if (!data || size < 18) return false;
    if (data[0] != 'B' || data[1] != 'M') return false;
    if (loadLE16(data + 6) != 0 || loadLE16(data + 8) != 0) return false;
    const std::uint32_t headerSize = loadLE32(data + 14);
    return headerSize == 40 || headerSize == 108 || headerSize == 124;
}

void TDIBResourceDetails::InitializeEmpty() {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.u8('B');
    w.u8('M');
    w.u32(54);
    w.u16(0);
    w.u16(0);
    w.u32(54);
    w.bytes(blankBitmap());
    replaceData(*this, out);
}

// ---- images ---------------------------------------------------------------

std::vector<std::uint8_t> BlankIconCursorImage(bool cursor, std::int32_t width, std::int32_t height,
                                               TPixelFormat format) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    if (cursor) {
        w.u16(16);
        w.u16(16);
    }
    const int bits = BitCountOf(format);
    const auto colours = static_cast<std::uint32_t>(ColorCountOf(format));
    writeInfoHeader(w, width, 2 * height, bits, format == TPixelFormat::pf16bit ? 3 : 0, 0, colours);
    auto writeQuads = [&w](const auto& palette) {
        for (const TRGBQuad& q : palette) {
            w.u8(q.Blue);
            w.u8(q.Green);
            w.u8(q.Red);
            w.u8(q.Reserved);
        }
    };
    switch (format) {
    case TPixelFormat::pf1bit:
        writeQuads(Palette2());
        break;
    case TPixelFormat::pf4bit:
        writeQuads(SystemPalette16());
        break;
    case TPixelFormat::pf8bit:
        writeQuads(Palette256());
        break;
    case TPixelFormat::pf16bit:
        w.u32(0xF800);
        w.u32(0x07E0);
        w.u32(0x001F);
        break;
    default:
        break;
    }
    const std::size_t stride = (static_cast<std::size_t>(bits) * width + 31) / 32 * 4;
    w.zeros(stride * static_cast<std::size_t>(height));
    const std::size_t maskBytes = static_cast<std::size_t>(height) * static_cast<std::size_t>(width) / 8;
    out.resize(out.size() + maskBytes, 0xFF);
    return out;
}

bool TIconCursorResourceDetails::IsCursor() const {
    return idOf(ResourceType) == 1;
}

std::span<const std::uint8_t> TIconCursorResourceDetails::ImageBytes() const {
    const auto bytes = Data().bytes();
    if (!IsCursor()) return bytes;
    return bytes.size() >= 4 ? bytes.subspan(4) : std::span<const std::uint8_t>{};
}

void TIconCursorResourceDetails::InitializeEmpty() {
    replaceData(*this, BlankIconCursorImage(IsCursor()));
}

std::int32_t TIconCursorResourceDetails::GetWidth() const {
    const auto bytes = ImageBytes();
    if (HasPngSignature(bytes)) {
        try {
            return static_cast<std::int32_t>(ReadPngInfo(bytes).Width);
        } catch (const EInvalidGraphic&) {
            return 0;
        }
    }
    return headerFacts(bytes, 0).width;
}

std::int32_t TIconCursorResourceDetails::GetHeight() const {
    const auto bytes = ImageBytes();
    if (HasPngSignature(bytes)) {
        try {
            return static_cast<std::int32_t>(ReadPngInfo(bytes).Height);
        } catch (const EInvalidGraphic&) {
            return 0;
        }
    }
    return headerFacts(bytes, 0).height / 2;
}

TPixelFormat TIconCursorResourceDetails::GetPixelFormat() const {
    const auto bytes = ImageBytes();
    if (HasPngSignature(bytes)) {
        try {
            return pngPixelFormat(ReadPngInfo(bytes));
        } catch (const EInvalidGraphic&) {
            return TPixelFormat::pfDevice;
        }
    }
    if (!headerFacts(bytes, 0).present) return TPixelFormat::pfDevice;
    return PixelFormatOfHeader(bytes);
}

void TIconCursorResourceDetails::GetPicture(TExIconCursor& picture) const {
    const auto bytes = ImageBytes();
    if (bytes.empty()) return;
    std::uint8_t width = 0, height = 0, colours = 0;
    std::uint16_t planes = 1, bitCount = 0;
    if (!HasPngSignature(bytes) && bytes.size() >= kBitmapInfoHeaderSize) {
        const auto facts = headerFacts(bytes, 0);
        width = static_cast<std::uint8_t>(facts.width);
        height = static_cast<std::uint8_t>(facts.height / 2);
        planes = loadLE16(bytes.data() + 12);
        bitCount = loadLE16(bytes.data() + 14);
        colours = bitCount <= 8 && bitCount > 0 ? static_cast<std::uint8_t>(1u << bitCount) : 0;
    } else if (HasPngSignature(bytes)) {
        bitCount = 32;
    }
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) throw ERangeError(kRangeCheckError);
    std::vector<std::uint8_t> file;
    ByteWriter w(file);
    w.u16(0);
    w.u16(1);
    w.u16(1);
    w.u8(width);
    w.u8(height);
    w.u8(colours);
    w.u8(0);
    w.u16(planes);
    w.u16(bitCount);
    w.u32(static_cast<std::uint32_t>(bytes.size()));
    w.u32(22);
    w.bytes(bytes);
    MemoryStream stream(std::move(file));
    TExIcon icon;
    icon.LoadFromStream(stream);
    picture.Assign(icon);
}

void TIconCursorResourceDetails::SetPicture(const TExIconCursor& picture) {
    const auto image = picture.GetImage(picture.CurrentImage());
    if (!image->Data) {
        Data().clear();
        return;
    }
    replaceData(*this, std::as_const(*image->Data).bytes());
}

void TIconCursorResourceDetails::PrepareDelete() {
    TResourceModule* module = Parent;
    if (!module) return;
    const std::int64_t imageType = idOf(ResourceType);
    if (imageType < 0) return;
    const std::u16string groupType = decimalText(static_cast<int>(imageType + 11));
    const std::int32_t count = module->GetResourceCount();
    for (std::int32_t i = 0; i < count; ++i) {
        TResourceDetails* details = module->GetResourceDetails(i);
        if (details->ResourceType != groupType) continue;
        auto* group = dynamic_cast<TIconCursorGroupResourceDetails*>(details);
        if (!group) throw EInvalidCast(kInvalidClassTypecast);
        if (group->ContainsImage(*this)) {
            // May delete the group itself (its last entry): stop right here.
            group->RemoveImageEntry(*this);
            return;
        }
    }
}

// ---- groups ---------------------------------------------------------------

bool TIconCursorGroupResourceDetails::IsCursorGroup() const {
    return idOf(ResourceType) == 12;
}

int TIconCursorGroupResourceDetails::ImageTypeNumber() const {
    return IsCursorGroup() ? 1 : 3;
}

int TIconCursorGroupResourceDetails::EntryCount() const {
    const auto bytes = Data().bytes();
    if (bytes.size() < kGroupHeaderSize) return 0;
    // Never more entries than the directory holds, whatever its count says.
    const std::size_t stored = (bytes.size() - kGroupHeaderSize) / kGroupEntrySize;
    return static_cast<int>(std::min<std::size_t>(loadLE16(bytes.data() + 4), stored));
}

std::uint16_t TIconCursorGroupResourceDetails::EntryImageId(int index) const {
    if (index < 0 || index >= EntryCount()) return 0;
    return loadLE16(Data().bytes().data() + kGroupHeaderSize + kGroupEntrySize * index + 12);
}

TIconCursorResourceDetails* TIconCursorGroupResourceDetails::GetResourceDetails(int index) const {
    if (!Parent || index < 0 || index >= EntryCount()) return nullptr;
    const std::u16string imageType = decimalText(static_cast<int>(idOf(ResourceType) - 11));
    const std::uint16_t id = EntryImageId(index);
    const std::int32_t count = Parent->GetResourceCount();
    for (std::int32_t i = 0; i < count; ++i) {
        auto* image = dynamic_cast<TIconCursorResourceDetails*>(Parent->GetResourceDetails(i));
        if (image && image->ResourceType == imageType && idOf(image->ResourceName()) == id) return image;
    }
    return nullptr;
}

bool TIconCursorGroupResourceDetails::ContainsImage(const TIconCursorResourceDetails& image) const {
    if (idOf(image.ResourceType) != idOf(ResourceType) - 11) return false;
    const std::int64_t id = idOf(image.ResourceName());
    const int entries = EntryCount();
    for (int i = 0; i < entries; ++i)
        if (EntryImageId(i) == id) return true;
    return false;
}

void TIconCursorGroupResourceDetails::removeEntryAt(int index) {
    const int entries = EntryCount();
    if (index < 0 || index >= entries) return;
    std::vector<std::uint8_t> bytes(Data().bytes().begin(), Data().bytes().end());
    const std::size_t at = kGroupHeaderSize + kGroupEntrySize * static_cast<std::size_t>(index);
    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                bytes.begin() + static_cast<std::ptrdiff_t>(at + kGroupEntrySize));
    storeLE16(bytes.data() + 4, static_cast<std::uint16_t>(entries - 1));
    replaceData(*this, bytes);
}

void TIconCursorGroupResourceDetails::RemoveImageEntry(const TIconCursorResourceDetails& image) {
    if (idOf(image.ResourceType) != idOf(ResourceType) - 11) return;
    const std::int64_t id = idOf(image.ResourceName());
    const int entries = EntryCount();
    int found = -1;
    for (int i = 0; i < entries && found < 0; ++i)
        if (EntryImageId(i) == id) found = i;
    if (found < 0) return;
    removeEntryAt(found);
    if (EntryCount() == 0 && !Deleting && Parent) {
        // The last image left from outside: the group goes too. This frees
        // the object, so nothing may touch it afterwards.
        TResourceModule* module = Parent;
        module->DeleteResource(module->IndexOfResource(this));
    }
}

void TIconCursorGroupResourceDetails::PrepareDelete() {
    struct DeletingMark {
        bool& flag;
        explicit DeletingMark(bool& f) : flag(f) { flag = true; }
        ~DeletingMark() { flag = false; }
    } mark(Deleting);
    if (!Parent) return;
    while (EntryCount() > 0) {
        const int before = EntryCount();
        TIconCursorResourceDetails* image = GetResourceDetails(0);
        // A missing image gives the module's index error (index -1).
        Parent->DeleteResource(Parent->IndexOfResource(image));
        // The image's own walk took the entry from the first group naming it;
        // when that was another group, this one still names it.
        if (EntryCount() == before) removeEntryAt(0);
    }
}

void TIconCursorGroupResourceDetails::InitializeEmpty() {
    const bool cursor = IsCursorGroup();
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.u16(0);
    w.u16(cursor ? 2 : 1);
    if (!Parent) {
        // No module to hold an image: an empty directory.
        w.u16(0);
        replaceData(*this, out);
        return;
    }
    const std::u16string imageType = cursor ? u"1" : u"3";
    const std::u16string name = Parent->NextResourceId(imageType);
    const std::int32_t id = NumericIdOf(name);
    if (id > 0xFFFF) throw ERangeError(kRangeCheckError);
    TIconCursorResourceDetails* image =
        cursor ? static_cast<TIconCursorResourceDetails*>(
                     CreateEmpty<TCursorResourceDetails>(Parent, ResourceLanguage, name))
               : static_cast<TIconCursorResourceDetails*>(
                     CreateEmpty<TIconResourceDetails>(Parent, ResourceLanguage, name));
    w.u16(1);
    if (cursor) {
        w.u16(static_cast<std::uint16_t>(kBlankImageWidth));
        w.u16(static_cast<std::uint16_t>(kBlankImageHeight));
    } else {
        w.u8(static_cast<std::uint8_t>(kBlankImageWidth));
        w.u8(static_cast<std::uint8_t>(kBlankImageHeight));
        w.u8(static_cast<std::uint8_t>(ColorCountOf(kBlankImageFormat)));
        w.u8(0);
    }
    w.u16(1);
    w.u16(static_cast<std::uint16_t>(BitCountOf(kBlankImageFormat)));
    w.u32(static_cast<std::uint32_t>(image->Data().size()));
    w.u16(static_cast<std::uint16_t>(id));
    replaceData(*this, out);
}

void TIconCursorGroupResourceDetails::LoadFromIconFile(const std::filesystem::path& fileName) {
    if (!Parent) throw Exception("An icon group must belong to a module to take images");
    PrepareDelete();

    const bool cursor = IsCursorGroup();
    std::unique_ptr<TExIconCursor> picture;
    if (cursor)
        picture = std::make_unique<TExCursor>();
    else
        picture = std::make_unique<TExIcon>();
    picture->LoadFromFile(fileName);

    const std::u16string imageType = cursor ? u"1" : u"3";
    const int count = picture->ImageCount();
    // Group entries hold 16-bit ids: refuse before anything is added rather
    // than write a truncated id that names some other image.
    if (count > 0) {
        const std::int64_t first = NumericIdOf(Parent->NextResourceId(imageType));
        if (first + count - 1 > 0xFFFF)
            throw ERangeError("No free " + std::string(cursor ? "cursor" : "icon") +
                              " image id: resource ids cannot exceed 65535");
    }

    std::vector<std::uint8_t> directory;
    ByteWriter w(directory);
    w.u16(0);
    w.u16(cursor ? 2 : 1);
    w.u16(static_cast<std::uint16_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto image = picture->GetImage(i);
        const auto bytes =
            image->Data ? std::as_const(*image->Data).bytes() : std::span<const std::uint8_t>{};
        if (cursor) {
            w.u16(static_cast<std::uint16_t>(image->Width));
            w.u16(static_cast<std::uint16_t>(image->Height));
        } else {
            w.u8(static_cast<std::uint8_t>(image->Width));
            w.u8(static_cast<std::uint8_t>(image->Height));
            w.u8(static_cast<std::uint8_t>(ColorCountOf(image->PixelFormat)));
            w.u8(0);
        }
        w.u16(1);
        w.u16(static_cast<std::uint16_t>(BitCountOf(image->PixelFormat)));
        w.u32(static_cast<std::uint32_t>(bytes.size()));

        const std::u16string name = Parent->NextResourceId(imageType);
        std::unique_ptr<TResourceDetails> details;
        if (cursor)
            details = Create<TCursorResourceDetails>(Parent, ResourceLanguage, name, imageType, bytes.size(),
                                                     bytes.data());
        else
            details = Create<TIconResourceDetails>(Parent, ResourceLanguage, name, imageType, bytes.size(),
                                                   bytes.data());
        Parent->AddResource(std::move(details));
        w.u16(static_cast<std::uint16_t>(NumericIdOf(name)));
    }
    replaceData(*this, directory);
}

// ---- registration ---------------------------------------------------------

namespace {

struct GraphicsRegistration {
    TDetailsClassRegistrar<TBitmapResourceDetails> bitmap;
    TDetailsClassRegistrar<TDIBResourceDetails> dib;
    TDetailsClassRegistrar<TIconGroupResourceDetails> iconGroup;
    TDetailsClassRegistrar<TCursorGroupResourceDetails> cursorGroup;
    TDetailsClassRegistrar<TIconResourceDetails> icon;
    TDetailsClassRegistrar<TCursorResourceDetails> cursor;
};

// Members are constructed in declaration order and destroyed in reverse.
[[maybe_unused]] const bool kRegisteredAtStart = (InitResourceGraphics(), true);

} // namespace

void InitResourceGraphics() {
    static GraphicsRegistration registration;
}

} // namespace pakforge
