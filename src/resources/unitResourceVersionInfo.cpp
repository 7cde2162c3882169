#include "resources/unitResourceVersionInfo.h"

#include "core/ByteIO.h"
#include "core/Utf16.h"
#include "resources/unitResourceGraphics.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace pakforge {

namespace {

constexpr int kMaxDepth = 8;
constexpr std::size_t kNodeHeaderSize = 6;

[[noreturn]] void corrupt(const std::string& what) {
    throw EVersionInfoError("The version information block is corrupt: " + what);
}

std::size_t align4(std::size_t offset) {
    return (offset + 3) & ~static_cast<std::size_t>(3);
}

// Reads the node at start; limit is the end of its parent. Offsets are from
// the start of the block, which the format aligns to 32 bits.
TVersionNode parseNode(std::span<const std::uint8_t> block, std::size_t start, std::size_t limit, int depth) {
    if (depth > kMaxDepth) corrupt("nested too deeply");
    if (limit - start < kNodeHeaderSize) corrupt("truncated node");
    ByteReader reader(block.first(limit));
    reader.seek(start);
    const std::uint16_t length = reader.u16();
    const std::uint16_t valueLength = reader.u16();
    const std::uint16_t valueType = reader.u16();
    if (length < kNodeHeaderSize || length > limit - start) corrupt("node length out of range");
    const std::size_t end = start + length;
    ByteReader node(block.first(end));
    node.seek(reader.position());

    TVersionNode result;
    result.ValueType = valueType;
    for (;;) {
        if (!node.canRead(2)) corrupt("key without its terminator");
        const char16_t c = static_cast<char16_t>(node.u16());
        if (c == 0) break;
        result.Key.push_back(c);
    }
    std::size_t pos = align4(node.position());
    if (valueLength > 0) {
        if (pos > end) corrupt("value out of range");
        if (valueType == 1) {
            // Counted in characters; some writers count bytes, so never read
            // past the node, and stop at the terminator.
            const std::size_t bytes = std::min<std::size_t>(2u * valueLength, (end - pos) & ~std::size_t{1});
            node.seek(pos);
            for (std::size_t i = 0; i < bytes / 2; ++i) {
                const char16_t c = static_cast<char16_t>(node.u16());
                if (c == 0) break;
                result.Text.push_back(c);
            }
            pos += bytes;
        } else {
            if (valueLength > end - pos) corrupt("value out of range");
            const auto value = block.subspan(pos, valueLength);
            result.Value.assign(value.begin(), value.end());
            pos += valueLength;
        }
    }
    pos = align4(pos);
    while (pos < end && end - pos >= kNodeHeaderSize) {
        result.Children.push_back(parseNode(block, pos, end, depth + 1));
        pos = align4(pos + loadLE16(block.data() + pos));
    }
    return result;
}

void writeNode(std::vector<std::uint8_t>& out, const TVersionNode& node, int depth) {
    if (depth > kMaxDepth) throw EVersionInfoError("The version information block is nested too deeply");
    ByteWriter w(out);
    w.alignTo(4);
    const std::size_t start = out.size();
    const bool text = node.ValueType == 1;
    // A text leaf carries its terminator even when empty (as resource
    // compilers write it); a text node with children and no text has none.
    const bool textValue = text && !(node.Text.empty() && !node.Children.empty());
    const std::size_t valueLength = text ? (textValue ? node.Text.size() + 1 : 0) : node.Value.size();
    if (valueLength > 0xFFFF) throw EVersionInfoError("A version information value is too long");
    w.u16(0);
    w.u16(static_cast<std::uint16_t>(valueLength));
    w.u16(node.ValueType);
    w.utf16(node.Key);
    w.u16(0);
    w.alignTo(4);
    if (text) {
        if (textValue) {
            w.utf16(node.Text);
            w.u16(0);
        }
    } else {
        w.bytes(node.Value);
    }
    for (const TVersionNode& child : node.Children) writeNode(out, child, depth + 1);
    const std::size_t length = out.size() - start;
    if (length > 0xFFFF) throw EVersionInfoError("The version information block is too large");
    storeLE16(out.data() + start, static_cast<std::uint16_t>(length));
}

std::vector<std::u16string_view> splitPath(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    std::size_t i = 0;
    while (i <= path.size()) {
        const std::size_t next = path.find(u'\\', i);
        const std::size_t stop = next == std::u16string_view::npos ? path.size() : next;
        if (stop > i) parts.push_back(path.substr(i, stop - i));
        if (next == std::u16string_view::npos) break;
        i = next + 1;
    }
    return parts;
}

std::vector<std::uint8_t> textBytes(const std::u16string& text) {
    std::vector<std::uint8_t> out;
    ByteWriter(out).utf16(text);
    return out;
}

} // namespace

