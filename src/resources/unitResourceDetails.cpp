#include "resources/unitResourceDetails.h"

#include "core/ByteIO.h"
#include "core/Utf16.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>

namespace pakforge {

namespace {

// Function-local so it exists before any registrar runs and outlives them all.
std::vector<const TResourceDetailsClass*>& registry() {
    static std::vector<const TResourceDetailsClass*> classes;
    return classes;
}

bool isTextByte(unsigned value) {
    return (value >= 0x20 && value <= 0x7F) || value == 9 || value == 10 || value == 13;
}

} // namespace

// ---- TResourceDetails ----

TResourceDetails::TResourceDetails(TResourceModule* parent, std::int32_t language, std::u16string name,
                                   std::u16string type)
    : Parent(parent), ResourceLanguage(language), ResourceType(std::move(type)), name_(std::move(name)) {}

TResourceDetails::~TResourceDetails() = default;

void TResourceDetails::InitializeEmpty() {}

void TResourceDetails::SetResourceName(const std::u16string& name) {
    if (name == name_) return;
    name_ = name;
    Dirty = true;
}

bool TResourceDetails::AcceptsRawData(const std::u16string&, std::size_t, const std::uint8_t*) {
    return false;
}

bool TResourceDetails::AcceptsData(std::size_t, const std::uint8_t*) {
    return false;
}

MemoryStream& TResourceDetails::GetData() {
    return data_;
}

std::u16string TResourceDetails::ClassResourceType() {
    return u"0";
}

void TResourceDetails::PrepareDelete() {}

void TResourceDetails::ReplaceData(Stream& stream) {
    if (&stream == &data_) return; // emptying first would lose the bytes
    data_.clear();
    stream.setPosition(0);
    data_.copyFrom(stream, 0);
}

const TResourceDetailsClass& TResourceDetails::DetailsClass() const {
    return DetailsClassOf<TResourceDetails>();
}

std::unique_ptr<TResourceDetails>
TResourceDetails::CreateDetailsFor(TResourceModule* parent, std::int32_t language, const std::u16string& name,
                                   const std::u16string& type, std::size_t size, const std::uint8_t* data) {
    // A copy: a constructor that registers or unregisters must not upset the walk.
    const std::vector<const TResourceDetailsClass*> classes = registry();

    if (!type.empty()) {
        try {
            for (const TResourceDetailsClass* cls : classes) {
                if (cls->ClassResourceType() != type) continue;
                if (type == u"10" && !cls->AcceptsRawData(name, size, data)) continue;
                return cls->Create(parent, language, name, type, size, data);
            }
        } catch (...) {
            // Falls through to the content tests.
        }
    }

    try {
        for (const TResourceDetailsClass* cls : classes)
            if (cls->AcceptsData(size, data)) return cls->Create(parent, language, name, type, size, data);
    } catch (...) {
        // Falls through to the text tests.
    }

    if (TAnsiResourceDetails::AcceptsData(size, data))
        return Create<TAnsiResourceDetails>(parent, language, name, type, size, data);
    if (TUnicodeResourceDetails::AcceptsData(size, data))
        return Create<TUnicodeResourceDetails>(parent, language, name, type, size, data);
    return Create<TResourceDetails>(parent, language, name, type, size, data);
}

// ---- text fallbacks ----

void TAnsiResourceDetails::InitializeEmpty() {
    Data().clear();
}

bool TAnsiResourceDetails::AcceptsData(std::size_t size, const std::uint8_t* data) {
    if (size == 0 || !data) return false;
    const std::size_t count = std::min<std::size_t>(size, 1024);
    for (std::size_t i = 0; i < count; ++i)
        if (!isTextByte(data[i])) return false;
    return true;
}

void TUnicodeResourceDetails::InitializeEmpty() {
    Data().clear();
}

bool TUnicodeResourceDetails::AcceptsData(std::size_t size, const std::uint8_t* data) {
    if (size <= 5 || !data) return false;
    const std::size_t units = std::min<std::size_t>(size / 2 - 2, 1023);
    for (std::size_t i = 0; i < units; ++i)
        if (!isTextByte(loadLE16(data + 2 * i))) return false;
    return true;
}

// ---- TResourceModule ----

TResourceModule::~TResourceModule() = default;

void TResourceModule::DeleteResource(std::int32_t index) {
    Dirty = true;
    GetResourceDetails(index)->PrepareDelete();
}

void TResourceModule::InsertResource(std::int32_t, std::unique_ptr<TResourceDetails>&&) {}

std::int32_t TResourceModule::AddResource(std::unique_ptr<TResourceDetails>&&) {
    return -1;
}

void TResourceModule::SaveToStream(Stream&) {
    throw Exception("Module doesn't support streaming");
}

void TResourceModule::LoadFromStream(Stream&) {
    throw Exception("Module doesn't support streaming");
}

std::filesystem::path BackupFileName(const std::filesystem::path& fileName) {
    // Only a dot in the last component counts: a dot in a folder name must not
    // send the backup into a folder that does not exist.
    const std::filesystem::path leaf = fileName.filename();
    const std::u16string text = pathToUtf16(leaf);
    const auto dot = text.rfind(u'.');
    std::u16string backup;
    if (dot == std::u16string::npos)
        backup = text + u".~";
    else
        backup = text.substr(0, dot + 1) + u"~" + text.substr(dot + 1);
    return fileName.parent_path() / pathFromUtf16(backup);
}

void TResourceModule::SaveToFile(const std::filesystem::path& fileName) {
    const std::filesystem::path backup = BackupFileName(fileName);
    std::error_code ignored;
    std::filesystem::remove(backup, ignored);
    std::filesystem::rename(fileName, backup, ignored);
    try {
        {
            FileStream file(fileName, FileStream::Mode::Create);
            SaveToStream(file);
        }
        ClearDirty();
    } catch (...) {
        std::filesystem::remove(fileName, ignored);
        std::filesystem::rename(backup, fileName, ignored);
        throw;
    }
}

void TResourceModule::LoadFromFile(const std::filesystem::path& fileName) {
    FileStream file(fileName, FileStream::Mode::OpenRead, FileStream::Share::DenyNone);
    LoadFromStream(file);
}

void TResourceModule::ClearDirty() {
    Dirty = false;
    const std::int32_t count = GetResourceCount();
    for (std::int32_t i = 0; i < count; ++i) GetResourceDetails(i)->Dirty = false;
}

std::u16string TResourceModule::NextResourceId(const std::u16string& type) const {
    std::int64_t largest = 0;
    const std::int32_t count = GetResourceCount();
    for (std::int32_t i = 0; i < count; ++i) {
        const TResourceDetails* details = GetResourceDetails(i);
        if (details->ResourceType != type) continue;
        largest = std::max<std::int64_t>(largest, NumericIdOf(details->ResourceName()));
    }
    return utf8ToUtf16(std::to_string(largest + 1));
}

// ---- identifiers ----

std::int32_t NumericIdOf(std::u16string_view text) {
    if (text.empty()) return -1;
    for (char16_t c : text)
        if (c < u'0' || c > u'9') return -1;
    std::int64_t value = 0;
    for (char16_t c : text) {
        value = value * 10 + (c - u'0');
        if (value > std::numeric_limits<std::int32_t>::max())
            throw EConvertError("'" + utf16ToUtf8(text) + "' is not a valid integer value");
    }
    return static_cast<std::int32_t>(value);
}

// ---- registry ----

void RegisterDetailsClass(const TResourceDetailsClass& cls) {
    auto& classes = registry();
    if (classes.size() == classes.capacity()) classes.reserve(classes.capacity() + 10);
    classes.push_back(&cls);
}

void UnregisterDetailsClass(const TResourceDetailsClass& cls) {
    auto& classes = registry();
    std::erase(classes, &cls);
}

std::vector<const TResourceDetailsClass*> RegisteredDetailsClasses() {
    return registry();
}

} // namespace pakforge
