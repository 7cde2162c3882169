// Version information resources (type 16): the resource class, and a reader
// and writer for version blocks (VS_VERSIONINFO trees: fixed file info,
// string tables, translations) with VerQueryValue-style lookups.
#pragma once

#include "resources/unitResourceDetails.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pakforge {

// A version block that cannot be read.
class EVersionInfoError : public Exception {
  public:
    using Exception::Exception;
};

inline constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
inline constexpr std::uint32_t kDefaultTranslation = 0x04E40409; // en-US, code page 1252

// VS_FIXEDFILEINFO, 52 bytes.
struct TFixedFileInfo {
    std::uint32_t Signature = kFixedFileInfoSignature;
    std::uint32_t StrucVersion = 0x00010000;
    std::uint32_t FileVersionMS = 0x00010000;
    std::uint32_t FileVersionLS = 0;
    std::uint32_t ProductVersionMS = 0x00010000;
    std::uint32_t ProductVersionLS = 0;
    std::uint32_t FileFlagsMask = 0x3F;
    std::uint32_t FileFlags = 0;
    std::uint32_t FileOS = 4;
    std::uint32_t FileType = 0;
    std::uint32_t FileSubtype = 0;
    std::uint32_t FileDateMS = 0;
    std::uint32_t FileDateLS = 0;

    static constexpr std::size_t kSize = 52;
    // Raises EVersionInfoError unless 52 bytes with the signature.
    static TFixedFileInfo FromBytes(std::span<const std::uint8_t> bytes);
    std::vector<std::uint8_t> ToBytes() const;
    // The four 16-bit parts, most significant first.
    std::array<std::uint16_t, 4> FileVersion() const;
    std::array<std::uint16_t, 4> ProductVersion() const;
    bool operator==(const TFixedFileInfo&) const = default;
};

// One node of a version block: a key, a binary (type 0) or text (type 1)
// value, and child nodes.
struct TVersionNode {
    std::u16string Key;
    std::uint16_t ValueType = 0;
    std::vector<std::uint8_t> Value; // binary value
    std::u16string Text;             // text value (without its terminating 0)
    std::vector<TVersionNode> Children;

    // The first child with this key (case-insensitive), or null.
    const TVersionNode* Child(std::u16string_view key) const;
    TVersionNode* Child(std::u16string_view key);
};

// Reads a whole block; raises EVersionInfoError on malformed bytes.
TVersionNode ParseVersionBlock(std::span<const std::uint8_t> bytes);
// Writes a block: every node 32-bit aligned, lengths filled in. Raises
// EVersionInfoError when a node does not fit 16-bit lengths.
std::vector<std::uint8_t> WriteVersionBlock(const TVersionNode& root);

// "040904B0" for language 0x0409, code page 1200.
std::u16string TranslationKey(std::uint32_t translation);

// A parsed version block with lookups.
class TVersionInfoBlock {
  public:
    TVersionInfoBlock() = default;
    explicit TVersionInfoBlock(std::span<const std::uint8_t> bytes) : Root(ParseVersionBlock(bytes)) {}

    // VerQueryValue paths: "\\" gives the fixed file info, "\\VarFileInfo\\Translation"
    // the translation array, "\\StringFileInfo\\040904B0\\ProductVersion" a
    // string (as UTF-16LE bytes without the terminator). Keys compare without
    // regard to case. Empty when the path names no value.
    std::optional<std::vector<std::uint8_t>> Query(std::u16string_view path) const;
    // The text of a string value, or empty when there is none.
    std::optional<std::u16string> QueryString(std::u16string_view path) const;

    std::optional<TFixedFileInfo> FixedFileInfo() const;
    std::vector<std::uint32_t> Translations() const;
    // The tables under StringFileInfo, each with its key ("040904B0") and pairs.
    struct TStringTable {
        std::u16string Key;
        std::vector<std::pair<std::u16string, std::u16string>> Values;
    };
    std::vector<TStringTable> StringTables() const;
    // A string from the first table, or from the table of translation.
    std::optional<std::u16string> StringValue(std::u16string_view key,
                                              std::optional<std::uint32_t> translation = {}) const;

    TVersionNode Root;
};

// One pair of a version string table.
class TVersionStringValue {
  public:
    TVersionStringValue(std::u16string key, std::u16string value)
        : Key(std::move(key)), Value(std::move(value)) {}
    std::u16string Key;
    std::u16string Value;
};

class TVersionInfoResourceDetails : public TResourceDetails {
    PAKFORGE_DETAILS_CLASS(TVersionInfoResourceDetails)
  public:
    using TResourceDetails::TResourceDetails;
    ~TVersionInfoResourceDetails() override;

    static std::u16string ClassResourceType() { return u"16"; }
    // The 92-byte block with only its root node, and the en-US/1252 translation.
    void InitializeEmpty() override;
    void ReplaceData(Stream& stream) override;

    // Reads Data into StringValues (the first string table, or the one of
    // the first translation) and Translations, once per Data. Raises
    // EVersionInfoError when Data is not a readable block.
    void Parse();
    const std::u16string& GetKey(int index);
    const std::u16string& Key(int index) { return GetKey(index); }
    // Changes or adds a string of the parsed table and rewrites Data.
    void SetStringValue(const std::u16string& key, const std::u16string& value);
    // The parsed block (parses on first use).
    const TVersionInfoBlock& Block();

    std::vector<std::unique_ptr<TVersionStringValue>> StringValues;
    bool Parsed = false;
    std::vector<std::uint32_t> Translations;

  private:
    TVersionInfoBlock block_;
};

// Registers TVersionInfoResourceDetails after the picture classes
// (InitResourceGraphics); shut-down unregisters it before them.
void InitResourceVersionInfo();

} // namespace pakforge