// ---- fixed file info ------------------------------------------------------

TFixedFileInfo TFixedFileInfo::FromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kSize) corrupt("fixed file information too short");
    ByteReader r(bytes);
    TFixedFileInfo info;
    info.Signature = r.u32();
    if (info.Signature != kFixedFileInfoSignature) corrupt("fixed file information without its signature");
    info.StrucVersion = r.u32();
    info.FileVersionMS = r.u32();
    info.FileVersionLS = r.u32();
    info.ProductVersionMS = r.u32();
    info.ProductVersionLS = r.u32();
    info.FileFlagsMask = r.u32();
    info.FileFlags = r.u32();
    info.FileOS = r.u32();
    info.FileType = r.u32();
    info.FileSubtype = r.u32();
    info.FileDateMS = r.u32();
    info.FileDateLS = r.u32();
    return info;
}

std::vector<std::uint8_t> TFixedFileInfo::ToBytes() const {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    for (std::uint32_t v :
         {Signature, StrucVersion, FileVersionMS, FileVersionLS, ProductVersionMS, ProductVersionLS,
          FileFlagsMask, FileFlags, FileOS, FileType, FileSubtype, FileDateMS, FileDateLS})
        w.u32(v);
    return out;
}

std::array<std::uint16_t, 4> TFixedFileInfo::FileVersion() const {
    return {static_cast<std::uint16_t>(FileVersionMS >> 16), static_cast<std::uint16_t>(FileVersionMS),
            static_cast<std::uint16_t>(FileVersionLS >> 16), static_cast<std::uint16_t>(FileVersionLS)};
}

std::array<std::uint16_t, 4> TFixedFileInfo::ProductVersion() const {
    return {static_cast<std::uint16_t>(ProductVersionMS >> 16), static_cast<std::uint16_t>(ProductVersionMS),
            static_cast<std::uint16_t>(ProductVersionLS >> 16), static_cast<std::uint16_t>(ProductVersionLS)};
}

// ---- block ----------------------------------------------------------------

const TVersionNode* TVersionNode::Child(std::u16string_view key) const {
    for (const TVersionNode& child : Children)
        if (sameTextIgnoreCase(child.Key, key)) return &child;
    return nullptr;
}

TVersionNode* TVersionNode::Child(std::u16string_view key) {
    return const_cast<TVersionNode*>(std::as_const(*this).Child(key));
}

TVersionNode ParseVersionBlock(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kNodeHeaderSize) corrupt("truncated node");
    // The root may be followed by padding; it ends where its length says.
    return parseNode(bytes, 0, bytes.size(), 0);
}

std::vector<std::uint8_t> WriteVersionBlock(const TVersionNode& root) {
    std::vector<std::uint8_t> out;
    writeNode(out, root, 0);
    return out;
}

std::u16string TranslationKey(std::uint32_t translation) {
    char text[9];
    std::snprintf(text, sizeof text, "%04X%04X", static_cast<unsigned>(translation & 0xFFFF),
                  static_cast<unsigned>(translation >> 16));
    return std::u16string(text, text + 8);
}

