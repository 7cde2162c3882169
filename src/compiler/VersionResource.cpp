#include "compiler/VersionResource.h"

#include "compiler/PackageProperties.h"
#include "core/ByteIO.h"
#include "core/Exceptions.h"
#include "core/Streams.h"
#include "core/Utf16.h"
#include "resources/pe/PeImage.h"
#include "resources/pe/ResourceUpdate.h"
#include "resources/unitResourceVersionInfo.h"

#include <set>

namespace pakforge {

namespace {

constexpr std::uint16_t kVersionType = 16;
constexpr std::uint16_t kVersionId = 1;
constexpr std::uint32_t kOsNtWindows32 = 0x00040004;
constexpr std::uint32_t kFileTypeApp = 1;

bool isSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

[[noreturn]] void badVersion(std::u16string_view text) {
    throw Exception("The package's ProductVersion \"" + utf16ToUtf8(text) +
                    "\" is no version number: it must be up to four numbers from 0 to 65535 separated "
                    "by dots, such as 1.2.3");
}

TVersionNode textNode(std::u16string key, std::u16string text) {
    TVersionNode node;
    node.Key = std::move(key);
    node.ValueType = 1;
    node.Text = std::move(text);
    return node;
}

std::u16string describe(const std::u16string& productName) {
    return productName.empty() ? u"Setup" : productName + u" Setup";
}

} // namespace

std::array<std::uint16_t, 4> ParseProductVersion(std::u16string_view text) {
    std::u16string_view rest = text;
    while (!rest.empty() && isSpace(rest.front())) rest.remove_prefix(1);
    while (!rest.empty() && isSpace(rest.back())) rest.remove_suffix(1);
    std::array<std::uint16_t, 4> parts{};
    std::size_t count = 0;
    for (;;) {
        if (count == parts.size()) badVersion(text);
        std::uint32_t value = 0;
        std::size_t digits = 0;
        while (digits < rest.size() && rest[digits] >= u'0' && rest[digits] <= u'9') {
            value = value * 10 + static_cast<std::uint32_t>(rest[digits] - u'0');
            if (value > 0xFFFF) badVersion(text);
            ++digits;
        }
        if (digits == 0) badVersion(text);
        parts[count++] = static_cast<std::uint16_t>(value);
        rest.remove_prefix(digits);
        if (rest.empty()) return parts;
        if (rest.front() != u'.') badVersion(text);
        rest.remove_prefix(1);
    }
}

std::vector<std::uint8_t> MakeVersionBlock(const VersionStrings& strings) {
    const auto v = ParseProductVersion(strings.productVersion);
    TFixedFileInfo fixed;
    fixed.FileVersionMS = fixed.ProductVersionMS = (std::uint32_t{v[0]} << 16) | v[1];
    fixed.FileVersionLS = fixed.ProductVersionLS = (std::uint32_t{v[2]} << 16) | v[3];
    fixed.FileOS = kOsNtWindows32;
    fixed.FileType = kFileTypeApp;

    TVersionNode table;
    table.Key = TranslationKey(kNeutralUnicodeTranslation);
    table.ValueType = 1;
    table.Children = {
        textNode(u"CompanyName", strings.manufacturer),
        textNode(u"FileDescription", describe(strings.productName)),
        textNode(u"FileVersion", strings.productVersion),
        textNode(u"OriginalFilename", strings.originalFilename),
        textNode(u"ProductName", strings.productName),
        textNode(u"ProductVersion", strings.productVersion),
    };
    TVersionNode stringInfo;
    stringInfo.Key = u"StringFileInfo";
    stringInfo.ValueType = 1;
    stringInfo.Children.push_back(std::move(table));

    TVersionNode translation;
    translation.Key = u"Translation";
    translation.Value.resize(4);
    storeLE32(translation.Value.data(), kNeutralUnicodeTranslation);
    TVersionNode varInfo;
    varInfo.Key = u"VarFileInfo";
    varInfo.ValueType = 1;
    varInfo.Children.push_back(std::move(translation));

    TVersionNode root;
    root.Key = u"VS_VERSION_INFO";
    root.Value = fixed.ToBytes();
    root.Children.push_back(std::move(stringInfo));
    root.Children.push_back(std::move(varInfo));
    return WriteVersionBlock(root);
}

void WriteVersionResource(const std::filesystem::path& executable, const std::filesystem::path& package,
                          const std::filesystem::path& outputName) {
    PackageProperties props;
    props.GetMSIProperty(pathToUtf16(package));
    VersionStrings strings{props.FProductName, props.FProductVersion, props.FManufacturer,
                           pathToUtf16(outputName.filename())};
    if (strings.productVersion.empty())
        throw Exception("Cannot write version information: \"" + pathToUtf8(package) +
                        "\" gives no ProductVersion");
    const auto block = MakeVersionBlock(strings);

    // Every language of the stub's block goes, so that no reader picks an
    // old one over ours.
    std::set<std::uint16_t> languages;
    {
        FileStream file(executable, FileStream::Mode::OpenRead);
        std::vector<std::uint8_t> image(static_cast<std::size_t>(file.size()));
        file.readBuffer(image.data(), image.size());
        const auto headers = pe::parseHeaders(image);
        pe::forEachResource(image, headers, [&languages](const pe::ResourceEntry& entry) {
            if (!entry.type.isName() && entry.type.id() == kVersionType && !entry.name.isName() &&
                entry.name.id() == kVersionId)
                languages.insert(entry.language);
        });
    }
    pe::ResourceUpdate update(executable, false);
    for (const std::uint16_t language : languages)
        if (language != 0)
            update.update(pe::ResId::number(kVersionType), pe::ResId::number(kVersionId), language, {});
    update.update(pe::ResId::number(kVersionType), pe::ResId::number(kVersionId), 0, block);
    update.commit();
}

} // namespace pakforge
