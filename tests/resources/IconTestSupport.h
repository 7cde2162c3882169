// Shared by the icon, group and version tests: icon files made by icotool from
// PNGs written at test time, hand-made bitmap images for malformed cases, and
// a plain list module with the PE module's delete rules.
#pragma once

#include "RequireTool.h"

#include "core/ByteIO.h"
#include "resources/unitResourceDetails.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace pakforge::icontest {

// Writes PNGs with Python's zlib and struct (no imaging library needed).
//   checker NAME W H  : two colours (black and white), fit for 1 bit
//   colours NAME W H SEED : up to 64 colours with some transparent pixels
inline const char* kPngScript = R"PY(
import struct, sys, zlib
def chunk(t, d):
    return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
def write(path, w, h, pixel):
    rows = b''
    for y in range(h):
        rows += b'\x00' + b''.join(bytes(pixel(x, y)) for x in range(w))
    open(path, 'wb').write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 6, 0, 0, 0))
                           + chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b''))
args = sys.argv[1:]
while args:
    kind, name, w, h = args[0], args[1], int(args[2]), int(args[3])
    if kind == 'checker':
        args = args[4:]
        def px(x, y):
            v = 255 if (x // 4 + y // 4) % 2 else 0
            return [v, v, v, 255 if x < w - 2 else 0]
    else:
        seed = int(args[4]); args = args[5:]
        def px(x, y, seed=seed):
            return [(x * 7 + seed) & 0xC0, (y * 5 + seed * 3) & 0xC0, ((x ^ y) + seed) & 0xC0,
                    255 if (x + y) % 5 else 0]
    write(name, w, h, px)
)PY";

inline const char* kPython = "/usr/bin/python3";

inline bool haveIconTools() {
    return test::haveTool("icotool") && test::haveTool(kPython);
}

inline void runOrFail(const std::string& command) {
    std::string out;
    const int rc = test::runCommand(command + " 2>&1", &out);
    ASSERT_EQ(rc, 0) << command << "\n" << out;
}

// An .ico with a 1, 4, 8, 24 and 32-bit bitmap image and a 256x256 PNG
// image, in that order, made by icotool.
inline std::filesystem::path makeSixImageIcon(const test::TempDir& dir, const std::string& name = "six.ico") {
    test::writeText(dir / "png.py", kPngScript);
    const auto p = [&](const std::string& f) { return test::shellQuote((dir / f).string()); };
    runOrFail(std::string(kPython) + " " + p("png.py") + " checker " + p("m32.png") + " 32 32 colours " +
              p("a16.png") + " 16 16 1 colours " + p("c48.png") + " 48 48 3 colours " + p("d24.png") +
              " 24 24 4 colours " + p("e32.png") + " 32 32 5 colours " + p("big.png") + " 256 256 6");
    runOrFail("icotool -c -o " + p(name) + " -b 1 " + p("m32.png") + " -b 4 " + p("a16.png") + " -b 8 " +
              p("c48.png") + " -b 24 " + p("d24.png") + " -b 32 " + p("e32.png") + " -r " + p("big.png"));
    return dir / name;
}

// A bottom-up bitmap icon image: info header (height doubled), colour table,
// colour rows and mask rows, all zero but the header.
inline std::vector<std::uint8_t> bitmapImage(std::int32_t width, std::int32_t height, std::uint16_t bits,
                                             std::uint32_t compression = 0) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.u32(40);
    w.u32(static_cast<std::uint32_t>(width));
    w.u32(static_cast<std::uint32_t>(height * 2));
    w.u16(1);
    w.u16(bits);
    w.u32(compression);
    w.u32(0);
    w.u32(0);
    w.u32(0);
    w.u32(0);
    w.u32(0);
    const std::size_t table = bits <= 8 ? (std::size_t{4} << bits) : (compression == 3 ? 12 : 0);
    const std::size_t stride = (static_cast<std::size_t>(width) * bits + 31) / 32 * 4;
    const std::size_t mask = (static_cast<std::size_t>(width) + 31) / 32 * 4;
    w.zeros(table + (stride + mask) * static_cast<std::size_t>(height));
    return out;
}

struct IcoEntry {
    std::uint8_t width = 0, height = 0, colours = 0;
    std::uint16_t planes = 1, bitCount = 0; // hot spot x, y for cursors
    std::vector<std::uint8_t> data;
    // Overrides for malformed files.
    std::int64_t sizeOverride = -1, offsetOverride = -1;
};

// An icon (type 1) or cursor (type 2) file with images packed after the
// directory.
inline std::vector<std::uint8_t> iconFile(const std::vector<IcoEntry>& entries, std::uint16_t type = 1) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.u16(0);
    w.u16(type);
    w.u16(static_cast<std::uint16_t>(entries.size()));
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * entries.size());
    for (const auto& e : entries) {
        w.u8(e.width);
        w.u8(e.height);
        w.u8(e.colours);
        w.u8(0);
        w.u16(e.planes);
        w.u16(e.bitCount);
        w.u32(e.sizeOverride >= 0 ? static_cast<std::uint32_t>(e.sizeOverride)
                                  : static_cast<std::uint32_t>(e.data.size()));
        w.u32(e.offsetOverride >= 0 ? static_cast<std::uint32_t>(e.offsetOverride) : offset);
        offset += static_cast<std::uint32_t>(e.data.size());
    }
    for (const auto& e : entries) w.bytes(e.data);
    return out;
}