std::optional<std::vector<std::uint8_t>> TVersionInfoBlock::Query(std::u16string_view path) const {
    const TVersionNode* node = &Root;
    for (const auto part : splitPath(path)) {
        node = node->Child(part);
        if (!node) return std::nullopt;
    }
    if (node->ValueType == 1) return textBytes(node->Text);
    return node->Value;
}

std::optional<std::u16string> TVersionInfoBlock::QueryString(std::u16string_view path) const {
    const TVersionNode* node = &Root;
    for (const auto part : splitPath(path)) {
        node = node->Child(part);
        if (!node) return std::nullopt;
    }
    if (node->ValueType != 1 || !node->Children.empty()) return std::nullopt;
    return node->Text;
}

std::optional<TFixedFileInfo> TVersionInfoBlock::FixedFileInfo() const {
    if (Root.Value.size() < TFixedFileInfo::kSize) return std::nullopt;
    return TFixedFileInfo::FromBytes(Root.Value);
}

std::vector<std::uint32_t> TVersionInfoBlock::Translations() const {
    std::vector<std::uint32_t> result;
    const TVersionNode* vars = Root.Child(u"VarFileInfo");
    const TVersionNode* translation = vars ? vars->Child(u"Translation") : nullptr;
    if (!translation) return result;
    for (std::size_t i = 0; i + 4 <= translation->Value.size(); i += 4)
        result.push_back(loadLE32(translation->Value.data() + i));
    return result;
}

std::vector<TVersionInfoBlock::TStringTable> TVersionInfoBlock::StringTables() const {
    std::vector<TStringTable> tables;
    const TVersionNode* strings = Root.Child(u"StringFileInfo");
    if (!strings) return tables;
    for (const TVersionNode& table : strings->Children) {
        TStringTable t;
        t.Key = table.Key;
        for (const TVersionNode& pair : table.Children) t.Values.emplace_back(pair.Key, pair.Text);
        tables.push_back(std::move(t));
    }
    return tables;
}

std::optional<std::u16string> TVersionInfoBlock::StringValue(std::u16string_view key,
                                                             std::optional<std::uint32_t> translation) const {
    const TVersionNode* strings = Root.Child(u"StringFileInfo");
    if (!strings || strings->Children.empty()) return std::nullopt;
    const TVersionNode* table =
        translation ? strings->Child(TranslationKey(*translation)) : &strings->Children[0];
    if (!table) return std::nullopt;
    const TVersionNode* value = table->Child(key);
    if (!value) return std::nullopt;
    return value->Text;
}

// ---- resource class -------------------------------------------------------

TVersionInfoResourceDetails::~TVersionInfoResourceDetails() = default;

void TVersionInfoResourceDetails::InitializeEmpty() {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.u16(0); // total length, filled in below
    w.u16(static_cast<std::uint16_t>(TFixedFileInfo::kSize));
    w.u16(0);
    w.utf16(u"VS_VERSION_INFO");
    w.u16(0);
    while (out.size() % 4) w.u16(0);
    w.bytes(TFixedFileInfo{}.ToBytes());
    while (out.size() % 4) w.u16(0);
    w.patchU16(0, static_cast<std::uint16_t>(out.size()));
    MemoryStream& data = Data();
    data.clear();
    data.writeBuffer(out.data(), out.size());
    data.setPosition(0);
    Translations.push_back(kDefaultTranslation);
}

void TVersionInfoResourceDetails::ReplaceData(Stream& stream) {
    TResourceDetails::ReplaceData(stream);
    // The new block's own table, if any, replaces the old one when parsed; a
    // block without one must not pick its strings by the old table.
    Translations.clear();
    Parsed = false;
}