// The images of an .ico file as (entry fields, image bytes), with the bitmap
// header's image-size field cleared as the codec stores it.
struct IcoImage {
    std::uint8_t width, height, colours;
    std::uint16_t planes, bitCount;
    std::vector<std::uint8_t> bytes;
};
inline std::vector<IcoImage> icoImages(const std::vector<std::uint8_t>& file, bool clearSizeField) {
    ByteReader r(file);
    r.skip(4);
    const std::uint16_t count = r.u16();
    std::vector<IcoImage> images;
    for (std::uint16_t i = 0; i < count; ++i) {
        IcoImage image{};
        image.width = r.u8();
        image.height = r.u8();
        image.colours = r.u8();
        r.u8();
        image.planes = r.u16();
        image.bitCount = r.u16();
        const std::uint32_t size = r.u32();
        const std::uint32_t offset = r.u32();
        const auto bytes = ByteReader(file).data().subspan(offset, size);
        image.bytes.assign(bytes.begin(), bytes.end());
        if (clearSizeField && image.bytes.size() >= 40 && image.bytes[0] == 40)
            storeLE32(image.bytes.data() + 20, 0);
        images.push_back(std::move(image));
    }
    return images;
}

inline bool haveMingw() {
    return test::haveTool("i686-w64-mingw32-gcc") && test::haveTool("i686-w64-mingw32-windres");
}

// A PE32 console program built by mingw-w64 with the given resource script
// (empty for none). It prints "hello from the test program" and exits with 7.
inline std::filesystem::path buildMingwProgram(const test::TempDir& dir, const std::string& rc,
                                               const std::string& name = "prog.exe") {
    const auto q = [&](const std::string& f) { return test::shellQuote((dir / f).string()); };
    test::writeText(dir / "prog.c",
                    "#include <stdio.h>\nint main(void){puts(\"hello from the test program\");return 7;}\n");
    std::string objects = q("prog.c");
    if (!rc.empty()) {
        test::writeText(dir / "prog.rc", rc);
        runOrFail("cd " + test::shellQuote(dir.path().string()) +
                  " && i686-w64-mingw32-windres prog.rc -O coff -o prog.res.o");
        objects += " " + q("prog.res.o");
    }
    runOrFail("i686-w64-mingw32-gcc -O1 -o " + q(name) + " " + objects);
    return dir / name;
}

// A version block as a resource compiler writes it.
inline const char* kVersionRc = R"RC(
1 VERSIONINFO
FILEVERSION 1,2,3,4
PRODUCTVERSION 5,6,7,8
FILEFLAGSMASK 0x3f
FILEOS 0x40004
FILETYPE 1
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904B0"
    BEGIN
      VALUE "CompanyName", "Pakforge Test"
      VALUE "ProductVersion", "1.2.3.4"
      VALUE "Comments", ""
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
)RC";

// A resource list with the PE module's rules: owning, identity look-ups,
// delete takes the object again by identity after PrepareDelete.
class TListModule : public TResourceModule {
  public:
    std::int32_t GetResourceCount() const override { return static_cast<std::int32_t>(list_.size()); }
    TResourceDetails* GetResourceDetails(std::int32_t index) const override {
        if (index < 0 || index >= GetResourceCount())
            throw Exception("List index out of bounds (" + std::to_string(index) + ")");
        return list_[static_cast<std::size_t>(index)].get();
    }
    void DeleteResource(std::int32_t index) override {
        TResourceDetails* details = GetResourceDetails(index);
        TResourceModule::DeleteResource(index);
        const std::int32_t at = IndexOfResource(details);
        if (at >= 0) list_.erase(list_.begin() + at);
    }
    void InsertResource(std::int32_t index, std::unique_ptr<TResourceDetails>&& details) override {
        list_.insert(list_.begin() + index, std::move(details));
    }
    std::int32_t AddResource(std::unique_ptr<TResourceDetails>&& details) override {
        list_.push_back(std::move(details));
        return GetResourceCount() - 1;
    }
    std::int32_t IndexOfResource(const TResourceDetails* details) const override {
        for (std::size_t i = 0; i < list_.size(); ++i)
            if (list_[i].get() == details) return static_cast<std::int32_t>(i);
        return -1;
    }

    // Adds a resource as a file load would (through the class factory).
    TResourceDetails* addRead(std::u16string type, std::u16string name, std::vector<std::uint8_t> bytes,
                              std::int32_t language = 0) {
        auto details =
            TResourceDetails::CreateDetailsFor(this, language, name, type, bytes.size(), bytes.data());
        TResourceDetails* raw = details.get();
        AddResource(std::move(details));
        return raw;
    }

  private:
    std::vector<std::unique_ptr<TResourceDetails>> list_;
};

inline std::u16string u16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

} // namespace pakforge::icontest