void TVersionInfoResourceDetails::Parse() {
    if (Parsed) return;
    TVersionInfoBlock block(Data().bytes());
    const auto translations = block.Translations();
    if (!translations.empty()) Translations = translations;
    StringValues.clear();
    const auto tables = block.StringTables();
    const TVersionInfoBlock::TStringTable* chosen = tables.empty() ? nullptr : &tables[0];
    if (!Translations.empty())
        for (const auto& table : tables)
            if (sameTextIgnoreCase(table.Key, TranslationKey(Translations[0]))) {
                chosen = &table;
                break;
            }
    if (chosen)
        for (const auto& [key, value] : chosen->Values)
            StringValues.push_back(std::make_unique<TVersionStringValue>(key, value));
    block_ = std::move(block);
    Parsed = true;
}

const TVersionInfoBlock& TVersionInfoResourceDetails::Block() {
    Parse();
    return block_;
}

const std::u16string& TVersionInfoResourceDetails::GetKey(int index) {
    Parse();
    if (index < 0 || static_cast<std::size_t>(index) >= StringValues.size())
        throw ERangeError("List index out of bounds (" + std::to_string(index) + ")");
    return StringValues[static_cast<std::size_t>(index)]->Key;
}

void TVersionInfoResourceDetails::SetStringValue(const std::u16string& key, const std::u16string& value) {
    Parse();
    TVersionNode& root = block_.Root;
    const std::uint32_t translation = Translations.empty() ? kDefaultTranslation : Translations[0];
    TVersionNode* strings = root.Child(u"StringFileInfo");
    if (!strings) {
        TVersionNode node;
        node.Key = u"StringFileInfo";
        node.ValueType = 1;
        // String information goes before the variable information.
        const auto at = std::find_if(root.Children.begin(), root.Children.end(), [](const TVersionNode& n) {
            return sameTextIgnoreCase(n.Key, u"VarFileInfo");
        });
        strings = &*root.Children.insert(at, std::move(node));
    }
    TVersionNode* table = strings->Child(TranslationKey(translation));
    if (!table && !strings->Children.empty()) table = &strings->Children[0];
    if (!table) {
        TVersionNode node;
        node.Key = TranslationKey(translation);
        node.ValueType = 1;
        strings->Children.push_back(std::move(node));
        table = &strings->Children.back();
    }
    TVersionNode* pair = table->Child(key);
    if (!pair) {
        TVersionNode node;
        node.Key = key;
        node.ValueType = 1;
        table->Children.push_back(std::move(node));
        pair = &table->Children.back();
    }
    pair->Text = value;
    if (!root.Child(u"VarFileInfo")) {
        TVersionNode translationNode;
        translationNode.Key = u"Translation";
        translationNode.Value.resize(4);
        storeLE32(translationNode.Value.data(), translation);
        TVersionNode vars;
        vars.Key = u"VarFileInfo";
        vars.ValueType = 1;
        vars.Children.push_back(std::move(translationNode));
        root.Children.push_back(std::move(vars));
    }
    const auto bytes = WriteVersionBlock(root);
    MemoryStream& data = Data();
    data.clear();
    data.writeBuffer(bytes.data(), bytes.size());
    data.setPosition(0);
    Dirty = true;
    // The pairs shown are those of the table just changed.
    StringValues.clear();
    for (const TVersionNode& child : table->Children)
        StringValues.push_back(std::make_unique<TVersionStringValue>(child.Key, child.Text));
}

// ---- registration ---------------------------------------------------------

namespace {

struct VersionInfoRegistration {
    // The picture classes come first at start-up and go last at shut-down.
    struct GraphicsFirst {
        GraphicsFirst() { InitResourceGraphics(); }
    } graphics;
    TDetailsClassRegistrar<TVersionInfoResourceDetails> versionInfo;
};

[[maybe_unused]] const bool kRegisteredAtStart = (InitResourceVersionInfo(), true);

} // namespace

void InitResourceVersionInfo() {
    static VersionInfoRegistration registration;
}

} // namespace pakforge
